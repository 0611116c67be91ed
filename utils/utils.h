/// @file
/// zel_upnp::utils: the HTTP message model, the XML parser, string, time, file
/// and thread helpers, and the one-shot timer service shared by every family.
#ifndef ZEL_UPNP_UTILS_H
#define ZEL_UPNP_UTILS_H

#include <cstdint>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace boost {
class thread;
}

#pragma GCC visibility push(default)

namespace zel_upnp {
/// HTTP messages, the XML parser, string, time, file and thread-name helpers, and one-shot timers.
namespace utils {

// ---------------------------------------------------------------------------
// Result codes of the utilities.
// ---------------------------------------------------------------------------
/// Result codes of the utilities.
enum UtilsResult {
    UTILS_SUCCESS = 0,           ///< done
    UTILS_FAILURE = 1,           ///< general failure
    UTILS_INVALID_INPUT = 3001,  ///< an argument is out of its range or malformed
    UTILS_EMPTY_INPUT = 3002,    ///< an argument or a looked-up value is empty
    UTILS_SYSTEM_FAILURE = 3003  ///< a system call failed
};

// ---------------------------------------------------------------------------
// Thread naming.
// ---------------------------------------------------------------------------

/// The first three characters of the calling thread's name followed by
/// baseName cut to nine characters, so that worker threads carry a mark of the
/// application thread that started them. baseName must not be empty.
std::string PrepareThreadName(const std::string& baseName);

/// Names pThread "name" followed by index in decimal when index >= 0, cut to
/// the 15 characters a thread name may hold.
void SetNameOnThread(boost::thread* pThread, const std::string& name, int index);

// ---------------------------------------------------------------------------
// String, time and file helpers.
// ---------------------------------------------------------------------------
// @@STRING_TIME_FILE@@
// Every function here is reentrant and keeps no state between calls.

/// String helpers. Returned C strings are allocated with malloc: the caller
/// releases them with free.
class StringUtils {
  public:
    /// A malloc copy of in with its terminating NUL; null for an empty string
    /// or when memory runs out.
    static char* GetValue(const std::string& in);
    /// The same for a C string; null (and a log line) for a null or empty one.
    static char* StrDup(const char* in);
    /// Removes space, tab, form feed, vertical tab, LF and CR from both ends.
    static void TrimString(std::string& str);
    /// Replaces out with in where every printable byte that is neither a
    /// letter nor a digit (32-47, 58-64, 91-96, 123-127) becomes "%XX" in
    /// upper-case hexadecimal. Control bytes and bytes from 128 up are copied
    /// as they are. An empty in leaves out unchanged.
    static void EscapeURI(const std::string& in, std::string& out);
    /// out receives, in unsigned decimal, the 32-bit hash h = (h * 33) ^ b
    /// over the bytes b of in, each read as a signed char. Returns 1; returns
    /// 0 and leaves out unchanged for an empty in or a hash of 0.
    static int GetHashValue(const std::string& in, std::string& out);
    /// Resolves uri against baseUrl (or, for a relative uri without a base,
    /// defaultBase), or against "http://ipAddress:port" for an absolute path
    /// without a base. A uri that already starts with "http://" (any case) is
    /// taken as it is. UTILS_INVALID_INPUT when uri or ipAddress is empty,
    /// otherwise UTILS_SUCCESS.
    static int GetAbsoluteUri(const std::string& uri, const std::string& baseUrl,
                              const std::string& ipAddress, const int& port,
                              const std::string& defaultBase, std::string& out);
    /// Splits "scheme://host:port[/path]" into host, port and path ("/" when
    /// absent). An IPv6 host stands in brackets, a link-local one with its
    /// zone escaped ("http://[fe80::1%25eth0]:80/"); host then gets the bare
    /// literal ("fe80::1%eth0"). Returns 1 on success and 0 (outputs
    /// unchanged) when "//" or the port's colon is missing, the port is not a
    /// decimal from 0 to 65535, a bracketed host is not such a literal, or
    /// the URL holds a CR, LF or NUL.
    static int ParseURI(const std::string& url, std::string& host, int& port, std::string& path);
    /// "address:port" as a Host header or a URL authority wants it: an IPv6
    /// address in brackets and without its zone ("[fe80::1]:80" for
    /// "fe80::1%eth0"), anything else as it is.
    static std::string HostPort(const std::string& address, int port);
};

/// The current time as an HTTP date in UTC ("Sun, 06 Dec 2026 00:30:00 GMT").
/// UTILS_SUCCESS; UTILS_SYSTEM_FAILURE when the clock or the conversion fails;
/// UTILS_FAILURE when memory runs out.
int Generate_CurrentDate(std::string& date);

/// Opens stream on path with mode. A mode that includes output also makes the
/// stream throw on a bad or failed state from then on. UTILS_SUCCESS, or
/// UTILS_FAILURE when the file cannot be opened.
int OpenFileStream(const std::string& path, std::ios_base::openmode mode, std::fstream& stream);

/// Reads the whole file at path into a new NUL-terminated buffer, without a
/// leading UTF-8 byte order mark. The caller releases *out with delete[] (not
/// free). UTILS_SUCCESS, or UTILS_FAILURE with *out untouched.
int ReadFileUTF8(const std::string& path, char** out);

/// Looks in directory for the first of names that can be opened for reading,
/// then for the first of them in upper case. filePath is directory directly
/// followed by the name (add the trailing "/" to directory yourself). Both
/// outputs are empty when nothing is found; an empty directory or list
/// changes nothing.
void CheckFileExistance(const std::string& directory, const std::list<std::string>& names,
                        std::string& fileName, std::string& filePath);

/// A binary file stream with integer results. Belongs to one thread at a time.
class ZELFileStream : public std::fstream {
  public:
    /// Open modes; any other value is refused.
    enum ZELFileOpenMode : int {
        ZEL_FILE_READ = 0,        ///< input
        ZEL_FILE_WRITE = 1,       ///< output, truncates
        ZEL_FILE_READ_WRITE = 2,  ///< input and output, truncates
        ZEL_FILE_APPEND = 3       ///< output at the end
    };
    /// Origin of SeekToPosition; any other value is refused.
    enum ZELFileSeekMode : int { ZEL_SEEK_BEGIN = 0, ZEL_SEEK_CURRENT = 1, ZEL_SEEK_END = 2 };

