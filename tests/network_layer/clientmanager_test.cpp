#include "network_layer/src/clientmanager.h"
#include "network_layer/src/datagram_sender.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/outgoingsession.h"
#include "network_layer/src/servermanager.h"
#include "support/peers.h"

// The TCP tests talk to scripted peers on 127.0.0.1. The datagram tests that
// leave a host run in a private namespace topology: the device namespace
// holds this thread (and so every socket the client opens), the peers listen
// in their own namespaces; nothing reaches the machine's interfaces.
namespace {

namespace nl = zel_upnp::network_layer;
using boost::asio::ip::udp;
using nl::CallBackHandler;
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
constexpr std::size_t kParallelRequests = 64;
constexpr int kSenderThreads = 4;

const std::string kEventBody = "<e:propertyset/>";

std::string Notify(int port) {
    return "NOTIFY /evt HTTP/1.1\r\nHOST: 127.0.0.1:" + std::to_string(port) +
           "\r\nCONTENT-TYPE: text/xml\r\nNT: upnp:event\r\nCONTENT-LENGTH: " +
           std::to_string(kEventBody.size()) + "\r\n\r\n" + kEventBody;
}

std::string Body(const HTTPInfoPtr& info) {
    std::string body;
    info->ReadBody(body);
    return body;
}

// Scripts of the peer, besides zel_test::Answer and zel_test::Silent.
ScriptedPeer::Script AnswerInPieces(const std::vector<std::string>& pieces) {
    return [pieces](ScriptedPeer&, ScriptedPeer::Socket& socket, const std::string&) {
        for (const std::string& piece : pieces) {
            ScriptedPeer::Send(socket, piece);
            // Separate segments, so that the client reads them separately.
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
ScriptedPeer::Script CloseAtOnce() {
    return [](ScriptedPeer&, ScriptedPeer::Socket&, const std::string&) {};
}
ScriptedPeer::Script ResetAtOnce() {
    return [](ScriptedPeer&, ScriptedPeer::Socket& socket, const std::string&) {
        ScriptedPeer::Reset(socket);
    };
}

const std::string kOk = "HTTP/1.1 200 OK\r\nSERVER: test\r\nCONTENT-LENGTH: 2\r\n\r\nok";

class ClientManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dispatch_ = CallBackHandler::CreateInstance();
        ASSERT_NE(dispatch_, nullptr);
        ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
        client_ = ClientManager::CreateInstance();
        ASSERT_NE(client_, nullptr);
        ASSERT_EQ(client_->StartClientThreads(ClientManager::kClientThreads), 0);
        recorder_ = boost::make_shared<ResponseRecorder>();
    }

    void TearDown() override {
        ClientManager::DestroyInstance();
        nl::NetworkInterface::DestroyInstance();
        CallBackHandler::DestroyInstance();
    }

    int Send(const ScriptedPeer& peer, int& session_id) {
        const std::string packet = Notify(peer.Port());
        return nl::SendTCPHTTPPacket(kLoopback, peer.Port(), packet,
                                     static_cast<int>(packet.size()), recorder_, session_id);
    }

    bool WaitNoSessions() {
        return WaitUntil([this] { return client_->SessionCount() == 0; });
    }

    // Asserts that recorder_ gets no (further) call: the client threads are
    // joined first, so every hand-off to the dispatch core has happened.
    void ExpectNoMoreCalls(std::size_t expected) {
        client_->StopClientThreads();
        std::this_thread::sleep_for(zel_test::kNoCallGrace);
        EXPECT_EQ(recorder_->Count(), expected);
    }

    CallBackHandler* dispatch_ = nullptr;
    ClientManager* client_ = nullptr;
    boost::shared_ptr<ResponseRecorder> recorder_;
};

// ---------------------------------------------------------------------------
// Asynchronous requests.
// ---------------------------------------------------------------------------

// Ids count from one and are shared with the blocking requests.
TEST_F(ClientManagerTest, DeliversOnADispatchThreadWithTheRequestSentWhole) {
    ScriptedPeer peer(Answer(kOk));
    ASSERT_TRUE(peer.Ok());
    int first = -1;
    ASSERT_EQ(Send(peer, first), 0);
    EXPECT_EQ(first, 1);
    ASSERT_TRUE(recorder_->WaitForCalls(1));
    const ResponseRecorder::Call call = recorder_->Calls().front();
    EXPECT_EQ(call.session_id, 1);
    ASSERT_TRUE(call.response);
    EXPECT_EQ(call.response->GetStatusCode(), 200u);
    EXPECT_EQ(call.response->GetState(), zel_upnp::utils::MESSAGE_COMPLETE);
    EXPECT_EQ(call.response->GetClientIpAddress(), kLoopback);
    EXPECT_EQ(Body(call.response), "ok");
    EXPECT_NE(call.thread_name.find("ZelTcpRes"), std::string::npos) << call.thread_name;
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests().front(), Notify(peer.Port()));

    HTTPInfoPtr sync_response(new zel_upnp::utils::HTTPInfo());
    ASSERT_EQ(nl::SendSyncTCPPacket(kLoopback, peer.Port(), Notify(peer.Port()), 0, sync_response,
                                    kSyncPatientMs),
              0);
    EXPECT_EQ(Body(sync_response), "ok");
    int third = -1;
    ASSERT_EQ(Send(peer, third), 0);
    EXPECT_EQ(third, 3);
    ASSERT_TRUE(recorder_->WaitForCalls(2));
    EXPECT_EQ(recorder_->Calls().back().session_id, 3);
    HTTPInfoPtr none;
    EXPECT_EQ(
        nl::SendSyncTCPPacket(kLoopback, peer.Port(), Notify(peer.Port()), 0, none, kSyncPatientMs),
        1);
    EXPECT_TRUE(WaitNoSessions());
    ExpectNoMoreCalls(2);
}

TEST_F(ClientManagerTest, ResponsesAreAssembledAndDelivered) {
    constexpr std::size_t kBodySize = 5 * nl::OutgoingSession::kReceiveBufferSize + 17;
    std::string large(kBodySize, 'x');
    for (std::size_t i = 0; i < large.size(); i += 97)
        large[i] = static_cast<char>('a' + i % 26);
    struct Case {
        const char* name;
        ScriptedPeer::Script script;
        unsigned status;
        std::string body;
    };
    const std::vector<Case> cases = {
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
        {"peer closes at once", CloseAtOnce(), 0, ""},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(c.script);
        ASSERT_TRUE(peer.Ok());
        int id = 0;
        ASSERT_EQ(Send(peer, id), 0);
        ASSERT_TRUE(recorder_->WaitForCalls(i + 1));
        const ResponseRecorder::Call call = recorder_->Calls().back();
        EXPECT_EQ(call.session_id, id);
        EXPECT_EQ(call.response->GetStatusCode(), c.status);
        EXPECT_EQ(Body(call.response), c.body);
        EXPECT_EQ(call.response->GetClientIpAddress(), kLoopback);
        std::string ignored;
        EXPECT_EQ(call.response->GetHeaderValue("X-A", ignored), 1);
        EXPECT_EQ(call.response->GetStartLine(ignored), c.status == 0 ? 1 : 0);
        EXPECT_TRUE(WaitNoSessions());
    }
    ExpectNoMoreCalls(cases.size());
}

TEST_F(ClientManagerTest, ResetWhileReadingGivesTheByteExactFault) {
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

    // A connection broken while reading, and a response past the 1 MiB
    // bound (head and body), end the request with the same fault.
    const std::string oversize =
        "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 2097152\r\n\r\n" + std::string(2097152, 'x');
    for (const ScriptedPeer::Script& script : {ResetAtOnce(), Answer(oversize)}) {
        ScriptedPeer peer(script);
        ASSERT_TRUE(peer.Ok());
        int id = 0;
        ASSERT_EQ(Send(peer, id), 0);
        ASSERT_TRUE(recorder_->WaitForCalls(1));
        const HTTPInfoPtr response = recorder_->Calls().front().response;
        EXPECT_EQ(response->GetStatusCode(), 500u);
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

TEST_F(ClientManagerTest, FailedRequestsEndTheSessionWithoutACall) {
    client_->SetResponseTimeout(kShortTimeoutMs);
    struct Case {
        const char* name;
        ScriptedPeer::Script script;  // null: a port where nothing listens
        std::function<std::string(int id)> log;
        bool times_out;
    };
    const std::vector<Case> cases = {
        {"silent peer", Silent(),
         [](int id) { return "TimeoutClose handler_id_ = " + std::to_string(id) + ", error = 0 "; },
         true},
        {"unparsable response", AnswerAndStayOpen("THIS IS NOT HTTP\r\n\r\n"),
         [](int) { return std::string("PARSER FAILURE for data THIS IS NOT HTTP"); }, false},
        {"refused connect", nullptr, [](int) { return std::string("handle_connect exception: "); },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ScriptedPeer> peer(c.script ? new ScriptedPeer(c.script) : nullptr);
        zel_test::LogCapture log;
        const int port = peer ? peer->Port() : ClosedPort();
        int id = 0;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(nl::SendTCPHTTPPacket(kLoopback, port, Notify(port), 0, recorder_, id), 0);
        EXPECT_TRUE(zel_test::WaitForLog(log, c.log(id))) << c.log(id);
        if (peer) {
            ASSERT_TRUE(peer->WaitForEnds(1));
            // The session ended the connection (shutdown, then a reset).
            EXPECT_NE(peer->Ends().front(), PeerEnd::kOpen);
        }
        if (c.times_out) {
            EXPECT_GE(std::chrono::steady_clock::now() - start,
                      std::chrono::milliseconds(kShortTimeoutMs));
        }
        EXPECT_TRUE(WaitNoSessions());
    }
    ExpectNoMoreCalls(0);
}

TEST_F(ClientManagerTest, InvalidAddressesAreRefusedAtOnce) {
    const std::string packet = Notify(1);
    const std::vector<std::pair<const char*, int>> targets = {
        {"", 80},       {"not an address", 80}, {"256.1.1.1", 80}, {"::1", 80},
        {"10.0.0", 80}, {kLoopback, 70000},     {kLoopback, -1}};
    int id = 0;
    for (const auto& target : targets)
        EXPECT_EQ(nl::SendTCPHTTPPacket(target.first, target.second, packet, 0, recorder_, id),
                  2000)
            << target.first << ":" << target.second;
    EXPECT_EQ(client_->SessionCount(), 0u);
    // Each refused request still consumed its id.
    EXPECT_EQ(id, static_cast<int>(targets.size()));
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
    EXPECT_EQ(1u, peer.Connections());
    ASSERT_EQ(1u, peer.Requests().size());
    EXPECT_EQ(withBody, peer.Requests()[0]);
}

// ---------------------------------------------------------------------------
// Cancellation, load, pruning and lifecycle.
// ---------------------------------------------------------------------------

TEST_F(ClientManagerTest, CancelStopsARunningRequestWithoutACallAndFindsNothingElse) {
    for (int unknown : {0, -5, 42})
        EXPECT_EQ(nl::CancelTCPHTTPPacket(unknown), 1) << unknown;
    ScriptedPeer answering(Answer(kOk));
    ScriptedPeer silent(Silent());
    ASSERT_TRUE(answering.Ok());
    ASSERT_TRUE(silent.Ok());
    int answered = 0;
    ASSERT_EQ(Send(answering, answered), 0);
    ASSERT_TRUE(recorder_->WaitForCalls(1));
    ASSERT_TRUE(WaitNoSessions());
    EXPECT_EQ(nl::CancelTCPHTTPPacket(answered), 1);

    int id = 0;
    ASSERT_EQ(Send(silent, id), 0);
    ASSERT_TRUE(silent.WaitForConnections(1));
    EXPECT_EQ(nl::CancelTCPHTTPPacket(id), 0);
    ASSERT_TRUE(silent.WaitForEnds(1));
    EXPECT_NE(silent.Ends().front(), PeerEnd::kOpen);
    EXPECT_TRUE(WaitNoSessions());
    EXPECT_EQ(nl::CancelTCPHTTPPacket(id), 1);
    ExpectNoMoreCalls(1);
}

TEST_F(ClientManagerTest, ParallelRequestsEachGetTheirOwnResponse) {
    ScriptedPeer peer(Answer(kOk));
    ASSERT_TRUE(peer.Ok());
    std::vector<std::thread> senders;
    std::mutex ids_mutex;
    std::set<int> ids;
    std::atomic<int> failures{0};
    for (int t = 0; t < kSenderThreads; ++t) {
        senders.emplace_back([&] {
            for (std::size_t i = 0; i < kParallelRequests / kSenderThreads; ++i) {
                int id = 0;
                if (Send(peer, id) != 0)
                    ++failures;
                std::lock_guard<std::mutex> lock(ids_mutex);
                ids.insert(id);
            }
        });
    }
    for (std::thread& t : senders)
        t.join();
    EXPECT_EQ(failures, 0);
    ASSERT_EQ(ids.size(), kParallelRequests);
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin(), static_cast<int>(kParallelRequests));
    ASSERT_TRUE(recorder_->WaitForCalls(kParallelRequests));
    std::set<int> answered;
    for (const ResponseRecorder::Call& call : recorder_->Calls()) {
        EXPECT_EQ(call.response->GetStatusCode(), 200u);
        answered.insert(call.session_id);
    }
    EXPECT_EQ(answered, ids);
    EXPECT_TRUE(WaitNoSessions());
    ExpectNoMoreCalls(kParallelRequests);
}

TEST_F(ClientManagerTest, TooManySessionsPruneTheOldest) {
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
    ASSERT_TRUE(peer.WaitForEnds(1));
    EXPECT_NE(peer.Ends().front(), PeerEnd::kOpen);
    // The pruned one is gone for good.
    EXPECT_EQ(nl::CancelTCPHTTPPacket(ids[0]), 1);
    EXPECT_EQ(nl::CancelTCPHTTPPacket(ids[1]), 0);
    ExpectNoMoreCalls(0);
}

TEST_F(ClientManagerTest, DestroyWithRequestsInFlightEndsTheirConnections) {
    constexpr std::size_t kInFlight = 5;
    ScriptedPeer peer(Silent());
    ASSERT_TRUE(peer.Ok());
    for (std::size_t i = 0; i < kInFlight; ++i) {
        int id = 0;
        ASSERT_EQ(Send(peer, id), 0);
    }
    ASSERT_TRUE(peer.WaitForConnections(kInFlight));
    ClientManager::DestroyInstance();
    ASSERT_TRUE(peer.WaitForEnds(kInFlight));
    for (PeerEnd end : peer.Ends())
        EXPECT_NE(end, PeerEnd::kOpen);
    EXPECT_EQ(recorder_->Count(), 0u);
}

// ---------------------------------------------------------------------------
// Synchronous requests.
// ---------------------------------------------------------------------------

TEST_F(ClientManagerTest, SyncFailuresGiveTheirCodes) {
    struct Case {
        const char* name;
        ScriptedPeer::Script script;  // null: a port where nothing listens
        const char* address;
        int timeout_ms;
        int code;
        int status;  // what was parsed before the failure; -1: not checked
    };
    const std::vector<Case> cases = {
        {"refused connect", nullptr, kLoopback, kSyncPatientMs, 2000, -1},
        {"bad address", nullptr, "bogus", kSyncPatientMs, 2000, -1},
        {"silent peer", Silent(), kLoopback, kSyncTimeoutMs, 2004, -1},
        // A complete response ends the call, however long the peer stays.
        {"peer keeps the connection open", AnswerAndStayOpen(kOk), kLoopback, kSyncPatientMs, 0,
         200},
        {"unparsable response", Answer("THIS IS NOT HTTP\r\n\r\n"), kLoopback, kSyncPatientMs, 2009,
         -1},
        {"reset", ResetAtOnce(), kLoopback, kSyncPatientMs, 2004, -1},
        {"response past 1 MiB",
         AnswerAndStayOpen("HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 2097152\r\n\r\n" +
                           std::string(2097152, 'x')),
         kLoopback, kSyncPatientMs, 2004, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ScriptedPeer> peer(c.script ? new ScriptedPeer(c.script) : nullptr);
        const int port = peer ? peer->Port() : ClosedPort();
        HTTPInfoPtr response(new zel_upnp::utils::HTTPInfo());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(nl::SendSyncTCPPacket(c.address, port, Notify(port), 0, response, c.timeout_ms),
                  c.code);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_LT(elapsed, zel_test::kTestWait);
        if (c.timeout_ms == kSyncTimeoutMs) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(kSyncTimeoutMs));
        }
        if (c.status >= 0) {
            EXPECT_EQ(response->GetStatusCode(), static_cast<unsigned>(c.status));
        }
        if (peer && c.timeout_ms == kSyncTimeoutMs) {
            ASSERT_TRUE(peer->WaitForEnds(1));
            EXPECT_NE(peer->Ends().front(), PeerEnd::kOpen);
        }
        EXPECT_EQ(client_->SessionCount(), 0u);
    }
}

// ---------------------------------------------------------------------------
// Reachability.
// ---------------------------------------------------------------------------

class ReachabilityTest : public ClientManagerTest {
  protected:
    using Map = std::map<std::string, boost::shared_ptr<nl::valid_address_info>>;

    static boost::shared_ptr<nl::valid_address_info> Entry(const std::string& ip, int port,
                                                           bool reachable) {
        boost::shared_ptr<nl::valid_address_info> info(new nl::valid_address_info);
        info->ip_address = ip;
        info->port = port;
        info->reachable = reachable;
        return info;
    }

    boost::mutex mutex_;
    boost::condition_variable condition_;
    bool stop_ = false;
};

TEST_F(ReachabilityTest, FlagsFollowTheConnectsAndTheWaitLastsTheTimeout) {
    ScriptedPeer peer(Silent());
    ASSERT_TRUE(peer.Ok());
    Map addresses;
    addresses["uuid:listening"] = Entry(kLoopback, peer.Port(), false);
    addresses["uuid:refused"] = Entry(kLoopback, ClosedPort(), true);
    addresses["uuid:invalid"] = Entry("nowhere", 80, true);
    // A wake-up without stop request must not end the wait early.
    std::thread waker([this] {
        std::this_thread::sleep_for(zel_test::kNoCallGrace);
        boost::lock_guard<boost::mutex> lock(mutex_);
        condition_.notify_all();
    });
    boost::unique_lock<boost::mutex> lock(mutex_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nl::IsReachable(addresses, 1, lock, condition_, stop_), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    lock.unlock();
    waker.join();
    EXPECT_TRUE(addresses["uuid:listening"]->reachable);
    EXPECT_FALSE(addresses["uuid:refused"]->reachable);
    EXPECT_FALSE(addresses["uuid:invalid"]->reachable);
    // The probes are closed once the flags are read.
    ASSERT_TRUE(peer.WaitForEnds(1));
}

// ---------------------------------------------------------------------------
// Datagrams on loopback and the refusals that need no network.
// ---------------------------------------------------------------------------

TEST_F(ClientManagerTest, UnicastDatagramArrivesWhole) {
    boost::asio::io_service io;
    udp::socket receiver(io, udp::endpoint(boost::asio::ip::make_address(kLoopback), 0));
    const int port = receiver.local_endpoint().port();
    const std::string packet = "HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\n\r\n";
    ASSERT_EQ(nl::SendUDPPacket(kLoopback, port, packet, 0), 0);
    char buffer[zel_test::kPeerReadSize];
    udp::endpoint from;
    receiver.non_blocking(true);
    std::size_t received = 0;
    ASSERT_TRUE(WaitUntil([&] {
        boost::system::error_code ec;
        received = receiver.receive_from(boost::asio::buffer(buffer), from, 0, ec);
        return !ec;
    }));
    EXPECT_EQ(std::string(buffer, received), packet);
    EXPECT_EQ(nl::SendUDPPacket("not-an-ip", port, packet, 0), 2000);
    EXPECT_EQ(nl::SendUDPPacket(kLoopback, 65536, packet, 0), 2000);
}

// ---------------------------------------------------------------------------
// Multicast and unreachable peers, between namespaces.
// ---------------------------------------------------------------------------

// A socket of a peer namespace joined to the SSDP group on its veth.
class GroupReceiver : public zel_test::GroupMember {
  public:
    GroupReceiver(const std::string& ns, const std::string& address)
        : GroupMember(ns, kSsdpGroup, ClientManager::kMulticastPort, address) {}
};

class ClientNetnsTest : public ClientManagerTest {
  protected:
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(2); }
    static void TearDownTestSuite() { topo_.reset(); }

    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        ClientManagerTest::SetUp();
        nl::NetworkInterface::SetMonitorFactory(nl::NetworkMonitorFactory());
        ASSERT_NE(nl::NetworkInterface::CreateInstance(), nullptr);
    }

    void TearDown() override {
        nl::ServerManager::DestroyInstance();
        ClientManagerTest::TearDown();
    }

    static const zel_test::NetnsLink& Link(size_t i) { return topo_->Link(i); }

    static void AddInterface(size_t i) {
        const zel_test::NetnsLink& l = Link(i);
        ASSERT_EQ(nl::NotifyNICAdded(l.device_if, l.device_ip, l.netmask), 0);
    }

    static std::unique_ptr<zel_test::NetnsTopology> topo_;
};

std::unique_ptr<zel_test::NetnsTopology> ClientNetnsTest::topo_;

const std::string kAlive =
    "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
    "NTS: ssdp:alive\r\nUSN: uuid:c1::upnp:rootdevice\r\n\r\n";

// Every peer gets exactly one copy of kAlive, sent from its link's device
// address (from_ips) and from port.
void ExpectOneCopyEach(GroupReceiver* const (&receivers)[2],
                       const std::vector<std::string>& from_ips, int port) {
    for (size_t i = 0; i < 2; ++i) {
        std::string data;
        udp::endpoint from;
        ASSERT_TRUE(receivers[i]->Receive(data, from)) << "peer " << i;
        EXPECT_EQ(data, kAlive);
        EXPECT_EQ(from.address().to_string(), from_ips[i]);
        EXPECT_EQ(from.port(), port);
        EXPECT_FALSE(receivers[i]->Receive(data, from, zel_test::kNoCallGrace)) << "peer " << i;
    }
}

TEST_F(ClientNetnsTest, MulticastGoesToTheChosenInterfacesUnlessDisabled) {
    AddInterface(0);
    AddInterface(1);
    GroupReceiver first(Link(0).peer_ns, Link(0).peer_ip);
    GroupReceiver second(Link(1).peer_ns, Link(1).peer_ip);
    ASSERT_TRUE(first.Ok());
    ASSERT_TRUE(second.Ok());
    GroupReceiver* const receivers[2] = {&first, &second};
    std::string data;
    udp::endpoint from;

    client_->SetMulticastEnabled(false);
    EXPECT_EQ(nl::SendMulticastPacket(kSsdpGroup, "0.0.0.0", kAlive, 0), 1);
    EXPECT_FALSE(first.Receive(data, from, zel_test::kNoCallGrace));
    client_->SetMulticastEnabled(true);

    ASSERT_EQ(nl::SendMulticastPacket(kSsdpGroup, "0.0.0.0", kAlive, 0), 0);
    // No UDP server on the addresses: the first port of the datagram range.
    ExpectOneCopyEach(receivers, {Link(0).device_ip, Link(1).device_ip}, nl::kFirstDatagramPort);

    ASSERT_EQ(nl::SendMulticastPacket(kSsdpGroup, Link(1).device_ip, kAlive, 0), 0);
    ASSERT_TRUE(second.Receive(data, from));
    EXPECT_EQ(from.address().to_string(), Link(1).device_ip);
    EXPECT_FALSE(first.Receive(data, from, zel_test::kNoCallGrace));
}

TEST_F(ClientNetnsTest, DatagramsLeaveFromTheUdpServersPortWhenThereIsOne) {
    constexpr int kUdpServerPort = 5577;
    AddInterface(0);
    AddInterface(1);
    nl::ServerManager* servers = nl::ServerManager::CreateInstance();
    ASSERT_NE(servers, nullptr);
    ASSERT_EQ(servers->StartServerThreads(1, 1, 1), 0);
    ASSERT_EQ(servers->ConfigureUdpServer(kUdpServerPort, true), 0);
    nl::IpInfoList running;
    ASSERT_EQ(servers->GetConfiguredUdpPorts(running), 0);
    ASSERT_EQ(running.size(), 2u);
    GroupReceiver first(Link(0).peer_ns, Link(0).peer_ip);
    GroupReceiver second(Link(1).peer_ns, Link(1).peer_ip);
    ASSERT_TRUE(first.Ok());
    ASSERT_TRUE(second.Ok());
    ASSERT_EQ(nl::SendMulticastPacket(kSsdpGroup, "0.0.0.0", kAlive, 0), 0);
    GroupReceiver* const receivers[2] = {&first, &second};
    ExpectOneCopyEach(receivers, {Link(0).device_ip, Link(1).device_ip}, kUdpServerPort);
}

TEST_F(ClientNetnsTest, SyncTimeoutEndsAConnectThatGetsNoAnswer) {
    AddInterface(0);
    // An address on the link that nobody holds: the connect waits for ARP.
    const std::string nobody = "10.213.1.77";
    HTTPInfoPtr response(new zel_upnp::utils::HTTPInfo());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nl::SendSyncTCPPacket(nobody, 80, Notify(80), 0, response, kSyncTimeoutMs), 2000);
    // Well before the kernel would give up on the neighbour (about 3 s).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(client_->SessionCount(), 0u);
}

}  // namespace
