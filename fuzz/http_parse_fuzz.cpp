// Feeds one HTTP message to the parser in packets and exercises every reader
// of the result.
//
// Input layout: byte 0 gives k = byte % 8; the next k bytes are the sizes of
// the packets (each taken modulo 256 and plus 1), used in turn until the
// message is exhausted; k = 0 sends the message as one packet. The rest of
// the input is the message.
//
// Besides the sanitizers' findings, the target traps when a message that is
// taken without failure both whole and in packets gives two different
// results: where a packet boundary falls must not change what is parsed.
#include "utils/src/httpparser/httpparser.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

namespace {

using namespace zel_upnp::utils;

constexpr size_t kMaxSplitSizes = 8;
constexpr size_t kSplitSizeRange = 256;

struct Outcome {
    bool failed = false;
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int state = 0;
    int stage = 0;

    bool operator==(const Outcome& other) const {
        return failed == other.failed && startLine == other.startLine && headers == other.headers &&
               body == other.body && state == other.state && stage == other.stage;
    }
};

Outcome Feed(boost::shared_ptr<HTTPInfo>& info, const char* message, size_t length,
             const std::vector<size_t>& sizes) {
    Outcome outcome;
    size_t offset = 0;
    size_t turn = 0;
    while (offset < length) {
        size_t packet = length - offset;
        if (!sizes.empty()) {
            packet = std::min(packet, sizes[turn % sizes.size()]);
            ++turn;
        }
        const unsigned packetLength = static_cast<unsigned>(packet);
        if (Parse(message + offset, packetLength, info) != 0)
            outcome.failed = true;
        if (info->GetParsingStatus() != PARSING_PACKET_DONE)
            __builtin_trap();
        info->SetParsingStatus(PARSING_CONTINUE);
        offset += packet;
    }
    info->GetStartLine(outcome.startLine);
    std::vector<NameValue*> headers;
    info->GetHeader(headers);
    for (const NameValue* header : headers)
        outcome.headers.emplace_back(header->name, header->value);
    outcome.state = info->GetState();
    outcome.stage = info->GetStatus();
    return outcome;
}

void Exercise(HTTPInfo& info, Outcome& outcome, bool joinBody) {
    std::string value;
    info.GetHeaderValue("Content-Length", value);
    info.GetHeaderValue("NTS", value);
    std::string uri;
    info.GetURI(uri);
    int major = 0;
    int minor = 0;
    info.GetHTTPVersion(major, minor);
    if (joinBody) {
        unsigned size = 0;
        char* body = info.GetBody(size);
        if ((body == nullptr) != (size == 0))
            __builtin_trap();
        if (body != nullptr)
            outcome.body.assign(body, size);
        std::free(body);
    } else {
        info.ReadBody(outcome.body);
    }
    // Serialising rewrites the start line, so it comes after the outcome.
    std::string head;
    info.GetHeader(head);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t splitCount = data[0] % kMaxSplitSizes;
    if (size < 1 + splitCount)
        return 0;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < splitCount; ++i)
        sizes.push_back(data[1 + i] % kSplitSizeRange + 1);
    const char* message = reinterpret_cast<const char*>(data + 1 + splitCount);
    const size_t length = size - 1 - splitCount;

    boost::shared_ptr<HTTPInfo> split = boost::make_shared<HTTPInfo>();
    Outcome splitOutcome = Feed(split, message, length, sizes);
    Exercise(*split, splitOutcome, true);

    boost::shared_ptr<HTTPInfo> whole = boost::make_shared<HTTPInfo>();
    Outcome wholeOutcome = Feed(whole, message, length, {});
    Exercise(*whole, wholeOutcome, false);

    if (!splitOutcome.failed && !wholeOutcome.failed && !(splitOutcome == wholeOutcome))
        __builtin_trap();

    // A cleaned object parses the next message as a fresh one would.
    split->CleanInfo();
    Outcome again = Feed(split, message, length, {});
    Exercise(*split, again, false);
    if (!(again == wholeOutcome))
        __builtin_trap();
    return 0;
}
