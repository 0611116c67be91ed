#include "network_layer/src/udp_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/udp.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include "support/peers.h"

namespace {

using boost::asio::ip::udp;
using zel_upnp::network_layer::UDPServer;
using zel_upnp::utils::HTTPInfo;

constexpr char kLoopback[] = "127.0.0.1";
// Ports Start tries: the requested one and the 98 above it.
constexpr int kPortWindow = 99;
constexpr int kMaxPort = 65535;
// Where the search for a window of free ports begins, and how many windows
// it tries before giving up.
constexpr int kFirstWindowBase = 20000;
constexpr int kWindowSearches = 200;
constexpr int kRestartCycles = 20;

std::string MSearch(const std::string& seq) {
    return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
           "MX: 1\r\nST: ssdp:all\r\nX-SEQ: " +
           seq + "\r\n\r\n";
}

udp::endpoint LoopbackEndpoint(int port) {
    return udp::endpoint(boost::asio::ip::make_address(kLoopback),
                         static_cast<unsigned short>(port));
}

// A sending peer on loopback, with a port of its own.
class Client {
  public:
    Client() : socket_(io_, LoopbackEndpoint(0)) {}
    // A send error (none is expected on loopback) shows up as a missing
    // request, not as an exception on a test thread.
    void Send(const std::string& data, int port) {
        boost::system::error_code ec;
        socket_.send_to(boost::asio::buffer(data), LoopbackEndpoint(port), 0, ec);
    }
    int Port() { return socket_.local_endpoint().port(); }

  private:
    boost::asio::io_service io_;
    udp::socket socket_;
};

// Holds a loopback port the way another program would: without address
// reuse, so that nobody else can bind it.
class PortBlocker {
  public:
    explicit PortBlocker(int port) : socket_(io_) {
        boost::system::error_code ec;
        socket_.open(udp::v4(), ec);
        if (!ec)
            socket_.bind(LoopbackEndpoint(port), ec);
        ok_ = !ec;
    }
    bool Ok() const { return ok_; }
    int Port() { return socket_.local_endpoint().port(); }

  private:
    boost::asio::io_service io_;
    udp::socket socket_;
    bool ok_ = false;
};

class UdpServerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dispatch_.Ok()); }

    boost::shared_ptr<UDPServer> MakeServer(int port = 0) {
        return boost::make_shared<UDPServer>(kLoopback, "localhost", port, io_.Io());
    }

    // Starts a server on a port the kernel chooses; the port is in port_.
    boost::shared_ptr<UDPServer> StartServer() {
        boost::shared_ptr<UDPServer> server = MakeServer();
        port_ = 0;
        EXPECT_EQ(server->Start(port_), 0);
        EXPECT_NE(port_, 0);
        return server;
    }

    zel_test::UdpRequestRecorder& Recorder() { return dispatch_.Recorder(); }

    zel_test::LogCapture log_;
    // Declared before io_ so that the io thread ends before the dispatch
    // core goes away.
    zel_test::DispatchHarness dispatch_;
    zel_test::IoThread io_;
    int port_ = 0;
};

TEST_F(UdpServerTest, DispatchesCompleteRequestWithBothAddresses) {
    boost::shared_ptr<UDPServer> server = StartServer();
    EXPECT_EQ(server->GetPort(), port_);
    EXPECT_EQ(server->GetIpAddress(), kLoopback);
    EXPECT_EQ(server->GetInterfaceName(), "localhost");
    EXPECT_TRUE(
        log_.Contains("UDPServer Started:127.0.0.1:" + std::to_string(port_), "ZEL_CORE_NETWORK"));

    Client client;
    client.Send(MSearch("1"), port_);
    auto first = Recorder().WaitForHeader("X-SEQ", "1");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->GetRequestType(), zel_upnp::utils::HTTP_MSEARCH);
    std::string uri;
    EXPECT_EQ(first->GetURI(uri), 0);
    EXPECT_EQ(uri, "*");
    std::string st;
    EXPECT_EQ(first->GetHeaderValue("ST", st), 0);
    EXPECT_EQ(st, "ssdp:all");
    EXPECT_EQ(first->GetMyIpAddress(), kLoopback);
    EXPECT_EQ(first->GetClientIpAddress(), kLoopback);
    EXPECT_EQ(first->GetClientPort(), client.Port());
    EXPECT_EQ(first->GetParsingStatus(), zel_upnp::utils::PARSING_CONTINUE);

    // Every hand-off leaves a fresh HTTPInfo behind: the second request
    // carries its own headers only.
    client.Send(MSearch("2"), port_);
    auto second = Recorder().WaitForHeader("X-SEQ", "2");
    ASSERT_TRUE(second);
    EXPECT_NE(first.get(), second.get());
    std::vector<zel_upnp::utils::NameValue*> headers;
    second->GetHeader(headers);
    EXPECT_EQ(headers.size(), 5u);

    // A request split over two datagrams is assembled.
    client.Send("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n", port_);
    client.Send("ST: ssdp:all\r\nX-SEQ: split\r\n\r\n", port_);
    auto split = Recorder().WaitForHeader("X-SEQ", "split");
    ASSERT_TRUE(split);
    std::string host;
    EXPECT_EQ(split->GetHeaderValue("HOST", host), 0);
    EXPECT_EQ(host, "239.255.255.250:1900");
    EXPECT_EQ(Recorder().Count(), 3u);
    server->Stop();
}

