#include <zel_upnp/utils.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using zel_upnp::utils::StringUtils;
using zel_upnp::utils::UTILS_SUCCESS;

TEST(StringUtils, Trim) {
    std::string s = " \t\f\v\n\rMX: \x01 3 \t\f\v\n\r";
    StringUtils::TrimString(s);
    EXPECT_EQ(s, "MX: \x01 3");
}

TEST(StringUtils, EscapeURI) {
    // Escaped: the printable ASCII punctuation and space, plus DEL. Letters,
    // digits, control bytes and bytes from 128 up pass unchanged.
    for (int b = 0; b < 256; ++b) {
        const std::string in(1, static_cast<char>(b));
        std::string out = "previous";
        StringUtils::EscapeURI(in, out);
        const bool alnum =
            (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        char expected[4];
        std::snprintf(expected, sizeof(expected), "%%%02X", b);
        EXPECT_EQ(out, b >= 0x20 && b <= 0x7f && !alnum ? expected : in) << "byte " << b;
    }
    // The output is replaced, not appended to.
    std::string out = "stale";
    StringUtils::EscapeURI("My Device-1_a~b/c?d=e", out);
    EXPECT_EQ(out, "My%20Device%2D1%5Fa%7Eb%2Fc%3Fd%3De");

    out = "untouched";
    StringUtils::EscapeURI("", out);
    EXPECT_EQ(out, "untouched");
}

TEST(StringUtils, GetAbsoluteUri) {
    struct Case {
        const char* uri;
        const char* base;
        const char* expected;
    };
    const Case cases[] = {
        {"/desc.xml", "", "http://192.168.1.20:49152/desc.xml"},
        {"/icon.png", "http://h:1/", "http://h:1/icon.png"},
        {"/icon.png", "http://h:1/dev", "http://h:1/dev/icon.png"},
        // An http URL is kept whatever its case.
        {"http://a:2/x", "http://h:1", "http://a:2/x"},
        {"HtTp://a:2/x", "", "HtTp://a:2/x"},
        // A relative uri joins the base, or the default base, with a slash.
        {"scpd.xml", "http://h:1/dev", "http://h:1/dev/scpd.xml"},
        {"scpd.xml", "", "http://10.0.0.9:80/dev/scpd.xml"},
        // Only the plain http prefix counts as absolute.
        {"https://a/x", "http://h:1", "http://h:1/https://a/x"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(StringUtils::GetAbsoluteUri(c.uri, c.base, "192.168.1.20", 49152,
                                              "http://10.0.0.9:80/dev", out),
                  UTILS_SUCCESS);
        EXPECT_EQ(out, c.expected) << c.uri << " on " << c.base;
    }
}

TEST(StringUtils, ParseURI) {
    // A null expectation: the parse fails and leaves the outputs alone.
    const std::pair<std::string, const char*> cases[] = {
        {"http://192.168.1.20:49152/dev/desc.xml?x=1:2", "192.168.1.20|49152|/dev/desc.xml?x=1:2"},
        {"http://10.0.0.1:8080", "10.0.0.1|8080|/"},
        {"http://[fd00::1]:8080/path", "fd00::1|8080|/path"},
        {"http://[fe80::1%25eth0]:80", "fe80::1%eth0|80|/"},
        {"10.0.0.1:80/x", nullptr},
        {"http://10.0.0.1/x", nullptr},
        {"", nullptr},
        {"http://h:abc/x", nullptr},
        {"http://h:/x", nullptr},
        {"http://h:80x", nullptr},
        {"http://h:8 0/", nullptr},
        {"http://h:99999999999/x", nullptr},
        {"http://h:65536/x", nullptr},
        {"http://h:-1/x", nullptr},
        {"http://[fd00::1:80/x", nullptr},
        {"http://[fd00::1]80/x", nullptr},
        {"http://[fd00::1]/x", nullptr},
        {"http://[fd00::g]:80/", nullptr},
        {"http://[10.0.0.1]:80/", nullptr},
        {"http://[fd00::1%25eth0]:80/", nullptr},
        {"http://[fe80::1%eth0]:80/", nullptr},
        {"http://[fe80::1%25]:80/", nullptr},
        {"http://[fe80::1%25eth0%0D%0AX:y]:80/", nullptr},
        {"http://[fe80::1%25eth0/../x]:80/", nullptr},
        {"http://10.0.0.1:80/a\r\nX: y", nullptr},
        {std::string("http://10.0.0.1:80/a\0b", 22), nullptr},
    };
    for (const auto& c : cases) {
        std::string host = "h0";
        int port = -7;
        std::string path = "p0";
        EXPECT_EQ(StringUtils::ParseURI(c.first, host, port, path), c.second != nullptr ? 1 : 0)
            << c.first;
        EXPECT_EQ(host + "|" + std::to_string(port) + "|" + path,
                  c.second != nullptr ? c.second : "h0|-7|p0")
            << c.first;
    }
    EXPECT_EQ(StringUtils::HostPort("10.0.0.1", 80), "10.0.0.1:80");
    EXPECT_EQ(StringUtils::HostPort("fd00::1", 8080), "[fd00::1]:8080");
    EXPECT_EQ(StringUtils::HostPort("fe80::1%eth0", 8080), "[fe80::1]:8080");
}

}  // namespace
