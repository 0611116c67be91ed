#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include <zel_upnp/utils.h>
#include "utils/src/common/zel_log.h"
#include "utils/src/xmlparser/makedomtree.h"
#include "utils/src/xmlparser/xmlparsedata.h"

namespace zel_upnp {
namespace utils {

namespace {

// Lengths and token lengths are ints in the parser; a document must leave
// room for the terminating NUL.
constexpr size_t kMaxXmlDocumentLength = static_cast<size_t>(INT_MAX) - 1;

constexpr char kTrimSet[] = " \t\n\r\f\v";

void AssignTrimmed(std::string& out, const char* text) {
    if (text == nullptr) {
        out.clear();
        return;
    }
    const char* begin = text;
    while (*begin != '\0' && std::strchr(kTrimSet, *begin) != nullptr)
        ++begin;
    const char* end = begin + std::strlen(begin);
    while (end > begin && std::strchr(kTrimSet, end[-1]) != nullptr)
        --end;
    out.assign(begin, static_cast<size_t>(end - begin));
}

// Copies the working copy into the parser and builds the tree.
int XmlParserInit(XmlParser& parser, const std::string& xml, size_t length) {
    if (length > kMaxXmlDocumentLength)
        return UTILS_INVALID_INPUT;
    parser.workingCopy.assign(xml.data(), length);
    parser.documentLength = static_cast<int>(length);
    parser.bufferStart = &parser.workingCopy[0];
    // std::string keeps a NUL after its last byte; the buffer includes it.
    parser.bufferEnd = parser.bufferStart + length + 1;
    parser.cursor = parser.bufferStart;
    parser.tokenStart = nullptr;
    parser.tokenLength = 0;
    parser.elementDepth = 0;
    return ParseXmlData(parser) == XML_PARSE_OK ? UTILS_SUCCESS : UTILS_FAILURE;
}

// Makes node the current node and hands out its copy. A text node is never
// handed out: the cursor moves on to its first child, which is none.
int SelectNode(XmlParser& parser, XmlDomNode* node, NodeXml*& out) {
    if (node->nodeType == XML_TEXT_NODE) {
        parser.currentNode = node->firstChild;
        return 0;
    }
    NodeXml* copy = new (std::nothrow) NodeXml();
    if (copy == nullptr)
        return 0;
    try {
        AssignTrimmed(copy->name, node->name);
        copy->attributes.reserve(static_cast<size_t>(node->attributeCount) * 2);
        for (XmlDomNode* a = node->firstAttribute; a != nullptr; a = a->nextAttribute) {
            copy->attributes.emplace_back();
            AssignTrimmed(copy->attributes.back(), a->name);
            copy->attributes.emplace_back();
            AssignTrimmed(copy->attributes.back(), a->value);
        }
        const XmlDomNode* first = node->firstChild;
        if (first != nullptr && first->nodeType == XML_TEXT_NODE && first->value != nullptr)
            copy->value = first->value;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "NodeXml copy failed: %s", e.what());
        delete copy;
        return 0;
    }
    parser.currentNode = node;
    out = copy;
    return 1;
}

}  // namespace

XmlParser::~XmlParser() {
    // A parser whose owner forgot XmlParserDestroy still gives its tree back.
    FreeDomDocument(document);
}

int XmlParserGetDomMA(const std::string& xml, XmlParser& parser) {
    // The document ends at its first NUL byte, as a C string would.
    const size_t length = std::min(xml.find('\0'), xml.size());
    if (length == 0) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Empty string");
        return 0;
    }
    // A parser that still holds a tree would leak it.
    if (parser.document != nullptr)
        XmlParserDestroy(parser);
    int rc = UTILS_FAILURE;
    try {
        rc = XmlParserInit(parser, xml, length);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "XMLParserInit exception: %s", e.what());
    }
    if (rc != UTILS_SUCCESS) {
        ZEL_LOGE(ZEL_CORE_UTILS, "XMLParserInit failed");
        XmlParserDestroy(parser);
        return 0;
    }
    return 1;
}

int XmlParserGetFirstNode(XmlParser& parser, NodeXml*& node) {
    if (parser.document == nullptr || parser.document->firstChild == nullptr)
        return 0;
    parser.parentNode = nullptr;
    return SelectNode(parser, parser.document->firstChild, node);
}

int XmlParserGetNextNode(XmlParser& parser, NodeXml*& node) {
    if (parser.currentNode == nullptr)
        return 0;
    XmlDomNode* next = parser.currentNode->nextSibling;
    if (next == nullptr) {
        parser.currentNode = nullptr;
        return 0;
    }
    return SelectNode(parser, next, node);
}

int XmlParserGetChildNode(XmlParser& parser, NodeXml*& node) {
    if (parser.currentNode == nullptr)
        return 0;
    parser.parentNode = parser.currentNode;
    XmlDomNode* child = parser.currentNode->firstChild;
    if (child == nullptr) {
        parser.currentNode = nullptr;
        return 0;
    }
    return SelectNode(parser, child, node);
}

int XmlParserStepBackToParentNode(XmlParser& parser) {
    parser.currentNode = parser.parentNode;
    parser.parentNode = parser.currentNode != nullptr ? parser.currentNode->parent : nullptr;
    return parser.currentNode != nullptr ? 1 : 0;
}

int XmlGetCurrentNodeChildCount(XmlParser& parser, int& count) {
    if (parser.currentNode == nullptr)
        return 0;
    count = parser.currentNode->childCount;
    return 1;
}

int XmlGetCurNodeFirstChildType(XmlParser& parser, int& type) {
    if (parser.currentNode == nullptr || parser.currentNode->firstChild == nullptr)
        return 0;
    type = parser.currentNode->firstChild->nodeType;
    return 1;
}

void XmlParserFreeNode(NodeXml* node) {
    delete node;
}

void XmlParserDestroy(XmlParser& parser) {
    FreeDomDocument(parser.document);
    // Swapped with an empty string so the memory goes back, not just the size.
    std::string().swap(parser.workingCopy);
    parser.tokenLength = 0;
    parser.elementDepth = 0;
    parser.cursor = nullptr;
    parser.bufferStart = nullptr;
    parser.bufferEnd = nullptr;
    parser.tokenStart = nullptr;
    parser.document = nullptr;
    parser.documentLength = 0;
    parser.currentNode = nullptr;
    parser.parentNode = nullptr;
}

}  // namespace utils
}  // namespace zel_upnp
