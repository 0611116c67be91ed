#include "network_layer/src/capi_network_monitor.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <map>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "network_layer/src/networkinterface.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

const char CAPINetworkMonitor::kLanName[] = "eth0";
const char CAPINetworkMonitor::kWifiName[] = "wlan0";
const char CAPINetworkMonitor::kWifiDirectName[] = "p2p0";

namespace {

const int kWifiDirectRetryDelayMs = 100;
const int kWifiDirectAddressAttempts = 10;
const int kConnectionAttempts = 2;
const char kLoopbackPrefix[] = "127.0.0";
const char kUnsetAddress[] = "0.0.0.0";
// No-peer answer of the connected-peer enumeration.
const int kNoPeerConnected = -1;
// Result of an Add* step that the monitor refused on its own.
const int kRefused = -1;

// Shared by every instance: the platform has one set of callbacks.
boost::mutex g_monitor_mutex;  // Start, Stop, QueryUpdate and the callbacks
boost::mutex g_list_mutex;     // the interface lists

// The monitors that may act on a platform callback, by the key each run of
// Start registers its callbacks with; under g_monitor_mutex. A key is never
// reused, so a callback still in flight from a run that has stopped (or from
// a monitor since deleted, whose address a new one may have taken) finds
// nothing, whatever runs now.
std::map<std::uintptr_t, CAPINetworkMonitor*> g_running;
std::uintptr_t g_last_key = 0;

// Copies a platform string and releases it.
std::string Take(char* text) {
    std::string copy = text == nullptr ? std::string() : std::string(text);
    std::free(text);
    return copy;
}

// A record from its parts; the platform's MAC text is taken and released.
NetInfo Record(const char* name, const std::string& address, const std::string& mask, char* mac) {
    NetInfo info;
    info.interface_name = name;
    info.ip_address = address;
    info.subnet_mask = mask;
    info.mac_address = Take(mac);
    return info;
}

// Fetches the profile in use and its type, hands both to body and releases
// the profile. Nothing happens without a connection or a profile in use.
template <typename Body>
void WithCurrentProfile(connection_h connection, Body body) {
    if (connection == nullptr)
        return;
    connection_profile_h profile = nullptr;
    int result = connection_get_current_profile(connection, &profile);
    if (result != 0 || profile == nullptr) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI::Fail to get current profile [%d]", result);
        return;
    }
    connection_profile_type_e type = CONNECTION_PROFILE_TYPE_CELLULAR;
    result = connection_profile_get_type(profile, &type);
    if (result != 0)
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail to get profile type [%d]", result);
    else
        body(profile, type);
    connection_profile_destroy(profile);
}

// Runs a callback body on the monitor under the monitor lock, unless the
// user data is missing, names no running monitor, or monitoring is paused.
// The key is looked up before anything is touched: once Stop has returned
// the monitor may be gone.
template <typename Body>
void WithMonitor(void* user_data, const char* stoppedMessage, Body body) {
    if (user_data == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI CB::user data is NULL");
        return;
    }
    try {
        boost::lock_guard<boost::mutex> lock(g_monitor_mutex);
        auto found = g_running.find(reinterpret_cast<std::uintptr_t>(user_data));
        if (found == g_running.end()) {
            ZEL_LOGW(ZEL_CORE_NETWORK, "%s Stop Scan has been called ", stoppedMessage);
            return;
        }
        CAPINetworkMonitor* monitor = found->second;
        if (!monitor->enabled) {
            ZEL_LOGI(ZEL_CORE_NETWORK, "Network monitoring disabled");
            return;
        }
        body(monitor);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI CB::exception [%s]", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception");
    }
}

}  // namespace

CAPINetworkMonitor::CAPINetworkMonitor(NetworkInterface* owner)
    : owner_(owner),
      ethernet_profile_(nullptr),
      connection_(nullptr),
      lan_initialized_(false),
      wfd_retry_delay_ms_(kWifiDirectRetryDelayMs),
      key_(0) {
    ZEL_LOGD(ZEL_CORE_NETWORK, "ctor called");
}

