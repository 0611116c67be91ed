// zel_upnp::network_layer: the servers, the request and response dispatch,
// the outgoing client and the registry of network interfaces.
#ifndef ZEL_UPNP_NETWORK_LAYER_H
#define ZEL_UPNP_NETWORK_LAYER_H

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/utils.h>

#pragma GCC visibility push(default)

namespace zel_upnp {
namespace network_layer {

// ---------------------------------------------------------------------------
// Result codes of the network layer.
// ---------------------------------------------------------------------------
// @@RESULT_CODES@@

// ---------------------------------------------------------------------------
// Network interfaces and NIC events.
// ---------------------------------------------------------------------------
// @@INTERFACES@@

// ---------------------------------------------------------------------------
// Request and response listeners.
// ---------------------------------------------------------------------------
// @@LISTENERS@@

// ---------------------------------------------------------------------------
// Servers and their configuration.
// ---------------------------------------------------------------------------
// @@SERVERS@@

// ---------------------------------------------------------------------------
// Outgoing client.
// ---------------------------------------------------------------------------
// @@CLIENT@@

}  // namespace network_layer
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
