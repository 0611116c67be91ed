/// @file
/// zel_upnp::network_layer: the servers, the request and response dispatch,
/// the outgoing client and the registry of network interfaces.
#ifndef ZEL_UPNP_NETWORK_LAYER_H
#define ZEL_UPNP_NETWORK_LAYER_H

#include <list>
#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/utils.h>

#pragma GCC visibility push(default)

namespace zel_upnp {
/// Servers on the selected interfaces, request dispatch to listeners, the outgoing HTTP client and
/// the interface registry.
namespace network_layer {

// ---------------------------------------------------------------------------
// Result codes of the network layer.
// ---------------------------------------------------------------------------
/// Result codes of the network layer.
enum NetworkResult {
    NL_SUCCESS = 0,                 ///< done
    NL_FAILURE = 1,                 ///< general failure, or a missing singleton or argument
    NL_NETWORK_FAILURE = 2000,      ///< connect, send or receive failed
    NL_SESSION_NOT_CREATED = 2001,  ///< no session could be created, or allocation failed
    NL_SOCKET_FAILURE = 2004,       ///< a socket operation failed
    NL_BIND_FAILURE = 2005,         ///< bind, listen or a socket option failed
    NL_SERVER_START_FAILED = 2006,  ///< a server could not be started
    NL_INVALID_LISTENER = 2007,     ///< null listener or unknown action
    NL_NO_INTERFACE = 2008,         ///< no such interface
    NL_PARSE_FAILURE = 2009,        ///< a message could not be parsed
    NL_NO_ARP_ENTRY = 2010,         ///< the kernel knows no MAC address for the peer
    NL_EMPTY_ADDRESS = 2011         ///< an address argument was empty
};

// ---------------------------------------------------------------------------
// Network interfaces and NIC events.
// ---------------------------------------------------------------------------
/// Ipv6Address::scope of a link-local address (fe80::/10).
const int IPV6_SCOPE_LINK = 1;
/// Ipv6Address::scope of a unique local address (fc00::/7, in practice fd00::/8).
const int IPV6_SCOPE_UNIQUE_LOCAL = 2;
/// Ipv6Address::scope of any other unicast address.
const int IPV6_SCOPE_GLOBAL = 3;

/// One IPv6 address of an interface.
struct Ipv6Address {
    std::string address;    ///< the address in text form, without a zone index
    int prefix_length = 0;  ///< length of its on-link prefix, 0 to 128
    int scope = 0;          ///< IPV6_SCOPE_LINK, IPV6_SCOPE_UNIQUE_LOCAL or IPV6_SCOPE_GLOBAL
};

/// One network interface of the device, copied by value.
struct NetInfo {
    std::string interface_name;  ///< kernel interface name, the registry's key
    std::string ip_address;      ///< dotted IPv4 address
    std::string subnet_mask;     ///< dotted IPv4 netmask, may be empty
    std::string mac_address;     ///< MAC address text, may be empty
    /// Usable IPv6 addresses (neither tentative nor deprecated), in the
    /// kernel's order; empty when the interface has none or the monitor
    /// reports IPv4 only.
    std::vector<Ipv6Address> ipv6_addresses{};
    /// The kernel's interface index, 0 when unknown.
    unsigned interface_index = 0;
};

/// NIC events, raised for selected interfaces only.
const int NIC_ADDED = 0;      ///< a selected interface appeared (or was selected)
const int NIC_REMOVED = 1;    ///< a selected interface went away (or was deselected)
const int NIC_IPCHANGED = 2;  ///< a selected interface has a new address
/// A selected interface kept its IPv4 address but its IPv6 addresses
/// changed; the IPv6 servers have been rebuilt, the IPv4 ones are untouched.
/// A listener that knows only the three events above ignores it.
const int NIC_IPV6CHANGED = 3;

/// Hears of NIC events on the registry's own thread ("ZelNetIf"), one event
/// at a time and in the order they were raised; the servers of the network
/// layer have already been rebuilt for the event when it arrives. Not owned by
/// the registry: keep it alive until UnRegisterEventListener has returned.
/// It may unregister itself from inside OnNetworkChanged.
class NetworkEventListener {
  public:
    /// Called on "ZelNetIf" with the interface's name and NIC_ADDED,
    /// NIC_REMOVED, NIC_IPCHANGED or NIC_IPV6CHANGED.
    virtual void OnNetworkChanged(const std::string& interfaceName, int event) = 0;
    virtual ~NetworkEventListener() {}
};

/// Copies every known interface, selected or not, into *interfaces.
void GetNetworkInterfaces(std::vector<NetInfo>* interfaces);
/// Appends every known interface that is selected, in discovery order.
void GetActiveSelectedNetworkInterfaces(std::vector<NetInfo>* interfaces);
/// 0 and the record of the known interface named name; 1 if there is none.
int GetNetworkInterface(const std::string& name, NetInfo& info);
/// 0 and the record of the first known interface with that address (an
/// IPv4 address, or one of its IPv6 addresses, zone ignored); 1 if none.
int GetNetworkInterfaceByIP(const std::string& address, NetInfo& info);
/// Selects (select true) or deselects an interface by name. A selection
/// survives the interface going away and takes effect again when it returns.
/// Returns 1 when the layer is initialised, 0 otherwise.
int ConfigureNetworkInterface(std::string& name, const bool& select);
/// With true, every interface that appears from now on is selected.
/// Returns 1 when the layer is initialised, 0 otherwise.
int ConfigureOnAllNetworkInterfaces(const bool& enable);
/// Interfaces fed by the application instead of the monitor. An added name is
/// selected; a name already known keeps its address. The index and IPv6
/// addresses of an interface the kernel knows by that name are read once,
/// now. Return 0, or 1 on an empty argument or when the layer is not
/// initialised.
int NotifyNICAdded(const std::string& name, const std::string& address, const std::string& mask);
/// The interface went away: its servers close and NIC_REMOVED is raised
/// when it was selected. 0, or 1 on an empty name or when the layer is not
/// initialised.
int NotifyNICRemoved(const std::string& name);
/// Forgets every selection and every interface without raising events; the
/// next UpdateNetworkInterface reports every interface anew.
void ClearNetworkInterface();
/// Asks the monitor to rescan now.
void UpdateNetworkInterface();
/// Resume / pause the monitor without destroying it.
void StartNetworkMonitoring();
/// Pauses the monitor without destroying it; StartNetworkMonitoring and
/// UpdateNetworkInterface catch up.
void StopNetworkMonitoring();
/// Create and start / stop and destroy the monitor. 0, or 1 when the layer is
/// not initialised.
int InitializeNetworkMonitor();
/// Stops and destroys the monitor. 0, or 1 when the layer is not initialised.
int TerminateNetworkMonitor();
/// 0 and a new id; a null listener gives 2007 and id -1.
int RegisterNetworkEventListener(NetworkEventListener* listener, int& id);
/// No delivery reaches the listener once this returns (unless it is called
/// from that listener's own OnNetworkChanged, which then finishes). 0, or 1
/// when the layer is not initialised.
int UnRegisterEventListener(const int& id);
/// True when both addresses lie in one subnet of mask; addresses of 127.x are
/// always local. With an empty mask the masks of the known interfaces are
/// tried in turn, and mask receives the one last tried. An IPv6 pair (never
/// a mixed one): ::1 is always local; a non-empty mask is a prefix length;
/// with an empty one, true when one address is an interface's and the other
/// on-link there (on one of its prefixes, or link-local on that interface),
/// or when both lie on one prefix of a known interface.
bool IsSameSubnet(const std::string& address1, const std::string& address2, std::string& mask);
/// 0 and the address of the first selected interface on the remote's subnet;
/// 2008 if none fits; 1 when the layer is not initialised. For an IPv6
/// remote, the IPv6 address served on the first selected interface it is
/// on-link with (a link-local one with its zone); 2008 also while IPv6 is
/// switched off.
int GetOutgoingIPaddress(const std::string& remoteAddress, std::string& localAddress);
/// 0 and the MAC ("AA-BB-CC-DD-EE-FF") the kernel's ARP cache holds for the
/// address (its neighbour table for an IPv6 one: REACHABLE, STALE, DELAY,
/// PROBE or PERMANENT entries, on the zone's link only when one is given);
/// 2011 for an empty address, 2004 for a socket failure or a malformed
/// address (IPv4-mapped and multicast IPv6 included), 2010 when the cache has
/// no complete entry.
int GetMacAddress(const std::string& address, std::string& macAddress);
/// True for "127.0.0.1", "::1" and for any address (IPv4 or IPv6) of any
/// known interface.
bool IsLocalMachine(const std::string& address);
/// True when a known interface has exactly this address and a name that
/// begins with namePrefix.
bool IsInterfaceExisting(const std::string& address, const std::string& namePrefix);

// ---------------------------------------------------------------------------
// Request and response listeners.
// ---------------------------------------------------------------------------
/// Receives TCP requests whose head matches one of the patterns it was
/// registered with. Called on a dispatch worker thread ("ZelTcpReq"), possibly
/// concurrently with other calls. session is the opaque session context: pass
/// it to exactly one of SendResponsePacket, SendSyncResponsePacket or
/// SendBinaryResponsePacket to answer on that connection. A listener that
/// throws is logged; unless it consumed the context before throwing, the
/// connection is answered with the fixed 400 fault and released (so a
/// listener must not hand the context to another thread and then throw).
class TCPRequestListener {
  public:
    /// Called on a "ZelTcpReq" worker with the parsed request and the session
    /// context, which the listener must consume exactly once. The result is not
    /// used.
    virtual int OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request, void* session) = 0;
    virtual ~TCPRequestListener() {}
};

/// Receives UDP and multicast datagrams whose head matches one of its
/// patterns, on a "ZelUdpReq" worker thread.
class UDPRequestListener {
  public:
    /// Called on a "ZelUdpReq" worker with the parsed datagram. The result is
    /// not used.
    virtual int OnUDPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request) = 0;
    virtual ~UDPRequestListener() {}
};

