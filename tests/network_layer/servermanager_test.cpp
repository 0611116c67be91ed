#include "network_layer/src/servermanager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/make_shared.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/clientmanager.h"
#include "network_layer/src/multicast_server.h"
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/tcp_server.h"
#include "network_layer/src/udp_server.h"
#include "support/peers.h"

// The whole test process body runs in the device namespace of a private
// topology with two peers (device interfaces zdev0 10.213.1.1 and zdev1
// 10.213.2.1); the library's io threads are started from there, so every
// socket the server manager opens lives on the test links.
namespace {

namespace nl = zel_upnp::network_layer;
using nl::IpInfo;
using nl::IpInfoList;
using nl::ServerManager;
using nl::ServerNotify;

constexpr int kTcpPort = 48000;
constexpr int kUdpPort = 48100;
// A multicast port other than 1900: servers rebuilt on a new interface
// must ignore it.
constexpr int kConfiguredMulticastPort = 48200;
constexpr int kSsdpPort = 1900;
constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr char kExtraGroup[] = "239.255.255.177";
constexpr char kUnknownAddress[] = "10.213.99.1";
constexpr int kConcurrentRounds = 20;

std::string Datagram(const std::string& seq) {
    return "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
           "NTS: ssdp:alive\r\nX-SEQ: " +
           seq + "\r\n\r\n";
}

bool SameRecord(const IpInfo& record, const std::string& address, int port, int requested, int type,
                const std::string& name) {
    return record.ip_address == address && record.port == port &&
           record.requested_port == requested && record.server_type == type &&
           record.interface_name == name;
}

template <class Kind>
size_t CountKind(const std::list<boost::shared_ptr<ServerNotify>>& servers) {
    return static_cast<size_t>(
        std::count_if(servers.begin(), servers.end(), [](const boost::shared_ptr<ServerNotify>& s) {
            return boost::dynamic_pointer_cast<Kind>(s) != nullptr;
        }));
}

class ServerManagerTest : public zel_test::NetnsSuite<2> {
  protected:
    void SetUp() override {
        NetnsSuite::SetUp();
        if (Unready())
            return;
        ASSERT_EQ(0, nl::InitializeNetworkLayer());
        ASSERT_EQ(0, nl::StartNetworkLayer());
        manager_ = ServerManager::GetInstance();
        ASSERT_NE(nullptr, manager_);
        recorder_ = boost::make_shared<zel_test::UdpRequestRecorder>();
        int id = -1;
        ASSERT_EQ(0, nl::RegisterUDPRequestListener({""}, recorder_, id));
    }

    void TearDown() override {
        nl::StopNetworkLayer();
        nl::TerminateNetworkLayer();
    }

    static void Add(size_t i) {
        ASSERT_EQ(0, nl::NotifyNICAdded(Link(i).device_if, Link(i).device_ip, Link(i).netmask));
    }

    std::vector<IpInfo> Records() {
        std::vector<IpInfo> records;
        for (const auto& record : manager_->GetConfiguredList())
            records.push_back(*record);
        return records;
    }

    ServerManager* manager_ = nullptr;
    boost::shared_ptr<zel_test::UdpRequestRecorder> recorder_;
};

TEST_F(ServerManagerTest, TcpOnTwoInterfacesThenDisableByPortRemovesEverything) {
    Add(0);
    Add(1);
    ASSERT_EQ(0, nl::ConfigureTCPServer(kTcpPort, true));

    const std::vector<IpInfo> records = Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_TRUE(SameRecord(records[0], "INADDR_ANY", kTcpPort, kTcpPort, 1, "empty"));
    EXPECT_TRUE(
        SameRecord(records[1], Link(0).device_ip, kTcpPort, kTcpPort, 1, Link(0).device_if));
    EXPECT_TRUE(
        SameRecord(records[2], Link(1).device_ip, kTcpPort, kTcpPort, 1, Link(1).device_if));
    EXPECT_EQ(2u, CountKind<nl::TCPServer>(manager_->GetServerList()));
    EXPECT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    EXPECT_TRUE(zel_test::Serves(Link(1).peer_ns, Link(1).device_ip, kTcpPort));

    ASSERT_EQ(0, nl::ConfigureTCPServer(kTcpPort, false));
    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(manager_->GetServerList().empty());
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    EXPECT_FALSE(zel_test::CanConnect(Link(1).peer_ns, Link(1).device_ip, kTcpPort));
}

TEST_F(ServerManagerTest, BusyPortBindsTheNextOneAndRemovalFollowsTheBoundPort) {
    Add(0);
    boost::asio::io_service io;
    boost::asio::ip::tcp::acceptor squatter(
        io,
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(Link(0).device_ip), kTcpPort));
    ASSERT_EQ(0, nl::ConfigureTCPServer(kTcpPort, true));

