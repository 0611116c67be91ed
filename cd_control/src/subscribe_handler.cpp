#include "cd_control/src/subscribe_handler.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "cd_control/src/subscribe_request.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace cd_control {

namespace {

// Guards the pointer only; never held while the handler works, so that a
// timer callback (which holds the timer service's lock) can always get it.
boost::mutex g_handler_mutex;
boost::shared_ptr<SubscribeHandler> g_handler;

// Clears the record of the thread running an initial-event handler however
// the handler ends.
class InitialHandlerScope {
  public:
    explicit InitialHandlerScope(boost::thread::id& record) : record_(record) {
        record_ = boost::this_thread::get_id();
    }
    ~InitialHandlerScope() { record_ = boost::thread::id(); }
    InitialHandlerScope(const InitialHandlerScope&) = delete;
    InitialHandlerScope& operator=(const InitialHandlerScope&) = delete;

  private:
    boost::thread::id& record_;
};

}  // namespace

SubscribeHandler::SubscribeHandler(const EventTimings& timings) : timings_(timings) {}

SubscribeHandler::~SubscribeHandler() {}

int SubscribeHandler::Create(const EventTimings& timings) {
    boost::shared_ptr<SubscribeHandler> handler;
    {
        boost::lock_guard<boost::mutex> lock(g_handler_mutex);
        if (g_handler)
            return 0;
        handler.reset(new (std::nothrow) SubscribeHandler(timings));
        if (!handler) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "SubscribeHandler allocation failed");
            return 1;
        }
        g_handler = handler;
    }
    if (!handler->StartThread()) {
        Destroy();
        return 1;
    }
    // Only the request lines of the two methods: the pattern is searched
    // in the whole head, and an action named Subscribe is not ours.
    std::vector<std::string> patterns;
    patterns.push_back("SUBSCRIBE /");
    patterns.push_back("UNSUBSCRIBE /");
    int id = -1;
    if (network_layer::RegisterTCPRequestListener(patterns, handler, id) != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "SUBSCRIBE registration failed");
        Destroy();
        return 1;
    }
    boost::lock_guard<boost::recursive_mutex> lock(handler->mutex_);
    handler->registrationId_ = id;
    return 0;
}

bool SubscribeHandler::StartThread() {
    try {
        work_.reset(new boost::asio::executor_work_guard<boost::asio::io_context::executor_type>(
            io_.get_executor()));
        const std::string name = utils::PrepareThreadName("ZelEvtIo");
        // The thread holds the handler until its loop has ended, so that a
        // tear-down that leaves it to end alone does not free its io_context.
        boost::shared_ptr<SubscribeHandler> self = shared_from_this();
        thread_ =
            utils::StartThread(utils::kApplicationThreadStackSize, [self] { self->RunLoop(); });
        utils::SetNameOnThread(thread_.get(), name, -1);
        return true;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "thread_resource_error exception:[%s]", e.what());
    }
    work_.reset();
    return false;
}

void SubscribeHandler::RunLoop() {
    // An exception out of a completion must not end delivery for good: the
    // loop runs on until Shutdown stops it.
    for (;;) {
        try {
            io_.run();
            return;
        } catch (const std::exception& e) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "eventing loop: exception: %s", e.what());
        } catch (...) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "eventing loop: unknown exception");
        }
    }
}

boost::shared_ptr<SubscribeHandler> SubscribeHandler::Detach() {
    boost::shared_ptr<SubscribeHandler> handler;
    boost::lock_guard<boost::mutex> lock(g_handler_mutex);
    handler.swap(g_handler);
    return handler;
}

void SubscribeHandler::Destroy() {
    boost::shared_ptr<SubscribeHandler> handler = Detach();
    if (handler)
        handler->Shutdown();
}

void SubscribeHandler::Shutdown() {
    int id = -1;
    std::vector<int> timers;
    Waiters waiters;
    bool insideInitialHandler = false;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
        id = registrationId_;
        registrationId_ = -1;
        for (const auto& service : services_)
            for (const auto& subscriber : service.second->subscribers)
                Retire(*subscriber.second, timers, waiters);
        services_.clear();
        for (const auto& orphan : orphans_)
            CloseQueue(*orphan.second, waiters);
        orphans_.clear();
        ready_[0].clear();
        ready_[1].clear();
        insideInitialHandler = InsideInitialHandler();
    }
    if (id >= 0)
        network_layer::UnRegisterRequestListener(id);
    CancelTimers(timers);
    Settle(waiters, false);
    work_.reset();
    io_.stop();
    if (thread_) {
        // An initial-event handler holds mutex_, which an exchange completion
        // on the eventing thread may be waiting for: joining would wait for
        // ourselves. The thread ends alone; the exchanges still posted to the
        // loop hold nothing of ours but themselves, and go with io_ when the
        // thread lets go of the handler.
        if (insideInitialHandler) {
            thread_->detach();
            thread_.reset();
            return;
        }
        thread_->join();
        thread_.reset();
    }
    // The cancellations posted above close their sockets now.
    io_.restart();
    io_.poll();
}

