// String and URL helpers shared by every family. Nothing here keeps state:
// all members are static and reentrant.
#include <zel_upnp/utils.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <locale>
#include <string>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <boost/lexical_cast.hpp>

#include "utils/src/common/ip_literal.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

namespace {

// std::ctype<char>::narrow fills a per-character cache on first use, and
// Boost.Format calls it from every thread that builds a start line or a
// header. Filling the cache while the library loads, on the one thread that
// loads it, leaves those threads only reading it.
struct NarrowCacheFill {
    NarrowCacheFill() {
        const std::ctype<char>& facet = std::use_facet<std::ctype<char>>(std::locale());
        for (int c = 0; c < 256; ++c)
            facet.narrow(static_cast<char>(c), '\0');
    }
};
const NarrowCacheFill g_narrow_cache_fill;

// Whitespace that TrimString removes, as isspace() knows it in the C locale.
constexpr const char* kTrimmedCharacters = " \t\f\v\n\r";

// Multiplier of the string hash (the classic times-33 hash with exclusive-or).
constexpr uint32_t kHashMultiplier = 33;

// "%XX" plus the NUL snprintf writes.
constexpr size_t kEscapeBufferSize = 4;

constexpr const char* kHttpSchemePrefix = "http://";
constexpr const char* kSchemeSeparator = "//";
constexpr const char* kDefaultPath = "/";
// RFC 6874: the "%" before a zone in a URL is itself escaped.
constexpr const char* kZoneEscape = "%25";
constexpr int kMaxPort = 65535;

// The printable bytes that are neither letters nor digits, which EscapeURI
// encodes. Control bytes and bytes from 128 up pass unchanged.
bool NeedsEscape(unsigned char byte) {
    return (byte >= 32 && byte <= 47) || (byte >= 58 && byte <= 64) || (byte >= 91 && byte <= 96) ||
           (byte >= 123 && byte <= 127);
}

// A malloc copy of length bytes followed by a NUL; null when memory runs out.
char* MallocCopy(const char* data, size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Memory allocation failed");
        return nullptr;
    }
    std::memcpy(copy, data, length);
    copy[length] = '\0';
    return copy;
}

// An IPv6 host in brackets at url[start]: "[fd00::1]", or a link-local one
// with its zone escaped as "%25" ("[fe80::1%25eth0]"). host gets the bare
// literal ("fe80::1%eth0"), end the position after the closing bracket.
bool ParseBracketedHost(const std::string& url, size_t start, std::string& host, size_t& end) {
    const size_t close = url.find(']', start);
    if (close == std::string::npos)
        return false;
    std::string literal = url.substr(start + 1, close - start - 1);
    std::string zone;
    const size_t escape = literal.find(kZoneEscape);
    if (escape != std::string::npos) {
        zone = literal.substr(escape + std::strlen(kZoneEscape));
        literal.resize(escape);
        if (!IsZoneText(zone))
            return false;
    }
    // A '%' left is not the escape of a zone, and the address parser would
    // take it for one.
    if (literal.find('%') != std::string::npos)
        return false;
    boost::system::error_code ec;
    const boost::asio::ip::address_v6 address = boost::asio::ip::make_address_v6(literal, ec);
    if (ec || (!zone.empty() && !address.is_link_local() && !address.is_multicast_link_local()))
        return false;
    host = zone.empty() ? literal : literal + "%" + zone;
    end = close + 1;
    return true;
}

}  // namespace

char* StringUtils::GetValue(const std::string& in) {
    if (in.empty())
        return nullptr;
    return MallocCopy(in.data(), in.size());
}

char* StringUtils::StrDup(const char* in) {
    if (in == nullptr || in[0] == '\0') {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return nullptr;
    }
    return MallocCopy(in, std::strlen(in));
}

void StringUtils::TrimString(std::string& str) {
    str.erase(0, str.find_first_not_of(kTrimmedCharacters));
    const size_t last = str.find_last_not_of(kTrimmedCharacters);
    str.erase(last == std::string::npos ? 0 : last + 1);
}

