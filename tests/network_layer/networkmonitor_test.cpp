#include "network_layer/src/networkmonitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/basic_network_monitor.h"
#include "network_layer/src/capi_network_monitor.h"
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/servermanager.h"
#include "support/peers.h"
#include "zel_platform_sim.h"

namespace {

namespace nl = zel_upnp::network_layer;
using nl::CAPINetworkMonitor;
using nl::NetInfo;
using nl::NetworkInterface;
typedef std::pair<std::string, int> Event;

// NIC events as the registry raises them, in order.
class EventLog : public nl::NetworkEventListener, public zel_test::Recording<Event> {
  public:
    void OnNetworkChanged(const std::string& name, int event) override { Add(Event(name, event)); }
    std::vector<Event> Events() { return All(); }
    size_t Count(const std::string& name, int event) {
        const std::vector<Event> events = All();
        return static_cast<size_t>(std::count(events.begin(), events.end(), Event(name, event)));
    }
    bool WaitFor(const std::string& name, int event, size_t count = 1) {
        return zel_test::WaitUntil([&] { return Count(name, event) >= count; });
    }
};

bool Present(const std::string& name, NetInfo* info = nullptr) {
    NetInfo found;
    bool present = nl::GetNetworkInterface(name, found) == 0;
    if (info != nullptr)
        *info = found;
    return present;
}

// The services monitor over the simulated platform, feeding a registry with
// automatic selection. Every change is followed by zel_platform_sim_flush, after which
// the registry has seen all it will see; events are recorded as the server
// manager would see them, synchronously on the raising thread.
class ServicesMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zel_platform_sim_reset();
        zel_platform_sim_use_service_monitor(1);
        NetworkInterface::SetMonitorFactory(&nl::CreatePlatformNetworkMonitor);
        NetworkInterface::SetNicEventHook(
            [this](const std::string& name, int event) { log_.OnNetworkChanged(name, event); });
        registry_ = NetworkInterface::CreateInstance();
        ASSERT_NE(nullptr, registry_);
        ASSERT_EQ(1, nl::ConfigureOnAllNetworkInterfaces(true));
    }
    void TearDown() override {
        nl::TerminateNetworkMonitor();
        NetworkInterface::DestroyInstance();
        NetworkInterface::SetNicEventHook(nl::NicEventHook());
        NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
        zel_platform_sim_reset();
    }
    static void EthernetUp(const char* address) {
        zel_platform_sim_set_ethernet(1, address, "255.255.255.0", "02:00:00:00:00:01");
    }
    static void WifiConnected(const char* address) {
        zel_platform_sim_set_wifi_device(1);
        zel_platform_sim_set_wifi_connection(WIFI_CONNECTION_STATE_CONNECTED, address,
                                             "255.255.0.0", "02:00:00:00:00:02");
    }
    static void WifiDirectGroup() {
        zel_platform_sim_set_wifi_direct_state(WIFI_DIRECT_STATE_CONNECTED);
        zel_platform_sim_set_wifi_direct_address("192.168.49.1", "255.255.255.0",
                                                 "02:00:00:00:00:03");
    }
    static void Flush() { ASSERT_EQ(0, zel_platform_sim_flush()); }
    // The first NIC event trigger causes waits, on the thread that raised
    // it, until Finish: the monitor's hand-over stays under way meanwhile.
    void HoldFirstEvent(const std::function<void()>& trigger) {
        NetworkInterface::SetNicEventHook([this](const std::string& name, int event) {
            if (!held_.exchange(true)) {
                entered_.set_value();
                opened_.wait();
            }
            log_.OnNetworkChanged(name, event);
        });
        trigger();
        ASSERT_EQ(std::future_status::ready, entered_.get_future().wait_for(zel_test::kTestWait));
    }
    // Runs fn on a thread of its own; true when it ended within the grace.
    bool EndsAtOnce(std::function<void()> fn) {
        worker_ = std::async(std::launch::async, fn);
        return worker_.wait_for(zel_test::kNoCallGrace) == std::future_status::ready;
    }
    void Finish() {
        open_.set_value();
        worker_.wait();
    }
    NetworkInterface* registry_ = nullptr;
    EventLog log_;
    std::atomic<bool> held_{false};
    std::promise<void> entered_;
    std::promise<void> open_;
    std::shared_future<void> opened_ = open_.get_future().share();
    std::future<void> worker_;
};

TEST_F(ServicesMonitorTest, PauseWaitsOutAHandOverUnderWay) {
    ASSERT_EQ(0, nl::InitializeNetworkMonitor());
    HoldFirstEvent([] { WifiConnected("10.1.0.5"); });
    // Suspend clears the registry next: the servers this hand-over is about
    // to start must not come up after that.
    EXPECT_FALSE(EndsAtOnce([] { nl::StopNetworkMonitoring(); }))
        << "the pause returned while wlan0 was still being handed over";
    Finish();
}

