#include "network_layer/src/udp_server.h"

#include <cstring>
#include <exception>

#include <boost/asio/ip/address.hpp>
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

UDPServer::UDPServer(const std::string& interface_address, const std::string& interface_name,
                     int port, boost::asio::io_service& io_service)
    : socket_(io_service),
      request_(boost::make_shared<utils::HTTPInfo>()),
      interface_address_(interface_address),
      stopped_(true),
      receive_pending_(false),
      port_(port),
      interface_name_(interface_name),
      run_(0) {
    std::memset(buffer_, 0, sizeof(buffer_));
}

UDPServer::~UDPServer() {
    try {
        ZEL_LOGD(ZEL_CORE_NETWORK, "UDPServer Destructor is called ");
        if (socket_.is_open()) {
            boost::system::error_code ec;
            socket_.close(ec);
            if (ec)
                ZEL_LOGE(ZEL_CORE_NETWORK, "Error in closing UDP socket!");
        }
    } catch (const boost::exception&) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "boost exception raised");
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "unknown excpetion raised");
    }
}

void UDPServer::NotifySessionClosed(int /*session_id*/) {}

void UDPServer::HandleFailureCondition(int /*session_id*/) {}

int UDPServer::Start(int& port) {
    int bound_port = 0;
    {
        boost::recursive_mutex::scoped_lock lock(server_lock_);
        boost::system::error_code ec;
        const boost::asio::ip::address local =
            boost::asio::ip::make_address(interface_address_, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid local ip");
            return NL_SERVER_START_FAILED;
        }
        if (socket_.is_open()) {
            // Rebinding a running socket would orphan its pending receive.
            ZEL_LOGE(ZEL_CORE_NETWORK, "UDPServer::Start: already running on %s:%d",
                     interface_address_.c_str(), port_);
            return NL_SOCKET_FAILURE;
        }
        const udp protocol = local.is_v4() ? udp::v4() : udp::v6();
        bool bound = false;
        int candidate = port;
        for (int attempt = 0; attempt < kBindAttempts; ++attempt, ++candidate) {
            if (candidate < 0 || candidate > kMaxPort)
                break;
            if (!socket_.is_open()) {
                socket_.open(protocol, ec);
                if (ec) {
                    ZEL_LOGE(ZEL_CORE_NETWORK, "UDPServer::Start:UDP Socket open error");
                    return NL_SOCKET_FAILURE;
                }
            }
            // Without address reuse the bind fails while another socket
            // holds the port, which is what moves us on to the next one.
            socket_.set_option(udp::socket::reuse_address(false), ec);
            if (!ec)
                socket_.bind(udp::endpoint(local, static_cast<unsigned short>(candidate)), ec);
            if (!ec) {
                bound = true;
                break;
            }
            boost::system::error_code ignored;
            socket_.close(ignored);
        }
        if (!bound) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Start Failed!");
            return NL_SERVER_START_FAILED;
        }
        socket_.set_option(udp::socket::reuse_address(true), ec);
        stopped_ = false;
        ++run_;
        // Port 0 asks the kernel for a port: report the one it chose.
        const udp::endpoint local_endpoint = socket_.local_endpoint(ec);
        port_ = ec ? candidate : local_endpoint.port();
        port = port_;
        bound_port = port_;
    }
    async_receive();
    ZEL_LOGI(ZEL_CORE_NETWORK, "UDPServer Started:%s:%d", interface_address_.c_str(), bound_port);
    return NL_SUCCESS;
}

std::string UDPServer::GetIpAddress() {
    return interface_address_;
}

std::string UDPServer::GetInterfaceName() {
    return interface_name_;
}

int UDPServer::GetPort() {
    boost::recursive_mutex::scoped_lock lock(server_lock_);
    return port_;
}

