// The framework core: lifecycle of the whole library, its UPnP role, server
// and interface configuration, and suspend / resume of one device.
//
// Threads: any application thread. The lifecycle calls, ConfigureServers and
// the monitor calls are serialised by one recursive framework lock (recursive
// because TerminateFrameworkCore runs StopFrameworkCore and TerminateUPnP on
// the same thread). The other calls take no framework lock and rely on the
// network layer's; they read the core state and the role, which are atomics
// for that reason. The framework lock is held while the network layer joins
// its threads, so a listener or timer callback that calls one of the locked
// functions would deadlock a concurrent TerminateFrameworkCore; the library's
// own threads never take the lock.
#include <zel_upnp/framework_core.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <zel_upnp/cd_control.h>
#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/network_layer.h>
#include "framework_core/src/device_subsystems.h"
#include "network_layer/src/clientmanager.h"
#include "network_layer/src/servermanager.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/timer/timer_service.h"

namespace zel_upnp {
namespace framework_core {

namespace {

// Core states.
const int kUninitialized = -1;
const int kInitialized = 0;
const int kStarted = 1;
// No role recorded.
const int kNoRole = -1;
// Roles that include control-point discovery, which only
// ConfigureAutoRescanFeature looks at.
const int kControlPointRoles[] = {3, 5, 6};
// Roles that InitializeUPnP refuses.
const int kRefusedRoles[] = {-1, 0, 1};

const char kExtraMulticastGroup[] = "239.255.255.177";

boost::recursive_mutex g_framework_mutex;
std::atomic<int> g_core_state(kUninitialized);
std::atomic<int> g_role(kNoRole);
// Framework lock.
bool g_suspended = false;
int g_init_calls = 0;
int g_terminate_calls = 0;

boost::mutex g_entry_points_mutex;
// Constant-initialised, so the table is complete before any static
// constructor of the application can reach the core.
int CleanServiceSubscribersEntry() {
    cd_control::CleanServiceSubscribers();
    return 0;
}

DeviceSubsystemEntryPoints g_entry_points = {
    &cd_discovery::Initialize,    &cd_discovery::Terminate,         &cd_discovery::StartDevice,
    &cd_discovery::StopDevice,    &cd_control::InitializeCDControl, &cd_control::TerminateCDControl,
    &CleanServiceSubscribersEntry};

template <size_t N>
bool IsOneOf(int value, const int (&values)[N]) {
    for (int candidate : values) {
        if (candidate == value)
            return true;
    }
    return false;
}

// Runs fn, turning an escaping exception into fallback.
template <typename Fn>
auto Guarded(int fallback, Fn fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "Unknown Exception");
    }
    return fallback;
}

// Calls one entry of the device families' table; an entry not filled in yet
// is logged and counts as success, so that the network side of the library
// can be brought up and down on its own.
template <typename Fn, typename... Args>
int CallDeviceEntry(Fn DeviceSubsystemEntryPoints::*entry, const char* name, Args&&... args) {
    const Fn fn = GetDeviceSubsystemEntryPoints().*entry;
    if (fn == nullptr) {
        ZEL_LOGW(ZEL_CORE_FRAMEWORK_CONTROLLER, "%s not present", name);
        return FC_SUCCESS;
    }
    return fn(std::forward<Args>(args)...);
}

// Milliseconds since start, for the step log of suspend and resume.
int ElapsedMs(const std::chrono::system_clock::time_point& start) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now() - start)
                                .count());
}

// A malloc copy of text; null when it cannot be allocated.
char* MallocCopy(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr)
        std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void SelectAllKnownInterfaces(bool select) {
    std::vector<network_layer::NetInfo> interfaces;
    network_layer::GetNetworkInterfaces(&interfaces);
    for (network_layer::NetInfo& info : interfaces)
        network_layer::ConfigureNetworkInterface(info.interface_name, select);
    network_layer::ConfigureOnAllNetworkInterfaces(select);
}

}  // namespace

void SetDeviceSubsystemEntryPoints(const DeviceSubsystemEntryPoints& entry_points) {
    boost::lock_guard<boost::mutex> lock(g_entry_points_mutex);
    g_entry_points = entry_points;
}

DeviceSubsystemEntryPoints GetDeviceSubsystemEntryPoints() {
    boost::lock_guard<boost::mutex> lock(g_entry_points_mutex);
    return g_entry_points;
}

