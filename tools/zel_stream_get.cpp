// zel-stream-get: fetches one URL with the streaming client of zel_upnp,
// asynchronous (default) or synchronous, and reports status, headers and
// throughput on stderr.
//
//   zel-stream-get [--sync | --sync-blocks] [--head] URL [-o FILE]
//
// --sync reads the body into one 1 MiB buffer (ReadHTTPDataInto);
// --sync-blocks takes the library's blocks (ReadHTTPData), for comparison.
//
// The body goes to FILE, or to stdout without -o. Exit status 0 when a
// complete 2xx response arrived.
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace {

namespace st = zel_upnp::streaming;
using Clock = std::chrono::steady_clock;

// The asynchronous fetch gives up when no byte arrived for this long.
constexpr std::chrono::seconds kStallLimit{30};

struct Fetch {
    std::mutex mutex;
    std::condition_variable changed;
    FILE* out = nullptr;
    int status = 0;
    unsigned long long bytes = 0;
    bool done = false;
    bool complete = false;
    bool write_failed = false;
    Clock::time_point last_progress = Clock::now();
};

Fetch g_fetch;

void PrintHead(const st::ResHeaderInfo* head) {
    std::fprintf(stderr, "HTTP/1.%d %d\n", head->http_version, head->status_code);
    const struct {
        const char* name;
        const char* value;
    } fields[] = {{"Accept-Ranges", head->accept_ranges},
                  {"Connection", head->connection},
                  {"Content-Language", head->content_language},
                  {"Content-Type", head->content_type},
                  {"Date", head->date},
                  {"Last-Modified", head->last_modified},
                  {"Transfer-Encoding", head->transfer_encoding},
                  {"Server", head->server}};
    for (const auto& field : fields) {
        if (field.value != nullptr)
            std::fprintf(stderr, "%s: %s\n", field.name, field.value);
    }
    if (head->content_length != 0)
        std::fprintf(stderr, "Content-Length: %lld\n",
                     static_cast<long long>(head->content_length));
    for (const st::stArgument* it = head->additional_headers; it != nullptr; it = it->next)
        std::fprintf(stderr, "%s: %s\n", it->name, it->value);
}

// The synchronous fetch reads the body into a buffer of this size.
constexpr unsigned int kSyncBufferSize = 1024 * 1024;

// Writes one body block; on the caller's side of g_fetch.mutex.
void WriteBody(const void* data, unsigned int length, bool complete) {
    std::lock_guard<std::mutex> lock(g_fetch.mutex);
    if (length > 0 && g_fetch.out != nullptr && std::fwrite(data, 1, length, g_fetch.out) != length)
        g_fetch.write_failed = true;
    g_fetch.bytes += length;
    g_fetch.last_progress = Clock::now();
    if (complete) {
        g_fetch.complete = true;
        g_fetch.done = true;
    }
    g_fetch.changed.notify_all();
}

// Writes and frees one body block the library handed out.
void TakeBody(void* data, unsigned int length, bool complete) {
    WriteBody(data, length, complete);
    st::Free(data);
}

void OnStatus(int, int, int code) {
    std::lock_guard<std::mutex> lock(g_fetch.mutex);
    std::fprintf(stderr, "zel-stream-get: connection ended (status %d)\n", code);
    g_fetch.done = true;
    g_fetch.changed.notify_all();
}

void OnResponse(int, int, st::ResHeaderInfo* head, void* body, unsigned int length, bool complete) {
    PrintHead(head);
    {
        std::lock_guard<std::mutex> lock(g_fetch.mutex);
        g_fetch.status = head->status_code;
    }
    st::FreeResponseHeader(head);
    TakeBody(body, length, complete);
}

void OnResponseData(int, int, void* data, unsigned int length, bool complete) {
    TakeBody(data, length, complete);
}

void OnWriteDone(int, int, unsigned int) {}

st::ReqHeaderInfo MakeRequest(bool head_only, std::string& path, std::string& host) {
    st::ReqHeaderInfo request = st::ReqHeaderInfo();
    request.request_type = head_only ? st::REQUEST_HEAD : st::REQUEST_GET;
    request.http_version = st::HTTP_VERSION_1_1;
    request.uri = &path[0];
    request.host = &host[0];
    request.connection = const_cast<char*>("close");
    request.user_agent = const_cast<char*>("zel-stream-get/1.0");
    request.accept = const_cast<char*>("*/*");
    return request;
}

int FetchAsync(const std::string& address, int port, st::ReqHeaderInfo& request) {
    st::ClientAppCallbacks callbacks = {OnStatus, OnResponse, OnResponseData, OnWriteDone};
    int client_id = -1;
    int rc = st::StartClient(&callbacks, address.c_str(), port, &client_id);
    if (rc == 0)
        rc = st::SendHTTPRequest(client_id, &request);
    if (rc != 0) {
        std::fprintf(stderr, "zel-stream-get: request failed with %d\n", rc);
        return rc;
    }
    std::unique_lock<std::mutex> lock(g_fetch.mutex);
    while (!g_fetch.done) {
        g_fetch.changed.wait_for(lock, std::chrono::seconds(1));
        if (!g_fetch.done && Clock::now() - g_fetch.last_progress > kStallLimit) {
            std::fprintf(stderr, "zel-stream-get: no data for %lld s\n",
                         static_cast<long long>(kStallLimit.count()));
            break;
        }
    }
    lock.unlock();
    st::StopClientTransfer(client_id);
    return 0;
}

int FetchSync(const std::string& address, int port, st::ReqHeaderInfo& request, bool blocks) {
    int client_id = -1;
    int rc = st::StartSyncClient(&client_id);
    if (rc == 0)
        rc = st::ConnectSyncClient(client_id, address.c_str(), port);
    if (rc == 0)
        rc = st::SendSyncHTTPRequest(client_id, &request);
    st::ResHeaderInfo* head = nullptr;
    void* body = nullptr;
    unsigned int length = 0;
    bool complete = false;
    if (rc == 0)
        rc = st::ReadHTTPHeader(client_id, &head, &body, length, complete);
    if (rc == 0) {
        PrintHead(head);
        g_fetch.status = head->status_code;
        st::FreeResponseHeader(head);
        TakeBody(body, length, complete);
    }
    // Straight from the socket into one large buffer: few system calls and
    // no copy between them and the output.
    char* buffer = complete ? nullptr : static_cast<char*>(std::malloc(kSyncBufferSize));
    if (!complete && buffer == nullptr)
        rc = 1;
    while (rc == 0 && !complete && blocks) {
        void* data = nullptr;
        rc = st::ReadHTTPData(client_id, &data, length, complete);
        if (rc == 0)
            TakeBody(data, length, complete);
    }
    while (rc == 0 && !complete) {
        rc = st::ReadHTTPDataInto(client_id, buffer, kSyncBufferSize, length, complete);
        if (rc == 0)
            WriteBody(buffer, length, complete);
    }
    std::free(buffer);
    if (rc != 0)
        std::fprintf(stderr, "zel-stream-get: synchronous fetch failed with %d\n", rc);
    if (client_id >= 0)
        st::StopClientTransfer(client_id);
    return rc;
}

int Usage() {
    std::fprintf(stderr, "usage: zel-stream-get [--sync | --sync-blocks] [--head] URL [-o FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The library's own log goes to stderr; keep it to what matters here
    // unless ZEL_LOG_LEVEL says otherwise.
    setenv("ZEL_LOG_LEVEL", "none", 0);
    bool sync = false;
    bool blocks = false;
    bool head_only = false;
    std::string url;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sync")
            sync = true;
        else if (arg == "--sync-blocks")
            sync = blocks = true;
        else if (arg == "--head")
            head_only = true;
        else if (arg == "-o" && i + 1 < argc)
            output = argv[++i];
        else if (url.empty() && arg.compare(0, 7, "http://") == 0)
            url = arg;
        else
            return Usage();
    }
    std::string address;
    std::string path;
    int port = 80;
    if (url.empty())
        return Usage();
    // A URL without a port gets the default one; the colons of an IPv6
    // host in brackets are not a port's.
    std::string with_port = url;
    const size_t host_end = url.find('/', 7);
    const std::string authority =
        url.substr(7, host_end == std::string::npos ? std::string::npos : host_end - 7);
    const size_t bracket = authority.rfind(']');
    if (authority.find(':', bracket == std::string::npos ? 0 : bracket) == std::string::npos)
        with_port.insert(host_end == std::string::npos ? url.size() : host_end, ":80");
    if (zel_upnp::utils::StringUtils::ParseURI(with_port, address, port, path) != 1)
        return Usage();
    signal(SIGPIPE, SIG_IGN);
    g_fetch.out = output.empty() ? stdout : std::fopen(output.c_str(), "wb");
    if (g_fetch.out == nullptr) {
        std::fprintf(stderr, "zel-stream-get: cannot write %s\n", output.c_str());
        return 1;
    }
    if (st::InitializeStreamingManager() != 0)
        return 1;
    std::string host = zel_upnp::utils::StringUtils::HostPort(address, port);
    st::ReqHeaderInfo request = MakeRequest(head_only, path, host);
    const Clock::time_point start = Clock::now();
    const int rc =
        sync ? FetchSync(address, port, request, blocks) : FetchAsync(address, port, request);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    st::TerminateStreamingManager();
    bool ok = rc == 0;
    {
        std::lock_guard<std::mutex> lock(g_fetch.mutex);
        ok = ok && g_fetch.complete && !g_fetch.write_failed && g_fetch.status >= 200 &&
             g_fetch.status < 300;
        std::fprintf(stderr, "%llu bytes in %.3f s, %.0f bytes/s\n", g_fetch.bytes, seconds,
                     seconds > 0 ? g_fetch.bytes / seconds : 0.0);
    }
    if (g_fetch.out != stdout && std::fclose(g_fetch.out) != 0)
        ok = false;
    return ok ? 0 : 1;
}
