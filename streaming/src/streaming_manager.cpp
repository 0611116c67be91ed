#include "streaming/src/streaming_manager.h"

#include <exception>
#include <new>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/locks.hpp>

#include "streaming/src/streaming_outgoing_session.h"
#include "streaming/src/streaming_outgoing_sync_session.h"
#include "streaming/src/streaming_server.h"
#include "streaming/src/streaming_utils.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace streaming {

const char StreamingManager::kAllInterfaces[] = "ALL_INTERFACES";
constexpr int StreamingManager::kStreamingThreads;

namespace {

// The instance and its reference count, under g_instance_mutex.
boost::mutex g_instance_mutex;
std::shared_ptr<StreamingManager> g_instance;
int g_reference_count = 0;

void RunIoService(boost::asio::io_service& io_service) {
    for (;;) {
        try {
            io_service.run();
            return;
        } catch (const std::exception& e) {
            // A handler threw: log it and keep the thread serving.
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", e.what());
        }
    }
}

stServer* NewServerRecord(const TCPServer& server) {
    stServer* record = new (std::nothrow) stServer();
    if (record == nullptr)
        return nullptr;
    record->server_id = server.ServerId();
    record->port = server.Port();
    record->ip_address = MallocString(server.IpAddress());
    record->interface_name = MallocString(server.InterfaceName());
    if (record->ip_address == nullptr || record->interface_name == nullptr) {
        delete record;
        return nullptr;
    }
    return record;
}

void AppendServerRecord(stServer** list, stServer* record) {
    while (*list != nullptr)
        list = &(*list)->next;
    *list = record;
}

}  // namespace

StreamingManager::StreamingManager()
    : started_(false),
      closing_(false),
      listener_id_(-1),
      next_server_id_(kFirstServerId),
      next_profile_id_(kFirstProfileId),
      next_client_id_(kClientIdRestart) {}

StreamingManager::~StreamingManager() {
    ZEL_LOGD(ZEL_CORE_STREAMING, "StreamingManager::DestroyInstance Ref Count [%d]", 0);
    // A call that held the manager past its termination may have added a
    // server or client after StopAll: they go with it.
    StopStreamingThreads();
    StopAll();
}

std::shared_ptr<StreamingManager> StreamingManager::Instance() {
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    return g_instance;
}

std::shared_ptr<StreamingManager> StreamingManager::GetInstance() {
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    return CreateLocked();
}

std::shared_ptr<StreamingManager> StreamingManager::CreateLocked() {
    if (g_instance != nullptr)
        return g_instance;
    try {
        g_instance.reset(new StreamingManager());
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", e.what());
        return nullptr;
    }
    if (network_layer::RegisterNetworkEventListener(g_instance.get(), g_instance->listener_id_) !=
        0)
        ZEL_LOGD(ZEL_CORE_STREAMING, "Register Network Event Listener failed.");
    return g_instance;
}

int StreamingManager::AddReference() {
    // One lock across creation and counting: a termination in between
    // would leave a count without a manager.
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    if (CreateLocked() == nullptr) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Streaming manager initialization failed.");
        return STREAMING_INIT_FAILED;
    }
    ++g_reference_count;
    return STREAMING_SUCCESS;
}

