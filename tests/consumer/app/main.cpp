#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>

#include <cstdio>

int main() {
    std::string name = zel_upnp::utils::PrepareThreadName("Consumer");
    // The lock and condition types network_layer.h asks the application for:
    // waiting on them links Boost.Thread, which the package must declare.
    boost::mutex mutex;
    boost::condition_variable condition;
    boost::unique_lock<boost::mutex> lock(mutex);
    bool woken = condition.timed_wait(lock, boost::posix_time::milliseconds(1));
    bool ok = name.size() >= 8 && !woken;
    std::printf("consumer %s (%s)\n", ok ? "ok" : "bad", name.c_str());
    return ok ? 0 : 1;
}
