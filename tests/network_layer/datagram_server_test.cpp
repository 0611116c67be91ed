#include "network_layer/src/datagram_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/make_shared.hpp>

#include "network_layer/src/multicast_server.h"
#include "network_layer/src/udp_server.h"
#include "support/peers.h"

namespace {

using boost::asio::ip::udp;
namespace nl = zel_upnp::network_layer;

constexpr char kLoopback[] = "127.0.0.1";
constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr int kSsdpPort = 1900;

std::string Search(const std::string& seq) {
    return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
           "MX: 1\r\nST: ssdp:all\r\nX-SEQ: " +
           seq + "\r\n\r\n";
}

// A sender on loopback with a port of its own: each one is a distinct peer.
class Sender {
  public:
    Sender() : socket_(io_, udp::endpoint(boost::asio::ip::make_address(kLoopback), 0)) {}
    void Send(int port, const std::string& data) {
        socket_.send_to(boost::asio::buffer(data),
                        udp::endpoint(boost::asio::ip::make_address(kLoopback), port));
    }
    int Port() const { return socket_.local_endpoint().port(); }

  private:
    boost::asio::io_service io_;
    udp::socket socket_;
};

// Unicast servers on loopback: no namespace and no root needed.
class UdpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dispatch_.Ok());
        server_ = boost::make_shared<nl::UDPServer>(kLoopback, "localhost", 0, io_.Io());
        ASSERT_EQ(server_->Start(port_), 0);
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        if (server_)
            server_->Stop();
    }
    zel_test::UdpRequestRecorder& Recorder() { return dispatch_.Recorder(); }

    zel_test::DispatchHarness dispatch_;
    zel_test::IoThread io_;
    boost::shared_ptr<nl::UDPServer> server_;
    int port_ = 0;
};

TEST_F(UdpServerTest, CompleteRequestCarriesBothAddressesAndGarbageIsDropped) {
    Sender peer;
    peer.Send(port_, "GARBAGE\r\n\r\n");
    peer.Send(port_, "");
    // A head split over two datagrams of one sender is one request.
    const std::string search = Search("split");
    peer.Send(port_, search.substr(0, 20));
    peer.Send(port_, search.substr(20));
    auto request = Recorder().WaitForHeader("X-SEQ", "split");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->GetRequestType(), zel_upnp::utils::HTTP_MSEARCH);
    EXPECT_EQ(request->GetClientIpAddress(), kLoopback);
    EXPECT_EQ(request->GetMyIpAddress(), kLoopback);
    EXPECT_EQ(request->GetClientPort(), peer.Port());
    EXPECT_EQ(Recorder().Count(), 1u);
}

// A peer streaming header lines without ever ending its head: what is held
// for it stays within the bound, it never merges into another host's
// request, and the honest requests beside it (its own included) arrive
// intact from the right sender.
TEST_F(UdpServerTest, StreamingPeerNeitherGrowsMemoryNorMergesIntoOthers) {
    Sender hostile;
    Sender honest;
    const std::string pad = "X-PAD: " + std::string(1000, 'a') + "\r\n";
    hostile.Send(port_, "NOTIFY * HTTP/1.1\r\n");
    std::size_t most = 0;
    // 60 KiB in all: several times the bound, yet within the socket buffer.
    for (int i = 0; i < 60; ++i) {
        hostile.Send(port_, pad);
        most = std::max(most, server_->PendingRequestBytes());
        if (i == 30)
            honest.Send(port_, Search("honest"));
    }
    hostile.Send(port_, Search("hostile-own"));
    auto own = Recorder().WaitForHeader("X-SEQ", "hostile-own");
    ASSERT_TRUE(own);
    auto other = Recorder().WaitForHeader("X-SEQ", "honest");
    ASSERT_TRUE(other);
    EXPECT_LE(most, nl::kMaxAssembledRequestSize);
    EXPECT_EQ(other->GetClientPort(), honest.Port());
    EXPECT_EQ(own->GetClientPort(), hostile.Port());
    for (const auto& request : {own, other}) {
        std::string value;
        EXPECT_NE(request->GetHeaderValue("X-PAD", value), 0) << "merged: " << value.size();
    }
    EXPECT_EQ(Recorder().Count(), 2u);
    EXPECT_EQ(server_->PendingRequestBytes(), 0u);
}

