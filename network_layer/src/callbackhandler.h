// The dispatch core: where parsed messages leave the network layer. Servers
// hand it complete requests, the outgoing client hands it responses; it
// queues each one and delivers it on its own worker threads ("ZelTcpReq" x2,
// "ZelUdpReq" x2, "ZelTcpRes" x5) to the listener that wants it. A TCP
// request goes first by its method and path to a route of the library's own
// listeners (tcp_routes.h), which may answer it on the io thread that read
// it; only a request no route takes is matched against the application's
// patterns. "ZelTcpAsk" x1 runs application code a request waits for.
//
// Locks: one mutex per queue (TCP, UDP, responses) plus one for the id
// counter; never two at once, and none is held while a listener runs, so a
// listener may register or unregister listeners from inside its callback.
// Listeners of one kind are called concurrently.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "network_layer/src/tcp_routes.h"

namespace zel_upnp {
namespace network_layer {

class CallBackHandler {
  public:
    // Worker threads per queue.
    static constexpr int kTcpRequestThreads = 2;
    static constexpr int kUdpRequestThreads = 2;
    static constexpr int kResponseThreads = 5;
    // A UDP queue longer than this is reported.
    static constexpr size_t kUdpQueueWarnLength = 100;
    // Safety bound: any host on the LAN can send datagrams faster than a slow
    // listener consumes them, so past this many waiting requests a new one is
    // dropped (about 8 MiB of datagrams at most).
    static constexpr size_t kMaxUdpQueueLength = 1024;
    // The same for TCP requests waiting for a worker: a peer can open
    // connections faster than slow listeners answer them. A request beyond
    // it is refused (the session answers its 400) and counted.
    static constexpr size_t kMaxTcpQueueLength = 256;
    // Jobs waiting for the "ZelTcpAsk" thread; beyond, PostAskJob refuses.
    static constexpr size_t kMaxAskJobs = 64;
    // Registration ids: the first is kFirstListenerId + kListenerIdStep.
    static constexpr int kFirstListenerId = 200;
    static constexpr int kListenerIdStep = 2;

    // One registration. tokens holds, per pattern, its non-empty
    // comma-separated tokens in upper case, computed once at registration.
    struct TCPPatternCallbackPair {
        int id;
        std::vector<std::string> patterns;
        boost::shared_ptr<TCPRequestListener> listener;
        std::vector<std::vector<std::string>> tokens;
    };
    struct UDPPatternCallbackPair {
        int id;
        std::vector<std::string> patterns;
        boost::shared_ptr<UDPRequestListener> listener;
        std::vector<std::vector<std::string>> tokens;
    };

    // The four process-wide objects of the network layer share one rule:
    // CreateInstance (called only by InitializeNetworkLayer) makes the one
    // instance if there is none, and returns null only when it cannot be
    // allocated; GetInstance never creates, and is null before the layer is
    // initialised and after it is terminated, so that a late call fails
    // instead of bringing a singleton back.
    static CallBackHandler* CreateInstance();
    static CallBackHandler* GetInstance();
    // Stops the worker threads if they run and deletes the instance; the
    // next CreateInstance makes a fresh one (ids start again at 202). Called
    // by the network layer's terminate, after every server is gone.
    static void DestroyInstance();

    // Patterns are tried in order; registrations in registration order. id
    // receives the new registration's id, or -1 with result 1 for an empty
    // pattern list or a null listener.
    int RegisterTCPPattern(const std::vector<std::string>& patterns,
                           boost::shared_ptr<TCPRequestListener> listener, int& id);
    int RegisterUDPPattern(const std::vector<std::string>& patterns,
                           boost::shared_ptr<UDPRequestListener> listener, int& id);
    // Routes of the library's own listeners; see RegisterTCPRoutes.
    int RegisterTCPRoutes(const std::vector<TcpRoute>& routes,
                          boost::shared_ptr<TCPRequestListener> listener, RouteThread thread,
                          int& id);
    // 0 when a registration (patterns or routes) with this id was removed,
    // 1 when none has it.
    int UnRegisterPattern(const int& id);

    // Called by the session on the io thread that read a complete request.
    // A request routed to an io-thread listener is handed to it at once;
    // any other is queued for a worker with the session context that
    // answers it. The context is handed to exactly one listener, or
    // consumed by the 400 answer when none takes it: 0. 1, with the context
    // still the caller's, when the queue is full (counted).
    int InvokeTCPRequestHandler(boost::shared_ptr<utils::HTTPInfo> request, void* session);
    // Queues a complete datagram. 0; 1 when the queue is full.
    int InvokeUDPRequestHandler(boost::shared_ptr<utils::HTTPInfo> request);
    // See PostAskJob in tcp_routes.h.
    bool PostAskJob(std::function<void(bool)> job);
    // Requests and datagrams refused because their queue was full, since
    // the instance was created.
    uint64_t TcpRefusals() const { return tcp_refusals_.load(); }
    uint64_t UdpRefusals() const { return udp_refusals_.load(); }

    // Response listener of an outgoing client session (session id >= 1).
    int RegisterResponseListener(const int& session_id,
                                 boost::shared_ptr<ResponseListener> listener);
    // Stores the response for the session's listener (replacing one not yet
    // delivered) and schedules its delivery; a session without listener
    // drops it. Returns 0.
    int InvokeResponseHandler(const int& session_id, boost::shared_ptr<utils::HTTPInfo> response);
    void UnRegisterResponseListener(const int& session_id);

