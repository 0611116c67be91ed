// Network-layer calls that only the framework core makes, through the same
// facade as the exported ones (and with the same "missing singleton" result),
// so that the core never reaches into the layer's objects.
#pragma once

namespace zel_upnp {
namespace network_layer {

// Opens (true) or closes (false) every UDP and multicast server, then sets
// the client's multicast flag. 0, or the first failure (1 when the layer is
// not initialised).
int ConfigureMulticastSupport(bool enable);

}  // namespace network_layer
}  // namespace zel_upnp
