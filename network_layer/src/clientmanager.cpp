#include "network_layer/src/clientmanager.h"

#include <exception>
#include <new>
#include <vector>

#include <boost/chrono.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/datagram_sender.h"
#include "network_layer/src/singleton.h"
#include "utils/src/common/guard.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/string/header_text.h"
#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace network_layer {

namespace {

// The interface address that means "every active interface".
const char kAllInterfaces[] = "0.0.0.0";

// Creation and destruction of the instance; the pointer is also read without
// the mutex on the fast path of GetInstance.
boost::mutex g_instance_mutex;
std::atomic<ClientManager*> g_instance{nullptr};

// Timer callback of a blocking request, on "ZelTimer". The session is alive:
// the requesting thread holds it until Timer::Cancel has returned, and
// Cancel waits for a callback in progress.
void SyncRequestTimedOut(int /*timerId*/, void* userData) {
    ZEL_LOGE(ZEL_CORE_NETWORK, "sync request timed out!");
    static_cast<OutgoingSession*>(userData)->Stop();
}

}  // namespace

ClientManager* ClientManager::CreateInstance() {
    return CreateOnFirstUse(g_instance, g_instance_mutex, "ClientManager",
                            [] { return new (std::nothrow) ClientManager(); });
}

ClientManager* ClientManager::GetInstance() {
    return g_instance.load(std::memory_order_acquire);
}

void ClientManager::DestroyInstance() {
    ClientManager* instance = g_instance.load(std::memory_order_acquire);
    if (instance == nullptr)
        return;
    try {
        // Joined before taking the creation mutex: a handler still running
        // may call GetInstance.
        instance->StopClientThreads();
        boost::lock_guard<boost::mutex> lock(g_instance_mutex);
        instance = g_instance.exchange(nullptr, std::memory_order_acq_rel);
        delete instance;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "ClientManager::DestroyInstance:Exception: %s", e.what());
    }
}

ClientManager::ClientManager()
    : work_(new boost::asio::io_service::work(io_service_)),
      session_counter_(0),
      multicast_enabled_(true),
      response_timeout_ms_(kResponseTimeoutMs) {}

ClientManager::~ClientManager() {
    StopClientThreads();
    std::list<boost::shared_ptr<OutgoingSession> > sessions;
    {
        boost::lock_guard<boost::mutex> lock(list_mutex_);
        sessions.swap(sessions_);
    }
    for (const boost::shared_ptr<OutgoingSession>& session : sessions)
        session->Stop();
    sessions.clear();
    // Handlers still queued hold the last references to their sessions; the
    // io_service destroys them when it goes.
    work_.reset();
    ZEL_LOGI(ZEL_CORE_NETWORK, "ClientManager Destructor");
}

// ---------------------------------------------------------------------------
// Threads and settings.
// ---------------------------------------------------------------------------

int ClientManager::StartClientThreads(int count) {
    const SessionLimit limit = ComputeSessionLimit();
    SetSessionLimit(limit);
    ZEL_LOGI(ZEL_CORE_NETWORK, "ClientManager::StartClientThreads[%u][%u]", limit.limit,
             limit.batch);
    if (threads_)
        return NL_SUCCESS;
    try {
        // After a stop the service must be told that it may run again.
        if (io_service_.stopped())
            io_service_.restart();
        threads_.reset(new boost::thread_group);
        const std::string name = utils::PrepareThreadName("ZelCliIo");
        for (int index = 0; index < count; ++index) {
            boost::thread* thread =
                utils::StartThread(*threads_, utils::kLibraryThreadStackSize,
                                   [this] { utils::RunIoLoop(io_service_, ZEL_CORE_NETWORK); });
            utils::SetNameOnThread(thread, name, index);
        }
    } catch (const boost::thread_resource_error& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "thread_resource_error exception:[%s]", e.what());
        return NL_FAILURE;
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception in StartClientThreads");
        return NL_FAILURE;
    }
    return NL_SUCCESS;
}

void ClientManager::StopClientThreads() {
    ZEL_LOGI(ZEL_CORE_NETWORK, "ClientManager::StopClientThreads");
    io_service_.stop();
    if (threads_) {
        try {
            threads_->join_all();
        } catch (const std::exception& e) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "join failed: %s", e.what());
        }
        threads_.reset();
    }
}

void ClientManager::SetMulticastEnabled(bool enabled) {
    multicast_enabled_ = enabled;
}

bool ClientManager::IsMulticastEnabled() const {
    return multicast_enabled_;
}

void ClientManager::SetResponseTimeout(int timeoutMs) {
    response_timeout_ms_ = timeoutMs;
}

