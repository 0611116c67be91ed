// Address literals as the network calls take them: a dotted IPv4 address, or
// an IPv6 address with an optional zone ("fe80::1%eth0", "fe80::1%3"). Never
// a name to look up, never brackets: brackets belong to URLs and Host
// headers (StringUtils::HostPort and ParseURI).
#pragma once

#include <net/if.h>

#include <cstddef>
#include <string>

#include <boost/asio/ip/address.hpp>

namespace zel_upnp {
namespace utils {

// Longest zone: an interface name as the kernel bounds it.
constexpr std::size_t kMaxZoneLength = IF_NAMESIZE - 1;

// Whether a link-local IPv6 address without a zone is taken.
enum class ZoneRule {
    kRequired,  // to connect or bind: the kernel cannot pick the link
    kOptional,  // to look the address up: any link will do
};

// True when zone is an interface name or index as text: 1 to 15 of
// [A-Za-z0-9._-]. Says nothing about whether the interface exists.
bool IsZoneText(const std::string& zone);

// Parses text into address; false, address untouched, when text is not a
// literal. A zone is taken only on a link-local address (unicast fe80::/10 or
// multicast scope 2) and must name an interface, by name or index, that
// exists in the calling thread's network namespace.
bool ParseIpLiteral(const std::string& text, boost::asio::ip::address& address,
                    ZoneRule rule = ZoneRule::kRequired);

// text with a zone of its own, or with "%interface" appended when it is a
// link-local IPv6 address without one; any other text as it is.
std::string ZonedLiteral(const std::string& text, const std::string& interface);

}  // namespace utils
}  // namespace zel_upnp
