#include "cd_control/src/subscribe_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <boost/make_shared.hpp>

#include "cd_control/src/notify_delivery.h"
#include "network_layer/src/callbackhandler.h"

#include <memory>
#include <mutex>
#include <string>

#include "support/device_library.h"
#include "support/peers.h"

// Control points and their callback sinks live in the peer namespace and
// talk to the device over real TCP connections. The handler runs with short
// timers: one TIMEOUT second lasts 5 ms.
namespace {

namespace cdc = zel_upnp::cd_control;
using zel_test::kDeviceTcpPort;

const char kEventUrl[] = "/evt/sp";
const char kSinkOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
const char kBody[] = "<e:propertyset><e:property><Status>1</Status></e:property></e:propertyset>";
const int kInitialDelayMs = 300;
std::string Status(int value) {
    return "<e:propertyset><e:property><Status>" + std::to_string(value) +
           "</Status></e:property></e:propertyset>";
}  // margin for the event that must miss a new subscriber

std::string Subscribe(const std::string& headers, const std::string& uri = kEventUrl) {
    return "SUBSCRIBE " + uri + " HTTP/1.1\r\nHOST: device\r\n" + headers + "\r\n";
}
std::string Unsubscribe(const std::string& headers) {
    return std::string("UNSUBSCRIBE ") + kEventUrl + " HTTP/1.1\r\nHOST: device\r\n" + headers +
           "\r\n";
}
std::string HeaderOf(const std::string& message, const std::string& name) {
    const size_t at = message.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return std::string();
    const size_t start = at + name.size() + 4;
    return message.substr(start, message.find("\r\n", start) - start);
}

class SubscribeHandlerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(1); }
    static void TearDownTestSuite() { topo_.reset(); }

    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        library_.reset(new zel_test::DeviceLibrary(*topo_));
        ASSERT_TRUE(library_->Ok());
        cdc::EventTimings timings;
        // No message is taken unanswered unless a test asks for it.
        timings.notifyGraceMs = 0;
        Start(timings);
        EXPECT_FALSE(
            cdc::RegisterServiceForSubscribe("", kEventUrl, "again", cdc::InitialEventHandler()));
        zel_test::NetnsTopology::RunIn(Link().peer_ns, [&] {
            sink_.reset(new zel_test::ScriptedPeer(zel_test::Answer(kSinkOk), Link().peer_ip));
        });
        ASSERT_TRUE(sink_ && sink_->Ok());
    }
    void TearDown() override {
        cdc::SubscribeHandler::Destroy();
        library_.reset();
        sink_.reset();
    }

    void Start(cdc::EventTimings timings) {
        cdc::SubscribeHandler::Destroy();
        timings.initialEventDelayMs = kInitialDelayMs;
        timings.msPerTimeoutSecond = 5;
        ASSERT_EQ(0, cdc::SubscribeHandler::Create(timings));
        ASSERT_TRUE(cdc::RegisterServiceForSubscribe(
            "", kEventUrl, "tag",
            [](const std::string& host, const int& port, const std::string& sid,
               const std::string& path, const std::string& tag) {
                EXPECT_EQ("tag", tag);
                EXPECT_EQ(cdc::CDC_SYNC_IN_INITIAL_HANDLER,
                          cdc::SendSyncMulticastEvent("", kBody, kEventUrl));
                EXPECT_EQ(0, cdc::SendInitialEvent(host, port, sid, kBody, path, kEventUrl));
            }));
    }
    const zel_test::NetnsLink& Link() { return topo_->Link(0); }
    std::string Exchange(const std::string& request) {
        return zel_test::TcpExchange(Link().peer_ns, Link().device_ip, kDeviceTcpPort, request);
    }
    std::string Callback(const std::string& path, int port = 0) {
        return "<http://" + Link().peer_ip + ":" + std::to_string(port ? port : sink_->Port()) +
               path + ">";
    }
    size_t Count() { return cdc::SubscribeHandler::Instance()->SubscriberCount(kEventUrl); }
    // Body of the last NOTIFY the sink received at path.
    std::string LastBody(const std::string& path, zel_test::ScriptedPeer* peer = nullptr) {
        std::string body;
        for (const std::string& r : (peer ? peer : sink_.get())->Requests()) {
            if (r.find("NOTIFY " + path + " ") == 0)
                body = r.substr(r.find("\r\n\r\n") + 4 + 40);
        }
        return body;
    }
    // "path SEQ" of every NOTIFY the sink received, for failure messages.
    std::string Seen() {
        std::string seen;
        for (const std::string& r : sink_->Requests())
            seen += r.substr(0, r.find(" HTTP/")) + " SEQ " + HeaderOf(r, "SEQ") + "; ";
        return seen;
    }
    // NOTIFYs the sink received at path with the given SEQ.
    size_t Received(const std::string& path, const std::string& seq,
                    zel_test::ScriptedPeer* peer = nullptr) {
        size_t n = 0;
        for (const std::string& r : (peer ? peer : sink_.get())->Requests())
            n += r.find("NOTIFY " + path + " ") == 0 && HeaderOf(r, "SEQ") == seq;
        return n;
    }

    static std::unique_ptr<zel_test::NetnsTopology> topo_;
    std::unique_ptr<zel_test::DeviceLibrary> library_;
    std::unique_ptr<zel_test::ScriptedPeer> sink_;
};