TEST_F(ServicesMonitorTest, AListReadBeforeACallbackNeverLandsAfterIt) {
    EthernetUp("10.0.0.5");
    WifiConnected("10.1.0.5");
    Flush();
    // Start hands over [eth0, wlan0] and is held on eth0's NIC_ADDED, before
    // wlan0 reaches the registry; meanwhile Wi-Fi goes away.
    std::thread start;
    HoldFirstEvent([&start] { start = std::thread([] { nl::InitializeNetworkMonitor(); }); });
    EndsAtOnce([] {
        zel_platform_sim_set_wifi_connection(WIFI_CONNECTION_STATE_DISCONNECTED, "", "", "");
        zel_platform_sim_flush();
    });
    Finish();
    start.join();
    Flush();
    EXPECT_TRUE(Present("eth0"));
    EXPECT_FALSE(Present("wlan0")) << "Start's older list was published last";
}

TEST_F(ServicesMonitorTest, CallbackOfAStoppedRunNeverReachesTheNextMonitor) {
    EthernetUp("10.0.0.5");
    Flush();
    CAPINetworkMonitor old(registry_);
    ASSERT_TRUE(old.Start());
    void* late = old.CallbackData();
    ASSERT_EQ(0, old.Stop());
    ASSERT_EQ(0, nl::InitializeNetworkMonitor());
    ASSERT_TRUE(Present("eth0"));
    // Still in flight on the platform's thread when the old run stopped.
    CAPINetworkMonitor::HandleEthernetProfileStateCallback(CONNECTION_PROFILE_STATE_DISCONNECTED,
                                                           late);
    EXPECT_TRUE(Present("eth0"));
    EXPECT_EQ(1u, old.Interfaces().size());
}

TEST_F(ServicesMonitorTest, GarbageAndLateCallbacksChangeNothing) {
    EthernetUp("10.0.0.5");
    Flush();
    ASSERT_EQ(0, nl::InitializeNetworkMonitor());
    ASSERT_EQ(1u, log_.Events().size());
    // Unknown values and callbacks without user data.
    zel_platform_sim_raise_connection_type(42, 0, nullptr);
    zel_platform_sim_raise_connection_type(CONNECTION_TYPE_ETHERNET, 1, nullptr);
    zel_platform_sim_raise_ethernet_profile_state(9, 0, nullptr);
    zel_platform_sim_raise_ethernet_profile_state(CONNECTION_PROFILE_STATE_DISCONNECTED, 1,
                                                  nullptr);
    zel_platform_sim_raise_wifi_device_state(7, 0, nullptr);
    zel_platform_sim_set_wifi_connection(static_cast<wifi_connection_state_e>(17), "10.1.0.9", "",
                                         "");
    CAPINetworkMonitor::HandleWFDSetConnectionStateChangedCB(0, WIFI_DIRECT_GROUP_DESTROYED, "",
                                                             nullptr);
    Flush();
    EXPECT_TRUE(Present("eth0"));
    EXPECT_FALSE(Present("wlan0"));
    EXPECT_EQ(1u, log_.Events().size());

    // A callback that arrives once the monitor has stopped.
    CAPINetworkMonitor monitor(registry_);
    ASSERT_TRUE(monitor.Start());
    ASSERT_EQ(0, monitor.Stop());
    WifiConnected("10.1.0.5");
    Flush();
    CAPINetworkMonitor::HandleWiFiConnectionStateCallbackCB(WIFI_CONNECTION_STATE_CONNECTED,
                                                            nullptr, &monitor);
    CAPINetworkMonitor::HandleEthernetProfileStateCallback(CONNECTION_PROFILE_STATE_DISCONNECTED,
                                                           &monitor);
    std::vector<NetInfo> own = monitor.Interfaces();
    ASSERT_EQ(1u, own.size());
    EXPECT_EQ("eth0", own[0].interface_name);
    EXPECT_FALSE(Present("wlan0"));
}

TEST_F(ServicesMonitorTest, StartRetriesTheConnectionOnceAndSurvivesServiceFailures) {
    constexpr int kWfdFailed = WIFI_DIRECT_ERROR_OPERATION_FAILED;
    struct Case {
        const char* function;
        int error;
        int times;
        bool started;
        std::vector<std::string> present;
    } cases[] = {
        {"connection_create", -5, 1, true, {"eth0", "wlan0", "p2p0"}},
        {"connection_create", -5, 2, false, {}},
        {"wifi_initialize", -5, 1, true, {"eth0", "p2p0"}},
        {"wifi_direct_initialize", kWfdFailed, 1, true, {"eth0", "wlan0"}},
        {"connection_get_profile_iterator", -5, 1, true, {"wlan0", "p2p0"}},
        {"wifi_direct_get_ip_address", kWfdFailed, 10, true, {"eth0", "wlan0"}},
    };
    for (const Case& c : cases) {
        zel_platform_sim_reset();
        EthernetUp("10.0.0.5");
        WifiConnected("10.1.0.5");
        WifiDirectGroup();
        Flush();
        zel_platform_sim_inject_error(c.function, c.error, c.times);
        CAPINetworkMonitor monitor(nullptr);
        EXPECT_EQ(c.started, monitor.Start()) << c.function << " x" << c.times;
        std::vector<std::string> names;
        for (const NetInfo& info : monitor.Interfaces())
            names.push_back(info.interface_name);
        EXPECT_EQ(c.present, names) << c.function << " x" << c.times;
        monitor.Stop();
    }
}

