#include "network_layer/src/tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/incoming_tcp_session.h"
#include "support/peers.h"
#include "utils/src/common/descriptor_budget.h"

namespace {

using zel_upnp::network_layer::CallBackHandler;
using zel_upnp::network_layer::IncomingTCPSession;
using zel_upnp::network_layer::TCPRequestListener;
using zel_upnp::network_layer::TCPServer;
using zel_upnp::utils::HTTPInfo;
using HTTPInfoPtr = boost::shared_ptr<HTTPInfo>;
using zel_test::AnsweringListener;
using zel_test::WaitUntil;

constexpr std::chrono::seconds kDeadline(10);
constexpr int kIoThreads = 3;
constexpr std::size_t kMiB = 1048576;
// Far more than loopback socket buffers hold: a write to a client that does
// not read stays pending.
constexpr std::size_t kHugeResponse = 64 * kMiB;

using zel_test::kOkResponse;

const std::string kFaultBody =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
    "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
    "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>402</errorCode>"
    "<errorDescription>Invalid Args</errorDescription></UPnPError></detail></s:Fault>"
    "</s:Body></s:Envelope>";

// A client of the server under test on 127.0.0.1.
struct Client : zel_test::PeerSocket {
    // from: the loopback address to connect from (any of 127/8).
    explicit Client(int port, const char* from = nullptr)
        : connected(BindTo(from) && Connect("127.0.0.1", port)) {}
    bool BindTo(const char* from) {
        if (from == nullptr)
            return true;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        return inet_pton(AF_INET, from, &local.sin_addr) == 1 &&
               bind(fd(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
    }
    bool Connected() const { return connected; }
    const bool connected;
};

// A server on 127.0.0.1 (kernel-chosen port) with its own io threads and a
// running dispatch core.
class TcpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CallBackHandler::DestroyInstance();
        dispatch_ = CallBackHandler::CreateInstance();
        ASSERT_NE(dispatch_, nullptr);
        ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
        for (int i = 0; i < kIoThreads; ++i)
            io_threads_.emplace_back([this] { io_service_.run(); });
        server_ = StartServer("127.0.0.1", 0);
        ASSERT_TRUE(server_);
        port_ = server_->GetPort();
    }

    void TearDown() override {
        for (const boost::shared_ptr<TCPServer>& server : servers_)
            server->Stop();
        // The dispatch core goes after the io threads, as in the library's
        // own tear-down: a read handler may still be handing it a request.
        work_.reset();
        io_service_.stop();
        for (std::thread& thread : io_threads_)
            thread.join();
        CallBackHandler::DestroyInstance();
        servers_.clear();
        server_.reset();
    }

    boost::shared_ptr<TCPServer> StartServer(const std::string& address, int port) {
        auto server = boost::make_shared<TCPServer>(address, "lo", io_service_);
        if (server->Start(port) != 0)
            return boost::shared_ptr<TCPServer>();
        servers_.push_back(server);
        return server;
    }

    void Listen(const boost::shared_ptr<TCPRequestListener>& listener, const std::string& pattern) {
        int id = 0;
        ASSERT_EQ(zel_upnp::network_layer::RegisterTCPRequestListener({pattern}, listener, id), 0);
    }

    // A listener on path whose answer no loopback socket buffer holds.
    boost::shared_ptr<AnsweringListener> ListenHuge(AnsweringListener::Mode mode,
                                                    const std::string& path) {
        auto listener =
            boost::make_shared<AnsweringListener>(mode, std::string(kHugeResponse, 'h'));
        Listen(listener, "GET ," + path);
        return listener;
    }

    // Only the session waiting for the next connection is left.
    bool SessionsForgotten() {
        return WaitUntil([&] { return server_->GetSessionCount() == 0; });
    }