int StreamingManager::DeleteReference() {
    std::shared_ptr<StreamingManager> manager;
    {
        boost::lock_guard<boost::mutex> lock(g_instance_mutex);
        if (g_instance == nullptr) {
            ZEL_LOGW(ZEL_CORE_STREAMING, "Streaming manager termination failed.");
            return STREAMING_TERMINATE_FAILED;
        }
        if (g_reference_count <= 1 && g_instance->OnPoolThread()) {
            // The last reference cannot go from a callback: the pool it runs
            // on is joined and the manager deleted under it.
            ZEL_LOGE(ZEL_CORE_STREAMING, "Streaming manager termination failed.");
            return STREAMING_TERMINATE_FAILED;
        }
        if (--g_reference_count > 0) {
            ZEL_LOGD(ZEL_CORE_STREAMING, "StreamingManager::DeleteReference Ref Count [%d]",
                     g_reference_count);
            return STREAMING_SUCCESS;
        }
        // From here on no API call finds the manager; calls already under
        // way hold it until they return.
        manager.swap(g_instance);
    }
    {
        boost::lock_guard<boost::mutex> start(manager->start_lock_);
        manager->closing_ = true;
    }
    // Waits out a network event in flight on another thread; from inside
    // one (a status callback on "ZelNetIf") that event holds the manager.
    if (manager->listener_id_ >= 0)
        network_layer::UnRegisterEventListener(manager->listener_id_);
    ZEL_LOGI(ZEL_CORE_STREAMING, "Stopping streaming threads");
    manager->StopStreamingThreads();
    manager->StopAll();
    return STREAMING_SUCCESS;
}

bool StreamingManager::Closing() {
    boost::lock_guard<boost::mutex> start(start_lock_);
    return closing_;
}

int StreamingManager::EnsureThreads() {
    boost::lock_guard<boost::mutex> start(start_lock_);
    if (closing_)
        return STREAMING_THREADS_FAILED;
    {
        boost::shared_lock<boost::shared_mutex> lock(pool_lock_);
        if (started_)
            return STREAMING_SUCCESS;
    }
    if (StartStreamingThreads(kStreamingThreads) != STREAMING_SUCCESS) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Configure Server Threads failed.");
        return STREAMING_THREADS_FAILED;
    }
    ZEL_LOGI(ZEL_CORE_STREAMING, "Streaming threads initialized");
    return STREAMING_SUCCESS;
}

int StreamingManager::StartStreamingThreads(int count) {
    ZEL_LOGW(ZEL_CORE_STREAMING, "StreamingManager::StartStreamingThreads");
    boost::unique_lock<boost::shared_mutex> lock(pool_lock_);
    try {
        io_service_.reset();
        work_.reset(new boost::asio::io_service::work(io_service_));
        threads_.reset(new boost::thread_group());
        const std::string name = utils::PrepareThreadName("ZelStrmIo");
        for (int index = 0; index < count; ++index) {
            boost::thread* thread = threads_->create_thread([this] { RunIoService(io_service_); });
            utils::SetNameOnThread(thread, name, index);
        }
        started_ = true;
        return STREAMING_SUCCESS;
    } catch (const boost::thread_resource_error& e) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "thread_resource_error exception:[%s]", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Unknown Exception in StartStreamingThreads");
    }
    // The threads that did start end with the io service.
    work_.reset();
    io_service_.stop();
    if (threads_)
        threads_->join_all();
    threads_.reset();
    return STREAMING_THREADS_FAILED;
}

bool StreamingManager::OnPoolThread() {
    boost::shared_lock<boost::shared_mutex> lock(pool_lock_);
    return threads_ && threads_->is_this_thread_in();
}

void StreamingManager::StopStreamingThreads() {
    std::unique_ptr<boost::thread_group> threads;
    {
        boost::unique_lock<boost::shared_mutex> lock(pool_lock_);
        if (!started_)
            return;
        work_.reset();
        io_service_.stop();
        threads.swap(threads_);
        started_ = false;
    }
    // A pool thread cannot join itself; it ends with the io service.
    if (threads->is_this_thread_in())
        return;
    threads->join_all();
}

void StreamingManager::StopAll() {
    std::list<configuration_server_info> profiles;
    {
        boost::lock_guard<boost::mutex> lock(profile_mutex_);
        profiles.swap(profiles_);
    }
    for (configuration_server_info& profile : profiles) {
        for (const boost::shared_ptr<TCPServer>& server : profile.servers)
            server->Stop();
    }
    std::map<int, boost::shared_ptr<OutgoingSession> > clients;
    {
        boost::lock_guard<boost::mutex> lock(client_mutex_);
        clients.swap(clients_);
    }
    for (auto& client : clients)
        client.second->CloseConnection();
    std::map<int, boost::shared_ptr<OutgoingSyncSession> > sync_clients;
    {
        boost::lock_guard<boost::mutex> lock(sync_client_mutex_);
        sync_clients.swap(sync_clients_);
    }
    for (auto& client : sync_clients)
        client.second->Close();
}

