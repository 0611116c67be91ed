#include "network_layer/src/multicast_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/make_shared.hpp>

#include "support/peers.h"

// Every test runs inside a private topology: a device namespace (where this
// thread and the servers' sockets live) and two peers on veth links. No
// datagram of these tests can reach the machine's own interfaces.
namespace {

using boost::asio::ip::udp;
using zel_upnp::network_layer::MulticastServer;
using zel_upnp::network_layer::NetInfo;

constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr int kSsdpPort = 1900;

std::string Notify(const std::string& seq) {
    return "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
           "NTS: ssdp:alive\r\nUSN: uuid:1234::upnp:rootdevice\r\nX-SEQ: " +
           seq + "\r\n\r\n";
}

// Sends one datagram to the SSDP group from the calling thread's namespace,
// out of the interface that has address from.
bool SendToGroup(const std::string& from, const std::string& data) {
    boost::asio::io_service io;
    udp::socket socket(io);
    boost::system::error_code ec;
    socket.open(udp::v4(), ec);
    if (!ec) {
        socket.set_option(
            boost::asio::ip::multicast::outbound_interface(boost::asio::ip::make_address_v4(from)),
            ec);
    }
    if (!ec) {
        const udp::endpoint group(boost::asio::ip::make_address(kSsdpGroup), kSsdpPort);
        socket.send_to(boost::asio::buffer(data), group, 0, ec);
    }
    return !ec;
}

class MulticastServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(2); }
    static void TearDownTestSuite() { topo_.reset(); }

    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        ASSERT_TRUE(dispatch_.Ok());
    }

    static const zel_test::NetnsLink& Link(size_t i) { return topo_->Link(i); }

    boost::shared_ptr<MulticastServer> MakeServer(size_t link,
                                                  const std::string& group = kSsdpGroup) {
        const zel_test::NetnsLink& l = Link(link);
        const NetInfo info{l.device_if, l.device_ip, l.netmask, l.device_mac};
        return boost::make_shared<MulticastServer>(l.device_ip, info, group, kSsdpPort, io_.Io());
    }

    boost::shared_ptr<MulticastServer> StartServer(size_t link) {
        boost::shared_ptr<MulticastServer> server = MakeServer(link);
        int port = kSsdpPort;
        EXPECT_EQ(server->Start(port), 0);
        EXPECT_EQ(port, kSsdpPort);
        return server;
    }

    // Sends data to the group from peer link's namespace.
    static bool PeerSends(size_t link, const std::string& data) {
        return zel_test::SendDatagram(Link(link).peer_ns, Link(link).peer_ip, kSsdpGroup, kSsdpPort,
                                      data);
    }

    // True when the device interface is a member of the SSDP group.
    static bool IsMember(const std::string& device_if) {
        std::string out;
        const int rc =
            zel_test::NetnsTopology::Exec(topo_->DeviceNs(), "ip maddr show dev " + device_if,
                                          zel_test::kDefaultCommandTimeout, &out);
        EXPECT_EQ(rc, 0) << out;
        return out.find(kSsdpGroup) != std::string::npos;
    }

    zel_test::UdpRequestRecorder& Recorder() { return dispatch_.Recorder(); }

    static std::unique_ptr<zel_test::NetnsTopology> topo_;
    zel_test::LogCapture log_;
    zel_test::DispatchHarness dispatch_;
    zel_test::IoThread io_;
};

std::unique_ptr<zel_test::NetnsTopology> MulticastServerTest::topo_;

