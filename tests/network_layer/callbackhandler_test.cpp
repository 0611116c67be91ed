#include "network_layer/src/callbackhandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "network_layer/src/incoming_tcp_session.h"
#include "support/peers.h"
#include "utils/src/httpparser/httpparser.h"

namespace {

using zel_upnp::network_layer::CallBackHandler;
using zel_upnp::network_layer::IncomingTCPSession;
using zel_upnp::network_layer::ResponseListener;
using zel_upnp::network_layer::SessionContext;
using zel_upnp::network_layer::TCPRequestListener;
using zel_upnp::network_layer::UDPRequestListener;
using zel_upnp::utils::HTTPInfo;
using HTTPInfoPtr = boost::shared_ptr<HTTPInfo>;

HTTPInfoPtr MakeMessage(const std::string& raw) {
    HTTPInfoPtr info = boost::make_shared<HTTPInfo>();
    EXPECT_EQ(zel_upnp::utils::Parse(raw.data(), static_cast<unsigned>(raw.size()), info), 0);
    info->SetParsingStatus(zel_upnp::utils::PARSING_CONTINUE);
    return info;
}

HTTPInfoPtr Get(const std::string& path) {
    return MakeMessage("GET " + path + " HTTP/1.1\r\nHOST: 10.0.0.1:8080\r\n\r\n");
}

// Deliveries of any of the three kinds, with what came.
struct Entry {
    HTTPInfoPtr message;
    void* session;
    int session_id;
};
class Recorder : public TCPRequestListener,
                 public UDPRequestListener,
                 public ResponseListener,
                 public zel_test::Recording<Entry> {
  public:
    int OnTCPRequestReceived(HTTPInfoPtr m, void* session) override { return Rec(m, session, 0); }
    int OnUDPRequestReceived(HTTPInfoPtr m) override { return Rec(m, nullptr, 0); }
    int OnResponseReceived(HTTPInfoPtr m, const int& id) override { return Rec(m, nullptr, id); }

  private:
    virtual void Before() {}
    int Rec(HTTPInfoPtr message, void* session, int id) {
        Before();
        Add({message, session, id});
        return 0;
    }
};

// Every test starts from a freshly created dispatch core.
class CallBackHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CallBackHandler::DestroyInstance();
        dispatch_ = CallBackHandler::CreateInstance();
        ASSERT_NE(dispatch_, nullptr);
    }
    void TearDown() override { CallBackHandler::DestroyInstance(); }

    int RegisterTcp(const std::vector<std::string>& patterns,
                    const boost::shared_ptr<TCPRequestListener>& listener) {
        int id = 0;
        EXPECT_EQ(dispatch_->RegisterTCPPattern(patterns, listener, id), 0);
        return id;
    }
    int RegisterUdp(const std::vector<std::string>& patterns,
                    const boost::shared_ptr<UDPRequestListener>& listener) {
        int id = 0;
        EXPECT_EQ(dispatch_->RegisterUDPPattern(patterns, listener, id), 0);
        return id;
    }

    CallBackHandler* dispatch_ = nullptr;
    // A context without a session: the dispatch core reads the session out
    // of it, so a stand-in must have the real layout.
    SessionContext context_{boost::shared_ptr<IncomingTCPSession>()};
    void* session_ = &context_;
};

TEST_F(CallBackHandlerTest, IdsStartAt202AndStepByTwoAcrossKindsAndRemoveOnce) {
    auto tcp = boost::make_shared<Recorder>();
    auto udp = boost::make_shared<Recorder>();
    EXPECT_EQ(RegisterTcp({"GET "}, tcp), 202);
    EXPECT_EQ(RegisterUdp({"M-SEARCH"}, udp), 204);
    EXPECT_EQ(RegisterTcp({"POST"}, tcp), 206);

    int ids[3] = {0, 0, 0};
    EXPECT_EQ(dispatch_->RegisterTCPPattern({}, tcp, ids[0]) +
                  dispatch_->RegisterUDPPattern({}, udp, ids[1]) +
                  dispatch_->RegisterTCPPattern({"GET "}, nullptr, ids[2]),
              3);
    EXPECT_EQ(ids[0] + ids[1] + ids[2], -3);
    // Refused registrations take no id.
    EXPECT_EQ(RegisterUdp({"NOTIFY"}, udp), 208);
    for (int removed : {202, 204}) {
        EXPECT_EQ(dispatch_->UnRegisterPattern(removed), 0);
        EXPECT_EQ(dispatch_->UnRegisterPattern(removed), 1);
    }
    EXPECT_EQ(dispatch_->UnRegisterPattern(999), 1);
}