    // Any other value of either enum is refused with a failure code.

    /// 0 on success, 1 when the file cannot be opened or mode is unknown.
    /// Modes with output make later failures throw inside the stream; the
    /// members below catch that and return their failure codes.
    int Open(const std::string& path, ZELFileOpenMode mode);
    /// Closes the file if one is open; always 0.
    int Close();
    /// Removes the file named path (not necessarily the open one).
    void Delete(const std::string& path);
    /// True while a file is open.
    bool IsOpen();
    /// size receives the length of the file; the position is left at the
    /// beginning. 0 on success, 1 on failure.
    int GetSize(long long& size);
    /// Reads up to length bytes into buffer; returns the number read (less
    /// than length at the end of the file) or -1 on failure.
    int ReadBuffer(const int& length, void* buffer);
    /// Writes length bytes of buffer; 0 on success, 1 on failure.
    int WriteBuffer(const int& length, const void* buffer);
    /// Moves the read position; 0 on success, 1 on failure.
    int SeekToPosition(long long& position, ZELFileSeekMode mode);
};

// ---------------------------------------------------------------------------
// Timer.
// ---------------------------------------------------------------------------
// @@TIMER@@
/// Process-wide one-shot timers. Start arms a timer and returns its id (1 for
/// the first timer of the service, then 2, 3, ...; ids are not reused until
/// the framework is terminated). When timeoutMs has passed, callback(id,
/// userData) runs once on the library's single timer thread ("ZelTimer"),
/// never inside Start, and the timer is gone. Callbacks run one at a time in
/// expiry order with the timer lock held, so a callback may start or cancel
/// timers itself, but every other thread's Start and Cancel waits for it:
/// keep callbacks short. Termination of the framework drops every live timer
/// without calling it.
class Timer {
  public:
    /// A timer callback: the timer's id and the pointer given to Start. Runs on
    /// "ZelTimer" with the timer lock held.
    typedef void (*Callback)(int timerId, void* userData);

    /// Returns the new timer's id; 0 (an id never given out) only when the
    /// timer service cannot be brought up or memory runs out.
    static int Start(int timeoutMs, Callback callback, void* userData);
    /// Cancels a live timer: its callback will not run and, when userData is
    /// not null, *userData receives the pointer the timer was started with.
    /// An id that is not live (fired, cancelled, never started) changes
    /// nothing, *userData included.
    static void Cancel(int timerId, void** userData);

    virtual ~Timer();

  protected:
    Timer();