void ClientManager::SetSessionLimit(const SessionLimit& limit) {
    boost::lock_guard<boost::mutex> lock(list_mutex_);
    session_limit_ = limit;
}

SessionLimit ClientManager::GetSessionLimit() {
    boost::lock_guard<boost::mutex> lock(list_mutex_);
    return session_limit_;
}

std::size_t ClientManager::SessionCount() {
    boost::lock_guard<boost::mutex> lock(list_mutex_);
    return sessions_.size();
}

// ---------------------------------------------------------------------------
// The session list.
// ---------------------------------------------------------------------------

int ClientManager::NextSessionId() {
    boost::lock_guard<boost::mutex> lock(list_mutex_);
    return ++session_counter_;
}

boost::shared_ptr<OutgoingSession> ClientManager::CreateSession() {
    const int session_id = NextSessionId();
    ZEL_LOGD(ZEL_CORE_NETWORK, "session_id : %d", session_id);
    boost::shared_ptr<OutgoingSession> session;
    try {
        session.reset(new OutgoingSession(io_service_, this, session_id));
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "malloc failed! [%s]", e.what());
        session.reset();
    }
    return session;
}

boost::shared_ptr<OutgoingSession> ClientManager::TakeSession(int session_id) {
    boost::lock_guard<boost::mutex> lock(list_mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if ((*it)->GetSessionId() == session_id) {
            boost::shared_ptr<OutgoingSession> session = *it;
            sessions_.erase(it);
            return session;
        }
    }
    return boost::shared_ptr<OutgoingSession>();
}

void ClientManager::RemoveSession(const int& session_id) {
    boost::shared_ptr<OutgoingSession> session = TakeSession(session_id);
    if (session)
        session->Stop();
}

void ClientManager::HandleFailureCondition(const int& session_id) {
    ZEL_LOGE(ZEL_CORE_NETWORK, "Error Calling HandleFailureCondition");
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    if (dispatch != nullptr)
        dispatch->UnRegisterResponseListener(session_id);
    RemoveSession(session_id);
}

void ClientManager::OutgoingSessionDeleter() {
    std::vector<boost::shared_ptr<OutgoingSession> > victims;
    unsigned limit = 0;
    {
        boost::lock_guard<boost::mutex> lock(list_mutex_);
        limit = session_limit_.limit;
        if (sessions_.size() > kSessionWarnCount)
            ZEL_LOGW(ZEL_CORE_NETWORK, "current : %zu / limit : %u", sessions_.size(),
                     session_limit_.limit);
        victims = TakeExcessSessions(sessions_, session_limit_);
    }
    if (!victims.empty())
        ZEL_LOGW(ZEL_CORE_NETWORK, "too many outgoing session, delete : %zu / limit : %u",
                 victims.size(), limit);
    // The listener goes first, so that the read failure the stop provokes
    // reaches nobody.
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    for (const boost::shared_ptr<OutgoingSession>& session : victims) {
        if (dispatch != nullptr)
            dispatch->UnRegisterResponseListener(session->GetSessionId());
        session->Stop();
    }
}

// ---------------------------------------------------------------------------
// HTTP requests.
// ---------------------------------------------------------------------------

int ClientManager::SendTCPPacket(const std::string& ip, const int& port, const std::string& packet,
                                 const boost::shared_ptr<ResponseListener>& listener,
                                 int& sessionId) {
    if (!utils::IsHeadSafe(packet.data(), packet.size())) {
        ZEL_LOGW(ZEL_CORE_NETWORK, "request head with a bare CR, LF or a NUL refused");
        return NL_FAILURE;
    }
    boost::shared_ptr<OutgoingSession> session = CreateSession();
    if (!session) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "malloc failed!");
        return NL_SESSION_NOT_CREATED;
    }
    sessionId = session->GetSessionId();
    OutgoingSessionDeleter();
    {
        boost::lock_guard<boost::mutex> lock(list_mutex_);
        sessions_.push_back(session);
    }
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    if (dispatch == nullptr || dispatch->RegisterResponseListener(sessionId, listener) != 0) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Registration failed for packet\n%s", packet.c_str());
        RemoveSession(sessionId);
        return NL_FAILURE;
    }
    const int result = session->Start(ip, port, packet, response_timeout_ms_);
    if (result != NL_SUCCESS) {
        dispatch->UnRegisterResponseListener(sessionId);
        RemoveSession(sessionId);
        ZEL_LOGE(ZEL_CORE_NETWORK, "TCP Unicasting failed!");
        return result;
    }
    return NL_SUCCESS;
}

