#include <zel_upnp/utils.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "support/log_capture.h"
#include "utils/src/httpparser/httpparser.h"

namespace {

using namespace zel_upnp::utils;

boost::shared_ptr<HTTPInfo> Parsed(const std::string& message) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    const int rc = Parse(message.data(), static_cast<unsigned>(message.size()), info);
    EXPECT_EQ(0, rc) << message;
    info->SetParsingStatus(PARSING_CONTINUE);
    return info;
}

// Allocator that fails from its Nth call on (N counted from 1).
int g_allocationsBeforeFailure = 0;
void* FailingAllocator(size_t size) {
    if (g_allocationsBeforeFailure-- <= 0)
        return nullptr;
    return std::malloc(size);
}

class BodyAllocatorFailure {
  public:
    explicit BodyAllocatorFailure(int succeeding) {
        g_allocationsBeforeFailure = succeeding;
        SetBodyAllocator(&FailingAllocator);
    }
    ~BodyAllocatorFailure() { SetBodyAllocator(nullptr); }
};

// ---------------------------------------------------------------------------
// Method table.
// ---------------------------------------------------------------------------

TEST(HttpInfoMethods, TableMapsBothWays) {
    const struct {
        HTTPRequest type;
        const char* method;
    } rows[] = {
        {HTTP_GET, "GET"},         {HTTP_HEAD, "HEAD"},           {HTTP_POST, "POST"},
        {HTTP_NOTIFY, "NOTIFY"},   {HTTP_SUBSCRIBE, "SUBSCRIBE"}, {HTTP_UNSUBSCRIBE, "UNSUBSCRIBE"},
        {HTTP_MSEARCH, "M-SEARCH"}};
    int expectedValue = 0;
    for (const auto& row : rows) {
        EXPECT_EQ(expectedValue++, static_cast<int>(row.type));
        EXPECT_EQ(row.method, GetRequestString(row.type));
        EXPECT_EQ(row.type, GetRequestType(row.method));
    }
    EXPECT_EQ(7, static_cast<int>(HTTP_UNKNOWN));
}

TEST(HttpInfoMethods, UnknownValuesAndStrings) {
    EXPECT_EQ("UNKNOWN", GetRequestString(HTTP_UNKNOWN));
    EXPECT_EQ("UNKNOWN", GetRequestString(static_cast<HTTPRequest>(42)));
    EXPECT_EQ("UNKNOWN", GetRequestString(static_cast<HTTPRequest>(-1)));
    EXPECT_EQ(HTTP_UNKNOWN, GetRequestType("get"));
    EXPECT_EQ(HTTP_UNKNOWN, GetRequestType("M-Search"));
    EXPECT_EQ(HTTP_UNKNOWN, GetRequestType("GET "));
    EXPECT_EQ(HTTP_UNKNOWN, GetRequestType(""));
    EXPECT_EQ(HTTP_UNKNOWN, GetRequestType("UNKNOWN"));
}

// ---------------------------------------------------------------------------
// Start line and head serialisation.
// ---------------------------------------------------------------------------

std::string StartLineForCode(uint32_t code) {
    boost::shared_ptr<HTTPInfo> info =
        Parsed("HTTP/1.1 " + std::to_string(code) + " Whatever\r\nUSN: u\r\n\r\n");
    info->FormatStartLine();
    std::string line;
    info->GetStartLine(line);
    return line;
}

TEST(HttpInfoStartLine, EveryTableCodeGetsItsReason) {
    const struct {
        uint32_t code;
        const char* reason;
    } table[] = {{100, "Continue"},
                 {101, "Switching Protocols"},
                 {102, "Processing"},
                 {103, "Checkpoint"},
                 {122, "Request-URI too long"},
                 {154, "Continue"},
                 {200, "OK"},
                 {201, "Created"},
                 {202, "Accepted"},
                 {203, "Non-Authoritative Information"},
                 {204, "No Content"},
                 {205, "Reset Content"},
                 {206, "Partial Content"},
                 {207, "Multi-Status"},
                 {226, "IM Used"},
                 {284, "OK"},
                 {300, "Multiple Choices"},
                 {301, "Moved Permanently"},
                 {302, "Found"},
                 {303, "See Other"},
                 {304, "Not Modified"},
                 {305, "Use Proxy"},
                 {306, "Switch Proxy"},
                 {307, "Temporary Redirect"},
                 {308, "Resume Incomplete"},
                 {400, "Bad Request"},
                 {401, "Unauthorized"},
                 {402, "Payment Required"},
                 {403, "Forbidden"},
                 {404, "Not Found"},
                 {405, "Method Not Allowed"},
                 {406, "Not Acceptable"},
                 {407, "Proxy Authentication Required"},
                 {408, "Request Time-out"},
                 {409, "Conflict"},
                 {410, "Gone"},
                 {411, "Length Required"},
                 {412, "Precondition Failed"},
                 {413, "Request Entity Too Large"},
                 {414, "Request URI Too Large"},
                 {415, "Unsupported Media Type"},
                 {416, "Requested Range Not Satisfiable"},
                 {500, "Internal Server Error"},
                 {501, "Not Implemented"},
                 {502, "Bad Gateway"},
                 {503, "Service Unavailable"},
                 {504, "Gateway Time-out"},
                 {505, "HTTP Version not supported"}};
    EXPECT_EQ(48u, sizeof(table) / sizeof(table[0]));
    for (const auto& row : table) {
        EXPECT_EQ("HTTP/1.1 " + std::to_string(row.code) + " " + row.reason + "\r\n",
                  StartLineForCode(row.code));
    }
}