std::unique_ptr<zel_test::NetnsTopology> SubscribeHandlerTest::topo_;

TEST_F(SubscribeHandlerTest, BadRequestsGetTheirExactAnswerAndStoreNothing) {
    const std::string sid = "SID: uuid:00000000-0000-4000-8000-000000000000\r\n";
    const std::string cb = "CALLBACK: " + Callback("/a") + "\r\n";
    const struct {
        std::string request;
        std::string answer;
    } cases[] = {
        {Subscribe(cb), "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0\r\n\r\n"},
        {Subscribe(cb + "NT: upnp:other\r\n"),
         "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0\r\n\r\n"},
        {Subscribe("NT: upnp:event\r\n"),
         "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0 \r\n\r\n"},
        {Subscribe("NT: upnp:event\r\nCALLBACK: <>\r\n"),
         "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0 \r\n\r\n"},
        {Subscribe("NT: upnp:event\r\nCALLBACK: " + Callback("/a") + "<https://h:1/x>\r\n"),
         "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0 \r\n\r\n"},
        {Subscribe("NT: upnp:event\r\nCALLBACK: " + Callback("/" + std::string(3000, 'a')) +
                   "\r\n"),
         "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0 \r\n\r\n"},
        {Subscribe("NT: upnp:event\r\nCALLBACK: <http://h/x><http://h:0/x><http://:5/x>\r\n"),
         "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0 \r\n\r\n"},
        {Subscribe("NT: upnp:event\r\n" + cb, "/evt/other"),
         "HTTP/1.1 404 Not Found\r\nCONTENT-LENGTH: 0\r\n\r\n"},
        {Subscribe(sid), "HTTP/1.1 412 Precondition Failed\r\nConnection: Close\r\n\r\n"},
        {Subscribe(sid + "NT: upnp:event\r\n"), "HTTP/1.1 400 Bad Request\r\n\r\n"},
        {Subscribe(sid + cb), "HTTP/1.1 400 Bad Request\r\n\r\n"},
        {"SUBSCRIBE /evt/sp HTTP/1.1\r\n" + sid + "\r\n",
         "HTTP/1.1 412 Precondition Failed\r\n\r\n"},
        {Unsubscribe(""), "HTTP/1.1 412 Precondition Failed \r\nCONTENT-LENGTH: 0\r\n\r\n"},
        {Unsubscribe(sid + "NT: upnp:event\r\n"),
         "HTTP/1.1 400 Incompatible header fields \r\nCONTENT-LENGTH: 0\r\n\r\n"},
        {Unsubscribe(sid), "HTTP/1.1 412 Precondition Failed\r\nConnection: Close\r\n\r\n"},
        // Only the request lines of SUBSCRIBE and UNSUBSCRIBE are ours.
        {"GET /subscribe HTTP/1.1\r\nHOST: device\r\n\r\n",
         zel_upnp::network_layer::UnmatchedRequestResponse()},
        {"POST /ctl HTTP/1.1\r\nHOST: device\r\nSOAPACTION: \"urn:x#Subscribe\"\r\n"
         "CONTENT-LENGTH: 0\r\n\r\n",
         zel_upnp::network_layer::UnmatchedRequestResponse()},

    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.answer, Exchange(c.request)) << c.request;
        EXPECT_EQ(0u, Count()) << c.request;
    }
}

