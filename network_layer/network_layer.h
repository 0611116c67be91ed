// zel_upnp::network_layer: the servers, the request and response dispatch,
// the outgoing client and the registry of network interfaces.
#ifndef ZEL_UPNP_NETWORK_LAYER_H
#define ZEL_UPNP_NETWORK_LAYER_H

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/utils.h>

#pragma GCC visibility push(default)

namespace zel_upnp {
namespace network_layer {

// ---------------------------------------------------------------------------
// Result codes of the network layer.
// ---------------------------------------------------------------------------
enum NetworkResult {
    NL_SUCCESS = 0,                // done
    NL_FAILURE = 1,                // general failure, or a missing singleton or argument
    NL_NETWORK_FAILURE = 2000,     // connect, send or receive failed
    NL_SESSION_NOT_CREATED = 2001, // no session could be created, or allocation failed
    NL_SOCKET_FAILURE = 2004,      // a socket operation failed
    NL_BIND_FAILURE = 2005,        // bind, listen or a socket option failed
    NL_SERVER_START_FAILED = 2006, // a server could not be started
    NL_INVALID_LISTENER = 2007,    // null listener or unknown action
    NL_NO_INTERFACE = 2008,        // no such interface
    NL_PARSE_FAILURE = 2009,       // a message could not be parsed
    NL_NO_ARP_ENTRY = 2010,        // the kernel knows no MAC address for the peer
    NL_EMPTY_ADDRESS = 2011        // an address argument was empty
};

// ---------------------------------------------------------------------------
// Network interfaces and NIC events.
// ---------------------------------------------------------------------------
// @@INTERFACES@@

// ---------------------------------------------------------------------------
// Request and response listeners.
// ---------------------------------------------------------------------------
// Receives TCP requests whose head matches one of the patterns it was
// registered with. Called on a dispatch worker thread ("ZelTcpReq"), possibly
// concurrently with other calls. session is the opaque session context: pass
// it to exactly one of SendResponsePacket, SendSyncResponsePacket or
// SendBinaryResponsePacket to answer on that connection.
class TCPRequestListener {
public:
    virtual int OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request, void* session) = 0;
    virtual ~TCPRequestListener() {}
};

// Receives UDP and multicast datagrams whose head matches one of its
// patterns, on a "ZelUdpReq" worker thread.
class UDPRequestListener {
public:
    virtual int OnUDPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request) = 0;
    virtual ~UDPRequestListener() {}
};

// Receives the response to an asynchronous request of the outgoing client,
// on a "ZelTcpRes" worker thread; at most once per client session.
class ResponseListener {
public:
    virtual int OnResponseReceived(boost::shared_ptr<utils::HTTPInfo> response,
                                   const int& sessionId) = 0;
    virtual ~ResponseListener() {}
};

// Registers a listener for TCP requests. A pattern is a comma-separated list
// of tokens that must all occur in the request head, ignoring case; the
// earliest registration with a matching pattern takes the request. id
// receives the registration's id (-1 on failure).
int RegisterTCPRequestListener(std::vector<std::string> patterns,
                               boost::shared_ptr<TCPRequestListener> listener, int& id);
int RegisterUDPRequestListener(std::vector<std::string> patterns,
                               boost::shared_ptr<UDPRequestListener> listener, int& id);
int UnRegisterRequestListener(const int& id);

// Answer a TCP request; each consumes the session context, which must not be
// used again. SendResponsePacket takes ownership of a string allocated with
// new (the first min(length, size) bytes are written) when it returns 0;
// SendBinaryResponsePacket of a buffer allocated with malloc. A null context
// returns 1.
int SendResponsePacket(std::string* response, const int& length, void* sessionContext);
int SendSyncResponsePacket(const std::string& response, const int& length, void* sessionContext);
int SendBinaryResponsePacket(char* data, const int& length, void* sessionContext);

// ---------------------------------------------------------------------------
// Servers and their configuration.
// ---------------------------------------------------------------------------
// @@SERVERS@@

// ---------------------------------------------------------------------------
// Outgoing client.
// ---------------------------------------------------------------------------
// @@CLIENT@@

}  // namespace network_layer
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
