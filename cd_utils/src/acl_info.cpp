#include "cd_utils/src/acl_info.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include <boost/make_shared.hpp>

namespace zel_upnp {
namespace cd_utils {

const char kDefaultNamePrefix[] = "Device ";

namespace {

const size_t kDefaultNamePrefixLength = sizeof(kDefaultNamePrefix) - 1;
const int kHighestMode = ACL_MODE_OFF;

bool StartsWithDefaultPrefix(const std::string& name) {
    return name.compare(0, kDefaultNamePrefixLength, kDefaultNamePrefix) == 0;
}

// The number of a "Device ..." name, logging a name whose rest is not a
// number; false for other names too.
bool DefaultNameNumber(const std::string& name, int& number) {
    if (!StartsWithDefaultPrefix(name))
        return false;
    if (ParseDefaultNameNumber(name, number))
        return true;
    ZEL_LOGE(ZEL_CORE_ACL, "lexical cast exception!!!");
    return false;
}

}  // namespace

bool ParseDefaultNameNumber(const std::string& name, int& number) {
    if (!StartsWithDefaultPrefix(name))
        return false;
    size_t pos = kDefaultNamePrefixLength;
    bool negative = false;
    if (pos < name.size() && (name[pos] == '+' || name[pos] == '-')) {
        negative = name[pos] == '-';
        ++pos;
    }
    if (pos == name.size())
        return false;
    // The magnitude may reach 2^31 for a negative number.
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    int64_t value = 0;
    for (; pos < name.size(); ++pos) {
        const char c = name[pos];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > limit)
            return false;
    }
    number = static_cast<int>(negative ? -value : value);
    return true;
}

AccessControlInfo::AccessControlInfo(const AclPermitMode& mode) : mode_(mode) {}

template <typename Fn>
int AccessControlInfo::OnList(const AclPermission& permission, Fn fn) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    List* list = SelectList(permission);
    return list == nullptr ? 1 : fn(*list);
}

AccessControlInfo::List* AccessControlInfo::SelectList(const AclPermission& permission) {
    switch (permission) {
        case ACL_PERMITTED:
            return &permitted_list_;
        case ACL_REJECTED:
            return &rejected_list_;
        case ACL_WAITING:
            return &wait_list_;
    }
    return nullptr;
}

stAclEntry* AclList::Find(const std::string& mac) const {
    std::unordered_map<std::string, Entries::iterator>::const_iterator it = by_mac_.find(mac);
    return it == by_mac_.end() ? nullptr : it->second->get();
}

void AclList::Append(const boost::shared_ptr<stAclEntry>& entry) {
    entries_.push_back(entry);
    by_mac_[entry->mac_address] = std::prev(entries_.end());
    int number = 0;
    if (DefaultNameNumber(entry->device_name, number))
        numbers_.insert(number);
}

boost::shared_ptr<stAclEntry> AclList::Remove(const std::string& mac) {
    std::unordered_map<std::string, Entries::iterator>::iterator it = by_mac_.find(mac);
    if (it == by_mac_.end())
        return boost::shared_ptr<stAclEntry>();
    boost::shared_ptr<stAclEntry> entry = *it->second;
    int number = 0;
    if (ParseDefaultNameNumber(entry->device_name, number))
        numbers_.erase(numbers_.find(number));
    entries_.erase(it->second);
    by_mac_.erase(it);
    return entry;
}

void AclList::Clear() {
    entries_.clear();
    by_mac_.clear();
    numbers_.clear();
}

void AclList::Rename(stAclEntry& entry, const std::string& deviceName) {
    int number = 0;
    if (ParseDefaultNameNumber(entry.device_name, number))
        numbers_.erase(numbers_.find(number));
    entry.device_name = deviceName;
    if (DefaultNameNumber(entry.device_name, number))
        numbers_.insert(number);
}

int AclList::HighestNumber() const {
    return numbers_.empty() || *numbers_.rbegin() < 0 ? 0 : *numbers_.rbegin();
}

int AccessControlInfo::DeleteFromList(List& list, const std::string& mac) {
    const boost::shared_ptr<stAclEntry> removed = list.Remove(mac);
    if (!removed)
        return 1;
    int number = 0;
    if (DefaultNameNumber(removed->device_name, number))
        free_device_indices_.push_back(number);
    return 0;
}

