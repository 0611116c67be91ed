/* Platform log call. On a device the platform's logging library provides
 * __dlog_print; the generic platform (platform/generic) writes to stderr and
 * lets tests capture every message. */
#ifndef ZEL_PLATFORM_LOG_H
#define ZEL_PLATFORM_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Priorities understood by __dlog_print. */
#define ZEL_LOG_PRIO_DEBUG 3
#define ZEL_LOG_PRIO_INFO 4
#define ZEL_LOG_PRIO_WARN 5
#define ZEL_LOG_PRIO_ERROR 6
/* Above every real priority: nothing is logged. */
#define ZEL_LOG_PRIO_NONE 7

/* The log buffer every library message goes to. */
#define ZEL_LOG_BUFFER 2

__attribute__((visibility("default"), format(printf, 4, 5))) int __dlog_print(int log_id, int prio,
                                                                              const char* tag,
                                                                              const char* fmt, ...);

/* Lowest priority that currently reaches any output. The library's log
 * macros test it before evaluating a format so that filtered messages cost
 * one load and one compare. A platform without such a notion returns
 * ZEL_LOG_PRIO_DEBUG and filters inside __dlog_print. */
__attribute__((visibility("default"))) int zel_platform_log_threshold(void);

#ifdef __cplusplus
}
#endif

#endif
