#include "network_layer/src/networkinterface.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/networkmonitor.h"
#include "support/netns.h"
#include "support/peers.h"
#include "utils/src/common/ip_literal.h"

namespace {

namespace nl = zel_upnp::network_layer;
using nl::NetInfo;
using nl::NetworkInterface;
using Clock = std::chrono::steady_clock;

// Long enough for a delivery that should not happen to show up if it were
// going to; used only to assert an absence.
constexpr std::chrono::milliseconds kQuiet{150};

NetInfo Info(const std::string& name, const std::string& ip,
             const std::string& mask = "255.255.255.0", const std::string& mac = "") {
    NetInfo info;
    info.interface_name = name;
    info.ip_address = ip;
    info.subnet_mask = mask;
    info.mac_address = mac;
    return info;
}

std::string AddressOf(const std::string& name);

struct Event {
    std::string name;
    int event;
    std::string address;  // the registry's address for the name when seen
    Clock::time_point when;
    std::thread::id thread;
};

// The event as seen now, on the calling thread.
Event Seen(const std::string& name, int event) {
    return Event{name, event, AddressOf(name), Clock::now(), std::this_thread::get_id()};
}

// Events from any thread; "name:event" keys for compact comparisons.
class EventLog : public zel_test::Recording<Event> {
  public:
    std::vector<Event> Events() { return All(); }
    size_t Size() { return Count(); }
    std::vector<std::string> Keys() {
        std::vector<std::string> keys;
        for (const Event& e : All())
            keys.push_back(e.name + ":" + std::to_string(e.event));
        return keys;
    }
};

std::string AddressOf(const std::string& name) {
    NetInfo info;
    if (nl::GetNetworkInterface(name, info) != 0)
        return std::string();
    return info.ip_address;
}

class RecordingListener : public nl::NetworkEventListener {
  public:
    void OnNetworkChanged(const std::string& name, int event) override {
        log.Add(Seen(name, event));
        if (unregister_self)
            nl::UnRegisterEventListener(id);
    }
    EventLog log;
    int id = -1;
    bool unregister_self = false;  // from inside its first callback
};

class NetworkInterfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // No monitor unless a test installs one: the platform's own would
        // report this machine's interfaces.
        NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
        NetworkInterface::SetNicEventHook(
            [this](const std::string& name, int event) { hook.Add(Seen(name, event)); });
        registry = NetworkInterface::CreateInstance();
        ASSERT_NE(registry, nullptr);
    }
    void TearDown() override {
        NetworkInterface::DestroyInstance();
        NetworkInterface::SetNicEventHook(nl::NicEventHook());
        NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
    }
    // Feeds the registry as a monitor would.
    void Update(const std::vector<NetInfo>& list) { registry->Update(list); }
    std::vector<std::string> Active() {
        std::vector<NetInfo> active;
        nl::GetActiveSelectedNetworkInterfaces(&active);
        std::vector<std::string> names;
        for (const NetInfo& i : active)
            names.push_back(i.interface_name);
        return names;
    }
    bool Select(std::string name, bool select = true) {
        return nl::ConfigureNetworkInterface(name, select) == 1;
    }

    NetworkInterface* registry = nullptr;
    EventLog hook;
};

using Keys = std::vector<std::string>;

TEST_F(NetworkInterfaceTest, RemovalsAreRaisedBeforeAdditions) {
    ASSERT_EQ(nl::ConfigureOnAllNetworkInterfaces(true), 1);
    Update({Info("eth0", "192.168.1.10"), Info("wlan0", "10.0.0.5")});
    Update({Info("p2p0", "192.168.49.1"), Info("wlan0", "10.0.0.5")});
    EXPECT_EQ(hook.Keys(), Keys({"eth0:0", "wlan0:0", "eth0:1", "p2p0:0"}));
    // The hook of NIC_REMOVED already finds the interface gone.
    EXPECT_EQ(hook.Events()[2].address, "");
}

