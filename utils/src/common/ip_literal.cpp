#include "utils/src/common/ip_literal.h"

#include <cstdlib>

namespace zel_upnp {
namespace utils {

namespace {

const char kZoneSeparator = '%';
// Longest literal: a full IPv6 text with an embedded IPv4 part, then a zone.
const std::size_t kMaxLiteralLength = 45 + 1 + kMaxZoneLength;
// Longest interface index as text (an unsigned 32-bit value).
const std::size_t kMaxIndexDigits = 10;

bool IsScoped(const boost::asio::ip::address_v6& address) {
    return address.is_link_local() || address.is_multicast_link_local();
}

// The index of the interface zone names, 0 when there is none.
unsigned ZoneIndex(const std::string& zone) {
    if (!IsZoneText(zone))
        return 0;
    if (zone.find_first_not_of("0123456789") == std::string::npos) {
        if (zone.size() > kMaxIndexDigits)
            return 0;
        const unsigned long index = std::strtoul(zone.c_str(), nullptr, 10);
        char name[IF_NAMESIZE] = {};
        if (index == 0 || index > 0xffffffffUL ||
            if_indextoname(static_cast<unsigned>(index), name) == nullptr)
            return 0;
        return static_cast<unsigned>(index);
    }
    return if_nametoindex(zone.c_str());
}

}  // namespace

bool IsZoneText(const std::string& zone) {
    if (zone.empty() || zone.size() > kMaxZoneLength)
        return false;
    for (const char c : zone) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!allowed)
            return false;
    }
    return true;
}

bool ParseIpLiteral(const std::string& text, boost::asio::ip::address& address, ZoneRule rule) {
    if (text.empty() || text.size() > kMaxLiteralLength)
        return false;
    boost::system::error_code ec;
    if (text.find(':') == std::string::npos) {
        const boost::asio::ip::address_v4 v4 = boost::asio::ip::make_address_v4(text, ec);
        if (ec)
            return false;
        address = v4;
        return true;
    }
    // The library's own zone handling takes any suffix and falls back to an
    // index of 0 for a name it does not know: split it off here instead.
    const std::size_t separator = text.find(kZoneSeparator);
    boost::asio::ip::address_v6 v6 =
        boost::asio::ip::make_address_v6(text.substr(0, separator), ec);
    if (ec)
        return false;
    if (separator == std::string::npos) {
        if (IsScoped(v6) && rule == ZoneRule::kRequired)
            return false;
        address = v6;
        return true;
    }
    const unsigned index = IsScoped(v6) ? ZoneIndex(text.substr(separator + 1)) : 0;
    if (index == 0)
        return false;
    v6.scope_id(index);
    address = v6;
    return true;
}

std::string ZonedLiteral(const std::string& text, const std::string& interface) {
    if (text.find(':') == std::string::npos || text.find(kZoneSeparator) != std::string::npos)
        return text;
    boost::system::error_code ec;
    const boost::asio::ip::address_v6 v6 = boost::asio::ip::make_address_v6(text, ec);
    if (ec || !IsScoped(v6) || !IsZoneText(interface))
        return text;
    return text + kZoneSeparator + interface;
}

}  // namespace utils
}  // namespace zel_upnp
