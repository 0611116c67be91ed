// The timer service behind Timer::Start and Timer::Cancel: one io_service,
// one worker thread ("ZelTimer") and the list of live timers, all guarded by
// one recursive mutex that is also held while a callback runs.
//
// Lifecycle: the service is created on first use (or by CreateTimerService
// during framework initialisation) and destroyed by DestroyTimerService
// during termination; a service created after that numbers its timers from 1
// again.
#pragma once

#include <zel_upnp/utils.h>

#include <atomic>
#include <list>
#include <memory>

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

class TimerService;

// One started timer. Its pending wait holds a shared reference to it, so a
// handler removed from the service's list stays alive until the wait's
// completion has run or been discarded. Every member except the constructor
// and the wait completion is called with the service's mutex held.
class TimerHandler : public boost::enable_shared_from_this<TimerHandler> {
  public:
    TimerHandler(TimerService& owner, boost::asio::io_service& io, int timerId, int timeoutMs,
                 Timer::Callback callback, void* userData);

    // Sets the expiry to now plus the time-out and starts the wait, cancelling
    // a wait already pending.
    void Arm();
    // Cancels a pending wait and forgets the user pointer. Never throws.
    void CancelTimer();
    // The wait completed and the service took the handler off its list.
    void MarkExpired() { wait_pending_ = false; }

    int GetTimerId() const { return timer_id_; }
    void* GetUserData() const { return user_data_; }
    Timer::Callback GetCallback() const { return callback_; }

  private:
    // Runs on the timer thread without the mutex.
    void OnWaitComplete(const boost::system::error_code& error);

    TimerService& owner_;
    const int timer_id_;
    const int timeout_ms_;
    const Timer::Callback callback_;
    void* user_data_;
    boost::asio::steady_timer deadline_;
    bool wait_pending_;
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
    void RemoveTimer(int timerId, void** userData);

    // Called by a handler's wait completion on the timer thread: takes the
    // timer off the list and runs its callback with the mutex held.
    void TimerExpired(int timerId);

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
    TimerService();
    // False when the thread could not be started.
    bool StartWorker();

    // Declaration order is destruction order reversed: the handlers' deadline
    // timers must go before the io_service they belong to.
    boost::recursive_mutex mutex_;
    int counter_;
    bool shut_down_;
    // Set by Shutdown before it waits for the mutex: a callback still running
    // then delays the shutdown, but no further callback starts meanwhile.
    std::atomic<bool> stopping_;
    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    std::list<boost::shared_ptr<TimerHandler>> handlers_;
    // Serialises JoinWorker between concurrent destroyers; never held with
    // mutex_ except by a callback destroying its own service.
    boost::mutex join_mutex_;
    std::unique_ptr<boost::thread> worker_;
};

// Creates the process-wide service if there is none. UTILS_SUCCESS, or
// UTILS_FAILURE when it cannot be created.
int CreateTimerService();

// Live timers of the process-wide service (0 without one): for leak checks.
size_t LiveTimerCount();

// Drops every live timer without calling it, stops and joins the timer
// thread and releases the service. Safe from any thread, including from a
// timer callback and concurrently with itself. Does nothing without a
// service.
void DestroyTimerService();

}  // namespace utils
}  // namespace zel_upnp
