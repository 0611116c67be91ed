#include "network_layer/src/clientmanager.h"
#include "network_layer/src/datagram_sender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/outgoingsession.h"
#include "network_layer/src/servermanager.h"
#include "support/peers.h"

// TCP tests talk to scripted peers on 127.0.0.1 (one row on ::1); the datagram tests that
// leave a host run in a namespace topology with this thread in the device.
namespace {

namespace nl = zel_upnp::network_layer;
using boost::asio::ip::udp;
using nl::ClientManager;
using zel_test::Answer;
using zel_test::ClosedPort;
using zel_test::PeerEnd;
using zel_test::ResponseRecorder;
using zel_test::ScriptedPeer;
using zel_test::Silent;
using zel_test::WaitUntil;
using HTTPInfoPtr = boost::shared_ptr<zel_upnp::utils::HTTPInfo>;

constexpr char kLoopback[] = "127.0.0.1";
constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr int kShortTimeoutMs = 200;
constexpr int kSyncTimeoutMs = 300;
constexpr int kSyncPatientMs = 10000;
const std::string kOk = "HTTP/1.1 200 OK\r\nSERVER: test\r\nCONTENT-LENGTH: 2\r\n\r\nok";
const std::string kOversize =
    "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 2097152\r\n\r\n" + std::string(2097152, 'x');

std::string Notify(int port) {
    return "NOTIFY /evt HTTP/1.1\r\nHOST: 127.0.0.1:" + std::to_string(port) +
           "\r\nCONTENT-TYPE: text/xml\r\nNT: upnp:event\r\nCONTENT-LENGTH: 16\r\n\r\n"
           "<e:propertyset/>";
}

std::string Body(const HTTPInfoPtr& info) {
    std::string body;
    info->ReadBody(body);
    return body;
}

// Pieces in separate segments, so that the client reads them separately.
ScriptedPeer::Script AnswerInPieces(const std::vector<std::string>& pieces) {
    return [pieces](ScriptedPeer&, ScriptedPeer::Socket& socket, const std::string&) {
        for (const std::string& piece : pieces) {
            ScriptedPeer::Send(socket, piece);
            std::this_thread::sleep_for(zel_test::kTestPoll);
        }
    };
}
ScriptedPeer::Script AnswerAndStayOpen(const std::string& response) {
    return [response](ScriptedPeer& peer, ScriptedPeer::Socket& socket, const std::string&) {
        ScriptedPeer::Send(socket, response);
        peer.WaitPeerGone(socket);
    };
}
ScriptedPeer::Script ResetAtOnce() {
    return [](ScriptedPeer&, ScriptedPeer::Socket& socket, const std::string&) {
        ScriptedPeer::Reset(socket);
    };
}

class ClientManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto* dispatch = nl::CallBackHandler::CreateInstance();
        ASSERT_NE(dispatch, nullptr);
        ASSERT_EQ(dispatch->StartCallbackThreads(), 0);
        client_ = ClientManager::CreateInstance();
        ASSERT_NE(client_, nullptr);
        ASSERT_EQ(client_->StartClientThreads(ClientManager::kClientThreads), 0);
        recorder_ = boost::make_shared<ResponseRecorder>();
    }
    void TearDown() override {
        ClientManager::DestroyInstance();
        nl::NetworkInterface::DestroyInstance();
        nl::CallBackHandler::DestroyInstance();
    }

    int Send(const ScriptedPeer& peer, int& session_id, const char* address = kLoopback) {
        const std::string packet = Notify(peer.Port());
        return nl::SendTCPHTTPPacket(address, peer.Port(), packet, static_cast<int>(packet.size()),
                                     recorder_, session_id);
    }
    bool WaitNoSessions() {
        return WaitUntil([this] { return client_->SessionCount() == 0; });
    }
    // Asserts that recorder_ gets no further call: the client threads are
    // joined first, so every hand-off to the dispatch core has happened.
    void ExpectNoMoreCalls(std::size_t expected) {
        client_->StopClientThreads();
        std::this_thread::sleep_for(zel_test::kNoCallGrace);
        EXPECT_EQ(recorder_->Count(), expected);
    }
    static void ExpectEndedByClient(ScriptedPeer& peer) {
        ASSERT_TRUE(peer.WaitForEnds(1));
        EXPECT_NE(peer.Ends().front(), PeerEnd::kOpen);
    }

    ClientManager* client_ = nullptr;
    boost::shared_ptr<ResponseRecorder> recorder_;
};

