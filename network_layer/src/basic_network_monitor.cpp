#include "network_layer/src/basic_network_monitor.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/format.hpp>

#include <zel_upnp/utils.h>
#include "network_layer/src/ipv6_address.h"
#include "network_layer/src/networkinterface.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const char kThreadBaseName[] = "ZelNetMon";
const int kNoThreadIndex = -1;
const char kLoopbackPrefix[] = "127.0.0";
const char kExcludedNamePrefix[] = "huart";
const char kMacFormat[] = "%|02X|:%|02X|:%|02X|:%|02X|:%|02X|:%|02X|";
const size_t kMacBytes = 6;
// A descriptor this high means the process is leaking them.
const int kSocketFdAlarm = 1000;
// Kernel reports are only a wake-up; their content is not read.
const size_t kNetlinkDrainBufferSize = 8192;
// After a first report, how long further reports are gathered into the same
// scan: a change of address arrives as a deletion and an addition a few
// milliseconds apart, and should reach the registry as one change.
const int kBurstSettleMs = 20;
// A stream of reports that never pauses still gets a scan after this many
// settle windows.
const int kMaxBurstWindows = 10;

std::string Ipv4Text(const struct sockaddr* address) {
    char text[INET_ADDRSTRLEN] = {0};
    const struct sockaddr_in* in = reinterpret_cast<const struct sockaddr_in*>(address);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) == nullptr)
        return std::string();
    return text;
}

int CountOpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count - 2;  // "." and ".."
}

// A zeroed request for the named interface.
struct ifreq RequestFor(const char* name) {
    struct ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::memcpy(request.ifr_name, name, strnlen(name, IFNAMSIZ - 1));
    return request;
}

// Reads one interface's mask and MAC into info. Failures leave the field
// empty: a missing MAC does not hide an interface.
void ReadDetails(int fd, const char* name, NetInfo& info) {
    struct ifreq request = RequestFor(name);
    if (ioctl(fd, SIOCGIFNETMASK, &request) == 0)
        info.subnet_mask = Ipv4Text(&request.ifr_netmask);

    request = RequestFor(name);
    if (ioctl(fd, SIOCGIFHWADDR, &request) != 0) {
        ZEL_LOGW(ZEL_CORE_NETWORK, "Could not get MAC for interface [%s]\n", name);
        return;
    }
    const unsigned char* mac = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    boost::format text(kMacFormat);
    for (size_t i = 0; i < kMacBytes; ++i)
        text % static_cast<unsigned>(mac[i]);
    info.mac_address = text.str();
}

}  // namespace

BasicNetworkMonitor::BasicNetworkMonitor(NetworkInterface* owner, bool netlinkWakeup)
    : owner_(owner),
      netlink_wakeup_(netlinkWakeup),
      netlink_fd_(-1),
      wake_fd_(-1),
      running_(false) {}

BasicNetworkMonitor::~BasicNetworkMonitor() {
    Stop();
}

bool BasicNetworkMonitor::Start() {
    if (thread_)
        return true;
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "eventfd failed [%d]", errno);
        return false;
    }
    if (netlink_wakeup_) {
        // Opened here, on the caller's thread, so that it watches the
        // caller's network namespace (the one the monitor thread inherits).
        netlink_fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        struct sockaddr_nl local;
        std::memset(&local, 0, sizeof(local));
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
        if (netlink_fd_ < 0 ||
            bind(netlink_fd_, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0) {
            // Not fatal: the periodic scan still finds every change.
            ZEL_LOGW(ZEL_CORE_NETWORK, "rtnetlink unavailable [%d], polling only", errno);
            if (netlink_fd_ >= 0)
                close(netlink_fd_);
            netlink_fd_ = -1;
        }
    }
    running_ = true;
    try {
        thread_.reset(
            utils::StartThread(utils::kLibraryThreadStackSize, [this] { Run(); }).release());
        utils::SetNameOnThread(thread_.get(), utils::PrepareThreadName(kThreadBaseName),
                               kNoThreadIndex);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "thread_resource_error exception:[%s]", e.what());
        running_ = false;
        thread_.reset();
        Stop();
        return false;
    }
    return true;
}

int BasicNetworkMonitor::Stop() {
    running_ = false;
    if (thread_) {
        uint64_t one = 1;
        if (write(wake_fd_, &one, sizeof(one)) < 0)
            ZEL_LOGW(ZEL_CORE_NETWORK, "monitor wake-up failed [%d]", errno);
        thread_->join();
        thread_.reset();
    }
    if (netlink_fd_ >= 0)
        close(netlink_fd_);
    if (wake_fd_ >= 0)
        close(wake_fd_);
    netlink_fd_ = -1;
    wake_fd_ = -1;
    return 0;
}

