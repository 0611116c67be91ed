/// @file
/// zel_upnp::streaming: HTTP streaming servers on interface addresses and
/// HTTP clients (asynchronous on the library's threads, synchronous on the
/// caller's), driven through C structures and C callback tables.
///
/// Ownership: every text field is a NUL-terminated malloc'ed string (null when
/// absent). Structures and blocks the library hands out belong to the
/// application and are released with the functions at the end of this header;
/// the library never keeps a pointer into a structure the application passes
/// in, except the data of a payload (see SendHTTPPayload).
///
/// Threads: callbacks run on the library's 20 "ZelStrmIo" threads, several at
/// once for different sessions; they must be thread-safe and return quickly.
/// Every function may be called from any thread, also from inside a callback.
#ifndef ZEL_UPNP_STREAMING_H
#define ZEL_UPNP_STREAMING_H

#include <cstdint>

#pragma GCC visibility push(default)

namespace zel_upnp {
/// HTTP streaming servers and clients driven through C structures and callbacks.
namespace streaming {

// ---------------------------------------------------------------------------
// Result codes (0 is success).
// ---------------------------------------------------------------------------
/// Result codes of the streaming family (0 is success).
enum StreamingResult {
    STREAMING_SUCCESS = 0,
    STREAMING_THREADS_FAILED = 1,        ///< the I/O threads could not be started
    STREAMING_NOT_INITIALIZED = 1000,    ///< the streaming manager is not initialised
    STREAMING_INIT_FAILED = 1001,        ///< initialisation failed
    STREAMING_TERMINATE_FAILED = 1002,   ///< termination failed (no manager)
    STREAMING_INVALID_PARAMS = 1003,     ///< invalid parameters
    STREAMING_INVALID_CALLBACKS = 1004,  ///< a server's callback table is invalid
    STREAMING_NO_INTERFACE = 1005,       ///< no network interface has the given address
    STREAMING_CONNECT_FAILED = 1006,     ///< connecting failed
    STREAMING_NO_PORT = 1007,            ///< no port could be bound (after 100 attempts)
    STREAMING_INVALID_PORT = 1009,       ///< the port could not be used
    STREAMING_NO_SERVER = 1010,          ///< no such profile or server
    STREAMING_NO_SESSION = 1011,         ///< no such server session or client
    STREAMING_NO_MEMORY = 1012,          ///< memory allocation failed
    STREAMING_SOCKET_FAILURE = 2004,     ///< a synchronous client's read or write failed
    STREAMING_PARSE_FAILURE = 2009       ///< a synchronous client could not parse the response
};

/// Codes passed to on_status.
enum StreamingStatus {
    STATUS_SERVER_STOPPED = 0,     ///< server stopped: its interface went away (session id 0)
    STATUS_CONNECTION_CLOSED = 4,  ///< the connection failed or was closed; the session is gone
    STATUS_PARSE_FAILURE = 6,      ///< the response could not be parsed; the session is gone
    STATUS_ALLOC_FAILURE = 8,      ///< no response head could be allocated; the session is gone
    STATUS_SERVER_STARTED = 9  ///< a server started for an all-interfaces profile (session id 0)
};

/// First argument of every client callback once the session sent a request,
/// and the first argument of SendHTTPPayload that addresses a client.
const int CLIENT_HANDLER_ID = 100;

/// request_type values.
const int REQUEST_GET = 0;
/// request_type of a HEAD request.
const int REQUEST_HEAD = 1;
/// request_type of a POST request.
const int REQUEST_POST = 2;
/// http_version values.
const int HTTP_VERSION_1_0 = 0;
/// http_version of HTTP/1.1.
const int HTTP_VERSION_1_1 = 1;

// ---------------------------------------------------------------------------
// Structures.
// ---------------------------------------------------------------------------
/// One extra header; a singly linked list of malloc'ed nodes.
struct stArgument {
    /// Header name (malloc'ed).
    char* name;
    /// Header value (malloc'ed).
    char* value;
    /// Next header, or null.
    stArgument* next;
};

/// An HTTP request head.
struct ReqHeaderInfo {
    int request_type;  ///< REQUEST_GET, REQUEST_HEAD, REQUEST_POST; others invalid
    char* uri;         ///< the request target
    int http_version;  ///< HTTP_VERSION_1_0 or HTTP_VERSION_1_1; others invalid
    /// Accept header, or null.
    char* accept;
    /// Connection header, or null.
    char* connection;
    /// Content-Length; 0 when absent (and when sending: no Content-Length header).
    int64_t content_length;
    /// Content-Type header, or null.
    char* content_type;
    /// Date header, or null.
    char* date;
    /// Expect header, or null ("100-continue": the body is read after a 100).
    char* expect;
    /// From header, or null.
    char* from;
    /// Host header, or null.
    char* host;
    /// Last-Modified header, or null.
    char* last_modified;
    /// Transfer-Encoding header, or null ("chunked" frames the body).
    char* transfer_encoding;
    /// User-Agent header, or null.
    char* user_agent;
    stArgument* additional_headers;  ///< every other header, in message order
};

/// An HTTP response head.
struct ResHeaderInfo {
    int http_version;  ///< HTTP_VERSION_1_0 or HTTP_VERSION_1_1
    /// Status code; sent with the library's reason phrase for it.
    int status_code;
    /// Accept-Ranges header, or null.
    char* accept_ranges;
    /// Connection header, or null.
    char* connection;
    /// Content-Language header, or null.
    char* content_language;
    /// Content-Length; 0 when absent (and when sending: no Content-Length header).
    int64_t content_length;
    /// Content-Type header, or null.
    char* content_type;
    /// Date header, or null.
    char* date;
    /// Last-Modified header, or null.
    char* last_modified;
    /// Transfer-Encoding header, or null ("chunked" on HTTP/1.1 frames the payloads).
    char* transfer_encoding;
    /// Server header, or null.
    char* server;
    /// Every other header, in message order, or null.
    stArgument* additional_headers;
};

/// One running server; a singly linked list. Deleting a node frees its two
/// strings (not the rest of the list: use FreeServerInfoList).
struct stServer {
    stServer();
    virtual ~stServer();
    stServer(const stServer&) = delete;
    stServer& operator=(const stServer&) = delete;