/// Receives the response to an asynchronous request of the outgoing client,
/// on a "ZelTcpRes" worker thread; at most once per client session.
class ResponseListener {
  public:
    /// Called on a "ZelTcpRes" worker with the response (or the fault that
    /// replaces it) and the client session id. The result is not used.
    virtual int OnResponseReceived(boost::shared_ptr<utils::HTTPInfo> response,
                                   const int& sessionId) = 0;
    virtual ~ResponseListener() {}
};

/// Registers a listener for TCP requests. A pattern is a comma-separated list
/// of tokens that must all occur in the request head, ignoring case; the
/// earliest registration with a matching pattern takes the request. id
/// receives the registration's id (-1 on failure).
int RegisterTCPRequestListener(std::vector<std::string> patterns,
                               boost::shared_ptr<TCPRequestListener> listener, int& id);
/// Registers a listener for UDP and multicast datagrams, with patterns as
/// for TCP. 0 and the registration's id; otherwise non-zero and id -1 (a
/// null listener, or the layer not initialised).
int RegisterUDPRequestListener(std::vector<std::string> patterns,
                               boost::shared_ptr<UDPRequestListener> listener, int& id);
/// Removes a TCP or UDP registration. 0; 1 for an unknown id or when the
/// layer is not initialised.
int UnRegisterRequestListener(const int& id);

