// The core shared by the unicast UDP and the multicast servers: one socket on
// one interface address, one receive in flight, assembly of a request from
// its datagrams, hand-off to the dispatch core, and the stop path. The two
// kinds differ only in how they open and bind the socket, what they do before
// closing it, and which senders they listen to. Created, started, stopped and
// owned by the server manager; the receive path runs on the one io thread of
// the server's pool ("ZelUdpIo" or "ZelMcastIo").
#pragma once

#include <cstddef>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <zel_upnp/utils.h>
#include "network_layer/src/server_notify.h"

namespace zel_upnp {
namespace network_layer {

// Receive buffer of both server kinds. A datagram is read into at most one
// byte less than the buffer, so that a refused one can be logged as text;
// longer datagrams are truncated by the kernel.
constexpr std::size_t kDatagramBufferSize = 8192;
constexpr std::size_t kMaxDatagramSize = kDatagramBufferSize - 1;
// Deliberate safety bound: a request whose head is still open is assembled
// from one sender only and from at most this many bytes in all. A datagram
// from another sender, or one that would pass the bound, drops the unfinished
// request (logged) and starts a new one, so that a peer streaming datagrams
// without a blank line neither grows memory nor merges into another host's
// M-SEARCH or NOTIFY.
constexpr std::size_t kMaxAssembledRequestSize = kMaxDatagramSize;

// What became of one datagram handed to DatagramAssembly::Feed.
enum class DatagramResult {
    kParseFailure,  // the parser refused it; the request was dropped
    kIncomplete,    // the head is still open; later datagrams of this sender go on with it
    kComplete       // the request is complete and carries both addresses and the port
};

// The request being assembled by one server. Not thread-safe: its server's
// lock guards it.
class DatagramAssembly {
  public:
    DatagramAssembly();

    // Feeds one datagram of length bytes (1..kMaxDatagramSize) from sender.
    // A complete request is stamped with own_address and the sender's
    // address and port; take it with TakeRequest.
    DatagramResult Feed(const char* data, std::size_t length, const std::string& own_address,
                        const boost::asio::ip::udp::endpoint& sender);
    // The completed request; a fresh one takes its place. May throw
    // std::bad_alloc, leaving the assembly unchanged.
    boost::shared_ptr<utils::HTTPInfo> TakeRequest();
    // Drops whatever has been assembled.
    void Reset();
    // Bytes of the unfinished request so far (0 when none is open).
    std::size_t PendingBytes() const { return pending_bytes_; }
    // The parser stage of the request as it was refused, for the log.
    int LastFailedStatus() const { return failed_status_; }

  private:
    boost::shared_ptr<utils::HTTPInfo> request_;
    boost::asio::ip::udp::endpoint pending_sender_;
    std::size_t pending_bytes_;
    int failed_status_;
};

// Must be held by a boost::shared_ptr before Start: the pending receive holds
// a reference, so a started server lives until its last receive has
// completed after Stop.
class DatagramServer : public ServerNotify, public boost::enable_shared_from_this<DatagramServer> {
  public:
    ~DatagramServer() override;
    DatagramServer(const DatagramServer&) = delete;
    DatagramServer& operator=(const DatagramServer&) = delete;

    // Nothing to do: a datagram server has no sessions.
    void NotifySessionClosed(int session_id) override;
    void HandleFailureCondition(int session_id) override;

    // Opens and binds the socket (OpenLocked), writes the bound port back to
    // port and starts receiving. 0, or the code of OpenLocked; 2004 while
    // already running. May be called again after Stop.
    int Start(int& port) override;
    std::string GetIpAddress() override;
    std::string GetInterfaceName() override;
    int GetPort() override;
    // Cancels the pending receive and closes the socket; always 0.
    int Stop() override;

    // For tests and diagnostics: bytes of the request being assembled.
    std::size_t PendingRequestBytes();

  protected:
    // kind names the server in its log lines.
    DatagramServer(const std::string& interface_address, const std::string& interface_name,
                   int port, boost::asio::io_service& io_service, const char* kind);

    // Opens and binds socket_ for a request of port; on success port holds
    // the bound port. On failure the socket is closed. Lock held.
    virtual int OpenLocked(int& port) = 0;
    // Runs before the socket of a running server is closed; lock held.
    virtual void BeforeCloseLocked() {}
    // False for a sender whose complete requests are dropped unheard.
    virtual bool WantsRequestFrom(const boost::asio::ip::udp::endpoint& sender);
    void CloseSocketLocked();

    boost::asio::ip::udp::socket socket_;
    const std::string interface_address_;
    const std::string interface_name_;
    const char* const kind_;
    // Guards every mutable field against Start, Stop and the io thread.
    // Never held while the dispatch core is called.
    boost::recursive_mutex server_lock_;

  private:
    // Arms the one receive of the current run; lock held.
    void StartReceiveLocked();
    // Completion of the receive armed in run number run; io thread only.
    void CallbackReceive(unsigned run, const boost::system::error_code& ec, std::size_t bytes);

    // Written by the io service when a datagram arrives.
    boost::asio::ip::udp::endpoint sender_;
    DatagramAssembly assembly_;
    char buffer_[kDatagramBufferSize];
    bool stopped_;
    int port_;
    // Counts successful Starts. A receive completion carries the run that
    // armed it, so that one cancelled by Stop but delivered after a new
    // Start cannot re-arm a second receive on the new socket.
    unsigned run_;
};

}  // namespace network_layer
}  // namespace zel_upnp