TEST_F(UdpServerTest, GarbageAndEmptyDatagramsAreDroppedAndReceivingGoesOn) {
    boost::shared_ptr<UDPServer> server = StartServer();
    Client client;
    const std::vector<std::string> garbage = {
        "GARBAGE\r\n\r\n",                                      // request line without spaces
        "\r\n\r\n",                                             // empty start line
        "M-SEARCH * HTTP/1.1\r\nno colon here\r\n\r\n",         // continuation of no header
        "POST /x HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n",  // unsupported coding
        "NOTIFY * HTTP/x.y\r\nNTS: ssdp:alive\r\n\r\n",         // version not a number
        std::string("\x01\x02\x00\xff\r\n\r\n", 8)              // binary start line
    };
    for (size_t i = 0; i < garbage.size(); ++i) {
        client.Send(garbage[i], port_);
        ASSERT_TRUE(zel_test::WaitUntil([&] {
            return log_.Count("PARSER FAILURE Status:") == i + 1;
        })) << "datagram "
            << i;
    }
    EXPECT_TRUE(log_.Contains("PARSER FAILURE Status:1 and Buffer :GARBAGE\r\n\r\n"));
    // An empty datagram is a receive error, not a parse.
    client.Send(std::string(), port_);
    EXPECT_TRUE(zel_test::WaitForLog(log_, "[UDPServer::read_handler] Error ["));

    // The next good datagram parses on a clean HTTPInfo.
    client.Send(MSearch("after"), port_);
    auto request = Recorder().WaitForHeader("X-SEQ", "after");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->GetRequestType(), zel_upnp::utils::HTTP_MSEARCH);
    int major = 0;
    int minor = 0;
    request->GetHTTPVersion(major, minor);
    EXPECT_EQ(major * 10 + minor, 11);
    std::vector<zel_upnp::utils::NameValue*> headers;
    request->GetHeader(headers);
    EXPECT_EQ(headers.size(), 5u);
    EXPECT_EQ(Recorder().Count(), 1u);
    server->Stop();
}

TEST_F(UdpServerTest, OversizeDatagramIsTruncatedTo8191Bytes) {
    boost::shared_ptr<UDPServer> server = StartServer();
    Client client;
    // The head would end 4 bytes after the 8191st byte. Cut there, the
    // datagram leaves the head open with X-PAD holding only the a's; the
    // next datagram closes it.
    const std::string prefix = "M-SEARCH * HTTP/1.1\r\nX-SEQ: big\r\nX-PAD: ";
    const size_t kept = zel_upnp::network_layer::kMaxDatagramSize;
    ASSERT_EQ(kept, 8191u);
    const std::string pad(kept - prefix.size(), 'a');
    client.Send(prefix + pad + "bbbb\r\n\r\n", port_);
    client.Send("\r\n\r\n", port_);
    auto request = Recorder().WaitForHeader("X-SEQ", "big");
    ASSERT_TRUE(request);
    std::string value;
    EXPECT_EQ(request->GetHeaderValue("X-PAD", value), 0);
    EXPECT_EQ(value, pad);
    EXPECT_EQ(Recorder().Count(), 1u);
    server->Stop();
}

TEST_F(UdpServerTest, TakenPortMovesToTheNextFreeOne) {
    PortBlocker blocker(0);
    ASSERT_TRUE(blocker.Ok());
    const int taken = blocker.Port();
    boost::shared_ptr<UDPServer> server = MakeServer(taken);
    int port = taken;
    ASSERT_EQ(server->Start(port), 0);
    EXPECT_GT(port, taken);
    EXPECT_LT(port, taken + kPortWindow);
    EXPECT_EQ(server->GetPort(), port);
    EXPECT_TRUE(log_.Contains("UDPServer Started:127.0.0.1:" + std::to_string(port)));

    Client client;
    client.Send(MSearch("moved"), port);
    EXPECT_TRUE(Recorder().WaitForHeader("X-SEQ", "moved"));
    server->Stop();
}

