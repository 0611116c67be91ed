#include "streaming/src/streaming_server_utils.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "streaming/src/streaming_utils.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace streaming {

namespace {

struct StatusReason {
    int code;
    const char* reason;
};

const StatusReason kStatusReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {102, "Processing"},
    {103, "Checkpoint"},
    {122, "Request-URI too long"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {226, "IM Used"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {306, "Switch Proxy"},
    {307, "Temporary Redirect"},
    {308, "Resume Incomplete"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Time-out"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request URI Too Large"},
    {415, "Unsupported Media Type"},
    {416, "Requested Range Not Satisfiable"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
    {505, "HTTP Version not supported"},
};

}  // namespace

const char* GetStatusString(int status_code) {
    for (const StatusReason& row : kStatusReasons) {
        if (row.code == status_code)
            return row.reason;
    }
    return nullptr;
}

ReqHeaderInfo* FormRequestHeaderInfo(const utils::HTTPInfo& request) {
    ReqHeaderInfo* head = static_cast<ReqHeaderInfo*>(std::calloc(1, sizeof(ReqHeaderInfo)));
    if (head == nullptr) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "ALLOC FAILURE!");
        return nullptr;
    }
    head->request_type = static_cast<int>(request.GetRequestType());
    std::string uri;
    if (request.GetURI(uri) != utils::UTILS_SUCCESS)
        ZEL_LOGW(ZEL_CORE_STREAMING, "GetURI failed");
    int major = 1;
    int minor = 1;
    request.GetHTTPVersion(major, minor);
    head->http_version = (major == 1 && minor == 0) ? HTTP_VERSION_1_0 : HTTP_VERSION_1_1;
    std::vector<utils::NameValue*> headers;
    request.GetHeader(headers);
    head->uri = MallocString(uri);
    if (head->uri == nullptr || !GetHeaderValues(headers, *head) ||
        !MakeArgumentList(headers, &head->additional_headers)) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "ALLOC FAILURE!");
        FreeRequestHeader(head);
        return nullptr;
    }
    return head;
}

int FormResHeader(const ResHeaderInfo* head, std::string& text) {
    if (head == nullptr ||
        (head->http_version != HTTP_VERSION_1_0 && head->http_version != HTTP_VERSION_1_1)) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Invalid params.");
        return STREAMING_INVALID_PARAMS;
    }
    const char* reason = GetStatusString(head->status_code);
    if (reason == nullptr) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Status string is null.");
        return STREAMING_INVALID_PARAMS;
    }
    text.clear();
    text.append(head->http_version == HTTP_VERSION_1_0 ? "HTTP/1.0 " : "HTTP/1.1 ");
    char status[32];
    std::snprintf(status, sizeof(status), "%u ", static_cast<unsigned>(head->status_code));
    text.append(status).append(reason).append("\r\n");
    AppendHeaderLine("Accept-Ranges", head->accept_ranges, text);
    AppendHeaderLine("Connection", head->connection, text);
    AppendHeaderLine("Content-Language", head->content_language, text);
    AppendContentLength(head->content_length, head->transfer_encoding, text);
    AppendHeaderLine("Content-Type", head->content_type, text);
    AppendHeaderLine("Date", head->date, text);
    AppendHeaderLine("Last-Modified", head->last_modified, text);
    if (head->http_version == HTTP_VERSION_1_1)
        AppendHeaderLine("Transfer-Encoding", head->transfer_encoding, text);
    AppendHeaderLine("Server", head->server, text);
    AppendArgumentLines(head->additional_headers, text);
    text.append("\r\n");
    return STREAMING_SUCCESS;
}

}  // namespace streaming
}  // namespace zel_upnp
