#include "cd_control/src/action_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <zel_upnp/cd_utils.h>
#include <zel_upnp/framework_core.h>
#include "support/device_library.h"
#include "support/peers.h"
#include "utils/src/httpparser/upnp_error.h"
#include "utils/src/timer/timer_service.h"

namespace {

namespace cc = zel_upnp::cd_control;
namespace acl = zel_upnp::cd_utils;

const char kUdn[] = "uuid:action-test";
const char kSoapAction[] = "\"urn:schemas-upnp-org:service:SwitchPower:1#SetTarget\"";
const char kEnvelope[] =
    "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<s:Body><u:SetTarget xmlns:u=\"urn:schemas-upnp-org:service:SwitchPower:1\">"
    "<newTargetValue>1</newTargetValue></u:SetTarget></s:Body></s:Envelope>";

std::string Fault(const std::string& status, int code, const std::string& text) {
    const std::string body = zel_upnp::utils::UPnPErrorEnvelope(code, text);
    return status +
           "\r\nEXT: \r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nSERVER:UPnP/1.1 Varnesk "
           "Omnilume Server/1.0\r\nCONTENT-LENGTH: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string kInvalidArgs = Fault("HTTP/1.1 400 Bad Request", 402, "Invalid Args");
const std::string kUnauthorized = Fault("HTTP/1.1 401 Unauthorized", 401, "Unauthorized");
const std::string kInvalidAction =
    Fault("HTTP/1.1 500 Internal Server Error", 401, "Invalid Action");
const std::string kActionFailed = Fault("HTTP/1.1 500 Internal Server Error", 501, "Action Failed");

std::string Post(const std::string& url, const std::string& body,
                 const std::string& soapAction = kSoapAction, const std::string& extra = "") {
    return "POST " + url + " HTTP/1.1\r\nHOST: d\r\n" +
           (soapAction.empty() ? "" : "SOAPACTION: " + soapAction + "\r\n") + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(ActionParsing, SoapActionForms) {
    struct Case {
        std::string value;
        bool ok;
        std::string service, action;
    } cases[] = {
        {"\"urn:schemas-upnp-org:service:AVTransport:1#Play\"", true,
         "urn:schemas-upnp-org:service:AVTransport:1", "Play"},
        {"urn:schemas-upnp-org:service:AVTransport:1#Play", true,
         "urn:schemas-upnp-org:service:AVTransport:1", "Play"},
        {"\"urn:a:service:X:1#\"", false, "", ""},
        {"\"urn:a:service:X:1\"", false, "", ""},  // no "#"
        {"#urn:service:", false, "", ""},
        {"\"urn:a:device:X:1#Play\"", false, "", ""},
        {"\"http://x/service:X#Play\"", false, "", ""},
    };
    for (const Case& c : cases) {
        std::string service, action;
        EXPECT_EQ(c.ok, cc::ExtractServiceTypeAndAction(c.value, service, action)) << c.value;
        if (c.ok) {
            EXPECT_EQ(c.service + "|" + c.action, service + "|" + action) << c.value;
        }
    }
}

TEST(ActionParsing, EnvelopeBodies) {
    struct Case {
        std::string body;
        bool ok;
        std::string arguments;  // name=value;...
    } cases[] = {
        {kEnvelope, true, "newTargetValue=1;"},
        {"<Envelope><Body><A><x>a&amp;b</x><p:y></p:y></A></Body></Envelope>", true, "x=a&b;p:y=;"},
        {"<s:Envelope xmlns:s=\"e\"><s:Header/><s:Body><A/></s:Body></s:Envelope>", true, ""},
        {"<s:Envelope xmlns:s=\"e\"><Body><A/></Body></s:Envelope>", false, ""},
        {"<Envelope><Body></Body></Envelope>", false, ""},
        {"<Envelope><Other><A/></Other></Envelope>", false, ""},
        {"<Envelope/>", false, ""},
        {"not xml", false, ""},
        {"<s:Envelope xmlns:s=\"e\"><s:Body><A><x>1</x", false, ""},
    };
    for (const Case& c : cases) {
        std::vector<boost::shared_ptr<cc::StrArgument> > arguments;
        EXPECT_EQ(c.ok, cc::ParseSOAPMessage(c.body, arguments)) << c.body;
        std::string seen;
        for (const auto& a : arguments)
            seen += a->name + "=" + a->value + ";";
        EXPECT_EQ(c.arguments, seen) << c.body;
    }
}

TEST(ActionParsing, ResponseWrapsTheBodyIn192Bytes) {
    const std::string response = cc::BuildActionResponse(200, "D", "UA", "0123456789");
    EXPECT_EQ(
        "HTTP/1.1 200 OK\r\nEXT: \r\nCONNECTION: close\r\nCONTENT-TYPE: text/xml; "
        "charset=\"utf-8\"\r\nSERVER:UPnP/1.0, Varnesk Omnilume Server/1.0\r\nDATE: D\r\n"
        "USER-AGENT: UA\r\nContent-Length: 202\r\n\r\n<?xml version=\"1.0\" "
        "encoding=\"utf-8\"?><s:Envelope s:encodingStyle=\"http://schemas.xmlsoap.org/soap/"
        "encoding/\" xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>0123456789"
        "</s:Body></s:Envelope>",
        response);
    EXPECT_EQ(0u, cc::BuildActionResponse(599, "D", "UA", "").find("HTTP/1.1 599 \r\n"));
    EXPECT_STREQ("Request-URI too long", cc::GetReasonPhrase(122));
    EXPECT_STREQ("HTTP Version not supported", cc::GetReasonPhrase(505));
    EXPECT_EQ(417u, zel_upnp::utils::UPnPErrorEnvelope(402, "Invalid Args").size());
}

// Every call of the application handler, and what it answers.
struct Recorder {
    struct Call {
        std::string url, action, service, arguments, mrcp, local;
        int id;
    };
    std::mutex mutex;
    std::vector<Call> calls;
    std::atomic<bool> answer{true};
    cc::ActionRequestHandler For(const std::string& url) {
        return [this, url](const std::string& action, const std::string& service,
                           const std::vector<boost::shared_ptr<cc::StrArgument> >& args,
                           boost::shared_ptr<cc::stCpDeviceDetails> cp, const std::string& local,
                           const int& id) {
            std::string joined;
            for (const auto& a : args)
                joined += a->name + "=" + a->value + ";";
            {
                std::lock_guard<std::mutex> lock(mutex);
                calls.push_back({url, action, service, joined, cp->mrcp_id, local, id});
            }
            if (answer)
                cc::SendActionResponse(200, "", "<r>" + url + "</r>", id);
        };
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }
};

bool Allow(const boost::shared_ptr<acl::stEventNotification>&) {
    return true;
}

class ActionHandlerNetns : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(1); }
    static void TearDownTestSuite() { topo_.reset(); }
    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        library_.reset(new zel_test::DeviceLibrary(*topo_, zel_upnp::framework_core::CD));
        ASSERT_TRUE(library_->Ok());
        ASSERT_EQ(0, acl::RegisterAclListener(kUdn, Allow, acl::ACL_MODE_ALLOW_ALL));
        for (const char* url : {"/ctl/ab", "/ctl/a"})
            ASSERT_TRUE(cc::AddActionRequestHandler(kUdn, url, "sid", recorder_.For(url)));
    }
    void TearDown() override {
        library_.reset();
        acl::UnRegisterAclListener(kUdn);
        cc::ActionHandler::SetActionTimeoutMs(cc::ActionHandler::kActionTimeoutMs);
    }
    std::string Exchange(const std::string& request) {
        return zel_test::TcpExchange(topo_->Link(0).peer_ns, topo_->Link(0).device_ip,
                                     zel_test::kDeviceTcpPort, request);
    }
    static std::unique_ptr<zel_test::NetnsTopology> topo_;
    std::unique_ptr<zel_test::DeviceLibrary> library_;
    Recorder recorder_;
};

