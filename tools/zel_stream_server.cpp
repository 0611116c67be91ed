// zel-stream-server: serves the files of one folder over HTTP with the
// streaming servers of zel_upnp, on one interface or on every interface as
// interfaces come and go.
//
//   zel-stream-server --dir D [--interface IF | --all] [--port N] [--chunked]
//                     [--block BYTES]
//
// Prints one line per server started or stopped. Runs until SIGINT/SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace {

namespace nl = zel_upnp::network_layer;
namespace st = zel_upnp::streaming;

// Bytes read from a file per payload, unless --block says otherwise.
constexpr size_t kDefaultBlockSize = 2 * 1024 * 1024;
constexpr size_t kMaxBlockSize = 64 * 1024 * 1024;
// How often the interface list is compared with the kernel's.
constexpr std::chrono::milliseconds kInterfacePoll{300};
const char kServerName[] = "zel-stream-server/1.0";

struct Options {
    std::string dir;
    std::string interface_name;  // empty with --all
    int port = 8080;
    bool chunked = false;
    size_t block = kDefaultBlockSize;
};

// One response in progress.
struct Transfer {
    int fd = -1;
    long long remaining = 0;
    char* buffer = nullptr;  // malloc'ed; handed to the library with the last payload
};

std::atomic<bool> g_stop{false};
Options g_options;
std::string g_root;  // canonical folder path
std::mutex g_mutex;  // g_transfers
std::map<std::pair<int, int>, Transfer> g_transfers;

void OnSignal(int) {
    g_stop = true;
}

void EndTransfer(int server_id, int session_id) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_transfers.find({server_id, session_id});
    if (it == g_transfers.end())
        return;
    if (it->second.fd >= 0)
        close(it->second.fd);
    std::free(it->second.buffer);
    g_transfers.erase(it);
}

// The file a request path names, or empty when it is outside the folder or
// not a regular file.
std::string ResolvePath(char* uri) {
    if (uri == nullptr || uri[0] != '/')
        return std::string();
    char* query = std::strpbrk(uri, "?#");
    if (query != nullptr)
        *query = '\0';
    st::UnEscapeURI(uri);
    std::string path = g_root + uri;
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr)
        return std::string();
    const std::string resolved = real;
    if (resolved.compare(0, g_root.size(), g_root) != 0 ||
        (resolved.size() > g_root.size() && resolved[g_root.size()] != '/'))
        return std::string();
    struct stat info;
    if (stat(real, &info) != 0 || !S_ISREG(info.st_mode))
        return std::string();
    return resolved;
}

void SendHead(int server_id, int session_id, int status, long long length, bool chunked,
              bool last) {
    st::ResHeaderInfo head = st::ResHeaderInfo();
    head.http_version = st::HTTP_VERSION_1_1;
    head.status_code = status;
    head.content_length = length;
    std::string date;
    zel_upnp::utils::Generate_CurrentDate(date);
    head.date = const_cast<char*>(date.c_str());
    head.server = const_cast<char*>(kServerName);
    head.connection = const_cast<char*>("close");
    head.content_type = const_cast<char*>("application/octet-stream");
    if (chunked)
        head.transfer_encoding = const_cast<char*>("chunked");
    if (st::SendHTTPResponse(server_id, session_id, &head, last) != 0)
        EndTransfer(server_id, session_id);
}

void OnConnect(int, int, int) {}

void OnStatus(int server_id, int session_id, int code) {
    if (session_id != 0) {
        EndTransfer(server_id, session_id);
        return;
    }
    if (code == st::STATUS_SERVER_STARTED) {
        st::stServer* server = st::GetConfiguredServers(server_id);
        if (server != nullptr)
            std::printf("server %d started on %s:%d (%s)\n", server->server_id, server->ip_address,
                        server->port, server->interface_name);
        st::FreeServerInfoList(server);
    } else if (code == st::STATUS_SERVER_STOPPED) {
        std::printf("server %d stopped\n", server_id);
    }
    std::fflush(stdout);
}

void OnRequest(int server_id, int session_id, st::ReqHeaderInfo* head, void* body, unsigned int,
               bool) {
    st::Free(body);
    const int type = head->request_type;
    const std::string path =
        (type == st::REQUEST_GET || type == st::REQUEST_HEAD) ? ResolvePath(head->uri) : "";
    const bool chunked = g_options.chunked && head->http_version == st::HTTP_VERSION_1_1;
    st::FreeRequestHeader(head);
    if (type != st::REQUEST_GET && type != st::REQUEST_HEAD) {
        SendHead(server_id, session_id, 405, 0, false, true);
        return;
    }
    const int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0)
            close(fd);
        SendHead(server_id, session_id, 404, 0, false, true);
        return;
    }
    const bool last = type == st::REQUEST_HEAD || (info.st_size == 0 && !chunked);
    if (last) {
        close(fd);
    } else {
        Transfer transfer;
        transfer.fd = fd;
        transfer.remaining = info.st_size;
        std::lock_guard<std::mutex> lock(g_mutex);
        g_transfers[{server_id, session_id}] = transfer;
    }
    SendHead(server_id, session_id, 200, info.st_size, chunked, last);
}

void OnRequestData(int, int, void* data, unsigned int, bool) {
    st::Free(data);
}

