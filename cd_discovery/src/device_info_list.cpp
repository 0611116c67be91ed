// The process-wide device list and its lookups.
#include "cd_discovery/src/device_info_list.h"

#include <new>

#include <boost/thread/lock_guard.hpp>

namespace zel_upnp {
namespace cd_discovery {

namespace {

// Guards the pointer to the list, not its content.
boost::mutex g_instance_mutex;
boost::shared_ptr<DeviceInfoList> g_instance;

template <typename Pred>
DeviceInfoPtr FindFirst(const std::vector<DeviceInfoPtr>& devices, Pred pred) {
    for (const DeviceInfoPtr& device : devices) {
        if (pred(*device))
            return device;
    }
    return DeviceInfoPtr();
}

}  // namespace

DeviceInfoPtr CopyDevice(const DeviceInfo& device) {
    DeviceInfoPtr copy(new DeviceInfo(device));
    for (DeviceInfoPtr& embedded : copy->embeddedDevices)
        embedded = CopyDevice(*embedded);
    return copy;
}

boost::shared_ptr<DeviceInfoList> DeviceInfoList::Instance() {
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    if (!g_instance)
        g_instance.reset(new (std::nothrow) DeviceInfoList());
    return g_instance;
}

boost::shared_ptr<DeviceInfoList> DeviceInfoList::Existing() {
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    return g_instance;
}

void DeviceInfoList::Destroy() {
    boost::shared_ptr<DeviceInfoList> dropped;
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    dropped.swap(g_instance);
}

DeviceInfoPtr DeviceInfoList::FindByUdn(const std::string& udn) const {
    if (udn.empty())
        return DeviceInfoPtr();
    return FindFirst(devices_, [&](const DeviceInfo& d) { return d.udn == udn; });
}

DeviceInfoPtr DeviceInfoList::FindByHandle(int handle) const {
    if (handle < 1)
        return DeviceInfoPtr();
    return FindFirst(devices_, [&](const DeviceInfo& d) { return d.handlerId == handle; });
}

DeviceInfoPtr DeviceInfoList::FindByAliveTimer(int timerId) const {
    if (timerId == 0)  // devices without a timer
        return DeviceInfoPtr();
    return FindFirst(devices_, [&](const DeviceInfo& d) { return d.aliveTimerId == timerId; });
}

DeviceInfoPtr DeviceInfoList::FindByDescriptionUrl(const std::string& url) const {
    return FindFirst(devices_, [&](const DeviceInfo& d) { return d.descriptionUrl == url; });
}

void DeviceInfoList::Append(const DeviceInfoPtr& device) {
    device->handlerId = ++last_handle_;
    devices_.push_back(device);
}

std::vector<DeviceInfoPtr> DeviceInfoList::Snapshot() {
    std::vector<DeviceInfoPtr> copies;
    boost::lock_guard<boost::mutex> lock(mutex_);
    copies.reserve(devices_.size());
    for (const DeviceInfoPtr& device : devices_)
        copies.push_back(CopyDevice(*device));
    return copies;
}

}  // namespace cd_discovery
}  // namespace zel_upnp
