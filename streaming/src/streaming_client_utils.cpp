#include "streaming/src/streaming_client_utils.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "streaming/src/streaming_server_utils.h"
#include "streaming/src/streaming_utils.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace streaming {

int FormReqHeader(const ReqHeaderInfo* head, std::string& text) {
    static const char* const kMethods[] = {"GET ", "HEAD ", "POST "};
    if (head->request_type < REQUEST_GET || head->request_type > REQUEST_POST) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Invalid request type!");
        return kFormReqHeaderFailure;
    }
    if (head->http_version != HTTP_VERSION_1_0 && head->http_version != HTTP_VERSION_1_1) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Invalid http version!");
        return kFormReqHeaderFailure;
    }
    // The uri stands in the request line: no space either, or the peer
    // would read a different target and version.
    if (!HeadFieldsSafe({head->uri, head->accept, head->connection, head->content_type, head->date,
                         head->expect, head->from, head->host, head->last_modified,
                         head->transfer_encoding, head->user_agent},
                        head->additional_headers) ||
        (head->uri != nullptr && std::strchr(head->uri, ' ') != nullptr)) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Request head holds a CR, LF or bad header name, refused!");
        return kFormReqHeaderFailure;
    }
    text.clear();
    text.append(kMethods[head->request_type]);
    if (head->uri != nullptr)
        text.append(head->uri);
    text.append(head->http_version == HTTP_VERSION_1_0 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
    AppendHeaderLine("Accept", head->accept, text);
    text.append("Accept-Language: en-us\r\n");
    AppendHeaderLine("Connection", head->connection, text);
    AppendContentLength(head->content_length, head->transfer_encoding, text);
    AppendHeaderLine("Content-Type", head->content_type, text);
    AppendHeaderLine("Date", head->date, text);
    AppendHeaderLine("Expect", head->expect, text);
    AppendHeaderLine("From", head->from, text);
    AppendHeaderLine("Host", head->host, text);
    AppendHeaderLine("Last-Modified", head->last_modified, text);
    if (head->http_version == HTTP_VERSION_1_1)
        AppendHeaderLine("Transfer-Encoding", head->transfer_encoding, text);
    AppendHeaderLine("User-Agent", head->user_agent, text);
    AppendArgumentLines(head->additional_headers, text);
    text.append("\r\n");
    return STREAMING_SUCCESS;
}

ResHeaderInfo* FormResponseHeaderInfo(const utils::HTTPInfo& response) {
    ResHeaderInfo* head = static_cast<ResHeaderInfo*>(std::calloc(1, sizeof(ResHeaderInfo)));
    if (head == nullptr)
        return nullptr;
    int major = 1;
    int minor = 1;
    response.GetHTTPVersion(major, minor);
    head->http_version = (major == 1 && minor == 0) ? HTTP_VERSION_1_0 : HTTP_VERSION_1_1;
    head->status_code = static_cast<int>(response.GetStatusCode());
    std::vector<utils::NameValue*> headers;
    response.GetHeader(headers);
    if (!GetHeaderValues(headers, *head) || !MakeArgumentList(headers, &head->additional_headers)) {
        FreeResponseHeader(head);
        return nullptr;
    }
    return head;
}

bool IsChunkedRequest(const ReqHeaderInfo* head) {
    return head->http_version == HTTP_VERSION_1_1 && IsChunked(head->transfer_encoding);
}

}  // namespace streaming
}  // namespace zel_upnp
