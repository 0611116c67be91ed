#include "streaming/src/streaming_incoming_session.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "streaming/src/streaming_server.h"
#include "streaming/src/streaming_server_utils.h"
#include "utils/src/common/descriptor_budget.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/httpparser.h"

namespace zel_upnp {
namespace streaming {

namespace {

// Bytes of unread input discarded at most before a session's socket closes.
constexpr std::size_t kMaxDiscardOnClose = 65536;

const char kFormatFailureHead[] = "HTTP/1.1 500 Internal Server Error\r\n\r\n";

// sendfile has no MSG_NOSIGNAL: while it runs the calling thread blocks
// SIGPIPE, and a SIGPIPE raised for our socket is taken back before the
// mask is restored, so that a peer closing early cannot end the process.
class PipeSignalGuard {
  public:
    PipeSignalGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
    }
    ~PipeSignalGuard() {
        if (!blocked_)
            return;
        sigset_t pending;
        if (!was_blocked_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec no_wait = {0, 0};
            sigtimedwait(&pipe_, nullptr, &no_wait);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeSignalGuard(const PipeSignalGuard&) = delete;
    PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;

    void Block() {
        if (blocked_)
            return;
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
        was_blocked_ = blocked_ && sigismember(&old_, SIGPIPE) == 1;
    }

  private:
    sigset_t pipe_;
    sigset_t old_;
    bool blocked_ = false;
    bool was_blocked_ = false;
};

std::atomic<int64_t> g_stall_limit_ms(
    std::chrono::milliseconds(IncomingSession::kStallLimit).count());

}  // namespace

constexpr std::chrono::seconds IncomingSession::kHeadTimeLimit;
constexpr std::chrono::seconds IncomingSession::kStallLimit;
constexpr std::size_t IncomingSession::kFileTurnBytes;
constexpr std::chrono::milliseconds IncomingSession::kCloseDelay;

void IncomingSession::SetStallLimit(std::chrono::milliseconds limit) {
    g_stall_limit_ms = limit.count();
}

std::chrono::milliseconds IncomingSession::StallLimit() {
    return std::chrono::milliseconds(g_stall_limit_ms.load());
}

IncomingSession::IncomingSession(boost::asio::io_service& io_service,
                                 boost::weak_ptr<TCPServer> server,
                                 const ServerAppCallbacks& callbacks, int server_id, int session_id)
    : callbacks_(callbacks),
      server_id_(server_id),
      session_id_(session_id),
      server_(server),
      socket_(io_service),
      read_deadline_(io_service),
      write_deadline_(io_service),
      request_(boost::make_shared<utils::HTTPInfo>()),
      request_type_(utils::HTTP_UNKNOWN),
      head_bytes_(0),
      headers_received_(false),
      chunked_(false),
      last_queued_(false),
      in_callback_(false),
      active_(true),
      announced_(false),
      file_turn_(false) {}

IncomingSession::~IncomingSession() {
    // No handler is left: the queued writes free their buffers with them.
    boost::system::error_code ec;
    socket_.close(ec);
}

void IncomingSession::ArmTimer(Deadline& deadline, std::chrono::steady_clock::duration limit) {
    deadline.timer.expires_after(limit);
    const unsigned generation = ++deadline.generation;
    boost::weak_ptr<IncomingSession> weak = shared_from_this();
    Deadline* guarded = &deadline;  // a member of the session weak keeps
    deadline.timer.async_wait([weak, guarded, generation](const boost::system::error_code& error) {
        boost::shared_ptr<IncomingSession> self = weak.lock();
        if (error || !self)
            return;
        {
            // An expiry that raced with the completion it was guarding.
            boost::lock_guard<boost::mutex> lock(self->mutex_);
            if (generation != guarded->generation)
                return;
        }
        ZEL_LOGW(ZEL_CORE_STREAMING, "Session %d stalled; closing", self->session_id_);
        self->ShutDown(true);
    });
}

void IncomingSession::CancelTimer(Deadline& deadline) {
    ++deadline.generation;
    deadline.timer.cancel();
}

void IncomingSession::Announce() {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        announced_ = true;
    }
    gate_.Run([this] { callbacks_.on_connect(server_id_, session_id_, 0); });
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
    ArmTimer(read_deadline_, kHeadTimeLimit);
    StartHeadRead();
}

// The buffer is not cleared between reads: only the bytes a read reports are
// looked at.
void IncomingSession::StartHeadRead() {
    if (!active_)
        return;
    boost::shared_ptr<IncomingSession> self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(head_buffer_, sizeof(head_buffer_)),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->CallbackRead(error, bytes);
                            });
}