void AccessControlInfo::LeaveWaitList(const AclPermission& permission, const std::string& mac,
                                      const std::string& deviceName) {
    if (permission != ACL_PERMITTED && permission != ACL_REJECTED)
        return;
    ZEL_LOGI(ZEL_CORE_ACL, "DelAclEntry %s", deviceName.c_str());
    DeleteFromList(wait_list_, mac);
}

int AccessControlInfo::AddAclEntry(const AclPermission& permission, const std::string& mac,
                                   const std::string& ip, const std::string& userAgent,
                                   const std::string& deviceName) {
    if (mac.empty() || ip.empty()) {
        ZEL_LOGD(ZEL_CORE_ACL, "mac_addr or ip is empty");
        return 1;
    }
    return OnList(permission, [&](List& list) {
        if (list.Find(mac) != nullptr) {
            ZEL_LOGD(ZEL_CORE_ACL, "FindEntry success");
            return 0;
        }
        if (list.size() >= kMaxAclEntriesPerList) {
            ZEL_LOGW(ZEL_CORE_ACL, "ACL list full [%zu]", list.size());
            return 1;
        }
        LeaveWaitList(permission, mac, deviceName);
        boost::shared_ptr<stAclEntry> entry = boost::make_shared<stAclEntry>();
        entry->ip_address = ip;
        entry->mac_address = mac;
        entry->user_agent = userAgent;
        entry->device_name = deviceName;
        list.Append(entry);
        return 0;
    });
}

int AccessControlInfo::AddAclEntries(const AclPermission& permission, const AclEntryList& entries) {
    if (entries.empty()) {
        ZEL_LOGW(ZEL_CORE_ACL, "ACL entry list is empty !");
        return 1;
    }
    return OnList(permission, [&](List& list) {
        for (const auto& input : entries) {
            if (!input)
                continue;
            if (list.Find(input->mac_address) != nullptr) {
                ZEL_LOGD(ZEL_CORE_ACL, "Already exist in ACL list [DeviceName : %s]",
                         input->device_name.c_str());
                continue;
            }
            if (list.size() >= kMaxAclEntriesPerList) {
                ZEL_LOGW(ZEL_CORE_ACL, "ACL list full [%zu]", list.size());
                return 1;
            }
            LeaveWaitList(permission, input->mac_address, input->device_name);
            list.Append(boost::make_shared<stAclEntry>(*input));
        }
        return 0;
    });
}

int AccessControlInfo::DelAclEntry(const AclPermission& permission, const std::string& mac,
                                   const std::string& /*ip*/, const std::string& /*userAgent*/) {
    if (mac.empty()) {
        ZEL_LOGW(ZEL_CORE_ACL, "Invalid input");
        return 1;
    }
    return OnList(permission, [&](List& list) { return DeleteFromList(list, mac); });
}

int AccessControlInfo::DelAclEntries(const AclPermission& permission, const AclEntryList& entries) {
    if (entries.empty()) {
        ZEL_LOGD(ZEL_CORE_ACL, "ACL entry list is empty !");
        return 1;
    }
    return OnList(permission, [&](List& list) {
        for (const auto& input : entries) {
            if (input)
                DeleteFromList(list, input->mac_address);
        }
        return 0;
    });
}

int AccessControlInfo::DelAllAclEntries(const AclPermission& permission) {
    return OnList(permission, [&](List& list) {
        list.Clear();
        if (permission == ACL_PERMITTED) {
            free_device_indices_.clear();
            device_index_counter_ = 0;
        }
        return 0;
    });
}

int AccessControlInfo::FindAclEntry(const AclPermission& permission, const std::string& mac) {
    return OnList(permission, [&](List& list) { return list.Find(mac) != nullptr ? 0 : 1; });
}

int AccessControlInfo::FindAclEntry(const AclPermission& permission, const std::string& mac,
                                    const std::string& /*userAgent*/) {
    return FindAclEntry(permission, mac);
}

template <typename Keep>
int AccessControlInfo::CopyEntries(const List& list, AclEntryList& out, Keep keep) {
    for (const auto& entry : list.entries()) {
        if (keep(*entry))
            out.push_back(boost::make_shared<stAclEntry>(*entry));
    }
    return out.empty() ? 1 : 0;
}

int AccessControlInfo::GetAclEntries(const AclPermission& permission, int& count,
                                     AclEntryList& entries) {
    entries.clear();
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    const List* list = SelectList(permission);
    if (list == nullptr) {
        ZEL_LOGW(ZEL_CORE_ACL, "unkown acl_permission");
        return 1;
    }
    const int result = CopyEntries(*list, entries, [](const stAclEntry&) { return true; });
    count = static_cast<int>(entries.size());
    return result;
}

