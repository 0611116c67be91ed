// Unicast HTTP-over-UDP server on one interface address. Created, started,
// stopped and owned by the server manager; runs on its single "ZelUdpIo"
// thread.
#pragma once

#include <cstddef>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <zel_upnp/utils.h>
#include "network_layer/src/datagram_request.h"
#include "network_layer/src/server_notify.h"

namespace zel_upnp {
namespace network_layer {

// Must be held by a boost::shared_ptr before Start: every pending receive
// holds a reference, so a started server lives until its last receive has
// completed after Stop.
class UDPServer : public ServerNotify, public boost::enable_shared_from_this<UDPServer> {
  public:
    // Ports tried by Start: the requested one and the ones above it.
    static constexpr int kBindAttempts = 99;

    // interface_name is "localhost" for 127.0.0.1. port is the port Start
    // will be asked for; GetPort reports it until a Start binds another.
    UDPServer(const std::string& interface_address, const std::string& interface_name, int port,
              boost::asio::io_service& io_service);
    ~UDPServer() override;
    UDPServer(const UDPServer&) = delete;
    UDPServer& operator=(const UDPServer&) = delete;

    // Nothing to do: a UDP server has no sessions.
    void NotifySessionClosed(int session_id) override;
    void HandleFailureCondition(int session_id) override;

    // Binds the interface address on port, or on the next free one of
    // kBindAttempts ports, writes the bound port back to port and starts
    // receiving. 0, or 2004 (socket), 2006 (address, or no free port).
    // May be called again after Stop.
    int Start(int& port) override;
    std::string GetIpAddress() override;
    std::string GetInterfaceName() override;
    int GetPort() override;
    // Cancels the pending receive and closes the socket; always 0.
    int Stop() override;

  private:
    // Arms the one receive of the current run. Any thread; takes the lock.
    void async_receive();
    // Completion of the receive armed in run number run; io thread only.
    void read_handler(unsigned run, const boost::system::error_code& ec, std::size_t bytes);
    void CloseSocket();

    boost::asio::ip::udp::socket socket_;
    // Written by the io service when a datagram arrives, read by read_handler.
    boost::asio::ip::udp::endpoint sender_;
    // The request being assembled; replaced by a fresh one at every hand-off.
    boost::shared_ptr<utils::HTTPInfo> request_;
    const std::string interface_address_;
    char buffer_[kDatagramBufferSize];
    bool stopped_;
    bool receive_pending_;
    int port_;
    const std::string interface_name_;
    // Counts successful Starts. A receive completion carries the run that
    // armed it, so that one cancelled by Stop but delivered after a new
    // Start cannot re-arm a second receive on the new socket.
    unsigned run_;
    // Guards socket_, sender_, request_, buffer_, the flags, port_ and run_
    // against Start and Stop from other threads and the io thread. Never
    // held while the dispatch core is called.
    boost::recursive_mutex server_lock_;
};

}  // namespace network_layer
}  // namespace zel_upnp
