#include "cd_discovery/src/send_description.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>

#include <boost/filesystem/operations.hpp>

#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/cd_utils.h>
#include <zel_upnp/framework_core.h>
#include "support/device_library.h"
#include "support/peers.h"

// Requests come from the peer namespace over real TCP connections; the one
// from the device's own address is made inside the device namespace.
namespace {

namespace cd = zel_upnp::cd_discovery;
namespace acl = zel_upnp::cd_utils;

bool Allow(const boost::shared_ptr<acl::stEventNotification>&) {
    return true;
}

const char kBadRequest[] = "HTTP/1.1 400 Bad Request\r\nConnection: Close\r\n\r\n";

std::string Get(const std::string& target, const std::string& headers = std::string()) {
    return "GET " + target + " HTTP/1.1\r\nHOST: device\r\n" + headers + "\r\n";
}

class SendDescriptionTest : public zel_test::NetnsSuite<1> {
  protected:
    void SetUp() override {
        NetnsSuite::SetUp();
        if (Unready())
            return;
        library_.reset(new zel_test::DeviceLibrary(*topo_, zel_upnp::framework_core::CD));
        ASSERT_TRUE(library_->Ok());
        ASSERT_EQ(0, cd::RegisterDevice(folder_.Path(), "d.xml", device_));
        ASSERT_EQ(0, acl::RegisterAclListener(device_.udn, Allow, acl::ACL_MODE_ALLOW_ALL));
        ip_ = Link(0).device_ip;
    }
    void TearDown() override {
        acl::UnRegisterAclListener(device_.udn);
        library_.reset();
    }

    std::string Exchange(const std::string& request, const std::string& ns = std::string()) {
        return zel_test::TcpExchange(ns.empty() ? Link(0).peer_ns : ns, ip_, 49152, request);
    }

