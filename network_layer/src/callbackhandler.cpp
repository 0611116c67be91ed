#include "network_layer/src/callbackhandler.h"

#include <atomic>
#include <exception>
#include <iterator>
#include <locale>
#include <new>
#include <utility>

#include <boost/exception/exception.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/tokenizer.hpp>

#include "network_layer/src/incoming_tcp_session.h"
#include "network_layer/src/singleton.h"
#include "utils/src/common/guard.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/upnp_error.h"
#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const char kUnmatchedRequestHead[] =
    "HTTP/1.0 400 Bad Request \r\n"
    "CONTENT-TYPE: text/xml; charset=\"utf-8\" \r\n"
    "SERVER: UPnP/1.1 Varnesk Omnilume Server/1.0 \r\n"
    "CONTENT-LENGTH: 417 \r\n"
    "\r\n";

// Creation and destruction of the instance; the pointer is also read without
// the mutex on the fast path of GetInstance.
boost::mutex g_instance_mutex;
std::atomic<CallBackHandler*> g_instance{nullptr};

std::string UpperCase(const std::string& text) {
    std::string upper(text);
    if (!upper.empty()) {
        const std::ctype<char>& ctype = std::use_facet<std::ctype<char>>(std::locale());
        ctype.toupper(&upper[0], &upper[0] + upper.size());
    }
    return upper;
}

// The head of request as the matching sees it; empty when it cannot be built.
std::string RequestHead(const boost::shared_ptr<utils::HTTPInfo>& request) {
    std::string head;
    if (!request)
        return head;
    try {
        if (request->GetHeader(head) != 0) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Get Header failed.");
            head.clear();
        }
    } catch (const std::exception&) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Get Header failed.");
        head.clear();
    }
    return head;
}

std::vector<std::vector<std::string>> TokensOf(const std::vector<std::string>& patterns) {
    std::vector<std::vector<std::string>> tokens;
    tokens.reserve(patterns.size());
    for (const std::string& pattern : patterns)
        tokens.push_back(CallBackHandler::PatternTokens(pattern));
    return tokens;
}

// The listener of the first registration with a pattern matching the
// upper-cased head; caller holds the mutex of regs.
template <class Pair>
decltype(Pair::listener) FindListener(const std::vector<Pair>& regs,
                                      const std::string& upper_head) {
    for (const Pair& reg : regs) {
        for (const std::vector<std::string>& tokens : reg.tokens) {
            if (CallBackHandler::HeadMatches(upper_head, tokens))
                return reg.listener;
        }
    }
    return decltype(Pair::listener)();
}

// Replaces regs by a copy without the registration id; false when there is
// none. Caller holds the mutex of regs.
template <class Pair>
bool RemoveRegistration(boost::shared_ptr<const std::vector<Pair>>& regs, int id) {
    for (auto it = regs->begin(); it != regs->end(); ++it) {
        if (it->id == id) {
            boost::shared_ptr<std::vector<Pair>> copy =
                boost::make_shared<std::vector<Pair>>(regs->begin(), it);
            copy->insert(copy->end(), it + 1, regs->end());
            regs = copy;
            return true;
        }
    }
    return false;
}

// Replaces regs by a copy with pair appended. Caller holds the mutex of regs.
template <class Pair>
void AppendRegistration(boost::shared_ptr<const std::vector<Pair>>& regs, Pair&& pair) {
    boost::shared_ptr<std::vector<Pair>> copy = boost::make_shared<std::vector<Pair>>(*regs);
    copy->push_back(std::move(pair));
    regs = copy;
}

}  // namespace

const std::string& InvalidArgsFaultBody() {
    static const std::string body = utils::UPnPErrorEnvelope(402, "Invalid Args");
    return body;
}

const std::string& UnmatchedRequestResponse() {
    static const std::string response = kUnmatchedRequestHead + InvalidArgsFaultBody();
    return response;
}

CallBackHandler* CallBackHandler::CreateInstance() {
    return CreateOnFirstUse(g_instance, g_instance_mutex, "CallBackHandler",
                            [] { return new (std::nothrow) CallBackHandler(); });
}

CallBackHandler* CallBackHandler::GetInstance() {
    return g_instance.load(std::memory_order_acquire);
}

