#include "cd_control/src/subscribe_handler.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/post.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "cd_control/src/notify_delivery.h"
#include "network_layer/src/tcp_routes.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace cd_control {

namespace {

// Guards the pointer only; never held while the handler works, so that a
// timer callback (which holds the timer service's lock) can always get it.
boost::mutex g_handler_mutex;
boost::shared_ptr<SubscribeHandler> g_handler;
// Process-wide, outlives the handler: a choice of the application.
std::atomic<int> g_callback_policy(CALLBACK_SAME_SUBNET);

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

// True when text holds a byte that must never reach a request line or a
// header we write: any control character, CR, LF and NUL among them.
bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

// An absolute path of printable characters without spaces: what may follow
// "NOTIFY " in our request line.
bool IsPrintablePath(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return false;
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7F)
            return false;
    }
    return true;
}

// text as an IPv4 address in host byte order; false for anything else,
// host names included.
bool ParseIpv4(const std::string& text, uint32_t& address) {
    in_addr parsed;
    // c_str() would end the text at an embedded NUL.
    if (HasControlCharacter(text) || inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

// Why NOTIFYs may not go to host for a SUBSCRIBE that arrived on
// localAddress; null when they may. A peer that names a destination asks us
// to send there on its behalf, so only its own LAN qualifies.
const char* CallbackHostRefusal(const std::string& host, const std::string& localAddress) {
    uint32_t address = 0;
    if (!ParseIpv4(host, address))
        return "not an IPv4 address";
    if (g_callback_policy.load() == CALLBACK_ANY_HOST)
        return nullptr;
    const uint32_t top = address >> 24;
    if (top == 127 || top == 0 || (address >> 29) == 7)
        return "a loopback, this-network or multicast address";
    if (network_layer::IsLocalMachine(host))
        return "an address of this device";
    network_layer::NetInfo info;
    uint32_t local = 0;
    uint32_t mask = 0;
    if (!ParseIpv4(localAddress, local) ||
        network_layer::GetNetworkInterfaceByIP(localAddress, info) != 0 ||
        !ParseIpv4(info.subnet_mask, mask))
        return "not reachable from a known interface";
    if ((address & mask) != (local & mask))
        return "outside the subnet the SUBSCRIBE came from";
    return nullptr;
}

// The callbacks of a CALLBACK header; false when the header is missing,
// holds a piece that is not an http URL, or gives no usable URL. A URL
// whose host or path the guard refuses is skipped like a malformed one.
bool ExtractSubscribeInfo(
    const utils::HTTPInfo& request, const std::string& localAddress,
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
        if (!IsPrintablePath(path)) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "callback path refused: not printable or not absolute");
            continue;
        }
        const char* refusal = CallbackHostRefusal(host, localAddress);
        if (refusal != nullptr) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "callback host [%s] refused: %s", host.c_str(), refusal);
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

// The 200 answer to a SUBSCRIBE; nothing is sent without a date, but the
// session is still handed back (and its connection closed) so that it does
// not wait for its read deadline.
int DeliverResponse(const std::string& sid, int timeoutSeconds, void* session) {
    std::string date;
    if (utils::Generate_CurrentDate(date) != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Generate_CurrentDate failed!");
        network_layer::SendResponsePacket(nullptr, 0, session);
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
    if (!handler->StartThread()) {
        Destroy();
        return 1;
    }
    // Routed by method alone (every path): an action named Subscribe, or
    // a header holding the word, is not ours.
    const std::vector<network_layer::TcpRoute> routes = {{utils::HTTP_SUBSCRIBE, ""},
                                                         {utils::HTTP_UNSUBSCRIBE, ""}};
    int id = -1;
    if (network_layer::RegisterTCPRoutes(routes, handler, network_layer::RouteThread::kWorker,
                                         id) != 0) {
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
        thread_ = utils::StartThread(utils::kApplicationThreadStackSize, [self] {
            try {
                self->io_.run();
            } catch (const std::exception& e) {
                ZEL_LOGE(ZEL_CORE_CDCONTROL, "eventing loop ended by exception: %s", e.what());
            }
        });
        utils::SetNameOnThread(thread_.get(), name, -1);
        return true;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "thread_resource_error exception:[%s]", e.what());
    }
    work_.reset();
    return false;
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
        awaitingSlot_.clear();
        insideInitialHandler = initialHandlerThread_ == boost::this_thread::get_id();
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
        // ourselves.
        if (insideInitialHandler) {
            thread_->detach();
            thread_.reset();
            return;
        }
        thread_->join();
        thread_.reset();
    }
    // The cancellations posted above: each exchange lets go of its queue
    // only when its completion runs.
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
            return SendText(Format(kWrongMethod, 412, "Precondition Failed"), session);
        if (request->GetRequestType() == utils::HTTP_UNSUBSCRIBE)
            return HandleUnSubscribeMessage(*request, session);
        if (request->GetRequestType() != utils::HTTP_SUBSCRIBE)
            return SendText(Format(kWrongMethod, 412, "Precondition Failed"), session);
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
    if (!ExtractSubscribeInfo(request, request.GetMyIpAddress(), subscriber->callbacks))
        return SendText(kBadCallback, session);
    subscriber->peerAddress = request.GetClientIpAddress();
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

