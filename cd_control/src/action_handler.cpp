#include "cd_control/src/action_handler.h"

#include <zel_upnp/cd_utils.h>
#include <zel_upnp/utils.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>

#include <boost/thread/lock_guard.hpp>

#include "cd_control/src/subscribe_handler.h"
#include "cd_discovery/src/send_description.h"
#include "cd_utils/src/verify_cp_access.h"
#include "network_layer/src/incoming_tcp_session.h"
#include "network_layer/src/tcp_routes.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/reason_phrase.h"
#include "utils/src/httpparser/upnp_error.h"
#include "utils/src/thread/thread_util.h"
#include "utils/src/timer/timer_service.h"

namespace zel_upnp {
namespace cd_control {

namespace {

const char kThreadBaseName[] = "ZelTcpActionReg";
const int kUnnumberedThread = -1;
const char kDefaultUserAgent[] = "DLNADOC/1.50 QTN_HHP_Varnesk Mobile/1.0 UPnP/1.0";
const char kXmlnsPrefix[] = "xmlns:";

// The faults of a control request: status line, UPnP errorCode and
// errorDescription.
struct Fault {
    const char* statusLine;
    int errorCode;
    const char* errorDescription;
};
const Fault kInvalidArgs = {"HTTP/1.1 400 Bad Request", 402, "Invalid Args"};
const Fault kUnauthorized = {"HTTP/1.1 401 Unauthorized", 401, "Unauthorized"};
const Fault kInvalidAction = {"HTTP/1.1 500 Internal Server Error", 401, "Invalid Action"};
const Fault kActionFailed = {"HTTP/1.1 500 Internal Server Error", 501, "Action Failed"};

int SendFault(const Fault& fault, void* session) {
    const std::string body = utils::UPnPErrorEnvelope(fault.errorCode, fault.errorDescription);
    std::string answer;
    answer.reserve(body.size() + 192);
    answer += fault.statusLine;
    answer +=
        "\r\nEXT: \r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
        "SERVER:UPnP/1.1 Varnesk Omnilume Server/1.0\r\nCONTENT-LENGTH: ";
    answer += std::to_string(body.size());
    answer += "\r\n\r\n";
    answer += body;
    return cd_discovery::SendTextResponse(answer, session);
}

// What a started action timer carries: the dispatcher it belongs to (weak,
// so a timer cannot keep a torn-down dispatcher alive or reach its
// successor) and the action. Freed by the time-out callback, or by whoever
// cancels the timer while it is live.
struct TimeoutTag {
    boost::weak_ptr<ActionHandler> owner;
    int actionId;
};

void CancelActionTimer(int timerId) {
    if (timerId == 0)
        return;
    void* userData = nullptr;
    utils::Timer::Cancel(timerId, &userData);
    delete static_cast<TimeoutTag*>(userData);
}

// Reads the SOAPACTION header and the body into the action's names and
// arguments.
bool ExtractVariables(const boost::shared_ptr<utils::HTTPInfo>& request, const std::string& head,
                      std::string& serviceType, std::string& actionName,
                      std::vector<boost::shared_ptr<StrArgument> >& arguments) {
    std::string soapAction;
    request->GetHeaderValue("SOAPACTION", soapAction);
    if (soapAction.empty()) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "SOAPACTION is invalid ");
        return false;
    }
    if (!ExtractServiceTypeAndAction(soapAction, serviceType, actionName))
        return false;
    std::string body;
    request->ReadBody(body);
    if (body.empty()) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "Invalid soap message ");
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "Packet Data =%s ", head.c_str());
        return false;
    }
    if (!ParseSOAPMessage(body, arguments)) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, " Unable to parse soap message for data ");
        return false;
    }
    return true;
}

// The prefix of the envelope's first "xmlns:" declaration, empty without one.
std::string GetNameSpace(utils::NodeXml* envelope) {
    std::string attribute;
    if (utils::XmlGetAttributeName(envelope, kXmlnsPrefix, attribute) != 1) {
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "Template value not avaiable. ");
        return std::string();
    }
    return attribute.substr(sizeof(kXmlnsPrefix) - 1);
}