    zel_test::DescriptionFolder folder_;
    std::unique_ptr<zel_test::DeviceLibrary> library_;
    cd::RegisteredDeviceInfo device_;
    std::string ip_;
};

TEST_F(SendDescriptionTest, DescriptionIsServedRewrittenForTheRequestsAddressAndPort) {
    EXPECT_EQ(kBadRequest, Exchange(Get("/d.xml")));  // not started yet
    ASSERT_EQ(0, cd::StartDevice(device_.udn));
    ASSERT_EQ(0, cd::SetPortNumber(device_.handle, 8080));
    ASSERT_EQ(0, cd::SetApplicationUrl(device_.handle, "http", 0, "apps/"));
    const std::string answer = Exchange(Get("/d.xml"));
    const std::string base = "http://" + ip_ + ":8080";
    for (const std::string& part :
         {"<SCPDURL>" + base + "/ContentDirectory/scpd.xml</SCPDURL>",
          "<controlURL>" + base + "/ctl/cds</controlURL>",
          "<eventSubURL>" + base + "/evt/cds</eventSubURL>",
          "<SCPDURL>" + base + "/dial/scpd.xml</SCPDURL>",
          "<eventSubURL>" + base + "/</eventSubURL>", "<SCPDURL>" + base + "/sp/scpd.xml</SCPDURL>",
          "\r\nApplication-URL: http://" + ip_ + ":80/apps/\r\n\r\n",
          std::string("HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                      "Content-Length: "),
          std::string("\r\nConnection: close\r\nUser-Agent: DLNADOC/1.50 QTN_HHP_Test Root/1.0 "
                      "UPnP/1.0\r\nServer: NRV, UPnP/1.0, Varnesk UPnP SDK/1.0\r\n")})
        EXPECT_NE(std::string::npos, answer.find(part)) << part << "\n" << answer;
    const size_t body = answer.find("\r\n\r\n") + 4;
    EXPECT_NE(std::string::npos,
              answer.find("Content-Length: " + std::to_string(answer.size() - body) + "\r\n"));

    // Port 0 serves the file as it is.
    ASSERT_EQ(0, cd::SetPortNumber(device_.handle, 0));
    const std::string plain = Exchange(Get("/d.xml", "ACCEPT-LANGUAGE: de\r\n"));
    EXPECT_EQ(0u, plain.find("HTTP/1.1 200 OK\r\nContent-Language: de\r\nContent-Type: "));
    EXPECT_EQ(folder_.Read(), plain.substr(plain.find("\r\n\r\n") + 4));
}

struct RequestCase {
    const char* name;
    std::string request;
    std::string expected;  // the whole answer, or its end for a 200
};

// Found by method and exact path only: neither the query nor text elsewhere
// in the head (a header naming the eventing method, or an icon's path)
// chooses what is served.
TEST_F(SendDescriptionTest, ServiceDescriptionsIconsAndHostileRequests) {
    ASSERT_EQ(0, cd::StartDevice(device_.udn));
    const std::string description = folder_.Read();
    const RequestCase cases[] = {
        {"scpd", Get("/ContentDirectory/scpd.xml"), "\r\n\r\n<scpd>cds</scpd>"},
        {"absolute form", Get("http://" + ip_ + ":49152/dial/scpd.xml"),
         "\r\n\r\n<scpd>dial</scpd>"},
        {"embedded scpd", Get("/sp/scpd.xml"), "\r\n\r\n<scpd>switch</scpd>"},
        {"icon", Get("/icons/i.png"),
         "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 7\r\n"
         "Connection: close\r\n\r\n" +
             std::string("\x89PNG\0\1\2", 7)},
        {"query on description", Get("/d.xml?SUBSCRIBE%20/"), description},
        {"eventing method in a header", Get("/d.xml", "X: SUBSCRIBE /\r\n"), description},
        {"dot-dot icon", Get("/../icons/i.png"), ""},
        {"nested dot-dot icon", Get("/x/../../icons/i.png"), ""},
        {"icon path at the end", Get("/x/icons/i.png"), ""},
        {"unknown path", Get("/d.xml.bak/x", "X: icons/i.png\r\n"), ""},
        {"host without path", Get("http://evil", "X: icons/i.png\r\n"), ""},
        {"long absurd uri", Get("/" + std::string(60000, 'a') + "/icons/i.pn"), ""},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = Exchange(c.request);
        if (c.expected.compare(0, 9, "HTTP/1.1 ") == 0) {
            EXPECT_EQ(c.expected, answer);
        } else if (!c.expected.empty()) {
            ASSERT_GE(answer.size(), c.expected.size());
            EXPECT_EQ(c.expected, answer.substr(answer.size() - c.expected.size()));
        } else {
            EXPECT_EQ(8u, answer.find(" 400 Bad Request")) << answer;  // no listener takes it
        }
    }
}

// In ask mode the access listener runs on a thread of its own: a newcomer's
// description request is refused while the listener is still deciding, and
// other requests are served meanwhile.
std::shared_future<void> g_released;
std::atomic<int> g_asked{0};
bool Ponder(const boost::shared_ptr<acl::stEventNotification>&) {
    ++g_asked;
    g_released.wait_for(zel_test::kTestWait);
    return true;
}

TEST_F(SendDescriptionTest, AskModeListenerNeverHoldsTheRequestThreads) {
    ASSERT_EQ(0, cd::StartDevice(device_.udn));
    std::promise<void> release;
    g_released = release.get_future().share();
    std::unique_ptr<std::promise<void>, void (*)(std::promise<void>*)> released(
        &release, [](std::promise<void>* p) { p->set_value(); });
    ASSERT_EQ(0, acl::RegisterAclListener(device_.udn, Ponder, acl::ACL_MODE_ASK));
    EXPECT_EQ(0u, Exchange(Get("/d.xml")).find("HTTP/1.1 401 Unauthorized\r\n"));
    EXPECT_TRUE(zel_test::WaitUntil([] { return g_asked == 1; }));
    EXPECT_EQ(0u, Exchange(Get("/d.xml")).find("HTTP/1.1 401 Unauthorized\r\n"));  // waiting
    EXPECT_EQ(0u, Exchange(Get("/sp/scpd.xml")).find("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(1, g_asked.load());
}

// A peer's bare CR or LF never reaches a header of the answer: the request
// is refused and its connection closed unanswered.
TEST_F(SendDescriptionTest, BareLineBreakInAcceptLanguageIsNeverEchoed) {
    ASSERT_EQ(0, cd::StartDevice(device_.udn));
    for (const char* bad : {"\n", "\r"}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        const std::string header = std::string("ACCEPT-LANGUAGE: de") + bad + "X-Injected: 1\r\n";
        EXPECT_EQ("", Exchange(Get("/d.xml", header)));
    }
    EXPECT_EQ(0u, Exchange(Get("/d.xml", "ACCEPT-LANGUAGE: de\r\n"))
                      .find("HTTP/1.1 200 OK\r\nContent-Language: de\r\n"));
}

// The device's own address, and a control point the access control
// refuses, get the UPnP 401 envelope for the description only.
TEST_F(SendDescriptionTest, OwnAddressAndRefusedControlPointGetTheUnauthorizedEnvelope) {
    ASSERT_EQ(0, cd::StartDevice(device_.udn));
    const std::string head =
        "HTTP/1.1 401 Unauthorized\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
        "SERVER:UPnP/1.1 Varnesk Omnilume Server/1.0\r\nCONTENT-LENGTH: 417\r\n\r\n";
    ASSERT_EQ(0, acl::SetAclMode(device_.udn, acl::ACL_MODE_DENY_ALL));
    for (const std::string& ns : {topo_->DeviceNs(), Link(0).peer_ns}) {
        SCOPED_TRACE(ns);
        const std::string answer = Exchange(Get("/d.xml"), ns);
        ASSERT_EQ(0u, answer.find(head));
        EXPECT_EQ(417u, answer.size() - head.size());
        EXPECT_NE(std::string::npos, answer.find("<errorCode>401</errorCode>"));
    }
    EXPECT_EQ(0u, Exchange(Get("/ContentDirectory/scpd.xml")).find("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(0u, Exchange(Get("/icons/i.png")).find("HTTP/1.1 200 OK\r\n"));
}

}  // namespace
