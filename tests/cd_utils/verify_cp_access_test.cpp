#include "cd_utils/src/verify_cp_access.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include <zel_upnp/network_layer.h>
#include "support/netns.h"
#include "zel_platform_sim.h"

namespace {

using namespace zel_upnp::cd_utils;
using zel_upnp::utils::HTTPInfo;

const char kUdn[] = "uuid:acl-test-device";
// Neighbour entries written into the device namespace: two addresses of one
// CP (for the IP change) and a second CP. No ARP entry exists for kStranger.
const char kIp[] = "10.213.1.10";
const char kIpMoved[] = "10.213.1.11";
const char kIp2[] = "10.213.1.12";
const char kStranger[] = "10.213.1.99";
// The first CP over IPv6 (same MAC), and an IPv6 address nobody resolved.
const char kIp6[] = "fd00:213:1::10";
const char kStranger6[] = "fd00:213:1::99";
const char kMac[] = "02-00-00-00-00-10";
const char kMac2[] = "02-00-00-00-00-12";
// A User-Agent whose derived name does not depend on the numbering.
const char kStableAgent[] = "DLNADOC/1.50 QTN_HHP_Tab9/1.0";

// What the listener saw, and what it answers.
std::mutex g_events_mutex;
std::vector<stEventNotification> g_events;
std::atomic<bool> g_answer{true};

bool Listener(const boost::shared_ptr<stEventNotification>& event) {
    std::lock_guard<std::mutex> lock(g_events_mutex);
    g_events.push_back(*event);
    return g_answer.load();
}

size_t EventCount(int32_t type) {
    std::lock_guard<std::mutex> lock(g_events_mutex);
    size_t n = 0;
    for (const auto& e : g_events)
        n += e.event_type == type ? 1 : 0;
    return n;
}

bool Request(const std::string& ip, const std::string& agent = kStableAgent,
             AuthorizedCPInfo* info = nullptr) {
    boost::shared_ptr<HTTPInfo> request = boost::make_shared<HTTPInfo>();
    request->SetClientIpAddress(ip);
    request->SetHeader("User-Agent", agent);
    AuthorizedCPInfo scratch;
    return IsCpAuthorizedAndGetCpInfo(kUdn, request, info != nullptr ? *info : scratch);
}

bool InList(AclPermission permission, const std::string& mac) {
    return FindAclEntry(kUdn, permission, mac) == 0;
}

TEST(VerifyCpAccess, SanitizeUserAgent) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"x", "x"},
        {"\"", "\""},
        {"Foo Microsoft-Windows/6.1 \"UPnP\"", "Windows-Media-Player"},
        {"\"DLNADOC/1.50 QTN_HHP_Tab9/1.0\"", "QTN_HHP_Tab9/1.0"},
        {"lead DLNADOC/1.50  \t Phone MS-DeviceCaps/1024x", "Phone x"},
        {"DLNADOC/1.", ""},
        {"  \"a\"\"b\" ", "ab "},
    };
    for (const auto& c : cases) {
        std::string agent = c.in;
        SanitizeUserAgent(agent);
        EXPECT_EQ(agent, c.out) << c.in;
    }
}

