// The send calls of the family: they check their arguments, put one
// message on each queue concerned, and (the synchronous forms) wait for
// those messages to be taken.
#include "cd_control/src/subscribe_handler.h"

#include <exception>

#include <boost/thread/lock_guard.hpp>

#include "cd_control/src/subscribe_request.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_control {

int SubscribeHandler::SetMerging(const std::string& eventUrl, bool mergeable) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    boost::shared_ptr<ServiceInfo> service = FindService(eventUrl);
    if (!service) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid service found!");
        return CDC_NO_SERVICE;
    }
    service->mergeable = mergeable;
    return CDC_EVENT_SUCCESS;
}

int SubscribeHandler::SendOne(const std::string& host, int port, const std::string& sid,
                              const std::string& body, const std::string& path,
                              const std::string& eventUrl, bool needSubscriber, bool sync) {
    boost::shared_ptr<SyncWaiter> waiter;
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
        if (sync && InsideInitialHandler()) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "synchronous event refused in the initial-event handler");
            return CDC_SYNC_IN_INITIAL_HANDLER;
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
        const boost::shared_ptr<SubscriberCallbackInfo> callback =
            QueueFor(subscriber, host, port, path);
        // A callback counted dead is not waited for: the caller hears so at
        // once, and the message still waits in case it comes back.
        const bool dead = callback->failures >= kMaxCallbackFailures;
        if (sync && !dead) {
            waiter.reset(new SyncWaiter());
            waiter->remaining = 1;
        }
        QueuedNotify message;
        message.initial = !needSubscriber;
        message.body = body;
        message.sid = sid;
        message.host = host;
        message.port = port;
        message.path = path;
        message.waiter = waiter;
        if (!Enqueue(callback, std::move(message), dropped) || dead) {
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
        if (sync && InsideInitialHandler()) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "synchronous event refused in the initial-event handler");
            return CDC_SYNC_IN_INITIAL_HANDLER;
        }
        const bool mergeable = !sync && service->mergeable && IsPropertySet(body);
        for (const auto& entry : service->subscribers) {
            SubscriberInfo& subscriber = *entry.second;
            if (!subscriber.initialEventRequested)
                continue;
            for (const auto& callback : subscriber.callbacks) {
                ZEL_LOGD(ZEL_CORE_CDCONTROL, "Sending Event to ip_address [%s]",
                         callback->host.c_str());
                // A callback that keeps failing counts as refusing, as a send
                // that could not be handed over would; the others still get
                // their event, and nobody waits for the dead one.
                const bool dead = callback->failures >= kMaxCallbackFailures;
                QueuedNotify message;
                message.toAll = true;
                if (subscriber.callbacks.size() > 1)
                    message.seq = TakeSeq(subscriber.nextSeq);
                message.mergeable = mergeable;
                message.body = body;
                message.sid = subscriber.sid;
                message.host = callback->host;
                message.port = callback->port;
                message.path = callback->path;
                if (waiter && !dead) {
                    message.waiter = waiter;
                    boost::lock_guard<boost::mutex> count(waiter->mutex);
                    ++waiter->remaining;
                }
                const bool queued = Enqueue(callback, std::move(message), dropped);
                if (!queued && waiter && !dead) {
                    boost::lock_guard<boost::mutex> count(waiter->mutex);
                    --waiter->remaining;
                }
                if (!queued || dead) {
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

int SetEventMerging(const std::string& eventUrl, bool mergeable) {
    boost::shared_ptr<SubscribeHandler> instance = SubscribeHandler::Instance();
    if (!instance) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid service found!");
        return CDC_NO_SERVICE;
    }
    return instance->SetMerging(eventUrl, mergeable);
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
