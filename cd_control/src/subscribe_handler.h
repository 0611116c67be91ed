// GENA eventing: the one listener that answers SUBSCRIBE and UNSUBSCRIBE for
// every registered service, keeps the subscribers with their callbacks,
// time-outs and sequence numbers, and delivers event NOTIFYs.
//
// Delivery: every callback URL has its own queue with at most one NOTIFY in
// flight, on a connection of its own run by the eventing thread
// ("ZelEvtIo"). The next message leaves when the answer to the previous one
// has been read, or it failed or timed out, so a callback receives its
// messages in the order they were queued. A message gets its SEQ and DATE
// when it leaves. A queue that passes its bound merges the waiting events
// to all into one property set carrying the latest value of each variable.
//
// Locking: one recursive mutex (mutex_) guards the services, their
// subscribers and every queue. The timer service runs its callbacks with its
// own mutex held, and those callbacks take mutex_; so no other thread may
// start or cancel a timer while it holds mutex_. Every Timer::Start and
// Timer::Cancel below runs outside mutex_, and the timer callbacks recognise
// their subscriber by SID and a generation number instead of trusting a timer
// id that may not have been recorded yet. The application's initial-event
// handler runs on the timer thread with mutex_ held (it may call the
// asynchronous send operations, which re-enter mutex_). Exchange completions
// take mutex_ on the eventing thread; the eventing thread never runs
// application code.
#pragma once

#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>
#include <boost/weak_ptr.hpp>

#include <zel_upnp/cd_control.h>
#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace cd_control {

class NotifyExchange;

// Durations of the subscriber timers and of one NOTIFY. Tests shorten them
// instead of waiting minutes.
struct EventTimings {
    int initialEventDelayMs = 500;
    // One second of a subscription's TIMEOUT lasts this many milliseconds.
    int msPerTimeoutSecond = 1000;
    // Connect, write and answer of one NOTIFY; a callback that takes longer
    // has failed this message, and the next one leaves.
    int notifyDeadlineMs = 30000;
};

// What a peer on the LAN can make the handler keep.
// Subscribers of one service; a SUBSCRIBE beyond it is answered 500.
const size_t kMaxSubscribersPerService = 1024;
// Subscribers of one service with the same source address; a SUBSCRIBE
// beyond it is answered 500 and leaves the other addresses their share.
const size_t kMaxSubscriptionsPerAddress = 32;
// Callback URLs kept per subscriber; further valid URLs are ignored.
const size_t kMaxCallbacksPerSubscriber = 4;
// Longest CALLBACK header accepted; a longer one refuses the subscription.
const size_t kMaxCallbackHeaderLength = 2048;
// Messages, and body bytes, waiting behind the one in flight to a callback.
// Past either, the waiting events to all are merged into one; what still
// cannot fit (bodies that are not property sets) is dropped oldest first.
const size_t kMaxQueuedNotifies = 16;
const size_t kMaxQueuedNotifyBytes = 64 * 1024;
// NOTIFY connections open at once over all callbacks; a callback with
// something to send waits its turn beyond it, in arrival order.
const size_t kMaxNotifiesInFlight = 256;
// Consecutive failed NOTIFYs after which a callback counts as refusing: an
// event to it is then reported as a send that could not be handed over
// (7002), while its queue keeps only the merged latest state for it.
const unsigned kMaxCallbackFailures = 3;