CAPINetworkMonitor::~CAPINetworkMonitor() {
    // The registry stops a monitor before deleting it; one deleted without
    // Stop must not leave callbacks pointing at it.
    if (connection_ != nullptr)
        Stop();
    {
        boost::lock_guard<boost::mutex> lock(g_monitor_mutex);
        Unregister();
    }
    ZEL_LOGD(ZEL_CORE_NETWORK, "dtor called");
}

// ---------------------------------------------------------------------------
// Lifecycle
// ---------------------------------------------------------------------------

bool CAPINetworkMonitor::Start() {
    {
        boost::lock_guard<boost::mutex> lock(g_monitor_mutex);
        ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI::Start Enter");
        if (connection_ != nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "connection handle must be null");
            return true;
        }
        // A fresh key per run: callbacks of an earlier run stay dead.
        Unregister();
        key_ = ++g_last_key;
        g_running[key_] = this;
        int result = -1;
        for (int attempt = 1; attempt <= kConnectionAttempts; ++attempt) {
            result = connection_create(&connection_);
            if (result == 0)
                break;
            connection_ = nullptr;
            if (attempt < kConnectionAttempts) {
                ZEL_LOGE(ZEL_CORE_NETWORK,
                         "CAPI::Fail to create connection with CAPI Try again [%d]", result);
            } else {
                ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail to create connection with CAPI[%d]", result);
                Unregister();
                return false;
            }
        }
        ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI::Connection Creation succeeded [%d]", result);

        result =
            connection_set_type_changed_cb(connection_, HandleTypeChangedCallback, CallbackData());
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail to set type changed callback [%d]", result);
        result = connection_set_ip_address_changed_cb(connection_, HandleIPChangedCallback,
                                                      CallbackData());
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail to set ip changed callback [%d]", result);

        // Each service on its own: one that fails leaves the others running.
        int (CAPINetworkMonitor::*initialisers[])() = {&CAPINetworkMonitor::CapiLANInitialize,
                                                       &CAPINetworkMonitor::CapiWifiInitialize,
                                                       &CAPINetworkMonitor::CapiWFDInitialize};
        for (auto initialise : initialisers) {
            result = (this->*initialise)();
            if (result != 0)
                ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail to create connection with CAPI [%d]",
                         result);
        }
    }
    Update();
    ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI::Start  EXIT");
    return true;
}

int CAPINetworkMonitor::Stop() {
    boost::lock_guard<boost::mutex> lock(g_monitor_mutex);
    Unregister();
    ZEL_LOGI(ZEL_CORE_NETWORK, "Stop LAN");
    StopLAN();

    ZEL_LOGI(ZEL_CORE_NETWORK, "Stop WIFI");
    int result = wifi_unset_connection_state_changed_cb();
    if (result != 0)
        ZEL_LOGE(ZEL_CORE_NETWORK, "wifi_unset_connection_state_changed_cb:Failed[%d]", result);
    result = wifi_unset_device_state_changed_cb();
    if (result != 0)
        ZEL_LOGE(ZEL_CORE_NETWORK, "wifi_unset_device_state_changed_cb:Failed[%d]", result);
    result = wifi_deinitialize();
    if (result != 0)
        ZEL_LOGE(ZEL_CORE_NETWORK, "wifi_deinitialize:Failed[%d]", result);

    ZEL_LOGI(ZEL_CORE_NETWORK, "Stop WIFI-DIRECT");
    int (*releases[])() = {
        wifi_direct_unset_connection_state_changed_cb, wifi_direct_unset_discovery_state_changed_cb,
        wifi_direct_unset_device_state_changed_cb, wifi_direct_unset_client_ip_address_assigned_cb,
        wifi_direct_deinitialize};
    for (auto release : releases) {
        result = release();
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WFD::release failed [%d]", result);
    }
    ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI::Stop  EXIT");
    return 0;
}