TEST(HttpInfoStartLine, CodesOutsideTableTakeTheirClassReason) {
    EXPECT_EQ("HTTP/1.1 199 Continue\r\n", StartLineForCode(199));
    EXPECT_EQ("HTTP/1.1 299 OK\r\n", StartLineForCode(299));
    EXPECT_EQ("HTTP/1.1 399 Multiple Choices\r\n", StartLineForCode(399));
    EXPECT_EQ("HTTP/1.1 418 Bad Request\r\n", StartLineForCode(418));
    EXPECT_EQ("HTTP/1.1 599 Internal Server Error\r\n", StartLineForCode(599));
    EXPECT_EQ("HTTP/1.1 600 UNKNOWN\r\n", StartLineForCode(600));
    EXPECT_EQ("HTTP/1.1 99 UNKNOWN\r\n", StartLineForCode(99));
    EXPECT_EQ("HTTP/1.1 0 UNKNOWN\r\n", StartLineForCode(0));
    EXPECT_EQ("HTTP/1.1 4294967295 UNKNOWN\r\n", StartLineForCode(4294967295u));
}

TEST(HttpInfoStartLine, RequestLineRebuiltFromFields) {
    boost::shared_ptr<HTTPInfo> info = Parsed("  SUBSCRIBE /evt HTTP/1.0 \r\n\r\n");
    std::string line;
    ASSERT_EQ(0, info->GetStartLine(line));
    EXPECT_EQ("SUBSCRIBE /evt HTTP/1.0", line);
    info->FormatStartLine();
    info->GetStartLine(line);
    EXPECT_EQ("SUBSCRIBE /evt HTTP/1.0\r\n", line);

    // Two spaces make an empty URI: the rebuilt line shows what was parsed.
    boost::shared_ptr<HTTPInfo> empty = Parsed("GET  HTTP/1.0\r\n\r\n");
    empty->FormatStartLine();
    empty->GetStartLine(line);
    EXPECT_EQ("GET  HTTP/1.0\r\n", line);

    boost::shared_ptr<HTTPInfo> unknown = Parsed("FETCH /a HTTP/1.1\r\n\r\n");
    unknown->FormatStartLine();
    unknown->GetStartLine(line);
    EXPECT_EQ("UNKNOWN /a HTTP/1.1\r\n", line);
}

