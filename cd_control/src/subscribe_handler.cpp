#include "cd_control/src/subscribe_handler.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_control {

namespace {

// Guards the pointer only; never held while the handler works, so that a
// timer callback (which holds the timer service's lock) can always get it.
boost::mutex g_handler_mutex;
boost::shared_ptr<SubscribeHandler> g_handler;

const char kSubscribeAccepted[] =
    "HTTP/1.1 200 OK\r\nCONNECTION: close\r\nSID: %s\r\nDATE: %s\r\n"
    "SERVER:UPnP/1.1 Varnesk Omnilume Server/1.0\r\nTIMEOUT: Second-%s\r\n"
    "CONTENT-LENGTH: 0\r\n\r\n";
const char kEventToAll[] =
    "NOTIFY %s HTTP/1.1\r\nSID: %s\r\nSEQ: %u\r\nDATE: %s\r\n"
    "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nCONNECTION: close\r\n"
    "CACHE-CONTROL: no-cache\r\nNTS: upnp:propchange\r\nNT: upnp:event\r\nHOST: %s:%d\r\n"
    "USER-AGENT: Varnesk Server UPnP/1.0\r\nCONTENT-LENGTH: %d\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
const char kEventToOne[] =
    "NOTIFY %s HTTP/1.1\r\nSID: %s\r\nSEQ: 0\r\nHOST: %s:%d\r\n"
    "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nCONNECTION: close\r\n"
    "NTS: upnp:propchange\r\nNT: upnp:event\r\nCONTENT-LENGTH: %d\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
// The XML declaration and the CR LF in front of the body.
const int kXmlPrologLength = 40;

const char kWrongNt[] = "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kBadCallback[] = "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0 \r\n\r\n";
const char kUnsubscribeNoSid[] = "HTTP/1.1 412 Precondition Failed \r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kRenewalNoHost[] = "HTTP/1.1 412 Precondition Failed\r\n\r\n";
const char kUnknownSubscription[] = "HTTP/1.1 412 Precondition Failed\r\nConnection: Close\r\n\r\n";
const char kEmptyUri[] = "HTTP/1.1 400 Bad Request\r\nCONTENT-LENGTH: 0 \r\n\r\n";
const char kRenewalWithNtOrCallback[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
const char kIncompatibleHeaders[] =
    "HTTP/1.1 400 Incompatible header fields \r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kNotFound[] = "HTTP/1.1 404 Not Found\r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kServerError[] = "HTTP/1.1 500 Internal Server Error\r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kUnsubscribed[] = "HTTP/1.1 200 OK \r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kWrongMethod[] =
    "HTTP/1.0 %d %s\r\nSERVER:UPnP/1.1 Varnesk Omnilume Server/1.0\r\nCONTENT-LENGTH: 0\r\n\r\n";

const int kDefaultTimeoutSeconds = 1800;
const char kInfiniteTimeout[] = "Second-infinite";
const int kSyncEventTimeoutMs = 30000;
const char kCallbackScheme[] = "http://";
const size_t kMinCallbackLength = 7;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<size_t>(size) + 1);
        std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(size));
    }
    va_end(args);
    return text;
}

int SendText(const std::string& text, void* session) {
    std::string* copy = new (std::nothrow) std::string(text);
    if (copy == nullptr)
        return network_layer::SendSyncResponsePacket(text, static_cast<int>(text.size()), session);
    const int result =
        network_layer::SendResponsePacket(copy, static_cast<int>(copy->size()), session);
    if (result != 0)
        delete copy;
    return result;
}

bool HasHeader(const utils::HTTPInfo& request, const char* name) {
    std::string value;
    return request.GetHeaderValue(name, value) == 0;
}

// "uuid:" and a random version 4 UUID; empty when the text cannot be made.
std::string GenerateSID() {
    try {
        // A generator of its own for each SID, seeded from the system's
        // entropy source.
        boost::uuids::random_generator generator;
        return "uuid:" + boost::uuids::to_string(generator());
    } catch (const std::exception&) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Bad Cast Exception while converting UUID to string!");
    }
    return std::string();
}

