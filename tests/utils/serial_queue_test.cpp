#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <boost/thread/thread.hpp>

#include "utils/src/thread/serial_queue.h"

namespace zel_upnp {
namespace utils {
namespace {

// Calls posted before the runner starts and while it runs keep their order;
// a call that stops the queue is the last to run, the calls behind it are
// dropped with their captures, and later posts are refused.
TEST(SerialQueueTest, RunsInOrderAndStopFromACallDropsTheRest) {
    SerialQueue queue;
    std::vector<int> ran;  // written by the runner only, read after join
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(queue.Post([&ran, i] { ran.push_back(i); }));
    boost::thread runner([&queue] { queue.Run(); });
    ASSERT_TRUE(queue.Post([&ran] { ran.push_back(3); }));
    ASSERT_TRUE(queue.Post([&ran, &queue] {
        ran.push_back(4);
        queue.Stop();
    }));
    auto capture = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = capture;
    // Posted behind the stopping call: either dropped by Stop or refused.
    queue.Post([&ran, capture] { ran.push_back(5); });
    capture.reset();
    runner.join();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(queue.Post([] {}));
}

}  // namespace
}  // namespace utils
}  // namespace zel_upnp
