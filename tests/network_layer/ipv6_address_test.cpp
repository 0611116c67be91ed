#include "network_layer/src/ipv6_address.h"

#include <gtest/gtest.h>

namespace {

namespace nl = zel_upnp::network_layer;

TEST(Ipv6Address, KernelLinesKeepOnlyUsableServableAddresses) {
    const struct {
        const char* line;
        bool kept;
        const char* address;
        int prefix;
        int scope;
    } rows[] = {
        {"fd5a00e1000000000000000000000001 02 40 00 80 zel0", true, "fd5a:e1::1", 64,
         nl::IPV6_SCOPE_UNIQUE_LOCAL},
        {"fe80000000000000a8bbccfffe001122 02 40 20 80 zel0", true, "fe80::a8bb:ccff:fe00:1122", 64,
         nl::IPV6_SCOPE_LINK},
        {"20010db8000000000000000000000005 03 30 00 00 eth1", true, "2001:db8::5", 48,
         nl::IPV6_SCOPE_GLOBAL},
        {"fd5a00e1000000000000000000000001 02 40 00 c0 zel0", false, "", 0, 0},  // tentative
        {"fd5a00e1000000000000000000000001 02 40 00 88 zel0", false, "", 0, 0},  // DAD failed
        {"fd5a00e1000000000000000000000001 02 40 00 a0 zel0", false, "", 0, 0},  // deprecated
        {"00000000000000000000000000000001 01 80 10 80 lo", false, "", 0, 0},    // loopback
        {"00000000000000000000ffff0a000001 02 60 00 80 zel0", false, "", 0, 0},  // v4-mapped
        {"ff020000000000000000000000000001 02 80 00 80 zel0", false, "", 0, 0},  // multicast
        {"fd5a00e10000000000000000000000 02 40 00 80 zel0", false, "", 0, 0},    // short
        {"fd5a00e1000000000000000000000001 02 81 00 80 zel0", false, "", 0, 0},  // prefix > 128
        {"fd5a00e1000000000000000000000001 02 40 00 80", false, "", 0, 0},       // no name
    };
    for (const auto& row : rows) {
        std::string name;
        nl::Ipv6Address address;
        ASSERT_EQ(row.kept, nl::ParseKernelIpv6Line(row.line, &name, &address)) << row.line;
        if (!row.kept)
            continue;
        EXPECT_EQ(row.address, address.address) << row.line;
        EXPECT_EQ(row.prefix, address.prefix_length) << row.line;
        EXPECT_EQ(row.scope, address.scope) << row.line;
    }
}

TEST(Ipv6Address, ChoiceOnLinkTestsAndWireForms) {
    nl::NetInfo info;
    info.interface_name = "zel0";
    EXPECT_EQ("", nl::Ipv6ServerAddress(info));
    info.ipv6_addresses.push_back({"fe80::1", 64, nl::IPV6_SCOPE_LINK});
    EXPECT_EQ("fe80::1%zel0", nl::Ipv6ServerAddress(info)) << "link-local only when alone";
    info.ipv6_addresses.push_back({"fd5a:e1::1", 64, nl::IPV6_SCOPE_UNIQUE_LOCAL});
    EXPECT_EQ("fd5a:e1::1", nl::Ipv6ServerAddress(info));

    const struct {
        const char* peer;
        bool onLink;
    } peers[] = {
        {"fd5a:e1::2", true},  {"FD5A:E1:0:0::9", true},
        {"fd5a:e2::2", false}, {"fe80::2%zel0", true},
        {"fe80::2", true},     {"fe80::2%eth9", false},
        {"::1", false},        {"::", false},
        {"ff02::c", false},    {"::ffff:10.0.0.2", false},
        {"10.0.0.2", false},   {"fd5a:e1::2%zel0x", true},
    };
    for (const auto& p : peers)
        EXPECT_EQ(p.onLink, nl::Ipv6OnLink(info, p.peer)) << p.peer;

    const struct {
        const char* host;
        const char* url;
    } hosts[] = {
        {"10.0.0.1", "10.0.0.1"}, {"fd5a:e1::1", "[fd5a:e1::1]"}, {"fe80::1%zel0", "[fe80::1]"},
        {"FF02::C", "[FF02::C]"}, {"name.local", "name.local"},
    };
    for (const auto& h : hosts)
        EXPECT_EQ(h.url, nl::UrlHost(h.host)) << h.host;
}

}  // namespace