void IncomingSession::CallbackRead(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
        ShutDown(true);
        return;
    }
    const unsigned length = static_cast<unsigned>(bytes);
    if (utils::Parse(head_buffer_, length, request_) != 0) {
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
        CancelTimer(read_deadline_);
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
    if (!gate_.Run([&] {
            callbacks_.on_request(server_id_, session_id_, head, body, body_length, complete);
        })) {
        // Stopped meanwhile: the blocks never reached the application.
        FreeRequestHeader(head);
        std::free(body);
    }
    boost::lock_guard<boost::mutex> lock(mutex_);
    in_callback_ = false;
    if (!writes_.Empty()) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "async_write 3 [%d] [%d]", server_id_, session_id_);
        PumpWrites();
    } else if (!complete && active_ && request_type_ == REQUEST_POST && !expect) {
        StartBodyRead();
    }
}

// Only a request with a body costs the large buffer, and only from its
// first body read on.
void IncomingSession::StartBodyRead() {
    if (!active_)
        return;
    boost::shared_ptr<IncomingSession> self = shared_from_this();
    if (!body_buffer_) {
        body_buffer_.reset(new (std::nothrow) char[kReceiveBufferSize]);
        if (!body_buffer_) {
            ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
            boost::asio::post(socket_.get_executor(), [self] { self->ShutDown(true); });
            return;
        }
    }
    ArmTimer(read_deadline_, StallLimit());
    socket_.async_read_some(boost::asio::buffer(body_buffer_.get(), kReceiveBufferSize),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->DataRecvdCallback(error, bytes);
                            });
}

void IncomingSession::DataRecvdCallback(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
        ShutDown(true);
        return;
    }
    const unsigned length = static_cast<unsigned>(bytes);
    if (utils::Parse(body_buffer_.get(), length, request_) != 0) {
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
        CancelTimer(read_deadline_);
        in_callback_ = true;
    }
    if (!gate_.Run([&] {
            callbacks_.on_request_data(server_id_, session_id_, data, data_length, complete);
        }))
        std::free(data);
    boost::lock_guard<boost::mutex> lock(mutex_);
    in_callback_ = false;
    if (!writes_.Empty()) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "async_write 4 [%d] [%d]", server_id_, session_id_);
        PumpWrites();
    }
    if (active_ && !complete && !last_queued_)
        StartBodyRead();
}

int IncomingSession::SendResponse(const ResHeaderInfo* head, bool last) {
    std::string text;
    const bool formatted = FormResHeader(head, text) == STREAMING_SUCCESS;
    bool ends = last;
    bool read_body = false;
    if (!formatted) {
        text = kFormatFailureHead;
        ends = true;
    } else if (head->status_code == 100) {
        ends = false;
        read_body = true;
    }
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (!active_ || last_queued_)
        return STREAMING_NO_SESSION;
    chunked_ = formatted && head->http_version == HTTP_VERSION_1_1 &&
               IsChunked(head->transfer_encoding) && request_type_ != REQUEST_POST;
    // A head given again before the first one left replaces it.
    PendingWrite* waiting = writes_.UnstartedHead();
    if (waiting != nullptr) {
        waiting->text.swap(text);
        waiting->last = ends;
        waiting->read_body = read_body;
        last_queued_ = ends;
        PumpWrites();
        return STREAMING_SUCCESS;
    }
    std::unique_ptr<PendingWrite> item(new (std::nothrow) PendingWrite());
    if (item == nullptr)
        return STREAMING_NO_MEMORY;
    item->head = true;
    item->text.swap(text);
    item->last = ends;
    item->read_body = read_body;
    return QueueWrite(std::move(item));
}