// Frees a node handed out by the XML parser when it goes out of scope.
struct NodeGuard {
    utils::NodeXml* node = nullptr;
    ~NodeGuard() { utils::XmlParserFreeNode(node); }
    void Reset() {
        utils::XmlParserFreeNode(node);
        node = nullptr;
    }
};

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Walks the parsed envelope; the parser's cursor is on nothing yet.
bool ParseEnvelope(utils::XmlParser& parser,
                   std::vector<boost::shared_ptr<StrArgument> >& arguments) {
    NodeGuard node;
    if (utils::XmlParserGetFirstNode(parser, node.node) != 1) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "No root node ");
        return false;
    }
    const std::string prefix = GetNameSpace(node.node);
    const std::string bodyTag = prefix.empty() ? std::string("Body") : prefix + ":Body";
    node.Reset();
    int found = utils::XmlParserGetChildNode(parser, node.node);
    // A SOAP Header block may precede the Body.
    if (found == 1 && EndsWith(node.node->name, "Header")) {
        node.Reset();
        found = utils::XmlParserGetNextNode(parser, node.node);
    }
    if (found != 1 || node.node->name.find(bodyTag) == std::string::npos) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "No SOAP body [%s] ", bodyTag.c_str());
        return false;
    }
    node.Reset();
    if (utils::XmlParserGetChildNode(parser, node.node) != 1) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "No action element ");
        return false;
    }
    node.Reset();
    for (int more = utils::XmlParserGetChildNode(parser, node.node); more == 1;
         more = utils::XmlParserGetNextNode(parser, node.node)) {
        if (node.node->name.empty()) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "Argument without a name ");
            return false;
        }
        boost::shared_ptr<StrArgument> argument(new StrArgument);
        argument->name = node.node->name;
        if (node.node->value.empty() ||
            utils::XmlUnescapeValue(node.node->value, argument->value) != utils::UTILS_SUCCESS)
            argument->value = node.node->value;
        arguments.push_back(argument);
        node.Reset();
    }
    return true;
}

}  // namespace

std::atomic<int> ActionHandler::timeoutMs_(ActionHandler::kActionTimeoutMs);

bool ExtractServiceTypeAndAction(const std::string& soapAction, std::string& serviceType,
                                 std::string& actionName) {
    if (soapAction.empty()) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, " SOAPACTION has invalid length ");
        return false;
    }
    if (soapAction.find("urn:") == std::string::npos) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "SOAPACTION is invalid for urn ");
        return false;
    }
    if (soapAction.find("service:") == std::string::npos) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, " SOAPACTION is invalid for service ");
        return false;
    }
    const std::size_t hash = soapAction.rfind('#');
    if (hash == 0 || hash == std::string::npos) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, " SOAPACTION is invalid for length ");
        return false;
    }
    // The usual form is quoted; an unquoted value keeps all its characters.
    const std::size_t begin = soapAction[0] == '"' ? 1 : 0;
    std::size_t end = soapAction.size();
    if (end - 1 > hash && soapAction[end - 1] == '"')
        --end;
    serviceType = soapAction.substr(begin, hash - begin);
    actionName = soapAction.substr(hash + 1, end - hash - 1);
    if (serviceType.empty()) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "Unable to extract service from SOAPACTION ");
        return false;
    }
    if (actionName.empty()) {
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "Unable to extract action from SOAPACTION ");
        return false;
    }
    return true;
}

bool ParseSOAPMessage(const std::string& body,
                      std::vector<boost::shared_ptr<StrArgument> >& arguments) {
    utils::XmlParser parser;
    if (utils::XmlParserGetDomMA(body, parser) != 1) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Unable to create xml parser ");
        return false;
    }
    const bool parsed = ParseEnvelope(parser, arguments);
    utils::XmlParserDestroy(parser);
    if (!parsed)
        arguments.clear();
    return parsed;
}

const char* GetReasonPhrase(int statusCode) {
    const char* phrase = utils::StandardReasonPhrase(statusCode);
    return phrase != nullptr ? phrase : "";
}

