// How fast the kernel monitor reports a new address, against the kernel's
// own notification as iproute2's `ip monitor address` prints it, and what the
// monitor costs while nothing changes.
//
// Usage (as root): monitor_bench [--no-netlink] [--cycles N] [--idle-seconds S]
//
// Everything happens in a network namespace made for the run, on a veth pair
// whose both ends are in it: no packet leaves it. Each cycle adds an address with
// `ip addr add` and measures until the registered listener hears NIC_ADDED
// (and, separately, until `ip monitor` prints the address), then deletes it
// and waits for NIC_REMOVED. Figures: median and p99 over the cycles, and the
// process CPU time during an idle period, scaled to one minute.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/basic_network_monitor.h"
#include "network_layer/src/networkinterface.h"

namespace {

namespace nl = zel_upnp::network_layer;
using Clock = std::chrono::steady_clock;

// Both ends of a veth pair inside the namespace: the link is up and
// running, and leads nowhere.
const char kIf[] = "zmb0";
const char kPeerIf[] = "zmb1";
const char kAddress[] = "10.215.0.1/24";
const std::chrono::seconds kEventWait(10);

std::string g_ns;

int Run(const std::string& command) {
    return std::system(command.c_str());
}

void Cleanup() {
    if (!g_ns.empty())
        Run("ip netns del " + g_ns + " 2>/dev/null");
}

class Listener : public nl::NetworkEventListener {
  public:
    void OnNetworkChanged(const std::string& name, int event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (name != kIf)
            return;
        last_event_ = event;
        at_ = Clock::now();
        ++count_;
        cv_.notify_all();
    }
    int Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    // Time of the first event after `seen` events, if it is of that kind;
    // false on time-out.
    bool Wait(int event, int seen, Clock::time_point* at) {
        std::unique_lock<std::mutex> lock(mutex_);
        bool ok =
            cv_.wait_for(lock, kEventWait, [&] { return count_ > seen && last_event_ == event; });
        *at = at_;
        return ok;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
    int last_event_ = -1;
    Clock::time_point at_;
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Report(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("%-28s no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    size_t p99 = std::min(v.size() - 1, static_cast<size_t>(v.size() * 0.99));
    std::printf("%-28s n=%zu median %.1f ms  p99 %.1f ms  max %.1f ms\n", what, v.size(),
                v[v.size() / 2], v[p99], v.back());
}

// The peer: `ip monitor address`, with its output read through a pipe.
struct IpMonitor {
    pid_t pid = -1;
    int fd = -1;
    bool Start() {
        int pipefd[2];
        if (pipe(pipefd) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(pipefd[1], 1);
            close(pipefd[0]);
            execlp("ip", "ip", "-o", "monitor", "address", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipefd[1]);
        fd = pipefd[0];
        return pid > 0;
    }
    // Reads lines until one reports the address added (deletions of the
    // previous cycle are skipped); false after the deadline.
    bool WaitForAddress(Clock::time_point* at) {
        Clock::time_point deadline = Clock::now() + kEventWait;
        while (Clock::now() < deadline) {
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line.compare(0, 7, "Deleted") != 0 &&
                    line.find("inet 10.215.0.1/24") != std::string::npos) {
                    *at = Clock::now();
                    return true;
                }
            }
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buffer[512];
            ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n <= 0)
                return false;
            pending.append(buffer, static_cast<size_t>(n));
        }
        return false;
    }
    std::string pending;
    ~IpMonitor() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bool netlink = true;
    int cycles = 50;
    int idleSeconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-netlink") == 0)
            netlink = false;
        else if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc)
            cycles = std::max(1, std::min(1000, std::atoi(argv[++i])));
        else if (std::strcmp(argv[i], "--idle-seconds") == 0 && i + 1 < argc)
            idleSeconds = std::max(1, std::min(600, std::atoi(argv[++i])));
    }

    g_ns = "zmb-" + std::to_string(getpid());
    std::atexit(Cleanup);
    if (Run("ip netns add " + g_ns) != 0 || Run("ip -n " + g_ns + " link set lo up") != 0 ||
        Run("ip -n " + g_ns + " link add " + kIf + " type veth peer name " + kPeerIf) != 0 ||
        Run("ip -n " + g_ns + " link set " + kPeerIf + " up") != 0 ||
        Run("ip -n " + g_ns + " link set " + kIf + " up") != 0) {
        std::fprintf(stderr, "namespace setup failed (root and iproute2 needed)\n");
        return 1;
    }
    int nsfd = open(("/var/run/netns/" + g_ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "cannot enter %s\n", g_ns.c_str());
        return 1;
    }
    close(nsfd);

    // The registry and the monitor only: no servers, so that the figure is
    // the monitor's and not the server manager's.
    nl::NetworkInterface* registry = nl::NetworkInterface::CreateInstance();
    registry->SetAutoSelect(true);
    Listener listener;
    registry->RegisterEventListener(&listener);
    nl::NetworkInterface::SetMonitorFactory([netlink](nl::NetworkInterface* owner) {
        return new nl::BasicNetworkMonitor(owner, netlink);
    });
    registry->StartScanNetworkInterface();

    IpMonitor peer;
    if (!peer.Start()) {
        std::fprintf(stderr, "cannot start ip monitor\n");
        return 1;
    }
    usleep(200000);  // let ip monitor subscribe before the first change

    const std::string add = std::string("ip addr add ") + kAddress + " dev " + kIf;
    const std::string del = std::string("ip addr del ") + kAddress + " dev " + kIf;
    std::vector<double> monitorMs;
    std::vector<double> peerMs;
    std::vector<double> ownMs;
    for (int i = 0; i < cycles; ++i) {
        int seen = listener.Count();
        Clock::time_point start = Clock::now();
        if (Run(add) != 0)
            break;
        Clock::time_point heard;
        Clock::time_point kernel;
        bool kernelSeen = peer.WaitForAddress(&kernel);
        if (kernelSeen)
            peerMs.push_back(Ms(kernel - start));
        if (listener.Wait(nl::NIC_ADDED, seen, &heard)) {
            monitorMs.push_back(Ms(heard - start));
            // The monitor's own share: from the kernel's report to the event.
            if (kernelSeen)
                ownMs.push_back(Ms(heard - kernel));
        }
        seen = listener.Count();
        Run(del);
        listener.Wait(nl::NIC_REMOVED, seen, &heard);
    }
    std::printf("kernel monitor, netlink wake-up %s, %d cycles\n", netlink ? "on" : "off", cycles);
    Report("ip addr add -> NIC_ADDED", monitorMs);
    Report("ip addr add -> ip monitor", peerMs);
    Report("ip monitor -> NIC_ADDED", ownMs);

    struct timespec before, after;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    Clock::time_point idleStart = Clock::now();
    sleep(static_cast<unsigned>(idleSeconds));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    double wallS = std::chrono::duration<double>(Clock::now() - idleStart).count();
    std::printf("idle CPU: %.1f ms over %.0f s = %.1f ms per minute\n", cpuMs, wallS,
                cpuMs * 60.0 / wallS);

    registry->StopScanNetworkInterface();
    nl::NetworkInterface::DestroyInstance();
    return 0;
}