TEST_F(ClientManagerTest, DeliversOnADispatchThreadWithTheRequestSentWhole) {
    ScriptedPeer peer(Answer(kOk));
    ASSERT_TRUE(peer.Ok());
    int first = -1;
    ASSERT_EQ(Send(peer, first), 0);
    EXPECT_EQ(first, 1);
    ASSERT_TRUE(recorder_->WaitFor(1));
    const ResponseRecorder::Call call = recorder_->All().front();
    EXPECT_EQ(call.session_id, 1);
    EXPECT_EQ(call.response->GetStatusCode(), 200u);
    EXPECT_EQ(call.response->GetState(), zel_upnp::utils::MESSAGE_COMPLETE);
    EXPECT_EQ(call.response->GetClientIpAddress(), kLoopback);
    EXPECT_EQ(Body(call.response), "ok");
    EXPECT_NE(call.thread_name.find("ZelTcpRes"), std::string::npos) << call.thread_name;
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests().front(), Notify(peer.Port()));

    EXPECT_TRUE(WaitNoSessions());
    ExpectNoMoreCalls(1);
}

TEST_F(ClientManagerTest, ResponsesAreAssembledAndDelivered) {
    constexpr std::size_t kBodySize = 5 * nl::OutgoingSession::kReceiveBufferSize + 17;
    std::string large(kBodySize, 'x');
    for (std::size_t i = 0; i < large.size(); i += 97)
        large[i] = static_cast<char>('a' + i % 26);
    const struct {
        const char* name;
        ScriptedPeer::Script script;
        unsigned status;
        std::string body;
        const char* address = kLoopback;
    } cases[] = {
        {"over IPv6", Answer(kOk), 200, "ok", "::1"},
        {"chunked in pieces",
         AnswerInPieces({"HTTP/1.1 200 OK\r\nTRANSFER-ENC", "ODING: chunked\r\n\r\n3\r\nabc",
                         "\r\n4\r\ndefg\r\n0\r\n", "\r\n"}),
         200, "abcdefg"},
        {"larger than one read",
         Answer("HTTP/1.1 200 OK\r\nCONTENT-LENGTH: " + std::to_string(kBodySize) + "\r\n\r\n" +
                large),
         200, large},
        {"no length, ends at end of stream",
         AnswerInPieces({"HTTP/1.0 200 OK\r\nCONTENT-TYPE: text/plain\r\n\r\nfirst ", "and last"}),
         200, "first and last"},
        {"interim response in the same segment", Answer("HTTP/1.1 100 Continue\r\n\r\n" + kOk), 200,
         "ok"},
        {"interim responses split across segments",
         AnswerInPieces({"HTTP/1.1 100 Continue\r\nX-A: 1\r\n\r\n",
                         "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 201 Created\r",
                         "\nCONTENT-LENGTH: 3\r\n\r\nnew"}),
         201, "new"},
        // An empty response: no start line at all.
        {"peer closes at once", [](ScriptedPeer&, ScriptedPeer::Socket&, const std::string&) {}, 0,
         ""},
    };
    std::size_t calls = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(c.script, c.address);
        ASSERT_TRUE(peer.Ok());
        int id = 0;
        ASSERT_EQ(Send(peer, id, c.address), 0);
        ASSERT_TRUE(recorder_->WaitFor(++calls));
        const ResponseRecorder::Call call = recorder_->All().back();
        EXPECT_EQ(call.session_id, id);
        EXPECT_EQ(call.response->GetClientIpAddress(), c.address);
        EXPECT_EQ(call.response->GetStatusCode(), c.status);
        EXPECT_EQ(Body(call.response), c.body);
        std::string ignored;
        EXPECT_EQ(call.response->GetHeaderValue("X-A", ignored), 1);
        EXPECT_EQ(call.response->GetStartLine(ignored), c.status == 0 ? 1 : 0);
        EXPECT_TRUE(WaitNoSessions());
    }
    ExpectNoMoreCalls(calls);
}