// The head or the previous block is out: send the next block.
void OnWriteDone(int server_id, int session_id, unsigned int) {
    char* block = nullptr;
    size_t length = 0;
    bool last = false;
    bool failed = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_transfers.find({server_id, session_id});
        if (it == g_transfers.end())
            return;
        Transfer& transfer = it->second;
        if (transfer.buffer == nullptr)
            transfer.buffer = static_cast<char*>(std::malloc(g_options.block));
        const size_t want =
            static_cast<size_t>(std::min<long long>(transfer.remaining, g_options.block));
        ssize_t got = transfer.buffer == nullptr ? -1 : 0;
        while (got >= 0 && static_cast<size_t>(got) < want) {
            const ssize_t n = read(transfer.fd, transfer.buffer + got, want - got);
            if (n <= 0) {
                got = -1;
                break;
            }
            got += n;
        }
        if (got < 0) {
            failed = true;
        } else {
            transfer.remaining -= got;
            block = transfer.buffer;
            length = static_cast<size_t>(got);
            last = transfer.remaining == 0;
            if (last) {
                // The library frees the last block after writing it.
                transfer.buffer = nullptr;
                close(transfer.fd);
                g_transfers.erase(it);
            }
        }
    }
    if (failed) {
        EndTransfer(server_id, session_id);
        st::StopServerTransfer(server_id, session_id);
        return;
    }
    if (st::SendHTTPPayload(server_id, session_id, block, static_cast<unsigned>(length), last) !=
        0) {
        if (last)
            std::free(block);
        EndTransfer(server_id, session_id);
    }
}

// IPv4 address and mask of every interface that is up, by name.
std::map<std::string, std::pair<std::string, std::string> > KernelInterfaces() {
    std::map<std::string, std::pair<std::string, std::string> > result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET ||
            (it->ifa_flags & IFF_UP) == 0 || result.count(it->ifa_name) != 0)
            continue;
        char address[INET_ADDRSTRLEN] = {0};
        char mask[INET_ADDRSTRLEN] = "255.255.255.255";
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr, address,
                  sizeof(address));
        if (it->ifa_netmask != nullptr)
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_netmask)->sin_addr, mask,
                      sizeof(mask));
        result[it->ifa_name] = std::make_pair(address, mask);
    }
    freeifaddrs(list);
    return result;
}

// Tells the interface registry what changed since the last call.
void FeedInterfaces(std::map<std::string, std::pair<std::string, std::string> >& known) {
    auto now = KernelInterfaces();
    if (!g_options.interface_name.empty()) {
        auto it = now.find(g_options.interface_name);
        decltype(now) only;
        if (it != now.end())
            only.insert(*it);
        now.swap(only);
    }
    for (const auto& entry : known) {
        auto it = now.find(entry.first);
        if (it == now.end() || it->second != entry.second)
            nl::NotifyNICRemoved(entry.first);
    }
    for (const auto& entry : now) {
        auto it = known.find(entry.first);
        if (it == known.end() || it->second != entry.second)
            nl::NotifyNICAdded(entry.first, entry.second.first, entry.second.second);
    }
    known.swap(now);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: zel-stream-server --dir D [--interface IF | --all] [--port N] "
                 "[--chunked] [--block BYTES]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The library's own log goes to stderr; keep it to what matters here
    // unless ZEL_LOG_LEVEL says otherwise.
    setenv("ZEL_LOG_LEVEL", "error", 0);
    bool all = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc)
            g_options.dir = argv[++i];
        else if (arg == "--interface" && i + 1 < argc)
            g_options.interface_name = argv[++i];
        else if (arg == "--all")
            all = true;
        else if (arg == "--port" && i + 1 < argc)
            g_options.port = std::atoi(argv[++i]);
        else if (arg == "--block" && i + 1 < argc)
            g_options.block = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--chunked")
            g_options.chunked = true;
        else
            return Usage();
    }
    if (g_options.dir.empty() || (all == !g_options.interface_name.empty()) || g_options.port < 0 ||
        g_options.port > 65535 || g_options.block == 0 || g_options.block > kMaxBlockSize)
        return Usage();
    char real[PATH_MAX];
    if (realpath(g_options.dir.c_str(), real) == nullptr) {
        std::fprintf(stderr, "zel-stream-server: no folder %s\n", g_options.dir.c_str());
        return 1;
    }
    g_root = real;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    if (nl::InitializeNetworkLayer() != 0 || nl::StartNetworkLayer() != 0 ||
        st::InitializeStreamingManager() != 0) {
        std::fprintf(stderr, "zel-stream-server: the library did not start\n");
        return 1;
    }
    st::ServerAppCallbacks callbacks = {OnConnect, OnStatus, OnRequest, OnRequestData, OnWriteDone};
    // The profile is made before any interface is known: every interface,
    // also the first, then arrives as an event and gets its server.
    st::stServer* servers = nullptr;
    int profile_id = 0;
    int rc = st::StartServers(&callbacks, nullptr, g_options.port, &servers, &profile_id);
    st::FreeServerInfoList(servers);
    if (rc != 0) {
        std::fprintf(stderr, "zel-stream-server: StartServers failed with %d\n", rc);
        return 1;
    }
    std::map<std::string, std::pair<std::string, std::string> > known;
    while (!g_stop) {
        FeedInterfaces(known);
        std::this_thread::sleep_for(kInterfacePoll);
    }
    st::StopServers(profile_id);
    st::TerminateStreamingManager();
    nl::StopNetworkLayer();
    nl::TerminateNetworkLayer();
    return 0;
}
