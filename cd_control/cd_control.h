// zel_upnp::cd_control: SOAP control actions (and, beside them, GENA
// eventing) for the application's controlled devices.
//
// The application registers one handler per service control URL. When a
// control point POSTs an action there, the library checks that the control
// point may use the device, parses the SOAP envelope into name/value
// arguments and calls the handler on the library's action thread
// ("ZelTcpActionReg"; handlers run one at a time, in arrival order). The
// application answers later, from any thread, with SendActionResponse naming
// the action id it was given; an action left unanswered for 30 seconds is
// answered with the UPnP fault 501 "Action Failed".
#ifndef ZEL_UPNP_CD_CONTROL_H
#define ZEL_UPNP_CD_CONTROL_H

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

namespace zel_upnp {
namespace cd_control {

// ---------------------------------------------------------------------------
// Actions
// ---------------------------------------------------------------------------

// One argument of an action: the element's tag name as written in the
// request (a namespace prefix included) and its text.
struct StrArgument {
    std::string name;
    std::string value;
};

// The control point that sent an action. The first four come from the
// access-control decision; mrcp_id is the request's "X-MRCP-ID" header,
// empty when absent.
struct stCpDeviceDetails {
    std::string ip_address;
    std::string user_agent;
    std::string mac_address;
    std::string device_name;
    std::string mrcp_id;
};

// The application's action handler: action name, service type, arguments
// in document order, the control point, the local address the request
// arrived on, and the action id to answer with. Runs on "ZelTcpActionReg";
// it must not block for long, since the next action waits for it.
typedef boost::function<void(const std::string& actionName, const std::string& serviceType,
                             const std::vector<boost::shared_ptr<StrArgument> >& arguments,
                             boost::shared_ptr<stCpDeviceDetails> controlPoint,
                             const std::string& localAddress, const int& actionId)>
    ActionRequestHandler;

// Brings the control subsystem (actions and eventing) up. Counted: the first
// call creates it, later calls only count. 0.
int InitializeCDControl();
// Undoes one InitializeCDControl; the last one tears the subsystem down:
// handlers are unregistered, pending actions are dropped without an answer
// and action ids start again at 0. 0.
int TerminateCDControl();

// Routes POSTs whose request head contains controlUrl to handler, guarded by
// the access list of the device udn. serviceId must be non-empty but is not
// kept. false for an empty argument, a null handler, a control URL already
// registered, or when the control subsystem is not initialised.
bool AddActionRequestHandler(const std::string& udn, const std::string& controlUrl,
                             const std::string& serviceId, ActionRequestHandler handler);
// false for an unknown control URL.
bool RemoveActionRequestHandler(const std::string& controlUrl);

// Answers the action actionId with HTTP status statusCode and body, the
// application's SOAP body text (the library wraps it in the envelope). An
// empty userAgent sends the library's default. 0 when sent; 2007 when the
// action is unknown, already answered or timed out; otherwise the network
// layer's send result. SendActionResponse queues the write;
// SendSyncActionResponse returns once it is written.
int SendActionResponse(const int& statusCode, const std::string& userAgent, const std::string& body,
                       const int& actionId);
int SendSyncActionResponse(const int& statusCode, const std::string& userAgent,
                           const std::string& body, const int& actionId);

}  // namespace cd_control
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
