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

namespace {

using zel_upnp::utils::CreateTimerService;
using zel_upnp::utils::DestroyTimerService;
using zel_upnp::utils::PrepareThreadName;
using zel_upnp::utils::Timer;
using zel_upnp::utils::UTILS_SUCCESS;

constexpr std::chrono::seconds kDeadline(10);
// Long enough never to fire during a test.
constexpr int kNeverMs = 600000;

// Waits until pred holds or the deadline passes; true when it holds.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::steady_clock::duration deadline = kDeadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string OwnThreadName() {
    char buf[16] = {0};
    pthread_getname_np(pthread_self(), buf, sizeof(buf));
    return buf;
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

// What one callback saw.
struct Firing {
    int timerId;
    void* userData;
    std::thread::id thread;
    std::string threadName;
};

// Collects callbacks; the user pointer of a timer is the Recorder itself or a
// tag inside it.
class Recorder {
  public:
    static void Callback(int timerId, void* userData) {
        Recorder* self = Lookup(userData);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->firings_.push_back(
            Firing{timerId, userData, std::this_thread::get_id(), OwnThreadName()});
    }

    // A user pointer that leads back to this recorder and tells timers apart.
    void* Tag(int index) { return &tags_[index]; }
    int TagIndex(void* userData) const {
        return static_cast<int>(static_cast<const Slot*>(userData) - tags_);
    }

    std::vector<Firing> Firings() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return firings_;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return firings_.size();
    }
    bool WaitForCount(size_t n) {
        return WaitUntil([&] { return Count() >= n; });
    }

  private:
    struct Slot {
        Recorder* owner;
    };
    static Recorder* Lookup(void* userData) { return static_cast<Slot*>(userData)->owner; }

  public:
    Recorder() {
        for (Slot& s : tags_)
            s.owner = this;
    }

  private:
    static constexpr int kTags = 16;
    Slot tags_[kTags];
    mutable std::mutex mutex_;
    std::vector<Firing> firings_;
};

// Each test starts with a service made on the test's own thread and leaves
// none behind.
class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DestroyTimerService();
        ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    }
    void TearDown() override { DestroyTimerService(); }
};

// ---------------------------------------------------------------------------
// Ids and lifecycle
// ---------------------------------------------------------------------------

TEST_F(TimerTest, IdsStartAtOneAndRestartAfterDestroy) {
    Recorder rec;
    EXPECT_EQ(Timer::Start(kNeverMs, Recorder::Callback, rec.Tag(0)), 1);
    EXPECT_EQ(Timer::Start(kNeverMs, Recorder::Callback, rec.Tag(0)), 2);
    Timer::Cancel(1, nullptr);
    // Ids are not reused while the service lives, cancelled or not.
    EXPECT_EQ(Timer::Start(kNeverMs, Recorder::Callback, rec.Tag(0)), 3);

    DestroyTimerService();
    ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    EXPECT_EQ(Timer::Start(kNeverMs, Recorder::Callback, rec.Tag(0)), 1);

    // Without an explicit create, the first Start brings the service up.
    DestroyTimerService();
    EXPECT_EQ(Timer::Start(0, Recorder::Callback, rec.Tag(1)), 1);
    ASSERT_TRUE(rec.WaitForCount(1));
    EXPECT_EQ(rec.Firings()[0].timerId, 1);
    EXPECT_EQ(rec.Firings()[0].userData, rec.Tag(1));
}

TEST_F(TimerTest, CreateTwiceKeepsTheSameService) {
    Recorder rec;
    EXPECT_EQ(Timer::Start(kNeverMs, Recorder::Callback, rec.Tag(0)), 1);
    ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    EXPECT_EQ(Timer::Start(kNeverMs, Recorder::Callback, rec.Tag(0)), 2);
}

TEST_F(TimerTest, DestroyWithoutServiceAndCancelWithoutServiceDoNothing) {
    DestroyTimerService();
    DestroyTimerService();
    void* out = &out;
    Timer::Cancel(1, &out);
    EXPECT_EQ(out, &out);
}

// ---------------------------------------------------------------------------
// Firing
// ---------------------------------------------------------------------------

TEST_F(TimerTest, ZeroTimeoutFiresOnceOnTheNamedTimerThread) {
    Recorder rec;
    const int id = Timer::Start(0, Recorder::Callback, rec.Tag(3));
    ASSERT_TRUE(rec.WaitForCount(1));
    const Firing f = rec.Firings()[0];
    EXPECT_EQ(f.timerId, id);
    EXPECT_EQ(f.userData, rec.Tag(3));
    EXPECT_NE(f.thread, std::this_thread::get_id());
    // Named from the thread that created the service, without an index.
    EXPECT_EQ(f.threadName, PrepareThreadName("ZelTimer"));

    // A later timer proves the first one did not fire twice in between.
    Timer::Start(5, Recorder::Callback, rec.Tag(4));
    ASSERT_TRUE(rec.WaitForCount(2));
    const std::vector<Firing> all = rec.Firings();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].userData, rec.Tag(4));
    EXPECT_EQ(all[1].thread, f.thread);
}