/// Answer a TCP request; each consumes the session context, which must not be
/// used again. SendResponsePacket takes ownership of a string allocated with
/// new (the first min(length, size) bytes are written) when it returns 0;
/// SendBinaryResponsePacket of a buffer allocated with malloc. A null context
/// returns 1.
int SendResponsePacket(std::string* response, const int& length, void* sessionContext);
/// Writes the first length bytes of response (copied; the string stays the
/// caller's) and returns once they are written; a blocked write gives up
/// after 30 s. 0; 1 for a null context; non-zero when the write failed.
int SendSyncResponsePacket(const std::string& response, const int& length, void* sessionContext);
/// Queues the write of length bytes of data, a malloc buffer that belongs to
/// the network layer when this returns 0. 1 for a null context or null data.
int SendBinaryResponsePacket(char* data, const int& length, void* sessionContext);

// ---------------------------------------------------------------------------
// Servers and their configuration.
// ---------------------------------------------------------------------------
/// IpInfo::server_type of a TCP server.
const int SERVER_TYPE_TCP = 1;
/// IpInfo::server_type of a unicast UDP server.
const int SERVER_TYPE_UDP = 2;
/// IpInfo::server_type of a multicast server.
const int SERVER_TYPE_MULTICAST = 3;

/// One configured port (a template) or one running server, shared by
/// boost::shared_ptr between the server manager and its readers.
struct IpInfo {
    /// "INADDR_ANY" for a TCP or UDP template, the group for a multicast
    /// template, the interface address for a running server.
    std::string ip_address;
    int port = 0;            ///< bound port (a template's: the configured one)
    int requested_port = 0;  ///< port the application configured
    /// SERVER_TYPE_TCP, SERVER_TYPE_UDP or SERVER_TYPE_MULTICAST.
    int server_type = SERVER_TYPE_TCP;
    /// "empty" for a template, "localhost" for a UDP server on 127.0.0.1.
    std::string interface_name;
};

