#include <zel_upnp/framework_core.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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
constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr char kExtraGroup[] = "239.255.255.177";
constexpr char kUnknownAddress[] = "10.213.99.1";
constexpr char kUdn[] = "uuid:5c4a3e2c-0000-4000-8000-000000000001";
constexpr size_t kThreadNameMax = 15;

// ---------------------------------------------------------------------------
// Recording entry points in place of the device families.
// ---------------------------------------------------------------------------

struct EntryCall {
    std::string name;
    std::string argument;
    // Lines the capture held when the call came: places it among the core's
    // own log lines.
    size_t log_position;
};

std::mutex g_calls_mutex;
std::vector<EntryCall> g_calls;
zel_test::LogCapture* g_log = nullptr;
int g_discovery_init_result = 0;

void Record(const char* name, const std::string& argument = std::string()) {
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    g_calls.push_back({name, argument, g_log != nullptr ? g_log->Lines().size() : 0});
}

std::vector<std::string> CallNames() {
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    std::vector<std::string> names;
    for (const EntryCall& call : g_calls)
        names.push_back(call.name);
    return names;
}

std::vector<EntryCall> Calls() {
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    return g_calls;
}

void ClearCalls() {
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    g_calls.clear();
}

fc::DeviceSubsystemEntryPoints RecordingEntryPoints() {
    fc::DeviceSubsystemEntryPoints entries;
    entries.discovery_initialize = [] {
        Record("discovery_initialize");
        return g_discovery_init_result;
    };
    entries.discovery_terminate = [] {
        Record("discovery_terminate");
        return 0;
    };
    entries.discovery_start_device = [](const std::string& udn) {
        Record("discovery_start_device", udn);
        return 0;
    };
    entries.discovery_stop_device = [](const std::string& udn) {
        Record("discovery_stop_device", udn);
        return 0;
    };
    entries.control_initialize = [] {
        Record("control_initialize");
        return 0;
    };
    entries.control_terminate = [] {
        Record("control_terminate");
        return 0;
    };
    entries.control_clean_subscribers = [] {
        Record("control_clean_subscribers");
        return 0;
    };
    return entries;
}

// Index of the first captured line from index from on that contains text,
// or the line count.
size_t LinePosition(const zel_test::LogCapture& log, const std::string& text, size_t from = 0) {
    const std::vector<zel_test::LogLine> lines = log.Lines();
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].text.find(text) != std::string::npos)
            return i;
    }
    return lines.size();
}

// ---------------------------------------------------------------------------
// A monitor that reports the list the test sets, in place of the platform's.
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Fixture
// ---------------------------------------------------------------------------

class FrameworkCoreTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(2); }
    static void TearDownTestSuite() { topo_.reset(); }

    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        ClearCalls();
        g_discovery_init_result = 0;
        g_log = &log_;
        fc::SetDeviceSubsystemEntryPoints(RecordingEntryPoints());
    }

    void TearDown() override {
        fc::TerminateFrameworkCore();
        fc::SetDeviceSubsystemEntryPoints(fc::DeviceSubsystemEntryPoints());
        nl::NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
        g_log = nullptr;
    }

    static const zel_test::NetnsLink& Link(size_t i) { return topo_->Link(i); }

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

    static std::unique_ptr<zel_test::NetnsTopology> topo_;
    zel_test::LogCapture log_;
};

std::unique_ptr<zel_test::NetnsTopology> FrameworkCoreTest::topo_;

TEST_F(FrameworkCoreTest, InitTwiceReturns100AndTerminateWithoutInitReturns101) {
    EXPECT_EQ(101, fc::TerminateFrameworkCore());
    ASSERT_EQ(0, fc::InitFrameworkCore("ignored"));
    EXPECT_EQ(100, fc::InitFrameworkCore(""));
    EXPECT_EQ(0, fc::TerminateFrameworkCore());
    EXPECT_EQ(101, fc::TerminateFrameworkCore());
    // Initialisable again after a terminate.
    EXPECT_EQ(0, fc::InitFrameworkCore(""));
    EXPECT_EQ(0, fc::TerminateFrameworkCore());
}

