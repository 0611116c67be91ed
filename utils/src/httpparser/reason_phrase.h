// Reason phrases of the status codes the library writes in its own response
// heads (action responses, streaming responses). One table, so that two
// senders never disagree on a phrase.
#pragma once

namespace zel_upnp {
namespace utils {

// The phrase of a code in the table, or nullptr for any other code.
const char* StandardReasonPhrase(int status_code);

}  // namespace utils
}  // namespace zel_upnp