void CAPINetworkMonitor::StopLAN() {
    int result = 0;
    if (ethernet_profile_ != nullptr) {
        result = connection_profile_unset_state_changed_cb(ethernet_profile_);
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Error connection_profile_unset_state_changed_cb [%d]",
                     result);
        result = connection_profile_destroy(ethernet_profile_);
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Error connection_profile_destroy [%d]", result);
        ethernet_profile_ = nullptr;
    }
    if (connection_ != nullptr) {
        result = connection_unset_ethernet_state_chaged_cb(connection_);
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Error connection_unset_ethernet_state_chaged_cb [%d]",
                     result);
        result = connection_unset_type_changed_cb(connection_);
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Error connection_unset_type_changed_cb [%d]", result);
        result = connection_destroy(connection_);
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Error connection_destroy [%d]", result);
        connection_ = nullptr;
    }
    lan_initialized_ = false;
}

void CAPINetworkMonitor::Update() {
    // The copy is taken under the hand-over lock, so that a list read here
    // never reaches the registry after one read later by a callback. The
    // list lock is released before the registry runs: its update raises NIC
    // events whose reactions may ask the registry to clear this very list.
    HandOver(owner_, [this] {
        boost::lock_guard<boost::mutex> lock(g_list_mutex);
        ZEL_LOGD(ZEL_CORE_NETWORK, "size : %d", static_cast<int>(interfaces_.size()));
        return interfaces_;
    });
}

void* CAPINetworkMonitor::CallbackData() const {
    return reinterpret_cast<void*>(key_.load());
}

void CAPINetworkMonitor::Unregister() {
    if (key_ != 0)
        g_running.erase(key_);
    key_ = 0;
}

void CAPINetworkMonitor::ClearInterfaceList() {
    boost::lock_guard<boost::mutex> lock(g_list_mutex);
    interfaces_.clear();
}

std::vector<NetInfo> CAPINetworkMonitor::Interfaces() {
    boost::lock_guard<boost::mutex> lock(g_list_mutex);
    return interfaces_;
}

void CAPINetworkMonitor::QueryUpdate() {
    boost::lock_guard<boost::mutex> lock(g_monitor_mutex);
    WithCurrentProfile(
        connection_, [this](connection_profile_h profile, connection_profile_type_e type) {
            if (type == CONNECTION_PROFILE_TYPE_ETHERNET && AddInterfaceforLAN(profile) == kAdded)
                Update();
        });
    bool added = AddInterfaceforWifi() == kAdded;
    // A list held back by a pause is delivered even when nothing changed.
    if (TakeOwed() || added)
        Update();
    ZEL_LOGI(ZEL_CORE_NETWORK, "Query network interface update Done");
}

// ---------------------------------------------------------------------------
// Service initialisation, under the monitor lock
// ---------------------------------------------------------------------------

