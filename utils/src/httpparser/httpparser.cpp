#include "utils/src/httpparser/httpparser.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

namespace {

const char kHeaderEnd[] = "\r\n\r\n";
constexpr size_t kHeaderEndLength = sizeof(kHeaderEnd) - 1;
const char kLineEnd[] = "\r\n";
constexpr size_t kLineEndLength = sizeof(kLineEnd) - 1;
const char kTrimCharacters[] = " \t\f\v\n\r";
const char kStatusLinePrefix[] = "HTTP/";
constexpr size_t kStatusLinePrefixLength = sizeof(kStatusLinePrefix) - 1;
// Headers of a typical UPnP message; reserved at the first header so that the
// vector grows once at most.
constexpr size_t kExpectedHeaderCount = 16;
// A chunk-size line shorter than this is converted from a stack copy.
constexpr size_t kChunkSizeTextBuffer = 64;
constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;
constexpr uint64_t kMaxChunkSize = std::numeric_limits<uint32_t>::max();

const char kNtsHeader[] = "NTS";
const char kUsnHeader[] = "USN";
const char kTransferEncodingHeader[] = "Transfer-Encoding";
const char kContentLengthHeader[] = "Content-Length";
const char kSsdpAlive[] = "ssdp:alive";
const char kSsdpByeBye[] = "ssdp:byebye";
const char kChunked[] = "chunked";

bool IsTrimCharacter(char c) {
    return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\n' || c == '\r';
}

// Narrows [begin, end) to its text without the trim characters at both ends.
void TrimRange(const char*& begin, const char*& end) {
    while (begin < end && IsTrimCharacter(*begin))
        ++begin;
    while (end > begin && IsTrimCharacter(end[-1]))
        --end;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whole-text decimal conversions: an optional sign, then digits only; an
// empty text, other characters or an overflow fail.
bool ToInt(const char* begin, const char* end, int& out) {
    bool negative = false;
    if (begin < end && (*begin == '+' || *begin == '-')) {
        negative = *begin == '-';
        ++begin;
    }
    if (begin == end)
        return false;
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int>::min())
                                   : std::numeric_limits<int>::max();
    int64_t value = 0;
    for (; begin < end; ++begin) {
        if (!IsDigit(*begin))
            return false;
        value = value * kDecimalBase + (*begin - '0');
        if (value > limit)
            return false;
    }
    out = static_cast<int>(negative ? -value : value);
    return true;
}

// Unsigned values take an optional "+" only: a negative length or status code
// is malformed rather than a wrapped huge number.
bool ToUnsigned64(const char* begin, const char* end, uint64_t& out) {
    if (begin < end && *begin == '+')
        ++begin;
    if (begin == end)
        return false;
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    for (; begin < end; ++begin) {
        if (!IsDigit(*begin))
            return false;
        const uint64_t digit = static_cast<uint64_t>(*begin - '0');
        if (value > (kMax - digit) / kDecimalBase)
            return false;
        value = value * kDecimalBase + digit;
    }
    out = value;
    return true;
}

// RFC 9110 tchar: what a header name is made of.
bool IsTokenCharacter(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Control characters: C0 and DEL. Obs-text (0x80 and up) is left to the
// families that read the text.
bool IsControlCharacter(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// The start line, without its CR LF: no control character at all, so no
// bare CR, bare LF, NUL or HTAB.
bool IsCleanStartLine(const char* line, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (IsControlCharacter(static_cast<unsigned char>(line[i])))
            return false;
    }
    return true;
}

const NameValue* FindHeader(const std::vector<NameValue*>& headers, const char* name) {
    for (const NameValue* header : headers) {
        if (strcasecmp(header->name.c_str(), name) == 0)
            return header;
    }
    return nullptr;
}

// The framing of a message is ambiguous when two receivers could disagree on
// where its body ends (request smuggling): Content-Length repeated with a
// different or malformed value, Content-Length beside Transfer-Encoding,
// Transfer-Encoding repeated, or any coding but a lone "chunked". Such a
// message is refused whatever its method. A single Content-Length holding a
// list ("5, 5") fails the length conversion later.
bool HasAmbiguousFraming(const std::vector<NameValue*>& headers) {
    const NameValue* transferEncoding = nullptr;
    const NameValue* contentLength = nullptr;
    uint64_t length = 0;
    bool lengthValid = false;
    for (const NameValue* header : headers) {
        if (strcasecmp(header->name.c_str(), kTransferEncodingHeader) == 0) {
            if (transferEncoding != nullptr)
                return true;
            transferEncoding = header;
            continue;
        }
        if (strcasecmp(header->name.c_str(), kContentLengthHeader) != 0)
            continue;
        uint64_t value = 0;
        const char* text = header->value.data();
        const bool valid = ToUnsigned64(text, text + header->value.size(), value);
        if (contentLength != nullptr && (!valid || !lengthValid || value != length))
            return true;
        contentLength = header;
        length = value;
        lengthValid = valid;
    }
    if (transferEncoding == nullptr)
        return false;
    return contentLength != nullptr || strcasecmp(transferEncoding->value.c_str(), kChunked) != 0;
}

}  // namespace

long FindBytes(const char* range, size_t length, const char* pattern, size_t patternLength) {
    if (range == nullptr || pattern == nullptr || patternLength == 0 || length < patternLength)
        return -1;
    const char* cursor = range;
    const char* last = range + (length - patternLength);
    while (cursor <= last) {
        const void* hit = std::memchr(cursor, pattern[0], static_cast<size_t>(last - cursor) + 1);
        if (hit == nullptr)
            return -1;
        cursor = static_cast<const char*>(hit);
        if (std::memcmp(cursor + 1, pattern + 1, patternLength - 1) == 0)
            return cursor - range;
        ++cursor;
    }
    return -1;
}

void TrimHTTPText(std::string& text) {
    const size_t first = text.find_first_not_of(kTrimCharacters);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(text.find_last_not_of(kTrimCharacters) + 1);
    text.erase(0, first);
}

int Parse(const char* data, const unsigned& length, boost::shared_ptr<HTTPInfo>& info) {
    if (!info) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid params!!!");
        return UTILS_FAILURE;
    }
    if (data == nullptr || length == 0) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Has nothing to be parsed!!!");
        info->SetParsingStatus(PARSING_PACKET_DONE);
        return UTILS_SUCCESS;
    }
    // Every stage below ends the packet by setting PARSING_PACKET_DONE; a
    // status left over from the previous call must not end this one early.
    info->SetParsingStatus(PARSING_CONTINUE);
    // A finished message takes no more bytes: a failed one stays failed, and
    // whatever follows a complete one belongs to no message of ours.
    if (info->GetState() == MESSAGE_ERROR) {
        info->SetParsingStatus(PARSING_PACKET_DONE);
        return UTILS_FAILURE;
    }
    if (info->GetState() == MESSAGE_COMPLETE) {
        info->SetParsingStatus(PARSING_PACKET_DONE);
        return UTILS_SUCCESS;
    }
    return HTTPParser::ParsePacket(*info, data, length);
}

