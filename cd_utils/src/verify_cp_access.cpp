#include "cd_utils/src/verify_cp_access.h"

#include <algorithm>
#include <cctype>

#include <boost/make_shared.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include "cd_utils/src/acl_info.h"
#include "network_layer/network_layer.h"
#include "network_layer/src/tcp_routes.h"
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

// The device's store as one decision sees it: looked up at the first call
// that needs it and held from then on, so that one decision costs one map
// look-up and reads and records in one store even if the device registers
// again meanwhile. While the UDN is not registered each call goes through
// the exported function of the same name, which logs and fails as always.
class DeviceStore {
  public:
    explicit DeviceStore(const std::string& udn) : udn_(udn) {}
    DeviceStore(const DeviceStore&) = delete;
    DeviceStore& operator=(const DeviceStore&) = delete;

    const std::string& Udn() const { return udn_; }

    int GetAclMode(AclPermitMode& mode) {
        AccessControlInfo* store = Store();
        if (store == nullptr)
            return cd_utils::GetAclMode(udn_, mode);
        return AclGuarded(1, [&] { return store->GetAclMode(mode); });
    }
    int AddAclEntry(const AclPermission& permission, const std::string& mac, const std::string& ip,
                    const std::string& userAgent, const std::string& deviceName) {
        AccessControlInfo* store = Store();
        if (store == nullptr)
            return cd_utils::AddAclEntry(udn_, permission, mac, ip, userAgent, deviceName);
        return AclGuarded(
            1, [&] { return store->AddAclEntry(permission, mac, ip, userAgent, deviceName); });
    }
    int DelAclEntry(const AclPermission& permission, const std::string& mac, const std::string& ip,
                    const std::string& userAgent) {
        AccessControlInfo* store = Store();
        if (store == nullptr)
            return cd_utils::DelAclEntry(udn_, permission, mac, ip, userAgent);
        return AclGuarded(1, [&] { return store->DelAclEntry(permission, mac, ip, userAgent); });
    }
    int FindAclEntry(const AclPermission& permission, const std::string& mac) {
        AccessControlInfo* store = Store();
        if (store == nullptr)
            return cd_utils::FindAclEntry(udn_, permission, mac);
        return AclGuarded(1, [&] { return store->FindAclEntry(permission, mac); });
    }
    int GetNewDeviceIndex(const std::string& mac, int& index) {
        AccessControlInfo* store = Store();
        if (store == nullptr)
            return cd_utils::GetNewDeviceIndex(udn_, mac, index);
        return AclGuarded(1, [&] {
            ZEL_LOGD(ZEL_CORE_ACL, "UDN %s mac = %s!", udn_.c_str(), mac.c_str());
            return store->GetNewDeviceIndex(mac, index);
        });
    }
    // fn(const DevNameFilterList&) on the device's rules; 1 when it has none.
    template <typename Fn>
    int WithFilterRules(Fn fn) {
        AccessControlInfo* store = Store();
        if (store == nullptr) {
            DevNameFilterList rules;
            if (cd_utils::GetDeviceFilterList(udn_, rules) != 0)
                return 1;
            fn(static_cast<const DevNameFilterList&>(rules));
            return 0;
        }
        return AclGuarded(1, [&] { return store->WithDeviceFilterList(fn); });
    }
    // AccessControlInfo::RefreshAclEntry. An unregistered device records
    // nobody: the miss is logged by the exported look-up, kAbsent.
    template <typename DeriveName>
    AclRefresh RefreshAclEntry(const AclPermission& permission, const std::string& mac,
                               const std::string& ip, const std::string& userAgent,
                               DeriveName deriveName, std::string& deviceName) {
        AccessControlInfo* store = Store();
        if (store == nullptr) {
            AclEntryList unused;
            cd_utils::GetAclEntryByMAC(udn_, permission, mac, userAgent, unused);
            return AclRefresh::kAbsent;
        }
        return AclGuarded(AclRefresh::kAbsent, [&] {
            return store->RefreshAclEntry(permission, mac, ip, deriveName, deviceName);
        });
    }

  private:
    AccessControlInfo* Store() {
        if (!store_)
            store_ = FindRegisteredStore(udn_);
        return store_.get();
    }

    const std::string& udn_;
    boost::shared_ptr<AccessControlInfo> store_;
};

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

int NewDeviceName(DeviceStore& store, const std::string& mac, std::string& name) {
    return AclGuarded(1, [&] {
        const size_t model = name.empty() ? std::string::npos : name.find(kModelToken);
        if (model != std::string::npos) {
            name.erase(0, model + kModelTokenLength);
            const size_t slash = name.find('/');
            if (slash != std::string::npos)
                name.erase(slash);
        } else {
            int index = 0;
            const int result = store.GetNewDeviceIndex(mac, index);
            if (result != 0)
                return result;
            // "%s%d" without a formatter: this runs for every request.
            name = kDefaultNamePrefix + std::to_string(index);
        }
        ZEL_LOGI(ZEL_CORE_ACL, "The Device Name is %s", name.c_str());
        return 0;
    });
}

