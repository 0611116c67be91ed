#include "network_layer/src/incoming_tcp_session.h"

#include <poll.h>
#include <sys/socket.h>

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
#include "utils/src/common/peer_log_limit.h"
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
std::atomic<unsigned long> g_write_deadline_closes(0);
// One line per peer and minute for what a peer's bytes cause.
utils::PeerLogLimit g_peer_log_limit;

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
constexpr std::chrono::milliseconds IncomingTCPSession::kLingerTimeout;
constexpr std::size_t IncomingTCPSession::kLingerMaxBytes;

void IncomingTCPSession::SetTimeouts(std::chrono::milliseconds request,
                                     std::chrono::milliseconds write) {
    g_request_timeout_ms = request.count();
    g_write_timeout_ms = write.count();
}

unsigned long IncomingTCPSession::WriteDeadlineCloses() {
    return g_write_deadline_closes.load();
}

IncomingTCPSession::IncomingTCPSession(boost::asio::io_service& io_service,
                                       boost::shared_ptr<ServerNotify> server, int session_id,
                                       const std::string& own_address)
    : state_(State::kReading),
      socket_(io_service),
      deadline_at_(kNoDeadline),
      own_address_(own_address),
      remote_known_(false),
      session_id_(session_id),
      binary_response_(nullptr),
      server_(server),
      request_(boost::make_shared<utils::HTTPInfo>()),
      string_response_(nullptr),
      write_data_(nullptr),
      write_left_(0),
      received_(0),
      context_consumed_(false) {}

IncomingTCPSession::~IncomingTCPSession() {
    try {
        // No handler is left (each holds a reference): nothing else can
        // touch the socket or the buffers.
        ReleaseBuffersLocked();
        boost::system::error_code ec;
        if (socket_.is_open())
            socket_.close(ec);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "exception: %s", e.what());
    }
}

void IncomingTCPSession::SetPeer() {
    // An accept that returned no address leaves the endpoint unspecified.
    remote_known_ = remote_.port() != 0 || !remote_.address().is_unspecified();
    peer_address_ = remote_known_ ? remote_.address().to_string() : std::string();
}

void IncomingTCPSession::RegisterRead() {
    bool failed = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (state_ == State::kClosed)
            return;  // stopped or shed since it was listed
        boost::system::error_code ec;
        socket_.non_blocking(true, ec);
        if (ec) {
            failed = true;
            CloseLocked();
        } else {
            received_ = 0;
            ArmDeadlineLocked(std::chrono::milliseconds(g_request_timeout_ms.load()));
            StartReadLocked();
        }
    }
    if (failed) {
        ZEL_LOGE(ZEL_CORE_NETWORK,
                 "[IncomingTCPSession::RegisterRead] Socket set non_blocking_io failed");
        server_->HandleFailureCondition(session_id_);
    }
}

void IncomingTCPSession::ArmDeadlineLocked(std::chrono::milliseconds after) {
    deadline_at_.store((std::chrono::steady_clock::now() + after).time_since_epoch().count(),
                       std::memory_order_relaxed);
}

void IncomingTCPSession::OnDeadline(std::chrono::steady_clock::time_point now) {
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        // Moved on (progress, a new state) since the sweep looked.
        if (!DeadlinePassed(now))
            return;
        switch (state_) {
            case State::kReading:
                ZEL_LOGW(ZEL_CORE_NETWORK, "request of session %d not complete after %lld ms",
                         session_id_, static_cast<long long>(g_request_timeout_ms.load()));
                break;
            case State::kWriting:
                AbortLocked();
                ++g_write_deadline_closes;
                if (g_peer_log_limit.Allow(peer_address_))
                    ZEL_LOGW(ZEL_CORE_NETWORK, "answer to %s made no progress for %lld ms, closed",
                             peer_address_.c_str(),
                             static_cast<long long>(g_write_timeout_ms.load()));
                break;
            case State::kLingering:
                break;
            default:
                return;  // no deadline holds in the other states
        }
        CloseLocked();
    }
    Forget();
}

void IncomingTCPSession::StartReadLocked() {
    boost::shared_ptr<IncomingTCPSession> self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(read_buffer_, kReadBufferSize),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->CallbackRead(error, bytes);
                            });
}

