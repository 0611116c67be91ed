// Peers and recorders shared by the network tests. Every wait ends by its
// deadline, so a server that never answers fails the test instead of hanging.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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
constexpr std::chrono::milliseconds kTestPoll{2};
// After everything that could still deliver has been joined, how long a test
// gives the dispatch core's workers to show a call that must not come. Only
// an absence is asserted with it.
constexpr std::chrono::milliseconds kNoCallGrace{200};
constexpr std::size_t kPeerReadSize = 4096;

// Waits until pred holds; false on time-out.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = kTestWait);

// Suites whose tests share one topology with the main thread in the device
// namespace: OpenSuiteTopology from SetUpTestSuite (null when namespaces are
// unavailable or setup failed), ZEL_REQUIRE_TOPOLOGY first in SetUp.
std::unique_ptr<NetnsTopology> OpenSuiteTopology(int peers);
#define ZEL_REQUIRE_TOPOLOGY(topo)                                                     \
    do {                                                                               \
        if (!zel_test::NetnsTopology::Available())                                     \
            GTEST_SKIP() << "needs root and the ip tool to create network namespaces"; \
        ASSERT_TRUE(topo) << "the namespace topology could not be set up";             \
    } while (false)

// The fixture of a suite whose tests share one topology of kPeers links,
// with the test thread in the device namespace. A derived SetUp calls this
// one first and returns when it skipped or failed.
template <int kPeers>
class NetnsSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { topo_ = OpenSuiteTopology(kPeers); }
    static void TearDownTestSuite() { topo_.reset(); }
    void SetUp() override { ZEL_REQUIRE_TOPOLOGY(topo_); }
    bool Unready() const { return IsSkipped() || HasFatalFailure(); }
    static const NetnsLink& Link(size_t i) { return topo_->Link(i); }
    static std::unique_ptr<NetnsTopology> topo_;
};
template <int kPeers>
std::unique_ptr<NetnsTopology> NetnsSuite<kPeers>::topo_;

// A blocking IPv4 socket whose calls give up after kTestWait; closed on
// destruction. It lives in the namespace of the thread that made it.
class PeerSocket {
  public:
    explicit PeerSocket(bool datagram = false);
    ~PeerSocket();
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;
    bool Connect(const std::string& ip, int port);
    bool Send(const std::string& data);
    // Reads until the other side closes or resets (true) or the wait ends.
    bool ReadToClose(std::string& received);
    // True once the other side has closed or reset within limit; data that
    // arrives first is skipped.
    bool ClosedWithin(std::chrono::milliseconds limit);
    // Makes the close send a reset instead of a FIN.
    void SetReset();
    int LocalPort() const;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// Peer sockets, each on a fresh thread inside ns.
bool CanConnect(const std::string& ns, const std::string& ip, int port);
// Everything received until the server closes the connection (or time-out).
std::string TcpExchange(const std::string& ns, const std::string& ip, int port,
                        const std::string& request);
// True when the server at ip:port answers a request (with no listener, the
// dispatch core's fixed 400): it has finished accepting before a test stops it.
bool Serves(const std::string& ns, const std::string& ip, int port);
// One datagram from ns to ip:port; a multicast one leaves by from_ip.
bool SendDatagram(const std::string& ns, const std::string& from_ip, const std::string& ip,
                  int port, const std::string& data);

size_t CountThreads();
size_t CountDescriptors();
std::vector<std::string> ThreadNames();
// UDP sockets (v4) bound to local port in the calling thread's namespace.
size_t CountUdpSocketsOnPort(int port);

// What other threads handed over, in arrival order.
template <class T>
class Recording {
  public:
    void Add(T item) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(item));
    }
    std::vector<T> All() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }
    bool WaitFor(size_t n, std::chrono::milliseconds timeout = kTestWait) {
        return WaitUntil([this, n] { return Count() >= n; }, timeout);
    }

  private:
    std::mutex mutex_;
    std::vector<T> items_;
};

// One thread running an io_service until destroyed, in place of the server
// manager's io threads; it starts in the namespace of its creator.
class IoThread {
  public:
    IoThread() : work_(new boost::asio::io_service::work(io_)), thread_([this] { io_.run(); }) {}
    ~IoThread() { Join(); }
    // Ends the thread but keeps the io_service for the sockets made on it.
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

// Called on the dispatch core's "ZelUdpReq" workers.
class UdpRequestRecorder : public zel_upnp::network_layer::UDPRequestListener,
                           public Recording<boost::shared_ptr<zel_upnp::utils::HTTPInfo>> {
  public:
    using Request = boost::shared_ptr<zel_upnp::utils::HTTPInfo>;
    int OnUDPRequestReceived(Request request) override {
        Add(request);
        return 0;
    }
    // The first request whose header name has exactly value; null on time-out.
    Request WaitForHeader(const char* name, const std::string& value);
    size_t CountHeader(const char* name, const std::string& value) {
        return WithHeader(name, value).size();
    }

  private:
    std::vector<Request> WithHeader(const char* name, const std::string& value);
};

// Runs the dispatch core with a recorder registered for every datagram.
// Destroy it only after the servers' io threads have ended.
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

// A member of a multicast group: bound to port on any address (reusing it
// beside the servers under test), joined on the interface with
// interface_address; its socket lives in ns (empty: the caller's namespace).
class GroupMember {
  public:
    GroupMember(const std::string& ns, const std::string& group, int port,
                const std::string& interface_address);
    bool Ok() const { return ok_; }
    // The next datagram within timeout; false when none came.
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

// A TCP listener; each accepted connection gets a thread that reads the
// request head (and a Content-Length body) and runs the script. The
// destructor stops accepting, wakes scripts in WaitPeerGone, joins all.
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

// Answers every request through the response call of its mode and records
// the result; called on the dispatch core's "ZelTcpReq" workers.
class AnsweringListener : public zel_upnp::network_layer::TCPRequestListener {
  public:
    using Request = boost::shared_ptr<zel_upnp::utils::HTTPInfo>;
    enum Mode { kAsync, kSync };

    AnsweringListener() = default;
    AnsweringListener(Mode m, std::string a) : mode(m), answer(std::move(a)) {}
    int OnTCPRequestReceived(Request request, void* session) override;
    bool WaitForAnswers(size_t count) { return results_.WaitFor(count); }
    size_t RequestCount() { return requests_.Count(); }
    Request RequestAt(size_t index) { return requests_.All().at(index); }
    // The index-th answer call's result, waiting for it (the peer may see the
    // answer first); kNoResult when none was recorded in time.
    static constexpr int kNoResult = -12345;
    int Result(size_t index);
    boost::shared_ptr<zel_upnp::network_layer::IncomingTCPSession> Session(size_t index) {
        return sessions_.All().at(index).lock();
    }

    // Set before the listener is registered.
    Mode mode = kAsync;
    std::string answer = kOkResponse;

  private:
    Recording<Request> requests_;
    Recording<boost::weak_ptr<zel_upnp::network_layer::IncomingTCPSession>> sessions_;
    Recording<int> results_;
};

// Records every call; called on the dispatch core's "ZelTcpRes" workers.
struct ResponseCall {
    int session_id;
    boost::shared_ptr<zel_upnp::utils::HTTPInfo> response;
    std::string thread_name;
};
class ResponseRecorder : public zel_upnp::network_layer::ResponseListener,
                         public Recording<ResponseCall> {
  public:
    using Call = ResponseCall;
    int OnResponseReceived(boost::shared_ptr<zel_upnp::utils::HTTPInfo> response,
                           const int& sessionId) override;
};

}  // namespace zel_test