  private:
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
};

// ---------------------------------------------------------------------------
// HTTP message model.
// ---------------------------------------------------------------------------
/// Method of a request, in the order of the method table. HTTP_UNKNOWN is also
/// the type of every response and of a request whose method is not listed.
enum HTTPRequest {
    HTTP_GET = 0,
    HTTP_HEAD = 1,
    HTTP_POST = 2,
    HTTP_NOTIFY = 3,
    HTTP_SUBSCRIBE = 4,
    HTTP_UNSUBSCRIBE = 5,
    HTTP_MSEARCH = 6,
    HTTP_UNKNOWN = 7
};

/// PARSING_PACKET_DONE: the parser has finished with the packet it was given,
/// because it needs more bytes, the message is complete, or it failed. The
/// receiver sets PARSING_CONTINUE again after every call of the parser.
enum ParsingStatus { PARSING_CONTINUE = 0, PARSING_PACKET_DONE = 1 };

/// Parse stage (HTTPInfo::GetStatus). A stage below STAGE_HEADERS_DONE means
/// that the head of the message is not complete yet.
enum HTTPStage { STAGE_NONE = 0, STAGE_START_LINE = 1, STAGE_HEADERS_DONE = 2 };

/// Message state (HTTPInfo::GetState). A body that runs until the peer closes
/// stays MESSAGE_INCOMPLETE: only the receiver knows when the stream ended.
enum HTTPMessageState { MESSAGE_INCOMPLETE = 0, MESSAGE_COMPLETE = 1, MESSAGE_ERROR = 2 };

/// How the body of a message is delimited, decided at the blank line.
enum HTTPBodyEncoding {
    ENCODING_UNIDENTIFIED = 0,
    ENCODING_NONE = 1,
    ENCODING_CONTENT_LENGTH = 2,
    ENCODING_CHUNKED = 3,
    ENCODING_UNTIL_CLOSE = 4
};

/// One header line: name and value as received, trimmed. Owned by the HTTPInfo
/// that holds it.
struct NameValue {
    /// Header name as received, trimmed.
    std::string name;
    /// Header value as received, trimmed.
    std::string value;
};

/// One block of stored body holding size bytes (consecutive pieces share a
/// block while it has room); data comes from malloc and belongs to the
/// HTTPInfo until GetBody or ReadBody hands it out.
struct BodyChunk {
    /// malloc block of the bytes.
    char* data;
    /// Number of bytes in data.
    uint32_t size;
};

/// The method string of type ("GET", "M-SEARCH", ...), "UNKNOWN" for a value
/// outside the table.
std::string GetRequestString(HTTPRequest type);
/// The type whose method string equals method exactly (case-sensitive),
/// HTTP_UNKNOWN otherwise.
HTTPRequest GetRequestType(const std::string& method);

// The library's parser, which fills HTTPInfo; internal, not exported.
#pragma GCC visibility push(hidden)
class HTTPParser;
#pragma GCC visibility pop

/// One HTTP request or response, filled packet by packet by the library's
/// parser on the thread that reads its socket, then shared read-only by
/// shared_ptr (only GetBody and ReadBody change it afterwards). Not locked.
/// Members returning int return 0 on success.
class HTTPInfo {
  public:
    HTTPInfo();
    virtual ~HTTPInfo();
    HTTPInfo(const HTTPInfo&) = delete;
    HTTPInfo& operator=(const HTTPInfo&) = delete;

