// The library's TCP server as a plain HTTP endpoint, for load tests against
// other servers, and the library brought up idle, for its footprint.
//
//   tcp_server_bench --serve PORT ADDR   brings the library up on the
//       interface that holds ADDR, with a TCP server on PORT (or the next
//       free port) and a listener that answers every request with one fixed
//       200 response of kBodySize bytes; prints "ready PORT" with the bound
//       port, serves until SIGINT or SIGTERM, then terminates the library.
//   tcp_server_bench --idle PORT ADDR    the same bring-up with no listener:
//       a TCP server on PORT, a unicast UDP server on PORT + 1 and the SSDP
//       multicast server on kSsdpPort; prints "ready PORT" and idles until a
//       signal. Nothing is sent: the servers only listen.
//   tcp_server_bench --print-body        writes the response body to stdout,
//       so that another server can serve the very same bytes.
//   tcp_server_bench [benchmark flags]   Google Benchmark: one request at a
//       time against the serving bring-up on 127.0.0.1, port kBenchPort or
//       the next free one. Run it in a namespace of its own, e.g. with
//       bench/client_bench.sh, so that its connections use no port of this
//       machine's.
//
// bench/tcp_server_bench.sh runs the first two in network namespaces of its
// own and drives them with wrk.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>

#include <zel_upnp/framework_core.h>
#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>

namespace {

namespace fc = zel_upnp::framework_core;
namespace nl = zel_upnp::network_layer;

constexpr char kServeFlag[] = "--serve";
constexpr char kIdleFlag[] = "--idle";
constexpr char kPrintBodyFlag[] = "--print-body";
constexpr std::size_t kBodySize = 3072;
constexpr int kSsdpPort = 1900;
constexpr int kMaxPort = 65535;
// The idle bring-up's unicast UDP port is this far above its TCP port.
constexpr int kUdpPortOffset = 1;
constexpr int kExitUsage = 2;
// The NIC event starts the servers on the thread that raises it, so they are
// normally up when NotifyNICAdded returns; this bounds the wait if not.
constexpr std::chrono::seconds kServerStartWait{5};
constexpr std::chrono::milliseconds kPoll{10};
constexpr std::size_t kClientReadSize = 16384;
// A round trip that has not ended by then counts as failed.
constexpr int kClientTimeoutSeconds = 5;
constexpr char kLoopbackName[] = "lo";
constexpr char kLoopbackAddress[] = "127.0.0.1";
constexpr char kLoopbackMask[] = "255.0.0.0";
// Requested port of the benchmark bring-up; a taken port moves the server
// to the next free one, and the bound port is what the client uses.
constexpr int kBenchPort = 49400;
// Every request head contains this, whatever its method.
constexpr char kAnyRequestPattern[] = "HTTP/1.";
constexpr char kBenchRequest[] = "GET / HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";

// Printable and position-dependent, so that a truncated or shifted body
// shows when compared byte for byte.
const std::string& Body() {
    static const std::string body = [] {
        const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::string text(kBodySize, ' ');
        for (std::size_t i = 0; i < kBodySize; ++i)
            text[i] = alphabet[i % alphabet.size()];
        return text;
    }();
    return body;
}

const std::string& Response() {
    static const std::string response =
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: application/octet-stream\r\n"
        "Content-Length: " +
        std::to_string(kBodySize) +
        "\r\n"
        "Connection: close\r\n"
        "\r\n" +
        Body();
    return response;
}

// Answers every request with Response(); called on the dispatch workers,
// possibly two at a time.
class FixedResponder : public nl::TCPRequestListener {
  public:
    int OnTCPRequestReceived(boost::shared_ptr<zel_upnp::utils::HTTPInfo> /*request*/,
                             void* session) override {
        answered_.fetch_add(1, std::memory_order_relaxed);
        const int length = static_cast<int>(Response().size());
        std::string* response = new (std::nothrow) std::string();
        bool copied = false;
        if (response != nullptr) {
            try {
                response->assign(Response());
                copied = true;
            } catch (const std::exception&) {
                copied = false;
            }
        }
        if (!copied) {
            // The context must be consumed all the same; the synchronous
            // write needs no copy.
            delete response;
            return nl::SendSyncResponsePacket(Response(), length, session);
        }
        const int result = nl::SendResponsePacket(response, length, session);
        if (result != nl::NL_SUCCESS)
            delete response;  // ownership passes only on success
        return result;
    }