class SubscribeHandler : public network_layer::TCPRequestListener,
                         public boost::enable_shared_from_this<SubscribeHandler> {
  public:
    struct SubscriberInfo;
    // A synchronous send waiting for its messages to have been answered.
    struct SyncWaiter {
        boost::mutex mutex;
        boost::condition_variable done;
        size_t remaining = 0;  // mutex
        bool failed = false;   // mutex
    };
    // One message waiting in a callback's queue. The SEQ and DATE of an
    // event to all are filled in when it leaves.
    struct QueuedNotify {
        bool toAll = false;  // the numbered template; else the SEQ 0 one
        std::string body;
        std::string sid;
        std::string host;
        int port = 0;
        std::string path;
        // Set for a synchronous send; such a message is never merged away.
        boost::shared_ptr<SyncWaiter> waiter;
    };
    struct SubscriberCallbackInfo {
        std::string host;
        int port = 0;
        std::string path;  // begins with "/"
        // The delivery queue of this URL; everything below is under mutex_.
        // Null for a callback no subscriber owns (SendInitialEvent to an
        // address that is not a subscriber's).
        boost::weak_ptr<SubscriberInfo> owner;
        std::deque<QueuedNotify> waiting;
        size_t waitingBytes = 0;
        boost::shared_ptr<NotifyExchange> inFlight;
        boost::shared_ptr<SyncWaiter> inFlightWaiter;
        unsigned failures = 0;  // consecutive
        bool awaitingSlot = false;
        // Set when the subscriber is gone: nothing more leaves.
        bool closed = false;
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
        // Source address of the SUBSCRIBE, for the per-address share.
        std::string peerAddress;
    };
    struct ServiceInfo {
        std::string serviceTag;
        InitialEventHandler handler;
        std::map<std::string, boost::shared_ptr<SubscriberInfo> > subscribers;
    };

    // The process-wide handler: Create makes it, starts its eventing thread
    // and registers it with the dispatcher for SUBSCRIBE and UNSUBSCRIBE
    // requests (0; 1 when memory, the thread or the registration fails; 0
    // and nothing done when it exists). Detach takes it out of reach (null
    // when there is none) so that its owner can Shutdown it without holding
    // a lock an initial-event handler may want; Destroy does both.
    static int Create(const EventTimings& timings = EventTimings());
    static boost::shared_ptr<SubscribeHandler> Detach();
    static void Destroy();
    // Null when there is no handler.
    static boost::shared_ptr<SubscribeHandler> Instance();

    ~SubscribeHandler() override;

    // Unregisters from the dispatcher, cancels every timer, drops every
    // service with its queues (synchronous senders get a failure) and ends
    // the eventing thread. Waits for an initial-event handler running on
    // another thread; from inside one it leaves the thread to end alone.
    void Shutdown();

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
    // NOTIFY connections open now.
    size_t NotifiesInFlight();

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
    typedef std::vector<boost::shared_ptr<SyncWaiter> > Waiters;

    explicit SubscribeHandler(const EventTimings& timings);

    bool StartThread();

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
                    unsigned generation, int timeoutMs) noexcept;
    static void CancelTimer(int timerId);
    static void OnTimer(int timerId, void* userData);
    void OnInitialTimer(const TimerContext& context);
    void OnExpiryTimer(const TimerContext& context);
    // A subscriber that was just removed, under mutex_: collects its timer
    // ids (cancelled once mutex_ is released) and closes its queues,
    // cancelling what is in flight and collecting the waiters to fail.
    void Retire(const SubscriberInfo& subscriber, std::vector<int>& timers, Waiters& waiters);
    void CloseQueue(SubscriberCallbackInfo& callback, Waiters& waiters);
    static void CancelTimers(const std::vector<int>& timers);
    static void Settle(const Waiters& waiters, bool delivered);

    // The queue of the callback host:port path of the subscriber (its own
    // one, or one for a URL no subscriber owns); under mutex_.
    boost::shared_ptr<SubscriberCallbackInfo> QueueFor(const boost::shared_ptr<SubscriberInfo>& sub,
                                                       const std::string& host, int port,
                                                       const std::string& path);
    // Under mutex_: appends message, merges when past the bound, and sends
    // when nothing is in flight. false when the queue is closed.
    bool Enqueue(const boost::shared_ptr<SubscriberCallbackInfo>& callback, QueuedNotify message,
                 Waiters& dropped);
    void Compact(SubscriberCallbackInfo& callback, Waiters& dropped);
    void Pump(const boost::shared_ptr<SubscriberCallbackInfo>& callback);
    // On the eventing thread, once per message that left.
    void OnDelivered(const boost::shared_ptr<SubscriberCallbackInfo>& callback, bool delivered);
    // Waits for a synchronous send; CDC_EVENT_SUCCESS or
    // CDC_PACKET_SENDING_FAILED.
    int Await(const boost::shared_ptr<SyncWaiter>& waiter);

    const EventTimings timings_;
    // Declared before everything that may hold an exchange, so that it is
    // destroyed after the sockets that belong to it.
    boost::asio::io_context io_;
    boost::recursive_mutex mutex_;
    std::map<std::string, boost::shared_ptr<ServiceInfo> > services_;
    // Queues of URLs no subscriber owns, by "host:port path"; dropped once
    // empty and idle.
    std::map<std::string, boost::shared_ptr<SubscriberCallbackInfo> > orphans_;
    // Callbacks with something to send waiting for an open slot.
    std::deque<boost::weak_ptr<SubscriberCallbackInfo> > awaitingSlot_;
    size_t inFlight_ = 0;
    bool stopped_ = false;
    int registrationId_ = -1;
    // The thread running the initial-event handler now, if any.
    boost::thread::id initialHandlerThread_;

    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type> >
        work_;
    std::unique_ptr<boost::thread> thread_;
};

}  // namespace cd_control
}  // namespace zel_upnp
