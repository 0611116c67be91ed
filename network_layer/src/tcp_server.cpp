#include "network_layer/src/tcp_server.h"

#include <chrono>
#include <climits>
#include <exception>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include <zel_upnp/network_layer.h>
#include "utils/src/common/descriptor_budget.h"
#include "utils/src/common/peer_log_limit.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

namespace {

constexpr int kMaxPort = 65535;
// One line per peer and minute about refused or shed connections.
utils::PeerLogLimit g_peer_log_limit;

}  // namespace

TCPServer::TCPServer(const std::string& interface_address, const std::string& interface_name,
                     boost::asio::io_service& io_service)
    : interface_address_(interface_address),
      interface_name_(interface_name),
      io_service_(io_service),
      acceptor_(io_service),
      accept_retry_timer_(io_service),
      sweep_timer_(io_service),
      sweep_armed_(false),
      stopped_(false),
      refused_(0),
      shed_(0),
      port_(0),
      next_session_id_(1) {}

TCPServer::~TCPServer() {
    ZEL_LOGD(ZEL_CORE_NETWORK, "TCPServer destructor is called");
}

int TCPServer::Start(int& port) {
    boost::system::error_code ec;
    const boost::asio::ip::address local = boost::asio::ip::make_address(interface_address_, ec);
    if (ec) {
        Stop();
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid local ip");
        return NL_SERVER_START_FAILED;
    }

    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    utils::descriptor_budget::Refresh();
    ZEL_LOGI(ZEL_CORE_NETWORK, "TCPServer::Start[%u][%u]", utils::descriptor_budget::Limit(),
             kMaxSessionsPerAddress);

    const char* address = interface_address_.c_str();
    bool bound = false;
    int current = port;
    for (int attempt = 0; attempt < kBindAttempts; ++attempt, ++current) {
        if (current < 0 || current > kMaxPort) {
            // No port of the range is left to try.
            ZEL_LOGE(ZEL_CORE_NETWORK, "Accept Error : %s!", "port out of range");
            ZEL_LOGE(ZEL_CORE_NETWORK, "IP : %s and Port: %d", address, current);
            break;
        }
        const boost::asio::ip::tcp::endpoint endpoint(local, static_cast<unsigned short>(current));
        acceptor_.open(endpoint.protocol(), ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Accept Error : %s!", ec.message().c_str());
            ZEL_LOGE(ZEL_CORE_NETWORK, "Accept Error : %s IP : %s and Port: %d",
                     ec.message().c_str(), address, current);
            CloseAcceptorLocked(true);
            continue;
        }
        acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            acceptor_.bind(endpoint, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Bind Error : %s!", ec.message().c_str());
            ZEL_LOGE(ZEL_CORE_NETWORK, "Bind Error : %s IP : %s and Port: %d", ec.message().c_str(),
                     address, current);
            CloseAcceptorLocked(true);
            continue;
        }
        bound = true;
        break;
    }
    if (!bound) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Accept Failed!!!");
        return NL_BIND_FAILURE;
    }

    acceptor_.listen(kListenBacklog, ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Socket listen Failed!!!");
        CloseAcceptorLocked(true);
        return NL_BIND_FAILURE;
    }
    // The kernel's choice when port 0 was asked for.
    const boost::asio::ip::tcp::endpoint bound_endpoint = acceptor_.local_endpoint(ec);
    port_ = ec ? current : bound_endpoint.port();
    port = port_;

    try {
        StartAcceptLocked();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Accept Error : %s!", e.what());
        CloseAcceptorLocked(true);
        return NL_BIND_FAILURE;
    }
    ZEL_LOGI(ZEL_CORE_NETWORK, "TCPServer Started: %s:%d", address, port_);
    return NL_SUCCESS;
}

void TCPServer::CloseAcceptorLocked(bool with_reason) {
    if (!acceptor_.is_open())
        return;
    boost::system::error_code ec;
    acceptor_.close(ec);
    if (!ec)
        return;
    if (with_reason)
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error in closing TCP acceptor! :%s", ec.message().c_str());
    else
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error in closing TCP acceptor!");
}

void TCPServer::StartAcceptLocked() {
    const boost::shared_ptr<IncomingTCPSession> session = boost::make_shared<IncomingTCPSession>(
        io_service_, shared_from_this(), next_session_id_++, interface_address_);
    AcceptInto(session);
}

