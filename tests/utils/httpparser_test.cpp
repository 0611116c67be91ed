#include "utils/src/httpparser/httpparser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "support/log_capture.h"

namespace {

using namespace zel_upnp::utils;

typedef std::vector<std::pair<std::string, std::string>> HeaderList;

// Everything a receiver can observe of a parsed message.
struct Observed {
    int lastResult = 0;
    std::string startLine;
    std::string uri;
    HTTPRequest type = HTTP_UNKNOWN;
    bool isRequest = false;
    int major = 0;
    int minor = 0;
    uint32_t statusCode = 0;
    HeaderList headers;
    std::string body;
    HTTPMessageState state = MESSAGE_INCOMPLETE;
    int stage = STAGE_NONE;
    HTTPBodyEncoding encoding = ENCODING_UNIDENTIFIED;
    uint64_t contentLength = 0;
};

bool operator==(const Observed& a, const Observed& b) {
    return a.lastResult == b.lastResult && a.startLine == b.startLine && a.uri == b.uri &&
           a.type == b.type && a.isRequest == b.isRequest && a.major == b.major &&
           a.minor == b.minor && a.statusCode == b.statusCode && a.headers == b.headers &&
           a.body == b.body && a.state == b.state && a.stage == b.stage &&
           a.encoding == b.encoding && a.contentLength == b.contentLength;
}

std::ostream& operator<<(std::ostream& os, const Observed& o) {
    os << "{rc=" << o.lastResult << " start='" << o.startLine << "' uri='" << o.uri
       << "' type=" << o.type << " req=" << o.isRequest << " v=" << o.major << "." << o.minor
       << " code=" << o.statusCode << " headers=[";
    for (const auto& h : o.headers)
        os << h.first << "=" << h.second << ";";
    return os << "] body=" << o.body.size() << "B state=" << o.state << " stage=" << o.stage
              << " enc=" << o.encoding << " cl=" << o.contentLength << "}";
}

Observed Observe(HTTPInfo& info, int lastResult) {
    Observed o;
    o.lastResult = lastResult;
    info.GetStartLine(o.startLine);
    info.GetURI(o.uri);
    o.type = info.GetRequestType();
    o.isRequest = info.IsRequest();
    info.GetHTTPVersion(o.major, o.minor);
    o.statusCode = info.GetStatusCode();
    std::vector<NameValue*> headers;
    info.GetHeader(headers);
    for (const NameValue* h : headers)
        o.headers.emplace_back(h->name, h->value);
    info.ReadBody(o.body);
    o.state = info.GetState();
    o.stage = info.GetStatus();
    o.encoding = info.GetBodyEncoding();
    o.contentLength = info.GetContentLength();
    return o;
}

// Feeds the packets in order the way a receiver does: stops at the first
// failure, resets the parsing status after every call, and checks that every
// call finished its packet.
int Feed(boost::shared_ptr<HTTPInfo>& info, const std::vector<std::string>& packets) {
    int rc = 0;
    for (const std::string& packet : packets) {
        const unsigned length = static_cast<unsigned>(packet.size());
        rc = Parse(packet.data(), length, info);
        EXPECT_EQ(PARSING_PACKET_DONE, info->GetParsingStatus());
        info->SetParsingStatus(PARSING_CONTINUE);
        if (rc != 0)
            break;
    }
    return rc;
}

Observed ParsePackets(const std::vector<std::string>& packets) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    const int rc = Feed(info, packets);
    return Observe(*info, rc);
}

Observed ParseWhole(const std::string& message) {
    return ParsePackets({message});
}

std::vector<std::string> SplitAt(const std::string& message, std::vector<size_t> cuts) {
    std::vector<std::string> packets;
    size_t from = 0;
    for (size_t cut : cuts) {
        packets.push_back(message.substr(from, cut - from));
        from = cut;
    }
    packets.push_back(message.substr(from));
    return packets;
}

struct Sample {
    const char* name;
    std::string message;
    Observed expected;
};

Observed Expect(const std::string& startLine, const std::string& uri, HTTPRequest type,
                bool isRequest, int major, int minor, uint32_t code, HeaderList headers,
                std::string body, HTTPMessageState state, HTTPBodyEncoding encoding,
                uint64_t contentLength = 0) {
    Observed o;
    o.startLine = startLine;
    o.uri = uri;
    o.type = type;
    o.isRequest = isRequest;
    o.major = major;
    o.minor = minor;
    o.statusCode = code;
    o.headers = std::move(headers);
    o.body = std::move(body);
    o.state = state;
    o.stage = STAGE_HEADERS_DONE;
    o.encoding = encoding;
    o.contentLength = contentLength;
    return o;
}