TEST_F(SubscribeHandlerTest, TimeoutsRenewalExpiryAndUnsubscribe) {
    const std::string cb = "NT: upnp:event\r\nCALLBACK: " + Callback("/a") + "\r\n";
    const struct {
        std::string timeout;
        std::string answered;
    } cases[] = {{"", "Second-1800"},
                 {"TIMEOUT: Second-infinite\r\n", "Second-infinite"},
                 {"TIMEOUT: Second-abc\r\n", "Second-infinite"},
                 {"TIMEOUT: Second-300\r\n", "Second-300"}};
    std::string sid300;
    for (const auto& c : cases) {
        const std::string answer = Exchange(Subscribe(cb + c.timeout));
        EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\nCONNECTION: close\r\nSID: uuid:")) << answer;
        EXPECT_NE(std::string::npos,
                  answer.find("\r\nSERVER:UPnP/1.1 Varnesk Omnilume Server/1.0\r\nTIMEOUT: " +
                              c.answered + "\r\nCONTENT-LENGTH: 0\r\n\r\n"))
            << answer;
        sid300 = HeaderOf(answer, "SID");
        EXPECT_EQ(41u, sid300.size());
        EXPECT_EQ('4', sid300[19]);  // version 4
    }
    ASSERT_EQ(4u, Count());

    // A renewal keeps the stored time-out whatever it asks for.
    const std::string renew = "SID: " + sid300 + "\r\nTIMEOUT: Second-60\r\n";
    EXPECT_EQ("Second-300", HeaderOf(Exchange(Subscribe(renew)), "TIMEOUT"));
    // The 300 s subscriber (1.5 s here) expires, then the 1800 s one; the
    // infinite ones never.
    EXPECT_TRUE(zel_test::WaitUntil([&] { return Count() == 3; }));
    EXPECT_TRUE(zel_test::WaitUntil([&] { return Count() == 2; }, std::chrono::seconds(30)));
    EXPECT_EQ("HTTP/1.1 412 Precondition Failed\r\nConnection: Close\r\n\r\n",
              Exchange(Subscribe(renew)));

    const std::string sid = HeaderOf(Exchange(Subscribe(cb + "TIMEOUT: Second-1000\r\n")), "SID");
    EXPECT_EQ("HTTP/1.1 200 OK \r\nCONTENT-LENGTH: 0\r\n\r\n",
              Exchange(Unsubscribe("SID: " + sid + "\r\n")));
    EXPECT_EQ(2u, Count());
    cdc::CleanServiceSubscribers();
    EXPECT_EQ(0u, Count());
    EXPECT_TRUE(cdc::UnRegisterServiceFromSubscribe(kEventUrl));
    EXPECT_FALSE(cdc::UnRegisterServiceFromSubscribe(kEventUrl));
}