void CallBackHandler::DestroyInstance() {
    CallBackHandler* instance = g_instance.load(std::memory_order_acquire);
    if (instance == nullptr)
        return;
    // Joined before taking the creation mutex: a listener still running on
    // a worker may call GetInstance.
    instance->StopCallbackThreads();
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    instance = g_instance.exchange(nullptr, std::memory_order_acq_rel);
    delete instance;
}

CallBackHandler::CallBackHandler()
    : tcp_registrations_(boost::make_shared<TcpRegistrations>()),
      tcp_routes_(boost::make_shared<TcpRouteMap>()),
      udp_registrations_(boost::make_shared<UdpRegistrations>()),
      id_counter_(kFirstListenerId),
      ask_work_(ask_ios_),
      tcp_req_work_(tcp_req_handling_ios_),
      udp_req_work_(udp_req_handling_ios_),
      tcp_res_work_(tcp_res_handling_ios_) {}

CallBackHandler::~CallBackHandler() {
    try {
        if (threads_)
            StopCallbackThreads();
        ReleaseQueuedTcpRequests();
        {
            boost::lock_guard<boost::mutex> lock(udp_mutex_);
            udp_queue_.clear();
            udp_registrations_ = boost::make_shared<UdpRegistrations>();
        }
        {
            boost::lock_guard<boost::mutex> lock(tcp_mutex_);
            tcp_registrations_ = boost::make_shared<TcpRegistrations>();
            tcp_routes_ = boost::make_shared<TcpRouteMap>();
        }
        {
            boost::lock_guard<boost::mutex> lock(response_mutex_);
            response_listeners_.clear();
        }
        ZEL_LOGI(ZEL_CORE_NETWORK, "CallBackHandler deleted");
    } catch (const boost::exception&) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "boost exception raised");
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "unknown excpetion raised");
    }
}

std::vector<std::string> CallBackHandler::PatternTokens(const std::string& pattern) {
    typedef boost::tokenizer<boost::char_separator<char>> Tokenizer;
    // Empty tokens are dropped; spaces are part of a token.
    boost::char_separator<char> separator(",");
    Tokenizer tokenizer(pattern, separator);
    std::vector<std::string> tokens;
    for (const std::string& token : tokenizer)
        tokens.push_back(UpperCase(token));
    return tokens;
}

bool CallBackHandler::HeadMatches(const std::string& upper_head,
                                  const std::vector<std::string>& upper_tokens) {
    for (const std::string& token : upper_tokens) {
        if (upper_head.find(token) == std::string::npos)
            return false;
    }
    return true;
}

int CallBackHandler::NextListenerId() {
    boost::lock_guard<boost::mutex> lock(id_mutex_);
    id_counter_ += kListenerIdStep;
    return id_counter_;
}

