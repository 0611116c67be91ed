#include "network_layer/src/outgoingsession.h"
#include "network_layer/src/datagram_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/make_shared.hpp>

#include "support/peers.h"

// A session on its own, with a fake owner that records what the session asks
// of it and a test io thread in place of the client threads. No listener is
// registered with the dispatch core, so delivered responses are dropped
// there; what these tests look at is the session's contract with its owner.
namespace {

namespace nl = zel_upnp::network_layer;
using boost::asio::ip::udp;
using nl::OutgoingSession;
using zel_test::ClosedPort;
using zel_test::PeerEnd;
using zel_test::ScriptedPeer;
using zel_test::Silent;
using zel_test::WaitUntil;

constexpr char kLoopback[] = "127.0.0.1";
constexpr int kLongTimeoutMs = 60000;
constexpr int kShortTimeoutMs = 100;
const std::string kRequest = "GET /d.xml HTTP/1.1\r\nHOST: 127.0.0.1\r\n\r\n";
const std::string kOk = "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 2\r\n\r\nok";

enum class OwnerCall { kRemove, kFailure };

class FakeOwner : public nl::SessionOwner, public zel_test::Recording<std::pair<int, OwnerCall>> {
  public:
    void RemoveSession(const int& id) override { Add({id, OwnerCall::kRemove}); }
    void HandleFailureCondition(const int& id) override { Add({id, OwnerCall::kFailure}); }
    std::vector<OwnerCall> CallsFor(int id) {
        std::vector<OwnerCall> calls;
        for (const auto& call : All()) {
            if (call.first == id)
                calls.push_back(call.second);
        }
        return calls;
    }
    bool WaitForCalls(int id, std::size_t n) {
        return WaitUntil([this, id, n] { return CallsFor(id).size() >= n; });
    }
};

class OutgoingSessionTest : public ::testing::Test {
  protected:
    boost::shared_ptr<OutgoingSession> MakeSession(int id) {
        return boost::make_shared<OutgoingSession>(runner_->Io(), &owner_, id);
    }

    FakeOwner owner_;
    // Declared after the owner: the io thread is joined before it goes.
    // Sessions of a test body are gone before the io_service.
    std::unique_ptr<zel_test::IoThread> runner_{new zel_test::IoThread};
};

// A refused connect asks for failure handling once; a complete response for
// removal only.
TEST_F(OutgoingSessionTest, EndingAsksTheOwnerOnce) {
    ScriptedPeer peer(zel_test::Answer(kOk));
    ASSERT_TRUE(peer.Ok());
    auto refused = MakeSession(7);
    auto answered = MakeSession(3);
    ASSERT_EQ(refused->Start(kLoopback, ClosedPort(), kRequest, kLongTimeoutMs), 0);
    ASSERT_EQ(answered->Start(kLoopback, peer.Port(), kRequest, kLongTimeoutMs), 0);
    ASSERT_TRUE(owner_.WaitForCalls(7, 1));
    ASSERT_TRUE(owner_.WaitForCalls(3, 1));
    runner_->Join();
    EXPECT_EQ(owner_.CallsFor(7), std::vector<OwnerCall>{OwnerCall::kFailure});
    EXPECT_FALSE(refused->IsConnected());
    EXPECT_EQ(owner_.CallsFor(3), std::vector<OwnerCall>{OwnerCall::kRemove});
    EXPECT_TRUE(answered->IsConnected());
    EXPECT_EQ(peer.Requests().front(), kRequest);
}

TEST_F(OutgoingSessionTest, TimeoutAsksForFailureHandlingThenTheStoppedReadForRemoval) {
    ScriptedPeer peer(Silent());
    ASSERT_TRUE(peer.Ok());
    auto session = MakeSession(4);
    ASSERT_EQ(session->Start(kLoopback, peer.Port(), kRequest, kShortTimeoutMs), 0);
    ASSERT_TRUE(owner_.WaitForCalls(4, 1));
    EXPECT_EQ(owner_.CallsFor(4), std::vector<OwnerCall>{OwnerCall::kFailure});
    // The owner's answer to a failure: stop the session.
    session->Stop();
    ASSERT_TRUE(owner_.WaitForCalls(4, 2));
    EXPECT_EQ(owner_.CallsFor(4).back(), OwnerCall::kRemove);
    ASSERT_TRUE(peer.WaitForEnds(1));
    EXPECT_NE(peer.Ends().front(), PeerEnd::kOpen);
}

TEST_F(OutgoingSessionTest, StopsRacingTheHandlersEndEverySessionExactlyOnce) {
    ScriptedPeer peer(zel_test::Answer(kOk));
    ASSERT_TRUE(peer.Ok());
    constexpr int kSessions = 48;
    std::vector<boost::shared_ptr<OutgoingSession>> sessions;
    for (int id = 1; id <= kSessions; ++id) {
        sessions.push_back(MakeSession(id));
        ASSERT_EQ(sessions.back()->Start(kLoopback, peer.Port(), kRequest, kLongTimeoutMs), 0);
    }
    // Stopped from another thread at whatever point each chain has reached.
    std::thread stopper([&sessions] {
        for (std::size_t i = 0; i < sessions.size(); i += 2)
            sessions[i]->Stop();
    });
    stopper.join();
    for (int id = 1; id <= kSessions; ++id)
        ASSERT_TRUE(owner_.WaitForCalls(id, 1)) << "session " << id;
    runner_->Join();
    for (int id = 1; id <= kSessions; ++id)
        EXPECT_EQ(owner_.CallsFor(id).size(), 1u) << "session " << id;
}

// ---------------------------------------------------------------------------
// Datagrams. These bind well-known local ports, so they run in a private
// namespace of their own where no other process holds them.
// ---------------------------------------------------------------------------

class DatagramSessionTest : public OutgoingSessionTest {
  protected:
    static void SetUpTestSuite() { topo_ = zel_test::OpenSuiteTopology(1); }
    static void TearDownTestSuite() { topo_.reset(); }