TEST_F(TimerTest, NegativeTimeoutFiresAtOnce) {
    Recorder rec;
    Timer::Start(-100, Recorder::Callback, rec.Tag(0));
    EXPECT_TRUE(rec.WaitForCount(1));
}

// Inside a callback the timer thread is busy, so a 0 ms timer started there
// can only have run by the time Start returns if Start ran it itself.
struct InlineProbe {
    std::atomic<bool> innerRan{false};
    std::atomic<bool> innerRanBeforeStartReturned{true};
    std::atomic<int> innerId{0};
    std::atomic<bool> done{false};
};

void InnerCallback(int, void* userData) {
    auto* p = static_cast<InlineProbe*>(userData);
    p->innerRan = true;
    p->done = true;
}

void OuterCallback(int, void* userData) {
    auto* p = static_cast<InlineProbe*>(userData);
    p->innerId = Timer::Start(0, InnerCallback, p);
    p->innerRanBeforeStartReturned = p->innerRan.load();
}

TEST_F(TimerTest, ZeroTimeoutNeverRunsInsideStart) {
    InlineProbe probe;
    const int outer = Timer::Start(0, OuterCallback, &probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.done.load(); }));
    EXPECT_FALSE(probe.innerRanBeforeStartReturned.load());
    EXPECT_EQ(probe.innerId.load(), outer + 1);
}

TEST_F(TimerTest, CallbacksRunInExpiryOrder) {
    Recorder rec;
    // Gaps wide enough that a slow Start never reorders the deadlines.
    const int delays[] = {400, 100, 300, 0, 200};
    for (int i = 0; i < 5; ++i)
        Timer::Start(delays[i], Recorder::Callback, rec.Tag(i));
    ASSERT_TRUE(rec.WaitForCount(5));
    std::vector<int> order;
    for (const Firing& f : rec.Firings())
        order.push_back(rec.TagIndex(f.userData));
    EXPECT_EQ(order, (std::vector<int>{3, 1, 4, 2, 0}));
}

TEST_F(TimerTest, NullCallbackIsLoggedAndDropped) {
    zel_test::LogCapture capture;
    Timer::Start(0, nullptr, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return capture.Contains("timer_callback is NULL..!!"); }));
    EXPECT_TRUE(capture.Contains("timer_callback is NULL..!!", "ZEL_CORE_UTILS"));
}

// ---------------------------------------------------------------------------
// Cancel
// ---------------------------------------------------------------------------

TEST_F(TimerTest, CancelReportsUserDataAndSuppressesCallback) {
    Recorder rec;
    void* out = nullptr;
    void* sentinel = &sentinel;
    void* again = sentinel;
    RunAsCallback([&] {
        const int cancelled = Timer::Start(0, Recorder::Callback, rec.Tag(0));
        Timer::Cancel(cancelled, &out);
        // A second cancel of the same id leaves the output alone.
        Timer::Cancel(cancelled, &again);
        // Due after the cancelled one: once it has run, that one did not.
        Timer::Start(1, Recorder::Callback, rec.Tag(1));
    });
    EXPECT_EQ(out, rec.Tag(0));
    EXPECT_EQ(again, sentinel);
    ASSERT_TRUE(rec.WaitForCount(1));
    ASSERT_EQ(rec.Count(), 1u);
    EXPECT_EQ(rec.Firings()[0].userData, rec.Tag(1));
}

TEST_F(TimerTest, CancelOfFiredOrUnknownIdChangesNothing) {
    Recorder rec;
    const int fired = Timer::Start(0, Recorder::Callback, rec.Tag(0));
    ASSERT_TRUE(rec.WaitForCount(1));
    void* sentinel = &sentinel;
    void* out = sentinel;
    Timer::Cancel(fired, &out);
    EXPECT_EQ(out, sentinel);
    Timer::Cancel(12345, &out);
    Timer::Cancel(0, &out);
    Timer::Cancel(-1, &out);
    EXPECT_EQ(out, sentinel);
    // The live timer beside them is untouched.
    const int live = Timer::Start(kNeverMs, Recorder::Callback, rec.Tag(1));
    Timer::Cancel(live + 1, &out);
    Timer::Cancel(live, &out);
    EXPECT_EQ(out, rec.Tag(1));
}