int CAPINetworkMonitor::CapiLANInitialize() {
    ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI::CapiLANInitialize Entry");
    connection_profile_iterator_h iterator = nullptr;
    int result = connection_get_profile_iterator(connection_, CONNECTION_ITERATOR_TYPE_REGISTERED,
                                                 &iterator);
    if (result != 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail to get profile iterator [%d]", result);
        return result;
    }
    while (connection_profile_iterator_has_next(iterator)) {
        connection_profile_h profile = nullptr;
        result = connection_profile_iterator_next(iterator, &profile);
        if (result != 0) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail to get profile handle [%d]", result);
            break;
        }
        connection_profile_type_e type = CONNECTION_PROFILE_TYPE_CELLULAR;
        result = connection_profile_get_type(profile, &type);
        if (result != 0) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail to get profile type [%d]", result);
            break;
        }
        if (type == CONNECTION_PROFILE_TYPE_ETHERNET) {
            ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI LAN::Profile Type CONNECTION_PROFILE_TYPE_ETHERNET");
            if (ethernet_profile_ != nullptr) {
                // A re-initialisation replaces the profile kept before.
                connection_profile_unset_state_changed_cb(ethernet_profile_);
                connection_profile_destroy(ethernet_profile_);
                ethernet_profile_ = nullptr;
            }
            result = connection_profile_clone(&ethernet_profile_, profile);
            if (result != 0) {
                ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI LAN::Ethernet Clone failure [%d]", result);
                ethernet_profile_ = nullptr;
                break;
            }
            result = connection_profile_set_state_changed_cb(
                ethernet_profile_, HandleEthernetProfileStateCallback, CallbackData());
            if (result != 0) {
                ZEL_LOGE(ZEL_CORE_NETWORK,
                         "CAPI LAN::Error in Setting State Change Callback for ethernet "
                         "connection [%d]",
                         result);
                connection_profile_destroy(ethernet_profile_);
                ethernet_profile_ = nullptr;
                break;
            }
            AddInterfaceforLAN(profile);
            lan_initialized_ = true;
        } else if (type == CONNECTION_PROFILE_TYPE_WIFI) {
            ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI Wifi Handling");
        } else {
            ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI Unknown Interface");
        }
    }
    connection_destroy_profile_iterator(iterator);
    ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI::CapiLANInitialize Exit");
    return result;
}

int CAPINetworkMonitor::CapiWifiInitialize() {
    int result = wifi_initialize();
    if (result != 0 && result != WIFI_ERROR_ALREADY_INITIALIZED) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WIFI::wifi_initialize failed [%d]", result);
        return result;
    }
    result =
        wifi_set_connection_state_changed_cb(HandleWiFiConnectionStateCallbackCB, CallbackData());
    if (result != 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WIFI::wifi_set_connection_state_changed_cb failed [%d]",
                 result);
        return result;
    }
    result = wifi_set_device_state_changed_cb(HandleWiFiDeviceStateCallback, CallbackData());
    if (result != 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WIFI::wifi_set_device_state_changed_cb failed [%d]",
                 result);
        return result;
    }
    // Not connected is not a failure: the connection callback adds it later.
    AddInterfaceforWifi();
    return 0;
}

int CAPINetworkMonitor::CapiWFDInitialize() {
    int result = wifi_direct_initialize();
    if (result != WIFI_DIRECT_ERROR_NONE && result != WIFI_DIRECT_ERROR_ALREADY_INITIALIZED) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WFD::wifi_direct_initialize failed [%d]", result);
        return result;
    }
    result = wifi_direct_set_connection_state_changed_cb(HandleWFDSetConnectionStateChangedCB,
                                                         CallbackData());
    if (result != WIFI_DIRECT_ERROR_NONE) {
        ZEL_LOGE(ZEL_CORE_NETWORK,
                 "CAPI WFD::wifi_direct_set_connection_state_changed_cb failed [%d]", result);
        return result;
    }
    // Only a group that already exists has an address to read; otherwise the
    // connection callback brings the interface when a peer connects.
    wifi_direct_state_e state = WIFI_DIRECT_STATE_DEACTIVATED;
    if (wifi_direct_get_state(&state) == WIFI_DIRECT_ERROR_NONE &&
        (state == WIFI_DIRECT_STATE_CONNECTED || state == WIFI_DIRECT_STATE_GROUP_OWNER))
        AddInterfaceforWFD();
    return 0;
}

// ---------------------------------------------------------------------------
// The interface list
// ---------------------------------------------------------------------------

bool CAPINetworkMonitor::CheckForIfcPresence(const NetInfo& info) {
    boost::lock_guard<boost::mutex> lock(g_list_mutex);
    for (std::vector<NetInfo>::iterator it = interfaces_.begin(); it != interfaces_.end(); ++it) {
        if (it->interface_name != info.interface_name)
            continue;
        if (it->ip_address == info.ip_address) {
            ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI same interface already exists");
            ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI Same IP address [%s][%s]", it->ip_address.c_str(),
                     info.ip_address.c_str());
            return true;
        }
        ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI Different IP address [%s][%s]", it->ip_address.c_str(),
                 info.ip_address.c_str());
        interfaces_.erase(it);
        return false;
    }
    return false;
}

