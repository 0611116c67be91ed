// Cost of the timer service: Start and Cancel of one timer beside n live
// ones (the live list is searched linearly), and the delay from Start of a
// 0 ms timer to its callback on the timer thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "utils/src/timer/timer_service.h"

namespace {

using zel_upnp::utils::CreateTimerService;
using zel_upnp::utils::DestroyTimerService;
using zel_upnp::utils::Timer;

// Live timers that never fire during a run.
constexpr int kFarFutureMs = 3600 * 1000;

void Ignore(int, void*) {}

void BM_StartCancel(benchmark::State& state) {
    DestroyTimerService();
    CreateTimerService();
    const int live = static_cast<int>(state.range(0));
    for (int i = 0; i < live; ++i)
        Timer::Start(kFarFutureMs, Ignore, nullptr);
    for (auto _ : state) {
        const int id = Timer::Start(kFarFutureMs, Ignore, nullptr);
        void* out = nullptr;
        Timer::Cancel(id, &out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
    DestroyTimerService();
}
BENCHMARK(BM_StartCancel)->Arg(0)->Arg(100)->Arg(1000)->Arg(10000);

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
    DestroyTimerService();
    CreateTimerService();
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
BENCHMARK(BM_ZeroTimeoutToCallback)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