int StreamingManager::ConfigureServer(const ServerAppCallbacks& callbacks,
                                      const network_layer::NetInfo& nic, int port,
                                      boost::shared_ptr<TCPServer>& server) {
    // Held across the start so that server ids follow the order of
    // successful starts with no gaps.
    boost::lock_guard<boost::mutex> start(server_start_mutex_);
    int server_id = 0;
    {
        boost::lock_guard<boost::mutex> lock(profile_mutex_);
        server_id = next_server_id_;
    }
    try {
        server = boost::make_shared<TCPServer>(callbacks, nic.ip_address, nic, port, io_service_,
                                               server_id);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", e.what());
        return STREAMING_NO_MEMORY;
    }
    int bound = 0;
    const int rc = server->Start(bound);
    if (rc != STREAMING_SUCCESS) {
        server.reset();
        return rc;
    }
    boost::lock_guard<boost::mutex> lock(profile_mutex_);
    ++next_server_id_;
    return STREAMING_SUCCESS;
}

int StreamingManager::StartServers(const ServerAppCallbacks& callbacks, const char* ip_address,
                                   int port, stServer** servers, int* profile_id) {
    if (EnsureThreads() != STREAMING_SUCCESS)
        return STREAMING_THREADS_FAILED;
    if (ip_address == nullptr) {
        int id = 0;
        {
            boost::lock_guard<boost::mutex> lock(profile_mutex_);
            id = next_profile_id_++;
            configuration_server_info profile;
            profile.profile_id = id;
            profile.interface_name = kAllInterfaces;
            profile.callbacks = callbacks;
            profiles_.push_back(profile);
            profile_ports_[id] = port;
        }
        *profile_id = id;
        std::vector<network_layer::NetInfo> nics;
        network_layer::GetActiveSelectedNetworkInterfaces(&nics);
        for (const network_layer::NetInfo& nic : nics) {
            boost::shared_ptr<TCPServer> server;
            if (ConfigureServer(callbacks, nic, port, server) != STREAMING_SUCCESS)
                continue;
            boost::lock_guard<boost::mutex> lock(profile_mutex_);
            for (configuration_server_info& profile : profiles_) {
                if (profile.profile_id == id)
                    profile.servers.push_back(server);
            }
            AppendServerRecord(servers, NewServerRecord(*server));
        }
        return STREAMING_SUCCESS;
    }
    ZEL_LOGD(ZEL_CORE_STREAMING, "Got request to start on interface %s", ip_address);
    network_layer::NetInfo nic;
    if (network_layer::GetNetworkInterfaceByIP(ip_address, nic) != 0) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Network Info Not found for interface %s", ip_address);
        return STREAMING_NO_INTERFACE;
    }
    boost::shared_ptr<TCPServer> server;
    const int rc = ConfigureServer(callbacks, nic, port, server);
    if (rc != STREAMING_SUCCESS)
        return rc;
    stServer* record = NewServerRecord(*server);
    if (record == nullptr) {
        server->Stop();
        return STREAMING_NO_MEMORY;
    }
    {
        boost::lock_guard<boost::mutex> lock(profile_mutex_);
        configuration_server_info profile;
        profile.profile_id = next_profile_id_++;
        profile.interface_name = nic.interface_name;
        profile.callbacks = callbacks;
        profile.servers.push_back(server);
        profiles_.push_back(profile);
        *profile_id = profile.profile_id;
    }
    ZEL_LOGD(ZEL_CORE_STREAMING, "Server started on interface %s @759", nic.interface_name.c_str());
    AppendServerRecord(servers, record);
    return STREAMING_SUCCESS;
}