int IncomingSession::SendPayload(void* data, unsigned int length, bool last) {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (!active_ || last_queued_)
            return STREAMING_NO_SESSION;
        // An empty payload that is not the last writes nothing, but its
        // completion still comes after those of the writes before it.
        std::unique_ptr<PendingWrite> item(new (std::nothrow) PendingWrite());
        if (item != nullptr) {
            item->data = data;
            item->length = length;
            item->last = last;
            if (chunked_ && (length != 0 || last)) {
                item->framed =
                    FrameChunks(static_cast<const char*>(data), length, last, item->framed_size);
                if (item->framed == nullptr)
                    item.reset();
            }
        }
        if (item != nullptr) {
            ZEL_LOGD(ZEL_CORE_STREAMING, "async_write 2 [%d] [%d]", server_id_, session_id_);
            return QueueWrite(std::move(item));
        }
        ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
    }
    ShutDown();  // the framing buffer could not be allocated
    return STREAMING_NO_MEMORY;
}

int IncomingSession::SendFilePayload(int fd, int64_t offset, unsigned int length, bool last) {
    if (length == 0)
        return SendPayload(nullptr, 0, last);
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (!active_ || last_queued_)
        return STREAMING_NO_SESSION;
    std::unique_ptr<PendingWrite> item(new (std::nothrow) PendingWrite());
    if (item == nullptr) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
        return STREAMING_NO_MEMORY;
    }
    // Our own descriptor: the application may close its one at once, and a
    // number it reuses meanwhile cannot redirect the write. Counted in the
    // process's descriptor budget.
    item->file = utils::descriptor_budget::Duplicate(fd);
    if (item->file < 0) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Invalid params.");
        return STREAMING_INVALID_PARAMS;
    }
    item->file_offset = offset;
    item->length = length;
    item->last = last;
    if (chunked_) {
        char line[24];
        std::snprintf(line, sizeof(line), "%X\r\n", length);
        item->text = line;
        item->suffix = "\r\n";
        if (last)
            item->suffix.append(kLastChunk, kLastChunkLength);
    }
    ZEL_LOGD(ZEL_CORE_STREAMING, "async_write 2 [%d] [%d]", server_id_, session_id_);
    return QueueWrite(std::move(item));
}

int IncomingSession::QueueWrite(std::unique_ptr<PendingWrite> item) {
    if (writes_.Full()) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Session %d has %zu writes queued; write refused", session_id_,
                 WriteQueue::kMaxQueuedWrites);
        return STREAMING_NO_MEMORY;
    }
    last_queued_ = item->last;
    // The application's buffer is the library's once handed over with the
    // last flag, whatever becomes of the write.
    item->owns_data = item->last && !item->head;
    writes_.Push(std::move(item));
    PumpWrites();
    return STREAMING_SUCCESS;
}

void IncomingSession::PumpWrites() {
    // Inside on_request or on_request_data the read path starts the writes
    // as the callback returns, so that the head leaves first.
    if (!active_ || writes_.Writing() || writes_.Empty() || in_callback_ || !headers_received_)
        return;
    const PendingWrite& item = writes_.Start();
    boost::shared_ptr<IncomingSession> self = shared_from_this();
    if (item.IsFile()) {
        // sendfile on a blocking socket would hold a pool thread for as long
        // as the peer takes to read the range.
        boost::system::error_code ec;
        socket_.non_blocking(true, ec);
        WaitWritable();
        return;
    }
    if (item.Size() == 0 && !item.last) {
        // Completed from a handler of its own: an application that sends
        // again from on_write_done does not recurse.
        boost::asio::post(socket_.get_executor(),
                          [self] { self->CallbackWrite(boost::system::error_code()); });
        return;
    }
    ArmTimer(write_deadline_, StallLimit());
    boost::asio::async_write(socket_, boost::asio::buffer(item.Bytes(), item.Size()), WholeWrites(),
                             [self](const boost::system::error_code& error, std::size_t) {
                                 self->CallbackWrite(error);
                             });
}

