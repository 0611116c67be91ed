// Cost of the access-control decision for a known, permitted control point,
// with 10, 100 and 1000 entries in each list, and of its ARP-cache lookup
// alone (against reading the kernel's /proc/net/arp table, the other way a
// program finds a neighbour's MAC).
//
// As on a device, the network layer is up and its interface registry knows
// the interface and its mask, so the lookup goes through the registry's
// socket to the interface whose subnet holds the control point.
//
// The process moves into a network namespace of its own before anything else
// (unshare), creates a veth pair there and writes permanent neighbour entries:
// nothing touches this machine's own interfaces, and the namespace goes away
// with the process. Needs root.
#include <arpa/inet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/format.hpp>
#include <boost/make_shared.hpp>

#include <zel_upnp/cd_utils.h>
#include <zel_upnp/network_layer.h>
#include "cd_utils/src/verify_cp_access.h"
#include "network_layer/src/networkinterface.h"

namespace {

namespace acl = zel_upnp::cd_utils;

const char kUdn[] = "uuid:acl-bench";
const char kCpIp[] = "10.77.0.2";
const char kCpAgent[] = "DLNADOC/1.50 Player/2.0";

bool Listener(const boost::shared_ptr<acl::stEventNotification>&) {
    return true;
}

bool SetUpNamespace() {
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET)");
        return false;
    }
    return std::system(
               "ip link add zacl0 type veth peer name zacl1 && ip link set zacl0 up && "
               "ip link set zacl1 up && ip addr add 10.77.0.1/24 dev zacl0 && "
               "ip neigh add 10.77.0.2 lladdr 02:00:00:00:77:02 dev zacl0 nud permanent") == 0;
}

std::string Mac(int list, int i) {
    return boost::str(boost::format("0A-%02X-00-00-%02X-%02X") % list % (i >> 8) % (i & 0xff));
}

// A device in the given mode whose three lists hold n entries each, the
// benchmark's CP last in the permitted list. Returns the request it sends.
boost::shared_ptr<zel_upnp::utils::HTTPInfo> PrepareDevice(acl::AclPermitMode mode, int n) {
    acl::RegisterAclListener(kUdn, Listener, mode);
    const acl::AclPermission lists[] = {acl::ACL_PERMITTED, acl::ACL_REJECTED, acl::ACL_WAITING};
    int number = 0;
    for (int l = 0; l < 3; ++l) {
        for (int i = 0; i < n - (l == 0 ? 1 : 0); ++i) {
            acl::AddAclEntry(kUdn, lists[l], Mac(l, i), "10.77.1.1", "Agent",
                             "Device " + std::to_string(++number));
        }
    }
    boost::shared_ptr<zel_upnp::utils::HTTPInfo> request =
        boost::make_shared<zel_upnp::utils::HTTPInfo>();
    request->SetClientIpAddress(kCpIp);
    request->SetHeader("User-Agent", kCpAgent);
    // The first decision records the CP (as "Device N") in mode 0; ask mode
    // gets it from the application's add.
    acl::AuthorizedCPInfo info;
    if (!acl::IsCpAuthorizedAndGetCpInfo(kUdn, request, info) && mode == acl::ACL_MODE_ASK) {
        acl::AddAclEntry(kUdn, acl::ACL_PERMITTED, info.mac_address, info.ip_address,
                         info.user_agent, info.device_name);
    }
    return request;
}

