#include "cd_discovery/src/send_m_search_response.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/make_shared.hpp>

#include <zel_upnp/cd_discovery.h>
#include "support/device_library.h"
#include "support/peers.h"

// Searches come from the peer namespaces (the other-subnet one from a second
// address of the peer, routed to the device); answers are read on the
// searching socket.
namespace {

namespace cd = zel_upnp::cd_discovery;
using boost::asio::ip::udp;
using zel_test::CountOf;

const char kOtherSubnetPeer[] = "10.99.0.2";

// What arrives on socket until expected datagrams came (or the wait ended),
// and in a grace period after that.
std::vector<std::string> Answers(udp::socket& socket, size_t expected) {
    std::vector<std::string> got;
    socket.non_blocking(true);
    auto drain = [&] {
        char buffer[8192];
        boost::system::error_code ec;
        for (size_t n; (n = socket.receive(boost::asio::buffer(buffer), 0, ec)), !ec;)
            got.emplace_back(buffer, n);
        return got.size() >= expected;
    };
    zel_test::WaitUntil(drain);
    zel_test::WaitUntil([&] { return drain() && false; }, zel_test::kNoCallGrace);
    return got;
}

class SendMSearchResponseTest : public zel_test::NetnsSuite<1> {
  protected:
    static void SetUpTestSuite() {
        NetnsSuite::SetUpTestSuite();
        if (!topo_)
            return;
        const zel_test::NetnsLink& link = Link(0);
        zel_test::NetnsTopology::Exec(link.peer_ns, "ip addr add " + std::string(kOtherSubnetPeer) +
                                                        "/24 dev " + link.peer_if);
        zel_test::NetnsTopology::Exec(topo_->DeviceNs(),
                                      "ip route add 10.99.0.0/24 dev " + link.device_if);
    }

    void SetUp() override {
        NetnsSuite::SetUp();
        if (Unready())
            return;
        library_.reset(new zel_test::DeviceLibrary(*topo_));
        ASSERT_TRUE(library_->Ok());
        ASSERT_EQ(0, cd::RegisterDevice(folder_.Path(), "d.xml", device_));
        ASSERT_EQ(0, cd::SetWakeupTimeout(device_.handle, 5));
    }
    void TearDown() override { library_.reset(); }

    // One M-SEARCH to the SSDP group from `from` in the peer namespace.
    std::vector<std::string> Search(const std::string& st, size_t expected,
                                    const std::string& from = std::string()) {
        const zel_test::NetnsLink& link = Link(0);
        std::vector<std::string> got;
        zel_test::NetnsTopology::RunIn(link.peer_ns, [&] {
            boost::asio::io_service io;
            udp::socket socket(
                io, udp::endpoint(boost::asio::ip::make_address(from.empty() ? link.peer_ip : from),
                                  0));
            socket.set_option(boost::asio::ip::multicast::outbound_interface(
                boost::asio::ip::make_address_v4(link.peer_ip)));
            const std::string search =
                "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                "MAN: \"ssdp:discover\"\r\nMX: 1\r\nST: " +
                st + "\r\n\r\n";
            socket.send_to(boost::asio::buffer(search),
                           udp::endpoint(boost::asio::ip::make_address("239.255.255.250"), 1900));
            got = Answers(socket, expected);
        });
        return got;
    }

    zel_test::DescriptionFolder folder_{"<UDN>uuid:root-1</UDN>", 600};
    std::unique_ptr<zel_test::DeviceLibrary> library_;
    cd::RegisteredDeviceInfo device_;
};

struct SearchCase {
    const char* st;
    size_t answers;
    const char* contains;  // in every answer
};

TEST_F(SendMSearchResponseTest, SearchTargetsOfAStartedRootWithAnEmbeddedDevice) {
    ASSERT_EQ(0, cd::StartDevice(device_.udn));
    const SearchCase cases[] = {
        // Root: upnp:rootdevice, udn, type, 2 services; embedded: the same
        // with one service.
        {"ssdp:all", 9, "CACHE-CONTROL: max-age=1800\r\n"},
        {"upnp:rootdevice", 2, "ST: upnp:rootdevice\r\n"},
        {"uuid:root-1", 1, "ST: uuid:root-1\r\nUSN: uuid:root-1\r\nContent-Length: 0\r\n\r\n"},
        {"urn:schemas-upnp-org:device:MediaServer:1", 1,
         "USN: uuid:root-1::urn:schemas-upnp-org:device:MediaServer:1\r\n"},
        {"urn:schemas-upnp-org:service:SwitchPower:1", 1, "USN: uuid:emb-1::"},
        {"urn:dial-multiscreen-org:service:dial:1", 1, ";Timeout=5\r\nContent-Length: 0\r\n"},
        {"urn:schemas-upnp-org:service:ContentDirectory:2", 0, ""},
        {"urn:schemas-upnp-org:service:contentdirectory:1", 0, ""},
    };
    const std::string location = "LOCATION: http://" + Link(0).device_ip + ":49152/d.xml\r\n";
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.st);
        const std::vector<std::string> got = Search(c.st, c.answers);
        ASSERT_EQ(c.answers, got.size());
        EXPECT_EQ(c.answers, CountOf(got, c.contains));
        EXPECT_EQ(c.answers, CountOf(got, location));
        EXPECT_EQ(c.answers, CountOf(got, "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\n"));
        if (std::string(c.st) == "ssdp:all") {
            EXPECT_EQ(0u, CountOf(got, "WAKEUP"));
        }
    }
    // Nothing for a searcher on another subnet, even though it is reachable.
    EXPECT_EQ(0u, Search("ssdp:all", 0, kOtherSubnetPeer).size());
}

TEST_F(SendMSearchResponseTest, RootNotStartedAnswersNothingWhileItsEmbeddedDeviceAnswers) {
    const std::vector<std::string> got = Search("ssdp:all", 4);
    EXPECT_EQ(4u, got.size());
    EXPECT_EQ(4u, CountOf(got, "USN: uuid:emb-1"));
    EXPECT_EQ(1u, CountOf(got, "USN: uuid:emb-1::upnp:rootdevice\r\n"));
}

// Searches that claim to come from this host are never answered.
TEST_F(SendMSearchResponseTest, SearchesFromOwnOrLoopbackAddressesAreDropped) {
    ASSERT_EQ(0, cd::StartDevice(device_.udn));
    for (const std::string& sender : {Link(0).device_ip, std::string("127.0.0.7")}) {
        SCOPED_TRACE(sender);
        boost::asio::io_service io;
        udp::socket socket(io, udp::endpoint(boost::asio::ip::make_address(sender), 0));
        auto request = boost::make_shared<zel_upnp::utils::HTTPInfo>();
        request->SetHeader("ST", "ssdp:all");
        request->SetClientIpAddress(sender);
        request->SetClientPort(socket.local_endpoint().port());
        request->SetMyIpAddress(Link(0).device_ip);
        EXPECT_EQ(0, cd::SendMsearchResponse(request));
        EXPECT_EQ(0u, Answers(socket, 0).size());
    }
}

}  // namespace