    zel_test::LogCapture log_;
    boost::asio::io_service io_service_;
    std::unique_ptr<boost::asio::io_service::work> work_{
        new boost::asio::io_service::work(io_service_)};
    std::vector<std::thread> io_threads_;
    CallBackHandler* dispatch_ = nullptr;
    std::vector<boost::shared_ptr<TCPServer>> servers_;
    boost::shared_ptr<TCPServer> server_;
    int port_ = 0;
};

TEST_F(TcpServerTest, RequestSplitOverManyWritesIsDispatchedOnce) {
    auto listener = boost::make_shared<AnsweringListener>();
    Listen(listener, "POST,/control/x");
    const std::string body = "<s:Envelope>hello</s:Envelope>";
    const std::string request = "POST /control/x HTTP/1.1\r\nHOST: 127.0.0.1\r\nCONTENT-LENGTH: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    Client client(port_);
    ASSERT_TRUE(client.Connected());
    // One byte per segment, paced so that the server sees many reads.
    for (char byte : request) {
        ASSERT_TRUE(client.Send(std::string(1, byte)));
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    std::string received;
    ASSERT_TRUE(client.ReadToClose(received));
    EXPECT_EQ(received, kOkResponse);
    ASSERT_EQ(listener->RequestCount(), 1u);
    HTTPInfoPtr got = listener->RequestAt(0);
    std::string uri;
    got->GetURI(uri);
    EXPECT_EQ(uri, "/control/x");
    std::string got_body;
    got->ReadBody(got_body);
    EXPECT_EQ(got_body, body);
    EXPECT_EQ(got->GetClientIpAddress(), "127.0.0.1");
    EXPECT_EQ(got->GetMyIpAddress(), "127.0.0.1");
    EXPECT_EQ(got->GetClientPort(), client.LocalPort());
    EXPECT_EQ(listener->Result(0), 0);
}

std::string PostOfTotalSize(size_t total) {
    const std::string prefix = "POST /big HTTP/1.1\r\nHOST: 127.0.0.1\r\nCONTENT-LENGTH: ";
    // The length field has 7 digits for every size tested here.
    const size_t head_size = prefix.size() + 7 + 4;
    const size_t body_size = total - head_size;
    std::string request = prefix + std::to_string(body_size) + "\r\n\r\n";
    request.append(body_size, 'b');
    return request;
}

// The fixed fault: the unmatched request's head has a space before each
// line end, the oversized request's does not.
std::string FaultHead(const char* space) {
    return std::string("HTTP/1.0 400 Bad Request") + space +
           "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"" + space +
           "\r\nSERVER: UPnP/1.1 Varnesk Omnilume Server/1.0" + space + "\r\nCONTENT-LENGTH: 417" +
           space + "\r\n\r\n";
}

TEST_F(TcpServerTest, EachRequestGetsOneAnswerAndTheConnectionIsClosed) {
    ASSERT_EQ(kFaultBody.size(), 417u);
    struct Case {
        const char* name;
        std::string request;
        std::string expected;
        size_t dispatched;
    };
    // Complete at its very last byte, which is one byte too many.
    const std::string over_cap = PostOfTotalSize(kMiB + 1);
    const std::vector<Case> cases = {
        {"no listener matches", "GET /nothing HTTP/1.1\r\nHOST: 127.0.0.1\r\n\r\n",
         FaultHead(" ") + kFaultBody, 0},
        {"exactly the size cap", PostOfTotalSize(kMiB), kOkResponse, 1},
        {"one byte over the cap", over_cap, FaultHead("") + kFaultBody, 0},
        {"keep-alive is still closed after one response",
         "GET /big HTTP/1.1\r\nHOST: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n", kOkResponse, 1},
        {"malformed: closed without an answer", "GARBAGE\r\n\r\n", "", 0},
        {"lengths that differ: closed without an answer",
         "POST /big HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", "", 0},
        {"length beside a coding: closed without an answer",
         "POST /big HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
         "0\r\n\r\n",
         "", 0},
    };
    ASSERT_EQ(cases[1].request.size(), kMiB);
    auto listener = boost::make_shared<AnsweringListener>();
    Listen(listener, "POST,/big");
    Listen(listener, "GET ,/big");
    size_t dispatched = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(port_);
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.Send(c.request));
        std::string received;
        ASSERT_TRUE(client.ReadToClose(received));
        EXPECT_EQ(received, c.expected);
        dispatched += c.dispatched;
        EXPECT_EQ(listener->RequestCount(), dispatched);
        shutdown(client.fd(), SHUT_WR);  // ends the server's linger
        EXPECT_TRUE(SessionsForgotten());
    }
}

