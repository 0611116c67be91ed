// The streaming heads a peer controls: a request reaching a streaming server
// and a response reaching a streaming client are parsed, turned into the
// application's head structures (FormRequestHeaderInfo,
// FormResponseHeaderInfo), and written back out with the builders an
// application uses to answer or forward them (FormResHeader, FormReqHeader),
// the way a proxying application would echo a peer's fields.
//
// Traps when a rebuilt head is accepted by its builder yet carries a bare CR,
// a bare LF or a NUL.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/make_shared.hpp>

#include "streaming/src/streaming_client_utils.h"
#include "streaming/src/streaming_server_utils.h"
#include "utils/src/httpparser/httpparser.h"
#include "utils/src/string/header_text.h"

namespace {

using namespace zel_upnp;

// The rebuilt head is parsed again for the sanitizers' sake only: it may
// fail, since a head structure keeps the last of repeated fields while the
// parser acted on the first (two Transfer-Encoding headers, say).
void CheckBuilt(const std::string& head) {
    if (!utils::IsHeadSafe(head.data(), head.size()))
        __builtin_trap();
    boost::shared_ptr<utils::HTTPInfo> again = boost::make_shared<utils::HTTPInfo>();
    utils::Parse(head.data(), static_cast<unsigned>(head.size()), again);
}

void FromRequest(const utils::HTTPInfo& request) {
    streaming::ReqHeaderInfo* head = streaming::FormRequestHeaderInfo(request);
    if (head == nullptr)
        return;
    std::string text;
    if (streaming::FormReqHeader(head, text) == streaming::STREAMING_SUCCESS)
        CheckBuilt(text);
    // An answer that echoes the request's fields.
    streaming::ResHeaderInfo answer = {};
    answer.http_version = head->http_version;
    answer.status_code = 200;
    answer.connection = head->connection;
    answer.content_type = head->content_type;
    answer.date = head->date;
    answer.server = head->user_agent;
    answer.additional_headers = head->additional_headers;
    if (streaming::FormResHeader(&answer, text) == streaming::STREAMING_SUCCESS)
        CheckBuilt(text);
    streaming::FreeRequestHeader(head);
}

void FromResponse(const utils::HTTPInfo& response) {
    streaming::ResHeaderInfo* head = streaming::FormResponseHeaderInfo(response);
    if (head == nullptr)
        return;
    std::string text;
    if (streaming::FormResHeader(head, text) == streaming::STREAMING_SUCCESS)
        CheckBuilt(text);
    streaming::FreeResponseHeader(head);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    boost::shared_ptr<utils::HTTPInfo> message = boost::make_shared<utils::HTTPInfo>();
    if (utils::Parse(reinterpret_cast<const char*>(data), static_cast<unsigned>(size), message) !=
            0 ||
        message->GetStatus() < utils::STAGE_HEADERS_DONE)
        return 0;
    if (message->IsRequest())
        FromRequest(*message);
    else
        FromResponse(*message);
    return 0;
}