    long Answered() const { return answered_.load(std::memory_order_relaxed); }

  private:
    std::atomic<long> answered_{0};
};

struct InterfaceAddress {
    std::string name;
    std::string mask;
};

// The IPv4 interface that holds address, with its netmask.
bool FindInterface(const std::string& address, InterfaceAddress* found) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool ok = false;
    for (struct ifaddrs* it = list; it != nullptr && !ok; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET ||
            it->ifa_netmask == nullptr)
            continue;
        char text[INET_ADDRSTRLEN] = {0};
        const auto* in = reinterpret_cast<const struct sockaddr_in*>(it->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) == nullptr || address != text)
            continue;
        const auto* mask = reinterpret_cast<const struct sockaddr_in*>(it->ifa_netmask);
        if (inet_ntop(AF_INET, &mask->sin_addr, text, sizeof(text)) == nullptr)
            continue;
        found->name = it->ifa_name;
        found->mask = text;
        ok = true;
    }
    freeifaddrs(list);
    return ok;
}

// The bound port of the running TCP server on address, or 0 when it has not
// started within kServerStartWait.
int WaitForTcpServer(const std::string& address) {
    const auto deadline = std::chrono::steady_clock::now() + kServerStartWait;
    do {
        std::list<boost::shared_ptr<nl::IpInfo>> ports;
        if (nl::GetConfiguredTcpPorts(ports) == nl::NL_SUCCESS) {
            for (const boost::shared_ptr<nl::IpInfo>& info : ports) {
                if (info->ip_address == address)
                    return info->port;
            }
        }
        std::this_thread::sleep_for(kPoll);
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

enum class Mode { kServe, kIdle };

// One bring-up of the library on one interface. Owns the framework from
// construction to destruction; only one may exist at a time.
class BringUp {
  public:
    BringUp(Mode mode, int port, const std::string& address, const InterfaceAddress& iface) {
        if (fc::InitFrameworkCore("") != fc::FC_SUCCESS) {
            error_ = "InitFrameworkCore failed";
            return;
        }
        initialised_ = true;
        if (fc::StartFrameworkCore() != fc::FC_SUCCESS) {
            error_ = "StartFrameworkCore failed";
            return;
        }
        const int configured =
            mode == Mode::kServe
                ? fc::ConfigureServers(port, 0, 0, false)
                : fc::ConfigureServers(port, kSsdpPort, port + kUdpPortOffset, false);
        if (configured != fc::FC_SUCCESS) {
            error_ = "ConfigureServers failed with " + std::to_string(configured);
            return;
        }
        if (mode == Mode::kServe) {
            responder_ = boost::make_shared<FixedResponder>();
            int id = -1;
            const int registered =
                nl::RegisterTCPRequestListener({kAnyRequestPattern}, responder_, id);
            if (registered != nl::NL_SUCCESS) {
                error_ = "RegisterTCPRequestListener failed with " + std::to_string(registered);
                return;
            }
        }
        const int added = fc::NotifyNICAdded(iface.name, address, iface.mask);
        if (added != nl::NL_SUCCESS) {
            error_ = "NotifyNICAdded failed with " + std::to_string(added);
            return;
        }
        bound_port_ = WaitForTcpServer(address);
        if (bound_port_ == 0)
            error_ = "the TCP server did not start on " + address;
    }

    ~BringUp() {
        if (initialised_)
            fc::TerminateFrameworkCore();
    }

    BringUp(const BringUp&) = delete;
    BringUp& operator=(const BringUp&) = delete;

    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }
    int BoundPort() const { return bound_port_; }
    long Answered() const { return responder_ ? responder_->Answered() : 0; }

  private:
    bool initialised_ = false;
    std::string error_;
    int bound_port_ = 0;
    boost::shared_ptr<FixedResponder> responder_;
};

bool ParsePort(const char* text, int* port) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > kMaxPort)
        return false;
    *port = static_cast<int>(value);
    return true;
}