int CallBackHandler::RegisterTCPPattern(const std::vector<std::string>& patterns,
                                        boost::shared_ptr<TCPRequestListener> listener, int& id) {
    id = -1;
    if (patterns.empty() || !listener)
        return NL_FAILURE;
    try {
        TCPPatternCallbackPair pair{0, patterns, listener, TokensOf(patterns)};
        pair.id = NextListenerId();
        const int new_id = pair.id;
        {
            boost::lock_guard<boost::mutex> lock(tcp_mutex_);
            AppendRegistration(tcp_registrations_, std::move(pair));
        }
        id = new_id;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "RegisterTCPPattern failed: %s", e.what());
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

int CallBackHandler::RegisterUDPPattern(const std::vector<std::string>& patterns,
                                        boost::shared_ptr<UDPRequestListener> listener, int& id) {
    id = -1;
    if (patterns.empty() || !listener)
        return NL_FAILURE;
    try {
        UDPPatternCallbackPair pair{0, patterns, listener, TokensOf(patterns)};
        pair.id = NextListenerId();
        const int new_id = pair.id;
        {
            boost::lock_guard<boost::mutex> lock(udp_mutex_);
            AppendRegistration(udp_registrations_, std::move(pair));
        }
        id = new_id;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "RegisterUDPPattern failed: %s", e.what());
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

int CallBackHandler::UnRegisterPattern(const int& id) {
    {
        boost::lock_guard<boost::mutex> lock(udp_mutex_);
        if (RemoveRegistration(udp_registrations_, id))
            return NL_SUCCESS;
    }
    boost::lock_guard<boost::mutex> lock(tcp_mutex_);
    if (RemoveRegistration(tcp_registrations_, id))
        return NL_SUCCESS;
    bool found = false;
    for (const auto& route : *tcp_routes_)
        found = found || route.second.id == id;
    if (!found)
        return NL_FAILURE;
    boost::shared_ptr<TcpRouteMap> copy = boost::make_shared<TcpRouteMap>();
    for (const auto& route : *tcp_routes_) {
        if (route.second.id != id)
            copy->insert(copy->end(), route);
    }
    tcp_routes_ = copy;
    return NL_SUCCESS;
}

int CallBackHandler::RegisterTCPRoutes(const std::vector<TcpRoute>& routes,
                                       boost::shared_ptr<TCPRequestListener> listener,
                                       RouteThread thread, int& id) {
    id = -1;
    if (routes.empty() || !listener)
        return NL_FAILURE;
    try {
        const int new_id = NextListenerId();
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        boost::shared_ptr<TcpRouteMap> copy = boost::make_shared<TcpRouteMap>(*tcp_routes_);
        for (const TcpRoute& route : routes) {
            // Equal keys keep insertion order: an earlier registration wins.
            copy->emplace(std::make_pair(static_cast<int>(route.method), UpperCase(route.path)),
                          TcpRouteTarget{new_id, listener, thread});
        }
        tcp_routes_ = copy;
        id = new_id;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "RegisterTCPRoutes failed: %s", e.what());
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

CallBackHandler::TcpRouteTarget CallBackHandler::FindRoute(const utils::HTTPInfo& request) {
    boost::shared_ptr<const TcpRouteMap> routes;
    {
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        routes = tcp_routes_;
    }
    if (routes->empty() || !request.IsRequest())
        return TcpRouteTarget{0, nullptr, RouteThread::kWorker};
    const int method = static_cast<int>(request.GetRequestType());
    std::string target;
    request.GetURI(target);
    auto found = routes->find(std::make_pair(method, UpperCase(RequestPath(target))));
    if (found == routes->end())
        found = routes->find(std::make_pair(method, std::string()));
    if (found == routes->end())
        return TcpRouteTarget{0, nullptr, RouteThread::kWorker};
    return found->second;
}

int CallBackHandler::InvokeTCPRequestHandler(boost::shared_ptr<utils::HTTPInfo> request,
                                             void* session) {
    try {
        TcpRouteTarget route =
            request ? FindRoute(*request) : TcpRouteTarget{0, nullptr, RouteThread::kWorker};
        const bool on_io = route.thread == RouteThread::kIoThread ||
                           (route.thread == RouteThread::kIoThreadSmallBody &&
                            request->GetProcessedBodySize() <= kIoThreadBodyLimit);
        if (route.listener && on_io) {
            Deliver(request, session, std::move(route.listener), nullptr);
            return NL_SUCCESS;
        }
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        if (tcp_queue_.size() >= kMaxTcpQueueLength) {
            // Counted and logged by the hundred: a flood must not flood the log.
            if (tcp_refusals_++ % 100 == 0)
                ZEL_LOGW(ZEL_CORE_NETWORK, "TCP request queue full (%d), request refused",
                         static_cast<int>(tcp_queue_.size()));
            return NL_FAILURE;
        }
        tcp_queue_.push_back(TcpRequestEntry{request, session, std::move(route.listener)});
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "InvokeTCPRequestHandler failed: %s", e.what());
        return NL_FAILURE;
    }
    // Posted after tcp_mutex_ is released: the worker this wakes takes that
    // mutex first, and on a busy machine it runs at once, so a post under the
    // lock put it straight back to sleep on the mutex and cost two more
    // context switches per request.
    try {
        tcp_req_handling_ios_.post([this] { InvokeUpperLayerTCPRequestListener(); });
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "InvokeTCPRequestHandler failed: %s", e.what());
        return WithdrawTcpRequest(session) ? NL_FAILURE : NL_SUCCESS;
    }
    return NL_SUCCESS;
}

bool CallBackHandler::PostAskJob(std::function<void(bool)> job) {
    boost::lock_guard<boost::mutex> lock(ask_mutex_);
    if (!ask_live_ || ask_jobs_.load() >= kMaxAskJobs)
        return false;
    try {
        ++ask_jobs_;
        ask_ios_.post([this, job] {
            --ask_jobs_;
            bool live = false;
            {
                boost::lock_guard<boost::mutex> lock(ask_mutex_);
                live = ask_live_;
            }
            job(live);
        });
    } catch (const std::exception& e) {
        --ask_jobs_;
        ZEL_LOGE(ZEL_CORE_NETWORK, "PostAskJob failed: %s", e.what());
        return false;
    }
    return true;
}

void CallBackHandler::DrainAskJobs() {
    // Each job still queued runs here once, with false (ask_live_), so
    // that it releases what it holds.
    ask_ios_.restart();
    ask_ios_.poll();
    ask_ios_.stop();
}

// The job for session's entry could not be posted. True when the entry was
// still queued and is now removed: the caller keeps the context and answers
// itself. False when another request's job has already taken it (jobs take
// the front entry, whoever posted them): it is being answered, and one later
// entry lacks a job instead, which a replacement job takes if one can be
// posted.
bool CallBackHandler::WithdrawTcpRequest(void* session) {
    {
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        for (auto it = tcp_queue_.rbegin(); it != tcp_queue_.rend(); ++it) {
            if (it->session == session) {
                tcp_queue_.erase(std::next(it).base());
                return true;
            }
        }
    }
    try {
        tcp_req_handling_ios_.post([this] { InvokeUpperLayerTCPRequestListener(); });
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "A queued TCP request waits for the next job: %s", e.what());
    }
    return false;
}