void StringUtils::EscapeURI(const std::string& in, std::string& out) {
    if (in.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Empty String");
        return;
    }
    std::string escaped;
    escaped.reserve(in.size());
    for (const char c : in) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (!NeedsEscape(byte)) {
            escaped.push_back(c);
            continue;
        }
        char code[kEscapeBufferSize];
        std::snprintf(code, sizeof(code), "%%%02X", static_cast<unsigned int>(byte));
        escaped.append(code);
    }
    out.swap(escaped);
}

int StringUtils::GetHashValue(const std::string& in, std::string& out) {
    if (in.empty())
        return 0;
    uint32_t hash = 0;
    for (const char c : in) {
        // Each byte counts as a signed char widened to 32 bits, so bytes from
        // 128 up contribute 0xFFFFFFxx; peers compare these values as text.
        const int32_t widened = static_cast<signed char>(c);
        hash = (hash * kHashMultiplier) ^ static_cast<uint32_t>(widened);
    }
    if (hash == 0)
        return 0;
    out = std::to_string(hash);
    return 1;
}

int StringUtils::GetAbsoluteUri(const std::string& uri, const std::string& baseUrl,
                                const std::string& ipAddress, const int& port,
                                const std::string& defaultBase, std::string& out) {
    if (uri.empty() || ipAddress.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return UTILS_INVALID_INPUT;
    }
    if (uri[0] == '/') {
        if (baseUrl.empty())
            out = kHttpSchemePrefix + ipAddress + ":" + std::to_string(port) + uri;
        else if (baseUrl.back() == '/')
            out = baseUrl + uri.substr(1);
        else
            out = baseUrl + uri;
        return UTILS_SUCCESS;
    }
    if (boost::algorithm::istarts_with(uri, kHttpSchemePrefix)) {
        out = uri;
        return UTILS_SUCCESS;
    }
    out = (baseUrl.empty() ? defaultBase : baseUrl) + "/" + uri;
    return UTILS_SUCCESS;
}

int StringUtils::ParseURI(const std::string& url, std::string& host, int& port, std::string& path) {
    try {
        // A CR, LF or NUL would reach a request line or a Host header.
        if (url.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            ZEL_LOGE(ZEL_CORE_UTILS, "Invalid String");
            return 0;
        }
        const size_t separator = url.find(kSchemeSeparator);
        if (separator == std::string::npos)
            return 0;
        const size_t hostStart = separator + std::strlen(kSchemeSeparator);
        std::string parsedHost;
        size_t colon = std::string::npos;
        if (url.compare(hostStart, 1, "[") == 0) {
            size_t hostEnd = 0;
            if (!ParseBracketedHost(url, hostStart, parsedHost, hostEnd) ||
                url.compare(hostEnd, 1, ":") != 0) {
                ZEL_LOGE(ZEL_CORE_UTILS, "Invalid String");
                return 0;
            }
            colon = hostEnd;
        } else {
            colon = url.find(':', hostStart);
            if (colon == std::string::npos)
                return 0;
            parsedHost = url.substr(hostStart, colon - hostStart);
        }
        const size_t slash = url.find('/', colon + 1);
        std::string portText;
        std::string parsedPath;
        if (slash != std::string::npos) {
            portText = url.substr(colon + 1, slash - colon - 1);
            parsedPath = url.substr(slash);
        } else {
            portText = url.substr(colon + 1);
            parsedPath = kDefaultPath;
        }
        const int parsedPort = boost::lexical_cast<int>(portText);
        if (parsedPort < 0 || parsedPort > kMaxPort) {
            ZEL_LOGE(ZEL_CORE_UTILS, "Invalid String");
            return 0;
        }
        host = parsedHost;
        port = parsedPort;
        path = parsedPath;
        return 1;
    } catch (const boost::bad_lexical_cast&) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid String");
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Exception:%s", e.what());
    }
    return 0;
}

std::string StringUtils::HostPort(const std::string& address, int port) {
    if (address.find(':') == std::string::npos)
        return address + ":" + std::to_string(port);
    return "[" + address.substr(0, address.find('%')) + "]:" + std::to_string(port);
}

}  // namespace utils
}  // namespace zel_upnp
