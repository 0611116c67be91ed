#include <zel_upnp/utils.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "utils/src/httpparser/httpparser.h"

namespace {

using namespace zel_upnp::utils;

const char kChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

// Feeds the packets as a receiver does; returns the first non-zero result.
int Feed(boost::shared_ptr<HTTPInfo>& info, const std::vector<std::string>& packets) {
    for (const std::string& packet : packets) {
        const int rc = Parse(packet.data(), static_cast<unsigned>(packet.size()), info);
        info->SetParsingStatus(PARSING_CONTINUE);
        if (rc != 0)
            return rc;
    }
    return 0;
}

boost::shared_ptr<HTTPInfo> Parsed(const std::vector<std::string>& packets) {
    boost::shared_ptr<HTTPInfo> info = boost::make_shared<HTTPInfo>();
    EXPECT_EQ(0, Feed(info, packets)) << packets[0];
    return info;
}

std::string BodyOf(HTTPInfo& info) {
    unsigned size = 0;
    char* block = info.GetBody(size);
    const std::string body = block == nullptr ? std::string() : std::string(block, size);
    std::free(block);
    return body;
}

// Body allocator that fails from its first call on while armed.
class FailingBodyAllocator {
  public:
    FailingBodyAllocator() {
        SetBodyAllocator([](size_t) -> void* { return nullptr; });
    }
    ~FailingBodyAllocator() { SetBodyAllocator(nullptr); }
};

// Start lines rebuilt from their fields: reasons from the table, or from
// the code's class outside it; a method outside the table (they compare
// case-sensitively) comes back as UNKNOWN.
TEST(HttpInfo, StartLineIsRebuiltFromItsFields) {
    const std::pair<std::string, const char*> cases[] = {
        {"HTTP/1.1 100 Whatever", "HTTP/1.1 100 Continue"},
        {"HTTP/1.1 200 x", "HTTP/1.1 200 OK"},
        {"HTTP/1.1 199 x", "HTTP/1.1 199 Continue"},
        {"HTTP/1.1 418 x", "HTTP/1.1 418 Bad Request"},
        {"HTTP/1.1 599 x", "HTTP/1.1 599 Internal Server Error"},
        {"HTTP/1.1 600 x", "HTTP/1.1 600 UNKNOWN"},
        {"HTTP/1.1 99 x", "HTTP/1.1 99 UNKNOWN"},
        {"  SUBSCRIBE /evt HTTP/1.0 ", "SUBSCRIBE /evt HTTP/1.0"},
        {"GET  HTTP/1.0", "GET  HTTP/1.0"},
        {"FETCH /a HTTP/1.1", "UNKNOWN /a HTTP/1.1"},
        {"M-SEARCH * HTTP/1.1", "M-SEARCH * HTTP/1.1"},
        {"m-search * HTTP/1.1", "UNKNOWN * HTTP/1.1"}};
    for (const auto& c : cases) {
        boost::shared_ptr<HTTPInfo> info = Parsed({c.first + "\r\nUSN: u\r\n\r\n"});
        info->FormatStartLine();
        std::string line;
        info->GetStartLine(line);
        EXPECT_EQ(std::string(c.second) + "\r\n", line);
    }
}

TEST(HttpInfo, HeadSerialisation) {
    boost::shared_ptr<HTTPInfo> info = Parsed(
        {"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNTS:ssdp:byebye\r\nEXT:\r\n\r\n"});
    std::string head = "stale";
    ASSERT_EQ(0, info->GetHeader(head));
    EXPECT_EQ(
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNTS: ssdp:byebye\r\nEXT: \r\n\r\n",
        head);
    // The start line keeps the CR LF that serialisation gave it.
    std::string line;
    info->GetStartLine(line);
    EXPECT_EQ("NOTIFY * HTTP/1.1\r\n", line);

    HTTPInfo fresh;
    ASSERT_EQ(0, fresh.GetHeader(head));
    EXPECT_EQ("HTTP/0.0 0 UNKNOWN\r\n\r\n", head);
}

// Large bodies arriving in many packets, in every body mode, come out whole
// and in order, once, through both readers.
TEST(HttpInfo, LargeBodiesInManyPackets) {
    constexpr size_t kBodySize = 300000;
    constexpr size_t kPacket = 1460;
    constexpr size_t kChunk = 0x1388;
    static_assert(kBodySize % kChunk == 0, "whole chunks only");
    const char kChunkSizeLine[] = "1388\r\n";
    std::string payload;
    for (size_t i = 0; i < kBodySize; ++i)
        payload += static_cast<char>(i * 7 % 251);
    std::string chunked = kChunkedHead;
    for (size_t offset = 0; offset < payload.size(); offset += kChunk)
        chunked += kChunkSizeLine + payload.substr(offset, kChunk) + "\r\n";
    const std::string messages[] = {
        "POST /c HTTP/1.1\r\nContent-Length: " + std::to_string(kBodySize) + "\r\n\r\n" + payload,
        "HTTP/1.1 200 OK\r\n\r\n" + payload, chunked + "0\r\n\r\n"};
    for (bool readBody : {true, false}) {
        for (const std::string& message : messages) {
            std::vector<std::string> packets;
            for (size_t offset = 0; offset < message.size(); offset += kPacket)
                packets.push_back(message.substr(offset, kPacket));
            boost::shared_ptr<HTTPInfo> info = Parsed(packets);
            EXPECT_EQ(kBodySize, info->GetProcessedBodySize());
            std::string body = "prefix:";
            if (readBody)
                info->ReadBody(body);  // appends
            else
                body += BodyOf(*info);
            EXPECT_TRUE(body == "prefix:" + payload) << message.substr(0, 40);
            // Handed out once: both readers leave nothing behind.
            EXPECT_EQ(0u, info->GetProcessedBodySize());
            unsigned size = 5;
            EXPECT_EQ(nullptr, info->GetBody(size));
            EXPECT_EQ(0u, size);
        }
    }
}

// The last packet is parsed with the allocator failing: every body mode
// reports it and fails the message, keeping what was stored before.
TEST(HttpInfo, BodyAllocationFailureFailsTheMessage) {
    const std::string chunked = kChunkedHead;
    const std::pair<std::vector<std::string>, unsigned> cases[] = {
        {{"POST /c HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"}, 0},
        {{"HTTP/1.1 200 OK\r\n\r\nabc"}, 0},
        {{chunked + "3\r\nabc\r\n0\r\n\r\n"}, 0},
        {{chunked + "3\r\nab"}, 0},
        {{chunked + "3\r\nabc"}, 0},
        // The first block is full, so the next piece needs an allocation.
        {{"HTTP/1.1 200 OK\r\n\r\nabc", "def"}, 3},
        {{chunked + "6\r\nabc", "def\r\n0\r\n\r\n"}, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.back());
        boost::shared_ptr<HTTPInfo> info =
            Parsed(std::vector<std::string>(c.first.begin(), c.first.end() - 1));
        {
            FailingBodyAllocator failing;
            const std::string& last = c.first.back();
            EXPECT_EQ(1, Parse(last.data(), static_cast<unsigned>(last.size()), info));
        }
        EXPECT_EQ(PARSING_PACKET_DONE, info->GetParsingStatus());
        EXPECT_EQ(MESSAGE_ERROR, info->GetState());
        EXPECT_EQ(c.second, info->GetProcessedBodySize());
    }
}

}  // namespace