std::unique_ptr<zel_test::NetnsTopology> ActionHandlerNetns::topo_;

TEST_F(ActionHandlerNetns, BadRequestsGetTheirFaultAndNoHandlerCall) {
    const std::pair<std::string, std::string> cases[] = {
        {Post("/ctl/a", kEnvelope, ""), kInvalidArgs},
        {Post("/ctl/a", kEnvelope, "\"urn:x:service:S:1\""), kInvalidArgs},
        {Post("/ctl/a", ""), kInvalidArgs},
        {Post("/ctl/a", "plain text"), kInvalidArgs},
        {Post("/ctl/a", "<s:Envelope xmlns:s=\"e\"></s:Envelope>"), kInvalidArgs},
        {Post("/ctl/a", "<s:Envelope xmlns:s=\"e\"><s:Body><u:A><x>1</x"), kInvalidArgs},
        {Post("/other", kEnvelope), std::string("HTTP/1.0 400 Bad Request")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(0u, Exchange(c.first).find(c.second)) << c.first.substr(0, 120);
    EXPECT_EQ(0u, recorder_.Count());
    ASSERT_TRUE(cc::RemoveActionRequestHandler("/ctl/a"));
    EXPECT_FALSE(cc::RemoveActionRequestHandler("/ctl/a"));
    // The dispatcher matches control URLs ignoring case, the handler map does not.
    EXPECT_EQ(kInvalidAction, Exchange(Post("/CTL/AB", kEnvelope)));
    acl::SetAclMode(kUdn, acl::ACL_MODE_DENY_ALL);
    EXPECT_EQ(kUnauthorized, Exchange(Post("/ctl/ab", kEnvelope)));
    EXPECT_EQ(0u, recorder_.Count());
}

// A request goes to the entry whose control URL is exactly its path: a
// prefix, the query or a header naming another URL changes nothing.
TEST_F(ActionHandlerNetns, EachControlUrlGetsOnlyItsOwnPath) {
    const std::pair<std::string, std::string> cases[] = {
        {Post("/ctl/ab", kEnvelope), "/ctl/ab"},
        {Post("/ctl/a?/ctl/ab", kEnvelope), "/ctl/a"},
        {Post("/ctl/a", kEnvelope, kSoapAction, "X: /ctl/ab\r\n"), "/ctl/a"},
    };
    for (const auto& c : cases) {
        const std::string answer = Exchange(c.first);
        EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << c.first.substr(0, 60);
        EXPECT_NE(std::string::npos, answer.find("<r>" + c.second + "</r>")) << answer;
    }
    EXPECT_EQ(0u, Exchange(Post("/ctl/abc", kEnvelope)).find("HTTP/1.0 400 Bad Request"));
    EXPECT_EQ(3u, recorder_.Count());
}

TEST_F(ActionHandlerNetns, TimeOutFaultsThenTheLateAnswerIsRefused) {
    recorder_.answer = false;
    cc::ActionHandler::SetActionTimeoutMs(100);
    EXPECT_EQ(kActionFailed, Exchange(Post("/ctl/a", kEnvelope)));
    ASSERT_EQ(1u, recorder_.Count());
    EXPECT_EQ(zel_upnp::network_layer::NL_INVALID_LISTENER, cc::SendActionResponse(200, "", "", 0));
}

// A call that waited behind a slow handler until its action timed out is dropped.
TEST_F(ActionHandlerNetns, HandlerCallOfATimedOutActionIsDropped) {
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<bool> entered{false};
    ASSERT_TRUE(
        cc::AddActionRequestHandler(kUdn, "/ctl/slow", "sid", [&, released](const auto&...) {
            entered = true;
            released.wait_for(zel_test::kTestWait);
        }));
    cc::ActionHandler::SetActionTimeoutMs(100);
    auto slow =
        std::async(std::launch::async, [&] { return Exchange(Post("/ctl/slow", kEnvelope)); });
    ASSERT_TRUE(zel_test::WaitUntil([&] { return entered.load(); }));
    EXPECT_EQ(kActionFailed, Exchange(Post("/ctl/a", kEnvelope)));
    EXPECT_EQ(kActionFailed, slow.get());
    release.set_value();
    cc::ActionHandler::SetActionTimeoutMs(cc::ActionHandler::kActionTimeoutMs);
    EXPECT_EQ(0u, Exchange(Post("/ctl/a", kEnvelope)).find("HTTP/1.1 200 OK\r\n"));
    ASSERT_EQ(1u, recorder_.Count());
    EXPECT_EQ(2, recorder_.calls[0].id);
}

// A timer callback holds the timer's lock (an alive burst, for 205 ms): an
// action read meanwhile waits neither on the io thread nor on the action
// thread, and still gets its time-out, armed once the lock is free.
TEST_F(ActionHandlerNetns, AnActionReadWhileATimerCallbackRunsStillTimesOut) {
    // Static: a failed assertion leaves the callback running past this
    // scope, until the destroyed promise ends its wait.
    static struct Hold {
        std::atomic<bool> inside{false};
        std::shared_future<void> released;
    } hold;
    hold.inside = false;
    std::promise<void> release;
    hold.released = release.get_future().share();
    const auto holding = [](int, void* data) {
        auto* held = static_cast<Hold*>(data);
        held->inside = true;
        held->released.wait_for(2 * zel_test::kTestWait);
    };
    ASSERT_NE(0, zel_upnp::utils::Timer::Start(0, holding, &hold));
    ASSERT_TRUE(zel_test::WaitUntil([&] { return hold.inside.load(); }));
    int id = 0;
    EXPECT_FALSE(zel_upnp::utils::TryStartTimer(1, holding, &hold, id));
    recorder_.answer = false;
    cc::ActionHandler::SetActionTimeoutMs(100);
    auto faulted =
        std::async(std::launch::async, [&] { return Exchange(Post("/ctl/a", kEnvelope)); });
    ASSERT_TRUE(
        zel_test::WaitUntil([] { return cc::ExistingActionHandler()->PendingActions() == 1; }));
    // The handler is not held up by the busy timer either.
    EXPECT_TRUE(zel_test::WaitUntil([&] { return recorder_.Count() == 1; }));
    release.set_value();
    EXPECT_EQ(kActionFailed, faulted.get());
    EXPECT_EQ(1u, recorder_.Count());
}

}  // namespace
