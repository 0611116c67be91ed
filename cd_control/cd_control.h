/// @file
/// zel_upnp::cd_control: SOAP control actions (and, beside them, GENA
/// eventing) for the application's controlled devices.
///
/// The application registers one handler per service control URL. When a
/// control point POSTs an action there, the library checks that the control
/// point may use the device, parses the SOAP envelope into name/value
/// arguments and calls the handler on the library's action thread
/// ("ZelTcpActionReg"; handlers run one at a time, in arrival order). The
/// application answers later, from any thread, with SendActionResponse naming
/// the action id it was given; an action left unanswered for 30 seconds is
/// answered with the UPnP fault 501 "Action Failed".
#ifndef ZEL_UPNP_CD_CONTROL_H
#define ZEL_UPNP_CD_CONTROL_H

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#pragma GCC visibility push(default)

namespace zel_upnp {
/// SOAP actions and GENA eventing of the application's devices.
namespace cd_control {

// ---------------------------------------------------------------------------
// Actions
// ---------------------------------------------------------------------------

/// One argument of an action: the element's tag name as written in the
/// request (a namespace prefix included) and its text.
struct StrArgument {
    /// Tag name, with its namespace prefix if the request used one.
    std::string name;
    /// Text of the element, entity-decoded.
    std::string value;
};

/// The control point that sent an action. The first four come from the
/// access-control decision; mrcp_id is the request's "X-MRCP-ID" header,
/// empty when absent.
struct stCpDeviceDetails {
    /// IPv4 address the request came from.
    std::string ip_address;
    /// Sanitised User-Agent of the request.
    std::string user_agent;
    /// MAC address from the kernel's ARP cache ("AA-BB-CC-DD-EE-FF").
    std::string mac_address;
    /// Display name the access control gave the control point.
    std::string device_name;
    /// The "X-MRCP-ID" header, empty when absent.
    std::string mrcp_id;
};

/// The application's action handler: action name, service type, arguments
/// in document order, the control point, the local address the request
/// arrived on, and the action id to answer with. Runs on "ZelTcpActionReg";
/// it must not block for long, since the next action waits for it.
typedef boost::function<void(const std::string& actionName, const std::string& serviceType,
                             const std::vector<boost::shared_ptr<StrArgument> >& arguments,
                             boost::shared_ptr<stCpDeviceDetails> controlPoint,
                             const std::string& localAddress, const int& actionId)>
    ActionRequestHandler;

/// Brings the control subsystem (actions and eventing) up. Counted: the first
/// call creates it, later calls only count. 0.
int InitializeCDControl();
/// Undoes one InitializeCDControl; the last one tears the subsystem down:
/// handlers are unregistered, pending actions are dropped without an answer
/// and action ids start again at 0. 0.
int TerminateCDControl();

/// Routes POSTs whose request head contains controlUrl to handler, guarded by
/// the access list of the device udn. serviceId must be non-empty but is not
/// kept. false for an empty argument, a null handler, a control URL already
/// registered, or when the control subsystem is not initialised.
bool AddActionRequestHandler(const std::string& udn, const std::string& controlUrl,
                             const std::string& serviceId, ActionRequestHandler handler);
/// false for an unknown control URL.
bool RemoveActionRequestHandler(const std::string& controlUrl);

/// Answers the action actionId with HTTP status statusCode and body, the
/// application's SOAP body text (the library wraps it in the envelope). An
/// empty userAgent sends the library's default. 0 when sent; 2007 when the
/// action is unknown, already answered or timed out; otherwise the network
/// layer's send result. SendActionResponse queues the write;
/// SendSyncActionResponse returns once it is written.
int SendActionResponse(const int& statusCode, const std::string& userAgent, const std::string& body,
                       const int& actionId);
/// As SendActionResponse, but returns once the response is written (same
/// results).
int SendSyncActionResponse(const int& statusCode, const std::string& userAgent,
                           const std::string& body, const int& actionId);

// ---------------------------------------------------------------------------
// Building bodies
// ---------------------------------------------------------------------------
//
// The builders write the SOAP and GENA bodies the send calls of this family
// take, so that an application never writes XML: every value is escaped here
// (&, <, >, quotes and control bytes become references), and the text comes
// back out of the control point's parser exactly as given. Names (actions,
// arguments, state variables) come from the service's own description, not
// from a peer; a name that is not an XML name ([A-Za-z_] then
// [A-Za-z0-9_.-]) makes a builder return an empty string and a send call
// CDC_INVALID_NAME, instead of a document a control point would reject.
//
//   std::string level;
//   if (!GetActionArgument(arguments, "NewLoadlevelTarget", level))
//       return (void)SendActionFault(actionId, 402, "Invalid Args");
//   SendActionResult(actionId, serviceType, actionName, {});
//   SendMulticastEvent(udn, BuildPropertySet({{"LoadLevelStatus", level}}), "/Dimming/event");

/// Result codes of the builders' send calls, beside the send results above.
enum ActionResult {
    CDC_ACTION_SUCCESS = 0,     ///< answered
    CDC_UNKNOWN_ACTION = 2007,  ///< unknown action id, already answered or timed out
    CDC_INVALID_NAME = 2008     ///< a name or the service type cannot be written as given
};

/// Ordered name/value pairs: an action's output arguments in the order its
/// description lists them, or the evented variables of one event. Values
/// are plain text; the builders escape them.
typedef std::vector<std::pair<std::string, std::string> > NameValueList;

/// The body of an action's answer:
/// `<u:ActionNameResponse xmlns:u="serviceType"><Arg>value</Arg>...</u:ActionNameResponse>`.
/// Empty when serviceType is empty or holds a control byte, or a name is
/// not an XML name.
std::string BuildActionResponse(const std::string& serviceType, const std::string& actionName,
                                const NameValueList& outArguments);
/// The body of a UPnP fault (an s:Fault carrying UPnPError with errorCode
/// and errorDescription), to be sent with HTTP status 500. Never empty.
std::string BuildUPnPFault(int errorCode, const std::string& errorDescription);
/// An event body: an e:propertyset with one e:property per variable, in
/// the given order. Empty when variables is empty or a name is not an XML
/// name.
std::string BuildPropertySet(const NameValueList& variables);
/// Finds the input argument named name (compared without any namespace
/// prefix the request put on the tag) and copies its text, already
/// entity-decoded, into value. false, value untouched, when there is none;
/// the first one wins when a request repeats a name.
bool GetActionArgument(const std::vector<boost::shared_ptr<StrArgument> >& arguments,
                       const std::string& name, std::string& value);
/// Answers actionId with status 200 and BuildActionResponse's body. The
/// results of SendActionResponse, or CDC_INVALID_NAME, in which case the
/// action stays pending (answer it with a fault).
int SendActionResult(const int& actionId, const std::string& serviceType,
                     const std::string& actionName, const NameValueList& outArguments);
/// Answers actionId with status 500 and BuildUPnPFault's body. The results
/// of SendActionResponse.
int SendActionFault(const int& actionId, int errorCode, const std::string& errorDescription);

// ---------------------------------------------------------------------------
// Eventing
// ---------------------------------------------------------------------------
//
// The application registers each evented service under its event URL. A
// control point SUBSCRIBEs there with its callback URLs; 500 ms later the
// library calls the service's initial-event handler once per callback URL,
// and the handler answers with SendInitialEvent carrying the whole state.
// From then on every SendMulticastEvent reaches the subscriber, with SEQ
// numbers counting up from 1. Subscriptions end by UNSUBSCRIBE, by their
// time-out (1800 s unless the SUBSCRIBE asks otherwise; "Second-infinite"
// never ends) or by CleanServiceSubscribers.
//
// Every callback URL has a queue of its own: the next NOTIFY leaves once
// the subscriber has answered the previous one, or the previous one failed,
// or the subscriber's TCP has acknowledged all of it and 1 s passed without
// an answer (it then leaves on a new connection while the earlier one waits
// for its answer). So a callback receives its events in order, and an event
// to all gets its SEQ when it leaves. Connections are shared fairly: at most
// 8 per subscriber address, 256 in all, initial events first. When a slow
// callback's queue passes its bound, each run of waiting events to all of a
// mergeable service is merged into one property set carrying the latest
// value of each variable; what still does not fit is dropped oldest first
// (never an initial event), and the SEQ numbers of dropped events are
// skipped, so the subscriber sees the gap.
//
// A CALLBACK URL is accepted only when its host is an IPv4 address on the
// subnet of the interface the SUBSCRIBE arrived on, is not a "this network"
// or multicast address, and is a loopback or device address only when the
// SUBSCRIBE came from that same address (a control point on the device
// itself); its path must be an absolute path of printable characters
// without spaces.

/// Result codes of the send operations.
enum EventResult {
    CDC_EVENT_SUCCESS = 0,
    CDC_NO_SUBSCRIBER = 7000,           ///< no subscriber with that SID
    CDC_NO_SERVICE = 7001,              ///< no service with that event URL
    CDC_PACKET_SENDING_FAILED = 7002,   ///< a NOTIFY could not be handed to the network
    CDC_SYNC_IN_INITIAL_HANDLER = 7003  ///< a synchronous send from the initial-event handler
};

/// Asks the application for a new subscriber's initial event: one call per
/// callback URL of the subscriber, with the callback's host, port and path,
/// the subscriber's SID and the service tag given at registration. Runs on
/// the timer thread ("ZelTimer") while the eventing lock is held: it may call
/// SendInitialEvent (or any asynchronous send of this family), which queues
/// the initial event ahead of every event to all, but must not wait for
/// another thread that uses eventing. A synchronous send from it is refused
/// with 7003. An exception it throws is caught and logged.
typedef boost::function<void(const std::string& host, const int& port, const std::string& sid,
                             const std::string& path, const std::string& serviceTag)>
    InitialEventHandler;

/// Hosts a callback URL may name. CALLBACK_SAME_SUBNET (the default) is the
/// rule above. CALLBACK_ANY_HOST accepts any IPv4 host, which lets any LAN
/// peer aim the device's NOTIFYs at an address of its choosing; an
/// application should choose it only when its control points really sit
/// behind a router. Either way host names, malformed paths, 0.0.0.0/8 and
/// multicast are refused, and loopback or device addresses are accepted only
/// from a SUBSCRIBE that came from that same address.
enum CallbackPolicy {
    CALLBACK_SAME_SUBNET = 0,  ///< on the arrival interface's subnet, not the device's own
    CALLBACK_ANY_HOST = 1      ///< any IPv4 host (a departure from the safe default)
};
/// Applies to SUBSCRIBEs from now on, process-wide. 0; 3001 for an unknown
/// policy.
int SetCallbackPolicy(CallbackPolicy policy);

/// Registers a service for subscriptions under eventUrl (the path control
/// points SUBSCRIBE to, as in the service's eventSubURL). udn is not used.
/// false when eventUrl is already registered or the control subsystem is not
/// initialised.
bool RegisterServiceForSubscribe(const std::string& udn, const std::string& eventUrl,
                                 const std::string& serviceTag, InitialEventHandler handler);
/// Drops the service and all its subscribers; false for an unknown URL.
bool UnRegisterServiceFromSubscribe(const std::string& eventUrl);
/// Drops every subscriber of every service; the services stay registered.
void CleanServiceSubscribers();

/// Whether the waiting events to all of the service at eventUrl may be
/// merged when a subscriber's queue passes its bound (the default: yes, right
/// for state variables, where the latest value is all a subscriber needs). A
/// service whose events carry changes (LastChange) calls it with false: its
/// events are never merged; past the bound the oldest waiting event is
/// dropped and its SEQ number skipped, so the subscriber sees the gap. 0, or
/// 7001 for an unknown event URL.
int SetEventMerging(const std::string& eventUrl, bool mergeable);

/// Sends body (a property set, passed through unchanged) as an event with
/// SEQ 0 to host:port at path, for the subscriber sid of the service at
/// eventUrl. SendInitialEvent needs only the service; SendSingleEvent and
/// SendSyncSingleEvent also the subscriber. 0, 7000, 7001 or 7002.
/// SendSyncSingleEvent returns once the subscriber has taken the event,
/// which waits its turn behind those queued before it (each at most 30 s).
int SendInitialEvent(const std::string& host, const int& port, const std::string& sid,
                     const std::string& body, const std::string& path, const std::string& eventUrl);
/// As SendInitialEvent, for a subscriber that must exist (7000 otherwise);
/// returns once the NOTIFY is handed to the network.
int SendSingleEvent(const std::string& host, const int& port, const std::string& sid,
                    const std::string& body, const std::string& path, const std::string& eventUrl);
/// As SendSingleEvent, but returns once the subscriber has answered or taken
/// the event (its TCP acknowledged every byte and 1 s passed) or 30 s have
/// passed; same results. 7002 at once when the callback has failed its last
/// 3 NOTIFYs; 7003 from the initial-event handler.
int SendSyncSingleEvent(const std::string& host, const int& port, const std::string& sid,
                        const std::string& body, const std::string& path,
                        const std::string& eventUrl);
/// Sends body as an event to every subscriber of the service at eventUrl
/// whose initial event has been requested, in SID order, each callback URL
/// with its own SEQ. udn is not used. 0; 7001 for an unknown service; 7002
/// when a NOTIFY could not be queued, or a callback has failed its last
/// NOTIFYs (the others still go out). The synchronous form returns once every
/// live subscriber has answered, taken or failed this event (each NOTIFY at
/// most 30 s once its turn comes), without waiting for callbacks that failed
/// their last 3; the subscribers are served in parallel.
int SendMulticastEvent(const std::string& udn, const std::string& body,
                       const std::string& eventUrl);
/// As SendMulticastEvent, but returns once every live subscriber has
/// answered, taken or failed this event; same results, and 7003 from the
/// initial-event handler.
int SendSyncMulticastEvent(const std::string& udn, const std::string& body,
                           const std::string& eventUrl);

// ---------------------------------------------------------------------------
// LastChange
// ---------------------------------------------------------------------------
//
// The AV services (AVTransport, RenderingControl) event one variable,
// LastChange, whose value is an Event document listing what changed, per
// instance:
//
//   <Event xmlns="urn:schemas-upnp-org:metadata-1-0/AVT/"><InstanceID val="0">
//   <TransportState val="PLAYING"/></InstanceID></Event>
//
// LastChangeEvents keeps the current value of every variable of every
// instance and the changes not yet sent, and sends those at most once per
// moderation period (200 ms), merged: the latest value of each variable
// wins. The Event document is built here, its values escaped as attribute
// text, and is escaped once more as the LastChange value of the property
// set. Every member may be called from any thread, including from the
// action and initial-event handlers; no lock is held while an event is
// sent.
//
//   cc::LastChangeEvents avt("/AVTransport/event", cc::kLastChangeAVTransport);
//   avt.Set(0, "TransportState", "PLAYING");           // evented within 200 ms
//   rcs.Set(0, "Volume", "20", {{"channel", "Master"}});
//   // in the initial-event handler:
//   cc::SendInitialEvent(host, port, sid, avt.BuildInitialEvent(), path, eventUrl);
//
// Call SetEventMerging(eventUrl, false) for a service evented this way, so
// that a slow subscriber never has two Event documents folded into one.

/// Event document namespace of AVTransport:1.
extern const char kLastChangeAVTransport[];
/// Event document namespace of RenderingControl:1.
extern const char kLastChangeRenderingControl[];

/// Moderated LastChange eventing of one service (see above).
class LastChangeEvents {
  public:
    /// Where an event body goes: 0 when sent. The default sender is
    /// SendMulticastEvent("", body, eventUrl).
    typedef boost::function<int(const std::string& body)> Sender;

