// The timer service behind Timer::Start and Timer::Cancel: one io_service,
// one worker thread ("ZelTimer") and the live timers, all guarded by one
// recursive mutex that is also held while a callback runs.
//
// The live timers share one wait on the io_service, armed for the earliest
// deadline. Start touches it only when the new deadline is earlier than the
// armed one (or nothing is armed), and Cancel never does: cancelling an
// asio wait posts its aborted completion to the timer thread, and each such
// hand-off costs a context switch. A wait that ends with nothing due just
// re-arms for the earliest deadline then live.
//
// Lifecycle: the service is created on first use (or by CreateTimerService
// during framework initialisation) and destroyed by DestroyTimerService
// during termination; a service created after that numbers its timers from 1
// again.
#pragma once

#include <zel_upnp/utils.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>

namespace zel_upnp {
namespace utils {

// The monotonic clock: a wall clock set forward or back after boot (a device
// taking its time from the network) neither fires every timer at once nor
// holds them back.
using TimerClock = std::chrono::steady_clock;

// One started timer: what its expiry hands to the callback, and its place in
// the expiry order.
struct TimerHandler {
    TimerClock::time_point deadline;
    Timer::Callback callback;
    void* userData;
};

class TimerService : public Timer, public boost::enable_shared_from_this<TimerService> {
  public:
    // A running service, or null (logged) when memory, the io_service or the
    // worker thread cannot be had.
    static boost::shared_ptr<TimerService> Create();
    ~TimerService() override;

    // Timer::Start and Timer::Cancel on this service. AddTimer returns 0 once
    // the service has been shut down.
    int AddTimer(int timeoutMs, Timer::Callback callback, void* userData);
    // AddTimer without waiting: false, and nothing started, when another
    // thread holds the mutex (a callback running, most likely: an alive
    // burst holds it for about 205 ms).
    bool TryAddTimer(int timeoutMs, Timer::Callback callback, void* userData, int& timerId);
    void RemoveTimer(int timerId, void** userData);

    // Drops every live timer without calling it and stops the io_service, so
    // that no callback runs any more once this returns, and none starts once
    // it has been entered. Waits for a callback running on another thread;
    // may be called from a callback itself.
    void Shutdown();
    // Waits for the worker thread to end; must not hold the mutex, so that a
    // callback still finishing can take it. From the worker thread itself
    // (termination inside a callback) the thread is detached instead, and the
    // service is freed when the thread lets go of it.
    void JoinWorker();

    // The body of the timer thread: runs the io_service until Shutdown.
    void RunLoop();

    // Timers started and neither expired nor cancelled.
    size_t LiveTimers();

  private:
    // Deadline first, then id: timers due at the same instant fire in start
    // order.
    using ExpiryKey = std::pair<TimerClock::time_point, int>;

    TimerService();
    // False when the thread could not be started.
    bool StartWorker();
    // AddTimer with the mutex held.
    int AddTimerLocked(int timeoutMs, Timer::Callback callback, void* userData);

    // With the mutex held: makes sure a wait is pending that ends no later
    // than the earliest live deadline, re-arming only when it is not so.
    void ArmForEarliest();
    // With the mutex held: points the shared wait at deadline. A wait still
    // pending is cancelled by this (its completion comes back aborted, or
    // stale when it had already completed).
    void ArmAt(TimerClock::time_point deadline);
    // The shared wait's completion, on the timer thread without the mutex.
    void OnWaitComplete(const boost::system::error_code& error, unsigned generation);
    // Takes the earliest timer due by now off the lists and runs its callback
    // with the mutex held. False when none is due or the service is stopping.
    bool RunOneDue(TimerClock::time_point now);

    // Declaration order is destruction order reversed: the shared wait's
    // timer must go before the io_service it belongs to.
    boost::recursive_mutex mutex_;
    int counter_;
    bool shut_down_;
    // Set by Shutdown before it waits for the mutex: a callback still running
    // then delays the shutdown, but no further callback starts meanwhile.
    std::atomic<bool> stopping_;
    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    // The live timers by id. Ids only grow, so this is also start order.
    std::map<int, TimerHandler> handlers_;
    // The same timers in expiry order.
    std::set<ExpiryKey> expiry_;
    // The one wait on the io_service; wait_pending_ while its latest
    // async_wait has not completed, armed_at_ its expiry then. A completion
    // whose generation is not wait_generation_ belongs to a wait since
    // superseded and does nothing.
    boost::asio::steady_timer wakeup_;
    bool wait_pending_;
    TimerClock::time_point armed_at_;
    unsigned wait_generation_;
    // Serialises JoinWorker between concurrent destroyers; never held with
    // mutex_ except by a callback destroying its own service.
    boost::mutex join_mutex_;
    std::unique_ptr<boost::thread> worker_;
};

// Creates the process-wide service if there is none. UTILS_SUCCESS, or
// UTILS_FAILURE when it cannot be created.
int CreateTimerService();

// Timer::Start for a thread that must not wait (an io thread): false when
// the service's mutex is held elsewhere, typically by a running callback;
// the caller then starts the timer from a thread that may wait. True with
// timerId set as Start would return it (0: not started) otherwise.
bool TryStartTimer(int timeoutMs, Timer::Callback callback, void* userData, int& timerId);

// Live timers of the process-wide service (0 without one): for leak checks.
size_t LiveTimerCount();

// Drops every live timer without calling it, stops and joins the timer
// thread and releases the service. Safe from any thread, including from a
// timer callback and concurrently with itself. Does nothing without a
// service.
void DestroyTimerService();

}  // namespace utils
}  // namespace zel_upnp
