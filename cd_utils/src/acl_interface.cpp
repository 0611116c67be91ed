// The exported face of access control: one store and one listener per
// device UDN, and the calls that reach a device's store.
#include <map>

#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "cd_utils/src/acl_info.h"
#include "network_layer/network_layer.h"

namespace zel_upnp {
namespace cd_utils {

namespace {

typedef boost::shared_ptr<AccessControlInfo> StorePtr;

// Process-wide, alive until unload. map_mutex guards both maps and is held
// only while a map is read or changed: never while a store operation or a
// listener runs. (boost::mutex::lock already retries a lock interrupted by a
// signal.)
boost::mutex map_mutex;
std::map<std::string, StorePtr> acl_map;
std::map<std::string, AclListener> callback_map;
std::string acl_config_path;  // recorded, not read

// RetrieveAccessControlInfo: a copy of the device's store pointer, which keeps
// the store alive through an unregistration that happens meanwhile.
bool RetrieveAccessControlInfo(const std::string& udn, StorePtr& store) {
    {
        boost::lock_guard<boost::mutex> lock(map_mutex);
        std::map<std::string, StorePtr>::const_iterator it = acl_map.find(udn);
        if (it != acl_map.end()) {
            store = it->second;
            return true;
        }
    }
    ZEL_LOGW(ZEL_CORE_ACL, "acl_map.find(udn) failed");
    return false;
}

}  // namespace

StorePtr FindRegisteredStore(const std::string& udn) {
    boost::lock_guard<boost::mutex> lock(map_mutex);
    std::map<std::string, StorePtr>::const_iterator it = acl_map.find(udn);
    return it == acl_map.end() ? StorePtr() : it->second;
}

namespace {

enum MissingUdnLog { kMissingAtDebug, kMissingAtWarning };

// Runs fn on the registered device's store. The caller has rejected an
// empty UDN with its own log line.
template <typename Fn>
int WithStore(const std::string& udn, Fn fn, MissingUdnLog missing = kMissingAtDebug) {
    return AclGuarded(1, [&] {
        StorePtr store;
        if (!RetrieveAccessControlInfo(udn, store)) {
            if (missing == kMissingAtWarning)
                ZEL_LOGW(ZEL_CORE_ACL, "UDN %s not found in map!", udn.c_str());
            else
                ZEL_LOGD(ZEL_CORE_ACL, "UDN %s not found in map!", udn.c_str());
            return 1;
        }
        return static_cast<int>(fn(*store));
    });
}

}  // namespace

int RegisterAclListener(const std::string& udn, AclListener listener, const AclPermitMode& mode) {
    if (udn.empty() || listener == nullptr) {
        ZEL_LOGW(ZEL_CORE_ACL, "Invalid Arguments!");
        return network_layer::NL_INVALID_LISTENER;
    }
    return AclGuarded(1, [&] {
        StorePtr store = boost::make_shared<AccessControlInfo>(mode);
        StorePtr previous;  // released after the map mutex
        boost::lock_guard<boost::mutex> lock(map_mutex);
        StorePtr& slot = acl_map[udn];
        previous.swap(slot);
        slot = store;
        callback_map[udn] = listener;
        return 0;
    });
}

int UnRegisterAclListener(const std::string& udn) {
    StorePtr previous;  // released after the map mutex
    bool hadStore = false;
    bool hadListener = false;
    {
        boost::lock_guard<boost::mutex> lock(map_mutex);
        std::map<std::string, StorePtr>::iterator store = acl_map.find(udn);
        if (store != acl_map.end()) {
            previous.swap(store->second);
            acl_map.erase(store);
            hadStore = true;
        }
        hadListener = callback_map.erase(udn) != 0;
    }
    if (!hadStore)
        ZEL_LOGD(ZEL_CORE_ACL, "UDN %s not found in ACL map!", udn.c_str());
    if (!hadListener)
        ZEL_LOGD(ZEL_CORE_ACL, "UDN %s not found in Callback map!", udn.c_str());
    return 0;
}

bool ACLNotify(const std::string& udn, boost::shared_ptr<stEventNotification> notification) {
    return AclGuarded(false, [&] {
        AclListener listener = nullptr;
        {
            boost::lock_guard<boost::mutex> lock(map_mutex);
            std::map<std::string, AclListener>::const_iterator it = callback_map.find(udn);
            if (it != callback_map.end())
                listener = it->second;
        }
        if (listener == nullptr) {
            ZEL_LOGW(ZEL_CORE_ACL, "UDN not found in map!");
            return false;
        }
        return listener(notification);
    });
}

void SetAclConfigPath(const std::string& /*unused*/, const std::string& path) {
    AclGuarded(0, [&] {
        boost::lock_guard<boost::mutex> lock(map_mutex);
        acl_config_path = path;
        return 0;
    });
}

int SetAclFilter(const std::string& udn, const std::string& pattern, const int& keepPattern,
                 const std::string& terminators) {
    if (udn.empty())
        return 1;
    return WithStore(udn, [&](AccessControlInfo& store) {
        return store.SetAclFilter(pattern, keepPattern, terminators);
    });
}

int AddAclEntry(const std::string& udn, const AclPermission& permission, const std::string& mac,
                const std::string& ip, const std::string& userAgent,
                const std::string& deviceName) {
    if (udn.empty()) {
        ZEL_LOGI(ZEL_CORE_ACL, "AddAclEntry udn empty");
        return 1;
    }
    return WithStore(udn, [&](AccessControlInfo& store) {
        return store.AddAclEntry(permission, mac, ip, userAgent, deviceName);
    });
}

int AddAclEntries(const std::string& udn, const AclPermission& permission,
                  const AclEntryList& entries) {
    if (udn.empty()) {
        ZEL_LOGI(ZEL_CORE_ACL, "AddAclEntries udn empty");
        return 1;
    }
    return WithStore(
        udn, [&](AccessControlInfo& store) { return store.AddAclEntries(permission, entries); });
}

int GetAclMode(const std::string& udn, AclPermitMode& mode) {
    if (udn.empty()) {
        ZEL_LOGW(ZEL_CORE_ACL, "UDN empty!");
        return 1;
    }
    return WithStore(udn, [&](AccessControlInfo& store) { return store.GetAclMode(mode); });
}

int SetAclMode(const std::string& udn, const AclPermitMode& mode) {
    if (udn.empty())
        return 1;
    return WithStore(udn, [&](AccessControlInfo& store) { return store.SetAclMode(mode); });
}

int FindAclEntry(const std::string& udn, const AclPermission& permission, const std::string& mac,
                 const std::string& /*userAgent*/) {
    return FindAclEntry(udn, permission, mac);
}

int FindAclEntry(const std::string& udn, const AclPermission& permission, const std::string& mac) {
    if (udn.empty())
        return 1;
    return WithStore(udn,
                     [&](AccessControlInfo& store) { return store.FindAclEntry(permission, mac); });
}

void MoveAclEntriesFromWaitList(const std::string& udn, const std::string& mac,
                                const AclPermission& permission) {
    // Moving happens through AddAclEntry to the permitted or rejected list;
    // this call only looks.
    FindAclEntry(udn, permission, mac);
}

int GetDeviceFilterList(const std::string& udn, DevNameFilterList& filters) {
    if (udn.empty())
        return 1;
    return WithStore(udn,
                     [&](AccessControlInfo& store) { return store.GetDeviceFilterList(filters); });
}

int GetNewDeviceIndex(const std::string& udn, const std::string& mac, int& index) {
    if (udn.empty())
        return 1;
    return WithStore(udn, [&](AccessControlInfo& store) {
        ZEL_LOGD(ZEL_CORE_ACL, "UDN %s mac = %s!", udn.c_str(), mac.c_str());
        return store.GetNewDeviceIndex(mac, index);
    });
}

int DelAclEntry(const std::string& udn, const AclPermission& permission, const std::string& mac,
                const std::string& ip, const std::string& userAgent) {
    if (udn.empty())
        return 1;
    return WithStore(udn, [&](AccessControlInfo& store) {
        return store.DelAclEntry(permission, mac, ip, userAgent);
    });
}

int DelAclEntries(const std::string& udn, const AclPermission& permission,
                  const AclEntryList& entries) {
    if (udn.empty()) {
        ZEL_LOGI(ZEL_CORE_ACL, "DelAclEntries udn empty");
        return 1;
    }
    return WithStore(
        udn, [&](AccessControlInfo& store) { return store.DelAclEntries(permission, entries); });
}

int DelAllAclEntries(const std::string& udn, const AclPermission& permission) {
    if (udn.empty()) {
        ZEL_LOGI(ZEL_CORE_ACL, "DelAllAclEntries udn empty");
        return 1;
    }
    return WithStore(udn,
                     [&](AccessControlInfo& store) { return store.DelAllAclEntries(permission); });
}

int RemoveAllDeviceFilterRules(const std::string& udn) {
    if (udn.empty())
        return 1;
    return WithStore(udn,
                     [&](AccessControlInfo& store) { return store.RemoveAllDeviceFilterRules(); });
}

int GetAclEntries(const std::string& udn, const AclPermission& permission, int& count,
                  AclEntryList& entries) {
    if (udn.empty()) {
        ZEL_LOGW(ZEL_CORE_ACL, "udn.empty()");
        return 1;
    }
    return WithStore(udn, [&](AccessControlInfo& store) {
        return store.GetAclEntries(permission, count, entries);
    });
}

int GetAclEntryByMAC(const std::string& udn, const AclPermission& permission,
                     const std::string& mac, const std::string& userAgent, AclEntryList& entries) {
    if (udn.empty())
        return 1;
    return WithStore(udn, [&](AccessControlInfo& store) {
        return store.GetAclEntryByMAC(permission, mac, userAgent, entries);
    });
}

int UpdateAclEntryByMAC(const std::string& udn, const AclPermission& permission,
                        const std::string& mac, const std::string& userAgent,
                        const stAclEntry& values) {
    if (udn.empty())
        return 1;
    return WithStore(udn, [&](AccessControlInfo& store) {
        return store.UpdateAclEntryByMAC(permission, mac, userAgent, values);
    });
}

int GetAclEntryByIP(const std::string& udn, const AclPermission& permission, const std::string& ip,
                    AclEntryList& entries) {
    if (udn.empty())
        return 1;
    return WithStore(udn, [&](AccessControlInfo& store) {
        return store.GetAclEntryByIP(permission, ip, entries);
    });
}

int GetPermittedCPInfo(const std::string& udn, const std::string& ip, const std::string& unused,
                       std::string& mac, std::string& deviceName) {
    if (udn.empty())
        return 1;
    return WithStore(
        udn,
        [&](AccessControlInfo& store) {
            return store.GetPermittedCPInfo(ip, unused, mac, deviceName);
        },
        kMissingAtWarning);
}

}  // namespace cd_utils
}  // namespace zel_upnp