boost::shared_ptr<TCPServer> StreamingManager::FindServer(int server_id) {
    boost::lock_guard<boost::mutex> lock(profile_mutex_);
    for (const configuration_server_info& profile : profiles_) {
        for (const boost::shared_ptr<TCPServer>& server : profile.servers) {
            if (server->ServerId() == server_id)
                return server;
        }
    }
    return boost::shared_ptr<TCPServer>();
}

stServer* StreamingManager::GetConfiguredServers(int server_id) {
    boost::shared_ptr<TCPServer> server = FindServer(server_id);
    return server ? NewServerRecord(*server) : nullptr;
}

int StreamingManager::GetStreamingServerPort(int profile_id, const std::string& ip_address,
                                             int* port) {
    boost::lock_guard<boost::mutex> lock(profile_mutex_);
    for (const configuration_server_info& profile : profiles_) {
        if (profile.profile_id != profile_id)
            continue;
        for (const boost::shared_ptr<TCPServer>& server : profile.servers) {
            if (server->IpAddress() == ip_address) {
                *port = server->Port();
                return STREAMING_SUCCESS;
            }
        }
    }
    return STREAMING_NO_SERVER;
}

int StreamingManager::StopServers(int profile_id) {
    std::list<boost::shared_ptr<TCPServer> > servers;
    {
        boost::lock_guard<boost::mutex> lock(profile_mutex_);
        auto it = profiles_.begin();
        while (it != profiles_.end() && it->profile_id != profile_id)
            ++it;
        if (it == profiles_.end())
            return STREAMING_NO_SERVER;
        servers.swap(it->servers);
        profiles_.erase(it);
        profile_ports_.erase(profile_id);
    }
    for (const boost::shared_ptr<TCPServer>& server : servers)
        server->Stop();
    return STREAMING_SUCCESS;
}

int StreamingManager::StopServerTransfer(int server_id, int session_id) {
    boost::shared_ptr<TCPServer> server = FindServer(server_id);
    if (!server) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Server %d not found.", server_id);
        return STREAMING_NO_SERVER;
    }
    return server->StopSession(session_id);
}

int StreamingManager::SendHTTPResponse(int server_id, int session_id, const ResHeaderInfo* head,
                                       bool last) {
    boost::shared_ptr<TCPServer> server = FindServer(server_id);
    if (!server) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Server %d not found.", server_id);
        return STREAMING_NO_SERVER;
    }
    return server->SendResponse(session_id, head, last);
}

int StreamingManager::SendHTTPPayload(int server_id, int session_id, void* data,
                                      unsigned int length, bool last) {
    if (server_id == CLIENT_HANDLER_ID) {
        boost::shared_ptr<OutgoingSession> client;
        {
            boost::lock_guard<boost::mutex> lock(client_mutex_);
            auto it = clients_.find(session_id);
            if (it != clients_.end())
                client = it->second;
        }
        if (!client) {
            ZEL_LOGD(ZEL_CORE_STREAMING, "Session id %d not found.", session_id);
            return STREAMING_NO_SESSION;
        }
        return client->SendPayload(data, length, last);
    }
    boost::shared_ptr<TCPServer> server = FindServer(server_id);
    if (!server) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Server not found with profile id %d.", server_id);
        return STREAMING_NO_SERVER;
    }
    return server->SendPayload(session_id, data, length, last);
}

int StreamingManager::SendHTTPFilePayload(int server_id, int session_id, int fd, int64_t offset,
                                          unsigned int length, bool last) {
    boost::shared_ptr<TCPServer> server = FindServer(server_id);
    if (!server) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Server not found with profile id %d.", server_id);
        return STREAMING_NO_SERVER;
    }
    return server->SendFilePayload(session_id, fd, offset, length, last);
}

