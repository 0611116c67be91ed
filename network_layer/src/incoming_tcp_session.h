// One accepted HTTP connection: it reads one request, hands it to the
// dispatch core with a session context, writes the one response a listener
// sends back and closes. Created by TCPServer for its pending accept; all
// read handlers run on the server manager's "ZelTcpIo" threads, while the
// writes are started by dispatch threads through the response functions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
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
class IncomingTCPSession : public boost::enable_shared_from_this<IncomingTCPSession> {
  public:
    // Bytes read from the socket at a time, into one buffer reused per read.
    static constexpr std::size_t kReadBufferSize = 8192;
    // A request (head and body) may not exceed this many bytes.
    static constexpr std::size_t kMaxRequestSize = 1048576;
    // Deliberate safety bounds: a request not completely received this long
    // after the connection was accepted closes the session, so that a slow
    // or silent peer cannot hold it for ever; a blocking response write
    // gives up after the second.
    static constexpr std::chrono::milliseconds kRequestTimeout{30000};
    static constexpr std::chrono::milliseconds kWriteTimeout{30000};

    // Replaces both bounds for sessions accepted from now on (tests).
    static void SetTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds write);

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
    int GetSessionId() const { return session_id_; }

    // Starts reading the request (called once, by the accept handler).
    void RegisterRead();
    // Takes ownership of response (allocated with new) and writes its first
    // min(length, size) bytes asynchronously, then closes the connection.
    // 0; NL_SOCKET_FAILURE, without taking ownership, while another write is
    // in progress.
    int RegisterWrite(std::string* response, int length);
    // The same for a buffer allocated with malloc, of length bytes.
    int RegisterWrite(char* data, int length);
    // Writes min(length, size) bytes on the calling thread, blocking until
    // they are sent, then closes the connection. 0, or NL_SOCKET_FAILURE.
    int Write(const std::string& response, int length);
    // Closes the connection without an answer and makes the server forget
    // the session (a request that will never be answered).
    void Abandon();
    // Shuts the socket down in both directions and closes it; a write in
    // progress is cancelled and closes the socket when it completes.
    // stop_called: the server (Stop, session limit) has already forgotten
    // the session.
    void ShutDown(bool stop_called);
    // Shutdown and close for a caller that already holds the session lock.
    void ShutDownOnStopCalled();

    // For tests: a write is in progress.
    bool IsWritePending();
    // The session context of this session has been consumed (deleted):
    // answered, refused or released.
    bool IsContextConsumed() const { return context_consumed_.load(); }
    void MarkContextConsumed() { context_consumed_.store(true); }

  private:
    // Starts the next read unless the session was shut down; lock held.
    void StartRead();
    void CallbackRead(const boost::system::error_code& error, std::size_t bytes);
    void CallbackWrite(const boost::system::error_code& error, std::size_t bytes);
    // Takes ownership of text or binary (the buffer behind data) and writes
    // size bytes of data: at once as far as the socket takes them, the rest
    // asynchronously; closes the connection when all is written.
    int WriteOrStart(std::string* text, char* binary, const char* data, std::size_t size);
    // Writes what the socket takes of data without blocking; bytes sent.
    // error stays clear when it would block, is set when it fails. Lock held.
    std::size_t WriteAvailableLocked(const char* data, std::size_t size,
                                     boost::system::error_code& error);
    // Starts the asynchronous write of length bytes at data (owned by the
    // session) on the open socket; lock held.
    void StartWriteLocked(const char* data, std::size_t length);
    // The response is written (or failed): releases it and closes. True when
    // the caller must make the server forget the session. Lock held.
    bool FinishWriteLocked(const boost::system::error_code& error, std::size_t bytes);
    // After a write found the socket closed: close as the stop path wants,
    // or tell the caller to make the server forget the session.
    bool HandleClosedSocketLocked();
    void ShutDownLocked(bool stop_called);
    void CloseLocked();
    void ReleaseBuffersLocked();
    // Hands the completed request to the dispatch core.
    void DispatchRequest(const boost::asio::ip::tcp::endpoint& remote,
                         const boost::system::error_code& remote_error);
    void SendOversizeResponse();
    // Arms the request deadline; lock held.
    void StartRequestTimerLocked();
    void CallbackRequestTimeout(const boost::system::error_code& error);
    // Writes all of data on the blocking path within the write bound; the
    // socket is in non-blocking mode and the lock is not held.
    boost::system::error_code WriteWithin(const char* data, std::size_t size);

    // Serialises every use of socket_ (read start, write start and
    // completion, shutdown) and guards the buffers and flags below.
    boost::mutex session_lock_;
    boost::asio::ip::tcp::socket socket_;
    // The request deadline, from accept until the request is complete.
    boost::asio::steady_timer request_timer_;
    const std::string own_address_;
    const int session_id_;
    char* binary_response_;  // malloc'd; owned while a write is in progress
    // Strong: the server lives as long as any of its sessions.
    boost::shared_ptr<ServerNotify> server_;
    // Filled by the read handlers only (one read in flight at a time), then
    // handed on; never touched by the session after the hand-off.
    boost::shared_ptr<utils::HTTPInfo> request_;
    std::string* string_response_;  // owned while a write is in progress
    // One byte more than a read takes, so that a failed packet can be logged
    // as a terminated string.
    char read_buffer_[kReadBufferSize + 1];
    std::size_t received_;
    // The request was complete and handed on: the deadline no longer holds.
    bool dispatched_;
    bool stop_called_;
    bool write_pending_;
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
