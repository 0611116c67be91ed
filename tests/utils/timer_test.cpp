#include "utils/src/timer/timer_service.h"

#include <zel_upnp/utils.h>

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/peers.h"

namespace {

using zel_upnp::utils::CreateTimerService;
using zel_upnp::utils::DestroyTimerService;
using zel_upnp::utils::PrepareThreadName;
using zel_upnp::utils::Timer;
using zel_upnp::utils::UTILS_SUCCESS;

using zel_test::kTestWait;
using zel_test::WaitUntil;
// Long enough never to fire during a test.
constexpr int kNeverMs = 600000;

// What one Record callback saw. The fixture destroys the service (joining
// its thread) before the next test clears the list.
struct Firing {
    int timerId;
    void* userData;
    std::thread::id thread;
    std::string threadName;
};
std::mutex g_firingsMutex;
std::vector<Firing> g_firings;
int g_tags[16];

void* Tag(int index) {
    return &g_tags[index];
}

void Record(int timerId, void* userData) {
    char name[16] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    std::lock_guard<std::mutex> lock(g_firingsMutex);
    g_firings.push_back(Firing{timerId, userData, std::this_thread::get_id(), name});
}

std::vector<Firing> Firings() {
    std::lock_guard<std::mutex> lock(g_firingsMutex);
    return g_firings;
}

bool WaitForCount(size_t n) {
    return WaitUntil([n] { return Firings().size() >= n; });
}

// Runs fn as a timer callback and waits for it to return. While it runs the
// timer thread is busy, so no other timer can fire between its steps.
void RunAsCallback(const std::function<void()>& fn) {
    struct Job {
        const std::function<void()>& fn;
        std::atomic<bool> done{false};
    } job{fn};
    Timer::Start(
        0,
        [](int, void* userData) {
            auto* j = static_cast<Job*>(userData);
            j->fn();
            j->done = true;
        },
        &job);
    ASSERT_TRUE(WaitUntil([&] { return job.done.load(); }));
}

// Holds a callback on the timer thread (with the timer lock) until opened.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;

    void EnterAndWait() {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, kTestWait, [&] { return entered; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
};

// Runs inside on the timer thread while another thread destroys the
// service; the destroy must finish without deadlock. Reports whether the
// callback had returned by the time the destroy did.
void DestroyWhileCallbackRuns(const std::function<void()>& inside, bool* returnedBeforeDestroy) {
    struct Job {
        Gate gate;
        const std::function<void()>& inside;
        std::atomic<bool> returned{false};
    } job{{}, inside};
    Timer::Start(
        0,
        [](int, void* userData) {
            auto* j = static_cast<Job*>(userData);
            j->gate.EnterAndWait();
            j->inside();
            j->returned = true;
        },
        &job);
    ASSERT_TRUE(job.gate.WaitEntered());
    zel_test::LogCapture capture;
    auto destroyed = std::async(std::launch::async, [] { DestroyTimerService(); });
    // Once the shutdown has begun it has to wait for the callback.
    const bool began = WaitUntil([&] { return capture.Contains("Timer::Shutdown"); });
    job.gate.Open();
    ASSERT_TRUE(began);
    ASSERT_EQ(destroyed.wait_for(kTestWait), std::future_status::ready) << "destroy deadlocked";
    *returnedBeforeDestroy = job.returned.load();
    ASSERT_TRUE(WaitUntil([&] { return job.returned.load(); }));
}

// Each test starts with a service made on the test's own thread and leaves
// none behind.
class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DestroyTimerService();
        {
            std::lock_guard<std::mutex> lock(g_firingsMutex);
            g_firings.clear();
        }
        ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    }
    void TearDown() override { DestroyTimerService(); }
};

TEST_F(TimerTest, IdsAndLifecycle) {
    EXPECT_EQ(Timer::Start(kNeverMs, Record, Tag(0)), 1);
    // A second create keeps the running service.
    ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    EXPECT_EQ(Timer::Start(kNeverMs, Record, Tag(0)), 2);
    Timer::Cancel(1, nullptr);
    // Ids are not reused while the service lives, cancelled or not.
    EXPECT_EQ(Timer::Start(kNeverMs, Record, Tag(0)), 3);

    // Destroying with live timers calls none of them (the thread is joined).
    DestroyTimerService();
    EXPECT_TRUE(Firings().empty());
    ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    EXPECT_EQ(Timer::Start(kNeverMs, Record, Tag(0)), 1);

    // Destroy and Cancel without a service do nothing.
    DestroyTimerService();
    DestroyTimerService();
    void* out = &out;
    Timer::Cancel(1, &out);
    EXPECT_EQ(out, &out);
    // Without an explicit create, the first Start brings the service up.
    EXPECT_EQ(Timer::Start(0, Record, Tag(1)), 1);
    ASSERT_TRUE(WaitForCount(1));
    EXPECT_EQ(Firings()[0].timerId, 1);
    EXPECT_EQ(Firings()[0].userData, Tag(1));
}

