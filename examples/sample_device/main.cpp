// zel-sample-device: a controlled device built on zel_upnp. It announces the
// device described in a description folder on the chosen interfaces, answers
// searches and serves its description until SIGINT, SIGTERM or --seconds,
// then withdraws it and exits 0. A bad folder or option exits 2.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <malloc.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/cd_utils.h>
#include <zel_upnp/framework_core.h>
#include <zel_upnp/network_layer.h>

#include "switch_power.h"

namespace {

namespace fc = zel_upnp::framework_core;
namespace cd = zel_upnp::cd_discovery;
namespace nl = zel_upnp::network_layer;
namespace acl = zel_upnp::cd_utils;

const char kProgram[] = "zel-sample-device";
const char kDescriptionUrl[] = "description.xml";
const int kUsageError = 2;
const int kDefaultTcpPort = 49152;
const int kDefaultSsdpPort = 1900;
// How long the servers get to come up on the selected interfaces.
const std::chrono::seconds kServerStartWait(5);
const int kMallocArenas = 2;

struct Options {
    std::string dir;
    std::vector<std::string> interfaces;
    int tcp_port = kDefaultTcpPort;
    int ssdp_port = kDefaultSsdpPort;
    int udp_port = 0;
    bool extra_multicast = false;
    bool quiet = false;  // no line per action or event
    long seconds = 0;    // 0: until a signal
};

struct Interface {
    std::string name;
    std::string address;
    std::string netmask;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kUsageError;
}

const char kUsage[] =
    "usage: zel-sample-device --dir DESCRIPTION_FOLDER [--interface IFNAME]... [--tcp-port N] "
    "[--ssdp-port N] [--udp-port N] [--extra-multicast] [--quiet] [--seconds N]";

bool ParseNumber(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return false;
    out = value;
    return true;
}

// Empty on success, else the complaint.
std::string ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--extra-multicast") {
            options.extra_multicast = true;
            continue;
        }
        if (arg == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (arg == "--help" || arg == "-h")
            return kUsage;
        if (i + 1 >= argc)
            return "missing value after " + arg + "\n" + kUsage;
        const char* value = argv[++i];
        long number = 0;
        if (arg == "--dir") {
            options.dir = value;
        } else if (arg == "--interface") {
            options.interfaces.push_back(value);
        } else if (arg == "--tcp-port" || arg == "--ssdp-port" || arg == "--udp-port") {
            if (!ParseNumber(value, arg == "--udp-port" ? 0 : 1, 65535, number))
                return "bad port for " + arg + ": " + value;
            (arg == "--tcp-port"    ? options.tcp_port
             : arg == "--ssdp-port" ? options.ssdp_port
                                    : options.udp_port) = static_cast<int>(number);
        } else if (arg == "--seconds") {
            if (!ParseNumber(value, 1, 365L * 24 * 3600, number))
                return std::string("bad value for --seconds: ") + value;
            options.seconds = number;
        } else {
            return "unknown option " + arg + "\n" + kUsage;
        }
    }
    if (options.dir.empty())
        return std::string("--dir is required\n") + kUsage;
    return std::string();
}

// The IPv4 interfaces of this host that are up.
std::vector<Interface> ReadInterfaces() {
    std::vector<Interface> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET ||
            (it->ifa_flags & IFF_UP) == 0)
            continue;
        char address[INET_ADDRSTRLEN] = {};
        char netmask[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr, address,
                  sizeof(address));
        if (it->ifa_netmask != nullptr)
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_netmask)->sin_addr, netmask,
                      sizeof(netmask));
        found.push_back(Interface{it->ifa_name, address, netmask});
    }
    freeifaddrs(list);
    return found;
}

// Selects the named interfaces (all of them, present and future, when none
// is named) and lets the kernel monitor follow them. Empty on success, else
// the complaint.
std::string SelectInterfaces(const Options& options) {
    const std::vector<Interface> present = ReadInterfaces();
    for (const std::string& name : options.interfaces) {
        bool known = false;
        for (const Interface& i : present)
            known = known || i.name == name;
        if (!known)
            return "interface " + name + " has no IPv4 address";
    }
    for (const std::string& name : options.interfaces)
        fc::ConfigureApplicationOnInterface(name.c_str());
    if (options.interfaces.empty())
        fc::ConfigureApplicationOnAllInterfaces();
    if (fc::StartNetworkMonitor() != 0)
        return "the network monitor could not be started";
    return std::string();
}