TEST_F(SubscribeHandlerTest, InitialEventThenNumberedEventsPerCallback) {
    EXPECT_EQ(cdc::CDC_NO_SERVICE, cdc::SendMulticastEvent("", kBody, "/evt/none"));
    const std::string first =
        Exchange(Subscribe("NT: upnp:event\r\nCALLBACK: " + Callback("/a") + "<http://" +
                           Link().peer_ip + "/portless>" + Callback("/b") + "\r\n"));
    const std::string sid = HeaderOf(first, "SID");
    ASSERT_TRUE(
        zel_test::WaitUntil([&] { return Received("/a", "0") + Received("/b", "0") == 2; }));
    EXPECT_EQ(0u, Received("/portless", "0"));
    EXPECT_EQ(cdc::CDC_NO_SUBSCRIBER, cdc::SendSingleEvent(Link().peer_ip, sink_->Port(), "uuid:x",
                                                           kBody, "/a", kEventUrl));

    // A second subscriber whose initial event is still pending misses this one.
    const std::string late = HeaderOf(
        Exchange(Subscribe("NT: upnp:event\r\nCALLBACK: " + Callback("/c") + "\r\n")), "SID");
    ASSERT_EQ(0, cdc::SendMulticastEvent("", kBody, kEventUrl));
    ASSERT_TRUE(zel_test::WaitUntil([&] { return Received("/a", "1") + Received("/b", "2") == 2; }))
        << Seen();
    ASSERT_TRUE(zel_test::WaitUntil([&] { return Received("/c", "0") == 1; }));
    EXPECT_EQ(0u, Received("/c", "1"));
    ASSERT_EQ(0, cdc::SendSyncMulticastEvent("", kBody, kEventUrl));
    EXPECT_EQ(1u, Received("/a", "3"));
    EXPECT_EQ(1u, Received("/b", "4"));
    EXPECT_EQ(1u, Received("/c", "1"));

    for (const std::string& r : sink_->Requests()) {
        if (r.find("NOTIFY /a ") != 0 || HeaderOf(r, "SEQ") != "1")
            continue;
        const std::string host = Link().peer_ip + ":" + std::to_string(sink_->Port());
        const std::string date = HeaderOf(r, "DATE");
        EXPECT_EQ("NOTIFY /a HTTP/1.1\r\nSID: " + sid + "\r\nSEQ: 1\r\nDATE: " + date +
                      "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nCONNECTION: close\r\n"
                      "CACHE-CONTROL: no-cache\r\nNTS: upnp:propchange\r\nNT: upnp:event\r\n"
                      "HOST: " +
                      host +
                      "\r\nUSER-AGENT: Varnesk Server UPnP/1.0\r\n"
                      "CONTENT-LENGTH: " +
                      std::to_string(sizeof(kBody) - 1 + 40) +
                      "\r\n\r\n<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n" + kBody,
                  r);
    }
    EXPECT_NE(late, sid);
}

