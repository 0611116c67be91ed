// The exported calls of the discovery family, the device lifecycle (start,
// stop, periodic alive, re-announcement on interface events) and the
// family's process-wide manager.
//
// Threads: application threads (the exported calls), "ZelTimer" (alive
// timers, run with the timer's lock held) and "ZelNetIf" (interface events)
// meet here. The device list's mutex is held only for lookups and field
// changes; bursts are sent on copies after it is released, and the timer
// service is never called with it held.
#include <zel_upnp/cd_discovery.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "cd_discovery/src/cd_discovery_manager.h"
#include "cd_discovery/src/description_request_listener.h"
#include "cd_discovery/src/device_description_parser.h"
#include "cd_discovery/src/device_info_list.h"
#include "cd_discovery/src/discovery_request_listener.h"
#include "cd_discovery/src/send_description.h"
#include "cd_discovery/src/ssdp_notify.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/string/header_text.h"

namespace zel_upnp {
namespace cd_discovery {

const char kAnnounceAddress[] = "0.0.0.0";

namespace {

// Delay of the first alive after a start or an interface event.
const int kFirstAliveDelayMs = 200;
// The alive timer is re-armed at this share of the max-age.
const double kAliveRearmShare = 0.4;
const char kUserAgentPrefix[] = "DLNADOC/1.50 QTN_HHP_";
const char kUserAgentSuffix[] = "/1.0 UPnP/1.0";
const char kUserAgentMark[] = "QTN_HHP";
const char kUnnamedUserAgent[] = "DLNADOC/1.50 QTN_HHP_Varnesk Device/1.0 UPnP/1.0";

struct CDDiscoveryManager {
    int udp_listener_id = -1;
    int event_listener_id = -1;
    std::string announce_address;
    boost::shared_ptr<DiscoveryRequestListener> discovery_listener;
    CDNetworkStateListener network_listener;
};

boost::mutex g_manager_mutex;
std::unique_ptr<CDDiscoveryManager> g_manager;
// Set while StartDevice runs: a pending alive timer waits rather than
// advertising a device whose start is being set up.
std::atomic<bool> g_start_in_progress(false);
// Serialises StartDevice, StopDevice and SetFriendlyName, so that a rename's
// alive burst can never follow a stop's bye-bye. Held while sending. Only
// application threads take it: StopDevice waits for a running alive timer
// callback (Timer::Cancel) with it held, so the timer and interface-event
// threads must never wait for it.
boost::mutex g_lifecycle_mutex;

template <typename Fn>
int Guarded(int fallback, Fn fn) {
    try {
        return fn();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Unknown Exception");
    }
    return fallback;
}

void* MaxAgeData(int maxAgeMs) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(maxAgeMs));
}

int MaxAgeOf(void* data) {
    return static_cast<int>(reinterpret_cast<intptr_t>(data));
}

int RearmDelayMs(int maxAgeMs) {
    return static_cast<int>(maxAgeMs * kAliveRearmShare);
}

std::string UserAgentFor(const std::string& friendlyName) {
    if (friendlyName.empty())
        return kUnnamedUserAgent;
    return kUserAgentPrefix + friendlyName + kUserAgentSuffix;
}

// A copy of the listed device that matches, taken under the list's mutex;
// null when there is no list or no such device.
template <typename Find>
DeviceInfoPtr CopyOf(Find find) {
    boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
    if (!list)
        return DeviceInfoPtr();
    boost::lock_guard<boost::mutex> lock(list->Mutex());
    DeviceInfoPtr device = find(*list);
    return device ? CopyDevice(*device) : DeviceInfoPtr();
}

// Changes the listed device that matches under the list's mutex; false
// when there is none.
template <typename Find, typename Change>
bool Update(Find find, Change change) {
    boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
    if (!list)
        return false;
    boost::lock_guard<boost::mutex> lock(list->Mutex());
    DeviceInfoPtr device = find(*list);
    if (!device)
        return false;
    change(*device);
    return true;
}

// Every listed device served from folder serves text from now on: the
// documents it shares with its root and embedded devices are replaced for
// all of them at once.
void ReplaceDescription(const std::string& folder, const std::string& text) {
    boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
    if (!list)
        return;
    boost::lock_guard<boost::mutex> lock(list->Mutex());
    std::map<DeviceDocumentsPtr, DeviceDocumentsPtr> replaced;
    for (const DeviceInfoPtr& device : list->Devices()) {
        if (device->descriptionFolder != folder)
            continue;
        DeviceDocumentsPtr& successor = replaced[device->documents];
        if (!successor)
            successor = WithDescription(device->documents, text);
        device->documents = successor;
    }
}

auto ByHandle(int handle) {
    return [handle](DeviceInfoList& list) { return list.FindByHandle(handle); };
}
auto ByUdn(const std::string& udn) {
    return [udn](DeviceInfoList& list) { return list.FindByUdn(udn); };
}

// Starts an alive timer and stores its id in the device find names,
// cancelling the timer it replaces, so that a device never has two. A device
// stopped meanwhile gets no timer: only StartDevice brings a stopped device
// back. False when the device is gone.
template <typename Find>
bool ArmAliveTimer(int delayMs, int maxAgeMs, Find find) {
    const int id = utils::Timer::Start(delayMs, AliveTimerCallback, MaxAgeData(maxAgeMs));
    int unused = id;  // cancelled once the list's mutex is released
    const bool listed = Update(find, [&](DeviceInfo& d) {
        if (!d.active)
            return;
        unused = d.aliveTimerId;
        d.aliveTimerId = id;
    });
    if (!listed)
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "device_info_pointer is null");
    else if (unused == id)
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "device stopped, alive timer %d not kept", id);
    if (unused != 0)
        utils::Timer::Cancel(unused, nullptr);
    return listed;
}