// The callbacks of a CALLBACK header; false when the header is missing,
// holds a piece that is not an http URL, or gives no usable URL.
bool ExtractSubscribeInfo(
    const utils::HTTPInfo& request,
    std::list<boost::shared_ptr<SubscribeHandler::SubscriberCallbackInfo> >& callbacks) {
    std::string value;
    if (request.GetHeaderValue("CALLBACK", value) != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "CALLBACK header not found!");
        return false;
    }
    if (value.size() > kMaxCallbackHeaderLength) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "CALLBACK header of %zu bytes refused", value.size());
        return false;
    }
    std::vector<std::string> pieces;
    size_t pos = 0;
    while ((pos = value.find('<', pos)) != std::string::npos) {
        const size_t end = value.find('>', pos + 1);
        if (end == std::string::npos)
            break;
        if (end > pos + 1)
            pieces.push_back(value.substr(pos + 1, end - pos - 1));
        pos = end + 1;
    }
    for (const std::string& piece : pieces) {
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "Call back is %s", piece.c_str());
        if (piece.size() < kMinCallbackLength || !boost::starts_with(piece, kCallbackScheme)) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, " Callback Error ");
            return false;
        }
        const std::string rest = piece.substr(std::strlen(kCallbackScheme));
        const size_t colon = rest.find(':');
        const size_t slash = colon == std::string::npos ? std::string::npos : rest.find('/', colon);
        if (slash == std::string::npos) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, " Invalid URL.");
            continue;
        }
        const std::string host = rest.substr(0, colon);
        const std::string digits = rest.substr(colon + 1, slash - colon - 1);
        char* end = nullptr;
        errno = 0;
        const long port = std::strtol(digits.c_str(), &end, 10);
        const bool portOk =
            !digits.empty() && errno == 0 && *end == '\0' && port >= 1 && port <= 65535;
        const std::string path = rest.substr(slash);
        ZEL_LOGD(ZEL_CORE_CDCONTROL,
                 "Got Subscription request from ip_address [%s]:[%d] callback [%s]", host.c_str(),
                 portOk ? static_cast<int>(port) : 0, path.c_str());
        if (host.empty() || !portOk || path.empty()) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, " ip port or callback Error ");
            continue;
        }
        if (callbacks.size() == kMaxCallbacksPerSubscriber) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "callback [%s] beyond %zu ignored", piece.c_str(),
                     kMaxCallbacksPerSubscriber);
            continue;
        }
        boost::shared_ptr<SubscribeHandler::SubscriberCallbackInfo> callback(
            new SubscribeHandler::SubscriberCallbackInfo());
        callback->host = host;
        callback->port = static_cast<int>(port);
        callback->path = path;
        callbacks.push_back(callback);
    }
    if (callbacks.empty()) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid callbacks or No callbacks");
        return false;
    }
    return true;
}

// Seconds of the TIMEOUT header; 0 means infinite.
int ExtractTimeoutInfo(const utils::HTTPInfo& request) {
    std::string value;
    if (request.GetHeaderValue("TIMEOUT", value) != 0) {
        ZEL_LOGD(ZEL_CORE_CDCONTROL, " Timeout Error ");
        return kDefaultTimeoutSeconds;
    }
    if (value == kInfiniteTimeout)
        return 0;
    const size_t dash = value.find('-');
    const std::string digits = dash == std::string::npos ? std::string() : value.substr(dash + 1);
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(digits.c_str(), &end, 10);
    // An unreadable number, or one a timer cannot hold, is taken as infinite.
    if (digits.empty() || errno != 0 || *end != '\0' || seconds < 0 ||
        seconds > std::numeric_limits<int>::max() / 1000)
        return 0;
    return static_cast<int>(seconds);
}