    /// Id of the server (from 1000 up).
    int server_id;
    char* ip_address;      ///< the address the server listens on
    char* interface_name;  ///< the interface that has that address
    int port;              ///< the port the server listens on
    /// Next server, or null.
    stServer* next;
};

/// Server callbacks; all five are required. For one session they come in this
/// order: on_connect, on_request, on_request_data (zero or more, for a body
/// that did not come with the head), on_write_done after each write the
/// application asked for, and on_status when the connection failed.
struct ServerAppCallbacks {
    /// A connection was accepted; code is 0.
    void (*on_connect)(int server_id, int session_id, int code);
    /// A session or server event (StreamingStatus).
    void (*on_status)(int server_id, int session_id, int code);
    /// A request head, with the body bytes that came with it. head (release
    /// with FreeRequestHeader) and body (release with Free) belong to the
    /// application. SendHTTPResponse is called from inside this callback or
    /// on_request_data; the head is written when the callback returns.
    void (*on_request)(int server_id, int session_id, ReqHeaderInfo* head, void* body,
                       unsigned int body_length, bool complete);
    /// More request body; data belongs to the application (Free).
    void (*on_request_data)(int server_id, int session_id, void* data, unsigned int length,
                            bool complete);
    /// A response head (length 0) or a payload of length bytes was written.
    void (*on_write_done)(int server_id, int session_id, unsigned int length);
};

/// Client callbacks; all four are required. handler_id is 0 until the first
/// SendHTTPRequest of the session, then CLIENT_HANDLER_ID.
struct ClientAppCallbacks {
    /// STATUS_CONNECTION_CLOSED, STATUS_PARSE_FAILURE or STATUS_ALLOC_FAILURE;
    /// the session is gone afterwards.
    void (*on_status)(int handler_id, int client_id, int code);
    /// The response head with the body bytes received so far; head
    /// (FreeResponseHeader) and body (Free) belong to the application.
    void (*on_response)(int handler_id, int client_id, ResHeaderInfo* head, void* body,
                        unsigned int body_length, bool complete);
    /// More response body; data belongs to the application (Free).
    void (*on_response_data)(int handler_id, int client_id, void* data, unsigned int length,
                             bool complete);
    /// The request head (length 0) or a request payload of length bytes was
    /// written and more body may be sent.
    void (*on_write_done)(int handler_id, int client_id, unsigned int length);
};

// ---------------------------------------------------------------------------
// Lifecycle. The manager is counted: every successful Initialize needs one
// Terminate; the last one stops every server and client, and is refused
// (1002) from inside a callback.
// ---------------------------------------------------------------------------
/// Creates the manager and starts its 20 "ZelStrmIo" threads (first call),
/// or only counts a later call. 0; 1001 when initialisation failed.
int InitializeStreamingManager();
/// Undoes one InitializeStreamingManager; the last call stops every server
/// and client and the threads. 0; 1002 without manager or from inside a
/// callback.
int TerminateStreamingManager();

// ---------------------------------------------------------------------------
// Servers.
// ---------------------------------------------------------------------------
/// Starts a server on the interface that has ip_address, or with a null
/// ip_address one on every active interface and on every interface that
/// appears later (on_status 9 for each such server, 0 for each stopped because
/// its interface went). port is the first port tried; the next free one of
/// the 100 from there is bound. The new servers are appended to *servers
/// (release with FreeServerInfoList) and the profile id stored in *profile_id.
int StartServers(const ServerAppCallbacks* callbacks, const char* ip_address, int port,
                 stServer** servers, int* profile_id);
/// A new record of the server, or null; release with FreeServerInfoList.
stServer* GetConfiguredServers(int server_id);
/// The port of the profile's server on ip_address.
int GetStreamingServerPort(int profile_id, const char* ip_address, int* port);
/// Stops every server of the profile and forgets it.
int StopServers(int profile_id);
/// Closes one session of a server.
int StopServerTransfer(int server_id, int session_id);
/// Prepares the response head of a session; call it from on_request or
/// on_request_data of that session. last closes the connection after the
/// head. A status without a reason phrase, or a bad version, sends
/// "HTTP/1.1 500 Internal Server Error" and closes.
int SendHTTPResponse(int server_id, int session_id, const ResHeaderInfo* head, bool last);
/// Writes length bytes of data on a session (framed as chunks when the
/// response is chunked), or with CLIENT_HANDLER_ID as server_id a request
/// body on client session_id. The bytes are written from data without a copy
/// (unless chunk framing is needed): keep them until on_write_done. With
/// last set the connection closes after the write and the library frees data
/// with Free. One payload at a time per session.
int SendHTTPPayload(int server_id, int session_id, void* data, unsigned int length, bool last);
/// Writes length bytes of the open file fd, from offset on, on a server
/// session, without copying them through the application or the library:
/// the kernel moves them from the page cache to the socket. Framed as one
/// chunk when the response is chunked (and followed by the last chunk when
/// last is set). Completion, the one-payload-at-a-time rule, last and the
/// result codes are those of SendHTTPPayload: on_write_done(server_id,
/// session_id, length) when it has been written, on_status 4 when the
/// connection failed or the file ended before offset + length.
///
/// The library keeps a duplicate of fd until the write has ended, so the
/// application may close fd as soon as the call returned; the bytes of the
/// range must not change or be truncated before on_write_done (or, after a
/// last payload, before the session ends). Server sessions only: with
/// CLIENT_HANDLER_ID as server_id the result is 1003.
int SendHTTPFilePayload(int server_id, int session_id, int fd, int64_t offset, unsigned int length,
                        bool last);

// ---------------------------------------------------------------------------
// Asynchronous clients.
// ---------------------------------------------------------------------------
/// Stores the new client's id and starts connecting to server_address:port.
int StartClient(const ClientAppCallbacks* callbacks, const char* server_address, int port,
                int* client_id);
/// Sends a request head; held until the connection is up. A body follows with
/// SendHTTPPayload(CLIENT_HANDLER_ID, client_id, ...) after on_write_done (or,
/// with an Expect header, after on_response reported status 100).
int SendHTTPRequest(int client_id, const ReqHeaderInfo* head);
/// Closes the client session; 0 after the argument checks.
int StopClientTransfer(int client_id);

// ---------------------------------------------------------------------------
// Synchronous clients: every call blocks the calling thread. Connecting waits
// at most 5 seconds for the address; reads and writes have no time limit.
// ---------------------------------------------------------------------------
/// Stores the id of a new synchronous client, used by the calls below from
/// one thread at a time. 0; 1003 for a null argument; 1000 without manager.
int StartSyncClient(int* client_id);
/// Connects the client to server_address:port, waiting at most 5 s for the
/// address. 0; 1011 for an unknown client; 1003 for bad arguments; another
/// code of StreamingResult when connecting failed.
int ConnectSyncClient(int client_id, const char* server_address, int port);
/// Writes the request head. 0; 1003 for a null head; 1011 for an unknown
/// client; 2004 when the write failed.
int SendSyncHTTPRequest(int client_id, const ReqHeaderInfo* head);
/// Writes length bytes of request body; last marks the final piece. 0; 1003
/// for null data with a length; 1011 for an unknown client; 2004 when the
/// write failed.
int SendSyncHTTPPayload(int client_id, void* data, unsigned int length, bool last);
/// Reads until the response head is complete; *head (FreeResponseHeader) and
/// *body (Free) belong to the caller.
int ReadHTTPHeader(int client_id, ResHeaderInfo** head, void** body, unsigned int& body_length,
                   bool& complete);
/// Reads the next body bytes; *data belongs to the caller (Free).
int ReadHTTPData(int client_id, void** data, unsigned int& length, bool& complete);
/// Reads the next body bytes into the caller's buffer, at most capacity of
/// them; length receives how many arrived (0 with complete set at the end).
/// The bytes of a length-delimited body, or of one that runs until the
/// server closes, go from the socket straight into buffer: give a large
/// buffer (such as 1 MiB) to move a stream with few system calls. 0; 1003
/// for a null buffer or a capacity of 0; 1011 for an unknown client; 2004
/// when the read failed; 2009 when the response could not be parsed. May be
/// mixed with ReadHTTPData on the same response.
int ReadHTTPDataInto(int client_id, void* buffer, unsigned int capacity, unsigned int& length,
                     bool& complete);

// ---------------------------------------------------------------------------
// Release and helpers.
// ---------------------------------------------------------------------------
/// Releases a block the library handed out (a body or a payload); null is a
/// no-op.
void Free(void* data);
/// Releases a whole server list; null is a no-op.
void FreeServerInfoList(stServer* servers);
/// Releases a header list; null is a no-op.
void FreeAdditionalHeaders(stArgument* headers);
/// Releases a request head with its strings and headers; null is a no-op.
void FreeRequestHeader(ReqHeaderInfo* head);
/// Releases a response head with its strings and headers; null is a no-op.
void FreeResponseHeader(ResHeaderInfo* head);
/// Decodes %XX escapes in place; a '%' without two hexadecimal digits stays.
void UnEscapeURI(char* uri);

}  // namespace streaming
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