void BM_IsCpAuthorized(benchmark::State& state) {
    const acl::AclPermitMode mode = static_cast<acl::AclPermitMode>(state.range(0));
    auto request = PrepareDevice(mode, static_cast<int>(state.range(1)));
    if (!acl::IsCpAuthorized(kUdn, request)) {
        state.SkipWithError("the prepared CP is not permitted");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(acl::IsCpAuthorized(kUdn, request));
    state.SetItemsProcessed(state.iterations());
    acl::UnRegisterAclListener(kUdn);
}
BENCHMARK(BM_IsCpAuthorized)
    ->ArgNames({"mode", "entries"})
    ->ArgsProduct({{acl::ACL_MODE_ALLOW_ALL, acl::ACL_MODE_ASK}, {10, 100, 1000}});

// The same decision for an already identified CP: everything but the ARP
// lookup and the request's header reads.
void BM_DecisionWithoutArp(benchmark::State& state) {
    auto request = PrepareDevice(acl::ACL_MODE_ASK, static_cast<int>(state.range(0)));
    acl::AuthorizedCPInfo info;
    acl::IsCpAuthorizedAndGetCpInfo(kUdn, request, info);
    for (auto _ : state) {
        std::string name;
        acl::GetDeviceNameFromUserAgent(kUdn, info.mac_address, info.user_agent, name);
        benchmark::DoNotOptimize(acl::VerifyCpAuthorized(kUdn, info.ip_address, info.mac_address,
                                                         name, info.user_agent));
    }
    state.SetItemsProcessed(state.iterations());
    acl::UnRegisterAclListener(kUdn);
}
BENCHMARK(BM_DecisionWithoutArp)->ArgName("entries")->Arg(10)->Arg(100)->Arg(1000);

void BM_ArpLookup(benchmark::State& state) {
    std::string mac;
    for (auto _ : state) {
        if (zel_upnp::network_layer::GetMacAddress(kCpIp, mac) != 0) {
            state.SkipWithError("no ARP entry");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ArpLookup);

// The lookup as it runs before the network layer is up: a socket of its own
// and every interface of the kernel's list.
void BM_ArpLookupWithoutRegistry(benchmark::State& state) {
    std::string mac;
    for (auto _ : state) {
        if (zel_upnp::network_layer::NetworkInterface::GetMacAddress(kCpIp, mac) != 0) {
            state.SkipWithError("no ARP entry");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ArpLookupWithoutRegistry);

// The kernel query alone: one SIOCGARP on a socket kept open, for the one
// interface that holds the entry. What the look-up would cost without
// opening a socket and listing the interfaces for every request.
void BM_SiocgarpOnOpenSocket(benchmark::State& state) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    arpreq req;
    std::memset(&req, 0, sizeof(req));
    sockaddr_in* address = reinterpret_cast<sockaddr_in*>(&req.arp_pa);
    address->sin_family = AF_INET;
    inet_aton(kCpIp, &address->sin_addr);
    std::strncpy(req.arp_dev, "zacl0", sizeof(req.arp_dev) - 1);
    for (auto _ : state) {
        if (ioctl(fd, SIOCGARP, &req) != 0 || (req.arp_flags & ATF_COM) == 0) {
            state.SkipWithError("SIOCGARP failed");
            break;
        }
        benchmark::DoNotOptimize(req.arp_ha);
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SiocgarpOnOpenSocket);

// Peer: the neighbour's MAC read from /proc/net/arp.
void BM_ProcNetArpLookup(benchmark::State& state) {
    for (auto _ : state) {
        std::ifstream arp("/proc/net/arp");
        std::string line, mac;
        while (std::getline(arp, line)) {
            if (line.compare(0, sizeof(kCpIp) - 1, kCpIp) == 0 && line[sizeof(kCpIp) - 1] == ' ') {
                mac = line.substr(41, 17);
                break;
            }
        }
        if (mac.empty()) {
            state.SkipWithError("no entry in /proc/net/arp");
            break;
        }
        benchmark::DoNotOptimize(mac);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcNetArpLookup);

}  // namespace

int main(int argc, char** argv) {
    if (!SetUpNamespace()) {
        std::fprintf(stderr, "acl_bench needs root to create its own network namespace\n");
        return 1;
    }
    namespace nl = zel_upnp::network_layer;
    if (nl::InitializeNetworkLayer() != 0 ||
        nl::NotifyNICAdded("zacl0", "10.77.0.1", "255.255.255.0") != 0) {
        std::fprintf(stderr, "acl_bench could not bring the network layer up\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    nl::TerminateNetworkLayer();
    return 0;
}
