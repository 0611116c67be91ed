#include "network_layer/src/servermanager.h"

#include <atomic>
#include <exception>
#include <new>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/utils.h>
#include "network_layer/src/multicast_server.h"
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/singleton.h"
#include "network_layer/src/tcp_server.h"
#include "network_layer/src/udp_server.h"
#include "utils/src/common/guard.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const char kAnyAddress[] = "INADDR_ANY";
const char kTemplateInterface[] = "empty";
const char kLoopbackAddress[] = "127.0.0.1";
const char kLoopbackInterface[] = "localhost";
const char kSsdpGroup[] = "239.255.255.250";

const char kTcpIoThreadName[] = "ZelTcpIo";
const char kUdpIoThreadName[] = "ZelUdpIo";
const char kMulticastIoThreadName[] = "ZelMcastIo";

// GetInstance reads the pointer without the lock.
boost::mutex g_instance_mutex;
std::atomic<ServerManager*> g_instance(nullptr);

boost::shared_ptr<IpInfo> MakeRecord(const std::string& address, int port, int requested_port,
                                     int server_type, const std::string& interface_name) {
    boost::shared_ptr<IpInfo> record = boost::make_shared<IpInfo>();
    record->ip_address = address;
    record->port = port;
    record->requested_port = requested_port;
    record->server_type = server_type;
    record->interface_name = interface_name;
    return record;
}

// The registry's hook. Runs on the thread that raised the event, with none
// of the registry's locks held.
void NicEventToServerManager(const std::string& interface_name, int event) {
    ServerManager* manager = ServerManager::GetInstance();
    if (manager != nullptr)
        manager->OnNetworkChanged(interface_name, event);
}

// The active selected interfaces, in the registry's order; false (logged)
// without a registry.
bool GetSelectedInterfaces(std::vector<NetInfo>& selected) {
    NetworkInterface* registry = NetworkInterface::GetInstance();
    if (registry == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Instance of network interface is null.");
        return false;
    }
    registry->GetActiveSelectedNetworkInterfaces(&selected);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Singleton
// ---------------------------------------------------------------------------

ServerManager* ServerManager::CreateInstance() {
    ServerManager* instance = CreateOnFirstUse(g_instance, g_instance_mutex, "ServerManager",
                                               [] { return new (std::nothrow) ServerManager(); });
    // Idempotent: the registry keeps one hook.
    if (instance != nullptr)
        NetworkInterface::SetNicEventHook(&NicEventToServerManager);
    return instance;
}

ServerManager* ServerManager::GetInstance() {
    return g_instance.load();
}

void ServerManager::DestroyInstance() {
    NetworkInterface::SetNicEventHook(NicEventHook());
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    ServerManager* instance = g_instance.exchange(nullptr);
    delete instance;
}

ServerManager::ServerManager()
    : tcp_work_(new boost::asio::io_service::work(tcp_io_service_)),
      udp_work_(new boost::asio::io_service::work(udp_io_service_)),
      multicast_work_(new boost::asio::io_service::work(multicast_io_service_)),
      threads_(new boost::thread_group()),
      udp_enabled_(false),
      multicast_enabled_(false),
      multicast_support_(true) {}

ServerManager::~ServerManager() {
    ZEL_LOGD(ZEL_CORE_NETWORK, "ServerManager Destructor");
    std::list<boost::shared_ptr<ServerNotify> > servers;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        servers.swap(servers_);
    }
    try {
        StopServerSockets(servers);
        servers.clear();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "boost exception raised: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "unknown excpetion raised");
    }
    tcp_work_.reset();
    udp_work_.reset();
    multicast_work_.reset();
    tcp_io_service_.stop();
    udp_io_service_.stop();
    multicast_io_service_.stop();
    threads_->join_all();
    // The io services go last (members), destroying the handlers they still
    // hold and with them the last references to stopped servers.
}

// ---------------------------------------------------------------------------
// Io threads
// ---------------------------------------------------------------------------

void ServerManager::StartPool(boost::asio::io_service& io_service, const char* base_name,
                              int count) {
    const std::string name = utils::PrepareThreadName(base_name);
    for (int index = 0; index < count; ++index) {
        boost::thread* thread =
            utils::StartThread(*threads_, utils::kLibraryThreadStackSize,
                               [&io_service] { utils::RunIoLoop(io_service, ZEL_CORE_NETWORK); });
        utils::SetNameOnThread(thread, name, index);
    }
}

