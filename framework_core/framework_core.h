/// @file
/// zel_upnp::framework_core: what an application calls first and last. The
/// library's lifecycle, its UPnP role, server configuration, the choice of
/// network interfaces, and suspend and resume of one device.
#ifndef ZEL_UPNP_FRAMEWORK_CORE_H
#define ZEL_UPNP_FRAMEWORK_CORE_H

#include <string>

#pragma GCC visibility push(default)

/// Everything zel_upnp exports: one nested namespace per family.
namespace zel_upnp {
/// The library's lifecycle, UPnP role, server configuration and choice of interfaces.
namespace framework_core {

// ---------------------------------------------------------------------------
// Result codes of the framework core. Codes of the network layer (such as
// 2006, a server that failed to start) are passed through unchanged.
// ---------------------------------------------------------------------------
/// Result codes of the framework core. Codes of the network layer (such as
/// 2006, a server that failed to start) are passed through unchanged.
enum FrameworkResult {
    FC_SUCCESS = 0,
    FC_FAILURE = 1,                   ///< bad argument, wrong suspend state, refused role
    QX_FC_ALREADY_INITIALIZED = 100,  ///< InitFrameworkCore twice, or a role already recorded
    QX_FC_UNINITIALIZED = 101         ///< not initialised, or not started where required
};

/// The UPnP role the library plays. Only CD_D (controlled device with
/// discovery) and CD (controlled device with discovery, control and
/// eventing) initialise anything; -1, 0 and 1 are refused, and every other
/// value is accepted and recorded without effect.
enum eInitType : int { CD_D = 2, CD = 4 };

/// One selected, active interface, as handed to the application. Every node
/// and both strings are malloc blocks; release the whole list with
/// FreeInterfaceList. A string is null when its copy could not be allocated.
struct NetworkInfo {
    /// Name of the interface (malloc block).
    char* interface_name;
    /// Its dotted IPv4 address (malloc block).
    char* ip_address;
    /// Next interface, or null at the end of the list.
    NetworkInfo* next;
};

// ---------------------------------------------------------------------------
// Lifecycle. Serialised by one framework lock; callable from any thread.
// ---------------------------------------------------------------------------
/// Creates and starts the network layer and the timer service. The argument
/// is not used. 0; 100 when already initialised; 1 when the network layer
/// could not be created (the core then stays uninitialised).
int InitFrameworkCore(const std::string& unused);
/// Records the role and initialises the device families for it. 0; 1 for a
/// refused role; 100 when a role is already recorded; 101 before
/// InitFrameworkCore.
int InitializeUPnP(eInitType type);
/// 0 (also when already started); 101 before InitFrameworkCore.
int StartFrameworkCore();
/// 0 when it was started; 101 otherwise.
int StopFrameworkCore();
/// Takes the device with this UDN off the network: pauses interface
/// monitoring, stops the device, deselects every interface (closing its
/// servers), forgets the interfaces and drops the event subscribers. 0; 1
/// when already suspended; 101 when the core is not started.
int SuspendFrameworkCore(const std::string& udn);
/// Undoes SuspendFrameworkCore: resumes monitoring with automatic interface
/// selection, rescans (servers return as interfaces are reported) and starts
/// the device again. 0; 1 when not suspended; 101 when not started.
int ResumeFrameworkCore(const std::string& udn);
/// Terminates the device families of the recorded role and forgets it. 0.
int TerminateUPnP();
/// Stops every thread of the library, terminates the device families and
/// destroys the timer service and the network layer. 0; 101 when not
/// initialised.
int TerminateFrameworkCore();

// ---------------------------------------------------------------------------
// Servers and interfaces.
// ---------------------------------------------------------------------------
/// Configures, in this order and each only while the earlier ones succeeded,
/// the TCP server, the SSDP multicast server, the extra multicast group
/// "239.255.255.177" on the same port (when extra_multicast), and the unicast
/// UDP server; a port of 0 skips its step. The result of the last step run
/// (0 when all ports are 0); 101 before InitFrameworkCore.
int ConfigureServers(int tcp_port, int multicast_port, int udp_port, bool extra_multicast);
/// Opens (true) or closes (false) every multicast and unicast UDP server and
/// lets (or stops) the client send multicast. 0, the first failure, or 101
/// when the core is not started.
int ConfigureMulticastSupport(bool enable);
/// Only meaningful for the roles with control-point discovery (3, 5, 6),
/// which this library does not implement: 0 for them, 101 otherwise.
int ConfigureAutoRescanFeature(bool enable);
/// Selects one interface by name. 0.
int ConfigureApplicationOnInterface(const char* name);
/// Selects every known interface and every one that appears later. 0.
int ConfigureApplicationOnAllInterfaces();
/// Deselects every known interface and stops selecting new ones. 0.
int UnConfigureApplicationOnAllInterfaces();
/// *out must be null on entry; receives the selected, active interfaces in
/// order. 0; 1 for a bad argument, no such interface, or no memory (*out is
/// then left null).
int GetAvailableNetworkInterfaces(NetworkInfo** out);
/// Releases a list from GetAvailableNetworkInterfaces; null is a no-op.
void FreeInterfaceList(NetworkInfo* list);

/// Creates and starts / stops and destroys the platform interface monitor.
/// 0; StartNetworkMonitor gives 101 before InitFrameworkCore, both 1 without
/// a network layer.
int StartNetworkMonitor();
/// Stops and destroys the platform interface monitor. 0, or 1 without a
/// network layer.
int StopNetworkMonitor();
/// For an application that watches interfaces itself: feeds the registry as
/// the monitor would. Results as network_layer::NotifyNICAdded/Removed.
int NotifyNICAdded(const std::string& name, const std::string& ip, const std::string& mask);
/// For an application that watches interfaces itself: the interface went
/// away. Results as network_layer::NotifyNICRemoved.
int NotifyNICRemoved(const std::string& name);

/// Kept for source compatibility: no user agent is stored; they only log.
void SetDefaultUserAgent(const std::string& user_agent);
/// Gives an empty user agent: none is stored. Kept for source compatibility.
void GetDefaultUserAgent(std::string& user_agent);

}  // namespace framework_core
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
