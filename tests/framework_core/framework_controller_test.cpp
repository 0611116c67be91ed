#include <zel_upnp/framework_core.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

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
constexpr size_t kThreadNameMax = 15;

// Recording entry points in place of the device families.

struct EntryCall {
    std::string name;
    std::string argument;
};
zel_test::Recording<EntryCall>* g_calls = nullptr;
int g_discovery_init_result = 0;

int Record(const char* name, const std::string& argument = std::string()) {
    g_calls->Add({name, argument});
    return 0;
}

std::vector<std::string> CallNames() {
    std::vector<std::string> names;
    for (const EntryCall& call : g_calls->All())
        names.push_back(call.name);
    return names;
}

fc::DeviceSubsystemEntryPoints RecordingEntryPoints() {
    fc::DeviceSubsystemEntryPoints entries;
    entries.discovery_initialize = [] {
        Record("discovery_initialize");
        return g_discovery_init_result;
    };
    entries.discovery_terminate = [] { return Record("discovery_terminate"); };
    entries.discovery_start_device = [](const std::string& udn) {
        return Record("discovery_start_device", udn);
    };
    entries.discovery_stop_device = [](const std::string& udn) {
        return Record("discovery_stop_device", udn);
    };
    entries.control_initialize = [] { return Record("control_initialize"); };
    entries.control_terminate = [] { return Record("control_terminate"); };
    entries.control_clean_subscribers = [] { return Record("control_clean_subscribers"); };
    return entries;
}

// A monitor that reports the list the test sets, in place of the platform's.

std::mutex g_monitor_mutex;
std::vector<nl::NetInfo> g_reported;
int g_monitors_created = 0;
int g_queries_while_disabled = 0;

class FakeMonitor : public nl::NetworkMonitor {
  public:
    explicit FakeMonitor(nl::NetworkInterface* owner) : owner_(owner) {}
    bool Start() override {
        Update();
        return true;
    }
    int Stop() override { return 0; }
    void Update() override {
        std::vector<nl::NetInfo> list;
        {
            std::lock_guard<std::mutex> lock(g_monitor_mutex);
            list = g_reported;
        }
        owner_->Update(list);
    }
    void ClearInterfaceList() override {}
    void QueryUpdate() override {
        if (!enabled.load()) {
            std::lock_guard<std::mutex> lock(g_monitor_mutex);
            ++g_queries_while_disabled;
        }
        Update();
    }

  private:
    nl::NetworkInterface* owner_;
};

void InstallFakeMonitor(const std::vector<nl::NetInfo>& reported) {
    {
        std::lock_guard<std::mutex> lock(g_monitor_mutex);
        g_reported = reported;
        g_monitors_created = 0;
        g_queries_while_disabled = 0;
    }
    nl::NetworkInterface::SetMonitorFactory([](nl::NetworkInterface* owner) {
        std::lock_guard<std::mutex> lock(g_monitor_mutex);
        ++g_monitors_created;
        return static_cast<nl::NetworkMonitor*>(new FakeMonitor(owner));
    });
}

// What the listener of the full bring-up answers.
const char kHelloResponse[] =
    "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 5\r\nCONNECTION: close\r\n\r\nhello";

class FrameworkCoreTest : public zel_test::NetnsSuite<2> {
  protected:
    void SetUp() override {
        NetnsSuite::SetUp();
        if (Unready())
            return;
        ClearCalls();
        g_discovery_init_result = 0;
        fc::SetDeviceSubsystemEntryPoints(RecordingEntryPoints());
    }

    void TearDown() override {
        fc::TerminateFrameworkCore();
        fc::SetDeviceSubsystemEntryPoints(fc::DeviceSubsystemEntryPoints());
        nl::NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
    }
    void ClearCalls() {
        calls_.reset(new zel_test::Recording<EntryCall>);
        g_calls = calls_.get();
    }

    static nl::NetInfo Info(size_t i) {
        nl::NetInfo info;
        info.interface_name = Link(i).device_if;
        info.ip_address = Link(i).device_ip;
        info.subnet_mask = Link(i).netmask;
        return info;
    }

    // Init and start, as every application does first.
    static void BringUp() {
        ASSERT_EQ(0, fc::InitFrameworkCore(""));
        ASSERT_EQ(0, fc::StartFrameworkCore());
    }

