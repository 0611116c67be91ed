// Conversion between the public head structures and the wire on the client
// side.
#pragma once

#include <string>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace streaming {

// FormReqHeader's answer to an invalid request type or version, or to a head
// that fails HeadFieldsSafe or whose uri holds a space.
constexpr int kFormReqHeaderFailure = 1;

// The request head as text; 0, or kFormReqHeaderFailure.
int FormReqHeader(const ReqHeaderInfo* head, std::string& text);

// A new response head built from a parsed response (release with
// FreeResponseHeader), or null on allocation failure.
ResHeaderInfo* FormResponseHeaderInfo(const utils::HTTPInfo& response);

// True when a request with this head sends a chunked body.
bool IsChunkedRequest(const ReqHeaderInfo* head);

}  // namespace streaming
}  // namespace zel_upnp