// A listener that throws, before or after answering.
class ThrowingListener : public TCPRequestListener {
  public:
    explicit ThrowingListener(bool answer_first) : answer_first_(answer_first) {}
    int OnTCPRequestReceived(HTTPInfoPtr, void* session) override {
        if (answer_first_)
            zel_upnp::network_layer::SendSyncResponsePacket(
                kOkResponse, static_cast<int>(std::strlen(kOkResponse)), session);
        throw std::runtime_error("application fault");
    }

  private:
    const bool answer_first_;
};

// The exception is logged, never ends the process or the worker; a context
// the listener did not consume gets the 400 fault and is released, one it
// did is not answered twice.
TEST_F(TcpServerTest, ThrowingListenerStillAnswersAndReleasesTheSession) {
    const struct {
        bool answer_first;
        std::string expected;
    } cases[] = {{false, zel_upnp::network_layer::UnmatchedRequestResponse()}, {true, kOkResponse}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer_first);
        int id = 0;
        ASSERT_EQ(zel_upnp::network_layer::RegisterTCPRequestListener(
                      {"GET ,/throw"}, boost::make_shared<ThrowingListener>(c.answer_first), id),
                  0);
        // More requests than workers: a worker ended by the throw would
        // leave some unanswered.
        for (int i = 0; i < 2 * CallBackHandler::kTcpRequestThreads + 1; ++i) {
            Client client(port_);
            ASSERT_TRUE(client.Send("GET /throw HTTP/1.1\r\nHOST: a\r\n\r\n"));
            std::string received;
            ASSERT_TRUE(client.ReadToClose(received));
            EXPECT_EQ(received, c.expected);
        }
        EXPECT_TRUE(SessionsForgotten());
        EXPECT_EQ(zel_upnp::network_layer::UnRegisterRequestListener(id), 0);
    }
}

// Deliberate bounds, shortened here: a request not complete in time closes
// its session while an honest one beside it is served; an answer to a peer
// that stops reading (zero window), blocking or not, is cut and counted.
TEST_F(TcpServerTest, SlowRequestsAndStalledWritesAreBounded) {
    IncomingTCPSession::SetTimeouts(std::chrono::milliseconds(300), std::chrono::milliseconds(300));
    auto listener = boost::make_shared<AnsweringListener>();
    Listen(listener, "GET ,/ok");
    Client silent(port_);
    Client slow(port_);
    ASSERT_TRUE(slow.Send("GET /ok HTTP/1.1\r\n"));
    Client honest(port_);
    ASSERT_TRUE(honest.Send("GET /ok HTTP/1.1\r\nHOST: a\r\n\r\n"));
    std::string received;
    ASSERT_TRUE(honest.ReadToClose(received));
    EXPECT_EQ(received, kOkResponse);
    EXPECT_TRUE(silent.ClosedWithin(kDeadline));
    EXPECT_TRUE(slow.ClosedWithin(kDeadline));

    for (const auto mode : {AnsweringListener::kSync, AnsweringListener::kAsync}) {
        SCOPED_TRACE(mode);
        const unsigned long cut_before = IncomingTCPSession::WriteDeadlineCloses();
        const std::string path = "/huge" + std::to_string(mode);
        auto stalled = ListenHuge(mode, path);
        Client reader_that_stops(port_);
        ASSERT_TRUE(reader_that_stops.Send("GET " + path + " HTTP/1.1\r\nHOST: a\r\n\r\n"));
        // Cut while the reader still reads nothing; only then does it look.
        EXPECT_TRUE(
            WaitUntil([&] { return IncomingTCPSession::WriteDeadlineCloses() == cut_before + 1; }));
        ASSERT_TRUE(stalled->WaitForAnswers(1));
        EXPECT_EQ(stalled->Result(0), mode == AnsweringListener::kSync ? 2004 : 0);
        EXPECT_TRUE(reader_that_stops.ClosedWithin(kDeadline));
        EXPECT_TRUE(SessionsForgotten());
    }
    IncomingTCPSession::SetTimeouts(IncomingTCPSession::kRequestTimeout,
                                    IncomingTCPSession::kWriteTimeout);
}