// ---------------------------------------------------------------------------
// Lifecycle
// ---------------------------------------------------------------------------

int InitFrameworkCore(const std::string& /*unused*/) {
    return Guarded(FC_FAILURE, [] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        ++g_init_calls;
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Entering InitFrameworkCore %d", g_init_calls);
        if (g_core_state.load() != kUninitialized) {
            ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, " Returning from InitFrameworkCore ");
            return static_cast<int>(QX_FC_ALREADY_INITIALIZED);
        }
        const int result = network_layer::InitializeNetworkLayer();
        if (result == network_layer::NL_SUCCESS)
            g_core_state.store(kInitialized);
        // Attempted even after a failure, so that whatever part of the layer
        // exists runs; the failure is still reported.
        utils::CreateTimerService();
        network_layer::StartNetworkLayer();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Exiting InitFrameworkCore ");
        return result;
    });
}

int InitializeUPnP(eInitType type) {
    return Guarded(FC_FAILURE, [type] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Calling InitializeUPnP");
        if (g_core_state.load() == kUninitialized)
            return static_cast<int>(QX_FC_UNINITIALIZED);
        if (g_role.load() != kNoRole)
            return static_cast<int>(QX_FC_ALREADY_INITIALIZED);
        const int role = static_cast<int>(type);
        if (IsOneOf(role, kRefusedRoles)) {
            ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "framework type %d refused", role);
            return static_cast<int>(FC_FAILURE);
        }
        int result = FC_SUCCESS;
        if (role == CD_D) {
            ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "INIT CD_D");
            result = CallDeviceEntry(&DeviceSubsystemEntryPoints::discovery_initialize,
                                     "cd_discovery::Initialize");
        } else if (role == CD) {
            ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "INIT CD");
            result = CallDeviceEntry(&DeviceSubsystemEntryPoints::discovery_initialize,
                                     "cd_discovery::Initialize");
            const int control = CallDeviceEntry(&DeviceSubsystemEntryPoints::control_initialize,
                                                "cd_control::InitializeCDControl");
            if (result == FC_SUCCESS)
                result = control;
        } else {
            ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "Invalid framework type!");
        }
        // Recorded even when a family failed to come up, so that
        // TerminateUPnP releases whatever part of it did.
        g_role.store(role);
        return result;
    });
}

int StartFrameworkCore() {
    return Guarded(FC_FAILURE, [] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "StartFrameworkCore");
        if (g_core_state.load() == kUninitialized)
            return static_cast<int>(QX_FC_UNINITIALIZED);
        g_core_state.store(kStarted);
        return static_cast<int>(FC_SUCCESS);
    });
}

int StopFrameworkCore() {
    return Guarded(FC_FAILURE, [] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "StopFrameworkCore");
        if (g_core_state.load() != kStarted)
            return static_cast<int>(QX_FC_UNINITIALIZED);
        g_core_state.store(kInitialized);
        return static_cast<int>(FC_SUCCESS);
    });
}

int SuspendFrameworkCore(const std::string& udn) {
    return Guarded(FC_FAILURE, [&udn] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        if (g_core_state.load() != kStarted)
            return static_cast<int>(QX_FC_UNINITIALIZED);
        if (g_suspended) {
            ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "zel already suspended");
            return static_cast<int>(FC_FAILURE);
        }
        const auto start = std::chrono::system_clock::now();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Start");
        // The monitor stays alive but ignores changes until resume.
        network_layer::StopNetworkMonitoring();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "[%d]", ElapsedMs(start));
        CallDeviceEntry(&DeviceSubsystemEntryPoints::discovery_stop_device,
                        "cd_discovery::StopDevice", udn);
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "[%d]", ElapsedMs(start));
        // Each deselection raises NIC_REMOVED, which closes that interface's
        // servers.
        UnConfigureApplicationOnAllInterfaces();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "[%d]", ElapsedMs(start));
        network_layer::ClearNetworkInterface();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "[%d]", ElapsedMs(start));
        CallDeviceEntry(&DeviceSubsystemEntryPoints::control_clean_subscribers,
                        "cd_control::CleanServiceSubscribers");
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "End [%d]", ElapsedMs(start));
        g_suspended = true;
        return static_cast<int>(FC_SUCCESS);
    });
}

