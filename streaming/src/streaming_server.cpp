#include "streaming/src/streaming_server.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "streaming/src/streaming_incoming_session.h"
#include "streaming/src/streaming_utils.h"
#include "utils/src/common/descriptor_budget.h"
#include "utils/src/common/ip_literal.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace streaming {

namespace {

bool CallbacksComplete(const ServerAppCallbacks& callbacks) {
    return callbacks.on_connect != nullptr && callbacks.on_status != nullptr &&
           callbacks.on_request != nullptr && callbacks.on_request_data != nullptr &&
           callbacks.on_write_done != nullptr;
}

// The result of one bind attempt that is worth another port.
constexpr int kTryNextPort = -1;

}  // namespace

constexpr std::size_t TCPServer::kMaxSessions;

std::size_t TCPServer::SessionCap() {
    return kMaxSessions;
}

boost::mutex& SessionListMutex() {
    static boost::mutex mutex;
    return mutex;
}

TCPServer::TCPServer(const ServerAppCallbacks& callbacks, const std::string& ip_address,
                     const network_layer::NetInfo& nic, int port,
                     boost::asio::io_service& io_service, int server_id)
    : callbacks_(callbacks),
      ip_address_(ip_address),
      interface_name_(nic.interface_name),
      requested_port_(port),
      server_id_(server_id),
      io_service_(io_service),
      acceptor_(io_service),
      accept_timer_(io_service),
      port_(0),
      next_session_id_(server_id + 1) {}

TCPServer::~TCPServer() {
    boost::system::error_code ec;
    acceptor_.close(ec);
}

int TCPServer::Start(int& port) {
    if (!CallbacksComplete(callbacks_))
        return STREAMING_INVALID_CALLBACKS;
    utils::descriptor_budget::Refresh();
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        const int rc = TryPort(requested_port_ + attempt);
        if (rc == kTryNextPort)
            continue;
        if (rc == STREAMING_SUCCESS)
            port = port_;
        return rc;
    }
    return STREAMING_NO_PORT;
}

int TCPServer::TryPort(int port) {
    using boost::asio::ip::tcp;
    std::string port_text;
    try {
        port_text = boost::lexical_cast<std::string>(port);
    } catch (const std::exception&) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Port is invalid!");
        return STREAMING_INVALID_PORT;
    }
    boost::system::error_code ec;
    tcp::resolver resolver(io_service_);
    // A link-local address is bound on its own interface's link.
    tcp::resolver::query query(
        utils::ZonedLiteral(ip_address_, interface_name_), port_text,
        tcp::resolver::query::passive | tcp::resolver::query::numeric_service);
    tcp::resolver::iterator it = resolver.resolve(query, ec);
    if (ec || it == tcp::resolver::iterator()) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Resolver error %s!", ec.message().c_str());
        return kTryNextPort;
    }
    const tcp::endpoint endpoint = *it;
    acceptor_.open(endpoint.protocol(), ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Acceptor error %s!", ec.message().c_str());
        ZEL_LOGE(ZEL_CORE_STREAMING, "acceptor open error %s: for IP [%s] and port[%d]",
                 ec.message().c_str(), ip_address_.c_str(), port);
        boost::system::error_code ignored;
        if (acceptor_.close(ignored))
            ZEL_LOGE(ZEL_CORE_STREAMING, "Error in closing TCP acceptor!");
        return kTryNextPort;
    }
    if (acceptor_.set_option(tcp::acceptor::reuse_address(true), ec))
        ZEL_LOGI(ZEL_CORE_STREAMING, "Error in setting reuse address option!");
    if (acceptor_.set_option(boost::asio::socket_base::receive_buffer_size(kSocketBufferSize), ec))
        ZEL_LOGI(ZEL_CORE_STREAMING, "Error in setting receive buffer size!");
    if (acceptor_.set_option(boost::asio::socket_base::send_buffer_size(kSocketBufferSize), ec))
        ZEL_LOGI(ZEL_CORE_STREAMING, "Error in setting send buffer size!");
    if (acceptor_.set_option(tcp::no_delay(true), ec))
        ZEL_LOGI(ZEL_CORE_STREAMING, "Error in setting no deplay option!");
    boost::system::error_code ignored;
    if (acceptor_.bind(endpoint, ec)) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Bind error %s!", ec.message().c_str());
        ZEL_LOGE(ZEL_CORE_STREAMING, "acceptor bind error %s: for IP [%s] and port[%d]",
                 ec.message().c_str(), ip_address_.c_str(), port);
        acceptor_.close(ignored);
        return kTryNextPort;
    }
    if (acceptor_.listen(kListenBacklog, ec)) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error in listening TCP acceptor!");
        acceptor_.close(ignored);
        return kTryNextPort;
    }
    // Port 0 asks the kernel for one.
    port_ = acceptor_.local_endpoint(ec).port();
    {
        boost::lock_guard<boost::mutex> lock(SessionListMutex());
        StartAccept();
    }
    ZEL_LOGI(ZEL_CORE_STREAMING, "TCP Server Started.");
    ZEL_LOGD(ZEL_CORE_STREAMING, "TCP Server Started %s, Port :%d", ip_address_.c_str(), port_);
    return STREAMING_SUCCESS;
}

