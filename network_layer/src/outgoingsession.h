// One request of the outgoing client: an asynchronous HTTP request whose
// response goes to the dispatch core, a blocking request on the caller's
// thread, or a reachability probe. Created and owned by the
// ClientManager; the asynchronous kinds run on its "ZelCliIo" threads.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace network_layer {

// What a session may ask of its owner, from the client threads and never
// with the session's lock held.
class SessionOwner {
  public:
    virtual ~SessionOwner() {}
    // Forgets the session (and stops it).
    virtual void RemoveSession(const int& session_id) = 0;
    // Drops the session's response listener, then forgets the session: the
    // request ends without a response.
    virtual void HandleFailureCondition(const int& session_id) = 0;
};

// Must be held by a boost::shared_ptr: every pending handler keeps the
// session alive, so a stopped session lives until its last handler ran.
//
// Locking: session_lock_ serialises every call on socket_ and timer_ (the
// client threads start operations, Stop comes from any thread) and guards
// the flags. The response and the receive buffer are touched only by the
// one read chain in flight, or by the caller's thread of a blocking request.
class OutgoingSession : public boost::enable_shared_from_this<OutgoingSession> {
  public:
    // Bytes read from the socket at a time.
    static constexpr std::size_t kReceiveBufferSize = 8192;
    // Deliberate safety bound: a response (head and body) larger than this
    // ends the request as a broken read does, the same cap as an incoming
    // request, so that a peer cannot grow our memory without limit.
    static constexpr std::size_t kMaxResponseSize = 1048576;
    // A descriptor above this number is worth a warning: the process is
    // running out of them.
    static constexpr int kManySocketsFd = 449;
    static constexpr int kMaxPort = 65535;

    OutgoingSession(boost::asio::io_service& io_service, SessionOwner* owner, int session_id);
    ~OutgoingSession();
    OutgoingSession(const OutgoingSession&) = delete;
    OutgoingSession& operator=(const OutgoingSession&) = delete;

    int GetSessionId() const { return session_id_; }

    // Asynchronous request: starts connecting to ip:port; the request is
    // written once connected, and the response must begin within
    // response_timeout_ms of the write. 0 when the connect is under way;
    // 2000 (session stopped) for an invalid address or port.
    int Start(const std::string& ip, int port, const std::string& packet, int response_timeout_ms);
    // Reachability probe: connects and only records whether that worked.
    int StartProbe(const std::string& ip, int port);
    // True once a connect of this session has succeeded.
    bool IsConnected();

    // Blocking request on the calling thread: connect, write, then read and
    // parse into response until the peer ends the stream. Stop (from the
    // time-out) aborts it. 0, 2000 (connect), 2004 (read, or stopped under
    // the read), 2009 (parse).
    int SendSync(const std::string& ip, int port, const std::string& packet,
                 boost::shared_ptr<utils::HTTPInfo>& response);

    // Cancels the response timer and resets the connection (linger 0). A
    // pending operation completes with an error. Any thread; idempotent.
    void Stop();
    bool IsStopped();

  private:
    // Asynchronous chain, in the order it runs. Register* take the lock.
    void RegisterConnect();
    void CallbackConnect(const boost::system::error_code& error);
    void RegisterWrite();
    void CallbackWrite(const boost::system::error_code& error, std::size_t bytes);
    void RegisterRead();
    void CallbackRead(const boost::system::error_code& error, std::size_t bytes);
    void RegisterTimeout();
    void CallbackTimeout(const boost::system::error_code& error);

    // Feeds one packet of the response; handles interim (1xx) responses.
    // 0, or non-zero on a parse failure.
    int ParseResponse(const char* data, std::size_t length);
    // Hands the response to the dispatch core; the session is then done.
    void DeliverResponse();
    // Hands the fixed 500 fault of a broken read to the dispatch core.
    void DeliverReadFailure();
    // Turns the address literal ip and port into endpoints_ (IPv4, or IPv6
    // with a zone for link-local). false on failure.
    bool ResolveLocked(const std::string& ip, int port);
    // Resets and closes the socket; lock held.
    void CloseLocked();
    boost::asio::io_service& io_service_;
    SessionOwner* const owner_;  // outlives every session (joins the client threads first)
    const int session_id_;
    boost::mutex session_lock_;
    boost::asio::ip::tcp::socket socket_;
    std::vector<boost::asio::ip::tcp::endpoint> endpoints_;
    std::size_t next_endpoint_;
    std::string request_;
    std::size_t written_;
    // Response bytes read so far, against kMaxResponseSize.
    std::size_t received_;
    char receive_buffer_[kReceiveBufferSize + 1];  // one more byte to log a packet as text
    boost::shared_ptr<utils::HTTPInfo> response_;
    // The head of the current response while it is incomplete, so that the
    // bytes after an interim response's head can be parsed as the next one.
    std::string pending_head_;
    boost::asio::steady_timer timer_;
    int response_timeout_ms_;
    bool timer_pending_;
    bool connected_;
    bool stopped_;
    bool probe_;
    // A response has been handed on: a late time-out must not end the
    // session a second time.
    bool finished_;
    // A blocking request is in a system call on the socket: Stop must not
    // close the descriptor under it, only shut it down.
    bool blocking_;
};

// The response a listener receives when the connection broke while its
// response was being read: a 500 with the UPnP fault 501 "Action Failed".
const std::string& ReadFailureResponse();

}  // namespace network_layer
}  // namespace zel_upnp
