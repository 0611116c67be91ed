#include "network_layer/src/outgoingsession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/make_shared.hpp>

#include "support/peers.h"

// A session on its own, with a fake owner that records what the session asks
// of it and a test io thread in place of the client threads. No listener is
// registered with the dispatch core, so delivered responses are dropped
// there; what these tests look at is the session's contract with its owner.
namespace {

namespace nl = zel_upnp::network_layer;
using nl::OutgoingSession;
using zel_test::ScriptedPeer;
using zel_test::WaitUntil;

constexpr char kLoopback[] = "127.0.0.1";
constexpr int kLongTimeoutMs = 60000;
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

}  // namespace