int HTTPParser::FailMessage(HTTPInfo& info) {
    info.m_parsingStatus = PARSING_PACKET_DONE;
    info.m_state = MESSAGE_ERROR;
    return UTILS_FAILURE;
}

int HTTPParser::ParsePacket(HTTPInfo& info, const char* data, unsigned length) {
    if (info.m_status < STAGE_HEADERS_DONE) {
        const long end = FindBytes(data, length, kHeaderEnd, kHeaderEndLength);
        const size_t headerBytes = end >= 0 ? static_cast<size_t>(end) + kHeaderEndLength : length;
        info.m_headerBuffer.append(data, headerBytes);
        const int rc = HandleHeader(info, data, length);
        if (info.m_parsingStatus == PARSING_PACKET_DONE)
            return rc;
    }
    return HandleBody(info, data, length);
}

int HTTPParser::HandleHeader(HTTPInfo& info, const char* data, unsigned length) {
    if (info.m_status < STAGE_START_LINE) {
        const int rc = HandleFirstLine(info, data, length);
        if (info.m_parsingStatus == PARSING_PACKET_DONE) {
            ZEL_LOGD(ZEL_CORE_UTILS, "parsing completed!");
            return rc;
        }
    }
    return ParseHTTPHeader(info, length);
}

int HTTPParser::HandleFirstLine(HTTPInfo& info, const char* data, unsigned length) {
    const char* cr = static_cast<const char*>(std::memchr(data, '\r', length));
    if (cr == nullptr) {
        ZEL_LOGD(ZEL_CORE_UTILS, "parsing completed for data %.*s!", static_cast<int>(length),
                 data);
        info.m_parsingStatus = PARSING_PACKET_DONE;
        info.m_startLine.append(data, length);
        info.m_byteCounter += length;
        return UTILS_SUCCESS;
    }
    info.m_status = STAGE_START_LINE;
    info.m_startLine.append(data, static_cast<size_t>(cr - data));
    TrimHTTPText(info.m_startLine);
    if (info.m_startLine.compare(0, kStatusLinePrefixLength, kStatusLinePrefix) != 0) {
        info.m_isRequest = true;
        return ParseHTTPRequestLine(info);
    }
    return ParseHTTPStatusLine(info);
}

