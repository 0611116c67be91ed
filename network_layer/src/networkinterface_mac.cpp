// The MAC lookups of the registry: the kernel's ARP cache for an IPv4 peer
// (through the registry's kept socket, reopened on "ZelNetIf" when it is
// lost), its neighbour table for an IPv6 one.
#include "network_layer/src/networkinterface.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include <boost/bind/bind.hpp>

#include "network_layer/src/neighbour_table.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const size_t kMacBytes = 6;
// A MAC reads "%02X-%02X-%02X-%02X-%02X-%02X": two upper-case hex digits
// per byte, joined by hyphens.
const char kHexDigits[] = "0123456789ABCDEF";
const size_t kMacTextLength = kMacBytes * 3 - 1;
// The kernel's loopback device, also when the registry lists it.
const char kLoopbackDevice[] = "lo";
const unsigned kLoopbackNet = 127;  // first byte of 127.0.0.0/8

void FormatMac(const unsigned char* hw, std::string& macAddress) {
    char text[kMacBytes * 3];
    for (size_t i = 0; i < kMacBytes; ++i) {
        text[i * 3] = kHexDigits[hw[i] >> 4];
        text[i * 3 + 1] = kHexDigits[hw[i] & 0x0f];
        text[i * 3 + 2] = '-';
    }
    macAddress.assign(text, kMacTextLength);
}

int OpenArpSocket() {
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

// An ioctl error that says the descriptor is no longer our socket (closed
// behind our back, its number perhaps handed to another file).
bool SocketGone(int error) {
    return error == EBADF || error == ENOTSOCK || error == ENOTTY;
}

enum class ArpProbe { kFound, kMissing, kSocketGone };

// One SIOCGARP for peer on the device named by a NUL-terminated name of
// fewer than IFNAMSIZ bytes. Only a complete entry counts: one whose
// resolution is pending or failed carries no MAC.
ArpProbe ProbeArpCache(int fd, const in_addr& peer, const char* device, std::string& macAddress) {
    arpreq request;
    std::memset(&request, 0, sizeof(request));
    sockaddr_in* protocolAddress = reinterpret_cast<sockaddr_in*>(&request.arp_pa);
    protocolAddress->sin_family = AF_INET;
    protocolAddress->sin_addr = peer;
    static_assert(sizeof(request.arp_dev) == IFNAMSIZ, "interface names fit the ARP request");
    // The last byte stays zero from the memset above.
    std::strncpy(request.arp_dev, device, sizeof(request.arp_dev) - 1);
    if (ioctl(fd, SIOCGARP, &request) < 0)
        return SocketGone(errno) ? ArpProbe::kSocketGone : ArpProbe::kMissing;
    if ((request.arp_flags & ATF_COM) == 0)
        return ArpProbe::kMissing;
    ZEL_LOGD(ZEL_CORE_NETWORK, "[GetMacAddressFromArpCache] Mac address found ");
    FormatMac(reinterpret_cast<const unsigned char*>(request.arp_ha.sa_data), macAddress);
    return ArpProbe::kFound;
}

bool IsLoopbackDevice(int fd, const char* device) {
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::strncpy(request.ifr_name, device, sizeof(request.ifr_name) - 1);
    return ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_LOOPBACK) != 0;
}

// The full walk: one probe per interface the kernel lists, in its order,
// except loopback (it never holds a neighbour's entry) and skip (already
// probed; may be null). *socketGone (may be null) is set when fd turned out
// not to be our socket; the result is then NL_SOCKET_FAILURE.
int WalkArpCache(int fd, const in_addr& peer, const char* skip, std::string& macAddress,
                 bool* socketGone) {
    std::vector<ifreq> interfaces;
    if (!ReadInterfaceRecords(fd, &interfaces)) {
        if (socketGone != nullptr && SocketGone(errno)) {
            *socketGone = true;
            return NL_SOCKET_FAILURE;
        }
        ZEL_LOGE(ZEL_CORE_NETWORK, "ioctl failed for SIOCGIFCONF ");
        return NL_SOCKET_FAILURE;
    }
    const char* previous = nullptr;
    for (const ifreq& record : interfaces) {
        // One record per address, an interface's addresses one after the
        // other: probe each interface once.
        const char* device = record.ifr_name;
        if (previous != nullptr && std::strncmp(previous, device, IFNAMSIZ) == 0)
            continue;
        previous = device;
        if (skip != nullptr && std::strncmp(skip, device, IFNAMSIZ) == 0)
            continue;
        if (IsLoopbackDevice(fd, device))
            continue;
        switch (ProbeArpCache(fd, peer, device, macAddress)) {
            case ArpProbe::kFound:
                return NL_SUCCESS;
            case ArpProbe::kSocketGone:
                if (socketGone != nullptr) {
                    *socketGone = true;
                    return NL_SOCKET_FAILURE;
                }
                break;
            case ArpProbe::kMissing:
                break;
        }
    }
    return NL_NO_ARP_ENTRY;
}

