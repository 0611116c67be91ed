#include "utils/src/httpparser/httpparser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <boost/make_shared.hpp>

namespace {

using namespace zel_upnp::utils;

// Names and values in turn, in arrival order.
typedef std::vector<std::string> HeaderList;

// Everything a receiver can observe of a parsed message.
struct Observed {
    std::string startLine, uri;
    HTTPRequest type;
    bool isRequest;
    int major, minor;
    uint32_t code;
    HeaderList headers;
    HTTPBodyEncoding encoding;
    uint64_t contentLength;
    std::string body;
    HTTPMessageState state;
    int stage = STAGE_HEADERS_DONE;
    int rc = 0;

    auto Fields() const {
        return std::make_tuple(startLine, uri, type, isRequest, major, minor, code, headers,
                               encoding, contentLength, body, state, stage, rc);
    }
    bool operator==(const Observed& o) const { return Fields() == o.Fields(); }
    friend void PrintTo(const Observed& o, std::ostream* os) {
        *os << ::testing::PrintToString(o.Fields());
    }
};

Observed Observe(HTTPInfo& info, int rc) {
    Observed o{};
    o.rc = rc;
    info.GetStartLine(o.startLine);
    info.GetURI(o.uri);
    o.type = info.GetRequestType();
    o.isRequest = info.IsRequest();
    info.GetHTTPVersion(o.major, o.minor);
    o.code = info.GetStatusCode();
    std::vector<NameValue*> headers;
    info.GetHeader(headers);
    for (const NameValue* h : headers) {
        o.headers.push_back(h->name);
        o.headers.push_back(h->value);
    }
    o.encoding = info.GetBodyEncoding();
    o.contentLength = info.GetContentLength();
    info.ReadBody(o.body);
    o.state = info.GetState();
    o.stage = info.GetStatus();
    return o;
}

// Feeds the packets the way a receiver does: stops at the first failure and
// resets the parsing status after every call, each of which must have
// finished its packet.
int Feed(boost::shared_ptr<HTTPInfo>& info, const std::vector<std::string>& packets) {
    int rc = 0;
    for (const std::string& packet : packets) {
        rc = Parse(packet.data(), static_cast<unsigned>(packet.size()), info);
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

// Messages up to this size are also split at every pair of points; bodies up
// to the second limit at every triple of points inside the body, where the
// chunk decoder carries its state from packet to packet.
constexpr size_t kPairSplitLimit = 600;
constexpr size_t kTripleSplitBodyLimit = 64;

// The message whole, in one-byte packets, and split at every point (pairs
// and triples as above) must give the same observation.
void ExpectSplitInvariant(const std::string& message, const Observed& expected) {
    EXPECT_EQ(expected, ParsePackets({message}));
    std::vector<std::string> bytes;
    for (char c : message)
        bytes.emplace_back(1, c);
    EXPECT_EQ(expected, ParsePackets(bytes)) << "one-byte packets";
    const size_t n = message.size();
    const size_t blank = message.find("\r\n\r\n");
    const size_t head = blank == std::string::npos ? n : blank + 4;
    const bool triples = n - head <= kTripleSplitBodyLimit;
    for (size_t a = 1; a < n; ++a) {
        ASSERT_EQ(expected, ParsePackets(SplitAt(message, {a}))) << "split at " << a;
        for (size_t b = a + 1; n <= kPairSplitLimit && b < n; ++b) {
            ASSERT_EQ(expected, ParsePackets(SplitAt(message, {a, b})))
                << "split at " << a << " " << b;
            for (size_t c = b + 1; triples && a >= head && c < n; ++c) {
                ASSERT_EQ(expected, ParsePackets(SplitAt(message, {a, b, c})))
                    << "split at " << a << " " << b << " " << c;
            }
        }
    }
}

struct Sample {
    const char* name;
    std::string message;
    Observed expected;
};

Observed Msg(const std::string& startLine, const std::string& uri, HTTPRequest type, bool isRequest,
             int major, int minor, uint32_t code, HTTPBodyEncoding encoding, uint64_t contentLength,
             const std::string& body, HTTPMessageState state, const HeaderList& headers) {
    return {startLine, uri,     type,     isRequest,     major, minor,
            code,      headers, encoding, contentLength, body,  state};
}

const char kChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const char kSoapBody[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
    "<u:GetVolume xmlns:u=\"urn:schemas-upnp-org:service:RenderingControl:1\">"
    "<InstanceID>0</InstanceID><Channel>Master</Channel></u:GetVolume>"
    "</s:Body></s:Envelope>";

// A well-formed message whose wire form is its expected start line, headers
// and body.
Sample Wire(const char* name, const Observed& expected) {
    std::string message = expected.startLine + "\r\n";
    for (size_t i = 0; i + 1 < expected.headers.size(); i += 2)
        message += expected.headers[i] + ": " + expected.headers[i + 1] + "\r\n";
    return {name, message + "\r\n" + expected.body, expected};
}

Sample Chunked(const char* name, const std::string& data, const std::string& body,
               HTTPMessageState state) {
    return {name, kChunkedHead + data,
            Msg("HTTP/1.1 200 OK", "", HTTP_UNKNOWN, false, 1, 1, 200, ENCODING_CHUNKED, 0, body,
                state, {"Transfer-Encoding", "chunked"})};
}

std::vector<Sample> Samples() {
    const std::string soap = kSoapBody;
    const std::string soapLength = std::to_string(soap.size());
    // Stream bytes with a NUL and a blank line among them.
    const char kStream[] = "\x47\x00\x11\r\n\r\n\xff\x10 until the peer closes";
    const std::string stream(kStream, sizeof(kStream) - 1);
    const std::string longSizeLine = std::string(100, '0') + "3;" + std::string(200, 'e');
    const auto done = MESSAGE_COMPLETE;

    std::vector<Sample> samples = {
        Wire("soap_post",
             Msg("POST /upnp/control/RenderingControl HTTP/1.1", "/upnp/control/RenderingControl",
                 HTTP_POST, true, 1, 1, 0, ENCODING_CONTENT_LENGTH, soap.size(), soap, done,
                 {"HOST", "192.168.1.20:49152", "CONTENT-TYPE", "text/xml; charset=\"utf-8\"",
                  "SOAPACTION", "\"urn:schemas-upnp-org:service:RenderingControl:1#GetVolume\"",
                  "CONTENT-LENGTH", soapLength})),
        Wire("until_close",
             Msg("HTTP/1.0 200 OK", "", HTTP_UNKNOWN, false, 1, 0, 200, ENCODING_UNTIL_CLOSE, 0,
                 stream, MESSAGE_INCOMPLETE, {"Content-Type", "video/mpeg"})),
        Wire("largest_length", Msg("POST /c HTTP/1.1", "/c", HTTP_POST, true, 1, 1, 0,
                                   ENCODING_CONTENT_LENGTH, 18446744073709551615ull, "abc",
                                   MESSAGE_INCOMPLETE, {"Content-Length", "18446744073709551615"})),
        Wire("lower_case_method",
             Msg("get /x HTTP/1.1", "/x", HTTP_UNKNOWN, true, 1, 1, 0, ENCODING_CONTENT_LENGTH, 2,
                 "ab", done, {"Content-Length", "2"})),
        // Leading "+" accepted; the surplus after the length is dropped.
        {"surplus_after_length", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\n12345678",
         Msg("HTTP/1.1 200 OK", "", HTTP_UNKNOWN, false, 1, 1, 200, ENCODING_CONTENT_LENGTH, 5,
             "12345", done, {"Content-Length", "+5"})},
        // Trimmed; the URI ends at the second space; the protocol name is
        // not checked.
        {"trimmed_start_line", "  GET /a b FOO/2.0 \r\n\r\n",
         Msg("GET /a b FOO/2.0", "/a", HTTP_GET, true, 2, 0, 0, ENCODING_NONE, 0, "", done, {})},
        // Values trimmed of spaces and tabs, an empty value, a tab and
        // obs-text inside a value, a repeated name.
        {"header_lines",
         "GET / HTTP/1.1\r\nHost:  10.0.0.1:80 \t\r\nX-Empty:\r\nX-A: a\tb \xe9\r\n"
         "x-a: two\r\n\r\n",
         Msg("GET / HTTP/1.1", "/", HTTP_GET, true, 1, 1, 0, ENCODING_NONE, 0, "", done,
             {"Host", "10.0.0.1:80", "X-Empty", "", "X-A", "a\tb \xe9", "x-a", "two"})},
        {"bytes_after_complete", "GET / HTTP/1.1\r\n\r\nGET /next HTTP/1.1\r\n\r\n",
         Msg("GET / HTTP/1.1", "/", HTTP_GET, true, 1, 1, 0, ENCODING_NONE, 0, "", done, {})},
        {"ssdp_alive_upper_case",
         "NOTIFY * HTTP/1.1\r\nNTS: SSDP:ALIVE\r\nContent-Length: 10\r\n\r\n0123456789",
         Msg("NOTIFY * HTTP/1.1", "*", HTTP_NOTIFY, true, 1, 1, 0, ENCODING_NONE, 0, "", done,
             {"NTS", "SSDP:ALIVE", "Content-Length", "10"})},
        {"chunked_body",
         "HTTP/1.1 206 Partial Content\r\nTRANSFER-ENCODING: Chunked\r\n"
         "\r\n5\r\nhello\r\n7;name=value\r\n, world\r\n1A\r\nabcdefghijklmnopqrstuvwxyz\r\n"
         "1\r\n\n\r\n0\r\n\r\n",
         Msg("HTTP/1.1 206 Partial Content", "", HTTP_UNKNOWN, false, 1, 1, 206, ENCODING_CHUNKED,
             0, "hello, worldabcdefghijklmnopqrstuvwxyz\n", done,
             {"TRANSFER-ENCODING", "Chunked"})},
        // A repeated Content-Length with the same value is not ambiguous.
        {"same_length_twice",
         "POST /c HTTP/1.1\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nab",
         Msg("POST /c HTTP/1.1", "/c", HTTP_POST, true, 1, 1, 0, ENCODING_CONTENT_LENGTH, 2, "ab",
             done, {"Content-Length", "2", "content-length", "2"})},
        // Sizes are read like strtol: extension, upper case, "0x", blanks.
        Chunked("strtol_sizes", "A;foo=bar\r\n0123456789\r\n0x2\r\nxy\r\n 1\r\nz\r\n0\r\n\r\n",
                "0123456789xyz", done),
        Chunked("non_hex_size_ends", "2\r\nab\r\nzz\r\ncd\r\n", "ab", done),
        Chunked("largest_chunk_waits", "ffffffff\r\nabc", "abc", MESSAGE_INCOMPLETE),
        Chunked("long_size_line", longSizeLine + "\r\nabc\r\n0\r\n\r\n", "abc", done),
        // The two bytes after a chunk's data are skipped whatever they are.
        Chunked("closing_crlf_unchecked", "3\r\nabcXY2\r\nde\r\n0\r\n\r\n", "abcde", done),
    };
    for (HTTPRequest type : {HTTP_GET, HTTP_HEAD, HTTP_SUBSCRIBE, HTTP_UNSUBSCRIBE, HTTP_MSEARCH}) {
        const std::string line = GetRequestString(type) + " / HTTP/1.1";
        samples.push_back({"bodyless_method", line + "\r\nContent-Length: 4\r\n\r\nbody",
                           Msg(line, "/", type, true, 1, 1, 0, ENCODING_NONE, 0, "", done,
                               {"Content-Length", "4"})});
    }
    for (const char* zero : {"0", "", "+0", "000"}) {
        samples.push_back(
            {"zero_length",
             std::string("POST /c HTTP/1.1\r\nContent-Length: ") + zero + "\r\n\r\nignored",
             Msg("POST /c HTTP/1.1", "/c", HTTP_POST, true, 1, 1, 0, ENCODING_NONE, 0, "", done,
                 {"Content-Length", zero})});
    }
    return samples;
}

TEST(HttpParser, SamplesParseTheSameAtEverySplit) {
    for (const Sample& sample : Samples()) {
        SCOPED_TRACE(sample.name);
        ExpectSplitInvariant(sample.message, sample.expected);
    }
}

struct Failure {
    std::string message;
    HTTPMessageState state;
    int stage;
    size_t headers;
};

// Parse returns 1 with these, at every split; malformed lines set
// MESSAGE_ERROR, an unusable body length leaves the state alone.
TEST(HttpParser, MalformedMessagesFailAtEverySplit) {
    const std::string host = "\r\nHost: a\r\n\r\n";
    const std::string usn = "\r\nUSN: u\r\n\r\n";
    const std::string chunked = kChunkedHead;
    // A bad start line is reported as soon as its end arrives.
    std::vector<Failure> failures;
    for (const std::string& line :
         {"GET" + host, "GET /x" + host, "GET /x HTTP11" + host, "GET /x HTTP/11" + host,
          "GET /x HTTP/a.1" + host, "GET /x HTTP/1.1x" + host, "GET /x HTTP/.1" + host,
          "GET /x HTTP/99999999999.1" + host, "HTTP/1.1 200" + usn, "HTTP/1 200 OK" + usn,
          "HTTP/x.1 200 OK" + usn, "HTTP/1.1200OK" + usn, "HTTP/1.y 200 OK" + usn,
          "HTTP/1.1 2x0 OK" + usn, "HTTP/1.1 -200 OK" + usn, "HTTP/1.1 4294967296 OK" + usn})
        failures.push_back({line, MESSAGE_ERROR, STAGE_START_LINE, 0});
    // Not a token name right up to a colon: no colon, a space before it, a
    // folded continuation (after one header kept), an empty name, a
    // separator in the name.
    for (const std::string line :
         {"no colon here", "Host : a", " Host: a", "\tX-B: b", ": b", "X(A): b", "X-A: a\r\n b c"})
        failures.push_back({"GET / HTTP/1.1\r\n" + line + "\r\n\r\n", MESSAGE_ERROR,
                            STAGE_START_LINE, line.find('\n') == std::string::npos ? 0u : 1u});
    // Ambiguous framing (RFC 9112 section 6.3), whatever the method or
    // message kind: lengths that differ, a length beside a coding, a coding
    // repeated or not a lone "chunked".
    for (const std::string framing :
         {"Content-Length: 2\r\nContent-Length: 3", "Content-Length: 2\r\nContent-Length: x",
          "Content-Length: 2\r\nTransfer-Encoding: chunked",
          "Transfer-Encoding: chunked\r\nContent-Length: 2",
          "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked"}) {
        for (const std::string start : {"POST /c HTTP/1.1", "GET /c HTTP/1.1", "HTTP/1.1 200 OK"})
            failures.push_back(
                {start + "\r\n" + framing + "\r\n\r\nab", MESSAGE_ERROR, STAGE_START_LINE, 2});
    }
    for (const std::string coding : {"gzip", "gzip, chunked", "chunked, chunked", "identity"})
        failures.push_back({"HTTP/1.1 200 OK\r\nTransfer-Encoding: " + coding + "\r\n\r\nab",
                            MESSAGE_ERROR, STAGE_START_LINE, 1});
    failures.push_back(
        {chunked + "3\r\nabc\r\n\r\n0\r\n\r\n", MESSAGE_ERROR, STAGE_HEADERS_DONE, 1});
    for (const char* size : {"-5", "100000000", "7fffffffffffffffff"})
        failures.push_back({chunked + size + "\r\nabc\r\n", MESSAGE_ERROR, STAGE_HEADERS_DONE, 1});
    for (const char* length : {"abc", "12a", "-5", "18446744073709551616", "1 2"}) {
        failures.push_back(
            {std::string("POST /c HTTP/1.1\r\nContent-Length: ") + length + "\r\n\r\nbody",
             MESSAGE_INCOMPLETE, STAGE_START_LINE, 1});
    }
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.message);
        const Observed whole = ParsePackets({f.message});
        EXPECT_EQ(1, whole.rc);
        EXPECT_EQ(f.state, whole.state);
        EXPECT_EQ(f.stage, whole.stage);
        EXPECT_EQ(f.headers * 2, whole.headers.size());
        ExpectSplitInvariant(f.message, whole);
    }
}

// RFC 9112: a bare CR, a bare LF, NUL or another control character anywhere
// in the start line or a header line fails the message, whole or in two
// packets cut anywhere. Every insertion point up to the last line's CR LF.
TEST(HttpParser, ControlCharacterAnywhereInTheHeadFails) {
    const std::vector<std::string> heads = {
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
        "NTS: ssdp:alive\r\n\r\n",
        "HTTP/1.1 200 OK\r\nCONTENT-LANGUAGE: de\r\nSID: uuid:1\r\nContent-Length: 0\r\n\r\n",
    };
    for (const std::string& head : heads) {
        ASSERT_EQ(0, ParsePackets({head}).rc);
        for (const char bad : {'\r', '\n', '\0', '\x01', '\x0b', '\x1f', '\x7f'}) {
            for (size_t at = 0; at + 4 <= head.size(); ++at) {
                std::string message = head;
                message.insert(at, 1, bad);
                SCOPED_TRACE(::testing::PrintToString(message));
                EXPECT_EQ(1, ParsePackets({message}).rc);
                for (size_t cut = 1; cut < message.size(); ++cut)
                    ASSERT_EQ(1, ParsePackets(SplitAt(message, {cut})).rc) << "split at " << cut;
            }
        }
    }
}

struct Step {
    std::string packet;
    int stage;
    HTTPMessageState state;
    unsigned bodySize;
};

// What a receiver sees between packets.
TEST(HttpParser, ProgressFromPacketToPacket) {
    const std::vector<std::vector<Step>> messages = {
        {{"POST /x", STAGE_NONE, MESSAGE_INCOMPLETE, 0},
         {" HTTP/1.1\r\nContent-Length: 6\r\nHo", STAGE_START_LINE, MESSAGE_INCOMPLETE, 0},
         {"st: h\r\n\r\n", STAGE_HEADERS_DONE, MESSAGE_INCOMPLETE, 0},
         {"abc", STAGE_HEADERS_DONE, MESSAGE_INCOMPLETE, 3},
         {"defg", STAGE_HEADERS_DONE, MESSAGE_COMPLETE, 6}},
        {{kChunkedHead + std::string("4\r\nWi"), STAGE_HEADERS_DONE, MESSAGE_INCOMPLETE, 2},
         {"ki\r\n1", STAGE_HEADERS_DONE, MESSAGE_INCOMPLETE, 4},
         {"0\r\n0123456789abcdef\r\n0\r\n\r\n", STAGE_HEADERS_DONE, MESSAGE_COMPLETE, 20}},
    };
    for (const std::vector<Step>& steps : messages) {
        boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
        for (const Step& step : steps) {
            SCOPED_TRACE(step.packet);
            ASSERT_EQ(0, Feed(info, {step.packet}));
            EXPECT_EQ(step.stage, info->GetStatus());
            EXPECT_EQ(step.state, info->GetState());
            EXPECT_EQ(step.bodySize, info->GetProcessedBodySize());
        }
    }
}

TEST(HttpParser, FailedMessageStaysFailedUntilCleaned) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    boost::shared_ptr<HTTPInfo> none;
    EXPECT_EQ(1, Parse("GET / HTTP/1.1\r\n\r\n", 18, none));
    // The chunk before the empty size line stays stored.
    EXPECT_EQ(1, Feed(info, {kChunkedHead + std::string("3\r\nabc\r\n\r\n")}));
    EXPECT_EQ(3u, info->GetProcessedBodySize());
    EXPECT_EQ(1, Feed(info, {"GET / HTTP/1.1\r\n\r\n"}));
    EXPECT_EQ(MESSAGE_ERROR, info->GetState());
    info->CleanInfo();
    EXPECT_EQ(0, Feed(info, {"GET / HTTP/1.1\r\n\r\n"}));
    EXPECT_EQ(MESSAGE_COMPLETE, info->GetState());
    info->CleanInfo();
    EXPECT_EQ(0, Feed(info, {""}));
    EXPECT_EQ(0, Parse(nullptr, 5, info));
    EXPECT_EQ(PARSING_PACKET_DONE, info->GetParsingStatus());
    EXPECT_EQ(STAGE_NONE, info->GetStatus());
    // A receiver that forgets to reset the parsing status still gets the
    // next packet parsed.
    const std::string head = "POST /c HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
    ASSERT_EQ(0, Parse(head.data(), static_cast<unsigned>(head.size()), info));
    ASSERT_EQ(0, Parse("body", 4, info));
    EXPECT_EQ(MESSAGE_COMPLETE, info->GetState());
}

}  // namespace