const char kUsn[] = "uuid:2fac1234-31f8-11b4-a222-08002b34c003::upnp:rootdevice";
const char kSoapBody[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
    "<u:GetVolume xmlns:u=\"urn:schemas-upnp-org:service:RenderingControl:1\">"
    "<InstanceID>0</InstanceID><Channel>Master</Channel></u:GetVolume>"
    "</s:Body></s:Envelope>";
const char kEventBody[] =
    "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property>"
    "<SystemUpdateID>7</SystemUpdateID></e:property></e:propertyset>";

std::vector<Sample> Samples() {
    std::vector<Sample> samples;
    const std::string soapBody = kSoapBody;
    const std::string eventBody = kEventBody;
    // Stream bytes, a NUL and a blank line among them.
    const char kStream[] = "\x47\x00\x11\r\n\r\n\xff\x10 until the peer closes";
    const std::string rawStream(kStream, sizeof(kStream) - 1);

    samples.push_back({"ssdp_notify",
                       std::string("NOTIFY * HTTP/1.1\r\n"
                                   "HOST: 239.255.255.250:1900\r\n"
                                   "CACHE-CONTROL: max-age=1800\r\n"
                                   "LOCATION: http://192.168.1.20:49152/DeviceDescription.xml\r\n"
                                   "NT: upnp:rootdevice\r\n"
                                   "NTS: ssdp:alive\r\n"
                                   "SERVER: Linux/5.4 UPnP/1.0 zel/1.0\r\n"
                                   "USN: ") +
                           kUsn + "\r\n\r\n",
                       Expect("NOTIFY * HTTP/1.1", "*", HTTP_NOTIFY, true, 1, 1, 0,
                              {{"HOST", "239.255.255.250:1900"},
                               {"CACHE-CONTROL", "max-age=1800"},
                               {"LOCATION", "http://192.168.1.20:49152/DeviceDescription.xml"},
                               {"NT", "upnp:rootdevice"},
                               {"NTS", "ssdp:alive"},
                               {"SERVER", "Linux/5.4 UPnP/1.0 zel/1.0"},
                               {"USN", kUsn}},
                              "", MESSAGE_COMPLETE, ENCODING_NONE)});

    samples.push_back({"msearch",
                       "M-SEARCH * HTTP/1.1\r\n"
                       "HOST: 239.255.255.250:1900\r\n"
                       "MAN: \"ssdp:discover\"\r\n"
                       "MX: 3\r\n"
                       "ST: ssdp:all\r\n\r\n",
                       Expect("M-SEARCH * HTTP/1.1", "*", HTTP_MSEARCH, true, 1, 1, 0,
                              {{"HOST", "239.255.255.250:1900"},
                               {"MAN", "\"ssdp:discover\""},
                               {"MX", "3"},
                               {"ST", "ssdp:all"}},
                              "", MESSAGE_COMPLETE, ENCODING_NONE)});

    samples.push_back({"search_answer",
                       std::string("HTTP/1.1 200 OK\r\n"
                                   "CACHE-CONTROL: max-age=1800\r\n"
                                   "DATE: Sun, 06 Dec 2026 00:10:00 GMT\r\n"
                                   "EXT:\r\n"
                                   "LOCATION: http://192.168.1.20:49152/DeviceDescription.xml\r\n"
                                   "ST: upnp:rootdevice\r\n"
                                   "USN: ") +
                           kUsn + "\r\n\r\n",
                       Expect("HTTP/1.1 200 OK", "", HTTP_UNKNOWN, false, 1, 1, 200,
                              {{"CACHE-CONTROL", "max-age=1800"},
                               {"DATE", "Sun, 06 Dec 2026 00:10:00 GMT"},
                               {"EXT", ""},
                               {"LOCATION", "http://192.168.1.20:49152/DeviceDescription.xml"},
                               {"ST", "upnp:rootdevice"},
                               {"USN", kUsn}},
                              "", MESSAGE_COMPLETE, ENCODING_NONE)});

    samples.push_back(
        {"soap_post",
         "POST /upnp/control/RenderingControl HTTP/1.1\r\n"
         "HOST: 192.168.1.20:49152\r\n"
         "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
         "SOAPACTION: \"urn:schemas-upnp-org:service:RenderingControl:1#GetVolume\"\r\n"
         "CONTENT-LENGTH: " +
             std::to_string(soapBody.size()) + "\r\n\r\n" + soapBody,
         Expect("POST /upnp/control/RenderingControl HTTP/1.1", "/upnp/control/RenderingControl",
                HTTP_POST, true, 1, 1, 0,
                {{"HOST", "192.168.1.20:49152"},
                 {"CONTENT-TYPE", "text/xml; charset=\"utf-8\""},
                 {"SOAPACTION", "\"urn:schemas-upnp-org:service:RenderingControl:1#GetVolume\""},
                 {"CONTENT-LENGTH", std::to_string(soapBody.size())}},
                soapBody, MESSAGE_COMPLETE, ENCODING_CONTENT_LENGTH, soapBody.size())});

    samples.push_back({"gena_subscribe",
                       "SUBSCRIBE /upnp/event/ConnectionManager HTTP/1.1\r\n"
                       "HOST: 192.168.1.20:49152\r\n"
                       "CALLBACK: <http://192.168.1.7:8058/eventSub>\r\n"
                       "NT: upnp:event\r\n"
                       "TIMEOUT: Second-1800\r\n\r\n",
                       Expect("SUBSCRIBE /upnp/event/ConnectionManager HTTP/1.1",
                              "/upnp/event/ConnectionManager", HTTP_SUBSCRIBE, true, 1, 1, 0,
                              {{"HOST", "192.168.1.20:49152"},
                               {"CALLBACK", "<http://192.168.1.7:8058/eventSub>"},
                               {"NT", "upnp:event"},
                               {"TIMEOUT", "Second-1800"}},
                              "", MESSAGE_COMPLETE, ENCODING_NONE)});

    samples.push_back(
        {"gena_notify",
         "NOTIFY /eventSub HTTP/1.1\r\n"
         "HOST: 192.168.1.7:8058\r\n"
         "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
         "NT: upnp:event\r\n"
         "NTS: upnp:propchange\r\n"
         "SID: uuid:5e3a0c1e-1dd2-11b2-8f7a-c4b1e1d20a01\r\n"
         "SEQ: 0\r\n"
         "CONTENT-LENGTH: " +
             std::to_string(eventBody.size()) + "\r\n\r\n" + eventBody,
         Expect("NOTIFY /eventSub HTTP/1.1", "/eventSub", HTTP_NOTIFY, true, 1, 1, 0,
                {{"HOST", "192.168.1.7:8058"},
                 {"CONTENT-TYPE", "text/xml; charset=\"utf-8\""},
                 {"NT", "upnp:event"},
                 {"NTS", "upnp:propchange"},
                 {"SID", "uuid:5e3a0c1e-1dd2-11b2-8f7a-c4b1e1d20a01"},
                 {"SEQ", "0"},
                 {"CONTENT-LENGTH", std::to_string(eventBody.size())}},
                eventBody, MESSAGE_COMPLETE, ENCODING_CONTENT_LENGTH, eventBody.size())});

    samples.push_back({"response_with_length",
                       "HTTP/1.1 200 OK\r\n"
                       "Content-Type: text/xml\r\n"
                       "Content-Length: 12\r\n\r\n"
                       "<root></root>",
                       Expect("HTTP/1.1 200 OK", "", HTTP_UNKNOWN, false, 1, 1, 200,
                              {{"Content-Type", "text/xml"}, {"Content-Length", "12"}},
                              "<root></root", MESSAGE_COMPLETE, ENCODING_CONTENT_LENGTH, 12)});

    samples.push_back(
        {"chunked_response",
         "HTTP/1.1 206 Partial Content\r\n"
         "Transfer-Encoding: Chunked\r\n"
         "Content-Type: audio/mpeg\r\n\r\n"
         "5\r\nhello\r\n"
         "7;name=value\r\n, world\r\n"
         "1A\r\nabcdefghijklmnopqrstuvwxyz\r\n"
         "1\r\n\n\r\n"
         "0\r\n\r\n",
         Expect("HTTP/1.1 206 Partial Content", "", HTTP_UNKNOWN, false, 1, 1, 206,
                {{"Transfer-Encoding", "Chunked"}, {"Content-Type", "audio/mpeg"}},
                "hello, worldabcdefghijklmnopqrstuvwxyz\n", MESSAGE_COMPLETE, ENCODING_CHUNKED)});

    samples.push_back({"until_close",
                       "HTTP/1.0 200 OK\r\n"
                       "Content-Type: video/mpeg\r\n\r\n" +
                           rawStream,
                       Expect("HTTP/1.0 200 OK", "", HTTP_UNKNOWN, false, 1, 0, 200,
                              {{"Content-Type", "video/mpeg"}}, rawStream, MESSAGE_INCOMPLETE,
                              ENCODING_UNTIL_CLOSE)});
    return samples;
}

// Messages up to this size are also split at every pair of boundaries.
constexpr size_t kPairSplitLimit = 600;

TEST(HttpParserSamples, WholePacketGivesExpectedMessage) {
    for (const Sample& sample : Samples()) {
        SCOPED_TRACE(sample.name);
        EXPECT_EQ(sample.expected, ParseWhole(sample.message));
    }
}

TEST(HttpParserSamples, EverySingleSplitGivesSameMessage) {
    for (const Sample& sample : Samples()) {
        for (size_t cut = 1; cut < sample.message.size(); ++cut) {
            const Observed got = ParsePackets(SplitAt(sample.message, {cut}));
            ASSERT_EQ(sample.expected, got) << sample.name << " split at " << cut;
        }
    }
}

TEST(HttpParserSamples, EveryPairOfSplitsGivesSameMessage) {
    for (const Sample& sample : Samples()) {
        const size_t n = sample.message.size();
        if (n > kPairSplitLimit)
            continue;
        for (size_t first = 1; first + 1 < n; ++first) {
            for (size_t second = first + 1; second < n; ++second) {
                const Observed got = ParsePackets(SplitAt(sample.message, {first, second}));
                ASSERT_EQ(sample.expected, got)
                    << sample.name << " split at " << first << " and " << second;
            }
        }
    }
}

TEST(HttpParserSamples, OneBytePacketsGiveSameMessage) {
    for (const Sample& sample : Samples()) {
        std::vector<std::string> packets;
        for (char c : sample.message)
            packets.push_back(std::string(1, c));
        EXPECT_EQ(sample.expected, ParsePackets(packets)) << sample.name;
    }
}

// ---------------------------------------------------------------------------
// Start line.
// ---------------------------------------------------------------------------

TEST(HttpParserStartLine, RequestLineGivesMethodUriAndVersion) {
    const Observed o = ParseWhole("GET /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ(HTTP_GET, o.type);
    EXPECT_EQ("/x", o.uri);
    EXPECT_EQ(1, o.major);
    EXPECT_EQ(1, o.minor);
    EXPECT_TRUE(o.isRequest);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

TEST(HttpParserStartLine, LowerCaseMethodIsUnknownButParses) {
    const Observed o = ParseWhole("get /x HTTP/1.1\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ(HTTP_UNKNOWN, o.type);
    EXPECT_TRUE(o.isRequest);
    EXPECT_EQ("/x", o.uri);
    EXPECT_EQ("ab", o.body);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

TEST(HttpParserStartLine, StartLineIsTrimmed) {
    const Observed o = ParseWhole("\t GET /a b HTTP/1.0 \r\n\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ("GET /a b HTTP/1.0", o.startLine);
    // The URI ends at the second space; the version after the next slash.
    EXPECT_EQ("/a", o.uri);
    EXPECT_EQ(1, o.major);
    EXPECT_EQ(0, o.minor);
}

TEST(HttpParserStartLine, ProtocolNameIsNotChecked) {
    const Observed o = ParseWhole("GET /x FOO/2.0\r\n\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ(2, o.major);
    EXPECT_EQ(0, o.minor);
}

struct BadStartLine {
    const char* line;
    const char* log;
};

TEST(HttpParserStartLine, MalformedRequestLinesFailWithTheirMessage) {
    const BadStartLine cases[] = {
        {"GET", "Space not found : 1!"},
        {"GET /x", "Space not found : 2!"},
        {"GET /x HTTP11", "Slash not found!"},
        {"GET /x HTTP/11", "Dot not found!"},
        {"GET /x HTTP/a.1", "Invalid Val, can not convert to int"},
        {"GET /x HTTP/1.1x", "Invalid Val, can not convert to int"},
        {"GET /x HTTP/.1", "Invalid Val, can not convert to int"},
        {"GET /x HTTP/99999999999.1", "Invalid Val, can not convert to int"},
    };
    for (const BadStartLine& c : cases) {
        zel_test::LogCapture logs;
        const Observed o = ParseWhole(std::string(c.line) + "\r\nHost: a\r\n\r\n");
        EXPECT_EQ(1, o.lastResult) << c.line;
        EXPECT_EQ(MESSAGE_ERROR, o.state) << c.line;
        EXPECT_TRUE(o.headers.empty()) << c.line;
        EXPECT_TRUE(logs.Contains(c.log, "ZEL_CORE_UTILS")) << c.line;
        EXPECT_TRUE(logs.Contains("parsing completed!")) << c.line;
    }
}

TEST(HttpParserStartLine, StatusLineNeedsReasonPhrase) {
    {
        zel_test::LogCapture logs;
        const Observed o = ParseWhole("HTTP/1.1 200\r\nUSN: u\r\n\r\n");
        EXPECT_EQ(1, o.lastResult);
        EXPECT_EQ(MESSAGE_ERROR, o.state);
        EXPECT_TRUE(logs.Contains("Space not found!"));
    }
    const Observed o = ParseWhole("HTTP/1.1 404 Not Found\r\nUSN: u\r\n\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ(404u, o.statusCode);
    EXPECT_FALSE(o.isRequest);
    EXPECT_EQ(HTTP_UNKNOWN, o.type);
}

TEST(HttpParserStartLine, StatusCodeMayFollowSeveralSpaces) {
    const Observed o = ParseWhole("HTTP/1.0   304 Not Modified\r\nUSN: u\r\n\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ(304u, o.statusCode);
    EXPECT_EQ(0, o.minor);
}

TEST(HttpParserStartLine, MalformedStatusLinesFailWithTheirMessage) {
    const BadStartLine cases[] = {
        {"HTTP/1 200 OK", "Dot not found!"},
        {"HTTP/x.1 200 OK", "Invalid Val, can not convert to int"},
        {"HTTP/1.1200OK", "Space not found!"},
        {"HTTP/1.y 200 OK", "Invalid Val, can not convert to int"},
        {"HTTP/1.1 2x0 OK", "Invalid Val, can not convert to unsigned"},
        {"HTTP/1.1 -200 OK", "Invalid Val, can not convert to unsigned"},
        {"HTTP/1.1 4294967296 OK", "Invalid Val, can not convert to unsigned"},
    };
    for (const BadStartLine& c : cases) {
        zel_test::LogCapture logs;
        const Observed o = ParseWhole(std::string(c.line) + "\r\nUSN: u\r\n\r\n");
        EXPECT_EQ(1, o.lastResult) << c.line;
        EXPECT_EQ(MESSAGE_ERROR, o.state) << c.line;
        EXPECT_TRUE(logs.Contains(c.log)) << c.line;
    }
}

TEST(HttpParserStartLine, StartLineWithoutCrWaitsAndLogsThePacket) {
    zel_test::LogCapture logs;
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    ASSERT_EQ(0, Feed(info, {"GET /x"}));
    EXPECT_EQ(STAGE_NONE, info->GetStatus());
    EXPECT_TRUE(logs.Contains("parsing completed for data GET /x!"));
    EXPECT_TRUE(logs.Contains("parsing completed!"));
    ASSERT_EQ(0, Feed(info, {" HTTP/1.1\r\nHost: h"}));
    EXPECT_EQ(STAGE_START_LINE, info->GetStatus());
    EXPECT_TRUE(logs.Contains("CRLF not yet received !"));
    ASSERT_EQ(0, Feed(info, {"\r\n\r\n"}));
    const Observed o = Observe(*info, 0);
    EXPECT_EQ("GET /x HTTP/1.1", o.startLine);
    EXPECT_EQ((HeaderList{{"Host", "h"}}), o.headers);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

// ---------------------------------------------------------------------------
// Header lines.
// ---------------------------------------------------------------------------

TEST(HttpParserHeaders, RepeatedNamesAreAllKeptFirstWins) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    ASSERT_EQ(0, Feed(info, {"GET / HTTP/1.1\r\nX-A: one\r\nx-a: two\r\n\r\n"}));
    const Observed o = Observe(*info, 0);
    EXPECT_EQ((HeaderList{{"X-A", "one"}, {"x-a", "two"}}), o.headers);
    std::string value;
    EXPECT_EQ(0, info->GetHeaderValue("X-a", value));
    EXPECT_EQ("one", value);
}

TEST(HttpParserHeaders, NamesAndValuesAreTrimmedAndSplitAtFirstColon) {
    const Observed o =
        ParseWhole("GET / HTTP/1.1\r\n  Host \t:  10.0.0.1:80 \t\r\nX-Empty:\r\n\r\n");
    EXPECT_EQ((HeaderList{{"Host", "10.0.0.1:80"}, {"X-Empty", ""}}), o.headers);
}

TEST(HttpParserHeaders, LineWithoutColonContinuesLastValueUntrimmed) {
    zel_test::LogCapture logs;
    const Observed o = ParseWhole("GET / HTTP/1.1\r\nX-A: a\r\n b c\r\nX-B: d\r\n\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ((HeaderList{{"X-A", "a b c"}, {"X-B", "d"}}), o.headers);
    EXPECT_TRUE(logs.Contains("colon not found in header"));
}

TEST(HttpParserHeaders, LineWithColonIsNewHeaderWhateverItsFirstCharacter) {
    const Observed o = ParseWhole("GET / HTTP/1.1\r\nX-A: a\r\n\tX-B: b\r\n\r\n");
    EXPECT_EQ((HeaderList{{"X-A", "a"}, {"X-B", "b"}}), o.headers);
}

TEST(HttpParserHeaders, ContinuationWithoutHeaderFails) {
    zel_test::LogCapture logs;
    const Observed o = ParseWhole("GET / HTTP/1.1\r\nno colon here\r\n\r\n");
    EXPECT_EQ(1, o.lastResult);
    EXPECT_EQ(MESSAGE_ERROR, o.state);
    EXPECT_EQ(STAGE_START_LINE, o.stage);
    EXPECT_TRUE(logs.Contains("colon not found in header"));
    EXPECT_TRUE(logs.Contains("StoreHeader failed!"));
}

TEST(HttpParserHeaders, EmptyHeaderNameFails) {
    zel_test::LogCapture logs;
    const Observed o = ParseWhole("GET / HTTP/1.1\r\nX-A: a\r\n : b\r\n\r\n");
    EXPECT_EQ(1, o.lastResult);
    EXPECT_EQ(MESSAGE_ERROR, o.state);
    EXPECT_TRUE(logs.Contains("Invalid input"));
    EXPECT_TRUE(logs.Contains("StoreHeader failed!"));
}

TEST(HttpParserHeaders, LineStartingWithCrEndsTheHeaders) {
    // A lone CR at the start of a line is taken for the blank line; the
    // lines after it are not headers.
    const Observed o = ParseWhole("GET / HTTP/1.1\r\nX-A: a\r\n\rX-B: b\r\n\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ((HeaderList{{"X-A", "a"}}), o.headers);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

TEST(HttpParserHeaders, HeadSplitInsideBlankLineParsesTheSame) {
    const std::string head = "GET /d HTTP/1.1\r\nHost: h\r\n";
    const Observed whole = ParseWhole(head + "\r\n");
    EXPECT_EQ(whole, ParsePackets({head + "\r", "\n"}));
    EXPECT_EQ(whole, ParsePackets({head, "\r\n"}));
    EXPECT_EQ(whole, ParsePackets({"GET /d HTTP/1.1\r\nHo", "st: h\r\n\r\n"}));
    EXPECT_EQ(whole, ParsePackets({"GE", "T /d HTTP/1.1\r\nHost: h\r\n\r\n"}));
}

// ---------------------------------------------------------------------------
// Body encodings.
// ---------------------------------------------------------------------------

TEST(HttpParserEncoding, SsdpAliveIgnoresContentLength) {
    const Observed o =
        ParseWhole("NOTIFY * HTTP/1.1\r\nNTS: SSDP:ALIVE\r\nContent-Length: 10\r\n\r\n0123456789");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
    EXPECT_EQ(ENCODING_NONE, o.encoding);
    EXPECT_EQ("", o.body);
    const Observed byebye =
        ParseWhole("NOTIFY * HTTP/1.1\r\nNTS: ssdp:byebye\r\nContent-Length: 10\r\n\r\n0123456789");
    EXPECT_EQ(MESSAGE_COMPLETE, byebye.state);
    EXPECT_EQ("", byebye.body);
}

TEST(HttpParserEncoding, NotifyWithOtherNtsReadsItsBody) {
    const Observed o =
        ParseWhole("NOTIFY /cb HTTP/1.1\r\nNTS: ssdp:alive-ish\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(ENCODING_CONTENT_LENGTH, o.encoding);
    EXPECT_EQ("abc", o.body);
}

TEST(HttpParserEncoding, BodylessMethodsIgnoreContentLength) {
    for (const char* method : {"GET", "HEAD", "SUBSCRIBE", "UNSUBSCRIBE", "M-SEARCH"}) {
        const Observed o =
            ParseWhole(std::string(method) + " / HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
        EXPECT_EQ(MESSAGE_COMPLETE, o.state) << method;
        EXPECT_EQ("", o.body) << method;
    }
}

TEST(HttpParserEncoding, ResponseWithUsnCompletesAtBlankLine) {
    const Observed o = ParseWhole("HTTP/1.1 200 OK\r\nusn: x\r\nContent-Length: 4\r\n\r\nbody");
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
    EXPECT_EQ(ENCODING_NONE, o.encoding);
    EXPECT_EQ("", o.body);
}

TEST(HttpParserEncoding, ZeroOrEmptyContentLengthCompletesAtBlankLine) {
    for (const char* value : {"0", "", "+0", "000"}) {
        const Observed o = ParseWhole(std::string("POST /c HTTP/1.1\r\nContent-Length: ") + value +
                                      "\r\n\r\nignored");
        EXPECT_EQ(0, o.lastResult) << value;
        EXPECT_EQ(MESSAGE_COMPLETE, o.state) << value;
        EXPECT_EQ(ENCODING_NONE, o.encoding) << value;
        EXPECT_EQ("", o.body) << value;
    }
}

TEST(HttpParserEncoding, UnconvertibleContentLengthFailsLeavingStateUntouched) {
    for (const char* value : {"abc", "12a", "-5", "18446744073709551616", "1 2"}) {
        zel_test::LogCapture logs;
        const Observed o = ParseWhole(std::string("POST /c HTTP/1.1\r\nContent-Length: ") + value +
                                      "\r\n\r\nbody");
        EXPECT_EQ(1, o.lastResult) << value;
        EXPECT_EQ(MESSAGE_INCOMPLETE, o.state) << value;
        EXPECT_EQ(STAGE_START_LINE, o.stage) << value;
        EXPECT_TRUE(logs.Contains("Invalid Val, can not convert to int")) << value;
        EXPECT_TRUE(logs.Contains("UNIDENTIFIED encoding type!")) << value;
    }
}

TEST(HttpParserEncoding, ContentLengthAcceptsLeadingPlusAndFullRange) {
    const Observed plus = ParseWhole("POST /c HTTP/1.1\r\nContent-Length: +3\r\n\r\nabc");
    EXPECT_EQ("abc", plus.body);
    EXPECT_EQ(MESSAGE_COMPLETE, plus.state);
    const Observed huge =
        ParseWhole("POST /c HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\nabc");
    EXPECT_EQ(0, huge.lastResult);
    EXPECT_EQ(18446744073709551615ull, huge.contentLength);
    EXPECT_EQ(MESSAGE_INCOMPLETE, huge.state);
}

TEST(HttpParserEncoding, SurplusBytesBeyondContentLengthAreDropped) {
    const Observed o = ParseWhole("POST /c HTTP/1.1\r\nContent-Length: 5\r\n\r\n12345678");
    EXPECT_EQ("12345", o.body);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
    const Observed split =
        ParsePackets({"POST /c HTTP/1.1\r\nContent-Length: 5\r\n\r\n12", "345678"});
    EXPECT_EQ(o, split);
}

TEST(HttpParserEncoding, ContentLengthBodyAccumulatesOverPackets) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    ASSERT_EQ(0, Feed(info, {"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n"}));
    EXPECT_EQ(STAGE_HEADERS_DONE, info->GetStatus());
    EXPECT_EQ(MESSAGE_INCOMPLETE, info->GetState());
    EXPECT_EQ(0u, info->GetProcessedBodySize());
    ASSERT_EQ(0, Feed(info, {"abc"}));
    EXPECT_EQ(MESSAGE_INCOMPLETE, info->GetState());
    EXPECT_EQ(3u, info->GetProcessedBodySize());
    ASSERT_EQ(0, Feed(info, {"defg"}));
    EXPECT_EQ(MESSAGE_COMPLETE, info->GetState());
    std::string body;
    info->ReadBody(body);
    EXPECT_EQ("abcdef", body);
}

TEST(HttpParserEncoding, PostWithoutLengthRunsUntilClose) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    ASSERT_EQ(0, Feed(info, {"POST /c HTTP/1.1\r\n\r\nab", "cd", "ef"}));
    EXPECT_EQ(ENCODING_UNTIL_CLOSE, info->GetBodyEncoding());
    EXPECT_EQ(MESSAGE_INCOMPLETE, info->GetState());
    std::string body;
    info->ReadBody(body);
    EXPECT_EQ("abcdef", body);
}

TEST(HttpParserEncoding, UnsupportedTransferEncodingFails) {
    zel_test::LogCapture logs;
    const Observed o =
        ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(1, o.lastResult);
    EXPECT_EQ(MESSAGE_INCOMPLETE, o.state);
    EXPECT_TRUE(logs.Contains("Un-supported Transfer-Encoding value [gzip]!"));
    EXPECT_TRUE(logs.Contains("UNIDENTIFIED encoding type!"));
}

TEST(HttpParserEncoding, TransferEncodingWinsOverContentLength) {
    const Observed o = ParseWhole(
        "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTRANSFER-ENCODING: chunked\r\n\r\n"
        "3\r\nabc\r\n0\r\n\r\n");
    EXPECT_EQ(ENCODING_CHUNKED, o.encoding);
    EXPECT_EQ("abc", o.body);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

TEST(HttpParserEncoding, BytesAfterCompleteMessageAreIgnored) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    ASSERT_EQ(0, Feed(info, {"GET / HTTP/1.1\r\n\r\nGET /next HTTP/1.1\r\n\r\n"}));
    ASSERT_EQ(0, Feed(info, {"more bytes\r\n\r\n"}));
    const Observed o = Observe(*info, 0);
    EXPECT_EQ("/", o.uri);
    EXPECT_EQ("", o.body);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

TEST(HttpParserEncoding, FailedMessageStaysFailed) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    EXPECT_EQ(1, Feed(info, {"BROKEN\r\n"}));
    EXPECT_EQ(1, Feed(info, {"GET / HTTP/1.1\r\n\r\n"}));
    EXPECT_EQ(MESSAGE_ERROR, info->GetState());
    info->CleanInfo();
    EXPECT_EQ(0, Feed(info, {"GET / HTTP/1.1\r\n\r\n"}));
    EXPECT_EQ(MESSAGE_COMPLETE, info->GetState());
}

// ---------------------------------------------------------------------------
// Chunked transfer coding.
// ---------------------------------------------------------------------------

const char kChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST(HttpParserChunked, TwoChunksAndLastChunkEverywhereSplit) {
    const std::string message = std::string(kChunkedHead) + "4\r\nWiki\r\n5\r\npedia\r\n0\r\n\r\n";
    const Observed whole = ParseWhole(message);
    EXPECT_EQ("Wikipedia", whole.body);
    EXPECT_EQ(MESSAGE_COMPLETE, whole.state);
    const size_t head = sizeof(kChunkedHead) - 1;
    for (size_t a = head; a < message.size(); ++a) {
        for (size_t b = a + 1; b < message.size(); ++b) {
            for (size_t c = b + 1; c < message.size(); ++c) {
                ASSERT_EQ(whole, ParsePackets(SplitAt(message, {a, b, c})))
                    << a << " " << b << " " << c;
            }
        }
    }
}

TEST(HttpParserChunked, LogsPacketEndsAndLastChunk) {
    zel_test::LogCapture logs;
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    ASSERT_EQ(0, Feed(info, {std::string(kChunkedHead) + "4\r\nWi"}));
    EXPECT_TRUE(logs.Contains("End of current packet!"));
    ASSERT_EQ(0, Feed(info, {"ki\r\n1"}));
    EXPECT_TRUE(logs.Contains("Did not receive enough data!"));
    EXPECT_EQ(MESSAGE_INCOMPLETE, info->GetState());
    ASSERT_EQ(0, Feed(info, {"0\r\n0123456789abcdef\r\n0\r\n\r\n"}));
    EXPECT_TRUE(logs.Contains("End of chunked encoded data!"));
    EXPECT_EQ(MESSAGE_COMPLETE, info->GetState());
    std::string body;
    info->ReadBody(body);
    EXPECT_EQ("Wiki0123456789abcdef", body);
}

TEST(HttpParserChunked, EmptyChunkSizeLineFails) {
    zel_test::LogCapture logs;
    const Observed o = ParseWhole(std::string(kChunkedHead) + "3\r\nabc\r\n\r\n0\r\n\r\n");
    EXPECT_EQ(1, o.lastResult);
    EXPECT_EQ(MESSAGE_ERROR, o.state);
    EXPECT_EQ("abc", o.body);
    EXPECT_TRUE(logs.Contains("Invalid CRLF!"));
}

TEST(HttpParserChunked, EmptyChunkSizeLineFailsWhenSplitAfterItsCr) {
    zel_test::LogCapture logs;
    const Observed o = ParsePackets({std::string(kChunkedHead) + "\r", "\n0\r\n\r\n"});
    EXPECT_EQ(1, o.lastResult);
    EXPECT_EQ(MESSAGE_ERROR, o.state);
    EXPECT_TRUE(logs.Contains("Invalid CRLF!"));
}

TEST(HttpParserChunked, SizeIsReadLikeStrtol) {
    // Extension, upper-case digits, "0x" prefix, leading blanks.
    const Observed o = ParseWhole(std::string(kChunkedHead) +
                                  "A;foo=bar\r\n0123456789\r\n0x2\r\nxy\r\n 1\r\nz\r\n0\r\n\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ("0123456789xyz", o.body);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

TEST(HttpParserChunked, NonHexSizeIsTheLastChunk) {
    const Observed o = ParseWhole(std::string(kChunkedHead) + "2\r\nab\r\nzz\r\ncd\r\n");
    EXPECT_EQ(0, o.lastResult);
    EXPECT_EQ("ab", o.body);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

TEST(HttpParserChunked, NegativeOrOversizeChunkFails) {
    for (const char* size : {"-5", "100000000", "7fffffffffffffffff"}) {
        zel_test::LogCapture logs;
        const Observed o = ParseWhole(std::string(kChunkedHead) + size + "\r\nabc\r\n");
        EXPECT_EQ(1, o.lastResult) << size;
        EXPECT_EQ(MESSAGE_ERROR, o.state) << size;
        EXPECT_TRUE(logs.Contains("Invalid chunk size")) << size;
    }
}

TEST(HttpParserChunked, LargestChunkSizeWaitsForData) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    ASSERT_EQ(0, Feed(info, {std::string(kChunkedHead) + "ffffffff\r\nabc"}));
    EXPECT_EQ(MESSAGE_INCOMPLETE, info->GetState());
    EXPECT_EQ(3u, info->GetProcessedBodySize());
}

TEST(HttpParserChunked, LongSizeLineSplitOverManyPackets) {
    const std::string sizeLine = std::string(100, '0') + "3;" + std::string(200, 'e') + "\r\n";
    const std::string message = std::string(kChunkedHead) + sizeLine + "abc\r\n0\r\n\r\n";
    const Observed whole = ParseWhole(message);
    EXPECT_EQ("abc", whole.body);
    EXPECT_EQ(MESSAGE_COMPLETE, whole.state);
    std::vector<std::string> packets;
    for (size_t i = 0; i < message.size(); i += 7)
        packets.push_back(message.substr(i, 7));
    EXPECT_EQ(whole, ParsePackets(packets));
}

TEST(HttpParserChunked, ClosingCrLfIsSkippedUnchecked) {
    // The two bytes after a chunk's data are skipped whatever they are.
    const Observed o = ParseWhole(std::string(kChunkedHead) + "3\r\nabcXY2\r\nde\r\n0\r\n\r\n");
    EXPECT_EQ("abcde", o.body);
    EXPECT_EQ(MESSAGE_COMPLETE, o.state);
}

// ---------------------------------------------------------------------------
// Arguments and the byte search.
// ---------------------------------------------------------------------------

TEST(HttpParserArguments, NullInfoFails) {
    zel_test::LogCapture logs;
    boost::shared_ptr<HTTPInfo> none;
    EXPECT_EQ(1, Parse("GET / HTTP/1.1\r\n\r\n", 18, none));
    EXPECT_TRUE(logs.Contains("Invalid params!!!"));
}

TEST(HttpParserArguments, EmptyPacketIsDoneWithoutChange) {
    zel_test::LogCapture logs;
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    EXPECT_EQ(0, Parse(nullptr, 5, info));
    EXPECT_EQ(PARSING_PACKET_DONE, info->GetParsingStatus());
    info->SetParsingStatus(PARSING_CONTINUE);
    EXPECT_EQ(0, Parse("GET", 0, info));
    EXPECT_EQ(PARSING_PACKET_DONE, info->GetParsingStatus());
    EXPECT_EQ(2u, logs.Count("Has nothing to be parsed!!!"));
    EXPECT_EQ(STAGE_NONE, info->GetStatus());
}

TEST(HttpParserArguments, StaleDoneStatusDoesNotStopTheNextPacket) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    const std::string first = "POST /c HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
    ASSERT_EQ(0, Parse(first.data(), static_cast<unsigned>(first.size()), info));
    // The receiver forgot to reset the parsing status.
    ASSERT_EQ(0, Parse("body", 4, info));
    EXPECT_EQ(MESSAGE_COMPLETE, info->GetState());
}

TEST(HttpParserFindBytes, BoundsAndFirstOccurrence) {
    const char text[] = "ab\r\n\r\r\n\r\ncd";
    const size_t n = sizeof(text) - 1;
    EXPECT_EQ(5, FindBytes(text, n, "\r\n\r\n", 4));
    EXPECT_EQ(-1, FindBytes(text, 8, "\r\n\r\n", 4));
    EXPECT_EQ(5, FindBytes(text, 9, "\r\n\r\n", 4));
    EXPECT_EQ(8, FindBytes(text, n, "\ncd", 3));
    EXPECT_EQ(-1, FindBytes(text, n, "", 0));
    EXPECT_EQ(-1, FindBytes(nullptr, n, "a", 1));
    EXPECT_EQ(-1, FindBytes(text, 1, "ab", 2));
    EXPECT_EQ(0, FindBytes(text, 2, "ab", 2));
    EXPECT_EQ(-1, FindBytes(text, n, "cdx", 3));
}

TEST(HttpParserFindBytes, TrimRemovesOnlyItsCharacters) {
    std::string text = " \t\f\v\r\nva lue\n\r \x01";
    TrimHTTPText(text);
    EXPECT_EQ(std::string("va lue\n\r \x01"), text);
    text = " \r\n\t";
    TrimHTTPText(text);
    EXPECT_EQ("", text);
}

}  // namespace