int ServerManager::StartServerThreads(int tcp_threads, int udp_threads, int multicast_threads) {
    ZEL_LOGD(ZEL_CORE_NETWORK, "ServerManager::StartServerThreads");
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    // After StopServerThreads the services are stopped and unguarded; make
    // them runnable again.
    if (!tcp_work_) {
        tcp_io_service_.restart();
        tcp_work_.reset(new boost::asio::io_service::work(tcp_io_service_));
    }
    if (!udp_work_) {
        udp_io_service_.restart();
        udp_work_.reset(new boost::asio::io_service::work(udp_io_service_));
    }
    if (!multicast_work_) {
        multicast_io_service_.restart();
        multicast_work_.reset(new boost::asio::io_service::work(multicast_io_service_));
    }
    try {
        StartPool(tcp_io_service_, kTcpIoThreadName, tcp_threads);
        StartPool(udp_io_service_, kUdpIoThreadName, udp_threads);
        StartPool(multicast_io_service_, kMulticastIoThreadName, multicast_threads);
    } catch (const boost::thread_resource_error& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "thread_resource_error exception:[%s]", e.what());
        return NL_FAILURE;
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception in StartServerThreads");
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

void ServerManager::StopServerSockets(const std::list<boost::shared_ptr<ServerNotify> >& servers) {
    ZEL_LOGD(ZEL_CORE_NETWORK, "StopServerSockets");
    for (const auto& server : servers)
        server->Stop();
    ZEL_LOGD(ZEL_CORE_NETWORK, "StopServerSockets return");
}

void ServerManager::StopServerThreads() {
    ZEL_LOGD(ZEL_CORE_NETWORK, "ServerManager::StopServerThreads");
    std::unique_ptr<boost::thread_group> threads;
    {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        StopServerSockets(servers_);
        tcp_work_.reset();
        udp_work_.reset();
        multicast_work_.reset();
        tcp_io_service_.stop();
        udp_io_service_.stop();
        multicast_io_service_.stop();
        threads.swap(threads_);
        threads_.reset(new boost::thread_group());
    }
    // Joined without the lock: an io thread may be waiting for it in
    // GetConfiguredTcpPorts.
    if (threads)
        threads->join_all();
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    servers_.clear();
}

// ---------------------------------------------------------------------------
// Removal
// ---------------------------------------------------------------------------

void ServerManager::RemoveServersOnPortLocked(int port) {
    for (auto it = servers_.begin(); it != servers_.end();) {
        if ((*it)->GetPort() == port) {
            (*it)->Stop();
            it = servers_.erase(it);
        } else {
            ++it;
        }
    }
}

void ServerManager::RemoveByPortLocked(int port) {
    for (IpInfoList* records : {&ipv6_configured_, &configured_}) {
        for (auto it = records->begin(); it != records->end();) {
            if ((*it)->requested_port == port) {
                RemoveServersOnPortLocked((*it)->port);
                it = records->erase(it);
            } else {
                ++it;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Configuration. A configuration repeated, or retried after a failed step,
// adds no second template and no second server for a port (or group) on an
// interface address: only what is missing is started.
// ---------------------------------------------------------------------------

bool ServerManager::HasRecordLocked(int server_type, const std::string& address,
                                    int requested_port) {
    for (const auto& record : configured_) {
        if (record->server_type == server_type && record->ip_address == address &&
            record->requested_port == requested_port)
            return true;
    }
    return false;
}

void ServerManager::AddTemplateLocked(const std::string& address, int port, int server_type) {
    if (!HasRecordLocked(server_type, address, port))
        configured_.push_back(MakeRecord(address, port, port, server_type, kTemplateInterface));
}

int ServerManager::ConfigureTcpServer(const int& port, const bool& enable) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    if (!enable) {
        RemoveByPortLocked(port);
        return NL_SUCCESS;
    }
    std::vector<NetInfo> selected;
    if (!GetSelectedInterfaces(selected))
        return NL_FAILURE;
    AddTemplateLocked(kAnyAddress, port, SERVER_TYPE_TCP);
    for (const NetInfo& info : selected) {
        if (HasRecordLocked(SERVER_TYPE_TCP, info.ip_address, port))
            continue;
        boost::shared_ptr<TCPServer> server =
            boost::make_shared<TCPServer>(info.ip_address, info.interface_name, tcp_io_service_);
        int bound_port = port;
        if (server->Start(bound_port) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "ServerManager::ConfigureTcpServer failed");
            return NL_SERVER_START_FAILED;
        }
        configured_.push_back(
            MakeRecord(info.ip_address, bound_port, port, SERVER_TYPE_TCP, info.interface_name));
        servers_.push_back(server);
    }
    for (const NetInfo& info : selected)
        StartIpv6ServersLocked(info);
    return NL_SUCCESS;
}

int ServerManager::ConfigureUdpServer(const int& port, const bool& enable) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    udp_enabled_ = enable;
    if (!enable) {
        RemoveByPortLocked(port);
        return NL_SUCCESS;
    }
    std::vector<NetInfo> selected;
    if (!GetSelectedInterfaces(selected))
        return NL_FAILURE;
    AddTemplateLocked(kAnyAddress, port, SERVER_TYPE_UDP);
    for (const NetInfo& info : selected) {
        if (ConfigureUdpServerOnInterface(info.ip_address, port) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Configure Udp Server On Interface failed.");
            ZEL_LOGE(ZEL_CORE_NETWORK, "Configure Udp Server On Interface for IP Address %s ",
                     info.ip_address.c_str());
        }
    }
    return NL_SUCCESS;
}

int ServerManager::ConfigureUdpServerOnInterface(const std::string& address, int port) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    if (HasRecordLocked(SERVER_TYPE_UDP, address, port))
        return NL_SUCCESS;
    std::string interface_name;
    if (address == kLoopbackAddress) {
        interface_name = kLoopbackInterface;
    } else {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        NetInfo info;
        if (registry == nullptr || registry->GetNetworkInterfaceByIP(address, info) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Network Info Not found");
            return NL_NO_INTERFACE;
        }
        interface_name = info.interface_name;
    }
    boost::shared_ptr<UDPServer> server =
        boost::make_shared<UDPServer>(address, interface_name, port, udp_io_service_);
    int bound_port = port;
    if (multicast_support_) {
        if (server->Start(bound_port) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "ServerManager::ConfigureUDPServerOnInterface failed");
            return NL_SERVER_START_FAILED;
        }
    } else {
        ZEL_LOGI(ZEL_CORE_NETWORK, "Start of udp server blocked as multicasting is disabled");
    }
    configured_.push_back(MakeRecord(address, bound_port, port, SERVER_TYPE_UDP, interface_name));
    servers_.push_back(server);
    return NL_SUCCESS;
}

