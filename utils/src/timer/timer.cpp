// Process-wide one-shot timers on one io_service and one thread.
//
// Locking: the service's recursive mutex guards the live timers, the id
// counter and the shared wait, and is held while a callback runs, so a
// callback may start and cancel timers while other threads wait for it. The
// creation mutex guards replacing the current service and is only ever taken
// after the timer mutex, never before it: a callback may create or destroy
// the service. Start and Cancel reach the service through an atomic shared
// reference, without the creation mutex.
#include "utils/src/timer/timer_service.h"

#include <exception>
#include <memory>
#include <new>

#include <chrono>

#include <boost/exception/exception.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/exceptions.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>

#include "utils/src/common/guard.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace utils {

namespace {

constexpr const char* kTimerThreadBaseName = "ZelTimer";
// The timer thread is the only one of its kind: no index in its name.
constexpr int kUnnumberedThread = -1;
// Returned by Start when no timer could be started; real ids start at 1.
constexpr int kNoTimerId = 0;

boost::mutex g_creationMutex;
// Read and written with boost::atomic_load/atomic_store only.
boost::shared_ptr<TimerService> g_service;

boost::shared_ptr<TimerService> CurrentService() {
    return boost::atomic_load(&g_service);
}

boost::shared_ptr<TimerService> AcquireService() {
    boost::shared_ptr<TimerService> service = CurrentService();
    if (service)
        return service;
    boost::lock_guard<boost::mutex> lock(g_creationMutex);
    service = CurrentService();
    if (!service) {
        service = TimerService::Create();
        boost::atomic_store(&g_service, service);
    }
    return service;
}

// The body of the timer thread. It owns one reference to the service while
// the io_service runs, so that a service destroyed from inside one of its
// own callbacks stays alive until that callback has returned.
class TimerWorker {
  public:
    explicit TimerWorker(boost::shared_ptr<TimerService> service) : service_(std::move(service)) {}
    TimerWorker(const TimerWorker&) = default;

    // boost::thread keeps its copy of this object until the thread is joined
    // or detached; moving the reference out lets it go when the loop ends.
    void operator()() {
        boost::shared_ptr<TimerService> service;
        service.swap(service_);
        service->RunLoop();
    }

  private:
    boost::shared_ptr<TimerService> service_;
};

}  // namespace

// ---------------------------------------------------------------------------
// TimerService
// ---------------------------------------------------------------------------

TimerService::TimerService()
    : counter_(0),
      shut_down_(false),
      stopping_(false),
      io_(),
      wakeup_(io_),
      wait_pending_(false),
      wait_generation_(0) {
    ZEL_LOGD(ZEL_CORE_UTILS, "Timer::Timer");
    work_.reset(new boost::asio::io_service::work(io_));
}

boost::shared_ptr<TimerService> TimerService::Create() {
    boost::shared_ptr<TimerService> service;
    try {
        TimerService* raw = new (std::nothrow) TimerService();
        if (raw == nullptr) {
            ZEL_LOGE(ZEL_CORE_UTILS, "Timer allocation failed");
            return nullptr;
        }
        service.reset(raw);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Timer creation failed: %s", e.what());
        return nullptr;
    }
    if (!service->StartWorker())
        return nullptr;
    return service;
}

bool TimerService::StartWorker() {
    try {
        // The name is taken from the creating thread, before the worker runs.
        const std::string name = PrepareThreadName(kTimerThreadBaseName);
        worker_ = StartThread(kApplicationThreadStackSize, TimerWorker(shared_from_this()));
        SetNameOnThread(worker_.get(), name, kUnnumberedThread);
        return true;
    } catch (const boost::thread_resource_error& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "thread_resource_error exception:[%s]", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Unknown Exception in StartCallbackThreads");
    }
    return false;
}

void TimerService::RunLoop() {
    RunIoLoop(io_, ZEL_CORE_UTILS);
}

TimerService::~TimerService() {
    Shutdown();
    JoinWorker();
    try {
        // Run the completion that cancelling the shared wait queued (a no-op
        // now) while the service it refers to is still whole.
        io_.restart();
        io_.poll();
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "unknown excpetion raised");
    }
}