TEST_F(NetworkInterfaceTest, AddressChangeOfASelectedInterface) {
    RecordingListener listener;
    int id = -1;
    ASSERT_EQ(nl::RegisterNetworkEventListener(&listener, id), 0);
    ASSERT_TRUE(Select("eth0"));
    Update({Info("eth0", "192.168.1.10")});
    Update({Info("eth0", "192.168.1.20")});
    ASSERT_EQ(hook.Keys(), Keys({"eth0:0", "eth0:1", "eth0:2"}));
    std::vector<Event> events = hook.Events();
    // The servers are closed while the old address is still recorded and
    // rebuilt on the new one, with the required pause in between.
    EXPECT_EQ(events[1].address, "192.168.1.10");
    EXPECT_EQ(events[2].address, "192.168.1.20");
    EXPECT_GE(events[2].when - events[1].when,
              std::chrono::milliseconds(NetworkInterface::kAddressChangePauseMs));
    ASSERT_TRUE(listener.log.WaitFor(3));
    EXPECT_EQ(listener.log.Keys(), Keys({"eth0:0", "eth0:1", "eth0:2"}));
    // Same address again: nothing.
    Update({Info("eth0", "192.168.1.20")});
    EXPECT_EQ(hook.Size(), 3u);
    nl::UnRegisterEventListener(id);
}

TEST_F(NetworkInterfaceTest, ServerManagerHookRunsOnTheRaisingThreadBeforeListeners) {
    RecordingListener listener;
    int id = -1;
    ASSERT_EQ(nl::RegisterNetworkEventListener(&listener, id), 0);
    std::thread::id raiser;
    std::thread([&] {
        raiser = std::this_thread::get_id();
        nl::NotifyNICAdded("usb0", "10.0.0.1", "255.0.0.0");
    }).join();
    ASSERT_TRUE(listener.log.WaitFor(1));
    ASSERT_EQ(hook.Size(), 1u);
    Event h = hook.Events()[0];
    Event l = listener.log.Events()[0];
    EXPECT_EQ(h.thread, raiser);
    EXPECT_LE(h.when, l.when);
    // The hook already sees the new interface: servers can bind to it.
    EXPECT_EQ(h.address, "10.0.0.1");
    nl::UnRegisterEventListener(id);
}

// Blocks inside its callback until released, to hold the registry thread.
class BlockingListener : public nl::NetworkEventListener {
  public:
    void OnNetworkChanged(const std::string& name, int event) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++calls;
        entered_cv_.notify_all();
        release_cv_.wait(lock, [this] { return released_; });
        log.Add(Seen(name, event));
    }
    bool WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return entered_cv_.wait_for(lock, zel_test::kTestWait, [&] { return calls >= n; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        release_cv_.notify_all();
    }
    EventLog log;
    int calls = 0;

  private:
    std::mutex mutex_;
    std::condition_variable entered_cv_;
    std::condition_variable release_cv_;
    bool released_ = false;
};

TEST_F(NetworkInterfaceTest, UnregisterWaitsForADeliveryInFlight) {
    BlockingListener listener;
    int id = -1;
    ASSERT_EQ(nl::RegisterNetworkEventListener(&listener, id), 0);
    ASSERT_EQ(nl::NotifyNICAdded("usb0", "10.0.0.1", "255.0.0.0"), 0);
    ASSERT_TRUE(listener.WaitEntered(1));
    std::atomic<bool> returned{false};
    std::thread unregister([&] {
        nl::UnRegisterEventListener(id);
        returned = true;
    });
    std::this_thread::sleep_for(kQuiet);
    EXPECT_FALSE(returned.load()) << "returned while the listener was still running";
    listener.Release();
    unregister.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(listener.log.Size(), 1u);
}

TEST_F(NetworkInterfaceTest, ListenerMayUnregisterItselfFromItsCallback) {
    RecordingListener self;
    self.unregister_self = true;
    RecordingListener witness;
    ASSERT_EQ(nl::RegisterNetworkEventListener(&self, self.id), 0);
    int witnessId = -1;
    ASSERT_EQ(nl::RegisterNetworkEventListener(&witness, witnessId), 0);
    ASSERT_EQ(nl::NotifyNICAdded("usb0", "10.0.0.1", "255.0.0.0"), 0);
    ASSERT_EQ(nl::NotifyNICRemoved("usb0"), 0);
    ASSERT_TRUE(witness.log.WaitFor(2));
    EXPECT_EQ(self.log.Keys(), Keys({"usb0:0"}));
    nl::UnRegisterEventListener(witnessId);
}

