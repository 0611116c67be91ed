// The exported functions of the network layer.
#include <zel_upnp/network_layer.h>

#include <exception>

#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/clientmanager.h"
#include "network_layer/src/facade_internal.h"
#include "network_layer/src/incoming_tcp_session.h"
#include "network_layer/src/ipv6_address.h"
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/servermanager.h"
#include "utils/src/common/guard.h"
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

// ---------------------------------------------------------------------------
// Layer lifecycle. The four singletons are created and started in dependency
// order and torn down in the reverse: nothing that can still raise an event
// or hand over a request outlives what it hands it to.
// ---------------------------------------------------------------------------

namespace {

ServerManager* ServerManagerOrLog() {
    ServerManager* manager = ServerManager::GetInstance();
    if (manager == nullptr)
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ServerManager is NULL!");
    return manager;
}

}  // namespace

int InitializeNetworkLayer() try {
    ZEL_LOGD(ZEL_CORE_NETWORK, "Enter");
    if (CallBackHandler::CreateInstance() == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: CallBackHandler is NULL!");
        return static_cast<int>(NL_FAILURE);
    }
    if (ServerManager::CreateInstance() == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ServerManager is NULL!");
        return static_cast<int>(NL_FAILURE);
    }
    if (ClientManager::CreateInstance() == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ClientManager is NULL!");
        return static_cast<int>(NL_FAILURE);
    }
    if (NetworkInterface::CreateInstance() == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: NetworkInterface is NULL!");
        return static_cast<int>(NL_FAILURE);
    }
    ZEL_LOGD(ZEL_CORE_NETWORK, "Exit");
    return static_cast<int>(NL_SUCCESS);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

int StartNetworkLayer() try {
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    if (dispatch == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: CallBackHandler is NULL!");
        return static_cast<int>(NL_FAILURE);
    }
    dispatch->StartCallbackThreads();
    ServerManager* servers = ServerManagerOrLog();
    if (servers == nullptr)
        return static_cast<int>(NL_FAILURE);
    servers->StartServerThreads(ServerManager::kTcpIoThreads, ServerManager::kUdpIoThreads,
                                ServerManager::kMulticastIoThreads);
    ClientManager* clients = ClientManager::GetInstance();
    if (clients == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Error: ClientManager is NULL!");
        return static_cast<int>(NL_FAILURE);
    }
    clients->StartClientThreads(ClientManager::kClientThreads);
    return static_cast<int>(NL_SUCCESS);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

// Both always report success: a failure on the way down is logged and the
// rest of the way is still taken by the next call.
int StopNetworkLayer() try {
    ZEL_LOGD(ZEL_CORE_NETWORK, "1: Calling StopClientThreads");
    ClientManager* clients = ClientManager::GetInstance();
    if (clients != nullptr)
        clients->StopClientThreads();
    ZEL_LOGD(ZEL_CORE_NETWORK, "3: Calling StopServerThreads");
    ServerManager* servers = ServerManager::GetInstance();
    if (servers != nullptr)
        servers->StopServerThreads();
    ZEL_LOGD(ZEL_CORE_NETWORK, "4: Calling Stopcallback handler threads");
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    if (dispatch != nullptr)
        dispatch->StopCallbackThreads();
    return NL_SUCCESS;
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_SUCCESS);
}

int TerminateNetworkLayer() try {
    NetworkInterface::DestroyInstance();
    ClientManager::DestroyInstance();
    ServerManager::DestroyInstance();
    CallBackHandler::DestroyInstance();
    ZEL_LOGD(ZEL_CORE_NETWORK, "network layer destroyed");
    return NL_SUCCESS;
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_SUCCESS);
}

// ---------------------------------------------------------------------------
// Server configuration, forwarded to the server manager.
// ---------------------------------------------------------------------------

int ConfigureTCPServer(const int& port, const bool& enable) try {
    ServerManager* manager = ServerManagerOrLog();
    return manager != nullptr ? manager->ConfigureTcpServer(port, enable)
                              : static_cast<int>(NL_FAILURE);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

int ConfigureUDPServer(const int& port, const bool& enable) try {
    ServerManager* manager = ServerManagerOrLog();
    return manager != nullptr ? manager->ConfigureUdpServer(port, enable)
                              : static_cast<int>(NL_FAILURE);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

int ConfigureUPnPMulticastServer(const int& port, const bool& enable) try {
    ServerManager* manager = ServerManagerOrLog();
    return manager != nullptr ? manager->ConfigureUPnPMulticastServer(port, enable)
                              : static_cast<int>(NL_FAILURE);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

int ConfigureMulticastServer(const std::string& group, const int& port, const bool& enable) try {
    ServerManager* manager = ServerManagerOrLog();
    return manager != nullptr ? manager->ConfigureMulticastServer(group, port, enable)
                              : static_cast<int>(NL_FAILURE);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

int ConfigureMulticastSupport(bool enable) try {
    ServerManager* servers = ServerManagerOrLog();
    ClientManager* clients = ClientManager::GetInstance();
    if (servers == nullptr || clients == nullptr)
        return static_cast<int>(NL_FAILURE);
    const int result = servers->ConfigureMulticastSupport(enable);
    clients->SetMulticastEnabled(enable);
    return result;
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

int GetConfiguredTcpPorts(std::list<boost::shared_ptr<IpInfo> >& ports) try {
    ServerManager* manager = ServerManagerOrLog();
    return manager != nullptr ? manager->GetConfiguredTcpPorts(ports)
                              : static_cast<int>(NL_FAILURE);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

int GetConfiguredIPv6TcpPorts(std::list<boost::shared_ptr<IpInfo> >& ports) try {
    ServerManager* manager = ServerManager::GetInstance();
    return manager != nullptr ? manager->GetConfiguredIpv6TcpPorts(ports)
                              : static_cast<int>(NL_FAILURE);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

int SetIPv6Enabled(bool enable) try {
    ServerManager* manager = ServerManager::GetInstance();
    if (manager == nullptr) {
        StoreIpv6Enabled(enable);
        return static_cast<int>(NL_SUCCESS);
    }
    return manager->SetIpv6Enabled(enable);
} catch (...) {
    return utils::ResultOfEscapedException(ZEL_CORE_NETWORK, __func__, NL_FAILURE);
}

bool IsIPv6Enabled() {
    return Ipv6Enabled();
}

}  // namespace network_layer
}  // namespace zel_upnp
