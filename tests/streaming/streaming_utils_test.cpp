#include "streaming/src/streaming_utils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace zel_upnp::streaming;

// One chunk of n 'x' bytes as framed on the wire.
std::string Chunk(std::size_t n) {
    char size[32];
    std::snprintf(size, sizeof(size), "%zX\r\n", n);
    return size + std::string(n, 'x') + "\r\n";
}

TEST(StreamingUtils, FramesChunksOfAtMost512KiB) {
    const std::string kEnd = "0\r\n\r\n";
    const std::string kMeg = Chunk(0x80000) + Chunk(0x80000) + Chunk(1);
    const std::vector<std::tuple<std::size_t, bool, std::string> > cases = {
        {1048577, false, kMeg},           {1048577, true, kMeg + kEnd}, {0, true, kEnd},
        {0x80000, false, Chunk(0x80000)}, {10, true, Chunk(10) + kEnd},
    };
    for (const auto& c : cases) {
        std::vector<char> data(std::get<0>(c) + 1, 'x');
        std::size_t framed_length = 0;
        char* framed = FrameChunks(data.data(), std::get<0>(c), std::get<1>(c), framed_length);
        ASSERT_NE(framed, nullptr);
        EXPECT_TRUE(std::string(framed, framed_length) == std::get<2>(c)) << std::get<0>(c);
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
