// The UDP request listener that receives SSDP searches from the dispatch
// core (registered once by Initialize for the M-SEARCH pattern).
#pragma once

#include <zel_upnp/network_layer.h>

namespace zel_upnp {
namespace cd_discovery {

// The pattern every SSDP search matches.
extern const char kMSearchPattern[];

class DiscoveryRequestListener : public network_layer::UDPRequestListener {
  public:
    // On a "ZelUdpReq" worker; answers at once. Always returns 0.
    int OnUDPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request) override;
};

}  // namespace cd_discovery
}  // namespace zel_upnp
