#include "network_layer/src/multicast_server.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include <cstring>
#include <exception>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <boost/exception/exception.hpp>

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
    : port_(port),
      socket_(io_service),
      request_(boost::make_shared<utils::HTTPInfo>()),
      stopped_(true),
      receive_pending_(false),
      interface_address_(interface_address),
      group_(group),
      interface_name_(interface.interface_name),
      run_(0) {
    std::memset(buffer_, 0, sizeof(buffer_));
}

MulticastServer::~MulticastServer() {
    try {
        ZEL_LOGD(ZEL_CORE_NETWORK, "MulticastServer destructor is called");
    } catch (const boost::exception&) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "boost exception raised");
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "unknown excpetion raised");
    }
}

void MulticastServer::NotifySessionClosed(int /*session_id*/) {}

void MulticastServer::HandleFailureCondition(int /*session_id*/) {}

void MulticastServer::ChangeMembership(bool join, const boost::asio::ip::address& group,
                                       const boost::asio::ip::address& local,
                                       boost::system::error_code& ec) {
    if (group.is_v6()) {
        // An IPv6 membership names the interface by index, not by address.
        const unsigned index = if_nametoindex(interface_name_.c_str());
        if (join)
            socket_.set_option(boost::asio::ip::multicast::join_group(group.to_v6(), index), ec);
        else
            socket_.set_option(boost::asio::ip::multicast::leave_group(group.to_v6(), index), ec);
        return;
    }
    if (!local.is_v4()) {
        ec = boost::asio::error::invalid_argument;
        return;
    }
    if (join) {
        socket_.set_option(boost::asio::ip::multicast::join_group(group.to_v4(), local.to_v4()),
                           ec);
    } else {
        socket_.set_option(boost::asio::ip::multicast::leave_group(group.to_v4(), local.to_v4()),
                           ec);
    }
}

void MulticastServer::RestrictToOwnMemberships(bool v6, boost::system::error_code& ec) {
    ec.clear();
    const int off = 0;
    const int level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
    const int name = v6 ? IPV6_MULTICAST_ALL : IP_MULTICAST_ALL;
    if (setsockopt(socket_.native_handle(), level, name, &off, sizeof(off)) != 0)
        ec.assign(errno, boost::system::system_category());
}

int MulticastServer::Start(int& port) {
    int bound_port = 0;
    {
        boost::recursive_mutex::scoped_lock lock(server_lock_);
        port_ = port;
        boost::system::error_code ec;
        if (socket_.is_open()) {
            ec = boost::asio::error::already_open;
            ZEL_LOGE(ZEL_CORE_NETWORK, "MulticastServer::Start:UDP Socket Open error, [%s]",
                     ec.message().c_str());
            return NL_SOCKET_FAILURE;
        }
        // The socket family follows the group; an unparsable group is
        // reported after the bind, when the group is needed.
        boost::system::error_code group_ec;
        const bool v6 = boost::asio::ip::make_address(group_, group_ec).is_v6() && !group_ec;
        socket_.open(v6 ? udp::v6() : udp::v4(), ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "MulticastServer::Start:UDP Socket Open error, [%s]",
                     ec.message().c_str());
            return NL_SOCKET_FAILURE;
        }
        // Every multicast server of the device, and the other SSDP stacks on
        // it, listen on the same port.
        socket_.set_option(udp::socket::reuse_address(true), ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK,
                     "MulticastServer::Start:UDP Socket reuse_address set_option error, [%s]",
                     ec.message().c_str());
            CloseSocket();
            return NL_BIND_FAILURE;
        }
        // Linux hands a group datagram that arrived on one interface to every
        // socket bound to the port once any socket joined the group there.
        // With one server per interface on the same port, that would
        // dispatch it once per server, each claiming its own address.
        RestrictToOwnMemberships(v6, ec);
        if (ec) {
            ZEL_LOGW(ZEL_CORE_NETWORK,
                     "MulticastServer::Start: multicast_all set_option error, [%s]",
                     ec.message().c_str());
        }
        // The wildcard, not the interface address: datagrams addressed to
        // the group would not match a socket bound to a unicast address.
        if (port_ < 0 || port_ > kMaxPort) {
            ec = boost::asio::error::invalid_argument;
        } else {
            const boost::asio::ip::address any =
                v6 ? boost::asio::ip::address(boost::asio::ip::address_v6::any())
                   : boost::asio::ip::address(boost::asio::ip::address_v4::any());
            socket_.bind(udp::endpoint(any, static_cast<unsigned short>(port_)), ec);
        }
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "MulticastServer::Start:UDP Socket bind error, [%s]",
                     ec.message().c_str());
            CloseSocket();
            return NL_SERVER_START_FAILED;
        }
        const boost::asio::ip::address group = boost::asio::ip::make_address(group_, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid multicast ip, error [%s]", ec.message().c_str());
            CloseSocket();
            return NL_SERVER_START_FAILED;
        }
        const boost::asio::ip::address local =
            boost::asio::ip::make_address(interface_address_, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid local ip, error [%s]", ec.message().c_str());
            CloseSocket();
            return NL_SERVER_START_FAILED;
        }
        ZEL_LOGD(ZEL_CORE_NETWORK, "listen_address [%s]", interface_address_.c_str());
        ChangeMembership(true, group, local, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK,
                     "MulticastServer::Start:UDP Socket joingroup set_option error, [%s]",
                     ec.message().c_str());
            CloseSocket();
            return NL_BIND_FAILURE;
        }
        stopped_ = false;
        ++run_;
        bound_port = port_;
    }
    async_receive();
    ZEL_LOGI(ZEL_CORE_NETWORK, "Multicast Server Started: %s:%d", group_.c_str(), bound_port);
    return NL_SUCCESS;
}