class VerifyCpAccessNetns : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!zel_test::NetnsTopology::Available())
            return;
        topo_.reset(new zel_test::NetnsTopology(1, {"p2p0"}));
        const std::string dev = " dev " + topo_->Link(0).device_if + " nud permanent";
        ready_ =
            topo_->Ok() && topo_->EnterDevice() &&
            zel_test::NetnsTopology::Exec(
                topo_->DeviceNs(),
                std::string("ip neigh add ") + kIp + " lladdr 02:00:00:00:00:10" + dev +
                    " && ip neigh add " + kIpMoved + " lladdr 02:00:00:00:00:10" + dev +
                    " && ip neigh add " + kIp2 + " lladdr 02:00:00:00:00:12" + dev +
                    " && ip neigh add " + topo_->Link(0).device_ip + " lladdr 02:00:00:00:00:01" +
                    dev + " && sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf." +
                    topo_->Link(0).device_if + ".disable_ipv6=0 && ip -6 neigh add " + kIp6 +
                    " lladdr 02:00:00:00:00:10" + dev) == 0;
    }
    static void TearDownTestSuite() {
        UnRegisterAclListener(kUdn);
        topo_.reset();
    }
    void SetUp() override {
        if (!zel_test::NetnsTopology::Available())
            GTEST_SKIP() << "needs root to create network namespaces for ARP entries";
        ASSERT_TRUE(ready_) << topo_->Error();
        Register(ACL_MODE_ASK);
    }
    void Register(AclPermitMode mode) {
        ASSERT_EQ(RegisterAclListener(kUdn, Listener, mode), 0);
        std::lock_guard<std::mutex> lock(g_events_mutex);
        g_events.clear();
        g_answer = true;
    }
    static std::unique_ptr<zel_test::NetnsTopology> topo_;
    static bool ready_;
};
std::unique_ptr<zel_test::NetnsTopology> VerifyCpAccessNetns::topo_;
bool VerifyCpAccessNetns::ready_ = false;

TEST_F(VerifyCpAccessNetns, EachModeDecidesAndRecords) {
    const struct {
        AclPermitMode mode;
        AclPermission preset;  // where the CP stands before the request; -1: nowhere
        bool allowed;
        AclPermission after;  // where it stands afterwards; -1: nowhere
    } cases[] = {
        {ACL_MODE_ALLOW_ALL, AclPermission(-1), true, ACL_PERMITTED},
        {ACL_MODE_ALLOW_UNLESS_REJECTED, AclPermission(-1), true, ACL_PERMITTED},
        {ACL_MODE_ALLOW_UNLESS_REJECTED, ACL_REJECTED, false, ACL_REJECTED},
        {ACL_MODE_DENY_ALL, ACL_PERMITTED, false, ACL_REJECTED},
        {ACL_MODE_ALLOW_UNRECORDED, AclPermission(-1), true, AclPermission(-1)},
        {ACL_MODE_OFF, AclPermission(-1), true, AclPermission(-1)},
    };
    for (const auto& c : cases) {
        Register(c.mode);
        AddAclEntry(kUdn, c.preset, kMac, kIp, kStableAgent, "Tab9");
        EXPECT_EQ(Request(kIp), c.allowed) << "mode " << c.mode;
        for (AclPermission p : {ACL_PERMITTED, ACL_REJECTED, ACL_WAITING}) {
            EXPECT_EQ(InList(p, kMac), p == c.after || p == c.preset)
                << "mode " << c.mode << " list " << p;
        }
        // Unidentifiable requests are denied whatever the mode.
        EXPECT_FALSE(Request(kStranger));
        EXPECT_FALSE(Request(kStranger6));
        EXPECT_FALSE(Request(""));
    }
    Register(ACL_MODE_OFF);
    EXPECT_FALSE(IsCpAuthorized(kUdn, boost::shared_ptr<HTTPInfo>()));
    EXPECT_FALSE(IsCpAuthorized("", boost::make_shared<HTTPInfo>()));
    UnRegisterAclListener(kUdn);
    EXPECT_FALSE(Request(kIp));
}