boost::shared_ptr<SubscribeHandler> SubscribeHandler::Instance() {
    boost::lock_guard<boost::mutex> lock(g_handler_mutex);
    return g_handler;
}

int SubscribeHandler::OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request,
                                           void* session) {
    try {
        if (!request)
            return SendText(WrongMethodAnswer(), session);
        if (request->GetRequestType() == utils::HTTP_UNSUBSCRIBE)
            return HandleUnSubscribeMessage(*request, session);
        if (request->GetRequestType() != utils::HTTP_SUBSCRIBE)
            return SendText(WrongMethodAnswer(), session);
        std::string uri;
        if (request->GetURI(uri) != 0 || uri.empty())
            return SendText(kEmptyUri, session);
        std::string sid;
        if (request->GetHeaderValue("SID", sid) == 0) {
            // Never ours with a control character in it; refused before it
            // can travel further.
            if (HasControlCharacter(sid))
                return SendText(kUnknownSubscription, session);
            return HandleRenewal(*request, uri, sid, session);
        }
        return HandleSubscribeRequest(*request, uri, session);
    } catch (const std::exception& e) {
        // Every throwing step (allocation) comes before an answer is handed
        // over, so the session is still ours.
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
    }
    return network_layer::SendSyncResponsePacket(
        kServerError, static_cast<int>(std::strlen(kServerError)), session);
}

int SubscribeHandler::HandleSubscribeRequest(const utils::HTTPInfo& request, const std::string& uri,
                                             void* session) {
    std::string nt;
    if (request.GetHeaderValue("NT", nt) != 0 || nt != "upnp:event")
        return SendText(kWrongNt, session);
    boost::shared_ptr<SubscriberInfo> subscriber(new SubscriberInfo());
    subscriber->peerAddress = request.GetClientIpAddress();
    if (!ExtractSubscribeInfo(request, request.GetMyIpAddress(), subscriber->peerAddress,
                              subscriber->callbacks))
        return SendText(kBadCallback, session);
    for (const auto& callback : subscriber->callbacks)
        callback->owner = subscriber;
    subscriber->timeoutSeconds = ExtractTimeoutInfo(request);
    subscriber->sid = GenerateSID();
    subscriber->eventPath = uri;
    if (subscriber->sid.empty())
        return SendText(kServerError, session);

    std::string eventUrl;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<ServiceInfo> service;
        for (const auto& entry : services_) {
            if (boost::ends_with(entry.first, uri)) {
                eventUrl = entry.first;
                service = entry.second;
                break;
            }
        }
        if (!service) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "Error!, Subscription failed, invalid event URL![%s]",
                     uri.c_str());
            return SendText(kNotFound, session);
        }
        if (service->subscribers.size() >= kMaxSubscribersPerService) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "[%s] already has %zu subscribers", eventUrl.c_str(),
                     service->subscribers.size());
            return SendText(kServerError, session);
        }
        size_t fromPeer = 0;
        for (const auto& entry : service->subscribers)
            fromPeer += entry.second->peerAddress == subscriber->peerAddress;
        if (fromPeer >= kMaxSubscriptionsPerAddress) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "[%s] refused: [%s] already holds %zu subscriptions",
                     eventUrl.c_str(), subscriber->peerAddress.c_str(), fromPeer);
            return SendText(kServerError, session);
        }
        if (!service->subscribers.insert(std::make_pair(subscriber->sid, subscriber)).second)
            return SendText(kServerError, session);
    }
    // Both timers before the answer: once the control point holds the SID
    // it may renew at once, on the other request worker.
    if (subscriber->timeoutSeconds != 0)
        StartTimer(kExpiryTimer, eventUrl, subscriber->sid, 0,
                   subscriber->timeoutSeconds * timings_.msPerTimeoutSecond);
    StartTimer(kInitialTimer, eventUrl, subscriber->sid, 0, timings_.initialEventDelayMs);
    return DeliverResponse(subscriber->sid, subscriber->timeoutSeconds, session);
}

