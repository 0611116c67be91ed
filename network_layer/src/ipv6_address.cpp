#include "network_layer/src/ipv6_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zel_upnp {
namespace network_layer {

const char kSsdpGroupLinkLocal[] = "FF02::C";
const char kSsdpGroupSiteLocal[] = "FF05::C";

namespace {

// Flags of the kernel's address list (IFA_F_*): such an address cannot be
// bound yet, never will be, or should no longer be chosen.
const unsigned kFlagDadFailed = 0x08;
const unsigned kFlagDeprecated = 0x20;
const unsigned kFlagTentative = 0x40;
const size_t kHexAddressLength = 32;

std::atomic<bool> g_ipv6_enabled(true);

bool ParseV6(const std::string& text, in6_addr* out) {
    const std::string bare = StripZone(text);
    return !bare.empty() && bare.find('\0') == std::string::npos &&
           inet_pton(AF_INET6, bare.c_str(), out) == 1;
}

int ScopeOf(const in6_addr& a) {
    if (IN6_IS_ADDR_UNSPECIFIED(&a) || IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_MULTICAST(&a) ||
        IN6_IS_ADDR_V4MAPPED(&a) || IN6_IS_ADDR_V4COMPAT(&a))
        return 0;
    if (IN6_IS_ADDR_LINKLOCAL(&a))
        return IPV6_SCOPE_LINK;
    if ((a.s6_addr[0] & 0xfe) == 0xfc)
        return IPV6_SCOPE_UNIQUE_LOCAL;
    return IPV6_SCOPE_GLOBAL;
}

bool SamePrefix(const in6_addr& a, const in6_addr& b, int bits) {
    if (bits < 0 || bits > 128)
        return false;
    const int bytes = bits / 8;
    if (std::memcmp(a.s6_addr, b.s6_addr, static_cast<size_t>(bytes)) != 0)
        return false;
    const int rest = bits % 8;
    if (rest == 0)
        return true;
    const unsigned mask = (0xffu << (8 - rest)) & 0xffu;
    return (a.s6_addr[bytes] & mask) == (b.s6_addr[bytes] & mask);
}

}  // namespace

bool IsIpv6Literal(const std::string& text) {
    in6_addr parsed;
    return ParseV6(text, &parsed);
}

bool SameIpv6Address(const std::string& address1, const std::string& address2) {
    in6_addr a;
    in6_addr b;
    return ParseV6(address1, &a) && ParseV6(address2, &b) &&
           std::memcmp(a.s6_addr, b.s6_addr, sizeof(a.s6_addr)) == 0;
}

std::string StripZone(const std::string& text) {
    return text.substr(0, text.find('%'));
}

std::string ZoneOf(const std::string& text) {
    const size_t percent = text.find('%');
    return percent == std::string::npos ? std::string() : text.substr(percent + 1);
}

std::string UrlHost(const std::string& host) {
    return IsIpv6Literal(host) ? "[" + StripZone(host) + "]" : host;
}

int Ipv6ScopeOf(const std::string& address) {
    in6_addr parsed;
    return ParseV6(address, &parsed) ? ScopeOf(parsed) : 0;
}

bool ChooseIpv6Address(const NetInfo& info, Ipv6Address* chosen) {
    const Ipv6Address* link = nullptr;
    for (const Ipv6Address& candidate : info.ipv6_addresses) {
        if (candidate.scope == IPV6_SCOPE_UNIQUE_LOCAL || candidate.scope == IPV6_SCOPE_GLOBAL) {
            *chosen = candidate;
            return true;
        }
        if (candidate.scope == IPV6_SCOPE_LINK && link == nullptr)
            link = &candidate;
    }
    if (link == nullptr)
        return false;
    *chosen = *link;
    return true;
}

std::string Ipv6ServerAddress(const NetInfo& info) {
    Ipv6Address chosen;
    if (!ChooseIpv6Address(info, &chosen))
        return std::string();
    if (chosen.scope == IPV6_SCOPE_LINK)
        return chosen.address + "%" + info.interface_name;
    return chosen.address;
}

bool Ipv6OnLink(const NetInfo& info, const std::string& address) {
    in6_addr peer;
    if (!ParseV6(address, &peer))
        return false;
    const int scope = ScopeOf(peer);
    if (scope == 0)
        return false;
    const std::string zone = ZoneOf(address);
    for (const Ipv6Address& own : info.ipv6_addresses) {
        in6_addr mine;
        if (!ParseV6(own.address, &mine))
            continue;
        if (scope == IPV6_SCOPE_LINK) {
            if (own.scope == IPV6_SCOPE_LINK && (zone.empty() || zone == info.interface_name))
                return true;
            continue;
        }
        if (own.scope != IPV6_SCOPE_LINK && SamePrefix(peer, mine, own.prefix_length))
            return true;
    }
    return false;
}

bool Ipv6SamePrefix(const std::string& address1, const std::string& address2, int prefix_length) {
    in6_addr a;
    in6_addr b;
    return ParseV6(address1, &a) && ParseV6(address2, &b) && SamePrefix(a, b, prefix_length);
}

bool ParseKernelIpv6Line(const std::string& line, std::string* name, Ipv6Address* address) {
    std::istringstream fields(line);
    std::string hex;
    std::string index;
    std::string prefix;
    std::string scope;
    std::string flags;
    if (!(fields >> hex >> index >> prefix >> scope >> flags >> *name) ||
        hex.size() != kHexAddressLength ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    char* end = nullptr;
    const unsigned long flag_bits = std::strtoul(flags.c_str(), &end, 16);
    if (*end != '\0' || (flag_bits & (kFlagDadFailed | kFlagDeprecated | kFlagTentative)) != 0)
        return false;
    const unsigned long bits = std::strtoul(prefix.c_str(), &end, 16);
    if (*end != '\0' || bits > 128)
        return false;
    in6_addr parsed;
    for (size_t i = 0; i < 16; ++i)
        parsed.s6_addr[i] =
            static_cast<unsigned char>(std::strtoul(hex.substr(i * 2, 2).c_str(), nullptr, 16));
    char text[INET6_ADDRSTRLEN] = {0};
    const int kind = ScopeOf(parsed);
    if (kind == 0 || inet_ntop(AF_INET6, &parsed, text, sizeof(text)) == nullptr)
        return false;
    address->address = text;
    address->prefix_length = static_cast<int>(bits);
    address->scope = kind;
    return true;
}

std::map<std::string, std::vector<Ipv6Address> > ReadKernelIpv6Addresses() {
    std::map<std::string, std::vector<Ipv6Address> > found;
    // The calling thread's namespace: library threads may live in another
    // namespace than the process's first thread.
    std::ifstream list("/proc/thread-self/net/if_inet6");
    if (!list)
        list.open("/proc/self/net/if_inet6");
    std::string line;
    while (std::getline(list, line)) {
        std::string name;
        Ipv6Address address;
        if (!ParseKernelIpv6Line(line, &name, &address))
            continue;
        std::vector<Ipv6Address>& addresses = found[name];
        if (addresses.size() < kMaxIpv6AddressesPerInterface)
            addresses.push_back(address);
    }
    return found;
}

bool Ipv6Enabled() {
    return g_ipv6_enabled.load();
}

void StoreIpv6Enabled(bool enable) {
    g_ipv6_enabled.store(enable);
}

}  // namespace network_layer
}  // namespace zel_upnp