TEST_F(FrameworkCoreTest, InitializeUPnPRecordsOneRoleAtATime) {
    EXPECT_EQ(101, fc::InitializeUPnP(fc::CD));
    EXPECT_TRUE(CallNames().empty());
    ASSERT_EQ(0, fc::InitFrameworkCore(""));

    EXPECT_EQ(0, fc::InitializeUPnP(fc::CD));
    EXPECT_EQ((std::vector<std::string>{"discovery_initialize", "control_initialize"}),
              CallNames());
    EXPECT_EQ(100, fc::InitializeUPnP(fc::CD_D));
    EXPECT_EQ(100, fc::InitializeUPnP(fc::CD));
    EXPECT_EQ(0, fc::TerminateUPnP());
    EXPECT_EQ((std::vector<std::string>{"discovery_initialize", "control_initialize",
                                        "discovery_terminate", "control_terminate"}),
              CallNames());

    ClearCalls();
    EXPECT_EQ(1, fc::InitializeUPnP(static_cast<fc::eInitType>(0)));
    EXPECT_EQ(1, fc::InitializeUPnP(static_cast<fc::eInitType>(1)));
    EXPECT_EQ(1, fc::InitializeUPnP(static_cast<fc::eInitType>(-1)));
    // Nothing recorded: the auto-rescan check still sees no role.
    EXPECT_EQ(101, fc::ConfigureAutoRescanFeature(true));

    EXPECT_EQ(0, fc::InitializeUPnP(static_cast<fc::eInitType>(3)));
    EXPECT_EQ(0, fc::ConfigureAutoRescanFeature(false));
    EXPECT_EQ(100, fc::InitializeUPnP(fc::CD_D));
    EXPECT_TRUE(CallNames().empty());
    EXPECT_EQ(0, fc::TerminateUPnP());
    EXPECT_TRUE(CallNames().empty());
    EXPECT_EQ(101, fc::ConfigureAutoRescanFeature(true));

    EXPECT_EQ(0, fc::InitializeUPnP(fc::CD_D));
    EXPECT_EQ((std::vector<std::string>{"discovery_initialize"}), CallNames());
    EXPECT_EQ(0, fc::TerminateFrameworkCore());
    EXPECT_EQ((std::vector<std::string>{"discovery_initialize", "discovery_terminate"}),
              CallNames());
    // TerminateUPnP does not look at the core state.
    EXPECT_EQ(0, fc::TerminateUPnP());
}

TEST_F(FrameworkCoreTest, FailingDiscoveryIsReportedAndTheRoleStillRecorded) {
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    g_discovery_init_result = 6000;
    EXPECT_EQ(6000, fc::InitializeUPnP(fc::CD_D));
    EXPECT_EQ(100, fc::InitializeUPnP(fc::CD_D));
}

TEST_F(FrameworkCoreTest, StartAndStopFollowTheCoreStates) {
    EXPECT_EQ(101, fc::StartFrameworkCore());
    EXPECT_EQ(101, fc::StopFrameworkCore());
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    EXPECT_EQ(101, fc::StopFrameworkCore());
    EXPECT_EQ(0, fc::StartFrameworkCore());
    EXPECT_EQ(0, fc::StartFrameworkCore());
    EXPECT_EQ(0, fc::StopFrameworkCore());
    EXPECT_EQ(101, fc::StopFrameworkCore());
    // Initialised but not started: the calls that need a started core refuse.
    EXPECT_EQ(101, fc::SuspendFrameworkCore(kUdn));
    EXPECT_EQ(101, fc::ResumeFrameworkCore(kUdn));
    EXPECT_EQ(101, fc::ConfigureMulticastSupport(false));
}