int ServerManager::ConfigureUPnPMulticastServer(const int& port, const bool& enable) {
    return ConfigureMulticastGroup(kSsdpGroup, port, enable);
}

int ServerManager::ConfigureMulticastServer(const std::string& group, const int& port,
                                            const bool& enable) {
    return ConfigureMulticastGroup(group, port, enable);
}

int ServerManager::ConfigureMulticastGroup(const std::string& group, const int& port,
                                           const bool& enable) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    multicast_enabled_ = enable;
    if (!enable) {
        // The templates stay: a later enable appends fresh ones.
        RemoveServersOnPortLocked(port);
        return NL_SUCCESS;
    }
    std::vector<NetInfo> selected;
    if (!GetSelectedInterfaces(selected))
        return NL_FAILURE;
    AddTemplateLocked(group, port, SERVER_TYPE_MULTICAST);
    for (const NetInfo& info : selected) {
        const int result = ConfigureMulticastServerOnInterface(info.ip_address, group, port);
        if (result != NL_SUCCESS) {
            if (result == NL_NO_INTERFACE)
                ZEL_LOGE(ZEL_CORE_NETWORK, "Configure Multicast Server On Interface failed");
            else
                ZEL_LOGE(ZEL_CORE_NETWORK, "Configure Multicast Server On Interface failed.");
            ZEL_LOGE(ZEL_CORE_NETWORK,
                     "Configure Multicast Server On Interface failed for IP Address %s",
                     info.ip_address.c_str());
        }
    }
    for (const NetInfo& info : selected)
        StartIpv6ServersLocked(info);
    return NL_SUCCESS;
}

