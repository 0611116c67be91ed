// Helpers shared by the streaming server and clients: malloc'ed text, the
// header lists of the public head structures, and chunked framing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace streaming {

// Largest chunk of a chunked payload.
constexpr std::size_t kMaxChunkSize = 0x80000;
// Receive buffer of a server session's request body and of an asynchronous
// client.
constexpr std::size_t kReceiveBufferSize = 0x80000;
// Read size of a server session while its request head comes: most heads
// fit, a longer one takes a few reads (up to kMaxHeadSize), and a session
// that never gets a body never holds more than this.
constexpr std::size_t kHeadReadSize = 4096;
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

// Where a message head that ends in text ends (after its blank line), or
// npos when text holds no blank line yet. Used to find the bytes that came
// after an interim (1xx) head in the same read.
std::size_t HeadEnd(const std::string& text);

// Completion condition for Asio's composed writes: hand the socket as much
// of the buffer as is left on every call. Asio's own conditions stop each
// call at 64 KiB, which costs a system call and a reactor turn per 64 KiB.
struct WholeWrites {
    std::size_t operator()(const boost::system::error_code& error, std::size_t) const {
        return error ? 0 : std::numeric_limits<std::size_t>::max();
    }
};

// One write of a session: a head text or a payload, with the buffer it
// sends kept alive until its completion has run. A file payload sends text
// (its chunk head), then the file range, then suffix (the chunk's CR LF and
// the last chunk), tracking its progress in sent.
struct PendingWrite {
    PendingWrite() = default;
    PendingWrite(const PendingWrite&) = delete;
    PendingWrite& operator=(const PendingWrite&) = delete;
    // Frees the framing buffer, and the application's buffer once it was
    // handed over (with the last flag).
    ~PendingWrite();

    const char* Bytes() const;
    std::size_t Size() const;

    bool head = false;
    std::string text;      // the head
    void* data = nullptr;  // the application's payload bytes
    unsigned int length = 0;
    bool last = false;       // the message ends with this write
    bool owns_data = false;  // data is freed with this record
    bool read_body = false;  // a 100 head: the request body is read after it
    char* framed = nullptr;  // chunk-framed copy of data (malloc'ed)
    std::size_t framed_size = 0;
    int file = -1;  // the library's duplicate of the application's fd; closed with this record
    int64_t file_offset = 0;
    std::string suffix;
    std::size_t sent = 0;  // bytes of text, the file range and suffix written so far

    bool IsFile() const { return file >= 0; }
};

// Writes of one session, in the order the application asked for them; the
// front one is on the wire while writing is set. A bounded queue: an
// application that does not wait for on_write_done is refused, not buffered
// without end.
class WriteQueue {
  public:
    // Writes queued per session at most (a head, payloads, a 100 head).
    static constexpr std::size_t kMaxQueuedWrites = 16;

    // Completions not yet reported count against the bound: an application
    // that sends from another thread while its on_write_done is slow is
    // refused, not buffered.
    bool Full() const { return items_.size() + completions_.size() >= kMaxQueuedWrites; }
    bool Empty() const { return items_.empty(); }
    bool Writing() const { return writing_; }
    void Push(std::unique_ptr<PendingWrite> item) { items_.push_back(std::move(item)); }
    // The front write (the one on the wire while Writing()).
    PendingWrite& Front() { return *items_.front(); }
    // The front write, now marked as on the wire.
    PendingWrite& Start() {
        writing_ = true;
        return *items_.front();
    }
    // Takes the front write out after its completion.
    std::unique_ptr<PendingWrite> Finish();
    // The last queued write when it is a head that has not started.
    PendingWrite* UnstartedHead();
    // Drops every write not on the wire; the one on the wire stays until
    // its completion (its buffer may still be read by the socket).
    void DropWaiting();

    // Completions leave in the order the writes finished, one at a time,
    // whichever io thread finished them: the thread that finds no report
    // under way becomes the reporter and drains them (ReportNext until
    // false) outside the session mutex; any other leaves its completion to
    // it. Both under the session mutex. True when the caller must drain.
    bool AddCompletion(unsigned int length) {
        completions_.push_back(length);
        if (reporting_)
            return false;
        reporting_ = true;
        return true;
    }
    // The next completion to report; false, and the report over, when none
    // is left.
    bool ReportNext(unsigned int* length) {
        if (completions_.empty()) {
            reporting_ = false;
            return false;
        }
        *length = completions_.front();
        completions_.pop_front();
        return true;
    }

  private:
    std::deque<std::unique_ptr<PendingWrite> > items_;
    bool writing_ = false;
    std::deque<unsigned int> completions_;  // lengths of finished, unreported writes
    bool reporting_ = false;
};

// Lets the application callbacks of one session run only while the session
// is open, and lets whoever closes it wait for one already running, so that
// once Close has returned no callback of the session runs any more.
//
// A thread that is itself inside a streaming callback does not wait: a
// callback that stops its own session (or another whose callback stops this
// one) must not wait for itself or for its peer.
class CallbackGate {
  public:
    // Runs call unless the gate is closed; false when it was closed.
    template <class Call>
    bool Run(Call call) {
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            if (closed_)
                return false;
            ++running_;
        }
        Invoke(call);
        return true;
    }
    // Closes the gate; the first closer runs final_call (the session's last
    // callback, such as on_status 4) and true is returned to it. Then waits
    // for every callback still running, unless the caller is in one.
    template <class Call>
    bool Close(Call final_call) {
        bool first = false;
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            first = !closed_;
            closed_ = true;
            if (first)
                ++running_;
        }
        if (first)
            Invoke(final_call);
        WaitIdle();
        return first;
    }
    bool Close() {
        return Close([] {});
    }
    bool Closed();

  private:
    template <class Call>
    void Invoke(Call& call) {
        ++CallbackDepth();
        call();
        --CallbackDepth();
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (--running_ == 0)
            idle_.notify_all();
    }
    void WaitIdle();
    // Streaming callbacks the calling thread is inside of.
    static int& CallbackDepth();

    boost::mutex mutex_;  // closed_, running_
    boost::condition_variable idle_;
    bool closed_ = false;
    int running_ = 0;
};

}  // namespace streaming
}  // namespace zel_upnp