void PrepareForListing(DeviceInfo& device, bool embedded) {
    device.userAgent = UserAgentFor(device.friendlyName);
    if (device.maxAgeMs == 0)
        device.maxAgeMs = kDefaultMaxAgeMs;
    device.embedded = embedded;
    if (embedded) {
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Emb fnme=[%s]", device.friendlyName.c_str());
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Emb max_age=[%d]", device.maxAgeMs);
    }
}

void UnregisterPaths(const std::vector<int>& ids) {
    for (int id : ids)
        network_layer::UnRegisterRequestListener(id);
}

// Registers the HTTP paths of the root and its direct embedded devices;
// on a failure the ones already registered are withdrawn.
bool RegisterAllPaths(DeviceInfo& root) {
    std::vector<int> done;
    if (RegisterDevicePaths(root, root.tcpListenerId) != 0) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "RegisterTCPListener() failed");
        return false;
    }
    done.push_back(root.tcpListenerId);
    for (DeviceInfoPtr& embedded : root.embeddedDevices) {
        if (RegisterDevicePaths(*embedded, embedded->tcpListenerId) != 0) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "RegisterTCPListener() failed for Emb device");
            UnregisterPaths(done);
            return false;
        }
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Emb tcp_callback_id:[%d]", embedded->tcpListenerId);
        done.push_back(embedded->tcpListenerId);
    }
    return true;
}

std::string AnnounceAddress() {
    boost::lock_guard<boost::mutex> lock(g_manager_mutex);
    return g_manager ? g_manager->announce_address : std::string(kAnnounceAddress);
}

void ByeByeALiveAll(const std::string& address) {
    boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
    if (!list)
        return;
    for (const DeviceInfoPtr& device : list->Snapshot()) {
        if (device->aliveTimerId != 0)
            utils::Timer::Cancel(device->aliveTimerId, nullptr);
        const int result = SendByeBye(*device, address);
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SendByeBye error %d", result);
        // A stopped or not yet started device stays silent. Embedded devices
        // go out in their root's bursts: a timer of their own would outlive
        // the root's stop. Only one started by its own UDN keeps its timer.
        if (device->active && (!device->embedded || device->aliveTimerId != 0))
            ArmAliveTimer(kFirstAliveDelayMs, device->maxAgeMs, ByHandle(device->handlerId));
    }
}