int CAPINetworkMonitor::AddIfAbsent(const NetInfo& info, const char* addingFormat) {
    if (CheckForIfcPresence(info))
        return kPresent;
    boost::lock_guard<boost::mutex> lock(g_list_mutex);
    ZEL_LOGI(ZEL_CORE_NETWORK, "%s [%s][%s] into list", addingFormat, info.interface_name.c_str(),
             info.ip_address.c_str());
    interfaces_.push_back(info);
    return kAdded;
}

int CAPINetworkMonitor::RemoveInterface(const std::string& name) {
    boost::lock_guard<boost::mutex> lock(g_list_mutex);
    ZEL_LOGD(ZEL_CORE_NETWORK, "PrintAllInterfaces");
    for (const NetInfo& info : interfaces_)
        ZEL_LOGD(ZEL_CORE_NETWORK, "interface : %s, %s", info.interface_name.c_str(),
                 info.ip_address.c_str());
    ZEL_LOGD(ZEL_CORE_NETWORK, "remove : %s", name.c_str());
    if (interfaces_.empty()) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI LAN::Interface list empty");
        return 1;
    }
    for (std::vector<NetInfo>::iterator it = interfaces_.begin(); it != interfaces_.end(); ++it) {
        if (it->interface_name == name) {
            ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI Interface name[%s] found  and removed it",
                     name.c_str());
            interfaces_.erase(it);
            return 0;
        }
    }
    return 1;
}

void CAPINetworkMonitor::RemoveAndUpdate(const std::string& name) {
    if (RemoveInterface(name) == 0)
        Update();
}

int CAPINetworkMonitor::AddInterfaceforLAN(connection_profile_h profile) {
    if (connection_ == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI LAN::There is not connection with CAPI");
        return kRefused;
    }
    connection_ethernet_state_e state = CONNECTION_ETHERNET_STATE_DEACTIVATED;
    int result = connection_get_ethernet_state(connection_, &state);
    if (result != 0 || state != CONNECTION_ETHERNET_STATE_CONNECTED) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI LAN::Ethernet not connected [%d][%d]", result,
                 static_cast<int>(state));
        return result != 0 ? result : kRefused;
    }
    char* text = nullptr;
    result = connection_profile_get_ip_address(profile, CONNECTION_ADDRESS_FAMILY_IPV4, &text);
    std::string address = Take(text);
    if (result != 0)
        address.clear();
    if (address.empty() || boost::starts_with(address, kLoopbackPrefix) ||
        address == kUnsetAddress) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI LAN::IP not to be handled by Capi[%s]", address.c_str());
        return kRefused;
    }
    text = nullptr;
    // Taken outside the log call, which skips its arguments when filtered.
    connection_profile_get_network_interface_name(profile, &text);
    std::string platformName = Take(text);
    ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI LAN::platform interface name [%s]", platformName.c_str());
    text = nullptr;
    result = connection_profile_get_subnet_mask(profile, CONNECTION_ADDRESS_FAMILY_IPV4, &text);
    if (result != 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI LAN::Fail to connection_profile_get_subnet_mask [%d]",
                 result);
        return result;
    }
    std::string mask = Take(text);
    text = nullptr;
    result = connection_get_mac_address(connection_, CONNECTION_TYPE_ETHERNET, &text);
    if (result != 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI LAN::Fail to connection_get_mac_address [%d]", result);
        return result;
    }
    return AddIfAbsent(Record(kLanName, address, mask, text),
                       "CAPI LAN::Interface not present , Adding");
}

