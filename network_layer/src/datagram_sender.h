// Sending one datagram for the outgoing client: a short-lived UDP socket on
// the caller's thread, with no session object and no session id.
#pragma once

#include <string>

#include <boost/asio/io_service.hpp>

namespace zel_upnp {
namespace network_layer {

// Local ports tried in order for a datagram from an address that has no UDP
// server of ours.
constexpr int kFirstDatagramPort = 3955;
constexpr int kDatagramPortCount = 50;

// One datagram of packet to ip:port, blocking. An empty local_ip sends from
// any address and port; otherwise the socket is bound to local_ip (to the
// port of our UDP server there, if any) and, for a multicast destination,
// that interface sends. An IPv6 destination (a zone allowed) is sent over
// IPv6: to a group from local_ip (an IPv6 address of ours) through its
// interface, to a unicast address from any address. 0, or 2000.
int SendDatagram(boost::asio::io_service& io_service, const std::string& ip, int port,
                 const std::string& packet, const std::string& local_ip);

}  // namespace network_layer
}  // namespace zel_upnp