    const std::vector<IpInfo> records = Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_TRUE(
        SameRecord(records[1], Link(0).device_ip, kTcpPort + 1, kTcpPort, 1, Link(0).device_if));
    std::list<boost::shared_ptr<IpInfo>> ports;
    ASSERT_EQ(0, nl::GetConfiguredTcpPorts(ports));
    EXPECT_EQ(kTcpPort + 1, ports.front()->port);
    EXPECT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort + 1));

    // Disabled by the port the application asked for, not the bound one.
    ASSERT_EQ(0, nl::ConfigureTCPServer(kTcpPort, false));
    EXPECT_TRUE(manager_->GetServerList().empty());
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort + 1));
}

TEST_F(ServerManagerTest, TcpStartFailureEndsTheCallWith2006) {
    // An address no interface of the namespace has: every bind fails.
    ASSERT_EQ(0, nl::NotifyNICAdded("ghost0", kUnknownAddress, Link(0).netmask));
    Add(0);
    EXPECT_EQ(2006, nl::ConfigureTCPServer(kTcpPort, true));
    // The template stays; the interface after the failing one got nothing.
    const std::vector<IpInfo> records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("INADDR_ANY", records[0].ip_address);
    EXPECT_TRUE(manager_->GetServerList().empty());
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
}

// Configuration repeated (or retried after a failed step) leaves one server
// per port and interface address: no second socket on port+1, no second
// multicast member answering every search twice.
TEST_F(ServerManagerTest, RepeatedConfigurationLeavesOneServerPerPortAndAddress) {
    Add(0);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(0, nl::ConfigureTCPServer(kTcpPort, true));
        ASSERT_EQ(0, nl::ConfigureUDPServer(kUdpPort, true));
        ASSERT_EQ(0, nl::ConfigureUPnPMulticastServer(kSsdpPort, true));
        ASSERT_EQ(0, nl::ConfigureMulticastServer(kExtraGroup, kSsdpPort, true));
    }
    // A later interface gets one of each too.
    Add(1);
    const auto servers = manager_->GetServerList();
    EXPECT_EQ(2u, CountKind<nl::TCPServer>(servers));
    EXPECT_EQ(2u, CountKind<nl::UDPServer>(servers));
    EXPECT_EQ(4u, CountKind<nl::MulticastServer>(servers));
    // Per kind one template and one record per address; two group templates.
    EXPECT_EQ(8u, Records().size());
    for (const IpInfo& record : Records())
        EXPECT_TRUE(record.port == record.requested_port) << record.ip_address;
    EXPECT_EQ(2u, zel_test::CountUdpSocketsOnPort(kUdpPort));
}

TEST_F(ServerManagerTest, MulticastSupportOffCreatesUnstartedServersAndOnStartsThem) {
    Add(0);
    ASSERT_EQ(0, manager_->ConfigureMulticastSupport(false));
    ASSERT_EQ(0, nl::ConfigureUDPServer(kUdpPort, true));
    ASSERT_EQ(0, nl::ConfigureUPnPMulticastServer(kSsdpPort, true));

    // Kept and recorded, but holding no socket.
    const std::vector<IpInfo> records = Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_TRUE(SameRecord(records[0], "INADDR_ANY", kUdpPort, kUdpPort, 2, "empty"));
    EXPECT_TRUE(
        SameRecord(records[1], Link(0).device_ip, kUdpPort, kUdpPort, 2, Link(0).device_if));
    EXPECT_TRUE(SameRecord(records[2], kSsdpGroup, kSsdpPort, kSsdpPort, 3, "empty"));
    const auto servers = manager_->GetServerList();
    EXPECT_EQ(1u, CountKind<nl::UDPServer>(servers));
    EXPECT_EQ(1u, CountKind<nl::MulticastServer>(servers));
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kUdpPort));
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kSsdpPort));

    ASSERT_EQ(0, manager_->ConfigureMulticastSupport(true));
    EXPECT_EQ(1u, zel_test::CountUdpSocketsOnPort(kUdpPort));
    EXPECT_EQ(1u, zel_test::CountUdpSocketsOnPort(kSsdpPort));
    ASSERT_TRUE(zel_test::SendDatagram(Link(0).peer_ns, Link(0).peer_ip, Link(0).device_ip,
                                       kUdpPort, Datagram("unicast")));
    EXPECT_TRUE(recorder_->WaitForHeader("X-SEQ", "unicast"));
    ASSERT_TRUE(zel_test::SendDatagram(Link(0).peer_ns, Link(0).peer_ip, kSsdpGroup, kSsdpPort,
                                       Datagram("group")));
    EXPECT_TRUE(recorder_->WaitForHeader("X-SEQ", "group"));

    // TCP servers are never touched by the flag.
    ASSERT_EQ(0, nl::ConfigureTCPServer(kTcpPort, true));
    ASSERT_EQ(0, manager_->ConfigureMulticastSupport(false));
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kUdpPort));
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kSsdpPort));
    EXPECT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
}

