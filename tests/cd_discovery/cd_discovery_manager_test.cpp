#include "cd_discovery/src/cd_discovery_manager.h"
#include "cd_discovery/src/ssdp_notify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <boost/algorithm/string/replace.hpp>

#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/cd_utils.h>
#include <zel_upnp/framework_core.h>
#include "support/device_library.h"
#include "support/peers.h"

// The device lives in a private topology; its NOTIFYs are read by group
// members in the peer namespaces.
namespace {

namespace cd = zel_upnp::cd_discovery;
using zel_test::CountOf;

class CDDiscoveryManagerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(2); }
    static void TearDownTestSuite() { topo_.reset(); }

    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        for (size_t i = 0; i < 2; ++i) {
            members_.emplace_back(new zel_test::GroupMember(
                topo_->Link(i).peer_ns, "239.255.255.250", 1900, topo_->Link(i).peer_ip));
            ASSERT_TRUE(members_.back()->Ok());
        }
        library_.reset(new zel_test::DeviceLibrary(*topo_));
        ASSERT_TRUE(library_->Ok());
    }
    void TearDown() override { library_.reset(); }

    // The next n datagrams reaching peer i (fewer when they stop coming).
    std::vector<std::string> Collect(size_t n, size_t peer = 0,
                                     std::chrono::milliseconds wait = zel_test::kTestWait) {
        std::vector<std::string> got;
        std::string data;
        boost::asio::ip::udp::endpoint from;
        while (got.size() < n && members_[peer]->Receive(data, from, wait))
            got.push_back(data);
        return got;
    }

    cd::RegisteredDeviceInfo Register(const zel_test::DescriptionFolder& folder) {
        cd::RegisteredDeviceInfo out;
        EXPECT_EQ(0, cd::RegisterDevice(folder.Path(), "d.xml", out));
        return out;
    }

    static std::unique_ptr<zel_test::NetnsTopology> topo_;
    std::vector<std::unique_ptr<zel_test::GroupMember> > members_;
    std::unique_ptr<zel_test::DeviceLibrary> library_;
};

std::unique_ptr<zel_test::NetnsTopology> CDDiscoveryManagerTest::topo_;

