#include "cd_control/src/subscribe_request.h"

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "network_layer/src/ipv6_address.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_control {

const char kWrongNt[] = "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kBadCallback[] = "HTTP/1.1 412 Precondition Failed\r\nCONTENT-LENGTH: 0 \r\n\r\n";
const char kUnsubscribeNoSid[] = "HTTP/1.1 412 Precondition Failed \r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kRenewalNoHost[] = "HTTP/1.1 412 Precondition Failed\r\n\r\n";
const char kUnknownSubscription[] = "HTTP/1.1 412 Precondition Failed\r\nConnection: Close\r\n\r\n";
const char kEmptyUri[] = "HTTP/1.1 400 Bad Request\r\nCONTENT-LENGTH: 0 \r\n\r\n";
const char kRenewalWithNtOrCallback[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
const char kIncompatibleHeaders[] =
    "HTTP/1.1 400 Incompatible header fields \r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kNotFound[] = "HTTP/1.1 404 Not Found\r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kServerError[] = "HTTP/1.1 500 Internal Server Error\r\nCONTENT-LENGTH: 0\r\n\r\n";
const char kUnsubscribed[] = "HTTP/1.1 200 OK \r\nCONTENT-LENGTH: 0\r\n\r\n";

namespace {

// Process-wide, outlives the handler: a choice of the application.
std::atomic<int> g_callback_policy(CALLBACK_SAME_SUBNET);

const char kSubscribeAccepted[] =
    "HTTP/1.1 200 OK\r\nCONNECTION: close\r\nSID: %s\r\nDATE: %s\r\n"
    "SERVER:UPnP/1.1 Varnesk Omnilume Server/1.0\r\nTIMEOUT: Second-%s\r\n"
    "CONTENT-LENGTH: 0\r\n\r\n";
const char kEventToAll[] =
    "NOTIFY %s HTTP/1.1\r\nSID: %s\r\nSEQ: %u\r\nDATE: %s\r\n"
    "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nCONNECTION: close\r\n"
    "CACHE-CONTROL: no-cache\r\nNTS: upnp:propchange\r\nNT: upnp:event\r\nHOST: %s:%d\r\n"
    "USER-AGENT: Varnesk Server UPnP/1.0\r\nCONTENT-LENGTH: %d\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
const char kEventToOne[] =
    "NOTIFY %s HTTP/1.1\r\nSID: %s\r\nSEQ: 0\r\nHOST: %s:%d\r\n"
    "CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nCONNECTION: close\r\n"
    "NTS: upnp:propchange\r\nNT: upnp:event\r\nCONTENT-LENGTH: %d\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
const char kWrongMethod[] =
    "HTTP/1.0 %d %s\r\nSERVER:UPnP/1.1 Varnesk Omnilume Server/1.0\r\nCONTENT-LENGTH: 0\r\n\r\n";
// The XML declaration and the CR LF in front of the body.
const int kXmlPrologLength = 40;

const int kDefaultTimeoutSeconds = 1800;
const char kInfiniteTimeout[] = "Second-infinite";
const char kCallbackScheme[] = "http://";
const size_t kMinCallbackLength = 7;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<size_t>(size) + 1);
        std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(size));
    }
    va_end(args);
    return text;
}

