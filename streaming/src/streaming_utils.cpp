#include "streaming/src/streaming_utils.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/lexical_cast.hpp>

#include "utils/src/common/descriptor_budget.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace streaming {

const char kLastChunk[] = "0\r\n\r\n";

namespace {

// Replaces *field with a copy of value; false on allocation failure.
bool SetField(char** field, const std::string& value) {
    char* copy = MallocString(value);
    if (copy == nullptr)
        return false;
    std::free(*field);
    *field = copy;
    return true;
}

int64_t ToLength(const std::string& value) {
    try {
        return boost::lexical_cast<int64_t>(value);
    } catch (const boost::bad_lexical_cast&) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "bad conversion.. making length 0!");
        return 0;
    }
}

struct TextField {
    const char* name;
    char** field;
};

// Moves the headers named in fields (and Content-Length into *length) out of
// headers; the rest stay in order.
bool TakeFields(std::vector<utils::NameValue*>& headers, const TextField* fields, std::size_t count,
                int64_t* length) {
    bool ok = true;
    std::vector<utils::NameValue*> rest;
    for (utils::NameValue* header : headers) {
        bool taken = false;
        if (boost::algorithm::iequals(header->name, "Content-Length")) {
            *length = ToLength(header->value);
            taken = true;
        }
        for (std::size_t i = 0; !taken && i < count; ++i) {
            if (boost::algorithm::iequals(header->name, fields[i].name)) {
                ok = SetField(fields[i].field, header->value) && ok;
                taken = true;
            }
        }
        if (!taken)
            rest.push_back(header);
    }
    headers.swap(rest);
    return ok;
}

}  // namespace

char* MallocString(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

bool IsChunked(const char* value) {
    return value != nullptr && boost::algorithm::iequals(value, "chunked");
}

bool GetHeaderValues(std::vector<utils::NameValue*>& headers, ReqHeaderInfo& head) {
    const TextField fields[] = {
        {"Accept", &head.accept},
        {"Connection", &head.connection},
        {"Content-Type", &head.content_type},
        {"Date", &head.date},
        {"Host", &head.host},
        {"Transfer-Encoding", &head.transfer_encoding},
        {"Expect", &head.expect},
        {"Last-Modified", &head.last_modified},
        {"From", &head.from},
        {"User-Agent", &head.user_agent},
    };
    return TakeFields(headers, fields, sizeof(fields) / sizeof(fields[0]), &head.content_length);
}

bool GetHeaderValues(std::vector<utils::NameValue*>& headers, ResHeaderInfo& head) {
    const TextField fields[] = {
        {"Connection", &head.connection},
        {"Content-Language", &head.content_language},
        {"Content-Type", &head.content_type},
        {"Date", &head.date},
        {"Transfer-Encoding", &head.transfer_encoding},
        {"Accept-Ranges", &head.accept_ranges},
        {"Last-Modified", &head.last_modified},
        {"Server", &head.server},
    };
    return TakeFields(headers, fields, sizeof(fields) / sizeof(fields[0]), &head.content_length);
}

bool MakeArgumentList(const std::vector<utils::NameValue*>& headers, stArgument** list) {
    stArgument** tail = list;
    *list = nullptr;
    for (const utils::NameValue* header : headers) {
        stArgument* node = static_cast<stArgument*>(std::calloc(1, sizeof(stArgument)));
        if (node == nullptr)
            return false;
        *tail = node;
        tail = &node->next;
        node->name = MallocString(header->name);
        node->value = MallocString(header->value);
        if (node->name == nullptr || node->value == nullptr)
            return false;
    }
    return true;
}

void AppendHeaderLine(const char* name, const char* value, std::string& text) {
    if (value == nullptr)
        return;
    text.append(name).append(": ").append(value).append("\r\n");
}

void AppendArgumentLines(const stArgument* list, std::string& text) {
    for (const stArgument* node = list; node != nullptr; node = node->next) {
        if (node->name != nullptr)
            AppendHeaderLine(node->name, node->value != nullptr ? node->value : "", text);
    }
}

void AppendContentLength(int64_t length, const char* transfer_encoding, std::string& text) {
    if (length == 0 || IsChunked(transfer_encoding))
        return;
    char line[48];
    std::snprintf(line, sizeof(line), "Content-Length: %lld\r\n", static_cast<long long>(length));
    text.append(line);
}

std::size_t HeadEnd(const std::string& text) {
    const std::size_t crlf = text.find("\r\n\r\n");
    const std::size_t lf = text.find("\n\n");
    std::size_t end = std::string::npos;
    if (crlf != std::string::npos)
        end = crlf + 4;
    if (lf != std::string::npos && lf + 2 < end)
        end = lf + 2;
    return end;
}

PendingWrite::~PendingWrite() {
    utils::descriptor_budget::CloseDuplicate(file);
    std::free(framed);
    if (owns_data)
        std::free(data);
}

const char* PendingWrite::Bytes() const {
    if (head)
        return text.data();
    return framed != nullptr ? framed : static_cast<const char*>(data);
}

std::size_t PendingWrite::Size() const {
    if (head)
        return text.size();
    return framed != nullptr ? framed_size : length;
}

constexpr std::size_t WriteQueue::kMaxQueuedWrites;

std::unique_ptr<PendingWrite> WriteQueue::Finish() {
    writing_ = false;
    if (items_.empty())
        return std::unique_ptr<PendingWrite>();
    std::unique_ptr<PendingWrite> item = std::move(items_.front());
    items_.pop_front();
    return item;
}

PendingWrite* WriteQueue::UnstartedHead() {
    if (items_.empty() || !items_.back()->head || (writing_ && items_.size() == 1))
        return nullptr;
    return items_.back().get();
}

void WriteQueue::DropWaiting() {
    while (items_.size() > (writing_ ? 1u : 0u))
        items_.pop_back();
}

bool CallbackGate::Closed() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return closed_;
}