int RunServer(Mode mode, int port, const std::string& address) {
    // Blocked before the library starts a thread, so every thread inherits
    // the mask and the signal waits for sigwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    InterfaceAddress iface;
    if (!FindInterface(address, &iface)) {
        std::fprintf(stderr, "no IPv4 interface holds %s\n", address.c_str());
        return EXIT_FAILURE;
    }
    int result = EXIT_SUCCESS;
    {
        BringUp bring_up(mode, port, address, iface);
        if (!bring_up.Ok()) {
            std::fprintf(stderr, "%s\n", bring_up.Error().c_str());
            result = EXIT_FAILURE;
        } else {
            std::printf("ready %d\n", bring_up.BoundPort());
            std::fflush(stdout);
            int signal_number = 0;
            sigwait(&stop_signals, &signal_number);
            std::fprintf(stderr, "signal %d: %ld requests answered, terminating\n", signal_number,
                         bring_up.Answered());
        }
    }
    std::fprintf(stderr, "terminated\n");
    return result;
}

// ---------------------------------------------------------------------------
// Benchmark: the serving bring-up on loopback, one blocking client.
// ---------------------------------------------------------------------------

// Connects, sends kBenchRequest and reads until the server closes. The bytes
// read, or -1 on a socket error or time-out.
long RoundTrip(const struct sockaddr_in& server) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    struct timeval timeout = {kClientTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    long total = -1;
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&server), sizeof(server)) == 0 &&
        send(fd, kBenchRequest, sizeof(kBenchRequest) - 1, MSG_NOSIGNAL) ==
            static_cast<ssize_t>(sizeof(kBenchRequest) - 1)) {
        char buffer[kClientReadSize];
        total = 0;
        for (;;) {
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                total = -1;
                break;
            }
            total += n;
        }
    }
    close(fd);
    return total;
}

void BM_RoundTrip(benchmark::State& state) {
    InterfaceAddress loopback{kLoopbackName, kLoopbackMask};
    BringUp bring_up(Mode::kServe, kBenchPort, kLoopbackAddress, loopback);
    if (!bring_up.Ok()) {
        state.SkipWithError(bring_up.Error().c_str());
        return;
    }
    struct sockaddr_in server;
    std::memset(&server, 0, sizeof(server));
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<unsigned short>(bring_up.BoundPort()));
    inet_pton(AF_INET, kLoopbackAddress, &server.sin_addr);

    const long expected = static_cast<long>(Response().size());
    for (auto _ : state) {
        const long got = RoundTrip(server);
        if (got != expected) {
            state.SkipWithError(("response of " + std::to_string(got) + " bytes, expected " +
                                 std::to_string(expected))
                                    .c_str());
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * expected);
}
// Real time: the work is on the library's threads, not the benchmark's.
BENCHMARK(BM_RoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], kPrintBodyFlag) == 0) {
        std::fwrite(Body().data(), 1, Body().size(), stdout);
        return std::fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
    }
    const bool serve = argc >= 2 && std::strcmp(argv[1], kServeFlag) == 0;
    const bool idle = argc >= 2 && std::strcmp(argv[1], kIdleFlag) == 0;
    if (serve || idle) {
        int port = 0;
        if (argc != 4 || !ParsePort(argv[2], &port) || (idle && port + kUdpPortOffset > kMaxPort)) {
            std::fprintf(stderr, "usage: %s --serve|--idle PORT IPV4-ADDRESS\n", argv[0]);
            return kExitUsage;
        }
        return RunServer(serve ? Mode::kServe : Mode::kIdle, port, argv[3]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return EXIT_FAILURE;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return EXIT_SUCCESS;
}