/// Layer lifecycle, driven by the framework core. Initialize creates the
/// dispatch core, the server manager, the client manager and the interface
/// registry (0, or 1 when one cannot be allocated); Start starts their
/// threads (0, or 1 with a singleton missing); Stop ends the client, server
/// and dispatch threads in that order (0); Terminate destroys the registry,
/// the client manager, the server manager and the dispatch core (0).
int InitializeNetworkLayer();
/// Starts the dispatch, server and client threads. 0, or 1 with a
/// singleton missing.
int StartNetworkLayer();
/// Stops the client, server and dispatch threads in that order. 0.
int StopNetworkLayer();
/// Destroys the registry, the client manager, the server manager and the
/// dispatch core, in that order. 0.
int TerminateNetworkLayer();

/// Record a port and start a server on it on every selected interface
/// address, and on every selected interface that appears later; enable false
/// stops and forgets them. 0; 1 before InitializeNetworkLayer; 2006 when a
/// TCP server fails to start (UDP and multicast failures on one interface
/// are logged and skipped).
int ConfigureTCPServer(const int& port, const bool& enable);
/// As ConfigureTCPServer, for the unicast UDP server; a failure on one
/// interface is logged and skipped.
int ConfigureUDPServer(const int& port, const bool& enable);
/// The SSDP group "239.255.255.250".
int ConfigureUPnPMulticastServer(const int& port, const bool& enable);
/// Any other group.
int ConfigureMulticastServer(const std::string& group, const int& port, const bool& enable);
/// Appends a copy of the record of every running IPv4 TCP server; 0, or 1
/// when there is none. IPv6 servers are never listed here.
int GetConfiguredTcpPorts(std::list<boost::shared_ptr<IpInfo> >& ports);
/// Appends a copy of the record of every running IPv6 TCP server (one per
/// selected dual-stack interface and configured TCP port, on the address
/// the interface serves IPv6 on; a link-local one carries its zone, as in
/// "fe80::1%eth0"); 0, or 1 when there is none.
int GetConfiguredIPv6TcpPorts(std::list<boost::shared_ptr<IpInfo> >& ports);
/// Switches the IPv6 side of the device on (the default) or off, at once
/// and for interfaces that appear later. Off closes every IPv6 server (no
/// bye-bye goes out over IPv6; the announcements expire); on starts them on
/// every selected interface that has IPv4 and IPv6, and the next alive burst
/// announces them. IPv4 servers are never touched. 0, before and after the
/// layer is initialised.
int SetIPv6Enabled(bool enable);
/// The last value given to SetIPv6Enabled (true until then).
bool IsIPv6Enabled();

