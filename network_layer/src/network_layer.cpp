// The exported functions of the network layer.
#include <zel_upnp/network_layer.h>

#include <exception>

#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/incoming_tcp_session.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

// ---------------------------------------------------------------------------
// Answering a request. Each function consumes the session context: the block
// and its reference to the session are released once the session has the
// response (or has refused it).
// ---------------------------------------------------------------------------

namespace {

template <class Send>
int SendThroughContext(void* session_context, Send send) {
    if (session_context == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "session_context is NULL");
        return NL_FAILURE;
    }
    SessionContext* context = static_cast<SessionContext*>(session_context);
    int result = NL_FAILURE;
    try {
        if (context->session)
            result = send(*context->session);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Sending the response failed: %s", e.what());
        result = NL_FAILURE;
    }
    if (result != NL_SUCCESS && context->session) {
        // The connection can carry no other answer.
        context->session->Abandon();
    }
    delete context;
    return result;
}

}  // namespace

int SendResponsePacket(std::string* response, const int& length, void* sessionContext) {
    return SendThroughContext(sessionContext, [response, &length](IncomingTCPSession& session) {
        if (response == nullptr)
            return static_cast<int>(NL_FAILURE);
        return session.RegisterWrite(response, length);
    });
}

int SendSyncResponsePacket(const std::string& response, const int& length, void* sessionContext) {
    return SendThroughContext(sessionContext, [&response, &length](IncomingTCPSession& session) {
        return session.Write(response, length);
    });
}

int SendBinaryResponsePacket(char* data, const int& length, void* sessionContext) {
    return SendThroughContext(sessionContext, [data, &length](IncomingTCPSession& session) {
        if (data == nullptr)
            return static_cast<int>(NL_FAILURE);
        return session.RegisterWrite(data, length);
    });
}

// ---------------------------------------------------------------------------
// Listener registration.
// ---------------------------------------------------------------------------

int RegisterTCPRequestListener(std::vector<std::string> patterns,
                               boost::shared_ptr<TCPRequestListener> listener, int& id) {
    id = -1;
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    const int result = dispatch != nullptr ? dispatch->RegisterTCPPattern(patterns, listener, id)
                                           : static_cast<int>(NL_FAILURE);
    if (result != NL_SUCCESS)
        ZEL_LOGE(ZEL_CORE_NETWORK, "CallBackHandler:RegisterTCPPattern failed");
    return result;
}

int RegisterUDPRequestListener(std::vector<std::string> patterns,
                               boost::shared_ptr<UDPRequestListener> listener, int& id) {
    id = -1;
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    const int result = dispatch != nullptr ? dispatch->RegisterUDPPattern(patterns, listener, id)
                                           : static_cast<int>(NL_FAILURE);
    if (result != NL_SUCCESS)
        ZEL_LOGE(ZEL_CORE_NETWORK, "CallBackHandler:RegisterUDPPattern failed");
    return result;
}

int UnRegisterRequestListener(const int& id) {
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    const int result =
        dispatch != nullptr ? dispatch->UnRegisterPattern(id) : static_cast<int>(NL_FAILURE);
    if (result != NL_SUCCESS)
        ZEL_LOGE(ZEL_CORE_NETWORK, "CallBackHandler:UnRegisterPattern failed");
    return result;
}

}  // namespace network_layer
}  // namespace zel_upnp