std::string BuildActionResponse(int statusCode, const std::string& date,
                                const std::string& userAgent, const std::string& body) {
    static const char kEnvelopeHead[] =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
        "<s:Envelope s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>";
    static const char kEnvelopeTail[] = "</s:Body></s:Envelope>";
    const std::size_t wrapper = sizeof(kEnvelopeHead) - 1 + sizeof(kEnvelopeTail) - 1;
    std::string response;
    response.reserve(wrapper + body.size() + 256 + userAgent.size());
    response += "HTTP/1.1 ";
    response += std::to_string(statusCode);
    response += ' ';
    response += GetReasonPhrase(statusCode);
    response +=
        "\r\nEXT: \r\nCONNECTION: close\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
        "SERVER:UPnP/1.0, Varnesk Omnilume Server/1.0\r\nDATE: ";
    response += date;
    response += "\r\nUSER-AGENT: ";
    response += userAgent;
    response += "\r\nContent-Length: ";
    response += std::to_string(body.size() + wrapper);
    response += "\r\n\r\n";
    response += kEnvelopeHead;
    response += body;
    response += kEnvelopeTail;
    return response;
}

ActionHandler::ActionHandler() : nextActionId_(0), queuedCalls_(0), stopped_(false) {}

ActionHandler::~ActionHandler() {
    Shutdown();
}

boost::shared_ptr<ActionHandler> ActionHandler::Create() {
    boost::shared_ptr<ActionHandler> handler(new (std::nothrow) ActionHandler);
    if (!handler || !handler->StartThread())
        return boost::shared_ptr<ActionHandler>();
    return handler;
}

void ActionHandler::SetActionTimeoutMs(int timeoutMs) {
    timeoutMs_ = timeoutMs;
}

bool ActionHandler::StartThread() {
    try {
        const std::string name = utils::PrepareThreadName(kThreadBaseName);
        // The thread holds the dispatcher until its loop has ended, so that a
        // handler that tears the subsystem down does not free the queue it
        // is running on.
        boost::shared_ptr<ActionHandler> self = shared_from_this();
        thread_ =
            utils::StartThread(utils::kApplicationThreadStackSize, [self] { self->RunLoop(); });
        utils::SetNameOnThread(thread_.get(), name, kUnnumberedThread);
        return true;
    } catch (const boost::thread_resource_error& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "thread_resource_error exception:[%s]", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Unknown Exception in StartCallbackThreads");
    }
    return false;
}

void ActionHandler::RunLoop() {
    try {
        calls_.Run();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "action loop ended by exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "action loop ended by unknown exception");
    }
}

boost::shared_ptr<ActionHandler::ActionHandlerInfo> ActionHandler::FindHandler(
    const std::string& path) {
    boost::lock_guard<boost::mutex> lock(handlersMutex_);
    auto found = handlers_.find(path);
    // A control URL registered without its leading "/" names the same path.
    if (found == handlers_.end() && !path.empty())
        found = handlers_.find(path.substr(1));
    return found == handlers_.end() ? boost::shared_ptr<ActionHandlerInfo>() : found->second;
}

std::size_t ActionHandler::PendingActions() {
    boost::lock_guard<boost::mutex> lock(pendingMutex_);
    return pending_.size();
}

bool ActionHandler::Saturated() {
    boost::lock_guard<boost::mutex> lock(pendingMutex_);
    if (!stopped_ && pending_.size() < kMaxPendingActions && queuedCalls_ < kMaxPendingActions)
        return false;
    ZEL_LOGW(ZEL_CORE_CDCONTROL, "Action refused: %zu pending, stopped %d", pending_.size(),
             stopped_ ? 1 : 0);
    return true;
}

