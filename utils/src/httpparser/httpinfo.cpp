#include <strings.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include <zel_upnp/utils.h>
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/httpparser.h"
#include "utils/src/httpparser/reason_phrase.h"

namespace zel_upnp {
namespace utils {

namespace {

struct MethodEntry {
    HTTPRequest type;
    const char* method;
};

// Searched linearly in both directions; HTTP_UNKNOWN is not a row.
const MethodEntry kMethodTable[] = {
    {HTTP_GET, "GET"},          {HTTP_HEAD, "HEAD"},           {HTTP_POST, "POST"},
    {HTTP_NOTIFY, "NOTIFY"},    {HTTP_SUBSCRIBE, "SUBSCRIBE"}, {HTTP_UNSUBSCRIBE, "UNSUBSCRIBE"},
    {HTTP_MSEARCH, "M-SEARCH"},
};

const char kUnknownMethod[] = "UNKNOWN";

struct StatusReason {
    uint32_t code;
    const char* reason;
};

// Codes this table knows beyond the shared ones of the library's own heads.
const StatusReason kExtraStatusReasons[] = {
    {154, "Continue"},
    {284, "OK"},
};

// Phrase of a code missing from the table, by its class (code / 100).
const char* const kClassReason[] = {
    nullptr, "Continue", "OK", "Multiple Choices", "Bad Request", "Internal Server Error",
};
constexpr uint32_t kCodesPerClass = 100;
const char kUnknownReason[] = "UNKNOWN";

// Upper bound of one body block; larger bodies are kept in several blocks.
constexpr uint64_t kMaxBodyBlock = 64 * 1024;

const char kCrLf[] = "\r\n";
const char kHeaderSeparator[] = ": ";

const char* ReasonPhrase(uint32_t code) {
    if (code <= static_cast<uint32_t>(INT_MAX)) {
        if (const char* phrase = StandardReasonPhrase(static_cast<int>(code)))
            return phrase;
    }
    for (const StatusReason& row : kExtraStatusReasons) {
        if (row.code == code)
            return row.reason;
    }
    const uint32_t codeClass = code / kCodesPerClass;
    const size_t classes = sizeof(kClassReason) / sizeof(kClassReason[0]);
    if (codeClass > 0 && codeClass < classes)
        return kClassReason[codeClass];
    return kUnknownReason;
}

void* DefaultBodyAllocator(size_t size) {
    return std::malloc(size);
}

std::atomic<BodyAllocator> g_bodyAllocator{&DefaultBodyAllocator};

void* AllocateBody(size_t size) {
    return g_bodyAllocator.load(std::memory_order_relaxed)(size);
}

}  // namespace

void SetBodyAllocator(BodyAllocator allocator) {
    g_bodyAllocator.store(allocator != nullptr ? allocator : &DefaultBodyAllocator,
                          std::memory_order_relaxed);
}

std::string GetRequestString(HTTPRequest type) {
    for (const MethodEntry& row : kMethodTable) {
        if (row.type == type)
            return row.method;
    }
    return kUnknownMethod;
}

HTTPRequest GetRequestType(const std::string& method) {
    for (const MethodEntry& row : kMethodTable) {
        if (method == row.method)
            return row.type;
    }
    return HTTP_UNKNOWN;
}

HTTPInfo::HTTPInfo()
    : m_requestType(HTTP_UNKNOWN),
      m_statusCode(0),
      m_majorVersion(0),
      m_minorVersion(0),
      m_isRequest(false),
      m_byteCounter(0),
      m_lastChunkCapacity(0),
      m_contentLength(0),
      m_bodyOffset(0),
      m_encoding(ENCODING_UNIDENTIFIED),
      m_pendingCrlf(0),
      m_chunkRemainder(0),
      m_status(STAGE_NONE),
      m_state(MESSAGE_INCOMPLETE),
      m_parsingStatus(PARSING_CONTINUE),
      m_clientPort(0) {}

HTTPInfo::~HTTPInfo() {
    CleanInfo();
}

void HTTPInfo::CleanInfo() {
    for (NameValue* header : m_headers)
        delete header;
    m_headers.clear();
    for (BodyChunk* chunk : m_body) {
        std::free(chunk->data);
        delete chunk;
    }
    m_body.clear();
    m_lastChunkCapacity = 0;
    m_headerBuffer.clear();
    m_startLine.clear();
    m_uri.clear();
    m_requestType = HTTP_UNKNOWN;
    m_statusCode = 0;
    m_majorVersion = 0;
    m_minorVersion = 0;
    m_isRequest = false;
    m_byteCounter = 0;
    m_contentLength = 0;
    m_bodyOffset = 0;
    m_encoding = ENCODING_UNIDENTIFIED;
    m_pendingCrlf = 0;
    m_chunkRemainder = 0;
    m_chunkSizeLine.clear();
    m_status = STAGE_NONE;
    m_state = MESSAGE_INCOMPLETE;
    m_parsingStatus = PARSING_CONTINUE;
    m_clientPort = 0;
}

int HTTPInfo::GetStartLine(std::string& startLine) const {
    if (m_startLine.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Empty start line");
        return UTILS_FAILURE;
    }
    startLine = m_startLine;
    return UTILS_SUCCESS;
}

int HTTPInfo::GetHeaderValue(const char* name, std::string& value) const {
    if (name == nullptr || name[0] == '\0') {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return UTILS_FAILURE;
    }
    for (const NameValue* header : m_headers) {
        if (strcasecmp(header->name.c_str(), name) == 0) {
            value = header->value;
            return UTILS_SUCCESS;
        }
    }
    return UTILS_FAILURE;
}

void HTTPInfo::GetHeader(std::vector<NameValue*>& headers) const {
    headers = m_headers;
}

void HTTPInfo::FormatStartLine() {
    // "HTTP/" plus two ints; a status code fits in ten digits.
    constexpr size_t kVersionBuffer = 32;
    constexpr size_t kCodeBuffer = 16;
    char version[kVersionBuffer];
    std::snprintf(version, sizeof(version), "HTTP/%d.%d", m_majorVersion, m_minorVersion);
    std::string line;
    if (m_isRequest) {
        line = GetRequestString(m_requestType);
        line += ' ';
        line += m_uri;
        line += ' ';
        line += version;
    } else {
        char code[kCodeBuffer];
        std::snprintf(code, sizeof(code), "%u", static_cast<unsigned>(m_statusCode));
        line = version;
        line += ' ';
        line += code;
        line += ' ';
        line += ReasonPhrase(m_statusCode);
    }
    line += kCrLf;
    m_startLine.swap(line);
}

int HTTPInfo::GetHeader(std::string& head) {
    FormatStartLine();
    size_t total = m_startLine.size() + sizeof(kCrLf);
    for (const NameValue* header : m_headers)
        total +=
            header->name.size() + header->value.size() + sizeof(kHeaderSeparator) + sizeof(kCrLf);
    head.clear();
    head.reserve(total);
    head = m_startLine;
    for (const NameValue* header : m_headers) {
        if (header->name.empty())
            continue;
        head += header->name;
        head += kHeaderSeparator;
        head += header->value;
        head += kCrLf;
    }
    head += kCrLf;
    return UTILS_SUCCESS;
}

int HTTPInfo::SetHeader(const std::string& name, const std::string& value) {
    if (name.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return UTILS_FAILURE;
    }
    NameValue* header = new (std::nothrow) NameValue;
    if (header == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Push back failed!");
        return UTILS_FAILURE;
    }
    try {
        header->name = name;
        header->value = value;
        m_headers.push_back(header);
    } catch (const std::exception&) {
        delete header;
        ZEL_LOGE(ZEL_CORE_UTILS, "Push back failed!");
        return UTILS_FAILURE;
    }
    return UTILS_SUCCESS;
}

int HTTPInfo::StoreData(const char* data, const unsigned& length) {
    uint64_t take = length;
    // Bytes this piece's block should have room for: the rest of a known
    // length, otherwise as much as is stored already, so that blocks double
    // and a body of n packets costs O(log n) allocations.
    uint64_t expected = 0;
    switch (m_encoding) {
        case ENCODING_CONTENT_LENGTH: {
            m_parsingStatus = PARSING_PACKET_DONE;
            const uint64_t due =
                m_contentLength > m_byteCounter ? m_contentLength - m_byteCounter : 0;
            if (take > due)
                take = due;
            expected = due;
            m_byteCounter += take;
            if (m_byteCounter >= m_contentLength)
                m_state = MESSAGE_COMPLETE;
            break;
        }
        case ENCODING_UNTIL_CLOSE:
            m_parsingStatus = PARSING_PACKET_DONE;
            expected = GetProcessedBodySize();
            break;
        default:
            // Chunked data (and pieces added to a message built by hand) are
            // taken whole; the chunk decoder decides when the packet is done.
            expected = GetProcessedBodySize();
            break;
    }
    if (take == 0 || data == nullptr)
        return UTILS_SUCCESS;

    if (!m_body.empty()) {
        BodyChunk* last = m_body.back();
        if (m_lastChunkCapacity - last->size >= take) {
            std::memcpy(last->data + last->size, data, take);
            last->size += static_cast<uint32_t>(take);
            return UTILS_SUCCESS;
        }
    }
    uint64_t capacity = expected < kMaxBodyBlock ? expected : kMaxBodyBlock;
    if (capacity < take)
        capacity = take;
    BodyChunk* chunk = new (std::nothrow) BodyChunk;
    char* copy = static_cast<char*>(AllocateBody(capacity));
    if (chunk == nullptr || copy == nullptr) {
        delete chunk;
        std::free(copy);
        ZEL_LOGE(ZEL_CORE_UTILS, "malloc failed!");
        m_parsingStatus = PARSING_PACKET_DONE;
        m_state = MESSAGE_ERROR;
        return UTILS_FAILURE;
    }
    std::memcpy(copy, data, take);
    chunk->data = copy;
    chunk->size = static_cast<uint32_t>(take);
    try {
        m_body.push_back(chunk);
    } catch (const std::exception&) {
        std::free(copy);
        delete chunk;
        ZEL_LOGE(ZEL_CORE_UTILS, "malloc failed!");
        m_parsingStatus = PARSING_PACKET_DONE;
        m_state = MESSAGE_ERROR;
        return UTILS_FAILURE;
    }
    m_lastChunkCapacity = static_cast<uint32_t>(capacity);
    return UTILS_SUCCESS;
}

char* HTTPInfo::GetBody(unsigned& size) {
    const uint64_t total = GetProcessedBodySize();
    size = static_cast<unsigned>(total);
    if (m_body.empty()) {
        size = 0;
        return nullptr;
    }
    if (m_body.size() == 1) {
        char* data = m_body.front()->data;
        delete m_body.front();
        m_body.clear();
        m_lastChunkCapacity = 0;
        return data;
    }
    char* whole = nullptr;
    if (total <= std::numeric_limits<unsigned>::max())
        whole = static_cast<char*>(AllocateBody(total));
    if (whole == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Memory allocation failed");
        return nullptr;
    }
    size_t offset = 0;
    for (BodyChunk* chunk : m_body) {
        std::memcpy(whole + offset, chunk->data, chunk->size);
        offset += chunk->size;
        std::free(chunk->data);
        delete chunk;
    }
    m_body.clear();
    m_lastChunkCapacity = 0;
    return whole;
}

void HTTPInfo::ReadBody(std::string& body) {
    body.reserve(body.size() + GetProcessedBodySize());
    for (BodyChunk* chunk : m_body) {
        body.append(chunk->data, chunk->size);
        std::free(chunk->data);
        delete chunk;
    }
    m_body.clear();
    m_lastChunkCapacity = 0;
}

uint64_t HTTPInfo::GetProcessedBodySize() const {
    uint64_t total = 0;
    for (const BodyChunk* chunk : m_body)
        total += chunk->size;
    return total;
}

uint64_t HTTPInfo::GetContentLength() const {
    return m_contentLength;
}

int HTTPInfo::GetStatus() const {
    return m_status;
}

HTTPMessageState HTTPInfo::GetState() const {
    return m_state;
}

ParsingStatus HTTPInfo::GetParsingStatus() const {
    return m_parsingStatus;
}

void HTTPInfo::SetParsingStatus(const ParsingStatus& status) {
    m_parsingStatus = status;
}

void HTTPInfo::GetHTTPVersion(int& major, int& minor) const {
    major = m_majorVersion;
    minor = m_minorVersion;
}

int HTTPInfo::GetURI(std::string& uri) const {
    if (m_uri.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Uri value empty");
        return UTILS_EMPTY_INPUT;
    }
    uri = m_uri;
    return UTILS_SUCCESS;
}

const char* HTTPInfo::GetHex(const char* data, const unsigned& length, unsigned& consumed) {
    consumed = 0;
    if (m_chunkSizeLine.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "No Hex value ");
        return nullptr;
    }
    if (data == nullptr || length == 0) {
        m_parsingStatus = PARSING_PACKET_DONE;
        return m_chunkSizeLine.c_str();
    }
    // The previous packet ended between the CR and the LF of the line.
    if (m_chunkSizeLine.back() == '\r' && data[0] == '\n') {
        m_chunkSizeLine.pop_back();
        consumed = 1;
        return m_chunkSizeLine.c_str();
    }
    for (unsigned i = 0; i + 1 < length; ++i) {
        const void* cr = std::memchr(data + i, '\r', length - i - 1);
        if (cr == nullptr)
            break;
        i = static_cast<unsigned>(static_cast<const char*>(cr) - data);
        if (data[i + 1] == '\n') {
            m_chunkSizeLine.append(data, i);
            consumed = i + 2;
            return m_chunkSizeLine.c_str();
        }
    }
    // Still no end of line: keep everything (a trailing CR included) and
    // wait for the next packet.
    m_chunkSizeLine.append(data, length);
    consumed = length;
    m_parsingStatus = PARSING_PACKET_DONE;
    return m_chunkSizeLine.c_str();
}

void HTTPInfo::SetClientIpAddress(const std::string& address) {
    m_clientIpAddress = address;
}

std::string HTTPInfo::GetClientIpAddress() const {
    return m_clientIpAddress;
}

void HTTPInfo::SetMyIpAddress(const std::string& address) {
    m_myIpAddress = address;
}

std::string HTTPInfo::GetMyIpAddress() const {
    return m_myIpAddress;
}

void HTTPInfo::SetClientPort(int port) {
    m_clientPort = port;
}

int HTTPInfo::GetClientPort() const {
    return m_clientPort;
}

HTTPRequest HTTPInfo::GetRequestType() const {
    return m_requestType;
}

uint32_t HTTPInfo::GetStatusCode() const {
    return m_statusCode;
}

bool HTTPInfo::IsRequest() const {
    return m_isRequest;
}

HTTPBodyEncoding HTTPInfo::GetBodyEncoding() const {
    return m_encoding;
}

}  // namespace utils
}  // namespace zel_upnp