std::string TimeoutText(int seconds) {
    return seconds == 0 ? std::string("infinite") : std::to_string(seconds);
}

// The 200 answer to a SUBSCRIBE; nothing is sent without a date.
int DeliverResponse(const std::string& sid, int timeoutSeconds, void* session) {
    std::string date;
    if (utils::Generate_CurrentDate(date) != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Generate_CurrentDate failed!");
        return 1;
    }
    return SendText(
        Format(kSubscribeAccepted, sid.c_str(), date.c_str(), TimeoutText(timeoutSeconds).c_str()),
        session);
}

std::string EventToOne(const std::string& path, const std::string& sid, const std::string& host,
                       int port, const std::string& body) {
    return Format(kEventToOne, path.c_str(), sid.c_str(), host.c_str(), port,
                  static_cast<int>(body.size()) + kXmlPrologLength) +
           body;
}

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
    std::vector<std::string> patterns;
    patterns.push_back("SUBSCRIBE");
    patterns.push_back("UNSUBSCRIBE");
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

void SubscribeHandler::Destroy() {
    boost::shared_ptr<SubscribeHandler> handler;
    {
        boost::lock_guard<boost::mutex> lock(g_handler_mutex);
        handler.swap(g_handler);
    }
    if (!handler)
        return;
    int id = -1;
    std::vector<int> timers;
    {
        boost::lock_guard<boost::recursive_mutex> lock(handler->mutex_);
        id = handler->registrationId_;
        handler->registrationId_ = -1;
        for (const auto& service : handler->services_)
            for (const auto& subscriber : service.second->subscribers)
                CollectTimers(*subscriber.second, timers);
        handler->services_.clear();
    }
    if (id >= 0)
        network_layer::UnRegisterRequestListener(id);
    CancelTimers(timers);
}

boost::shared_ptr<SubscribeHandler> SubscribeHandler::Instance() {
    boost::lock_guard<boost::mutex> lock(g_handler_mutex);
    return g_handler;
}

int SubscribeHandler::OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request,
                                           void* session) {
    try {
        if (!request)
            return SendText(Format(kWrongMethod, 412, "Precondition Failed"), session);
        if (request->GetRequestType() == utils::HTTP_UNSUBSCRIBE)
            return HandleUnSubscribeMessage(*request, session);
        if (request->GetRequestType() != utils::HTTP_SUBSCRIBE)
            return SendText(Format(kWrongMethod, 412, "Precondition Failed"), session);
        std::string uri;
        if (request->GetURI(uri) != 0 || uri.empty())
            return SendText(kEmptyUri, session);
        std::string sid;
        if (request->GetHeaderValue("SID", sid) == 0)
            return HandleRenewal(*request, uri, sid, session);
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
    if (!ExtractSubscribeInfo(request, subscriber->callbacks))
        return SendText(kBadCallback, session);
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
        if (!service->subscribers.insert(std::make_pair(subscriber->sid, subscriber)).second)
            return SendText(kServerError, session);
    }
    if (subscriber->timeoutSeconds != 0)
        StartTimer(kExpiryTimer, eventUrl, subscriber->sid, 0,
                   subscriber->timeoutSeconds * timings_.msPerTimeoutSecond);
    const int result = DeliverResponse(subscriber->sid, subscriber->timeoutSeconds, session);
    StartTimer(kInitialTimer, eventUrl, subscriber->sid, 0, timings_.initialEventDelayMs);
    return result;
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
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<ServiceInfo> service = FindService(uri);
        auto found = service
                         ? service->subscribers.find(sid)
                         : std::map<std::string, boost::shared_ptr<SubscriberInfo> >::iterator();
        if (!service || found == service->subscribers.end())
            return SendText(kUnknownSubscription, session);
        CollectTimers(*found->second, timers);
        service->subscribers.erase(found);
    }
    CancelTimers(timers);
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

