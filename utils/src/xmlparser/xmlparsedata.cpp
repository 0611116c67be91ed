#include "utils/src/xmlparser/xmlparsedata.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "utils/src/common/zel_log.h"
#include "utils/src/xmlparser/makedomtree.h"

namespace zel_upnp {
namespace utils {

namespace {

// Character classes of the tokenizer.
constexpr uint8_t kClassWhiteSpace = 0x01;
// Ends a name/text token.
constexpr uint8_t kClassStop = 0x02;
// Ends a name/text token only as the first byte of "/>", "?>", "-->" or "]]>".
constexpr uint8_t kClassSequence = 0x04;
constexpr size_t kCharClassCount = 256;

struct CharClassTable {
    uint8_t cls[kCharClassCount];
};

// Filled once, on first use (thread-safe static initialisation), then only read.
const CharClassTable& CharClasses() {
    static const CharClassTable table = [] {
        CharClassTable t{};
        for (unsigned char c : {' ', '\t', '\n', '\r', '\f'})
            t.cls[c] = kClassWhiteSpace | kClassStop;
        for (unsigned char c : {'\0', '!', '"', '\'', '<', '=', '>', '['})
            t.cls[c] = kClassStop;
        for (unsigned char c : {'/', '?', '-', ']'})
            t.cls[c] = kClassSequence;
        return t;
    }();
    return table;
}

inline uint8_t ClassOf(const CharClassTable& table, char c) {
    return table.cls[static_cast<unsigned char>(c)];
}

// True when the sequence at p, a byte of kClassSequence, closes a name token.
// Reads stop at the first byte that differs, so never beyond the buffer's NUL.
inline bool ClosesName(const char* p) {
    switch (*p) {
        case '/':
        case '?':
            return p[1] == '>';
        case '-':
            return p[1] == '-' && p[2] == '>';
        case ']':
            return p[1] == ']' && p[2] == '>';
        default:
            return false;
    }
}

constexpr char kCdataOpen[] = "<![CDATA[";
constexpr size_t kCdataOpenLength = sizeof(kCdataOpen) - 1;

// Attribute count above which a tag's attribute names are looked up through an
// index instead of the list, so that a tag with thousands of attributes does
// not cost a quadratic number of compares.
constexpr int kAttributeIndexThreshold = 16;

inline XmlToken Token(XmlParser& parser, XmlToken token, size_t length) {
    parser.tokenLength = static_cast<int>(length);
    parser.cursor += length;
    return token;
}

int Fail(int error) {
    ZEL_LOGE(ZEL_CORE_UTILS, "Xml Parser Failure, Error %03d", error);
    return error;
}

XmlToken NextSignificantToken(XmlParser& parser) {
    XmlToken token = XmlGetNextToken(parser);
    while (token == XmlToken::WhiteSpace)
        token = XmlGetNextToken(parser);
    return token;
}

// Skips a processing instruction, comment or CDATA section whose start token
// was read. 0 when the input ends first.
int SkipUntil(XmlParser& parser, XmlToken endToken) {
    for (;;) {
        XmlToken token = XmlGetNextToken(parser);
        if (token == endToken)
            return 1;
        if (token == XmlToken::End)
            return 0;
    }
}

// Sets name=value on element, replacing the value of an attribute already
// present. tail tracks the end of the element's list; index is used once the
// element has more than kAttributeIndexThreshold attributes.
int SetAttribute(XmlDomNode* element, const char* name, const char* value, XmlDomNode*& tail,
                 std::unordered_map<std::string_view, XmlDomNode*>& index) {
    XmlDomNode* existing = nullptr;
    if (element->attributeCount <= kAttributeIndexThreshold) {
        existing = FindAttributeNode(element, name);
    } else {
        if (index.empty()) {
            for (XmlDomNode* a = element->firstAttribute; a != nullptr; a = a->nextAttribute)
                index.emplace(a->name, a);
        }
        auto it = index.find(name);
        if (it != index.end())
            existing = it->second;
    }
    if (existing != nullptr) {
        existing->value = value;
        return 1;
    }
    XmlDomNode* attr = CreateAttributeDomDocument(element->ownerDocument, name, value);
    if (attr == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "CreateAttributeDomDocument failed");
        return 0;
    }
    if (AppendAttributeNode(element, tail, attr) == 0)
        return 0;
    tail = attr;
    if (!index.empty())
        index.emplace(name, attr);
    return 1;
}

// Everything after "<" of a start tag, up to and including its ">" or "/>"
// and, for ">", the element's leading text. current moves to the new
// element when it stays open.
int ParseStartTag(XmlParser& parser, XmlDomNode*& current) {
    ++parser.elementDepth;
    if (NextSignificantToken(parser) != XmlToken::Name)
        return Fail(XML_ERR_START_TAG_NAME);
    XmlDomNode* element = CreateElementDomDocument(parser.document, parser.tokenStart);
    if (element == nullptr)
        return Fail(XML_ERR_ELEMENT_CREATE);
    if (AppendChildNode(current, element) == 0)
        return Fail(XML_ERR_ELEMENT_CREATE);
    // The byte after a name or value is overwritten with NUL only once the
    // token it starts has been read, so the tokenizer never sees the NUL.
    char* pendingEnd = parser.tokenStart + parser.tokenLength;
    bool afterSpace = false;
    XmlDomNode* tail = nullptr;
    std::unordered_map<std::string_view, XmlDomNode*> index;
    for (;;) {
        XmlToken token = XmlGetNextToken(parser);
        if (token == XmlToken::WhiteSpace) {
            afterSpace = true;
            if (pendingEnd != nullptr) {
                *pendingEnd = '\0';
                pendingEnd = nullptr;
            }
            continue;
        }
        if (token == XmlToken::TagEnd || token == XmlToken::EmptyTagEnd) {
            if (pendingEnd != nullptr)
                *pendingEnd = '\0';
            if (token == XmlToken::EmptyTagEnd) {
                --parser.elementDepth;
                return XML_PARSE_OK;
            }
            bool onlyWhiteSpace = true;
            if (XmlReadUntil(parser, '<', onlyWhiteSpace) == 0)
                return Fail(XML_ERR_ELEMENT_TEXT_END);
            if (parser.tokenLength > 0 && !onlyWhiteSpace) {
                XmlDomNode* text = CreateTextDomDocument(parser.document, parser.tokenStart);
                if (text == nullptr)
                    return Fail(XML_ERR_ELEMENT_TEXT_CREATE);
                AppendChildNode(element, text);
            }
            current = element;
            return XML_PARSE_OK;
        }
        // Attributes are separated from the name and from each other by
        // white space; anything else inside the tag is malformed.
        if (token != XmlToken::Name || !afterSpace)
            return Fail(XML_ERR_TAG_CONTENT);
        const char* name = parser.tokenStart;
        char* nameEnd = parser.tokenStart + parser.tokenLength;
        if (NextSignificantToken(parser) != XmlToken::Equals)
            return Fail(XML_ERR_ATTRIBUTE_EQUALS);
        XmlToken quote = NextSignificantToken(parser);
        if (quote != XmlToken::DoubleQuote && quote != XmlToken::SingleQuote)
            return Fail(XML_ERR_ATTRIBUTE_OPEN_QUOTE);
        const char quoteChar = quote == XmlToken::DoubleQuote ? '"' : '\'';
        bool onlyWhiteSpace = true;
        if (XmlReadUntil(parser, quoteChar, onlyWhiteSpace) == 0)
            return Fail(XML_ERR_ATTRIBUTE_CLOSE_QUOTE);
        const char* value = parser.tokenStart;
        char* valueEnd = parser.tokenStart + parser.tokenLength;
        if (XmlGetNextToken(parser) != quote)
            return Fail(XML_ERR_ATTRIBUTE_CLOSE_QUOTE);
        *nameEnd = '\0';
        *valueEnd = '\0';
        if (SetAttribute(element, name, value, tail, index) == 0)
            return Fail(XML_ERR_ELEMENT_CREATE);
        afterSpace = false;
    }
}

// True when the NUL-terminated open is exactly the length bytes at name.
// Names are short: a plain loop beats a library call here.
inline bool SameName(const char* open, const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (open[i] != name[i])
            return false;
    }
    return open[length] == '\0';
}

// Everything after "</" of an end tag. current moves to its parent.
int ParseEndTag(XmlParser& parser, XmlDomNode*& current) {
    // Almost every end tag is the open element's name and ">" with nothing
    // between: accepted here in one step, with the same result the token by
    // token path below gives. A name ending in a byte that could start "/>",
    // "?>", "-->" or "]]>" together with the ">" takes the token path.
    if (current != nullptr && current->nodeType == XML_ELEMENT_NODE) {
        const char* open = current->name;
        char* c = parser.cursor;
        size_t n = 0;
        while (open[n] != '\0' && c[n] == open[n])
            ++n;
        if (open[n] == '\0' && n > 0 && c[n] == '>' &&
            !(ClassOf(CharClasses(), open[n - 1]) & kClassSequence)) {
            c[n] = '\0';
            parser.tokenStart = c + n;
            parser.tokenLength = 1;
            parser.cursor = c + n + 1;
            --parser.elementDepth;
            current = current->parent;
            return XML_PARSE_OK;
        }
    }
    if (NextSignificantToken(parser) != XmlToken::Name)
        return Fail(XML_ERR_END_TAG_NAME);
    char* name = parser.tokenStart;
    char* nameEnd = parser.tokenStart + parser.tokenLength;
    if (NextSignificantToken(parser) != XmlToken::TagEnd)
        return Fail(XML_ERR_END_TAG_CLOSE);
    *nameEnd = '\0';
    // The document node's own name is no element's. The open element's name
    // lies earlier in the same buffer, so reading up to length bytes of it
    // stays inside the buffer; a shorter name differs at its NUL.
    if (current == nullptr || current->nodeType != XML_ELEMENT_NODE ||
        !SameName(current->name, name, static_cast<size_t>(nameEnd - name)))
        return Fail(XML_ERR_END_TAG_MISMATCH);
    --parser.elementDepth;
    current = current->parent;
    return XML_PARSE_OK;
}

// Text between child elements; the name/text token starting it was read.
int ParseText(XmlParser& parser, XmlDomNode* current) {
    if (parser.elementDepth <= 0)
        return Fail(XML_ERR_TEXT_OUTSIDE_ROOT);
    parser.cursor = parser.tokenStart;
    bool onlyWhiteSpace = true;
    if (XmlReadUntil(parser, '<', onlyWhiteSpace) == 0)
        return Fail(XML_ERR_TEXT_END);
    if (onlyWhiteSpace)
        return XML_PARSE_OK;
    XmlDomNode* text = CreateTextDomDocument(parser.document, parser.tokenStart);
    if (text == nullptr)
        return Fail(XML_ERR_TEXT_CREATE);
    AppendChildNode(current, text);
    return XML_PARSE_OK;
}

int FinishParse(const XmlParser& parser) {
    if (parser.tokenLength != 0)
        return Fail(XML_ERR_UNFINISHED_TOKEN);
    if (parser.elementDepth > 0)
        return Fail(XML_ERR_OPEN_ELEMENTS);
    if (parser.cursor >= parser.bufferEnd)
        return Fail(XML_ERR_CURSOR_PAST_END);
    return XML_PARSE_OK;
}

}  // namespace