void IncomingSession::WaitWritable() {
    ArmTimer(write_deadline_, StallLimit());
    boost::shared_ptr<IncomingSession> self = shared_from_this();
    socket_.async_wait(
        boost::asio::ip::tcp::socket::wait_write,
        [self](const boost::system::error_code& error) { self->SendFileStep(error); });
}

void IncomingSession::SendFileStep(const boost::system::error_code& error) {
    boost::system::error_code result = error;
    PendingWrite* item = nullptr;
    int sock = -1;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (!result && (!active_ || !writes_.Writing()))
            result = boost::asio::error::operation_aborted;
        if (!result) {
            // The front write stays in the queue, and its descriptor open,
            // while Writing() is set: only its completion takes it out.
            item = &writes_.Front();
            sock = socket_.native_handle();
            file_turn_ = true;
        }
    }
    if (!result)
        result = SendFileTurn(*item, sock);
    if (item != nullptr) {
        boost::lock_guard<boost::mutex> lock(mutex_);
        file_turn_ = false;
        if (!active_) {
            boost::system::error_code ignored;
            socket_.close(ignored);
            result = boost::asio::error::operation_aborted;
        } else if (result == boost::asio::error::would_block) {
            WaitWritable();
            return;
        } else if (result == boost::asio::error::try_again) {
            // The turn's bytes are out and the socket takes more: a new turn
            // after the handlers that queued up meanwhile.
            ArmTimer(write_deadline_, StallLimit());
            boost::shared_ptr<IncomingSession> self = shared_from_this();
            boost::asio::post(socket_.get_executor(),
                              [self] { self->SendFileStep(boost::system::error_code()); });
            return;
        }
    }
    CallbackWrite(result);
}

boost::system::error_code IncomingSession::SendFileTurn(PendingWrite& item, int sock) {
    const std::size_t head_end = item.text.size();
    const std::size_t file_end = head_end + item.length;
    const std::size_t total = file_end + item.suffix.size();
    const std::size_t turn_end = std::min(total, item.sent + kFileTurnBytes);
    PipeSignalGuard pipe_guard;
    while (item.sent < total) {
        if (item.sent >= turn_end)
            return boost::asio::error::try_again;
        ssize_t n = 0;
        if (item.sent < head_end) {
            // MSG_MORE keeps the chunk head in the segment of the file bytes
            // after it.
            n = ::send(sock, item.text.data() + item.sent, head_end - item.sent,
                       MSG_NOSIGNAL | MSG_MORE);
        } else if (item.sent < file_end) {
            off_t offset = static_cast<off_t>(item.file_offset + (item.sent - head_end));
            pipe_guard.Block();
            n = ::sendfile(sock, item.file, &offset, std::min(file_end, turn_end) - item.sent);
            if (n == 0) {
                ZEL_LOGE(ZEL_CORE_STREAMING, "File ended before the payload of session %d did",
                         session_id_);
                return boost::asio::error::eof;
            }
        } else {
            n = ::send(sock, item.suffix.data() + (item.sent - file_end), total - item.sent,
                       MSG_NOSIGNAL);
        }
        if (n < 0) {
            const int code = errno;
            if (code == EINTR)
                continue;
            if (code == EAGAIN || code == EWOULDBLOCK)
                return boost::asio::error::would_block;
            return boost::system::error_code(code, boost::system::system_category());
        }
        item.sent += static_cast<std::size_t>(n);
    }
    return boost::system::error_code();
}