void SubscribeHandler::Retire(const SubscriberInfo& subscriber, std::vector<int>& timers,
                              Waiters& waiters) {
    if (!subscriber.initialEventRequested)
        timers.push_back(subscriber.initialTimerId);
    timers.push_back(subscriber.expiryTimerId);
    for (const auto& callback : subscriber.callbacks)
        CloseQueue(*callback, waiters);
}

void SubscribeHandler::CloseQueue(SubscriberCallbackInfo& callback, Waiters& waiters) {
    callback.closed = true;
    for (const QueuedNotify& message : callback.waiting) {
        if (message.waiter)
            waiters.push_back(message.waiter);
    }
    callback.waiting.clear();
    callback.waitingBytes = 0;
    // Its completion still comes, and frees the slot.
    if (callback.inFlight)
        callback.inFlight->Cancel();
}

void SubscribeHandler::Settle(const Waiters& waiters, bool delivered) {
    for (const auto& waiter : waiters) {
        boost::lock_guard<boost::mutex> lock(waiter->mutex);
        waiter->failed = waiter->failed || !delivered;
        if (--waiter->remaining == 0)
            waiter->done.notify_all();
    }
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
        initialHandlerThread_ = boost::this_thread::get_id();
        for (const auto& callback : subscriber->callbacks)
            handler(callback->host, callback->port, subscriber->sid, callback->path, tag);
        initialHandlerThread_ = boost::thread::id();
    }
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
    return inFlight_;
}

boost::shared_ptr<SubscribeHandler::SubscriberCallbackInfo> SubscribeHandler::QueueFor(
    const boost::shared_ptr<SubscriberInfo>& subscriber, const std::string& host, int port,
    const std::string& path) {
    if (subscriber) {
        boost::shared_ptr<SubscriberCallbackInfo> sameHost;
        for (const auto& callback : subscriber->callbacks) {
            if (callback->host != host || callback->port != port)
                continue;
            if (callback->path == path)
                return callback;
            if (!sameHost)
                sameHost = callback;
        }
        if (sameHost)
            return sameHost;
    }
    const std::string key = host + ":" + std::to_string(port) + " " + path;
    boost::shared_ptr<SubscriberCallbackInfo>& orphan = orphans_[key];
    if (!orphan) {
        orphan.reset(new SubscriberCallbackInfo());
        orphan->host = host;
        orphan->port = port;
        orphan->path = path;
    }
    return orphan;
}

bool SubscribeHandler::Enqueue(const boost::shared_ptr<SubscriberCallbackInfo>& callback,
                               QueuedNotify message, Waiters& dropped) {
    if (callback->closed || stopped_)
        return false;
    callback->waitingBytes += message.body.size();
    callback->waiting.push_back(std::move(message));
    if (callback->waiting.size() > kMaxQueuedNotifies ||
        callback->waitingBytes > kMaxQueuedNotifyBytes)
        Compact(*callback, dropped);
    Pump(callback);
    return true;
}

void SubscribeHandler::Compact(SubscriberCallbackInfo& callback, Waiters& dropped) {
    // The waiting events to all nobody waits for become one, in the place
    // of the last of them, so that the latest values still come last.
    std::vector<const std::string*> bodies;
    size_t last = 0;
    for (size_t i = 0; i < callback.waiting.size(); ++i) {
        const QueuedNotify& message = callback.waiting[i];
        if (message.toAll && !message.waiter) {
            bodies.push_back(&message.body);
            last = i;
        }
    }
    std::string merged;
    if (bodies.size() > 1 && MergePropertySets(bodies, merged)) {
        QueuedNotify into = callback.waiting[last];
        into.body.swap(merged);
        std::deque<QueuedNotify> kept;
        for (size_t i = 0; i < callback.waiting.size(); ++i) {
            const QueuedNotify& message = callback.waiting[i];
            if (i == last)
                kept.push_back(std::move(into));
            else if (!message.toAll || message.waiter)
                kept.push_back(std::move(callback.waiting[i]));
        }
        callback.waiting.swap(kept);
        callback.waitingBytes = 0;
        for (const QueuedNotify& message : callback.waiting)
            callback.waitingBytes += message.body.size();
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "merged %zu events waiting for [%s:%d]", bodies.size(),
                 callback.host.c_str(), callback.port);
    }
    // Bodies that are not property sets cannot be merged; the oldest go.
    while (callback.waiting.size() > 1 && (callback.waiting.size() > kMaxQueuedNotifies ||
                                           callback.waitingBytes > kMaxQueuedNotifyBytes)) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "event for [%s:%d] dropped: queue full", callback.host.c_str(),
                 callback.port);
        if (callback.waiting.front().waiter)
            dropped.push_back(callback.waiting.front().waiter);
        callback.waitingBytes -= callback.waiting.front().body.size();
        callback.waiting.pop_front();
    }
}