void TCPServer::StartAccept() {
    boost::shared_ptr<IncomingSession> session = boost::make_shared<IncomingSession>(
        io_service_, shared_from_this(), callbacks_, server_id_, next_session_id_);
    // The session joins the list only once its socket is accepted: until the
    // accept completes on an io thread that socket belongs to the acceptor,
    // and Stop must not close it from another thread.
    AcceptInto(session);
}

void TCPServer::AcceptInto(const boost::shared_ptr<IncomingSession>& session) {
    boost::weak_ptr<TCPServer> weak = shared_from_this();
    acceptor_.async_accept(session->Socket(),
                           [weak, session](const boost::system::error_code& error) {
                               boost::shared_ptr<TCPServer> server = weak.lock();
                               if (!server) {
                                   ZEL_LOGD(ZEL_CORE_STREAMING, "Server %d not found", 0);
                                   return;
                               }
                               server->HandleAcceptCallback(error, session);
                           });
}

void TCPServer::HandleAcceptCallback(const boost::system::error_code& error,
                                     boost::shared_ptr<IncomingSession> session) {
    bool open = false;
    bool over_limit = false;
    {
        // Stop closes the acceptor and takes the list under this mutex: a
        // session accepted after that is dropped here, with its socket.
        boost::lock_guard<boost::mutex> lock(SessionListMutex());
        open = acceptor_.is_open();
        if (open && !error) {
            over_limit = incoming_session_list_.size() >= SessionCap();
            incoming_session_list_.push_back(session);
        }
    }
    if (error == boost::asio::error::operation_aborted || !open) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Server %d not found", server_id_);
        return;
    }
    ZEL_LOGI(ZEL_CORE_STREAMING, "Incoming connection");
    if (error) {
        boost::lock_guard<boost::mutex> lock(SessionListMutex());
        if (acceptor_.is_open())
            RetryAccept(error, session);
        return;
    }
    // The process's descriptor budget is shared with every other server: a
    // session holds one share from here until it leaves the list.
    const bool budgeted = !over_limit && utils::descriptor_budget::TryTake();
    if (!budgeted) {
        ZEL_LOGW(ZEL_CORE_STREAMING,
                 "Session limit %zu or descriptor budget %u reached; "
                 "connection closed",
                 SessionCap(), utils::descriptor_budget::Limit());
        session->ShutDown();
    } else {
        {
            boost::lock_guard<boost::mutex> lock(SessionListMutex());
            budgeted_sessions_.insert(session->SessionId());
        }
        session->Announce();
        session->RegisterRead();
    }
    boost::lock_guard<boost::mutex> lock(SessionListMutex());
    accept_backoff_.Reset();
    ++next_session_id_;
    if (acceptor_.is_open())
        StartAccept();
}

