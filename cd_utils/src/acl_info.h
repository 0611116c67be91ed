// The access-control store of one controlled device: its permitted, rejected
// and waiting control points, its permit mode, its device-name rules and the
// numbering of default names ("Device N"). Memory only.
#pragma once

#include <atomic>
#include <exception>
#include <list>
#include <set>
#include <string>
#include <unordered_map>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include "cd_utils/cd_utils.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_utils {

// The boundary of the exported access-control calls: runs fn and returns its
// result; an escaping exception (allocation, a lock error) is logged and
// becomes fallback, which for the authorisation calls means deny.
template <typename Result, typename Fn>
Result AclGuarded(Result fallback, Fn fn) {
    try {
        return fn();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_ACL, "exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_ACL, "Unknown Exception");
    }
    return fallback;
}

// Entries one list holds at most. Control points are recorded by the
// decision without the application's say (modes 0 to 3), and a hostile LAN
// peer can present many MACs; an add beyond this fails with 1.
const size_t kMaxAclEntriesPerList = 4096;

// Prefix of the default names the numbering hands out.
extern const char kDefaultNamePrefix[];

// Strict decimal reading of the number in a default name: true and the value
// when name is the prefix followed by an optional sign and only digits, in
// the range of int32_t.
bool ParseDefaultNameNumber(const std::string& name, int& number);

// One list of control points in insertion order, indexed by MAC: a list
// never holds a MAC twice, because every add looks it up first, so "the first
// entry of a MAC" is the only one. It also keeps the numbers of its entries'
// default names, so that neither a look-up nor the numbering walks the list.
// Not locked: its owner's mutex guards it.
class AclList {
  public:
    typedef std::list<boost::shared_ptr<stAclEntry> > Entries;

    const Entries& entries() const { return entries_; }
    size_t size() const { return entries_.size(); }
    // The stored record of the MAC, or null.
    stAclEntry* Find(const std::string& mac) const;
    void Append(const boost::shared_ptr<stAclEntry>& entry);
    // Takes the MAC's record out; null when there is none.
    boost::shared_ptr<stAclEntry> Remove(const std::string& mac);
    void Clear();
    void Rename(stAclEntry& entry, const std::string& deviceName);
    // The highest default-name number of the entries, or 0 when none is
    // above 0.
    int HighestNumber() const;

  private:
    // Drops one instance of the number of a default name.
    void ForgetNumber(const std::string& deviceName);

    Entries entries_;
    std::unordered_map<std::string, Entries::iterator> by_mac_;
    std::multiset<int32_t> numbers_;
};

// What AccessControlInfo::RefreshAclEntry found and did.
enum class AclRefresh {
    kAbsent,       // no entry of the MAC in the list (or an invalid list)
    kUnchanged,    // same IP, same derived name
    kIpChanged,    // the IP was replaced
    kNameChanged,  // same IP; the name was replaced by the derived one
    kEmptyField,   // a change left the IP or the name empty (stored all the same)
};

class AccessControlInfo;

// The store registered for udn, or null; logs nothing (the forwarding calls
// log a miss their own way).
boost::shared_ptr<AccessControlInfo> FindRegisteredStore(const std::string& udn);

// Any thread may call any member. Every list and rule operation holds mutex_
// for its whole run; the mutex is recursive so that the adders can delete
// from the wait list under it. Readers get deep copies of entries, never the
// stored records. The mode is one atomic word read and written without the
// mutex.
class AccessControlInfo {
  public:
    explicit AccessControlInfo(const AclPermitMode& mode);
    AccessControlInfo(const AccessControlInfo&) = delete;
    AccessControlInfo& operator=(const AccessControlInfo&) = delete;

