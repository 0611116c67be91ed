// The registry of the device's network interfaces: which are present, which
// the application selected, and who wants to hear of NIC events.
//
// Threads: monitor callbacks (the platform's thread), application threads
// and the server manager call in concurrently. Three recursive locks guard
// the listeners, the available list and the selected list; they are taken one
// at a time and never held while the server manager's reaction or a listener
// runs. Listeners are called on the registry's own "ZelNetIf" thread.
#pragma once

#include <net/if.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/network_layer.h>

namespace zel_upnp {
namespace network_layer {

class NetworkMonitor;
class NetworkInterface;

// Base of the library's singletons: neither copyable nor assignable.
class ZELUncopyable {
  protected:
    ZELUncopyable() {}
    ~ZELUncopyable() {}

  public:
    ZELUncopyable(const ZELUncopyable&) = delete;
    ZELUncopyable& operator=(const ZELUncopyable&) = delete;
};

// One registration. Shared between the registry and the deliveries queued
// for it, so that a delivery that outlives the registration finds a cleared
// pointer instead of a listener that may be gone.
class NetChangeListener {
  public:
    NetChangeListener(int id, NetworkEventListener* listener);

    int Id() const { return id_; }
    // Calls the listener unless Clear has run. The wrapper's mutex is held
    // during the call: that is what lets Clear wait out a delivery in flight.
    void Notify(const std::string& interfaceName, int event);
    // After Clear returns the listener is never called again. Recursive, so
    // that a listener may unregister itself from its own callback.
    void Clear();

  private:
    const int id_;
    NetworkEventListener* listener_;
    boost::recursive_mutex mutex_;
};

// Bounds of the kernel's interface list (SIOCGIFCONF, one record per IPv4
// address): read first into room for kInitialInterfaceRecords, grown by
// doubling while the kernel fills it (it cuts a longer list silently), up to
// kMaxInterfaceRecords (160 KiB). A longer list is used as far as it fits.
constexpr size_t kInitialInterfaceRecords = 32;
constexpr size_t kMaxInterfaceRecords = 4096;

// The kernel's interface list, queried on fd. False (records untouched) when
// the query fails or no room can be had.
bool ReadInterfaceRecords(int fd, std::vector<struct ifreq>* records);

// True when info holds address (an IPv6 literal, zone allowed) among its
// IPv6 addresses.
bool HoldsIpv6Address(const NetInfo& info, const std::string& address);
// True when both records carry the same IPv6 addresses and index.
bool SameIpv6Side(const NetInfo& a, const NetInfo& b);
// Fills the index and IPv6 addresses of an interface the application
// reported, from the kernel of the calling thread's namespace.
void FillIpv6FromKernel(NetInfo& info);

// Creates the platform monitor for an owner; null when none can be made.
typedef boost::function<NetworkMonitor*(NetworkInterface* owner)> NetworkMonitorFactory;
// The server manager's synchronous reaction to a NIC event, called on the
// raising thread before the listeners are scheduled.
typedef boost::function<void(const std::string& interfaceName, int event)> NicEventHook;

class NetworkInterface : private ZELUncopyable {
  public:
    // Created on first use by the network layer's initialisation, destroyed
    // by its termination; GetInstance is null outside that span.
    static NetworkInterface* CreateInstance();
    static NetworkInterface* GetInstance();
    static void DestroyInstance();

    // CreatePlatformNetworkMonitor unless replaced (by tests); an empty
    // factory leaves the registry without a monitor.
    static void SetMonitorFactory(const NetworkMonitorFactory& factory);
    // Installed by the server manager; an empty hook means no reaction.
    static void SetNicEventHook(const NicEventHook& hook);

    ~NetworkInterface();

    // Monitor lifecycle.
    void StartScanNetworkInterface();
    void StopScanNetworkInterface();
    void SetMonitoringEnabled(bool enabled);
    void QueryUpdate();
    // The monitor's complete current list.
    void Update(std::vector<NetInfo> interfaces);

    void GetNetworkInterfaces(std::vector<NetInfo>* interfaces);
    void GetActiveSelectedNetworkInterfaces(std::vector<NetInfo>* interfaces);
    int GetNetworkInterface(const std::string& name, NetInfo& info);
    int GetNetworkInterfaceByIP(const std::string& address, NetInfo& info);
    void SelectNetworkInterface(const std::string& name);
    void DeselectNetworkInterface(const std::string& name);
    void SetAutoSelect(bool enable);
    int NotifyNICAdded(const std::string& name, const std::string& address,
                       const std::string& mask);
    int NotifyNICRemoved(const std::string& name);
    void ClearNetworkInterface();

