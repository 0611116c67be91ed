// The exported streaming functions: argument checks first, then the manager.
#include <zel_upnp/streaming.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "streaming/src/streaming_manager.h"
#include "streaming/src/streaming_outgoing_sync_session.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace streaming {

namespace {

bool ValidateServerCallbacks(const ServerAppCallbacks* callbacks) {
    return callbacks != nullptr && callbacks->on_connect != nullptr &&
           callbacks->on_status != nullptr && callbacks->on_request != nullptr &&
           callbacks->on_request_data != nullptr && callbacks->on_write_done != nullptr;
}

bool ValidateClientCallbacks(const ClientAppCallbacks* callbacks) {
    return callbacks != nullptr && callbacks->on_status != nullptr &&
           callbacks->on_response != nullptr && callbacks->on_response_data != nullptr &&
           callbacks->on_write_done != nullptr;
}

// The checks every entry point begins with: the arguments, then the manager.
// Logged unless quiet.
#define ZEL_STREAMING_CHECK(valid, quiet)                                           \
    if (!(valid)) {                                                                 \
        if (!(quiet))                                                               \
            ZEL_LOGW(ZEL_CORE_STREAMING, "Invalid params.");                        \
        return STREAMING_INVALID_PARAMS;                                            \
    }                                                                               \
    const std::shared_ptr<StreamingManager> manager = StreamingManager::Instance(); \
    if (manager == nullptr) {                                                       \
        if (!(quiet))                                                               \
            ZEL_LOGW(ZEL_CORE_STREAMING, "Streaming manager not initialized.");     \
        return STREAMING_NOT_INITIALIZED;                                           \
    }

// Runs a manager call, keeping every exception inside the library.
template <typename Call>
int Guarded(Call call) {
    try {
        return call();
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Unknown exception");
    }
    return STREAMING_NO_MEMORY;
}

// The synchronous client with that id, or 1011 from the caller.
#define ZEL_SYNC_CLIENT(client_id)                                                      \
    boost::shared_ptr<OutgoingSyncSession> client = manager->FindSyncClient(client_id); \
    if (!client)                                                                        \
        return STREAMING_NO_SESSION;

}  // namespace

stServer::stServer()
    : server_id(0), ip_address(nullptr), interface_name(nullptr), port(0), next(nullptr) {}

stServer::~stServer() {
    std::free(ip_address);
    std::free(interface_name);
}

int InitializeStreamingManager() {
    return Guarded([] { return StreamingManager::AddReference(); });
}

int TerminateStreamingManager() {
    return Guarded([] { return StreamingManager::DeleteReference(); });
}

int StartServers(const ServerAppCallbacks* callbacks, const char* ip_address, int port,
                 stServer** servers, int* profile_id) {
    ZEL_STREAMING_CHECK(ValidateServerCallbacks(callbacks) && servers != nullptr &&
                            profile_id != nullptr && port >= 0,
                        false);
    return Guarded(
        [&] { return manager->StartServers(*callbacks, ip_address, port, servers, profile_id); });
}

stServer* GetConfiguredServers(int server_id) {
    if (server_id < 0)
        return nullptr;
    const std::shared_ptr<StreamingManager> manager = StreamingManager::Instance();
    if (manager == nullptr)
        return nullptr;
    try {
        return manager->GetConfiguredServers(server_id);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", e.what());
        return nullptr;
    }
}

int GetStreamingServerPort(int profile_id, const char* ip_address, int* port) {
    ZEL_STREAMING_CHECK(profile_id >= 1 && ip_address != nullptr && port != nullptr, false);
    return Guarded([&] { return manager->GetStreamingServerPort(profile_id, ip_address, port); });
}

int StopServers(int profile_id) {
    ZEL_STREAMING_CHECK(profile_id >= 1, false);
    return Guarded([&] { return manager->StopServers(profile_id); });
}

int StopServerTransfer(int server_id, int session_id) {
    ZEL_STREAMING_CHECK(server_id >= 0 && session_id >= 0, false);
    return Guarded([&] { return manager->StopServerTransfer(server_id, session_id); });
}

int SendHTTPResponse(int server_id, int session_id, const ResHeaderInfo* head, bool last) {
    ZEL_STREAMING_CHECK(head != nullptr && server_id >= 0 && session_id >= 0, false);
    return Guarded([&] { return manager->SendHTTPResponse(server_id, session_id, head, last); });
}

int SendHTTPPayload(int server_id, int session_id, void* data, unsigned int length, bool last) {
    ZEL_STREAMING_CHECK(server_id >= 0 && session_id >= 0 && (data != nullptr || length == 0),
                        false);
    return Guarded(
        [&] { return manager->SendHTTPPayload(server_id, session_id, data, length, last); });
}

