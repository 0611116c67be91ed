// The boundary of the exported network-layer functions: nothing thrown below
// them reaches the application.
#pragma once

#include <exception>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

// Runs fn and returns its result; an escaping exception is logged and
// becomes fallback.
template <typename Result, typename Fn>
Result Guarded(Result fallback, Fn fn) {
    try {
        return fn();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception");
    }
    return fallback;
}

// The same for calls without a result.
template <typename Fn>
void GuardedVoid(Fn fn) {
    Guarded(0, [&fn] {
        fn();
        return 0;
    });
}

}  // namespace network_layer
}  // namespace zel_upnp
