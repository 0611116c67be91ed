// SSDP search answers: one unicast "200 OK" per matching notification type
// of every active device, from the address the search arrived on.
#include "cd_discovery/src/send_m_search_response.h"

#include <list>

#include <boost/format.hpp>

#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/network_layer.h>
#include "cd_discovery/src/device_info_list.h"
#include "cd_discovery/src/ssdp_notify.h"
#include "network_layer/src/ipv6_address.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_discovery {

namespace {

// Answers always announce this age, whatever the device advertises.
const int kSearchAnswerMaxAge = 1800;
const char kSearchAll[] = "ssdp:all";

const char kPlainTemplate[] =
    "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=%d\r\nDATE: %s\r\nEXT: \r\n"
    "LOCATION: http://%s:%d/%s\r\nSERVER: NRV, UPnP/1.0, Varnesk UPnP SDK/1.0\r\n"
    "ST: %s\r\nUSN: %s\r\nContent-Length: 0\r\n\r\n";
const char kWakeupTemplate[] =
    "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=%d\r\nDATE: %s\r\nEXT: \r\n"
    "LOCATION: http://%s:%d/%s\r\nSERVER: NRV, UPnP/1.0, Varnesk UPnP SDK/1.0\r\n"
    "ST: %s\r\nUSN: %s\r\nWAKEUP: MAC=%s;Timeout=%u\r\nContent-Length: 0\r\n\r\n";

struct SearchContext {
    std::string local_address;
    std::string sender_address;
    int sender_port;
};

// Sends the answer for st once per running TCP server on the receiving
// address. 0 when the server list cannot be had, else 1.
int SendMSearchResponsePacket(const SearchContext& search, const std::string& st,
                              const DeviceInfo& device, unsigned wakeupTimeout) {
    // A search heard over IPv6 is answered with the IPv6 servers only, and
    // one heard over IPv4 with the IPv4 ones.
    const bool ipv6 = network_layer::IsIpv6Literal(search.local_address);
    std::list<boost::shared_ptr<network_layer::IpInfo> > servers;
    if ((ipv6 ? network_layer::GetConfiguredIPv6TcpPorts(servers)
              : network_layer::GetConfiguredTcpPorts(servers)) != 0)
        return 0;
    const std::string host = network_layer::UrlHost(search.local_address);
    std::string date;
    utils::Generate_CurrentDate(date);
    // The typed template is the plain one with "udn::st" as USN.
    const std::string usn = UsnFor(device.udn, st);
    for (const boost::shared_ptr<network_layer::IpInfo>& server : servers) {
        if (server->ip_address != search.local_address)
            continue;
        std::string packet;
        network_layer::NetInfo info;
        if (st != device.udn) {
            ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Search Target[%s] from [%s:%d]\n", st.c_str(),
                     search.sender_address.c_str(), search.sender_port);
        }
        if (st != device.udn && st == kWakeupServiceType && wakeupTimeout != 0 &&
            network_layer::GetNetworkInterfaceByIP(search.local_address, info) == 0) {
            ZEL_LOGD(ZEL_CORE_CDDISCOVERY,
                     "Updating response with mac_address For IPAddress [%s] \t\t\t\t\t\t\tmac "
                     "[%s] and timeout [%d]!!!",
                     search.local_address.c_str(), info.mac_address.c_str(), wakeupTimeout);
            packet =
                (boost::format(kWakeupTemplate) % kSearchAnswerMaxAge % date % host % server->port %
                 device.descriptionUrl % st % usn % info.mac_address % wakeupTimeout)
                    .str();
        } else {
            packet = (boost::format(kPlainTemplate) % kSearchAnswerMaxAge % date % host %
                      server->port % device.descriptionUrl % st % usn)
                         .str();
        }
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "msearch response packet: %s", packet.c_str());
        const int result = network_layer::SendUDPPacket(search.sender_address, search.sender_port,
                                                        packet, static_cast<int>(packet.size()));
        if (result != 0)
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SendUDPPacket failed with code [%d]!!!", result);
    }
    return 1;
}

// The answers of one device. 1 when every answer was built, 0 on the first
// failure.
int MSearchResponse(const SearchContext& search, const std::string& st, const DeviceInfo& device) {
    for (const SearchAnswer& answer : SearchAnswers(st, device)) {
        if (SendMSearchResponsePacket(search, answer.first, device, answer.second) != 1)
            return 0;
    }
    return 1;
}

}  // namespace

std::vector<SearchAnswer> SearchAnswers(const std::string& st, const DeviceInfo& device) {
    std::vector<SearchAnswer> answers;
    if (st == kSearchAll) {
        // Every active device answers upnp:rootdevice here, embedded ones too.
        for (const std::string& type : NotificationTypes(device, false))
            answers.emplace_back(type, 0);
    } else if (st == kRootDeviceNt || st == device.udn || st == device.deviceType) {
        answers.emplace_back(st, 0);
    } else {
        for (const std::string& type : device.serviceTypes) {
            if (type == st) {
                answers.emplace_back(st, device.wakeupTimeout);
                break;
            }
        }
    }
    return answers;
}

int SendMsearchResponse(const boost::shared_ptr<utils::HTTPInfo>& request) {
    SearchContext search;
    search.sender_address = request->GetClientIpAddress();
    search.local_address = request->GetMyIpAddress();
    if (search.sender_address == search.local_address ||
        search.sender_address.find("127.0.0.") != std::string::npos) {
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Local Device Discovery is disabled");
        return CD_SUCCESS;
    }
    std::string mask;
    if (!network_layer::IsSameSubnet(search.local_address, search.sender_address, mask)) {
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY,
                 "Packet received from different subnet , dropping.. my ip %s end point ip %s ",
                 search.local_address.c_str(), search.sender_address.c_str());
        return CD_SUCCESS;
    }
    search.sender_port = request->GetClientPort();
    std::string st;
    request->GetHeaderValue("ST", st);
    if (st.empty() || search.sender_address.empty() || search.sender_port < 1) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Search Target ST  creation failed");
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "target: %s, ip: %s, port: %d", st.c_str(),
                 search.sender_address.c_str(), search.sender_port);
        return CD_FAILURE;
    }
    boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
    const std::vector<DeviceInfoPtr> devices =
        list ? list->Snapshot() : std::vector<DeviceInfoPtr>();
    int result = CD_BYEBYE_FAILED;
    for (const DeviceInfoPtr& device : devices) {
        if (!device->active) {
            ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "description cannot be sent for %s!",
                     device->friendlyName.c_str());
            continue;
        }
        if (MSearchResponse(search, st, *device) == 1) {
            ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "__MSearchResponse send for %s!",
                     device->friendlyName.c_str());
            result = CD_SUCCESS;
        } else {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "__MSearchResponse failed for %s!",
                     device->friendlyName.c_str());
            result = CD_BYEBYE_FAILED;
        }
    }
    return result;
}

}  // namespace cd_discovery
}  // namespace zel_upnp