int UDPServer::Stop() {
    boost::recursive_mutex::scoped_lock lock(server_lock_);
    ZEL_LOGD(ZEL_CORE_NETWORK, "Stop Called [Scope locked in Stop]");
    stopped_ = true;
    if (!socket_.is_open())
        return NL_SUCCESS;
    boost::system::error_code ec;
    socket_.cancel(ec);
    if (ec)
        ZEL_LOGE(ZEL_CORE_NETWORK, "cancel!, error [%s]", ec.message().c_str());
    socket_.shutdown(udp::socket::shutdown_both, ec);
    if (ec) {
        ZEL_LOGD(ZEL_CORE_NETWORK,
                 "TCP Socket shutdown error, possibly shutdown already!, error [%s]",
                 ec.message().c_str());
    }
    CloseSocket();
    return NL_SUCCESS;
}

void UDPServer::CloseSocket() {
    if (!socket_.is_open())
        return;
    ZEL_LOGD(ZEL_CORE_NETWORK, "close udp server");
    boost::system::error_code ec;
    socket_.close(ec);
    if (ec)
        ZEL_LOGE(ZEL_CORE_NETWORK, "Failed to close  udp socket!");
}

void UDPServer::async_receive() {
    try {
        boost::recursive_mutex::scoped_lock lock(server_lock_);
        if (stopped_ || !socket_.is_open()) {
            ZEL_LOGD(ZEL_CORE_NETWORK, "UDP Socket already Closed , Async Read Failed");
            return;
        }
        std::memset(buffer_, 0, sizeof(buffer_));
        socket_.async_receive_from(boost::asio::buffer(buffer_, kMaxDatagramSize), sender_,
                                   boost::bind(&UDPServer::read_handler, shared_from_this(), run_,
                                               boost::asio::placeholders::error,
                                               boost::asio::placeholders::bytes_transferred));
        receive_pending_ = true;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Exception in async_receive %s", e.what());
    }
}

void UDPServer::read_handler(unsigned run, const boost::system::error_code& ec, std::size_t bytes) {
    try {
        boost::shared_ptr<utils::HTTPInfo> complete;
        {
            boost::recursive_mutex::scoped_lock lock(server_lock_);
            if (run != run_) {
                // Cancelled by a Stop that a later Start has already undone;
                // the receive of the new run is pending.
                ZEL_LOGD(ZEL_CORE_NETWORK, "[UDPServer::read_handler] Canceled [%s]",
                         ec.message().c_str());
                return;
            }
            receive_pending_ = false;
            if (stopped_) {
                ZEL_LOGD(ZEL_CORE_NETWORK, "stop state");
                CloseSocket();
                if (IsReceiveCancellation(ec)) {
                    ZEL_LOGD(ZEL_CORE_NETWORK, "[UDPServer::read_handler] Canceled [%s]",
                             ec.message().c_str());
                }
                return;
            }
            const DatagramOutcome outcome =
                AssembleDatagram(ec, buffer_, bytes, interface_address_, sender_, request_);
            switch (outcome.result) {
                case DatagramResult::kCanceled:
                    ZEL_LOGD(ZEL_CORE_NETWORK, "[UDPServer::read_handler] Canceled [%s]",
                             ec.message().c_str());
                    return;
                case DatagramResult::kReceiveError:
                    ZEL_LOGE(ZEL_CORE_NETWORK, "[UDPServer::read_handler] Error [%s]",
                             ec.message().c_str());
                    break;
                case DatagramResult::kParseFailure:
                    ZEL_LOGE(ZEL_CORE_NETWORK, "PARSER FAILURE Status:%d and Buffer :%s",
                             outcome.parse_status, buffer_);
                    break;
                case DatagramResult::kIncomplete:
                    break;
                case DatagramResult::kComplete:
                    complete = TakeCompletedRequest(request_);
                    break;
            }
        }
        if (complete && DispatchDatagramRequest(complete) != NL_SUCCESS)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Invoke UDP Request Handler failed.");
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Exception in read_handler %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception in read_handler");
    }
    async_receive();
}

}  // namespace network_layer
}  // namespace zel_upnp