int DeriveDeviceName(DeviceStore& store, const std::string& mac, const std::string& userAgent,
                     std::string& name) {
    name = userAgent;
    if (userAgent.empty())
        return NewDeviceName(store, mac, name);
    if (StripAppSuffix(userAgent, name) && !name.empty()) {
        ZEL_LOGI(ZEL_CORE_ACL, "Lumicast name is [%s]", name.c_str());
        return 0;
    }
    bool named = false;
    if (store.WithFilterRules(
            [&](const DevNameFilterList& rules) { named = ApplyFilterRules(rules, name); }) != 0)
        return NewDeviceName(store, mac, name);
    if (named) {
        ZEL_LOGI(ZEL_CORE_ACL, "The Device Name is %s", name.c_str());
        return 0;
    }
    name = userAgent;
    const int result = NewDeviceName(store, mac, name);
    ZEL_LOGI(ZEL_CORE_ACL, "The Device Name is %s", name.c_str());
    return result;
}

bool IdentifyCp(DeviceStore& store, const boost::shared_ptr<utils::HTTPInfo>& request,
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
    DeriveDeviceName(store, info.mac_address, info.user_agent, info.device_name);
    return true;
}

// What a recorded CP's refresh found, and the notification it calls for.
enum class Recorded { kMissing, kUnchanged, kChanged };

Recorded RefreshRecorded(DeviceStore& store, const AclPermission& permission,
                         const std::string& mac, const std::string& ip,
                         const std::string& userAgent, PendingNotice& notice) {
    std::string deviceName;
    const AclRefresh refresh = store.RefreshAclEntry(
        permission, mac, ip, userAgent,
        [&](std::string& name) { DeriveDeviceName(store, mac, userAgent, name); }, deviceName);
    switch (refresh) {
        case AclRefresh::kAbsent:
            return Recorded::kMissing;
        case AclRefresh::kUnchanged:
            return Recorded::kUnchanged;
        case AclRefresh::kEmptyField:
            ZEL_LOGD(ZEL_CORE_ACL, "Updating ACL entry failed for UDN %s !!!", store.Udn().c_str());
            return Recorded::kMissing;
        case AclRefresh::kIpChanged:
        case AclRefresh::kNameChanged:
            break;
    }
    notice = PendingNotice{
        true,
        refresh == AclRefresh::kIpChanged ? ACL_EVENT_IP_CHANGED : ACL_EVENT_NAME_CHANGED,
        ip,
        mac,
        userAgent,
        deviceName};
    return Recorded::kChanged;
}

// The decision of the modes that record the CP as permitted.
bool PermitAndRecord(DeviceStore& store, const std::string& ip, const std::string& mac,
                     const std::string& deviceName, const std::string& userAgent,
                     PendingNotice& notice) {
    store.AddAclEntry(ACL_PERMITTED, mac, ip, userAgent, deviceName);
    RefreshRecorded(store, ACL_PERMITTED, mac, ip, userAgent, notice);
    return true;
}

// verify_mutex makes the look-up and the recording one step per request;
// the listener is never called under it (notice carries the call out).
bool DecideAsk(DeviceStore& store, const std::string& ip, const std::string& mac,
               const std::string& deviceName, const std::string& userAgent, PendingNotice& notice) {
    boost::unique_lock<boost::recursive_mutex> lock(verify_mutex);
    for (const AclPermission permission : {ACL_PERMITTED, ACL_REJECTED, ACL_WAITING}) {
        if (store.FindAclEntry(permission, mac) != 0)
            continue;
        ZEL_LOGI(ZEL_CORE_ACL, "Device found in existing lists!");
        switch (RefreshRecorded(store, permission, mac, ip, userAgent, notice)) {
            case Recorded::kMissing:
                ZEL_LOGW(ZEL_CORE_ACL, "denied");
                return false;
            case Recorded::kUnchanged:
                return permission == ACL_PERMITTED;
            case Recorded::kChanged:
                // Only a permitted CP can be let through by the listener.
                notice.decides = permission == ACL_PERMITTED;
                return false;
        }
    }
    store.AddAclEntry(ACL_WAITING, mac, ip, userAgent, deviceName);
    lock.unlock();
    notice = PendingNotice{true, ACL_EVENT_NEW_DEVICE, ip, mac, userAgent, deviceName};
    notice.withdrawOnRefusal = true;
    ZEL_LOGW(ZEL_CORE_ACL, "denied [%d][%s][%s]", static_cast<int>(ACL_MODE_ASK), ip.c_str(),
             mac.c_str());
    return false;
}

