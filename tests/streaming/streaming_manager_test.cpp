#include "streaming/src/streaming_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/streaming.h>
#include "support/peers.h"

namespace {

namespace st = zel_upnp::streaming;
namespace nl = zel_upnp::network_layer;
using zel_test::WaitUntil;

std::mutex g_mutex;
std::vector<std::pair<int, int> > g_status;  // (server id, code) of server events

void OnStatus(int server, int session, int code) {
    if (session != 0)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status.emplace_back(server, code);
}
void OnConnect(int, int, int) {}
void OnRequest(int server, int session, st::ReqHeaderInfo* head, void* body, unsigned, bool) {
    st::FreeRequestHeader(head);
    st::Free(body);
    st::ResHeaderInfo res = st::ResHeaderInfo();
    res.http_version = st::HTTP_VERSION_1_1;
    res.status_code = 204;
    st::SendHTTPResponse(server, session, &res, true);
}
void OnData(int, int, void* data, unsigned, bool) {
    st::Free(data);
}
void OnWrite(int, int, unsigned) {}
const st::ServerAppCallbacks kCallbacks = {OnConnect, OnStatus, OnRequest, OnData, OnWrite};

std::vector<std::pair<int, int> > Status() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_status;
}

// An all-interfaces profile gains a server when a namespace interface comes
// and loses it when the interface goes; a peer reaches it only meanwhile.
TEST(StreamingManager, AllInterfacesProfileFollowsTheInterfaces) {
    if (!zel_test::NetnsTopology::Available())
        GTEST_SKIP() << "needs root and the ip tool to create network namespaces";
    zel_test::NetnsTopology topo(1);
    ASSERT_TRUE(topo.Ok()) << topo.Error();
    ASSERT_TRUE(topo.EnterDevice());
    const zel_test::NetnsLink& link = topo.Link(0);
    ASSERT_EQ(nl::InitializeNetworkLayer(), 0);
    ASSERT_EQ(nl::StartNetworkLayer(), 0);
    ASSERT_EQ(st::InitializeStreamingManager(), 0);
    ASSERT_EQ(st::InitializeStreamingManager(), 0);  // a second reference
    st::stServer* servers = nullptr;
    int profile = 0;
    ASSERT_EQ(st::StartServers(&kCallbacks, nullptr, 0, &servers, &profile), 0);
    EXPECT_EQ(servers, nullptr);  // no interface yet
    EXPECT_GE(profile, st::StreamingManager::kFirstProfileId);

    ASSERT_EQ(nl::NotifyNICAdded(link.device_if, link.device_ip, link.netmask), 0);
    ASSERT_TRUE(WaitUntil([] { return Status().size() == 1; }));
    const std::pair<int, int> started = Status()[0];
    EXPECT_EQ(started.second, st::STATUS_SERVER_STARTED);
    st::stServer* record = st::GetConfiguredServers(started.first);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->ip_address, link.device_ip.c_str());
    EXPECT_EQ(record->interface_name, link.device_if);
    const int port = record->port;
    st::FreeServerInfoList(record);
    const std::string answer =
        zel_test::TcpExchange(link.peer_ns, link.device_ip, port, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer, "HTTP/1.1 204 No Content\r\n\r\n");

    // The first of two terminations leaves the servers running.
    EXPECT_EQ(st::TerminateStreamingManager(), 0);
    EXPECT_TRUE(zel_test::CanConnect(link.peer_ns, link.device_ip, port));

    ASSERT_EQ(nl::NotifyNICRemoved(link.device_if), 0);
    ASSERT_TRUE(WaitUntil([] { return Status().size() == 2; }));
    EXPECT_EQ(Status()[1], std::make_pair(started.first, int(st::STATUS_SERVER_STOPPED)));
    EXPECT_EQ(st::GetConfiguredServers(started.first), nullptr);
    EXPECT_FALSE(zel_test::CanConnect(link.peer_ns, link.device_ip, port));

    // Back again: a new server with the next id.
    ASSERT_EQ(nl::NotifyNICAdded(link.device_if, link.device_ip, link.netmask), 0);
    ASSERT_TRUE(WaitUntil([] { return Status().size() == 3; }));
    EXPECT_EQ(Status()[2], std::make_pair(started.first + 1, int(st::STATUS_SERVER_STARTED)));

    EXPECT_EQ(st::StopServers(profile), 0);
    EXPECT_EQ(st::TerminateStreamingManager(), 0);
    nl::StopNetworkLayer();
    nl::TerminateNetworkLayer();
}

std::atomic<int> g_started{0};      // on_status 9 seen
std::atomic<int> g_terminated{-1};  // result of the termination from a callback

void TerminateOnStart(int, int, int code) {
    if (code == st::STATUS_SERVER_STARTED && g_started++ == 0)
        g_terminated = st::TerminateStreamingManager();
}
const st::ServerAppCallbacks kTerminating = {OnConnect, TerminateOnStart, OnRequest, OnData,
                                             OnWrite};

// Hears of NIC events after the streaming manager (one thread delivers them
// in order of registration).
struct EventSeen : nl::NetworkEventListener {
    std::atomic<int> events{0};
    void OnNetworkChanged(const std::string&, int) override { ++events; }
};

// The status callback of a new server drops the last reference on the
// interface thread; the event keeps the manager until it is done, starts no
// server for the second profile and reports nothing more.
TEST(StreamingManager, TerminatingFromAStatusCallback) {
    ASSERT_EQ(nl::InitializeNetworkLayer(), 0);
    ASSERT_EQ(nl::StartNetworkLayer(), 0);
    ASSERT_EQ(st::InitializeStreamingManager(), 0);
    EventSeen seen;
    int id = -1;
    ASSERT_EQ(nl::RegisterNetworkEventListener(&seen, id), 0);
    for (int i = 0; i < 2; ++i) {
        st::stServer* servers = nullptr;
        int profile = 0;
        ASSERT_EQ(st::StartServers(&kTerminating, nullptr, 0, &servers, &profile), 0);
        st::FreeServerInfoList(servers);
    }
    ASSERT_EQ(nl::NotifyNICAdded("lo", "127.0.0.1", "255.0.0.0"), 0);
    EXPECT_TRUE(WaitUntil([&] { return seen.events == 1; }));
    EXPECT_EQ(g_terminated, 0);
    EXPECT_EQ(g_started, 1);
    st::stServer* servers = nullptr;
    int profile = 0;
    EXPECT_EQ(st::StartServers(&kTerminating, nullptr, 0, &servers, &profile),
              st::STREAMING_NOT_INITIALIZED);
    nl::UnRegisterEventListener(id);
    nl::StopNetworkLayer();
    nl::TerminateNetworkLayer();
}

}  // namespace
