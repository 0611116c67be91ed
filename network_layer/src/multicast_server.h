// Multicast HTTP-over-UDP server: one group and port, joined on one
// interface address. Created, started, stopped and owned by the server
// manager; runs on its single "ZelMcastIo" thread.
#pragma once

#include <cstddef>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "network_layer/src/datagram_request.h"
#include "network_layer/src/server_notify.h"

namespace zel_upnp {
namespace network_layer {

// Must be held by a boost::shared_ptr before Start: every pending receive
// holds a reference, so a started server lives until its last receive has
// completed after Stop.
class MulticastServer : public ServerNotify,
                        public boost::enable_shared_from_this<MulticastServer> {
  public:
    // interface_address is the address the group is joined on; interface
    // is its registry record. group may be an IPv4 or IPv6 literal.
    MulticastServer(const std::string& interface_address, const NetInfo& interface,
                    const std::string& group, int port, boost::asio::io_service& io_service);
    ~MulticastServer() override;
    MulticastServer(const MulticastServer&) = delete;
    MulticastServer& operator=(const MulticastServer&) = delete;

    // Nothing to do: a multicast server has no sessions.
    void NotifySessionClosed(int session_id) override;
    void HandleFailureCondition(int session_id) override;

    // Binds the wildcard address on port (shared with other sockets), joins
    // the group on the interface address and starts receiving. 0, or 2004
    // (socket open, or already running), 2005 (option or membership
    // refused), 2006 (bind or address failure). May be called again after
    // Stop.
    int Start(int& port) override;
    std::string GetIpAddress() override;
    std::string GetInterfaceName() override;
    int GetPort() override;
    // Leaves the group, cancels the pending receive and closes the socket;
    // always 0.
    int Stop() override;

  private:
    // Arms the one receive of the current run. Any thread; takes the lock.
    void async_receive();
    // Completion of the receive armed in run number run; io thread only.
    void receive_handler(unsigned run, const boost::system::error_code& ec, std::size_t bytes);
    // Joins or leaves group_ on the interface; lock held, socket open.
    void ChangeMembership(bool join, const boost::asio::ip::address& group,
                          const boost::asio::ip::address& local, boost::system::error_code& ec);
    // Limits delivery to the groups this socket joined on the interfaces it
    // joined them on; lock held, socket open.
    void RestrictToOwnMemberships(bool v6, boost::system::error_code& ec);
    void CloseSocket();

    int port_;
    char buffer_[kDatagramBufferSize];
    boost::asio::ip::udp::socket socket_;
    // The request being assembled; replaced by a fresh one at every hand-off.
    boost::shared_ptr<utils::HTTPInfo> request_;
    bool stopped_;
    bool receive_pending_;
    const std::string interface_address_;
    const std::string group_;
    const std::string interface_name_;
    // Written by the io service when a datagram arrives, read by
    // receive_handler.
    boost::asio::ip::udp::endpoint sender_;
    // Counts successful Starts. A receive completion carries the run that
    // armed it, so that one cancelled by Stop but delivered after a new
    // Start cannot re-arm a second receive on the new socket.
    unsigned run_;
    // Guards every mutable field above against Start, Stop and the io
    // thread. Never held while the dispatch core is called.
    boost::recursive_mutex server_lock_;
};

}  // namespace network_layer
}  // namespace zel_upnp