int SubscribeHandler::HandleRenewal(const utils::HTTPInfo& request, const std::string& uri,
                                    const std::string& sid, void* session) {
    if (!HasHeader(request, "HOST"))
        return SendText(kRenewalNoHost, session);
    if (HasHeader(request, "NT") || HasHeader(request, "CALLBACK"))
        return SendText(kRenewalWithNtOrCallback, session);
    int oldTimer = 0;
    int timeoutSeconds = 0;
    unsigned generation = 0;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<SubscriberInfo> subscriber = FindSubscriber(uri, sid);
        if (!subscriber)
            return SendText(kUnknownSubscription, session);
        oldTimer = subscriber->expiryTimerId;
        subscriber->expiryTimerId = 0;
        generation = ++subscriber->generation;
        timeoutSeconds = subscriber->timeoutSeconds;
    }
    CancelTimer(oldTimer);
    const int result = DeliverResponse(sid, timeoutSeconds, session);
    if (timeoutSeconds != 0)
        StartTimer(kExpiryTimer, uri, sid, generation,
                   timeoutSeconds * timings_.msPerTimeoutSecond);
    return result;
}

int SubscribeHandler::HandleUnSubscribeMessage(const utils::HTTPInfo& request, void* session) {
    std::string sid;
    std::string uri;
    request.GetHeaderValue("SID", sid);
    request.GetURI(uri);
    if (sid.empty() || uri.empty())
        return SendText(kUnsubscribeNoSid, session);
    ZEL_LOGD(ZEL_CORE_CDCONTROL, "Received unsubscribe for sid [%s]", sid.c_str());
    if (HasHeader(request, "NT") || HasHeader(request, "CALLBACK"))
        return SendText(kIncompatibleHeaders, session);
    std::vector<int> timers;
    Waiters waiters;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<ServiceInfo> service = FindService(uri);
        auto found = service
                         ? service->subscribers.find(sid)
                         : std::map<std::string, boost::shared_ptr<SubscriberInfo> >::iterator();
        if (!service || found == service->subscribers.end())
            return SendText(kUnknownSubscription, session);
        Retire(*found->second, timers, waiters);
        service->subscribers.erase(found);
    }
    CancelTimers(timers);
    Settle(waiters, false);
    const int result = SendText(kUnsubscribed, session);
    ZEL_LOGD(ZEL_CORE_CDCONTROL, "Processed unsubscribe for sid [%s]", sid.c_str());
    return result;
}

boost::shared_ptr<SubscribeHandler::ServiceInfo> SubscribeHandler::FindService(
    const std::string& eventUrl) {
    auto found = services_.find(eventUrl);
    return found == services_.end() ? boost::shared_ptr<ServiceInfo>() : found->second;
}

boost::shared_ptr<SubscribeHandler::SubscriberInfo> SubscribeHandler::FindSubscriber(
    const std::string& eventUrl, const std::string& sid) {
    boost::shared_ptr<ServiceInfo> service = FindService(eventUrl);
    if (!service)
        return boost::shared_ptr<SubscriberInfo>();
    auto found = service->subscribers.find(sid);
    return found == service->subscribers.end() ? boost::shared_ptr<SubscriberInfo>()
                                               : found->second;
}

// Never throws: it runs after the answer has consumed the session, where an
// exception would reach a handler that answers the session again.
void SubscribeHandler::StartTimer(TimerKind kind, const std::string& eventUrl,
                                  const std::string& sid, unsigned generation,
                                  int timeoutMs) noexcept {
    TimerContext* context = nullptr;
    int id = 0;
    try {
        context = new TimerContext{kind, eventUrl, sid, generation};
        id = utils::Timer::Start(timeoutMs, &SubscribeHandler::OnTimer, context);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
    }
    if (id == 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "timer for [%s] could not be started", sid.c_str());
        delete context;
        return;
    }
    // Record the id for cancellation; if the subscriber went (or, for an
    // expiry timer, was renewed) meanwhile, nobody else will cancel it. An
    // initial-event timer whose event was requested already just fires and
    // finds nothing to do.
    bool recorded = false;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<SubscriberInfo> subscriber = FindSubscriber(eventUrl, sid);
        if (subscriber && kind == kExpiryTimer && subscriber->generation == generation) {
            subscriber->expiryTimerId = id;
            recorded = true;
        } else if (subscriber && kind == kInitialTimer) {
            if (!subscriber->initialEventRequested)
                subscriber->initialTimerId = id;
            recorded = true;
        }
    }
    if (!recorded)
        CancelTimer(id);
}

void SubscribeHandler::CancelTimer(int timerId) {
    if (timerId == 0)
        return;
    void* userData = nullptr;
    utils::Timer::Cancel(timerId, &userData);
    delete static_cast<TimerContext*>(userData);
}

