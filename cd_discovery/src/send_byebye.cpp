// SSDP bye-bye bursts.
#include <list>

#include <boost/format.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "cd_discovery/src/ssdp_notify.h"
#include "network_layer/src/ipv6_address.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_discovery {

namespace {

const char kByeByeTemplate[] =
    "NOTIFY * HTTP/1.1\r\nHOST: %s:%d\r\nDATE: %s\r\nNT: %s\r\nNTS: ssdp:byebye\r\n"
    "USN: %s\r\n\r\n";
const int kByeByePasses = 2;
const char kAllInterfaces[] = "0.0.0.0";

bool SendByeByePacket(const DeviceInfo& device, const std::string& nt,
                      const std::string& localAddress) {
    if (nt.empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Description Url is  Invalid");
        return false;
    }
    std::string date;
    utils::Generate_CurrentDate(date);
    const std::string usn = UsnFor(device.udn, nt);
    for (const std::string& group : MulticastGroups(device)) {
        const std::string packet =
            (boost::format(kByeByeTemplate) % group % kSsdpPort % date % nt % usn).str();
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "byebye packet: %s", packet.c_str());
        ReportMulticastResult(network_layer::SendMulticastPacket(group, localAddress, packet,
                                                                 static_cast<int>(packet.size())));
    }
    if (localAddress != kAllInterfaces)
        return true;
    std::list<boost::shared_ptr<network_layer::IpInfo> > servers;
    network_layer::GetConfiguredIPv6TcpPorts(servers);
    for (const boost::shared_ptr<network_layer::IpInfo>& server : servers) {
        for (const char* group : kIpv6Groups) {
            const std::string packet = (boost::format(kByeByeTemplate) %
                                        network_layer::UrlHost(group) % kSsdpPort % date % nt % usn)
                                           .str();
            ReportMulticastResult(network_layer::SendMulticastPacket(
                group, server->ip_address, packet, static_cast<int>(packet.size())));
        }
    }
    return true;
}

bool ByeByeDevice(const DeviceInfo& device, bool embedded, const std::string& localAddress) {
    return AnnounceDevice(device, embedded, "ByeBye", [&](const std::string& nt) {
        return SendByeByePacket(device, nt, localAddress);
    });
}

}  // namespace

int SendByeBye(const DeviceInfo& device, const std::string& localAddress) {
    int root_failures = 0;
    for (int pass = 1; pass <= kByeByePasses; ++pass) {
        for (const DeviceInfoPtr& embedded : device.embeddedDevices)
            ByeByeDevice(*embedded, true, localAddress);
        if (!ByeByeDevice(device, false, localAddress)) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SendByeBye is failed %d", pass);
            ++root_failures;
        }
    }
    return root_failures == kByeByePasses ? 1 : 0;
}

}  // namespace cd_discovery
}  // namespace zel_upnp
