/* Hooks of the simulated platform, for tests and for applications that want
 * the library's log lines. Not present when the library is built against the
 * real device platform (ZEL_PLATFORM=device). */
#ifndef ZEL_PLATFORM_HOOKS_H
#define ZEL_PLATFORM_HOOKS_H

#include "zel_platform_log.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives every message at or above the sink threshold, fully formatted,
 * on the thread that logged it. Must not log itself. */
typedef void (*zel_platform_log_sink_fn)(int prio, const char* tag, const char* text, void* user);

/* Installs (or, with a null sink, removes) the capture sink. While a sink is
 * installed every priority down to debug is formatted and handed to it;
 * stderr keeps its own threshold. Safe to call from any thread; a message
 * being delivered when the sink is replaced finishes on the old one. */
__attribute__((visibility("default"))) void zel_platform_set_log_sink(zel_platform_log_sink_fn sink,
                                                                      void* user);

/* Overrides the stderr threshold read from ZEL_LOG_LEVEL (debug, info,
 * warn, error, none). */
__attribute__((visibility("default"))) void zel_platform_set_log_threshold(int prio);

#ifdef __cplusplus
}
#endif

#endif