    // -1 for a null listener.
    int RegisterEventListener(NetworkEventListener* listener);
    void UnRegisterEventListener(int id);

    bool IsSameSubnet(const std::string& address1, const std::string& address2, std::string& mask);
    int GetOutgoingIPaddress(const std::string& remoteAddress, std::string& localAddress);
    bool IsLocalMachine(const std::string& address);
    bool IsInterfaceExisting(const std::string& address, const std::string& namePrefix);

    // Same subnet under an explicit, non-empty mask; needs no registry.
    static bool IsSameSubnetWithMask(const std::string& address1, const std::string& address2,
                                     const std::string& mask);
    // The MAC the ARP cache holds for a peer, without a registry: a socket
    // of the caller's namespace for this call, every interface but loopback
    // probed in the kernel's order.
    static int GetMacAddress(const std::string& address, std::string& macAddress);
    // The same lookup through the registry: its kept socket, first on the
    // available interface whose subnet holds the peer, the other interfaces
    // only when that one has no complete entry. Nothing is cached: every
    // call asks the kernel, so an entry that left the ARP cache is not found.
    int LookUpMacAddress(const std::string& address, std::string& macAddress);

    // Pause between NIC_REMOVED and NIC_IPCHANGED of an address change, so
    // that servers closed on the old address release their ports before
    // the new ones bind.
    static constexpr int kAddressChangePauseMs = 500;

  private:
    NetworkInterface();

    void NotifyNICIfEvent(const std::string& name, int event);
    void NotifyNICEventByID(int id, const std::string& name, int event);
    // The IPv4 address changed (the IPv6 side is taken along).
    void ChangeAddress(const NetInfo& changed);
    // IPv6 side of the address queries (networkinterface_ipv6.cpp).
    bool IsSameIpv6Link(const std::string& address1, const std::string& address2,
                        std::string& prefixLength);
    static bool IsSameIpv6PrefixWithLength(const std::string& address1, const std::string& address2,
                                           const std::string& prefixLength);
    static int OutgoingIpv6Address(const std::vector<NetInfo>& active,
                                   const std::string& remoteAddress, std::string& localAddress);
    bool IsSelected(const std::string& name);
    // True when the name was not selected before.
    bool AddToSelected(const std::string& name);
    bool IsAvailable(const std::string& name);
    // The kept ARP socket, or -1 while there is none (a reopen is then
    // under way on "ZelNetIf").
    int ArpSocket();
    // Called when the kept socket no longer is one (closed behind our back).
    void DropArpSocket(int fd);
    void ScheduleArpSocketReopen();
    void ReopenArpSocket();

    // Guards monitor_; held across calls into the monitor, which never call
    // back into the monitor API of the registry.
    boost::mutex monitor_mutex_;
    NetworkMonitor* monitor_;

    boost::recursive_mutex listener_mutex_;
    int next_listener_id_;
    std::vector<std::pair<int, boost::shared_ptr<NetChangeListener> > > listeners_;

    boost::recursive_mutex interface_mutex_;
    std::vector<NetInfo> available_;

    boost::recursive_mutex selection_mutex_;
    std::vector<std::string> selected_;

    std::atomic<bool> auto_select_;

    // The socket of the ARP-cache queries (SIOCGARP, SIOCGIFCONF,
    // SIOCGIFFLAGS), opened close-on-exec by the constructor so that it
    // belongs to the namespace of the thread that created the registry; a
    // reopen runs on "ZelNetIf", which was started in that same namespace.
    // Any thread reads it without a lock (the kernel serialises the queries);
    // it is closed only by the destructor, so a reader never uses a number
    // that has been handed to another file by us.
    std::atomic<int> arp_socket_;
    // Set while a reopen is posted, so that failing lookups post one.
    std::atomic<bool> arp_reopen_pending_;

    // Runs the listener deliveries, one at a time, on "ZelNetIf".
    boost::asio::io_service io_service_;
    boost::shared_ptr<boost::asio::io_service::work> work_;
    boost::thread_group threads_;
};

}  // namespace network_layer
}  // namespace zel_upnp