TEST_F(MulticastServerTest, OwnLoopedBackDatagramIsDiscardedWhileAPeersIsDispatched) {
    boost::shared_ptr<MulticastServer> server = StartServer(0);
    EXPECT_TRUE(log_.Contains("listen_address [" + Link(0).device_ip + "]"));
    EXPECT_TRUE(log_.Contains("Multicast Server Started: 239.255.255.250:1900"));
    EXPECT_EQ(server->GetIpAddress(), Link(0).device_ip);
    EXPECT_EQ(server->GetInterfaceName(), Link(0).device_if);
    EXPECT_EQ(server->GetPort(), kSsdpPort);

    // A second member of the group on the device interface, beside the
    // server: what it receives, the server's socket received too.
    zel_test::GroupMember witness("", kSsdpGroup, kSsdpPort, Link(0).device_ip);
    ASSERT_TRUE(witness.Ok());
    // The device announces itself; the kernel loops the datagram back to
    // every socket of the group, the server's included.
    const std::string datagram = Notify("same");
    ASSERT_TRUE(SendToGroup(Link(0).device_ip, datagram));
    ASSERT_TRUE(witness.ReceiveFrom(Link(0).device_ip));

    // The same bytes from the peer queue up behind the looped-back copy.
    ASSERT_TRUE(PeerSends(0, datagram));
    ASSERT_TRUE(Recorder().WaitForCount(1));
    ASSERT_TRUE(PeerSends(0, Notify("sync")));
    ASSERT_TRUE(Recorder().WaitForHeader("X-SEQ", "sync"));

    auto requests = Recorder().Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_EQ(request->GetClientIpAddress(), Link(0).peer_ip);
        EXPECT_EQ(request->GetMyIpAddress(), Link(0).device_ip);
        EXPECT_NE(request->GetClientPort(), 0);
        EXPECT_EQ(request->GetRequestType(), zel_upnp::utils::HTTP_NOTIFY);
    }
    EXPECT_EQ(Recorder().CountHeader("X-SEQ", "same"), 1u);
    EXPECT_TRUE(log_.Contains("Received packet from [" + Link(0).peer_ip + ":"));
    EXPECT_FALSE(log_.Contains("Received packet from [" + Link(0).device_ip + ":"));
    server->Stop();
}

// The server manager runs one multicast server per interface, all on the
// same port: each must hear the group only on its own interface, or a
// search would be answered twice, once with the wrong own address.
TEST_F(MulticastServerTest, EachServerHearsTheGroupOnlyOnItsOwnInterface) {
    boost::shared_ptr<MulticastServer> first = StartServer(0);
    boost::shared_ptr<MulticastServer> second = StartServer(1);

    ASSERT_TRUE(PeerSends(1, Notify("from-1")));
    ASSERT_TRUE(PeerSends(0, Notify("from-0")));
    ASSERT_TRUE(Recorder().WaitForHeader("X-SEQ", "from-1"));
    ASSERT_TRUE(Recorder().WaitForHeader("X-SEQ", "from-0"));
    // Anything a wrong server picked up was queued before these.
    ASSERT_TRUE(PeerSends(1, Notify("sync-1")));
    ASSERT_TRUE(PeerSends(0, Notify("sync-0")));
    ASSERT_TRUE(Recorder().WaitForHeader("X-SEQ", "sync-1"));
    ASSERT_TRUE(Recorder().WaitForHeader("X-SEQ", "sync-0"));

    EXPECT_EQ(Recorder().Count(), 4u);
    for (const auto& request : Recorder().Requests()) {
        const size_t link = request->GetClientIpAddress() == Link(0).peer_ip ? 0 : 1;
        EXPECT_EQ(request->GetClientIpAddress(), Link(link).peer_ip);
        EXPECT_EQ(request->GetMyIpAddress(), Link(link).device_ip);
    }
    first->Stop();
    second->Stop();
}