TEST_F(NetworkInterfaceTest, ConcurrentUpdatesSelectionsAndRegistrations) {
    // Monitor, application and listener churn at once: the lists stay
    // consistent (unique names) and nothing races (run under TSan).
    constexpr int kRounds = 200;
    RecordingListener listener;
    std::thread monitorThread([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (i % 2 == 0)
                Update({Info("eth0", "192.168.1.10"), Info("wlan0", "10.0.0.5")});
            else
                Update({Info("wlan0", "10.0.0.5")});
        }
    });
    std::thread appThread([&] {
        for (int i = 0; i < kRounds; ++i) {
            Select(i % 3 == 0 ? "wlan0" : "eth0", i % 2 == 0);
            nl::NotifyNICAdded("usb0", "172.16.0.1", "255.255.0.0");
            nl::NotifyNICRemoved("usb0");
        }
    });
    std::thread listenerThread([&] {
        for (int i = 0; i < kRounds; ++i) {
            int id = -1;
            nl::RegisterNetworkEventListener(&listener, id);
            std::vector<NetInfo> active;
            nl::GetActiveSelectedNetworkInterfaces(&active);
            nl::UnRegisterEventListener(id);
        }
    });
    monitorThread.join();
    appThread.join();
    listenerThread.join();
    std::vector<NetInfo> all;
    nl::GetNetworkInterfaces(&all);
    std::vector<std::string> names;
    for (const NetInfo& i : all)
        names.push_back(i.interface_name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
    EXPECT_TRUE(std::find(names.begin(), names.end(), "wlan0") != names.end());
}

TEST_F(NetworkInterfaceTest, SameSubnetWithAGivenMask) {
    const struct {
        const char *a, *b, *mask;
        bool same;
    } cases[] = {
        {"192.168.1.5", "192.168.2.9", "255.255.0.0", true},
        {"192.168.1.5", "192.168.2.9", "255.255.255.0", false},
        {"10.0.0.4", "10.0.0.7", "255.255.255.252", true},
        {"10.0.0.4", "10.0.0.8", "255.255.255.252", false},
        {"192.168.1", "192.168.1.9", "255.255.255.0", false},
        {"192.168.1.5", "host.example", "255.255.255.0", false},
        {"192.168.1.5", "192.168.1.300", "255.255.255.0", false},
        {"192.168..5", "192.168.1.5", "255.255.255.0", false},
        {"192.168.1.5", "192.168.1.9", "255.255.0", false},
        // Loopback is local whatever the rest says.
        {"127.0.0.1", "8.8.8.8", "", true},
        {"10.0.0.1", "127.0.0.1", "", true},
    };
    for (const auto& c : cases) {
        std::string mask = c.mask;
        EXPECT_EQ(nl::IsSameSubnet(c.a, c.b, mask), c.same) << c.a << " " << c.b << " " << c.mask;
    }
}

TEST_F(NetworkInterfaceTest, OutgoingAddressIsTheFirstSelectedInterfaceOnTheSubnet) {
    Update({Info("eth0", "192.168.1.10", "255.255.255.0"), Info("wlan0", "10.0.0.5", "255.0.0.0"),
            Info("p2p0", "192.168.49.1", "255.255.255.0")});
    std::string local = "unchanged";
    EXPECT_EQ(nl::GetOutgoingIPaddress("192.168.1.77", local), 2008) << "nothing selected";
    EXPECT_EQ(local, "unchanged");
    ASSERT_TRUE(Select("wlan0"));
    ASSERT_TRUE(Select("eth0"));
    EXPECT_EQ(nl::GetOutgoingIPaddress("10.200.3.4", local), 0);
    EXPECT_EQ(local, "10.0.0.5");
    EXPECT_EQ(nl::GetOutgoingIPaddress("192.168.1.77", local), 0);
    EXPECT_EQ(local, "192.168.1.10");
    local = "unchanged";
    EXPECT_EQ(nl::GetOutgoingIPaddress("192.168.49.20", local), 2008) << "p2p0 is not selected";
    EXPECT_EQ(local, "unchanged");
    // Loopback peers go out of the first selected interface, in list order.
    EXPECT_EQ(nl::GetOutgoingIPaddress("127.0.0.1", local), 0);
    EXPECT_EQ(local, "192.168.1.10");
}

TEST(NetworkInterfaceMac, BadAndUnknownAddresses) {
    const struct {
        const char* address;
        int result;
    } cases[] = {{"", 2011},
                 {"not an address", 2004},
                 // Reading the ARP cache or the neighbour table sends nothing; an
                 // address nobody resolved has no entry on any interface.
                 {"10.213.254.254", 2010},
                 {"fd00:213:ffff::99", 2010},
                 // Not a unicast IPv6 peer, or a zone that names no link.
                 {"1::2::3", 2004},
                 {"::ffff:10.213.254.254", 2004},
                 {"ff02::1", 2004},
                 {"::", 2004},
                 {"fe80::1%nosuchif9", 2004},
                 {"fd00::1%lo", 2004},
                 {"fe80::1%lo\r\nX", 2004}};
    for (const auto& c : cases) {
        std::string mac = "unchanged";
        EXPECT_EQ(nl::GetMacAddress(c.address, mac), c.result) << c.address;
        EXPECT_EQ(mac, "unchanged") << c.address;
    }
}