int SendHTTPFilePayload(int server_id, int session_id, int fd, int64_t offset, unsigned int length,
                        bool last) {
    ZEL_STREAMING_CHECK(server_id >= 0 && server_id != CLIENT_HANDLER_ID && session_id >= 0 &&
                            fd >= 0 && offset >= 0,
                        false);
    return Guarded([&] {
        return manager->SendHTTPFilePayload(server_id, session_id, fd, offset, length, last);
    });
}

int StartClient(const ClientAppCallbacks* callbacks, const char* server_address, int port,
                int* client_id) {
    ZEL_STREAMING_CHECK(server_address != nullptr && client_id != nullptr && port >= 0 &&
                            ValidateClientCallbacks(callbacks),
                        false);
    return Guarded(
        [&] { return manager->StartClient(*callbacks, server_address, port, client_id); });
}

int SendHTTPRequest(int client_id, const ReqHeaderInfo* head) {
    ZEL_STREAMING_CHECK(head != nullptr && client_id >= 0, false);
    return Guarded([&] { return manager->SendHTTPRequest(client_id, head); });
}

int StopClientTransfer(int client_id) {
    ZEL_STREAMING_CHECK(client_id >= 0, false);
    return Guarded([&] { return manager->ClientSessionCompleted(client_id); });
}

int StartSyncClient(int* client_id) {
    ZEL_STREAMING_CHECK(client_id != nullptr, true);
    return Guarded([&] { return manager->StartSyncClient(client_id); });
}

int ConnectSyncClient(int client_id, const char* server_address, int port) {
    ZEL_STREAMING_CHECK(server_address != nullptr && client_id >= 0 && port >= 0, true);
    return Guarded([&] {
        boost::shared_ptr<OutgoingSyncSession> client = manager->FindSyncClient(client_id);
        if (!client) {
            ZEL_LOGD(ZEL_CORE_STREAMING, "Client Session not found in the sync client list.");
            return static_cast<int>(STREAMING_NO_SESSION);
        }
        return client->Connect(server_address, port);
    });
}

int SendSyncHTTPRequest(int client_id, const ReqHeaderInfo* head) {
    ZEL_STREAMING_CHECK(head != nullptr && client_id >= 0, true);
    ZEL_SYNC_CLIENT(client_id);
    return Guarded([&] { return client->WriteHead(head); });
}

int SendSyncHTTPPayload(int client_id, void* data, unsigned int length, bool last) {
    ZEL_STREAMING_CHECK(client_id >= 0 && (data != nullptr || length == 0), true);
    ZEL_SYNC_CLIENT(client_id);
    return Guarded([&] { return client->WritePayload(data, length, last); });
}

int ReadHTTPHeader(int client_id, ResHeaderInfo** head, void** body, unsigned int& body_length,
                   bool& complete) {
    ZEL_STREAMING_CHECK(client_id >= 0 && head != nullptr && body != nullptr, true);
    ZEL_SYNC_CLIENT(client_id);
    return Guarded([&] { return client->ReadHeader(head, body, body_length, complete); });
}

int ReadHTTPData(int client_id, void** data, unsigned int& length, bool& complete) {
    ZEL_STREAMING_CHECK(client_id >= 0 && data != nullptr, true);
    ZEL_SYNC_CLIENT(client_id);
    return Guarded([&] { return client->ReadData(data, length, complete); });
}

int ReadHTTPDataInto(int client_id, void* buffer, unsigned int capacity, unsigned int& length,
                     bool& complete) {
    ZEL_STREAMING_CHECK(client_id >= 0 && buffer != nullptr && capacity > 0, true);
    ZEL_SYNC_CLIENT(client_id);
    return Guarded([&] { return client->ReadDataInto(buffer, capacity, length, complete); });
}

void Free(void* data) {
    if (data != nullptr)
        std::free(data);
}

void FreeServerInfoList(stServer* servers) {
    while (servers != nullptr) {
        stServer* next = servers->next;
        delete servers;
        servers = next;
    }
}

void FreeAdditionalHeaders(stArgument* headers) {
    while (headers != nullptr) {
        stArgument* next = headers->next;
        std::free(headers->name);
        std::free(headers->value);
        std::free(headers);
        headers = next;
    }
}

void FreeRequestHeader(ReqHeaderInfo* head) {
    if (head == nullptr)
        return;
    char* fields[] = {head->uri,           head->accept,
                      head->connection,    head->content_type,
                      head->date,          head->expect,
                      head->from,          head->host,
                      head->last_modified, head->transfer_encoding,
                      head->user_agent};
    for (char* field : fields)
        std::free(field);
    FreeAdditionalHeaders(head->additional_headers);
    std::free(head);
}

void FreeResponseHeader(ResHeaderInfo* head) {
    if (head == nullptr)
        return;
    char* fields[] = {head->accept_ranges,     head->connection, head->content_language,
                      head->content_type,      head->date,       head->last_modified,
                      head->transfer_encoding, head->server};
    for (char* field : fields)
        std::free(field);
    FreeAdditionalHeaders(head->additional_headers);
    std::free(head);
}

}  // namespace streaming
}  // namespace zel_upnp
