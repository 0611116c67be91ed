// Feeds arbitrary bytes to the URL and string helpers and checks what must
// hold for any input: escaping is reversible and leaves no escapable byte,
// trimming leaves no whitespace at either end, a parsed URL gives back its
// own parts, and resolution never loses the uri.
#include <zel_upnp/utils.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using zel_upnp::utils::StringUtils;

bool Escapable(unsigned char b) {
    return b >= 0x20 && b <= 0x7f &&
           !((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void CheckEscape(const std::string& in) {
    std::string out;
    StringUtils::EscapeURI(in, out);
    std::string decoded;
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(out[i]);
        if (b == '%') {
            if (i + 2 >= out.size())
                std::abort();
            const int hi = HexValue(out[i + 1]);
            const int lo = HexValue(out[i + 2]);
            if (hi < 0 || lo < 0 || !Escapable(static_cast<unsigned char>(hi * 16 + lo)))
                std::abort();
            decoded.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            if (Escapable(b))
                std::abort();
            decoded.push_back(static_cast<char>(b));
        }
    }
    if (decoded != in)
        std::abort();
}

void CheckTrim(const std::string& in) {
    std::string s = in;
    StringUtils::TrimString(s);
    const std::string space = " \t\f\v\n\r";
    if (!s.empty() &&
        (space.find(s.front()) != std::string::npos || space.find(s.back()) != std::string::npos))
        std::abort();
    if (in.find(s) == std::string::npos)
        std::abort();
}

void CheckParse(const std::string& url) {
    std::string host, path;
    int port = 0;
    if (StringUtils::ParseURI(url, host, port, path) != 1)
        return;
    if (path.empty() || path[0] != '/')
        std::abort();
    if (url.find("//" + host + ":") == std::string::npos)
        std::abort();
}

void CheckResolve(const std::string& uri, const std::string& base) {
    std::string out;
    const int rc = StringUtils::GetAbsoluteUri(uri, base, "10.0.0.1", 80, "http://d", out);
    if (uri.empty()) {
        if (rc != zel_upnp::utils::UTILS_INVALID_INPUT)
            std::abort();
        return;
    }
    if (rc != zel_upnp::utils::UTILS_SUCCESS)
        std::abort();
    // The uri, or all of it but a leading slash merged into the base's, ends
    // the result.
    const std::string tail = uri[0] == '/' ? uri.substr(1) : uri;
    if (out.size() < tail.size() || out.compare(out.size() - tail.size(), tail.size(), tail) != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    CheckEscape(in);
    CheckTrim(in);
    CheckParse(in);
    std::string hash;
    StringUtils::GetHashValue(in, hash);
    // The first newline splits the input into a uri and a base.
    const size_t split = in.find('\n');
    if (split == std::string::npos)
        CheckResolve(in, "");
    else
        CheckResolve(in.substr(0, split), in.substr(split + 1));
    return 0;
}
