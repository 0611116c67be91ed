// IPv6 address helpers shared by the registry, the monitor, the server
// manager and the device families: classification, the choice of the one
// address an interface serves on, on-link tests and the text forms that go
// into URLs and HOST headers. Pure functions without state, except
// ReadKernelIpv6Addresses, which reads the kernel's list of the calling
// thread's network namespace.
//
// Inside the library a link-local address always carries its zone
// ("fe80::1%eth0"), because it means nothing without one; on the wire (URLs,
// HOST headers) the zone is dropped and the receiver uses the interface it
// heard on.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <zel_upnp/network_layer.h>

namespace zel_upnp {
namespace network_layer {

// The SSDP groups of IPv6: link-local and site-local scope.
extern const char kSsdpGroupLinkLocal[];
extern const char kSsdpGroupSiteLocal[];

// True when text (a zone index allowed) is an IPv6 literal.
bool IsIpv6Literal(const std::string& text);
// True when both are IPv6 literals of the same address (zones ignored).
bool SameIpv6Address(const std::string& address1, const std::string& address2);
// text without a trailing "%zone".
std::string StripZone(const std::string& text);
// The zone of text ("eth0" for "fe80::1%eth0"), empty when there is none.
std::string ZoneOf(const std::string& text);
// The host as it goes into a URL or HOST header: an IPv6 literal bracketed
// and without its zone, anything else unchanged.
std::string UrlHost(const std::string& host);

// IPV6_SCOPE_* of a unicast address; 0 for the unspecified, loopback,
// multicast and v4-mapped addresses, which an interface never serves on.
int Ipv6ScopeOf(const std::string& address);

// The address an interface serves IPv6 on: the first unique-local or global
// one, else the first link-local one. False when it has none.
bool ChooseIpv6Address(const NetInfo& info, Ipv6Address* chosen);
// The chosen address as the servers bind it: with "%name" when link-local.
// Empty when the interface has no IPv6 address.
std::string Ipv6ServerAddress(const NetInfo& info);

// True when address (an IPv6 literal, zone allowed) lies on one of the
// interface's on-link prefixes. A link-local address is on-link when its
// zone, if any, names the interface and the interface has a link-local
// address itself.
bool Ipv6OnLink(const NetInfo& info, const std::string& address);
// True when both lie in one prefix of prefix_length bits (zones ignored).
bool Ipv6SamePrefix(const std::string& address1, const std::string& address2, int prefix_length);

// One line of the kernel's IPv6 address list (the format of
// /proc/net/if_inet6: address in 32 hex digits, index, prefix length, scope,
// flags, name). False for a line to skip: malformed, tentative, failed or
// deprecated, or an address an interface never serves on.
bool ParseKernelIpv6Line(const std::string& line, std::string* name, Ipv6Address* address);
// The usable IPv6 addresses of every interface of the calling thread's
// namespace, by name, in the kernel's order.
std::map<std::string, std::vector<Ipv6Address> > ReadKernelIpv6Addresses();

// At most this many IPv6 addresses are kept per interface (router
// advertisements of a LAN peer can add addresses); the rest are ignored.
constexpr size_t kMaxIpv6AddressesPerInterface = 16;

// False when IPv6 has been switched off by SetIPv6Enabled.
bool Ipv6Enabled();
// The switch itself; SetIPv6Enabled also rebuilds the servers.
void StoreIpv6Enabled(bool enable);

}  // namespace network_layer
}  // namespace zel_upnp
