#include <pthread.h>

#include <cstddef>

#include <gtest/gtest.h>
#include <boost/thread/thread.hpp>

#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace utils {
namespace {

// The stack the running thread was given, 0 when it cannot be read.
std::size_t OwnStackSize() {
    pthread_attr_t attributes;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return 0;
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
    return size;
}

TEST(ThreadUtilTest, ThreadsGetTheStackAskedForAndTheirGroup) {
    for (std::size_t asked : {kLibraryThreadStackSize, kApplicationThreadStackSize}) {
        std::size_t seen = 0;
        boost::thread_group group;
        boost::thread* thread = StartThread(group, asked, [&seen] { seen = OwnStackSize(); });
        ASSERT_NE(thread, nullptr);
        EXPECT_TRUE(group.is_thread_in(thread));
        group.join_all();
        // glibc may round up to whole pages; the default would be megabytes more.
        EXPECT_GE(seen, asked);
        EXPECT_LT(seen, asked + 64 * 1024);
    }
}

}  // namespace
}  // namespace utils
}  // namespace zel_upnp