// Server lock held. The handler keeps the session (and its socket) alive
// until the accept completes, even if the list has dropped it meanwhile.
void TCPServer::AcceptInto(const boost::shared_ptr<IncomingTCPSession>& session) {
    boost::shared_ptr<TCPServer> self = shared_from_this();
    acceptor_.async_accept(session->Socket(), session->PeerEndpoint(),
                           [self, session](const boost::system::error_code& error) {
                               self->handle_accept(session, error);
                           });
}

void TCPServer::handle_accept(boost::shared_ptr<IncomingTCPSession> session,
                              const boost::system::error_code& error) {
    if (!error) {
        // The new socket is this handler's alone until the session is
        // listed: its system calls are made outside the locks.
        session->SetPeer();
        bool admitted = false;
        {
            boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
            if (stopped_) {
                ZEL_LOGD(ZEL_CORE_NETWORK, "stop state");
                CloseAcceptorLocked(false);
                return;
            }
            accept_backoff_.Reset();
            {
                boost::lock_guard<boost::mutex> listed(sessions_lock_);
                admitted = AdmitLocked(session->PeerAddress());
                if (admitted) {
                    sessions_.push_back(session);
                    ++per_address_[session->PeerAddress()];
                } else {
                    ++refused_;
                }
            }
            try {
                if (admitted)
                    ArmSweepLocked();
                StartAcceptLocked();
            } catch (const std::exception& e) {
                ZEL_LOGE(ZEL_CORE_NETWORK, "[TCPServer::handle_accept] Accept Error [%s]",
                         e.what());
            }
        }
        if (admitted)
            session->RegisterRead();
        else
            session->ShutDown();
        return;
    }
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    if (stopped_) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "stop state");
        CloseAcceptorLocked(false);
        return;
    }
    if (error == boost::asio::error::operation_aborted ||
        error == boost::asio::error::bad_descriptor) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "[TCPServer::handle_accept] Acceptor closed [%s]",
                 error.message().c_str());
        return;
    }
    const bool lasting = utils::AcceptBackoff::Lasting(error);
    if (accept_backoff_.FirstOfKind(error) || lasting)
        ZEL_LOGE(ZEL_CORE_NETWORK, "[TCPServer::handle_accept] Accept Error [%s]",
                 error.message().c_str());
    else
        ZEL_LOGD(ZEL_CORE_NETWORK, "[TCPServer::handle_accept] Accept Error [%s]",
                 error.message().c_str());
    if (stopped_) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "Already stop() get the scoped_lock");
        return;
    }
    if (lasting) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "TCP server on %s:%d stops accepting",
                 interface_address_.c_str(), port_);
        return;
    }
    boost::shared_ptr<TCPServer> self = shared_from_this();
    accept_retry_timer_.expires_after(accept_backoff_.NextPause());
    accept_retry_timer_.async_wait([self, session](const boost::system::error_code& ec) {
        self->handle_accept_retry(session, ec);
    });
}

void TCPServer::handle_accept_retry(boost::shared_ptr<IncomingTCPSession> session,
                                    const boost::system::error_code& error) {
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    if (error || stopped_)
        return;
    AcceptInto(session);
}

void TCPServer::ArmSweepLocked() {
    if (sweep_armed_)
        return;
    boost::shared_ptr<TCPServer> self = shared_from_this();
    sweep_timer_.expires_after(kSweepPeriod);
    sweep_timer_.async_wait([self](const boost::system::error_code& error) { self->Sweep(error); });
    sweep_armed_ = true;
}

void TCPServer::Sweep(const boost::system::error_code& error) {
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    std::vector<boost::shared_ptr<IncomingTCPSession>> due;
    {
        boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
        sweep_armed_ = false;
        if (error || stopped_)
            return;
        bool listed_any = false;
        {
            boost::lock_guard<boost::mutex> listed(sessions_lock_);
            listed_any = !sessions_.empty();
            for (const boost::shared_ptr<IncomingTCPSession>& session : sessions_)
                if (session->DeadlinePassed(now))
                    due.push_back(session);
        }
        // The next accept arms it again.
        if (listed_any)
            ArmSweepLocked();
    }
    for (const boost::shared_ptr<IncomingTCPSession>& session : due)
        session->OnDeadline(now);
}

