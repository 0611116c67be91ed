// Tokenizer and parse loop of the XML parser. Both work on the cursor of an
// XmlParser whose working copy is set up (XmlParserInit does that); the parse
// loop writes NUL bytes into the working copy behind the cursor to end the
// names and values the tree points at. A parse is not resumable: it runs over
// the whole document once, and a failure leaves a partial tree that the
// caller frees with FreeDomDocument(parser.document).
#pragma once

#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace utils {

enum class XmlToken {
    End,            // end of buffer or NUL
    WhiteSpace,     // run of space, TAB, LF, CR, FF
    PiStart,        // "<?"
    PiEnd,          // "?>"
    CommentStart,   // "<!--"
    CommentEnd,     // "-->"
    CdataStart,     // "<![CDATA["
    CdataEnd,       // "]]>"
    Unknown,        // "<!" followed by anything else
    EndTagStart,    // "</"
    StartTagStart,  // "<"
    EmptyTagEnd,    // "/>"
    TagEnd,         // ">"
    Equals,         // "="
    DoubleQuote,
    SingleQuote,
    Name  // name or text
};

// Failure numbers of the parse, logged as "Xml Parser Failure, Error NNN".
enum XmlParseError {
    XML_PARSE_OK = 0,
    XML_ERR_DOCUMENT_CREATE = -1,  // no number: logged as "CreateDocumentDomDocument failed"
    XML_ERR_COMMENT_UNTERMINATED = 1,
    XML_ERR_CDATA_UNTERMINATED = 2,
    XML_ERR_PI_UNTERMINATED = 3,
    XML_ERR_START_TAG_NAME = 4,
    XML_ERR_ELEMENT_CREATE = 5,
    XML_ERR_TAG_CONTENT = 6,
    XML_ERR_ATTRIBUTE_EQUALS = 7,
    XML_ERR_ATTRIBUTE_CLOSE_QUOTE = 8,
    XML_ERR_ATTRIBUTE_OPEN_QUOTE = 9,
    XML_ERR_ELEMENT_TEXT_END = 10,
    XML_ERR_ELEMENT_TEXT_CREATE = 11,
    XML_ERR_END_TAG_NAME = 12,
    XML_ERR_END_TAG_CLOSE = 13,
    XML_ERR_END_TAG_MISMATCH = 14,
    XML_ERR_TEXT_OUTSIDE_ROOT = 15,
    XML_ERR_TEXT_END = 16,
    XML_ERR_TEXT_CREATE = 17,
    XML_ERR_UNFINISHED_TOKEN = 20,
    XML_ERR_OPEN_ELEMENTS = 21,
    XML_ERR_CURSOR_PAST_END = 22,
    XML_ERR_UNEXPECTED_TOKEN = 23
};

// Reads one token at the cursor and moves the cursor past it; tokenStart and
// tokenLength describe it.
XmlToken XmlGetNextToken(XmlParser& parser);

// Takes everything from the cursor up to (not including) the next c as the
// current token and leaves the cursor on c. onlyWhiteSpace tells whether the
// run held nothing but white space. 0 when no c comes before the end (the
// cursor is then left where it was).
int XmlReadUntil(XmlParser& parser, char c, bool& onlyWhiteSpace);

// Builds the tree of the working copy: creates parser.document and parses
// into it. XML_PARSE_OK or the failure number (already logged).
int ParseXmlData(XmlParser& parser);

}  // namespace utils
}  // namespace zel_upnp
