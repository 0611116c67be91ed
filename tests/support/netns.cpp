#include "support/netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

namespace zel_test {

namespace {

const char kNetnsDir[] = "/var/run/netns/";
const char kNamePrefix[] = "zelt";
const char kOwnNetns[] = "/proc/thread-self/ns/net";
const char kSubnetPrefix[] = "10.213.";
const char kNetmask[] = "255.255.255.0";
const char kPrefixLength[] = "/24";
const char kMulticastRoute[] = "224.0.0.0/4";
constexpr size_t kReadChunk = 4096;
constexpr size_t kMacTextSize = 17;  // "aa:bb:cc:dd:ee:ff"
// Exit statuses of timeout(1) and the shell: time-out, killed, not found.
constexpr int kTimeoutStatus = 124;
constexpr int kSignalStatusBase = 128;
constexpr int kNotFoundStatus = 127;
constexpr std::chrono::milliseconds kKillGrace{1000};
constexpr std::chrono::milliseconds kLinkUpTimeout{5000};
constexpr std::chrono::milliseconds kLinkUpPoll{20};

std::atomic<int> g_sequence{0};

// Single-quoted for /bin/sh.
std::string Quote(const std::string& word) {
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// "ip -o link show" of an interface inside ns; empty when it failed.
std::string LinkLine(const std::string& ns, const std::string& ifname) {
    std::string out;
    if (RunCommand({"ip", "-n", ns, "-o", "link", "show", "dev", ifname}, kDefaultCommandTimeout,
                   &out) != 0)
        out.clear();
    return out;
}

std::string MacOf(const std::string& ns, const std::string& ifname) {
    const std::string key = "link/ether ";
    const std::string line = LinkLine(ns, ifname);
    const size_t pos = line.find(key);
    return pos == std::string::npos ? std::string() : line.substr(pos + key.size(), kMacTextSize);
}

bool LinkIsUp(const std::string& ns, const std::string& ifname) {
    return LinkLine(ns, ifname).find("state UP") != std::string::npos;
}

}  // namespace

int RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
               std::string* output) {
    if (argv.empty())
        return kCommandNotStarted;
    // timeout(1) runs the command in a process group of its own and signals
    // the whole group when the time is up (TERM, then KILL a second later),
    // so the pipe's last writer is gone by then too.
    std::string line = "timeout -k " + std::to_string(kKillGrace.count() / 1000.0) + " " +
                       std::to_string(timeout.count() / 1000.0);
    for (const std::string& word : argv)
        line += " " + Quote(word);
    FILE* pipe = popen((line + " </dev/null 2>&1").c_str(), "re");
    if (pipe == nullptr)
        return kCommandNotStarted;
    char buf[kReadChunk];
    size_t got = 0;
    while ((got = fread(buf, 1, sizeof(buf), pipe)) > 0) {
        if (output != nullptr)
            output->append(buf, got);
    }
    const int status = pclose(pipe);
    if (!WIFEXITED(status))
        return kCommandNotStarted;
    const int code = WEXITSTATUS(status);
    if (code == kTimeoutStatus || code == kSignalStatusBase + SIGKILL)
        return kCommandTimedOut;
    return code == kNotFoundStatus ? kCommandNotStarted : code;
}

bool EnterNetns(const std::string& ns) {
    std::string path = std::string(kNetnsDir) + ns;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

bool NetnsTopology::Available() {
    static const bool available = [] {
        if (geteuid() != 0 || RunCommand({"ip", "-V"}) != 0)
            return false;
        std::string probe = std::string(kNamePrefix) + std::to_string(getpid()) + "x" + "probe";
        if (RunCommand({"ip", "netns", "add", probe}) != 0)
            return false;
        RunCommand({"ip", "netns", "del", probe});
        return true;
    }();
    // CI sets ZEL_REQUIRE_ROOT_TESTS so that a run without namespaces fails
    // every test that needed them instead of passing it as skipped.
    if (!available && std::getenv("ZEL_REQUIRE_ROOT_TESTS") != nullptr)
        ADD_FAILURE() << "ZEL_REQUIRE_ROOT_TESTS is set, but network namespaces cannot be created "
                         "(needs root and the ip tool)";
    return available;
}

void NetnsTopology::CleanupLeftovers() {
    DIR* dir = opendir(kNetnsDir);
    if (dir == nullptr)
        return;
    std::vector<std::string> stale;
    const size_t prefixLen = std::strlen(kNamePrefix);
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.compare(0, prefixLen, kNamePrefix) != 0)
            continue;
        char* end = nullptr;
        long pid = std::strtol(name.c_str() + prefixLen, &end, 10);
        if (end == name.c_str() + prefixLen || *end != 'x' || pid <= 0)
            continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            stale.push_back(name);
    }
    closedir(dir);
    for (const std::string& ns : stale)
        RunCommand({"ip", "netns", "del", ns});
}

NetnsTopology::NetnsTopology(int peers, std::vector<std::string> deviceIfNames) {
    if (!Available()) {
        error_ = "network namespaces are not available";
        return;
    }
    CleanupLeftovers();
    ok_ = Setup(peers, deviceIfNames);
    if (!ok_)
        Teardown();
}

NetnsTopology::~NetnsTopology() {
    if (original_ns_fd_ >= 0 && std::this_thread::get_id() == entered_by_)
        LeaveDevice();
    if (original_ns_fd_ >= 0) {
        close(original_ns_fd_);
        original_ns_fd_ = -1;
    }
    Teardown();
}