TEST_F(SubscribeHandlerTest, DeadCallbacksDelayNobodyAndHoldOneConnectionEach) {
    // One callback refuses connections, one leads nowhere (no such host on
    // the link: the connect hangs until ARP gives up), one is live.
    const std::string blackhole = "10.213.1.77";
    const int closed = zel_test::ClosedPort();
    std::vector<std::string> sids;
    for (const std::string& callback :
         {Callback("/refused", closed), "<http://" + blackhole + ":80/silent>",
          Callback("/live")}) {
        const std::string answer =
            Exchange(Subscribe("NT: upnp:event\r\nCALLBACK: " + callback + "\r\n"));
        ASSERT_EQ(0u, answer.find("HTTP/1.1 200 OK"));
        sids.push_back(HeaderOf(answer, "SID"));
    }
    ASSERT_TRUE(zel_test::WaitUntil([&] { return Received("/live", "0") == 1; }));
    const int kEvents = 400;
    for (int i = 0; i < kEvents; ++i)
        cdc::SendMulticastEvent("", Status(i), kEventUrl);
    EXPECT_GE(3u, cdc::SubscribeHandler::Instance()->NotifiesInFlight());
    EXPECT_TRUE(zel_test::WaitUntil([&] { return LastBody("/live") == Status(kEvents - 1); }));
    // The refused callback now counts as a send that cannot be handed over,
    // and a synchronous send to it does not wait for a NOTIFY deadline (30 s).
    EXPECT_EQ(cdc::CDC_PACKET_SENDING_FAILED, cdc::SendMulticastEvent("", kBody, kEventUrl));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        cdc::CDC_PACKET_SENDING_FAILED,
        cdc::SendSyncSingleEvent(Link().peer_ip, closed, sids[0], kBody, "/refused", kEventUrl));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(SubscribeHandlerTest, SlowCallbackGetsEventsInOrderAndTheLastStateMergedOrWithSeqGaps) {
    EXPECT_EQ(cdc::CDC_NO_SERVICE, cdc::SetEventMerging("/evt/none", false));
    for (bool mergeable : {true, false}) {
        SCOPED_TRACE(mergeable);
        ASSERT_EQ(0, cdc::SetEventMerging(kEventUrl, mergeable));
        std::unique_ptr<zel_test::ScriptedPeer> slow;
        zel_test::NetnsTopology::RunIn(Link().peer_ns, [&] {
            slow.reset(new zel_test::ScriptedPeer(
                [](zel_test::ScriptedPeer&, zel_test::ScriptedPeer::Socket& socket,
                   const std::string&) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // Wi-Fi
                    zel_test::ScriptedPeer::Send(socket, kSinkOk);
                },
                Link().peer_ip));
        });
        ASSERT_TRUE(slow && slow->Ok());
        ASSERT_EQ(0u, Exchange(Subscribe("NT: upnp:event\r\nCALLBACK: " +
                                         Callback("/s", slow->Port()) + "\r\n"))
                          .find("HTTP/1.1 200 OK"));
        ASSERT_TRUE(zel_test::WaitUntil([&] { return slow->Requests().size() == 1; }));
        const int kEvents = 300;
        for (int i = 0; i < kEvents; ++i)
            ASSERT_EQ(0, cdc::SendMulticastEvent("", Status(i), kEventUrl));
        ASSERT_TRUE(
            zel_test::WaitUntil([&] { return LastBody("/s", slow.get()) == Status(kEvents - 1); }));
        const std::vector<std::string> got = slow->Requests();
        ASSERT_LT(got.size(), static_cast<size_t>(kEvents) / 2);  // merged or dropped
        // Merged events share their numbers; a dropped one leaves its gap,
        // so the last event still carries the number of events sent.
        EXPECT_EQ(std::to_string(mergeable ? got.size() - 1 : kEvents),
                  HeaderOf(got.back(), "SEQ"));
        for (size_t i = 1; i < got.size(); ++i)
            EXPECT_LT(std::stoul(HeaderOf(got[i - 1], "SEQ")), std::stoul(HeaderOf(got[i], "SEQ")));
        cdc::CleanServiceSubscribers();
    }
}