int AccessControlInfo::GetAclEntryByMAC(const AclPermission& permission, const std::string& mac,
                                        const std::string& /*userAgent*/, AclEntryList& entries) {
    entries.clear();
    return OnList(permission, [&](List& list) {
        const stAclEntry* entry = list.Find(mac);  // a MAC stands once in a list
        if (entry == nullptr)
            return 1;
        entries.push_back(boost::make_shared<stAclEntry>(*entry));
        return 0;
    });
}

int AccessControlInfo::GetAclEntryByIP(const AclPermission& permission, const std::string& ip,
                                       AclEntryList& entries) {
    entries.clear();
    return OnList(permission, [&](List& list) {
        return CopyEntries(list, entries,
                           [&ip](const stAclEntry& entry) { return entry.ip_address == ip; });
    });
}

int AccessControlInfo::UpdateAclEntryByMAC(const AclPermission& permission, const std::string& mac,
                                           const std::string& /*userAgent*/,
                                           const stAclEntry& values) {
    return OnList(permission, [&](List& list) {
        stAclEntry* entry = list.Find(mac);
        if (entry == nullptr)
            return 1;
        entry->ip_address = values.ip_address;
        list.Rename(*entry, values.device_name);
        // Stored all the same, reported as a failure.
        return entry->ip_address.empty() || entry->device_name.empty() ? 1 : 0;
    });
}

int AccessControlInfo::GetPermittedCPInfo(const std::string& ip, const std::string& /*unused*/,
                                          std::string& mac, std::string& deviceName) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    for (const auto& entry : permitted_list_.entries()) {
        if (entry->ip_address == ip) {
            mac = entry->mac_address;
            deviceName = entry->device_name;
            return 0;
        }
    }
    ZEL_LOGW(ZEL_CORE_ACL, "Entry not found in permitted list!!!");
    return 1;
}

int AccessControlInfo::GetAclMode(AclPermitMode& mode) const {
    const int stored = mode_.load();
    if (stored < 0 || stored > kHighestMode) {
        ZEL_LOGW(ZEL_CORE_ACL, "invalid acl mode!");
        return 1;
    }
    mode = static_cast<AclPermitMode>(stored);
    return 0;
}

int AccessControlInfo::SetAclMode(const AclPermitMode& mode) {
    if (mode < 0 || mode > kHighestMode)
        return 1;
    mode_.store(mode);
    return 0;
}

int AccessControlInfo::SetAclFilter(const std::string& pattern, const int& keepPattern,
                                    const std::string& terminators) {
    if (pattern.empty() || terminators.empty())
        return 1;
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    for (const auto& rule : filter_list_) {
        if (rule->pattern == pattern && rule->terminators == terminators)
            return 0;
    }
    boost::shared_ptr<stDevNameFilter> rule = boost::make_shared<stDevNameFilter>();
    rule->pattern = pattern;
    rule->keep_pattern = keepPattern;
    rule->terminators = terminators;
    filter_list_.push_back(rule);
    return 0;
}

int AccessControlInfo::GetDeviceFilterList(DevNameFilterList& filters) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    if (filter_list_.empty())
        return 1;
    filters = filter_list_;
    return 0;
}

int AccessControlInfo::RemoveAllDeviceFilterRules() {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    filter_list_.clear();
    return 0;
}

int AccessControlInfo::GetNewDeviceIndex(const std::string& mac, int& index) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    const stAclEntry* own = permitted_list_.Find(mac);
    int number = 0;
    if (own != nullptr && DefaultNameNumber(own->device_name, number)) {
        index = number;
        return 0;
    }
    // Past the own entry, every numbered entry is foreign.
    const int highestForeign = permitted_list_.HighestNumber();
    if (!free_device_indices_.empty()) {
        index = free_device_indices_.front();
        free_device_indices_.pop_front();
        return 0;
    }
    // The application may name an entry "Device 2147483647": there is no
    // number above it to hand out.
    const int32_t highest = std::max(device_index_counter_, highestForeign);
    if (highest == std::numeric_limits<int32_t>::max()) {
        ZEL_LOGW(ZEL_CORE_ACL, "no default-name number left");
        return 1;
    }
    if (device_index_counter_ < highestForeign) {
        // A foreign number raises only this result; the counter stays.
        index = highestForeign + 1;
    } else {
        index = ++device_index_counter_;
    }
    return 0;
}

}  // namespace cd_utils
}  // namespace zel_upnp
