#include "streaming/src/streaming_incoming_session.h"

#include <cstdlib>
#include <exception>
#include <new>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "streaming/src/streaming_server.h"
#include "streaming/src/streaming_server_utils.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/httpparser.h"

namespace zel_upnp {
namespace streaming {

namespace {

const char kFormatFailureHead[] = "HTTP/1.1 500 Internal Server Error\r\n\r\n";

}  // namespace

constexpr std::chrono::seconds IncomingSession::kHeadTimeLimit;
constexpr std::chrono::seconds IncomingSession::kStallLimit;
constexpr std::chrono::milliseconds IncomingSession::kCloseDelay;

IncomingSession::IncomingSession(boost::asio::io_service& io_service,
                                 boost::weak_ptr<TCPServer> server,
                                 const ServerAppCallbacks& callbacks, int server_id, int session_id)
    : callbacks_(callbacks),
      server_id_(server_id),
      session_id_(session_id),
      server_(server),
      socket_(io_service),
      timer_(io_service),
      request_(boost::make_shared<utils::HTTPInfo>()),
      request_type_(utils::HTTP_UNKNOWN),
      head_bytes_(0),
      payload_(nullptr),
      payload_length_(0),
      framed_(nullptr),
      headers_received_(false),
      chunked_(false),
      close_after_write_(false),
      continue_(false),
      in_callback_(false),
      active_(true),
      timer_generation_(0) {
    pending_head_.reserve(1024);
}

IncomingSession::~IncomingSession() {
    // No handler is left: a payload still referenced was never written.
    std::free(framed_);
    boost::system::error_code ec;
    socket_.close(ec);
}

void IncomingSession::ArmTimer(std::chrono::steady_clock::duration limit) {
    timer_.expires_after(limit);
    const unsigned generation = ++timer_generation_;
    boost::weak_ptr<IncomingSession> weak = shared_from_this();
    timer_.async_wait([weak, generation](const boost::system::error_code& error) {
        boost::shared_ptr<IncomingSession> self = weak.lock();
        if (error || !self)
            return;
        {
            // An expiry that raced with the completion it was guarding.
            boost::lock_guard<boost::mutex> lock(self->mutex_);
            if (generation != self->timer_generation_)
                return;
        }
        ZEL_LOGW(ZEL_CORE_STREAMING, "Session %d stalled; closing", self->session_id_);
        self->Fail(true);
    });
}

void IncomingSession::CancelTimer() {
    ++timer_generation_;
    timer_.cancel();
}

void IncomingSession::RegisterRead() {
    boost::system::error_code ec;
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (socket_.set_option(boost::asio::ip::tcp::no_delay(true), ec))
        ZEL_LOGW(ZEL_CORE_NETWORK, "socket set_option failed for tcp::no_delay, [%s]!",
                 ec.message().c_str());
    if (socket_.set_option(boost::asio::socket_base::receive_buffer_size(kSocketBufferSize), ec))
        ZEL_LOGW(ZEL_CORE_STREAMING, "Set option failed for recv size: err:%s",
                 ec.message().c_str());
    if (socket_.set_option(boost::asio::socket_base::send_buffer_size(kSocketBufferSize), ec))
        ZEL_LOGW(ZEL_CORE_STREAMING, "Set option failed for send size: err:%s",
                 ec.message().c_str());
    buffer_.reset(new (std::nothrow) char[kReceiveBufferSize]);
    if (buffer_ == nullptr) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
        boost::shared_ptr<IncomingSession> self = shared_from_this();
        boost::asio::post(socket_.get_executor(), [self] { self->Fail(true); });
        return;
    }
    ArmTimer(kHeadTimeLimit);
    StartHeadRead();
}

// The buffer is not cleared between reads: only the bytes a read reports are
// looked at, and leaving it untouched keeps idle sessions from paging it in.
void IncomingSession::StartHeadRead() {
    if (!active_)
        return;
    boost::shared_ptr<IncomingSession> self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(buffer_.get(), kReceiveBufferSize),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->CallbackRead(error, bytes);
                            });
}