TEST_F(TimerTest, ZeroAndNegativeTimeoutsFireOnceOnTheNamedTimerThread) {
    const int id = Timer::Start(0, Record, Tag(3));
    ASSERT_TRUE(WaitForCount(1));
    const Firing f = Firings()[0];
    EXPECT_EQ(f.timerId, id);
    EXPECT_EQ(f.userData, Tag(3));
    EXPECT_NE(f.thread, std::this_thread::get_id());
    // Named from the thread that created the service, without an index.
    EXPECT_EQ(f.threadName, PrepareThreadName("ZelTimer"));

    // A later timer proves the first one did not fire twice in between.
    Timer::Start(-100, Record, Tag(4));
    ASSERT_TRUE(WaitForCount(2));
    const std::vector<Firing> all = Firings();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].userData, Tag(4));
    EXPECT_EQ(all[1].thread, f.thread);
}

// Inside a callback the timer thread is busy, so a 0 ms timer started there
// can only have run by the time Start returns if Start ran it itself.
TEST_F(TimerTest, ZeroTimeoutNeverRunsInsideStart) {
    int inner = 0;
    bool ranInsideStart = true;
    RunAsCallback([&] {
        inner = Timer::Start(0, Record, Tag(0));
        ranInsideStart = !Firings().empty();
    });
    EXPECT_FALSE(ranInsideStart);
    EXPECT_EQ(inner, 2);
    EXPECT_TRUE(WaitForCount(1));
}

TEST_F(TimerTest, CallbacksRunInExpiryOrder) {
    // Armed from a callback, so none can fire before all are armed; the
    // 200 ms gaps absorb a stalled thread on a loaded machine.
    const int delays[] = {800, 200, 600, 0, 400};
    RunAsCallback([&] {
        for (int i = 0; i < 5; ++i)
            Timer::Start(delays[i], Record, Tag(i));
    });
    ASSERT_TRUE(WaitForCount(5));
    std::vector<void*> order;
    for (const Firing& f : Firings())
        order.push_back(f.userData);
    EXPECT_EQ(order, (std::vector<void*>{Tag(3), Tag(1), Tag(4), Tag(2), Tag(0)}));
}

TEST_F(TimerTest, NullCallbackIsDroppedAndTheThreadGoesOn) {
    Timer::Start(0, nullptr, nullptr);
    Timer::Start(1, Record, Tag(0));
    EXPECT_TRUE(WaitForCount(1));
}

TEST_F(TimerTest, CancelReportsUserDataAndSuppressesCallback) {
    void* sentinel = &sentinel;
    void* out = nullptr;
    void* again = sentinel;
    RunAsCallback([&] {
        const int cancelled = Timer::Start(0, Record, Tag(0));
        Timer::Cancel(cancelled, &out);
        // A second cancel of the same id leaves the output alone.
        Timer::Cancel(cancelled, &again);
        // A null output pointer still cancels.
        Timer::Cancel(Timer::Start(0, Record, Tag(1)), nullptr);
        // Due after the cancelled ones: once it has run, they did not.
        Timer::Start(1, Record, Tag(2));
    });
    EXPECT_EQ(out, Tag(0));
    EXPECT_EQ(again, sentinel);
    ASSERT_TRUE(WaitForCount(1));
    ASSERT_EQ(Firings().size(), 1u);
    EXPECT_EQ(Firings()[0].userData, Tag(2));
}

TEST_F(TimerTest, CancelOfFiredOrUnknownIdChangesNothing) {
    const int fired = Timer::Start(0, Record, Tag(0));
    ASSERT_TRUE(WaitForCount(1));
    void* sentinel = &sentinel;
    void* out = sentinel;
    for (int id : {fired, 12345, 0, -1})
        Timer::Cancel(id, &out);
    EXPECT_EQ(out, sentinel);
    // The live timer beside them is untouched.
    const int live = Timer::Start(kNeverMs, Record, Tag(1));
    Timer::Cancel(live + 1, &out);
    Timer::Cancel(live, &out);
    EXPECT_EQ(out, Tag(1));
}

// A callback may start the next period (getting a new id) or cancel another
// timer; neither deadlocks on the lock the callback runs under.
constexpr size_t kPeriods = 20;

void NextPeriod(int timerId, void* userData) {
    Record(timerId, userData);
    if (Firings().size() < kPeriods)
        Timer::Start(1, NextPeriod, userData);
}

