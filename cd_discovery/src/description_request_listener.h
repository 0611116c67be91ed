// The TCP request listener that serves every device's description, service
// descriptions and icons. One instance serves all devices; each device's
// paths are registered with it at registration.
#pragma once

#include <zel_upnp/network_layer.h>

#include "cd_discovery/src/device_info_list.h"

namespace zel_upnp {
namespace cd_discovery {

class DescriptionRequestListener : public network_layer::TCPRequestListener {
  public:
    // On the "ZelTcpIo" thread that read the request, possibly several at
    // once; answers every request exactly once on session, from memory, at
    // once or (a description whose access decision waits for the
    // application's listener) from "ZelTcpAsk".
    int OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request, void* session) override;

    // The one instance, created on first use; null when out of memory.
    static boost::shared_ptr<DescriptionRequestListener> Instance();
    static void Destroy();
};

// Routes GETs of the paths device serves (its description URL, SCPD URLs
// and icon URLs) to the one listener. 0 and id, or the dispatcher's code.
int RegisterDevicePaths(const DeviceInfo& device, int& id);

}  // namespace cd_discovery
}  // namespace zel_upnp