TEST_F(TimerTest, CancelWithNullOutputStillCancels) {
    Recorder rec;
    RunAsCallback([&] {
        Timer::Cancel(Timer::Start(0, Recorder::Callback, rec.Tag(0)), nullptr);
        Timer::Start(1, Recorder::Callback, rec.Tag(1));
    });
    ASSERT_TRUE(rec.WaitForCount(1));
    ASSERT_EQ(rec.Count(), 1u);
    EXPECT_EQ(rec.Firings()[0].userData, rec.Tag(1));
}

// ---------------------------------------------------------------------------
// Callbacks using the timer
// ---------------------------------------------------------------------------

struct Periodic {
    static constexpr int kPeriods = 20;
    std::mutex mutex;
    std::vector<int> ids;
    std::atomic<bool> done{false};
};

void PeriodicCallback(int timerId, void* userData) {
    auto* p = static_cast<Periodic*>(userData);
    bool again;
    {
        std::lock_guard<std::mutex> lock(p->mutex);
        p->ids.push_back(timerId);
        again = p->ids.size() < static_cast<size_t>(Periodic::kPeriods);
    }
    if (again)
        Timer::Start(1, PeriodicCallback, p);
    else
        p->done = true;
}

TEST_F(TimerTest, CallbackStartingTheNextPeriodGetsNewIds) {
    Periodic p;
    Timer::Start(1, PeriodicCallback, &p);
    ASSERT_TRUE(WaitUntil([&] { return p.done.load(); }));
    std::lock_guard<std::mutex> lock(p.mutex);
    ASSERT_EQ(p.ids.size(), static_cast<size_t>(Periodic::kPeriods));
    for (int i = 0; i < Periodic::kPeriods; ++i)
        EXPECT_EQ(p.ids[i], i + 1);
}

struct Canceller {
    int victim = 0;
    void* reported = nullptr;
    std::atomic<bool> done{false};
};

void CancellingCallback(int, void* userData) {
    auto* c = static_cast<Canceller*>(userData);
    Timer::Cancel(c->victim, &c->reported);
    c->done = true;
}

TEST_F(TimerTest, CallbackMayCancelAnotherTimer) {
    Recorder rec;
    Canceller c;
    // The victim's wait is armed on this thread, and is due long after the
    // callback that cancels it.
    c.victim = Timer::Start(300, Recorder::Callback, rec.Tag(0));
    Timer::Start(0, CancellingCallback, &c);
    Timer::Start(400, Recorder::Callback, rec.Tag(1));
    ASSERT_TRUE(rec.WaitForCount(1));
    ASSERT_TRUE(c.done.load());
    EXPECT_EQ(c.reported, rec.Tag(0));
    ASSERT_EQ(rec.Count(), 1u);
    EXPECT_EQ(rec.Firings()[0].userData, rec.Tag(1));
}

