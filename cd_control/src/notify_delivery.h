// The pieces of event delivery that know nothing of subscribers: one NOTIFY
// exchange on a connection of its own, the merge of waiting property sets
// into one, and the compaction of a callback's waiting messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

namespace zel_upnp {
namespace cd_control {

// Bytes of a subscriber's answer read before the exchange gives up on
// finding the end of its head; an answer is a status line and a few headers.
const size_t kMaxNotifyAnswerHead = 8192;

// How often a written NOTIFY's send queue is looked at once its grace has
// passed, until the subscriber's TCP has acknowledged every byte.
const int kAckPollMs = 50;

// Sends one NOTIFY to host:port on a new connection and reads the answer's
// head; the connection then closes. Everything after construction runs on
// the thread that runs io (the eventing thread): Start and Cancel only post
// there. done is called exactly once, on that thread, with true when the
// subscriber answered with a 2xx status, and false when the connect, the
// write or the read failed, the deadline passed, or Cancel came first. A
// stopped io_context calls nothing; destroying it frees the exchange and
// closes its socket.
//
// released (when graceMs > 0) is called at most once, before done: when the
// message has been written, the subscriber's TCP has acknowledged every
// byte (the socket's send queue is empty) and no answer came within graceMs
// of the write. The subscriber then holds the message; the exchange still
// waits for the answer up to its deadline.
class NotifyExchange : public boost::enable_shared_from_this<NotifyExchange> {
  public:
    typedef boost::function<void(bool delivered)> Done;
    typedef boost::function<void()> Released;

    NotifyExchange(boost::asio::io_context& io, const std::string& host, int port,
                   std::string message, int deadlineMs, Done done, int graceMs = 0,
                   Released released = Released());

    void Start();
    void Cancel();

  private:
    void OnConnected(const boost::system::error_code& error);
    void OnWritten(const boost::system::error_code& error);
    void OnAnswer(const boost::system::error_code& error);
    void WatchAcknowledgement(int delayMs);
    void Finish(bool delivered);

    boost::asio::io_context& io_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer deadline_;
    boost::asio::steady_timer grace_;
    boost::asio::ip::tcp::endpoint endpoint_;
    bool endpointOk_ = false;
    const std::string message_;
    const int deadlineMs_;
    boost::asio::streambuf answer_;
    // Reset once called, so that what they hold goes at once.
    Done done_;
    const int graceMs_;
    Released released_;
    bool finished_ = false;
};

// Merges bodies (e:propertyset documents, oldest first) into merged: one
// property per variable name, carrying the latest value, in the order in
// which the names first appeared; the text around the properties is the
// first body's. false, and merged untouched, when a body is not a property
// set this can read (then nothing may be merged).
bool MergePropertySets(const std::vector<const std::string*>& bodies, std::string& merged);
// True when body is a property set MergePropertySets can read.
bool IsPropertySet(const std::string& body);

// A synchronous send waiting for its messages to have been taken.
struct SyncWaiter {
    boost::mutex mutex;
    boost::condition_variable done;
    size_t remaining = 0;  // mutex
    bool failed = false;   // mutex
};
typedef std::vector<boost::shared_ptr<SyncWaiter> > Waiters;

// One message waiting in a callback's queue. The DATE of an event to all is
// filled in when it leaves, and so is its SEQ unless seq says otherwise.
struct QueuedNotify {
    bool toAll = false;  // the numbered template; else the SEQ 0 one
    // SendInitialEvent's: leaves ahead of other callbacks' messages and is
    // never dropped (a peer causes at most one per subscription callback).
    bool initial = false;
    // An event to all of a service that allows merging, whose body is a
    // property set and for which nobody waits.
    bool mergeable = false;
    // Made by merging: the latest state of its run, dropped last.
    bool merged = false;
    // Events to all dropped just before this one: the SEQ numbers it skips.
    uint32_t gapBefore = 0;
    // An event to all for a subscriber with more than one callback: its SEQ,
    // taken when the event was queued, in the order of the callbacks, so the
    // first callback gets n and the second n + 1 whichever leaves first. 0
    // (one callback): taken when it leaves, so merged events share one
    // number and only a dropped event leaves a gap.
    uint32_t seq = 0;
    std::string body;
    std::string sid;
    std::string host;
    int port = 0;
    std::string path;
    // Set for a synchronous send; such a message is never merged away.
    boost::shared_ptr<SyncWaiter> waiter;
};

// Brings queue (whose bodies add up to bytes) within maxCount messages and
// maxBytes body bytes. First each run of adjacent mergeable messages becomes
// one merged message in the run's place, so no value moves past a message
// it was not merged with. Then, while still beyond a bound and more than one
// message waits, the oldest message that is neither initial nor merged is
// dropped (merged ones only when nothing else can go; initial ones never);
// the SEQ number a dropped event to all would have taken is skipped by the
// message after it, or added to trailingGap when it was the last. Waiters of
// dropped messages are appended to dropped. Returns how many were dropped.
size_t CompactQueue(std::deque<QueuedNotify>& queue, size_t& bytes, size_t maxCount,
                    size_t maxBytes, Waiters& dropped, uint32_t& trailingGap);

// The next SEQ of an event to all from a subscriber's counter (1 to
// 4294967294, then 1 again; 0 belongs to initial and single events).
uint32_t TakeSeq(uint32_t& next);

}  // namespace cd_control
}  // namespace zel_upnp