int ByeByeAll() {
    boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
    if (!list)
        return CD_SUCCESS;
    int result = CD_SUCCESS;
    const std::string address = AnnounceAddress();
    for (const DeviceInfoPtr& device : list->Snapshot()) {
        network_layer::UnRegisterRequestListener(device->tcpListenerId);
        if (device->aliveTimerId != 0)
            utils::Timer::Cancel(device->aliveTimerId, nullptr);
        // After the first failure the walk only withdraws paths and timers.
        if (result == CD_SUCCESS) {
            const int sent = SendByeBye(*device, address);
            if (sent != 0) {
                ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " SendByeBye error !!!!!!! %d", sent);
                result = CD_BYEBYE_FAILED;
            }
        }
    }
    return result;
}

}  // namespace

void CDNetworkStateListener::OnNetworkChanged(const std::string& interfaceName, int event) {
    if (event != network_layer::NIC_ADDED && event != network_layer::NIC_IPCHANGED)
        return;
    Guarded(0, [&] {
        network_layer::NetInfo info;
        if (network_layer::GetNetworkInterface(interfaceName, info) == 0)
            ByeByeALiveAll(info.ip_address);
        return 0;
    });
}

void AliveTimerCallback(int timerId, void* userData) {
    Guarded(0, [&] {
        const int maxAgeMs = MaxAgeOf(userData);
        auto holder = [timerId](DeviceInfoList& list) { return list.FindByAliveTimer(timerId); };
        if (g_start_in_progress) {
            // Tried again shortly, so that a start elsewhere never ends this
            // device's advertisement.
            ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "device starting in progress, return!");
            ArmAliveTimer(kFirstAliveDelayMs, maxAgeMs, holder);
            return 0;
        }
        DeviceInfoPtr device = CopyOf(holder);
        // An interface event arms a timer for every listed device, started
        // or not, and a stop or unregistration may beat a timer already
        // firing: an inactive or vanished device is normal here.
        if (!device || !device->active) {
            ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "device_info is null");
            return 0;
        }
        SendAlive(*device, maxAgeMs);
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "AliverTimerCallback Timer %d", timerId);
        ArmAliveTimer(g_start_in_progress ? kFirstAliveDelayMs : RearmDelayMs(maxAgeMs), maxAgeMs,
                      holder);
        return 0;
    });
}

// ---------------------------------------------------------------------------
// Exported calls
// ---------------------------------------------------------------------------

int Initialize() {
    return Guarded(CD_FAILURE, [] {
        boost::lock_guard<boost::mutex> lock(g_manager_mutex);
        if (!g_manager)
            g_manager.reset(new CDDiscoveryManager());
        CDDiscoveryManager& manager = *g_manager;
        manager.announce_address = kAnnounceAddress;
        int result = CD_SUCCESS;
        if (manager.udp_listener_id < 0) {
            manager.discovery_listener.reset(new DiscoveryRequestListener());
            if (network_layer::RegisterUDPRequestListener(
                    std::vector<std::string>(1, kMSearchPattern), manager.discovery_listener,
                    manager.udp_listener_id) != 0) {
                ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "RegisterUDPRequestListener failed");
                result = CD_FAILURE;
            }
        }
        if (manager.event_listener_id < 0 &&
            network_layer::RegisterNetworkEventListener(&manager.network_listener,
                                                        manager.event_listener_id) != 0) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "RegisterNetworkEventListener failed");
            result = CD_FAILURE;
        }
        return result;
    });
}

int Terminate() {
    return Guarded(CD_FAILURE, [] {
        const int result = ByeByeAll();
        std::unique_ptr<CDDiscoveryManager> manager;
        {
            boost::lock_guard<boost::mutex> lock(g_manager_mutex);
            manager.swap(g_manager);
        }
        if (manager) {
            if (manager->udp_listener_id >= 0)
                network_layer::UnRegisterRequestListener(manager->udp_listener_id);
            // Returns only once no event delivery can reach the listener,
            // which dies with the manager.
            if (manager->event_listener_id >= 0)
                network_layer::UnRegisterEventListener(manager->event_listener_id);
        }
        DeviceInfoList::Destroy();
        DescriptionRequestListener::Destroy();
        return result;
    });
}