int TimerService::AddTimer(int timeoutMs, Timer::Callback callback, void* userData) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    return AddTimerLocked(timeoutMs, callback, userData);
}

bool TimerService::TryAddTimer(int timeoutMs, Timer::Callback callback, void* userData,
                               int& timerId) {
    boost::unique_lock<boost::recursive_mutex> lock(mutex_, boost::try_to_lock);
    if (!lock.owns_lock())
        return false;
    timerId = AddTimerLocked(timeoutMs, callback, userData);
    return true;
}

int TimerService::AddTimerLocked(int timeoutMs, Timer::Callback callback, void* userData) {
    if (shut_down_) {
        ZEL_LOGE(ZEL_CORE_UTILS, "timer service is terminated, timer not started");
        return kNoTimerId;
    }
    const int timerId = ++counter_;
    const TimerClock::time_point deadline =
        TimerClock::now() + std::chrono::milliseconds(timeoutMs);
    bool listed = false;
    try {
        handlers_.emplace(timerId, TimerHandler{deadline, callback, userData});
        listed = true;
        expiry_.emplace(deadline, timerId);
        // A deadline at or after the armed one is served by the pending wait
        // (or by its successor): the usual case costs no asio call at all.
        if (!wait_pending_ || deadline < armed_at_)
            ArmAt(deadline);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Timer start failed for id %d: %s", timerId, e.what());
        if (listed) {
            handlers_.erase(timerId);
            expiry_.erase(ExpiryKey(deadline, timerId));
        }
        // A failed ArmAt may have cancelled the wait the other timers relied on.
        try {
            ArmForEarliest();
        } catch (const std::exception& again) {
            ZEL_LOGE(ZEL_CORE_UTILS, "Timer re-arm failed: %s", again.what());
        }
        return kNoTimerId;
    }
    return timerId;
}

void TimerService::ArmAt(TimerClock::time_point deadline) {
    const unsigned generation = ++wait_generation_;
    wait_pending_ = false;
    wakeup_.expires_at(deadline);
    wakeup_.async_wait([this, generation](const boost::system::error_code& error) {
        OnWaitComplete(error, generation);
    });
    wait_pending_ = true;
    armed_at_ = deadline;
}

void TimerService::ArmForEarliest() {
    if (expiry_.empty())
        return;  // the next Start arms
    const TimerClock::time_point earliest = expiry_.begin()->first;
    if (!wait_pending_ || earliest < armed_at_)
        ArmAt(earliest);
}

size_t TimerService::LiveTimers() {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    return handlers_.size();
}

size_t LiveTimerCount() {
    boost::shared_ptr<TimerService> service = CurrentService();
    return service ? service->LiveTimers() : 0;
}

void TimerService::RemoveTimer(int timerId, void** userData) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    const auto it = handlers_.find(timerId);
    if (it == handlers_.end())
        return;
    if (userData != nullptr)
        *userData = it->second.userData;
    // The shared wait stays armed even when this was the earliest timer:
    // cancelling it would wake the timer thread now, whereas letting it end
    // costs one wake-up later, and none when a timer is due by then.
    expiry_.erase(ExpiryKey(it->second.deadline, timerId));
    handlers_.erase(it);
}

void TimerService::OnWaitComplete(const boost::system::error_code& error, unsigned generation) {
    // Only ArmAt and Shutdown cancel the wait, and both have superseded it.
    if (error == boost::asio::error::operation_aborted)
        return;
    TimerClock::time_point now;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        if (generation != wait_generation_ || shut_down_)
            return;  // completed just before being re-armed: the newer wait serves
        wait_pending_ = false;
        now = TimerClock::now();
    }
    // Timers that callbacks start from here on are due after now and wait for
    // the next round, so that a callback restarting itself at 0 ms cannot
    // keep this loop going. The mutex is let go between callbacks, so other
    // threads' Start and Cancel get their turn.
    while (RunOneDue(now)) {
    }
    try {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        if (!shut_down_)
            ArmForEarliest();
    } catch (const std::exception& e) {
        // No wait pending now: the next Start arms again.
        ZEL_LOGE(ZEL_CORE_UTILS, "Timer re-arm failed: %s", e.what());
    }
}

