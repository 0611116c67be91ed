// Logging macros of the library. Every message carries the prefix
// "file: function(line) > " and goes to the platform log call on the
// library's log buffer. A message below the platform threshold costs one
// call and one compare: neither the format nor its arguments are formatted.
#pragma once

#include "zel_platform_log.h"

// Module tags.
#define ZEL_CORE_FRAMEWORK_CONTROLLER "ZEL_CORE_FRAMEWORK_CONTROLLER"
#define ZEL_CORE_NETWORK "ZEL_CORE_NETWORK"
#define ZEL_CORE_UTILS "ZEL_CORE_UTILS"
#define ZEL_CORE_CDDISCOVERY "ZEL_CORE_CDDISCOVERY"
#define ZEL_CORE_CDCONTROL "ZEL_CORE_CDCONTROL"
#define ZEL_CORE_ACL "ZEL_CORE_ACL"
#define ZEL_CORE_STREAMING "ZEL_CORE_STREAMING"
#define ZEL_CORE_MRCP "ZEL_CORE_MRCP"

namespace zel_upnp {
namespace detail {

// Name of a source file without its directories, evaluated at compile time
// for __FILE__.
constexpr const char* LogFileName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/')
            name = p + 1;
    }
    return name;
}

}  // namespace detail
}  // namespace zel_upnp

#define ZEL_LOG(prio, tag, fmt, ...)                                                    \
    do {                                                                                \
        if ((prio) >= zel_platform_log_threshold()) {                                   \
            __dlog_print(ZEL_LOG_BUFFER, (prio), (tag), "%s: %s(%d) > " fmt,            \
                         ::zel_upnp::detail::LogFileName(__FILE__), __func__, __LINE__, \
                         ##__VA_ARGS__);                                                \
        }                                                                               \
    } while (0)

#define ZEL_LOGD(tag, fmt, ...) ZEL_LOG(ZEL_LOG_PRIO_DEBUG, tag, fmt, ##__VA_ARGS__)
#define ZEL_LOGI(tag, fmt, ...) ZEL_LOG(ZEL_LOG_PRIO_INFO, tag, fmt, ##__VA_ARGS__)
#define ZEL_LOGW(tag, fmt, ...) ZEL_LOG(ZEL_LOG_PRIO_WARN, tag, fmt, ##__VA_ARGS__)
#define ZEL_LOGE(tag, fmt, ...) ZEL_LOG(ZEL_LOG_PRIO_ERROR, tag, fmt, ##__VA_ARGS__)