void CallbackGate::WaitIdle() {
    if (CallbackDepth() > 0)
        return;
    boost::unique_lock<boost::mutex> lock(mutex_);
    while (running_ > 0)
        idle_.wait(lock);
}

int& CallbackGate::CallbackDepth() {
    thread_local int depth = 0;
    return depth;
}

char* FrameChunks(const char* data, std::size_t length, bool last, std::size_t& framed_length) {
    // Per chunk: at most 8 hex digits and two CR LF pairs around the bytes.
    constexpr std::size_t kChunkOverhead = 8 + 4;
    const std::size_t chunks = (length + kMaxChunkSize - 1) / kMaxChunkSize;
    const std::size_t capacity =
        length + chunks * kChunkOverhead + (last ? kLastChunkLength : 0) + 1;
    char* framed = static_cast<char*>(std::malloc(capacity));
    if (framed == nullptr)
        return nullptr;
    char* out = framed;
    for (std::size_t offset = 0; offset < length; offset += kMaxChunkSize) {
        const std::size_t size = std::min(kMaxChunkSize, length - offset);
        out += std::snprintf(out, kChunkOverhead, "%zX\r\n", size);
        std::memcpy(out, data + offset, size);
        out += size;
        *out++ = '\r';
        *out++ = '\n';
    }
    if (last) {
        std::memcpy(out, kLastChunk, kLastChunkLength);
        out += kLastChunkLength;
    }
    framed_length = static_cast<std::size_t>(out - framed);
    return framed;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

void UnEscapeURI(char* uri) {
    if (uri == nullptr)
        return;
    char* out = uri;
    for (const char* in = uri; *in != '\0';) {
        if (in[0] == '%' && HexValue(in[1]) >= 0 && HexValue(in[2]) >= 0) {
            *out++ = static_cast<char>(HexValue(in[1]) * 16 + HexValue(in[2]));
            in += 3;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

}  // namespace streaming
}  // namespace zel_upnp