bool TimerService::RunOneDue(TimerClock::time_point now) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    if (stopping_.load())
        return false;  // Shutdown is waiting for the mutex and drops the timers
    if (expiry_.empty() || expiry_.begin()->first > now)
        return false;
    const int timerId = expiry_.begin()->second;
    expiry_.erase(expiry_.begin());
    const auto it = handlers_.find(timerId);
    const TimerHandler handler = it->second;
    handlers_.erase(it);
    if (handler.callback == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "timer_callback is NULL..!!");
        return true;
    }
    try {
        handler.callback(timerId, handler.userData);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "timer callback %d threw: %s", timerId, e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "timer callback %d threw an unknown exception", timerId);
    }
    return true;
}

void TimerService::Shutdown() {
    stopping_.store(true);
    ZEL_LOGD(ZEL_CORE_UTILS, "Timer::Shutdown");
    try {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        shut_down_ = true;
        handlers_.clear();
        expiry_.clear();
        ++wait_generation_;
        wait_pending_ = false;
        try {
            wakeup_.cancel();
        } catch (const boost::system::system_error& e) {
            ZEL_LOGE(ZEL_CORE_UTILS, "Exception in CancelTimer: %s", e.what());
        }
        work_.reset();
        io_.stop();
    } catch (const boost::exception&) {
        ZEL_LOGE(ZEL_CORE_UTILS, "boost exception raised");
    } catch (const boost::system::system_error&) {
        ZEL_LOGE(ZEL_CORE_UTILS, "boost exception raised");
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "unknown excpetion raised");
    }
}

void TimerService::JoinWorker() {
    try {
        boost::lock_guard<boost::mutex> lock(join_mutex_);
        if (!worker_ || !worker_->joinable())
            return;
        if (worker_->get_id() == boost::this_thread::get_id())
            worker_->detach();
        else
            worker_->join();
    } catch (const boost::exception&) {
        ZEL_LOGE(ZEL_CORE_UTILS, "boost exception raised");
    } catch (const boost::system::system_error&) {
        ZEL_LOGE(ZEL_CORE_UTILS, "boost exception raised");
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "unknown excpetion raised");
    }
}

// ---------------------------------------------------------------------------
// Lifecycle and the public face
// ---------------------------------------------------------------------------

int CreateTimerService() {
    return AcquireService() ? UTILS_SUCCESS : UTILS_FAILURE;
}

void DestroyTimerService() {
    boost::shared_ptr<TimerService> service;
    {
        boost::lock_guard<boost::mutex> lock(g_creationMutex);
        service = CurrentService();
    }
    if (!service)
        return;
    // Neither lock is held here: a callback that Shutdown waits for may still
    // start or cancel timers on this service, or destroy it itself. The
    // service stays reachable until no callback can run any more.
    service->Shutdown();
    {
        boost::lock_guard<boost::mutex> lock(g_creationMutex);
        if (CurrentService() == service)
            boost::atomic_store(&g_service, boost::shared_ptr<TimerService>());
    }
    service->JoinWorker();
}

Timer::Timer() {}

Timer::~Timer() {}

int Timer::Start(int timeoutMs, Callback callback, void* userData) {
    try {
        boost::shared_ptr<TimerService> service = AcquireService();
        if (!service)
            return kNoTimerId;
        return service->AddTimer(timeoutMs, callback, userData);
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Timer::Start failed");
    }
    return kNoTimerId;
}

bool TryStartTimer(int timeoutMs, Timer::Callback callback, void* userData, int& timerId) {
    timerId = kNoTimerId;
    try {
        boost::shared_ptr<TimerService> service = AcquireService();
        if (!service)
            return true;
        return service->TryAddTimer(timeoutMs, callback, userData, timerId);
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Timer::Start failed");
    }
    return true;
}

void Timer::Cancel(int timerId, void** userData) {
    try {
        boost::shared_ptr<TimerService> service = CurrentService();
        if (service)
            service->RemoveTimer(timerId, userData);
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Timer::Cancel failed");
    }
}

}  // namespace utils
}  // namespace zel_upnp