void TCPServer::RetryAccept(const boost::system::error_code& error,
                            const boost::shared_ptr<IncomingSession>& session) {
    const bool lasting = utils::AcceptBackoff::Lasting(error);
    // Out of descriptors, most likely: the waiting session is kept and
    // accepting resumes once sessions have ended.
    if (accept_backoff_.FirstOfKind(error) || lasting)
        ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
    else
        ZEL_LOGD(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
    if (lasting) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Server %d stops accepting", server_id_);
        return;
    }
    accept_timer_.expires_after(accept_backoff_.NextPause());
    boost::weak_ptr<TCPServer> weak = shared_from_this();
    accept_timer_.async_wait([weak, session](const boost::system::error_code& expired) {
        boost::shared_ptr<TCPServer> server = weak.lock();
        if (expired || !server)
            return;
        boost::lock_guard<boost::mutex> lock(SessionListMutex());
        if (server->acceptor_.is_open())
            server->AcceptInto(session);
    });
}

void TCPServer::Stop(bool notify) {
    std::list<boost::shared_ptr<IncomingSession> > sessions;
    {
        boost::lock_guard<boost::mutex> lock(SessionListMutex());
        boost::system::error_code ec;
        if (acceptor_.close(ec))
            ZEL_LOGE(ZEL_CORE_STREAMING, "Error in closing TCP acceptor!");
        accept_timer_.cancel();
        sessions.swap(incoming_session_list_);
        for (std::size_t i = 0; i < budgeted_sessions_.size(); ++i)
            utils::descriptor_budget::Give();
        budgeted_sessions_.clear();
    }
    for (const boost::shared_ptr<IncomingSession>& session : sessions)
        session->ShutDown(notify);
}

boost::shared_ptr<IncomingSession> TCPServer::FindSession(int session_id) {
    boost::lock_guard<boost::mutex> lock(SessionListMutex());
    for (const boost::shared_ptr<IncomingSession>& session : incoming_session_list_) {
        if (session->SessionId() == session_id)
            return session;
    }
    ZEL_LOGD(ZEL_CORE_STREAMING, "[TCPServer::FindSession] session not found with id %d",
             session_id);
    return boost::shared_ptr<IncomingSession>();
}

int TCPServer::SendResponse(int session_id, const ResHeaderInfo* head, bool last) {
    boost::shared_ptr<IncomingSession> session = FindSession(session_id);
    if (!session) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "session not found with id %d", session_id);
        return STREAMING_NO_SESSION;
    }
    return session->SendResponse(head, last);
}

int TCPServer::SendPayload(int session_id, void* data, unsigned int length, bool last) {
    boost::shared_ptr<IncomingSession> session = FindSession(session_id);
    if (!session) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "session not found with id %d", session_id);
        return STREAMING_NO_SESSION;
    }
    return session->SendPayload(data, length, last);
}

int TCPServer::SendFilePayload(int session_id, int fd, int64_t offset, unsigned int length,
                               bool last) {
    boost::shared_ptr<IncomingSession> session = FindSession(session_id);
    if (!session) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "session not found with id %d", session_id);
        return STREAMING_NO_SESSION;
    }
    return session->SendFilePayload(fd, offset, length, last);
}

int TCPServer::StopSession(int session_id) {
    boost::shared_ptr<IncomingSession> session = FindSession(session_id);
    if (!session)
        return STREAMING_NO_SESSION;
    session->ShutDown();
    return STREAMING_SUCCESS;
}

void TCPServer::SessionCompleted(int session_id) {
    boost::shared_ptr<IncomingSession> released;  // dies after the lock
    boost::lock_guard<boost::mutex> lock(SessionListMutex());
    if (incoming_session_list_.empty()) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "incoming_session_list_ is empty!");
        return;
    }
    for (auto it = incoming_session_list_.begin(); it != incoming_session_list_.end(); ++it) {
        if ((*it)->SessionId() == session_id) {
            released = *it;
            incoming_session_list_.erase(it);
            if (budgeted_sessions_.erase(session_id) != 0)
                utils::descriptor_budget::Give();
            return;
        }
    }
    ZEL_LOGD(ZEL_CORE_STREAMING, "session not found with id %d", session_id);
}

}  // namespace streaming
}  // namespace zel_upnp