TEST_F(FrameworkCoreTest, TerminateRunsItsStepsInOrder) {
    BringUp();
    ASSERT_EQ(0, fc::InitializeUPnP(fc::CD));
    log_.Clear();
    ClearCalls();
    ASSERT_EQ(0, fc::TerminateFrameworkCore());
    const std::vector<std::string> order = {
        "StopNetworkLayer finished", "StopFrameworkCore finished", "TerminateUPnP finished",
        "Timer Terminate finished",  "network layer destroyed",    "Exit"};
    size_t previous = 0;
    for (const std::string& text : order) {
        const size_t position = LinePosition(log_, text, previous);
        ASSERT_LT(position, log_.Lines().size()) << "missing or out of order: " << text;
        previous = position + 1;
    }
    // The device families go after the threads stop and before the timer.
    const std::vector<EntryCall> calls = Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("discovery_terminate", calls[0].name);
    EXPECT_EQ("control_terminate", calls[1].name);
    EXPECT_GT(calls[0].log_position, LinePosition(log_, "StopFrameworkCore finished"));
    EXPECT_LT(calls[1].log_position, LinePosition(log_, "TerminateUPnP finished") + 1);
    EXPECT_EQ(nullptr, nl::ServerManager::GetInstance());
    EXPECT_EQ(nullptr, nl::NetworkInterface::GetInstance());
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

    log_.Clear();
    ASSERT_EQ(0, fc::SuspendFrameworkCore(kUdn));
    std::vector<EntryCall> calls = Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("discovery_stop_device", calls[0].name);
    EXPECT_EQ(kUdn, calls[0].argument);
    EXPECT_EQ("control_clean_subscribers", calls[1].name);
    // Monitoring paused before the device stops; its servers closed by the
    // deselection; the registry emptied.
    EXPECT_LT(LinePosition(log_, "Stop network monitoring"), calls[0].log_position);
    EXPECT_LT(calls[0].log_position,
              LinePosition(log_, "ServerManager::OnNetworkChanged:NIC_REMOVED"));
    EXPECT_LT(LinePosition(log_, "Start"), LinePosition(log_, "End ["));
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    std::vector<nl::NetInfo> known;
    nl::GetNetworkInterfaces(&known);
    EXPECT_TRUE(known.empty());
    EXPECT_TRUE(SelectedNames().empty());

    EXPECT_EQ(1, fc::SuspendFrameworkCore(kUdn));

    ClearCalls();
    ASSERT_EQ(0, fc::ResumeFrameworkCore(kUdn));
    calls = Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("discovery_start_device", calls[0].name);
    EXPECT_EQ(kUdn, calls[0].argument);
    {
        std::lock_guard<std::mutex> lock(g_monitor_mutex);
        EXPECT_EQ(0, g_queries_while_disabled);
    }
    // The rescan selected the interface again and its server came back
    // before the device was restarted.
    EXPECT_LT(LinePosition(log_, "ServerManager::OnNetworkChanged:NIC_ADDED"),
              calls[0].log_position);
    EXPECT_EQ(std::vector<std::string>{Link(0).device_if}, SelectedNames());
    EXPECT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    EXPECT_EQ(1, fc::ResumeFrameworkCore(kUdn));
    EXPECT_EQ(0, fc::StopNetworkMonitor());
}

