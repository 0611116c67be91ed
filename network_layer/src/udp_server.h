// Unicast HTTP-over-UDP server on one interface address. Runs on the server
// manager's single "ZelUdpIo" thread.
#pragma once

#include <string>

#include <boost/asio/io_service.hpp>

#include "network_layer/src/datagram_server.h"

namespace zel_upnp {
namespace network_layer {

class UDPServer : public DatagramServer {
  public:
    // Ports tried by Start: the requested one and the ones above it.
    static constexpr int kBindAttempts = 99;

    // interface_name is "localhost" for 127.0.0.1. port is the port Start
    // will be asked for; GetPort reports it until a Start binds another.
    UDPServer(const std::string& interface_address, const std::string& interface_name, int port,
              boost::asio::io_service& io_service);

  private:
    // Binds the interface address on port, or on the next free one of
    // kBindAttempts ports. 0, or 2004 (socket), 2006 (address, or no free
    // port).
    int OpenLocked(int& port) override;
};

}  // namespace network_layer
}  // namespace zel_upnp
