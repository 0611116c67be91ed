// The owner of every listening socket of the library: the table of configured
// ports, the servers built from it on each selected interface address, and
// the three io pools that run them ("ZelTcpIo" x3, "ZelUdpIo", "ZelMcastIo").
//
// Threads: configuration comes from application threads (through the
// framework core) and, for NIC events, synchronously from whatever thread
// raised the event in the interface registry. Io and client threads read the
// running-server records (GetConfiguredTcpPorts / GetConfiguredUdpPorts).
// One recursive mutex guards every list and flag; it is taken before any
// server's own lock or the registry's locks, never after them, and it is not
// held while io threads are joined.
#pragma once

#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/server_notify.h"

namespace zel_upnp {
namespace network_layer {

typedef std::list<boost::shared_ptr<IpInfo> > IpInfoList;

class ServerManager {
  public:
    // Io threads per pool, as started by the network layer. The TCP pool
    // runs with concurrency hint 1 (tcp_io_service_), which measured faster
    // than the default hint (bench/README.md, "Io threads").
    static constexpr int kTcpIoThreads = 3;
    static constexpr int kUdpIoThreads = 1;
    static constexpr int kMulticastIoThreads = 1;
    // Multicast servers rebuilt on a new interface always listen here,
    // whatever port the group was configured with.
    static constexpr int kSsdpPort = 1900;

    // Creates the process-wide instance if there is none and installs the
    // registry's NIC hook; null only when it cannot be allocated.
    static ServerManager* CreateInstance();
    // The instance, or null outside CreateInstance..DestroyInstance.
    static ServerManager* GetInstance();
    // Removes the NIC hook, stops every server and io thread and deletes the
    // instance. Callers make sure no other thread still uses it.
    static void DestroyInstance();

    // Starts the three io pools; 0, or 1 when a thread could not be made
    // (the threads already made keep running).
    int StartServerThreads(int tcp_threads, int udp_threads, int multicast_threads);
    // Stops every server and io thread and empties the server list; the
    // configured ports are kept. Must not be called from an io thread.
    void StopServerThreads();

    // enable false removes by port. 0, 1 (no registry) or 2006 (a server
    // failed to start; later interfaces get none).
    int ConfigureTcpServer(const int& port, const bool& enable);
    // Failures on single interfaces are logged and skipped. 0 or 1.
    int ConfigureUdpServer(const int& port, const bool& enable);
    int ConfigureUPnPMulticastServer(const int& port, const bool& enable);
    int ConfigureMulticastServer(const std::string& group, const int& port, const bool& enable);
    // Opens (true) or closes (false) every UDP and multicast server; TCP
    // servers are not touched. 0.
    int ConfigureMulticastSupport(bool enable);

    // Append copies of the records of running servers of one kind; 0 when
    // at least one was appended, 1 otherwise.
    int GetConfiguredTcpPorts(IpInfoList& ports);
    int GetConfiguredUdpPorts(IpInfoList& ports);
    // The same for the IPv6 TCP servers, which GetConfiguredTcpPorts never
    // lists (its readers build IPv4 URLs and send IPv4 datagrams).
    int GetConfiguredIpv6TcpPorts(IpInfoList& ports);

    // Records the switch and applies it at once: off stops every IPv6
    // server, on starts them on every selected interface that has IPv6. 0.
    int SetIpv6Enabled(bool enable);

    // The registry's synchronous reaction to a NIC event.
    void OnNetworkChanged(const std::string& interface_name, int event);

    // 0, 2008 (address unknown to the registry) or 2006.
    int ConfigureUdpServerOnInterface(const std::string& address, int port);
    int ConfigureMulticastServerOnInterface(const std::string& address, const std::string& group,
                                            int port);

    // Snapshots for tests and diagnostics.
    IpInfoList GetConfiguredList();
    std::list<boost::shared_ptr<ServerNotify> > GetServerList();
    bool IsMulticastSupported();

  private:
    ServerManager();
    ~ServerManager();
    ServerManager(const ServerManager&) = delete;
    ServerManager& operator=(const ServerManager&) = delete;

    void StartPool(boost::asio::io_service& io_service, const char* base_name, int count);
    void StopServerSockets(const std::list<boost::shared_ptr<ServerNotify> >& servers);
    // Stops and forgets every server bound to port; lock held.
    void RemoveServersOnPortLocked(int port);
    void RemoveByPortLocked(int port);
    // A record of this kind, address (or group) and requested port exists.
    bool HasRecordLocked(int server_type, const std::string& address, int requested_port);
    // Records a configured port once.
    void AddTemplateLocked(const std::string& address, int port, int server_type);
    int ConfigureMulticastGroup(const std::string& group, const int& port, const bool& enable);
    int GetConfiguredPorts(int server_type, IpInfoList& ports);
    void StartServersOnInterface(const NetInfo& info);
    // IPv6 side (servermanager_ipv6.cpp), lock held. Start adds what is
    // missing on the interface's chosen IPv6 address: a TCP server per TCP
    // template (first trying the port its IPv4 server bound) and, while the
    // SSDP group is configured, multicast servers of FF02::C and FF05::C.
    // Stop removes the IPv6 servers of one interface (every one for an
    // empty name) and their records.
    void StartIpv6ServersLocked(const NetInfo& info);
    void StopIpv6ServersLocked(const std::string& interface_name);
    void OnIpv6ChangedLocked(const std::string& interface_name);
    bool HasIpv6RecordLocked(const std::string& address, int requested_port);
    int Ipv4PortOnInterfaceLocked(const std::string& interface_name, int requested_port);

    boost::recursive_mutex mutex_;
    IpInfoList configured_;
    // Records of the running IPv6 TCP servers, apart from configured_ so
    // that no IPv4 reader ever meets an IPv6 address.
    IpInfoList ipv6_configured_;
    // Declared before the servers so that they outlive every socket that
    // belongs to them.
    // Concurrency hint 1: a handler that an io thread queues (a read that
    // completed at once, a cancelled deadline) runs next on that same thread
    // instead of waking another one, and the thread that drained the reactor
    // does not wake a second one to wait in it. The three threads still run
    // the service (locking stays on); one that waits is woken when work
    // comes from outside the pool. Without it, each event cost three or four
    // wake-ups of idle io threads.
    boost::asio::io_service tcp_io_service_{1};
    boost::asio::io_service udp_io_service_;
    boost::asio::io_service multicast_io_service_;
    std::unique_ptr<boost::asio::io_service::work> tcp_work_;
    std::unique_ptr<boost::asio::io_service::work> udp_work_;
    std::unique_ptr<boost::asio::io_service::work> multicast_work_;
    // Replaced by StopServerThreads, so that the pools can start again.
    std::unique_ptr<boost::thread_group> threads_;
    std::list<boost::shared_ptr<ServerNotify> > servers_;
    bool udp_enabled_;
    bool multicast_enabled_;
    bool multicast_support_;
};

// The records of the running UDP servers, for the outgoing client: 0 when at
// least one was appended, 1 otherwise (also without a server manager).
int GetConfiguredUdpPorts(IpInfoList& ports);

}  // namespace network_layer
}  // namespace zel_upnp