TEST_F(SubscribeHandlerTest, SilentSubscribersHoldNoSlotPastTheGraceAndStillGetEveryChange) {
    // Four subscriptions whose callback reads every NOTIFY and never answers
    // hold every slot; a control point on the device itself subscribes next.
    cdc::EventTimings timings;
    timings.notifyGraceMs = 200;
    timings.maxNotifiesInFlight = 4;
    timings.maxNotifiesPerAddress = 4;
    Start(timings);
    std::unique_ptr<zel_test::ScriptedPeer> silent;
    zel_test::NetnsTopology::RunIn(Link().peer_ns, [&] {
        silent.reset(new zel_test::ScriptedPeer(zel_test::Silent(), Link().peer_ip));
    });
    std::unique_ptr<zel_test::ScriptedPeer> live;
    zel_test::NetnsTopology::RunIn(topo_->DeviceNs(), [&] {
        live.reset(new zel_test::ScriptedPeer(zel_test::Answer(kSinkOk), Link().device_ip));
    });
    ASSERT_TRUE(silent && silent->Ok() && live && live->Ok());
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(0u, Exchange(Subscribe("NT: upnp:event\r\nCALLBACK: " +
                                         Callback("/q", silent->Port()) + "\r\n"))
                          .find("HTTP/1.1 200 OK"));
    ASSERT_TRUE(silent->WaitForConnections(4));
    const std::string own =
        "<http://" + Link().device_ip + ":" + std::to_string(live->Port()) + "/live>";
    ASSERT_EQ(0u, zel_test::TcpExchange(topo_->DeviceNs(), Link().device_ip, kDeviceTcpPort,
                                        Subscribe("NT: upnp:event\r\nCALLBACK: " + own + "\r\n"))
                      .find("HTTP/1.1 200 OK"));
    // Well before the 30 s deadline of the silent NOTIFYs.
    ASSERT_TRUE(zel_test::WaitUntil([&] { return Received("/live", "0", live.get()) == 1; }));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(0, cdc::SendMulticastEvent("", Status(i), kEventUrl));
    EXPECT_TRUE(zel_test::WaitUntil([&] { return LastBody("/live", live.get()) == Status(2); }));
    // Every change reaches the silent ones too, one after another.
    EXPECT_TRUE(zel_test::WaitUntil([&] { return silent->Requests().size() == 4 + 4 * 3; }));
    EXPECT_GE(4u, cdc::SubscribeHandler::Instance()->NotifiesInFlight());
    // Ending the subscriptions closes what is still open.
    cdc::CleanServiceSubscribers();
    EXPECT_TRUE(silent->WaitForEnds(silent->Requests().size()));
    EXPECT_TRUE(zel_test::WaitUntil(
        [&] { return cdc::SubscribeHandler::Instance()->NotifiesInFlight() == 0; }));
}

TEST_F(SubscribeHandlerTest, RenewalRightAfterTheAnswerKeepsTheInitialEventAndLaterEvents) {
    const int kSubscribers = 16;
    for (int i = 0; i < kSubscribers; ++i) {
        const std::string sid = HeaderOf(
            Exchange(Subscribe("NT: upnp:event\r\nCALLBACK: " + Callback("/r") + "\r\n")), "SID");
        ASSERT_EQ("Second-1800", HeaderOf(Exchange(Subscribe("SID: " + sid + "\r\n")), "TIMEOUT"));
    }
    ASSERT_TRUE(zel_test::WaitUntil([&] { return Received("/r", "0") == kSubscribers; }));
    ASSERT_EQ(0, cdc::SendSyncMulticastEvent("", kBody, kEventUrl));
    EXPECT_EQ(static_cast<size_t>(kSubscribers), Received("/r", "1"));
}