int ActionHandler::OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request, void* session) {
    try {
        std::string head;
        std::string uri;
        if (!request || request->GetHeader(head) != 0 || request->GetURI(uri) != 0)
            return SendFault(kInvalidArgs, session);
        // Routed here by method and path; the entry is the one whose control
        // URL is exactly the request's path (a near miss in case only gets
        // the fault).
        const boost::shared_ptr<ActionHandlerInfo> entry =
            FindHandler(network_layer::RequestPath(uri));
        if (!entry) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "No handler for the control url ");
            return SendFault(kInvalidAction, session);
        }
        // Before the access decision and the SOAP parse: a flood of actions
        // behind a stuck handler costs neither.
        if (Saturated())
            return SendFault(kActionFailed, session);
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "verifying CP");
        const boost::shared_ptr<ActionHandler> self = shared_from_this();
        cd_utils::DecideWithoutWaiting(entry->udn, request,
                                       [self, entry, request, head, session](
                                           bool allowed, const cd_utils::AuthorizedCPInfo& cpInfo) {
                                           if (!allowed) {
                                               ZEL_LOGE(ZEL_CORE_CDCONTROL, "Access denied to CP");
                                               SendFault(kUnauthorized, session);
                                               return;
                                           }
                                           self->Accept(entry, request, head, session, cpInfo);
                                       });
        return 0;
    } catch (const std::exception& e) {
        // Only allocation throws here, before the session was handed on.
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
    }
    network_layer::ReleaseSessionContext(session);
    return 1;
}

void ActionHandler::Accept(const boost::shared_ptr<ActionHandlerInfo>& entry,
                           const boost::shared_ptr<utils::HTTPInfo>& request,
                           const std::string& head, void* session,
                           const cd_utils::AuthorizedCPInfo& cpInfo) {
    // Whether session has been handed on (answered or made pending).
    bool consumed = false;
    boost::shared_ptr<ActionInfo> action;
    try {
        action.reset(new ActionInfo);
        action->actionId = nextActionId_++;
        action->session = nullptr;
        action->timerId = 0;
        action->arrived = std::chrono::steady_clock::now();
        std::string serviceType;
        std::string actionName;
        std::vector<boost::shared_ptr<StrArgument> > arguments;
        if (!ExtractVariables(request, head, serviceType, actionName, arguments)) {
            SendFault(kInvalidArgs, session);
            return;
        }

        {
            boost::lock_guard<boost::mutex> lock(pendingMutex_);
            if (stopped_ || pending_.size() >= kMaxPendingActions ||
                queuedCalls_ >= kMaxPendingActions) {
                ZEL_LOGW(ZEL_CORE_CDCONTROL, "Action refused: %zu pending, stopped %d",
                         pending_.size(), stopped_ ? 1 : 0);
                SendFault(kActionFailed, session);
                return;
            }
            action->session = session;
            pending_.push_back(action);
            consumed = true;
        }
        // The time-out is armed outside the pending lock (the time-out takes
        // that lock under the timer's own). This thread may be an io thread,
        // which must not wait out a timer callback holding the timer's lock:
        // then the action thread arms it before it calls the handler.
        const Armed armed = ArmTimeout(action, false);
        if (armed == Armed::kGone)
            return;
        boost::shared_ptr<stCpDeviceDetails> controlPoint(new stCpDeviceDetails);
        controlPoint->ip_address = cpInfo.ip_address;
        controlPoint->user_agent = cpInfo.user_agent;
        controlPoint->mac_address = cpInfo.mac_address;
        controlPoint->device_name = cpInfo.device_name;
        request->GetHeaderValue("X-MRCP-ID", controlPoint->mrcp_id);
        const std::string localAddress = request->GetMyIpAddress();
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "Calling the uppler layer callback through boost::bind");
        QueueHandlerCall(entry, actionName, serviceType, arguments, controlPoint, localAddress,
                         armed == Armed::kLater ? action : nullptr, action->actionId);
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "Called the uppler layer callback through boost::bind");
        return;
    } catch (const std::exception& e) {
        // Only allocation throws here. An action made pending may have no
        // handler call queued: it is taken back (its queued call, if any, is
        // then dropped) and failed at once. A session that the time-out, an
        // answer or the tear-down already took is theirs; any other is
        // closed now.
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
        if (consumed) {
            if (!TakePending(action->actionId))
                return;
            CancelActionTimer(action->timerId);
            consumed = false;
            try {
                SendFault(kActionFailed, session);
                return;
            } catch (const std::exception&) {
            }
        }
    }
    if (!consumed)
        network_layer::ReleaseSessionContext(session);
}