void IncomingSession::CallbackRead(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
        Fail(true);
        return;
    }
    const unsigned length = static_cast<unsigned>(bytes);
    if (utils::Parse(buffer_.get(), length, request_) != 0) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
        RegisterWriteWithErrorCode(400);
        return;
    }
    request_->SetParsingStatus(utils::PARSING_CONTINUE);
    if (request_->GetStatus() < utils::STAGE_HEADERS_DONE) {
        head_bytes_ += bytes;
        if (head_bytes_ > kMaxHeadSize) {
            ZEL_LOGE(ZEL_CORE_STREAMING, "Request head over %zu bytes", kMaxHeadSize);
            RegisterWriteWithErrorCode(400);
            return;
        }
        boost::lock_guard<boost::mutex> lock(mutex_);
        StartHeadRead();
        return;
    }
    DeliverRequest();
}

void IncomingSession::DeliverRequest() {
    ReqHeaderInfo* head = FormRequestHeaderInfo(*request_);
    if (head == nullptr) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
        RegisterWriteWithErrorCode(500);
        return;
    }
    unsigned body_length = 0;
    char* body = request_->GetBody(body_length);
    const bool complete = request_->GetState() == utils::MESSAGE_COMPLETE;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        CancelTimer();
        headers_received_ = true;
        request_type_ = head->request_type;
        boost::system::error_code ec;
        const boost::asio::ip::tcp::endpoint peer = socket_.remote_endpoint(ec);
        if (ec)
            ZEL_LOGI(ZEL_CORE_STREAMING, "retrieving peer ip failed");
        else
            request_->SetClientIpAddress(peer.address().to_string());
        in_callback_ = true;
    }
    const bool expect = head->expect != nullptr;
    callbacks_.on_request(server_id_, session_id_, head, body, body_length, complete);
    boost::lock_guard<boost::mutex> lock(mutex_);
    in_callback_ = false;
    if (!pending_head_.empty()) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "async_write 3 [%d] [%d]", server_id_, session_id_);
        WritePendingHead();
    } else if (!complete && active_ && request_type_ == REQUEST_POST && !expect) {
        StartBodyRead();
    }
}

void IncomingSession::StartBodyRead() {
    if (!active_)
        return;
    ArmTimer(kStallLimit);
    boost::shared_ptr<IncomingSession> self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(buffer_.get(), kReceiveBufferSize),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->DataRecvdCallback(error, bytes);
                            });
}

void IncomingSession::DataRecvdCallback(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
        Fail(true);
        return;
    }
    const unsigned length = static_cast<unsigned>(bytes);
    if (utils::Parse(buffer_.get(), length, request_) != 0) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
        RegisterWriteWithErrorCode(400);
        return;
    }
    request_->SetParsingStatus(utils::PARSING_CONTINUE);
    unsigned data_length = 0;
    char* data = request_->GetBody(data_length);
    const bool complete = request_->GetState() == utils::MESSAGE_COMPLETE;
    if (framing_.Exceeded(bytes, data_length)) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
        std::free(data);
        RegisterWriteWithErrorCode(400);
        return;
    }
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        CancelTimer();
        in_callback_ = true;
    }
    callbacks_.on_request_data(server_id_, session_id_, data, data_length, complete);
    boost::lock_guard<boost::mutex> lock(mutex_);
    in_callback_ = false;
    if (!pending_head_.empty()) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "async_write 4 [%d] [%d]", server_id_, session_id_);
        WritePendingHead();
    }
    if (active_ && !complete && !close_after_write_)
        StartBodyRead();
}

int IncomingSession::SendResponse(const ResHeaderInfo* head, bool last) {
    std::string text;
    const bool formatted = FormResHeader(head, text) == STREAMING_SUCCESS;
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (!active_)
        return STREAMING_NO_SESSION;
    close_after_write_ = last;
    if (!formatted) {
        text = kFormatFailureHead;
        close_after_write_ = true;
    } else if (head->status_code == 100) {
        close_after_write_ = false;
        continue_ = true;
    }
    pending_head_.swap(text);
    chunked_ = formatted && head->http_version == HTTP_VERSION_1_1 &&
               IsChunked(head->transfer_encoding) && request_type_ != REQUEST_POST;
    // Inside on_request or on_request_data the read path writes the head as
    // the callback returns; from anywhere else it goes out now.
    if (!in_callback_ && headers_received_)
        WritePendingHead();
    return STREAMING_SUCCESS;
}

void IncomingSession::WritePendingHead() {
    if (!active_ || pending_head_.empty())
        return;
    ArmTimer(kStallLimit);
    boost::shared_ptr<IncomingSession> self = shared_from_this();
    boost::asio::async_write(socket_, boost::asio::buffer(pending_head_),
                             [self](const boost::system::error_code& error, std::size_t) {
                                 self->CallbackWrite(error, kWriteHead);
                             });
}