void SubscribeHandler::Pump(const boost::shared_ptr<SubscriberCallbackInfo>& callback) {
    if (callback->inFlight || callback->closed || stopped_ || callback->waiting.empty())
        return;
    if (inFlight_ >= kMaxNotifiesInFlight) {
        if (!callback->awaitingSlot) {
            callback->awaitingSlot = true;
            awaitingSlot_.push_back(callback);
        }
        return;
    }
    QueuedNotify next = std::move(callback->waiting.front());
    callback->waiting.pop_front();
    callback->waitingBytes -= next.body.size();
    std::string message;
    if (next.toAll) {
        const boost::shared_ptr<SubscriberInfo> owner = callback->owner.lock();
        uint32_t seq = 1;
        if (owner) {
            // SEQ 0 belongs to the initial event; after the largest number
            // the count starts again at 1.
            if (owner->nextSeq == 0xFFFFFFFFu || owner->nextSeq == 0)
                owner->nextSeq = 1;
            seq = owner->nextSeq++;
        }
        std::string date;
        if (utils::Generate_CurrentDate(date) != 0)
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "Generate_CurrentDate failed!");
        message = Format(kEventToAll, next.path.c_str(), next.sid.c_str(), seq, date.c_str(),
                         next.host.c_str(), next.port,
                         static_cast<int>(next.body.size()) + kXmlPrologLength) +
                  next.body;
    } else {
        message = EventToOne(next.path, next.sid, next.host, next.port, next.body);
    }
    boost::weak_ptr<SubscribeHandler> self = shared_from_this();
    boost::shared_ptr<NotifyExchange> exchange(
        new NotifyExchange(io_, callback->host, callback->port, std::move(message),
                           timings_.notifyDeadlineMs, [self, callback](bool delivered) {
                               boost::shared_ptr<SubscribeHandler> handler = self.lock();
                               if (handler)
                                   handler->OnDelivered(callback, delivered);
                           }));
    callback->inFlight = exchange;
    callback->inFlightWaiter = next.waiter;
    ++inFlight_;
    exchange->Start();
}

void SubscribeHandler::OnDelivered(const boost::shared_ptr<SubscriberCallbackInfo>& callback,
                                   bool delivered) {
    boost::shared_ptr<SyncWaiter> waiter;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        --inFlight_;
        callback->inFlight.reset();
        waiter.swap(callback->inFlightWaiter);
        if (delivered) {
            callback->failures = 0;
        } else if (!callback->closed) {
            ++callback->failures;
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "NOTIFY to [%s:%d] failed (%u in a row)",
                     callback->host.c_str(), callback->port, callback->failures);
        }
        Pump(callback);
        if (!callback->inFlight && callback->waiting.empty() && callback->owner.expired()) {
            auto found = orphans_.find(callback->host + ":" + std::to_string(callback->port) + " " +
                                       callback->path);
            if (found != orphans_.end() && found->second == callback)
                orphans_.erase(found);
        }
        while (inFlight_ < kMaxNotifiesInFlight && !awaitingSlot_.empty()) {
            boost::shared_ptr<SubscriberCallbackInfo> next = awaitingSlot_.front().lock();
            awaitingSlot_.pop_front();
            if (next) {
                next->awaitingSlot = false;
                Pump(next);
            }
        }
    }
    if (waiter)
        Settle(Waiters(1, waiter), delivered);
}

int SubscribeHandler::Await(const boost::shared_ptr<SyncWaiter>& waiter) {
    boost::unique_lock<boost::mutex> lock(waiter->mutex);
    // Each message ahead and this one take at most one deadline each; past
    // that the eventing thread is stuck and the caller is let go.
    const auto limit = std::chrono::milliseconds(static_cast<long long>(timings_.notifyDeadlineMs) *
                                                 (kMaxQueuedNotifies + 2));
    if (!waiter->done.wait_for(lock, boost::chrono::milliseconds(limit.count()),
                               [&] { return waiter->remaining == 0; }))
        return CDC_PACKET_SENDING_FAILED;
    return waiter->failed ? CDC_PACKET_SENDING_FAILED : CDC_EVENT_SUCCESS;
}

