// The IPv6 side of the registry's address queries. The IPv4 answers are
// computed in networkinterface.cpp exactly as before; a query reaches this
// file only when one of its addresses is an IPv6 literal.
#include <net/if.h>

#include <cerrno>
#include <cstdlib>
#include <map>

#include <boost/thread/lock_guard.hpp>

#include "network_layer/src/ipv6_address.h"
#include "network_layer/src/networkinterface.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const char kIpv6Loopback[] = "::1";

bool IsIpv6Loopback(const std::string& address) {
    return SameIpv6Address(address, kIpv6Loopback);
}

}  // namespace

bool HoldsIpv6Address(const NetInfo& info, const std::string& address) {
    if (info.ipv6_addresses.empty() || !IsIpv6Literal(address))
        return false;
    for (const Ipv6Address& own : info.ipv6_addresses) {
        if (SameIpv6Address(own.address, address))
            return true;
    }
    return false;
}

bool SameIpv6Side(const NetInfo& a, const NetInfo& b) {
    if (a.interface_index != b.interface_index ||
        a.ipv6_addresses.size() != b.ipv6_addresses.size())
        return false;
    for (size_t i = 0; i < a.ipv6_addresses.size(); ++i) {
        const Ipv6Address& x = a.ipv6_addresses[i];
        const Ipv6Address& y = b.ipv6_addresses[i];
        if (x.address != y.address || x.prefix_length != y.prefix_length || x.scope != y.scope)
            return false;
    }
    return true;
}

void FillIpv6FromKernel(NetInfo& info) {
    info.interface_index = if_nametoindex(info.interface_name.c_str());
    if (info.interface_index == 0)
        return;
    std::map<std::string, std::vector<Ipv6Address> > kernel = ReadKernelIpv6Addresses();
    info.ipv6_addresses.swap(kernel[info.interface_name]);
}

bool NetworkInterface::IsSameIpv6PrefixWithLength(const std::string& address1,
                                                  const std::string& address2,
                                                  const std::string& prefixLength) {
    if (!IsIpv6Literal(address1) || !IsIpv6Literal(address2))
        return false;
    if (IsIpv6Loopback(address1) || IsIpv6Loopback(address2))
        return true;
    char* end = nullptr;
    errno = 0;
    const long bits = std::strtol(prefixLength.c_str(), &end, 10);
    if (prefixLength.empty() || errno != 0 || *end != '\0' || bits < 0 || bits > 128)
        return false;
    return Ipv6SamePrefix(address1, address2, static_cast<int>(bits));
}

bool NetworkInterface::IsSameIpv6Link(const std::string& address1, const std::string& address2,
                                      std::string& prefixLength) {
    if (!IsIpv6Literal(address1) || !IsIpv6Literal(address2))
        return false;
    if (IsIpv6Loopback(address1) || IsIpv6Loopback(address2))
        return true;
    std::vector<NetInfo> available;
    {
        boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
        available = available_;
    }
    // One of them ours: the other must be on-link on that interface.
    for (const NetInfo& info : available) {
        if (HoldsIpv6Address(info, address1))
            return Ipv6OnLink(info, address2);
        if (HoldsIpv6Address(info, address2))
            return Ipv6OnLink(info, address1);
    }
    // Neither: both on one on-link prefix of a known interface.
    for (const NetInfo& info : available) {
        for (const Ipv6Address& own : info.ipv6_addresses) {
            if (own.scope == IPV6_SCOPE_LINK)
                continue;
            prefixLength = std::to_string(own.prefix_length);
            if (Ipv6SamePrefix(own.address, address1, own.prefix_length) &&
                Ipv6SamePrefix(own.address, address2, own.prefix_length))
                return true;
        }
    }
    return false;
}

int NetworkInterface::OutgoingIpv6Address(const std::vector<NetInfo>& active,
                                          const std::string& remoteAddress,
                                          std::string& localAddress) {
    if (!Ipv6Enabled())
        return NL_NO_INTERFACE;
    for (const NetInfo& info : active) {
        if (!Ipv6OnLink(info, remoteAddress))
            continue;
        const std::string own = Ipv6ServerAddress(info);
        if (own.empty())
            continue;
        localAddress = own;
        return NL_SUCCESS;
    }
    return NL_NO_INTERFACE;
}

}  // namespace network_layer
}  // namespace zel_upnp
