#include "streaming/src/streaming_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace zel_upnp::streaming;

struct FrameCase {
    std::size_t length;
    bool last;
    std::string expected_framing;  // size lines and trailers, body bytes left out
};

// The framed bytes with every chunk's data replaced by '#'.
std::string Skeleton(const char* framed, std::size_t framed_length) {
    std::string out;
    std::size_t pos = 0;
    while (pos < framed_length) {
        const char* line_end =
            static_cast<const char*>(std::memchr(framed + pos, '\n', framed_length - pos));
        if (line_end == nullptr)
            return out + "<unterminated>";
        const std::string line(framed + pos, line_end + 1);
        out += line;
        pos = static_cast<std::size_t>(line_end - framed) + 1;
        const std::size_t size = std::strtoul(line.c_str(), nullptr, 16);
        if (size == 0)
            break;
        out += "#";
        pos += size;
        out += std::string(framed + pos, std::min<std::size_t>(2, framed_length - pos));
        pos += 2;
    }
    return out + std::string(framed + pos, framed_length - pos);
}

TEST(StreamingUtils, FramesChunksOfAtMost512KiB) {
    const std::vector<FrameCase> cases = {
        {1048577, false, "80000\r\n#\r\n80000\r\n#\r\n1\r\n#\r\n"},
        {1048577, true, "80000\r\n#\r\n80000\r\n#\r\n1\r\n#\r\n0\r\n\r\n"},
        {0, true, "0\r\n\r\n"},
        {0x80000, false, "80000\r\n#\r\n"},
        {10, true, "A\r\n#\r\n0\r\n\r\n"},
    };
    for (const FrameCase& c : cases) {
        std::vector<char> data(c.length + 1, 'x');
        std::size_t framed_length = 0;
        char* framed = FrameChunks(data.data(), c.length, c.last, framed_length);
        ASSERT_NE(framed, nullptr);
        EXPECT_EQ(Skeleton(framed, framed_length), c.expected_framing) << c.length;
        std::free(framed);
    }
}

TEST(StreamingUtils, UnEscapeURIDecodesOnlyCompleteEscapes) {
    const std::vector<std::pair<std::string, std::string> > cases = {
        {"/a%20b", "/a b"},     {"/%41%6a%6A", "/Ajj"}, {"/trail%", "/trail%"}, {"/x%2", "/x%2"},
        {"/%zz%2g", "/%zz%2g"}, {"%%41", "%A"},         {"/%2F..%2f", "//../"}, {"", ""},
    };
    for (const auto& c : cases) {
        std::vector<char> uri(c.first.begin(), c.first.end());
        uri.push_back('\0');
        UnEscapeURI(uri.data());
        EXPECT_EQ(std::string(uri.data()), c.second) << c.first;
    }
    UnEscapeURI(nullptr);  // ignored
}

// Named fields leave the list (the rest stays for the extra headers); a
// Content-Length that is no number counts as 0.
TEST(StreamingUtils, GetHeaderValuesTakesNamedFields) {
    zel_upnp::utils::NameValue h[] = {{"HOST", "a"}, {"Content-Length", "12x"}, {"Host", "b"}};
    std::vector<zel_upnp::utils::NameValue*> headers = {&h[0], &h[1], &h[2]};
    ReqHeaderInfo head = ReqHeaderInfo();
    head.content_length = 7;
    ASSERT_TRUE(GetHeaderValues(headers, head));
    EXPECT_EQ(head.content_length, 0);
    EXPECT_STREQ(head.host, "b");  // a later duplicate replaces the earlier one
    EXPECT_TRUE(headers.empty());
    std::free(head.host);
}

}  // namespace