void IncomingTCPSession::CallbackRead(const boost::system::error_code& error, std::size_t bytes) {
    bool ended = false;
    bool oversize = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (state_ != State::kReading)
            return;  // closed by the deadline or a stop meanwhile
        if (error || bytes == 0) {
            // The peer went away before its request was complete.
            ZEL_LOGD(ZEL_CORE_NETWORK, "CallbackRead] Socket Error: %s", error.message().c_str());
            ended = CloseLocked();
        } else {
            received_ += bytes;
            oversize = received_ > kMaxRequestSize;
            if (oversize) {
                if (g_peer_log_limit.Allow(peer_address_))
                    ZEL_LOGW(ZEL_CORE_NETWORK, "request from %s larger than %zu bytes, refused",
                             peer_address_.c_str(), kMaxRequestSize);
                state_ = State::kDispatched;
                deadline_at_.store(kNoDeadline, std::memory_order_relaxed);
            }
        }
    }
    if (ended) {
        Forget();
        return;
    }
    if (error || bytes == 0)
        return;
    if (oversize) {
        // The rest of the request is drained by the linger behind the 400,
        // so that the answer is not lost to a reset.
        SendOversizeResponse();
        return;
    }
    // Only this io thread touches the request and the read buffer in
    // Reading; the parse runs without the lock.
    const unsigned length = static_cast<unsigned>(bytes);
    if (utils::Parse(read_buffer_, length, request_) != 0) {
        // Refused heads (malformed, ambiguous framing) are closed unanswered;
        // the peer's bytes are never logged.
        if (g_peer_log_limit.Allow(peer_address_))
            ZEL_LOGW(ZEL_CORE_NETWORK, "request from %s refused: malformed message (stage %d)",
                     peer_address_.c_str(), request_->GetStatus());
        {
            boost::lock_guard<boost::mutex> lock(session_lock_);
            CloseLocked();
        }
        Forget();
        return;
    }
    request_->SetParsingStatus(utils::PARSING_CONTINUE);
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (state_ != State::kReading)
            return;
        if (request_->GetState() != utils::MESSAGE_COMPLETE) {
            StartReadLocked();
            return;
        }
        state_ = State::kDispatched;
        deadline_at_.store(kNoDeadline, std::memory_order_relaxed);
    }
    // One request per connection: no further read until the linger.
    DispatchRequest();
}

void IncomingTCPSession::DispatchRequest() {
    int result = NL_FAILURE;
    SessionContext* context = nullptr;
    try {
        request_->SetMyIpAddress(own_address_);
        if (remote_known_) {
            request_->SetClientIpAddress(peer_address_);
            request_->SetClientPort(remote_.port());
        }
        context = new SessionContext(shared_from_this());
        CallBackHandler* dispatch = CallBackHandler::GetInstance();
        // May answer before it returns, on this thread: the state is
        // Dispatched and the lock is free.
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
    bool closed = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (state_ == State::kClosed) {
            // A stop or a deadline came first: the answer has nowhere to go.
            delete text;
            std::free(binary);
            return NL_SUCCESS;
        }
        if (state_ != State::kDispatched) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "A response is already being written");
            return NL_SOCKET_FAILURE;
        }
        string_response_ = text;
        binary_response_ = binary;
        // The socket is non-blocking: what the kernel takes at once is
        // written here, on the thread that produced the answer, and only the
        // rest waits for an io thread. A small answer costs no hand-off.
        // MSG_MORE holds back a last partial segment: the shutdown that
        // follows a whole answer then sends it with the FIN in one packet
        // (one transmission and one wake-up of the peer less), and a rest
        // written later pushes it.
        boost::system::error_code error;
        const std::size_t sent = socket_.send(boost::asio::buffer(data, size), MSG_MORE, error);
        if (error == boost::asio::error::would_block || error == boost::asio::error::try_again)
            error.clear();
        if (error) {
            ZEL_LOGD(ZEL_CORE_NETWORK, "response write failed: %s", error.message().c_str());
            closed = CloseLocked();
        } else if (sent < size) {
            state_ = State::kWriting;
            write_data_ = data + sent;
            write_left_ = size - sent;
            ArmDeadlineLocked(std::chrono::milliseconds(g_write_timeout_ms.load()));
            StartWriteLocked();
        } else {
            closed = BeginLingerLocked();
        }
    }
    if (closed)
        Forget();
    return NL_SUCCESS;
}

void IncomingTCPSession::StartWriteLocked() {
    // One write_some at a time rather than a composed async_write: every
    // call on the socket then happens under the lock, so a stop may close
    // the socket in any state without racing an intermediate step.
    boost::shared_ptr<IncomingTCPSession> self = shared_from_this();
    socket_.async_write_some(boost::asio::buffer(write_data_, write_left_),
                             [self](const boost::system::error_code& error, std::size_t bytes) {
                                 self->CallbackWrite(error, bytes);
                             });
}

void IncomingTCPSession::CallbackWrite(const boost::system::error_code& error, std::size_t bytes) {
    bool closed = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (state_ != State::kWriting)
            return;  // closed by a stop or the deadline
        if (error) {
            ZEL_LOGD(ZEL_CORE_NETWORK, "response write ended: %s", error.message().c_str());
            closed = CloseLocked();
        } else {
            write_data_ += bytes;
            write_left_ -= std::min(bytes, write_left_);
            if (write_left_ == 0) {
                closed = BeginLingerLocked();
            } else {
                // Progress: the no-progress bound starts again.
                if (bytes > 0)
                    ArmDeadlineLocked(std::chrono::milliseconds(g_write_timeout_ms.load()));
                StartWriteLocked();
            }
        }
    }
    if (closed)
        Forget();
}

