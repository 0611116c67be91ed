#include <cctype>
#include <cerrno>
#include <cstdlib>
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
unsigned int ReferenceValue(const std::string& digits, int base) {
    if (digits.empty())
        return 0;
    for (char c : digits) {
        const bool ok = base == kHexBase ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                                         : (c >= '0' && c <= '9');
        if (!ok)
            return 0;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits.c_str(), &end, base);
    if (errno != 0 || value > kMaxByteValue)
        return 0;
    return static_cast<unsigned int>(value);
}

// Replaces each numeric reference "&#N;" or "&#xH;" with its byte; a
// reference of value 0, or one that does not convert, stays as it is.
void ReplaceNumericReferences(std::string& text) {
    size_t pos = text.find("&#");
    while (pos != std::string::npos) {
        const size_t semicolon = text.find(';', pos + 2);
        if (semicolon == std::string::npos)
            return;
        size_t digitsStart = pos + 2;
        int base = kDecimalBase;
        if (text[digitsStart] == 'x') {
            base = kHexBase;
            ++digitsStart;
        }
        const unsigned int value =
            ReferenceValue(text.substr(digitsStart, semicolon - digitsStart), base);
        if (value == 0) {
            pos = text.find("&#", pos + 2);
            continue;
        }
        text.replace(pos, semicolon + 1 - pos, 1, static_cast<char>(value));
        // The byte just written is not looked at again, so "&#38;#65;"
        // stays "&#65;".
        pos = text.find("&#", pos + 1);
    }
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
