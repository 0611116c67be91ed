// GENA eventing: the one listener that answers SUBSCRIBE and UNSUBSCRIBE for
// every registered service, keeps the subscribers with their callbacks,
// time-outs and sequence numbers, and sends event NOTIFYs through the
// outgoing client.
//
// Locking: one recursive mutex (mutex_) guards the services and their
// subscribers. The timer service runs its callbacks with its own mutex held,
// and those callbacks take mutex_; so no other thread may start or cancel a
// timer while it holds mutex_. Every Timer::Start and Timer::Cancel below
// runs outside mutex_, and the timer callbacks recognise their subscriber by
// SID and a generation number instead of trusting a timer id that may not
// have been recorded yet. The one exception is the application's
// initial-event handler, which runs on the timer thread with mutex_ held (it
// may call the send operations, which re-enter mutex_).
#pragma once

#include <deque>
#include <list>
#include <map>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <zel_upnp/cd_control.h>
#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace cd_control {

// Durations of the two subscriber timers. Tests shorten them instead of
// waiting minutes.
struct EventTimings {
    int initialEventDelayMs = 500;
    // One second of a subscription's TIMEOUT lasts this many milliseconds.
    int msPerTimeoutSecond = 1000;
};

// What a peer on the LAN can make the handler keep.
// Subscribers of one service; a SUBSCRIBE beyond it is answered 500.
const size_t kMaxSubscribersPerService = 1024;
// Callback URLs kept per subscriber; further valid URLs are ignored.
const size_t kMaxCallbacksPerSubscriber = 4;
// Longest CALLBACK header accepted; a longer one refuses the subscription.
const size_t kMaxCallbackHeaderLength = 2048;
// Asynchronous NOTIFYs to one callback URL that may still be in flight; the
// oldest is cancelled when a new one would exceed it, so a callback that
// never answers holds at most this many client sessions.
const size_t kMaxPendingNotifiesPerCallback = 128;
// Threads that send the NOTIFYs of one synchronous event to all at once, so
// that a subscriber that never answers delays none of the others.
const size_t kMaxSyncSendThreads = 8;

class SubscribeHandler : public network_layer::TCPRequestListener,
                         public boost::enable_shared_from_this<SubscribeHandler> {
  public:
    struct SubscriberCallbackInfo {
        std::string host;
        int port = 0;
        std::string path;  // begins with "/"
        // Client session ids of asynchronous NOTIFYs sent here, oldest first.
        std::deque<int> pendingSessions;
    };
    struct SubscriberInfo {
        std::string sid;
        std::string eventPath;  // request URI of the SUBSCRIBE
        int expiryTimerId = 0;
        int timeoutSeconds = 0;  // 0: infinite
        uint32_t nextSeq = 1;
        int initialTimerId = 0;
        bool initialEventRequested = false;
        // Bumped on every renewal: an expiry timer of an older generation
        // that fires anyway leaves the subscriber alone.
        unsigned generation = 0;
        std::list<boost::shared_ptr<SubscriberCallbackInfo> > callbacks;
    };
    struct ServiceInfo {
        std::string serviceTag;
        InitialEventHandler handler;
        std::map<std::string, boost::shared_ptr<SubscriberInfo> > subscribers;
    };

    // The process-wide handler: Create makes it and registers it with the
    // dispatcher for "SUBSCRIBE" and "UNSUBSCRIBE" (0; 1 when memory or the
    // registration fails; 0 and nothing done when it exists). Destroy
    // unregisters it, cancels every timer and drops every service.
    static int Create(const EventTimings& timings = EventTimings());
    static void Destroy();
    // Null when there is no handler.
    static boost::shared_ptr<SubscribeHandler> Instance();

    ~SubscribeHandler() override;

    // On a "ZelTcpReq" worker; answers every request once on session.
    int OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request, void* session) override;

    bool RegisterService(const std::string& eventUrl, const std::string& serviceTag,
                         const InitialEventHandler& handler);
    bool UnRegisterService(const std::string& eventUrl);
    void CleanSubscribers();

    // The one-subscriber NOTIFY (SEQ 0). needSubscriber: the SID must be
    // subscribed to the service (SendSingleEvent) rather than the service
    // only existing (SendInitialEvent).
    int SendOne(const std::string& host, int port, const std::string& sid, const std::string& body,
                const std::string& path, const std::string& eventUrl, bool needSubscriber,
                bool sync);
    int SendToAll(const std::string& body, const std::string& eventUrl, bool sync);

    // Subscribers of the service, 0 for an unknown one.
    size_t SubscriberCount(const std::string& eventUrl);

  private:
    enum TimerKind { kExpiryTimer, kInitialTimer };
    // User data of a subscriber timer; owned by the timer until it fires (the
    // callback frees it) or is cancelled (the canceller frees it).
    struct TimerContext {
        TimerKind kind;
        std::string eventUrl;
        std::string sid;
        unsigned generation;
    };
    // One NOTIFY to send outside mutex_.
    struct Outgoing {
        std::string host;
        int port;
        std::string message;
    };

    explicit SubscribeHandler(const EventTimings& timings);

    int HandleSubscribeRequest(const utils::HTTPInfo& request, const std::string& uri,
                               void* session);
    int HandleRenewal(const utils::HTTPInfo& request, const std::string& uri,
                      const std::string& sid, void* session);
    int HandleUnSubscribeMessage(const utils::HTTPInfo& request, void* session);

    // The service whose event URL is exactly eventUrl; null without mutex_
    // held is meaningless.
    boost::shared_ptr<ServiceInfo> FindService(const std::string& eventUrl);
    boost::shared_ptr<SubscriberInfo> FindSubscriber(const std::string& eventUrl,
                                                     const std::string& sid);

    void StartTimer(TimerKind kind, const std::string& eventUrl, const std::string& sid,
                    unsigned generation, int timeoutMs);
    static void CancelTimer(int timerId);
    static void OnTimer(int timerId, void* userData);
    void OnInitialTimer(const TimerContext& context);
    void OnExpiryTimer(const TimerContext& context);
    // Timer ids of subscribers that were just removed; cancelled after
    // mutex_ is released.
    static void CollectTimers(const SubscriberInfo& subscriber, std::vector<int>& timers);
    static void CancelTimers(const std::vector<int>& timers);

    // Hands message to the outgoing client; under mutex_.
    int SendAsync(SubscriberCallbackInfo& callback, const std::string& message);
    static int SendSyncAll(const std::vector<Outgoing>& messages);

    const EventTimings timings_;
    boost::recursive_mutex mutex_;
    std::map<std::string, boost::shared_ptr<ServiceInfo> > services_;
    int registrationId_ = -1;
};

}  // namespace cd_control
}  // namespace zel_upnp