TEST_F(SubscribeHandlerTest, CallbacksOnlyToThePeersOwnSubnetAndPrintablePaths) {
    const std::string port = ":" + std::to_string(sink_->Port());
    const struct {
        std::string callback;
        bool accepted;
        bool anyHost;     // accepted under CALLBACK_ANY_HOST
        bool fromDevice;  // the SUBSCRIBE comes from the device's own address
    } cases[] = {
        {"<http://" + Link().peer_ip + port + "/ok>", true, true, false},
        {"<http://10.99.0.5" + port + "/x>", false, true, false},
        {"<http://127.0.0.1" + port + "/x>", false, false, false},
        {"<http://" + Link().device_ip + port + "/x>", false, false, false},
        {"<http://239.255.255.250" + port + "/x>", false, false, false},
        {"<http://0.0.0.0" + port + "/x>", false, false, false},
        {"<http://0.1.2.3" + port + "/x>", false, false, false},
        {"<http://peer.local" + port + "/x>", false, false, false},
        // IPv6 callbacks are for SUBSCRIBEs that came over IPv6.
        {"<http://[fd5a:e1::2]" + port + "/x>", false, false, false},
        {"<http://[fd5a:e1::2" + port + "/x>", false, false, false},
        {"<http://" + Link().peer_ip + port + "/a b>", false, false, false},
        {"<http://" + Link().peer_ip + port + "/cb\nX-Injected: 1>", false, false, false},
        {"<http://" + Link().peer_ip + port + "/cb\rX-Injected: 1>", false, false, false},
        // A control point on the device itself may name its own address only.
        {"<http://" + Link().device_ip + port + "/own>", true, true, true},
        {"<http://127.0.0.1" + port + "/x>", false, false, true},
    };
    for (bool anyHost : {false, true}) {
        cdc::SetCallbackPolicy(anyHost ? cdc::CALLBACK_ANY_HOST : cdc::CALLBACK_SAME_SUBNET);
        for (const auto& c : cases) {
            const std::string request =
                Subscribe("NT: upnp:event\r\nCALLBACK: " + c.callback + "\r\n");
            const std::string answer =
                c.fromDevice ? zel_test::TcpExchange(topo_->DeviceNs(), Link().device_ip,
                                                     kDeviceTcpPort, request)
                             : Exchange(request);
            EXPECT_EQ(anyHost ? c.anyHost : c.accepted, answer.find("HTTP/1.1 200 OK") == 0)
                << c.callback << answer;
        }
        cdc::CleanServiceSubscribers();
    }
    cdc::SetCallbackPolicy(cdc::CALLBACK_SAME_SUBNET);
    for (const std::string& r : sink_->Requests())
        EXPECT_EQ(std::string::npos, r.find("X-Injected")) << r;
}

TEST_F(SubscribeHandlerTest, OneAddressGetsItsShareAndOthersStillSubscribe) {
    // A service without an initial-event handler: no NOTIFY to the sink.
    const std::string quiet = "/evt/quiet";
    ASSERT_TRUE(cdc::RegisterServiceForSubscribe("", quiet, "q", cdc::InitialEventHandler()));
    const std::string request = Subscribe(
        "NT: upnp:event\r\nTIMEOUT: Second-infinite\r\nCALLBACK: " + Callback("/m") + "\r\n",
        quiet);
    size_t refused = 0;
    for (int i = 0; i < 200; ++i)
        refused +=
            Exchange(request) == "HTTP/1.1 500 Internal Server Error\r\nCONTENT-LENGTH: 0\r\n\r\n";
    const size_t kept = cdc::SubscribeHandler::Instance()->SubscriberCount(quiet);
    EXPECT_EQ(cdc::kMaxSubscriptionsPerAddress, kept);
    EXPECT_EQ(200 - kept, refused);
    // The device's own address is a second source on the link.
    EXPECT_EQ(0u,
              zel_test::TcpExchange(topo_->DeviceNs(), Link().device_ip, kDeviceTcpPort, request)
                  .find("HTTP/1.1 200 OK"));
}

TEST_F(SubscribeHandlerTest, TerminateWhileAnInitialEventHandlerCallsTheActionApi) {
    ASSERT_EQ(0, cdc::InitializeCDControl());
    std::atomic<bool> entered(false);
    ASSERT_TRUE(cdc::RegisterServiceForSubscribe(
        "", "/evt/act", "a",
        [&](const std::string&, const int&, const std::string&, const std::string&,
            const std::string&) {
            entered = true;
            // Once tear-down has begun, call into the action API.
            zel_test::WaitUntil([] { return !cdc::SubscribeHandler::Instance(); });
            cdc::SendActionResponse(200, "", "", 12345);
        }));
    Exchange(Subscribe("NT: upnp:event\r\nCALLBACK: " + Callback("/i") + "\r\n", "/evt/act"));
    ASSERT_TRUE(zel_test::WaitUntil([&] { return entered.load(); }));
    std::atomic<bool> done(false);
    std::thread terminate([&] {
        cdc::TerminateCDControl();
        done = true;
    });
    const bool finished = zel_test::WaitUntil([&] { return done.load(); });
    finished ? terminate.join() : terminate.detach();
    EXPECT_TRUE(finished) << "TerminateCDControl deadlocked";
}

