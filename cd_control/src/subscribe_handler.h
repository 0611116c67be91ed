// GENA eventing: the one listener that answers SUBSCRIBE and UNSUBSCRIBE for
// every registered service, keeps the subscribers with their callbacks,
// time-outs and sequence numbers, and delivers event NOTIFYs.
//
// Units: subscribe_request.cpp parses requests and applies the callback
// policy; subscribe_handler.cpp keeps the subscription lifecycle;
// notify_queue.cpp holds the per-callback queues and the slot scheduler;
// event_send.cpp the send calls of the family.
//
// Delivery: every callback URL has its own queue. A message leaves on a
// connection of its own, run by the eventing thread ("ZelEvtIo"), once the
// previous one to that URL has been answered, failed, or been taken: written,
// acknowledged by the subscriber's TCP and left unanswered for a grace
// (that connection then stays open to its own deadline). So a callback
// receives its messages in the order they were queued. A message gets its
// SEQ and DATE when it leaves. Connections open at once are bounded in total
// and per subscriber address; callbacks waiting for one are served in turn,
// initial events first.
//
// Locking: one recursive mutex (mutex_) guards the services, their
// subscribers, every queue and the scheduler. The timer service runs its
// callbacks with its own mutex held, and those callbacks take mutex_; so no
// other thread may start or cancel a timer while it holds mutex_. Every
// Timer::Start and Timer::Cancel below runs outside mutex_, and the timer
// callbacks recognise their subscriber by SID (and an expiry timer by a
// generation number) instead of trusting a timer id that may not have been
// recorded yet. The application's initial-event handler runs on the timer
// thread with mutex_ held (it may call the asynchronous send operations,
// which re-enter mutex_). Exchange completions take mutex_ on the eventing
// thread; the eventing thread never runs application code.
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

#include "cd_control/src/notify_delivery.h"

#include <zel_upnp/cd_control.h>
#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace cd_control {

