#include "network_layer/src/udp_server.h"

#include <boost/asio/ip/address.hpp>

#include <zel_upnp/network_layer.h>
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

namespace {
constexpr int kMaxPort = 65535;
}  // namespace

using boost::asio::ip::udp;

UDPServer::UDPServer(const std::string& interface_address, const std::string& interface_name,
                     int port, boost::asio::io_service& io_service)
    : DatagramServer(interface_address, interface_name, port, io_service, "UDPServer") {}

int UDPServer::OpenLocked(int& port) {
    boost::system::error_code ec;
    const boost::asio::ip::address local = boost::asio::ip::make_address(interface_address_, ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid local ip");
        return NL_SERVER_START_FAILED;
    }
    const udp protocol = local.is_v4() ? udp::v4() : udp::v6();
    int candidate = port;
    for (int attempt = 0; attempt < kBindAttempts; ++attempt, ++candidate) {
        if (candidate < 0 || candidate > kMaxPort)
            break;
        socket_.open(protocol, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "UDP Socket open error [%s]", ec.message().c_str());
            return NL_SOCKET_FAILURE;
        }
        // Without address reuse the bind fails while another socket holds
        // the port, which is what moves us on to the next one.
        socket_.set_option(udp::socket::reuse_address(false), ec);
        if (!ec)
            socket_.bind(udp::endpoint(local, static_cast<unsigned short>(candidate)), ec);
        if (!ec) {
            socket_.set_option(udp::socket::reuse_address(true), ec);
            // Port 0 asks the kernel for a port: report the one it chose.
            const udp::endpoint bound = socket_.local_endpoint(ec);
            port = ec ? candidate : bound.port();
            return NL_SUCCESS;
        }
        CloseSocketLocked();
    }
    ZEL_LOGE(ZEL_CORE_NETWORK, "Start Failed!");
    return NL_SERVER_START_FAILED;
}

}  // namespace network_layer
}  // namespace zel_upnp