XmlToken XmlGetNextToken(XmlParser& parser) {
    char* c = parser.cursor;
    parser.tokenStart = c;
    if (c == nullptr || c + 1 >= parser.bufferEnd || *c == '\0') {
        // Whatever lies between the cursor and the terminating NUL was never
        // tokenized; FinishParse reports it.
        size_t left = 0;
        if (c != nullptr && c + 1 < parser.bufferEnd)
            left = static_cast<size_t>(parser.bufferEnd - 1 - c);
        parser.tokenLength = static_cast<int>(left);
        return XmlToken::End;
    }
    const CharClassTable& table = CharClasses();
    switch (*c) {
        case '<':
            if (c[1] == '?')
                return Token(parser, XmlToken::PiStart, 2);
            if (c[1] == '/')
                return Token(parser, XmlToken::EndTagStart, 2);
            if (c[1] == '!') {
                if (c[2] == '-' && c[3] == '-')
                    return Token(parser, XmlToken::CommentStart, 4);
                // Compared byte by byte, stopping at the first difference.
                size_t i = 2;
                while (i < kCdataOpenLength && c[i] == kCdataOpen[i])
                    ++i;
                if (i == kCdataOpenLength)
                    return Token(parser, XmlToken::CdataStart, kCdataOpenLength);
                return Token(parser, XmlToken::Unknown, 2);
            }
            return Token(parser, XmlToken::StartTagStart, 1);
        case '?':
            if (c[1] == '>')
                return Token(parser, XmlToken::PiEnd, 2);
            break;
        case '-':
            if (c[1] == '-' && c[2] == '>')
                return Token(parser, XmlToken::CommentEnd, 3);
            break;
        case ']':
            if (c[1] == ']' && c[2] == '>')
                return Token(parser, XmlToken::CdataEnd, 3);
            break;
        case '/':
            if (c[1] == '>')
                return Token(parser, XmlToken::EmptyTagEnd, 2);
            break;
        case '>':
            return Token(parser, XmlToken::TagEnd, 1);
        case '=':
            return Token(parser, XmlToken::Equals, 1);
        case '"':
            return Token(parser, XmlToken::DoubleQuote, 1);
        case '\'':
            return Token(parser, XmlToken::SingleQuote, 1);
        default:
            if (ClassOf(table, *c) & kClassWhiteSpace) {
                size_t n = 1;
                while (ClassOf(table, c[n]) & kClassWhiteSpace)
                    ++n;
                return Token(parser, XmlToken::WhiteSpace, n);
            }
            break;
    }
    // A name or text token takes its first byte whatever it is, then runs to
    // the next stop byte or closing sequence (the NUL is a stop byte).
    size_t n = 1;
    for (;;) {
        const uint8_t cls = ClassOf(table, c[n]);
        if (cls & kClassStop)
            break;
        if ((cls & kClassSequence) && ClosesName(c + n))
            break;
        ++n;
    }
    return Token(parser, XmlToken::Name, n);
}