int CallBackHandler::InvokeUDPRequestHandler(boost::shared_ptr<utils::HTTPInfo> request) {
    try {
        boost::lock_guard<boost::mutex> lock(udp_mutex_);
        if (udp_queue_.size() >= kMaxUdpQueueLength) {
            if (udp_refusals_++ % 100 == 0)
                ZEL_LOGW(ZEL_CORE_NETWORK, "UDP request queue full (%d), datagram dropped",
                         static_cast<int>(udp_queue_.size()));
            return NL_FAILURE;
        }
        udp_queue_.push_back(request);
        if (udp_queue_.size() > kUdpQueueWarnLength) {
            ZEL_LOGW(ZEL_CORE_NETWORK, "udp_packet seems not consumed[%d]!!",
                     static_cast<int>(udp_queue_.size()));
        }
        try {
            udp_req_handling_ios_.post([this] { InvokeUpperLayerUDPRequestListener(); });
        } catch (...) {
            udp_queue_.pop_back();
            throw;
        }
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "InvokeUDPRequestHandler failed: %s", e.what());
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

int CallBackHandler::RegisterResponseListener(const int& session_id,
                                              boost::shared_ptr<ResponseListener> listener) {
    if (session_id < 1) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid Params for session %d!", session_id);
        return NL_FAILURE;
    }
    try {
        const long before = listener.use_count();
        ResponseEntry entry{session_id, boost::shared_ptr<utils::HTTPInfo>(), listener};
        ZEL_LOGD(ZEL_CORE_NETWORK,
                 "session_id : (%d) use_count1 : (%d) use_count2 : (%d) pointer : (%p)", session_id,
                 static_cast<int>(before), static_cast<int>(listener.use_count()),
                 static_cast<void*>(listener.get()));
        boost::lock_guard<boost::mutex> lock(response_mutex_);
        response_listeners_.push_back(std::move(entry));
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "RegisterResponseListener failed: %s", e.what());
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

int CallBackHandler::InvokeResponseHandler(const int& session_id,
                                           boost::shared_ptr<utils::HTTPInfo> response) {
    const int id = session_id;
    try {
        bool stored = false;
        {
            boost::lock_guard<boost::mutex> lock(response_mutex_);
            for (ResponseEntry& entry : response_listeners_) {
                if (entry.session_id != id)
                    continue;
                entry.response = response;
                stored = true;
                break;
            }
        }
        // Posted after response_mutex_ is released, as for TCP requests: the
        // worker this wakes takes that mutex first.
        if (stored)
            tcp_res_handling_ios_.post([this, id] { InvokeUpperLayerResponseHandler(id); });
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "InvokeResponseHandler failed: %s", e.what());
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

void CallBackHandler::UnRegisterResponseListener(const int& session_id) {
    boost::lock_guard<boost::mutex> lock(response_mutex_);
    for (auto it = response_listeners_.begin(); it != response_listeners_.end(); ++it) {
        if (it->session_id == session_id) {
            response_listeners_.erase(it);
            ZEL_LOGD(ZEL_CORE_NETWORK, "list erased(%d)", session_id);
            return;
        }
    }
}

void CallBackHandler::InvokeUpperLayerTCPRequestListener() {
    TcpRequestEntry entry;
    boost::shared_ptr<const TcpRegistrations> registrations;
    {
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        if (tcp_queue_.empty()) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "empty incoming tcp packet list!");
            return;
        }
        entry = std::move(tcp_queue_.front());
        tcp_queue_.pop_front();
        registrations = tcp_registrations_;
    }
    Deliver(entry.request, entry.session, std::move(entry.listener), registrations);
}