void SubscribeHandler::StartTimer(TimerKind kind, const std::string& eventUrl,
                                  const std::string& sid, unsigned generation, int timeoutMs) {
    TimerContext* context = new TimerContext{kind, eventUrl, sid, generation};
    const int id = utils::Timer::Start(timeoutMs, &SubscribeHandler::OnTimer, context);
    if (id == 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "timer for [%s] could not be started", sid.c_str());
        delete context;
        return;
    }
    // Record the id for cancellation; if the subscriber went (or was renewed)
    // meanwhile, nobody else will cancel this timer.
    bool recorded = false;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<SubscriberInfo> subscriber = FindSubscriber(eventUrl, sid);
        if (subscriber && subscriber->generation == generation) {
            if (kind == kExpiryTimer)
                subscriber->expiryTimerId = id;
            else if (!subscriber->initialEventRequested)
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

void SubscribeHandler::CollectTimers(const SubscriberInfo& subscriber, std::vector<int>& timers) {
    if (!subscriber.initialEventRequested)
        timers.push_back(subscriber.initialTimerId);
    timers.push_back(subscriber.expiryTimerId);
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
        for (const auto& callback : subscriber->callbacks)
            handler(callback->host, callback->port, subscriber->sid, callback->path, tag);
    }
    subscriber->initialEventRequested = true;
}

void SubscribeHandler::OnExpiryTimer(const TimerContext& context) {
    std::vector<int> timers;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<ServiceInfo> service = FindService(context.eventUrl);
        if (!service)
            return;
        auto found = service->subscribers.find(context.sid);
        if (found == service->subscribers.end() || found->second->generation != context.generation)
            return;
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "subscription [%s] expired", context.sid.c_str());
        if (!found->second->initialEventRequested)
            timers.push_back(found->second->initialTimerId);
        service->subscribers.erase(found);
    }
    // On the timer thread, where the timer service's lock is ours already.
    CancelTimers(timers);
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
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        auto found = services_.find(eventUrl);
        if (found == services_.end()) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "No services to remove.");
            return false;
        }
        for (const auto& subscriber : found->second->subscribers)
            CollectTimers(*subscriber.second, timers);
        services_.erase(found);
    }
    CancelTimers(timers);
    return true;
}

void SubscribeHandler::CleanSubscribers() {
    std::vector<int> timers;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        for (const auto& service : services_) {
            for (const auto& subscriber : service.second->subscribers)
                CollectTimers(*subscriber.second, timers);
            service.second->subscribers.clear();
        }
    }
    CancelTimers(timers);
}

size_t SubscribeHandler::SubscriberCount(const std::string& eventUrl) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    boost::shared_ptr<ServiceInfo> service = FindService(eventUrl);
    return service ? service->subscribers.size() : 0;
}

int SubscribeHandler::SendAsync(SubscriberCallbackInfo& callback, const std::string& message) {
    int sessionId = 0;
    const int result = network_layer::SendTCPHTTPPacket(
        callback.host, callback.port, message, static_cast<int>(message.size()),
        boost::shared_ptr<network_layer::ResponseListener>(), sessionId);
    if (result != 0)
        return result;
    callback.pendingSessions.push_back(sessionId);
    if (callback.pendingSessions.size() > kMaxPendingNotifiesPerCallback) {
        // A finished session's id is simply unknown to the client by now.
        network_layer::CancelTCPHTTPPacket(callback.pendingSessions.front());
        callback.pendingSessions.pop_front();
    }
    return 0;
}