// Closes the lookup socket on every path out of GetMacAddress.
class SocketGuard {
  public:
    explicit SocketGuard(int fd) : fd_(fd) {}
    ~SocketGuard() {
        if (fd_ >= 0)
            close(fd_);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;

  private:
    int fd_;
};

}  // namespace

int NetworkInterface::GetMacAddress(const std::string& address, std::string& macAddress) {
    if (address.empty())
        return NL_EMPTY_ADDRESS;
    if (address.find(':') != std::string::npos)
        return LookUpNeighbourMac(address, macAddress);
    int fd = OpenArpSocket();
    if (fd < 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "socket creation failed");
        return NL_SOCKET_FAILURE;
    }
    SocketGuard guard(fd);

    in_addr peer;
    if (inet_aton(address.c_str(), &peer) == 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "inet_aton is failed");
        return NL_SOCKET_FAILURE;
    }
    return WalkArpCache(fd, peer, nullptr, macAddress, nullptr);
}

int NetworkInterface::LookUpMacAddress(const std::string& address, std::string& macAddress) {
    if (address.empty())
        return NL_EMPTY_ADDRESS;
    if (address.find(':') != std::string::npos)
        return LookUpNeighbourMac(address, macAddress);
    const int fd = ArpSocket();
    if (fd < 0)
        return GetMacAddress(address, macAddress);
    in_addr peer;
    if (inet_aton(address.c_str(), &peer) == 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "inet_aton is failed");
        return NL_SOCKET_FAILURE;
    }

    // The interface whose subnet holds the peer, named while the lock is
    // held; the kernel is asked after it is released.
    char device[IFNAMSIZ] = {};
    {
        boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
        for (const NetInfo& info : available_) {
            in_addr own;
            in_addr mask;
            if (info.interface_name.empty() || info.interface_name.size() >= IFNAMSIZ ||
                info.interface_name == kLoopbackDevice ||
                inet_pton(AF_INET, info.ip_address.c_str(), &own) != 1 ||
                inet_pton(AF_INET, info.subnet_mask.c_str(), &mask) != 1 ||
                (ntohl(own.s_addr) >> 24) == kLoopbackNet)
                continue;
            if ((own.s_addr & mask.s_addr) == (peer.s_addr & mask.s_addr)) {
                std::memcpy(device, info.interface_name.c_str(), info.interface_name.size());
                break;
            }
        }
    }

    bool socketGone = false;
    if (device[0] != '\0') {
        switch (ProbeArpCache(fd, peer, device, macAddress)) {
            case ArpProbe::kFound:
                return NL_SUCCESS;
            case ArpProbe::kSocketGone:
                socketGone = true;
                break;
            case ArpProbe::kMissing:
                break;
        }
    }
    if (!socketGone) {
        // A peer beyond every known subnet, or not (yet) resolved on its own.
        const int result =
            WalkArpCache(fd, peer, device[0] != '\0' ? device : nullptr, macAddress, &socketGone);
        if (!socketGone)
            return result;
    }
    DropArpSocket(fd);
    return GetMacAddress(address, macAddress);
}

int NetworkInterface::ArpSocket() {
    const int fd = arp_socket_.load(std::memory_order_acquire);
    if (fd < 0)
        ScheduleArpSocketReopen();
    return fd;
}

void NetworkInterface::DropArpSocket(int fd) {
    // The number is not closed: it no longer names our socket.
    int expected = fd;
    if (!arp_socket_.compare_exchange_strong(expected, -1))
        return;  // already dropped or replaced by another lookup
    ZEL_LOGE(ZEL_CORE_NETWORK, "ARP socket lost, reopening");
    ScheduleArpSocketReopen();
}

void NetworkInterface::ScheduleArpSocketReopen() {
    if (arp_reopen_pending_.exchange(true))
        return;
    io_service_.post([this] { ReopenArpSocket(); });
}

void NetworkInterface::ReopenArpSocket() {
    const int fd = OpenArpSocket();
    if (fd < 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "ARP socket creation failed [%d]", errno);
    } else {
        int expected = -1;
        if (!arp_socket_.compare_exchange_strong(expected, fd, std::memory_order_acq_rel))
            close(fd);
    }
    arp_reopen_pending_ = false;
}

}  // namespace network_layer
}  // namespace zel_upnp
