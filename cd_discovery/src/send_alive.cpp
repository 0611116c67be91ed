// SSDP alive bursts, and the notification-type walk both senders share.
#include <atomic>
#include <list>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/format.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "cd_discovery/src/ssdp_notify.h"
#include "network_layer/src/ipv6_address.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_discovery {

namespace {

// Pause between the two rounds of an alive burst.
const int kAliveRepeatDelayMs = 205;

const char kAliveTemplate[] =
    "NOTIFY * HTTP/1.1\r\nHOST: %s:%d\r\nCACHE-CONTROL: max-age=%d\r\nDATE: %s\r\n"
    "LOCATION: http://%s:%s/%s\r\nNT: %s\r\nNTS: ssdp:alive\r\n"
    "SERVER: NRV, UPnP/1.0, Varnesk UPnP SDK/1.0\r\nUSN: %s\r\n\r\n";

bool SendAlivePacket(const DeviceInfo& device, const std::string& nt, int maxAgeMs) {
    if (nt.empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Description Url is  Invalid");
        return false;
    }
    std::string date;
    utils::Generate_CurrentDate(date);
    const std::vector<std::string> groups = MulticastGroups(device);
    std::list<boost::shared_ptr<network_layer::IpInfo> > servers;
    network_layer::GetConfiguredTcpPorts(servers);
    const std::string usn = UsnFor(device.udn, nt);
    for (const boost::shared_ptr<network_layer::IpInfo>& server : servers) {
        for (const std::string& group : groups) {
            const std::string packet =
                (boost::format(kAliveTemplate) % group % kSsdpPort % (maxAgeMs / 1000) % date %
                 server->ip_address % server->port % device.descriptionUrl % nt % usn)
                    .str();
            ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "alive packet: %s", packet.c_str());
            ReportMulticastResult(network_layer::SendMulticastPacket(
                group, server->ip_address, packet, static_cast<int>(packet.size())));
        }
    }
    // The same announcement over IPv6, from each IPv6 server's address and
    // with it in LOCATION, on both IPv6 groups.
    servers.clear();
    network_layer::GetConfiguredIPv6TcpPorts(servers);
    for (const boost::shared_ptr<network_layer::IpInfo>& server : servers) {
        for (const char* group : kIpv6Groups) {
            const std::string packet =
                (boost::format(kAliveTemplate) % network_layer::UrlHost(group) % kSsdpPort %
                 (maxAgeMs / 1000) % date % network_layer::UrlHost(server->ip_address) %
                 server->port % device.descriptionUrl % nt % usn)
                    .str();
            ReportMulticastResult(network_layer::SendMulticastPacket(
                group, server->ip_address, packet, static_cast<int>(packet.size())));
        }
    }
    return true;
}

// The listed state, not the caller's copy: an embedded device stopped by its
// own UDN after the copy was taken (or between two rounds) is silent.
bool ListedActive(const std::string& udn) {
    boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
    if (!list)
        return false;
    boost::lock_guard<boost::mutex> lock(list->Mutex());
    DeviceInfoPtr device = list->FindByUdn(udn);
    return device && device->active;
}

// One round: root, then its embedded devices that are still active. True
// when any device went out.
bool AliveRound(const DeviceInfo& device, int maxAgeMs) {
    auto send_device = [&](const DeviceInfo& d, bool embedded) {
        return AnnounceDevice(d, embedded, "Alive", [&](const std::string& nt) {
            return SendAlivePacket(d, nt, maxAgeMs);
        });
    };
    bool any = send_device(device, false);
    boost::lock_guard<boost::mutex> lock(EmbeddedAliveMutex());
    for (const DeviceInfoPtr& embedded : device.embeddedDevices) {
        if (ListedActive(embedded->udn))
            any = send_device(*embedded, true) || any;
    }
    return any;
}

}  // namespace

boost::mutex& EmbeddedAliveMutex() {
    static boost::mutex mutex;
    return mutex;
}

std::vector<std::string> NotificationTypes(const DeviceInfo& device, bool embedded) {
    std::vector<std::string> types;
    if (!embedded)
        types.push_back(kRootDeviceNt);
    types.push_back(device.udn);
    types.push_back(device.deviceType);
    types.insert(types.end(), device.serviceTypes.begin(), device.serviceTypes.end());
    return types;
}

std::vector<std::string> MulticastGroups(const DeviceInfo& device) {
    std::vector<std::string> groups(1, kSsdpGroup);
    if (boost::starts_with(device.deviceType, kFileTransferServerType))
        groups.push_back(kFileTransferGroup);
    return groups;
}

std::string UsnFor(const std::string& udn, const std::string& nt) {
    return nt == udn ? udn : udn + "::" + nt;
}

void ReportMulticastResult(int result) {
    // The failure last logged at error level; shared by every sender thread.
    static std::atomic<int> g_last_failure(0);
    if (result == 0) {
        g_last_failure.store(0, std::memory_order_relaxed);
        return;
    }
    if (result != network_layer::NL_NO_INTERFACE &&
        g_last_failure.exchange(result, std::memory_order_relaxed) != result)
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SendMulticastPacket failed with error %d", result);
    else
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "SendMulticastPacket failed with error %d", result);
}

bool AnnounceDevice(const DeviceInfo& device, bool embedded, const char* packet_kind,
                    const std::function<bool(const std::string& nt)>& send) {
    const std::vector<std::string> types = NotificationTypes(device, embedded);
    for (size_t i = 0; i < types.size(); ++i) {
        if (send(types[i]))
            continue;
        // Which kind of type failed: the root type comes only for a root.
        const size_t kind = embedded ? i + 1 : i;
        if (kind == 0)
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "__SSDP%sPacket Failed . May be Interface is down",
                     packet_kind);
        else if (kind == 1)
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " __SSDP%sPacket Failed udn. May be Interface is down ",
                     packet_kind);
        else if (kind == 2)
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY,
                     "__SSDP%sPacket Failed device_type. May be Interface is down ", packet_kind);
        else
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY,
                     " __SSDP%sPacket Failed service_type. May be Interface is down ", packet_kind);
        return false;
    }
    return true;
}

int SendAlive(const DeviceInfo& device, int maxAgeMs) {
    bool any = AliveRound(device, maxAgeMs);
    boost::this_thread::sleep_for(boost::chrono::milliseconds(kAliveRepeatDelayMs));
    any = AliveRound(device, maxAgeMs) || any;
    return any ? 0 : 1;
}

}  // namespace cd_discovery
}  // namespace zel_upnp