int HTTPParser::ParseHTTPRequestLine(HTTPInfo& info) {
    const std::string& line = info.m_startLine;
    const size_t methodEnd = line.find(' ');
    if (methodEnd == std::string::npos) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Space not found : 1!");
        return FailMessage(info);
    }
    info.m_requestType = GetRequestType(line.substr(0, methodEnd));
    const size_t uriEnd = line.find(' ', methodEnd + 1);
    if (uriEnd == std::string::npos) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Space not found : 2!");
        return FailMessage(info);
    }
    info.m_uri.assign(line, methodEnd + 1, uriEnd - methodEnd - 1);
    const size_t slash = line.find('/', uriEnd + 1);
    if (slash == std::string::npos) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Slash not found!");
        return FailMessage(info);
    }
    const size_t dot = line.find('.', slash + 1);
    if (dot == std::string::npos) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Dot not found!");
        return FailMessage(info);
    }
    const char* text = line.data();
    if (!ToInt(text + slash + 1, text + dot, info.m_majorVersion) ||
        !ToInt(text + dot + 1, text + line.size(), info.m_minorVersion)) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Invalid Val, can not convert to int");
        return FailMessage(info);
    }
    return UTILS_SUCCESS;
}

int HTTPParser::ParseHTTPStatusLine(HTTPInfo& info) {
    const std::string& line = info.m_startLine;
    const char* text = line.data();
    const size_t slash = line.find('/');
    if (slash == std::string::npos) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Slash not found!");
        return FailMessage(info);
    }
    const size_t dot = line.find('.', slash + 1);
    if (dot == std::string::npos) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Dot not found!");
        return FailMessage(info);
    }
    if (!ToInt(text + slash + 1, text + dot, info.m_majorVersion)) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Invalid Val, can not convert to int");
        return FailMessage(info);
    }
    const size_t versionEnd = line.find(' ', dot + 1);
    if (versionEnd == std::string::npos) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Space not found!");
        return FailMessage(info);
    }
    if (!ToInt(text + dot + 1, text + versionEnd, info.m_minorVersion)) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Invalid Val, can not convert to int");
        return FailMessage(info);
    }
    // The code ends at the space before the reason phrase, which must exist.
    const size_t codeBegin = line.find_first_not_of(' ', versionEnd + 1);
    const size_t codeEnd =
        codeBegin == std::string::npos ? std::string::npos : line.find(' ', codeBegin);
    if (codeEnd == std::string::npos) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Space not found!");
        return FailMessage(info);
    }
    uint64_t code = 0;
    if (!ToUnsigned64(text + codeBegin, text + codeEnd, code) ||
        code > std::numeric_limits<uint32_t>::max()) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Invalid Val, can not convert to unsigned");
        return FailMessage(info);
    }
    info.m_statusCode = static_cast<uint32_t>(code);
    return UTILS_SUCCESS;
}

