// The HTTP listener of one interface address and port. Created, started,
// stopped and owned by the server manager; its handlers and those of its
// sessions run on the three "ZelTcpIo" threads of the manager's TCP io
// service, concurrently.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include "network_layer/src/incoming_tcp_session.h"
#include "network_layer/src/server_notify.h"
#include "utils/src/common/accept_backoff.h"

namespace zel_upnp {
namespace network_layer {

// Must be held by a boost::shared_ptr before Start. Not restartable: after
// Stop the server manager makes a new server.
class TCPServer : public ServerNotify, public boost::enable_shared_from_this<TCPServer> {
  public:
    // Ports tried by Start: the requested one and the 98 above it.
    static constexpr int kBindAttempts = 99;
    static constexpr int kListenBacklog = 128;

    TCPServer(const std::string& interface_address, const std::string& interface_name,
              boost::asio::io_service& io_service);
    ~TCPServer() override;
    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    void NotifySessionClosed(int session_id) override;
    void HandleFailureCondition(int session_id) override;
    // Binds the interface address on port or on the next free one of
    // kBindAttempts ports, writes the bound port back and starts accepting.
    // 0, NL_SERVER_START_FAILED (invalid address) or NL_BIND_FAILURE.
    int Start(int& port) override;
    std::string GetIpAddress() override;
    std::string GetInterfaceName() override;
    int GetPort() override;
    // Stops accepting and shuts every session down; 0.
    int Stop() override;

    // Sessions one peer address may hold at once; a further connection from
    // it is closed at once (counted in RefusedConnections).
    static constexpr unsigned kMaxSessionsPerAddress = 64;
    // How often the sessions' deadlines are checked while any are listed: a
    // deadline is enforced up to this much after it passed.
    static constexpr std::chrono::milliseconds kSweepPeriod{250};

    // Accepted sessions still alive; the one waiting for the next connection
    // is not counted.
    size_t GetSessionCount();
    // Sessions of one peer address.
    unsigned GetSessionCount(const std::string& peer_address);
    // Connections closed at accept (per-address cap, spent budget) and
    // sessions shed to make room, since the server started.
    unsigned long RefusedConnections();
    unsigned long ShedSessions();

  private:
    // Appends a fresh session and accepts the next connection into it;
    // server lock held.
    void StartAcceptLocked();
    void AcceptInto(const boost::shared_ptr<IncomingTCPSession>& session);
    void handle_accept(boost::shared_ptr<IncomingTCPSession> session,
                       const boost::system::error_code& error);
    void handle_accept_retry(boost::shared_ptr<IncomingTCPSession> session,
                             const boost::system::error_code& error);
    // Finds room for a session from peer_address: the per-address cap, then
    // a share of the process's descriptor budget, shedding the oldest
    // session of the address that holds the most when the budget is spent.
    // False: the newcomer is refused. Sessions lock held.
    bool AdmitLocked(const std::string& peer_address);
    // Removes the session at it from the list and gives its shares back;
    // sessions lock held.
    void ForgetLocked(std::list<boost::shared_ptr<IncomingTCPSession>>::iterator it);
    // Arms the deadline sweep unless armed; server lock held.
    void ArmSweepLocked();
    // Ends the sessions whose deadline passed; re-arms while any are listed.
    void Sweep(const boost::system::error_code& error);
    // Closes the acceptor if open; with_reason: the failure log names the
    // error (the start path does, the stop paths do not).
    void CloseAcceptorLocked(bool with_reason);

    // Accepted sessions, oldest first. The session a pending accept fills is
    // not among them: until the accept completes its socket belongs to the
    // io thread that completes it, so Stop must not touch it.
    std::list<boost::shared_ptr<IncomingTCPSession>> sessions_;
    // Listed sessions per peer address; each listed session also holds one
    // share of the descriptor budget.
    std::map<std::string, unsigned> per_address_;
    // Guards stopped_, port_, the acceptor and the timers. Taken before
    // the sessions lock and any session lock, never after one.
    boost::recursive_mutex server_lock_;
    // Guards sessions_, per_address_ and the counters below. Apart from the
    // server lock so that a session ending on the thread that answered it
    // never waits for an accept under way. Taken before a session lock,
    // never after one.
    boost::mutex sessions_lock_;
    const std::string interface_address_;
    const std::string interface_name_;
    boost::asio::io_service& io_service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    // Delays a new accept after an accept error other than a closed
    // acceptor (running out of descriptors would otherwise spin).
    boost::asio::steady_timer accept_retry_timer_;
    utils::AcceptBackoff accept_backoff_;
    // One timer for the deadlines of all sessions, running while any are
    // listed (an idle server has no timer pending). Server lock.
    boost::asio::steady_timer sweep_timer_;
    bool sweep_armed_;
    bool stopped_;
    unsigned long refused_;
    unsigned long shed_;
    int port_;
    int next_session_id_;
};

}  // namespace network_layer
}  // namespace zel_upnp