// text as an IPv4 address in host byte order; false for anything else,
// host names included.
bool ParseIpv4(const std::string& text, uint32_t& address) {
    in_addr parsed;
    // c_str() would end the text at an embedded NUL.
    if (HasControlCharacter(text) || inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

// The IPv6 form of the policy. host carries no zone (the URL gives none);
// a link-local callback is only taken from a SUBSCRIBE that came over
// link-local, and is then reached through the interface it came on.
const char* Ipv6CallbackHostRefusal(const std::string& host, const std::string& localAddress,
                                    const std::string& peerAddress) {
    if (HasControlCharacter(host) || !network_layer::IsIpv6Literal(host) ||
        host.find('%') != std::string::npos)
        return "not an address";
    if (!network_layer::IsIpv6Literal(localAddress))
        return "an IPv6 callback for a SUBSCRIBE that came over IPv4";
    const int scope = network_layer::Ipv6ScopeOf(host);
    if (scope == 0)
        return "an unspecified, loopback, multicast or v4-mapped address";
    if (network_layer::IsLocalMachine(host))
        return "the device itself";
    if (scope == network_layer::IPV6_SCOPE_LINK &&
        network_layer::Ipv6ScopeOf(peerAddress) != network_layer::IPV6_SCOPE_LINK)
        return "link-local, for a SUBSCRIBE that did not come over link-local";
    if (g_callback_policy.load() == CALLBACK_ANY_HOST)
        return nullptr;
    if (scope == network_layer::IPV6_SCOPE_LINK)
        return nullptr;
    network_layer::NetInfo info;
    if (network_layer::GetNetworkInterfaceByIP(localAddress, info) != 0)
        return "not reachable from a known interface";
    for (const network_layer::Ipv6Address& own : info.ipv6_addresses) {
        if (own.scope != network_layer::IPV6_SCOPE_LINK &&
            network_layer::SameIpv6Address(own.address, localAddress) &&
            network_layer::Ipv6SamePrefix(own.address, host, own.prefix_length))
            return nullptr;
    }
    return "outside the prefix the SUBSCRIBE came from";
}

// Why NOTIFYs may not go to host for a SUBSCRIBE that arrived on
// localAddress from peerAddress; null when they may. A peer that names a
// destination asks us to send there on its behalf: the device itself (its
// loopback or own addresses) only for a control point running on it, and
// under the default policy nothing beyond the peer's own LAN.
const char* CallbackHostRefusal(const std::string& host, const std::string& localAddress,
                                const std::string& peerAddress) {
    if (host.find(':') != std::string::npos)
        return Ipv6CallbackHostRefusal(host, localAddress, peerAddress);
    uint32_t address = 0;
    if (!ParseIpv4(host, address))
        return "not an IPv4 address";
    const uint32_t top = address >> 24;
    if (top == 0 || (address >> 29) == 7)
        return "a this-network or multicast address";
    if (top == 127 || network_layer::IsLocalMachine(host))
        return host == peerAddress ? nullptr
                                   : "the device itself, named by a peer that is not on it";
    if (g_callback_policy.load() == CALLBACK_ANY_HOST)
        return nullptr;
    network_layer::NetInfo info;
    uint32_t local = 0;
    uint32_t mask = 0;
    if (!ParseIpv4(localAddress, local) ||
        network_layer::GetNetworkInterfaceByIP(localAddress, info) != 0 ||
        !ParseIpv4(info.subnet_mask, mask))
        return "not reachable from a known interface";
    if ((address & mask) != (local & mask))
        return "outside the subnet the SUBSCRIBE came from";
    return nullptr;
}

std::string TimeoutText(int seconds) {
    return seconds == 0 ? std::string("infinite") : std::to_string(seconds);
}

}  // namespace

std::string WrongMethodAnswer() {
    return Format(kWrongMethod, 412, "Precondition Failed");
}

int SendText(const std::string& text, void* session) {
    std::string* copy = new (std::nothrow) std::string(text);
    if (copy == nullptr)
        return network_layer::SendSyncResponsePacket(text, static_cast<int>(text.size()), session);
    const int result =
        network_layer::SendResponsePacket(copy, static_cast<int>(copy->size()), session);
    if (result != 0)
        delete copy;
    return result;
}

bool HasHeader(const utils::HTTPInfo& request, const char* name) {
    std::string value;
    return request.GetHeaderValue(name, value) == 0;
}

std::string GenerateSID() {
    try {
        // A generator of its own for each SID, seeded from the system's
        // entropy source.
        boost::uuids::random_generator generator;
        return "uuid:" + boost::uuids::to_string(generator());
    } catch (const std::exception&) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Bad Cast Exception while converting UUID to string!");
    }
    return std::string();
}

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

bool IsPrintablePath(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return false;
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7F)
            return false;
    }
    return true;
}

