#include "streaming/src/streaming_server_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "utils/src/httpparser/httpparser.h"

namespace {

using namespace zel_upnp::streaming;

struct ResCase {
    int version;
    int status;
    const char* transfer_encoding;
    long long length;
    int rc;
    std::string text;
};

TEST(StreamingServerUtils, FormResHeaderWritesFieldsInOrder) {
    stArgument extra2 = {const_cast<char*>("X-B"), const_cast<char*>("2"), nullptr};
    stArgument extra1 = {const_cast<char*>("X-A"), const_cast<char*>("1"), &extra2};
    const std::vector<ResCase> cases = {
        {1, 200, nullptr, 42, 0,
         "HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nConnection: close\r\nContent-Length: "
         "42\r\nContent-Type: video/mp4\r\nServer: s\r\nX-A: 1\r\nX-B: 2\r\n\r\n"},
        {1, 206, "chunked", 42, 0,
         "HTTP/1.1 206 Partial Content\r\nAccept-Ranges: bytes\r\nConnection: close\r\n"
         "Content-Type: video/mp4\r\nTransfer-Encoding: chunked\r\nServer: s\r\nX-A: 1\r\nX-B: "
         "2\r\n\r\n"},
        // HTTP/1.0 has no Transfer-Encoding line, and so neither length nor framing.
        {0, 404, "chunked", 0, 0,
         "HTTP/1.0 404 Not Found\r\nAccept-Ranges: bytes\r\nConnection: close\r\n"
         "Content-Type: video/mp4\r\nServer: s\r\nX-A: 1\r\nX-B: 2\r\n\r\n"},
        {1, 999, nullptr, 0, STREAMING_INVALID_PARAMS, ""},
        {2, 200, nullptr, 0, STREAMING_INVALID_PARAMS, ""},
    };
    for (const ResCase& c : cases) {
        ResHeaderInfo head = ResHeaderInfo();
        head.http_version = c.version;
        head.status_code = c.status;
        head.accept_ranges = const_cast<char*>("bytes");
        head.connection = const_cast<char*>("close");
        head.content_type = const_cast<char*>("video/mp4");
        head.server = const_cast<char*>("s");
        head.transfer_encoding = const_cast<char*>(c.transfer_encoding);
        head.content_length = c.length;
        head.additional_headers = &extra1;
        std::string text;
        EXPECT_EQ(FormResHeader(&head, text), c.rc) << c.status;
        if (c.rc == 0) {
            EXPECT_EQ(text, c.text);
        }
    }
}

TEST(StreamingServerUtils, FormRequestHeaderInfoFromParsedRequest) {
    const std::string request =
        "POST /a%20b?x=1 HTTP/1.0\r\nX-First: 1\r\nContent-Length: 3\r\nUser-Agent: ua\r\n"
        "x-second: 2\r\n\r\nabc";
    auto info = boost::make_shared<zel_upnp::utils::HTTPInfo>();
    ASSERT_EQ(zel_upnp::utils::Parse(request.data(), static_cast<unsigned>(request.size()), info),
              0);
    ReqHeaderInfo* head = FormRequestHeaderInfo(*info);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->request_type, REQUEST_POST);
    EXPECT_EQ(head->http_version, HTTP_VERSION_1_0);
    EXPECT_STREQ(head->uri, "/a%20b?x=1");
    EXPECT_EQ(head->content_length, 3);
    EXPECT_STREQ(head->user_agent, "ua");
    EXPECT_EQ(head->host, nullptr);
    ASSERT_NE(head->additional_headers, nullptr);
    EXPECT_STREQ(head->additional_headers->name, "X-First");
    ASSERT_NE(head->additional_headers->next, nullptr);
    EXPECT_STREQ(head->additional_headers->next->name, "x-second");
    FreeRequestHeader(head);
}

}  // namespace