    /// eventNamespace is the xmlns of the Event element (one of the
    /// constants above for the standard services). moderationMs: the least
    /// time between two events (200 in the AV services). The sending thread
    /// ("ZelLastChange") starts here; if it cannot, changes are sent at once
    /// from Set, unmoderated.
    LastChangeEvents(const std::string& eventUrl, const std::string& eventNamespace,
                     int moderationMs = 200, Sender sender = Sender());
    /// Stops the sending thread; changes not yet sent are dropped.
    ~LastChangeEvents();
    LastChangeEvents(const LastChangeEvents&) = delete;
    LastChangeEvents& operator=(const LastChangeEvents&) = delete;

    /// Records value as the variable's current value in instanceId (a
    /// variable with different attributes, such as Volume for channel
    /// "Master" and for "LF", is a different entry) and queues it for the
    /// next event unless it equals the value last recorded. Attributes are
    /// written before val, in the given order. 0; CDC_INVALID_NAME when the
    /// variable or an attribute name is not an XML name (nothing recorded).
    int Set(uint32_t instanceId, const std::string& variable, const std::string& value,
            const NameValueList& attributes = NameValueList());
    /// The value last recorded (attributes as given to Set); empty when none.
    std::string Get(uint32_t instanceId, const std::string& variable,
                    const NameValueList& attributes = NameValueList()) const;
    /// The Event document of every recorded value of every instance, in
    /// instance order and, within one, in the order variables were first
    /// set.
    std::string BuildStateDocument() const;
    /// A property set whose LastChange holds BuildStateDocument(): the body
    /// for SendInitialEvent.
    std::string BuildInitialEvent() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace cd_control
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
