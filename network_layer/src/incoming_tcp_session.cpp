#include "network_layer/src/incoming_tcp_session.h"

#include <algorithm>
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

IncomingTCPSession::IncomingTCPSession(boost::asio::io_service& io_service,
                                       boost::shared_ptr<ServerNotify> server, int session_id)
    : socket_(io_service),
      session_id_(session_id),
      binary_response_(nullptr),
      server_(server),
      request_(boost::make_shared<utils::HTTPInfo>()),
      string_response_(nullptr),
      received_(0),
      stop_called_(false),
      write_pending_(false) {
    std::memset(read_buffer_, 0, sizeof(read_buffer_));
}

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
    if (request_->GetState() != utils::MESSAGE_COMPLETE) {
        std::memset(read_buffer_, 0, sizeof(read_buffer_));
        boost::lock_guard<boost::mutex> lock(session_lock_);
        StartRead();
        return;
    }
    // One request per connection: no further read.
    DispatchRequest();
}

void IncomingTCPSession::DispatchRequest() {
    boost::system::error_code local_error;
    boost::system::error_code remote_error;
    boost::asio::ip::tcp::endpoint local;
    boost::asio::ip::tcp::endpoint remote;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        local = socket_.local_endpoint(local_error);
        remote = socket_.remote_endpoint(remote_error);
    }
    int result = NL_FAILURE;
    SessionContext* context = nullptr;
    try {
        if (!local_error)
            request_->SetMyIpAddress(local.address().to_string());
        if (!remote_error) {
            request_->SetClientIpAddress(remote.address().to_string());
            request_->SetClientPort(remote.port());
        }
        context = new SessionContext{shared_from_this()};
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
    bool forget = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (write_pending_) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "A response is already being written");
            return NL_SOCKET_FAILURE;
        }
        string_response_ = response;
        const char* data = response != nullptr ? response->data() : nullptr;
        const std::size_t size = response != nullptr ? WriteLength(length, response->size()) : 0;
        if (!StartWriteLocked(data, size))
            forget = HandleClosedSocketLocked();
    }
    if (forget)
        server_->NotifySessionClosed(session_id_);
    return NL_SUCCESS;
}

int IncomingTCPSession::RegisterWrite(char* data, int length) {
    bool forget = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (write_pending_) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "A response is already being written");
            return NL_SOCKET_FAILURE;
        }
        binary_response_ = data;
        const std::size_t size = (data != nullptr && length > 0) ? length : 0;
        if (!StartWriteLocked(data, size))
            forget = HandleClosedSocketLocked();
    }
    if (forget)
        server_->NotifySessionClosed(session_id_);
    return NL_SUCCESS;
}

bool IncomingTCPSession::StartWriteLocked(const char* data, std::size_t length) {
    if (!socket_.is_open())
        return false;
    ZEL_LOGD(ZEL_CORE_NETWORK, "Async RegisterWrite Write");
    write_pending_ = true;
    boost::shared_ptr<IncomingTCPSession> self = shared_from_this();
    boost::asio::async_write(socket_, boost::asio::buffer(data, length),
                             [self](const boost::system::error_code& error, std::size_t bytes) {
                                 self->CallbackWrite(error, bytes);
                             });
    return true;
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

void IncomingTCPSession::CallbackWrite(const boost::system::error_code& error, std::size_t bytes) {
    ZEL_LOGD(ZEL_CORE_NETWORK, "CallbackWrite new completed");
    if (error)
        ZEL_LOGD(ZEL_CORE_NETWORK, "response write ended after %zu bytes: %s", bytes,
                 error.message().c_str());
    bool forget = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        ReleaseBuffersLocked();
        write_pending_ = false;
        if (stop_called_) {
            CloseLocked();
        } else {
            ShutDownLocked(false);
            forget = true;
        }
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
            boost::system::error_code ec;
            socket_.non_blocking(false, ec);
        }
    }
    bool written = false;
    if (started) {
        boost::system::error_code error;
        boost::asio::write(socket_, boost::asio::buffer(response.data(), size), error);
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