// A connection broken while reading, and a response past the 1 MiB bound,
// end the request with the same fixed fault.
TEST_F(ClientManagerTest, ResetOrOversizeGivesTheByteExactFault) {
    const std::string& fault = nl::ReadFailureResponse();
    const std::string head =
        "HTTP/1.0 500 Internal Server Error\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
        "SERVER: UPnP/1.1 Varnesk Omnilume Server/1.0\r\nCONTENT-LENGTH: 418\r\n\r\n";
    ASSERT_EQ(fault.compare(0, head.size(), head), 0);
    const std::string body = fault.substr(head.size());
    EXPECT_EQ(body,
              "<?xml version=\"1.0\"?><s:Envelope "
              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
              "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
              "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>501</errorCode>"
              "<errorDescription>Action Failed</errorDescription></UPnPError></detail>"
              "</s:Fault></s:Body></s:Envelope>");
    EXPECT_EQ(body.size(), 418u);
    for (const ScriptedPeer::Script& script : {ResetAtOnce(), Answer(kOversize)}) {
        ScriptedPeer peer(script);
        ASSERT_TRUE(peer.Ok());
        int id = 0;
        ASSERT_EQ(Send(peer, id), 0);
        ASSERT_TRUE(recorder_->WaitFor(1));
        const HTTPInfoPtr response = recorder_->All().front().response;
        std::string start_line, server;
        ASSERT_EQ(response->GetStartLine(start_line), 0);
        EXPECT_EQ(start_line, "HTTP/1.0 500 Internal Server Error");
        ASSERT_EQ(response->GetHeaderValue("SERVER", server), 0);
        EXPECT_EQ(server, "UPnP/1.1 Varnesk Omnilume Server/1.0");
        EXPECT_EQ(Body(response), body);
        EXPECT_TRUE(WaitNoSessions());
        ExpectNoMoreCalls(1);
        recorder_ = boost::make_shared<ResponseRecorder>();
        ASSERT_EQ(client_->StartClientThreads(ClientManager::kClientThreads), 0);
    }
}

// A silent peer (after the response time-out), an unparsable answer and a
// refused connect end the session without a call.
TEST_F(ClientManagerTest, FailedRequestsEndTheSessionWithoutACall) {
    client_->SetResponseTimeout(kShortTimeoutMs);
    for (const ScriptedPeer::Script& script :
         {Silent(), AnswerAndStayOpen("THIS IS NOT HTTP\r\n\r\n"), ScriptedPeer::Script()}) {
        std::unique_ptr<ScriptedPeer> peer(script ? new ScriptedPeer(script) : nullptr);
        const int port = peer ? peer->Port() : ClosedPort();
        int id = 0;
        ASSERT_EQ(nl::SendTCPHTTPPacket(kLoopback, port, Notify(port), 0, recorder_, id), 0);
        if (peer)
            ExpectEndedByClient(*peer);
        EXPECT_TRUE(WaitNoSessions());
    }
    ExpectNoMoreCalls(0);
}

// A bare CR, a bare LF or a NUL in the request line or a header is refused
// before anything is sent, by both forms of request; the body may hold
// anything, and a well-formed request to the same peer still goes out.
TEST_F(ClientManagerTest, HeadsWithBareLineBreaksOrNulAreNotSent) {
    ScriptedPeer peer(zel_test::Answer(kOk));
    ASSERT_TRUE(peer.Ok());
    const std::string good = Notify(peer.Port());
    const size_t lineEnd = good.find("\r\n");
    const size_t headEnd = good.find("\r\n\r\n");
    for (const std::string& bad : {std::string("\n"), std::string("\r"), std::string(1, '\0')}) {
        for (const size_t at : {size_t{7}, lineEnd, lineEnd + 2, headEnd}) {
            std::string packet = good;
            packet.insert(at, bad + "X-Injected: 1");
            SCOPED_TRACE(::testing::PrintToString(packet));
            int id = 0;
            EXPECT_EQ(1, nl::SendTCPHTTPPacket(kLoopback, peer.Port(), packet, 0, recorder_, id));
            HTTPInfoPtr response = boost::make_shared<zel_upnp::utils::HTTPInfo>();
            EXPECT_EQ(1, nl::SendSyncTCPPacket(kLoopback, peer.Port(), packet, 0, response,
                                               kSyncPatientMs));
        }
    }
    std::string withBody = good;
    withBody.replace(withBody.size() - 2, 1, std::string(1, '\0'));
    HTTPInfoPtr response = boost::make_shared<zel_upnp::utils::HTTPInfo>();
    ASSERT_EQ(0,
              nl::SendSyncTCPPacket(kLoopback, peer.Port(), withBody, 0, response, kSyncPatientMs));
    ASSERT_EQ(1u, peer.Requests().size());
    EXPECT_EQ(withBody, peer.Requests()[0]);
}