// The kernel monitor, in a namespace of the test's own with the whole
// network layer running: addresses come, change and go on the device side of
// a veth, and the TCP server follows.
class KernelMonitorTest : public ::testing::Test {
  protected:
    static constexpr int kPort = 49213;
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(1); }
    static void TearDownTestSuite() { topo_.reset(); }

    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        zel_platform_sim_reset();
        ASSERT_EQ(0, Ip("addr flush dev " + Dev()));
        // Deleting the primary address keeps the secondary, so that a change
        // of address never leaves the interface without one.
        ASSERT_EQ(0, zel_test::NetnsTopology::Exec(
                         topo_->DeviceNs(),
                         "sysctl -qw net.ipv4.conf." + Dev() + ".promote_secondaries=1"));
        ASSERT_EQ(0, nl::InitializeNetworkLayer());
        ASSERT_EQ(0, nl::StartNetworkLayer());
        ASSERT_EQ(0, nl::ConfigureTCPServer(kPort, true));
        ASSERT_EQ(1, nl::ConfigureOnAllNetworkInterfaces(true));
        int id = -1;
        ASSERT_EQ(0, nl::RegisterNetworkEventListener(&log_, id));
        NetworkInterface::SetMonitorFactory(&nl::CreatePlatformNetworkMonitor);
        ASSERT_EQ(0, nl::InitializeNetworkMonitor());
    }
    void TearDown() override {
        nl::StopNetworkLayer();
        nl::TerminateNetworkLayer();
        NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
        if (topo_)
            Ip("link set " + Dev() + " up");
    }

    static std::string Dev() { return topo_->Link(0).device_if; }
    static std::string Peer() { return topo_->Link(0).peer_ns; }
    static int Ip(const std::string& args) {
        return zel_test::NetnsTopology::Exec(topo_->DeviceNs(), "ip " + args);
    }
    static size_t Servers() { return nl::ServerManager::GetInstance()->GetServerList().size(); }

    static std::unique_ptr<zel_test::NetnsTopology> topo_;
    EventLog log_;
};

std::unique_ptr<zel_test::NetnsTopology> KernelMonitorTest::topo_;

TEST_F(KernelMonitorTest, ServersFollowAddressesAsTheyComeChangeAndGoWithTheLink) {
    // Never reported: interfaces named huart*, like loopback.
    Ip("link del huart0 2>/dev/null");
    ASSERT_EQ(0, Ip("link add huart0 type veth peer name huart1"));
    ASSERT_EQ(0, Ip("link set huart0 up"));
    ASSERT_EQ(0, Ip("link set huart1 up"));
    ASSERT_EQ(0, Ip("addr add 10.213.9.1/24 dev huart0"));
    // Loopback's records come first in the kernel's list, one per address:
    // forty of them take more room than the list's first reading holds.
    std::string batch;
    for (int i = 1; i <= 40; ++i)
        batch += "addr add 127.1.0." + std::to_string(i) + "/32 dev lo\n";
    ASSERT_EQ(0, zel_test::NetnsTopology::Exec(topo_->DeviceNs(),
                                               "printf '" + batch + "' | ip -batch -"));
    ASSERT_EQ(0, Ip("addr add 10.213.1.1/24 dev " + Dev()));
    ASSERT_TRUE(log_.WaitFor(Dev(), nl::NIC_ADDED));
    NetInfo info;
    ASSERT_TRUE(Present(Dev(), &info));
    EXPECT_EQ("255.255.255.0", info.subnet_mask);
    EXPECT_TRUE(boost::iequals(topo_->Link(0).device_mac, info.mac_address)) << info.mac_address;
    EXPECT_FALSE(Present("lo"));
    EXPECT_TRUE(zel_test::Serves(Peer(), "10.213.1.1", kPort));

    ASSERT_EQ(0, Ip("addr add 10.213.1.7/24 dev " + Dev()));
    ASSERT_EQ(0, Ip("addr del 10.213.1.1/24 dev " + Dev()));
    ASSERT_TRUE(log_.WaitFor(Dev(), nl::NIC_IPCHANGED));
    std::vector<Event> events = log_.Events();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(Event(Dev(), nl::NIC_REMOVED), events[1]);
    EXPECT_TRUE(zel_test::Serves(Peer(), "10.213.1.7", kPort));
    // The server on the old address is gone, not merely unreachable.
    EXPECT_TRUE(zel_test::WaitUntil([] { return Servers() == 1; })) << Servers();

    ASSERT_EQ(0, Ip("link set " + Dev() + " down"));
    ASSERT_TRUE(log_.WaitFor(Dev(), nl::NIC_REMOVED, 2));
    EXPECT_FALSE(Present(Dev()));
    EXPECT_TRUE(zel_test::WaitUntil([] { return Servers() == 0; }));
    for (const Event& e : log_.Events())
        EXPECT_EQ(Dev(), e.first) << "only the veth is ever reported";
    Ip("link del huart0");
    Ip("addr flush dev lo to 127.1.0.0/16");
}

}  // namespace
