// Parses arbitrary bytes as a document, walks every element with the
// navigation calls the description and action parsers use, looks up
// attributes, and runs every value through escape and unescape.
#include <zel_upnp/utils.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace zel_upnp::utils;

// Escaping then unescaping must give back the value; NUL bytes never reach
// a value (the document ends at its first NUL).
void CheckEscapeRoundTrip(const std::string& value) {
    std::string escaped, back;
    if (value.empty()) {
        if (XmlEscapeValue(value, escaped) != UTILS_EMPTY_INPUT ||
            XmlUnescapeValue(value, back) != UTILS_EMPTY_INPUT)
            std::abort();
        return;
    }
    if (XmlEscapeValue(value, escaped) != UTILS_SUCCESS)
        std::abort();
    if (XmlUnescapeValue(escaped, back) != UTILS_SUCCESS || back != value)
        std::abort();
    // Unescaping text that was never escaped must not fail either.
    if (XmlUnescapeValue(value, back) != UTILS_SUCCESS)
        std::abort();
}

void Visit(NodeXml* node) {
    CheckEscapeRoundTrip(node->name);
    CheckEscapeRoundTrip(node->value);
    if (node->attributes.size() % 2 != 0)
        std::abort();
    std::string out;
    for (size_t i = 0; i < node->attributes.size(); i += 2) {
        CheckEscapeRoundTrip(node->attributes[i + 1]);
        if (XmlGetAttributeChar(node, node->attributes[i], out) != 1)
            std::abort();
        if (XmlGetAttributeName(node, node->attributes[i], out) != 1)
            std::abort();
    }
    XmlGetAttribute(node, "xmlns", out);
    std::vector<std::string> all;
    if (XmlGetAllNodeAttributes(node, all) != 1 || all != node->attributes)
        std::abort();
}

void Walk(XmlParser& parser) {
    NodeXml* node = nullptr;
    if (XmlParserGetFirstNode(parser, node) == 0)
        return;
    int depth = 0;
    for (;;) {
        Visit(node);
        XmlParserFreeNode(node);
        node = nullptr;
        int count = 0, type = 0;
        XmlGetCurrentNodeChildCount(parser, count);
        XmlGetCurNodeFirstChildType(parser, type);
        if (XmlParserGetChildNode(parser, node) == 1) {
            ++depth;
            continue;
        }
        XmlParserStepBackToParentNode(parser);
        while (XmlParserGetNextNode(parser, node) == 0) {
            if (depth == 0)
                return;
            XmlParserStepBackToParentNode(parser);
            --depth;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    XmlParser parser;
    if (XmlParserGetDomMA(text, parser) == 1) {
        Walk(parser);
        XmlParserDestroy(parser);
    } else if (parser.document != nullptr || !parser.workingCopy.empty()) {
        std::abort();  // a failed parse leaves the parser destroyed
    }
    std::string out;
    XmlUnescapeValue(text, out);
    XmlEscapeValue(text, out);
    return 0;
}
