// Helpers shared by the streaming server and clients: malloc'ed text, the
// header lists of the public head structures, and chunked framing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace streaming {

// Largest chunk of a chunked payload.
constexpr std::size_t kMaxChunkSize = 0x80000;
// Receive buffer of a server session and of an asynchronous client.
constexpr std::size_t kReceiveBufferSize = 0x80000;
// Socket send and receive buffers.
constexpr int kSocketBufferSize = 0x200000;
// A message head longer than this is refused (400 on the server, a parse
// failure on the clients): a peer that never ends its head cannot grow a
// session past it.
constexpr std::size_t kMaxHeadSize = 64 * 1024;
// Bytes a peer may send after the head without one body byte coming of them
// (chunk-size lines, chunk extensions, padding) before the message is taken
// as malformed: the parser keeps an unfinished chunk-size line whole.
constexpr std::size_t kMaxFramingWithoutBody = 64 * 1024;
// The last-chunk marker of a chunked body.
extern const char kLastChunk[];
constexpr std::size_t kLastChunkLength = 5;

// A malloc'ed copy of text; null when the allocation fails.
char* MallocString(const std::string& text);
// True when value is "chunked", ignoring case.
bool IsChunked(const char* value);

// Named fields of a request head and their header names; filled by
// GetHeaderValues, which removes the headers it consumed from headers.
// Later duplicates replace earlier ones. Returns false when an allocation
// failed (what was set stays in head for the caller to free).
bool GetHeaderValues(std::vector<utils::NameValue*>& headers, ReqHeaderInfo& head);
bool GetHeaderValues(std::vector<utils::NameValue*>& headers, ResHeaderInfo& head);
// The headers as a new stArgument list, in order; false on allocation
// failure (*list then holds what was built).
bool MakeArgumentList(const std::vector<utils::NameValue*>& headers, stArgument** list);
// Appends "name: value\r\n" for every node of list.
void AppendArgumentLines(const stArgument* list, std::string& text);
// Appends "name: value\r\n" when value is set.
void AppendHeaderLine(const char* name, const char* value, std::string& text);
// The Content-Length line is written when the length is not 0 and the
// message is not chunked.
void AppendContentLength(int64_t length, const char* transfer_encoding, std::string& text);

// Frames length bytes of data as chunks of at most kMaxChunkSize bytes, with
// the last-chunk marker after a last payload, into one malloc'ed block.
// Null on allocation failure.
char* FrameChunks(const char* data, std::size_t length, bool last, std::size_t& framed_length);

// Tracks the bytes a peer sent after a message head that gave no body byte;
// true once kMaxFramingWithoutBody is passed.
class FramingGuard {
  public:
    bool Exceeded(std::size_t bytes_read, std::size_t body_bytes) {
        if (body_bytes > 0)
            idle_ = 0;
        else
            idle_ += bytes_read;
        return idle_ > kMaxFramingWithoutBody;
    }
    void Reset() { idle_ = 0; }

  private:
    std::size_t idle_ = 0;
};

}  // namespace streaming
}  // namespace zel_upnp
