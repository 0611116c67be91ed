#include "streaming/src/streaming_outgoing_sync_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <zel_upnp/streaming.h>
#include "support/peers.h"

namespace {

namespace st = zel_upnp::streaming;
using zel_test::ScriptedPeer;

// A peer that sends its response in pieces split at '|', one write each.
ScriptedPeer::Script Pieces(const std::string& pieces) {
    return [pieces](ScriptedPeer&, ScriptedPeer::Socket& socket, const std::string&) {
        for (size_t from = 0, bar = 0; from <= pieces.size(); from = bar + 1) {
            bar = std::min(pieces.find('|', from), pieces.size());
            ScriptedPeer::Send(socket, pieces.substr(from, bar - from));
        }
    };
}

struct SyncCase {
    const char* name;
    int request_type;
    std::string pieces;
    int status_code;
    std::string body;
    int head_rc;  // of ReadHTTPHeader
    int data_rc;  // of the ReadHTTPData that ends the loop
};

TEST(StreamingSyncClient, ReadsResponsesAcrossReadsAndRefusedConnects) {
    const std::string big(20000, 'q');
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const int kGet = st::REQUEST_GET;
    const int kParse = st::STREAMING_PARSE_FAILURE;
    const std::vector<SyncCase> cases = {
        {"head over several reads", kGet,
         "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(9000, 'p') +
             "|\r\nContent-Length: 4|\r\n\r\nbody",
         200, "body", 0, 0},
        {"until close", kGet, "HTTP/1.0 200 OK\r\n\r\n|" + big, 200, big, 0, 0},
        {"chunked", kGet, chunked + "4\r\nab|cd\r\n0\r\n\r\n", 200, "abcd", 0, 0},
        {"head request", st::REQUEST_HEAD, "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n", 200, "",
         0, 0},
        {"chunk-size line of 100 digits", kGet, chunked + std::string(100, '1') + "\r\nx\r\n", 0,
         "", kParse, 0},
        {"closed before the length", kGet, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab", 200,
         "ab", 0, st::STREAMING_SOCKET_FAILURE},
        {"a head that never ends", kGet, "HTTP/1.1 200 OK\r\n" + std::string(70000, 'h'), 0, "",
         kParse, 0},
        {"length-delimited over several reads", kGet,
         "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + big.substr(0, 100) + "|" +
             big.substr(100),
         200, big, 0, 0},
        {"final head in the read of the 100", kGet,
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 200, "ok",
         0, 0},
    };
    ASSERT_EQ(st::InitializeStreamingManager(), 0);
    // The body read with ReadHTTPData, with ReadHTTPDataInto (a buffer
    // smaller than most reads), and with the two taking turns.
    enum Mode { kLibraryBlocks, kCallerBuffer, kTurns };
    for (const Mode mode : {kLibraryBlocks, kCallerBuffer, kTurns})
        for (const SyncCase& c : cases) {
            SCOPED_TRACE(c.name + std::string(" mode ") + std::to_string(mode));
            ScriptedPeer peer(Pieces(c.pieces));
            ASSERT_TRUE(peer.Ok());
            int id = -1;
            ASSERT_EQ(st::StartSyncClient(&id), 0);
            ASSERT_EQ(st::ConnectSyncClient(id, "127.0.0.1", peer.Port()), 0);
            st::ReqHeaderInfo req = st::ReqHeaderInfo();
            req.request_type = c.request_type;
            req.http_version = st::HTTP_VERSION_1_1;
            req.uri = const_cast<char*>("/m");
            ASSERT_EQ(st::SendSyncHTTPRequest(id, &req), 0);
            st::ResHeaderInfo* head = nullptr;
            void* body = nullptr;
            unsigned length = 0;
            bool complete = false;
            ASSERT_EQ(st::ReadHTTPHeader(id, &head, &body, length, complete), c.head_rc);
            while (head != nullptr && head->status_code == 100) {
                st::FreeResponseHeader(head);
                st::Free(body);
                ASSERT_EQ(st::ReadHTTPHeader(id, &head, &body, length, complete), 0);
            }
            std::string received;
            int rc = 0;
            if (c.head_rc == 0) {
                ASSERT_NE(head, nullptr);
                EXPECT_EQ(head->status_code, c.status_code);
                st::FreeResponseHeader(head);
                received.assign(static_cast<char*>(body), length);
                st::Free(body);
                // Bounded: every read that does not fail takes at least one byte
                // or ends the response.
                for (int reads = 0; rc == 0 && !complete && reads < 1000; ++reads) {
                    if (mode == kCallerBuffer || (mode == kTurns && reads % 2 == 1)) {
                        char buffer[64];
                        rc = st::ReadHTTPDataInto(id, buffer, sizeof(buffer), length, complete);
                        if (rc == 0)
                            received.append(buffer, length);
                        continue;
                    }
                    void* data = nullptr;
                    rc = st::ReadHTTPData(id, &data, length, complete);
                    if (rc == 0)
                        received.append(static_cast<char*>(data), length);
                    st::Free(data);
                }
            }
            EXPECT_EQ(rc, c.data_rc);
            EXPECT_EQ(received, c.body);
            EXPECT_EQ(st::StopClientTransfer(id), 0);
        }
    int refused = -1;
    ASSERT_EQ(st::StartSyncClient(&refused), 0);
    EXPECT_EQ(st::ConnectSyncClient(refused, "127.0.0.1", zel_test::ClosedPort()),
              st::STREAMING_CONNECT_FAILED);
    EXPECT_EQ(st::TerminateStreamingManager(), 0);
}

}  // namespace