int ServerManager::ConfigureMulticastServerOnInterface(const std::string& address,
                                                       const std::string& group, int port) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    for (const auto& running : servers_) {
        const auto multicast = boost::dynamic_pointer_cast<MulticastServer>(running);
        if (multicast && multicast->GetIpAddress() == address && multicast->GetGroup() == group)
            return NL_SUCCESS;
    }
    NetworkInterface* registry = NetworkInterface::GetInstance();
    NetInfo info;
    if (registry == nullptr || registry->GetNetworkInterfaceByIP(address, info) != NL_SUCCESS) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Network Info Not found");
        return NL_NO_INTERFACE;
    }
    boost::shared_ptr<MulticastServer> server =
        boost::make_shared<MulticastServer>(address, info, group, port, multicast_io_service_);
    if (multicast_support_) {
        int bound_port = port;
        if (server->Start(bound_port) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "ServerManager::ConfigureMulticastServerOnInterface failed");
            return NL_SERVER_START_FAILED;
        }
    } else {
        ZEL_LOGI(ZEL_CORE_NETWORK, "Start of multicast server blocked as multicasting is disabled");
    }
    servers_.push_back(server);
    return NL_SUCCESS;
}

int ServerManager::ConfigureMulticastSupport(bool enable) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    multicast_support_ = enable;
    ZEL_LOGI(ZEL_CORE_NETWORK, "%s udp servers!!!", enable ? "Enabling" : "Disabling");
    for (const auto& server : servers_) {
        if (!boost::dynamic_pointer_cast<DatagramServer>(server))
            continue;
        if (!enable) {
            server->Stop();
            continue;
        }
        const int previous_port = server->GetPort();
        int port = previous_port;
        if (server->Start(port) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Error in starting udp server !!!");
            continue;
        }
        // A unicast port may have been taken meanwhile; keep the record
        // truthful for the client side, which sends from it.
        for (const auto& record : configured_) {
            if (port != previous_port && record->server_type == SERVER_TYPE_UDP &&
                record->ip_address == server->GetIpAddress() && record->port == previous_port)
                record->port = port;
        }
    }
    return NL_SUCCESS;
}

// ---------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------

int ServerManager::GetConfiguredPorts(int server_type, IpInfoList& ports) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    bool found = false;
    for (const auto& record : configured_) {
        if (record->server_type == server_type && record->ip_address != kAnyAddress) {
            boost::shared_ptr<IpInfo> copy = boost::make_shared<IpInfo>(*record);
            copy->server_type = server_type;
            ports.push_back(copy);
            found = true;
        }
    }
    return found ? NL_SUCCESS : NL_FAILURE;
}

// An empty answer is normal operation, not a fault: no interface is up yet,
// or no unicast UDP port was configured (every SSDP send asks). A server that
// failed to start was reported where it failed, so these stay at debug level.
int ServerManager::GetConfiguredTcpPorts(IpInfoList& ports) {
    const int result = GetConfiguredPorts(SERVER_TYPE_TCP, ports);
    if (result != NL_SUCCESS)
        ZEL_LOGD(ZEL_CORE_NETWORK, "No configured TCP servers found!!!");
    return result;
}

int ServerManager::GetConfiguredUdpPorts(IpInfoList& ports) {
    const int result = GetConfiguredPorts(SERVER_TYPE_UDP, ports);
    if (result != NL_SUCCESS)
        ZEL_LOGD(ZEL_CORE_NETWORK, "No configured UDP servers found!!!");
    return result;
}

IpInfoList ServerManager::GetConfiguredList() {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    IpInfoList copies;
    for (const auto& record : configured_)
        copies.push_back(boost::make_shared<IpInfo>(*record));
    return copies;
}

std::list<boost::shared_ptr<ServerNotify> > ServerManager::GetServerList() {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    return servers_;
}

bool ServerManager::IsMulticastSupported() {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    return multicast_support_;
}

// ---------------------------------------------------------------------------
// NIC events
// ---------------------------------------------------------------------------

