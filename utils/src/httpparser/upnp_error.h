// The UPnP error envelope: the SOAP fault body every SOAP-style error answer
// of the library carries (the dispatch core's fallback 400, the oversize
// request 400, the outgoing client's read-failure 500, description 401s,
// action faults). One builder, so the bytes cannot drift between senders.
#pragma once

#include <string>

namespace zel_upnp {
namespace utils {

// The envelope with the given errorCode and errorDescription, without any
// whitespace between tags. The description is inserted as given: callers
// pass fixed reason texts, never peer input.
std::string UPnPErrorEnvelope(int error_code, const std::string& error_description);

}  // namespace utils
}  // namespace zel_upnp
