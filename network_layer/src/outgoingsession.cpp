#include "network_layer/src/outgoingsession.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>
#include <boost/thread/lock_guard.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/callbackhandler.h"
#include "utils/src/common/ip_literal.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/httpparser.h"
#include "utils/src/httpparser/upnp_error.h"

namespace zel_upnp {
namespace network_layer {

namespace {

using boost::asio::ip::tcp;

const char kHeadEnd[] = "\r\n\r\n";
const std::size_t kHeadEndLength = sizeof(kHeadEnd) - 1;
// Status codes of interim responses.
const uint32_t kFirstInterimStatus = 100;
const uint32_t kLastInterimStatus = 199;

}  // namespace

const std::string& ReadFailureResponse() {
    static const std::string response =
        "HTTP/1.0 500 Internal Server Error\r\n"
        "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
        "SERVER: UPnP/1.1 Varnesk Omnilume Server/1.0\r\n"
        "CONTENT-LENGTH: 418\r\n"
        "\r\n" +
        utils::UPnPErrorEnvelope(501, "Action Failed");
    return response;
}

OutgoingSession::OutgoingSession(boost::asio::io_service& io_service, SessionOwner* owner,
                                 int session_id)
    : io_service_(io_service),
      owner_(owner),
      session_id_(session_id),
      socket_(io_service),
      next_endpoint_(0),
      written_(0),
      received_(0),
      response_(new utils::HTTPInfo()),
      timer_(io_service),
      response_timeout_ms_(0),
      timer_pending_(false),
      connected_(false),
      stopped_(false),
      probe_(false),
      finished_(false),
      blocking_(false) {}

OutgoingSession::~OutgoingSession() {
    boost::system::error_code ignored;
    socket_.close(ignored);
}

bool OutgoingSession::ResolveLocked(const std::string& ip, int port) {
    // A literal only, never a name to look up; an IPv6 link-local address
    // carries the zone of its link.
    boost::asio::ip::address address;
    if (!utils::ParseIpLiteral(ip, address) || port < 0 || port > kMaxPort) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid remote ip");
        return false;
    }
    endpoints_.assign(1, tcp::endpoint(address, static_cast<unsigned short>(port)));
    next_endpoint_ = 0;
    return true;
}

// ---------------------------------------------------------------------------
// Asynchronous request and probe.
// ---------------------------------------------------------------------------

int OutgoingSession::Start(const std::string& ip, int port, const std::string& packet,
                           int response_timeout_ms) {
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (stopped_ || !ResolveLocked(ip, port)) {
            stopped_ = true;
            return NL_NETWORK_FAILURE;
        }
        request_ = packet;
        written_ = 0;
        response_timeout_ms_ = response_timeout_ms;
    }
    RegisterConnect();
    return NL_SUCCESS;
}

int OutgoingSession::StartProbe(const std::string& ip, int port) {
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        probe_ = true;
        if (stopped_ || !ResolveLocked(ip, port)) {
            stopped_ = true;
            return NL_NETWORK_FAILURE;
        }
    }
    RegisterConnect();
    return NL_SUCCESS;
}

bool OutgoingSession::IsConnected() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    return connected_;
}

bool OutgoingSession::IsStopped() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    return stopped_;
}

void OutgoingSession::RegisterConnect() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    if (stopped_ || next_endpoint_ >= endpoints_.size()) {
        // A connect on a closed socket would open it again.
        boost::shared_ptr<OutgoingSession> self = shared_from_this();
        io_service_.post([self] { self->CallbackConnect(boost::asio::error::operation_aborted); });
        return;
    }
    boost::shared_ptr<OutgoingSession> self = shared_from_this();
    socket_.async_connect(endpoints_[next_endpoint_], [self](const boost::system::error_code& ec) {
        self->CallbackConnect(ec);
    });
}

