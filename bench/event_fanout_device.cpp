// The zel_upnp side of the NOTIFY fan-out benchmark: a device with one
// evented service at /SwitchPower/event that accepts subscriptions, and on
// SIGUSR1 sends EVENTS events to all subscribers, asynchronously or
// synchronously; with INTERVAL_MS, one event every INTERVAL_MS, each logged
// as "event I at T" (T: seconds of CLOCK_MONOTONIC, which a sink in another
// namespace shares).
//
//   event-fanout-device IFNAME ADDRESS NETMASK PORT EVENTS async|sync [INTERVAL_MS]
//
// Prints "ready" once its server runs and "sent N in S s" after the events;
// exits on SIGINT or SIGTERM.
#include <signal.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <zel_upnp/cd_control.h>
#include <zel_upnp/framework_core.h>

namespace {

namespace fc = zel_upnp::framework_core;
namespace cc = zel_upnp::cd_control;

const char kEventUrl[] = "/SwitchPower/event";

std::string PropertySet(int status) {
    return "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property><Status>" +
           std::to_string(status) + "</Status></e:property></e:propertyset>";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr,
                     "usage: event-fanout-device IFNAME ADDRESS NETMASK PORT EVENTS "
                     "async|sync [INTERVAL_MS]\n");
        return 2;
    }
    const int intervalMs = argc == 8 ? std::atoi(argv[7]) : 0;
    const int events = std::atoi(argv[5]);
    const bool sync = std::string(argv[6]) == "sync";
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (fc::InitFrameworkCore("") != 0 || fc::InitializeUPnP(fc::CD) != 0 ||
        fc::StartFrameworkCore() != 0 ||
        fc::ConfigureServers(std::atoi(argv[4]), 0, 0, false) != 0 ||
        fc::NotifyNICAdded(argv[1], argv[2], argv[3]) != 0) {
        fc::TerminateFrameworkCore();
        return 1;
    }
    cc::RegisterServiceForSubscribe(
        "", kEventUrl, "SwitchPower",
        [](const std::string& host, const int& port, const std::string& sid,
           const std::string& path, const std::string&) {
            cc::SendInitialEvent(host, port, sid, PropertySet(0), path, kEventUrl);
        });
    std::printf("ready\n");
    std::fflush(stdout);
    int sig = 0;
    while (sigwait(&signals, &sig) == 0 && sig == SIGUSR1) {
        const auto start = std::chrono::steady_clock::now();
        int failed = 0;
        for (int i = 0; i < events; ++i) {
            if (intervalMs > 0) {
                if (i > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
                timespec now;
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::printf("event %d at %.6f\n", i, now.tv_sec + now.tv_nsec / 1e9);
                std::fflush(stdout);
            }
            const std::string body = PropertySet(i);
            failed += (sync ? cc::SendSyncMulticastEvent("", body, kEventUrl)
                            : cc::SendMulticastEvent("", body, kEventUrl)) != 0;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("sent %d in %.3f s (%d failed)\n", events, took.count(), failed);
        std::fflush(stdout);
    }
    fc::TerminateFrameworkCore();
    return 0;
}
