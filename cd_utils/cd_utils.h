/// @file
/// zel_upnp::cd_utils: access control of controlled devices. Per device (UDN)
/// the lists of permitted, rejected and waiting control points, the permit
/// mode, the rules that turn a User-Agent into a display name, and the
/// authorisation of incoming requests with notifications to an application
/// listener. Everything lives in memory; nothing is saved.
#ifndef ZEL_UPNP_CD_UTILS_H
#define ZEL_UPNP_CD_UTILS_H

#include <cstdint>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/utils.h>

#pragma GCC visibility push(default)

namespace zel_upnp {
/// Access control: which control points may see and drive a device.
namespace cd_utils {

/// Selects one of a device's three lists. Any other value is refused with 1
/// by every call that takes one. The fixed underlying type makes every int a
/// representable (if invalid) value.
enum AclPermission : int {
    ACL_PERMITTED = 0,  ///< may use the device
    ACL_REJECTED = 1,   ///< refused
    ACL_WAITING = 2     ///< waiting for the application's decision (ask mode)
};

/// A device's access policy, applied by IsCpAuthorized and
/// IsCpAuthorizedAndGetCpInfo to every control point that is not this machine.
enum AclPermitMode : int {
    ACL_MODE_ALLOW_ALL = 0,              ///< allow; record in the permitted list
    ACL_MODE_ALLOW_UNLESS_REJECTED = 1,  ///< deny the rejected list, else as 0
    ACL_MODE_DENY_ALL = 2,               ///< deny; record in the rejected list
    ACL_MODE_ASK = 3,                    ///< allow the permitted list; ask about newcomers
    ACL_MODE_ALLOW_UNRECORDED = 4,       ///< allow; record nothing
    ACL_MODE_OFF = 5                     ///< allow (identification must still succeed)
};

/// stEventNotification::event_type values.
const int32_t ACL_EVENT_NEW_DEVICE = 0;    ///< a new CP was put on the wait list (ask mode)
const int32_t ACL_EVENT_IP_CHANGED = 1;    ///< a known CP came back with another address
const int32_t ACL_EVENT_NAME_CHANGED = 2;  ///< a known CP came back under another name

/// One control point in a list. The MAC address ("AA-BB-CC-DD-EE-FF" as the
/// ARP cache reports it, or a Wi-Fi Direct device address) is the key.
struct stAclEntry {
    /// IPv4 address the control point last came from.
    std::string ip_address;
    /// The key: "AA-BB-CC-DD-EE-FF", or a Wi-Fi Direct device address.
    std::string mac_address;
    std::string user_agent;   ///< sanitised User-Agent
    std::string device_name;  ///< derived display name, e.g. "Device 3"
};

/// One rule that turns a User-Agent into a display name: the first occurrence
/// of pattern is found (and removed when keep_pattern is 0), then the name is
/// cut before the first character that is one of terminators.
struct stDevNameFilter {
    /// Text searched for in the User-Agent.
    std::string pattern;
    /// 0: pattern is removed from the name; any other value: kept.
    int32_t keep_pattern;
    /// Characters that end the name.
    std::string terminators;
};

/// What the listener is told about a control point.
struct stEventNotification {
    int32_t event_type;  ///< ACL_EVENT_*
    /// IPv4 address of the request.
    std::string ip_address;
    /// MAC address of the control point.
    std::string mac_address;
    /// Sanitised User-Agent of the request.
    std::string user_agent;
    /// Display name of the control point.
    std::string device_name;
};

/// The control point a request came from, as identified for the decision.
struct AuthorizedCPInfo {
    /// IPv4 address of the request.
    std::string ip_address;
    /// MAC address from the ARP cache (or the Wi-Fi Direct device address).
    std::string mac_address;
    /// Display name of the control point.
    std::string device_name;
    std::string user_agent;  ///< sanitised
};

/// Entries of a list, as copies handed to the application.
typedef std::list<boost::shared_ptr<stAclEntry> > AclEntryList;
/// Name filter rules of a device, in order.
typedef std::list<boost::shared_ptr<stDevNameFilter> > DevNameFilterList;

/// The application's listener for one device. Runs on the thread that decides
/// a request (a dispatch worker), which waits for its answer; true means the
/// application took the notification (for IP and name changes in ask mode:
/// the request may be served). For a CP already in a list it runs while the
/// process-wide ask-mode lock is held, so it must not wait for another
/// request's decision.
typedef bool (*AclListener)(const boost::shared_ptr<stEventNotification>& notification);

// ---------------------------------------------------------------------------
// Registration. Results: 0 success, 1 failure unless stated.
// ---------------------------------------------------------------------------
/// Gives the device a new, empty store with the given mode (replacing any
/// previous one with its lists) and the listener. 2007 for an empty UDN or a
/// null listener.
int RegisterAclListener(const std::string& udn, AclListener listener, const AclPermitMode& mode);
/// Forgets the device's store and listener; its requests are denied from now
/// on. Always 0.
int UnRegisterAclListener(const std::string& udn);
/// Hands notification to the device's listener and returns its answer; false
/// when the device has no listener.
bool ACLNotify(const std::string& udn, boost::shared_ptr<stEventNotification> notification);
/// Records the second argument process-wide; nothing reads it.
void SetAclConfigPath(const std::string& unused, const std::string& path);

// ---------------------------------------------------------------------------
// Lists, mode and name rules of a registered device. An empty or unknown UDN
// gives 1 (MoveAclEntriesFromWaitList just returns). MACs are compared
// byte for byte; the user agent arguments of the find, delete, lookup and
// update calls are not used for matching.
// ---------------------------------------------------------------------------
/// Appends a CP unless the list already holds its MAC (then 0, entry kept).
/// Adding to the permitted or rejected list takes the MAC off the wait list.
/// An empty MAC or IP gives 1.
int AddAclEntry(const std::string& udn, const AclPermission& permission, const std::string& mac,
                const std::string& ip, const std::string& userAgent, const std::string& deviceName);
/// The same for each entry of a non-empty list (entries are copied).
int AddAclEntries(const std::string& udn, const AclPermission& permission,
                  const AclEntryList& entries);
/// Removes the first entry with that MAC; a "Device N" name frees N for reuse.
int DelAclEntry(const std::string& udn, const AclPermission& permission, const std::string& mac,
                const std::string& ip, const std::string& userAgent);
/// DelAclEntry for the MAC of each entry of a non-empty list; absent MACs are
/// skipped.
int DelAclEntries(const std::string& udn, const AclPermission& permission,
                  const AclEntryList& entries);
/// Empties the list; for the permitted list the default-name numbering starts
/// again at 1.
int DelAllAclEntries(const std::string& udn, const AclPermission& permission);
/// 0 when the list holds the MAC.
int FindAclEntry(const std::string& udn, const AclPermission& permission, const std::string& mac,
                 const std::string& userAgent);
/// As the form above, without a User-Agent: 0 when the list holds the MAC.
int FindAclEntry(const std::string& udn, const AclPermission& permission, const std::string& mac);
/// Looks the MAC up and changes nothing: a waiting CP is moved by adding it to
/// the permitted or rejected list with AddAclEntry.
void MoveAclEntriesFromWaitList(const std::string& udn, const std::string& mac,
                                const AclPermission& permission);
/// Copies of the list's entries (all of them, or those with the MAC or IP)
/// into entries, which is cleared first. 0 when at least one was copied.
int GetAclEntries(const std::string& udn, const AclPermission& permission, int& count,
                  AclEntryList& entries);
/// Copies of the list's entries with that MAC (and User-Agent) into entries,
/// which is cleared first; 0 when at least one was copied, else 1.
int GetAclEntryByMAC(const std::string& udn, const AclPermission& permission,
                     const std::string& mac, const std::string& userAgent, AclEntryList& entries);
/// Copies of the list's entries with that IPv4 address into entries, which
/// is cleared first; 0 when at least one was copied, else 1.
int GetAclEntryByIP(const std::string& udn, const AclPermission& permission, const std::string& ip,
                    AclEntryList& entries);
/// Gives the first entry with the MAC the IP and device name of values. 1 when
/// there is none, or when the stored IP or name is then empty.
int UpdateAclEntryByMAC(const std::string& udn, const AclPermission& permission,
                        const std::string& mac, const std::string& userAgent,
                        const stAclEntry& values);
/// MAC and name of the first permitted CP with that IP; the second text is
/// not used. Outputs untouched on 1.
int GetPermittedCPInfo(const std::string& udn, const std::string& ip, const std::string& unused,
                       std::string& mac, std::string& deviceName);
/// 0 and the device's permit mode; 1 for an empty or unknown UDN.
int GetAclMode(const std::string& udn, AclPermitMode& mode);
/// 1 (mode kept) for a value outside 0 to 5.
int SetAclMode(const std::string& udn, const AclPermitMode& mode);
/// Appends a rule unless one with the same pattern and terminators exists
/// (then 0, its keep flag kept). Empty pattern or terminators give 1.
int SetAclFilter(const std::string& udn, const std::string& pattern, const int& keepPattern,
                 const std::string& terminators);
/// The rules in order (sharing the records); 1 and filters untouched when
/// there are none.
int GetDeviceFilterList(const std::string& udn, DevNameFilterList& filters);
/// Removes every name filter rule of the device. 0; 1 for an empty or unknown
/// UDN.
int RemoveAllDeviceFilterRules(const std::string& udn);
/// The number N of the default name "Device N" for the MAC: its own if a
/// permitted entry of that MAC carries one, else the oldest freed number, else
/// one above both the counter and every number in the permitted list.
int GetNewDeviceIndex(const std::string& udn, const std::string& mac, int& index);

// ---------------------------------------------------------------------------
// Identification and authorisation.
// ---------------------------------------------------------------------------
/// Rewrites a User-Agent for display: "Microsoft-Windows/6.1" agents become
/// "Windows-Media-Player"; otherwise quotes, the "DLNADOC/x.yz" prefix, one
/// "MS-DeviceCaps/1024" and leading white space are removed.
void SanitizeUserAgent(std::string& userAgent);
/// Derives a display name when no filter rule gave one: the model after the
/// "QTN_HHP_" token of name, or "Device N". 0, or the failure of
/// GetNewDeviceIndex (name unchanged).
int GetNewDeviceName(const std::string& udn, const std::string& mac, std::string& name);
/// When localAddress belongs to a Wi-Fi Direct ("p2p...") interface, replaces
/// the peer's interface address in mac by its device address (unchanged when
/// the peer is not found). The second text is not used.
void ChangeMacAddrForWIDI(const std::string& localAddress, const std::string& unused,
                          std::string& mac);
/// True when the control point that sent request may be served by the device
/// udn. Identifies the CP (client IP, MAC from the ARP cache, sanitised
/// User-Agent, display name), applies the device's mode, records the CP and
/// notifies the listener. Denied: null request, empty or unregistered UDN,
/// unidentifiable CP.
bool IsCpAuthorized(const std::string& udn, const boost::shared_ptr<utils::HTTPInfo>& request);
/// The same, leaving the identified CP in cpInfo.
bool IsCpAuthorizedAndGetCpInfo(const std::string& udn,
                                const boost::shared_ptr<utils::HTTPInfo>& request,
                                AuthorizedCPInfo& cpInfo);

}  // namespace cd_utils
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif  // ZEL_UPNP_CD_UTILS_H
