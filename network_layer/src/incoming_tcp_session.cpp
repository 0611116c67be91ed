#include "network_layer/src/incoming_tcp_session.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/callbackhandler.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/httpparser.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const char kOversizeRequestHead[] =
    "HTTP/1.0 400 Bad Request\r\n"
    "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
    "SERVER: UPnP/1.1 Varnesk Omnilume Server/1.0\r\n"
    "CONTENT-LENGTH: 417\r\n"
    "\r\n";

std::atomic<std::chrono::milliseconds::rep> g_request_timeout_ms(
    IncomingTCPSession::kRequestTimeout.count());
std::atomic<std::chrono::milliseconds::rep> g_write_timeout_ms(
    IncomingTCPSession::kWriteTimeout.count());

// Bytes of a response to write: the caller's length bounded by what there is.
std::size_t WriteLength(int length, std::size_t available) {
    if (length <= 0)
        return 0;
    return std::min(static_cast<std::size_t>(length), available);
}

}  // namespace

const std::string& OversizeRequestResponse() {
    static const std::string response = kOversizeRequestHead + InvalidArgsFaultBody();
    return response;
}

constexpr std::chrono::milliseconds IncomingTCPSession::kRequestTimeout;
constexpr std::chrono::milliseconds IncomingTCPSession::kWriteTimeout;

void IncomingTCPSession::SetTimeouts(std::chrono::milliseconds request,
                                     std::chrono::milliseconds write) {
    g_request_timeout_ms = request.count();
    g_write_timeout_ms = write.count();
}

IncomingTCPSession::IncomingTCPSession(boost::asio::io_service& io_service,
                                       boost::shared_ptr<ServerNotify> server, int session_id,
                                       const std::string& own_address)
    : socket_(io_service),
      request_timer_(io_service),
      own_address_(own_address),
      session_id_(session_id),
      binary_response_(nullptr),
      server_(server),
      request_(boost::make_shared<utils::HTTPInfo>()),
      string_response_(nullptr),
      received_(0),
      dispatched_(false),
      stop_called_(false),
      write_pending_(false),
      context_consumed_(false) {}

IncomingTCPSession::~IncomingTCPSession() {
    try {
        // No handler is left (each holds a reference), so a write flagged as
        // pending was dropped with its io service and will not complete.
        boost::lock_guard<boost::mutex> lock(session_lock_);
        write_pending_ = false;
        ReleaseBuffersLocked();
        stop_called_ = false;
        if (socket_.is_open()) {
            boost::system::error_code ec;
            socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
            socket_.close(ec);
        }
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "exception: %s", e.what());
    }
}

void IncomingTCPSession::RegisterRead() {
    bool failed = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        boost::system::error_code ec;
        socket_.non_blocking(true, ec);
        if (ec) {
            failed = true;
        } else {
            received_ = 0;
            StartRequestTimerLocked();
            StartRead();
        }
    }
    if (failed) {
        ZEL_LOGE(ZEL_CORE_NETWORK,
                 "[IncomingTCPSession::RegisterRead] Socket set non_blocking_io failed");
        ShutDown(false);
        server_->HandleFailureCondition(session_id_);
    }
}

void IncomingTCPSession::StartRequestTimerLocked() {
    boost::shared_ptr<IncomingTCPSession> self = shared_from_this();
    request_timer_.expires_after(std::chrono::milliseconds(g_request_timeout_ms.load()));
    request_timer_.async_wait(
        [self](const boost::system::error_code& error) { self->CallbackRequestTimeout(error); });
}

void IncomingTCPSession::CallbackRequestTimeout(const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted)
        return;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (dispatched_ || stop_called_ || !socket_.is_open())
            return;
        ZEL_LOGE(ZEL_CORE_NETWORK, "request of session %d not complete after %lld ms, closing",
                 session_id_, static_cast<long long>(g_request_timeout_ms.load()));
        ShutDownLocked(false);
    }
    server_->NotifySessionClosed(session_id_);
}

// Session lock held.
void IncomingTCPSession::StartRead() {
    if (stop_called_ || !socket_.is_open())
        return;
    boost::shared_ptr<IncomingTCPSession> self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(read_buffer_, kReadBufferSize),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->CallbackRead(error, bytes);
                            });
}