int CAPINetworkMonitor::AddInterfaceforWifi() {
    wifi_ap_h ap = nullptr;
    int result = wifi_get_connected_ap(&ap);
    if (result != 0) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI WIFI::Fail to get connected AP %d\n", result);
        return result;
    }
    if (ap == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "ap is null");
        return kRefused;
    }
    char* text = nullptr;
    result = wifi_ap_get_ip_address(ap, WIFI_ADDRESS_FAMILY_IPV4, &text);
    std::string address = Take(text);
    text = nullptr;
    int maskResult = wifi_ap_get_subnet_mask(ap, WIFI_ADDRESS_FAMILY_IPV4, &text);
    std::string mask = Take(text);
    wifi_ap_destroy(ap);
    if (result != 0 || maskResult != 0 || address.empty() ||
        boost::starts_with(address, kLoopbackPrefix) || address == kUnsetAddress) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WIFI::address not usable [%d][%d][%s]", result, maskResult,
                 address.c_str());
        return result != 0 ? result : (maskResult != 0 ? maskResult : kRefused);
    }
    return AddServiceInterface(kWifiName, address, mask, wifi_get_network_interface_name,
                               wifi_get_mac_address, "CAPI WIFI::Interface not present , Adding");
}

int CAPINetworkMonitor::AddInterfaceforWFD() {
    wifi_direct_state_e state = WIFI_DIRECT_STATE_DEACTIVATED;
    int result = wifi_direct_get_state(&state);
    if (result != WIFI_DIRECT_ERROR_NONE) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WFD::Failed to get wifi state [%d]", result);
        return result;
    }
    // The group's address is assigned a moment after the connection
    // response: a few short retries rather than a failed add.
    char* text = nullptr;
    for (int attempt = 0; attempt < kWifiDirectAddressAttempts; ++attempt) {
        text = nullptr;
        result = wifi_direct_get_ip_address(&text);
        if (result == WIFI_DIRECT_ERROR_NONE)
            break;
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WFD::wifi_direct_get_ip_address error [%d]", result);
        boost::this_thread::sleep_for(boost::chrono::milliseconds(wfd_retry_delay_ms_));
    }
    if (result != WIFI_DIRECT_ERROR_NONE)
        return result;
    std::string address = Take(text);
    if (address.empty() || address == kUnsetAddress)
        return kRefused;
    text = nullptr;
    result = wifi_direct_get_subnet_mask(&text);
    if (result != WIFI_DIRECT_ERROR_NONE) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WFD::wifi_direct_get_subnet_mask error [%d]", result);
        return result;
    }
    return AddServiceInterface(kWifiDirectName, address, Take(text),
                               wifi_direct_get_network_interface_name, wifi_direct_get_mac_address,
                               "CAPI WFD::Interface not present , Adding");
}

int CAPINetworkMonitor::AddServiceInterface(const char* name, const std::string& address,
                                            const std::string& mask, int (*getName)(char**),
                                            int (*getMac)(char**), const char* addingFormat) {
    char* text = nullptr;
    getName(&text);
    std::string platformName = Take(text);
    ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI [%s] platform interface name [%s]", name,
             platformName.c_str());
    text = nullptr;
    int result = getMac(&text);
    if (result != 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI [%s] Fail to get MAC address [%d]", name, result);
        return result;
    }
    return AddIfAbsent(Record(name, address, mask, text), addingFormat);
}

// ---------------------------------------------------------------------------
// Platform callbacks, on the platform's callback thread
// ---------------------------------------------------------------------------

void CAPINetworkMonitor::HandleTypeChangedCallback(connection_type_e type, void* user_data) {
    WithMonitor(user_data, "CAPI CB::Type changed", [type](CAPINetworkMonitor* monitor) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "Type changed callback, connection type : %d",
                 static_cast<int>(type));
        switch (type) {
            case CONNECTION_TYPE_WIFI:
                ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI CB::WIFI interface connection Type");
                break;
            case CONNECTION_TYPE_ETHERNET:
                if (!monitor->lan_initialized_) {
                    ZEL_LOGI(ZEL_CORE_NETWORK, " interface is not initialized, so initializing");
                    monitor->CapiLANInitialize();
                    monitor->Update();
                }
                break;
            case CONNECTION_TYPE_DISCONNECTED:
                ZEL_LOGI(ZEL_CORE_NETWORK, "CONNECTION_TYPE_DISCONNECTED");
                break;
            default:
                ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI CB::Unknown connection");
                break;
        }
    });
}