TEST_F(CallBackHandlerTest, EarlierRegistrationWinsAlsoAfterRemovalBetween) {
    auto first = boost::make_shared<Recorder>();
    auto middle = boost::make_shared<Recorder>();
    auto last = boost::make_shared<Recorder>();
    const int first_id = RegisterTcp({"GET ,/x"}, first);
    const int middle_id = RegisterTcp({"SUBSCRIBE"}, middle);
    RegisterTcp({"/x"}, last);
    ASSERT_EQ(dispatch_->UnRegisterPattern(middle_id), 0);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);

    dispatch_->InvokeTCPRequestHandler(Get("/x"), session_);
    ASSERT_TRUE(first->WaitFor(1));
    // The later match was never tried: the first request has been handled
    // completely before the second is queued.
    dispatch_->InvokeTCPRequestHandler(Get("/x"), session_);
    ASSERT_TRUE(first->WaitFor(2));
    EXPECT_EQ(last->Count(), 0u);
    EXPECT_EQ(first->All()[0].session, session_);

    ASSERT_EQ(dispatch_->UnRegisterPattern(first_id), 0);
    dispatch_->InvokeTCPRequestHandler(Get("/x"), session_);
    ASSERT_TRUE(last->WaitFor(1));
    EXPECT_EQ(first->Count(), 2u);
}

// Spaces are part of a token; an empty pattern matches every head.
TEST_F(CallBackHandlerTest, TokensMatchInAnyCaseAndOrder) {
    const std::string upper = "GET /X HTTP/1.1\r\nHOST: 10.0.0.1:8080\r\n\r\n";
    const std::pair<const char*, bool> cases[] = {
        {"GET ,/x", true},  {"/X,get ", true},  {"host,/x,Get ", true},
        {"GET ,/y", false}, {"POST,/x", false}, {" GET", false},
        {"", true},         {",,,", true}};
    for (const auto& c : cases)
        EXPECT_EQ(CallBackHandler::HeadMatches(upper, CallBackHandler::PatternTokens(c.first)),
                  c.second)
            << c.first;
    EXPECT_EQ(CallBackHandler::PatternTokens(",a,,B ,"), (std::vector<std::string>{"A", "B "}));
}

TEST_F(CallBackHandlerTest, UdpDatagramGoesToMatchOrNowhere) {
    auto search = boost::make_shared<Recorder>();
    RegisterUdp({"M-SEARCH,*,HTTP/1.1,HOST,MX,ST,MAN"}, search);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
    dispatch_->InvokeUDPRequestHandler(
        MakeMessage("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNTS: ssdp:alive\r\n\r\n"));
    dispatch_->InvokeUDPRequestHandler(
        MakeMessage("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "
                    "\"ssdp:discover\"\r\nMX: 2\r\nST: ssdp:all\r\n\r\n"));
    ASSERT_TRUE(search->WaitFor(1));
    EXPECT_EQ(search->All()[0].message->GetRequestType(), zel_upnp::utils::HTTP_MSEARCH);
    // The NOTIFY was queued first and dropped; nothing else arrives.
    dispatch_->StopCallbackThreads();
    EXPECT_EQ(search->Count(), 1u);
}

TEST_F(CallBackHandlerTest, ResponseListenerNeedsAPositiveSessionAndIsDroppedAfterUnregistration) {
    auto response = boost::make_shared<Recorder>();
    auto other = boost::make_shared<Recorder>();
    EXPECT_EQ(dispatch_->RegisterResponseListener(0, response), 1);
    EXPECT_EQ(dispatch_->RegisterResponseListener(-3, response), 1);
    ASSERT_EQ(dispatch_->RegisterResponseListener(11, response), 0);
    ASSERT_EQ(dispatch_->RegisterResponseListener(12, other), 0);
    dispatch_->UnRegisterResponseListener(11);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
    EXPECT_EQ(
        dispatch_->InvokeResponseHandler(11, MakeMessage("HTTP/1.1 200 OK\r\nUSN: a\r\n\r\n")), 0);
    EXPECT_EQ(
        dispatch_->InvokeResponseHandler(99, MakeMessage("HTTP/1.1 200 OK\r\nUSN: b\r\n\r\n")), 0);
    // Delivered in order of posting on the response workers: once the later
    // one for session 12 is in, the earlier ones have been handled.
    dispatch_->InvokeResponseHandler(12, MakeMessage("HTTP/1.1 200 OK\r\nUSN: c\r\n\r\n"));
    ASSERT_TRUE(other->WaitFor(1));
    dispatch_->StopCallbackThreads();
    EXPECT_EQ(response->Count(), 0u);
}