TEST_F(TimerTest, CallbacksMayStartAndCancelTimers) {
    Timer::Start(1, NextPeriod, Tag(0));
    ASSERT_TRUE(WaitForCount(kPeriods));
    std::vector<Firing> periods = Firings();
    ASSERT_EQ(periods.size(), kPeriods);
    for (size_t i = 0; i < kPeriods; ++i)
        EXPECT_EQ(periods[i].timerId, static_cast<int>(i + 1));

    // The victim's wait is armed on this thread, and is due long after the
    // callback that cancels it.
    const int victim = Timer::Start(300, Record, Tag(0));
    void* reported = nullptr;
    RunAsCallback([&] { Timer::Cancel(victim, &reported); });
    EXPECT_EQ(reported, Tag(0));
    Timer::Start(400, Record, Tag(1));
    ASSERT_TRUE(WaitForCount(kPeriods + 1));
    ASSERT_EQ(Firings().size(), kPeriods + 1);
    EXPECT_EQ(Firings().back().userData, Tag(1));
}

// The running callback still starts timers (already due when it returns) and
// cancels one; none of them may ever run.
TEST_F(TimerTest, DestroyWaitsForRunningCallbackWithoutDeadlock) {
    int startedInside = 0;
    bool returnedFirst = false;
    DestroyWhileCallbackRuns(
        [&] {
            for (int i = 0; i < 4; ++i)
                startedInside += Timer::Start(0, Record, Tag(i)) > 0;
            Timer::Cancel(1000, nullptr);
        },
        &returnedFirst);
    EXPECT_TRUE(returnedFirst);
    EXPECT_EQ(startedInside, 4);
    EXPECT_TRUE(Firings().empty());
    ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    EXPECT_EQ(Timer::Start(kNeverMs, Record, Tag(0)), 1);
}

TEST_F(TimerTest, DestroyFromInsideACallback) {
    RunAsCallback([] {
        Timer::Start(0, Record, Tag(0));
        DestroyTimerService();
    });
    // A new service numbers from 1 and runs on a new thread.
    EXPECT_EQ(Timer::Start(0, Record, Tag(1)), 1);
    ASSERT_TRUE(WaitForCount(1));
    EXPECT_EQ(Firings()[0].userData, Tag(1));

    bool returnedFirst = false;
    DestroyWhileCallbackRuns([] { DestroyTimerService(); }, &returnedFirst);
    EXPECT_EQ(Timer::Start(0, Record, Tag(2)), 1);
    EXPECT_TRUE(WaitForCount(2));
}

// Every timer ends exactly one way: its callback ran, or Cancel handed back
// its user pointer.
TEST_F(TimerTest, CancelRacingExpiryFromManyThreads) {
    struct Outcome {
        std::atomic<int> fired{0};
        std::atomic<int> cancelled{0};
    };
    constexpr int kThreads = 4;
    constexpr int kPerThread = 400;
    std::vector<Outcome> outcomes(kThreads * kPerThread);
    std::vector<std::vector<int>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t + 1);
            for (int i = 0; i < kPerThread; ++i) {
                Outcome& o = outcomes[t * kPerThread + i];
                const int id = Timer::Start(
                    static_cast<int>(rng() % 3),
                    [](int, void* userData) { static_cast<Outcome*>(userData)->fired++; }, &o);
                ids[t].push_back(id);
                if (rng() % 4 == 0)
                    continue;  // left to fire
                const int spins = static_cast<int>(rng() % 20000);
                for (volatile int s = 0; s < spins; ++s) {
                }
                void* out = nullptr;
                Timer::Cancel(id, &out);
                if (out != nullptr) {
                    EXPECT_EQ(out, &o);
                    o.cancelled++;
                }
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    ASSERT_TRUE(WaitUntil([&] {
        for (const Outcome& o : outcomes) {
            if (o.fired.load() + o.cancelled.load() == 0)
                return false;
        }
        return true;
    }));
    int fired = 0;
    int cancelled = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        EXPECT_EQ(outcomes[i].fired.load() + outcomes[i].cancelled.load(), 1) << "timer " << i;
        fired += outcomes[i].fired.load();
        cancelled += outcomes[i].cancelled.load();
    }
    std::set<int> unique;
    for (const std::vector<int>& perThread : ids)
        unique.insert(perThread.begin(), perThread.end());
    EXPECT_EQ(unique.size(), outcomes.size());
    EXPECT_EQ(*unique.begin(), 1);
    EXPECT_EQ(*unique.rbegin(), static_cast<int>(outcomes.size()));
    // Both ways must have happened for the race to have been exercised.
    EXPECT_GT(fired, 0);
    EXPECT_GT(cancelled, 0);
}

TEST_F(TimerTest, ConcurrentDestroyAndStartLeaveNoStrayCallbacks) {
    std::atomic<bool> stop{false};
    std::atomic<int> fired{0};
    std::thread starter([&] {
        while (!stop.load()) {
            Timer::Start(
                0, [](int, void* n) { static_cast<std::atomic<int>*>(n)->fetch_add(1); }, &fired);
        }
    });
    for (int i = 0; i < 20; ++i) {
        DestroyTimerService();
        CreateTimerService();
    }
    stop = true;
    starter.join();
    // The services came and went cleanly: a new one numbers from 1.
    DestroyTimerService();
    ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    EXPECT_EQ(Timer::Start(kNeverMs, Record, Tag(0)), 1);
}

}  // namespace