int HTTPParser::ParseHTTPHeader(HTTPInfo& info, unsigned length) {
    std::string& buffer = info.m_headerBuffer;
    // Earlier packets held no complete blank line, but one may straddle the
    // boundary with this packet: resume the search just before it.
    size_t from = 0;
    if (info.m_byteCounter > kHeaderEndLength - 1)
        from = static_cast<size_t>(info.m_byteCounter - (kHeaderEndLength - 1));
    if (from > buffer.size())
        from = buffer.size();
    const long found =
        FindBytes(buffer.data() + from, buffer.size() - from, kHeaderEnd, kHeaderEndLength);
    if (found < 0) {
        ZEL_LOGD(ZEL_CORE_UTILS, "CRLF not yet received !");
        info.m_parsingStatus = PARSING_PACKET_DONE;
        info.m_byteCounter += length;
        return UTILS_SUCCESS;
    }
    const size_t headEnd = from + static_cast<size_t>(found) + kHeaderEndLength;
    buffer.resize(headEnd);

    const char* text = buffer.data();
    // The head is checked only now that all of it is here, so that where the
    // packets were cut cannot change the verdict. Lines end at CR LF and
    // nowhere else: a bare CR or LF inside a line is a control character and
    // fails it, as does every other one but HTAB in a value.
    const char* const end = text + headEnd - kLineEndLength;
    const long startLineLength = FindBytes(text, headEnd, kLineEnd, kLineEndLength);
    if (!IsCleanStartLine(text, static_cast<size_t>(startLineLength))) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Control character in the start line, message refused");
        return FailMessage(info);
    }
    const char* cursor = text + startLineLength + kLineEndLength;
    while (cursor < end) {
        const long lineLength =
            FindBytes(cursor, static_cast<size_t>(end - cursor), kLineEnd, kLineEndLength);
        if (lineLength < 0) {
            ZEL_LOGD(ZEL_CORE_UTILS, "Invalid Header!");
            return FailMessage(info);
        }
        const int rc = StoreHeader(info, cursor, static_cast<size_t>(lineLength));
        if (rc != UTILS_SUCCESS) {
            ZEL_LOGD(ZEL_CORE_UTILS, "StoreHeader failed!");
            FailMessage(info);
            return rc;
        }
        cursor += lineLength + kLineEndLength;
    }

    if (HasAmbiguousFraming(info.m_headers)) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Ambiguous message framing, message refused");
        return FailMessage(info);
    }
    if (GetEncodingType(info) == ENCODING_UNIDENTIFIED) {
        ZEL_LOGD(ZEL_CORE_UTILS, "UNIDENTIFIED encoding type!");
        info.m_parsingStatus = PARSING_PACKET_DONE;
        return UTILS_FAILURE;
    }
    info.m_status = STAGE_HEADERS_DONE;
    if (info.m_encoding == ENCODING_NONE) {
        info.m_parsingStatus = PARSING_PACKET_DONE;
        info.m_state = MESSAGE_COMPLETE;
        return UTILS_SUCCESS;
    }
    // Everything of the buffer up to the byte counter came in earlier
    // packets; the rest of the head is at the start of this one. A counter
    // that lags behind (a start line that failed earlier) must not push the
    // offset past the packet.
    const uint64_t bodyOffset = headEnd - info.m_byteCounter;
    info.m_byteCounter = 0;
    if (bodyOffset >= length) {
        info.m_parsingStatus = PARSING_PACKET_DONE;
        info.m_bodyOffset = 0;
    } else {
        info.m_bodyOffset = static_cast<uint32_t>(bodyOffset);
    }
    return UTILS_SUCCESS;
}