TEST_F(FrameworkCoreTest, ConfigureServersRunsItsStepsInOrderAndStopsAtTheFirstFailure) {
    EXPECT_EQ(101, fc::ConfigureServers(kTcpPort, kSsdpPort, kUdpPort, true));
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    nl::ServerManager* manager = nl::ServerManager::GetInstance();
    ASSERT_NE(nullptr, manager);
    ASSERT_EQ(0, fc::NotifyNICAdded(Link(0).device_if, Link(0).device_ip, Link(0).netmask));

    // Every port 0: nothing to do.
    EXPECT_EQ(0, fc::ConfigureServers(0, 0, 0, true));
    EXPECT_TRUE(manager->GetConfiguredList().empty());

    // SSDP and the extra group on the same port, nothing else.
    EXPECT_EQ(0, fc::ConfigureServers(0, kSsdpPort, 0, true));
    nl::IpInfoList records = manager->GetConfiguredList();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(kSsdpGroup, records.front()->ip_address);
    EXPECT_EQ(kExtraGroup, records.back()->ip_address);
    EXPECT_EQ(kSsdpPort, records.back()->port);
    EXPECT_EQ(2u, manager->GetServerList().size());
    EXPECT_EQ(2u, zel_test::CountUdpSocketsOnPort(kSsdpPort));
    ASSERT_EQ(0, nl::ConfigureUPnPMulticastServer(kSsdpPort, false));
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kSsdpPort));

    // No extra group without the SSDP step; the UDP step runs on its own.
    EXPECT_EQ(0, fc::ConfigureServers(0, 0, kUdpPort, true));
    records = manager->GetConfiguredList();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ(
        2, std::count_if(records.begin(), records.end(), [](const nl::IpInfoList::value_type& r) {
            return r->server_type == nl::SERVER_TYPE_MULTICAST;
        }));
    EXPECT_EQ(
        2, std::count_if(records.begin(), records.end(), [](const nl::IpInfoList::value_type& r) {
            return r->server_type == nl::SERVER_TYPE_UDP && r->requested_port == kUdpPort;
        }));
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kSsdpPort));
    EXPECT_EQ(1u, zel_test::CountUdpSocketsOnPort(kUdpPort));
}

TEST_F(FrameworkCoreTest, FailingTcpStepConfiguresNothingElse) {
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    ASSERT_EQ(0, fc::NotifyNICAdded("ghost0", kUnknownAddress, Link(0).netmask));
    EXPECT_EQ(2006, fc::ConfigureServers(kTcpPort, kSsdpPort, kUdpPort, true));
    const nl::IpInfoList records = nl::ServerManager::GetInstance()->GetConfiguredList();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(nl::SERVER_TYPE_TCP, records.front()->server_type);
    EXPECT_TRUE(nl::ServerManager::GetInstance()->GetServerList().empty());
}

TEST_F(FrameworkCoreTest, MulticastSupportReachesServersAndClient) {
    EXPECT_EQ(101, fc::ConfigureMulticastSupport(false));
    BringUp();
    ASSERT_EQ(0, fc::NotifyNICAdded(Link(0).device_if, Link(0).device_ip, Link(0).netmask));
    ASSERT_EQ(0, fc::ConfigureServers(0, kSsdpPort, 0, false));
    ASSERT_EQ(1u, zel_test::CountUdpSocketsOnPort(kSsdpPort));

    EXPECT_EQ(0, fc::ConfigureMulticastSupport(false));
    EXPECT_FALSE(nl::ServerManager::GetInstance()->IsMulticastSupported());
    EXPECT_FALSE(nl::ClientManager::GetInstance()->IsMulticastEnabled());
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kSsdpPort));
    EXPECT_EQ(1, nl::SendMulticastPacket(kSsdpGroup, "0.0.0.0", "NOTIFY * HTTP/1.1\r\n\r\n", 0));

    EXPECT_EQ(0, fc::ConfigureMulticastSupport(true));
    EXPECT_TRUE(nl::ServerManager::GetInstance()->IsMulticastSupported());
    EXPECT_TRUE(nl::ClientManager::GetInstance()->IsMulticastEnabled());
    EXPECT_EQ(1u, zel_test::CountUdpSocketsOnPort(kSsdpPort));
}

