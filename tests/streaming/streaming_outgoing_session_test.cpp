#include "streaming/src/streaming_outgoing_session.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <zel_upnp/streaming.h>
#include "support/peers.h"

namespace {

namespace st = zel_upnp::streaming;
using zel_test::ScriptedPeer;
using zel_test::WaitUntil;

// What the client callbacks saw.
struct Seen {
    std::mutex mutex;
    int status_code = 0;  // of the response head
    int on_status = -1;   // code of on_status, -1 when none came
    int handler_id = -1;
    std::string body;
    int responses = 0;
    bool complete = false;
    bool finished = false;  // complete or on_status
};
Seen* g_seen = nullptr;

void Take(void* data, unsigned length, bool complete) {
    std::lock_guard<std::mutex> lock(g_seen->mutex);
    g_seen->body.append(static_cast<char*>(data), length);
    st::Free(data);
    g_seen->complete = complete;
    // An interim 100 head is complete but not the end.
    g_seen->finished = g_seen->finished || (complete && g_seen->status_code != 100);
}

const st::ClientAppCallbacks kCallbacks = {
    [](int, int, int code) {
        std::lock_guard<std::mutex> lock(g_seen->mutex);
        g_seen->on_status = code;
        g_seen->finished = true;
    },
    [](int handler, int, st::ResHeaderInfo* head, void* body, unsigned length, bool complete) {
        {
            std::lock_guard<std::mutex> lock(g_seen->mutex);
            g_seen->status_code = head->status_code;
            g_seen->handler_id = handler;
            ++g_seen->responses;
        }
        st::FreeResponseHeader(head);
        Take(body, length, complete);
    },
    [](int, int, void* data, unsigned length, bool complete) { Take(data, length, complete); },
    [](int, int, unsigned) {},
};

struct ClientCase {
    const char* name;
    int request_type;
    std::string response;  // sent by the peer, which then closes
    int status_code;
    std::string body;
    bool complete;
    int on_status;
};

class StreamingAsyncClient : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(st::InitializeStreamingManager(), 0); }
    void TearDown() override {
        EXPECT_EQ(st::TerminateStreamingManager(), 0);
        g_seen = nullptr;
    }
    // Sends a request right after StartClient, so before the connection is
    // up, and waits for the end.
    void Fetch(Seen& seen, int port, int type, const char* uri = "/") {
        g_seen = &seen;
        int id = -1;
        ASSERT_EQ(st::StartClient(&kCallbacks, "127.0.0.1", port, &id), 0);
        EXPECT_GE(id, 101);
        st::ReqHeaderInfo head = st::ReqHeaderInfo();
        head.request_type = type;
        head.http_version = st::HTTP_VERSION_1_1;
        head.uri = const_cast<char*>(uri);
        head.host = const_cast<char*>("peer");
        // A refused connection may have ended the session already.
        const int rc = st::SendHTTPRequest(id, &head);
        EXPECT_TRUE(rc == 0 || rc == st::STREAMING_NO_SESSION) << rc;
        EXPECT_TRUE(WaitUntil([&] {
            std::lock_guard<std::mutex> lock(seen.mutex);
            return seen.finished;
        }));
        EXPECT_EQ(st::StopClientTransfer(id), 0);
    }
};

TEST_F(StreamingAsyncClient, ResponsesFromAScriptedPeer) {
    const std::vector<ClientCase> cases = {
        {"content-length", st::REQUEST_GET,
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789", 200, "0123456789", true, -1},
        {"chunked", st::REQUEST_GET,
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n3\r\n, w\r\n0\r\n\r\n",
         200, "hello, w", true, -1},
        {"until close", st::REQUEST_GET, "HTTP/1.0 200 OK\r\n\r\nuntil the end", 200,
         "until the end", true, -1},
        {"head with a length", st::REQUEST_HEAD, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n",
         200, "", true, -1},
        {"chunk-size line of 100 digits", st::REQUEST_GET,
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(100, '1') +
             "\r\nx\r\n",
         0, "", false, st::STATUS_PARSE_FAILURE},
        {"closed before the length", st::REQUEST_GET,
         "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", 200, "short", false,
         st::STATUS_CONNECTION_CLOSED},
        {"body longer than its length", st::REQUEST_GET,
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef", 200, "abc", true, -1},
        {"garbage", st::REQUEST_GET, "NOT HTTP AT ALL\r\n\r\n", 0, "", false,
         st::STATUS_PARSE_FAILURE},
        {"final response in the read of the 100 head", st::REQUEST_GET,
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 200, "ok",
         true, -1},
        {"refused connection", st::REQUEST_GET, "", 0, "", false, st::STATUS_CONNECTION_CLOSED},
    };
    for (const ClientCase& c : cases) {
        SCOPED_TRACE(c.name);
        // No response: a port where nothing listens.
        std::unique_ptr<ScriptedPeer> peer(
            c.response.empty() ? nullptr : new ScriptedPeer(zel_test::Answer(c.response)));
        ASSERT_TRUE(!peer || peer->Ok());
        Seen seen;
        Fetch(seen, peer ? peer->Port() : zel_test::ClosedPort(), c.request_type);
        std::lock_guard<std::mutex> lock(seen.mutex);
        EXPECT_EQ(seen.status_code, c.status_code);
        EXPECT_EQ(seen.body, c.body);
        EXPECT_EQ(seen.complete, c.complete);
        EXPECT_EQ(seen.on_status, c.on_status);
        if (c.status_code != 0) {
            EXPECT_EQ(seen.responses, c.response.find(" 100 ") == std::string::npos ? 1 : 2);
            EXPECT_EQ(seen.handler_id, st::CLIENT_HANDLER_ID);
        }
        if (!peer)
            continue;
        ASSERT_EQ(peer->Requests().size(), 1u);
        EXPECT_EQ(
            peer->Requests()[0].rfind(c.request_type == st::REQUEST_HEAD ? "HEAD / " : "GET / ", 0),
            0u);
    }
}

}  // namespace
