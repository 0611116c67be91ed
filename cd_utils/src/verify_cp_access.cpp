#include "cd_utils/src/verify_cp_access.h"

#include <algorithm>
#include <cctype>

#include <boost/make_shared.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include "cd_utils/src/acl_info.h"
#include "network_layer/network_layer.h"
#include "utils/src/string/header_text.h"
#include "utils/src/wifidirect/wifidirect.h"

namespace zel_upnp {
namespace cd_utils {

namespace {

// Makes the ask-mode look-up, recording and known-CP notification one step
// per request, so that two requests of one new CP cannot both find it absent.
// Recursive because a listener may call back into the management functions.
boost::recursive_mutex verify_mutex;

const char kWindowsMediaPlayerAgent[] = "Microsoft-Windows/6.1";
const char kWindowsMediaPlayerName[] = "Windows-Media-Player";
const char kDlnaDocToken[] = "DLNADOC/";
const size_t kDlnaDocVersionLength = 4;  // "1.50" after the token
const char kDeviceCapsToken[] = "MS-DeviceCaps/1024";
const char kModelToken[] = "QTN_HHP_";
const char kWifiDirectInterfacePrefix[] = "p2p";
// Mirroring apps append one of these to their User-Agent; the rest is the name.
const char* const kAppSuffixes[] = {"_LCMA", "_LCMI", "_LCP"};

const size_t kDlnaDocTokenLength = sizeof(kDlnaDocToken) - 1;
const size_t kDeviceCapsTokenLength = sizeof(kDeviceCapsToken) - 1;
const size_t kModelTokenLength = sizeof(kModelToken) - 1;

// Cuts a mirroring-app suffix off the end of name; true when one was cut.
bool StripAppSuffix(const std::string& userAgent, std::string& name) {
    for (const char* suffix : kAppSuffixes) {
        const std::string token(suffix);
        const size_t pos = userAgent.rfind(token);
        if (pos != std::string::npos && pos + token.size() == userAgent.size()) {
            name.erase(pos);
            return true;
        }
    }
    return false;
}

// Applies the device's rules in order to name; true when one produced a
// non-empty name. name is changed by rules that match but leave nothing.
bool ApplyFilterRules(const DevNameFilterList& rules, std::string& name) {
    for (const auto& rule : rules) {
        const size_t found = name.find(rule->pattern);
        if (found == std::string::npos)
            continue;
        if (rule->keep_pattern == 0)
            name.erase(found, rule->pattern.size());
        const size_t cut = name.find_first_of(rule->terminators);
        if (cut != std::string::npos)
            name.erase(cut);
        if (!name.empty())
            return true;
    }
    return false;
}

bool Notify(const std::string& udn, int32_t eventType, const std::string& ip,
            const std::string& mac, const std::string& userAgent, const std::string& deviceName) {
    boost::shared_ptr<stEventNotification> event = boost::make_shared<stEventNotification>();
    event->event_type = eventType;
    event->ip_address = ip;
    event->mac_address = mac;
    event->user_agent = userAgent;
    event->device_name = deviceName;
    return ACLNotify(udn, event);
}

// The decision of the modes that record the CP as permitted.
bool PermitAndRecord(const std::string& udn, const std::string& ip, const std::string& mac,
                     const std::string& deviceName, const std::string& userAgent) {
    AddAclEntry(udn, ACL_PERMITTED, mac, ip, userAgent, deviceName);
    NotifyApp(udn, ACL_PERMITTED, mac, ip, userAgent);
    return true;
}

bool DecideAsk(const std::string& udn, const std::string& ip, const std::string& mac,
               const std::string& deviceName, const std::string& userAgent) {
    boost::unique_lock<boost::recursive_mutex> lock(verify_mutex);
    for (const AclPermission permission : {ACL_PERMITTED, ACL_REJECTED, ACL_WAITING}) {
        if (FindAclEntry(udn, permission, mac) != 0)
            continue;
        ZEL_LOGI(ZEL_CORE_ACL, "Device found in existing lists!");
        if (!NotifyApp(udn, permission, mac, ip, userAgent)) {
            ZEL_LOGW(ZEL_CORE_ACL, "denied");
            return false;
        }
        return permission == ACL_PERMITTED;
    }
    AddAclEntry(udn, ACL_WAITING, mac, ip, userAgent, deviceName);
    lock.unlock();
    // The listener may take its time over a newcomer: no lock is held, and a
    // second request of this CP meanwhile finds it waiting.
    if (!Notify(udn, ACL_EVENT_NEW_DEVICE, ip, mac, userAgent, deviceName))
        DelAclEntry(udn, ACL_WAITING, mac, ip, userAgent);
    ZEL_LOGW(ZEL_CORE_ACL, "denied [%d][%s][%s]", static_cast<int>(ACL_MODE_ASK), ip.c_str(),
             mac.c_str());
    return false;
}

}  // namespace

void SanitizeUserAgent(std::string& userAgent) {
    AclGuarded(0, [&] {
        if (userAgent.size() < 2)
            return 0;
        if (userAgent.find(kWindowsMediaPlayerAgent) != std::string::npos) {
            userAgent = kWindowsMediaPlayerName;
            return 0;
        }
        userAgent.erase(std::remove(userAgent.begin(), userAgent.end(), '"'), userAgent.end());
        const size_t dlnaDoc = userAgent.find(kDlnaDocToken);
        if (dlnaDoc != std::string::npos)
            userAgent.erase(0, dlnaDoc + kDlnaDocTokenLength + kDlnaDocVersionLength);
        const size_t caps = userAgent.find(kDeviceCapsToken);
        if (caps != std::string::npos)
            userAgent.erase(caps, kDeviceCapsTokenLength);
        size_t start = 0;
        while (start < userAgent.size() &&
               std::isspace(static_cast<unsigned char>(userAgent[start])))
            ++start;
        userAgent.erase(0, start);
        return 0;
    });
}

int GetNewDeviceName(const std::string& udn, const std::string& mac, std::string& name) {
    return AclGuarded(1, [&] {
        const size_t model = name.empty() ? std::string::npos : name.find(kModelToken);
        if (model != std::string::npos) {
            name.erase(0, model + kModelTokenLength);
            const size_t slash = name.find('/');
            if (slash != std::string::npos)
                name.erase(slash);
        } else {
            int index = 0;
            const int result = GetNewDeviceIndex(udn, mac, index);
            if (result != 0)
                return result;
            // "%s%d" without a formatter: this runs for every request.
            name = kDefaultNamePrefix + std::to_string(index);
        }
        ZEL_LOGI(ZEL_CORE_ACL, "The Device Name is %s", name.c_str());
        return 0;
    });
}

int GetDeviceNameFromUserAgent(const std::string& udn, const std::string& mac,
                               const std::string& userAgent, std::string& name) {
    name = userAgent;
    if (userAgent.empty())
        return GetNewDeviceName(udn, mac, name);
    if (StripAppSuffix(userAgent, name) && !name.empty()) {
        ZEL_LOGI(ZEL_CORE_ACL, "Lumicast name is [%s]", name.c_str());
        return 0;
    }
    DevNameFilterList rules;
    if (GetDeviceFilterList(udn, rules) != 0)
        return GetNewDeviceName(udn, mac, name);
    if (ApplyFilterRules(rules, name)) {
        ZEL_LOGI(ZEL_CORE_ACL, "The Device Name is %s", name.c_str());
        return 0;
    }
    name = userAgent;
    const int result = GetNewDeviceName(udn, mac, name);
    ZEL_LOGI(ZEL_CORE_ACL, "The Device Name is %s", name.c_str());
    return result;
}

bool GetCPInfo(const std::string& udn, const boost::shared_ptr<utils::HTTPInfo>& request,
               AuthorizedCPInfo& info) {
    info.ip_address = request->GetClientIpAddress();
    if (info.ip_address.empty()) {
        ZEL_LOGW(ZEL_CORE_ACL, "Empty cp ip address!");
        return false;
    }
    if (network_layer::GetMacAddress(info.ip_address, info.mac_address) != 0) {
        ZEL_LOGW(ZEL_CORE_ACL, "No entry in ARP cache!");
        return false;
    }
    request->GetHeaderValue("User-Agent", info.user_agent);
    // The agent and the name made from it reach the application and, through
    // it, whatever it builds: an agent with a CR, LF or NUL is taken as
    // absent. The name is then a piece of a clean agent or one of ours.
    if (!utils::IsHeaderSafe(info.user_agent)) {
        ZEL_LOGW(ZEL_CORE_ACL, "User-Agent holds a CR, LF or NUL, ignored");
        info.user_agent.clear();
    }
    SanitizeUserAgent(info.user_agent);
    if (info.user_agent.size() > kMaxUserAgentLength)
        info.user_agent.resize(kMaxUserAgentLength);
    GetDeviceNameFromUserAgent(udn, info.mac_address, info.user_agent, info.device_name);
    return true;
}

bool NotifyApp(const std::string& udn, const AclPermission& permission, const std::string& mac,
               const std::string& ip, const std::string& userAgent) {
    AclEntryList copies;
    if (GetAclEntryByMAC(udn, permission, mac, userAgent, copies) != 0)
        return false;
    boost::shared_ptr<stAclEntry> changed;
    int32_t eventType = ACL_EVENT_IP_CHANGED;
    std::string name;
    bool nameDerived = false;
    for (const auto& copy : copies) {
        if (copy->ip_address != ip) {
            copy->ip_address = ip;
            changed = copy;
            eventType = ACL_EVENT_IP_CHANGED;
            break;
        }
        // Derived once: deriving may take a default-name number.
        if (!nameDerived) {
            GetDeviceNameFromUserAgent(udn, mac, userAgent, name);
            nameDerived = true;
        }
        if (copy->device_name != name) {
            copy->device_name = name;
            changed = copy;
            eventType = ACL_EVENT_NAME_CHANGED;
            break;
        }
    }
    if (!changed)
        return true;
    if (UpdateAclEntryByMAC(udn, permission, mac, userAgent, *changed) != 0) {
        ZEL_LOGD(ZEL_CORE_ACL, "Updating ACL entry failed for UDN %s !!!", udn.c_str());
        return false;
    }
    return Notify(udn, eventType, ip, mac, userAgent, changed->device_name);
}

bool VerifyCpAuthorized(const std::string& udn, const std::string& ip, const std::string& mac,
                        const std::string& deviceName, const std::string& userAgent) {
    AclPermitMode mode = ACL_MODE_DENY_ALL;
    if (GetAclMode(udn, mode) != 0) {
        ZEL_LOGW(ZEL_CORE_ACL, "Retrieving mode failed");
        return false;
    }
    if (mode == ACL_MODE_OFF)
        return true;
    if (network_layer::IsLocalMachine(ip)) {
        ZEL_LOGI(ZEL_CORE_ACL, "Request from local machine");
        return true;
    }
    switch (mode) {
        case ACL_MODE_ALLOW_ALL:
            return PermitAndRecord(udn, ip, mac, deviceName, userAgent);
        case ACL_MODE_ALLOW_UNLESS_REJECTED:
            if (FindAclEntry(udn, ACL_REJECTED, mac) == 0) {
                ZEL_LOGW(ZEL_CORE_ACL, "denied because it's rejected.");
                return false;
            }
            return PermitAndRecord(udn, ip, mac, deviceName, userAgent);
        case ACL_MODE_DENY_ALL:
            AddAclEntry(udn, ACL_REJECTED, mac, ip, userAgent, deviceName);
            ZEL_LOGW(ZEL_CORE_ACL, "denied");
            return false;
        case ACL_MODE_ASK:
            return DecideAsk(udn, ip, mac, deviceName, userAgent);
        case ACL_MODE_ALLOW_UNRECORDED:
        case ACL_MODE_OFF:
            break;
    }
    return true;
}

void ChangeMacAddrForWIDI(const std::string& localAddress, const std::string& /*unused*/,
                          std::string& mac) {
    AclGuarded(0, [&] {
        if (!network_layer::IsInterfaceExisting(localAddress, kWifiDirectInterfacePrefix)) {
            ZEL_LOGI(ZEL_CORE_ACL, "[%s] is not p2p!", localAddress.c_str());
            return 0;
        }
        ZEL_LOGI(ZEL_CORE_ACL, "it's p2p!");
        const std::string deviceMac = utils::getDeviceMac(mac);
        if (deviceMac.empty()) {
            ZEL_LOGE(ZEL_CORE_ACL, "failed to convert mac addr");
            return 0;
        }
        mac = deviceMac;
        ZEL_LOGI(ZEL_CORE_ACL, "complete mac address : %s ", mac.c_str());
        return 0;
    });
}

bool IsCpAuthorizedAndGetCpInfo(const std::string& udn,
                                const boost::shared_ptr<utils::HTTPInfo>& request,
                                AuthorizedCPInfo& cpInfo) {
    if (!request || udn.empty())
        return false;
    return AclGuarded(false, [&] {
        if (!GetCPInfo(udn, request, cpInfo)) {
            ZEL_LOGW(ZEL_CORE_ACL, "Retrieving details failed");
            return false;
        }
        return VerifyCpAuthorized(udn, cpInfo.ip_address, cpInfo.mac_address, cpInfo.device_name,
                                  cpInfo.user_agent);
    });
}

bool IsCpAuthorized(const std::string& udn, const boost::shared_ptr<utils::HTTPInfo>& request) {
    AuthorizedCPInfo cpInfo;
    return IsCpAuthorizedAndGetCpInfo(udn, request, cpInfo);
}

}  // namespace cd_utils
}  // namespace zel_upnp
