// Peers and recorders shared by the network tests: blocking peer sockets
// that run inside a namespace, a scripted HTTP peer, recorders of what the
// dispatch core hands to listeners, counters of this process's threads and
// descriptors, and bounded waits. Every wait ends by its deadline, so a
// server that never answers fails the test instead of hanging it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "network_layer/src/incoming_tcp_session.h"
#include "support/log_capture.h"
#include "support/netns.h"

namespace zel_test {

// Long enough for a loaded sanitizer build; a passing test never waits it out.
constexpr std::chrono::milliseconds kTestWait{10000};
// Poll period of the bounded waits.
constexpr std::chrono::milliseconds kTestPoll{2};
// After everything that could still deliver has been joined, how long a test
// gives the dispatch core's workers to show a call that must not come. Only
// an absence is asserted with it.
constexpr std::chrono::milliseconds kNoCallGrace{200};
constexpr std::size_t kPeerReadSize = 4096;

// Waits until pred holds; false on time-out.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kTestWait);

// Waits until a captured log line contains text; false on time-out.
inline bool WaitForLog(const LogCapture& log, const std::string& text,
                       std::chrono::milliseconds timeout = kTestWait) {
    return WaitUntil([&] { return log.Contains(text); }, timeout);
}

// Suites whose tests share one topology with the main thread in the device
// namespace: call OpenSuiteTopology from SetUpTestSuite (null when
// namespaces are unavailable or setup failed) and ZEL_REQUIRE_TOPOLOGY first
// in SetUp.
std::unique_ptr<NetnsTopology> OpenSuiteTopology(int peers);
#define ZEL_REQUIRE_TOPOLOGY(topo)                                                     \
    do {                                                                               \
        if (!zel_test::NetnsTopology::Available())                                     \
            GTEST_SKIP() << "needs root and the ip tool to create network namespaces"; \
        ASSERT_TRUE(topo) << "the namespace topology could not be set up";             \
    } while (false)

// Peer sockets: each runs on a fresh thread inside ns.
// True when a TCP connection to ip:port from ns is accepted.
bool CanConnect(const std::string& ns, const std::string& ip, int port);
// Sends request to ip:port from ns; everything received until the server
// closes the connection (or the time-out).
std::string TcpExchange(const std::string& ns, const std::string& ip, int port,
                        const std::string& request);
// True when the TCP server at ip:port, reached from ns, reads a request and
// answers it. With no listener registered the dispatch core's fixed 400 is
// the answer. Waiting for the answer, rather than only for the connection,
// also means the server has finished accepting before a test stops it.
bool Serves(const std::string& ns, const std::string& ip, int port);
// One datagram from ns to ip:port; for a multicast ip, sent out of the
// interface with address from_ip.
bool SendDatagram(const std::string& ns, const std::string& from_ip, const std::string& ip,
                  int port, const std::string& data);

size_t CountThreads();
size_t CountDescriptors();
std::vector<std::string> ThreadNames();
// UDP sockets (v4) bound to local port in the calling thread's namespace.
size_t CountUdpSocketsOnPort(int port);

// One thread running an io_service until destroyed, in place of the server
// manager's io threads. It starts in the namespace of its creator.
class IoThread {
  public:
    IoThread() : work_(new boost::asio::io_service::work(io_)), thread_([this] { io_.run(); }) {}
    ~IoThread() { Join(); }
    // Ends the thread but keeps the io_service, which sockets made on it
    // need until they are destroyed.
    void Join() {
        work_.reset();
        io_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;
    boost::asio::io_service& Io() { return io_; }

  private:
    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    std::thread thread_;
};

// Called on the dispatch core's "ZelUdpReq" workers, two at a time.
class UdpRequestRecorder : public zel_upnp::network_layer::UDPRequestListener {
  public:
    using Request = boost::shared_ptr<zel_upnp::utils::HTTPInfo>;

    int OnUDPRequestReceived(Request request) override;
    std::vector<Request> Requests();
    size_t Count();
    bool WaitForCount(size_t count, std::chrono::milliseconds timeout = kTestWait);
    // The first request whose header name has exactly value, waiting for it
    // to arrive; null on time-out.
    Request WaitForHeader(const char* name, const std::string& value,
                          std::chrono::milliseconds timeout = kTestWait);
    size_t CountHeader(const char* name, const std::string& value);

  private:
    Request FindLocked(const char* name, const std::string& value, size_t* count);
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Request> requests_;
};

// Runs the dispatch core's workers with a recorder registered for every
// datagram, for the lifetime of the object. Destroy it only after the
// servers' io threads have ended.
class DispatchHarness {
  public:
    DispatchHarness();
    ~DispatchHarness();
    DispatchHarness(const DispatchHarness&) = delete;
    DispatchHarness& operator=(const DispatchHarness&) = delete;
    bool Ok() const { return ok_; }
    UdpRequestRecorder& Recorder() { return *recorder_; }