bool TCPServer::AdmitLocked(const std::string& peer_address) {
    const auto own = per_address_.find(peer_address);
    const unsigned own_count = own != per_address_.end() ? own->second : 0;
    if (own_count >= kMaxSessionsPerAddress) {
        if (g_peer_log_limit.Allow(peer_address))
            ZEL_LOGW(ZEL_CORE_NETWORK, "%s holds %u sessions; connection refused",
                     peer_address.c_str(), own_count);
        return false;
    }
    if (utils::descriptor_budget::TryTake())
        return true;
    // The budget is spent: the address holding the most sessions makes
    // room, so that a peer that keeps reconnecting pushes out its own
    // sessions and not the actions of others. When that is the newcomer's
    // address, the newcomer is refused instead.
    auto top = per_address_.end();
    for (auto it = per_address_.begin(); it != per_address_.end(); ++it) {
        if (top == per_address_.end() || it->second > top->second)
            top = it;
    }
    if (top == per_address_.end() || top->second <= own_count + 1) {
        if (g_peer_log_limit.Allow(peer_address))
            ZEL_LOGW(ZEL_CORE_NETWORK, "descriptor budget %u spent; connection from %s refused",
                     utils::descriptor_budget::Limit(), peer_address.c_str());
        return false;
    }
    const std::string victim_address = top->first;
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if ((*it)->PeerAddress() != victim_address)
            continue;
        if (g_peer_log_limit.Allow(victim_address))
            ZEL_LOGW(ZEL_CORE_NETWORK, "descriptor budget %u spent; session of %s shed",
                     utils::descriptor_budget::Limit(), victim_address.c_str());
        (*it)->ShutDown();
        ForgetLocked(it);
        ++shed_;
        break;
    }
    // Another server may have taken the share meanwhile.
    return utils::descriptor_budget::TryTake();
}

void TCPServer::ForgetLocked(std::list<boost::shared_ptr<IncomingTCPSession>>::iterator it) {
    const auto count = per_address_.find((*it)->PeerAddress());
    if (count != per_address_.end() && --count->second == 0)
        per_address_.erase(count);
    utils::descriptor_budget::Give();
    sessions_.erase(it);
}

int TCPServer::Stop() {
    ZEL_LOGI(ZEL_CORE_NETWORK, "close TCP Server");
    std::list<boost::shared_ptr<IncomingTCPSession>> sessions;
    {
        boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
        stopped_ = true;
        boost::system::error_code ec;
        acceptor_.cancel(ec);
        CloseAcceptorLocked(false);
        accept_retry_timer_.cancel(ec);
        sweep_timer_.cancel(ec);
        boost::lock_guard<boost::mutex> listed(sessions_lock_);
        for (const boost::shared_ptr<IncomingTCPSession>& session : sessions_) {
            session->ShutDown();
            utils::descriptor_budget::Give();
        }
        sessions.swap(sessions_);
        per_address_.clear();
    }
    // Sessions without a pending handler or context end here, outside the lock.
    sessions.clear();
    return NL_SUCCESS;
}

void TCPServer::NotifySessionClosed(int session_id) {
    boost::shared_ptr<IncomingTCPSession> closed;  // released after the lock
    boost::lock_guard<boost::mutex> lock(sessions_lock_);
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if ((*it)->GetSessionId() == session_id) {
            closed = *it;
            ForgetLocked(it);
            break;
        }
    }
}

void TCPServer::HandleFailureCondition(int session_id) {
    ZEL_LOGE(ZEL_CORE_NETWORK, "Error TCPServer::HandleFailureCondition called ");
    NotifySessionClosed(session_id);
}

std::string TCPServer::GetIpAddress() {
    return interface_address_;
}

std::string TCPServer::GetInterfaceName() {
    return interface_name_;
}

int TCPServer::GetPort() {
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    return port_;
}

size_t TCPServer::GetSessionCount() {
    boost::lock_guard<boost::mutex> lock(sessions_lock_);
    return sessions_.size();
}

unsigned TCPServer::GetSessionCount(const std::string& peer_address) {
    boost::lock_guard<boost::mutex> lock(sessions_lock_);
    const auto found = per_address_.find(peer_address);
    return found != per_address_.end() ? found->second : 0;
}

unsigned long TCPServer::RefusedConnections() {
    boost::lock_guard<boost::mutex> lock(sessions_lock_);
    return refused_;
}

unsigned long TCPServer::ShedSessions() {
    boost::lock_guard<boost::mutex> lock(sessions_lock_);
    return shed_;
}

}  // namespace network_layer
}  // namespace zel_upnp
