// zel-stream-example-server: an application's HTTP streaming server. On
// every address of the interface it is given (followed as it comes, goes and
// changes address), GET /bytes/N answers N bytes of a repeating pattern (byte
// i is i % 251), produced block by block as the previous block is written;
// any other path gets 404, any other method 405. Runs until SIGINT or SIGTERM.
//   zel-stream-example-server INTERFACE PORT
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <zel_upnp/framework_core.h>
#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace {

namespace fc = zel_upnp::framework_core;
namespace st = zel_upnp::streaming;

// Largest N a request may ask for, and the size of one written block.
const unsigned long long kMaxBytes = 1ULL << 32;
const size_t kBlockBytes = 64 * 1024;

// One response in progress. The block is written without a copy, so it is
// refilled only after on_write_done said the previous write is out.
struct Transfer {
    unsigned long long offset = 0;
    unsigned long long left = 0;
    unsigned char* block = nullptr;
};

// Callbacks run on several library threads at once.
std::mutex g_mutex;
std::map<std::pair<int, int>, Transfer> g_transfers;  // by (server, session)

void EndTransfer(int server_id, int session_id) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_transfers.find({server_id, session_id});
    if (it == g_transfers.end())
        return;
    std::free(it->second.block);
    g_transfers.erase(it);
}

void SendHead(int server_id, int session_id, int status, unsigned long long length, bool last) {
    st::ResHeaderInfo head = st::ResHeaderInfo();
    head.http_version = st::HTTP_VERSION_1_1;
    head.status_code = status;
    head.content_length = static_cast<int64_t>(length);
    head.connection = const_cast<char*>("close");
    head.content_type = const_cast<char*>("application/octet-stream");
    if (st::SendHTTPResponse(server_id, session_id, &head, last) != 0)
        EndTransfer(server_id, session_id);
}

void OnConnect(int, int, int) {}

void OnStatus(int server_id, int session_id, int code) {
    if (session_id != 0) {  // the connection ended, finished or not
        EndTransfer(server_id, session_id);
    } else if (code == st::STATUS_SERVER_STARTED) {
        st::stServer* server = st::GetConfiguredServers(server_id);
        if (server != nullptr)
            std::printf(
                "serving on %s\n",  // [fd00::1]:8200 for an IPv6 address
                zel_upnp::utils::StringUtils::HostPort(server->ip_address, server->port).c_str());
        std::fflush(stdout);
        st::FreeServerInfoList(server);
    }
}

// The head is answered from inside this callback, as the library requires.
void OnRequest(int server_id, int session_id, st::ReqHeaderInfo* head, void* body, unsigned int,
               bool) {
    st::Free(body);
    const bool get = head->request_type == st::REQUEST_GET;
    unsigned long long length = 0;
    bool found = false;
    if (head->uri != nullptr && std::strncmp(head->uri, "/bytes/", 7) == 0) {
        char* end = nullptr;
        length = std::strtoull(head->uri + 7, &end, 10);
        found = end != head->uri + 7 && *end == '\0' && length <= kMaxBytes;
    }
    st::FreeRequestHeader(head);
    if (!get || !found) {
        SendHead(server_id, session_id, get ? 404 : 405, 0, true);
        return;
    }
    if (length > 0) {
        Transfer transfer;
        transfer.left = length;
        std::lock_guard<std::mutex> lock(g_mutex);
        g_transfers[{server_id, session_id}] = transfer;
    }
    SendHead(server_id, session_id, 200, length, length == 0);
}

void OnRequestData(int, int, void* data, unsigned int, bool) {
    st::Free(data);
}

// The head or the previous block is out: produce and send the next one.
void OnWriteDone(int server_id, int session_id, unsigned int) {
    unsigned char* block = nullptr;
    size_t length = 0;
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_transfers.find({server_id, session_id});
        if (it == g_transfers.end())
            return;
        Transfer& transfer = it->second;
        if (transfer.block == nullptr)
            transfer.block = static_cast<unsigned char*>(std::malloc(kBlockBytes));
        if (transfer.block == nullptr) {
            g_transfers.erase(it);
            st::StopServerTransfer(server_id, session_id);
            return;
        }
        length = static_cast<size_t>(std::min<unsigned long long>(transfer.left, kBlockBytes));
        for (size_t i = 0; i < length; ++i)
            transfer.block[i] = static_cast<unsigned char>((transfer.offset + i) % 251);
        transfer.offset += length;
        transfer.left -= length;
        block = transfer.block;
        last = transfer.left == 0;
        if (last)  // the library frees the last block once it is written
            g_transfers.erase(it);
    }
    if (st::SendHTTPPayload(server_id, session_id, block, static_cast<unsigned>(length), last) !=
        0) {
        if (last)
            std::free(block);
        EndTransfer(server_id, session_id);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int port = argc == 3 ? std::atoi(argv[2]) : 0;
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: zel-stream-example-server INTERFACE PORT\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    // The framework core follows the interface; the streaming servers start
    // and stop with its addresses (no UPnP role is needed for streaming).
    int rc = fc::InitFrameworkCore("");
    if (rc == 0)
        rc = st::InitializeStreamingManager();
    st::ServerAppCallbacks callbacks = {OnConnect, OnStatus, OnRequest, OnRequestData, OnWriteDone};
    st::stServer* servers = nullptr;
    int profile = 0;
    if (rc == 0)  // a null address: every selected interface, now and later
        rc = st::StartServers(&callbacks, nullptr, port, &servers, &profile);
    st::FreeServerInfoList(servers);
    if (rc == 0) {
        fc::ConfigureApplicationOnInterface(argv[1]);
        fc::StartNetworkMonitor();
        int signal = 0;
        sigwait(&stop, &signal);
        st::StopServers(profile);
    } else {
        std::fprintf(stderr, "zel-stream-example-server: start failed (%d)\n", rc);
    }
    st::TerminateStreamingManager();
    fc::TerminateFrameworkCore();
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& transfer : g_transfers)
        std::free(transfer.second.block);
    return rc == 0 ? 0 : 1;
}