int SubscribeHandler::SendOne(const std::string& host, int port, const std::string& sid,
                              const std::string& body, const std::string& path,
                              const std::string& eventUrl, bool needSubscriber, bool sync) {
    boost::shared_ptr<SyncWaiter> waiter;
    if (sync) {
        waiter.reset(new SyncWaiter());
        waiter->remaining = 1;
    }
    Waiters dropped;
    int result = CDC_EVENT_SUCCESS;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
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
        // The application's own text goes into our request line and
        // headers; a path or SID that would break them is not sent.
        if (!IsPrintablePath(path) || HasControlCharacter(sid) || HasControlCharacter(host)) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "Error : QX_CDC_PACKET_SENDING_FAILED");
            return CDC_PACKET_SENDING_FAILED;
        }
        if (sync)
            ZEL_LOGD(ZEL_CORE_CDCONTROL, "Sending Sync Single Event to ip_address [%s] [%s]",
                     host.c_str(), body.c_str());
        else
            ZEL_LOGD(ZEL_CORE_CDCONTROL, "Sending Single Event to ip_address [%s] [%s]",
                     host.c_str(), body.c_str());
        QueuedNotify message;
        message.body = body;
        message.sid = sid;
        message.host = host;
        message.port = port;
        message.path = path;
        message.waiter = waiter;
        const boost::shared_ptr<SubscriberCallbackInfo> callback =
            QueueFor(subscriber, host, port, path);
        if (!Enqueue(callback, std::move(message), dropped) ||
            callback->failures >= kMaxCallbackFailures) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "Error : QX_CDC_PACKET_SENDING_FAILED");
            result = CDC_PACKET_SENDING_FAILED;
            if (callback->closed || stopped_)
                waiter.reset();
        }
    }
    Settle(dropped, false);
    if (waiter && Await(waiter) != CDC_EVENT_SUCCESS)
        result = CDC_PACKET_SENDING_FAILED;
    return result;
}

int SubscribeHandler::SendToAll(const std::string& body, const std::string& eventUrl, bool sync) {
    boost::shared_ptr<SyncWaiter> waiter;
    if (sync)
        waiter.reset(new SyncWaiter());
    Waiters dropped;
    int result = CDC_EVENT_SUCCESS;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        boost::shared_ptr<ServiceInfo> service = FindService(eventUrl);
        if (!service) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid service found!");
            return CDC_NO_SERVICE;
        }
        for (const auto& entry : service->subscribers) {
            SubscriberInfo& subscriber = *entry.second;
            if (!subscriber.initialEventRequested)
                continue;
            for (const auto& callback : subscriber.callbacks) {
                ZEL_LOGD(ZEL_CORE_CDCONTROL, "Sending Event to ip_address [%s]",
                         callback->host.c_str());
                QueuedNotify message;
                message.toAll = true;
                message.body = body;
                message.sid = subscriber.sid;
                message.host = callback->host;
                message.port = callback->port;
                message.path = callback->path;
                if (waiter) {
                    message.waiter = waiter;
                    boost::lock_guard<boost::mutex> count(waiter->mutex);
                    ++waiter->remaining;
                }
                const bool queued = Enqueue(callback, std::move(message), dropped);
                if (!queued && waiter) {
                    boost::lock_guard<boost::mutex> count(waiter->mutex);
                    --waiter->remaining;
                }
                // A callback that keeps failing counts as refusing, as a send
                // that could not be handed over would; the others still get
                // their event.
                if (!queued || callback->failures >= kMaxCallbackFailures) {
                    ZEL_LOGE(ZEL_CORE_CDCONTROL, "Error : QX_CDC_PACKET_SENDING_FAILED");
                    result = CDC_PACKET_SENDING_FAILED;
                }
            }
        }
    }
    Settle(dropped, false);
    if (waiter && Await(waiter) != CDC_EVENT_SUCCESS)
        result = CDC_PACKET_SENDING_FAILED;
    return result;
}

// ---------------------------------------------------------------------------
// The family's eventing calls.
// ---------------------------------------------------------------------------

int SetCallbackPolicy(CallbackPolicy policy) {
    if (policy != CALLBACK_SAME_SUBNET && policy != CALLBACK_ANY_HOST) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "unknown callback policy %d", static_cast<int>(policy));
        return 3001;
    }
    if (policy == CALLBACK_ANY_HOST)
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "callbacks to any host accepted from now on");
    g_callback_policy = policy;
    return 0;
}

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
