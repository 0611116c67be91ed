#include "network_layer/src/datagram_sender.h"

#include <net/if.h>

#include <exception>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/servermanager.h"
#include "utils/src/common/ip_literal.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

using boost::asio::ip::udp;

namespace {

constexpr int kMaxPort = 65535;

// Binds a datagram socket to local: to the port of our UDP server on that
// address when there is one, so that unicast answers reach it; else to the
// first free port of the datagram range; else not at all. 0, or 2000.
int UDPBind(udp::socket& socket, const boost::asio::ip::address& local) {
    boost::system::error_code ec;
    socket.set_option(udp::socket::reuse_address(true), ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "setsockopt failed");
        return NL_NETWORK_FAILURE;
    }
    IpInfoList servers;
    if (GetConfiguredUdpPorts(servers) != NL_SUCCESS)
        ZEL_LOGD(ZEL_CORE_NETWORK, "GetConfiguredUdpPorts failed!");
    const std::string local_text = local.to_string();
    for (const boost::shared_ptr<IpInfo>& server : servers) {
        if (!server || server->ip_address != local_text)
            continue;
        // Sent from our UDP server's port, so that unicast answers reach it.
        try {
            socket.bind(udp::endpoint(local, static_cast<unsigned short>(server->port)));
        } catch (const std::exception& e) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Exception: %s", e.what());
            return NL_NETWORK_FAILURE;
        } catch (...) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception");
            return NL_NETWORK_FAILURE;
        }
        return NL_SUCCESS;
    }
    for (int i = 0; i < kDatagramPortCount; ++i) {
        const int port = kFirstDatagramPort + i;
        socket.bind(udp::endpoint(local, static_cast<unsigned short>(port)), ec);
        if (!ec)
            return NL_SUCCESS;
        ZEL_LOGW(ZEL_CORE_NETWORK, "Warning: %s", ec.message().c_str());
    }
    // Sent from a system-chosen port: answers to it reach no server of ours.
    ZEL_LOGW(ZEL_CORE_NETWORK, "Warning sending multicast in WiFiDirect network may be failed");
    return NL_SUCCESS;
}

// The interface an IPv6 multicast datagram from local leaves through: the
// zone of a link-local address, else the interface that holds it.
unsigned OutboundIndex(const boost::asio::ip::address_v6& local, const std::string& local_ip) {
    if (local.scope_id() != 0)
        return static_cast<unsigned>(local.scope_id());
    NetInfo info;
    NetworkInterface* registry = NetworkInterface::GetInstance();
    if (registry == nullptr || registry->GetNetworkInterfaceByIP(local_ip, info) != NL_SUCCESS)
        return 0;
    return info.interface_index != 0 ? info.interface_index
                                     : if_nametoindex(info.interface_name.c_str());
}

// The IPv6 path: never consults the UDP server records, which are IPv4. A
// multicast datagram needs the interface's address (it leaves through that
// interface, from that address); a unicast one is sent from any address,
// a link-local destination through the interface of its zone.
int SendDatagramV6(boost::asio::io_service& io_service, const boost::asio::ip::address& remote,
                   int port, const std::string& packet, const std::string& local_ip) {
    boost::system::error_code ec;
    boost::asio::ip::address_v6 local;
    if (!local_ip.empty()) {
        const boost::asio::ip::address parsed = boost::asio::ip::make_address(local_ip, ec);
        if (ec || !parsed.is_v6()) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid local ip %s", local_ip.c_str());
            return NL_NETWORK_FAILURE;
        }
        local = parsed.to_v6();
    } else if (remote.is_multicast()) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "IPv6 multicast needs an interface address");
        return NL_NETWORK_FAILURE;
    }
    udp::socket socket(io_service);
    socket.open(udp::v6(), ec);
    if (!ec && remote.is_multicast()) {
        const unsigned index = OutboundIndex(local, local_ip);
        if (index == 0)
            ec = boost::asio::error::no_such_device;
        else
            socket.set_option(boost::asio::ip::multicast::outbound_interface(index), ec);
    }
    if (!ec && !local_ip.empty())
        socket.bind(udp::endpoint(local, 0), ec);
    if (!ec)
        socket.send_to(boost::asio::buffer(packet),
                       udp::endpoint(remote, static_cast<unsigned short>(port)), 0, ec);
    if (ec)
        ZEL_LOGE(ZEL_CORE_NETWORK, "IPv6 send_to %s failed [%s]", remote.to_string().c_str(),
                 ec.message().c_str());
    boost::system::error_code ignored;
    socket.close(ignored);
    return ec ? NL_NETWORK_FAILURE : NL_SUCCESS;
}

}  // namespace

int SendDatagram(boost::asio::io_service& io_service, const std::string& ip, int port,
                 const std::string& packet, const std::string& local_ip) {
    boost::system::error_code ec;
    // With a local address the datagram leaves through that address's
    // interface, so a link-local group or peer needs no zone of its own.
    const utils::ZoneRule rule =
        local_ip.empty() ? utils::ZoneRule::kRequired : utils::ZoneRule::kOptional;
    boost::asio::ip::address remote;
    if (!utils::ParseIpLiteral(ip, remote, rule) || port < 0 || port > kMaxPort) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid remote ip");
        return NL_NETWORK_FAILURE;
    }
    if (remote.is_v6())
        return SendDatagramV6(io_service, remote, port, packet, local_ip);
    boost::asio::ip::address local;
    if (!local_ip.empty()) {
        local = boost::asio::ip::make_address(local_ip, ec);
        if (ec || local.is_v4() != remote.is_v4()) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid local ip %s", local_ip.c_str());
            return NL_NETWORK_FAILURE;
        }
    }
    udp::socket socket(io_service);
    socket.open(remote.is_v4() ? udp::v4() : udp::v6(), ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "setsockopt failed");
        return NL_NETWORK_FAILURE;
    }
    int result = NL_SUCCESS;
    if (!local_ip.empty()) {
        if (remote.is_multicast() && remote.is_v4()) {
            // Leave through the interface that owns the address, whatever
            // the routing table would pick for the group.
            socket.set_option(boost::asio::ip::multicast::outbound_interface(local.to_v4()), ec);
            if (ec) {
                ZEL_LOGE(ZEL_CORE_NETWORK, "setsockopt failed");
                result = NL_NETWORK_FAILURE;
            }
        }
        if (result == NL_SUCCESS && UDPBind(socket, local) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "UDPBind failed");
            result = NL_NETWORK_FAILURE;
        }
    }
    if (result == NL_SUCCESS) {
        socket.send_to(boost::asio::buffer(packet),
                       udp::endpoint(remote, static_cast<unsigned short>(port)), 0, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "send_to failed [%s]", ec.message().c_str());
            result = NL_NETWORK_FAILURE;
        }
    }
    socket.close(ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "close failed [%s]", ec.message().c_str());
        result = NL_NETWORK_FAILURE;
    }
    return result;
}

}  // namespace network_layer
}  // namespace zel_upnp