std::string MulticastServer::GetIpAddress() {
    return interface_address_;
}

std::string MulticastServer::GetInterfaceName() {
    return interface_name_;
}

int MulticastServer::GetPort() {
    boost::recursive_mutex::scoped_lock lock(server_lock_);
    return port_;
}

int MulticastServer::Stop() {
    boost::recursive_mutex::scoped_lock lock(server_lock_);
    ZEL_LOGD(ZEL_CORE_NETWORK, "Stop Called [Scoped Locked in Stop]");
    stopped_ = true;
    if (!socket_.is_open())
        return NL_SUCCESS;
    ZEL_LOGD(ZEL_CORE_NETWORK, "Leaving multicast group at interface [%s]",
             interface_address_.c_str());
    boost::system::error_code ec;
    const boost::asio::ip::address group = boost::asio::ip::make_address(group_, ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid multicast ip, error [%s]", ec.message().c_str());
    } else {
        // Start only opens a socket for good with a valid interface address.
        boost::system::error_code local_ec;
        const boost::asio::ip::address local =
            boost::asio::ip::make_address(interface_address_, local_ec);
        ChangeMembership(false, group, local, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK,
                     "MulticastServer::Stop failure in leaving multicast group, error [%s]",
                     ec.message().c_str());
        }
    }
    socket_.cancel(ec);
    if (ec)
        ZEL_LOGE(ZEL_CORE_NETWORK, "cancel!, error [%s]", ec.message().c_str());
    CloseSocket();
    return NL_SUCCESS;
}

void MulticastServer::CloseSocket() {
    if (!socket_.is_open())
        return;
    ZEL_LOGD(ZEL_CORE_NETWORK, "close multicast server");
    boost::system::error_code ec;
    socket_.close(ec);
    if (ec)
        ZEL_LOGE(ZEL_CORE_NETWORK, "Failed to close multicast socket!, error [%s]",
                 ec.message().c_str());
}

void MulticastServer::async_receive() {
    try {
        boost::recursive_mutex::scoped_lock lock(server_lock_);
        if (stopped_ || !socket_.is_open()) {
            ZEL_LOGD(ZEL_CORE_NETWORK, "stopped");
            return;
        }
        std::memset(buffer_, 0, sizeof(buffer_));
        socket_.async_receive_from(
            boost::asio::buffer(buffer_, kMaxDatagramSize), sender_,
            boost::bind(&MulticastServer::receive_handler, shared_from_this(), run_,
                        boost::asio::placeholders::error,
                        boost::asio::placeholders::bytes_transferred));
        receive_pending_ = true;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Exception in async_receive %s", e.what());
    }
}

void MulticastServer::receive_handler(unsigned run, const boost::system::error_code& ec,
                                      std::size_t bytes) {
    try {
        boost::shared_ptr<utils::HTTPInfo> complete;
        {
            boost::recursive_mutex::scoped_lock lock(server_lock_);
            if (run != run_) {
                // Cancelled by a Stop that a later Start has already undone;
                // the receive of the new run is pending.
                ZEL_LOGD(ZEL_CORE_NETWORK, "[Multicast Server::receive_handler] Canceled [%s]",
                         ec.message().c_str());
                return;
            }
            receive_pending_ = false;
            if (stopped_) {
                ZEL_LOGD(ZEL_CORE_NETWORK, "stop state");
                CloseSocket();
                if (IsReceiveCancellation(ec)) {
                    ZEL_LOGD(ZEL_CORE_NETWORK, "[Multicast Server::receive_handler] Canceled [%s]",
                             ec.message().c_str());
                }
                return;
            }
            const DatagramOutcome outcome =
                AssembleDatagram(ec, buffer_, bytes, interface_address_, sender_, request_);
            switch (outcome.result) {
                case DatagramResult::kCanceled:
                    ZEL_LOGD(ZEL_CORE_NETWORK, "[Multicast Server::receive_handler] Canceled [%s]",
                             ec.message().c_str());
                    return;
                case DatagramResult::kReceiveError:
                    ZEL_LOGE(ZEL_CORE_NETWORK, "[Multicast Server::receive_handler] Error [%s]",
                             ec.message().c_str());
                    break;
                case DatagramResult::kParseFailure:
                    ZEL_LOGE(ZEL_CORE_NETWORK, "PARSER FAILURE Status %d and Buffer: %s",
                             outcome.parse_status, buffer_);
                    break;
                case DatagramResult::kIncomplete:
                    break;
                case DatagramResult::kComplete: {
                    const std::string sender = sender_.address().to_string();
                    if (sender == interface_address_) {
                        // The device hearing its own announcement through
                        // multicast loopback: nobody above wants it.
                        request_ = boost::make_shared<utils::HTTPInfo>();
                        break;
                    }
                    ZEL_LOGD(ZEL_CORE_NETWORK, "Received packet from [%s:%d]", sender.c_str(),
                             static_cast<int>(sender_.port()));
                    complete = TakeCompletedRequest(request_);
                    break;
                }
            }
        }
        if (complete && DispatchDatagramRequest(complete) != NL_SUCCESS)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Invocation of UDP Request Handler Failed.");
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Exception in receive_handler %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception in receive_handler");
    }
    async_receive();
}

}  // namespace network_layer
}  // namespace zel_upnp