bool Decide(DeviceStore& store, const std::string& ip, const std::string& mac,
            const std::string& deviceName, const std::string& userAgent, PendingNotice& notice) {
    AclPermitMode mode = ACL_MODE_DENY_ALL;
    if (store.GetAclMode(mode) != 0) {
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
            return PermitAndRecord(store, ip, mac, deviceName, userAgent, notice);
        case ACL_MODE_ALLOW_UNLESS_REJECTED:
            if (store.FindAclEntry(ACL_REJECTED, mac) == 0) {
                ZEL_LOGW(ZEL_CORE_ACL, "denied because it's rejected.");
                return false;
            }
            return PermitAndRecord(store, ip, mac, deviceName, userAgent, notice);
        case ACL_MODE_DENY_ALL:
            store.AddAclEntry(ACL_REJECTED, mac, ip, userAgent, deviceName);
            ZEL_LOGW(ZEL_CORE_ACL, "denied");
            return false;
        case ACL_MODE_ASK:
            return DecideAsk(store, ip, mac, deviceName, userAgent, notice);
        case ACL_MODE_ALLOW_UNRECORDED:
        case ACL_MODE_OFF:
            break;
    }
    return true;
}

}  // namespace

bool DeliverNotice(const std::string& udn, const PendingNotice& notice, bool allowed) {
    if (!notice.needed)
        return allowed;
    const bool taken =
        Notify(udn, notice.eventType, notice.ip, notice.mac, notice.userAgent, notice.deviceName);
    if (!taken && notice.withdrawOnRefusal)
        DelAclEntry(udn, ACL_WAITING, notice.mac, notice.ip, notice.userAgent);
    if (!taken && notice.decides)
        ZEL_LOGW(ZEL_CORE_ACL, "denied");
    return notice.decides ? taken : allowed;
}

void DecideWithoutWaiting(const std::string& udn, const boost::shared_ptr<utils::HTTPInfo>& request,
                          DecisionDone done) {
    AuthorizedCPInfo cpInfo;
    PendingNotice notice;
    const bool allowed = AclGuarded(false, [&] {
        if (!request || udn.empty())
            return false;
        DeviceStore store(udn);
        if (!IdentifyCp(store, request, cpInfo)) {
            ZEL_LOGW(ZEL_CORE_ACL, "Retrieving details failed");
            return false;
        }
        return Decide(store, cpInfo.ip_address, cpInfo.mac_address, cpInfo.device_name,
                      cpInfo.user_agent, notice);
    });
    if (!notice.needed) {
        done(allowed, cpInfo);
        return;
    }
    // The listener runs on "ZelTcpAsk"; the request waits for it only when
    // its answer decides.
    const bool decides = notice.decides;
    const bool posted =
        network_layer::PostAskJob([udn, notice, allowed, cpInfo, done, decides](bool live) {
            bool result = false;
            if (live)
                result = AclGuarded(false, [&] { return DeliverNotice(udn, notice, allowed); });
            else if (notice.withdrawOnRefusal)
                DelAclEntry(udn, ACL_WAITING, notice.mac, notice.ip, notice.userAgent);
            if (decides)
                done(result, cpInfo);
        });
    if (!posted) {
        ZEL_LOGW(ZEL_CORE_ACL, "access listener busy, notification of %s dropped",
                 notice.ip.c_str());
        if (notice.withdrawOnRefusal)
            DelAclEntry(udn, ACL_WAITING, notice.mac, notice.ip, notice.userAgent);
    }
    if (!decides || !posted)
        done(decides ? false : allowed, cpInfo);
}

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
    DeviceStore store(udn);
    return NewDeviceName(store, mac, name);
}

int GetDeviceNameFromUserAgent(const std::string& udn, const std::string& mac,
                               const std::string& userAgent, std::string& name) {
    DeviceStore store(udn);
    return DeriveDeviceName(store, mac, userAgent, name);
}

bool GetCPInfo(const std::string& udn, const boost::shared_ptr<utils::HTTPInfo>& request,
               AuthorizedCPInfo& info) {
    DeviceStore store(udn);
    return IdentifyCp(store, request, info);
}

bool NotifyApp(const std::string& udn, const AclPermission& permission, const std::string& mac,
               const std::string& ip, const std::string& userAgent) {
    DeviceStore store(udn);
    PendingNotice notice;
    if (RefreshRecorded(store, permission, mac, ip, userAgent, notice) == Recorded::kMissing)
        return false;
    notice.decides = true;
    return DeliverNotice(udn, notice, true);
}

bool VerifyCpAuthorized(const std::string& udn, const std::string& ip, const std::string& mac,
                        const std::string& deviceName, const std::string& userAgent) {
    DeviceStore store(udn);
    PendingNotice notice;
    const bool allowed = Decide(store, ip, mac, deviceName, userAgent, notice);
    return DeliverNotice(udn, notice, allowed);
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
        // One store look-up serves the identification and the decision.
        DeviceStore store(udn);
        if (!IdentifyCp(store, request, cpInfo)) {
            ZEL_LOGW(ZEL_CORE_ACL, "Retrieving details failed");
            return false;
        }
        PendingNotice notice;
        const bool allowed = Decide(store, cpInfo.ip_address, cpInfo.mac_address,
                                    cpInfo.device_name, cpInfo.user_agent, notice);
        return DeliverNotice(udn, notice, allowed);
    });
}

bool IsCpAuthorized(const std::string& udn, const boost::shared_ptr<utils::HTTPInfo>& request) {
    AuthorizedCPInfo cpInfo;
    return IsCpAuthorizedAndGetCpInfo(udn, request, cpInfo);
}

}  // namespace cd_utils
}  // namespace zel_upnp
