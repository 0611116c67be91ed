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

// A prepared name is the first three characters of the caller's name, then
// the base name cut to nine characters; the index is appended unless
// negative, and the whole cut to fifteen characters. An empty name, or no
// thread, sets nothing.
TEST(ThreadUtil, NamesAreBoundedAndCarryTheCreatorsPrefix) {
    boost::promise<void> done;
    boost::thread worker([&] { done.get_future().wait(); });
    const std::tuple<const char*, const char*, int, const char*> cases[] = {
        {"main", "ZelTimer", 0, "maiZelTimer0"},
        {"application", "ZelTcpActionReg", 1234, "appZelTcpAct123"},
        {"a", "ZelNetIf", -1, "aZelNetIf"}};
    for (const auto& c : cases) {
        std::string prepared;
        boost::thread([&] {
            pthread_setname_np(pthread_self(), std::get<0>(c));
            prepared = PrepareThreadName(std::get<1>(c));
        }).join();
        SetNameOnThread(&worker, prepared, std::get<2>(c));
        EXPECT_EQ(NameOf(worker.native_handle()), std::get<3>(c)) << std::get<0>(c);
    }
    SetNameOnThread(&worker, "", 5);
    SetNameOnThread(nullptr, "x", 3);
    boost::thread not_a_thread;
    SetNameOnThread(&not_a_thread, "x", 4);
    EXPECT_EQ(NameOf(worker.native_handle()), "aZelNetIf");
    done.set_value();
    worker.join();
}

}  // namespace
