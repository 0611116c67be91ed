#include "streaming/src/streaming_server_utils.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "streaming/src/streaming_utils.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/reason_phrase.h"
#include "utils/src/string/header_text.h"

namespace zel_upnp {
namespace streaming {

const char* GetStatusString(int status_code) {
    return utils::StandardReasonPhrase(status_code);
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

bool HeadFieldsSafe(std::initializer_list<const char*> values, const stArgument* extra) {
    for (const char* value : values) {
        if (!utils::IsHeaderSafe(value))
            return false;
    }
    for (const stArgument* node = extra; node != nullptr; node = node->next) {
        // A nameless node is skipped by the builders.
        if (node->name != nullptr &&
            (!utils::IsHeaderName(node->name) || !utils::IsHeaderSafe(node->value)))
            return false;
    }
    return true;
}

int FormResHeader(const ResHeaderInfo* head, std::string& text) {
    if (head == nullptr ||
        (head->http_version != HTTP_VERSION_1_0 && head->http_version != HTTP_VERSION_1_1)) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Invalid params.");
        return STREAMING_INVALID_PARAMS;
    }
    if (!HeadFieldsSafe(
            {head->accept_ranges, head->connection, head->content_language, head->content_type,
             head->date, head->last_modified, head->transfer_encoding, head->server},
            head->additional_headers)) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Response head holds a CR, LF or bad header name, refused.");
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
