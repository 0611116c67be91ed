#include "network_layer/src/callbackhandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
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

TEST_F(CallBackHandlerTest, ConcurrentProducersLoseNothingAccepted) {
    auto even = boost::make_shared<Recorder>();
    auto odd = boost::make_shared<Recorder>();
    auto udp = boost::make_shared<Recorder>();
    RegisterTcp({"GET ,/even"}, even);
    RegisterTcp({"GET ,/odd"}, odd);
    RegisterUdp({"M-SEARCH"}, udp);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 200;
    std::atomic<size_t> accepted{0};
    std::atomic<size_t> accepted_udp{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                if (dispatch_->InvokeTCPRequestHandler(Get((i + p) % 2 ? "/odd" : "/even"),
                                                       session_) == 0)
                    ++accepted;
                if (dispatch_->InvokeUDPRequestHandler(
                        MakeMessage("M-SEARCH * HTTP/1.1\r\nMX: 1\r\n\r\n")) == 0)
                    ++accepted_udp;
            }
        });
    }
    for (std::thread& t : producers)
        t.join();
    const size_t total = kProducers * kPerProducer;
    EXPECT_EQ(accepted + dispatch_->TcpRefusals(), total);
    EXPECT_TRUE(zel_test::WaitUntil([&] { return even->Count() + odd->Count() == accepted; }));
    EXPECT_TRUE(udp->WaitFor(accepted_udp));
    dispatch_->StopCallbackThreads();
    EXPECT_EQ(even->Count() + odd->Count(), accepted.load());
    for (const Entry& entry : even->All()) {
        std::string uri;
        entry.message->GetURI(uri);
        EXPECT_EQ(uri, "/even");
    }
}

// Listeners that never return hold both workers: requests behind them wait
// up to the bound, the rest are refused and counted, and the waiting ones
// are all delivered once the workers are free.
class BlockingRecorder : public Recorder {
  public:
    std::atomic<size_t> entered{0};
    std::promise<void> release;
    std::shared_future<void> released{release.get_future().share()};

  private:
    void Before() override {
        ++entered;
        released.wait();
    }
};

TEST_F(CallBackHandlerTest, QueueIsBoundedWhileWorkersAreBlocked) {
    auto blocked = boost::make_shared<BlockingRecorder>();
    RegisterTcp({"GET "}, blocked);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
    const size_t workers = CallBackHandler::kTcpRequestThreads;
    const size_t extra = 5;
    for (size_t i = 0; i < workers; ++i)
        ASSERT_EQ(dispatch_->InvokeTCPRequestHandler(Get("/"), session_), 0);
    ASSERT_TRUE(zel_test::WaitUntil([&] { return blocked->entered == workers; }));
    size_t refused = 0;
    for (size_t i = 0; i < CallBackHandler::kMaxTcpQueueLength + extra; ++i)
        refused += dispatch_->InvokeTCPRequestHandler(Get("/"), session_) != 0;
    EXPECT_EQ(refused, extra);
    EXPECT_EQ(dispatch_->TcpRefusals(), extra);
    blocked->release.set_value();
    const size_t accepted = workers + CallBackHandler::kMaxTcpQueueLength;
    EXPECT_TRUE(blocked->WaitFor(accepted));
    dispatch_->StopCallbackThreads();
    EXPECT_EQ(blocked->Count(), accepted);
}

// The library's own listeners are found by method and exact path; header
// and query text cannot steer a request to them, and one routed to the io
// thread is called before the hand-off returns.
TEST_F(CallBackHandlerTest, RoutesMatchMethodAndPathOnly) {
    using zel_upnp::network_layer::RouteThread;
    using zel_upnp::network_layer::TcpRoute;
    auto description = boost::make_shared<Recorder>();
    auto eventing = boost::make_shared<Recorder>();
    auto control = boost::make_shared<Recorder>();
    auto application = boost::make_shared<Recorder>();
    int id = 0;
    ASSERT_EQ(dispatch_->RegisterTCPRoutes({{zel_upnp::utils::HTTP_GET, "/d.xml"}}, description,
                                           RouteThread::kIoThread, id),
              0);
    ASSERT_EQ(dispatch_->RegisterTCPRoutes({{zel_upnp::utils::HTTP_SUBSCRIBE, ""}}, eventing,
                                           RouteThread::kWorker, id),
              0);
    ASSERT_EQ(dispatch_->RegisterTCPRoutes({{zel_upnp::utils::HTTP_POST, "/ctl/AVT"}}, control,
                                           RouteThread::kWorker, id),
              0);
    RegisterTcp({"GET "}, application);
    ASSERT_EQ(dispatch_->StartCallbackThreads(), 0);
    const std::pair<std::string, Recorder*> cases[] = {
        {"GET /d.xml HTTP/1.1\r\nX: SUBSCRIBE /\r\n\r\n", description.get()},
        {"GET /d.xml?/ctl/AVT HTTP/1.1\r\n\r\n", description.get()},
        {"GET http://10.0.0.1:80/d.xml#x HTTP/1.1\r\n\r\n", description.get()},
        {"GET /x/d.xml HTTP/1.1\r\nX: /d.xml\r\n\r\n", application.get()},
        {"SUBSCRIBE /any/path HTTP/1.1\r\n\r\n", eventing.get()},
        {"POST /ctl/avt HTTP/1.1\r\nContent-Length: 0\r\n\r\n", control.get()},
        {"POST /ctl/AVT2 HTTP/1.1\r\nX: /ctl/AVT\r\nContent-Length: 0\r\n\r\n", nullptr},
    };
    size_t delivered = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const size_t before = c.second ? c.second->Count() : 0;
        // Unrouted: the 400 answer consumes (deletes) the context.
        void* context = c.second ? session_ : new SessionContext(nullptr);
        ASSERT_EQ(dispatch_->InvokeTCPRequestHandler(MakeMessage(c.first), context), 0);
        if (c.second == description.get()) {  // synchronously, on this thread
            EXPECT_EQ(description->Count(), before + 1);
        }
        if (c.second) {
            EXPECT_TRUE(c.second->WaitFor(before + 1));
            ++delivered;
        }
    }
    dispatch_->StopCallbackThreads();
    EXPECT_EQ(description->Count() + eventing->Count() + control->Count() + application->Count(),
              delivered);
    EXPECT_EQ(zel_upnp::network_layer::RequestPath("http://h:1"), "/");
    EXPECT_EQ(zel_upnp::network_layer::RequestPath("a/b?c"), "/a/b");
}

}  // namespace
