#include <zel_upnp/framework_core.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "framework_core/src/device_subsystems.h"
#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/clientmanager.h"
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/networkmonitor.h"
#include "network_layer/src/servermanager.h"
#include "support/peers.h"

// The process body lives in the device namespace of a private topology with
// two peers (zdev0 10.213.1.1, zdev1 10.213.2.1). Every test leaves the core
// terminated and not suspended, so the tests also run in one process.
namespace {

namespace fc = zel_upnp::framework_core;
namespace nl = zel_upnp::network_layer;

constexpr int kTcpPort = 49000;
constexpr int kUdpPort = 49100;
constexpr int kSsdpPort = 1900;
constexpr char kUdn[] = "uuid:5c4a3e2c-0000-4000-8000-000000000001";

// Entry points that do nothing, in place of the device families.
int Idle() {
    return 0;
}
int IdleFor(const std::string&) {
    return 0;
}
fc::DeviceSubsystemEntryPoints IdleEntryPoints() {
    fc::DeviceSubsystemEntryPoints entries;
    entries.discovery_initialize = entries.discovery_terminate = entries.control_initialize =
        entries.control_terminate = entries.control_clean_subscribers = &Idle;
    entries.discovery_start_device = entries.discovery_stop_device = &IdleFor;
    return entries;
}

// A monitor that reports no interface, in place of the platform's.
std::atomic<int> g_monitors_created{0};

class FakeMonitor : public nl::NetworkMonitor {
  public:
    explicit FakeMonitor(nl::NetworkInterface* owner) : owner_(owner) {}
    bool Start() override {
        Update();
        return true;
    }
    int Stop() override { return 0; }
    void Update() override { owner_->Update({}); }
    void ClearInterfaceList() override {}
    void QueryUpdate() override { Update(); }

  private:
    nl::NetworkInterface* owner_;
};

void InstallFakeMonitor() {
    g_monitors_created = 0;
    nl::NetworkInterface::SetMonitorFactory([](nl::NetworkInterface* owner) {
        ++g_monitors_created;
        return static_cast<nl::NetworkMonitor*>(new FakeMonitor(owner));
    });
}

class FrameworkCoreTest : public zel_test::NetnsSuite<2> {
  protected:
    void SetUp() override {
        NetnsSuite::SetUp();
        if (Unready())
            return;
        fc::SetDeviceSubsystemEntryPoints(IdleEntryPoints());
    }

    void TearDown() override {
        fc::TerminateFrameworkCore();
        fc::SetDeviceSubsystemEntryPoints(fc::DeviceSubsystemEntryPoints());
        nl::NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
    }
    // Init and start, as every application does first.
    static void BringUp() {
        ASSERT_EQ(0, fc::InitFrameworkCore(""));
        ASSERT_EQ(0, fc::StartFrameworkCore());
    }
};

// Each step of the core's states, with the code it must give: 100 for a
// repeated init, 101 for a call the current state does not allow, 1 where
// the network layer is missing.
TEST_F(FrameworkCoreTest, CallsFollowTheCoreStates) {
    InstallFakeMonitor();
    const std::vector<std::pair<std::function<int()>, int>> steps = {
        {fc::TerminateFrameworkCore, 101},
        {fc::StartFrameworkCore, 101},
        {fc::StopFrameworkCore, 101},
        {fc::StartNetworkMonitor, 101},
        {fc::StopNetworkMonitor, 1},
        {[] { return fc::NotifyNICAdded("zdev0", "10.213.1.1", "255.255.255.0"); }, 1},
        {[] { return fc::NotifyNICRemoved("zdev0"); }, 1},
        {[] { return fc::SuspendFrameworkCore(kUdn); }, 101},
        {[] { return fc::InitFrameworkCore("ignored"); }, 0},
        {[] { return fc::InitFrameworkCore(""); }, 100},
        {fc::StopFrameworkCore, 101},
        // Initialised but not started: the calls that need a started core refuse.
        {[] { return fc::SuspendFrameworkCore(kUdn); }, 101},
        {[] { return fc::ResumeFrameworkCore(kUdn); }, 101},
        {[] { return fc::ConfigureMulticastSupport(false); }, 101},
        {fc::StartNetworkMonitor, 0},
        {fc::StopNetworkMonitor, 0},
        {fc::StartFrameworkCore, 0},
        {fc::StartFrameworkCore, 0},
        {fc::StopFrameworkCore, 0},
        {fc::StopFrameworkCore, 101},
        {fc::TerminateFrameworkCore, 0},
        {fc::TerminateFrameworkCore, 101},
    };
    for (size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(steps[i].second, steps[i].first()) << "step " << i;
    EXPECT_EQ(1, g_monitors_created.load());
    EXPECT_EQ(0, fc::InitFrameworkCore(""));  // initialisable again after a terminate
}

TEST_F(FrameworkCoreTest, FullBringUpTerminatesWithoutLeaks) {
    // A sanitizer runtime starts its own helper thread with the first thread
    // a process creates; let that happen before counting.
    std::thread([] {}).join();
    const size_t threads_before = zel_test::CountThreads();
    const size_t descriptors_before = zel_test::CountDescriptors();

    BringUp();
    ASSERT_EQ(0, fc::InitializeUPnP(fc::CD));
    ASSERT_EQ(0, fc::ConfigureServers(kTcpPort, kSsdpPort, kUdpPort, true));
    ASSERT_EQ(0, fc::NotifyNICAdded(Link(0).device_if, Link(0).device_ip, Link(0).netmask));

    ASSERT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort));

    ASSERT_EQ(0, fc::TerminateFrameworkCore());
    // Joined threads leave /proc/self/task a moment after the join returns.
    EXPECT_TRUE(zel_test::WaitUntil([&] { return zel_test::CountThreads() == threads_before; }))
        << zel_test::CountThreads() << " threads, " << threads_before << " before";
    for (const std::string& name : zel_test::ThreadNames())
        EXPECT_EQ(std::string::npos, name.find("Zel")) << name;
    EXPECT_EQ(descriptors_before, zel_test::CountDescriptors());
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
}

}  // namespace
