// zel_upnp::framework_core: what an application calls first and last. The
// library's lifecycle, its UPnP role, server configuration, the choice of
// network interfaces, and suspend and resume of one device.
#ifndef ZEL_UPNP_FRAMEWORK_CORE_H
#define ZEL_UPNP_FRAMEWORK_CORE_H

#include <string>

#pragma GCC visibility push(default)

namespace zel_upnp {
namespace framework_core {

// @@FRAMEWORK_CORE@@

}  // namespace framework_core
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