int RegisterDevice(const std::string& folder, const std::string& descriptionUrl,
                   RegisteredDeviceInfo& out) {
    return Guarded(CD_FAILURE, [&] {
        if (folder.empty() || descriptionUrl.empty()) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "file path or description urlis null!");
            return static_cast<int>(CD_INVALID);
        }
        // Taken before any path is registered, so that a list that cannot
        // be allocated leaves nothing behind.
        boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Instance();
        if (!list)
            return static_cast<int>(CD_FAILURE);
        DeviceInfoPtr root(new DeviceInfo());
        if (ParseDescription(folder, descriptionUrl, *root) != CD_SUCCESS)
            return static_cast<int>(CD_INVALID);
        PrepareForListing(*root, false);
        for (DeviceInfoPtr& embedded : root->embeddedDevices)
            PrepareForListing(*embedded, true);
        if (!RegisterAllPaths(*root))
            return static_cast<int>(CD_INVALID);

        // Paths of devices already listed under the same UDN: withdrawn, so
        // that a second registration adds nothing. Room for every id and
        // entry is made first: a failed allocation then lists nothing and
        // withdraws every path.
        std::vector<int> ids(1, root->tcpListenerId);
        for (const DeviceInfoPtr& embedded : root->embeddedDevices)
            ids.push_back(embedded->tcpListenerId);
        std::vector<int> unused;
        unused.reserve(ids.size());
        try {
            boost::lock_guard<boost::mutex> lock(list->Mutex());
            list->Devices().reserve(list->Devices().size() + ids.size());
            // A device registered again serves its folder's files as they
            // are now.
            if (DeviceInfoPtr listed = list->FindByUdn(root->udn)) {
                listed->documents = root->documents;
                unused.push_back(root->tcpListenerId);
            } else {
                root->active = false;
                list->Append(root);
                out.handle = root->handlerId;
            }
            for (DeviceInfoPtr& embedded : root->embeddedDevices) {
                if (DeviceInfoPtr listed = list->FindByUdn(embedded->udn)) {
                    listed->documents = embedded->documents;
                    unused.push_back(embedded->tcpListenerId);
                } else {
                    embedded->active = true;
                    list->Append(embedded);
                }
            }
        } catch (const std::bad_alloc&) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "device list allocation failed");
            UnregisterPaths(ids);
            return static_cast<int>(CD_FAILURE);
        }
        out.udn = root->udn;
        UnregisterPaths(unused);
        return out.handle >= 1 ? static_cast<int>(CD_SUCCESS) : static_cast<int>(CD_FAILURE);
    });
}

int UnRegisterDevice(int handle) {
    return Guarded(CD_FAILURE, [&] {
        boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
        std::vector<DeviceInfoPtr> removed;
        if (list) {
            boost::lock_guard<boost::mutex> lock(list->Mutex());
            DeviceInfoPtr device = list->FindByHandle(handle);
            std::vector<DeviceInfoPtr>& devices = list->Devices();
            if (device) {
                removed.push_back(device);
                for (const DeviceInfoPtr& embedded : device->embeddedDevices) {
                    for (const DeviceInfoPtr& listed : devices) {
                        if (listed == embedded) {
                            ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Removing Emb device from list:[%s]",
                                     embedded->udn.c_str());
                            removed.push_back(embedded);
                        }
                    }
                }
                for (DeviceInfoPtr& gone : removed) {
                    devices.erase(std::remove(devices.begin(), devices.end(), gone), devices.end());
                    gone = CopyDevice(*gone);
                }
            }
        }
        if (removed.empty()) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "UnRegisterDevice device_info is null ");
            return static_cast<int>(CD_INVALID);
        }
        int result = CD_SUCCESS;
        for (size_t i = 0; i < removed.size(); ++i) {
            const int unregistered =
                network_layer::UnRegisterRequestListener(removed[i]->tcpListenerId);
            if (i == 0)
                result = unregistered;
            if (removed[i]->aliveTimerId != 0)
                utils::Timer::Cancel(removed[i]->aliveTimerId, nullptr);
        }
        return result;
    });
}

