// Built when the library runs on the real device platform, which provides
// __dlog_print itself and filters by priority inside it.

#include "zel_platform_log.h"

extern "C" int zel_platform_log_threshold(void) {
    return ZEL_LOG_PRIO_DEBUG;
}