TEST(HttpInfoStartLine, HeadSerialisation) {
    boost::shared_ptr<HTTPInfo> info = Parsed(
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNTS:ssdp:byebye\r\nEXT:\r\n\r\n");
    std::string head = "stale";
    ASSERT_EQ(0, info->GetHeader(head));
    EXPECT_EQ(
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNTS: ssdp:byebye\r\nEXT: \r\n\r\n",
        head);
    // The start line keeps the CR LF that serialisation gave it.
    std::string line;
    info->GetStartLine(line);
    EXPECT_EQ("NOTIFY * HTTP/1.1\r\n", line);
}

TEST(HttpInfoStartLine, HeadOfFreshObject) {
    HTTPInfo info;
    std::string head;
    ASSERT_EQ(0, info.GetHeader(head));
    EXPECT_EQ("HTTP/0.0 0 UNKNOWN\r\n\r\n", head);
}

TEST(HttpInfoStartLine, EmptyStartLineAndUri) {
    zel_test::LogCapture logs;
    HTTPInfo info;
    std::string value = "keep";
    EXPECT_EQ(1, info.GetStartLine(value));
    EXPECT_TRUE(logs.Contains("Empty start line", "ZEL_CORE_UTILS"));
    EXPECT_EQ(3002, info.GetURI(value));
    EXPECT_TRUE(logs.Contains("Uri value empty", "ZEL_CORE_UTILS"));
    EXPECT_EQ("keep", value);
}

// ---------------------------------------------------------------------------
// Headers.
// ---------------------------------------------------------------------------

TEST(HttpInfoHeaders, LookupIgnoresCaseAndLeavesValueWhenMissing) {
    HTTPInfo info;
    ASSERT_EQ(0, info.SetHeader("Content-Type", "text/xml"));
    ASSERT_EQ(0, info.SetHeader("CONTENT-TYPE", "second"));
    std::string value = "untouched";
    EXPECT_EQ(0, info.GetHeaderValue("content-type", value));
    EXPECT_EQ("text/xml", value);
    value = "untouched";
    EXPECT_EQ(1, info.GetHeaderValue("Content-Typ", value));
    EXPECT_EQ("untouched", value);
}

TEST(HttpInfoHeaders, InvalidNamesAreRejected) {
    zel_test::LogCapture logs;
    HTTPInfo info;
    std::string value = "untouched";
    EXPECT_EQ(1, info.GetHeaderValue(nullptr, value));
    EXPECT_EQ(1, info.GetHeaderValue("", value));
    EXPECT_EQ(1, info.SetHeader("", "v"));
    EXPECT_EQ(3u, logs.Count("Invalid input"));
    std::vector<NameValue*> headers;
    info.GetHeader(headers);
    EXPECT_TRUE(headers.empty());
    EXPECT_EQ("untouched", value);
}

TEST(HttpInfoHeaders, VectorIsReplacedAndRecordsStayOwned) {
    HTTPInfo info;
    info.SetHeader("A", "1");
    info.SetHeader("B", "2");
    std::vector<NameValue*> headers(5, nullptr);
    info.GetHeader(headers);
    ASSERT_EQ(2u, headers.size());
    EXPECT_EQ("A", headers[0]->name);
    EXPECT_EQ("2", headers[1]->value);
    std::string head;
    info.GetHeader(head);
    EXPECT_NE(std::string::npos, head.find("\r\nA: 1\r\nB: 2\r\n\r\n"));
}

// ---------------------------------------------------------------------------
// Body.
// ---------------------------------------------------------------------------

TEST(HttpInfoBody, PiecesAreJoinedIntoOneBlock) {
    boost::shared_ptr<HTTPInfo> info = Parsed("HTTP/1.1 200 OK\r\n\r\nabc");
    const std::string more = "def";
    Parse(more.data(), 3, info);
    Parse("g", 1, info);
    EXPECT_EQ(7u, info->GetProcessedBodySize());
    unsigned size = 0;
    char* body = info->GetBody(size);
    ASSERT_NE(nullptr, body);
    EXPECT_EQ(7u, size);
    EXPECT_EQ("abcdefg", std::string(body, size));
    std::free(body);
    EXPECT_EQ(0u, info->GetProcessedBodySize());
    EXPECT_EQ(nullptr, info->GetBody(size));
    EXPECT_EQ(0u, size);
}

TEST(HttpInfoBody, SinglePieceIsHandedOutAsIs) {
    boost::shared_ptr<HTTPInfo> info = Parsed("POST /c HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
    unsigned size = 0;
    char* body = info->GetBody(size);
    ASSERT_NE(nullptr, body);
    EXPECT_EQ("body", std::string(body, size));
    std::free(body);
}

// Large bodies arriving in many packets, in every body mode, come out whole
// and in order through both readers.
TEST(HttpInfoBody, LargeBodiesInManyPackets) {
    constexpr size_t kBodySize = 300000;
    constexpr size_t kPacket = 1460;
    constexpr size_t kChunk = 5000;
    std::string payload;
    for (size_t i = 0; i < kBodySize; ++i)
        payload += static_cast<char>(i * 7 % 251);
    std::string chunked;
    for (size_t offset = 0; offset < payload.size(); offset += kChunk) {
        const std::string piece = payload.substr(offset, kChunk);
        char size[16];
        std::snprintf(size, sizeof(size), "%zx\r\n", piece.size());
        chunked += size + piece + "\r\n";
    }
    chunked += "0\r\n\r\n";
    const std::string messages[] = {
        "POST /c HTTP/1.1\r\nContent-Length: " + std::to_string(kBodySize) + "\r\n\r\n" + payload,
        "HTTP/1.1 200 OK\r\n\r\n" + payload,
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked,
    };
    for (int reader = 0; reader < 2; ++reader) {
        for (const std::string& message : messages) {
            boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
            for (size_t offset = 0; offset < message.size(); offset += kPacket) {
                const std::string packet = message.substr(offset, kPacket);
                ASSERT_EQ(0, Parse(packet.data(), static_cast<unsigned>(packet.size()), info));
                info->SetParsingStatus(PARSING_CONTINUE);
            }
            EXPECT_EQ(kBodySize, info->GetProcessedBodySize());
            std::string body;
            if (reader == 0) {
                info->ReadBody(body);
            } else {
                unsigned size = 0;
                char* block = info->GetBody(size);
                ASSERT_NE(nullptr, block);
                body.assign(block, size);
                std::free(block);
            }
            EXPECT_TRUE(body == payload) << message.substr(0, 40);
            EXPECT_EQ(0u, info->GetProcessedBodySize());
        }
    }
}

TEST(HttpInfoBody, ReadBodyAppendsAndEmpties) {
    boost::shared_ptr<HTTPInfo> info = Parsed("HTTP/1.1 200 OK\r\n\r\nxy");
    Parse("z", 1, info);
    std::string body = "prefix:";
    info->ReadBody(body);
    EXPECT_EQ("prefix:xyz", body);
    EXPECT_EQ(0u, info->GetProcessedBodySize());
    info->ReadBody(body);
    EXPECT_EQ("prefix:xyz", body);
}

TEST(HttpInfoBody, StoreDataOnHandBuiltMessageKeepsEverything) {
    HTTPInfo info;
    const unsigned length = 3;
    EXPECT_EQ(0, info.StoreData("abc", length));
    EXPECT_EQ(0, info.StoreData("de", 2));
    EXPECT_EQ(PARSING_CONTINUE, info.GetParsingStatus());
    std::string body;
    info.ReadBody(body);
    EXPECT_EQ("abcde", body);
}

TEST(HttpInfoBody, StoreDataFailureMarksMessageFailed) {
    zel_test::LogCapture logs;
    // The first block is full, so the next piece needs an allocation.
    boost::shared_ptr<HTTPInfo> info = Parsed("HTTP/1.1 200 OK\r\n\r\nabc");
    {
        BodyAllocatorFailure failure(0);
        const unsigned length = 3;
        EXPECT_EQ(1, info->StoreData("def", length));
    }
    EXPECT_TRUE(logs.Contains("malloc failed!"));
    EXPECT_EQ(MESSAGE_ERROR, info->GetState());
    EXPECT_EQ(PARSING_PACKET_DONE, info->GetParsingStatus());
    EXPECT_EQ(3u, info->GetProcessedBodySize());
}

TEST(HttpInfoBody, ParseReportsAllocationFailureInEveryBodyMode) {
    const char* const messages[] = {
        "POST /c HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
        "HTTP/1.1 200 OK\r\n\r\nabc",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nab",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc",
    };
    for (const char* message : messages) {
        zel_test::LogCapture logs;
        boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
        BodyAllocatorFailure failure(0);
        EXPECT_EQ(1, Parse(message, static_cast<unsigned>(std::strlen(message)), info)) << message;
        EXPECT_EQ(MESSAGE_ERROR, info->GetState()) << message;
        EXPECT_TRUE(logs.Contains("malloc failed!")) << message;
    }
}

TEST(HttpInfoBody, ChunkRemainderAllocationFailure) {
    boost::shared_ptr<HTTPInfo> info =
        Parsed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nabc");
    BodyAllocatorFailure failure(0);
    EXPECT_EQ(1, Parse("def\r\n0\r\n\r\n", 10, info));
    EXPECT_EQ(MESSAGE_ERROR, info->GetState());
}

TEST(HttpInfoBody, GetBodyAllocationFailureKeepsPieces) {
    zel_test::LogCapture logs;
    boost::shared_ptr<HTTPInfo> info = Parsed("HTTP/1.1 200 OK\r\n\r\nab");
    Parse("cd", 2, info);
    unsigned size = 0;
    {
        BodyAllocatorFailure failure(0);
        EXPECT_EQ(nullptr, info->GetBody(size));
    }
    EXPECT_EQ(4u, size);
    EXPECT_TRUE(logs.Contains("Memory allocation failed"));
    // Nothing was lost: a later call succeeds.
    char* body = info->GetBody(size);
    ASSERT_NE(nullptr, body);
    EXPECT_EQ("abcd", std::string(body, size));
    std::free(body);
}

// ---------------------------------------------------------------------------
// Split chunk-size lines.
// ---------------------------------------------------------------------------

const char kChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST(HttpInfoGetHex, NothingAccumulated) {
    zel_test::LogCapture logs;
    HTTPInfo info;
    unsigned consumed = 7;
    EXPECT_EQ(nullptr, info.GetHex("1\r\n", 3, consumed));
    EXPECT_EQ(0u, consumed);
    EXPECT_TRUE(logs.Contains("No Hex value "));
}

TEST(HttpInfoGetHex, CompletesLineFromNextPacket) {
    boost::shared_ptr<HTTPInfo> info = Parsed(std::string(kChunkedHead) + "1a");
    unsigned consumed = 0;
    const char* text = info->GetHex("F;x\r\ndata", 9, consumed);
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("1aF;x", text);
    EXPECT_EQ(5u, consumed);
    EXPECT_EQ(PARSING_CONTINUE, info->GetParsingStatus());
}

TEST(HttpInfoGetHex, LineSplitBetweenCrAndLf) {
    boost::shared_ptr<HTTPInfo> info = Parsed(std::string(kChunkedHead) + "10\r");
    unsigned consumed = 0;
    const char* text = info->GetHex("\nabc", 4, consumed);
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("10", text);
    EXPECT_EQ(1u, consumed);
}

TEST(HttpInfoGetHex, PacketWithoutLineEndIsKept) {
    boost::shared_ptr<HTTPInfo> info = Parsed(std::string(kChunkedHead) + "1");
    unsigned consumed = 0;
    const char* text = info->GetHex("2;a\rb", 5, consumed);
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("12;a\rb", text);
    EXPECT_EQ(5u, consumed);
    EXPECT_EQ(PARSING_PACKET_DONE, info->GetParsingStatus());
}

// ---------------------------------------------------------------------------
// Reuse and plain fields.
// ---------------------------------------------------------------------------

TEST(HttpInfoLifecycle, CleanInfoResetsAllButAddresses) {
    boost::shared_ptr<HTTPInfo> info =
        Parsed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX: y\r\n\r\n5\r\nab");
    info->SetClientIpAddress("10.1.2.3");
    info->SetMyIpAddress("10.1.2.1");
    info->SetClientPort(50123);
    EXPECT_EQ(50123, info->GetClientPort());
    info->CleanInfo();

    EXPECT_EQ("10.1.2.3", info->GetClientIpAddress());
    EXPECT_EQ("10.1.2.1", info->GetMyIpAddress());
    EXPECT_EQ(0, info->GetClientPort());
    EXPECT_EQ(STAGE_NONE, info->GetStatus());
    EXPECT_EQ(MESSAGE_INCOMPLETE, info->GetState());
    EXPECT_EQ(PARSING_CONTINUE, info->GetParsingStatus());
    EXPECT_EQ(HTTP_UNKNOWN, info->GetRequestType());
    EXPECT_EQ(0u, info->GetStatusCode());
    EXPECT_EQ(0u, info->GetProcessedBodySize());
    EXPECT_EQ(0u, info->GetContentLength());
    EXPECT_EQ(ENCODING_UNIDENTIFIED, info->GetBodyEncoding());
    EXPECT_FALSE(info->IsRequest());
    int major = -1;
    int minor = -1;
    info->GetHTTPVersion(major, minor);
    EXPECT_EQ(0, major);
    EXPECT_EQ(0, minor);
    std::vector<NameValue*> headers;
    info->GetHeader(headers);
    EXPECT_TRUE(headers.empty());

    // No chunk state survives: the next message parses from scratch.
    const std::string next = "POST /n HTTP/1.1\r\nContent-Length: 2\r\n\r\nok";
    ASSERT_EQ(0, Parse(next.data(), static_cast<unsigned>(next.size()), info));
    EXPECT_EQ(MESSAGE_COMPLETE, info->GetState());
    std::string body;
    info->ReadBody(body);
    EXPECT_EQ("ok", body);
    std::string uri;
    info->GetURI(uri);
    EXPECT_EQ("/n", uri);
}

TEST(HttpInfoLifecycle, FreshObjectHasInitialValues) {
    HTTPInfo info;
    EXPECT_EQ(HTTP_UNKNOWN, info.GetRequestType());
    EXPECT_EQ(STAGE_NONE, info.GetStatus());
    EXPECT_EQ(MESSAGE_INCOMPLETE, info.GetState());
    EXPECT_EQ(PARSING_CONTINUE, info.GetParsingStatus());
    EXPECT_EQ("", info.GetClientIpAddress());
    EXPECT_EQ(0, info.GetClientPort());
    info.SetParsingStatus(PARSING_PACKET_DONE);
    EXPECT_EQ(PARSING_PACKET_DONE, info.GetParsingStatus());
}

}  // namespace