void SubscribeHandler::Retire(const SubscriberInfo& subscriber, std::vector<int>& timers,
                              Waiters& waiters) {
    if (!subscriber.initialEventRequested)
        timers.push_back(subscriber.initialTimerId);
    timers.push_back(subscriber.expiryTimerId);
    for (const auto& callback : subscriber.callbacks)
        CloseQueue(*callback, waiters);
}

void SubscribeHandler::CancelTimers(const std::vector<int>& timers) {
    for (int id : timers)
        CancelTimer(id);
}

void SubscribeHandler::OnTimer(int, void* userData) {
    std::unique_ptr<TimerContext> context(static_cast<TimerContext*>(userData));
    boost::shared_ptr<SubscribeHandler> handler = Instance();
    if (!context || !handler)
        return;
    try {
        if (context->kind == kInitialTimer)
            handler->OnInitialTimer(*context);
        else
            handler->OnExpiryTimer(*context);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception in subscriber timer: %s", e.what());
    }
}

void SubscribeHandler::OnInitialTimer(const TimerContext& context) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    boost::shared_ptr<ServiceInfo> service = FindService(context.eventUrl);
    if (!service)
        return;
    auto found = service->subscribers.find(context.sid);
    if (found == service->subscribers.end() || found->second->initialEventRequested)
        return;
    // Copies: the handler may unsubscribe or re-register while it runs.
    const boost::shared_ptr<SubscriberInfo> subscriber = found->second;
    const InitialEventHandler handler = service->handler;
    const std::string tag = service->serviceTag;
    subscriber->initialTimerId = 0;
    if (handler) {
        InitialHandlerScope scope(initialHandlerThread_);
        // A handler that throws must not leave the subscriber unmarked, to
        // be skipped by every later event.
        for (const auto& callback : subscriber->callbacks) {
            try {
                handler(callback->host, callback->port, subscriber->sid, callback->path, tag);
            } catch (const std::exception& e) {
                ZEL_LOGE(ZEL_CORE_CDCONTROL, "initial-event handler threw: %s", e.what());
            } catch (...) {
                ZEL_LOGE(ZEL_CORE_CDCONTROL, "initial-event handler threw");
            }
        }
    }
    // After the handler: events to all it sends itself come after the
    // initial event it queued.
    subscriber->initialEventRequested = true;
}

void SubscribeHandler::OnExpiryTimer(const TimerContext& context) {
    std::vector<int> timers;
    Waiters waiters;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<ServiceInfo> service = FindService(context.eventUrl);
        if (!service)
            return;
        auto found = service->subscribers.find(context.sid);
        if (found == service->subscribers.end() || found->second->generation != context.generation)
            return;
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "subscription [%s] expired", context.sid.c_str());
        // This very timer is firing; its id is stale.
        found->second->expiryTimerId = 0;
        Retire(*found->second, timers, waiters);
        service->subscribers.erase(found);
    }
    // On the timer thread, where the timer service's lock is ours already.
    CancelTimers(timers);
    Settle(waiters, false);
}

bool SubscribeHandler::RegisterService(const std::string& eventUrl, const std::string& serviceTag,
                                       const InitialEventHandler& handler) {
    boost::shared_ptr<ServiceInfo> service(new ServiceInfo());
    service->serviceTag = serviceTag;
    service->handler = handler;
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    return services_.insert(std::make_pair(eventUrl, service)).second;
}

bool SubscribeHandler::UnRegisterService(const std::string& eventUrl) {
    std::vector<int> timers;
    Waiters waiters;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        auto found = services_.find(eventUrl);
        if (found == services_.end()) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "No services to remove.");
            return false;
        }
        for (const auto& subscriber : found->second->subscribers)
            Retire(*subscriber.second, timers, waiters);
        services_.erase(found);
    }
    CancelTimers(timers);
    Settle(waiters, false);
    return true;
}

void SubscribeHandler::CleanSubscribers() {
    std::vector<int> timers;
    Waiters waiters;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        for (const auto& service : services_) {
            for (const auto& subscriber : service.second->subscribers)
                Retire(*subscriber.second, timers, waiters);
            service.second->subscribers.clear();
        }
    }
    CancelTimers(timers);
    Settle(waiters, false);
}

size_t SubscribeHandler::SubscriberCount(const std::string& eventUrl) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    boost::shared_ptr<ServiceInfo> service = FindService(eventUrl);
    return service ? service->subscribers.size() : 0;
}

size_t SubscribeHandler::NotifiesInFlight() {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    return flights_.size();
}

bool SubscribeHandler::InsideInitialHandler() const {
    return initialHandlerThread_ == boost::this_thread::get_id();
}

}  // namespace cd_control
}  // namespace zel_upnp
