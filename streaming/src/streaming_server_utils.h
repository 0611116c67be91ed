// Conversion between the parsed request and the public head structures on
// the server side.
#pragma once

#include <initializer_list>
#include <string>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace streaming {

// The reason phrase of a status code, or null for a code without one.
const char* GetStatusString(int status_code);

// A new request head built from a parsed request (release with
// FreeRequestHeader), or null on allocation failure.
ReqHeaderInfo* FormRequestHeaderInfo(const utils::HTTPInfo& request);

// The response head as text; 0, or 1003 for a version other than 0 or 1, a
// status code without a reason phrase, or a text that fails
// HeadFieldsSafe.
int FormResHeader(const ResHeaderInfo* head, std::string& text);

// The application fills the head structures, often with a peer's text:
// every field value and extra header value must be free of CR and LF, and
// every extra header name a token, or the head is refused rather than sent
// with lines the text's author chose.
bool HeadFieldsSafe(std::initializer_list<const char*> values, const stArgument* extra);

}  // namespace streaming
}  // namespace zel_upnp