int ResumeFrameworkCore(const std::string& udn) {
    return Guarded(FC_FAILURE, [&udn] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        if (g_core_state.load() != kStarted)
            return static_cast<int>(QX_FC_UNINITIALIZED);
        if (!g_suspended) {
            ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "not zel suspended");
            return static_cast<int>(FC_FAILURE);
        }
        const auto start = std::chrono::system_clock::now();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Start");
        network_layer::StartNetworkMonitoring();
        network_layer::ConfigureOnAllNetworkInterfaces(true);
        // The rescan reports every present interface as new; selected
        // automatically, each raises NIC_ADDED and gets its servers back.
        network_layer::UpdateNetworkInterface();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "[%d]", ElapsedMs(start));
        CallDeviceEntry(&DeviceSubsystemEntryPoints::discovery_start_device,
                        "cd_discovery::StartDevice", udn);
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "End [%d]", ElapsedMs(start));
        g_suspended = false;
        return static_cast<int>(FC_SUCCESS);
    });
}

int TerminateUPnP() {
    return Guarded(FC_FAILURE, [] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Calling TerminateUPnP");
        const int role = g_role.load();
        if (role == CD_D) {
            CallDeviceEntry(&DeviceSubsystemEntryPoints::discovery_terminate,
                            "cd_discovery::Terminate");
            ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "cd_discovery Terminated");
        } else if (role == CD) {
            CallDeviceEntry(&DeviceSubsystemEntryPoints::discovery_terminate,
                            "cd_discovery::Terminate");
            ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "cd_discovery Terminated");
            CallDeviceEntry(&DeviceSubsystemEntryPoints::control_terminate,
                            "cd_control::TerminateCDControl");
            ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "cd_control Terminated");
        } else if (role != kNoRole && !IsOneOf(role, kRefusedRoles)) {
            ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "Invalid framework type!");
        }
        g_role.store(kNoRole);
        return static_cast<int>(FC_SUCCESS);
    });
}

int TerminateFrameworkCore() {
    return Guarded(FC_FAILURE, [] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        ++g_terminate_calls;
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Enter TerminateFrameworkCore %d ",
                 g_terminate_calls);
        if (g_core_state.load() == kUninitialized) {
            ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "Error: QX_FC_UNINITIALIZED");
            return static_cast<int>(QX_FC_UNINITIALIZED);
        }
        network_layer::StopNetworkLayer();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "StopNetworkLayer finished");
        StopFrameworkCore();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "StopFrameworkCore finished");
        TerminateUPnP();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "TerminateUPnP finished");
        utils::DestroyTimerService();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Timer Terminate finished");
        g_core_state.store(kUninitialized);
        const int result = network_layer::TerminateNetworkLayer();
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Exit");
        return result;
    });
}

// ---------------------------------------------------------------------------
// Servers and interfaces
// ---------------------------------------------------------------------------

int ConfigureServers(int tcp_port, int multicast_port, int udp_port, bool extra_multicast) {
    return Guarded(FC_FAILURE, [=] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        if (g_core_state.load() == kUninitialized)
            return static_cast<int>(QX_FC_UNINITIALIZED);
        const bool enable = true;
        int result = FC_SUCCESS;
        if (tcp_port != 0) {
            result = network_layer::ConfigureTCPServer(tcp_port, enable);
            if (result != FC_SUCCESS)
                return result;
        }
        if (multicast_port != 0) {
            result = network_layer::ConfigureUPnPMulticastServer(multicast_port, enable);
            if (result != FC_SUCCESS)
                return result;
            if (extra_multicast) {
                result = network_layer::ConfigureMulticastServer(kExtraMulticastGroup,
                                                                 multicast_port, enable);
                if (result != FC_SUCCESS)
                    return result;
            }
        }
        if (udp_port != 0)
            result = network_layer::ConfigureUDPServer(udp_port, enable);
        return result;
    });
}

int ConfigureMulticastSupport(bool enable) {
    return Guarded(FC_FAILURE, [enable] {
        if (g_core_state.load() != kStarted)
            return static_cast<int>(QX_FC_UNINITIALIZED);
        network_layer::ServerManager* servers = network_layer::ServerManager::GetInstance();
        const int server_result = servers != nullptr ? servers->ConfigureMulticastSupport(enable)
                                                     : static_cast<int>(FC_FAILURE);
        network_layer::ClientManager* clients = network_layer::ClientManager::GetInstance();
        if (clients != nullptr)
            clients->SetMulticastEnabled(enable);
        const int client_result = clients != nullptr ? FC_SUCCESS : FC_FAILURE;
        return server_result != FC_SUCCESS ? server_result : client_result;
    });
}