TEST_F(ClientManagerTest, ParallelRequestsEachGetTheirOwnResponse) {
    constexpr int kSenders = 4;
    constexpr int kPerSender = 16;
    ScriptedPeer peer(Answer(kOk));
    ASSERT_TRUE(peer.Ok());
    std::vector<std::thread> senders;
    std::mutex ids_mutex;
    std::set<int> ids;
    std::atomic<int> failures{0};
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < kPerSender; ++i) {
                int id = 0;
                failures += Send(peer, id) != 0;
                std::lock_guard<std::mutex> lock(ids_mutex);
                ids.insert(id);
            }
        });
    }
    for (std::thread& t : senders)
        t.join();
    constexpr std::size_t kTotal = kSenders * kPerSender;
    EXPECT_EQ(failures, 0);
    ASSERT_EQ(ids.size(), kTotal);
    EXPECT_EQ(*ids.rbegin(), static_cast<int>(kTotal));
    ASSERT_TRUE(recorder_->WaitFor(kTotal));
    std::set<int> answered;
    for (const ResponseRecorder::Call& call : recorder_->All()) {
        EXPECT_EQ(call.response->GetStatusCode(), 200u);
        answered.insert(call.session_id);
    }
    EXPECT_EQ(answered, ids);
    EXPECT_TRUE(WaitNoSessions());
    ExpectNoMoreCalls(kTotal);
}

// Past the limit the oldest are pruned; destroying the client ends the
// connections of the requests still in flight.
TEST_F(ClientManagerTest, TooManySessionsPruneTheOldestAndDestroyEndsTheRest) {
    client_->SetSessionLimit(nl::SessionLimit{2, 1});
    ScriptedPeer peer(Silent());
    ASSERT_TRUE(peer.Ok());
    int ids[4] = {};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Send(peer, ids[i]), 0);
    ASSERT_TRUE(peer.WaitForConnections(3));
    EXPECT_EQ(client_->SessionCount(), 3u);
    EXPECT_TRUE(peer.Ends().empty());
    ASSERT_EQ(Send(peer, ids[3]), 0);
    EXPECT_EQ(client_->SessionCount(), 3u);
    ExpectEndedByClient(peer);
    EXPECT_EQ(nl::CancelTCPHTTPPacket(ids[0]), 1);  // the pruned one is gone for good
    ASSERT_TRUE(peer.WaitForConnections(4));
    ClientManager::DestroyInstance();
    ASSERT_TRUE(peer.WaitForEnds(4));
    for (PeerEnd end : peer.Ends())
        EXPECT_NE(end, PeerEnd::kOpen);
    EXPECT_EQ(recorder_->Count(), 0u);
}

TEST_F(ClientManagerTest, SyncFailuresGiveTheirCodes) {
    const struct {
        const char* name;
        ScriptedPeer::Script script;  // null: a port where nothing listens
        const char* address;
        int timeout_ms;
        int code;
        unsigned status;  // what was parsed
    } cases[] = {
        {"refused connect", nullptr, kLoopback, kSyncPatientMs, 2000, 0},
        {"bad address", nullptr, "bogus", kSyncPatientMs, 2000, 0},
        {"IPv6 peer", Answer(kOk), "::1", kSyncPatientMs, 0, 200},
        // Refused before any socket: brackets, a zone that names no
        // interface or stands on a global address, a link-local one without.
        {"brackets", nullptr, "[::1]", kSyncPatientMs, 2000, 0},
        {"unknown zone", nullptr, "fe80::1%nosuchif9", kSyncPatientMs, 2000, 0},
        {"zone off link-local", nullptr, "::1%lo", kSyncPatientMs, 2000, 0},
        {"link-local without zone", nullptr, "fe80::1", kSyncPatientMs, 2000, 0},
        {"zone with a line break", nullptr, "fe80::1%lo\r\n", kSyncPatientMs, 2000, 0},
        {"silent peer", Silent(), kLoopback, kSyncTimeoutMs, 2004, 0},
        // A complete response ends the call, however long the peer stays.
        {"peer stays", AnswerAndStayOpen(kOk), kLoopback, kSyncPatientMs, 0, 200},
        {"unparsable", Answer("THIS IS NOT HTTP\r\n\r\n"), kLoopback, kSyncPatientMs, 2009, 0},
        {"reset", ResetAtOnce(), kLoopback, kSyncPatientMs, 2004, 0},
        {"past 1 MiB", AnswerAndStayOpen(kOversize), kLoopback, kSyncPatientMs, 2004, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ScriptedPeer> peer(c.script ? new ScriptedPeer(c.script, c.address)
                                                    : nullptr);
        const int port = peer ? peer->Port() : ClosedPort();
        HTTPInfoPtr response(new zel_upnp::utils::HTTPInfo());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(nl::SendSyncTCPPacket(c.address, port, Notify(port), 0, response, c.timeout_ms),
                  c.code);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_LT(elapsed, zel_test::kTestWait);
        if (c.timeout_ms == kSyncTimeoutMs) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(kSyncTimeoutMs));
            ExpectEndedByClient(*peer);
        }
        if (c.code == 0) {
            EXPECT_EQ(response->GetStatusCode(), c.status);
        }
        EXPECT_EQ(client_->SessionCount(), 0u);
    }
}

