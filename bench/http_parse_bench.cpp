// Throughput of the HTTP parser on three typical inputs: an SSDP M-SEARCH, a
// SOAP POST and a 64 KiB chunked response arriving in TCP-sized packets.
// With ZEL_HAVE_HTTP_PARSER the same inputs also go through Debian's
// libhttp-parser, building the same product: the header list as name/value
// strings and the body as one string.
#include "utils/src/httpparser/httpparser.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#ifdef ZEL_HAVE_HTTP_PARSER
#include <http_parser.h>
#endif

namespace {

namespace zu = zel_upnp::utils;

// One Ethernet MSS: what a TCP session typically reads at once.
constexpr size_t kTcpPacket = 1460;
constexpr size_t kChunkedBodySize = 64 * 1024;
constexpr size_t kChunkSize = 4096;
constexpr size_t kSoapTargetSize = 2048;
constexpr int kMmapThreshold = 4 * 1024 * 1024;
constexpr int kTrimThreshold = 64 * 1024 * 1024;

typedef std::vector<std::string> Packets;

Packets WholeMessage(const std::string& message) {
    return Packets{message};
}

Packets InPackets(const std::string& message, size_t packetSize) {
    Packets packets;
    for (size_t offset = 0; offset < message.size(); offset += packetSize)
        packets.push_back(message.substr(offset, packetSize));
    return packets;
}

std::string MSearch() {
    return "M-SEARCH * HTTP/1.1\r\n"
           "HOST: 239.255.255.250:1900\r\n"
           "MAN: \"ssdp:discover\"\r\n"
           "MX: 3\r\n"
           "ST: urn:schemas-upnp-org:device:MediaRenderer:1\r\n"
           "USER-AGENT: Android/12 UPnP/1.1 ControlPoint/2.0\r\n"
           "CPFN.UPNP.ORG: Living room tablet\r\n"
           "CPUUID.UPNP.ORG: 5e3a0c1e-1dd2-11b2-8f7a-c4b1e1d20a01\r\n"
           "TCPPORT.UPNP.ORG: 8058\r\n\r\n";
}

std::string SoapPost() {
    std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
        "<u:SetAVTransportURI xmlns:u=\"urn:schemas-upnp-org:service:AVTransport:1\">"
        "<InstanceID>0</InstanceID><CurrentURI>http://192.168.1.7:8058/media/track01.flac"
        "</CurrentURI><CurrentURIMetaData>";
    const std::string tail = "</CurrentURIMetaData></u:SetAVTransportURI></s:Body></s:Envelope>";
    const std::string headPrefix =
        "POST /upnp/control/AVTransport HTTP/1.1\r\n"
        "HOST: 192.168.1.20:49152\r\n"
        "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
        "SOAPACTION: \"urn:schemas-upnp-org:service:AVTransport:1#SetAVTransportURI\"\r\n"
        "USER-AGENT: Android/12 UPnP/1.1 ControlPoint/2.0\r\n"
        "CONTENT-LENGTH: ";
    // Escaped DIDL-Lite metadata fills the message up to about 2 KB.
    const std::string item =
        "&lt;item id=&quot;1&quot;&gt;&lt;dc:title&gt;Track&lt;/dc:title&gt;&lt;/item&gt;";
    while (headPrefix.size() + body.size() + tail.size() + item.size() + 8 < kSoapTargetSize)
        body += item;
    body += tail;
    return headPrefix + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ChunkedResponse() {
    std::string message =
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: audio/L16;rate=44100;channels=2\r\n"
        "Transfer-Encoding: chunked\r\n"
        "transferMode.dlna.org: Streaming\r\n"
        "Date: Sun, 06 Dec 2026 00:10:00 GMT\r\n\r\n";
    char sizeLine[32];
    for (size_t sent = 0; sent < kChunkedBodySize; sent += kChunkSize) {
        std::snprintf(sizeLine, sizeof(sizeLine), "%zx\r\n", kChunkSize);
        message += sizeLine;
        for (size_t i = 0; i < kChunkSize; ++i)
            message += static_cast<char>('a' + (sent + i) % 26);
        message += "\r\n";
    }
    message += "0\r\n\r\n";
    return message;
}

size_t TotalBytes(const Packets& packets) {
    size_t total = 0;
    for (const std::string& packet : packets)
        total += packet.size();
    return total;
}

void RunZel(benchmark::State& state, const Packets& packets) {
    for (auto _ : state) {
        boost::shared_ptr<zu::HTTPInfo> info = boost::make_shared<zu::HTTPInfo>();
        for (const std::string& packet : packets) {
            const unsigned length = static_cast<unsigned>(packet.size());
            if (zu::Parse(packet.data(), length, info) != 0) {
                state.SkipWithError("parse failed");
                return;
            }
            info->SetParsingStatus(zu::PARSING_CONTINUE);
        }
        if (info->GetState() != zu::MESSAGE_COMPLETE) {
            state.SkipWithError("message incomplete");
            return;
        }
        std::string body;
        info->ReadBody(body);
        std::vector<zu::NameValue*> headers;
        info->GetHeader(headers);
        benchmark::DoNotOptimize(body.data());
        benchmark::DoNotOptimize(headers.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalBytes(packets)));
}

void BM_Zel_MSearch(benchmark::State& state) {
    RunZel(state, WholeMessage(MSearch()));
}
void BM_Zel_SoapPost(benchmark::State& state) {
    RunZel(state, WholeMessage(SoapPost()));
}
void BM_Zel_Chunked64K(benchmark::State& state) {
    RunZel(state, InPackets(ChunkedResponse(), kTcpPacket));
}
BENCHMARK(BM_Zel_MSearch);
BENCHMARK(BM_Zel_SoapPost);
BENCHMARK(BM_Zel_Chunked64K);

#ifdef ZEL_HAVE_HTTP_PARSER

// What the callbacks build; a field or value may arrive in several pieces
// when it straddles packets.
struct PeerMessage {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool inValue = false;
    bool complete = false;
};

int OnUrl(http_parser* parser, const char* at, size_t length) {
    static_cast<PeerMessage*>(parser->data)->url.append(at, length);
    return 0;
}

int OnHeaderField(http_parser* parser, const char* at, size_t length) {
    PeerMessage* message = static_cast<PeerMessage*>(parser->data);
    if (message->headers.empty() || message->inValue)
        message->headers.emplace_back();
    message->inValue = false;
    message->headers.back().first.append(at, length);
    return 0;
}

int OnHeaderValue(http_parser* parser, const char* at, size_t length) {
    PeerMessage* message = static_cast<PeerMessage*>(parser->data);
    message->inValue = true;
    message->headers.back().second.append(at, length);
    return 0;
}

int OnBody(http_parser* parser, const char* at, size_t length) {
    static_cast<PeerMessage*>(parser->data)->body.append(at, length);
    return 0;
}

int OnMessageComplete(http_parser* parser) {
    static_cast<PeerMessage*>(parser->data)->complete = true;
    return 0;
}

void RunPeer(benchmark::State& state, const Packets& packets) {
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_url = OnUrl;
    settings.on_header_field = OnHeaderField;
    settings.on_header_value = OnHeaderValue;
    settings.on_body = OnBody;
    settings.on_message_complete = OnMessageComplete;
    for (auto _ : state) {
        PeerMessage message;
        http_parser parser;
        http_parser_init(&parser, HTTP_BOTH);
        parser.data = &message;
        for (const std::string& packet : packets) {
            const size_t taken =
                http_parser_execute(&parser, &settings, packet.data(), packet.size());
            if (taken != packet.size() && !message.complete) {
                state.SkipWithError(http_errno_name(HTTP_PARSER_ERRNO(&parser)));
                return;
            }
        }
        if (!message.complete) {
            state.SkipWithError("message incomplete");
            return;
        }
        benchmark::DoNotOptimize(message.body.data());
        benchmark::DoNotOptimize(message.headers.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TotalBytes(packets)));
}

void BM_HttpParser_MSearch(benchmark::State& state) {
    RunPeer(state, WholeMessage(MSearch()));
}
void BM_HttpParser_SoapPost(benchmark::State& state) {
    RunPeer(state, WholeMessage(SoapPost()));
}
void BM_HttpParser_Chunked64K(benchmark::State& state) {
    RunPeer(state, InPackets(ChunkedResponse(), kTcpPacket));
}
BENCHMARK(BM_HttpParser_MSearch);
BENCHMARK(BM_HttpParser_SoapPost);
BENCHMARK(BM_HttpParser_Chunked64K);

#endif  // ZEL_HAVE_HTTP_PARSER

}  // namespace

int main(int argc, char** argv) {
    // The parser's per-packet debug messages would otherwise be measured;
    // an explicit ZEL_LOG_LEVEL still wins.
    setenv("ZEL_LOG_LEVEL", "none", 0);
    // Fixed mmap and trim thresholds keep every allocation of both parsers
    // on a heap that is not given back to the kernel between iterations.
    // With glibc's sliding defaults, whether a 128 KiB string or block is
    // mapped, or the heap top trimmed and faulted in again, on each iteration
    // depends on what ran before, and that swamps the parsing being measured.
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
