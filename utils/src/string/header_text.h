// Text the library did not write itself (a peer's header, an application's
// name, a URL read from a document) goes into a request line, a status line
// or a header we send only when it holds no CR, LF or NUL: any of them would
// end the line early and let the text's author write lines of their own.
// Checked where the text enters; such text is refused, never repaired.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace zel_upnp {
namespace utils {

inline bool IsHeaderSafe(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    }
    return true;
}

inline bool IsHeaderSafe(const std::string& text) {
    return IsHeaderSafe(text.data(), text.size());
}

// A C string of the application's: null stands for an absent field.
inline bool IsHeaderSafe(const char* text) {
    return text == nullptr || IsHeaderSafe(text, std::strlen(text));
}

// A header name we send: a non-empty RFC 9110 token, so it can neither end
// the line nor smuggle a colon or a space in.
inline bool IsHeaderName(const char* name) {
    if (name == nullptr || *name == '\0')
        return false;
    for (const char* c = name; *c != '\0'; ++c) {
        const bool alnum =
            (*c >= '0' && *c <= '9') || (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z');
        if (!alnum && std::strchr("!#$%&'*+-.^_`|~", *c) == nullptr)
            return false;
    }
    return true;
}

// A message head we are about to send, up to its blank line (all of text
// when it has none): lines end at CR LF only, and no NUL anywhere. A bare CR
// or LF here means some text slipped past the checks where it entered.
inline bool IsHeadSafe(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '\0')
            return false;
        if (c == '\n')
            return false;  // a line's own LF is stepped over with its CR
        if (c != '\r')
            continue;
        if (i + 1 >= length || text[i + 1] != '\n')
            return false;
        ++i;
        if (i + 2 < length && text[i + 1] == '\r' && text[i + 2] == '\n')
            return true;  // the blank line: the body is not ours to check
    }
    return true;
}

}  // namespace utils
}  // namespace zel_upnp
