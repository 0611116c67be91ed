// zel-stream-server: serves the files of one folder over HTTP with the
// streaming servers of zel_upnp, on one interface or on every interface as
// interfaces come and go.
//
//   zel-stream-server --dir D [--interface IF | --all] [--port N] [--chunked]
//                     [--copy] [--block BYTES]
//
// Files go out with SendHTTPFilePayload (the kernel moves the bytes); with
// --copy they are read into a buffer of --block bytes and sent with
// SendHTTPPayload, which is the path to compare against.
//
// Prints one line per server started or stopped. Interfaces are followed by
// the library's kernel network monitor (loopback, which it leaves out, is
// announced once when named). Runs until SIGINT/SIGTERM.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace {

namespace nl = zel_upnp::network_layer;
namespace st = zel_upnp::streaming;

// Bytes read from a file per payload, unless --block says otherwise.
constexpr size_t kDefaultBlockSize = 2 * 1024 * 1024;
// Bytes of a file per payload of the file path: the whole of most files.
constexpr long long kFilePayloadSize = 1LL << 30;
constexpr size_t kMaxBlockSize = 64 * 1024 * 1024;
// The loopback interface as the tool announces it (the monitor skips it).
const char kLoopbackName[] = "lo";
const char kLoopbackAddress[] = "127.0.0.1";
const char kLoopbackMask[] = "255.0.0.0";
const char kServerName[] = "zel-stream-server/1.0";
const int kMallocArenas = 2;

struct Options {
    std::string dir;
    std::string interface_name;  // empty with --all
    int port = 8080;
    bool chunked = false;
    bool copy = false;
    size_t block = kDefaultBlockSize;
};

// One response in progress.
struct Transfer {
    int fd = -1;
    long long remaining = 0;
    long long offset = 0;    // of the next payload, on the file path
    char* buffer = nullptr;  // malloc'ed; handed to the library with the last payload
};

Options g_options;
std::string g_root;  // canonical folder path
std::mutex g_mutex;  // g_transfers
std::map<std::pair<int, int>, Transfer> g_transfers;

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
            std::printf(
                "server %d started on %s (%s)\n", server->server_id,
                zel_upnp::utils::StringUtils::HostPort(server->ip_address, server->port).c_str(),
                server->interface_name);
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

// The file path: the next range of the file, straight from the page cache.
void SendFileRange(int server_id, int session_id) {
    int fd = -1;
    long long offset = 0;
    unsigned int length = 0;
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_transfers.find({server_id, session_id});
        if (it == g_transfers.end())
            return;
        Transfer& transfer = it->second;
        length = static_cast<unsigned>(std::min(transfer.remaining, kFilePayloadSize));
        offset = transfer.offset;
        transfer.offset += length;
        transfer.remaining -= length;
        last = transfer.remaining == 0;
        // The library keeps its own duplicate: ours may close at once.
        fd = dup(transfer.fd);
        if (last) {
            close(transfer.fd);
            g_transfers.erase(it);
        }
    }
    const int rc =
        fd < 0 ? -1 : st::SendHTTPFilePayload(server_id, session_id, fd, offset, length, last);
    if (fd >= 0)
        close(fd);
    if (rc != 0) {
        EndTransfer(server_id, session_id);
        st::StopServerTransfer(server_id, session_id);
    }
}

// The head or the previous block is out: send the next block.
void OnWriteDone(int server_id, int session_id, unsigned int) {
    if (!g_options.copy) {
        SendFileRange(server_id, session_id);
        return;
    }
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

int Usage() {
    std::fprintf(stderr,
                 "usage: zel-stream-server --dir D [--interface IF | --all] [--port N] "
                 "[--chunked] [--copy] [--block BYTES]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The 20 io threads would otherwise get up to 8 malloc arenas per core,
    // each keeping the blocks freed into it: resident memory then creeps up
    // with the streams served. Two arenas keep the io threads from queueing
    // on one lock. Process-wide, hence set by the program, not the library.
    mallopt(M_ARENA_MAX, kMallocArenas);
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
        else if (arg == "--copy")
            g_options.copy = true;
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
    std::signal(SIGPIPE, SIG_IGN);
    // Blocked before the library starts its threads, so that only the wait
    // below takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

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
    // The kernel monitor reports the interfaces as they come, change and
    // go; each selected one raises a NIC event and gets (or loses) its
    // server.
    if (all) {
        nl::ConfigureOnAllNetworkInterfaces(true);
    } else {
        nl::ConfigureNetworkInterface(g_options.interface_name, true);
        if (g_options.interface_name == kLoopbackName)
            nl::NotifyNICAdded(kLoopbackName, kLoopbackAddress, kLoopbackMask);
    }
    if (nl::InitializeNetworkMonitor() != 0) {
        std::fprintf(stderr, "zel-stream-server: the network monitor did not start\n");
        rc = 1;
    }
    int signal_number = 0;
    while (rc == 0 && sigwait(&stop_signals, &signal_number) != 0) {
    }
    nl::TerminateNetworkMonitor();
    st::StopServers(profile_id);
    st::TerminateStreamingManager();
    nl::StopNetworkLayer();
    nl::TerminateNetworkLayer();
    return rc;
}
