#include "network_layer/src/tcp_server.h"

#include <chrono>
#include <climits>
#include <exception>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include <zel_upnp/network_layer.h>
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

namespace {

constexpr int kMaxPort = 65535;
// Pause before accepting again after an accept error other than a closed
// acceptor (e.g. no descriptor left).
constexpr std::chrono::milliseconds kAcceptRetryDelay(100);

}  // namespace

TCPServer::TCPServer(const std::string& interface_address, const std::string& interface_name,
                     boost::asio::io_service& io_service)
    : interface_address_(interface_address),
      interface_name_(interface_name),
      io_service_(io_service),
      acceptor_(io_service),
      accept_retry_timer_(io_service),
      stopped_(false),
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
    session_limit_ = ComputeSessionLimit();
    ZEL_LOGI(ZEL_CORE_NETWORK, "TCPServer::Start[%u][%u]", session_limit_.limit,
             session_limit_.batch);

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
    acceptor_.async_accept(session->Socket(),
                           [self, session](const boost::system::error_code& error) {
                               self->handle_accept(session, error);
                           });
}

void TCPServer::handle_accept(boost::shared_ptr<IncomingTCPSession> session,
                              const boost::system::error_code& error) {
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    if (stopped_) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "stop state");
        CloseAcceptorLocked(false);
        return;
    }
    if (!error) {
        sessions_.push_back(session);
        // Counts the new session too, so that the limit holds once it reads.
        IncomingSessionDeleter();
        session->RegisterRead();
        try {
            StartAcceptLocked();
        } catch (const std::exception& e) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "[TCPServer::handle_accept] Accept Error [%s]", e.what());
        }
        return;
    }
    if (error == boost::asio::error::operation_aborted ||
        error == boost::asio::error::bad_descriptor) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "[TCPServer::handle_accept] Acceptor closed [%s]",
                 error.message().c_str());
        return;
    }
    ZEL_LOGE(ZEL_CORE_NETWORK, "[TCPServer::handle_accept] Accept Error [%s]",
             error.message().c_str());
    if (stopped_) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "Already stop() get the scoped_lock");
        return;
    }
    boost::shared_ptr<TCPServer> self = shared_from_this();
    accept_retry_timer_.expires_after(kAcceptRetryDelay);
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

void TCPServer::IncomingSessionDeleter() {
    if (sessions_.size() > kSessionWarnCount)
        ZEL_LOGW(ZEL_CORE_NETWORK, "Warning! current : %zu / limit : %u", sessions_.size(),
                 session_limit_.limit);
    const std::vector<boost::shared_ptr<IncomingTCPSession>> oldest =
        TakeExcessSessions(sessions_, session_limit_);
    if (oldest.empty())
        return;
    ZEL_LOGE(ZEL_CORE_NETWORK, "too many incoming session, delete : %zu / limit : %u",
             oldest.size(), session_limit_.limit);
    for (const boost::shared_ptr<IncomingTCPSession>& session : oldest)
        session->ShutDown(true);
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
        for (const boost::shared_ptr<IncomingTCPSession>& session : sessions_)
            session->ShutDown(true);
        sessions.swap(sessions_);
    }
    // Sessions without a pending handler or context end here, outside the lock.
    sessions.clear();
    return NL_SUCCESS;
}

void TCPServer::NotifySessionClosed(int session_id) {
    boost::shared_ptr<IncomingTCPSession> closed;
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if ((*it)->GetSessionId() == session_id) {
            closed = *it;
            sessions_.erase(it);
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
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    return sessions_.size();
}

SessionLimit TCPServer::GetSessionLimit() {
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    return session_limit_;
}

}  // namespace network_layer
}  // namespace zel_upnp
