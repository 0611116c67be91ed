#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <zel_upnp/utils.h>
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

namespace {

// A NodeXml keeps its attributes as name, value, name, value...
constexpr size_t kAttributeStride = 2;

// Bytes below this one are written as decimal references.
constexpr unsigned char kFirstPrintable = 32;
constexpr unsigned int kMaxByteValue = 255;
constexpr int kDecimalBase = 10;
constexpr int kHexBase = 16;
// Digits a one-byte reference may carry, leading zeros included.
constexpr size_t kMaxReferenceDigits = 8;

enum class AttributeMatch { Prefix, Exact };

// Index of the name of the first attribute of node matching name, or npos.
size_t FindAttribute(const NodeXml* node, const std::string& name, AttributeMatch match) {
    const std::vector<std::string>& attrs = node->attributes;
    for (size_t i = 0; i + 1 < attrs.size(); i += kAttributeStride) {
        const std::string& candidate = attrs[i];
        const bool hit = match == AttributeMatch::Exact
                             ? candidate == name
                             : candidate.compare(0, name.size(), name) == 0;
        if (hit)
            return i;
    }
    return std::string::npos;
}

// Replaces every occurrence of from in text with to, left to right, never
// looking again at what was put in.
void ReplaceAll(std::string& text, const char* from, const char* to) {
    const size_t fromLength = std::strlen(from);
    size_t pos = text.find(from);
    if (pos == std::string::npos)
        return;
    const size_t toLength = std::strlen(to);
    std::string out;
    out.reserve(text.size());
    size_t done = 0;
    while (pos != std::string::npos) {
        out.append(text, done, pos - done);
        out.append(to, toLength);
        done = pos + fromLength;
        pos = text.find(from, done);
    }
    out.append(text, done, std::string::npos);
    text.swap(out);
}

// Value of the digits between "&#" (or "&#x") and ";", or 0 when they do not
// convert completely or do not fit in one byte.
unsigned int ReferenceValue(const char* digits, size_t length, int base) {
    if (length == 0)
        return 0;
    unsigned int value = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(digits[i]);
        unsigned int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == kHexBase && std::isxdigit(c))
            digit = static_cast<unsigned int>(std::tolower(c) - 'a') + kDecimalBase;
        else
            return 0;
        value = value * static_cast<unsigned int>(base) + digit;
        if (value > kMaxByteValue)
            return 0;
    }
    return value;
}

// Replaces each numeric reference "&#N;" or "&#xH;" with its byte; a
// reference of value 0, or one that does not convert, stays as it is. One
// pass over the input: a decoded byte is never looked at again, so
// "&#38;#65;" becomes "&#65;". A ";" is looked for only as far as a
// reference of one byte can reach, which keeps hostile input linear.
void ReplaceNumericReferences(std::string& text) {
    size_t pos = text.find("&#");
    if (pos == std::string::npos)
        return;
    std::string out;
    out.reserve(text.size());
    size_t done = 0;
    while (pos != std::string::npos) {
        size_t digitsStart = pos + 2;
        int base = kDecimalBase;
        if (digitsStart < text.size() && text[digitsStart] == 'x') {
            base = kHexBase;
            ++digitsStart;
        }
        const size_t limit = std::min(text.size(), digitsStart + kMaxReferenceDigits + 1);
        size_t semicolon = digitsStart;
        while (semicolon < limit && text[semicolon] != ';')
            ++semicolon;
        unsigned int value = 0;
        if (semicolon < limit)
            value = ReferenceValue(text.data() + digitsStart, semicolon - digitsStart, base);
        if (value == 0) {
            pos = text.find("&#", pos + 2);
            continue;
        }
        out.append(text, done, pos - done);
        out += static_cast<char>(value);
        done = semicolon + 1;
        pos = text.find("&#", done);
    }
    out.append(text, done, std::string::npos);
    text.swap(out);
}

// Runs fn, turning an exception (memory exhausted while copying) into the
// given failure result: nothing is thrown across the public functions.
template <typename Fn>
int NoThrow(int failure, Fn fn) {
    try {
        return fn();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "XML helper failed: %s", e.what());
        return failure;
    }
}

int GetAttributePart(NodeXml* node, const std::string& name, AttributeMatch match, size_t part,
                     std::string& out) {
    if (node == nullptr)
        return 0;
    return NoThrow(0, [&] {
        const size_t i = FindAttribute(node, name, match);
        if (i == std::string::npos)
            return 0;
        out = node->attributes[i + part];
        return 1;
    });
}

// Offsets of an attribute's name and value from the index FindAttribute gives.
constexpr size_t kNamePart = 0;
constexpr size_t kValuePart = 1;

}  // namespace

int XmlGetAttribute(NodeXml* node, const std::string& name, std::string& value) {
    return GetAttributePart(node, name, AttributeMatch::Prefix, kValuePart, value);
}

int XmlGetAttributeChar(NodeXml* node, const std::string& name, std::string& value) {
    return GetAttributePart(node, name, AttributeMatch::Exact, kValuePart, value);
}

int XmlGetAttributeName(NodeXml* node, const std::string& name, std::string& fullName) {
    return GetAttributePart(node, name, AttributeMatch::Prefix, kNamePart, fullName);
}

int XmlGetAllNodeAttributes(NodeXml* node, std::vector<std::string>& attributes) {
    if (node == nullptr)
        return 0;
    return NoThrow(0, [&] {
        attributes = node->attributes;
        return 1;
    });
}

int XmlEscapeValue(const std::string& in, std::string& out) {
    if (in.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Empty String");
        return UTILS_EMPTY_INPUT;
    }
    return NoThrow(UTILS_FAILURE, [&] {
        std::string escaped;
        escaped.reserve(in.size() + in.size() / 4);
        for (char c : in) {
            const unsigned char byte = static_cast<unsigned char>(c);
            switch (c) {
                case '"':
                    escaped += "&quot;";
                    break;
                case '&':
                    escaped += "&amp;";
                    break;
                case '\'':
                    escaped += "&apos;";
                    break;
                case '<':
                    escaped += "&lt;";
                    break;
                case '>':
                    escaped += "&gt;";
                    break;
                default:
                    if (byte >= 1 && byte < kFirstPrintable) {
                        escaped += "&#";
                        escaped += std::to_string(byte);
                        escaped += ';';
                    } else {
                        escaped += c;
                    }
                    break;
            }
        }
        out.swap(escaped);
        return static_cast<int>(UTILS_SUCCESS);
    });
}

int XmlUnescapeValue(const std::string& in, std::string& out) {
    if (in.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Empty string");
        return UTILS_EMPTY_INPUT;
    }
    return NoThrow(UTILS_FAILURE, [&] {
        std::string text = in;
        // Most values hold no reference at all.
        if (text.find('&') != std::string::npos) {
            ReplaceAll(text, "&lt;", "<");
            ReplaceAll(text, "&gt;", ">");
            ReplaceAll(text, "&apos;", "'");
            ReplaceAll(text, "&nbsp;", " ");
            ReplaceAll(text, "&quot;", "\"");
            ReplaceNumericReferences(text);
            // Last, so that an escaped entity comes out as its own text.
            ReplaceAll(text, "&amp;", "&");
        }
        out.swap(text);
        return static_cast<int>(UTILS_SUCCESS);
    });
}

}  // namespace utils
}  // namespace zel_upnp