void OutgoingSession::CallbackConnect(const boost::system::error_code& error) {
    if (error) {
        {
            boost::lock_guard<boost::mutex> lock(session_lock_);
            if (!stopped_ && error != boost::asio::error::operation_aborted &&
                next_endpoint_ + 1 < endpoints_.size()) {
                ++next_endpoint_;
                boost::system::error_code ignored;
                socket_.close(ignored);
                boost::shared_ptr<OutgoingSession> self = shared_from_this();
                socket_.async_connect(
                    endpoints_[next_endpoint_],
                    [self](const boost::system::error_code& ec) { self->CallbackConnect(ec); });
                return;
            }
        }
        if (probe_)
            return;
        ZEL_LOGE(ZEL_CORE_NETWORK, "handle_connect exception: %s", error.message().c_str());
        owner_->HandleFailureCondition(session_id_);
        return;
    }
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        connected_ = true;
        if (probe_)
            return;
        boost::system::error_code ec;
        const tcp::endpoint peer = socket_.remote_endpoint(ec);
        if (!ec)
            response_->SetClientIpAddress(peer.address().to_string());
        if (socket_.is_open() && socket_.native_handle() > kManySocketsFd) {
            ZEL_LOGW(ZEL_CORE_NETWORK, "Warning! too many sockets[id:%d][fd:%d]", session_id_,
                     static_cast<int>(socket_.native_handle()));
        }
        socket_.set_option(tcp::no_delay(true), ec);
        if (ec) {
            ZEL_LOGW(ZEL_CORE_NETWORK, "socket set_option failed for tcp::no_delay, [%s]!",
                     ec.message().c_str());
        }
    }
    RegisterWrite();
}

void OutgoingSession::RegisterWrite() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    if (stopped_) {
        boost::shared_ptr<OutgoingSession> self = shared_from_this();
        io_service_.post([self] { self->CallbackWrite(boost::asio::error::operation_aborted, 0); });
        return;
    }
    // One write_some at a time rather than a composed write: its follow-up
    // writes would touch the socket outside the lock that Stop takes.
    boost::shared_ptr<OutgoingSession> self = shared_from_this();
    socket_.async_write_some(
        boost::asio::buffer(request_.data() + written_, request_.size() - written_),
        [self](const boost::system::error_code& ec, std::size_t bytes) {
            self->CallbackWrite(ec, bytes);
        });
}

void OutgoingSession::CallbackWrite(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Exception: %s", error.message().c_str());
        owner_->HandleFailureCondition(session_id_);
        return;
    }
    written_ += bytes;
    if (written_ < request_.size()) {
        RegisterWrite();
        return;
    }
    RegisterTimeout();
    RegisterRead();
}

void OutgoingSession::RegisterTimeout() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    if (stopped_)
        return;
    timer_.expires_after(std::chrono::milliseconds(response_timeout_ms_));
    timer_pending_ = true;
    boost::shared_ptr<OutgoingSession> self = shared_from_this();
    timer_.async_wait([self](const boost::system::error_code& ec) { self->CallbackTimeout(ec); });
}

void OutgoingSession::CallbackTimeout(const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted) {
        ZEL_LOGD(ZEL_CORE_NETWORK, "operation_aborted");
        return;
    }
    if (error) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "error");
        return;
    }
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        // An expiry that raced with Stop or with the response being handed on.
        if (!timer_pending_ || finished_)
            return;
        timer_pending_ = false;
    }
    ZEL_LOGE(ZEL_CORE_NETWORK, "TimeoutClose handler_id_ = %d, error = %d ", session_id_,
             error.value());
    owner_->HandleFailureCondition(session_id_);
}

void OutgoingSession::RegisterRead() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    if (stopped_) {
        boost::shared_ptr<OutgoingSession> self = shared_from_this();
        io_service_.post([self] { self->CallbackRead(boost::asio::error::operation_aborted, 0); });
        return;
    }
    boost::shared_ptr<OutgoingSession> self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(receive_buffer_, kReceiveBufferSize),
                            [self](const boost::system::error_code& ec, std::size_t bytes) {
                                self->CallbackRead(ec, bytes);
                            });
}