int StartDevice(const std::string& udn) {
    return Guarded(CD_FAILURE, [&] {
        ZEL_LOGI(ZEL_CORE_CDDISCOVERY, "StartDevice Called for UDN [%s]", udn.c_str());
        boost::lock_guard<boost::mutex> lifecycle(g_lifecycle_mutex);
        DeviceInfoPtr device;
        g_start_in_progress = true;
        Update(ByUdn(udn), [&](DeviceInfo& d) {
            d.active = true;
            for (DeviceInfoPtr& embedded : d.embeddedDevices)
                embedded->active = true;
            device = CopyDevice(d);
        });
        if (!device) {
            g_start_in_progress = false;
            return static_cast<int>(CD_FAILURE);
        }
        const int result = SendByeBye(*device, AnnounceAddress());
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY,
                 "SendByeBye Done, Alive will be sent after 200 msec timer expiry");
        if (device->aliveTimerId != 0) {
            ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "callback[%d] is still alive", device->aliveTimerId);
            utils::Timer::Cancel(device->aliveTimerId, nullptr);
        }
        ArmAliveTimer(kFirstAliveDelayMs, device->maxAgeMs, ByUdn(udn));
        g_start_in_progress = false;
        return result;
    });
}

int StopDevice(const std::string& udn) {
    return Guarded(CD_FAILURE, [&] {
        ZEL_LOGI(ZEL_CORE_CDDISCOVERY, "StopDevice Called for UDN [%s]", udn.c_str());
        boost::lock_guard<boost::mutex> lifecycle(g_lifecycle_mutex);
        DeviceInfoPtr device;
        // The root's embedded devices go silent with it (no search answers);
        // a timer that fires from now on finds no active device to announce.
        std::vector<int> timers;
        boost::unique_lock<boost::mutex> embedded_alive(EmbeddedAliveMutex());
        Update(ByUdn(udn), [&](DeviceInfo& d) {
            // Everything that allocates comes before the first change.
            device = CopyDevice(d);
            timers.reserve(1 + d.embeddedDevices.size());
            d.active = false;
            timers.push_back(d.aliveTimerId);
            d.aliveTimerId = 0;
            for (DeviceInfoPtr& embedded : d.embeddedDevices) {
                embedded->active = false;
                timers.push_back(embedded->aliveTimerId);
                embedded->aliveTimerId = 0;
            }
        });
        embedded_alive.unlock();
        if (!device) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "CancelTimer error for UDN [%s]", udn.c_str());
            return static_cast<int>(CD_FAILURE);
        }
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Cancel Timer called for UDN [%s]", udn.c_str());
        // Cancel waits for a callback under way, so its alive burst goes out
        // before the bye-bye below.
        for (int id : timers)
            utils::Timer::Cancel(id, nullptr);
        return SendByeBye(*device, AnnounceAddress()) != 0 ? static_cast<int>(CD_BYEBYE_FAILED)
                                                           : static_cast<int>(CD_SUCCESS);
    });
}

int SendAlive(int handle) {
    return Guarded(CD_FAILURE, [&] {
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Sending alive packets");
        DeviceInfoPtr device = CopyOf(ByHandle(handle));
        if (!device) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "AliveAll device_info is null");
            return static_cast<int>(CD_INVALID);
        }
        return SendAlive(*device, device->maxAgeMs);
    });
}