// The running TCP servers, once one per selected interface is up (or the
// wait ran out).
std::list<boost::shared_ptr<nl::IpInfo> > WaitForServers(size_t expected) {
    std::list<boost::shared_ptr<nl::IpInfo> > servers;
    const auto deadline = std::chrono::steady_clock::now() + kServerStartWait;
    for (;;) {
        servers.clear();
        nl::GetConfiguredTcpPorts(servers);
        if (servers.size() >= expected || std::chrono::steady_clock::now() >= deadline)
            return servers;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every control point may read and switch the sample device; the access-control
// listener only hears of newcomers.
bool AllowEveryControlPoint(const boost::shared_ptr<acl::stEventNotification>&) {
    return true;
}

void WaitForStop(const sigset_t& signals, long seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        timespec wait = {1, 0};
        if (seconds > 0) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero())
                return;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        if (sigtimedwait(&signals, nullptr, &wait) > 0)
            return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const std::string complaint = ParseOptions(argc, argv, options);
    if (!complaint.empty())
        return Fail(complaint);
    if (!std::ifstream(options.dir + "/DeviceDescription.xml").good())
        return Fail("cannot read " + options.dir + "/DeviceDescription.xml");

    // Every thread that allocates would otherwise get a malloc arena of its
    // own (up to eight per core), each keeping its freed memory; the device's
    // threads allocate little, and two arenas keep the io and worker threads
    // from queueing on one lock. Process-wide, hence set here, not by the
    // library.
    mallopt(M_ARENA_MAX, kMallocArenas);

    // Blocked before the library starts its threads, so that they inherit
    // the mask and the signals reach sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    if (fc::InitFrameworkCore("") != 0 || fc::InitializeUPnP(fc::CD) != 0 ||
        fc::StartFrameworkCore() != 0) {
        fc::TerminateFrameworkCore();
        return Fail("the library could not be initialised");
    }
    int status = 0;
    std::string error;
    cd::RegisteredDeviceInfo device;
    if (fc::ConfigureServers(options.tcp_port, options.ssdp_port, options.udp_port,
                             options.extra_multicast) != 0) {
        error = "the servers could not be configured";
    } else {
        error = SelectInterfaces(options);
    }
    if (error.empty()) {
        const size_t expected = options.interfaces.empty() ? 1 : options.interfaces.size();
        const std::list<boost::shared_ptr<nl::IpInfo> > servers = WaitForServers(expected);
        const int code = cd::RegisterDevice(options.dir, kDescriptionUrl, device);
        if (servers.empty()) {
            error = "no TCP server came up on the selected interfaces";
        } else if (code != 0) {
            error = options.dir + "/DeviceDescription.xml is not a valid device description" +
                    " (code " + std::to_string(code) + ")";
        } else {
            cd::SetPortNumber(device.handle, servers.front()->port);
            acl::RegisterAclListener(device.udn, AllowEveryControlPoint, acl::ACL_MODE_ALLOW_ALL);
            std::map<std::string, std::shared_ptr<sample_device::SwitchPower> > lights;
            sample_device::SetReportOnStdout(!options.quiet);
            if (sample_device::RegisterSwitchPower(
                    device.udn, ReadFile(options.dir + "/DeviceDescription.xml"), lights) < 0)
                std::fprintf(stderr, "%s: a SwitchPower control URL could not be registered\n",
                             kProgram);
            for (const auto& light : lights)
                std::printf("SwitchPower %s control %s\n", light.second->ServiceId().c_str(),
                            light.first.c_str());
            for (const boost::shared_ptr<nl::IpInfo>& server : servers) {
                std::printf("listening on %s (%s) tcp %d ssdp %d\n", server->ip_address.c_str(),
                            server->interface_name.c_str(), server->port, options.ssdp_port);
                std::printf("description http://%s:%d/%s\n", server->ip_address.c_str(),
                            server->port, kDescriptionUrl);
            }
            std::printf("udn %s\n", device.udn.c_str());
            std::fflush(stdout);
            cd::StartDevice(device.udn);
            WaitForStop(signals, options.seconds);
            cd::StopDevice(device.udn);
            acl::UnRegisterAclListener(device.udn);
        }
    }
    if (!error.empty())
        status = Fail(error);
    fc::TerminateFrameworkCore();
    return status;
}
