#include "utils/src/timer/timer_service.h"

#include <zel_upnp/utils.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

using namespace zel_upnp::utils;
using zel_test::kTestWait;
using zel_test::WaitUntil;
// Long enough never to fire during a test.
constexpr int kNeverMs = 600000;

// What one Record callback saw: timer id and user data. The fixture
// destroys the service (joining its thread) before clearing it.
struct Firing {
    int timerId;
    void* userData;
    std::chrono::steady_clock::time_point at;
};
std::mutex g_firingsMutex;
std::vector<Firing> g_firings;
int g_tags[8];

void* Tag(int index) {
    return &g_tags[index];
}

void Record(int timerId, void* userData) {
    std::lock_guard<std::mutex> lock(g_firingsMutex);
    g_firings.push_back(Firing{timerId, userData, std::chrono::steady_clock::now()});
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

// Runs inside as a timer callback while another thread destroys the
// service: the callback is held until the shutdown has begun (the shutdown
// log line is its only sign), then released; the destroy must end.
void DestroyWhileCallbackRuns(const std::function<void()>& inside) {
    struct Job {
        explicit Job(const std::function<void()>& fn) : inside(fn) {}
        const std::function<void()>& inside;
        std::promise<void> entered, open;
        std::atomic<bool> returned{false};
    } job(inside);
    Timer::Start(
        0,
        [](int, void* userData) {
            auto* j = static_cast<Job*>(userData);
            j->entered.set_value();
            j->open.get_future().wait();
            j->inside();
            j->returned = true;
        },
        &job);
    ASSERT_EQ(job.entered.get_future().wait_for(kTestWait), std::future_status::ready);
    zel_test::LogCapture capture;
    auto destroyed = std::async(std::launch::async, [] { DestroyTimerService(); });
    const bool began = WaitUntil([&] { return capture.Contains("Timer::Shutdown"); });
    job.open.set_value();
    ASSERT_TRUE(began);
    ASSERT_EQ(destroyed.wait_for(kTestWait), std::future_status::ready) << "destroy deadlocked";
    // The destroy waited for the callback.
    EXPECT_TRUE(job.returned.load());
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

// The running callback still starts timers (already due when it returns)
// and cancels one, or destroys the service itself; none of its timers ever
// runs, and a new service starts over.
TEST_F(TimerTest, DestroyWaitsForRunningCallbackWithoutDeadlock) {
    int startedInside = 0;
    DestroyWhileCallbackRuns([&] {
        for (int i = 0; i < 4; ++i)
            startedInside += Timer::Start(0, Record, Tag(i)) > 0;
        Timer::Cancel(1000, nullptr);
    });
    EXPECT_EQ(startedInside, 4);
    EXPECT_TRUE(Firings().empty());
    DestroyWhileCallbackRuns([] { DestroyTimerService(); });
    RunAsCallback([] {
        Timer::Start(0, Record, Tag(0));
        DestroyTimerService();
    });
    EXPECT_EQ(Timer::Start(0, Record, Tag(1)), 1);
    ASSERT_TRUE(WaitForCount(1));
    EXPECT_EQ(Firings()[0].userData, Tag(1));
}

// Every timer ends exactly one way: its callback ran, or Cancel handed back
// its user pointer.
TEST_F(TimerTest, CancelRacingExpiryFromManyThreads) {
    struct Outcome {
        std::atomic<int> fired{0}, cancelled{0};
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
                for (volatile int s = static_cast<int>(rng() % 20000); s > 0; --s) {
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
    auto ended = [](const Outcome& o) { return o.fired.load() + o.cancelled.load(); };
    ASSERT_TRUE(WaitUntil([&] {
        for (const Outcome& o : outcomes) {
            if (ended(o) == 0)
                return false;
        }
        return true;
    }));
    int fired = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        EXPECT_EQ(ended(outcomes[i]), 1) << "timer " << i;
        fired += outcomes[i].fired.load();
    }
    std::set<int> unique;
    for (const std::vector<int>& perThread : ids)
        unique.insert(perThread.begin(), perThread.end());
    EXPECT_EQ(unique.size(), outcomes.size());
    EXPECT_EQ(*unique.rbegin(), static_cast<int>(outcomes.size()));
    // Both ways must have happened for the race to have been exercised.
    EXPECT_GT(fired, 0);
    EXPECT_LT(fired, static_cast<int>(outcomes.size()));
}

// Timers fire in deadline order, 0 ms ones in start order, none early: also
// one started after a later one, and the one after a cancelled earliest.
TEST_F(TimerTest, FiresInDeadlineOrder) {
    struct Row {
        std::vector<int> timeoutsMs, fireOrder;
        int cancelled;
    } const rows[] = {
        {{kNeverMs, 30}, {1}, -1}, {{20, 60}, {1}, 0}, {{50, 0, 0, 0}, {1, 2, 3, 0}, -1}};
    for (const Row& row : rows) {
        SetUp();
        const auto start = std::chrono::steady_clock::now();
        std::vector<int> ids;
        for (size_t i = 0; i < row.timeoutsMs.size(); ++i)
            ids.push_back(Timer::Start(row.timeoutsMs[i], Record, Tag(i)));
        Timer::Cancel(row.cancelled < 0 ? 0 : ids[row.cancelled], nullptr);
        ASSERT_TRUE(WaitForCount(row.fireOrder.size()));
        for (size_t k = 0; k < row.fireOrder.size(); ++k) {
            const int i = row.fireOrder[k];
            EXPECT_EQ(Firings()[k].timerId, ids[i]) << "firing " << k;
            EXPECT_GE(Firings()[k].at - start, std::chrono::milliseconds(row.timeoutsMs[i]));
        }
    }
}

TEST_F(TimerTest, ConcurrentDestroyAndStart) {
    std::atomic<bool> stop{false};
    std::thread starter([&] {
        while (!stop.load())
            Timer::Start(
                0, [](int, void*) {}, nullptr);
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