void OutgoingSession::CallbackRead(const boost::system::error_code& error, std::size_t bytes) {
    if (!error) {
        if (bytes == 0) {
            RegisterRead();
            return;
        }
        received_ += bytes;
        if (received_ > kMaxResponseSize) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "response of session %d passed %zu bytes", session_id_,
                     kMaxResponseSize);
            DeliverReadFailure();
            return;
        }
        if (ParseResponse(receive_buffer_, bytes) != 0) {
            // The peer's bytes are never logged.
            ZEL_LOGW(ZEL_CORE_NETWORK, "response of session %d refused: malformed message",
                     session_id_);
            owner_->HandleFailureCondition(session_id_);
            return;
        }
        if (response_->GetState() != utils::MESSAGE_COMPLETE) {
            // The response timer keeps running from the write: it bounds the
            // whole response, not each read.
            RegisterRead();
            return;
        }
        ZEL_LOGI(ZEL_CORE_NETWORK, "Recived Response -- Handle to UPnP for session %d",
                 session_id_);
        DeliverResponse();
        owner_->RemoveSession(session_id_);
        return;
    }
    if (error == boost::asio::error::eof) {
        // How a body without a length ends; also an empty answer.
        ZEL_LOGI(ZEL_CORE_NETWORK, "EOF received from Peer -- Handle to UPnP for session %d",
                 session_id_);
        DeliverResponse();
        owner_->RemoveSession(session_id_);
        return;
    }
    ZEL_LOGE(ZEL_CORE_NETWORK, "CallbackRead: %s", error.message().c_str());
    DeliverReadFailure();
}

void OutgoingSession::DeliverReadFailure() {
    response_->CleanInfo();
    pending_head_.clear();
    const std::string& fault = ReadFailureResponse();
    const unsigned length = static_cast<unsigned>(fault.size());
    if (utils::Parse(fault.data(), length, response_) == 0 &&
        response_->GetState() == utils::MESSAGE_COMPLETE) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "Received Response -- Handle to UPnP");
        DeliverResponse();
    }
    owner_->RemoveSession(session_id_);
}

int OutgoingSession::ParseResponse(const char* data, std::size_t length) {
    std::string rest;
    for (;;) {
        const bool head_open = response_->GetStatus() < utils::STAGE_HEADERS_DONE;
        if (head_open)
            pending_head_.append(data, length);
        const unsigned packet_length = static_cast<unsigned>(length);
        const int result = utils::Parse(data, packet_length, response_);
        response_->SetParsingStatus(utils::PARSING_CONTINUE);
        if (result != 0)
            return result;
        if (!head_open || response_->GetStatus() < utils::STAGE_HEADERS_DONE)
            return 0;
        const uint32_t status = response_->GetStatusCode();
        if (status < kFirstInterimStatus || status > kLastInterimStatus) {
            pending_head_.clear();
            return 0;
        }
        // An interim response has no body: it ends at its blank line, and
        // whatever followed is the start of the next response.
        const std::size_t end = pending_head_.find(kHeadEnd);
        rest =
            end == std::string::npos ? std::string() : pending_head_.substr(end + kHeadEndLength);
        pending_head_.clear();
        ZEL_LOGD(ZEL_CORE_NETWORK, "interim response %u for session %d", status, session_id_);
        response_->CleanInfo();
        if (rest.empty())
            return 0;
        data = rest.data();
        length = rest.size();
    }
}

void OutgoingSession::DeliverResponse() {
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        finished_ = true;
    }
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    if (dispatch == nullptr || dispatch->InvokeResponseHandler(session_id_, response_) != 0)
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invocation of Response Handler failed.");
}

// ---------------------------------------------------------------------------
// Stopping.
// ---------------------------------------------------------------------------

void OutgoingSession::Stop() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    stopped_ = true;
    if (timer_pending_) {
        timer_pending_ = false;
        boost::system::error_code ignored;
        timer_.cancel(ignored);
    }
    if (!socket_.is_open())
        return;
    if (!blocking_) {
        CloseLocked();
        return;
    }
    // A blocking call sits in the kernel on this descriptor: closing it
    // could hand the number to another socket under that call. Reset and
    // shut down the connection at the system level (which also ends a
    // connect in progress); the caller's thread closes the socket.
    const int fd = socket_.native_handle();
    struct linger reset = {1, 0};
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)) != 0)
        ZEL_LOGW(ZEL_CORE_NETWORK, "socket set_option failed for linger, [%s]!",
                 std::strerror(errno));
    if (::shutdown(fd, SHUT_RDWR) != 0)
        ZEL_LOGD(ZEL_CORE_NETWORK, "TCP Socket shutdown error, possibly shutdown already!");
}