int SubscribeHandler::SendSyncAll(const std::vector<Outgoing>& messages) {
    std::atomic<size_t> next(0);
    std::atomic<bool> failed(false);
    auto work = [&] {
        for (size_t i = next++; i < messages.size(); i = next++) {
            boost::shared_ptr<utils::HTTPInfo> response(new utils::HTTPInfo());
            if (network_layer::SendSyncTCPPacket(messages[i].host, messages[i].port,
                                                 messages[i].message,
                                                 static_cast<int>(messages[i].message.size()),
                                                 response, kSyncEventTimeoutMs) != 0) {
                ZEL_LOGE(ZEL_CORE_CDCONTROL, "Error : QX_CDC_PACKET_SENDING_FAILED");
                failed = true;
            }
        }
    };
    const size_t helpers =
        std::min(messages.size(), kMaxSyncSendThreads) - (messages.empty() ? 0 : 1);
    boost::thread_group group;
    const std::string name = utils::PrepareThreadName("ZelEvtSync");
    try {
        for (size_t i = 0; i < helpers; ++i) {
            boost::thread* thread = group.create_thread(work);
            utils::SetNameOnThread(thread, name, static_cast<int>(i));
        }
    } catch (const std::exception& e) {
        // The calling thread below still sends whatever is left.
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "thread_resource_error exception:[%s]", e.what());
    }
    work();
    group.join_all();
    return failed ? CDC_PACKET_SENDING_FAILED : CDC_EVENT_SUCCESS;
}

int SubscribeHandler::SendOne(const std::string& host, int port, const std::string& sid,
                              const std::string& body, const std::string& path,
                              const std::string& eventUrl, bool needSubscriber, bool sync) {
    const std::string message = EventToOne(path, sid, host, port, body);
    boost::unique_lock<boost::recursive_mutex> lock(mutex_);
    boost::shared_ptr<ServiceInfo> service = FindService(eventUrl);
    if (!service) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid service found!");
        return CDC_NO_SERVICE;
    }
    boost::shared_ptr<SubscriberInfo> subscriber = FindSubscriber(eventUrl, sid);
    if (needSubscriber && !subscriber) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid subscribers found!");
        return CDC_NO_SUBSCRIBER;
    }
    if (sync)
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "Sending Sync Single Event to ip_address [%s] [%s]",
                 host.c_str(), message.c_str());
    else
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "Sending Single Event to ip_address [%s] [%s]", host.c_str(),
                 message.c_str());
    if (sync) {
        lock.unlock();
        return SendSyncAll(std::vector<Outgoing>(1, Outgoing{host, port, message}));
    }
    // The subscriber's own callback carries the bound on NOTIFYs in flight;
    // a host:port it did not name gets an untracked one.
    for (const auto& callback : subscriber
                                    ? subscriber->callbacks
                                    : std::list<boost::shared_ptr<SubscriberCallbackInfo> >()) {
        if (callback->host == host && callback->port == port)
            return SendAsync(*callback, message) == 0 ? CDC_EVENT_SUCCESS
                                                      : CDC_PACKET_SENDING_FAILED;
    }
    SubscriberCallbackInfo untracked;
    untracked.host = host;
    untracked.port = port;
    if (SendAsync(untracked, message) != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Error : QX_CDC_PACKET_SENDING_FAILED");
        return CDC_PACKET_SENDING_FAILED;
    }
    return CDC_EVENT_SUCCESS;
}

int SubscribeHandler::SendToAll(const std::string& body, const std::string& eventUrl, bool sync) {
    std::vector<Outgoing> messages;
    int result = CDC_EVENT_SUCCESS;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<ServiceInfo> service = FindService(eventUrl);
        if (!service) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid service found!");
            return CDC_NO_SERVICE;
        }
        std::string date;
        if (utils::Generate_CurrentDate(date) != 0)
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "Generate_CurrentDate failed!");
        const int length = static_cast<int>(body.size()) + kXmlPrologLength;
        for (const auto& entry : service->subscribers) {
            SubscriberInfo& subscriber = *entry.second;
            if (!subscriber.initialEventRequested)
                continue;
            for (const auto& callback : subscriber.callbacks) {
                // SEQ 0 belongs to the initial event; after the largest
                // number the count starts again at 1.
                if (subscriber.nextSeq == 0xFFFFFFFFu || subscriber.nextSeq == 0)
                    subscriber.nextSeq = 1;
                const std::string message =
                    Format(kEventToAll, callback->path.c_str(), subscriber.sid.c_str(),
                           subscriber.nextSeq++, date.c_str(), callback->host.c_str(),
                           callback->port, length) +
                    body;
                ZEL_LOGD(ZEL_CORE_CDCONTROL, "Sending Event to ip_address [%s]",
                         callback->host.c_str());
                if (sync) {
                    messages.push_back(Outgoing{callback->host, callback->port, message});
                } else if (SendAsync(*callback, message) != 0) {
                    // One unreachable callback must not cost the others
                    // their event.
                    ZEL_LOGE(ZEL_CORE_CDCONTROL, "Error : QX_CDC_PACKET_SENDING_FAILED");
                    result = CDC_PACKET_SENDING_FAILED;
                }
            }
        }
    }
    if (sync)
        return SendSyncAll(messages);
    return result;
}

