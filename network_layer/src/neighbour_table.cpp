#include "network_layer/src/neighbour_table.h"

#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include <zel_upnp/network_layer.h>
#include "utils/src/common/ip_literal.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

namespace {

// One read of the dump. The kernel fills a dump message up to 32 KiB; a
// read it had to cut is refused (MSG_TRUNC), not taken in part.
constexpr std::size_t kReadSize = 32 * 1024;
constexpr std::size_t kIpv6Bytes = 16;
constexpr std::size_t kMacBytes = 6;
// States in which the entry's link-layer address is the peer's.
constexpr uint16_t kKnownStates = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT;

std::atomic<uint32_t> g_sequence{1};

// Closes the netlink socket on every path out of the lookup.
struct SocketCloser {
    int fd;
    ~SocketCloser() {
        if (fd >= 0)
            close(fd);
    }
};

std::string FormatMac(const unsigned char* bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < kMacBytes; ++i) {
        if (i != 0)
            text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0f];
    }
    return text;
}

struct Wanted {
    unsigned char address[kIpv6Bytes];
    unsigned scope;  // interface index; 0 for any link
};

enum class Step { kMore, kFound, kEnd, kFailed };

// Looks through one neighbour message for a known entry of wanted.
Step ReadEntry(const nlmsghdr* header, const Wanted& wanted, std::string& mac) {
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
        return Step::kFailed;
    const ndmsg* entry = static_cast<const ndmsg*>(NLMSG_DATA(header));
    if (entry->ndm_family != AF_INET6 || (entry->ndm_state & kKnownStates) == 0 ||
        (wanted.scope != 0 && static_cast<unsigned>(entry->ndm_ifindex) != wanted.scope))
        return Step::kMore;
    int length = static_cast<int>(NLMSG_PAYLOAD(header, sizeof(ndmsg)));
    const rtattr* attribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(entry) +
                                                              NLMSG_ALIGN(sizeof(ndmsg)));
    bool matches = false;
    const unsigned char* lladdr = nullptr;
    for (; RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        const std::size_t size = RTA_PAYLOAD(attribute);
        const unsigned char* data = static_cast<const unsigned char*>(RTA_DATA(attribute));
        if (attribute->rta_type == NDA_DST && size == kIpv6Bytes)
            matches = std::memcmp(data, wanted.address, kIpv6Bytes) == 0;
        else if (attribute->rta_type == NDA_LLADDR && size == kMacBytes)
            lladdr = data;
    }
    if (!matches || lladdr == nullptr)
        return Step::kMore;
    mac = FormatMac(lladdr);
    return Step::kFound;
}

// Walks the messages of one read of the dump.
Step ReadMessages(const char* data, std::size_t size, uint32_t sequence, const Wanted& wanted,
                  std::string& mac) {
    int left = static_cast<int>(size);
    for (const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_seq != sequence)
            continue;  // a late answer to an earlier request
        if (header->nlmsg_type == NLMSG_DONE)
            return Step::kEnd;
        if (header->nlmsg_type == NLMSG_ERROR)
            return Step::kFailed;
        if (header->nlmsg_type != RTM_NEWNEIGH)
            continue;
        const Step step = ReadEntry(header, wanted, mac);
        if (step != Step::kMore)
            return step;
    }
    return left == 0 ? Step::kMore : Step::kFailed;
}

int SendDumpRequest(int fd, uint32_t sequence) {
    struct {
        nlmsghdr header;
        ndmsg body;
    } request;
    std::memset(&request, 0, sizeof(request));
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.ndm_family = AF_INET6;
    sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = sendto(fd, &request, request.header.nlmsg_len, 0,
                                reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel));
    return sent == static_cast<ssize_t>(request.header.nlmsg_len) ? NL_SUCCESS : NL_SOCKET_FAILURE;
}

int ReadDump(int fd, uint32_t sequence, const Wanted& wanted, std::string& macAddress) {
    // nlmsghdr alignment for the casts above.
    std::vector<nlmsghdr> buffer(kReadSize / sizeof(nlmsghdr));
    const auto deadline = std::chrono::steady_clock::now() + kNeighbourDumpTimeout;
    std::size_t total = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready = {fd, POLLIN, 0};
        const int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "neighbour table not read in time");
            return NL_SOCKET_FAILURE;
        }
        sockaddr_nl sender;
        iovec vector = {buffer.data(), buffer.size() * sizeof(nlmsghdr)};
        msghdr message;
        std::memset(&message, 0, sizeof(message));
        message.msg_name = &sender;
        message.msg_namelen = sizeof(sender);
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        total += got > 0 ? static_cast<std::size_t>(got) : 0;
        if (got <= 0 || (message.msg_flags & MSG_TRUNC) != 0 || sender.nl_pid != 0 ||
            total > kMaxNeighbourDumpBytes) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "neighbour table read failed [%d]", got < 0 ? errno : 0);
            return NL_SOCKET_FAILURE;
        }
        switch (ReadMessages(reinterpret_cast<const char*>(buffer.data()),
                             static_cast<std::size_t>(got), sequence, wanted, macAddress)) {
            case Step::kFound:
                return NL_SUCCESS;
            case Step::kEnd:
                return NL_NO_ARP_ENTRY;
            case Step::kFailed:
                ZEL_LOGE(ZEL_CORE_NETWORK, "neighbour table answer malformed");
                return NL_SOCKET_FAILURE;
            case Step::kMore:
                break;
        }
    }
}

}  // namespace

int LookUpNeighbourMac(const std::string& address, std::string& macAddress) {
    if (address.empty())
        return NL_EMPTY_ADDRESS;
    try {
        boost::asio::ip::address parsed;
        if (!utils::ParseIpLiteral(address, parsed, utils::ZoneRule::kOptional) ||
            !parsed.is_v6() || parsed.to_v6().is_v4_mapped() || parsed.is_multicast() ||
            parsed.is_unspecified()) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "not an IPv6 peer address");
            return NL_SOCKET_FAILURE;
        }
        Wanted wanted;
        const boost::asio::ip::address_v6::bytes_type bytes = parsed.to_v6().to_bytes();
        std::memcpy(wanted.address, bytes.data(), kIpv6Bytes);
        wanted.scope = static_cast<unsigned>(parsed.to_v6().scope_id());
        SocketCloser socket_closer{socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
        if (socket_closer.fd < 0) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "socket creation failed");
            return NL_SOCKET_FAILURE;
        }
        const uint32_t sequence = g_sequence.fetch_add(1);
        if (SendDumpRequest(socket_closer.fd, sequence) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "neighbour table request failed [%d]", errno);
            return NL_SOCKET_FAILURE;
        }
        return ReadDump(socket_closer.fd, sequence, wanted, macAddress);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception");
    }
    return NL_SOCKET_FAILURE;
}

}  // namespace network_layer
}  // namespace zel_upnp
