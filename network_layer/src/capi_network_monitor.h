// The monitor that follows the device platform's connection-manager, Wi-Fi
// and Wi-Fi Direct services. It reads their state at start, registers for
// their change callbacks, keeps its own list of up interfaces under the
// fixed names "eth0", "wlan0" and "p2p0", and hands the complete list to the
// registry after every change.
//
// Threads: platform callbacks arrive on the platform's callback thread.
// Start, Stop, QueryUpdate and every callback are serialised by one
// process-wide monitor lock; the interface list has a lock of its own, never
// held while the registry runs. The registry's update (and through it the
// server manager's reaction) runs on the thread of the callback. A callback
// acts only when the key it carries is that of a run that has not stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/networkmonitor.h"
#include "zel_platform_services.h"

namespace zel_upnp {
namespace network_layer {

class NetworkInterface;

class CAPINetworkMonitor : public NetworkMonitor {
  public:
    explicit CAPINetworkMonitor(NetworkInterface* owner);
    ~CAPINetworkMonitor() override;

    bool Start() override;
    int Stop() override;
    void Update() override;
    void ClearInterfaceList() override;
    void QueryUpdate() override;

    // Copy of the monitor's own list.
    std::vector<NetInfo> Interfaces();

    // What the platform callbacks of the current run carry as user data: a
    // key of this run, never reused (null before Start and after Stop).
    void* CallbackData() const;

    // Platform callbacks; user_data is CallbackData() of a run. Public so
    // that the platform (and a test standing in for it) can reach them.
    static void HandleTypeChangedCallback(connection_type_e type, void* user_data);
    static void HandleIPChangedCallback(const char* ipv4Address, const char* ipv6Address,
                                        void* user_data);
    static void HandleEthernetProfileStateCallback(connection_profile_state_e state,
                                                   void* user_data);
    static void HandleWiFiConnectionStateCallbackCB(wifi_connection_state_e state, wifi_ap_h ap,
                                                    void* user_data);
    static void HandleWiFiDeviceStateCallback(wifi_device_state_e state, void* user_data);
    static void HandleWFDSetConnectionStateChangedCB(int errorCode,
                                                     wifi_direct_connection_state_e state,
                                                     const char* macAddress, void* user_data);
    static bool WFDConnectedPeerInfoCallback(wifi_direct_connected_peer_info_s* peer,
                                             void* user_data);

    static const char kLanName[];
    static const char kWifiName[];
    static const char kWifiDirectName[];

  private:
    // Results of the Add* steps.
    static const int kAdded = 0;
    static const int kPresent = 1;

    int CapiLANInitialize();
    int CapiWifiInitialize();
    int CapiWFDInitialize();
    // kAdded, kPresent, or a negative platform error / -1 when refused.
    int AddInterfaceforLAN(connection_profile_h profile);
    int AddInterfaceforWifi();
    int AddInterfaceforWFD();
    // True when an entry of that name and address exists; an entry of that
    // name with another address is erased first.
    bool CheckForIfcPresence(const NetInfo& info);
    // Logs the platform's interface name, reads the MAC, adds the record.
    int AddServiceInterface(const char* name, const std::string& address, const std::string& mask,
                            int (*getName)(char**), int (*getMac)(char**),
                            const char* addingFormat);
    // Appends info unless present; kAdded or kPresent.
    int AddIfAbsent(const NetInfo& info, const char* addingFormat);
    // 0 when an entry of that name was erased, 1 otherwise.
    int RemoveInterface(const std::string& name);
    void RemoveAndUpdate(const std::string& name);
    void StopLAN();
    // Drops this monitor's key from the running monitors; under the monitor
    // lock.
    void Unregister();

    NetworkInterface* const owner_;
    std::vector<NetInfo> interfaces_;
    connection_profile_h ethernet_profile_;
    connection_h connection_;
    bool lan_initialized_;
    const int wfd_retry_delay_ms_;
    // Key of the current run; written under the monitor lock.
    std::atomic<std::uintptr_t> key_;
};

}  // namespace network_layer
}  // namespace zel_upnp