void BasicNetworkMonitor::Update() {
    // The scan lock first, as in ScanAndUpdate: the hand-over lock is always
    // taken inside it.
    boost::lock_guard<boost::mutex> lock(scan_mutex_);
    HandOver(owner_, [this] { return interfaces_; });
}

void BasicNetworkMonitor::ClearInterfaceList() {
    boost::lock_guard<boost::mutex> lock(scan_mutex_);
    interfaces_.clear();
}

void BasicNetworkMonitor::QueryUpdate() {
    ScanAndUpdate();
}

size_t BasicNetworkMonitor::ScanAndUpdate() {
    boost::lock_guard<boost::mutex> lock(scan_mutex_);
    interfaces_ = ScanInterfaces();
    HandOver(owner_, [this] { return interfaces_; });
    return interfaces_.size();
}

void BasicNetworkMonitor::Run() {
    try {
        while (running_) {
            int period = ScanAndUpdate() > 0 ? kMonitorPeriodMs : kEmptyMonitorPeriodMs;
            ZEL_LOGD(ZEL_CORE_NETWORK, "MonitorTime : %d", period);
            WaitForChange(period);
        }
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "monitor thread ends on exception [%s]", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception");
    }
}

void BasicNetworkMonitor::WaitForChange(int periodMs) {
    struct pollfd fds[2];
    fds[0].fd = wake_fd_;
    fds[0].events = POLLIN;
    fds[1].fd = netlink_fd_;
    fds[1].events = POLLIN;
    int count = netlink_fd_ >= 0 ? 2 : 1;
    if (poll(fds, count, periodMs) <= 0 || count < 2 || (fds[1].revents & POLLIN) == 0)
        return;
    // Every report of the burst is answered by the one scan that follows.
    // Stop's wake-up ends the gathering at once.
    char buffer[kNetlinkDrainBufferSize];
    int windows = 0;
    do {
        while (recv(netlink_fd_, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
        }
        fds[0].revents = fds[1].revents = 0;
    } while (running_ && ++windows < kMaxBurstWindows && poll(fds, count, kBurstSettleMs) > 0 &&
             (fds[0].revents & POLLIN) == 0);
}

std::vector<NetInfo> BasicNetworkMonitor::ScanInterfaces() {
    std::vector<NetInfo> found;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "socket creation failed");
        return found;
    }
    if (fd >= kSocketFdAlarm)
        ZEL_LOGE(ZEL_CORE_NETWORK, "Too Many Socket Fds Opened [%d] (open descriptors: %d)", fd,
                 CountOpenDescriptors());

    std::vector<struct ifreq> records;
    if (!ReadInterfaceRecords(fd, &records)) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "SIOCGIFCONF Failed ");
        close(fd);
        return found;
    }
    for (struct ifreq& entry : records) {
        entry.ifr_name[IFNAMSIZ - 1] = '\0';
        std::string name = entry.ifr_name;
        std::string address = Ipv4Text(&entry.ifr_addr);
        if (address.empty() || boost::starts_with(address, kLoopbackPrefix) ||
            boost::starts_with(name, kExcludedNamePrefix))
            continue;
        struct ifreq flags = RequestFor(entry.ifr_name);
        if (ioctl(fd, SIOCGIFFLAGS, &flags) != 0)
            continue;
        const short required = IFF_UP | IFF_RUNNING;
        if ((flags.ifr_flags & required) != required || (flags.ifr_flags & IFF_LOOPBACK) != 0)
            continue;
        // The registry keys by name; a second address of a name is not a
        // second interface.
        bool seen = false;
        for (const NetInfo& known : found)
            seen = seen || known.interface_name == name;
        if (seen)
            continue;
        NetInfo info;
        info.interface_name = name;
        info.ip_address = address;
        info.interface_index = if_nametoindex(entry.ifr_name);
        ReadDetails(fd, entry.ifr_name, info);
        found.push_back(info);
    }
    close(fd);
    if (!found.empty()) {
        // Read after the IPv4 list: an interface without IPv4 is not served.
        std::map<std::string, std::vector<Ipv6Address> > ipv6 = ReadKernelIpv6Addresses();
        for (NetInfo& info : found)
            info.ipv6_addresses.swap(ipv6[info.interface_name]);
    }
    return found;
}

}  // namespace network_layer
}  // namespace zel_upnp