bool IncomingTCPSession::BeginLingerLocked() {
    ReleaseBuffersLocked();
    write_data_ = nullptr;
    write_left_ = 0;
    state_ = State::kLingering;
    // The end of stream goes out behind the queued answer; reading on until
    // the peer closes keeps unread input from turning the close into a reset.
    boost::system::error_code ec;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ec);
    received_ = 0;
    if (ec || DrainAvailableLocked())
        return CloseLocked();
    ArmDeadlineLocked(kLingerTimeout);
    boost::shared_ptr<IncomingTCPSession> self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(read_buffer_, kReadBufferSize),
                            [self](const boost::system::error_code& error, std::size_t bytes) {
                                self->CallbackLinger(error, bytes);
                            });
    return false;
}

bool IncomingTCPSession::DrainAvailableLocked() {
    for (;;) {
        boost::system::error_code ec;
        const std::size_t got =
            socket_.read_some(boost::asio::buffer(read_buffer_, kReadBufferSize), ec);
        if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again)
            return false;
        received_ += got;
        if (ec || got == 0 || received_ > kLingerMaxBytes)
            return true;
    }
}

void IncomingTCPSession::CallbackLinger(const boost::system::error_code& error, std::size_t bytes) {
    bool closed = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (state_ != State::kLingering)
            return;
        received_ += bytes;
        if (error || bytes == 0 || received_ > kLingerMaxBytes || DrainAvailableLocked()) {
            closed = CloseLocked();
        } else {
            boost::shared_ptr<IncomingTCPSession> self = shared_from_this();
            socket_.async_read_some(boost::asio::buffer(read_buffer_, kReadBufferSize),
                                    [self](const boost::system::error_code& e, std::size_t n) {
                                        self->CallbackLinger(e, n);
                                    });
        }
    }
    if (closed)
        Forget();
}

int IncomingTCPSession::Write(const std::string& response, int length) {
    const std::size_t size = WriteLength(length, response.size());
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (state_ != State::kDispatched) {
            ZEL_LOGE(
                ZEL_CORE_NETWORK, "Write to socket failed! Error: [%s]",
                state_ == State::kClosed ? "socket closed" : "a response is already being written");
            return NL_SOCKET_FAILURE;
        }
        state_ = State::kWritingBlocking;
    }
    const boost::system::error_code error = WriteWithin(response.data(), size);
    if (error == boost::asio::error::timed_out)
        ++g_write_deadline_closes;
    if (error)
        ZEL_LOGD(ZEL_CORE_NETWORK, "Write to socket failed! Error: [%s]", error.message().c_str());
    bool closed = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (error == boost::asio::error::timed_out)
            AbortLocked();
        closed = error ? CloseLocked() : BeginLingerLocked();
    }
    if (closed)
        Forget();
    return error ? NL_SOCKET_FAILURE : NL_SUCCESS;
}

boost::system::error_code IncomingTCPSession::WriteWithin(const char* data, std::size_t size) {
    const std::chrono::milliseconds bound(g_write_timeout_ms.load());
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + bound;
    boost::system::error_code ec;
    std::size_t sent = 0;
    while (sent < size) {
        const std::size_t now_sent =
            socket_.write_some(boost::asio::buffer(data + sent, size - sent), ec);
        sent += now_sent;
        if (now_sent > 0)
            deadline = std::chrono::steady_clock::now() + bound;  // progress
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
    bool closed = false;
    {
        boost::lock_guard<boost::mutex> lock(session_lock_);
        if (state_ == State::kWritingBlocking) {
            boost::system::error_code ec;
            socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
        } else {
            closed = CloseLocked();
        }
    }
    if (closed)
        Forget();
}

void IncomingTCPSession::ShutDown() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    if (state_ == State::kWritingBlocking) {
        // The writer owns the socket outside the lock: the shutdown wakes
        // its poll and it closes.
        boost::system::error_code ec;
        socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
        return;
    }
    CloseLocked();
}

bool IncomingTCPSession::CloseLocked() {
    if (state_ == State::kClosed)
        return false;
    state_ = State::kClosed;
    // Any pending read or write holds a reference: closing completes it at
    // once as aborted. The answer buffers stay until the destructor, since a
    // cancelled write may still name them.
    deadline_at_.store(kNoDeadline, std::memory_order_relaxed);
    boost::system::error_code ec;
    if (socket_.is_open()) {
        socket_.close(ec);
        if (ec)
            ZEL_LOGD(ZEL_CORE_NETWORK, "TCP Socket close error, possibly closed already!");
    }
    return true;
}

void IncomingTCPSession::AbortLocked() {
    // A peer that stopped reading gets a reset: the unsent answer is
    // dropped at once instead of being left to the kernel to retry.
    boost::system::error_code ec;
    socket_.set_option(boost::asio::socket_base::linger(true, 0), ec);
}

void IncomingTCPSession::Forget() {
    server_->NotifySessionClosed(session_id_);
}

void IncomingTCPSession::ReleaseBuffersLocked() {
    delete string_response_;
    string_response_ = nullptr;
    std::free(binary_response_);
    binary_response_ = nullptr;
}

IncomingTCPSession::State IncomingTCPSession::GetState() {
    boost::lock_guard<boost::mutex> lock(session_lock_);
    return state_;
}

bool IncomingTCPSession::IsWritePending() {
    const State state = GetState();
    return state == State::kWriting || state == State::kWritingBlocking;
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
