// Private network namespaces for tests that need a device and one or more
// peers on a real (virtual) link, without a single packet reaching this
// machine's own interfaces.
//
// A NetnsTopology creates one device namespace and N peer namespaces. Peer i
// is joined to the device by a veth pair on the subnet 10.213.(i+1).0/24: the
// device side carries .1, the peer side .2. Loopback is up everywhere, and
// every namespace routes 224.0.0.0/4 to its veth, so SSDP multicast sent in
// a namespace leaves on the test link and nowhere else (there is no default
// route, so unicast to anything outside the test subnets fails at once). The
// root namespace never sees a veth: both ends are created inside the
// namespaces. Deleting the namespaces in the destructor removes the veths.
// Names carry the process id, so parallel ctest processes never collide, and
// a new topology deletes the leftovers of dead processes.
//
// Sockets belong to the namespace of the thread that opens them, and a thread
// created by std::thread or boost::thread starts in the namespace of its
// creator. The pattern for tests of the library:
//
//   if (!zel_test::NetnsTopology::Available())
//       GTEST_SKIP() << "needs root to create network namespaces";
//   zel_test::NetnsTopology topo(1);
//   ASSERT_TRUE(topo.Ok()) << topo.Error();
//   ASSERT_TRUE(topo.EnterDevice());   // this thread now lives in the device
//                                      // namespace; so does every thread the
//                                      // library starts from here on
//   ... bring the library up, configure topo.Link(0).device_if ...
//   topo.RunIn(topo.Link(0).peer_ns, [&] { ... peer sockets ... });
//   ... tear the library down (its threads must end before topo does) ...
//
// EnterDevice must come before the library starts any thread: threads that
// already run stay where they were. The topology's destructor moves the
// entering thread back to its original namespace. A thread that has called
// setns must not be handed back to a pool, which is why RunIn uses a fresh
// thread per call.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zel_test {

// Result of RunCommand/NetnsTopology::Exec when the command did not end in
// time (it is killed with its whole process group) or could not be started.
constexpr int kCommandTimedOut = -1;
constexpr int kCommandNotStarted = -2;
constexpr std::chrono::milliseconds kDefaultCommandTimeout{10000};

// Runs argv[0] (looked up in PATH) with the given arguments, stdout and
// stderr captured into output when non-null. Returns the exit status (128 +
// signal when killed), or one of the two codes above. The call lasts until
// every holder of the output pipe has exited: a background child that keeps
// it open runs into the time-out, and is then killed with its group.
int RunCommand(const std::vector<std::string>& argv,
               std::chrono::milliseconds timeout = kDefaultCommandTimeout,
               std::string* output = nullptr);

// Moves the calling thread into the named namespace. Returns false (and
// leaves the thread where it was) when the namespace cannot be opened or
// entered.
bool EnterNetns(const std::string& ns);

// One veth pair of a topology.
struct NetnsLink {
    std::string peer_ns;     // namespace of the peer
    std::string device_if;   // interface name inside the device namespace
    std::string peer_if;     // interface name inside the peer namespace
    std::string device_ip;   // 10.213.(i+1).1
    std::string peer_ip;     // 10.213.(i+1).2
    std::string netmask;     // 255.255.255.0
    std::string device_mac;  // "aa:bb:..." as the kernel reports it
    std::string peer_mac;
};

class NetnsTopology {
  public:
    // True when this process can create network namespaces (root, the ip
    // tool present, and one probe namespace made and deleted). Cached.
    static bool Available();

    // Creates the device namespace and `peers` peer namespaces. deviceIfNames
    // optionally names the device side of each link (default "zdev<i>"),
    // for tests that want names such as "eth0" or "p2p0" in the device.
    explicit NetnsTopology(int peers = 1, std::vector<std::string> deviceIfNames = {});
    ~NetnsTopology();
    NetnsTopology(const NetnsTopology&) = delete;
    NetnsTopology& operator=(const NetnsTopology&) = delete;

    // False when setup failed; Error() says which step.
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }

    const std::string& DeviceNs() const { return device_ns_; }
    size_t LinkCount() const { return links_.size(); }
    const NetnsLink& Link(size_t i) const { return links_.at(i); }
    // Every namespace this topology made, device first.
    std::vector<std::string> Namespaces() const;

    // Moves the calling thread into the device namespace until the topology
    // is destroyed (by the same thread) or LeaveDevice is called.
    bool EnterDevice();
    // Moves the thread that called EnterDevice back; must be called on it.
    bool LeaveDevice();

    // Runs fn on a new thread inside ns and waits for it. False when the
    // thread could not enter ns (fn is then not run).
    static bool RunIn(const std::string& ns, const std::function<void()>& fn);

    // Runs a shell command line inside ns ("ip netns exec NS /bin/sh -c").
    static int Exec(const std::string& ns, const std::string& command,
                    std::chrono::milliseconds timeout = kDefaultCommandTimeout,
                    std::string* output = nullptr);

    // Deletes namespaces left behind by test processes that no longer run.
    static void CleanupLeftovers();

  private:
    bool Setup(int peers, const std::vector<std::string>& deviceIfNames);
    bool Step(const std::string& what, const std::string& ns, const std::string& command);
    void Teardown();

    bool ok_ = false;
    std::string error_;
    std::string device_ns_;
    std::vector<NetnsLink> links_;
    std::vector<std::string> created_;  // namespaces to delete, in creation order
    int original_ns_fd_ = -1;           // held while a thread is in the device
    std::thread::id entered_by_;
};

}  // namespace zel_test
