// Multicast HTTP-over-UDP server: one group and port, joined on one interface
// address. Runs on the server manager's single "ZelMcastIo" thread.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/datagram_server.h"

namespace zel_upnp {
namespace network_layer {

class MulticastServer : public DatagramServer {
  public:
    // interface_address is the address the group is joined on; interface
    // is its registry record. group may be an IPv4 or IPv6 literal.
    MulticastServer(const std::string& interface_address, const NetInfo& interface,
                    const std::string& group, int port, boost::asio::io_service& io_service);

    const std::string& GetGroup() const { return group_; }

  private:
    // Binds the wildcard address on port (shared with other sockets) and
    // joins the group on the interface address. 0, or 2004 (socket open),
    // 2005 (option or membership refused), 2006 (bind or address failure).
    int OpenLocked(int& port) override;
    // Leaves the group.
    void BeforeCloseLocked() override;
    // The device hearing its own announcements through multicast loopback:
    // nobody above wants them.
    bool WantsRequestFrom(const boost::asio::ip::udp::endpoint& sender) override;

    void ChangeMembership(bool join, const boost::asio::ip::address& group,
                          const boost::asio::ip::address& local, boost::system::error_code& ec);
    // Limits delivery to the groups this socket joined on the interfaces it
    // joined them on.
    void RestrictToOwnMemberships(bool v6, boost::system::error_code& ec);

    const std::string group_;
    // The IPv6 addresses of the interface at construction: looped-back
    // announcements leave from any of them, not only from the served one.
    const std::vector<Ipv6Address> own_ipv6_;
};

}  // namespace network_layer
}  // namespace zel_upnp
