// The interface a network monitor offers the interface registry. A monitor
// watches the platform's interfaces, keeps its own list of those that are up,
// and hands the complete list to the registry (NetworkInterface::Update)
// after every change, on whatever thread noticed the change.
#pragma once

#include <atomic>

namespace zel_upnp {
namespace network_layer {

class NetworkInterface;

class NetworkMonitor {
  public:
    NetworkMonitor() : enabled(true) {}
    virtual ~NetworkMonitor() {}
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // True when monitoring runs (also when it already ran).
    virtual bool Start() = 0;
    // Releases every platform registration; no Update follows once it
    // returns. Returns 0.
    virtual int Stop() = 0;
    // Hands the monitor's current list to the registry.
    virtual void Update() = 0;
    // Forgets the monitor's own list, so that the next scan reports every
    // interface as new.
    virtual void ClearInterfaceList() = 0;
    // Rescans at once and updates the registry if anything changed.
    virtual void QueryUpdate() = 0;

    // While false, platform notifications change nothing. Flipped by the
    // application's thread, read on the platform's.
    std::atomic<bool> enabled;
};

// The monitor of this build's platform: on the device the one that follows
// its connection-manager, Wi-Fi and Wi-Fi Direct services; on a generic
// build the kernel monitor, or the services monitor over the simulated
// services when they are selected. Null when allocation fails. The
// registry's default monitor factory.
NetworkMonitor* CreatePlatformNetworkMonitor(NetworkInterface* owner);

}  // namespace network_layer
}  // namespace zel_upnp