    /// The first line without its CR LF, trimmed; 1 when it is empty.
    int GetStartLine(std::string& startLine) const;
    /// Value of the first header named name, ignoring case; 1 (value
    /// untouched) when there is none or name is null or empty.
    int GetHeaderValue(const char* name, std::string& value) const;
    /// The header records in arrival order; they stay owned by this object.
    void GetHeader(std::vector<NameValue*>& headers) const;
    /// The message head rebuilt from the fields (FormatStartLine, then every
    /// header with a name as "name: value" CR LF, then CR LF).
    int GetHeader(std::string& head);
    /// Rebuilds the start line from method, URI, version and status code and
    /// ends it with CR LF.
    void FormatStartLine();
    /// Appends a header (an existing one of the same name is kept).
    int SetHeader(const std::string& name, const std::string& value);
    /// Appends a piece of body under the rules of the body encoding.
    int StoreData(const char* data, const unsigned& length);
    /// The whole body as one malloc block that the caller frees; null with
    /// size 0 when there is none. The stored pieces are released.
    char* GetBody(unsigned& size);
    /// Appends the whole body to body and releases the stored pieces.
    void ReadBody(std::string& body);
    /// Bytes of body stored so far.
    uint64_t GetProcessedBodySize() const;
    /// The Content-Length value, 0 without one.
    uint64_t GetContentLength() const;
    /// Parse stage (HTTPStage).
    int GetStatus() const;
    /// Message state (HTTPMessageState).
    HTTPMessageState GetState() const;
    /// Whether the parser finished with the current packet (ParsingStatus).
    ParsingStatus GetParsingStatus() const;
    /// Set by the receiver to PARSING_CONTINUE after every call of the parser.
    void SetParsingStatus(const ParsingStatus& status);
    /// The HTTP version, e.g. 1 and 1 for HTTP/1.1.
    void GetHTTPVersion(int& major, int& minor) const;
    /// 3002 when there is no URI.
    int GetURI(std::string& uri) const;
    /// Completes a chunk-size line that began in an earlier packet with the
    /// bytes of data; consumed receives how many bytes of data belong to the
    /// line. Returns the line's text, or null when nothing was accumulated.
    /// When data does not finish the line either, all of it is kept, consumed
    /// is length and the parsing status becomes PARSING_PACKET_DONE.
    const char* GetHex(const char* data, const unsigned& length, unsigned& consumed);
    /// Records the peer's address (done by the server that read the message).
    void SetClientIpAddress(const std::string& address);
    /// Address of the peer that sent the message.
    std::string GetClientIpAddress() const;
    /// Records the local address the message arrived on.
    void SetMyIpAddress(const std::string& address);
    /// The local interface address the message arrived on.
    std::string GetMyIpAddress() const;
    /// Records the peer's port.
    void SetClientPort(int port);
    /// Port of the peer that sent the message.
    int GetClientPort() const;
    /// Method of a request; HTTP_UNKNOWN for a response or an unlisted method.
    HTTPRequest GetRequestType() const;
    /// Status code of a response; 0 for a request.
    uint32_t GetStatusCode() const;
    /// True for a request, false for a response.
    bool IsRequest() const;
    /// How the body is delimited, decided at the blank line.
    HTTPBodyEncoding GetBodyEncoding() const;
    /// Back to the initial values, keeping the client and own IP addresses.
    void CleanInfo();

  private:
    friend class HTTPParser;

    std::string m_headerBuffer;  ///< start line and header lines as received
    std::string m_startLine;
    std::string m_uri;
    HTTPRequest m_requestType;
    uint32_t m_statusCode;
    int m_majorVersion;
    int m_minorVersion;
    bool m_isRequest;
    /// Head incomplete: bytes of the earlier packets of this message. From the
    /// blank line on: body bytes accepted in content-length mode.
    uint64_t m_byteCounter;
    std::vector<NameValue*> m_headers;
    std::vector<BodyChunk*> m_body;
    uint32_t m_lastChunkCapacity;  ///< bytes allocated for m_body.back()
    uint64_t m_contentLength;
    uint32_t m_bodyOffset;  ///< start of the body in the packet that ended the head
    HTTPBodyEncoding m_encoding;
    uint32_t m_pendingCrlf;       ///< bytes of a chunk's closing CR LF still due
    uint32_t m_chunkRemainder;    ///< bytes of the current chunk still due
    std::string m_chunkSizeLine;  ///< chunk-size line split over packets
    int m_status;                 ///< HTTPStage
    HTTPMessageState m_state;
    ParsingStatus m_parsingStatus;
    std::string m_clientIpAddress;
    std::string m_myIpAddress;
    int m_clientPort;
};

// ---------------------------------------------------------------------------
// XML parser.
// ---------------------------------------------------------------------------
// @@XML@@
// A small non-validating parser: one document in a string becomes a tree that
// a cursor walks one element at a time, handing out self-contained NodeXml
// copies. No DOCTYPE, no namespaces, no entity decoding while parsing (apply
// XmlUnescapeValue where a value needs it). One XmlParser belongs to one
// thread. The query and navigation functions return 1 for success and 0 for
// failure.

/// Node types of the tree, as XmlGetCurNodeFirstChildType reports them.
enum XmlNodeType {
    XML_ELEMENT_NODE = 1,
    XML_ATTRIBUTE_NODE = 2,
    XML_TEXT_NODE = 3,
    XML_DOCUMENT_NODE = 9
};

/// Tree node; internal to the parser.
struct XmlDomNode;

/// Document handle, owned by the caller (usually on its stack). Empty, then
/// parsed (tree and working copy present), then destroyed with
/// XmlParserDestroy, which the destructor also does for a parser still
/// holding a tree. Destroy it before parsing another document with it.
struct XmlParser {
    XmlParser() = default;
    ~XmlParser();
    XmlParser(const XmlParser&) = delete;
    XmlParser& operator=(const XmlParser&) = delete;