int SetFriendlyName(int handle, const std::string& friendlyName, const std::string& folder) {
    return Guarded(CD_FAILURE, [&] {
        // The name goes into the device's User-Agent header: refused before
        // anything is announced or rewritten.
        if (!utils::IsHeaderSafe(friendlyName)) {
            ZEL_LOGW(ZEL_CORE_CDDISCOVERY, "friendly name holds a CR, LF or NUL, refused");
            return static_cast<int>(CD_FAILURE);
        }
        boost::lock_guard<boost::mutex> lifecycle(g_lifecycle_mutex);
        DeviceInfoPtr device = CopyOf(ByHandle(handle));
        if (!device) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "  byebye device_info is null ");
            return static_cast<int>(CD_INVALID);
        }
        if (device->active) {
            if (device->aliveTimerId != 0)
                utils::Timer::Cancel(device->aliveTimerId, nullptr);
            if (SendByeBye(*device, AnnounceAddress()) != 0)
                ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SendByeBye failed!!!");
        }
        std::string text;
        const bool rewritten =
            ModifyDescriptionByFriendName(friendlyName, folder, text) == CD_SUCCESS;
        if (rewritten)
            ReplaceDescription(folder, text);
        DeviceInfoPtr renamed;
        Update(ByHandle(handle), [&](DeviceInfo& d) {
            if (rewritten) {
                d.friendlyName = friendlyName;
                if (d.userAgent.find(kUserAgentMark) != std::string::npos)
                    d.userAgent = kUserAgentPrefix + friendlyName + kUserAgentSuffix;
            }
            renamed = CopyDevice(d);
        });
        if (device->active) {
            if (SendAlive(renamed ? *renamed : *device, device->maxAgeMs) != 0)
                ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SendAlive failed");
            if (!ArmAliveTimer(RearmDelayMs(device->maxAgeMs), device->maxAgeMs, ByHandle(handle)))
                return static_cast<int>(CD_INVALID);
        }
        if (!renamed)
            return static_cast<int>(CD_INVALID);
        return rewritten ? static_cast<int>(CD_SUCCESS) : static_cast<int>(CD_FAILURE);
    });
}

int GetFriendlyName(int handle, std::string& friendlyName) {
    return Guarded(CD_FAILURE, [&] {
        DeviceInfoPtr device = CopyOf(ByHandle(handle));
        if (!device) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "GetFriendlyName device_info is null");
            return static_cast<int>(CD_INVALID);
        }
        friendlyName = device->friendlyName;
        return friendlyName.empty() ? static_cast<int>(CD_FAILURE) : static_cast<int>(CD_SUCCESS);
    });
}

int SetPortNumber(int handle, int port) {
    return Guarded(CD_FAILURE, [&] {
        if (Update(ByHandle(handle), [port](DeviceInfo& d) { d.portNumber = port; }))
            return static_cast<int>(CD_SUCCESS);
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "device_info is null for handler id [%d]", handle);
        return static_cast<int>(CD_FAILURE);
    });
}

int SetApplicationUrl(int handle, const std::string& scheme, int port, const std::string& path) {
    return Guarded(CD_FAILURE, [&] {
        // Both end up in the Application-URL header of description answers.
        if (!utils::IsHeaderSafe(scheme) || !utils::IsHeaderSafe(path)) {
            ZEL_LOGW(ZEL_CORE_CDDISCOVERY, "application URL holds a CR, LF or NUL, refused");
            return static_cast<int>(CD_FAILURE);
        }
        if (Update(ByHandle(handle), [&](DeviceInfo& d) {
                d.applicationUrlScheme = scheme;
                d.applicationUrlPort = port;
                d.applicationUrlPath = path;
            }))
            return static_cast<int>(CD_SUCCESS);
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SetUserAgent device_info is null for handler id [%d]",
                 handle);
        return static_cast<int>(CD_FAILURE);
    });
}

int SetWakeupTimeout(int handle, unsigned timeout) {
    return Guarded(CD_FAILURE, [&] {
        if (Update(ByHandle(handle), [timeout](DeviceInfo& d) { d.wakeupTimeout = timeout; }))
            return static_cast<int>(CD_SUCCESS);
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SetWakeupTimeout device_info is null for handler id [%d]",
                 handle);
        return static_cast<int>(CD_FAILURE);
    });
}

}  // namespace cd_discovery
}  // namespace zel_upnp