TEST_F(ServerManagerTest, InterfaceAppearingLaterGetsEveryConfiguredServerAndLosesThemOnRemoval) {
    ASSERT_EQ(0, nl::ConfigureTCPServer(kTcpPort, true));
    ASSERT_EQ(0, nl::ConfigureUDPServer(kUdpPort, true));
    ASSERT_EQ(0, nl::ConfigureUPnPMulticastServer(kConfiguredMulticastPort, true));
    ASSERT_EQ(0, nl::ConfigureMulticastServer(kExtraGroup, kConfiguredMulticastPort, true));
    EXPECT_EQ(4u, Records().size());
    EXPECT_TRUE(manager_->GetServerList().empty());

    Add(0);
    const auto servers = manager_->GetServerList();
    ASSERT_EQ(4u, servers.size());
    EXPECT_EQ(1u, CountKind<nl::TCPServer>(servers));
    EXPECT_EQ(1u, CountKind<nl::UDPServer>(servers));
    EXPECT_EQ(2u, CountKind<nl::MulticastServer>(servers));
    for (const auto& server : servers) {
        EXPECT_EQ(Link(0).device_ip + " " + Link(0).device_if,
                  server->GetIpAddress() + " " + server->GetInterfaceName());
        if (boost::dynamic_pointer_cast<nl::MulticastServer>(server)) {
            EXPECT_EQ(kSsdpPort, server->GetPort());
        }
    }
    ASSERT_EQ(6u, Records().size());
    EXPECT_TRUE(
        SameRecord(Records()[5], Link(0).device_ip, kUdpPort, kUdpPort, 2, Link(0).device_if));

    EXPECT_TRUE(zel_test::Serves(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    ASSERT_TRUE(zel_test::SendDatagram(Link(0).peer_ns, Link(0).peer_ip, kExtraGroup, kSsdpPort,
                                       Datagram("extra")));
    EXPECT_TRUE(recorder_->WaitForHeader("X-SEQ", "extra"));
    ASSERT_TRUE(zel_test::SendDatagram(Link(0).peer_ns, Link(0).peer_ip, Link(0).device_ip,
                                       kUdpPort, Datagram("unicast")));
    EXPECT_TRUE(recorder_->WaitForHeader("X-SEQ", "unicast"));

    ASSERT_EQ(0, nl::NotifyNICRemoved(Link(0).device_if));
    EXPECT_TRUE(manager_->GetServerList().empty());
    for (const IpInfo& record : Records())
        EXPECT_EQ("empty", record.interface_name);
    EXPECT_EQ(4u, Records().size());
    EXPECT_FALSE(zel_test::CanConnect(Link(0).peer_ns, Link(0).device_ip, kTcpPort));
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kSsdpPort));
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kUdpPort));
}

TEST_F(ServerManagerTest, ConcurrentEventsConfigurationAndQueriesEndConsistent) {
    Add(0);
    std::atomic<bool> done(false);
    std::thread events([&] {
        for (int i = 0; i < kConcurrentRounds; ++i) {
            nl::NotifyNICAdded(Link(1).device_if, Link(1).device_ip, Link(1).netmask);
            nl::NotifyNICRemoved(Link(1).device_if);
        }
    });
    std::thread queries([&] {
        while (!done.load()) {
            std::list<boost::shared_ptr<IpInfo>> tcp;
            nl::GetConfiguredTcpPorts(tcp);
            IpInfoList udp;
            nl::GetConfiguredUdpPorts(udp);
            manager_->GetServerList();
        }
    });
    for (int i = 0; i < kConcurrentRounds; ++i) {
        nl::ConfigureTCPServer(kTcpPort, true);
        nl::ConfigureUDPServer(kUdpPort, true);
        nl::ConfigureTCPServer(kTcpPort, false);
        nl::ConfigureUDPServer(kUdpPort, false);
    }
    events.join();
    done = true;
    queries.join();

    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(manager_->GetServerList().empty());
    EXPECT_EQ(0u, zel_test::CountUdpSocketsOnPort(kUdpPort));
}

TEST(ServerManagerFacadeTest, LayerLifecycleCreatesAndDestroysTheSingletons) {
    ASSERT_EQ(0, nl::InitializeNetworkLayer());
    EXPECT_NE(nullptr, ServerManager::GetInstance());
    EXPECT_NE(nullptr, nl::NetworkInterface::GetInstance());
    ASSERT_EQ(0, nl::StartNetworkLayer());
    EXPECT_EQ(0, nl::StopNetworkLayer());
    EXPECT_EQ(0, nl::TerminateNetworkLayer());
    EXPECT_EQ(nullptr, ServerManager::GetInstance());
    EXPECT_EQ(nullptr, nl::NetworkInterface::GetInstance());
    // A late call fails with the not-initialised code and brings no
    // singleton back.
    EXPECT_EQ(1, nl::SendUDPPacket("127.0.0.1", 9, "x", 1));
    EXPECT_EQ(1, nl::ConfigureTCPServer(kTcpPort, true));
    EXPECT_EQ(nullptr, zel_upnp::network_layer::CallBackHandler::GetInstance());
    EXPECT_EQ(nullptr, zel_upnp::network_layer::ClientManager::GetInstance());
    EXPECT_EQ(nullptr, ServerManager::GetInstance());
}

}  // namespace