TEST_F(VerifyCpAccessNetns, AskModeWaitsNotifiesOnceAndFollowsTheApplication) {
    g_answer = false;  // the application does not take the newcomer
    EXPECT_FALSE(Request(kIp));
    EXPECT_EQ(EventCount(ACL_EVENT_NEW_DEVICE), 1u);
    EXPECT_FALSE(InList(ACL_WAITING, kMac));

    g_answer = true;
    EXPECT_FALSE(Request(kIp));
    EXPECT_FALSE(Request(kIp));  // waiting: denied, not asked again
    EXPECT_EQ(EventCount(ACL_EVENT_NEW_DEVICE), 2u);
    EXPECT_TRUE(InList(ACL_WAITING, kMac));

    ASSERT_EQ(AddAclEntry(kUdn, ACL_PERMITTED, kMac, kIp, kStableAgent, "Tab9"), 0);
    EXPECT_FALSE(InList(ACL_WAITING, kMac));
    EXPECT_TRUE(Request(kIp));
    EXPECT_EQ(EventCount(ACL_EVENT_IP_CHANGED) + EventCount(ACL_EVENT_NAME_CHANGED), 0u);

    // Back under another address: allowed only if the application agrees;
    // the new address is recorded either way.
    g_answer = false;
    EXPECT_FALSE(Request(kIpMoved));
    EXPECT_EQ(EventCount(ACL_EVENT_IP_CHANGED), 1u);
    g_answer = true;
    EXPECT_TRUE(Request(kIpMoved));  // unchanged now, the listener is not asked
    EXPECT_EQ(EventCount(ACL_EVENT_IP_CHANGED), 1u);
    EXPECT_TRUE(Request(kIpMoved, "Other_LCP"));
    EXPECT_EQ(EventCount(ACL_EVENT_NAME_CHANGED), 1u);
    // Over IPv6: the same CP by its MAC, at another address.
    EXPECT_TRUE(Request(kIp6, "Other_LCP"));
    EXPECT_EQ(EventCount(ACL_EVENT_IP_CHANGED), 2u);
    std::string mac, name;
    ASSERT_EQ(GetPermittedCPInfo(kUdn, kIp6, "", mac, name), 0);
    EXPECT_EQ(name, "Other");

    // Registering again starts with empty lists.
    Register(ACL_MODE_ASK);
    EXPECT_FALSE(InList(ACL_PERMITTED, kMac));
}

TEST_F(VerifyCpAccessNetns, ConcurrentFirstRequestsOfOneCpNotifyOnce) {
    // The CP is identifiable: the race below is over the lists.
    std::string warm;
    ASSERT_EQ(zel_upnp::network_layer::GetMacAddress(kIp, warm), 0);
    const int kThreads = 8;
    std::atomic<int> allowed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] { allowed += Request(kIp2) ? 1 : 0; });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(allowed.load(), 0);
    EXPECT_EQ(EventCount(ACL_EVENT_NEW_DEVICE), 1u);
    int count = 0;
    AclEntryList waiting;
    EXPECT_EQ(GetAclEntries(kUdn, ACL_WAITING, count, waiting), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(waiting.front()->mac_address, kMac2);
}

TEST_F(VerifyCpAccessNetns, LocalRequestsPassUnrecordedAndP2pPeersGetTheirDeviceMac) {
    namespace nl = zel_upnp::network_layer;
    const std::string own = topo_->Link(0).device_ip;
    ASSERT_EQ(nl::InitializeNetworkLayer(), 0);
    ASSERT_EQ(nl::NotifyNICAdded("p2p0", own, "255.255.255.0"), 0);
    Register(ACL_MODE_DENY_ALL);
    EXPECT_TRUE(Request(own));
    int count = -1;
    AclEntryList entries;
    EXPECT_EQ(GetAclEntries(kUdn, ACL_REJECTED, count, entries), 1);

    zel_platform_sim_reset();
    zel_platform_sim_set_wifi_direct_state(WIFI_DIRECT_STATE_CONNECTED);
    zel_platform_sim_add_wifi_direct_peer("peer", kIp2, "02:00:00:00:99:12", "02:00:00:00:00:12");
    const struct {
        std::string local, mac, after;
    } cases[] = {{kIp2, kMac2, kMac2}, {own, kMac, kMac}, {own, kMac2, "02-00-00-00-99-12"}};
    for (const auto& c : cases) {
        std::string mac = c.mac;
        ChangeMacAddrForWIDI(c.local, "", mac);
        EXPECT_EQ(mac, c.after) << c.local << " " << c.mac;
    }
    zel_platform_sim_reset();
    nl::TerminateNetworkLayer();
}

}  // namespace
