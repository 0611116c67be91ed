#include "network_layer/src/networkmonitor.h"

#include <new>

#include <boost/thread/lock_guard.hpp>

#include "network_layer/src/basic_network_monitor.h"
#include "network_layer/src/capi_network_monitor.h"
#include "network_layer/src/networkinterface.h"
#if defined(ZEL_PLATFORM_GENERIC)
#include "zel_platform_sim.h"
#endif

namespace zel_upnp {
namespace network_layer {

void NetworkMonitor::SetEnabled(bool on) {
    boost::lock_guard<boost::recursive_mutex> lock(hand_over_mutex_);
    enabled = on;
}

bool NetworkMonitor::HandOver(NetworkInterface* owner,
                              const boost::function<std::vector<NetInfo>()>& read) {
    boost::lock_guard<boost::recursive_mutex> lock(hand_over_mutex_);
    if (!enabled) {
        owed_ = true;
        return false;
    }
    std::vector<NetInfo> list = read();
    if (owner != nullptr)
        owner->Update(list);
    return true;
}

NetworkMonitor* CreatePlatformNetworkMonitor(NetworkInterface* owner) {
#if defined(ZEL_PLATFORM_GENERIC)
    // The simulated device services stand in for the device's when asked
    // to; otherwise the kernel is the source of truth.
    if (zel_platform_sim_service_monitor_selected() == 0)
        return new (std::nothrow) BasicNetworkMonitor(owner);
#endif
    return new (std::nothrow) CAPINetworkMonitor(owner);
}

}  // namespace network_layer
}  // namespace zel_upnp