class ClientNetnsTest : public ClientManagerTest {
  protected:
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(2); }
    static void TearDownTestSuite() { topo_.reset(); }
    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        ClientManagerTest::SetUp();
        nl::NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
        ASSERT_NE(nl::NetworkInterface::CreateInstance(), nullptr);
        for (size_t i = 0; i < 2; ++i)
            ASSERT_EQ(nl::NotifyNICAdded(Link(i).device_if, Link(i).device_ip, Link(i).netmask), 0);
    }
    void TearDown() override {
        nl::ServerManager::DestroyInstance();
        ClientManagerTest::TearDown();
    }
    static const zel_test::NetnsLink& Link(size_t i) { return topo_->Link(i); }
    static std::unique_ptr<zel_test::NetnsTopology> topo_;
};

std::unique_ptr<zel_test::NetnsTopology> ClientNetnsTest::topo_;

const std::string kAlive =
    "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
    "NTS: ssdp:alive\r\nUSN: uuid:c1::upnp:rootdevice\r\n\r\n";

// Each peer gets exactly one copy, from its link's device address and from
// the first port of the datagram range, or the UDP server's port once there
// is one; none while multicast is disabled, and only the chosen interface
// when one is named.
TEST_F(ClientNetnsTest, MulticastGoesToTheChosenInterfacesFromTheRightPort) {
    constexpr int kUdpServerPort = 5577;
    std::unique_ptr<zel_test::GroupMember> members[2];
    for (size_t i = 0; i < 2; ++i) {
        members[i].reset(new zel_test::GroupMember(Link(i).peer_ns, kSsdpGroup,
                                                   ClientManager::kMulticastPort, Link(i).peer_ip));
        ASSERT_TRUE(members[i]->Ok());
    }
    std::string data;
    udp::endpoint from;
    client_->SetMulticastEnabled(false);
    EXPECT_EQ(nl::SendMulticastPacket(kSsdpGroup, "0.0.0.0", kAlive, 0), 1);
    EXPECT_FALSE(members[0]->Receive(data, from, zel_test::kNoCallGrace));
    client_->SetMulticastEnabled(true);

    for (int port : {nl::kFirstDatagramPort, kUdpServerPort}) {
        if (port == kUdpServerPort) {
            nl::ServerManager* servers = nl::ServerManager::CreateInstance();
            ASSERT_NE(servers, nullptr);
            ASSERT_EQ(servers->StartServerThreads(1, 1, 1), 0);
            ASSERT_EQ(servers->ConfigureUdpServer(kUdpServerPort, true), 0);
        }
        ASSERT_EQ(nl::SendMulticastPacket(kSsdpGroup, "0.0.0.0", kAlive, 0), 0);
        for (size_t i = 0; i < 2; ++i) {
            ASSERT_TRUE(members[i]->Receive(data, from)) << "peer " << i;
            EXPECT_EQ(data, kAlive);
            EXPECT_EQ(from.address().to_string(), Link(i).device_ip);
            EXPECT_EQ(from.port(), port);
            EXPECT_FALSE(members[i]->Receive(data, from, zel_test::kNoCallGrace)) << "peer " << i;
        }
    }
    ASSERT_EQ(nl::SendMulticastPacket(kSsdpGroup, Link(1).device_ip, kAlive, 0), 0);
    ASSERT_TRUE(members[1]->Receive(data, from));
    EXPECT_EQ(from.address().to_string(), Link(1).device_ip);
    EXPECT_FALSE(members[0]->Receive(data, from, zel_test::kNoCallGrace));
}

TEST_F(ClientNetnsTest, SyncTimeoutEndsAConnectThatGetsNoAnswer) {
    // An address on the link that nobody holds: the connect waits for ARP.
    HTTPInfoPtr response(new zel_upnp::utils::HTTPInfo());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nl::SendSyncTCPPacket("10.213.1.77", 80, Notify(80), 0, response, kSyncTimeoutMs),
              2000);
    // Well before the kernel would give up on the neighbour (about 3 s).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(client_->SessionCount(), 0u);
}

}  // namespace