// The topology's links carry IPv4 only: the kernel would otherwise give
// each veth a link-local IPv6 address a second after it comes up, and the
// device would open its IPv6 servers at a moment no test chose.
bool NetnsTopology::Ipv4Only(const std::string& ns) {
    if (RunCommand({"ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                    "net.ipv6.conf.default.disable_ipv6=1"}) == 0)
        return true;
    error_ = "disabling IPv6 in " + ns + " failed";
    return false;
}

bool NetnsTopology::Step(const std::string& what, const std::string& ns,
                         const std::string& command) {
    std::vector<std::string> argv = {"ip", "-n", ns};
    std::istringstream in(command);
    std::string word;
    while (in >> word)
        argv.push_back(word);
    std::string out;
    int rc = RunCommand(argv, kDefaultCommandTimeout, &out);
    if (rc != 0) {
        error_ = what + " failed (" + std::to_string(rc) + "): " + out;
        return false;
    }
    return true;
}

bool NetnsTopology::Setup(int peers, const std::vector<std::string>& deviceIfNames) {
    const std::string base =
        std::string(kNamePrefix) + std::to_string(getpid()) + "x" + std::to_string(g_sequence++);
    device_ns_ = base + "d";
    if (RunCommand({"ip", "netns", "add", device_ns_}) != 0) {
        error_ = "creating " + device_ns_ + " failed";
        return false;
    }
    created_.push_back(device_ns_);
    if (!Step("loopback up", device_ns_, "link set lo up") || !Ipv4Only(device_ns_))
        return false;

    for (int i = 0; i < peers; ++i) {
        NetnsLink link;
        link.peer_ns = base + "p" + std::to_string(i);
        link.device_if = static_cast<size_t>(i) < deviceIfNames.size() ? deviceIfNames[i]
                                                                       : "zdev" + std::to_string(i);
        link.peer_if = "zpeer" + std::to_string(i);
        const std::string subnet = kSubnetPrefix + std::to_string(i + 1) + ".";
        link.device_ip = subnet + "1";
        link.peer_ip = subnet + "2";
        link.netmask = kNetmask;

        if (RunCommand({"ip", "netns", "add", link.peer_ns}) != 0) {
            error_ = "creating " + link.peer_ns + " failed";
            return false;
        }
        created_.push_back(link.peer_ns);
        // Both ends are born inside the namespaces: the root namespace never
        // holds a test interface, not even for a moment.
        if (!Step("loopback up", link.peer_ns, "link set lo up") || !Ipv4Only(link.peer_ns) ||
            !Step("veth", device_ns_,
                  "link add " + link.device_if + " type veth peer name " + link.peer_if +
                      " netns " + link.peer_ns) ||
            !Step("device address", device_ns_,
                  "addr add " + link.device_ip + kPrefixLength + " dev " + link.device_if) ||
            !Step("peer address", link.peer_ns,
                  "addr add " + link.peer_ip + kPrefixLength + " dev " + link.peer_if) ||
            !Step("device up", device_ns_, "link set " + link.device_if + " up") ||
            !Step("peer up", link.peer_ns, "link set " + link.peer_if + " up") ||
            !Step("peer multicast route", link.peer_ns,
                  std::string("route add ") + kMulticastRoute + " dev " + link.peer_if))
            return false;
        // One multicast route per namespace: the device's goes to its first
        // link; tests that multicast on another link choose the interface.
        if (i == 0 && !Step("device multicast route", device_ns_,
                            std::string("route add ") + kMulticastRoute + " dev " + link.device_if))
            return false;
        link.device_mac = MacOf(device_ns_, link.device_if);
        link.peer_mac = MacOf(link.peer_ns, link.peer_if);
        links_.push_back(link);
    }

    const auto deadline = std::chrono::steady_clock::now() + kLinkUpTimeout;
    for (const NetnsLink& link : links_) {
        while (!LinkIsUp(device_ns_, link.device_if) || !LinkIsUp(link.peer_ns, link.peer_if)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                error_ = "link " + link.device_if + " did not come up";
                return false;
            }
            std::this_thread::sleep_for(kLinkUpPoll);
        }
    }
    return true;
}

void NetnsTopology::Teardown() {
    // Peers first, then the device; deleting a namespace destroys its veth
    // end and with it the other end.
    for (auto it = created_.rbegin(); it != created_.rend(); ++it)
        RunCommand({"ip", "netns", "del", *it});
    created_.clear();
}

bool NetnsTopology::EnterDevice() {
    if (!ok_ || original_ns_fd_ >= 0)
        return false;
    int fd = open(kOwnNetns, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (!EnterNetns(device_ns_)) {
        close(fd);
        return false;
    }
    original_ns_fd_ = fd;
    entered_by_ = std::this_thread::get_id();
    return true;
}

bool NetnsTopology::LeaveDevice() {
    if (original_ns_fd_ < 0 || std::this_thread::get_id() != entered_by_)
        return false;
    bool ok = setns(original_ns_fd_, CLONE_NEWNET) == 0;
    close(original_ns_fd_);
    original_ns_fd_ = -1;
    return ok;
}

bool NetnsTopology::RunIn(const std::string& ns, const std::function<void()>& fn) {
    bool entered = false;
    std::thread t([&] {
        entered = EnterNetns(ns);
        if (entered)
            fn();
    });
    t.join();
    return entered;
}

int NetnsTopology::Exec(const std::string& ns, const std::string& command,
                        std::chrono::milliseconds timeout, std::string* output) {
    return RunCommand({"ip", "netns", "exec", ns, "/bin/sh", "-c", command}, timeout, output);
}

int NetnsTopology::AddIpv6(const std::string& ns, const std::string& dev,
                           const std::string& address) {
    return Exec(ns, "sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf." + dev +
                        ".disable_ipv6=0 && ip -6 addr add " + address + "/64 nodad dev " + dev);
}

}  // namespace zel_test