TEST_F(CallBackHandlerTest, TwoResponsesBeforeDeliveryGiveOnlyTheLater) {
    auto response = boost::make_shared<Recorder>();
    ASSERT_EQ(dispatch_->RegisterResponseListener(5, response), 0);
    HTTPInfoPtr earlier = MakeMessage("HTTP/1.1 500 Internal Server Error\r\nUSN: a\r\n\r\n");
    HTTPInfoPtr later = MakeMessage("HTTP/1.1 200 OK\r\nUSN: a\r\n\r\n");
    dispatch_->InvokeResponseHandler(5, earlier);
    dispatch_->InvokeResponseHandler(5, later);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
    ASSERT_TRUE(response->WaitFor(1));
    // A third response finds no registration any more.
    dispatch_->InvokeResponseHandler(5, earlier);
    dispatch_->StopCallbackThreads();
    ASSERT_EQ(response->Count(), 1u);
    EXPECT_EQ(response->All()[0].message, later);
}

// A listener that changes the registrations from inside its own callback:
// this deadlocks unless every dispatch lock is released before the call.
class ReRegisteringListener : public Recorder {
  public:
    explicit ReRegisteringListener(CallBackHandler* dispatch) : dispatch_(dispatch) {}
    boost::shared_ptr<ReRegisteringListener> self;

  private:
    void Before() override {
        int id = 0;
        if (dispatch_->RegisterTCPPattern({"NEVER-MATCHES"}, self, id) == 0)
            dispatch_->UnRegisterPattern(id);
        if (dispatch_->RegisterUDPPattern({"NEVER-MATCHES"}, self, id) == 0)
            dispatch_->UnRegisterPattern(id);
        dispatch_->RegisterResponseListener(1000, self);
        dispatch_->UnRegisterResponseListener(1000);
        // Queue work for the other workers while still inside the callback.
        dispatch_->InvokeUDPRequestHandler(HTTPInfoPtr());
    }
    CallBackHandler* dispatch_;
};

TEST_F(CallBackHandlerTest, ListenerMayChangeRegistrationsFromItsCallback) {
    auto listener = boost::make_shared<ReRegisteringListener>(dispatch_);
    listener->self = listener;
    RegisterTcp({"GET "}, listener);
    RegisterUdp({"M-SEARCH"}, listener);
    ASSERT_EQ(dispatch_->RegisterResponseListener(3, listener), 0);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
    dispatch_->InvokeTCPRequestHandler(Get("/"), session_);
    dispatch_->InvokeUDPRequestHandler(MakeMessage("M-SEARCH * HTTP/1.1\r\nMX: 1\r\n\r\n"));
    dispatch_->InvokeResponseHandler(3, MakeMessage("HTTP/1.1 200 OK\r\nUSN: x\r\n\r\n"));
    EXPECT_TRUE(listener->WaitFor(3));
    dispatch_->StopCallbackThreads();
    listener->self.reset();
}

TEST_F(CallBackHandlerTest, ConcurrentProducersLoseNothing) {
    auto even = boost::make_shared<Recorder>();
    auto odd = boost::make_shared<Recorder>();
    auto udp = boost::make_shared<Recorder>();
    RegisterTcp({"GET ,/even"}, even);
    RegisterTcp({"GET ,/odd"}, odd);
    RegisterUdp({"M-SEARCH"}, udp);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 200;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                dispatch_->InvokeTCPRequestHandler(Get((i + p) % 2 ? "/odd" : "/even"), session_);
                dispatch_->InvokeUDPRequestHandler(
                    MakeMessage("M-SEARCH * HTTP/1.1\r\nMX: 1\r\n\r\n"));
            }
        });
    }
    for (std::thread& t : producers)
        t.join();
    const size_t total = kProducers * kPerProducer;
    EXPECT_TRUE(even->WaitFor(total / 2));
    EXPECT_TRUE(odd->WaitFor(total / 2));
    EXPECT_TRUE(udp->WaitFor(total));
    dispatch_->StopCallbackThreads();
    EXPECT_EQ(even->Count() + odd->Count(), total);
    for (const Entry& entry : even->All()) {
        std::string uri;
        entry.message->GetURI(uri);
        EXPECT_EQ(uri, "/even");
    }
}

}  // namespace
