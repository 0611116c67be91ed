// The one interface through which the server manager drives its servers and
// through which incoming sessions report back to the server that accepted
// them. TCPServer, UDPServer and MulticastServer derive from it and from
// boost::enable_shared_from_this of themselves: they are always held by
// boost::shared_ptr, and every pending asynchronous handler keeps its server
// alive.
#pragma once

#include <string>

namespace zel_upnp {
namespace network_layer {

class ServerNotify {
  public:
    virtual ~ServerNotify() {}

    // The server forgets the session with this id (drops its reference).
    // Called from io threads and dispatch threads; never with a session lock
    // held. A no-op for the UDP kinds.
    virtual void NotifySessionClosed(int session_id) = 0;
    // Logs the failure and forgets the session. A no-op for the UDP kinds.
    virtual void HandleFailureCondition(int session_id) = 0;
    // Binds and starts accepting or receiving. port is the requested port on
    // entry and the bound port on success. 0 on success, an NL_* code
    // otherwise.
    virtual int Start(int& port) = 0;
    // The interface address the server is bound to.
    virtual std::string GetIpAddress() = 0;
    virtual std::string GetInterfaceName() = 0;
    // The bound port.
    virtual int GetPort() = 0;
    // Closes the socket and ends every session; 0 on success.
    virtual int Stop() = 0;
};

}  // namespace network_layer
}  // namespace zel_upnp