int HTTPParser::StoreHeader(HTTPInfo& info, const char* line, size_t lineLength) {
    // name ":" value, the name a token right up to the colon: no folded
    // continuation line, no space before the colon.
    const char* colon = line;
    const char* const lineEnd = line + lineLength;
    while (colon < lineEnd && IsTokenCharacter(static_cast<unsigned char>(*colon)))
        ++colon;
    if (colon == line || colon == lineEnd || *colon != ':') {
        ZEL_LOGD(ZEL_CORE_UTILS, "Header line is not a token name and a colon, message refused");
        return UTILS_FAILURE;
    }
    for (const char* c = colon + 1; c < lineEnd; ++c) {
        if (*c != '\t' && IsControlCharacter(static_cast<unsigned char>(*c))) {
            ZEL_LOGD(ZEL_CORE_UTILS, "Control character in a header value, message refused");
            return UTILS_FAILURE;
        }
    }
    const char* nameBegin = line;
    const char* nameEnd = colon;
    const char* valueBegin = colon + 1;
    const char* valueEnd = lineEnd;
    TrimRange(valueBegin, valueEnd);
    // Built in place rather than through SetHeader: one record and its two
    // strings, no temporaries.
    NameValue* header = new (std::nothrow) NameValue;
    if (header == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Push back failed!");
        return UTILS_FAILURE;
    }
    try {
        header->name.assign(nameBegin, nameEnd);
        header->value.assign(valueBegin, valueEnd);
        if (info.m_headers.empty())
            info.m_headers.reserve(kExpectedHeaderCount);
        info.m_headers.push_back(header);
    } catch (const std::exception&) {
        delete header;
        ZEL_LOGE(ZEL_CORE_UTILS, "Push back failed!");
        return UTILS_FAILURE;
    }
    return UTILS_SUCCESS;
}

HTTPBodyEncoding HTTPParser::GetEncodingType(HTTPInfo& info) {
    info.m_encoding = ENCODING_NONE;
    if (info.m_isRequest) {
        switch (info.m_requestType) {
            case HTTP_GET:
            case HTTP_HEAD:
            case HTTP_SUBSCRIBE:
            case HTTP_UNSUBSCRIBE:
            case HTTP_MSEARCH:
                return info.m_encoding;
            case HTTP_NOTIFY: {
                // SSDP advertisements never carry a body; GENA events do.
                const NameValue* nts = FindHeader(info.m_headers, kNtsHeader);
                if (nts != nullptr && (strcasecmp(nts->value.c_str(), kSsdpAlive) == 0 ||
                                       strcasecmp(nts->value.c_str(), kSsdpByeBye) == 0))
                    return info.m_encoding;
                break;
            }
            default:
                break;
        }
    } else if (FindHeader(info.m_headers, kUsnHeader) != nullptr) {
        // An SSDP search answer.
        return info.m_encoding;
    }

    const NameValue* transferEncoding = FindHeader(info.m_headers, kTransferEncodingHeader);
    if (transferEncoding != nullptr) {
        if (strcasecmp(transferEncoding->value.c_str(), kChunked) == 0) {
            info.m_encoding = ENCODING_CHUNKED;
        } else {
            ZEL_LOGD(ZEL_CORE_UTILS, "Un-supported Transfer-Encoding value!");
            info.m_encoding = ENCODING_UNIDENTIFIED;
            info.m_parsingStatus = PARSING_PACKET_DONE;
        }
        return info.m_encoding;
    }
    const NameValue* contentLength = FindHeader(info.m_headers, kContentLengthHeader);
    if (contentLength == nullptr) {
        info.m_encoding = ENCODING_UNTIL_CLOSE;
        return info.m_encoding;
    }
    if (contentLength->value.empty())
        return info.m_encoding;
    uint64_t value = 0;
    const char* text = contentLength->value.data();
    if (!ToUnsigned64(text, text + contentLength->value.size(), value)) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Invalid Val, can not convert to int");
        info.m_encoding = ENCODING_UNIDENTIFIED;
        info.m_parsingStatus = PARSING_PACKET_DONE;
        return info.m_encoding;
    }
    if (value != 0) {
        info.m_contentLength = value;
        info.m_encoding = ENCODING_CONTENT_LENGTH;
    }
    return info.m_encoding;
}