void ActionHandler::QueueHandlerCall(const boost::shared_ptr<ActionHandlerInfo>& entry,
                                     const std::string& actionName, const std::string& serviceType,
                                     const std::vector<boost::shared_ptr<StrArgument> >& arguments,
                                     const boost::shared_ptr<stCpDeviceDetails>& controlPoint,
                                     const std::string& localAddress,
                                     const boost::shared_ptr<ActionInfo>& unarmed, int actionId) {
    ++queuedCalls_;
    ActionRequestHandler callback = entry->callback;
    const bool queued = calls_.Post([this, callback, actionName, serviceType, arguments,
                                     controlPoint, localAddress, unarmed, actionId] {
        --queuedCalls_;
        // The timer holds its lock while a callback runs (an alive burst
        // sleeps about 205 ms in one): waiting for it here would stall every
        // action behind this one, so a busy lock leaves the arming until
        // after the call, and most calls answer before they return.
        bool armAfterCall = false;
        if (unarmed) {
            const Armed armed = ArmTimeout(unarmed, false);
            if (armed == Armed::kGone)
                return;
            armAfterCall = armed == Armed::kLater;
        }
        // The control point of an action that timed out while its call
        // waited here has its fault already: the call must not act.
        if (!IsPending(actionId)) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "Handler call of finished action %d dropped", actionId);
            return;
        }
        try {
            callback(actionName, serviceType, arguments, controlPoint, localAddress, actionId);
        } catch (const std::exception& e) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "action handler threw: %s", e.what());
        } catch (...) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, "action handler threw an unknown exception");
        }
        if (armAfterCall && IsPending(actionId))
            ArmTimeout(unarmed, true);
    });
    // After a tear-down the call is dropped; the action went with the
    // pending list.
    if (!queued)
        --queuedCalls_;
}

ActionHandler::Armed ActionHandler::ArmTimeout(const boost::shared_ptr<ActionInfo>& action,
                                               bool mayWait) {
    std::unique_ptr<TimeoutTag> tag(new TimeoutTag{weak_from_this(), action->actionId});
    const long long elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - action->arrived)
                                    .count();
    const int leftMs = static_cast<int>(std::max(0LL, timeoutMs_ - elapsedMs));
    int timerId = 0;
    if (mayWait)
        timerId = utils::Timer::Start(leftMs, &ActionHandler::TimerCallback, tag.get());
    else if (!utils::TryStartTimer(leftMs, &ActionHandler::TimerCallback, tag.get(), timerId))
        return Armed::kLater;
    if (timerId != 0)
        tag.release();  // the timer's now, freed by its callback or its canceller
    bool stillPending = false;
    {
        boost::lock_guard<boost::mutex> lock(pendingMutex_);
        stillPending = std::find(pending_.begin(), pending_.end(), action) != pending_.end();
        if (stillPending)
            action->timerId = timerId;
    }
    // Until its id is stored the action can only be taken by the tear-down,
    // whose timer this then cancels.
    if (!stillPending) {
        CancelActionTimer(timerId);
        return Armed::kGone;
    }
    if (timerId == 0)
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Action timer not started for %d", action->actionId);
    return Armed::kYes;
}

bool ActionHandler::AddHandler(const std::string& udn, const std::string& controlUrl,
                               ActionRequestHandler handler) {
    boost::lock_guard<boost::mutex> lock(handlersMutex_);
    if (handlers_.count(controlUrl) != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Control url registered already present in the list ");
        return false;
    }
    boost::shared_ptr<ActionHandlerInfo> entry(new ActionHandlerInfo);
    entry->udn = udn;
    entry->controlUrl = controlUrl;
    entry->callback = handler;
    entry->listenerId = -1;
    const std::string path = controlUrl[0] == '/' ? controlUrl : "/" + controlUrl;
    const std::vector<network_layer::TcpRoute> routes(1, {utils::HTTP_POST, path});
    // On the io thread that read it, unless its body is large: the access
    // decision never waits (ask mode goes to its own thread), and the
    // time-out is armed there only when the timer's lock is free.
    const int result = network_layer::RegisterTCPRoutes(
        routes, shared_from_this(), network_layer::RouteThread::kIoThreadSmallBody,
        entry->listenerId);
    if (result != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Listener registration failed [%d]", result);
        return false;
    }
    handlers_[controlUrl] = entry;
    return true;
}

