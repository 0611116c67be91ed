// One accepted HTTP connection: it reads one request, hands it to the
// dispatch core with a session context, writes the one response a listener
// sends back, lingers and closes. Created by TCPServer for its pending
// accept; the socket's handlers run on the server manager's "ZelTcpIo"
// threads, while answers are started by whoever holds the session context.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/utils.h>
#include "network_layer/src/server_notify.h"

namespace zel_upnp {
namespace network_layer {

// Must be held by a boost::shared_ptr: every pending handler and every
// session context keeps the session alive.
//
// The life of a session is one state variable, guarded by the session lock;
// each state names the one thread that may drive the socket in it
// (docs/network-layer.md has the diagram):
//   Reading          an io thread: reads, parses, the request deadline;
//   Dispatched       whoever holds the session context (a worker, the action
//                    thread, the application, or the io thread itself while
//                    the dispatch call runs) starts the answer;
//   Writing          an io thread: the rest of an answer the send buffer did
//                    not take at once, under the no-progress deadline;
//   WritingBlocking  the caller of Write, outside the lock;
//   Lingering        an io thread: the sending side is shut down and input
//                    is drained (bounded in time and bytes) before the close;
//   Closed           nobody; late handlers see it and return.
// The server's Stop or shedding may act in any state: it closes the socket,
// except in WritingBlocking, where it only shuts it down and the writer
// closes.
class IncomingTCPSession : public boost::enable_shared_from_this<IncomingTCPSession> {
  public:
    enum class State { kReading, kDispatched, kWriting, kWritingBlocking, kLingering, kClosed };

    // Bytes read from the socket at a time, into one buffer reused per read.
    static constexpr std::size_t kReadBufferSize = 8192;
    // A request (head and body) may not exceed this many bytes.
    static constexpr std::size_t kMaxRequestSize = 1048576;
    // A request not complete this long after the accept closes the session;
    // an answer that makes no progress for the second closes it too (and is
    // counted), so that a peer that never reads cannot keep it.
    static constexpr std::chrono::milliseconds kRequestTimeout{30000};
    static constexpr std::chrono::milliseconds kWriteTimeout{30000};
    // After the answer, input is drained for at most this long and this many
    // bytes before the close, so that unread input does not turn the close
    // into a reset that destroys answer bytes still in flight.
    static constexpr std::chrono::milliseconds kLingerTimeout{2000};
    static constexpr std::size_t kLingerMaxBytes = 1048576;

    // Replaces the request and write bounds for sessions from now on (tests).
    static void SetTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds write);
    // Answers closed for lack of progress since the process started.
    static unsigned long WriteDeadlineCloses();

    // Whether the deadline of the current state has passed by now. Read
    // without the lock: the server's sweep filters its sessions with it.
    bool DeadlinePassed(std::chrono::steady_clock::time_point now) const {
        const std::chrono::steady_clock::rep at = deadline_at_.load(std::memory_order_relaxed);
        return at != kNoDeadline && at <= now.time_since_epoch().count();
    }
    // Ends the session if its deadline has passed (checked again under the
    // lock). Called by the server's sweep on an io thread, without the
    // server's locks.
    void OnDeadline(std::chrono::steady_clock::time_point now);

    // own_address is the address of the accepting server, which is the
    // local address of every connection it accepts.
    IncomingTCPSession(boost::asio::io_service& io_service, boost::shared_ptr<ServerNotify> server,
                       int session_id, const std::string& own_address);
    ~IncomingTCPSession();
    IncomingTCPSession(const IncomingTCPSession&) = delete;
    IncomingTCPSession& operator=(const IncomingTCPSession&) = delete;

    // The socket the server's pending accept fills. Only the server touches
    // it, and only before RegisterRead.
    boost::asio::ip::tcp::socket& Socket() { return socket_; }
    // Where the pending accept writes the peer's endpoint (the kernel hands
    // it over with the connection, so no separate query is made).
    boost::asio::ip::tcp::endpoint& PeerEndpoint() { return remote_; }
    int GetSessionId() const { return session_id_; }
    // The peer's address read by SetPeer; fixed from then on.
    const std::string& PeerAddress() const { return peer_address_; }

    // Takes the peer's address from the endpoint the accept filled (empty
    // when the accept gave none). Called once by the accept handler, before
    // the session is listed, so before any other thread can see it.
    void SetPeer();
    // Starts reading the request (called once, by the accept handler, after
    // SetPeer). Does nothing on a session closed meanwhile by a stop.
    void RegisterRead();
    // Takes ownership of response (allocated with new) and writes its first
    // min(length, size) bytes: at once as far as the socket takes them, the
    // rest from an io thread; then lingers and closes. Safe from inside the
    // dispatch call on the io thread. 0; NL_SOCKET_FAILURE, without taking
    // ownership, when an answer was already started.
    int RegisterWrite(std::string* response, int length);
    // The same for a buffer allocated with malloc, of length bytes.
    int RegisterWrite(char* data, int length);
    // Writes min(length, size) bytes on the calling thread, blocking until
    // they are sent (within the write bound), then lingers and closes.
    // 0, or NL_SOCKET_FAILURE.
    int Write(const std::string& response, int length);
    // Closes the connection without an answer and makes the server forget
    // the session (a request that will never be answered).
    void Abandon();
    // For the server's Stop and shedding, which have already forgotten the
    // session: closes it in any state (see the class comment).
    void ShutDown();

