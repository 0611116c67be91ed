// The two guards of the library. RunIoLoop is the one loop every library
// thread runs: its io_service until the service is
// stopped. A handler that throws (an application listener, a timer callback,
// a fault of our own) is logged under the thread's tag and the loop goes
// back to the service, so that an exception can neither end the process nor
// silently take a worker away.
#pragma once

#include <exception>

#include <boost/asio/io_service.hpp>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

inline void RunIoLoop(boost::asio::io_service& io_service, const char* tag) {
    for (;;) {
        try {
            io_service.run();
            return;
        } catch (const std::exception& e) {
            ZEL_LOGE(tag, "handler failed: %s", e.what());
        } catch (...) {
            ZEL_LOGE(tag, "handler failed with an unknown exception");
        }
    }
}

// The handler of an exported function's function-try-block: logs the
// exception in flight under tag with the function's own name and returns
// fallback, so that nothing thrown below reaches the application.
inline int ResultOfEscapedException(const char* tag, const char* function, int fallback) {
    try {
        throw;
    } catch (const std::exception& e) {
        ZEL_LOGE(tag, "exception in %s: %s", function, e.what());
    } catch (...) {
        ZEL_LOGE(tag, "Unknown Exception in %s", function);
    }
    return fallback;
}

}  // namespace utils
}  // namespace zel_upnp