void IncomingTCPSession::CallbackRead(const boost::system::error_code& error, std::size_t bytes) {
    if (error == boost::asio::error::operation_aborted)
        return;  // ShutDown cancelled the read; whoever called it owns the rest
    if (error) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "CallbackRead] Socket Error: %s", error.message().c_str());
        ShutDown(false);
        server_->HandleFailureCondition(session_id_);
        return;
    }
    if (bytes == 0) {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        StartRead();
        return;
    }
    received_ += bytes;
    if (received_ > kMaxRequestSize) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "upperbound size exceeded.");
        received_ = 0;
        SendOversizeResponse();
        return;
    }
    const unsigned length = static_cast<unsigned>(bytes);
    if (utils::Parse(read_buffer_, length, request_) != 0) {
        read_buffer_[bytes] = '\0';
        ZEL_LOGE(ZEL_CORE_NETWORK, "PARSER FAILURE Status: %d and Buffer : %s",
                 request_->GetStatus(), read_buffer_);
        ShutDown(false);
        server_->HandleFailureCondition(session_id_);
        return;
    }
    request_->SetParsingStatus(utils::PARSING_CONTINUE);
    boost::system::error_code remote_error;
    boost::asio::ip::tcp::endpoint remote;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (request_->GetState() != utils::MESSAGE_COMPLETE) {
            StartRead();
            return;
        }
        if (stop_called_ || !socket_.is_open())
            return;  // the deadline or a stop closed the session meanwhile
        dispatched_ = true;
        boost::system::error_code ignored;
        request_timer_.cancel(ignored);
        remote = socket_.remote_endpoint(remote_error);
    }
    // One request per connection: no further read.
    DispatchRequest(remote, remote_error);
}

void IncomingTCPSession::DispatchRequest(const boost::asio::ip::tcp::endpoint& remote,
                                         const boost::system::error_code& remote_error) {
    int result = NL_FAILURE;
    SessionContext* context = nullptr;
    try {
        request_->SetMyIpAddress(own_address_);
        if (!remote_error) {
            request_->SetClientIpAddress(remote.address().to_string());
            request_->SetClientPort(remote.port());
        }
        context = new SessionContext(shared_from_this());
        CallBackHandler* dispatch = CallBackHandler::GetInstance();
        if (dispatch != nullptr)
            result = dispatch->InvokeTCPRequestHandler(request_, context);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Request hand-off failed: %s", e.what());
    }
    if (result != NL_SUCCESS) {
        delete context;
        SendOversizeResponse();
    }
}

void IncomingTCPSession::SendOversizeResponse() {
    std::string* response = nullptr;
    try {
        response = new std::string(OversizeRequestResponse());
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "No memory for the 400 answer: %s", e.what());
        Abandon();
        return;
    }
    if (RegisterWrite(response, static_cast<int>(response->size())) != NL_SUCCESS) {
        delete response;
        Abandon();
    }
}

int IncomingTCPSession::RegisterWrite(std::string* response, int length) {
    const char* data = response != nullptr ? response->data() : nullptr;
    const std::size_t size = response != nullptr ? WriteLength(length, response->size()) : 0;
    return WriteOrStart(response, nullptr, data, size);
}

int IncomingTCPSession::RegisterWrite(char* data, int length) {
    const std::size_t size = (data != nullptr && length > 0) ? length : 0;
    return WriteOrStart(nullptr, data, data, size);
}

int IncomingTCPSession::WriteOrStart(std::string* text, char* binary, const char* data,
                                     std::size_t size) {
    bool forget = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (write_pending_) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "A response is already being written");
            return NL_SOCKET_FAILURE;
        }
        string_response_ = text;
        binary_response_ = binary;
        if (!socket_.is_open()) {
            forget = HandleClosedSocketLocked();
        } else {
            boost::system::error_code ignored;
            request_timer_.cancel(ignored);
            // The socket is non-blocking and the session lock keeps ShutDown
            // off it: what the kernel takes at once is written here, on the
            // thread that produced the answer, and only the rest waits for an
            // io thread. A small answer thus costs no hand-off at all.
            boost::system::error_code error;
            const std::size_t sent = WriteAvailableLocked(data, size, error);
            if (sent < size && !error)
                StartWriteLocked(data + sent, size - sent);
            else
                forget = FinishWriteLocked(error, sent);
        }
    }
    // Drops the server's reference: the session goes with the last handler
    // or session context.
    if (forget)
        server_->NotifySessionClosed(session_id_);
    return NL_SUCCESS;
}

std::size_t IncomingTCPSession::WriteAvailableLocked(const char* data, std::size_t size,
                                                     boost::system::error_code& error) {
    // One call: the send buffer takes a small answer whole, and a large one
    // does not hold the session lock (and so a Stop) for longer than that.
    const std::size_t sent = socket_.write_some(boost::asio::buffer(data, size), error);
    if (error == boost::asio::error::would_block || error == boost::asio::error::try_again)
        error.clear();
    return sent;
}

void IncomingTCPSession::StartWriteLocked(const char* data, std::size_t length) {
    write_pending_ = true;
    boost::shared_ptr<IncomingTCPSession> self = shared_from_this();
    boost::asio::async_write(socket_, boost::asio::buffer(data, length),
                             [self](const boost::system::error_code& error, std::size_t bytes) {
                                 self->CallbackWrite(error, bytes);
                             });
}

bool IncomingTCPSession::HandleClosedSocketLocked() {
    ZEL_LOGE(ZEL_CORE_NETWORK, "Socket Closed resetting self ref ");
    ReleaseBuffersLocked();
    write_pending_ = false;
    if (stop_called_) {
        ShutDownOnStopCalled();
        return false;  // the server has already forgotten the session
    }
    return true;
}