// A head that would pass the bound is dropped even when its end arrives.
TEST_F(UdpServerTest, HeadPassingTheBoundIsDroppedAndTheNextArrives) {
    Sender peer;
    const std::string search = Search("too-long");
    const std::size_t cut = search.size() - 2;
    peer.Send(port_, search.substr(0, cut));
    const std::string pad = "X-PAD: " + std::string(1000, 'b') + "\r\n";
    for (std::size_t sent = cut; sent + pad.size() <= nl::kMaxAssembledRequestSize + 1000;
         sent += pad.size())
        peer.Send(port_, pad);
    peer.Send(port_, "\r\n");
    peer.Send(port_, Search("after"));
    ASSERT_TRUE(Recorder().WaitForHeader("X-SEQ", "after"));
    EXPECT_EQ(Recorder().CountHeader("X-SEQ", "too-long"), 0u);
    EXPECT_EQ(Recorder().Count(), 1u);
}

// Multicast servers live in a private topology: the device namespace (this
// thread and the servers' sockets) and two peers on veth links.
class MulticastServerTest : public zel_test::NetnsSuite<2> {
  protected:
    void SetUp() override {
        NetnsSuite::SetUp();
        if (Unready())
            return;
        ASSERT_TRUE(dispatch_.Ok());
    }
    boost::shared_ptr<nl::MulticastServer> StartServer(size_t link) {
        const zel_test::NetnsLink& l = Link(link);
        const nl::NetInfo info{l.device_if, l.device_ip, l.netmask, l.device_mac};
        auto server = boost::make_shared<nl::MulticastServer>(l.device_ip, info, kSsdpGroup,
                                                              kSsdpPort, io_.Io());
        int port = kSsdpPort;
        EXPECT_EQ(server->Start(port), 0);
        return server;
    }
    static bool PeerSends(size_t link, const std::string& data) {
        return zel_test::SendDatagram(Link(link).peer_ns, Link(link).peer_ip, kSsdpGroup, kSsdpPort,
                                      data);
    }
    zel_test::UdpRequestRecorder& Recorder() { return dispatch_.Recorder(); }

    zel_test::DispatchHarness dispatch_;
    zel_test::IoThread io_;
};

// One server per interface on the same port: each hears the group only on
// its own interface, and never the device's own looped-back announcement.
TEST_F(MulticastServerTest, EachServerHearsItsOwnInterfaceButNotItself) {
    auto first = StartServer(0);
    auto second = StartServer(1);
    zel_test::GroupMember witness("", kSsdpGroup, kSsdpPort, Link(0).device_ip);
    ASSERT_TRUE(witness.Ok());
    ASSERT_TRUE(zel_test::SendDatagram(topo_->DeviceNs(), Link(0).device_ip, kSsdpGroup, kSsdpPort,
                                       Search("own")));
    ASSERT_TRUE(witness.ReceiveFrom(Link(0).device_ip));
    ASSERT_TRUE(PeerSends(0, Search("peer0")));
    ASSERT_TRUE(PeerSends(1, Search("peer1")));
    auto zero = Recorder().WaitForHeader("X-SEQ", "peer0");
    auto one = Recorder().WaitForHeader("X-SEQ", "peer1");
    ASSERT_TRUE(zero && one);
    EXPECT_EQ(zero->GetMyIpAddress(), Link(0).device_ip);
    EXPECT_EQ(zero->GetClientIpAddress(), Link(0).peer_ip);
    EXPECT_EQ(one->GetMyIpAddress(), Link(1).device_ip);
    EXPECT_EQ(Recorder().CountHeader("X-SEQ", "own"), 0u);
    EXPECT_EQ(Recorder().Count(), 2u);

    // Stop leaves the group; Start joins it again on the same port.
    first->Stop();
    int port = kSsdpPort;
    ASSERT_EQ(first->Start(port), 0);
    ASSERT_TRUE(PeerSends(0, Search("rejoined")));
    EXPECT_TRUE(Recorder().WaitForHeader("X-SEQ", "rejoined"));
    first->Stop();
    second->Stop();
}

}  // namespace