    static std::vector<std::string> SelectedNames() {
        std::vector<nl::NetInfo> selected;
        nl::GetActiveSelectedNetworkInterfaces(&selected);
        std::vector<std::string> names;
        for (const nl::NetInfo& info : selected)
            names.push_back(info.interface_name);
        return names;
    }

    std::unique_ptr<zel_test::Recording<EntryCall>> calls_;
};

// Each step of the core's states, with the code it must give: 100 for a
// repeated init, 101 for a call the current state does not allow, 1 where
// the network layer is missing.
TEST_F(FrameworkCoreTest, CallsFollowTheCoreStates) {
    InstallFakeMonitor({});
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
    {
        std::lock_guard<std::mutex> lock(g_monitor_mutex);
        EXPECT_EQ(1, g_monitors_created);
    }
    EXPECT_EQ(0, fc::InitFrameworkCore(""));  // initialisable again after a terminate
}

TEST_F(FrameworkCoreTest, InitializeUPnPRecordsOneRoleAtATime) {
    EXPECT_EQ(101, fc::InitializeUPnP(fc::CD));
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    for (int bad : {0, 1, -1})
        EXPECT_EQ(1, fc::InitializeUPnP(static_cast<fc::eInitType>(bad))) << bad;
    // Nothing recorded: the auto-rescan check still sees no role.
    EXPECT_EQ(101, fc::ConfigureAutoRescanFeature(true));
    EXPECT_TRUE(CallNames().empty());

    EXPECT_EQ(0, fc::InitializeUPnP(fc::CD));
    EXPECT_EQ(100, fc::InitializeUPnP(fc::CD_D));
    EXPECT_EQ(0, fc::TerminateUPnP());
    EXPECT_EQ((std::vector<std::string>{"discovery_initialize", "control_initialize",
                                        "discovery_terminate", "control_terminate"}),
              CallNames());

    ClearCalls();
    // Type 3 records a role and starts nothing.
    EXPECT_EQ(0, fc::InitializeUPnP(static_cast<fc::eInitType>(3)));
    EXPECT_EQ(0, fc::ConfigureAutoRescanFeature(false));
    EXPECT_EQ(0, fc::TerminateUPnP());
    EXPECT_TRUE(CallNames().empty());

    EXPECT_EQ(0, fc::InitializeUPnP(fc::CD_D));
    EXPECT_EQ(0, fc::TerminateFrameworkCore());
    EXPECT_EQ((std::vector<std::string>{"discovery_initialize", "discovery_terminate"}),
              CallNames());
    EXPECT_EQ(0, fc::TerminateUPnP());  // does not look at the core state

    // A failing discovery is reported and the role still recorded.
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    g_discovery_init_result = 6000;
    EXPECT_EQ(6000, fc::InitializeUPnP(fc::CD_D));
    EXPECT_EQ(100, fc::InitializeUPnP(fc::CD_D));
}

TEST_F(FrameworkCoreTest, SuspendAndResumeTakeTheDeviceOffAndBackOnTheNetwork) {
    EXPECT_EQ(101, fc::SuspendFrameworkCore(kUdn));
    EXPECT_EQ(101, fc::ResumeFrameworkCore(kUdn));
    InstallFakeMonitor({Info(0)});
    BringUp();
    ASSERT_EQ(0, fc::ConfigureServers(kTcpPort, 0, 0, false));
    ASSERT_EQ(0, fc::StartNetworkMonitor());
    ASSERT_EQ(0, fc::ConfigureApplicationOnAllInterfaces());
    ASSERT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort));

    EXPECT_EQ(1, fc::ResumeFrameworkCore(kUdn));

    ASSERT_EQ(0, fc::SuspendFrameworkCore(kUdn));
    std::vector<EntryCall> calls = g_calls->All();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("discovery_stop_device", calls[0].name);
    EXPECT_EQ(kUdn, calls[0].argument);
    EXPECT_EQ("control_clean_subscribers", calls[1].name);
    // Its servers closed by the deselection; the registry emptied.
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    std::vector<nl::NetInfo> known;
    nl::GetNetworkInterfaces(&known);
    EXPECT_TRUE(known.empty());
    EXPECT_TRUE(SelectedNames().empty());

    EXPECT_EQ(1, fc::SuspendFrameworkCore(kUdn));

    ClearCalls();
    ASSERT_EQ(0, fc::ResumeFrameworkCore(kUdn));
    calls = g_calls->All();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("discovery_start_device", calls[0].name);
    EXPECT_EQ(kUdn, calls[0].argument);
    {
        std::lock_guard<std::mutex> lock(g_monitor_mutex);
        EXPECT_EQ(0, g_queries_while_disabled);
    }
    // The rescan selected the interface again and its server came back.
    EXPECT_EQ(std::vector<std::string>{Link(0).device_if}, SelectedNames());
    EXPECT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    EXPECT_EQ(1, fc::ResumeFrameworkCore(kUdn));
    EXPECT_EQ(0, fc::StopNetworkMonitor());
}