// ---------------------------------------------------------------------------
// Outgoing client.
// ---------------------------------------------------------------------------
/// One address to probe with IsReachable; the values of a map keyed by the
/// device's UDN. reachable is written by IsReachable.
struct valid_address_info {
    /// Address to probe: dotted IPv4, or IPv6 ("fe80::1%eth0" with the zone
    /// of a link-local one).
    std::string ip_address;
    /// TCP port to probe.
    int port = 0;
    /// Written by IsReachable: true when a connection could be made.
    bool reachable = false;
};

/// Sends the whole of packet to ip:port as an HTTP request and returns at
/// once; ip is a dotted IPv4 address or an IPv6 one without brackets, a
/// link-local one with its zone ("fe80::1%eth0", an interface name or index).
/// Returns 0 with sessionId set to the new client
/// session's id (the first is 1), 2000 for an invalid address or a failed
/// start, 2001 when no session could be created, 1 when the listener could not
/// be registered, or (sending nothing) when the head of packet, up to its
/// blank line, holds a bare CR, a bare LF or a NUL. The response arrives
/// later, once, on listener (which may be empty to drop it): the parsed
/// response; at the end of the stream whatever was received (empty when the
/// peer closed at once); a fixed 500 fault with UPnP error 501 when the
/// connection broke while reading, or when the response (head and body)
/// passed 1 MiB. A failed connect or write, or a peer silent for 30 seconds
/// after the request, ends the session without a call. length is not used.
int SendTCPHTTPPacket(const std::string& ip, const int& port, const std::string& packet,
                      const int& length, const boost::shared_ptr<ResponseListener>& listener,
                      int& sessionId);
/// Stops the asynchronous request sessionId; its listener will not be called.
/// 0 when the request was still running, 1 otherwise.
int CancelTCPHTTPPacket(const int& sessionId);
/// Sends packet to ip:port and blocks until the response is complete, the
/// peer ends the stream or timeoutMs has passed, parsing what arrives into
/// *response (created by the caller). 0 on success; 2000 connect failure, 2001
/// no session, 2004 read failure (also a time-out under a blocked read, or a
/// response past 1 MiB), 2009 unparsable response; 1, sending nothing, for a
/// head with a bare CR, a bare LF or a NUL.
/// length is not used.
int SendSyncTCPPacket(const std::string& ip, const int& port, const std::string& packet,
                      const int& length, boost::shared_ptr<utils::HTTPInfo>& response,
                      int timeoutMs);
/// Tries to connect to every address of addresses at once and waits
/// timeoutSeconds on condition (with lock, which the caller holds), then sets
/// each entry's reachable flag. 0 when the flags were set; 1 when stopRequested
/// was set on waking (the flags are then left as they were); 2001 when no
/// session could be created.
int IsReachable(std::map<std::string, boost::shared_ptr<valid_address_info> >& addresses,
                int timeoutSeconds, boost::unique_lock<boost::mutex>& lock,
                boost::condition_variable& condition, bool& stopRequested);
/// One datagram of packet to ip:port (IPv4, or IPv6 as for SendTCPHTTPPacket)
/// from any local address; 0, or 2000 when it could not be sent. length is
/// not used.
int SendUDPPacket(const std::string& ip, const int& port, const std::string& packet,
                  const int& length);
/// One datagram of packet to groupIp on port 1900, sent from interfaceIp, or
/// from every active selected interface when interfaceIp is "0.0.0.0". 0 when
/// sent; 1 while multicasting is disabled (nothing is sent); 2008 when there is
/// no active interface; 2000 when a send failed. An IPv6 group ("FF02::C",
/// "FF05::C") is sent from an IPv6 interface address (interfaceIp, a
/// link-local one with its zone) through that interface; "0.0.0.0" covers
/// the IPv4 addresses only. length is not used.
int SendMulticastPacket(const std::string& groupIp, const std::string& interfaceIp,
                        const std::string& packet, const int& length);

}  // namespace network_layer
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