TEST_F(MulticastServerTest, StopLeavesTheGroupAndCancelsTheReceiveAndStartRejoins) {
    boost::shared_ptr<MulticastServer> server = StartServer(0);
    EXPECT_TRUE(IsMember(Link(0).device_if));
    EXPECT_FALSE(IsMember(Link(1).device_if));

    EXPECT_EQ(server->Stop(), 0);
    EXPECT_TRUE(log_.Contains("Stop Called [Scoped Locked in Stop]"));
    EXPECT_TRUE(log_.Contains("Leaving multicast group at interface [" + Link(0).device_ip + "]"));
    EXPECT_TRUE(log_.Contains("close multicast server"));
    EXPECT_FALSE(log_.Contains("MulticastServer::Stop failure in leaving multicast group"));
    EXPECT_FALSE(IsMember(Link(0).device_if));
    ASSERT_TRUE(zel_test::WaitForLog(log_, "[Multicast Server::receive_handler] Canceled ["));
    EXPECT_FALSE(log_.Contains("[Multicast Server::receive_handler] Error"));

    int port = kSsdpPort;
    ASSERT_EQ(server->Start(port), 0);
    EXPECT_EQ(port, kSsdpPort);
    EXPECT_TRUE(IsMember(Link(0).device_if));
    ASSERT_TRUE(PeerSends(0, Notify("again")));
    EXPECT_TRUE(Recorder().WaitForHeader("X-SEQ", "again"));
    EXPECT_EQ(Recorder().Count(), 1u);
    server->Stop();
}

TEST_F(MulticastServerTest, GarbageFromAPeerIsDroppedAndReceivingGoesOn) {
    boost::shared_ptr<MulticastServer> server = StartServer(0);
    ASSERT_TRUE(PeerSends(0, "GARBAGE\r\n\r\n"));
    ASSERT_TRUE(zel_test::WaitForLog(log_, "PARSER FAILURE Status 1 and Buffer: GARBAGE\r\n\r\n"));
    ASSERT_TRUE(PeerSends(0, Notify("clean")));
    auto request = Recorder().WaitForHeader("X-SEQ", "clean");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->GetRequestType(), zel_upnp::utils::HTTP_NOTIFY);
    std::vector<zel_upnp::utils::NameValue*> headers;
    request->GetHeader(headers);
    EXPECT_EQ(headers.size(), 5u);
    EXPECT_EQ(Recorder().Count(), 1u);
    server->Stop();
}

TEST_F(MulticastServerTest, StartFailuresReportTheirCodes) {
    int port = kSsdpPort;
    boost::shared_ptr<MulticastServer> bad_group = MakeServer(0, "not-a-group");
    EXPECT_EQ(bad_group->Start(port), zel_upnp::network_layer::NL_SERVER_START_FAILED);
    EXPECT_TRUE(log_.Contains("Invalid multicast ip, error ["));

    // A unicast address is no group to join.
    boost::shared_ptr<MulticastServer> unicast = MakeServer(0, Link(1).device_ip);
    EXPECT_EQ(unicast->Start(port), zel_upnp::network_layer::NL_BIND_FAILURE);
    EXPECT_TRUE(log_.Contains("MulticastServer::Start:UDP Socket joingroup set_option error, ["));

    const NetInfo info{"zdev-none", "10.213.99.1", "255.255.255.0", ""};
    boost::shared_ptr<MulticastServer> bad_local = boost::make_shared<MulticastServer>(
        "not-an-address", info, kSsdpGroup, kSsdpPort, io_.Io());
    EXPECT_EQ(bad_local->Start(port), zel_upnp::network_layer::NL_SERVER_START_FAILED);
    EXPECT_TRUE(log_.Contains("Invalid local ip, error ["));

    boost::shared_ptr<MulticastServer> running = StartServer(0);
    EXPECT_EQ(running->Start(port), zel_upnp::network_layer::NL_SOCKET_FAILURE);
    EXPECT_TRUE(log_.Contains("MulticastServer::Start:UDP Socket Open error, ["));
    // The refused second Start leaves the first one receiving.
    ASSERT_TRUE(PeerSends(0, Notify("running")));
    EXPECT_TRUE(Recorder().WaitForHeader("X-SEQ", "running"));
    running->Stop();

    // Failed servers hold no socket: stopping them is quiet.
    log_.Clear();
    EXPECT_EQ(bad_group->Stop(), 0);
    EXPECT_EQ(unicast->Stop(), 0);
    EXPECT_FALSE(log_.Contains("close multicast server"));
}

}  // namespace