void CallBackHandler::Deliver(const boost::shared_ptr<utils::HTTPInfo>& request, void* session,
                              boost::shared_ptr<TCPRequestListener> listener,
                              const boost::shared_ptr<const TcpRegistrations>& patterns) {
    // Kept across the listener call: a listener that throws may already have
    // given the context up, and only the session can tell.
    const boost::shared_ptr<IncomingTCPSession> owner = SessionOf(session);
    try {
        if (!listener && patterns) {
            const std::string head = UpperCase(RequestHead(request));
            if (!head.empty())
                listener = FindListener(*patterns, head);
        }
        if (!listener) {
            ZEL_LOGW(ZEL_CORE_NETWORK, "ERROR, no valid listeners found!!");
            SendBadRequest(session);
            return;
        }
        listener->OnTCPRequestReceived(request, session);
        return;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "TCP request listener failed: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "TCP request listener failed");
    }
    // The listener threw: unless it consumed the context first, the
    // connection gets the fixed 400 and is released.
    if (owner && !owner->IsContextConsumed())
        SendBadRequest(session);
}

void CallBackHandler::SendBadRequest(void* session) {
    std::string* response = nullptr;
    try {
        response = new std::string(UnmatchedRequestResponse());
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "No memory for the 400 answer: %s", e.what());
        ReleaseSessionContext(session);
        return;
    }
    const int length = static_cast<int>(response->size());
    // Accepted: the network layer owns the string; refused: it is still ours.
    if (SendResponsePacket(response, length, session) != NL_SUCCESS)
        delete response;
}

void CallBackHandler::InvokeUpperLayerUDPRequestListener() {
    boost::shared_ptr<utils::HTTPInfo> request;
    boost::shared_ptr<const UdpRegistrations> registrations;
    {
        boost::lock_guard<boost::mutex> lock(udp_mutex_);
        if (udp_queue_.empty()) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "empty udp packet list!");
            return;
        }
        request = std::move(udp_queue_.front());
        udp_queue_.pop_front();
        registrations = udp_registrations_;
    }
    try {
        const std::string head = RequestHead(request);
        if (head.empty())
            return;
        const boost::shared_ptr<UDPRequestListener> listener =
            FindListener(*registrations, UpperCase(head));
        if (!listener)
            return;
        ZEL_LOGD(ZEL_CORE_NETWORK, "udp received [%s]", head.c_str());
        listener->OnUDPRequestReceived(request);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "UDP request listener failed: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "UDP request listener failed");
    }
}