// Start: one bye-bye burst at once (two passes), one alive burst (two
// rounds) 200 ms later. Root: upnp:rootdevice, udn, type, 2 services;
// embedded: udn, type, 1 service.
TEST_F(CDDiscoveryManagerTest, StartSendsByeByeThenAliveBurstsWithExactCounts) {
    zel_test::DescriptionFolder folder("<UDN>uuid:root-1</UDN>", 600);
    const cd::RegisteredDeviceInfo device = Register(folder);
    ASSERT_EQ(0, cd::StartDevice(device.udn));
    const std::vector<std::string> got = Collect(32);
    ASSERT_EQ(32u, got.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_NE(std::string::npos, got[i].find(i < 16 ? "ssdp:byebye" : "ssdp:alive")) << i;
    const std::string location = "LOCATION: http://" + topo_->Link(0).device_ip + ":49152/d.xml";
    EXPECT_EQ(16u, CountOf(got, location));
    EXPECT_EQ(16u, CountOf(got, "CACHE-CONTROL: max-age=600\r\n"));
    EXPECT_EQ(4u, CountOf(got, "USN: uuid:root-1::upnp:rootdevice\r\n"));
    EXPECT_EQ(4u, CountOf(got, "USN: uuid:root-1\r\n"));
    EXPECT_EQ(4u, CountOf(got, "USN: uuid:emb-1\r\n"));
    EXPECT_EQ(0u, CountOf(got, "uuid:emb-1::upnp:rootdevice"));
    EXPECT_EQ(4u, CountOf(got, "USN: uuid:emb-1::urn:schemas-upnp-org:service:SwitchPower:1\r\n"));
    EXPECT_EQ(32u, CountOf(got, "HOST: 239.255.255.250:1900\r\n"));
    EXPECT_EQ(0, got[0].find("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nDATE: "));

    // Stop: bye-bye, and no alive after it.
    ASSERT_EQ(0, cd::StopDevice(device.udn));
    const std::vector<std::string> after = Collect(100, 0, std::chrono::milliseconds(800));
    EXPECT_EQ(16u, after.size());
    EXPECT_EQ(16u, CountOf(after, "ssdp:byebye"));
}

TEST_F(CDDiscoveryManagerTest, AliveTimerIsRearmedAtFourTenthsOfTheMaxAge) {
    zel_test::DescriptionFolder folder("<UDN>uuid:root-1</UDN>", 1);
    ASSERT_EQ(0, cd::StartDevice(Register(folder).udn));
    // bye-bye burst, then three alive bursts: at 200 ms, 400 ms later, 400 ms later.
    const std::vector<std::string> got = Collect(16 + 3 * 16);
    EXPECT_EQ(48u, CountOf(got, "CACHE-CONTROL: max-age=1\r\n"));
}

TEST_F(CDDiscoveryManagerTest, FileTransferServerIsAlsoAnnouncedOnTheSecondGroup) {
    zel_test::GroupMember second(topo_->Link(0).peer_ns, "239.255.255.177", 1900,
                                 topo_->Link(0).peer_ip);
    ASSERT_TRUE(second.Ok());
    zel_test::DescriptionFolder folder("<UDN>uuid:root-1</UDN>", 0,
                                       std::string(cd::kFileTransferServerType) + ":1");
    ASSERT_EQ(0, cd::StartDevice(Register(folder).udn));
    // Members bound to the SSDP port on any address hear both groups once
    // the peer has joined both. Only the root's 5 types go to the second
    // group (2 bye-bye passes, 2 alive rounds).
    const std::vector<std::string> got = Collect(32 + 20);
    EXPECT_EQ(20u, CountOf(got, "HOST: 239.255.255.177:1900\r\n"));
    EXPECT_EQ(32u, CountOf(got, "HOST: 239.255.255.250:1900\r\n"));
}

TEST_F(CDDiscoveryManagerTest, FriendlyNameChangeRewritesFileAndUserAgentAndReannounces) {
    zel_test::DescriptionFolder folder;
    const cd::RegisteredDeviceInfo device = Register(folder);
    ASSERT_EQ(0, zel_upnp::cd_utils::RegisterAclListener(
                     device.udn, [](const auto&) { return true; },
                     zel_upnp::cd_utils::ACL_MODE_ALLOW_ALL));
    ASSERT_EQ(0, cd::StartDevice(device.udn));
    ASSERT_EQ(32u, Collect(32).size());
    ASSERT_EQ(0, cd::SetFriendlyName(device.handle, "Den <Lamp>", folder.Path()));
    std::string name;
    EXPECT_EQ(0, cd::GetFriendlyName(device.handle, name));
    EXPECT_EQ("Den <Lamp>", name);
    EXPECT_NE(std::string::npos,
              folder.Read().find("<friendlyName>Den &lt;Lamp&gt;</friendlyName>"));
    const std::vector<std::string> got = Collect(32);
    ASSERT_EQ(32u, got.size());
    EXPECT_EQ(16u, CountOf(got, "ssdp:byebye"));
    EXPECT_NE(std::string::npos, got[16].find("ssdp:alive"));
    const std::string answer =
        zel_test::TcpExchange(topo_->Link(0).peer_ns, topo_->Link(0).device_ip, 49152,
                              "GET /d.xml HTTP/1.1\r\nHOST: x\r\n\r\n");
    EXPECT_NE(std::string::npos,
              answer.find("User-Agent: DLNADOC/1.50 QTN_HHP_Den <Lamp>/1.0 UPnP/1.0\r\n"));
    EXPECT_EQ(cd::CD_INVALID, cd::SetFriendlyName(99, "x", folder.Path()));
}

// After an interface event and the root's stop, nothing of its embedded device goes out.
TEST_F(CDDiscoveryManagerTest, StoppedRootSilencesItsEmbeddedDeviceAfterAnInterfaceEvent) {
    zel_test::DescriptionFolder folder("<UDN>uuid:root-1</UDN>", 1);  // re-armed every 400 ms
    folder.Write("DeviceDescription.xml",
                 boost::replace_all_copy(folder.Read(), "<UDN>uuid:emb-1</UDN>",
                                         "<UDN>uuid:emb-1</UDN><X_MaxAge>1</X_MaxAge>"));
    const cd::RegisteredDeviceInfo device = Register(folder);
    ASSERT_EQ(0, cd::StartDevice(device.udn));
    ASSERT_TRUE(library_->AddLink(1));
    ASSERT_EQ(25u, Collect(24 + 1, 1).size());  // re-announced: bye-bye, then alive
    ASSERT_EQ(0, cd::StopDevice(device.udn));
    const std::vector<std::string> after = Collect(200, 1, std::chrono::milliseconds(1000));
    const auto bye = std::find_if(after.begin(), after.end(), [](const std::string& m) {
        return m.find("ssdp:byebye") != std::string::npos;
    });
    ASSERT_NE(after.end(), bye);  // a burst under way when stopping ends first
    EXPECT_EQ(0u, CountOf(std::vector<std::string>(bye, after.end()), "ssdp:alive"));
    EXPECT_EQ(std::string::npos,
              zel_test::TcpExchange(topo_->Link(0).peer_ns, topo_->Link(0).device_ip, 49152,
                                    "GET /sp/scpd.xml HTTP/1.1\r\nHOST: x\r\n\r\n")
                  .find(" 200 OK"));
}

// The root's later bursts leave out an embedded device stopped by its UDN.
TEST_F(CDDiscoveryManagerTest, EmbeddedDeviceStoppedUnderARunningRootStaysSilent) {
    zel_test::DescriptionFolder folder("<UDN>uuid:root-1</UDN>", 1);  // re-armed every 400 ms
    ASSERT_EQ(0, cd::StartDevice(Register(folder).udn));
    ASSERT_EQ(32u, Collect(32).size());
    ASSERT_EQ(0, cd::StopDevice("uuid:emb-1"));
    const std::vector<std::string> after = Collect(40);  // about four root bursts
    auto of_embedded = [](const char* nts) {
        return [nts](const std::string& m) {
            return m.find(nts) != std::string::npos &&
                   m.find("USN: uuid:emb-1") != std::string::npos;
        };
    };
    const auto bye = std::find_if(after.begin(), after.end(), of_embedded("ssdp:byebye"));
    ASSERT_NE(after.end(), bye);
    EXPECT_EQ(0, std::count_if(bye, after.end(), of_embedded("ssdp:alive")));
    EXPECT_LE(20u, CountOf(std::vector<std::string>(bye, after.end()), "USN: uuid:root-1"));
}

TEST_F(CDDiscoveryManagerTest, TerminateSaysByeByeForEveryDevice) {
    zel_test::DescriptionFolder folder;
    ASSERT_EQ(0, cd::StartDevice(Register(folder).udn));
    ASSERT_EQ(32u, Collect(32).size());
    library_.reset();
    const std::vector<std::string> got = Collect(100, 0, std::chrono::milliseconds(800));
    EXPECT_GT(got.size(), 0u);
    EXPECT_EQ(got.size(), CountOf(got, "ssdp:byebye"));
}

}  // namespace
