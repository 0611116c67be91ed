// The entry points of the device families that the framework core drives:
// discovery (role initialisation, device stop and start around a suspend)
// and control with eventing. The core calls them only through this table.
//
// Every entry is filled in from the start: discovery (cd_discovery::
// Initialize, Terminate, StartDevice, StopDevice) and control with eventing
// (cd_control::InitializeCDControl, TerminateCDControl,
// CleanServiceSubscribers). A null entry is logged as not present and counts
// as success. Tests install recording entries to check the order of the
// lifecycle calls.
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
// family present" (the library starts with the discovery entries filled). Thread-safe; takes effect
// for calls that start after it returns.
void SetDeviceSubsystemEntryPoints(const DeviceSubsystemEntryPoints& entry_points);
DeviceSubsystemEntryPoints GetDeviceSubsystemEntryPoints();

}  // namespace framework_core
}  // namespace zel_upnp
