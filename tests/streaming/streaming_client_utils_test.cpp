#include "streaming/src/streaming_client_utils.h"
#include "streaming/src/streaming_server_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace zel_upnp::streaming;

struct ReqCase {
    int type;
    int version;
    const char* transfer_encoding;
    long long length;
    int rc;
    std::string text;
};

TEST(StreamingClientUtils, FormReqHeaderWritesFieldsInOrder) {
    stArgument extra = {const_cast<char*>("Range"), const_cast<char*>("bytes=0-"), nullptr};
    const std::vector<ReqCase> cases = {
        {REQUEST_GET, 1, nullptr, 0, 0,
         "GET /f HTTP/1.1\r\nAccept: */*\r\nAccept-Language: en-us\r\nExpect: 100-continue\r\n"
         "Host: h:1\r\nUser-Agent: u\r\nRange: bytes=0-\r\n\r\n"},
        {REQUEST_POST, 1, "Chunked", 9, 0,
         "POST /f HTTP/1.1\r\nAccept: */*\r\nAccept-Language: en-us\r\nExpect: 100-continue\r\n"
         "Host: h:1\r\nTransfer-Encoding: Chunked\r\nUser-Agent: u\r\nRange: bytes=0-\r\n\r\n"},
        {REQUEST_HEAD, 0, "chunked", 9, 0,
         "HEAD /f HTTP/1.0\r\nAccept: */*\r\nAccept-Language: en-us\r\nExpect: 100-continue\r\n"
         "Host: h:1\r\nUser-Agent: u\r\nRange: bytes=0-\r\n\r\n"},
        {REQUEST_POST, 1, nullptr, 9, 0,
         "POST /f HTTP/1.1\r\nAccept: */*\r\nAccept-Language: en-us\r\nContent-Length: 9\r\n"
         "Expect: 100-continue\r\nHost: h:1\r\nUser-Agent: u\r\nRange: bytes=0-\r\n\r\n"},
        {3, 1, nullptr, 0, kFormReqHeaderFailure, ""},
        {REQUEST_GET, 2, nullptr, 0, kFormReqHeaderFailure, ""},
    };
    for (const ReqCase& c : cases) {
        ReqHeaderInfo head = ReqHeaderInfo();
        head.request_type = c.type;
        head.http_version = c.version;
        head.uri = const_cast<char*>("/f");
        head.accept = const_cast<char*>("*/*");
        head.expect = const_cast<char*>("100-continue");
        head.host = const_cast<char*>("h:1");
        head.user_agent = const_cast<char*>("u");
        head.transfer_encoding = const_cast<char*>(c.transfer_encoding);
        head.content_length = c.length;
        head.additional_headers = &extra;
        std::string text;
        EXPECT_EQ(FormReqHeader(&head, text), c.rc) << c.type << " " << c.version;
        if (c.rc == 0) {
            EXPECT_EQ(text, c.text);
        }
        EXPECT_EQ(IsChunkedRequest(&head), c.version == 1 && c.transfer_encoding != nullptr);
    }
}

// Text that could end its line (or, for the uri, the request line), and an
// extra header name that is not a token, is refused rather than sent; a
// response (FormResHeader) has no uri to refuse.
TEST(StreamingClientUtils, BuildersRefuseTextThatCouldEndALine) {
    const char* const kCases[][4] = {{"/f\r\nX: 1", "u", "R", "r"}, {"/f HTTP/1.0", "u", "R", "r"},
                                     {"/f", "u\rX: 1", "R", "r"},   {"/f", "u", "R", "r\nX: 1"},
                                     {"/f", "u", "R: x\r\nX", "r"}, {"/f", "u", "R y", "r"}};
    for (const auto& c : kCases) {
        stArgument extra = {const_cast<char*>(c[2]), const_cast<char*>(c[3]), nullptr};
        ReqHeaderInfo head = ReqHeaderInfo();
        head.request_type = REQUEST_GET;
        head.http_version = 1;
        head.uri = const_cast<char*>(c[0]);
        head.user_agent = const_cast<char*>(c[1]);
        head.additional_headers = &extra;
        std::string text = "untouched";
        EXPECT_EQ(kFormReqHeaderFailure, FormReqHeader(&head, text)) << c[0] << c[1] << c[2];
        EXPECT_EQ("untouched", text);
        ResHeaderInfo answer = ResHeaderInfo();
        answer.http_version = 1;
        answer.status_code = 200;
        answer.server = head.user_agent;
        answer.additional_headers = &extra;
        EXPECT_EQ(std::string(c[0]) == "/f" ? STREAMING_INVALID_PARAMS : STREAMING_SUCCESS,
                  FormResHeader(&answer, text));
    }
}

}  // namespace