// A callback holds the timer lock: Start from another thread waits for it.
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
        return cv.wait_for(lock, kDeadline, [&] { return entered; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
};

void GateCallback(int, void* userData) {
    static_cast<Gate*>(userData)->EnterAndWait();
}

TEST_F(TimerTest, OtherThreadsWaitWhileACallbackRuns) {
    Gate gate;
    Timer::Start(0, GateCallback, &gate);
    ASSERT_TRUE(gate.WaitEntered());
    std::atomic<bool> started{false};
    std::thread other([&] {
        Timer::Start(kNeverMs, GateCallback, &gate);
        started = true;
    });
    // Negative check: give the other thread time to get past Start if it could.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(started.load());
    gate.Open();
    EXPECT_TRUE(WaitUntil([&] { return started.load(); }));
    other.join();
}

// ---------------------------------------------------------------------------
// Destroy
// ---------------------------------------------------------------------------

TEST_F(TimerTest, DestroyWithLiveTimersCallsNone) {
    Recorder rec;
    for (int i = 0; i < 8; ++i)
        Timer::Start(1000 + 100 * i, Recorder::Callback, rec.Tag(i));
    DestroyTimerService();
    // The timer thread is joined: nothing can call them any more.
    EXPECT_EQ(rec.Count(), 0u);
}

struct DestroyRace {
    Gate gate;
    Recorder rec;
    std::atomic<int> startedInside{0};
    std::atomic<bool> callbackReturned{false};
};

// Runs while the test thread destroys the service: the destroy must wait for
// this callback, which still starts timers (already due when it returns) and
// cancels one; none of them may ever run.
void RacingCallback(int, void* userData) {
    auto* r = static_cast<DestroyRace*>(userData);
    r->gate.EnterAndWait();
    for (int i = 0; i < 4; ++i) {
        if (Timer::Start(0, Recorder::Callback, r->rec.Tag(i)) > 0)
            r->startedInside++;
    }
    Timer::Cancel(1000, nullptr);
    r->callbackReturned = true;
}

TEST_F(TimerTest, DestroyWaitsForRunningCallbackWithoutDeadlock) {
    DestroyRace race;
    Timer::Start(0, RacingCallback, &race);
    ASSERT_TRUE(race.gate.WaitEntered());

    zel_test::LogCapture capture;
    auto destroyed = std::async(std::launch::async, [] { DestroyTimerService(); });
    // Once the shutdown has begun it waits for the callback to return.
    const bool began = WaitUntil([&] { return capture.Contains("Timer::Shutdown"); });
    race.gate.Open();
    ASSERT_TRUE(began);

    ASSERT_EQ(destroyed.wait_for(kDeadline), std::future_status::ready) << "destroy deadlocked";
    EXPECT_TRUE(race.callbackReturned.load());
    EXPECT_EQ(race.startedInside.load(), 4);
    EXPECT_EQ(race.rec.Count(), 0u);

    ASSERT_EQ(CreateTimerService(), UTILS_SUCCESS);
    EXPECT_EQ(Timer::Start(kNeverMs, Recorder::Callback, race.rec.Tag(0)), 1);
}

struct SelfDestroy {
    Recorder rec;
    std::atomic<bool> returned{false};
};

void SelfDestroyCallback(int, void* userData) {
    auto* s = static_cast<SelfDestroy*>(userData);
    Timer::Start(0, Recorder::Callback, s->rec.Tag(0));
    DestroyTimerService();
    s->returned = true;
}

TEST_F(TimerTest, DestroyFromInsideACallback) {
    SelfDestroy s;
    Timer::Start(0, SelfDestroyCallback, &s);
    ASSERT_TRUE(WaitUntil([&] { return s.returned.load(); }));
    // A new service numbers from 1 and runs on a new thread.
    EXPECT_EQ(Timer::Start(0, Recorder::Callback, s.rec.Tag(1)), 1);
    ASSERT_TRUE(s.rec.WaitForCount(1));
    EXPECT_EQ(s.rec.Firings()[0].userData, s.rec.Tag(1));
}

struct DoubleDestroy {
    Gate gate;
    std::atomic<bool> returned{false};
};

void GatedSelfDestroyCallback(int, void* userData) {
    auto* d = static_cast<DoubleDestroy*>(userData);
    d->gate.EnterAndWait();
    DestroyTimerService();
    d->returned = true;
}

TEST_F(TimerTest, DestroyFromCallbackWhileAnotherThreadDestroys) {
    DoubleDestroy d;
    Timer::Start(0, GatedSelfDestroyCallback, &d);
    ASSERT_TRUE(d.gate.WaitEntered());
    zel_test::LogCapture capture;
    auto destroyed = std::async(std::launch::async, [] { DestroyTimerService(); });
    const bool began = WaitUntil([&] { return capture.Contains("Timer::Shutdown"); });
    d.gate.Open();
    ASSERT_TRUE(began);
    ASSERT_EQ(destroyed.wait_for(kDeadline), std::future_status::ready) << "destroy deadlocked";
    EXPECT_TRUE(WaitUntil([&] { return d.returned.load(); }));
    Recorder rec;
    EXPECT_EQ(Timer::Start(0, Recorder::Callback, rec.Tag(0)), 1);
    EXPECT_TRUE(rec.WaitForCount(1));
}

// ---------------------------------------------------------------------------
// Concurrency
// ---------------------------------------------------------------------------

// Every timer ends exactly one way: its callback ran, or Cancel handed back
// its user pointer.
struct Outcome {
    std::atomic<int> fired{0};
    std::atomic<int> cancelled{0};
};

void OutcomeCallback(int, void* userData) {
    static_cast<Outcome*>(userData)->fired++;
}

TEST_F(TimerTest, CancelRacingExpiryFromManyThreads) {
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
                const int id = Timer::Start(static_cast<int>(rng() % 3), OutcomeCallback, &o);
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

    auto settled = [&] {
        for (const Outcome& o : outcomes) {
            if (o.fired.load() + o.cancelled.load() == 0)
                return false;
        }
        return true;
    };
    ASSERT_TRUE(WaitUntil(settled));
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
    auto callback = [](int, void* userData) {
        static_cast<std::atomic<int>*>(userData)->fetch_add(1);
    };
    std::thread starter([&] {
        while (!stop.load())
            Timer::Start(0, callback, &fired);
    });
    for (int i = 0; i < 20; ++i) {
        DestroyTimerService();
        CreateTimerService();
    }
    stop = true;
    starter.join();
    DestroyTimerService();
    const int after = fired.load();
    // Every service is gone and joined; no callback can arrive any more.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fired.load(), after);
}

}  // namespace
