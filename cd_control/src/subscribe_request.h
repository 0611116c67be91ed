// The text side of GENA eventing: the answers and NOTIFY templates, the
// parsing of SUBSCRIBE headers, and the policy deciding which callback
// hosts a SUBSCRIBE may name. Nothing here holds state beyond the policy.
#pragma once

#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

#include "cd_control/src/subscribe_handler.h"

namespace zel_upnp {
namespace cd_control {

// Answers, byte for byte (several differ only in spaces).
extern const char kWrongNt[];
extern const char kBadCallback[];
extern const char kUnsubscribeNoSid[];
extern const char kRenewalNoHost[];
extern const char kUnknownSubscription[];
extern const char kEmptyUri[];
extern const char kRenewalWithNtOrCallback[];
extern const char kIncompatibleHeaders[];
extern const char kNotFound[];
extern const char kServerError[];
extern const char kUnsubscribed[];
// The HTTP/1.0 answer to a method that is neither; filled with 412.
std::string WrongMethodAnswer();

// Hands text to the session as its answer; the network layer's result.
int SendText(const std::string& text, void* session);
bool HasHeader(const utils::HTTPInfo& request, const char* name);
// "uuid:" and a random version 4 UUID; empty when the text cannot be made.
std::string GenerateSID();
// True when text holds a byte that must never reach a request line or a
// header we write: any control character, CR, LF and NUL among them.
bool HasControlCharacter(const std::string& text);
// An absolute path of printable characters without spaces: what may follow
// "NOTIFY " in our request line.
bool IsPrintablePath(const std::string& path);

// The callbacks of a CALLBACK header of a SUBSCRIBE that arrived on
// localAddress from peerAddress; false when the header is missing, holds a
// piece that is not an http URL, or gives no usable URL. A URL whose host or
// path the policy refuses is skipped like a malformed one.
bool ExtractSubscribeInfo(
    const utils::HTTPInfo& request, const std::string& localAddress, const std::string& peerAddress,
    std::list<boost::shared_ptr<SubscribeHandler::SubscriberCallbackInfo> >& callbacks);
// Seconds of the TIMEOUT header; 0 means infinite.
int ExtractTimeoutInfo(const utils::HTTPInfo& request);
// The 200 answer to a SUBSCRIBE.
int DeliverResponse(const std::string& sid, int timeoutSeconds, void* session);

}  // namespace cd_control
}  // namespace zel_upnp
