// The action dispatcher: the one TCP request listener behind every control
// URL the application registers. It authorises the control point, parses the
// SOAP request, keeps the action pending with a time-out, hands it to the
// application's handler on its own thread and sends the application's answer
// (or a fault when none comes in time).
//
// Threads: requests arrive on the dispatch core's "ZelTcpReq" workers (two,
// so possibly at once); application handlers run one at a time on
// "ZelTcpActionReg"; answers and registrations come from any application
// thread; time-outs run on "ZelTimer" with the timer lock held. Lock order:
// timer lock, then pendingMutex_; handlersMutex_ is never held together with
// pendingMutex_, and neither is held while the timer service, the network
// layer's send or an application handler is called (handlersMutex_ is held
// across the dispatcher registration, which calls no listener).
#pragma once

#include <zel_upnp/cd_control.h>
#include <zel_upnp/cd_utils.h>
#include <zel_upnp/network_layer.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "utils/src/thread/serial_queue.h"

namespace zel_upnp {
namespace cd_control {

class ActionHandler : public network_layer::TCPRequestListener,
                      public boost::enable_shared_from_this<ActionHandler> {
  public:
    struct ActionHandlerInfo {
        std::string udn;  // the device whose access list guards the URL
        std::string controlUrl;
        int listenerId;
        ActionRequestHandler callback;
    };

    // One action waiting for the application's answer. session is consumed
    // by exactly one of: the answer, the time-out fault, or the tear-down.
    struct ActionInfo {
        int actionId;
        void* session;
        int timerId;  // 0 until the timer is started
        // The time-out runs from here, also when it is armed late.
        std::chrono::steady_clock::time_point arrived;
    };

    // How long an action may wait for its answer before the 501 fault.
    static constexpr int kActionTimeoutMs = 30000;
    // Actions waiting for an answer, and handler calls waiting for the action
    // thread, at most; a request beyond either is answered with the 501
    // fault at once, so a control point cannot grow them without bound while
    // a handler is slow or stuck.
    static constexpr std::size_t kMaxPendingActions = 256;

    // A dispatcher with its action thread running; null (logged) when the
    // thread cannot be started.
    static boost::shared_ptr<ActionHandler> Create();
    ~ActionHandler() override;

    // On a "ZelTcpReq" worker; answers at once on a failure, otherwise
    // leaves the session pending for the application. The access decision
    // may finish on "ZelTcpAsk" when the application's access listener must
    // answer first; the worker does not wait for it.
    int OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request, void* session) override;

    bool AddHandler(const std::string& udn, const std::string& controlUrl,
                    ActionRequestHandler handler);
    bool RemoveHandler(const std::string& controlUrl);
    // SendActionResponse (sync false) and SendSyncActionResponse (true).
    int Answer(int statusCode, const std::string& userAgent, const std::string& body, int actionId,
               bool sync);

    // The tear-down: stops and joins the action thread (detaches it when
    // called from a handler), unregisters every control URL and drops every
    // pending action unanswered, closing its connection. Idempotent.
    void Shutdown();

    // The time-out of actions started from now on; tests shorten it.
    static void SetActionTimeoutMs(int timeoutMs);
    // Actions waiting for their answer.
    std::size_t PendingActions();

  private:
    ActionHandler();
    // The entry whose control URL is exactly path; null when none.
    boost::shared_ptr<ActionHandlerInfo> FindHandler(const std::string& path);
    // No room for another action (logged), or torn down.
    bool Saturated();
    // The rest of a request the access control allowed: parse, make it
    // pending, queue the handler call; answers the faults itself.
    void Accept(const boost::shared_ptr<ActionHandlerInfo>& entry,
                const boost::shared_ptr<utils::HTTPInfo>& request, const std::string& head,
                void* session, const cd_utils::AuthorizedCPInfo& cpInfo);
    bool StartThread();
    void RunLoop();
    // The time-out of actionId, on the timer thread.
    void OnActionTimeout(int actionId);
    static void TimerCallback(int timerId, void* userData);
    // Removes and returns the pending action actionId; null when absent.
    boost::shared_ptr<ActionInfo> TakePending(int actionId);
    // Whether actionId still waits for its answer (not timed out, answered
    // or dropped by the tear-down).
    bool IsPending(int actionId);
    // Queues the application's handler call on the action thread. An
    // unarmed action gets its time-out there: before the call when the
    // timer's lock is free, otherwise after it, if it is still unanswered.
    void QueueHandlerCall(const boost::shared_ptr<ActionHandlerInfo>& entry,
                          const std::string& actionName, const std::string& serviceType,
                          const std::vector<boost::shared_ptr<StrArgument> >& arguments,
                          const boost::shared_ptr<stCpDeviceDetails>& controlPoint,
                          const std::string& localAddress,
                          const boost::shared_ptr<ActionInfo>& unarmed, int actionId);
    enum class Armed {
        kYes,    // the time-out runs (or could not be had, logged)
        kLater,  // the timer's lock was busy and mayWait false
        kGone    // the action is no longer pending; nothing to arm
    };
    // Starts the pending action's time-out (what is left of it since the
    // action arrived) and records its id; without mayWait only when the
    // timer's lock is free at once.
    Armed ArmTimeout(const boost::shared_ptr<ActionInfo>& action, bool mayWait);

    // Only OnTCPRequestReceived takes ids; atomic because requests arrive
    // on several io threads and workers at once.
    std::atomic<int> nextActionId_;
    // Handler calls queued and not yet started.
    std::atomic<std::size_t> queuedCalls_;

    boost::mutex pendingMutex_;
    std::vector<boost::shared_ptr<ActionInfo> > pending_;  // pendingMutex_
    bool stopped_;                                         // pendingMutex_

    boost::mutex handlersMutex_;
    std::map<std::string, boost::shared_ptr<ActionHandlerInfo> > handlers_;  // handlersMutex_

    // The handler calls, run on thread_.
    utils::SerialQueue calls_;
    std::unique_ptr<boost::thread> thread_;

    static std::atomic<int> timeoutMs_;
};

// The control subsystem's dispatcher while it is initialised, else null.
boost::shared_ptr<ActionHandler> ExistingActionHandler();

// The SOAPACTION value split into service type and action name: the text
// before and after the last "#", without the surrounding quotes. false (and
// a log line) for an empty value, one without "urn:", "service:" or "#", or
// an empty service type or action name.
bool ExtractServiceTypeAndAction(const std::string& soapAction, std::string& serviceType,
                                 std::string& actionName);

// The arguments of the SOAP envelope body: every child element of the action
// element, in document order, as (tag name, entity-decoded text). false (and
// a log line) when the body is not XML or has no Body or action element.
bool ParseSOAPMessage(const std::string& body,
                      std::vector<boost::shared_ptr<StrArgument> >& arguments);

// The complete action response: status line with its reason phrase (none
// for a code outside the table), headers and the envelope around body.
std::string BuildActionResponse(int statusCode, const std::string& date,
                                const std::string& userAgent, const std::string& body);

// The reason phrase of an HTTP status code; empty when it is not in the
// table.
const char* GetReasonPhrase(int statusCode);

}  // namespace cd_control
}  // namespace zel_upnp