void IncomingSession::CallbackWrite(const boost::system::error_code& error) {
    std::unique_ptr<PendingWrite> item;  // freed after the lock
    bool report = false;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        CancelTimer(write_deadline_);
        item = writes_.Finish();
        if (!item)
            return;
        if (!error && item->read_body)
            StartBodyRead();
        if (!error && !item->last && !item->read_body)
            report = writes_.AddCompletion(item->head ? 0 : item->length);
        if (!error && !item->last)
            PumpWrites();
    }
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
        // Also after a last write: the application learns that its response
        // did not get through.
        ShutDown(true);
        return;
    }
    if (item->last) {
        ZEL_LOGD(ZEL_CORE_STREAMING, "Closing Socket for session_id = [%d]", session_id_);
        if (item->head) {
            ShutDown();
            return;
        }
        boost::lock_guard<boost::mutex> lock(mutex_);
        ++write_deadline_.generation;
        write_deadline_.timer.expires_after(kCloseDelay);
        boost::shared_ptr<IncomingSession> self = shared_from_this();
        write_deadline_.timer.async_wait(
            [self](const boost::system::error_code&) { self->ShutDown(); });
        return;
    }
    if (!report)
        return;
    unsigned int length = 0;
    for (;;) {
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            if (!writes_.ReportNext(&length))
                return;
        }
        gate_.Run([&] { callbacks_.on_write_done(server_id_, session_id_, length); });
    }
}

void IncomingSession::RegisterWriteWithErrorCode(int status) {
    ResHeaderInfo head = ResHeaderInfo();
    head.http_version = HTTP_VERSION_1_1;
    head.status_code = status;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        headers_received_ = true;
        CancelTimer(read_deadline_);
    }
    if (SendResponse(&head, true) != STREAMING_SUCCESS)
        ZEL_LOGD(ZEL_CORE_STREAMING, "Register Write failed.");
}

void IncomingSession::CloseSocket() {
    active_ = false;
    CancelTimer(read_deadline_);
    CancelTimer(write_deadline_);
    // What has not started never will; the write on the wire keeps its
    // buffer until its completion runs.
    writes_.DropWaiting();
    boost::system::error_code ec;
    // Unread input (the rest of a refused head, a body longer than its
    // length, a stray CR LF) would turn the close into a reset that destroys
    // answer bytes still in flight: the end of stream goes out behind the
    // answer first, then what has arrived is discarded (bounded), then the
    // socket closes.
    if (socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ec) &&
        ec != boost::asio::error::not_connected)
        ZEL_LOGD(ZEL_CORE_STREAMING, "Error in shutting down streaming TCP socket!");
    if (socket_.is_open()) {
        char discard[4096];
        for (std::size_t drained = 0; drained < kMaxDiscardOnClose;) {
            const ssize_t n =
                ::recv(socket_.native_handle(), discard, sizeof(discard), MSG_DONTWAIT);
            if (n <= 0)
                break;
            drained += static_cast<std::size_t>(n);
        }
    }
    // The shut-down socket fails the turn under way at its next send.
    if (file_turn_)
        return;
    if (socket_.close(ec))
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error in closing TCP socket!");
}

void IncomingSession::Release() {
    boost::shared_ptr<TCPServer> server = server_.lock();
    if (server)
        server->SessionCompleted(session_id_);
}

void IncomingSession::ShutDown(bool notify) {
    bool announced = false;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        announced = announced_;
        CloseSocket();
    }
    // Only the first close of a session may report it: a handler aborted by
    // a shut-down that was asked for stays quiet.
    gate_.Close([&] {
        if (notify && announced)
            callbacks_.on_status(server_id_, session_id_, STATUS_CONNECTION_CLOSED);
    });
    Release();
}

}  // namespace streaming
}  // namespace zel_upnp
