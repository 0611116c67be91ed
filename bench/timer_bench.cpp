// Cost of the timer service: Start and Cancel of one timer beside n live
// ones, the same pair with a pause between the two calls (as an action's
// time-out is started and cancelled by its answer), and the delay from Start
// of a 0 ms timer to its callback on the timer thread.
//
// The Start/Cancel cases measure the CPU of the whole process, the timer
// thread included, and report in "timer_wakeups" the voluntary context
// switches of the "ZelTimer" thread per pair: each is a hand-off that on a
// loaded machine waits for a CPU. The /iterations:10000 cases give the
// count over exactly 10,000 pairs.
#include <benchmark/benchmark.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "utils/src/timer/timer_service.h"

namespace {

using zel_upnp::utils::CreateTimerService;
using zel_upnp::utils::DestroyTimerService;
using zel_upnp::utils::Timer;

// Live timers that never fire during a run.
constexpr int kFarFutureMs = 3600 * 1000;
// An action's time-out, started before its handler runs.
constexpr int kActionTimeoutMs = 30 * 1000;
// How long the paced case waits between Start and Cancel: long enough for a
// woken timer thread to run and block again before the next pair.
constexpr std::chrono::microseconds kAnswerDelay(100);

void Ignore(int, void*) {}

// The task id of this process's timer thread (named "ZelTimer" after a
// prefix from the creating thread), or an empty string when there is none.
std::string TimerThreadTask() {
    std::string found;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return found;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name.find("ZelTimer") != std::string::npos) {
            found = entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

// voluntary_ctxt_switches of one task of this process; 0 when unreadable.
long VoluntarySwitches(const std::string& task) {
    std::ifstream status("/proc/self/task/" + task + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, key.size(), key) == 0)
            return std::stol(line.substr(key.size()));
    }
    return 0;
}

// A fresh service with `live` timers pending that never fire in the run.
std::string FreshServiceWithLiveTimers(int live) {
    DestroyTimerService();
    CreateTimerService();
    for (int i = 0; i < live; ++i)
        Timer::Start(kFarFutureMs, Ignore, nullptr);
    // Let the timer thread settle into its wait before counting.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return TimerThreadTask();
}

void ReportWakeups(benchmark::State& state, const std::string& task, long before) {
    const long after = task.empty() ? before : VoluntarySwitches(task);
    state.counters["timer_wakeups"] =
        benchmark::Counter(static_cast<double>(after - before), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}

void BM_StartCancel(benchmark::State& state) {
    const std::string task = FreshServiceWithLiveTimers(static_cast<int>(state.range(0)));
    const long before = task.empty() ? 0 : VoluntarySwitches(task);
    for (auto _ : state) {
        const int id = Timer::Start(kActionTimeoutMs, Ignore, nullptr);
        void* out = nullptr;
        Timer::Cancel(id, &out);
        benchmark::DoNotOptimize(out);
    }
    ReportWakeups(state, task, before);
    DestroyTimerService();
}
BENCHMARK(BM_StartCancel)->Arg(0)->Arg(1)->Arg(100)->Arg(1000)->Arg(10000)->MeasureProcessCPUTime();
BENCHMARK(BM_StartCancel)->Arg(0)->Arg(1)->Iterations(10000)->MeasureProcessCPUTime();

// Start, a pause, Cancel: the pattern of every answered action.
void BM_StartCancelPaced(benchmark::State& state) {
    const std::string task = FreshServiceWithLiveTimers(static_cast<int>(state.range(0)));
    const long before = task.empty() ? 0 : VoluntarySwitches(task);
    for (auto _ : state) {
        const int id = Timer::Start(kActionTimeoutMs, Ignore, nullptr);
        std::this_thread::sleep_for(kAnswerDelay);
        void* out = nullptr;
        Timer::Cancel(id, &out);
        benchmark::DoNotOptimize(out);
    }
    ReportWakeups(state, task, before);
    DestroyTimerService();
}
BENCHMARK(BM_StartCancelPaced)->Arg(0)->Arg(1)->Iterations(10000)->MeasureProcessCPUTime();

struct Signal {
    std::mutex mutex;
    std::condition_variable cv;
    bool fired = false;
};

void Wake(int, void* userData) {
    auto* s = static_cast<Signal*>(userData);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->fired = true;
    s->cv.notify_one();
}

void BM_ZeroTimeoutToCallback(benchmark::State& state) {
    FreshServiceWithLiveTimers(static_cast<int>(state.range(0)));
    Signal signal;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(signal.mutex);
            signal.fired = false;
        }
        Timer::Start(0, Wake, &signal);
        std::unique_lock<std::mutex> lock(signal.mutex);
        signal.cv.wait(lock, [&] { return signal.fired; });
    }
    state.SetItemsProcessed(state.iterations());
    DestroyTimerService();
}
BENCHMARK(BM_ZeroTimeoutToCallback)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
