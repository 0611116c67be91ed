// An interface that comes, changes address and goes a thousand times under
// the kernel monitor, while the device's families run on it: framework core,
// discovery with the sample device registered, control, and a streaming server that
// follows every interface. Nothing may be left behind (servers, descriptors,
// threads, timers) and every NIC event must reach the listeners in the order
// it was raised. Bounded: about a minute; labelled "flap" for ctest -L.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/framework_core.h>
#include <zel_upnp/network_layer.h>
#include <zel_upnp/streaming.h>
#include "network_layer/src/servermanager.h"
#include "support/device_library.h"
#include "support/netns.h"
#include "support/peers.h"
#include "utils/src/timer/timer_service.h"

namespace {

namespace fc = zel_upnp::framework_core;
namespace nl = zel_upnp::network_layer;
namespace st = zel_upnp::streaming;

constexpr int kCycles = 1000;
constexpr int kAwaitedChangeEvery = 50;
constexpr int kStreamingPort = 49300;
const char kFlapIf[] = "zflap0";

// The NIC events of the flapping interface, in the order heard; others
// says the steady link's NIC_ADDED (and so its servers) is in.
class Recorder : public nl::NetworkEventListener {
  public:
    void OnNetworkChanged(const std::string& name, int event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (name == kFlapIf)
            events_.push_back(event);
        others = others || name != kFlapIf;
    }
    std::vector<int> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::atomic<bool> others{false};

  private:
    std::mutex mutex_;
    std::vector<int> events_;
};

// Index of the first event that cannot follow the ones before it (an
// addition of a present interface, a removal of an absent one), or -1.
int FirstOutOfOrder(const std::vector<int>& events, bool* presentAtEnd) {
    bool present = false;
    for (size_t i = 0; i < events.size(); ++i) {
        if ((events[i] == nl::NIC_REMOVED) != present)
            return static_cast<int>(i);
        present = events[i] != nl::NIC_REMOVED;
    }
    *presentAtEnd = present;
    return -1;
}

// Servers, descriptors, threads and live timers of the process.
typedef std::array<size_t, 4> Snapshot;
Snapshot Take() {
    return Snapshot{nl::ServerManager::GetInstance()->GetServerList().size(),
                    zel_test::CountDescriptors(), zel_test::CountThreads(),
                    zel_upnp::utils::LiveTimerCount()};
}
std::string Text(const Snapshot& s) {
    return std::to_string(s[0]) + " servers, " + std::to_string(s[1]) + " descriptors, " +
           std::to_string(s[2]) + " threads, " + std::to_string(s[3]) + " timers";
}

TEST(NicFlap, ThousandCyclesUnderTheKernelMonitorLeaveNothingBehind) {
    if (!zel_test::NetnsTopology::Available())
        GTEST_SKIP() << "needs root and the ip tool to create network namespaces";
    zel_test::NetnsTopology topo(1);
    ASSERT_TRUE(topo.Ok()) << topo.Error();
    const std::string ns = topo.DeviceNs();
    // A change of address deletes the primary: the new one must stay.
    ASSERT_EQ(0, zel_test::NetnsTopology::Exec(
                     ns, "sysctl -qw net.ipv4.conf.default.promote_secondaries=1"));
    char dirPattern[] = "/tmp/zel-flap-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dirPattern));
    const std::string dir = dirPattern;
    ASSERT_EQ(0, zel_test::RunCommand(
                     {"cp", "-r", ZEL_SOURCE_DIR "/examples/sample_device/light", dir + "/light"}));
    // One ip process takes the steps as they are written, so that a step
    // costs no process start.
    FILE* ip = popen(("ip -n " + ns + " -batch -").c_str(), "w");
    ASSERT_NE(nullptr, ip);
    const std::string flap = kFlapIf;
    auto run = [ip](const std::string& lines) {
        return std::fputs(lines.c_str(), ip) >= 0 && std::fflush(ip) == 0;
    };
    auto address = [&flap] {
        nl::NetInfo info;
        return nl::GetNetworkInterface(flap, info) == 0 ? info.ip_address : std::string();
    };
    const std::string add = "link add " + flap +
                            " type veth peer name zflap1\nlink set zflap1 up\n" + "link set " +
                            flap + " up\naddr add 10.213.77.1/24 dev " + flap + "\n";
    const std::string change =
        "addr add 10.213.77.2/24 dev " + flap + "\naddr del 10.213.77.1/24 dev " + flap + "\n";
    const std::string remove = "link del " + flap + "\n";

    ASSERT_TRUE(topo.EnterDevice());
    Recorder first;
    Recorder last;
    int firstId = -1;
    int lastId = -1;
    zel_upnp::cd_discovery::RegisteredDeviceInfo device;
    int profile = -1;
    st::stServer* streamingServers = nullptr;
    const st::ServerAppCallbacks callbacks = {
        [](int, int, int) {}, [](int, int, int) {},
        [](int, int, st::ReqHeaderInfo* head, void* body, unsigned int, bool) {
            st::FreeRequestHeader(head);
            st::Free(body);
        },
        [](int, int, void* data, unsigned int, bool) { st::Free(data); },
        [](int, int, unsigned int) {}};
    ASSERT_EQ(0, fc::InitFrameworkCore(""));
    ASSERT_EQ(0, nl::RegisterNetworkEventListener(&first, firstId));
    ASSERT_EQ(0, fc::InitializeUPnP(fc::CD));
    ASSERT_EQ(0, fc::StartFrameworkCore());
    ASSERT_EQ(0,
              fc::ConfigureServers(zel_test::kDeviceTcpPort, zel_test::kDeviceSsdpPort, 0, false));
    ASSERT_EQ(0, zel_upnp::cd_discovery::RegisterDevice(dir + "/light", "description.xml", device));
    // Started: every new address re-arms its alive timer, which must replace
    // the one before, so a timer left over is a leak.
    ASSERT_EQ(0, zel_upnp::cd_discovery::StartDevice(device.udn));
    ASSERT_EQ(0, st::InitializeStreamingManager());
    ASSERT_EQ(0,
              st::StartServers(&callbacks, nullptr, kStreamingPort, &streamingServers, &profile));
    ASSERT_EQ(0, nl::RegisterNetworkEventListener(&last, lastId));
    ASSERT_EQ(0, fc::ConfigureApplicationOnAllInterfaces());
    ASSERT_EQ(0, fc::StartNetworkMonitor());
    ASSERT_TRUE(zel_test::WaitUntil([&] { return last.others.load(); }));
    ASSERT_TRUE(
        zel_test::Serves(topo.Link(0).peer_ns, topo.Link(0).device_ip, zel_test::kDeviceTcpPort));
    const size_t steadyServers = Take()[0];

    // One cycle first, so that every lazily made resource exists before the
    // baseline is taken.
    ASSERT_TRUE(run(add) && zel_test::WaitUntil([&] { return !address().empty(); }));
    ASSERT_TRUE(run(remove) && zel_test::WaitUntil([&] { return address().empty(); }));
    ASSERT_TRUE(zel_test::WaitUntil([&] { return Take()[0] == steadyServers; })) << Text(Take());
    const Snapshot baseline = Take();

    // Each addition and removal is awaited, so that the registry sees every
    // cycle; a change is awaited now and then only, as it holds the monitor
    // for the registry's pause between NIC_REMOVED and NIC_IPCHANGED.
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_TRUE(run(add) && zel_test::WaitUntil([&] { return !address().empty(); }))
            << "cycle " << i;
        ASSERT_TRUE(run(change)) << "cycle " << i;
        if (i % kAwaitedChangeEvery == 0) {
            ASSERT_TRUE(zel_test::WaitUntil([&] { return address() == "10.213.77.2"; }))
                << "cycle " << i;
        }
        ASSERT_TRUE(run(remove) && zel_test::WaitUntil([&] { return address().empty(); }))
            << "cycle " << i;
    }