int IncomingSession::SendPayload(void* data, unsigned int length, bool last) {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (!active_)
            return STREAMING_NO_SESSION;
        close_after_write_ = last;
        payload_length_ = length;
        if (length != 0 || last) {
            const char* bytes = static_cast<const char*>(data);
            std::size_t size = length;
            if (chunked_) {
                framed_ = FrameChunks(bytes, length, last, size);
                if (framed_ == nullptr) {
                    ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
                    CloseSocket();
                } else {
                    bytes = framed_;
                }
            }
            if (framed_ != nullptr || !chunked_) {
                payload_ = data;
                ZEL_LOGD(ZEL_CORE_STREAMING, "async_write 2 [%d] [%d]", server_id_, session_id_);
                ArmTimer(kStallLimit);
                boost::shared_ptr<IncomingSession> self = shared_from_this();
                boost::asio::async_write(
                    socket_, boost::asio::buffer(bytes, size),
                    [self](const boost::system::error_code& error, std::size_t) {
                        self->CallbackWrite(error, kWritePayload);
                    });
                return STREAMING_SUCCESS;
            }
        }
    }
    if (length == 0 && !last) {
        callbacks_.on_write_done(server_id_, session_id_, 0);
        return STREAMING_SUCCESS;
    }
    Release();  // the framing buffer could not be allocated
    return STREAMING_NO_MEMORY;
}

void IncomingSession::ReleasePayloadLocked(bool ok) {
    std::free(framed_);
    framed_ = nullptr;
    // The application handed its buffer over with the last flag.
    if (ok && close_after_write_)
        Free(payload_);
    payload_ = nullptr;
}

void IncomingSession::CallbackWrite(const boost::system::error_code& error, WriteKind kind) {
    bool last = false;
    bool read_body = false;
    unsigned int length = 0;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        CancelTimer();
        last = close_after_write_;
        length = payload_length_;
        if (kind == kWritePayload)
            ReleasePayloadLocked(!error);
        else
            pending_head_.clear();
        if (!error && kind == kWriteHead && !last && continue_) {
            continue_ = false;
            read_body = true;
            StartBodyRead();
        }
    }
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
        Fail(!last);
        return;
    }
    if (last) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Closing Socket for session_id = [%d]", session_id_);
        if (kind == kWriteHead) {
            ShutDown();
            return;
        }
        boost::lock_guard<boost::mutex> lock(mutex_);
        ++timer_generation_;
        timer_.expires_after(kCloseDelay);
        boost::shared_ptr<IncomingSession> self = shared_from_this();
        timer_.async_wait([self](const boost::system::error_code&) { self->ShutDown(); });
        return;
    }
    if (read_body)
        return;
    callbacks_.on_write_done(server_id_, session_id_, kind == kWriteHead ? 0 : length);
}

void IncomingSession::RegisterWriteWithErrorCode(int status) {
    ResHeaderInfo head = ResHeaderInfo();
    head.http_version = HTTP_VERSION_1_1;
    head.status_code = status;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        headers_received_ = true;
        CancelTimer();
    }
    if (SendResponse(&head, true) != STREAMING_SUCCESS)
        ZEL_LOGD(ZEL_CORE_STREAMING, "Register Write failed.");
}

void IncomingSession::CloseSocket() {
    active_ = false;
    CancelTimer();
    boost::system::error_code ec;
    if (socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec) &&
        ec != boost::asio::error::not_connected)
        ZEL_LOGD(ZEL_CORE_STREAMING, "Error in shutting down streaming TCP socket!");
    if (socket_.close(ec))
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error in closing TCP socket!");
}

void IncomingSession::Release() {
    boost::shared_ptr<TCPServer> server = server_.lock();
    if (server)
        server->SessionCompleted(session_id_);
}

void IncomingSession::ShutDown() {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        CloseSocket();
    }
    Release();
}

void IncomingSession::Fail(bool notify) {
    bool was_active = false;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        was_active = active_;
        CloseSocket();
    }
    // Only the first failure of a live session is reported: a handler
    // aborted by a shut-down that was asked for stays quiet.
    if (was_active && notify)
        callbacks_.on_status(server_id_, session_id_, STATUS_CONNECTION_CLOSED);
    Release();
}

}  // namespace streaming
}  // namespace zel_upnp
