// The listener of one streaming server: one interface address and port.
// Created and owned by the streaming manager (in its profiles); its accept
// handler and its sessions run on the "ZelStrmIo" threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <set>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/streaming.h>
#include "utils/src/common/accept_backoff.h"

namespace zel_upnp {
namespace streaming {

class IncomingSession;

// Must be held by a boost::shared_ptr before Start. Not restartable.
class TCPServer : public boost::enable_shared_from_this<TCPServer> {
  public:
    // Ports tried by Start: the requested one and the 99 above it.
    static constexpr int kBindAttempts = 100;
    static constexpr int kListenBacklog = 128;
    // Open sessions per server at most; a connection beyond them, or beyond
    // the process's descriptor budget (utils/src/common/descriptor_budget.h,
    // shared with every other server), is closed at once, so that a peer
    // opening connections cannot exhaust descriptors.
    static constexpr std::size_t kMaxSessions = 1024;

    // The per-server session cap.
    static std::size_t SessionCap();

    TCPServer(const ServerAppCallbacks& callbacks, const std::string& ip_address,
              const network_layer::NetInfo& nic, int port, boost::asio::io_service& io_service,
              int server_id);
    virtual ~TCPServer();
    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    // 0 with the bound port, or 1004, 1007, 1009.
    int Start(int& port);
    // Closes the acceptor and every session. With notify every announced
    // session gets on_status 4 (its interface went away); without, no
    // session callback runs once Stop has returned.
    void Stop(bool notify = false);
    int SendResponse(int session_id, const ResHeaderInfo* head, bool last);
    int SendPayload(int session_id, void* data, unsigned int length, bool last);
    int SendFilePayload(int session_id, int fd, int64_t offset, unsigned int length, bool last);
    // Closes one session; 1011 when it is not there.
    int StopSession(int session_id);
    // Removes a session from the list (called by the session as it closes).
    void SessionCompleted(int session_id);

    int ServerId() const { return server_id_; }
    int Port() const { return port_; }
    const std::string& IpAddress() const { return ip_address_; }
    const std::string& InterfaceName() const { return interface_name_; }

  private:
    boost::shared_ptr<IncomingSession> FindSession(int session_id);
    int TryPort(int port);
    void StartAccept();  // session-list mutex held
    // Accepts into the waiting session. Session-list mutex held.
    void AcceptInto(const boost::shared_ptr<IncomingSession>& session);
    void HandleAcceptCallback(const boost::system::error_code& error,
                              boost::shared_ptr<IncomingSession> session);
    // Logs a failed accept (at error level the first time of each kind) and
    // accepts into session again after the pause. Session-list mutex held.
    void RetryAccept(const boost::system::error_code& error,
                     const boost::shared_ptr<IncomingSession>& session);

    const ServerAppCallbacks callbacks_;
    const std::string ip_address_;
    const std::string interface_name_;
    const int requested_port_;
    const int server_id_;
    boost::asio::io_service& io_service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer accept_timer_;  // session-list mutex
    utils::AcceptBackoff accept_backoff_;     // session-list mutex
    int port_;
    int next_session_id_;  // session-list mutex
    // Guarded by SessionListMutex(); the session waiting in accept is its
    // last element.
    std::list<boost::shared_ptr<IncomingSession> > incoming_session_list_;
    // Ids of the listed sessions that hold a share of the descriptor budget;
    // guarded by SessionListMutex().
    std::set<int> budgeted_sessions_;
};

// The one mutex of every server's session list and of session creation.
boost::mutex& SessionListMutex();

}  // namespace streaming
}  // namespace zel_upnp