void StreamingManager::ConfigureAllInterfaceProfiles(const network_layer::NetInfo& nic) {
    struct Wanted {
        int profile_id;
        int port;
        ServerAppCallbacks callbacks;
    };
    std::vector<Wanted> wanted;
    {
        boost::lock_guard<boost::mutex> lock(profile_mutex_);
        for (const configuration_server_info& profile : profiles_) {
            if (profile.interface_name != kAllInterfaces)
                continue;
            bool present = false;
            for (const boost::shared_ptr<TCPServer>& server : profile.servers)
                present = present || server->InterfaceName() == nic.interface_name;
            if (!present)
                wanted.push_back(
                    {profile.profile_id, profile_ports_[profile.profile_id], profile.callbacks});
        }
    }
    for (const Wanted& want : wanted) {
        // A status callback may have terminated the streaming manager.
        if (Closing())
            return;
        boost::shared_ptr<TCPServer> server;
        if (ConfigureServer(want.callbacks, nic, want.port, server) != STREAMING_SUCCESS)
            continue;
        bool kept = false;
        {
            boost::lock_guard<boost::mutex> lock(profile_mutex_);
            for (configuration_server_info& profile : profiles_) {
                if (profile.profile_id == want.profile_id) {
                    profile.servers.push_back(server);
                    kept = true;
                }
            }
        }
        if (!kept) {
            // The profile was stopped meanwhile.
            server->Stop();
            continue;
        }
        want.callbacks.on_status(server->ServerId(), 0, STATUS_SERVER_STARTED);
    }
}

