// The part of the UDP and multicast servers' receive path that does not
// depend on the server kind: classifying a receive completion, feeding the
// datagram to the HTTP parser, deciding whether the request is complete and
// handing it to the dispatch core. Both servers call these from their single
// io thread with their server lock held (except DispatchDatagramRequest),
// and do their own logging so that each message names its own server.
#pragma once

#include <cstddef>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include <zel_upnp/utils.h>
#include "network_layer/src/callbackhandler.h"
#include "utils/src/httpparser/httpparser.h"

namespace zel_upnp {
namespace network_layer {

// Receive buffer of both server kinds. A datagram is read into at most one
// byte less than the buffer, so the buffer (zeroed before every receive)
// always ends in a NUL and can be logged as text; longer datagrams are
// truncated by the kernel.
constexpr std::size_t kDatagramBufferSize = 8192;
constexpr std::size_t kMaxDatagramSize = kDatagramBufferSize - 1;

enum class DatagramResult {
    kCanceled,      // the receive was cancelled or the socket closed: stop receiving
    kReceiveError,  // any other receive error, or an empty datagram: receive again
    kParseFailure,  // the parser refused the datagram; the request was cleared
    kIncomplete,    // the request needs more datagrams; they go into the same HTTPInfo
    kComplete       // the request is complete and carries both addresses and the port
};

struct DatagramOutcome {
    DatagramResult result;
    int parse_status;  // the HTTPInfo stage before it was cleared, for kParseFailure
};

// True for the errors with which a pending receive ends when its socket is
// cancelled or closed under it.
inline bool IsReceiveCancellation(const boost::system::error_code& ec) {
    return ec == boost::asio::error::operation_aborted || ec == boost::asio::error::bad_descriptor;
}

// Feeds one receive completion into request. data holds length bytes (at
// most kMaxDatagramSize). A complete request is stamped with own_address as
// its own IP address and with the sender's address and port; its parsing
// status is reset so that it may be read by the upper layers as received.
inline DatagramOutcome AssembleDatagram(const boost::system::error_code& ec, const char* data,
                                        std::size_t length, const std::string& own_address,
                                        const boost::asio::ip::udp::endpoint& sender,
                                        boost::shared_ptr<utils::HTTPInfo>& request) {
    if (ec || length == 0)
        return {
            IsReceiveCancellation(ec) ? DatagramResult::kCanceled : DatagramResult::kReceiveError,
            0};
    if (utils::Parse(data, static_cast<unsigned>(length), request) != 0) {
        const int status = request->GetStatus();
        request->CleanInfo();
        return {DatagramResult::kParseFailure, status};
    }
    request->SetParsingStatus(utils::PARSING_CONTINUE);
    // A datagram never carries a body the servers wait for: a finished head
    // is enough, whatever the parser thinks of the body.
    if (request->GetState() != utils::MESSAGE_COMPLETE &&
        request->GetStatus() < utils::STAGE_HEADERS_DONE)
        return {DatagramResult::kIncomplete, 0};
    request->SetMyIpAddress(own_address);
    request->SetClientIpAddress(sender.address().to_string());
    request->SetClientPort(sender.port());
    return {DatagramResult::kComplete, 0};
}

// Takes the completed request out of slot and leaves a fresh one for the
// next datagram. May throw std::bad_alloc; slot is unchanged then.
inline boost::shared_ptr<utils::HTTPInfo> TakeCompletedRequest(
    boost::shared_ptr<utils::HTTPInfo>& slot) {
    boost::shared_ptr<utils::HTTPInfo> fresh = boost::make_shared<utils::HTTPInfo>();
    slot.swap(fresh);
    return fresh;
}

// Hands a complete request to the dispatch core's UDP queue; 0 when it was
// queued. The caller must not touch the request afterwards.
inline int DispatchDatagramRequest(const boost::shared_ptr<utils::HTTPInfo>& request) {
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    if (dispatch == nullptr)
        return NL_FAILURE;
    return dispatch->InvokeUDPRequestHandler(request);
}

}  // namespace network_layer
}  // namespace zel_upnp