void CAPINetworkMonitor::HandleIPChangedCallback(const char* ipv4Address, const char* ipv6Address,
                                                 void* user_data) {
    (void)ipv6Address;
    WithMonitor(user_data, "CAPI CB::IP changed", [ipv4Address](CAPINetworkMonitor* monitor) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI CB::IP changed [%s]",
                 ipv4Address == nullptr ? "" : ipv4Address);
        WithCurrentProfile(monitor->connection_, [monitor](connection_profile_h profile,
                                                           connection_profile_type_e type) {
            if (type == CONNECTION_PROFILE_TYPE_ETHERNET) {
                ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI LAN Handling");
                int result = monitor->AddInterfaceforLAN(profile);
                if (result == kAdded) {
                    ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI LAN::Start Scanning");
                    monitor->Update();
                } else if (result != kPresent) {
                    ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI::Fail AddInterfaceforLAN");
                }
            } else if (type == CONNECTION_PROFILE_TYPE_WIFI) {
                ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI Wifi Handling");
                ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI WIFI:: Going to call AddInterfaceforWifi!!");
                if (monitor->AddInterfaceforWifi() == kAdded)
                    monitor->Update();
            } else {
                ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI Unknown Interface");
            }
        });
    });
}

void CAPINetworkMonitor::HandleEthernetProfileStateCallback(connection_profile_state_e state,
                                                            void* user_data) {
    WithMonitor(user_data, "CAPI LAN::", [state](CAPINetworkMonitor* monitor) {
        switch (state) {
            case CONNECTION_PROFILE_STATE_CONNECTED: {
                ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI LAN::CONNECTION_PROFILE_STATE_CONNECTED Event");
                WithCurrentProfile(monitor->connection_, [monitor](connection_profile_h profile,
                                                                   connection_profile_type_e type) {
                    if (type == CONNECTION_PROFILE_TYPE_ETHERNET &&
                        monitor->AddInterfaceforLAN(profile) == kAdded)
                        monitor->Update();
                });
                break;
            }
            case CONNECTION_PROFILE_STATE_DISCONNECTED:
                ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI LAN::CONNECTION_PROFILE_STATE_DISCONNECTED Event");
                monitor->RemoveAndUpdate(kLanName);
                break;
            case CONNECTION_PROFILE_STATE_ASSOCIATION:
            case CONNECTION_PROFILE_STATE_CONFIGURATION:
            case CONNECTION_PROFILE_STATE_ONLINE:
                ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI LAN::profile state [%d]", static_cast<int>(state));
                break;
            default:
                ZEL_LOGW(ZEL_CORE_NETWORK, "CAPI LAN::Unknown profile state [%d]",
                         static_cast<int>(state));
                break;
        }
    });
}

void CAPINetworkMonitor::HandleWiFiConnectionStateCallbackCB(wifi_connection_state_e state,
                                                             wifi_ap_h ap, void* user_data) {
    (void)ap;
    WithMonitor(user_data, "CAPI WIFI::", [state](CAPINetworkMonitor* monitor) {
        switch (state) {
            case WIFI_CONNECTION_STATE_CONNECTED:
                ZEL_LOGI(ZEL_CORE_NETWORK,
                         "CAPI WIFI:: Handling WIFI_CONNECTION_STATE_CONNECTED Event");
                if (monitor->AddInterfaceforWifi() == kAdded)
                    monitor->Update();
                break;
            case WIFI_CONNECTION_STATE_DISCONNECTED:
                ZEL_LOGI(ZEL_CORE_NETWORK,
                         "CAPI WIFI:: Handling WIFI_CONNECTION_STATE_DISCONNECTED Event");
                monitor->RemoveAndUpdate(kWifiName);
                break;
            case WIFI_CONNECTION_STATE_ASSOCIATION:
            case WIFI_CONNECTION_STATE_CONFIGURATION:
                ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI WIFI:: state : %d", static_cast<int>(state));
                break;
            default:
                ZEL_LOGW(ZEL_CORE_NETWORK, "CAPI WIFI:: state : Unknown");
                break;
        }
    });
}

