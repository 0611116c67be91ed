// The per-callback queues and the scheduler of NOTIFY connections.
//
// A callback is "busy" while its newest message is in flight and not yet
// taken; only then does its next message wait. Every open connection is a
// Flight, counted against the total and its share (the subscriber's
// address). Callbacks with something to send and no slot wait in ready_,
// initial events first, each in arrival order; a callback that has just
// been served goes to the back. A slot held by a message already taken
// (written, acknowledged, unanswered past the grace) is given up to a
// waiting callback rather than making it wait for that connection's deadline.
#include "cd_control/src/subscribe_handler.h"

#include <chrono>
#include <utility>

#include <boost/thread/lock_guard.hpp>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_control {

namespace {

// SEQ numbers of events to all run from 1 to 4294967294, then start again
// at 1; 0 belongs to initial and single events.
const uint64_t kSeqPeriod = 0xFFFFFFFEu;

void SkipSeq(uint32_t& next, uint64_t count) {
    if (next == 0 || next == 0xFFFFFFFFu)
        next = 1;
    next = static_cast<uint32_t>(1 + (next - 1 + count) % kSeqPeriod);
}

}  // namespace

uint32_t TakeSeq(uint32_t& next) {
    SkipSeq(next, 0);
    const uint32_t seq = next;
    SkipSeq(next, 1);
    return seq;
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
        orphan->share = host;
    }
    return orphan;
}

bool SubscribeHandler::Enqueue(const boost::shared_ptr<SubscriberCallbackInfo>& callback,
                               QueuedNotify message, Waiters& dropped) {
    if (callback->closed || stopped_)
        return false;
    message.gapBefore += callback->pendingGap;
    callback->pendingGap = 0;
    callback->waitingBytes += message.body.size();
    callback->waiting.push_back(std::move(message));
    if (callback->waiting.size() > kMaxQueuedNotifies ||
        callback->waitingBytes > kMaxQueuedNotifyBytes) {
        const size_t lost =
            CompactQueue(callback->waiting, callback->waitingBytes, kMaxQueuedNotifies,
                         kMaxQueuedNotifyBytes, dropped, callback->pendingGap);
        if (lost > 0)
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "%zu event(s) for [%s:%d] dropped: queue full", lost,
                     callback->host.c_str(), callback->port);
    }
    Pump(callback);
    return true;
}

void SubscribeHandler::CloseQueue(SubscriberCallbackInfo& callback, Waiters& waiters) {
    callback.closed = true;
    for (const QueuedNotify& message : callback.waiting) {
        if (message.waiter)
            waiters.push_back(message.waiter);
    }
    callback.waiting.clear();
    callback.waitingBytes = 0;
    for (auto flight = flights_.begin(); flight != flights_.end();) {
        auto next = std::next(flight);
        if (flight->callback.lock().get() == &callback) {
            if (flight->waiter)
                waiters.push_back(flight->waiter);
            flight->exchange->Cancel();
            DropFlight(flight);
        }
        flight = next;
    }
    Schedule();
}

void SubscribeHandler::Pump(const boost::shared_ptr<SubscriberCallbackInfo>& callback) {
    if (callback->closed || stopped_ || callback->busy || callback->ready ||
        callback->waiting.empty())
        return;
    callback->ready = true;
    ready_[callback->waiting.front().initial ? 0 : 1].push_back(callback);
    Schedule();
}

void SubscribeHandler::Schedule() {
    for (auto& line : ready_) {
        // Callbacks whose own share is full keep their place for next time.
        std::deque<boost::weak_ptr<SubscriberCallbackInfo> > skipped;
        while (!line.empty() && !stopped_) {
            const boost::shared_ptr<SubscriberCallbackInfo> callback = line.front().lock();
            if (!callback || callback->closed || callback->busy || callback->waiting.empty()) {
                if (callback)
                    callback->ready = false;
                line.pop_front();
                continue;
            }
            const SlotResult slot = TakeSlot(callback->share);
            if (slot == kAllFull) {
                line.insert(line.begin(), skipped.begin(), skipped.end());
                return;
            }
            line.pop_front();
            if (slot == kShareFull) {
                skipped.push_back(callback);
                continue;
            }
            callback->ready = false;
            Launch(callback);
        }
        line.insert(line.begin(), skipped.begin(), skipped.end());
    }
}

SubscribeHandler::SlotResult SubscribeHandler::TakeSlot(const std::string& share) {
    auto count = perShare_.find(share);
    if (count != perShare_.end() && count->second >= timings_.maxNotifiesPerAddress &&
        !ReclaimTaken(&share))
        return kShareFull;
    if (flights_.size() >= timings_.maxNotifiesInFlight && !ReclaimTaken(nullptr))
        return kAllFull;
    return kSlotTaken;
}

bool SubscribeHandler::ReclaimTaken(const std::string* share) {
    for (auto flight = flights_.begin(); flight != flights_.end(); ++flight) {
        if (!flight->released || (share != nullptr && flight->share != *share))
            continue;
        // The subscriber holds this message already; only its answer is
        // given up.
        flight->exchange->Cancel();
        DropFlight(flight);
        return true;
    }
    return false;
}

