// zel-stream-example-client: an application's asynchronous HTTP streaming
// client. Fetches http://ADDRESS:PORT/PATH, writes the body to FILE and
// prints the status and the body's length; exits 0 for a complete 2xx
// response within 60 seconds.
//   zel-stream-example-client ADDRESS PORT PATH FILE
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace {

namespace st = zel_upnp::streaming;

const std::chrono::seconds kTransferLimit(60);

// Filled by the callbacks on the library's threads, read by main.
struct Fetch {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    bool complete = false;
    int status = 0;
    unsigned long long bytes = 0;
    std::FILE* out = nullptr;
};
Fetch g_fetch;

// One session's callbacks never overlap, so the file needs no lock of its
// own; the lock guards what main reads.
void Body(void* data, unsigned int length, bool complete) {
    if (length > 0)
        std::fwrite(data, 1, length, g_fetch.out);
    st::Free(data);
    std::lock_guard<std::mutex> lock(g_fetch.mutex);
    g_fetch.bytes += length;
    if (complete) {
        g_fetch.complete = true;
        g_fetch.done = true;
        g_fetch.done_changed.notify_all();
    }
}

void OnStatus(int, int, int) {  // the connection ended before the response did
    std::lock_guard<std::mutex> lock(g_fetch.mutex);
    g_fetch.done = true;
    g_fetch.done_changed.notify_all();
}

void OnResponse(int, int, st::ResHeaderInfo* head, void* body, unsigned int length, bool complete) {
    {
        std::lock_guard<std::mutex> lock(g_fetch.mutex);
        g_fetch.status = head->status_code;
    }
    st::FreeResponseHeader(head);
    Body(body, length, complete);
}

void OnResponseData(int, int, void* data, unsigned int length, bool complete) {
    Body(data, length, complete);
}

void OnWriteDone(int, int, unsigned int) {}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: zel-stream-example-client ADDRESS PORT PATH FILE\n");
        return 2;
    }
    g_fetch.out = std::fopen(argv[4], "wb");
    if (g_fetch.out == nullptr || st::InitializeStreamingManager() != 0)
        return 1;
    // "[fd00::1]:8080" for an IPv6 server, without the zone of a link-local one.
    std::string host = zel_upnp::utils::StringUtils::HostPort(argv[1], std::atoi(argv[2]));
    st::ReqHeaderInfo request = st::ReqHeaderInfo();
    request.request_type = st::REQUEST_GET;
    request.http_version = st::HTTP_VERSION_1_1;
    request.uri = argv[3];
    request.host = &host[0];
    request.connection = const_cast<char*>("close");
    st::ClientAppCallbacks callbacks = {OnStatus, OnResponse, OnResponseData, OnWriteDone};
    int client = 0;
    int rc = st::StartClient(&callbacks, argv[1], std::atoi(argv[2]), &client);
    if (rc == 0)
        rc = st::SendHTTPRequest(client, &request);  // held until the connection is up
    bool complete = false;
    if (rc == 0) {
        std::unique_lock<std::mutex> lock(g_fetch.mutex);
        g_fetch.done_changed.wait_for(lock, kTransferLimit, [] { return g_fetch.done; });
        complete = g_fetch.complete;
        std::printf("status %d bytes %llu%s\n", g_fetch.status, g_fetch.bytes,
                    complete ? "" : " (incomplete)");
    }
    if (rc == 0)
        st::StopClientTransfer(client);
    // The last Terminate waits for the callbacks to end: the file is closed after it.
    st::TerminateStreamingManager();
    std::fclose(g_fetch.out);
    return rc == 0 && complete && g_fetch.status / 100 == 2 ? 0 : 1;
}