int XmlReadUntil(XmlParser& parser, char c, bool& onlyWhiteSpace) {
    char* start = parser.cursor;
    if (start == nullptr || start + 1 >= parser.bufferEnd)
        return 0;
    // Only the terminating NUL lies ahead of the cursor: every NUL the parse
    // writes is behind it.
    const size_t left = static_cast<size_t>(parser.bufferEnd - 1 - start);
    char* found = static_cast<char*>(std::memchr(start, c, left));
    if (found == nullptr)
        return 0;
    if (found > start && found[-1] == '\\')
        ZEL_LOGD(ZEL_CORE_UTILS, "Token '\\' Found before Seperator");
    const CharClassTable& table = CharClasses();
    onlyWhiteSpace = true;
    for (const char* p = start; p < found; ++p) {
        if (!(ClassOf(table, *p) & kClassWhiteSpace)) {
            onlyWhiteSpace = false;
            break;
        }
    }
    parser.tokenStart = start;
    parser.tokenLength = static_cast<int>(found - start);
    parser.cursor = found;
    return 1;
}

int ParseXmlData(XmlParser& parser) {
    parser.document = CreateDocumentDomDocument(parser);
    if (parser.document == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "CreateDocumentDomDocument failed");
        return XML_ERR_DOCUMENT_CREATE;
    }
    parser.elementDepth = 0;
    XmlDomNode* current = parser.document;
    for (;;) {
        const XmlToken token = NextSignificantToken(parser);
        // Every markup token begins with "<"; ending the text before it here
        // is what terminates text node values in place.
        switch (token) {
            case XmlToken::PiStart:
            case XmlToken::CommentStart:
            case XmlToken::CdataStart:
            case XmlToken::StartTagStart:
            case XmlToken::EndTagStart:
            case XmlToken::Unknown:
                *parser.tokenStart = '\0';
                break;
            default:
                break;
        }
        int rc = XML_PARSE_OK;
        switch (token) {
            case XmlToken::End:
                return FinishParse(parser);
            case XmlToken::PiStart:
                if (SkipUntil(parser, XmlToken::PiEnd) == 0)
                    rc = Fail(XML_ERR_PI_UNTERMINATED);
                break;
            case XmlToken::CommentStart:
                if (SkipUntil(parser, XmlToken::CommentEnd) == 0)
                    rc = Fail(XML_ERR_COMMENT_UNTERMINATED);
                break;
            case XmlToken::CdataStart:
                if (SkipUntil(parser, XmlToken::CdataEnd) == 0)
                    rc = Fail(XML_ERR_CDATA_UNTERMINATED);
                break;
            case XmlToken::StartTagStart:
                rc = ParseStartTag(parser, current);
                break;
            case XmlToken::EndTagStart:
                rc = ParseEndTag(parser, current);
                break;
            case XmlToken::Name:
                rc = ParseText(parser, current);
                break;
            default:
                rc = Fail(XML_ERR_UNEXPECTED_TOKEN);
                break;
        }
        if (rc != XML_PARSE_OK)
            return rc;
    }
}

}  // namespace utils
}  // namespace zel_upnp
