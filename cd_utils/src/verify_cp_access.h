// The authorisation of one request: who sent it (identification) and whether
// the device's mode lets it through, with the recording in the lists and the
// listener notifications that go with the decision.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <boost/shared_ptr.hpp>

#include "cd_utils/cd_utils.h"

namespace zel_upnp {
namespace cd_utils {

// A sanitised User-Agent is kept to this many bytes in the lists and the
// notifications: a peer chooses it, and each recorded CP keeps a copy.
const size_t kMaxUserAgentLength = 1024;

// Fills info from the request: client IP, the MAC the ARP cache holds for
// it, the sanitised User-Agent (truncated to kMaxUserAgentLength) and the
// derived display name. False when the IP is empty or has no ARP entry.
bool GetCPInfo(const std::string& udn, const boost::shared_ptr<utils::HTTPInfo>& request,
               AuthorizedCPInfo& info);

// The display name of a CP: a mirroring-app agent minus its suffix, else the
// first name a filter rule of the device makes, else GetNewDeviceName.
int GetDeviceNameFromUserAgent(const std::string& udn, const std::string& mac,
                               const std::string& userAgent, std::string& name);

// Compares a recorded CP with what it looks like now; a changed IP (first)
// or derived name is written back and told to the listener. True when
// nothing changed or the listener took the change; false when the CP is not
// in the list, the write-back failed or the listener refused.
bool NotifyApp(const std::string& udn, const AclPermission& permission, const std::string& mac,
               const std::string& ip, const std::string& userAgent);

// A listener call a decision leaves to be made once no lock is held.
struct PendingNotice {
    bool needed = false;
    int32_t eventType = ACL_EVENT_NEW_DEVICE;
    std::string ip;
    std::string mac;
    std::string userAgent;
    std::string deviceName;
    // The request is served exactly when the listener takes the notice (a
    // permitted CP of ask mode whose address or name changed).
    bool decides = false;
    // A newcomer of ask mode: off the wait list again when it is refused.
    bool withdrawOnRefusal = false;
};

// Calls the device's listener with notice (when one is needed) on the
// calling thread; the request's decision: the listener's answer when the
// notice decides, otherwise allowed.
bool DeliverNotice(const std::string& udn, const PendingNotice& notice, bool allowed);

// The decision of IsCpAuthorizedAndGetCpInfo without ever running the
// application's listener on the calling thread (a "ZelTcpIo" or "ZelTcpReq"
// thread). done(allowed, cp) runs exactly once: at once on this thread, or,
// when the listener's answer decides, on "ZelTcpAsk" after it answered (or
// on the thread stopping the dispatch core, with false). A notification
// whose answer decides nothing is sent from "ZelTcpAsk" without waiting; one
// that finds that queue full is dropped (logged), a newcomer of ask mode then
// leaving the wait list again, as for a refusing listener.
typedef std::function<void(bool, const AuthorizedCPInfo&)> DecisionDone;
void DecideWithoutWaiting(const std::string& udn, const boost::shared_ptr<utils::HTTPInfo>& request,
                          DecisionDone done);

// The decision for an identified CP under the device's mode; true means
// serve the request.
bool VerifyCpAuthorized(const std::string& udn, const std::string& ip, const std::string& mac,
                        const std::string& deviceName, const std::string& userAgent);

}  // namespace cd_utils
}  // namespace zel_upnp