// An IPv6 peer's MAC comes from the device's neighbour table once the two
// have talked (here: connections the device refuses): by its ULA, and by its
// link-local address on its own link or any; an entry the kernel could not
// complete does not count.
TEST(NetworkInterfaceMac, Ipv6PeerMacFromTheNeighbourTable) {
    if (!zel_test::NetnsTopology::Available())
        GTEST_SKIP() << "needs root to create network namespaces";
    zel_test::NetnsTopology topo(1);
    ASSERT_TRUE(topo.Ok()) << topo.Error();
    const zel_test::NetnsLink& link = topo.Link(0);
    using zel_test::NetnsTopology;
    for (const char* own : {"fd00:213:1::1", "fe80::213:1"})
        ASSERT_EQ(NetnsTopology::AddIpv6(topo.DeviceNs(), link.device_if, own), 0);
    for (const char* peer : {"fd00:213:1::2", "fe80::213:2"})
        ASSERT_EQ(NetnsTopology::AddIpv6(link.peer_ns, link.peer_if, peer), 0);
    for (const std::string& to : {std::string("fd00:213:1::1"), "fe80::213:1%" + link.peer_if}) {
        boost::system::error_code ec;
        ASSERT_TRUE(NetnsTopology::RunIn(link.peer_ns, [&] {
            boost::asio::ip::address address;
            ASSERT_TRUE(zel_upnp::utils::ParseIpLiteral(to, address)) << to;
            boost::asio::io_service io;
            boost::asio::ip::tcp::socket socket(io);
            socket.connect(boost::asio::ip::tcp::endpoint(address, 9), ec);
        }));
        EXPECT_EQ(ec, boost::asio::error::connection_refused) << to;
    }
    std::string peerMac = link.peer_mac;
    for (char& c : peerMac)
        c = c == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string neigh = "ip -6 neigh replace fd00:213:1::";
    const struct {
        std::string command;  // run in the device namespace first
        std::string address;
        int result;
        std::string mac;
    } steps[] = {
        {"", "fd00:213:1::2", 0, peerMac},
        {"", "fe80::213:2%" + link.device_if, 0, peerMac},
        {"", "fe80::213:2", 0, peerMac},
        {"", "fe80::213:2%lo", 2010, ""},
        {neigh + "3 lladdr 02:00:00:00:00:03 nud stale dev " + link.device_if, "fd00:213:1::3", 0,
         "02-00-00-00-00-03"},
        {neigh + "4 lladdr 02:00:00:00:00:04 nud failed dev " + link.device_if, "fd00:213:1::4",
         2010, ""},
        {neigh + "5 nud incomplete dev " + link.device_if, "fd00:213:1::5", 2010, ""},
    };
    for (const auto& step : steps) {
        if (!step.command.empty()) {
            ASSERT_EQ(NetnsTopology::Exec(topo.DeviceNs(), step.command), 0) << step.command;
        }
        std::string mac;
        int rc = -1;
        ASSERT_TRUE(NetnsTopology::RunIn(topo.DeviceNs(),
                                         [&] { rc = nl::GetMacAddress(step.address, mac); }));
        EXPECT_EQ(rc, step.result) << step.address;
        EXPECT_EQ(mac, step.mac) << step.address;
    }
}

TEST(NetworkInterfaceMac, PeerMacFromTheArpCacheBehindALongInterfaceList) {
    if (!zel_test::NetnsTopology::Available())
        GTEST_SKIP() << "needs root to create network namespaces";
    zel_test::NetnsTopology topo(1);
    ASSERT_TRUE(topo.Ok()) << topo.Error();
    const zel_test::NetnsLink& link = topo.Link(0);
    // Loopback's forty addresses come first in the kernel's interface list,
    // one record each: the veth's record lies far beyond the first reading.
    std::string addresses;
    for (int i = 1; i <= 40; ++i)
        addresses += "addr add 127.1.0." + std::to_string(i) + "/32 dev lo\n";
    ASSERT_EQ(
        zel_test::NetnsTopology::Exec(topo.DeviceNs(), "printf '" + addresses + "' | ip -batch -"),
        0);
    ASSERT_EQ(
        zel_test::NetnsTopology::Exec(
            topo.DeviceNs(), "ip neigh replace " + link.peer_ip +
                                 " lladdr 02:0a:1b:2c:3d:4e nud permanent dev " + link.device_if),
        0);
    std::string mac;
    int rc = -1;
    ASSERT_TRUE(zel_test::NetnsTopology::RunIn(topo.DeviceNs(),
                                               [&] { rc = nl::GetMacAddress(link.peer_ip, mac); }));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(mac, "02-0A-1B-2C-3D-4E");
}

