// The IPv6 servers of the server manager. They live in the same server
// list as the IPv4 ones (so that stopping the pools, multicast support and
// removal by port or interface reach them), but their records are kept
// apart (ipv6_configured_), and every IPv4 path of the manager works on
// configured_ alone.
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "network_layer/src/ipv6_address.h"
#include "network_layer/src/multicast_server.h"
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/servermanager.h"
#include "network_layer/src/tcp_server.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const char kAnyAddress[] = "INADDR_ANY";
const char kSsdpGroup[] = "239.255.255.250";

bool IsIpv6Server(const boost::shared_ptr<ServerNotify>& server) {
    return IsIpv6Literal(server->GetIpAddress());
}

}  // namespace

bool ServerManager::HasIpv6RecordLocked(const std::string& address, int requested_port) {
    for (const auto& record : ipv6_configured_) {
        if (record->ip_address == address && record->requested_port == requested_port)
            return true;
    }
    return false;
}

int ServerManager::Ipv4PortOnInterfaceLocked(const std::string& interface_name,
                                             int requested_port) {
    for (const auto& record : configured_) {
        if (record->server_type == SERVER_TYPE_TCP && record->interface_name == interface_name &&
            record->requested_port == requested_port)
            return record->port;
    }
    return requested_port;
}

void ServerManager::StartIpv6ServersLocked(const NetInfo& info) {
    if (!Ipv6Enabled())
        return;
    const std::string address = Ipv6ServerAddress(info);
    if (address.empty())
        return;
    bool ssdp = false;
    // Snapshot: the loop appends records for the servers it starts.
    const IpInfoList templates = configured_;
    for (const auto& record : templates) {
        if (record->server_type == SERVER_TYPE_MULTICAST && record->ip_address == kSsdpGroup)
            ssdp = true;
        if (record->ip_address != kAnyAddress || record->server_type != SERVER_TYPE_TCP ||
            HasIpv6RecordLocked(address, record->requested_port))
            continue;
        boost::shared_ptr<TCPServer> server =
            boost::make_shared<TCPServer>(address, info.interface_name, tcp_io_service_);
        // The IPv4 server's port first, so that both families share one.
        int bound_port = Ipv4PortOnInterfaceLocked(info.interface_name, record->requested_port);
        if (server->Start(bound_port) != NL_SUCCESS) {
            ZEL_LOGW(ZEL_CORE_NETWORK, "no IPv6 TCP server on %s [%s]", info.interface_name.c_str(),
                     address.c_str());
            continue;
        }
        boost::shared_ptr<IpInfo> running = boost::make_shared<IpInfo>();
        running->ip_address = address;
        running->port = bound_port;
        running->requested_port = record->requested_port;
        running->server_type = SERVER_TYPE_TCP;
        running->interface_name = info.interface_name;
        ipv6_configured_.push_back(running);
        servers_.push_back(server);
    }
    if (!ssdp || !multicast_enabled_)
        return;
    for (const char* group : {kSsdpGroupLinkLocal, kSsdpGroupSiteLocal}) {
        bool running = false;
        for (const auto& existing : servers_) {
            const auto multicast = boost::dynamic_pointer_cast<MulticastServer>(existing);
            running = running || (multicast && multicast->GetIpAddress() == address &&
                                  multicast->GetGroup() == group);
        }
        if (running)
            continue;
        boost::shared_ptr<MulticastServer> server = boost::make_shared<MulticastServer>(
            address, info, group, kSsdpPort, multicast_io_service_);
        int port = kSsdpPort;
        if (multicast_support_ && server->Start(port) != NL_SUCCESS) {
            ZEL_LOGW(ZEL_CORE_NETWORK, "no IPv6 SSDP server for %s on %s", group,
                     info.interface_name.c_str());
            continue;
        }
        servers_.push_back(server);
    }
}

void ServerManager::StopIpv6ServersLocked(const std::string& interface_name) {
    for (auto it = servers_.begin(); it != servers_.end();) {
        if (IsIpv6Server(*it) &&
            (interface_name.empty() || (*it)->GetInterfaceName() == interface_name)) {
            (*it)->Stop();
            it = servers_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = ipv6_configured_.begin(); it != ipv6_configured_.end();) {
        if (interface_name.empty() || (*it)->interface_name == interface_name)
            it = ipv6_configured_.erase(it);
        else
            ++it;
    }
}

void ServerManager::OnIpv6ChangedLocked(const std::string& interface_name) {
    NetworkInterface* registry = NetworkInterface::GetInstance();
    NetInfo info;
    if (registry == nullptr || registry->GetNetworkInterface(interface_name, info) != NL_SUCCESS)
        return;
    const std::string address = Ipv6Enabled() ? Ipv6ServerAddress(info) : std::string();
    ZEL_LOGI(ZEL_CORE_NETWORK, "IPv6 of [%s] changed, serving on [%s]", interface_name.c_str(),
             address.c_str());
    // Servers on an address that stays are kept with their sessions.
    bool moved = false;
    for (const auto& server : servers_) {
        if (IsIpv6Server(server) && server->GetInterfaceName() == interface_name &&
            server->GetIpAddress() != address)
            moved = true;
    }
    if (moved)
        StopIpv6ServersLocked(interface_name);
    StartIpv6ServersLocked(info);
}

int ServerManager::GetConfiguredIpv6TcpPorts(IpInfoList& ports) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    for (const auto& record : ipv6_configured_)
        ports.push_back(boost::make_shared<IpInfo>(*record));
    return ipv6_configured_.empty() ? NL_FAILURE : NL_SUCCESS;
}

int ServerManager::SetIpv6Enabled(bool enable) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    StoreIpv6Enabled(enable);
    if (!enable) {
        StopIpv6ServersLocked(std::string());
        return NL_SUCCESS;
    }
    NetworkInterface* registry = NetworkInterface::GetInstance();
    if (registry == nullptr)
        return NL_SUCCESS;
    std::vector<NetInfo> selected;
    registry->GetActiveSelectedNetworkInterfaces(&selected);
    for (const NetInfo& info : selected)
        StartIpv6ServersLocked(info);
    return NL_SUCCESS;
}

}  // namespace network_layer
}  // namespace zel_upnp