void CallBackHandler::InvokeUpperLayerResponseHandler(int session_id) {
    boost::shared_ptr<utils::HTTPInfo> response;
    boost::shared_ptr<ResponseListener> listener;
    {
        boost::lock_guard<boost::mutex> lock(response_mutex_);
        auto it = response_listeners_.begin();
        while (it != response_listeners_.end() && it->session_id != session_id)
            ++it;
        if (it == response_listeners_.end())
            return;
        response = std::move(it->response);
        listener = std::move(it->listener);
        response_listeners_.erase(it);
    }
    if (!listener)
        return;
    ZEL_LOGD(ZEL_CORE_NETWORK, "call OnResponseReceived session_id : (%d), use_count : (%d)(%p)",
             session_id, static_cast<int>(listener.use_count()),
             static_cast<void*>(listener.get()));
    try {
        listener->OnResponseReceived(response, session_id);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Response listener failed: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Response listener failed");
    }
}

void CallBackHandler::StartWorkers(boost::asio::io_service& ios, const char* base_name, int count) {
    const std::string name = utils::PrepareThreadName(base_name);
    for (int index = 0; index < count; ++index) {
        boost::thread* thread =
            utils::StartThread(*threads_, utils::kApplicationThreadStackSize,
                               [&ios] { utils::RunIoLoop(ios, ZEL_CORE_NETWORK); });
        utils::SetNameOnThread(thread, name, index);
    }
}

int CallBackHandler::StartCallbackThreads() {
    ZEL_LOGI(ZEL_CORE_NETWORK, "CallBackHandler StartCallbackThreads");
    if (threads_)
        return NL_SUCCESS;
    try {
        // After a stop the services must be told that they may run again.
        if (tcp_req_handling_ios_.stopped())
            tcp_req_handling_ios_.restart();
        if (udp_req_handling_ios_.stopped())
            udp_req_handling_ios_.restart();
        if (tcp_res_handling_ios_.stopped())
            tcp_res_handling_ios_.restart();
        if (ask_ios_.stopped())
            ask_ios_.restart();
        {
            boost::lock_guard<boost::mutex> lock(ask_mutex_);
            ask_live_ = true;
        }
        threads_.reset(new boost::thread_group);
        StartWorkers(ask_ios_, "ZelTcpAsk", 1);
        StartWorkers(tcp_req_handling_ios_, "ZelTcpReq", kTcpRequestThreads);
        StartWorkers(udp_req_handling_ios_, "ZelUdpReq", kUdpRequestThreads);
        StartWorkers(tcp_res_handling_ios_, "ZelTcpRes", kResponseThreads);
    } catch (const boost::thread_resource_error& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "thread_resource_error exception:[%s]", e.what());
        return NL_FAILURE;
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception in StartCallbackThreads");
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

int CallBackHandler::StopCallbackThreads() {
    ZEL_LOGI(ZEL_CORE_NETWORK, "CallBackHandler StopCallbackThreads");
    {
        boost::lock_guard<boost::mutex> lock(ask_mutex_);
        ask_live_ = false;
    }
    ask_ios_.stop();
    tcp_req_handling_ios_.stop();
    udp_req_handling_ios_.stop();
    tcp_res_handling_ios_.stop();
    if (threads_) {
        try {
            threads_->join_all();
        } catch (const std::exception& e) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "join failed: %s", e.what());
        }
        threads_.reset();
    }
    if (!tcp_req_handling_ios_.stopped())
        ZEL_LOGE(ZEL_CORE_NETWORK, "CallBackHandler  tcp_req_handling_ios_ not stopped ");
    if (!udp_req_handling_ios_.stopped())
        ZEL_LOGE(ZEL_CORE_NETWORK, "CallBackHandler udp_req_handling_ios_ not stopped ");
    if (!tcp_res_handling_ios_.stopped())
        ZEL_LOGE(ZEL_CORE_NETWORK, "CallBackHandler tcp_res_handling_ios_ not stopped ");
    DrainAskJobs();
    ReleaseQueuedTcpRequests();
    return NL_SUCCESS;
}

void CallBackHandler::ReleaseQueuedTcpRequests() {
    std::list<TcpRequestEntry> orphans;
    {
        boost::lock_guard<boost::mutex> lock(tcp_mutex_);
        orphans.swap(tcp_queue_);
    }
    // Outside the lock: closing a session calls back into its server.
    for (TcpRequestEntry& entry : orphans)
        ReleaseSessionContext(entry.session);
}

}  // namespace network_layer
}  // namespace zel_upnp