void OutgoingSession::CloseLocked() {
    if (!socket_.is_open())
        return;
    boost::system::error_code ec;
    // Linger 0: the close resets the connection instead of lingering in
    // TIME_WAIT, which matters at hundreds of requests a second.
    socket_.set_option(boost::asio::socket_base::linger(true, 0), ec);
    if (ec) {
        ZEL_LOGW(ZEL_CORE_NETWORK, "socket set_option failed for linger, [%s]!",
                 ec.message().c_str());
    }
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    if (ec)
        ZEL_LOGD(ZEL_CORE_NETWORK, "TCP Socket shutdown error, possibly shutdown already!");
    socket_.close(ec);
    if (ec)
        ZEL_LOGD(ZEL_CORE_NETWORK, "TCP Socket close error, possibly closed already!");
}

// ---------------------------------------------------------------------------
// Blocking request.
// ---------------------------------------------------------------------------

int OutgoingSession::SendSync(const std::string& ip, int port, const std::string& packet,
                              boost::shared_ptr<utils::HTTPInfo>& response) {
    if (!response) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "response is NULL");
        return NL_FAILURE;
    }
    tcp::endpoint endpoint;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        boost::system::error_code ec;
        if (!stopped_ && ResolveLocked(ip, port))
            socket_.open(endpoints_.front().protocol(), ec);
        if (stopped_ || endpoints_.empty() || ec || !socket_.is_open()) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network layer connect failed.");
            CloseLocked();
            return NL_NETWORK_FAILURE;
        }
        endpoint = endpoints_.front();
        blocking_ = true;
    }
    int result = NL_SUCCESS;
    try {
        boost::system::error_code ec;
        socket_.connect(endpoint, ec);
        if (ec) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network layer connect failed.");
            result = NL_NETWORK_FAILURE;
        } else {
            ZEL_LOGD(ZEL_CORE_NETWORK, "asio connect success");
            boost::asio::write(socket_, boost::asio::buffer(packet), ec);
            if (ec) {
                ZEL_LOGE(ZEL_CORE_NETWORK, "Failed to write sync tcp request [%s]",
                         ec.message().c_str());
                result = NL_SOCKET_FAILURE;
            }
        }
        // Read until the response is complete or the peer ends the stream.
        std::size_t received = 0;
        while (result == NL_SUCCESS) {
            const std::size_t bytes =
                socket_.read_some(boost::asio::buffer(receive_buffer_, kReceiveBufferSize), ec);
            if (ec == boost::asio::error::eof || (!ec && bytes == 0))
                break;
            if (ec) {
                ZEL_LOGE(ZEL_CORE_NETWORK, "Failed to read sync tcp response");
                result = NL_SOCKET_FAILURE;
                break;
            }
            received += bytes;
            if (received > kMaxResponseSize) {
                ZEL_LOGE(ZEL_CORE_NETWORK, "sync response passed %zu bytes", kMaxResponseSize);
                result = NL_SOCKET_FAILURE;
                break;
            }
            const unsigned length = static_cast<unsigned>(bytes);
            if (utils::Parse(receive_buffer_, length, response) != 0) {
                ZEL_LOGE(ZEL_CORE_NETWORK, "HTTP Parsing failed");
                result = NL_PARSE_FAILURE;
                break;
            }
            response->SetParsingStatus(utils::PARSING_CONTINUE);
            // A peer that keeps the connection open after a complete
            // response must not hold the caller until the time-out.
            if (response->GetState() == utils::MESSAGE_COMPLETE)
                break;
        }
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Exception:%s", e.what());
        result = NL_SOCKET_FAILURE;
    }
    boost::lock_guard<boost::mutex> lock(session_lock_);
    blocking_ = false;
    if (stopped_ && result == NL_SUCCESS) {
        // The time-out shut the connection down under the read: what was
        // read is not the whole answer.
        ZEL_LOGE(ZEL_CORE_NETWORK, "Failed to read sync tcp response");
        result = NL_SOCKET_FAILURE;
    }
    CloseLocked();
    return result;
}

}  // namespace network_layer
}  // namespace zel_upnp