// Body of a one-variable property set.
std::string Set(const std::string& name, int value) {
    return "<e:propertyset><e:property><" + name + ">" + std::to_string(value) + "</" + name +
           "></e:property></e:propertyset>";
}

TEST(CompactQueue, MergesOnlyWithinRunsKeepsInitialEventsAndCountsGaps) {
    auto waiter = boost::make_shared<cdc::SyncWaiter>();
    const struct {
        const char* name;
        bool mergeable;
        std::vector<std::string> expected;  // first, second and last body left
        uint32_t gap;                       // SEQ numbers skipped by the second one
        size_t dropped;                     // synchronous senders told of a drop
    } cases[] = {
        // [A=1, sync A=2, B x15]: A=1 must not move past A=2.
        {"runs", true, {Set("A", 1), Set("A", 2), Set("B", 14)}, 0, 0},
        // Unmergeable, [initial, A=1, sync A=2, B x15]: the oldest two after
        // the initial event go, and the next one skips their numbers.
        {"deltas", false, {Set("I", 0), Set("B", 0), Set("B", 14)}, 2, 1},
    };
    for (const auto& c : cases) {
        std::deque<cdc::QueuedNotify> queue;
        auto push = [&](const std::string& body, bool initial, bool sync) {
            cdc::QueuedNotify m;
            m.toAll = !initial;
            m.initial = initial;
            m.mergeable = c.mergeable && !initial && !sync;
            m.body = body;
            if (sync)
                m.waiter = waiter;
            queue.push_back(m);
        };
        if (!c.mergeable)
            push(Set("I", 0), true, false);
        push(Set("A", 1), false, false);
        push(Set("A", 2), false, true);
        for (int i = 0; i < 15; ++i)
            push(Set("B", i), false, false);
        size_t bytes = 0;
        for (const auto& m : queue)
            bytes += m.body.size();
        cdc::Waiters dropped;
        uint32_t trailing = 0;
        cdc::CompactQueue(queue, bytes, 16, 1 << 20, dropped, trailing);
        ASSERT_LE(queue.size(), 16u) << c.name;
        EXPECT_EQ(c.expected[0], queue[0].body) << c.name;
        EXPECT_EQ(c.expected[1], queue[1].body) << c.name;
        EXPECT_EQ(c.gap, queue[1].gapBefore) << c.name;
        EXPECT_EQ(c.expected[2], queue.back().body) << c.name;
        EXPECT_EQ(c.dropped, dropped.size()) << c.name;
    }
}

TEST(PropertySetMerge, LatestValuePerVariableInOrderOfFirstAppearance) {
    const std::string a =
        "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">"
        "<e:property><Status>0</Status></e:property>"
        "<e:property><Level>3</Level></e:property></e:propertyset>";
    const std::string b =
        "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">"
        "<e:property><Status>1</Status></e:property></e:propertyset>";
    const std::string c =
        "<e:propertyset><e:property><Target/></e:property>"
        "<e:property><Status>0</Status></e:property></e:propertyset>";
    std::string merged = "untouched";
    ASSERT_TRUE(cdc::MergePropertySets({&a, &b, &c}, merged));
    EXPECT_EQ(
        "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">"
        "<e:property><Status>0</Status></e:property>"
        "<e:property><Level>3</Level></e:property>"
        "<e:property><Target/></e:property></e:propertyset>",
        merged);
    const std::string notASet = "<Status>1</Status>";
    const std::string unclosed = "<e:propertyset><e:property><Status>1</Status></e:property>";
    for (const std::string* bad : {&notASet, &unclosed}) {
        merged = "untouched";
        EXPECT_FALSE(cdc::MergePropertySets({&a, bad}, merged)) << *bad;
        EXPECT_EQ("untouched", merged);
    }
}

}  // namespace