// ---------------------------------------------------------------------------
// The family's eventing calls.
// ---------------------------------------------------------------------------

bool RegisterServiceForSubscribe(const std::string&, const std::string& eventUrl,
                                 const std::string& serviceTag, InitialEventHandler handler) {
    boost::shared_ptr<SubscribeHandler> instance = SubscribeHandler::Instance();
    try {
        return instance && instance->RegisterService(eventUrl, serviceTag, handler);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
    }
    return false;
}

bool UnRegisterServiceFromSubscribe(const std::string& eventUrl) {
    boost::shared_ptr<SubscribeHandler> instance = SubscribeHandler::Instance();
    if (!instance) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No services to remove.");
        return false;
    }
    return instance->UnRegisterService(eventUrl);
}

void CleanServiceSubscribers() {
    boost::shared_ptr<SubscribeHandler> instance = SubscribeHandler::Instance();
    if (instance)
        instance->CleanSubscribers();
}

namespace {

int SendOneEvent(const std::string& host, int port, const std::string& sid, const std::string& body,
                 const std::string& path, const std::string& eventUrl, bool needSubscriber,
                 bool sync) {
    boost::shared_ptr<SubscribeHandler> instance = SubscribeHandler::Instance();
    if (!instance) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid service found!");
        return CDC_NO_SERVICE;
    }
    try {
        return instance->SendOne(host, port, sid, body, path, eventUrl, needSubscriber, sync);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
    }
    return CDC_PACKET_SENDING_FAILED;
}

int SendEventToAll(const std::string& body, const std::string& eventUrl, bool sync) {
    boost::shared_ptr<SubscribeHandler> instance = SubscribeHandler::Instance();
    if (!instance) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid service found!");
        return CDC_NO_SERVICE;
    }
    try {
        return instance->SendToAll(body, eventUrl, sync);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
    }
    return CDC_PACKET_SENDING_FAILED;
}

}  // namespace

int SendInitialEvent(const std::string& host, const int& port, const std::string& sid,
                     const std::string& body, const std::string& path,
                     const std::string& eventUrl) {
    return SendOneEvent(host, port, sid, body, path, eventUrl, false, false);
}

int SendSingleEvent(const std::string& host, const int& port, const std::string& sid,
                    const std::string& body, const std::string& path, const std::string& eventUrl) {
    return SendOneEvent(host, port, sid, body, path, eventUrl, true, false);
}

int SendSyncSingleEvent(const std::string& host, const int& port, const std::string& sid,
                        const std::string& body, const std::string& path,
                        const std::string& eventUrl) {
    return SendOneEvent(host, port, sid, body, path, eventUrl, true, true);
}

int SendMulticastEvent(const std::string&, const std::string& body, const std::string& eventUrl) {
    return SendEventToAll(body, eventUrl, false);
}

int SendSyncMulticastEvent(const std::string&, const std::string& body,
                           const std::string& eventUrl) {
    return SendEventToAll(body, eventUrl, true);
}

}  // namespace cd_control
}  // namespace zel_upnp
