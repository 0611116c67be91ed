#include <zel_upnp/utils.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "support/log_capture.h"

namespace {

using zel_upnp::utils::StringUtils;
using zel_upnp::utils::UTILS_INVALID_INPUT;
using zel_upnp::utils::UTILS_SUCCESS;

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, FreeDeleter>;

// ---------------------------------------------------------------------------
// GetValue, StrDup
// ---------------------------------------------------------------------------

TEST(StringUtilsCopy, GetValueCopiesWithTerminatingNul) {
    const std::string in("uuid:1234");
    MallocText copy(StringUtils::GetValue(in));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), in.c_str());
    EXPECT_STREQ(copy.get(), "uuid:1234");
}

TEST(StringUtilsCopy, GetValueKeepsEmbeddedNulBytes) {
    const std::string in("ab\0cd", 5);
    MallocText copy(StringUtils::GetValue(in));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy.get(), "ab\0cd\0", 6), 0);
}

TEST(StringUtilsCopy, GetValueOfEmptyStringIsNull) {
    EXPECT_EQ(StringUtils::GetValue(std::string()), nullptr);
}

TEST(StringUtilsCopy, StrDupCopies) {
    const char in[] = "friendly name";
    MallocText copy(StringUtils::StrDup(in));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), in);
    EXPECT_STREQ(copy.get(), in);
}

TEST(StringUtilsCopy, StrDupRefusesNullAndEmptyWithLog) {
    zel_test::LogCapture capture;
    EXPECT_EQ(StringUtils::StrDup(nullptr), nullptr);
    EXPECT_EQ(StringUtils::StrDup(""), nullptr);
    EXPECT_EQ(capture.Count("Invalid input"), 2u);
    EXPECT_TRUE(capture.Contains("Invalid input", "ZEL_CORE_UTILS"));
}

// ---------------------------------------------------------------------------
// TrimString
// ---------------------------------------------------------------------------

TEST(StringUtilsTrim, RemovesEveryWhitespaceKindFromBothEnds) {
    std::string s = " \t\f\v\n\rMX: 3 \t\f\v\n\r";
    StringUtils::TrimString(s);
    EXPECT_EQ(s, "MX: 3");
}

TEST(StringUtilsTrim, KeepsInnerWhitespaceAndOtherBytes) {
    std::string s = "\x01 a \t b\x7f";
    StringUtils::TrimString(s);
    EXPECT_EQ(s, "\x01 a \t b\x7f");
}

TEST(StringUtilsTrim, AllWhitespaceAndEmptyBecomeEmpty) {
    std::string blank = " \r\n\t ";
    StringUtils::TrimString(blank);
    EXPECT_EQ(blank, "");
    std::string empty;
    StringUtils::TrimString(empty);
    EXPECT_EQ(empty, "");
}

TEST(StringUtilsTrim, OneSidedWhitespace) {
    std::string leading = "\n\nvalue";
    StringUtils::TrimString(leading);
    EXPECT_EQ(leading, "value");
    std::string trailing = "value\r\n";
    StringUtils::TrimString(trailing);
    EXPECT_EQ(trailing, "value");
}

// ---------------------------------------------------------------------------
// EscapeURI
// ---------------------------------------------------------------------------

bool IsAsciiAlnum(int b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}

TEST(StringUtilsEscape, EveryByteFollowsTheRule) {
    // Escaped: the printable ASCII punctuation and space, plus DEL. Letters,
    // digits, control bytes and bytes from 128 up pass unchanged.
    for (int b = 0; b < 256; ++b) {
        const std::string in(1, static_cast<char>(b));
        std::string out = "previous";
        StringUtils::EscapeURI(in, out);
        const bool escaped = b >= 0x20 && b <= 0x7f && !IsAsciiAlnum(b);
        if (escaped) {
            char expected[4];
            std::snprintf(expected, sizeof(expected), "%%%02X", b);
            EXPECT_EQ(out, expected) << "byte " << b;
        } else {
            EXPECT_EQ(out, in) << "byte " << b;
        }
    }
}

TEST(StringUtilsEscape, KnownExamples) {
    std::string out;
    StringUtils::EscapeURI("My Device-1_a~b/c?d=e", out);
    EXPECT_EQ(out, "My%20Device%2D1%5Fa%7Eb%2Fc%3Fd%3De");
}

TEST(StringUtilsEscape, ReplacesOutputRatherThanAppending) {
    std::string out = "stale";
    StringUtils::EscapeURI("a b", out);
    EXPECT_EQ(out, "a%20b");
}

TEST(StringUtilsEscape, EmptyInputLogsAndLeavesOutput) {
    zel_test::LogCapture capture;
    std::string out = "untouched";
    StringUtils::EscapeURI("", out);
    EXPECT_EQ(out, "untouched");
    EXPECT_TRUE(capture.Contains("Empty String", "ZEL_CORE_UTILS"));
}

// ---------------------------------------------------------------------------
// GetHashValue
// ---------------------------------------------------------------------------

struct HashCase {
    std::string in;
    const char* expected;
};

TEST(StringUtilsHash, KnownValues) {
    const HashCase cases[] = {
        {"a", "97"},
        {"ab", "3299"},
        {"hello", "120084546"},
        // Bytes from 128 up are sign-extended before the exclusive-or.
        {"\x80", "4294967168"},
        {"\xff", "4294967295"},
        {"a\x80", "4294963969"},
        // Long enough for the multiplication to wrap many times.
        {"uuid:4d696e69-444c-164e-9d41-001ec92f0a5c", "3302243408"},
    };
    for (const HashCase& c : cases) {
        std::string out = "unset";
        EXPECT_EQ(StringUtils::GetHashValue(c.in, out), 1) << c.in;
        EXPECT_EQ(out, c.expected) << c.in;
    }
}

