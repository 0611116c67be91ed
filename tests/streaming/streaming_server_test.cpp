#include "streaming/src/streaming_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>
#include "streaming/src/streaming_incoming_session.h"
#include "streaming/src/streaming_utils.h"
#include "support/log_capture.h"
#include "support/netns.h"
#include "support/peers.h"
#include "utils/src/common/ip_literal.h"

namespace {

namespace st = zel_upnp::streaming;
namespace nl = zel_upnp::network_layer;
using zel_test::WaitUntil;

// A blocking loopback client whose calls give up after the test wait.
class RawClient : public zel_test::PeerSocket {
  public:
    explicit RawClient(int port) : ok_(Connect("127.0.0.1", port)) {}
    bool Ok() const { return ok_; }
    // Reads until want bytes arrived or the peer closed.
    std::string Read(std::size_t want = SIZE_MAX) {
        std::string out;
        char buffer[65536];
        while (out.size() < want) {
            const ssize_t n = recv(fd(), buffer, std::min(sizeof(buffer), want - out.size()), 0);
            if (n <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

  private:
    const bool ok_;
};

// What the callbacks saw, and what the application does in them.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> events;  // "request <body> <complete>", "data ...", "status 4"
    std::function<void(int, int, st::ReqHeaderInfo*, bool)> on_request;
    std::function<void(int, int, bool)> on_data;
    std::function<void(int, int, unsigned)> on_write_done;
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    std::size_t Count(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(mutex);
        std::size_t n = 0;
        for (const std::string& e : events)
            n += e.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
};
Recorder* g_rec = nullptr;

std::string Block(void* data, unsigned length) {
    std::string text(static_cast<char*>(data), length);
    st::Free(data);
    return text;
}

const st::ServerAppCallbacks kCallbacks = {
    [](int, int, int) { g_rec->Add("connect"); },
    [](int, int, int code) { g_rec->Add("status " + std::to_string(code)); },
    [](int server, int session, st::ReqHeaderInfo* head, void* body, unsigned length,
       bool complete) {
        g_rec->Add("request " + Block(body, length) + (complete ? " complete" : ""));
        if (g_rec->on_request)
            g_rec->on_request(server, session, head, complete);
        st::FreeRequestHeader(head);
    },
    [](int server, int session, void* data, unsigned length, bool complete) {
        g_rec->Add("data " + Block(data, length) + (complete ? " complete" : ""));
        if (g_rec->on_data)
            g_rec->on_data(server, session, complete);
    },
    [](int server, int session, unsigned length) {
        g_rec->Add("written " + std::to_string(length));
        if (g_rec->on_write_done)
            g_rec->on_write_done(server, session, length);
    },
};

void Respond(int server, int session, int status, const char* te, long long length, bool last) {
    st::ResHeaderInfo head = st::ResHeaderInfo();
    head.http_version = st::HTTP_VERSION_1_1;
    head.status_code = status;
    head.transfer_encoding = const_cast<char*>(te);
    head.content_length = length;
    EXPECT_EQ(st::SendHTTPResponse(server, session, &head, last), 0);
}

// A malloc'ed payload the library takes over with the last flag.
void* Payload(const std::string& bytes) {
    void* data = std::malloc(bytes.size() + 1);
    std::memcpy(data, bytes.data(), bytes.size());
    return data;
}

class StreamingServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_rec = &rec_;
        ASSERT_EQ(nl::InitializeNetworkLayer(), 0);
        ASSERT_EQ(nl::StartNetworkLayer(), 0);
        ASSERT_EQ(nl::NotifyNICAdded("lo", "127.0.0.1", "255.0.0.0"), 0);
        ASSERT_EQ(st::InitializeStreamingManager(), 0);
        ASSERT_EQ(st::StartServers(&kCallbacks, "127.0.0.1", 0, &servers_, &profile_), 0);
        ASSERT_NE(servers_, nullptr);
        server_id_ = servers_->server_id;
        port_ = servers_->port;
    }
    void TearDown() override {
        st::FreeServerInfoList(servers_);
        EXPECT_EQ(st::TerminateStreamingManager(), 0);
        nl::StopNetworkLayer();
        nl::TerminateNetworkLayer();
        g_rec = nullptr;
    }
    Recorder rec_;
    st::stServer* servers_ = nullptr;
    int profile_ = 0;
    int server_id_ = 0;
    int port_ = 0;
};

TEST_F(StreamingServerTest, TakenPortGivesTheNextFreeOne) {
    st::stServer* more = nullptr;
    int profile = 0;
    ASSERT_EQ(st::StartServers(&kCallbacks, "127.0.0.1", port_, &more, &profile), 0);
    ASSERT_NE(more, nullptr);
    EXPECT_GT(more->port, port_);
    EXPECT_LT(more->port, port_ + st::TCPServer::kBindAttempts);
    EXPECT_EQ(more->server_id, server_id_ + 1);
    int port = 0;
    EXPECT_EQ(st::GetStreamingServerPort(profile, "127.0.0.1", &port), 0);
    EXPECT_EQ(port, more->port);
    st::FreeServerInfoList(more);
    EXPECT_EQ(st::StopServers(profile), 0);
}

// A server on an IPv6 address, fetched by the synchronous client with the
// Host header an application builds for it.
TEST_F(StreamingServerTest, ServesAClientOverIpv6) {
    ASSERT_EQ(nl::NotifyNICAdded("lo6", "::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), 0);
    st::stServer* six = nullptr;
    int profile = 0;
    ASSERT_EQ(st::StartServers(&kCallbacks, "::1", 0, &six, &profile), 0);
    ASSERT_NE(six, nullptr);
    const int port = six->port;
    EXPECT_STREQ(six->ip_address, "::1");
    st::FreeServerInfoList(six);
    rec_.on_request = [](int server, int session, st::ReqHeaderInfo* head, bool) {
        g_rec->Add(std::string("host ") + (head->host != nullptr ? head->host : ""));
        Respond(server, session, 200, nullptr, 5, false);
        EXPECT_EQ(st::SendHTTPPayload(server, session, Payload("hello"), 5, true), 0);
    };
    int client = 0;
    ASSERT_EQ(st::StartSyncClient(&client), 0);
    ASSERT_EQ(st::ConnectSyncClient(client, "::1", port), 0);
    std::string host = zel_upnp::utils::StringUtils::HostPort("::1", port);
    st::ReqHeaderInfo request = st::ReqHeaderInfo();
    request.request_type = st::REQUEST_GET;
    request.http_version = st::HTTP_VERSION_1_1;
    request.uri = const_cast<char*>("/six");
    request.host = &host[0];
    ASSERT_EQ(st::SendSyncHTTPRequest(client, &request), 0);
    st::ResHeaderInfo* head = nullptr;
    void* body = nullptr;
    unsigned length = 0;
    bool complete = false;
    ASSERT_EQ(st::ReadHTTPHeader(client, &head, &body, length, complete), 0);
    EXPECT_EQ(head->status_code, 200);
    st::FreeResponseHeader(head);
    std::string received = body != nullptr ? Block(body, length) : "";
    for (int reads = 0; !complete && reads < 8; ++reads) {
        void* data = nullptr;
        ASSERT_EQ(st::ReadHTTPData(client, &data, length, complete), 0);
        received += data != nullptr ? Block(data, length) : "";
    }
    EXPECT_EQ(received, "hello");
    EXPECT_EQ(rec_.Count("host [::1]:" + std::to_string(port)), 1u);
    EXPECT_EQ(st::StopClientTransfer(client), 0);
    EXPECT_EQ(st::StopServers(profile), 0);
}

// A link-local address without a zone is bound on its interface's link; a
// peer on that link reaches it by the address with its own zone.
TEST_F(StreamingServerTest, ListensOnALinkLocalAddress) {
    if (!zel_test::NetnsTopology::Available())
        GTEST_SKIP() << "needs root to create network namespaces";
    using zel_test::NetnsTopology;
    NetnsTopology topo(1);
    ASSERT_TRUE(topo.Ok()) << topo.Error();
    const zel_test::NetnsLink& link = topo.Link(0);
    ASSERT_EQ(NetnsTopology::AddIpv6(topo.DeviceNs(), link.device_if, "fe80::213:1"), 0);
    ASSERT_EQ(NetnsTopology::AddIpv6(link.peer_ns, link.peer_if, "fe80::213:2"), 0);
    ASSERT_EQ(nl::NotifyNICAdded(link.device_if, "fe80::213:1", "ffff:ffff:ffff:ffff::"), 0);
    st::stServer* started = nullptr;
    int profile = 0;
    int rc = -1;
    ASSERT_TRUE(NetnsTopology::RunIn(topo.DeviceNs(), [&] {
        rc = st::StartServers(&kCallbacks, "fe80::213:1", 0, &started, &profile);
    }));
    ASSERT_EQ(rc, 0);
    ASSERT_NE(started, nullptr);
    const int port = started->port;
    st::FreeServerInfoList(started);
    rec_.on_request = [](int server, int session, st::ReqHeaderInfo*, bool) {
        Respond(server, session, 200, nullptr, 0, true);
    };
    std::string answer;
    ASSERT_TRUE(NetnsTopology::RunIn(link.peer_ns, [&] {
        boost::asio::ip::address address;
        ASSERT_TRUE(zel_upnp::utils::ParseIpLiteral("fe80::213:1%" + link.peer_if, address));
        const boost::asio::ip::tcp::endpoint server(address, static_cast<unsigned short>(port));
        const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval wait = {10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait));
        const char request[] = "GET / HTTP/1.1\r\n\r\n";
        char buffer[512];
        ssize_t n = 0;
        if (connect(fd, server.data(), server.size()) == 0 &&
            send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) > 0)
            while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0)
                answer.append(buffer, static_cast<std::size_t>(n));
        close(fd);
    }));
    EXPECT_EQ(answer.compare(0, 15, "HTTP/1.1 200 OK"), 0) << answer;
    EXPECT_EQ(st::StopServers(profile), 0);
}

// Splits at '|'.
std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t from = 0, bar = 0; from <= text.size(); from = bar + 1) {
        bar = std::min(text.find('|', from), text.size());
        out.push_back(text.substr(from, bar - from));
    }
    return out;
}