bool IncomingTCPSession::FinishWriteLocked(const boost::system::error_code& error,
                                           std::size_t bytes) {
    if (error)
        ZEL_LOGD(ZEL_CORE_NETWORK, "response write ended after %zu bytes: %s", bytes,
                 error.message().c_str());
    ReleaseBuffersLocked();
    write_pending_ = false;
    if (stop_called_) {
        CloseLocked();
        return false;  // the server has already forgotten the session
    }
    // Shutdown sends FIN behind the queued bytes: the peer reads the whole
    // answer, then end of stream.
    ShutDownLocked(false);
    return true;
}

void IncomingTCPSession::CallbackWrite(const boost::system::error_code& error, std::size_t bytes) {
    ZEL_LOGD(ZEL_CORE_NETWORK, "CallbackWrite new completed");
    bool forget = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        forget = FinishWriteLocked(error, bytes);
    }
    // Drops the server's reference: the session goes with the last handler.
    if (forget)
        server_->NotifySessionClosed(session_id_);
}

int IncomingTCPSession::Write(const std::string& response, int length) {
    const std::size_t size = WriteLength(length, response.size());
    bool started = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (write_pending_) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Write to socket failed! Error: [%s]",
                     "a response is already being written");
            return NL_SOCKET_FAILURE;
        }
        if (!socket_.is_open()) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Write to socket failed! Error: [%s]", "socket closed");
        } else {
            // Marked pending so that a concurrent ShutDown only shuts the
            // socket down (which also wakes this write) and leaves the close
            // to this thread.
            write_pending_ = true;
            started = true;
            boost::system::error_code ignored;
            request_timer_.cancel(ignored);
        }
    }
    bool written = false;
    if (started) {
        const boost::system::error_code error = WriteWithin(response.data(), size);
        if (error)
            ZEL_LOGE(ZEL_CORE_NETWORK, "Write to socket failed! Error: [%s]",
                     error.message().c_str());
        written = !error;
    }
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        write_pending_ = false;
        ShutDownLocked(false);
    }
    server_->NotifySessionClosed(session_id_);
    return written ? NL_SUCCESS : NL_SOCKET_FAILURE;
}

boost::system::error_code IncomingTCPSession::WriteWithin(const char* data, std::size_t size) {
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(g_write_timeout_ms.load());
    boost::system::error_code ec;
    std::size_t sent = 0;
    while (sent < size) {
        sent += socket_.write_some(boost::asio::buffer(data + sent, size - sent), ec);
        if (!ec)
            continue;
        if (ec != boost::asio::error::would_block && ec != boost::asio::error::try_again)
            return ec;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return boost::asio::error::timed_out;
        // A peer that stops reading must not hold this thread for ever; a
        // concurrent ShutDown wakes the poll at once.
        struct pollfd waiter = {socket_.native_handle(), POLLOUT, 0};
        if (::poll(&waiter, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            return boost::system::error_code(errno, boost::system::system_category());
    }
    return ec;
}

void IncomingTCPSession::Abandon() {
    ShutDown(false);
    server_->NotifySessionClosed(session_id_);
}

void IncomingTCPSession::ShutDown(bool stop_called) {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    ShutDownLocked(stop_called);
}

void IncomingTCPSession::ShutDownLocked(bool stop_called) {
    stop_called_ = stop_called_ || stop_called;
    // The deadline's handler holds a reference: let it go now.
    boost::system::error_code ignored;
    request_timer_.cancel(ignored);
    if (socket_.is_open()) {
        boost::system::error_code ec;
        socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
        if (ec)
            ZEL_LOGD(ZEL_CORE_NETWORK, "TCP Socket shutdown error, possibly shutdown already!");
        socket_.cancel(ec);
    }
    // A write in progress fails on the shut-down socket; its completion
    // closes it, so that the socket is never closed under the write.
    if (!write_pending_)
        CloseLocked();
}

void IncomingTCPSession::ShutDownOnStopCalled() {
    if (!socket_.is_open())
        return;
    boost::system::error_code ec;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
    if (ec)
        ZEL_LOGD(ZEL_CORE_NETWORK, "TCP Socket shutdown error, possibly shutdown already!");
    CloseLocked();
}

void IncomingTCPSession::CloseLocked() {
    if (!socket_.is_open())
        return;
    boost::system::error_code ec;
    socket_.close(ec);
    if (ec)
        ZEL_LOGD(ZEL_CORE_NETWORK, "TCP Socket close error, possibly closed already!");
}

void IncomingTCPSession::ReleaseBuffersLocked() {
    delete string_response_;
    string_response_ = nullptr;
    std::free(binary_response_);
    binary_response_ = nullptr;
}

bool IncomingTCPSession::IsWritePending() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    return write_pending_;
}

void ReleaseSessionContext(void* context) {
    SessionContext* session_context = static_cast<SessionContext*>(context);
    if (session_context == nullptr)
        return;
    if (session_context->session)
        session_context->session->Abandon();
    delete session_context;
}

}  // namespace network_layer
}  // namespace zel_upnp