TEST(StringUtilsHash, EmptyInputAndZeroHashLeaveOutput) {
    std::string out = "untouched";
    EXPECT_EQ(StringUtils::GetHashValue("", out), 0);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(StringUtils::GetHashValue(std::string(1, '\0'), out), 0);
    EXPECT_EQ(out, "untouched");
    // (1 * 33) ^ '!' (33) is 0.
    EXPECT_EQ(StringUtils::GetHashValue("\x01!", out), 0);
    EXPECT_EQ(out, "untouched");
}

// ---------------------------------------------------------------------------
// GetAbsoluteUri
// ---------------------------------------------------------------------------

int Resolve(const std::string& uri, const std::string& base, std::string& out,
            const std::string& defaultBase = "http://10.0.0.9:80/dev") {
    return StringUtils::GetAbsoluteUri(uri, base, "192.168.1.20", 49152, defaultBase, out);
}

TEST(StringUtilsAbsoluteUri, AbsolutePathWithoutBaseUsesAddressAndPort) {
    std::string out;
    EXPECT_EQ(Resolve("/desc.xml", "", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "http://192.168.1.20:49152/desc.xml");
}

TEST(StringUtilsAbsoluteUri, AbsolutePathAgainstBaseWithAndWithoutSlash) {
    std::string out;
    EXPECT_EQ(Resolve("/icon.png", "http://h:1/", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "http://h:1/icon.png");
    EXPECT_EQ(Resolve("/icon.png", "http://h:1/dev", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "http://h:1/dev/icon.png");
}

TEST(StringUtilsAbsoluteUri, HttpUrlIsKeptWhateverItsCase) {
    std::string out;
    EXPECT_EQ(Resolve("http://a:2/x", "http://h:1", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "http://a:2/x");
    EXPECT_EQ(Resolve("HtTp://a:2/x", "", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "HtTp://a:2/x");
}

TEST(StringUtilsAbsoluteUri, RelativeUriJoinsBaseOrDefaultWithSlash) {
    std::string out;
    EXPECT_EQ(Resolve("scpd.xml", "http://h:1/dev", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "http://h:1/dev/scpd.xml");
    EXPECT_EQ(Resolve("scpd.xml", "", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "http://10.0.0.9:80/dev/scpd.xml");
    // Only the plain http prefix counts as absolute.
    EXPECT_EQ(Resolve("https://a/x", "http://h:1", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "http://h:1/https://a/x");
}

TEST(StringUtilsAbsoluteUri, EmptyUriOrAddressIsInvalid) {
    zel_test::LogCapture capture;
    std::string out = "untouched";
    EXPECT_EQ(StringUtils::GetAbsoluteUri("", "http://h", "1.2.3.4", 80, "", out),
              UTILS_INVALID_INPUT);
    EXPECT_EQ(StringUtils::GetAbsoluteUri("/x", "http://h", "", 80, "", out), UTILS_INVALID_INPUT);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(capture.Count("Invalid input"), 2u);
}

// ---------------------------------------------------------------------------
// ParseURI
// ---------------------------------------------------------------------------

struct ParsedUri {
    std::string host = "h0";
    int port = -7;
    std::string path = "p0";
};

int Parse(const std::string& url, ParsedUri& p) {
    return StringUtils::ParseURI(url, p.host, p.port, p.path);
}

TEST(StringUtilsParseUri, HostPortAndPath) {
    ParsedUri p;
    ASSERT_EQ(Parse("http://192.168.1.20:49152/dev/desc.xml?x=1:2", p), 1);
    EXPECT_EQ(p.host, "192.168.1.20");
    EXPECT_EQ(p.port, 49152);
    EXPECT_EQ(p.path, "/dev/desc.xml?x=1:2");
}

TEST(StringUtilsParseUri, MissingPathBecomesSlash) {
    ParsedUri p;
    ASSERT_EQ(Parse("http://10.0.0.1:8080", p), 1);
    EXPECT_EQ(p.host, "10.0.0.1");
    EXPECT_EQ(p.port, 8080);
    EXPECT_EQ(p.path, "/");
}

TEST(StringUtilsParseUri, WithoutSchemeSeparatorOrColonFailsQuietly) {
    zel_test::LogCapture capture;
    ParsedUri p;
    EXPECT_EQ(Parse("10.0.0.1:80/x", p), 0);
    EXPECT_EQ(Parse("http://10.0.0.1/x", p), 0);
    EXPECT_EQ(Parse("", p), 0);
    EXPECT_EQ(p.host, "h0");
    EXPECT_EQ(p.port, -7);
    EXPECT_EQ(p.path, "p0");
    EXPECT_FALSE(capture.Contains("Invalid String"));
}

TEST(StringUtilsParseUri, PortThatIsNotAnIntegerLogsInvalidString) {
    const char* bad[] = {"http://h:abc/x",         "http://h:/x",  "http://h:", "http://h:80x",
                         "http://h:99999999999/x", "http://h:8 0/"};
    for (const char* url : bad) {
        zel_test::LogCapture capture;
        ParsedUri p;
        EXPECT_EQ(Parse(url, p), 0) << url;
        EXPECT_TRUE(capture.Contains("Invalid String", "ZEL_CORE_UTILS")) << url;
        EXPECT_EQ(p.host, "h0") << url;
        EXPECT_EQ(p.port, -7) << url;
        EXPECT_EQ(p.path, "p0") << url;
    }
}

}  // namespace