void SubscribeHandler::Launch(const boost::shared_ptr<SubscriberCallbackInfo>& callback) {
    QueuedNotify next = std::move(callback->waiting.front());
    callback->waiting.pop_front();
    callback->waitingBytes -= next.body.size();
    const boost::shared_ptr<SubscriberInfo> owner = callback->owner.lock();
    // A number taken when queued was counted then; the gaps of dropped
    // events only concern numbers taken here.
    if (owner && next.seq == 0 && next.gapBefore > 0)
        SkipSeq(owner->nextSeq, next.gapBefore);
    std::string message;
    if (next.toAll) {
        uint32_t seq = next.seq != 0 ? next.seq : 1;
        if (owner && next.seq == 0)
            seq = TakeSeq(owner->nextSeq);
        std::string date;
        if (utils::Generate_CurrentDate(date) != 0)
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "Generate_CurrentDate failed!");
        message = EventToAll(next.path, next.sid, seq, date, next.host, next.port, next.body);
    } else {
        message = EventToOne(next.path, next.sid, next.host, next.port, next.body);
    }
    Flight flight;
    flight.id = nextFlightId_++;
    flight.callback = callback;
    flight.share = callback->share;
    flight.waiter = next.waiter;
    const uint64_t id = flight.id;
    boost::weak_ptr<SubscribeHandler> self = shared_from_this();
    flight.exchange.reset(new NotifyExchange(
        io_, callback->host, callback->port, std::move(message), timings_.notifyDeadlineMs,
        [self, id](bool delivered) {
            boost::shared_ptr<SubscribeHandler> handler = self.lock();
            if (handler)
                handler->OnDone(id, delivered);
        },
        timings_.notifyGraceMs,
        [self, id] {
            boost::shared_ptr<SubscribeHandler> handler = self.lock();
            if (handler)
                handler->OnReleased(id);
        }));
    flights_.push_back(flight);
    ++perShare_[flight.share];
    callback->busy = true;
    flight.exchange->Start();
}

std::list<SubscribeHandler::Flight>::iterator SubscribeHandler::FindFlight(uint64_t id) {
    for (auto flight = flights_.begin(); flight != flights_.end(); ++flight) {
        if (flight->id == id)
            return flight;
    }
    return flights_.end();
}

void SubscribeHandler::DropFlight(std::list<Flight>::iterator flight) {
    const boost::shared_ptr<SubscriberCallbackInfo> callback = flight->callback.lock();
    if (callback && !flight->released)
        callback->busy = false;
    auto count = perShare_.find(flight->share);
    if (count != perShare_.end() && --count->second == 0)
        perShare_.erase(count);
    flights_.erase(flight);
}

void SubscribeHandler::OnDone(uint64_t id, bool delivered) {
    boost::shared_ptr<SyncWaiter> waiter;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        auto flight = FindFlight(id);
        // Gone already: cancelled by a closing queue or given up for a slot.
        if (flight == flights_.end())
            return;
        const boost::shared_ptr<SubscriberCallbackInfo> callback = flight->callback.lock();
        const bool taken = flight->released;
        waiter.swap(flight->waiter);
        DropFlight(flight);
        if (callback) {
            // A message already taken counts as delivered whatever follows.
            if (delivered || taken) {
                callback->failures = 0;
            } else if (!callback->closed) {
                ++callback->failures;
                ZEL_LOGW(ZEL_CORE_CDCONTROL, "NOTIFY to [%s:%d] failed (%u in a row)",
                         callback->host.c_str(), callback->port, callback->failures);
            }
            Pump(callback);
            if (!callback->busy && callback->waiting.empty() && callback->owner.expired()) {
                auto found = orphans_.find(callback->host + ":" + std::to_string(callback->port) +
                                           " " + callback->path);
                if (found != orphans_.end() && found->second == callback)
                    orphans_.erase(found);
            }
        }
        Schedule();
    }
    if (waiter)
        Settle(Waiters(1, waiter), delivered);
}

void SubscribeHandler::OnReleased(uint64_t id) {
    boost::shared_ptr<SyncWaiter> waiter;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        auto flight = FindFlight(id);
        if (flight == flights_.end() || flight->released)
            return;
        flight->released = true;
        waiter.swap(flight->waiter);
        const boost::shared_ptr<SubscriberCallbackInfo> callback = flight->callback.lock();
        if (callback) {
            ZEL_LOGD(ZEL_CORE_CDCONTROL, "NOTIFY to [%s:%d] taken, unanswered: the next may leave",
                     callback->host.c_str(), callback->port);
            callback->busy = false;
            callback->failures = 0;
            Pump(callback);
        }
        Schedule();
    }
    if (waiter)
        Settle(Waiters(1, waiter), true);
}

void SubscribeHandler::Settle(const Waiters& waiters, bool delivered) {
    for (const auto& waiter : waiters) {
        boost::lock_guard<boost::mutex> lock(waiter->mutex);
        waiter->failed = waiter->failed || !delivered;
        if (--waiter->remaining == 0)
            waiter->done.notify_all();
    }
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

}  // namespace cd_control
}  // namespace zel_upnp
