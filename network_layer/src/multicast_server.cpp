#include "network_layer/src/multicast_server.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/v6_only.hpp>

#include "network_layer/src/ipv6_address.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

namespace {
constexpr int kMaxPort = 65535;
}  // namespace

using boost::asio::ip::udp;

MulticastServer::MulticastServer(const std::string& interface_address, const NetInfo& interface,
                                 const std::string& group, int port,
                                 boost::asio::io_service& io_service)
    : DatagramServer(interface_address, interface.interface_name, port, io_service,
                     "MulticastServer"),
      group_(group),
      own_ipv6_(interface.ipv6_addresses) {}

void MulticastServer::ChangeMembership(bool join, const boost::asio::ip::address& group,
                                       const boost::asio::ip::address& local,
                                       boost::system::error_code& ec) {
    namespace multicast = boost::asio::ip::multicast;
    if (group.is_v6()) {
        // An IPv6 membership names the interface by index, not by address.
        const unsigned index = if_nametoindex(interface_name_.c_str());
        if (join)
            socket_.set_option(multicast::join_group(group.to_v6(), index), ec);
        else
            socket_.set_option(multicast::leave_group(group.to_v6(), index), ec);
        return;
    }
    if (!local.is_v4()) {
        ec = boost::asio::error::invalid_argument;
        return;
    }
    if (join)
        socket_.set_option(multicast::join_group(group.to_v4(), local.to_v4()), ec);
    else
        socket_.set_option(multicast::leave_group(group.to_v4(), local.to_v4()), ec);
}

void MulticastServer::RestrictToOwnMemberships(bool v6, boost::system::error_code& ec) {
    ec.clear();
    const int off = 0;
    const int level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
    const int name = v6 ? IPV6_MULTICAST_ALL : IP_MULTICAST_ALL;
    if (setsockopt(socket_.native_handle(), level, name, &off, sizeof(off)) != 0)
        ec.assign(errno, boost::system::system_category());
}

int MulticastServer::OpenLocked(int& port) {
    boost::system::error_code ec;
    // The socket family follows the group; an unparsable group is reported
    // after the bind, when the group is needed.
    boost::system::error_code group_ec;
    const bool v6 = boost::asio::ip::make_address(group_, group_ec).is_v6() && !group_ec;
    socket_.open(v6 ? udp::v6() : udp::v4(), ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "MulticastServer::Start:UDP Socket Open error, [%s]",
                 ec.message().c_str());
        return NL_SOCKET_FAILURE;
    }
    // Every multicast server of the device, and the other SSDP stacks on it,
    // listen on the same port.
    socket_.set_option(udp::socket::reuse_address(true), ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "MulticastServer::Start: reuse_address error, [%s]",
                 ec.message().c_str());
        CloseSocketLocked();
        return NL_BIND_FAILURE;
    }
    // Linux hands a group datagram that arrived on one interface to every
    // socket bound to the port once any socket joined the group there. With
    // one server per interface on the same port, that would dispatch it once
    // per server, each claiming its own address.
    RestrictToOwnMemberships(v6, ec);
    if (ec)
        ZEL_LOGW(ZEL_CORE_NETWORK, "MulticastServer::Start: multicast_all error, [%s]",
                 ec.message().c_str());
    // An IPv6 socket on the wildcard would otherwise also take the IPv4
    // datagrams of the port, as v4-mapped senders.
    if (v6) {
        socket_.set_option(boost::asio::ip::v6_only(true), ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "MulticastServer::Start: v6_only error, [%s]",
                     ec.message().c_str());
            CloseSocketLocked();
            return NL_BIND_FAILURE;
        }
    }
    // The wildcard, not the interface address: datagrams addressed to the
    // group would not match a socket bound to a unicast address.
    if (port < 0 || port > kMaxPort) {
        ec = boost::asio::error::invalid_argument;
    } else {
        const boost::asio::ip::address any =
            v6 ? boost::asio::ip::address(boost::asio::ip::address_v6::any())
               : boost::asio::ip::address(boost::asio::ip::address_v4::any());
        socket_.bind(udp::endpoint(any, static_cast<unsigned short>(port)), ec);
    }
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "MulticastServer::Start:UDP Socket bind error, [%s]",
                 ec.message().c_str());
        CloseSocketLocked();
        return NL_SERVER_START_FAILED;
    }
    const boost::asio::ip::address group = boost::asio::ip::make_address(group_, ec);
    boost::system::error_code local_ec;
    const boost::asio::ip::address local =
        boost::asio::ip::make_address(interface_address_, local_ec);
    if (ec || local_ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid multicast or local ip [%s][%s]", group_.c_str(),
                 interface_address_.c_str());
        CloseSocketLocked();
        return NL_SERVER_START_FAILED;
    }
    ChangeMembership(true, group, local, ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK,
                 "MulticastServer::Start:UDP Socket joingroup set_option error, [%s]",
                 ec.message().c_str());
        CloseSocketLocked();
        return NL_BIND_FAILURE;
    }
    return NL_SUCCESS;
}

void MulticastServer::BeforeCloseLocked() {
    boost::system::error_code ec;
    const boost::asio::ip::address group = boost::asio::ip::make_address(group_, ec);
    boost::system::error_code local_ec;
    const boost::asio::ip::address local =
        boost::asio::ip::make_address(interface_address_, local_ec);
    // Start only keeps a socket open with a valid group and address.
    if (ec || local_ec)
        return;
    ChangeMembership(false, group, local, ec);
    if (ec)
        ZEL_LOGE(ZEL_CORE_NETWORK,
                 "MulticastServer::Stop failure in leaving multicast group, error [%s]",
                 ec.message().c_str());
}

bool MulticastServer::WantsRequestFrom(const udp::endpoint& sender) {
    const std::string address = sender.address().to_string();
    if (address == interface_address_)
        return false;
    if (!sender.address().is_v6())
        return true;
    for (const Ipv6Address& own : own_ipv6_) {
        if (SameIpv6Address(own.address, address))
            return false;
    }
    return true;
}

}  // namespace network_layer
}  // namespace zel_upnp
