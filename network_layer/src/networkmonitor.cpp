#include "network_layer/src/networkmonitor.h"

#include <new>

#include "network_layer/src/basic_network_monitor.h"
#include "network_layer/src/capi_network_monitor.h"
#if defined(ZEL_PLATFORM_GENERIC)
#include "zel_platform_sim.h"
#endif

namespace zel_upnp {
namespace network_layer {

NetworkMonitor* CreatePlatformNetworkMonitor(NetworkInterface* owner) {
#if defined(ZEL_PLATFORM_GENERIC)
    // The simulated device services stand in for the device's when asked
    // to; otherwise the kernel is the source of truth.
    if (zel_sim_service_monitor_selected() == 0)
        return new (std::nothrow) BasicNetworkMonitor(owner);
#endif
    return new (std::nothrow) CAPINetworkMonitor(owner);
}

}  // namespace network_layer
}  // namespace zel_upnp