    /// Tokenizer state.
    int tokenLength = 0;
    /// Depth of the element being tokenised.
    int elementDepth = 0;
    /// Into the working copy; bufferEnd is one past its terminating NUL.
    char* cursor = nullptr;
    /// First byte of the working copy.
    char* bufferStart = nullptr;
    /// One past the working copy's terminating NUL.
    char* bufferEnd = nullptr;
    /// Start of the current token.
    char* tokenStart = nullptr;
    /// Root of the parsed tree.
    XmlDomNode* document = nullptr;
    /// The document text. Names and values of the tree point into it and end
    /// at NUL bytes the parser wrote over the markup that followed them, so it
    /// must not be modified or reallocated while the tree lives.
    std::string workingCopy;
    /// Length of the document text.
    int documentLength = 0;
    /// Navigation cursor.
    XmlDomNode* currentNode = nullptr;
    /// Parent of the current node, or null.
    XmlDomNode* parentNode = nullptr;
};

/// One element as handed to the caller, independent of the parser: freed with
/// XmlParserFreeNode, it may outlive XmlParserDestroy.
struct NodeXml {
    std::string name;  ///< trimmed of white space
    std::vector<std::string>
        attributes;     ///< name, value, name, value... in document order, trimmed
    std::string value;  ///< text of a text first child, untrimmed; else empty
};

/// Parses xml (up to its first NUL byte) into parser. 1 on success; 0 for an
/// empty string or a malformed document, which leaves the parser destroyed.
int XmlParserGetDomMA(const std::string& xml, XmlParser& parser);

/// Returns the root element and makes it the current node; the parent becomes
/// none. 0 before a successful parse.
int XmlParserGetFirstNode(XmlParser& parser, NodeXml*& node);

/// Returns the next sibling of the current node and makes it current. 0 when
/// there is no current node, or no next element sibling (the current node then
/// becomes none, the parent stays).
int XmlParserGetNextNode(XmlParser& parser, NodeXml*& node);

/// Makes the current node the parent and returns its first child as the new
/// current node. 0 when there is no current node, or when the first child is
/// not an element (the current node then becomes none and the parent stays,
/// so XmlParserStepBackToParentNode returns to it).
int XmlParserGetChildNode(XmlParser& parser, NodeXml*& node);

/// The parent becomes the current node and its own parent the new parent.
/// 1 when there is a current node afterwards, 0 otherwise.
int XmlParserStepBackToParentNode(XmlParser& parser);

/// Number of children (elements and text) of the current node.
int XmlGetCurrentNodeChildCount(XmlParser& parser, int& count);

/// XmlNodeType of the current node's first child; 0 without current node or child.
int XmlGetCurNodeFirstChildType(XmlParser& parser, int& type);

/// Releases a node returned by the navigation calls; null is a no-op.
void XmlParserFreeNode(NodeXml* node);

/// Clears the working copy, frees the whole tree and zeroes every field.
void XmlParserDestroy(XmlParser& parser);

/// Value of the first attribute whose name begins with name (case-sensitive).
int XmlGetAttribute(NodeXml* node, const std::string& name, std::string& value);

/// Value of the attribute named exactly name.
int XmlGetAttributeChar(NodeXml* node, const std::string& name, std::string& value);

/// Whole name of the first attribute whose name begins with name.
int XmlGetAttributeName(NodeXml* node, const std::string& name, std::string& fullName);

/// Copies the alternating name/value list of node.
int XmlGetAllNodeAttributes(NodeXml* node, std::vector<std::string>& attributes);

/// Replaces the XML special characters and the bytes 1 to 31 with references.
/// UTILS_SUCCESS, or UTILS_EMPTY_INPUT for an empty input.
int XmlEscapeValue(const std::string& in, std::string& out);

/// Replaces the named references lt, gt, apos, nbsp, quot, then numeric
/// references of one byte, then amp, so that an escaped entity comes out as
/// entity text. UTILS_SUCCESS, or UTILS_EMPTY_INPUT for an empty input.
int XmlUnescapeValue(const std::string& in, std::string& out);

}  // namespace utils
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