    void SetUp() override {
        ZEL_REQUIRE_TOPOLOGY(topo_);
        receiver_.reset(new udp::socket(
            runner_->Io(), udp::endpoint(boost::asio::ip::make_address(kLoopback), 0)));
        receiver_->non_blocking(true);
    }
    void TearDown() override { receiver_.reset(); }

    int ReceiverPort() { return receiver_->local_endpoint().port(); }

    bool ReceiveFrom(udp::endpoint& from, std::string& data) {
        char buffer[zel_test::kPeerReadSize];
        return WaitUntil([&] {
            boost::system::error_code ec;
            const std::size_t n = receiver_->receive_from(boost::asio::buffer(buffer), from, 0, ec);
            if (ec)
                return false;
            data.assign(buffer, n);
            return true;
        });
    }

    // Holds count ports of the datagram range on loopback, without address
    // reuse, so that a bind to them fails.
    std::vector<std::unique_ptr<udp::socket>> HoldPorts(int count) {
        std::vector<std::unique_ptr<udp::socket>> held;
        for (int i = 0; i < count; ++i) {
            held.emplace_back(new udp::socket(
                runner_->Io(),
                udp::endpoint(
                    boost::asio::ip::make_address(kLoopback),
                    static_cast<unsigned short>(zel_upnp::network_layer::kFirstDatagramPort + i))));
        }
        return held;
    }

    std::unique_ptr<udp::socket> receiver_;
    static std::unique_ptr<zel_test::NetnsTopology> topo_;
};

std::unique_ptr<zel_test::NetnsTopology> DatagramSessionTest::topo_;

// Bound to the first free port of the range; with the whole range taken,
// sent unbound.
TEST_F(DatagramSessionTest, DatagramTakesTheFirstFreePortOfTheRangeOrGoesUnbound) {
    const int first = zel_upnp::network_layer::kFirstDatagramPort;
    const int last = first + zel_upnp::network_layer::kDatagramPortCount - 1;
    for (int taken : {2, zel_upnp::network_layer::kDatagramPortCount}) {
        SCOPED_TRACE(taken);
        auto held = HoldPorts(taken);
        ASSERT_EQ(zel_upnp::network_layer::SendDatagram(runner_->Io(), kLoopback, ReceiverPort(),
                                                        kRequest, kLoopback),
                  0);
        udp::endpoint from;
        std::string data;
        ASSERT_TRUE(ReceiveFrom(from, data));
        EXPECT_EQ(data, kRequest);
        if (taken < zel_upnp::network_layer::kDatagramPortCount) {
            EXPECT_EQ(from.port(), first + taken);
        } else {
            EXPECT_TRUE(from.port() < first || from.port() > last) << from.port();
        }
    }
}

}  // namespace