void ServerManager::StartServersOnInterface(const NetInfo& info) {
    // Snapshot: the loops below append records for the servers they start.
    const IpInfoList templates = configured_;
    for (const auto& record : templates) {
        if (record->ip_address != kAnyAddress || record->server_type != SERVER_TYPE_TCP ||
            HasRecordLocked(SERVER_TYPE_TCP, info.ip_address, record->requested_port))
            continue;
        boost::shared_ptr<TCPServer> server =
            boost::make_shared<TCPServer>(info.ip_address, info.interface_name, tcp_io_service_);
        int bound_port = record->port;
        if (server->Start(bound_port) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Not able to start TCP on interface.");
            ZEL_LOGE(ZEL_CORE_NETWORK, "Not able to start TCP on interface %s",
                     info.interface_name.c_str());
            continue;
        }
        configured_.push_back(MakeRecord(info.ip_address, bound_port, record->requested_port,
                                         SERVER_TYPE_TCP, info.interface_name));
        servers_.push_back(server);
    }
    for (const auto& record : templates) {
        if (!udp_enabled_)
            break;
        if (record->ip_address != kAnyAddress || record->server_type != SERVER_TYPE_UDP)
            continue;
        if (ConfigureUdpServerOnInterface(info.ip_address, record->requested_port) != NL_SUCCESS)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Configure Udp Server On Interface failed.");
    }
    for (const auto& record : templates) {
        if (!multicast_enabled_)
            break;
        if (record->server_type != SERVER_TYPE_MULTICAST)
            continue;
        // Rebuilt groups listen on the SSDP port, not on their configured one.
        if (ConfigureMulticastServerOnInterface(info.ip_address, record->ip_address, kSsdpPort) !=
            NL_SUCCESS)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Configure Multicast Server On Interface failed.");
    }
    StartIpv6ServersLocked(info);
}

void ServerManager::OnNetworkChanged(const std::string& interface_name, int event) {
    try {
        boost::lock_guard<boost::recursive_mutex> lock(mutex_);
        if (event == NIC_REMOVED) {
            ZEL_LOGI(ZEL_CORE_NETWORK, "ServerManager::OnNetworkChanged:NIC_REMOVED : [%s]",
                     interface_name.c_str());
            for (auto it = servers_.begin(); it != servers_.end();) {
                if ((*it)->GetInterfaceName() == interface_name) {
                    ZEL_LOGI(ZEL_CORE_NETWORK, "interface_name : %s", interface_name.c_str());
                    (*it)->Stop();
                    it = servers_.erase(it);
                } else {
                    ++it;
                }
            }
            for (auto it = configured_.begin(); it != configured_.end();) {
                if ((*it)->interface_name == interface_name)
                    it = configured_.erase(it);
                else
                    ++it;
            }
            StopIpv6ServersLocked(interface_name);
            return;
        }
        if (event == NIC_IPV6CHANGED) {
            OnIpv6ChangedLocked(interface_name);
            return;
        }
        if (event != NIC_ADDED && event != NIC_IPCHANGED)
            return;
        NetworkInterface* registry = NetworkInterface::GetInstance();
        NetInfo info;
        if (registry == nullptr ||
            registry->GetNetworkInterface(interface_name, info) != NL_SUCCESS) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Network Info Not found");
            return;
        }
        if (event == NIC_ADDED)
            ZEL_LOGI(ZEL_CORE_NETWORK, "ServerManager::OnNetworkChanged:NIC_ADDED : [%s][%s]",
                     interface_name.c_str(), info.ip_address.c_str());
        else
            ZEL_LOGI(ZEL_CORE_NETWORK, "ServerManager::OnNetworkChanged:NIC_IPCHANGED : [%s][%s]",
                     interface_name.c_str(), info.ip_address.c_str());
        StartServersOnInterface(info);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "exception in OnNetworkChanged: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception in OnNetworkChanged");
    }
}

int GetConfiguredUdpPorts(IpInfoList& ports) {
    try {
        ServerManager* manager = ServerManager::GetInstance();
        if (manager == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ServerManager is NULL!");
            return NL_FAILURE;
        }
        return manager->GetConfiguredUdpPorts(ports);
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception in GetConfiguredUdpPorts");
        return NL_FAILURE;
    }
}

}  // namespace network_layer
}  // namespace zel_upnp