// Written at once or, past the socket buffers, partly later: either way
// every byte, then end of stream, even with input the server never reads
// arriving behind the request while the answer is on its way (a close with
// unread input would reset the connection and destroy answer bytes).
TEST_F(TcpServerTest, AnswerArrivesWholeThenEndOfStream) {
    for (const std::size_t size : {std::size_t(1000), 8 * kMiB}) {
        for (const bool unread_input : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (unread_input ? " with unread input" : ""));
            std::string answer(size, 'a');
            for (std::size_t i = 0; i < size; i += 4096)
                answer[i] = static_cast<char>('0' + (i / 4096) % 10);
            auto listener =
                boost::make_shared<AnsweringListener>(AnsweringListener::kAsync, answer);
            const std::string path = "/whole" + std::to_string(size) + std::to_string(unread_input);
            Listen(listener, "POST," + path);
            Client client(port_);
            ASSERT_TRUE(client.Send("POST " + path + " HTTP/1.1\r\nContent-Length: 2\r\n\r\nab"));
            ASSERT_TRUE(WaitUntil([&] { return listener->Result(0) == 0; }));
            if (unread_input) {
                ASSERT_TRUE(client.Send("\r\n" + std::string(100000, 'x')));
            }
            std::string received;
            char buffer[65536];
            ssize_t n = 0;
            while ((n = recv(client.fd(), buffer, sizeof(buffer), 0)) > 0)
                received.append(buffer, static_cast<std::size_t>(n));
            EXPECT_EQ(n, 0) << std::strerror(errno);
            EXPECT_TRUE(received == answer) << received.size();
            // The lingering session ends with the client's end of stream.
            shutdown(client.fd(), SHUT_WR);
            EXPECT_TRUE(SessionsForgotten());
        }
    }
}

// A write the client never reads: Stop ends it (an asynchronous one closes
// after it, a blocking writer returns 2004) and refuses new connections.
TEST_F(TcpServerTest, StopWithAPendingWriteEndsItAndTheConnection) {
    for (const auto mode : {AnsweringListener::kAsync, AnsweringListener::kSync}) {
        SCOPED_TRACE(mode);
        auto server = mode == AnsweringListener::kAsync ? server_ : StartServer("127.0.0.1", 0);
        ASSERT_TRUE(server);
        const std::string path = "/huge" + std::to_string(mode);
        auto listener = ListenHuge(mode, path);
        Client client(server->GetPort());
        ASSERT_TRUE(client.Send("GET " + path + " HTTP/1.1\r\nHOST: a\r\n\r\n"));
        boost::shared_ptr<IncomingTCPSession> session;
        ASSERT_TRUE(WaitUntil([&] {
            session = listener->RequestCount() ? listener->Session(0) : nullptr;
            return session && session->IsWritePending();
        }));
        EXPECT_EQ(server->Stop(), 0);
        EXPECT_TRUE(WaitUntil([&] { return !session->IsWritePending(); }));
        EXPECT_EQ(listener->Result(0), mode == AnsweringListener::kSync ? 2004 : 0);
        EXPECT_TRUE(client.ClosedWithin(kDeadline));
        EXPECT_EQ(server->GetSessionCount(), 0u);
        EXPECT_FALSE(Client(server->GetPort()).Connected());
    }
}