  private:
    boost::shared_ptr<UdpRequestRecorder> recorder_;
    int id_ = -1;
    bool ok_ = false;
};

// A member of a multicast group: bound to port on any address, with address
// reuse beside the servers under test, and joined to group on the interface
// with interface_address. Its socket lives in ns (empty: the namespace of
// the calling thread).
class GroupMember {
  public:
    GroupMember(const std::string& ns, const std::string& group, int port,
                const std::string& interface_address);
    bool Ok() const { return ok_; }
    // The next datagram, within timeout; false when none came.
    bool Receive(std::string& data, boost::asio::ip::udp::endpoint& from,
                 std::chrono::milliseconds timeout = kTestWait);
    // Skips datagrams until one from sender arrives; false on time-out.
    bool ReceiveFrom(const std::string& sender);

  private:
    boost::asio::io_service io_;
    boost::asio::ip::udp::socket socket_;
    bool ok_ = false;
};

// How a connection of the scripted peer ended on the client's side.
enum class PeerEnd { kOpen, kClosed, kReset };

// One TCP listener; each accepted connection gets a thread of its own that
// reads the request head (and a Content-Length body) and runs the script.
// The destructor stops accepting, wakes scripts waiting in WaitPeerGone and
// joins every thread.
class ScriptedPeer {
  public:
    using Socket = boost::asio::ip::tcp::socket;
    using Script =
        std::function<void(ScriptedPeer& peer, Socket& socket, const std::string& request)>;

    explicit ScriptedPeer(Script script, const std::string& address = "127.0.0.1");
    ~ScriptedPeer();

    bool Ok() const { return ok_; }
    int Port() const { return port_; }
    std::vector<std::string> Requests();
    std::size_t Connections();
    std::vector<PeerEnd> Ends();
    bool WaitForConnections(std::size_t n);
    bool WaitForEnds(std::size_t n);

    // For scripts: blocks until the client closes or resets the connection,
    // the peer is destroyed or the wait runs out; records how it ended.
    PeerEnd WaitPeerGone(Socket& socket);
    // For scripts: writes all of data; false when the client went away.
    static bool Send(Socket& socket, const std::string& data);
    // For scripts: closes so that the client sees a reset.
    static void Reset(Socket& socket);

  private:
    void AcceptLoop();
    void Serve(Socket& socket);
    std::string ReadRequest(Socket& socket);

    Script script_;
    boost::asio::io_service io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    bool ok_ = false;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // threads_, requests_, ends_
    std::vector<std::thread> threads_;
    std::vector<std::string> requests_;
    std::vector<PeerEnd> ends_;
    std::thread accept_thread_;
};

// Scripts of the peer: send response and close; wait until the client goes.
ScriptedPeer::Script Answer(const std::string& response);
ScriptedPeer::Script Silent();
// A loopback TCP port where nothing listens.
int ClosedPort();

extern const char kOkResponse[];

// Answers every request through the response function of its mode and
// remembers what it got; called on the dispatch core's "ZelTcpReq" workers.
class AnsweringListener : public zel_upnp::network_layer::TCPRequestListener {
  public:
    using Request = boost::shared_ptr<zel_upnp::utils::HTTPInfo>;
    enum Mode { kAsync, kSync, kBinary };

    AnsweringListener() = default;
    AnsweringListener(Mode m, std::string a) : mode(m), answer(std::move(a)) {}
    int OnTCPRequestReceived(Request request, void* session) override;
    bool WaitForAnswers(size_t count);
    size_t RequestCount();
    Request RequestAt(size_t index);
    // The result of the index-th answer call, waiting for it; kNoResult when
    // no such call was recorded in time.
    static constexpr int kNoResult = -12345;
    int Result(size_t index);
    boost::shared_ptr<zel_upnp::network_layer::IncomingTCPSession> Session(size_t index);

    // Set before the listener is registered.
    Mode mode = kAsync;
    std::string answer = kOkResponse;
    std::function<void()> before_answer;  // runs before the answer is sent

  private:
    std::mutex mutex_;
    std::condition_variable answered_;
    std::vector<Request> requests_;
    std::vector<boost::weak_ptr<zel_upnp::network_layer::IncomingTCPSession>> sessions_;
    std::vector<int> results_;
};

// A ResponseListener that records every call; called on the dispatch core's
// "ZelTcpRes" workers, several at a time.
class ResponseRecorder : public zel_upnp::network_layer::ResponseListener {
  public:
    struct Call {
        int session_id;
        boost::shared_ptr<zel_upnp::utils::HTTPInfo> response;
        std::string thread_name;
    };
    int OnResponseReceived(boost::shared_ptr<zel_upnp::utils::HTTPInfo> response,
                           const int& sessionId) override;
    std::vector<Call> Calls();
    std::size_t Count();
    bool WaitForCalls(std::size_t n, std::chrono::milliseconds timeout = kTestWait);

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
};

}  // namespace zel_test