int HTTPParser::HandleBody(HTTPInfo& info, const char* data, unsigned length) {
    if (info.m_bodyOffset != 0) {
        const unsigned skip = info.m_bodyOffset < length ? info.m_bodyOffset : length;
        data += skip;
        length -= skip;
        info.m_bodyOffset = 0;
    }
    if (info.m_encoding == ENCODING_CHUNKED)
        return HandleChunkedBody(info, data, length);
    if (info.m_encoding == ENCODING_NONE) {
        // The message has no body; whatever follows its head is not ours.
        info.m_parsingStatus = PARSING_PACKET_DONE;
        return UTILS_SUCCESS;
    }
    return info.StoreData(data, length);
}

int HTTPParser::HandleChunkedBody(HTTPInfo& info, const char* data, unsigned length) {
    const uint32_t pending = info.m_pendingCrlf;
    info.m_pendingCrlf = 0;
    if (pending >= length) {
        info.m_pendingCrlf = pending - length;
        info.m_parsingStatus = PARSING_PACKET_DONE;
        return UTILS_SUCCESS;
    }
    data += pending;
    length -= pending;
    if (info.m_chunkRemainder != 0) {
        const uint32_t remainder = info.m_chunkRemainder;
        const int rc = StoreChunkRemainder(info, data, length);
        if (info.m_parsingStatus == PARSING_PACKET_DONE)
            return rc;
        // StoreChunkRemainder left the packet open only with at least one
        // byte beyond the chunk's data and its CR LF.
        data += remainder + kLineEndLength;
        length -= remainder + kLineEndLength;
    }
    return StoreChunkedData(info, data, length);
}

int HTTPParser::StoreChunkRemainder(HTTPInfo& info, const char* data, unsigned length) {
    const uint32_t remainder = info.m_chunkRemainder;
    info.m_chunkRemainder = 0;
    if (remainder <= length) {
        const int rc = info.StoreData(data, remainder);
        if (rc != UTILS_SUCCESS)
            return rc;
        const unsigned after = length - remainder;
        if (after <= kLineEndLength) {
            info.m_parsingStatus = PARSING_PACKET_DONE;
            info.m_pendingCrlf = static_cast<uint32_t>(kLineEndLength - after);
        }
        return UTILS_SUCCESS;
    }
    const int rc = info.StoreData(data, length);
    info.m_chunkRemainder = remainder - length;
    info.m_parsingStatus = PARSING_PACKET_DONE;
    return rc;
}

int HTTPParser::StoreChunkedData(HTTPInfo& info, const char* data, unsigned length) {
    for (;;) {
        if (length == 0) {
            info.m_parsingStatus = PARSING_PACKET_DONE;
            return UTILS_SUCCESS;
        }
        uint64_t chunkSize = 0;
        unsigned consumed = 0;
        int rc = FindChunkLength(info, data, length, chunkSize, consumed);
        if (info.m_parsingStatus == PARSING_PACKET_DONE) {
            ZEL_LOGD(ZEL_CORE_UTILS, "Did not receive enough data!");
            return rc;
        }
        if (chunkSize == 0) {
            ZEL_LOGD(ZEL_CORE_UTILS, "End of chunked encoded data!");
            info.m_parsingStatus = PARSING_PACKET_DONE;
            info.m_state = MESSAGE_COMPLETE;
            return UTILS_SUCCESS;
        }
        rc = StoreChunk(info, data + consumed, length - consumed, chunkSize);
        if (info.m_parsingStatus == PARSING_PACKET_DONE) {
            ZEL_LOGD(ZEL_CORE_UTILS, "End of current packet!");
            return rc;
        }
        // The chunk's data and its CR LF are all in this packet.
        rc = info.StoreData(data + consumed, static_cast<unsigned>(chunkSize));
        if (rc != UTILS_SUCCESS)
            return rc;
        const unsigned skip = consumed + static_cast<unsigned>(chunkSize) + kLineEndLength;
        data += skip;
        length -= skip;
    }
}