void CAPINetworkMonitor::HandleWiFiDeviceStateCallback(wifi_device_state_e state, void* user_data) {
    WithMonitor(user_data, "CAPI WIFI::", [state](CAPINetworkMonitor* monitor) {
        if (state == WIFI_DEVICE_STATE_ACTIVATED) {
            ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI WIFI::state : Activated");
        } else if (state == WIFI_DEVICE_STATE_DEACTIVATED) {
            ZEL_LOGI(ZEL_CORE_NETWORK, "CAPI WIFI::state : Deactivated");
            monitor->RemoveAndUpdate(kWifiName);
        } else {
            ZEL_LOGW(ZEL_CORE_NETWORK, "CAPI WIFI::device state : Unknown [%d]",
                     static_cast<int>(state));
        }
    });
}

void CAPINetworkMonitor::HandleWFDSetConnectionStateChangedCB(int errorCode,
                                                              wifi_direct_connection_state_e state,
                                                              const char* macAddress,
                                                              void* user_data) {
    (void)macAddress;
    WithMonitor(user_data, "CAPI WFD::", [errorCode, state](CAPINetworkMonitor* monitor) {
        if (errorCode != WIFI_DIRECT_ERROR_NONE) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "CAPI WFD, error received in the callback !!");
            return;
        }
        switch (state) {
            case WIFI_DIRECT_CONNECTION_RSP:
                if (monitor->AddInterfaceforWFD() == kAdded)
                    monitor->Update();
                break;
            case WIFI_DIRECT_DISASSOCIATION_IND:
            case WIFI_DIRECT_DISCONNECTION_IND: {
                int result =
                    wifi_direct_foreach_connected_peers(WFDConnectedPeerInfoCallback, nullptr);
                if (result == kNoPeerConnected)
                    monitor->RemoveAndUpdate(kWifiDirectName);
                else
                    ZEL_LOGI(ZEL_CORE_NETWORK,
                             "CAPI WFD::WIFI_DIRECT_DISCONNECTION_IND state There is active WFD "
                             "connection !! retVal = %d",
                             result);
                break;
            }
            case WIFI_DIRECT_GROUP_DESTROYED:
                monitor->RemoveAndUpdate(kWifiDirectName);
                break;
            case WIFI_DIRECT_CONNECTION_REQ:
            case WIFI_DIRECT_CONNECTION_WPS_REQ:
            case WIFI_DIRECT_CONNECTION_IN_PROGRESS:
            case WIFI_DIRECT_DISCONNECTION_RSP:
            case WIFI_DIRECT_GROUP_CREATED:
            case WIFI_DIRECT_INVITATION_REQ:
            case WIFI_DIRECT_CONNECTION_WAIT:
                ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI WFD::state [%d]", static_cast<int>(state));
                break;
            case WIFI_DIRECT_CONNECTION_INTERNAL:
                break;
            default:
                ZEL_LOGW(ZEL_CORE_NETWORK, "CAPI WFD::Unknown state !!");
                break;
        }
    });
}

bool CAPINetworkMonitor::WFDConnectedPeerInfoCallback(wifi_direct_connected_peer_info_s* peer,
                                                      void* user_data) {
    (void)peer;
    (void)user_data;
    ZEL_LOGD(ZEL_CORE_NETWORK, "CAPI WFD::WFDConnectedPeerInfoCallback callback hit !!");
    return true;
}

}  // namespace network_layer
}  // namespace zel_upnp