int ClientManager::CancelTCPPacket(const int& sessionId) {
    if (sessionId < 1)
        return NL_FAILURE;
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    if (dispatch != nullptr)
        dispatch->UnRegisterResponseListener(sessionId);
    boost::shared_ptr<OutgoingSession> session;
    {
        boost::lock_guard<boost::mutex> lock(list_mutex_);
        for (const boost::shared_ptr<OutgoingSession>& listed : sessions_) {
            if (listed->GetSessionId() == sessionId) {
                session = listed;
                break;
            }
        }
    }
    if (!session)
        return NL_FAILURE;
    // Stays listed: the failing operation the stop provokes removes it.
    session->Stop();
    return NL_SUCCESS;
}

int ClientManager::SendSyncTCPPacket(const std::string& ip, const int& port,
                                     const std::string& packet,
                                     boost::shared_ptr<utils::HTTPInfo>& response, int timeoutMs) {
    if (!utils::IsHeadSafe(packet.data(), packet.size())) {
        ZEL_LOGW(ZEL_CORE_NETWORK, "request head with a bare CR, LF or a NUL refused");
        return NL_FAILURE;
    }
    boost::shared_ptr<OutgoingSession> session = CreateSession();
    if (!session) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "malloc failed!");
        return NL_SESSION_NOT_CREATED;
    }
    const int session_id = session->GetSessionId();
    {
        boost::lock_guard<boost::mutex> lock(list_mutex_);
        sessions_.push_back(session);
    }
    const int timer_id = utils::Timer::Start(timeoutMs, &SyncRequestTimedOut, session.get());
    if (timer_id == 0) {
        // Without its time-out a silent peer would block the caller for good.
        ZEL_LOGE(ZEL_CORE_NETWORK, "sync request timer failed");
        RemoveSession(session_id);
        return NL_SESSION_NOT_CREATED;
    }
    const int result = session->SendSync(ip, port, packet, response);
    utils::Timer::Cancel(timer_id, nullptr);
    RemoveSession(session_id);
    return result;
}

int ClientManager::IsReachable(
    std::map<std::string, boost::shared_ptr<valid_address_info> >& addresses, int timeoutSeconds,
    boost::unique_lock<boost::mutex>& lock, boost::condition_variable& condition,
    bool& stopRequested) {
    // Probes are not listed: this call owns them from start to end.
    std::vector<boost::shared_ptr<OutgoingSession> > probes;
    probes.reserve(addresses.size());
    for (const auto& entry : addresses) {
        boost::shared_ptr<OutgoingSession> session = CreateSession();
        if (!session) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "memory allocation failed.");
            for (const boost::shared_ptr<OutgoingSession>& probe : probes)
                probe->Stop();
            return NL_SESSION_NOT_CREATED;
        }
        probes.push_back(session);
        if (!entry.second)
            continue;
        ZEL_LOGI(ZEL_CORE_NETWORK, "Initiating connection to udn:%s %s:%d", entry.first.c_str(),
                 entry.second->ip_address.c_str(), entry.second->port);
        session->StartProbe(entry.second->ip_address, entry.second->port);
    }
    const boost::chrono::steady_clock::time_point deadline =
        boost::chrono::steady_clock::now() + boost::chrono::seconds(timeoutSeconds);
    ZEL_LOGI(ZEL_CORE_NETWORK, "Sleeping for %d sec", timeoutSeconds);
    bool stopped = false;
    try {
        while (!stopRequested &&
               condition.wait_until(lock, deadline) == boost::cv_status::no_timeout) {
            if (stopRequested)
                break;
            // Waiting again rather than sleeping: the caller's lock stays
            // free for whoever wants to set stopRequested.
            ZEL_LOGD(ZEL_CORE_NETWORK, "Spurious wake up by system. sleep till timeout time");
        }
        stopped = stopRequested;
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "IsReachable wait failed: %s", e.what());
    }
    if (stopped) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "Stop requested for IsReachable check");
        for (const boost::shared_ptr<OutgoingSession>& probe : probes)
            probe->Stop();
        return NL_FAILURE;
    }
    std::size_t index = 0;
    for (auto& entry : addresses) {
        const boost::shared_ptr<OutgoingSession>& probe = probes[index++];
        if (entry.second)
            entry.second->reachable = probe->IsConnected();
        probe->Stop();
    }
    return NL_SUCCESS;
}

// ---------------------------------------------------------------------------
// Datagrams.
// ---------------------------------------------------------------------------

int ClientManager::SendUDPPacket(const std::string& ip, const int& port,
                                 const std::string& packet) {
    const int result = SendDatagram(io_service_, ip, port, packet, std::string());
    if (result != NL_SUCCESS)
        ZEL_LOGE(ZEL_CORE_NETWORK, "UDP Unicasting failed!");
    return result;
}