int ConfigureAutoRescanFeature(bool /*enable*/) {
    if (IsOneOf(g_role.load(), kControlPointRoles))
        return FC_SUCCESS;
    ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "CP discovery not initialized");
    return QX_FC_UNINITIALIZED;
}

int ConfigureApplicationOnInterface(const char* name) {
    if (name == nullptr) {
        ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "interface name is NULL");
        return FC_SUCCESS;
    }
    Guarded(FC_FAILURE, [name] {
        std::string interface_name(name);
        return network_layer::ConfigureNetworkInterface(interface_name, true);
    });
    return FC_SUCCESS;
}

int ConfigureApplicationOnAllInterfaces() {
    Guarded(FC_FAILURE, [] {
        SelectAllKnownInterfaces(true);
        return static_cast<int>(FC_SUCCESS);
    });
    return FC_SUCCESS;
}

int UnConfigureApplicationOnAllInterfaces() {
    Guarded(FC_FAILURE, [] {
        SelectAllKnownInterfaces(false);
        return static_cast<int>(FC_SUCCESS);
    });
    return FC_SUCCESS;
}

int GetAvailableNetworkInterfaces(NetworkInfo** out) {
    if (out == nullptr || *out != nullptr)
        return FC_FAILURE;
    return Guarded(FC_FAILURE, [out] {
        std::vector<network_layer::NetInfo> interfaces;
        network_layer::GetActiveSelectedNetworkInterfaces(&interfaces);
        if (interfaces.empty())
            return static_cast<int>(FC_FAILURE);
        NetworkInfo* head = nullptr;
        NetworkInfo* tail = nullptr;
        for (const network_layer::NetInfo& info : interfaces) {
            NetworkInfo* node = static_cast<NetworkInfo*>(std::malloc(sizeof(NetworkInfo)));
            if (node == nullptr) {
                ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "memory allocation failed");
                FreeInterfaceList(head);
                return static_cast<int>(FC_FAILURE);
            }
            node->interface_name = MallocCopy(info.interface_name);
            node->ip_address = MallocCopy(info.ip_address);
            node->next = nullptr;
            if (tail == nullptr)
                head = node;
            else
                tail->next = node;
            tail = node;
        }
        *out = head;
        return static_cast<int>(FC_SUCCESS);
    });
}

void FreeInterfaceList(NetworkInfo* list) {
    while (list != nullptr) {
        NetworkInfo* next = list->next;
        std::free(list->ip_address);
        std::free(list->interface_name);
        std::free(list);
        list = next;
    }
}

// ---------------------------------------------------------------------------
// Monitoring and interface events
// ---------------------------------------------------------------------------

int StartNetworkMonitor() {
    return Guarded(FC_FAILURE, [] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        if (g_core_state.load() == kUninitialized)
            return static_cast<int>(QX_FC_UNINITIALIZED);
        return network_layer::InitializeNetworkMonitor();
    });
}

int StopNetworkMonitor() {
    return Guarded(FC_FAILURE, [] {
        boost::lock_guard<boost::recursive_mutex> lock(g_framework_mutex);
        return network_layer::TerminateNetworkMonitor();
    });
}

int NotifyNICAdded(const std::string& name, const std::string& ip, const std::string& mask) {
    return network_layer::NotifyNICAdded(name, ip, mask);
}

int NotifyNICRemoved(const std::string& name) {
    return network_layer::NotifyNICRemoved(name);
}

// ---------------------------------------------------------------------------
// User agent
// ---------------------------------------------------------------------------

namespace {

void LogUserAgentCall() {
    const int role = g_role.load();
    if (role == kNoRole || IsOneOf(role, kRefusedRoles))
        ZEL_LOGI(ZEL_CORE_FRAMEWORK_CONTROLLER, "Framework core not started!");
    else
        ZEL_LOGE(ZEL_CORE_FRAMEWORK_CONTROLLER, "Invalid framework type!");
}

}  // namespace

void SetDefaultUserAgent(const std::string& /*user_agent*/) {
    LogUserAgentCall();
}

void GetDefaultUserAgent(std::string& /*user_agent*/) {
    LogUserAgentCall();
}

}  // namespace framework_core
}  // namespace zel_upnp