bool ActionHandler::RemoveHandler(const std::string& controlUrl) {
    boost::lock_guard<boost::mutex> lock(handlersMutex_);
    auto found = handlers_.find(controlUrl);
    if (found == handlers_.end()) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Trying to remove unknown control uri.");
        return false;
    }
    network_layer::UnRegisterRequestListener(found->second->listenerId);
    handlers_.erase(found);
    return true;
}

boost::shared_ptr<ActionHandler::ActionInfo> ActionHandler::TakePending(int actionId) {
    boost::lock_guard<boost::mutex> lock(pendingMutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if ((*it)->actionId == actionId) {
            boost::shared_ptr<ActionInfo> action = *it;
            pending_.erase(it);
            return action;
        }
    }
    return boost::shared_ptr<ActionInfo>();
}

bool ActionHandler::IsPending(int actionId) {
    boost::lock_guard<boost::mutex> lock(pendingMutex_);
    for (const auto& action : pending_) {
        if (action->actionId == actionId)
            return true;
    }
    return false;
}

int ActionHandler::Answer(int statusCode, const std::string& userAgent, const std::string& body,
                          int actionId, bool sync) {
    // The answer is built before the action is taken: an allocation failure
    // then leaves the action pending (for another try or its time-out)
    // instead of taken and never answered.
    const std::string agent = userAgent.empty() ? std::string(kDefaultUserAgent) : userAgent;
    std::string date;
    if (utils::Generate_CurrentDate(date) != utils::UTILS_SUCCESS) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "[ActionHandler::ActionResponse] Date generation failed!");
        date.clear();
    }
    std::unique_ptr<std::string> response(
        new std::string(BuildActionResponse(statusCode, date, agent, body)));
    boost::shared_ptr<ActionInfo> action = TakePending(actionId);
    if (!action) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL,
                 "[ActionHandler::ActionResponse] Unable to retrieve action info. ");
        return network_layer::NL_INVALID_LISTENER;
    }
    CancelActionTimer(action->timerId);
    int result = 0;
    if (sync) {
        result = network_layer::SendSyncResponsePacket(
            *response, static_cast<int>(response->size()), action->session);
    } else {
        result = network_layer::SendResponsePacket(
            response.get(), static_cast<int>(response->size()), action->session);
        if (result == 0)
            response.release();  // the network layer's now
    }
    ZEL_LOGD(ZEL_CORE_CDCONTROL, "[ActionHandler::ActionResponse] Action Response Sent. ");
    return result;
}

void ActionHandler::TimerCallback(int /*timerId*/, void* userData) {
    std::unique_ptr<TimeoutTag> tag(static_cast<TimeoutTag*>(userData));
    if (!tag)
        return;
    boost::shared_ptr<ActionHandler> owner = tag->owner.lock();
    if (owner)
        owner->OnActionTimeout(tag->actionId);
}

void ActionHandler::OnActionTimeout(int actionId) {
    boost::shared_ptr<ActionInfo> action = TakePending(actionId);
    if (!action)
        return;
    ZEL_LOGE(ZEL_CORE_CDCONTROL, "Time out happended");
    SendFault(kActionFailed, action->session);
}