TEST_F(FrameworkCoreTest, AvailableInterfacesListTheSelectedOnesInOrder) {
    fc::NetworkInfo* list = nullptr;
    EXPECT_EQ(1, fc::GetAvailableNetworkInterfaces(nullptr));
    // No layer, then no selection: 1 and the pointer stays null.
    EXPECT_EQ(1, fc::GetAvailableNetworkInterfaces(&list));
    EXPECT_EQ(nullptr, list);
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    EXPECT_EQ(1, fc::GetAvailableNetworkInterfaces(&list));
    EXPECT_EQ(nullptr, list);

    ASSERT_EQ(0, fc::NotifyNICAdded(Link(0).device_if, Link(0).device_ip, Link(0).netmask));
    ASSERT_EQ(0, fc::NotifyNICAdded(Link(1).device_if, Link(1).device_ip, Link(1).netmask));
    ASSERT_EQ(0, fc::GetAvailableNetworkInterfaces(&list));
    ASSERT_NE(nullptr, list);
    ASSERT_NE(nullptr, list->next);
    EXPECT_EQ(nullptr, list->next->next);
    EXPECT_STREQ(Link(0).device_if.c_str(), list->interface_name);
    EXPECT_STREQ(Link(0).device_ip.c_str(), list->ip_address);
    EXPECT_STREQ(Link(1).device_if.c_str(), list->next->interface_name);
    EXPECT_STREQ(Link(1).device_ip.c_str(), list->next->ip_address);

    // A list already held is neither touched nor replaced.
    fc::NetworkInfo* held = list;
    EXPECT_EQ(1, fc::GetAvailableNetworkInterfaces(&list));
    EXPECT_EQ(held, list);
    EXPECT_STREQ(Link(0).device_if.c_str(), list->interface_name);
    fc::FreeInterfaceList(list);
    fc::FreeInterfaceList(nullptr);
}

TEST_F(FrameworkCoreTest, InterfaceSelectionCallsDriveTheServers) {
    InstallFakeMonitor({Info(0), Info(1)});
    BringUp();
    ASSERT_EQ(0, fc::ConfigureServers(kTcpPort, 0, 0, false));
    ASSERT_EQ(0, fc::StartNetworkMonitor());
    EXPECT_TRUE(SelectedNames().empty());

    EXPECT_EQ(0, fc::ConfigureApplicationOnInterface(nullptr));
    EXPECT_EQ(0, fc::ConfigureApplicationOnInterface(Link(1).device_if.c_str()));
    EXPECT_EQ(std::vector<std::string>{Link(1).device_if}, SelectedNames());
    EXPECT_TRUE(zel_test::Serves(Link(1).peer_ns, Link(1).device_ip, kTcpPort));
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort));

    EXPECT_EQ(0, fc::ConfigureApplicationOnAllInterfaces());
    EXPECT_EQ((std::vector<std::string>{Link(0).device_if, Link(1).device_if}), SelectedNames());
    EXPECT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort));

    EXPECT_EQ(0, fc::UnConfigureApplicationOnAllInterfaces());
    EXPECT_TRUE(SelectedNames().empty());
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    EXPECT_FALSE(zel_test::CanConnect(Link(1).peer_ns, Link(1).device_ip, kTcpPort));
    EXPECT_EQ(0, fc::StopNetworkMonitor());
}

TEST_F(FrameworkCoreTest, MonitorCallsNeedTheLayer) {
    InstallFakeMonitor({});
    EXPECT_EQ(101, fc::StartNetworkMonitor());
    EXPECT_EQ(1, fc::StopNetworkMonitor());
    EXPECT_EQ(1, fc::NotifyNICAdded(Link(0).device_if, Link(0).device_ip, Link(0).netmask));
    EXPECT_EQ(1, fc::NotifyNICRemoved(Link(0).device_if));
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    EXPECT_EQ(0, fc::StartNetworkMonitor());
    EXPECT_EQ(0, fc::StopNetworkMonitor());
    std::lock_guard<std::mutex> lock(g_monitor_mutex);
    EXPECT_EQ(1, g_monitors_created);
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
