// Conversion between the parsed request and the public head structures on
// the server side.
#pragma once

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

// The response head as text; 0, or 1003 for a version other than 0 or 1 or
// a status code without a reason phrase.
int FormResHeader(const ResHeaderInfo* head, std::string& text);

}  // namespace streaming
}  // namespace zel_upnp