// The socket descriptors the process holds now.
std::vector<int> SocketFds() {
    std::vector<int> fds;
    for (int fd = 0; fd < 1024; ++fd) {
        std::array<char, 64> target{};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(link.c_str(), target.data(), target.size() - 1) > 0 &&
            std::string(target.data()).compare(0, 7, "socket:") == 0)
            fds.push_back(fd);
    }
    return fds;
}

TEST(NetworkInterfaceMac, RegistryAsksThePeersInterfaceFirstAndCachesNothing) {
    if (!zel_test::NetnsTopology::Available())
        GTEST_SKIP() << "needs root to create network namespaces";
    zel_test::NetnsTopology topo(2);
    ASSERT_TRUE(topo.Ok()) << topo.Error();
    const zel_test::NetnsLink& first = topo.Link(0);
    const zel_test::NetnsLink& second = topo.Link(1);
    // Created in the device namespace, then left: from here on only the
    // registry's own socket can see the device's ARP cache.
    const std::vector<int> before = SocketFds();
    ASSERT_TRUE(topo.EnterDevice());
    NetworkInterface* registry = NetworkInterface::CreateInstance();
    ASSERT_TRUE(topo.LeaveDevice());
    ASSERT_NE(registry, nullptr);
    std::vector<int> kept;
    for (int fd : SocketFds())
        if (std::find(before.begin(), before.end(), fd) == before.end())
            kept.push_back(fd);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(fcntl(kept[0], F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(registry->NotifyNICAdded(first.device_if, first.device_ip, first.netmask), 0);
    ASSERT_EQ(registry->NotifyNICAdded(second.device_if, second.device_ip, second.netmask), 0);

    // onSecond sits on the second link's subnet and also has an entry on the
    // first link, which the kernel lists first: only a lookup that starts on
    // the peer's own interface gets 02-..-02-50. offSubnet's entry is on the
    // second link alone, outside its subnet: only the walk finds it.
    const std::string onSecond = "10.213.2.50";
    const std::string offSubnet = "10.213.1.60";
    const std::string neigh = "ip neigh replace ";
    const struct {
        std::string command;  // run in the device namespace first
        std::string address;
        int result;
        std::string mac;
    } steps[] = {
        {neigh + onSecond + " lladdr 02:00:00:00:01:50 nud permanent dev " + first.device_if +
             " && " + neigh + onSecond + " lladdr 02:00:00:00:02:50 nud permanent dev " +
             second.device_if + " && " + neigh + offSubnet +
             " lladdr 02:00:00:00:02:60 nud permanent dev " + second.device_if,
         onSecond, 0, "02-00-00-00-02-50"},
        {"", offSubnet, 0, "02-00-00-00-02-60"},
        {"ip neigh del " + offSubnet + " dev " + second.device_if, offSubnet, 2010, ""},
        {neigh + onSecond + " lladdr 02:00:00:00:02:51 nud permanent dev " + second.device_if,
         onSecond, 0, "02-00-00-00-02-51"},
    };
    for (const auto& step : steps) {
        if (!step.command.empty()) {
            ASSERT_EQ(zel_test::NetnsTopology::Exec(topo.DeviceNs(), step.command), 0)
                << step.command;
        }
        std::string mac;
        EXPECT_EQ(nl::GetMacAddress(step.address, mac), step.result) << step.address;
        EXPECT_EQ(mac, step.mac) << step.address;
    }

    // A socket closed behind the registry's back is replaced by one opened
    // on the registry's thread, in the device namespace again.
    ASSERT_EQ(close(kept[0]), 0);
    std::string mac;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    while (nl::GetMacAddress(onSecond, mac) != 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(mac, "02-00-00-00-02-51");
    NetworkInterface::DestroyInstance();
}

}  // namespace