// What the application does: a head on the request (status 0 for none), a
// head of body_status once the body is complete (0 for none), and the
// payload, as the last one, whenever a write is done.
struct Exchange {
    const char* name;
    std::string segments;  // split at '|', each sent after the previous one was seen
    int status;
    const char* transfer_encoding;
    long long length;
    bool last;
    int body_status;
    std::string payload;
    std::string expected_events;  // split at '|', in order, up to the first status
    std::string expected_wire;    // everything until the server closed
    std::string in_request = "";  // payloads (at '|', the last one last) sent in on_request
};

TEST_F(StreamingServerTest, RequestAndResponseExchanges) {
    const std::string half(0x80000, 'a');
    const std::string big = std::string(1048576, 'a') + "b";
    const char* kChunked = "chunked";
    const std::string kBadRequest = "HTTP/1.1 400 Bad Request\r\n\r\n";
    const std::vector<Exchange> cases = {
        {"head in three segments", "GET /f HT|TP/1.1\r\nHost: x\r|\n\r\n", 200, nullptr, 5, false,
         0, "hello", "connect|request  complete|written 0",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
        {"post body in several reads", "POST /u HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc|defghij",
         0, nullptr, 0, false, 204, "", "connect|request abc|data defghij complete",
         "HTTP/1.1 204 No Content\r\n\r\n"},
        {"100-continue before the body is read",
         "POST /u HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n|body", 100, nullptr,
         0, false, 201, "", "connect|request |data body complete",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\n\r\n"},
        {"status 999 becomes the 500 head", "GET / HTTP/1.1\r\n\r\n", 999, nullptr, 5, false, 0, "",
         "connect|request  complete", "HTTP/1.1 500 Internal Server Error\r\n\r\n"},
        {"1048577 chunked bytes as 80000 + 80000 + 1", "GET /big HTTP/1.1\r\n\r\n", 200, kChunked,
         1048577, false, 0, big, "connect|request  complete|written 0",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n80000\r\n" + half + "\r\n80000\r\n" +
             half + "\r\n1\r\nb\r\n0\r\n\r\n"},
        {"a head that never ends", "GET / HTTP/1.1\r\n" + std::string(st::kMaxHeadSize, 'X'), 0,
         nullptr, 0, false, 0, "", "connect", kBadRequest},
        {"a chunk-size line of 100 digits",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n|" + std::string(100, '1') +
             "\r\nx\r\n",
         0, nullptr, 0, false, 0, "", "connect|request ", kBadRequest},
        {"Content-Length values that differ",
         "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 0, nullptr, 0,
         false, 0, "", "connect", kBadRequest},
        {"a body longer than its Content-Length",
         "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcdefghij", 200, nullptr, 0, true, 0, "",
         "connect|request abc complete", "HTTP/1.1 200 OK\r\n\r\n"},
        {"chunked payloads given back to back", "GET / HTTP/1.1\r\n\r\n", 200, kChunked, 0, false,
         0, "", "connect|request  complete",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n3\r\ncde\r\n1\r\nf\r\n"
         "0\r\n\r\n",
         "ab|cde|f"},
        {"an empty payload completes after the writes before it", "GET / HTTP/1.1\r\n\r\n", 200,
         nullptr, 4, false, 0, "", "connect|request  complete|written 0|written 2|written 0",
         "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd", "ab||cd"},
    };
    for (const Exchange& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> session{0};
        // Payloads before the last one stay the test's until the case ends.
        const std::vector<std::string> parts = Split(c.in_request);
        rec_.on_request = [&c, &session, &parts](int s, int n, st::ReqHeaderInfo*, bool) {
            session = n;
            if (c.status != 0)
                Respond(s, n, c.status, c.transfer_encoding, c.length, c.last);
            for (std::size_t i = 0; !c.in_request.empty() && i < parts.size(); ++i) {
                const bool last = i + 1 == parts.size();
                void* data = last ? Payload(parts[i]) : const_cast<char*>(parts[i].data());
                EXPECT_EQ(
                    st::SendHTTPPayload(s, n, data, static_cast<unsigned>(parts[i].size()), last),
                    0);
            }
        };
        rec_.on_data = [&c](int s, int n, bool complete) {
            if (complete && c.body_status != 0)
                Respond(s, n, c.body_status, nullptr, 0, true);
        };
        rec_.on_write_done = [&c](int s, int n, unsigned) {
            if (!c.payload.empty())
                st::SendHTTPPayload(s, n, Payload(c.payload),
                                    static_cast<unsigned>(c.payload.size()), true);
        };
        {
            std::lock_guard<std::mutex> lock(rec_.mutex);
            rec_.events.clear();
        }
        const std::vector<std::string> segments = Split(c.segments);
        const std::vector<std::string> expected_events = Split(c.expected_events);
        RawClient client(port_);
        ASSERT_TRUE(client.Ok());
        std::string wire;
        for (std::size_t i = 0; i < segments.size(); ++i) {
            ASSERT_TRUE(client.Send(segments[i]));
            if (i + 1 == segments.size())
                break;
            // The next segment goes once the server has taken this one.
            const std::size_t seen = rec_.Events().size();
            if (segments[i].find("Expect") != std::string::npos) {
                wire = client.Read(std::strlen("HTTP/1.1 100 Continue\r\n\r\n"));
            } else {
                WaitUntil([&] { return rec_.Events().size() > seen; },
                          std::chrono::milliseconds(300));
            }
        }
        wire += client.Read();
        EXPECT_EQ(wire.size(), c.expected_wire.size());
        EXPECT_TRUE(wire == c.expected_wire) << wire.substr(0, 200);
        std::vector<std::string> events = rec_.Events();
        events.resize(std::min(events.size(), expected_events.size()));
        EXPECT_EQ(events, expected_events);
        // Gone from its server only once its callbacks have returned: the
        // next case may then replace them.
        EXPECT_TRUE(WaitUntil([&] {
            return st::StopServerTransfer(server_id_, session) == st::STREAMING_NO_SESSION;
        }));
    }
}

// Also when the payload that stalls is the last one: the library owns it
// and the application still hears that the response did not get through.
TEST_F(StreamingServerTest, PeerThatStopsReadingEndsItsSession) {
    // Far more than the socket buffers hold: the write stays pending.
    static std::string huge(64 << 20, 'z');
    for (const bool last : {false, true}) {
        SCOPED_TRACE(last ? "last payload" : "payload");
        {
            std::lock_guard<std::mutex> lock(rec_.mutex);
            rec_.events.clear();
        }
        std::atomic<int> session{0};
        rec_.on_request = [&](int s, int n, st::ReqHeaderInfo*, bool) {
            session = n;
            Respond(s, n, 200, nullptr, 0, false);
        };
        rec_.on_write_done = [last](int s, int n, unsigned length) {
            if (length == 0)
                st::SendHTTPPayload(s, n, last ? Payload(huge) : &huge[0],
                                    static_cast<unsigned>(huge.size()), last);
        };
        auto client = std::make_unique<RawClient>(port_);
        ASSERT_TRUE(client->Send("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_FALSE(client->Read(1000).empty());
        client->SetReset();
        client.reset();
        EXPECT_TRUE(WaitUntil([&] { return rec_.Count("status 4") == 1; }));
        EXPECT_TRUE(WaitUntil([&] {
            return st::StopServerTransfer(server_id_, session) == st::STREAMING_NO_SESSION;
        }));
    }
}

// The body read keeps its own deadline while the answer's head is written.
TEST_F(StreamingServerTest, StalledBodyAfterContinueEndsAtTheStallLimit) {
    struct ShortStall {
        ShortStall() { st::IncomingSession::SetStallLimit(std::chrono::milliseconds(300)); }
        ~ShortStall() { st::IncomingSession::SetStallLimit(st::IncomingSession::kStallLimit); }
    } short_stall;
    rec_.on_request = [](int s, int n, st::ReqHeaderInfo*, bool) {
        Respond(s, n, 100, nullptr, 0, false);
    };
    rec_.on_data = [](int s, int n, bool) { Respond(s, n, 200, nullptr, 0, false); };
    RawClient client(port_);
    ASSERT_TRUE(
        client.Send("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 9\r\n\r\n"));
    EXPECT_EQ(client.Read(25), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(client.Send("abc"));                      // and no more
    EXPECT_EQ(client.Read(), "HTTP/1.1 200 OK\r\n\r\n");  // then closed
    EXPECT_TRUE(WaitUntil([&] { return rec_.Count("status 4") == 1; }));
}

// Once StopServerTransfer has returned on a thread of the application, no
// callback of that session runs, not even a completion already queued.
TEST_F(StreamingServerTest, NoCallbackAfterStopServerTransferReturned) {
    constexpr int kRounds = 20;
    static std::string block(4096, 'x');
    std::atomic<int> session{0};
    std::atomic<int> stopped{0};  // the session stopped last
    std::atomic<int> late{0};
    rec_.on_request = [&](int s, int n, st::ReqHeaderInfo*, bool) {
        session = n;
        Respond(s, n, 200, nullptr, 0, false);
    };
    rec_.on_write_done = [&](int s, int n, unsigned) {
        if (stopped == n)
            ++late;
        st::SendHTTPPayload(s, n, &block[0], static_cast<unsigned>(block.size()), false);
    };
    for (int round = 0; round < kRounds; ++round) {
        session = 0;
        RawClient client(port_);
        ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_FALSE(client.Read(3 * block.size()).empty());  // the stream flows
        ASSERT_EQ(st::StopServerTransfer(server_id_, session), 0);
        stopped = session.load();
    }
    // Joining the pool runs out whatever was still queued.
    EXPECT_EQ(st::TerminateStreamingManager(), 0);
    EXPECT_EQ(late, 0);
    EXPECT_EQ(st::InitializeStreamingManager(), 0);
}

// An unlinked file of size patterned bytes; the descriptor is the test's.
struct TempFile {
    explicit TempFile(std::size_t size) : file(std::tmpfile()), fd(fileno(file)) {
        for (std::size_t i = 0; i < size; ++i)
            bytes.push_back(static_cast<char>((i * 2654435761u) >> 13));
        EXPECT_EQ(write(fd, bytes.data(), size), static_cast<ssize_t>(size));
    }
    ~TempFile() { std::fclose(file); }
    std::FILE* const file;
    const int fd;
    std::string bytes;
};

// Two ranges of a file bigger than the socket buffers, the second sent
// from on_write_done of the first, each from a descriptor closed as soon as
// the call returned (the library sends from its own duplicate).
TEST_F(StreamingServerTest, FilePayloadsArriveByteExact) {
    TempFile file(9 << 20);
    const std::size_t offset = 1001, first = 0x300000,
                      second = 0x5FFC10;  // 7 bytes short of the end
    const std::string a = file.bytes.substr(offset, first), b = file.bytes.substr(offset + first);
    for (const bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "chunked" : "plain");
        std::atomic<unsigned> reported{0};
        std::atomic<int> session{0};
        rec_.on_request = [&](int s, int n, st::ReqHeaderInfo*, bool) {
            session = n;
            Respond(s, n, 200, chunked ? "chunked" : nullptr, first + second, false);
        };
        rec_.on_write_done = [&](int s, int n, unsigned length) {
            reported = length;
            const int fd = length > first ? -1 : dup(file.fd);  // a length past first: misreported
            EXPECT_EQ(st::SendHTTPFilePayload(s, n, fd, length == 0 ? offset : offset + first,
                                              length == 0 ? first : second, length != 0),
                      0);
            close(fd);
        };
        RawClient client(port_);
        ASSERT_TRUE(client.Send("GET /f HTTP/1.1\r\n\r\n"));
        const std::string wire = client.Read();
        const std::string expected =
            chunked
                ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n300000\r\n" + a +
                      "\r\n5FFC10\r\n" + b.substr(0, second) + "\r\n0\r\n\r\n"
                : "HTTP/1.1 200 OK\r\nContent-Length: 9436176\r\n\r\n" + a + b.substr(0, second);
        EXPECT_EQ(wire.size(), expected.size());
        EXPECT_TRUE(wire == expected);
        EXPECT_EQ(reported, first);
        // The callbacks are replaced only once this session's have returned.
        EXPECT_TRUE(WaitUntil([&] {
            return st::StopServerTransfer(server_id_, session) == st::STREAMING_NO_SESSION;
        }));
    }
}

// A file that ends before the range does is a failed write (on_status 4).
// A session stopped while a large file goes to a fast reader is stopped
// within a turn, not once the range is out; it gives no callback after
// StopServerTransfer returned and keeps no descriptor.
TEST_F(StreamingServerTest, ShortFileFailsAndStopDuringFileSendIsQuiet) {
    TempFile file(4 << 20);
    std::FILE* sparse = std::tmpfile();  // holes: no disk, pages only as sent
    constexpr unsigned kLarge = 1u << 30;
    ASSERT_EQ(ftruncate(fileno(sparse), kLarge), 0);
    const std::size_t descriptors = zel_test::CountDescriptors();
    std::atomic<int> session{0};
    std::atomic<bool> short_range{true};
    rec_.on_request = [&](int s, int n, st::ReqHeaderInfo*, bool) {
        session = n;
        Respond(s, n, 200, nullptr, 0, false);
    };
    rec_.on_write_done = [&](int s, int n, unsigned length) {
        if (length != 0)
            return;
        EXPECT_EQ(short_range
                      ? st::SendHTTPFilePayload(s, n, file.fd, 100,
                                                static_cast<unsigned>(file.bytes.size()), false)
                      : st::SendHTTPFilePayload(s, n, fileno(sparse), 0, kLarge, false),
                  0);
    };
    {
        RawClient client(port_);
        ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_TRUE(client.Read() == "HTTP/1.1 200 OK\r\n\r\n" + file.bytes.substr(100));
        EXPECT_TRUE(WaitUntil([&] { return rec_.Count("status 4") == 1; }));
    }
    short_range = false;
    RawClient client(port_);
    ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\n\r\n"));
    std::atomic<std::size_t> received{0};
    std::thread reader([&] {
        static char sink[1 << 16];
        ssize_t n = 0;
        while ((n = recv(client.fd(), sink, sizeof(sink), 0)) > 0)
            received += static_cast<std::size_t>(n);
    });
    EXPECT_TRUE(WaitUntil([&] { return received >= 1u << 20; }));  // the stream flows
    ASSERT_EQ(st::StopServerTransfer(server_id_, session), 0);
    EXPECT_LT(received, kLarge / 4u);  // far from the range's end when the stop returned
    reader.join();
    std::fclose(sparse);
    const std::size_t seen = rec_.Events().size();
    EXPECT_EQ(st::TerminateStreamingManager(), 0);  // runs out what was queued
    EXPECT_EQ(rec_.Events().size(), seen);
    EXPECT_EQ(st::InitializeStreamingManager(), 0);
    EXPECT_TRUE(WaitUntil([&] { return zel_test::CountDescriptors() <= descriptors + 1; }));
}

// An interface that goes away ends the sessions on it with on_status 4,
// after its server's on_status 0, so that the application frees what it
// holds for them.
TEST_F(StreamingServerTest, InterfaceGoingAwayEndsItsSessions) {
    std::atomic<int> requests{0};
    rec_.on_request = [&](int, int, st::ReqHeaderInfo*, bool) { ++requests; };  // never answered
    RawClient client(port_);
    ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return requests == 1; }));
    ASSERT_EQ(nl::NotifyNICRemoved("lo"), 0);
    EXPECT_EQ(client.Read(), "");
    ASSERT_TRUE(WaitUntil([&] { return rec_.Count("status 4") == 1; }));
    std::vector<std::string> events = rec_.Events();
    events.erase(events.begin(), events.end() - 2);
    EXPECT_EQ(events, (std::vector<std::string>{"status 0", "status 4"}));
}

// An accept that fails for want of descriptors is retried; the server goes
// on accepting once descriptors are free again.
TEST_F(StreamingServerTest, AcceptResumesAfterDescriptorsRanOut) {
    zel_test::LogCapture log;
    rec_.on_request = [](int s, int n, st::ReqHeaderInfo*, bool) {
        Respond(s, n, 204, nullptr, 0, true);
    };
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    {
        zel_test::PeerSocket early;
        // The lowest free descriptor as the limit: no new one can be made.
        const int lowest = dup(early.fd());
        ASSERT_GE(lowest, 0);
        close(lowest);
        rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(lowest);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        const bool connected = early.Connect("127.0.0.1", port_);
        const bool refused = WaitUntil([&log] { return log.Contains("Too many open files"); });
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        ASSERT_TRUE(connected);
        EXPECT_TRUE(refused);
    }
    RawClient client(port_);
    ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.Read(), "HTTP/1.1 204 No Content\r\n\r\n");
}

TEST_F(StreamingServerTest, ThousandDroppedConnectionsAreAllReleased) {
    constexpr int kRounds = 10, kPerRound = 100;
    const std::size_t descriptors = zel_test::CountDescriptors();
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::unique_ptr<RawClient> > clients;  // closed at the round's end
        for (int i = 0; i < kPerRound; ++i) {
            clients.emplace_back(new RawClient(port_));
            ASSERT_TRUE(clients.back()->Ok());
            if (round % 2 == 1)
                clients.back()->SetReset();
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return rec_.Count("status 4") == kRounds * kPerRound; }))
        << rec_.Count("status 4");
    EXPECT_EQ(rec_.Count("connect"), static_cast<std::size_t>(kRounds * kPerRound));
    EXPECT_TRUE(WaitUntil([&] { return zel_test::CountDescriptors() <= descriptors; }));
}

}  // namespace