bool ExtractSubscribeInfo(
    const utils::HTTPInfo& request, const std::string& localAddress, const std::string& peerAddress,
    std::list<boost::shared_ptr<SubscribeHandler::SubscriberCallbackInfo> >& callbacks) {
    std::string value;
    if (request.GetHeaderValue("CALLBACK", value) != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "CALLBACK header not found!");
        return false;
    }
    if (value.size() > kMaxCallbackHeaderLength) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "CALLBACK header of %zu bytes refused", value.size());
        return false;
    }
    std::vector<std::string> pieces;
    size_t pos = 0;
    while ((pos = value.find('<', pos)) != std::string::npos) {
        const size_t end = value.find('>', pos + 1);
        if (end == std::string::npos)
            break;
        if (end > pos + 1)
            pieces.push_back(value.substr(pos + 1, end - pos - 1));
        pos = end + 1;
    }
    for (const std::string& piece : pieces) {
        ZEL_LOGD(ZEL_CORE_CDCONTROL, "Call back is %s", piece.c_str());
        if (piece.size() < kMinCallbackLength || !boost::starts_with(piece, kCallbackScheme)) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, " Callback Error ");
            return false;
        }
        const std::string rest = piece.substr(std::strlen(kCallbackScheme));
        // An IPv6 host is bracketed; the port follows the closing bracket.
        const size_t close = rest[0] == '[' ? rest.find(']') : std::string::npos;
        if (rest[0] == '[' && close == std::string::npos) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, " Invalid URL.");
            continue;
        }
        const size_t colon = rest.find(':', close == std::string::npos ? 0 : close);
        const size_t slash = colon == std::string::npos ? std::string::npos : rest.find('/', colon);
        if (slash == std::string::npos) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, " Invalid URL.");
            continue;
        }
        const std::string host =
            close == std::string::npos ? rest.substr(0, colon) : rest.substr(1, close - 1);
        if (close != std::string::npos && colon != close + 1) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, " Invalid URL.");
            continue;
        }
        const std::string digits = rest.substr(colon + 1, slash - colon - 1);
        char* end = nullptr;
        errno = 0;
        const long port = std::strtol(digits.c_str(), &end, 10);
        const bool portOk =
            !digits.empty() && errno == 0 && *end == '\0' && port >= 1 && port <= 65535;
        const std::string path = rest.substr(slash);
        ZEL_LOGD(ZEL_CORE_CDCONTROL,
                 "Got Subscription request from ip_address [%s]:[%d] callback [%s]", host.c_str(),
                 portOk ? static_cast<int>(port) : 0, path.c_str());
        if (host.empty() || !portOk || path.empty()) {
            ZEL_LOGE(ZEL_CORE_CDCONTROL, " ip port or callback Error ");
            continue;
        }
        if (!IsPrintablePath(path)) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "callback path refused: not printable or not absolute");
            continue;
        }
        const char* refusal = CallbackHostRefusal(host, localAddress, peerAddress);
        if (refusal != nullptr) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "callback host [%s] refused: %s", host.c_str(), refusal);
            continue;
        }
        if (callbacks.size() == kMaxCallbacksPerSubscriber) {
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "callback [%s] beyond %zu ignored", piece.c_str(),
                     kMaxCallbacksPerSubscriber);
            continue;
        }
        boost::shared_ptr<SubscribeHandler::SubscriberCallbackInfo> callback(
            new SubscribeHandler::SubscriberCallbackInfo());
        // A link-local callback is reached through the interface the
        // SUBSCRIBE came on, whose name the peer's address carries.
        callback->host = network_layer::Ipv6ScopeOf(host) == network_layer::IPV6_SCOPE_LINK
                             ? host + "%" + network_layer::ZoneOf(peerAddress)
                             : host;
        callback->port = static_cast<int>(port);
        callback->path = path;
        callback->share = peerAddress;
        callbacks.push_back(callback);
    }
    if (callbacks.empty()) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "No valid callbacks or No callbacks");
        return false;
    }
    return true;
}

int ExtractTimeoutInfo(const utils::HTTPInfo& request) {
    std::string value;
    if (request.GetHeaderValue("TIMEOUT", value) != 0) {
        ZEL_LOGD(ZEL_CORE_CDCONTROL, " Timeout Error ");
        return kDefaultTimeoutSeconds;
    }
    if (value == kInfiniteTimeout)
        return 0;
    const size_t dash = value.find('-');
    const std::string digits = dash == std::string::npos ? std::string() : value.substr(dash + 1);
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(digits.c_str(), &end, 10);
    // An unreadable number, or one a timer cannot hold, is taken as infinite.
    if (digits.empty() || errno != 0 || *end != '\0' || seconds < 0 ||
        seconds > std::numeric_limits<int>::max() / 1000)
        return 0;
    return static_cast<int>(seconds);
}

// Nothing is sent without a date, but the session is still handed back (and
// its connection closed) so that it does not wait for its read deadline.
int DeliverResponse(const std::string& sid, int timeoutSeconds, void* session) {
    std::string date;
    if (utils::Generate_CurrentDate(date) != 0) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "Generate_CurrentDate failed!");
        network_layer::SendResponsePacket(nullptr, 0, session);
        return 1;
    }
    return SendText(
        Format(kSubscribeAccepted, sid.c_str(), date.c_str(), TimeoutText(timeoutSeconds).c_str()),
        session);
}

std::string SubscribeHandler::EventToOne(const std::string& path, const std::string& sid,
                                         const std::string& host, int port,
                                         const std::string& body) {
    return Format(kEventToOne, path.c_str(), sid.c_str(), network_layer::UrlHost(host).c_str(),
                  port, static_cast<int>(body.size()) + kXmlPrologLength) +
           body;
}

std::string SubscribeHandler::EventToAll(const std::string& path, const std::string& sid,
                                         uint32_t seq, const std::string& date,
                                         const std::string& host, int port,
                                         const std::string& body) {
    return Format(kEventToAll, path.c_str(), sid.c_str(), seq, date.c_str(),
                  network_layer::UrlHost(host).c_str(), port,
                  static_cast<int>(body.size()) + kXmlPrologLength) +
           body;
}

int SetCallbackPolicy(CallbackPolicy policy) {
    if (policy != CALLBACK_SAME_SUBNET && policy != CALLBACK_ANY_HOST) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "unknown callback policy %d", static_cast<int>(policy));
        return 3001;
    }
    if (policy == CALLBACK_ANY_HOST)
        ZEL_LOGW(ZEL_CORE_CDCONTROL, "callbacks to any host accepted from now on");
    g_callback_policy = policy;
    return 0;
}

}  // namespace cd_control
}  // namespace zel_upnp
