// Simulated platform log service: one line per message on stderr
// ("time level tag message"), filtered by ZEL_LOG_LEVEL, plus a capture sink.

#include <pthread.h>
#include <strings.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "zel_platform_hooks.h"

namespace {

// A message longer than this is cut; the log is for people, not for data.
constexpr size_t kMaxLogLine = 4096;

int ThresholdFromEnvironment() {
    const char* level = std::getenv("ZEL_LOG_LEVEL");
    if (level == nullptr || *level == '\0')
        return ZEL_LOG_PRIO_WARN;
    if (strcasecmp(level, "debug") == 0)
        return ZEL_LOG_PRIO_DEBUG;
    if (strcasecmp(level, "info") == 0)
        return ZEL_LOG_PRIO_INFO;
    if (strcasecmp(level, "warn") == 0 || strcasecmp(level, "warning") == 0)
        return ZEL_LOG_PRIO_WARN;
    if (strcasecmp(level, "error") == 0)
        return ZEL_LOG_PRIO_ERROR;
    if (strcasecmp(level, "none") == 0)
        return ZEL_LOG_PRIO_NONE;
    return ZEL_LOG_PRIO_WARN;
}

struct LogState {
    std::atomic<int> stderr_threshold{ThresholdFromEnvironment()};
    std::atomic<bool> sink_installed{false};
    // Guards sink and user together; held while the sink runs so that a
    // sink being removed is never called afterwards.
    std::mutex sink_mutex;
    zel_platform_log_sink_fn sink = nullptr;
    void* user = nullptr;
};

LogState& State() {
    // Never destroyed: threads may log during static destruction.
    static LogState* state = new LogState;
    return *state;
}

const char* LevelName(int prio) {
    switch (prio) {
        case ZEL_LOG_PRIO_DEBUG:
            return "D";
        case ZEL_LOG_PRIO_INFO:
            return "I";
        case ZEL_LOG_PRIO_WARN:
            return "W";
        case ZEL_LOG_PRIO_ERROR:
            return "E";
        default:
            return prio > ZEL_LOG_PRIO_ERROR ? "F" : "V";
    }
}

}  // namespace

extern "C" int zel_platform_log_threshold(void) {
    LogState& s = State();
    if (s.sink_installed.load(std::memory_order_relaxed))
        return ZEL_LOG_PRIO_DEBUG;
    return s.stderr_threshold.load(std::memory_order_relaxed);
}

extern "C" void zel_platform_set_log_threshold(int prio) {
    State().stderr_threshold.store(prio, std::memory_order_relaxed);
}

extern "C" void zel_platform_set_log_sink(zel_platform_log_sink_fn sink, void* user) {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.sink_mutex);
    s.sink = sink;
    s.user = user;
    s.sink_installed.store(sink != nullptr, std::memory_order_relaxed);
}

extern "C" int __dlog_print(int log_id, int prio, const char* tag, const char* fmt, ...) {
    (void)log_id;
    LogState& s = State();
    const bool to_stderr = prio >= s.stderr_threshold.load(std::memory_order_relaxed);
    const bool to_sink = s.sink_installed.load(std::memory_order_relaxed);
    if (!to_stderr && !to_sink)
        return 0;
    if (fmt == nullptr)
        return -1;

    char text[kMaxLogLine];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    if (n < 0)
        return -1;
    if (tag == nullptr)
        tag = "";

    if (to_sink) {
        std::lock_guard<std::mutex> lock(s.sink_mutex);
        if (s.sink != nullptr)
            s.sink(prio, tag, text, s.user);
    }
    if (to_stderr) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        struct tm tm_utc;
        gmtime_r(&tv.tv_sec, &tm_utc);
        char stamp[32];
        strftime(stamp, sizeof(stamp), "%H:%M:%S", &tm_utc);
        // One fprintf per line keeps lines from different threads whole.
        std::fprintf(stderr, "%s.%03ld %s %s %s\n", stamp, static_cast<long>(tv.tv_usec / 1000),
                     LevelName(prio), tag, text);
    }
    return n;
}