    int AddAclEntry(const AclPermission& permission, const std::string& mac, const std::string& ip,
                    const std::string& userAgent, const std::string& deviceName);
    int AddAclEntries(const AclPermission& permission, const AclEntryList& entries);
    int DelAclEntry(const AclPermission& permission, const std::string& mac, const std::string& ip,
                    const std::string& userAgent);
    int DelAclEntries(const AclPermission& permission, const AclEntryList& entries);
    int DelAllAclEntries(const AclPermission& permission);
    int FindAclEntry(const AclPermission& permission, const std::string& mac);
    int FindAclEntry(const AclPermission& permission, const std::string& mac,
                     const std::string& userAgent);
    int GetAclEntries(const AclPermission& permission, int& count, AclEntryList& entries);
    int GetAclEntryByMAC(const AclPermission& permission, const std::string& mac,
                         const std::string& userAgent, AclEntryList& entries);
    int GetAclEntryByIP(const AclPermission& permission, const std::string& ip,
                        AclEntryList& entries);
    int UpdateAclEntryByMAC(const AclPermission& permission, const std::string& mac,
                            const std::string& userAgent, const stAclEntry& values);
    int GetPermittedCPInfo(const std::string& ip, const std::string& unused, std::string& mac,
                           std::string& deviceName);
    int GetAclMode(AclPermitMode& mode) const;
    int SetAclMode(const AclPermitMode& mode);
    int SetAclFilter(const std::string& pattern, const int& keepPattern,
                     const std::string& terminators);
    int GetDeviceFilterList(DevNameFilterList& filters);
    int RemoveAllDeviceFilterRules();
    int GetNewDeviceIndex(const std::string& mac, int& index);

    // Runs fn on the rule list under mutex_, without copying it; 1 (fn not
    // run) when there are no rules, as GetDeviceFilterList.
    template <typename Fn>
    int WithDeviceFilterList(Fn fn) {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        if (filter_list_.empty())
            return 1;
        fn(static_cast<const DevNameFilterList&>(filter_list_));
        return 0;
    }

    // The check of a recorded CP against what it looks like now, in one hold
    // of mutex_ and without copying the entry: the MAC's entry takes ip when
    // its IP differs; otherwise deriveName(std::string&) gives the name,
    // which the entry takes when it differs. deriveName runs at most once,
    // with mutex_ held (it may take a default-name number from this store;
    // it must not change the lists). After a change deviceName holds the
    // stored name. A change is stored as UpdateAclEntryByMAC stores it.
    template <typename DeriveName>
    AclRefresh RefreshAclEntry(const AclPermission& permission, const std::string& mac,
                               const std::string& ip, DeriveName deriveName,
                               std::string& deviceName) {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        List* list = SelectList(permission);
        stAclEntry* entry = list == nullptr ? nullptr : list->Find(mac);
        if (entry == nullptr)
            return AclRefresh::kAbsent;
        AclRefresh change = AclRefresh::kIpChanged;
        if (entry->ip_address != ip) {
            entry->ip_address = ip;
        } else {
            std::string name;
            deriveName(name);
            if (entry->device_name == name)
                return AclRefresh::kUnchanged;
            list->Rename(*entry, name);
            change = AclRefresh::kNameChanged;
        }
        deviceName = entry->device_name;
        return entry->ip_address.empty() || entry->device_name.empty() ? AclRefresh::kEmptyField
                                                                       : change;
    }

  private:
    typedef AclList List;

    // Runs fn on the list of permission under mutex_; 1 for an invalid
    // permission.
    template <typename Fn>
    int OnList(const AclPermission& permission, Fn fn);
    // The list of permission, or null for an invalid value. mutex_ held.
    List* SelectList(const AclPermission& permission);
    // Removes the entry of the MAC and frees its default-name number;
    // 1 when there is none. mutex_ held.
    int DeleteFromList(List& list, const std::string& mac);
    // Takes the MAC off the wait list when it enters the permitted or
    // rejected list. mutex_ held.
    void LeaveWaitList(const AclPermission& permission, const std::string& mac,
                       const std::string& deviceName);
    // Copies the entries that pass keep into out (cleared first); 0 when one
    // was copied. mutex_ held.
    template <typename Keep>
    static int CopyEntries(const List& list, AclEntryList& out, Keep keep);

    boost::recursive_mutex mutex_;
    List permitted_list_;
    List rejected_list_;
    List wait_list_;
    std::atomic<int> mode_;
    DevNameFilterList filter_list_;
    int32_t device_index_counter_ = 0;
    std::list<int32_t> free_device_indices_;
};

}  // namespace cd_utils
}  // namespace zel_upnp
