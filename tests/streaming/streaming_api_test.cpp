#include <zel_upnp/streaming.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

namespace st = zel_upnp::streaming;

void NoStatus(int, int, int) {}
void NoRequest(int, int, st::ReqHeaderInfo*, void*, unsigned, bool) {}
void NoData(int, int, void*, unsigned, bool) {}
void NoWrite(int, int, unsigned) {}
void NoResponse(int, int, st::ResHeaderInfo*, void*, unsigned, bool) {}

const st::ServerAppCallbacks kServer = {NoStatus, NoStatus, NoRequest, NoData, NoWrite};
const st::ClientAppCallbacks kClient = {NoStatus, NoResponse, NoData, NoWrite};

struct Call {
    const char* name;
    std::function<int()> call;
    int without_manager;  // the result before initialisation
    int with_manager;     // and after it
};

// Bad arguments are refused before the manager is looked at, and leave the
// outputs untouched.
TEST(StreamingApi, ArgumentsAreCheckedBeforeTheManager) {
    st::ServerAppCallbacks missing = kServer;
    missing.on_write_done = nullptr;
    st::ClientAppCallbacks missing_client = kClient;
    missing_client.on_status = nullptr;
    st::stServer* servers = nullptr;
    int id = -7;
    st::ReqHeaderInfo req = st::ReqHeaderInfo();
    st::ResHeaderInfo res = st::ResHeaderInfo();
    st::ResHeaderInfo* head = nullptr;
    void* body = nullptr;
    unsigned length = 0;
    bool complete = false;
    const int kInvalid = st::STREAMING_INVALID_PARAMS;
    const int kNoManager = st::STREAMING_NOT_INITIALIZED;
    const std::vector<Call> calls = {
        {"null callback", [&] { return st::StartServers(&missing, "127.0.0.1", 0, &servers, &id); },
         kInvalid, kInvalid},
        {"unknown address",
         [&] { return st::StartServers(&kServer, "192.0.2.1", 0, &servers, &id); }, kNoManager,
         st::STREAMING_NO_INTERFACE},
        {"profile 0", [&] { return st::StopServers(0); }, kInvalid, kInvalid},
        {"unknown profile", [&] { return st::StopServers(5000); }, kNoManager,
         st::STREAMING_NO_SERVER},
        {"negative session", [&] { return st::StopServerTransfer(1000, -1); }, kInvalid, kInvalid},
        {"unknown server", [&] { return st::StopServerTransfer(1000, 1001); }, kNoManager,
         st::STREAMING_NO_SERVER},
        {"null head", [&] { return st::SendHTTPResponse(1000, 1001, nullptr, true); }, kInvalid,
         kInvalid},
        {"response unknown server", [&] { return st::SendHTTPResponse(1000, 1001, &res, true); },
         kNoManager, st::STREAMING_NO_SERVER},
        {"payload unknown client",
         [&] { return st::SendHTTPPayload(st::CLIENT_HANDLER_ID, 555, nullptr, 0, true); },
         kNoManager, st::STREAMING_NO_SESSION},
        {"client callbacks", [&] { return st::StartClient(&missing_client, "127.0.0.1", 1, &id); },
         kInvalid, kInvalid},
        {"client address", [&] { return st::StartClient(&kClient, nullptr, 1, &id); }, kInvalid,
         kInvalid},
        {"request unknown client", [&] { return st::SendHTTPRequest(555, &req); }, kNoManager,
         st::STREAMING_NO_SESSION},
        {"stop unknown client", [&] { return st::StopClientTransfer(555); }, kNoManager, 0},
        {"sync id null", [&] { return st::StartSyncClient(nullptr); }, kInvalid, kInvalid},
        {"sync connect unknown", [&] { return st::ConnectSyncClient(555, "127.0.0.1", 1); },
         kNoManager, st::STREAMING_NO_SESSION},
        {"sync head unknown",
         [&] { return st::ReadHTTPHeader(555, &head, &body, length, complete); }, kNoManager,
         st::STREAMING_NO_SESSION},
    };
    for (const Call& c : calls)
        EXPECT_EQ(c.call(), c.without_manager) << c.name;
    EXPECT_EQ(st::TerminateStreamingManager(), st::STREAMING_TERMINATE_FAILED);
    ASSERT_EQ(st::InitializeStreamingManager(), 0);
    for (const Call& c : calls)
        EXPECT_EQ(c.call(), c.with_manager) << c.name;
    EXPECT_EQ(servers, nullptr);
    EXPECT_EQ(id, -7);
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(st::GetConfiguredServers(1000), nullptr);
    EXPECT_EQ(st::TerminateStreamingManager(), 0);
    EXPECT_EQ(st::TerminateStreamingManager(), st::STREAMING_TERMINATE_FAILED);
}

TEST(StreamingApi, ClientIdsWrapFrom999To101) {
    ASSERT_EQ(st::InitializeStreamingManager(), 0);
    std::vector<int> ids;
    for (int i = 0; i < 900; ++i) {
        int id = 0;
        ASSERT_EQ(st::StartSyncClient(&id), 0);
        ids.push_back(id);
        // Ids of live clients are not handed out twice: 101 stays open.
        if (id != 101) {
            EXPECT_EQ(st::StopClientTransfer(id), 0);
        }
    }
    for (int i = 0; i < 899; ++i)
        EXPECT_EQ(ids[i], 101 + i);
    EXPECT_EQ(ids[899], 102);  // 101 is still open
    EXPECT_EQ(st::TerminateStreamingManager(), 0);
}

}  // namespace
