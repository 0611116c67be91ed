// The entry points of the device families that the framework core drives:
// discovery (role initialisation, device stop and start around a suspend)
// and control with eventing. The core calls them only through this table.
//
// TO BE WIRED: the discovery and control families fill the table when they
// are added to the library (cd_discovery::Initialize, Terminate, StartDevice,
// StopDevice; cd_control::InitializeCDControl, TerminateCDControl,
// CleanServiceSubscribers). Until then every entry is null, and the core logs
// the call as not present and goes on as if it had succeeded. Tests install
// recording entries to check the order of the lifecycle calls.
#pragma once

#include <string>

namespace zel_upnp {
namespace framework_core {

struct DeviceSubsystemEntryPoints {
    int (*discovery_initialize)() = nullptr;
    int (*discovery_terminate)() = nullptr;
    int (*discovery_start_device)(const std::string& udn) = nullptr;
    int (*discovery_stop_device)(const std::string& udn) = nullptr;
    int (*control_initialize)() = nullptr;
    int (*control_terminate)() = nullptr;
    int (*control_clean_subscribers)() = nullptr;
};

// Replaces the whole table; a default-constructed table means "no device
// family present". Thread-safe; takes effect for calls that start after it
// returns.
void SetDeviceSubsystemEntryPoints(const DeviceSubsystemEntryPoints& entry_points);
DeviceSubsystemEntryPoints GetDeviceSubsystemEntryPoints();

}  // namespace framework_core
}  // namespace zel_upnp
