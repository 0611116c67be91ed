// The incremental HTTP parser behind HTTPInfo. Internal to the library: every
// receiver (servers, outgoing client, streaming sessions) feeds it the bytes
// of one message as they arrive.
//
// Resuming: Parse may be called again with the next packet as long as the
// last call returned 0 and the state is MESSAGE_INCOMPLETE; the receiver
// resets the parsing status to PARSING_CONTINUE between calls. Once the state
// is MESSAGE_COMPLETE further bytes are ignored; after MESSAGE_ERROR every
// call fails again. A non-zero return means the message is to be dropped (or
// CleanInfo'd and the object reused). Body bytes are copied out of the
// packet, so the caller may reuse its buffer as soon as Parse returns. The
// parser sets no size limit; receivers bound what they feed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace utils {

// Feeds one packet of length bytes of the message held by info. Returns 0
// when the packet was taken (message complete or more bytes needed), non-zero
// on failure. Always leaves the parsing status at PARSING_PACKET_DONE.
int Parse(const char* data, const unsigned& length, boost::shared_ptr<HTTPInfo>& info);

// Offset of the first occurrence of pattern within the length bytes at range,
// or -1. An empty pattern, a null range or a range shorter than the pattern
// finds nothing.
long FindBytes(const char* range, size_t length, const char* pattern, size_t patternLength);

// Allocator of the stored body pieces and of the block GetBody hands out;
// they are released with free. Replaceable so that tests can make it fail;
// null restores malloc. Not to be changed while messages are being parsed.
typedef void* (*BodyAllocator)(size_t size);
void SetBodyAllocator(BodyAllocator allocator);

// Removes space, tab, form feed, vertical tab, LF and CR at both ends.
void TrimHTTPText(std::string& text);

// The stages of Parse, each working on one packet (data, length). They
// return 0 or the failure code and report through the parsing status whether
// the packet is finished with. Exposed for the unit tests.
class HTTPParser {
  public:
    // Parse after its argument checks.
    static int ParsePacket(HTTPInfo& info, const char* data, unsigned length);
    static int HandleHeader(HTTPInfo& info, const char* data, unsigned length);
    static int HandleFirstLine(HTTPInfo& info, const char* data, unsigned length);
    static int ParseHTTPRequestLine(HTTPInfo& info);
    static int ParseHTTPStatusLine(HTTPInfo& info);
    static int ParseHTTPHeader(HTTPInfo& info, unsigned length);
    static int StoreHeader(HTTPInfo& info, const char* line, size_t lineLength);
    static HTTPBodyEncoding GetEncodingType(HTTPInfo& info);
    static int HandleBody(HTTPInfo& info, const char* data, unsigned length);
    static int HandleChunkedBody(HTTPInfo& info, const char* data, unsigned length);
    static int StoreChunkRemainder(HTTPInfo& info, const char* data, unsigned length);
    static int StoreChunkedData(HTTPInfo& info, const char* data, unsigned length);
    static int StoreChunk(HTTPInfo& info, const char* data, unsigned length, uint64_t chunkSize);
    static int FindChunkLength(HTTPInfo& info, const char* data, unsigned length,
                               uint64_t& chunkSize, unsigned& consumed);
    // Malformed start, header or chunk-size line: PARSING_PACKET_DONE and
    // MESSAGE_ERROR; returns 1.
    static int FailMessage(HTTPInfo& info);
};

}  // namespace utils
}  // namespace zel_upnp