TEST_F(UdpServerTest, NoFreePortInTheWindowFails) {
    // Find kPortWindow consecutive free loopback ports and hold them all.
    std::vector<std::unique_ptr<PortBlocker>> blockers;
    int base = kFirstWindowBase;
    for (int search = 0; search < kWindowSearches && base + kPortWindow <= kMaxPort; ++search) {
        blockers.clear();
        for (int i = 0; i < kPortWindow; ++i) {
            std::unique_ptr<PortBlocker> blocker(new PortBlocker(base + i));
            if (!blocker->Ok())
                break;
            blockers.push_back(std::move(blocker));
        }
        if (blockers.size() == static_cast<size_t>(kPortWindow))
            break;
        base += kPortWindow;
    }
    if (blockers.size() != static_cast<size_t>(kPortWindow))
        GTEST_SKIP() << "no window of " << kPortWindow << " free loopback ports found";

    boost::shared_ptr<UDPServer> server = MakeServer(base);
    int port = base;
    EXPECT_EQ(server->Start(port), zel_upnp::network_layer::NL_SERVER_START_FAILED);
    EXPECT_EQ(port, base);
    EXPECT_TRUE(log_.Contains("Start Failed!"));

    // The failure leaves no socket behind: once a port is free the same
    // server starts.
    blockers.pop_back();
    ASSERT_EQ(server->Start(port), 0);
    EXPECT_EQ(port, base + kPortWindow - 1);
    server->Stop();
}

TEST_F(UdpServerTest, StartRefusalsAndStopOfANeverStartedServer) {
    boost::shared_ptr<UDPServer> invalid =
        boost::make_shared<UDPServer>("not-an-address", "eth9", 0, io_.Io());
    int port = 0;
    EXPECT_EQ(invalid->Start(port), zel_upnp::network_layer::NL_SERVER_START_FAILED);
    EXPECT_TRUE(log_.Contains("Invalid local ip"));
    EXPECT_EQ(invalid->Stop(), 0);

    boost::shared_ptr<UDPServer> unstarted = MakeServer(4321);
    EXPECT_EQ(unstarted->GetPort(), 4321);
    EXPECT_EQ(unstarted->Stop(), 0);
    EXPECT_EQ(unstarted->GetPort(), 4321);

    // Start while running is refused and keeps the socket.
    boost::shared_ptr<UDPServer> server = StartServer();
    int again = 0;
    EXPECT_EQ(server->Start(again), zel_upnp::network_layer::NL_SOCKET_FAILURE);
    EXPECT_EQ(server->GetPort(), port_);
    Client client;
    client.Send(MSearch("still"), port_);
    EXPECT_TRUE(Recorder().WaitForHeader("X-SEQ", "still"));
    server->Stop();
}

TEST_F(UdpServerTest, StopCancelsThePendingReceiveAndStartReceivesAgain) {
    boost::shared_ptr<UDPServer> server = StartServer();
    const int first_port = port_;
    EXPECT_EQ(server->Stop(), 0);
    EXPECT_TRUE(log_.Contains("Stop Called [Scope locked in Stop]"));
    EXPECT_TRUE(log_.Contains("close udp server"));
    ASSERT_TRUE(zel_test::WaitForLog(log_, "[UDPServer::read_handler] Canceled ["));
    EXPECT_FALSE(log_.Contains("[UDPServer::read_handler] Error"));

    int port = first_port;
    ASSERT_EQ(server->Start(port), 0);
    EXPECT_EQ(port, first_port);
    Client client;
    client.Send(MSearch("r1"), port);
    client.Send(MSearch("r2"), port);
    EXPECT_TRUE(Recorder().WaitForHeader("X-SEQ", "r2"));
    EXPECT_TRUE(Recorder().WaitForHeader("X-SEQ", "r1"));
    EXPECT_EQ(Recorder().Count(), 2u);
    server->Stop();
}

TEST_F(UdpServerTest, PendingReceiveKeepsTheServerAliveUntilStop) {
    boost::weak_ptr<UDPServer> weak;
    {
        boost::shared_ptr<UDPServer> server = StartServer();
        weak = server;
    }
    ASSERT_FALSE(weak.expired());
    weak.lock()->Stop();
    EXPECT_TRUE(zel_test::WaitUntil([&] { return weak.expired(); }));
    EXPECT_TRUE(log_.Contains("UDPServer Destructor is called "));
}

// Stop and Start from the test thread while datagrams arrive on the io
// thread: the server lock must keep the socket, the flags and the buffer
// consistent (the sanitizer builds check this), and the server must end up
// receiving.
TEST_F(UdpServerTest, StopAndStartRaceWithTraffic) {
    boost::shared_ptr<UDPServer> server = StartServer();
    std::atomic<int> target{port_};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        Client client;
        for (int i = 0; !done.load(); ++i) {
            client.Send(MSearch("flood-" + std::to_string(i)), target.load());
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    for (int cycle = 0; cycle < kRestartCycles; ++cycle) {
        EXPECT_EQ(server->Stop(), 0);
        int port = target.load();
        ASSERT_EQ(server->Start(port), 0) << "cycle " << cycle;
        target.store(port);
    }
    done.store(true);
    sender.join();

    Client client;
    client.Send(MSearch("final"), target.load());
    EXPECT_TRUE(Recorder().WaitForHeader("X-SEQ", "final"));
    EXPECT_FALSE(log_.Contains("Exception in"));
    server->Stop();
}

}  // namespace
