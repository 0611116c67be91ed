// Private network namespaces for tests that need a device and peers on a
// real (virtual) link without a packet reaching this machine's interfaces.
// Peer i is joined to the device namespace by a veth pair on
// 10.213.(i+1).0/24 (device .1, peer .2); both ends are created inside the
// namespaces, 224.0.0.0/4 is routed to the veth, there is no default route,
// and IPv6 is off.
// Names carry the process id; a new topology deletes dead processes' leftovers.
//
// Sockets belong to the namespace of the thread that opens them, and a new
// thread starts in its creator's: EnterDevice before the library starts any
// thread, tear the library down before the topology. A thread that called
// setns is never handed back to a pool, so RunIn uses a fresh thread.
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

    // Turns IPv6 on in ns and on dev there, and gives dev address/64 at once
    // (no duplicate address detection). Exec's result.
    static int AddIpv6(const std::string& ns, const std::string& dev, const std::string& address);

    // Deletes namespaces left behind by test processes that no longer run.
    static void CleanupLeftovers();

  private:
    bool Setup(int peers, const std::vector<std::string>& deviceIfNames);
    bool Step(const std::string& what, const std::string& ns, const std::string& command);
    bool Ipv4Only(const std::string& ns);
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