TEST_F(FrameworkCoreTest, AvailableInterfacesListTheSelectedOnesInOrder) {
    fc::NetworkInfo* list = nullptr;
    EXPECT_EQ(1, fc::GetAvailableNetworkInterfaces(&list));  // no network layer
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    for (size_t i = 0; i < 2; ++i)
        ASSERT_EQ(0, fc::NotifyNICAdded(Link(i).device_if, Link(i).device_ip, Link(i).netmask));
    ASSERT_EQ(0, fc::GetAvailableNetworkInterfaces(&list));
    ASSERT_TRUE(list != nullptr && list->next != nullptr);
    EXPECT_EQ(nullptr, list->next->next);
    EXPECT_EQ(Link(0).device_if + " " + Link(1).device_ip,
              std::string(list->interface_name) + " " + list->next->ip_address);
    // A list already held is neither touched nor replaced.
    fc::NetworkInfo* held = list;
    EXPECT_EQ(1, fc::GetAvailableNetworkInterfaces(&list));
    EXPECT_EQ(held, list);
    fc::FreeInterfaceList(list);
}

TEST_F(FrameworkCoreTest, FullBringUpAnswersARequestAndTerminatesWithoutLeaks) {
    // A sanitizer runtime starts its own helper thread with the first thread
    // a process creates; let that happen before counting.
    std::thread([] {}).join();
    const size_t threads_before = zel_test::CountThreads();
    const size_t descriptors_before = zel_test::CountDescriptors();

    BringUp();
    ASSERT_EQ(0, fc::InitializeUPnP(fc::CD));
    ASSERT_EQ(0, fc::ConfigureServers(kTcpPort, kSsdpPort, kUdpPort, true));
    ASSERT_EQ(0, fc::NotifyNICAdded(Link(0).device_if, Link(0).device_ip, Link(0).netmask));

    // Every pool of the library runs, under its own name.
    const std::vector<std::pair<std::string, int>> pools = {
        {"ZelTcpReq", 2}, {"ZelUdpReq", 2},  {"ZelTcpRes", 5}, {"ZelTcpIo", 3},
        {"ZelUdpIo", 1},  {"ZelMcastIo", 1}, {"ZelCliIo", 3}};
    const std::vector<std::string> names = zel_test::ThreadNames();
    for (const auto& pool : pools) {
        const std::string prefix = zel_upnp::utils::PrepareThreadName(pool.first);
        for (int i = 0; i < pool.second; ++i) {
            const std::string name = (prefix + std::to_string(i)).substr(0, kThreadNameMax);
            EXPECT_NE(names.end(), std::find(names.begin(), names.end(), name)) << name;
        }
    }

    auto hello = boost::make_shared<zel_test::AnsweringListener>(
        zel_test::AnsweringListener::kAsync, kHelloResponse);
    int id = -1;
    ASSERT_EQ(0, nl::RegisterTCPRequestListener({"GET ,/hello"}, hello, id));
    EXPECT_EQ(hello->answer,
              zel_test::TcpExchange(Link(0).peer_ns, Link(0).device_ip, kTcpPort,
                                    "GET /hello HTTP/1.1\r\nHOST: 10.213.1.1\r\n\r\n"));
    // The peer may see the answer before the listener has returned.
    ASSERT_TRUE(hello->WaitForAnswers(1));
    EXPECT_EQ(0, hello->Result(0));

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