    // Starts the worker threads; 0, or 1 when a thread could not be made
    // (the threads already made keep running). Starting twice is a no-op.
    int StartCallbackThreads();
    // Stops the three queues (jobs not yet run are dropped, and the
    // connections of TCP requests that were waiting are closed without an
    // answer) and joins every worker. Returns 0.
    int StopCallbackThreads();

    // The whole head of a request, as rebuilt from its fields, matches the
    // upper-cased tokens of one pattern. An empty token list matches all.
    static bool HeadMatches(const std::string& upper_head,
                            const std::vector<std::string>& upper_tokens);
    // Splits pattern at ',' dropping empty tokens, in upper case (locale).
    static std::vector<std::string> PatternTokens(const std::string& pattern);

  private:
    struct TcpRequestEntry {
        boost::shared_ptr<utils::HTTPInfo> request;
        void* session;
        // The routed listener; null: match the application's patterns.
        boost::shared_ptr<TCPRequestListener> listener;
    };
    struct TcpRouteTarget {
        int id;
        boost::shared_ptr<TCPRequestListener> listener;
        RouteThread thread;
    };
    // (method, upper-cased path; empty for any path) -> targets, earliest
    // registration first.
    typedef std::multimap<std::pair<int, std::string>, TcpRouteTarget> TcpRouteMap;
    struct ResponseEntry {
        int session_id;
        boost::shared_ptr<utils::HTTPInfo> response;
        boost::shared_ptr<ResponseListener> listener;
    };

    CallBackHandler();
    ~CallBackHandler();
    CallBackHandler(const CallBackHandler&) = delete;
    CallBackHandler& operator=(const CallBackHandler&) = delete;

    // Jobs posted once per queued message; each takes the front entry.
    void InvokeUpperLayerTCPRequestListener();
    void InvokeUpperLayerUDPRequestListener();
    void InvokeUpperLayerResponseHandler(int session_id);
    // Takes session's entry back after its job could not be posted.
    bool WithdrawTcpRequest(void* session);
    // Answers an unmatched TCP request with the fixed 400 fault.
    void SendBadRequest(void* session);
    // The route target of request; null listener when no route takes it.
    TcpRouteTarget FindRoute(const utils::HTTPInfo& request);
    // Hands request to listener, or to the application's pattern listener
    // when it is null, or answers 400; the context is consumed either way.
    void Deliver(const boost::shared_ptr<utils::HTTPInfo>& request, void* session,
                 boost::shared_ptr<TCPRequestListener> listener,
                 const boost::shared_ptr<const std::vector<TCPPatternCallbackPair>>& patterns);
    // Runs the ask jobs still queued with false; after the ask thread ended.
    void DrainAskJobs();
    int NextListenerId();
    void StartWorkers(boost::asio::io_service& ios, const char* base_name, int count);
    // Closes the connections of queued TCP requests that no job will take.
    void ReleaseQueuedTcpRequests();

    // Registrations are replaced, never changed in place: a worker takes a
    // reference to the current list with its queue entry, under one take of
    // the queue's mutex, and matches outside it.
    typedef std::vector<TCPPatternCallbackPair> TcpRegistrations;
    typedef std::vector<UDPPatternCallbackPair> UdpRegistrations;
    boost::shared_ptr<const TcpRegistrations> tcp_registrations_;
    boost::shared_ptr<const TcpRouteMap> tcp_routes_;
    std::list<TcpRequestEntry> tcp_queue_;
    boost::shared_ptr<const UdpRegistrations> udp_registrations_;
    std::list<boost::shared_ptr<utils::HTTPInfo>> udp_queue_;
    std::list<ResponseEntry> response_listeners_;
    boost::mutex id_mutex_;
    boost::mutex tcp_mutex_;       // tcp_registrations_, tcp_routes_, tcp_queue_
    boost::mutex udp_mutex_;       // udp_registrations_, udp_queue_
    boost::mutex response_mutex_;  // response_listeners_
    int id_counter_;
    std::atomic<uint64_t> tcp_refusals_{0};
    std::atomic<uint64_t> udp_refusals_{0};
    // Ask jobs posted and not yet started or drained.
    std::atomic<size_t> ask_jobs_{0};
    // False from StopCallbackThreads on: queued ask jobs are drained.
    bool ask_live_ = false;  // ask_mutex_
    boost::mutex ask_mutex_;
    boost::asio::io_service ask_ios_;
    boost::asio::io_service::work ask_work_;
    boost::asio::io_service tcp_req_handling_ios_;
    boost::asio::io_service udp_req_handling_ios_;
    boost::asio::io_service tcp_res_handling_ios_;
    boost::asio::io_service::work tcp_req_work_;
    boost::asio::io_service::work udp_req_work_;
    boost::asio::io_service::work tcp_res_work_;
    // Lifecycle thread only (StartCallbackThreads / StopCallbackThreads).
    std::unique_ptr<boost::thread_group> threads_;
};

// The answer to a TCP request that no listener takes: a 400 with a UPnP
// "Invalid Args" fault (every head line ends with a space before CR LF).
const std::string& UnmatchedRequestResponse();
// The 417-byte UPnP fault body shared by the 400 answers of the network layer.
const std::string& InvalidArgsFaultBody();

}  // namespace network_layer
}  // namespace zel_upnp