void ActionHandler::Shutdown() {
    {
        boost::lock_guard<boost::mutex> lock(pendingMutex_);
        if (stopped_)
            return;
        stopped_ = true;
    }
    calls_.Stop();
    if (thread_) {
        if (thread_->get_id() == boost::this_thread::get_id())
            thread_->detach();
        else
            thread_->join();
        thread_.reset();
    }
    std::map<std::string, boost::shared_ptr<ActionHandlerInfo> > handlers;
    {
        boost::lock_guard<boost::mutex> lock(handlersMutex_);
        handlers.swap(handlers_);
    }
    for (const auto& entry : handlers)
        network_layer::UnRegisterRequestListener(entry.second->listenerId);
    std::vector<boost::shared_ptr<ActionInfo> > pending;
    {
        boost::lock_guard<boost::mutex> lock(pendingMutex_);
        pending.swap(pending_);
    }
    for (const auto& action : pending) {
        CancelActionTimer(action->timerId);
        network_layer::ReleaseSessionContext(action->session);
    }
    nextActionId_ = 0;
    queuedCalls_ = 0;
}

// ---------------------------------------------------------------------------
// The family's entry points.
// ---------------------------------------------------------------------------

namespace {

// Guards the count, the instance and the eventing handler's creation and
// destruction; never held while the action dispatcher is torn down, since a
// handler on the action thread may be calling in.
boost::mutex g_control_mutex;
int g_control_users = 0;
boost::shared_ptr<ActionHandler> g_action_handler;

}  // namespace

boost::shared_ptr<ActionHandler> ExistingActionHandler() {
    boost::lock_guard<boost::mutex> lock(g_control_mutex);
    return g_action_handler;
}

int InitializeCDControl() {
    boost::lock_guard<boost::mutex> lock(g_control_mutex);
    if (g_control_users++ > 0)
        return 0;
    g_action_handler = ActionHandler::Create();
    if (!g_action_handler)
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Action handler not created");
    if (SubscribeHandler::Create() != 0)
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Subscribe handler not created");
    return 0;
}

int TerminateCDControl() {
    boost::shared_ptr<ActionHandler> handler;
    boost::shared_ptr<SubscribeHandler> eventing;
    {
        boost::lock_guard<boost::mutex> lock(g_control_mutex);
        if (g_control_users == 0 || --g_control_users > 0)
            return 0;
        handler.swap(g_action_handler);
        eventing = SubscribeHandler::Detach();
    }
    // Eventing goes first, outside the lock: its tear-down waits for an
    // initial-event handler, which may be calling the action API.
    if (eventing)
        eventing->Shutdown();
    if (handler)
        handler->Shutdown();
    return 0;
}

bool AddActionRequestHandler(const std::string& udn, const std::string& controlUrl,
                             const std::string& serviceId, ActionRequestHandler handler) {
    if (udn.empty() || controlUrl.empty() || serviceId.empty() || !handler) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Error in input arguments.");
        return false;
    }
    boost::shared_ptr<ActionHandler> dispatcher = ExistingActionHandler();
    if (!dispatcher) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "cd_control not initialized");
        return false;
    }
    try {
        return dispatcher->AddHandler(udn, controlUrl, handler);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
    }
    return false;
}

bool RemoveActionRequestHandler(const std::string& controlUrl) {
    boost::shared_ptr<ActionHandler> dispatcher = ExistingActionHandler();
    if (!dispatcher) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Trying to remove unknown control uri.");
        return false;
    }
    return dispatcher->RemoveHandler(controlUrl);
}

namespace {

int SendAnswer(int statusCode, const std::string& userAgent, const std::string& body, int actionId,
               bool sync) {
    boost::shared_ptr<ActionHandler> dispatcher = ExistingActionHandler();
    if (!dispatcher) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL,
                 "[ActionHandler::ActionResponse] Unable to retrieve action info. ");
        return network_layer::NL_INVALID_LISTENER;
    }
    try {
        return dispatcher->Answer(statusCode, userAgent, body, actionId, sync);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "exception: %s", e.what());
    }
    return 1;
}

}  // namespace

int SendActionResponse(const int& statusCode, const std::string& userAgent, const std::string& body,
                       const int& actionId) {
    return SendAnswer(statusCode, userAgent, body, actionId, false);
}

int SendSyncActionResponse(const int& statusCode, const std::string& userAgent,
                           const std::string& body, const int& actionId) {
    return SendAnswer(statusCode, userAgent, body, actionId, true);
}

}  // namespace cd_control
}  // namespace zel_upnp