// Durations and shares of event delivery. Tests shorten or shrink them
// instead of waiting minutes or opening hundreds of connections.
struct EventTimings {
    int initialEventDelayMs = 500;
    // One second of a subscription's TIMEOUT lasts this many milliseconds.
    int msPerTimeoutSecond = 1000;
    // Connect, write and answer of one NOTIFY; a callback that takes longer
    // without having taken the message has failed it.
    int notifyDeadlineMs = 30000;
    // How long a NOTIFY whose bytes the subscriber's TCP has acknowledged
    // may stay unanswered before the next message to that callback leaves
    // on a new connection.
    int notifyGraceMs = 1000;
    // NOTIFY connections open at once over all callbacks, and per
    // subscriber address (the SUBSCRIBE's source; the callback host for a
    // URL no subscriber owns).
    size_t maxNotifiesInFlight = 256;
    size_t maxNotifiesPerAddress = 8;
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
// Messages, and body bytes, waiting behind those in flight to a callback.
// Past either, runs of mergeable events are merged; what still cannot fit
// is dropped oldest first, initial events never (CompactQueue).
const size_t kMaxQueuedNotifies = 16;
const size_t kMaxQueuedNotifyBytes = 64 * 1024;
// Consecutive failed NOTIFYs (a connect that fails or a message not taken)
// after which a callback counts as dead: an event to it is then reported as
// a send that could not be handed over (7002), a synchronous send returns at
// once, and its queue keeps only the merged latest state for it.
const unsigned kMaxCallbackFailures = 3;

class SubscribeHandler : public network_layer::TCPRequestListener,
                         public boost::enable_shared_from_this<SubscribeHandler> {
  public:
    struct SubscriberInfo;
    struct SubscriberCallbackInfo {
        std::string host;
        int port = 0;
        std::string path;  // begins with "/"
        // The delivery queue of this URL; everything below is under mutex_.
        // Null for a callback no subscriber owns (SendInitialEvent to an
        // address that is not a subscriber's).
        boost::weak_ptr<SubscriberInfo> owner;
        // Key of the per-address share its connections count against.
        std::string share;
        std::deque<QueuedNotify> waiting;
        size_t waitingBytes = 0;
        // SEQ numbers of dropped events to all, skipped by the next message.
        uint32_t pendingGap = 0;
        // A message to it is in flight and not yet taken: the next waits.
        bool busy = false;
        // In one of the scheduler's ready queues.
        bool ready = false;
        unsigned failures = 0;  // consecutive
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
        // that fires anyway leaves the subscriber alone. The initial-event
        // timer does not look at it, so a renewal cannot cancel it.
        unsigned generation = 0;
        std::list<boost::shared_ptr<SubscriberCallbackInfo> > callbacks;
        // Source address of the SUBSCRIBE, for the per-address share.
        std::string peerAddress;
    };
    struct ServiceInfo {
        std::string serviceTag;
        InitialEventHandler handler;
        std::map<std::string, boost::shared_ptr<SubscriberInfo> > subscribers;
        // Whether waiting events to all may be merged (SetEventMerging).
        bool mergeable = true;
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
    // CDC_EVENT_SUCCESS or CDC_NO_SERVICE.
    int SetMerging(const std::string& eventUrl, bool mergeable);
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

    // Bytes of the message templates; in subscribe_request.cpp.
    static std::string EventToOne(const std::string& path, const std::string& sid,
                                  const std::string& host, int port, const std::string& body);
    static std::string EventToAll(const std::string& path, const std::string& sid, uint32_t seq,
                                  const std::string& date, const std::string& host, int port,
                                  const std::string& body);

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
    // One open NOTIFY connection. flights_ owns the exchange; the exchange
    // knows its flight only by id, so no cycle outlives a stopped loop.
    struct Flight {
        uint64_t id = 0;
        boost::shared_ptr<NotifyExchange> exchange;
        boost::weak_ptr<SubscriberCallbackInfo> callback;
        std::string share;
        boost::shared_ptr<SyncWaiter> waiter;
        bool released = false;  // taken by the subscriber, unanswered
    };

    explicit SubscribeHandler(const EventTimings& timings);

    bool StartThread();
    void RunLoop();

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
    static void CancelTimers(const std::vector<int>& timers);

    // notify_queue.cpp, all under mutex_ unless said otherwise.
    // The queue of the callback host:port path of the subscriber (its own
    // one, or one for a URL no subscriber owns).
    boost::shared_ptr<SubscriberCallbackInfo> QueueFor(const boost::shared_ptr<SubscriberInfo>& sub,
                                                       const std::string& host, int port,
                                                       const std::string& path);
    // Appends message, compacts when past the bound, and schedules. false
    // when the queue is closed.
    bool Enqueue(const boost::shared_ptr<SubscriberCallbackInfo>& callback, QueuedNotify message,
                 Waiters& dropped);
    void CloseQueue(SubscriberCallbackInfo& callback, Waiters& waiters);
    // Puts callback in line for a slot when it has something that may leave.
    void Pump(const boost::shared_ptr<SubscriberCallbackInfo>& callback);
    // Starts waiting callbacks, initial events first, in arrival order,
    // while slots are free (or can be freed from messages already taken).
    void Schedule();
    enum SlotResult { kSlotTaken, kShareFull, kAllFull };
    SlotResult TakeSlot(const std::string& share);
    bool ReclaimTaken(const std::string* share);
    void Launch(const boost::shared_ptr<SubscriberCallbackInfo>& callback);
    std::list<Flight>::iterator FindFlight(uint64_t id);
    void DropFlight(std::list<Flight>::iterator flight);
    // On the eventing thread: an exchange ended, or its message was taken.
    void OnDone(uint64_t id, bool delivered);
    void OnReleased(uint64_t id);
    // Without mutex_.
    static void Settle(const Waiters& waiters, bool delivered);
    // Waits for a synchronous send; CDC_EVENT_SUCCESS or
    // CDC_PACKET_SENDING_FAILED.
    int Await(const boost::shared_ptr<SyncWaiter>& waiter);
    // Under mutex_: true when the calling thread runs an initial-event
    // handler, where a synchronous send would wait for itself.
    bool InsideInitialHandler() const;

    const EventTimings timings_;
    // Declared before everything that may hold an exchange, so that it is
    // destroyed after the sockets that belong to it.
    boost::asio::io_context io_;
    boost::recursive_mutex mutex_;
    std::map<std::string, boost::shared_ptr<ServiceInfo> > services_;
    // Queues of URLs no subscriber owns, by "host:port path"; dropped once
    // empty and idle.
    std::map<std::string, boost::shared_ptr<SubscriberCallbackInfo> > orphans_;
    // Callbacks waiting for a slot: [0] with an initial event in front, [1]
    // the others; each in arrival order, a callback just served at the back.
    std::deque<boost::weak_ptr<SubscriberCallbackInfo> > ready_[2];
    // Every open NOTIFY connection, oldest first, and their count per share.
    std::list<Flight> flights_;
    std::map<std::string, size_t> perShare_;
    uint64_t nextFlightId_ = 1;
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