    State GetState();
    // For tests: an answer is being written.
    bool IsWritePending();
    // The session context of this session has been consumed (deleted):
    // answered, refused or released.
    bool IsContextConsumed() const { return context_consumed_.load(); }
    void MarkContextConsumed() { context_consumed_.store(true); }

  private:
    // Lock held for every *Locked member.
    void StartReadLocked();
    void CallbackRead(const boost::system::error_code& error, std::size_t bytes);
    // Takes ownership of text or binary (the buffer behind data) and writes
    // size bytes of data.
    int WriteOrStart(std::string* text, char* binary, const char* data, std::size_t size);
    void StartWriteLocked();
    void CallbackWrite(const boost::system::error_code& error, std::size_t bytes);
    // The whole answer is in the kernel: shut the sending side down and
    // drain input until the peer closes, or close now. True when closed.
    bool BeginLingerLocked();
    void CallbackLinger(const boost::system::error_code& error, std::size_t bytes);
    // Reads what is there without blocking, discarding it. True when the
    // input ended, failed or passed the linger bound.
    bool DrainAvailableLocked();
    // Sets the deadline of the current state; the server's sweep enforces it.
    void ArmDeadlineLocked(std::chrono::milliseconds after);
    // Enters Closed: clears the deadline, closes the socket (pending
    // operations complete as aborted). False when already closed.
    bool CloseLocked();
    // Makes the next close a reset (an answer cut at its deadline).
    void AbortLocked();
    void ReleaseBuffersLocked();
    // Hands the completed request to the dispatch core.
    void DispatchRequest();
    // Answers with the fixed 400 (state Dispatched).
    void SendOversizeResponse();
    // Tells the server to forget the session; never with the lock held.
    void Forget();
    // Writes all of data on the blocking path within the write bound; the
    // socket is in non-blocking mode and the lock is not held.
    boost::system::error_code WriteWithin(const char* data, std::size_t size);

    // Serialises every use of socket_ except the blocking writer's (which
    // owns it in WritingBlocking) and guards everything below it.
    boost::mutex session_lock_;
    State state_;
    boost::asio::ip::tcp::socket socket_;
    // The deadline of the current state (request, write progress, linger)
    // in steady-clock ticks, kNoDeadline in the others. No timer per session:
    // arming or cancelling one from the thread that answers would wake an io
    // thread only to retire it. Written under the lock.
    static constexpr std::chrono::steady_clock::rep kNoDeadline = 0;
    std::atomic<std::chrono::steady_clock::rep> deadline_at_;
    const std::string own_address_;
    std::string peer_address_;
    // The peer's endpoint, filled by the accept; valid when remote_known_,
    // which SetPeer sets.
    boost::asio::ip::tcp::endpoint remote_;
    bool remote_known_;
    const int session_id_;
    char* binary_response_;  // malloc'd; owned while a write is in progress
    // Strong: the server lives as long as any of its sessions.
    boost::shared_ptr<ServerNotify> server_;
    // Filled by the read handlers only (one read in flight at a time), then
    // handed on; never touched by the session after the hand-off.
    boost::shared_ptr<utils::HTTPInfo> request_;
    std::string* string_response_;  // owned while a write is in progress
    // The part of the answer not yet written (State Writing).
    const char* write_data_;
    std::size_t write_left_;
    char read_buffer_[kReadBufferSize];
    // Request bytes in Reading, drained bytes in Lingering.
    std::size_t received_;
    std::atomic<bool> context_consumed_;
};

// The opaque session handle handed upward with every TCP request. It holds
// one reference to the session; the response functions consume it.
// Deleting the block is what consuming it means.
struct SessionContext {
    explicit SessionContext(const boost::shared_ptr<IncomingTCPSession>& owner) : session(owner) {}
    ~SessionContext() {
        if (session)
            session->MarkContextConsumed();
    }
    SessionContext(const SessionContext&) = delete;
    SessionContext& operator=(const SessionContext&) = delete;

    boost::shared_ptr<IncomingTCPSession> session;
};

// The session of a context not yet consumed; null for a null context.
inline boost::shared_ptr<IncomingTCPSession> SessionOf(void* context) {
    return context != nullptr ? static_cast<SessionContext*>(context)->session
                              : boost::shared_ptr<IncomingTCPSession>();
}

// Consumes a context that will never be answered: the connection is closed
// and the block freed. A null context is ignored.
void ReleaseSessionContext(void* context);

// The answer to an oversize request or to one the dispatch core would not
// queue: a 400 with the UPnP "Invalid Args" fault.
const std::string& OversizeRequestResponse();

}  // namespace network_layer
}  // namespace zel_upnp
