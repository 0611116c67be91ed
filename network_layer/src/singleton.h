// Creation of the network layer's process-wide objects. Each lives behind an
// atomic pointer that its accessors read without a lock, and is created on
// first use under a static creation mutex that its destroy function takes
// too.
#pragma once

#include <atomic>
#include <exception>
#include <new>

#include <boost/thread/lock_guard.hpp>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

// Returns the object in slot, creating it with make (which allocates without
// throwing) when there is none: checked before and after taking creation, so
// that two first callers create one object. Null when the object cannot be
// created (no memory, or its construction threw); the next call tries again.
template <typename T, typename Mutex, typename Make>
T* CreateOnFirstUse(std::atomic<T*>& slot, Mutex& creation, const char* name, Make make) {
    T* instance = slot.load(std::memory_order_acquire);
    if (instance != nullptr)
        return instance;
    boost::lock_guard<Mutex> lock(creation);
    instance = slot.load(std::memory_order_relaxed);
    if (instance != nullptr)
        return instance;
    try {
        instance = make();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "%s creation failed: %s", name, e.what());
        instance = nullptr;
    }
    slot.store(instance, std::memory_order_release);
    return instance;
}

}  // namespace network_layer
}  // namespace zel_upnp
