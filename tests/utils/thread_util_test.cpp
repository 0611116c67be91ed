#include <zel_upnp/utils.h>

#include <gtest/gtest.h>
#include <pthread.h>

#include <boost/thread/future.hpp>
#include <boost/thread/thread.hpp>
#include <string>
#include <tuple>

namespace {

using zel_upnp::utils::PrepareThreadName;
using zel_upnp::utils::SetNameOnThread;

std::string NameOf(pthread_t t) {
    char buf[16] = {0};
    pthread_getname_np(t, buf, sizeof(buf));
    return buf;
}

// Runs fn on a fresh thread that carries the given name.
template <typename Fn>
void OnNamedThread(const char* name, Fn fn) {
    boost::thread t([&] {
        pthread_setname_np(pthread_self(), name);
        fn();
    });
    t.join();
}

// The first three characters of the caller's name, then the base name cut
// to nine characters.
TEST(ThreadUtil, PrepareThreadName) {
    const char* const cases[][3] = {{"main", "ZelTimer", "maiZelTimer"},
                                    {"application", "ZelTcpActionReg", "appZelTcpAct"},
                                    {"a", "ZelNetIf", "aZelNetIf"}};
    for (const auto& c : cases) {
        std::string got;
        OnNamedThread(c[0], [&] { got = PrepareThreadName(c[1]); });
        EXPECT_EQ(got, c[2]) << c[0];
    }
}

// The index is appended unless negative, and the name cut to fifteen
// characters; bad arguments set nothing.
TEST(ThreadUtil, SetNameOnThread) {
    boost::promise<void> done;
    boost::thread worker([&] { done.get_future().wait(); });
    const std::tuple<const char*, int, const char*> cases[] = {
        {"maiZelTimer", 0, "maiZelTimer0"},
        {"maiZelTcpActionReg", 12, "maiZelTcpAction"},
        {"maiZelTimer", -1, "maiZelTimer"},
        {"", 5, "maiZelTimer"}};
    for (const auto& c : cases) {
        SetNameOnThread(&worker, std::get<0>(c), std::get<1>(c));
        EXPECT_EQ(NameOf(worker.native_handle()), std::get<2>(c));
    }
    SetNameOnThread(nullptr, "x", 3);
    boost::thread not_a_thread;
    SetNameOnThread(&not_a_thread, "x", 4);
    done.set_value();
    worker.join();
}

}  // namespace