TEST_F(TcpServerTest, ManyDroppedConnectionsLeaveNothingBehind) {
    auto listener = boost::make_shared<AnsweringListener>();
    Listen(listener, "GET ,/after");
    const size_t descriptors_before = zel_test::CountDescriptors();
    // Enough to cycle every session path many times over, in a few seconds.
    constexpr int kConnections = 2000;
    constexpr int kClientThreads = 4;
    std::atomic<int> connected{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kClientThreads; ++t) {
        clients.emplace_back([&, t] {
            for (int i = t; i < kConnections; i += kClientThreads) {
                Client client(port_);
                if (!client.Connected())
                    continue;
                ++connected;
                if (i % 3 == 1) {  // half a request, then a clean close
                    client.Send("POST /x HTTP/1.1\r\nCONTENT-LENGTH: 50\r\n\r\nab");
                } else if (i % 3 == 2) {  // a reset instead of a clean close
                    client.SetReset();
                    client.Send("GET /x HT");
                }
            }
        });
    }
    for (std::thread& thread : clients)
        thread.join();
    EXPECT_EQ(connected.load(), kConnections);
    EXPECT_TRUE(SessionsForgotten());
    EXPECT_EQ(listener->RequestCount(), 0u);

    Client after(port_);
    ASSERT_TRUE(after.Send("GET /after HTTP/1.1\r\nHOST: a\r\n\r\n"));
    std::string received;
    EXPECT_TRUE(after.ReadToClose(received));
    EXPECT_EQ(received, kOkResponse);
    EXPECT_TRUE(SessionsForgotten());
    EXPECT_TRUE(WaitUntil([&] { return zel_test::CountDescriptors() <= descriptors_before + 1; }));
}

// An address holds at most kMaxSessionsPerAddress sessions. Once the
// process's descriptor budget is spent, a newcomer from the address holding
// the most is refused, and one from elsewhere makes that address give up its
// oldest session: a peer that keeps reconnecting pushes out only its own.
TEST_F(TcpServerTest, PerAddressCapAndSheddingFromTheTop) {
    namespace budget = zel_upnp::utils::descriptor_budget;
    std::vector<std::unique_ptr<Client>> flood, others;
    const auto connect = [&](std::vector<std::unique_ptr<Client>>& into, const char* from) {
        into.emplace_back(new Client(port_, from));
        return into.back()->Connected();
    };
    const auto held = [&](const char* from, unsigned count) {
        return WaitUntil([&] { return server_->GetSessionCount(from) == count; });
    };
    for (unsigned i = 0; i <= TCPServer::kMaxSessionsPerAddress; ++i)
        ASSERT_TRUE(connect(flood, "127.0.0.2"));
    EXPECT_TRUE(flood.back()->ClosedWithin(kDeadline));
    ASSERT_TRUE(held("127.0.0.2", TCPServer::kMaxSessionsPerAddress));
    flood.resize(3);
    ASSERT_TRUE(held("127.0.0.2", 3));
    ASSERT_TRUE(connect(others, "127.0.0.3"));
    ASSERT_TRUE(held("127.0.0.3", 1));

    budget::SetLimit(budget::InUse());
    ASSERT_TRUE(connect(flood, "127.0.0.2"));
    EXPECT_TRUE(flood.back()->ClosedWithin(kDeadline));
    ASSERT_TRUE(connect(others, "127.0.0.4"));
    EXPECT_TRUE(flood[0]->ClosedWithin(kDeadline));
    EXPECT_TRUE(held("127.0.0.4", 1));
    EXPECT_EQ(server_->GetSessionCount("127.0.0.2"), 2u);
    EXPECT_EQ(server_->GetSessionCount("127.0.0.3"), 1u);
    EXPECT_FALSE(others[0]->ClosedWithin(std::chrono::milliseconds(0)));
    EXPECT_FALSE(flood[1]->ClosedWithin(std::chrono::milliseconds(0)));
    EXPECT_EQ(server_->RefusedConnections(), 2u);
    EXPECT_EQ(server_->ShedSessions(), 1u);
    budget::Refresh();
}

}  // namespace
