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
constexpr int kSsdpPort = 1900;
constexpr char kExtraGroup[] = "239.255.255.177";
constexpr int kConcurrentRounds = 20;

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
};

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

}  // namespace