int HTTPParser::StoreChunk(HTTPInfo& info, const char* data, unsigned length, uint64_t chunkSize) {
    // Sizes are at most kMaxChunkSize (FindChunkLength), so these narrowings
    // and the sums below do not overflow.
    const uint64_t available = length;
    int rc = UTILS_SUCCESS;
    if (available == 0) {
        info.m_chunkRemainder = static_cast<uint32_t>(chunkSize);
    } else if (available < chunkSize) {
        rc = info.StoreData(data, length);
        info.m_chunkRemainder = static_cast<uint32_t>(chunkSize - available);
    } else if (available == chunkSize) {
        rc = info.StoreData(data, length);
        info.m_pendingCrlf = kLineEndLength;
    } else if (available == chunkSize + 1) {
        rc = info.StoreData(data, static_cast<unsigned>(chunkSize));
        info.m_pendingCrlf = 1;
    } else {
        return UTILS_SUCCESS;
    }
    info.m_parsingStatus = PARSING_PACKET_DONE;
    return rc;
}

namespace {

// Reads the hexadecimal size at the start of a chunk-size line the way
// strtol does (leading blanks, sign and "0x" accepted; an extension after
// ";" or any other trailing text ignored; no digits read as 0).
int ReadChunkSize(const char* text, size_t length, uint64_t& chunkSize) {
    char local[kChunkSizeTextBuffer];
    std::string heap;
    const char* terminated = local;
    if (length < sizeof(local)) {
        std::memcpy(local, text, length);
        local[length] = '\0';
    } else {
        heap.assign(text, length);
        terminated = heap.c_str();
    }
    errno = 0;
    const long value = std::strtol(terminated, nullptr, kHexBase);
    if (value < 0 || errno == ERANGE || static_cast<uint64_t>(value) > kMaxChunkSize) {
        ZEL_LOGD(ZEL_CORE_UTILS, "Invalid chunk size!");
        return UTILS_FAILURE;
    }
    chunkSize = static_cast<uint64_t>(value);
    return UTILS_SUCCESS;
}

}  // namespace

int HTTPParser::FindChunkLength(HTTPInfo& info, const char* data, unsigned length,
                                uint64_t& chunkSize, unsigned& consumed) {
    chunkSize = 0;
    consumed = 0;
    if (info.m_chunkSizeLine.empty()) {
        const long lineEnd = FindBytes(data, length, kLineEnd, kLineEndLength);
        if (lineEnd < 0) {
            info.m_chunkSizeLine.assign(data, length);
            info.m_parsingStatus = PARSING_PACKET_DONE;
            return UTILS_SUCCESS;
        }
        if (lineEnd == 0) {
            ZEL_LOGD(ZEL_CORE_UTILS, "Invalid CRLF!");
            return FailMessage(info);
        }
        consumed = static_cast<unsigned>(lineEnd) + kLineEndLength;
        if (ReadChunkSize(data, static_cast<size_t>(lineEnd), chunkSize) != UTILS_SUCCESS) {
            return FailMessage(info);
        }
        return UTILS_SUCCESS;
    }

    info.GetHex(data, length, consumed);
    if (info.m_parsingStatus == PARSING_PACKET_DONE)
        return UTILS_SUCCESS;
    // A line split right after its CR but holding nothing else is as empty as
    // a CR LF at the start of a packet.
    const bool empty = info.m_chunkSizeLine.empty();
    const int rc =
        empty ? UTILS_FAILURE
              : ReadChunkSize(info.m_chunkSizeLine.data(), info.m_chunkSizeLine.size(), chunkSize);
    info.m_chunkSizeLine.clear();
    if (rc != UTILS_SUCCESS) {
        if (empty)
            ZEL_LOGD(ZEL_CORE_UTILS, "Invalid CRLF!");
        return FailMessage(info);
    }
    return UTILS_SUCCESS;
}

}  // namespace utils
}  // namespace zel_upnp
