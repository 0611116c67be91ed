// Process-wide one-shot timers on one io_service and one thread.
//
// Locking: the service's recursive mutex guards the handler list, the id
// counter and every handler's state, and is held while a callback runs, so a
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
// TimerHandler
// ---------------------------------------------------------------------------

TimerHandler::TimerHandler(TimerService& owner, boost::asio::io_service& io, int timerId,
                           int timeoutMs, Timer::Callback callback, void* userData)
    : owner_(owner),
      timer_id_(timerId),
      timeout_ms_(timeoutMs),
      callback_(callback),
      user_data_(userData),
      deadline_(io),
      wait_pending_(false) {}

void TimerHandler::Arm() {
    // The monotonic clock: a wall clock set forward or back after boot (a
    // device taking its time from the network) neither fires every timer at
    // once nor holds them back.
    if (wait_pending_) {
        deadline_.cancel();
        wait_pending_ = false;
    }
    deadline_.expires_after(std::chrono::milliseconds(timeout_ms_));
    boost::shared_ptr<TimerHandler> self = shared_from_this();
    deadline_.async_wait(
        [self](const boost::system::error_code& error) { self->OnWaitComplete(error); });
    wait_pending_ = true;
}

void TimerHandler::CancelTimer() {
    try {
        if (wait_pending_) {
            deadline_.cancel();
            wait_pending_ = false;
        }
    } catch (const boost::system::system_error& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Exception in CancelTimer: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Unknown Exception in CancelTimer");
    }
    user_data_ = nullptr;
}

void TimerHandler::OnWaitComplete(const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted)
        return;
    owner_.TimerExpired(timer_id_);
}

// ---------------------------------------------------------------------------
// TimerService
// ---------------------------------------------------------------------------

TimerService::TimerService() : counter_(0), shut_down_(false), stopping_(false), io_() {
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
        // Run the completions that cancelling queued (all of them no-ops now
        // the list is empty) so that every handler is released before the
        // io_service they refer to.
        io_.restart();
        io_.poll();
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "unknown excpetion raised");
    }
}

int TimerService::AddTimer(int timeoutMs, Timer::Callback callback, void* userData) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    if (shut_down_) {
        ZEL_LOGE(ZEL_CORE_UTILS, "timer service is terminated, timer not started");
        return kNoTimerId;
    }
    const int timerId = ++counter_;
    boost::shared_ptr<TimerHandler> handler;
    try {
        handler.reset(new TimerHandler(*this, io_, timerId, timeoutMs, callback, userData));
        handlers_.push_back(handler);
        handler->Arm();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Timer start failed for id %d: %s", timerId, e.what());
        if (handler) {
            handler->CancelTimer();
            handlers_.remove(handler);
        }
        return kNoTimerId;
    }
    return timerId;
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
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
        if ((*it)->GetTimerId() != timerId)
            continue;
        if (userData != nullptr)
            *userData = (*it)->GetUserData();
        (*it)->CancelTimer();
        handlers_.erase(it);
        return;
    }
}

void TimerService::TimerExpired(int timerId) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    if (stopping_.load())
        return;  // Shutdown is waiting for the mutex and drops the handler
    boost::shared_ptr<TimerHandler> handler;
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
        if ((*it)->GetTimerId() == timerId) {
            handler = *it;
            handlers_.erase(it);
            break;
        }
    }
    if (!handler)
        return;  // cancelled after its wait had completed
    handler->MarkExpired();
    const Timer::Callback callback = handler->GetCallback();
    if (callback == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "timer_callback is NULL..!!");
        return;
    }
    try {
        callback(timerId, handler->GetUserData());
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_UTILS, "timer callback %d threw: %s", timerId, e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_UTILS, "timer callback %d threw an unknown exception", timerId);
    }
}

void TimerService::Shutdown() {
    stopping_.store(true);
    ZEL_LOGD(ZEL_CORE_UTILS, "Timer::Shutdown");
    try {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        shut_down_ = true;
        for (const boost::shared_ptr<TimerHandler>& handler : handlers_)
            handler->CancelTimer();
        handlers_.clear();
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
