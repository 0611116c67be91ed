// The fast companion of http_parse_fuzz: each input is parsed whole and once
// more cut at up to three points, instead of in many packet patterns, so
// that a day of fuzzing reaches far more messages.
//
// Input layout: byte 0 gives k = byte % 4 cut points; the next 2k bytes are
// the cut offsets (little-endian, taken modulo the message length plus one,
// sorted). The rest of the input is the message.
//
// Traps when the cut message and the whole one are both taken but parse
// differently, and when
// a head taken without failure hands a reader a control character: no start
// line control character at all, no header name that is not a token, no CR,
// LF or NUL in a value.
#include "utils/src/httpparser/httpparser.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

namespace {

using namespace zel_upnp::utils;

constexpr size_t kMaxCuts = 4;

struct Outcome {
    bool failed = false;
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int state = 0;

    bool operator==(const Outcome& o) const {
        return failed == o.failed && startLine == o.startLine && headers == o.headers &&
               body == o.body && state == o.state;
    }
};

Outcome Run(const char* message, size_t length, const std::vector<size_t>& cuts) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    Outcome outcome;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(length);
    for (size_t end : ends) {
        if (end <= from)
            continue;
        const unsigned packet = static_cast<unsigned>(end - from);
        if (Parse(message + from, packet, info) != 0)
            outcome.failed = true;
        info->SetParsingStatus(PARSING_CONTINUE);
        from = end;
    }
    info->GetStartLine(outcome.startLine);
    std::vector<NameValue*> headers;
    info->GetHeader(headers);
    for (const NameValue* header : headers)
        outcome.headers.emplace_back(header->name, header->value);
    info->ReadBody(outcome.body);
    outcome.state = info->GetState();
    return outcome;
}

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool IsToken(const std::string& name) {
    if (name.empty())
        return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && std::strchr("!#$%&'*+-.^_`|~", c) == nullptr)
            return false;
    }
    return true;
}

void CheckClean(const Outcome& outcome) {
    if (outcome.failed || outcome.state != MESSAGE_COMPLETE)
        return;
    for (unsigned char c : outcome.startLine) {
        if (IsControl(c))
            __builtin_trap();
    }
    for (const auto& header : outcome.headers) {
        if (!IsToken(header.first))
            __builtin_trap();
        for (unsigned char c : header.second) {
            if (c != '\t' && IsControl(c))
                __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t cutCount = data[0] % kMaxCuts;
    const size_t skip = 1 + 2 * cutCount;
    if (size < skip)
        return 0;
    const char* message = reinterpret_cast<const char*>(data + skip);
    const size_t length = size - skip;
    std::vector<size_t> cuts;
    for (size_t i = 0; i < cutCount; ++i) {
        const size_t raw = data[1 + 2 * i] | (static_cast<size_t>(data[2 + 2 * i]) << 8);
        cuts.push_back(raw % (length + 1));
    }
    std::sort(cuts.begin(), cuts.end());

    const Outcome whole = Run(message, length, {});
    CheckClean(whole);
    const Outcome cut = Run(message, length, cuts);
    if (!whole.failed && !cut.failed && !(whole == cut))
        __builtin_trap();
    return 0;
}