int ClientManager::SendMulticastFrom(const std::string& groupIp, const std::string& interfaceIp,
                                     const std::string& packet) {
    const int result = SendDatagram(io_service_, groupIp, kMulticastPort, packet, interfaceIp);
    if (result == NL_SUCCESS) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "sent mulicast packet to %s, interface addr %s", groupIp.c_str(),
                 interfaceIp.c_str());
    } else {
        ZEL_LOGW(ZEL_CORE_NETWORK, "Multicasting failed!");  // an interface going away mid-burst
    }
    return result;
}

int ClientManager::SendMulticastPacket(const std::string& groupIp, const std::string& interfaceIp,
                                       const std::string& packet) {
    if (!multicast_enabled_) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "Multicasting is disabled by application");
        return NL_FAILURE;
    }
    if (interfaceIp != kAllInterfaces)
        return SendMulticastFrom(groupIp, interfaceIp, packet);
    NetworkInterface* registry = NetworkInterface::GetInstance();
    if (registry == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "getInstance failed");
        return NL_NO_INTERFACE;
    }
    std::vector<NetInfo> interfaces;
    registry->GetActiveSelectedNetworkInterfaces(&interfaces);
    if (interfaces.empty()) {
        // Not a fault: no selected interface is up yet; the caller has 2008.
        ZEL_LOGD(ZEL_CORE_NETWORK, "no interface found");
        return NL_NO_INTERFACE;
    }
    // One copy per interface; a failure on one does not keep the others
    // from being served.
    int result = NL_SUCCESS;
    for (const NetInfo& info : interfaces) {
        const int sent = SendMulticastFrom(groupIp, info.ip_address, packet);
        if (sent != NL_SUCCESS)
            result = sent;
    }
    return result;
}

// ---------------------------------------------------------------------------
// The exported client functions.
// ---------------------------------------------------------------------------

int SendTCPHTTPPacket(const std::string& ip, const int& port, const std::string& packet,
                      const int& /*length*/, const boost::shared_ptr<ResponseListener>& listener,
                      int& sessionId) {
    ClientManager* client = ClientManager::GetInstance();
    if (client == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ClientManager is NULL!");
        return NL_FAILURE;
    }
    try {
        return client->SendTCPPacket(ip, port, packet, listener, sessionId);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "SendTCPHTTPPacket failed: %s", e.what());
    }
    return NL_FAILURE;
}

int CancelTCPHTTPPacket(const int& sessionId) {
    ClientManager* client = ClientManager::GetInstance();
    if (client == nullptr)
        return NL_FAILURE;
    try {
        return client->CancelTCPPacket(sessionId);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CancelTCPHTTPPacket failed: %s", e.what());
    }
    return NL_FAILURE;
}

int SendSyncTCPPacket(const std::string& ip, const int& port, const std::string& packet,
                      const int& /*length*/, boost::shared_ptr<utils::HTTPInfo>& response,
                      int timeoutMs) {
    ClientManager* client = ClientManager::GetInstance();
    if (client == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ClientManager is NULL!");
        return NL_FAILURE;
    }
    try {
        return client->SendSyncTCPPacket(ip, port, packet, response, timeoutMs);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "SendSyncTCPPacket failed: %s", e.what());
    }
    return NL_FAILURE;
}

int IsReachable(std::map<std::string, boost::shared_ptr<valid_address_info> >& addresses,
                int timeoutSeconds, boost::unique_lock<boost::mutex>& lock,
                boost::condition_variable& condition, bool& stopRequested) {
    ClientManager* client = ClientManager::GetInstance();
    if (client == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ClientManager is NULL!");
        return NL_FAILURE;
    }
    try {
        return client->IsReachable(addresses, timeoutSeconds, lock, condition, stopRequested);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "IsReachable failed: %s", e.what());
    }
    return NL_FAILURE;
}

int SendUDPPacket(const std::string& ip, const int& port, const std::string& packet,
                  const int& /*length*/) {
    ClientManager* client = ClientManager::GetInstance();
    if (client == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ClientManager is NULL!");
        return NL_FAILURE;
    }
    try {
        return client->SendUDPPacket(ip, port, packet);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "SendUDPPacket failed: %s", e.what());
    }
    return NL_FAILURE;
}

int SendMulticastPacket(const std::string& groupIp, const std::string& interfaceIp,
                        const std::string& packet, const int& /*length*/) {
    ClientManager* client = ClientManager::GetInstance();
    if (client == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ClientManager is NULL!");
        return NL_FAILURE;
    }
    try {
        return client->SendMulticastPacket(groupIp, interfaceIp, packet);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "SendMulticastPacket failed: %s", e.what());
    }
    return NL_FAILURE;
}

}  // namespace network_layer
}  // namespace zel_upnp