    // Settled: the interface gone everywhere and both listeners caught up.
    EXPECT_TRUE(zel_test::WaitUntil([&] {
        // A leak grows a count; one below the baseline was in use then (a
        // bye-bye's socket, say). The registry forgets the interface before
        // "ZelNetIf" delivers the last NIC_REMOVED, so the listeners are
        // waited for too.
        const Snapshot now = Take();
        const std::vector<int> heard = last.Events();
        return address().empty() && now[0] == baseline[0] && now[1] <= baseline[1] &&
               now[2] <= baseline[2] && now[3] <= baseline[3] && !heard.empty() &&
               heard.back() == nl::NIC_REMOVED && first.Events() == heard;
    })) << "now "
        << Text(Take()) << "; before " << Text(baseline);
    const std::vector<int> events = last.Events();
    EXPECT_EQ(first.Events(), events);
    bool present = true;
    EXPECT_EQ(-1, FirstOutOfOrder(events, &present));
    EXPECT_FALSE(present) << "last events: "
                          << ::testing::PrintToString(std::vector<int>(
                                 events.end() - std::min<size_t>(events.size(), 8), events.end()));
    EXPECT_GE(events.size(), 2u * (kCycles + 1));
    EXPECT_GE(std::count(events.begin(), events.end(), nl::NIC_IPCHANGED),
              kCycles / kAwaitedChangeEvery);
    std::printf("[ flap     ] %d cycles, %zu NIC events heard\n", kCycles, events.size());

    nl::UnRegisterEventListener(lastId);
    nl::UnRegisterEventListener(firstId);
    st::FreeServerInfoList(streamingServers);
    st::StopServers(profile);
    st::TerminateStreamingManager();
    fc::TerminateFrameworkCore();
    pclose(ip);
    zel_test::RunCommand({"rm", "-rf", dir});
}

}  // namespace
