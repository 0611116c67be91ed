// The kernel monitor: follows the interfaces of any Linux machine. A thread
// ("ZelNetMon") scans the kernel's up and running IPv4 interfaces, with
// their usable IPv6 addresses, and hands
// the list to the registry every monitor period, and at once when the
// kernel's rtnetlink reports an address or link change; a burst of such
// reports is answered by one scan. Interfaces keep their kernel names.
//
// Threads: the monitor thread scans and updates; QueryUpdate scans on the
// caller's thread. The scan lock keeps the two from handing the registry
// lists out of order. Stop wakes the thread and joins it.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <boost/scoped_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/networkmonitor.h"

namespace zel_upnp {
namespace network_layer {

class NetworkInterface;

class BasicNetworkMonitor : public NetworkMonitor {
  public:
    // Periods after a scan that found at least one interface, and none.
    static const int kMonitorPeriodMs = 2000;
    static const int kEmptyMonitorPeriodMs = 300;

    // Without the netlink wake-up (for comparison in the benchmark) changes
    // are seen at the next period only.
    explicit BasicNetworkMonitor(NetworkInterface* owner, bool netlinkWakeup = true);
    ~BasicNetworkMonitor() override;

    bool Start() override;
    int Stop() override;
    void Update() override;
    void ClearInterfaceList() override;
    void QueryUpdate() override;

    // The kernel's up and running IPv4 interfaces, loopback and "huart*"
    // excluded, one entry per name, each with its index and usable IPv6
    // addresses. Empty when the kernel cannot be asked.
    static std::vector<NetInfo> ScanInterfaces();

  private:
    void Run();
    // Scans and hands the list to the registry unless monitoring is paused;
    // returns the number of interfaces found.
    size_t ScanAndUpdate();
    // Waits up to periodMs for a kernel report or a stop request; drains
    // every pending report so that a burst causes one scan.
    void WaitForChange(int periodMs);

    NetworkInterface* const owner_;
    const bool netlink_wakeup_;
    int netlink_fd_;
    int wake_fd_;  // eventfd: Stop's wake-up
    std::atomic<bool> running_;
    boost::scoped_ptr<boost::thread> thread_;

    // Held across a scan and its update.
    boost::mutex scan_mutex_;
    std::vector<NetInfo> interfaces_;
};

}  // namespace network_layer
}  // namespace zel_upnp