void StreamingManager::StopServersOnInterface(const std::string& interface_name) {
    struct Stopped {
        boost::shared_ptr<TCPServer> server;
        ServerAppCallbacks callbacks;
    };
    std::vector<Stopped> stopped;
    {
        boost::lock_guard<boost::mutex> lock(profile_mutex_);
        for (configuration_server_info& profile : profiles_) {
            for (auto it = profile.servers.begin(); it != profile.servers.end();) {
                if ((*it)->InterfaceName() == interface_name) {
                    stopped.push_back({*it, profile.callbacks});
                    it = profile.servers.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    for (const Stopped& entry : stopped) {
        // After a termination from a status callback the servers still go,
        // but the application hears no more of them.
        if (!Closing()) {
            ZEL_LOGI(ZEL_CORE_STREAMING, "Sending Network Notification to profile");
            entry.callbacks.on_status(entry.server->ServerId(), 0, STATUS_SERVER_STOPPED);
        }
        // Each open session ends with on_status 4, so that the application
        // releases what it holds for it.
        entry.server->Stop(!Closing());
    }
}

void StreamingManager::OnNetworkChanged(const std::string& interfaceName, int event) {
    ZEL_LOGD(ZEL_CORE_STREAMING, "NW event arrived for interface name %s", interfaceName.c_str());
    // Held to the end: a status callback may terminate the manager.
    const std::shared_ptr<StreamingManager> self = weak_from_this().lock();
    if (!self)
        return;
    try {
        if (event == network_layer::NIC_REMOVED) {
            StopServersOnInterface(interfaceName);
            return;
        }
        if (event != network_layer::NIC_ADDED && event != network_layer::NIC_IPCHANGED)
            return;
        network_layer::NetInfo nic;
        if (network_layer::GetNetworkInterface(interfaceName, nic) != 0) {
            ZEL_LOGW(ZEL_CORE_STREAMING, "Network Info Not found for interface %s",
                     interfaceName.c_str());
            return;
        }
        // A server on the old address of the interface cannot be reached any
        // more.
        if (event == network_layer::NIC_IPCHANGED)
            StopServersOnInterface(interfaceName);
        bool started = false;
        {
            boost::shared_lock<boost::shared_mutex> lock(pool_lock_);
            started = started_;
        }
        // Not under the pool lock: the callbacks may terminate the manager.
        if (started)
            ConfigureAllInterfaceProfiles(nic);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", e.what());
    }
}

int StreamingManager::NextClientId() {
    // Ids still in use after the counter wrapped are skipped.
    for (int tries = 0; tries < kClientIdLimit; ++tries) {
        const int id = next_client_id_;
        if (++next_client_id_ >= kClientIdLimit)
            next_client_id_ = kClientIdRestart;
        if (clients_.count(id) == 0 && sync_clients_.count(id) == 0)
            return id;
    }
    return -1;
}

int StreamingManager::StartClient(const ClientAppCallbacks& callbacks, const std::string& address,
                                  int port, int* client_id) {
    if (EnsureThreads() != STREAMING_SUCCESS)
        return STREAMING_THREADS_FAILED;
    boost::shared_ptr<OutgoingSession> session;
    int id = -1;
    {
        boost::lock_guard<boost::mutex> lock(client_mutex_);
        boost::lock_guard<boost::mutex> sync_lock(sync_client_mutex_);
        id = NextClientId();
        if (id < 0)
            return STREAMING_NO_MEMORY;
        try {
            session =
                boost::make_shared<OutgoingSession>(io_service_, shared_from_this(), callbacks, id);
        } catch (const std::exception& e) {
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", e.what());
            return STREAMING_NO_MEMORY;
        }
        clients_[id] = session;
    }
    const int rc = session->Connect(address, port);
    if (rc != STREAMING_SUCCESS) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Unable to connect to the server %s", address.c_str());
        RemoveClient(id);
        return rc;
    }
    *client_id = id;
    return STREAMING_SUCCESS;
}

int StreamingManager::SendHTTPRequest(int client_id, const ReqHeaderInfo* head) {
    boost::shared_ptr<OutgoingSession> session;
    {
        boost::lock_guard<boost::mutex> lock(client_mutex_);
        auto it = clients_.find(client_id);
        if (it != clients_.end())
            session = it->second;
    }
    if (!session) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Session not found for client id %d.", client_id);
        return STREAMING_NO_SESSION;
    }
    return session->SendRequest(head);
}

int StreamingManager::ClientSessionCompleted(int client_id) {
    ZEL_LOGD(ZEL_CORE_STREAMING, "ClientSessionCompleted client id [%d]", client_id);
    boost::shared_ptr<OutgoingSession> session;
    {
        boost::lock_guard<boost::mutex> lock(client_mutex_);
        auto it = clients_.find(client_id);
        if (it != clients_.end()) {
            session = it->second;
            clients_.erase(it);
        }
    }
    boost::shared_ptr<OutgoingSyncSession> sync_session;
    if (!session) {
        boost::lock_guard<boost::mutex> lock(sync_client_mutex_);
        auto it = sync_clients_.find(client_id);
        if (it != sync_clients_.end()) {
            sync_session = it->second;
            sync_clients_.erase(it);
        }
    }
    if (session)
        session->CloseConnection();
    else if (sync_session)
        sync_session->Close();
    else
        ZEL_LOGD(ZEL_CORE_STREAMING, "No client found!!");
    return STREAMING_SUCCESS;
}

void StreamingManager::RemoveClient(int client_id) {
    boost::shared_ptr<OutgoingSession> session;  // released after the lock
    boost::lock_guard<boost::mutex> lock(client_mutex_);
    auto it = clients_.find(client_id);
    if (it != clients_.end()) {
        session = it->second;
        clients_.erase(it);
    }
}

int StreamingManager::StartSyncClient(int* client_id) {
    if (EnsureThreads() != STREAMING_SUCCESS)
        return STREAMING_THREADS_FAILED;
    boost::lock_guard<boost::mutex> lock(client_mutex_);
    boost::lock_guard<boost::mutex> sync_lock(sync_client_mutex_);
    const int id = NextClientId();
    if (id < 0)
        return STREAMING_NO_MEMORY;
    try {
        sync_clients_[id] = boost::make_shared<OutgoingSyncSession>(io_service_, id);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", e.what());
        return STREAMING_NO_MEMORY;
    }
    *client_id = id;
    return STREAMING_SUCCESS;
}

boost::shared_ptr<OutgoingSyncSession> StreamingManager::FindSyncClient(int client_id) {
    boost::lock_guard<boost::mutex> lock(sync_client_mutex_);
    auto it = sync_clients_.find(client_id);
    return it != sync_clients_.end() ? it->second : boost::shared_ptr<OutgoingSyncSession>();
}

}  // namespace streaming
}  // namespace zel_upnp
