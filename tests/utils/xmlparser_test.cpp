#include <zel_upnp/utils.h>

#include <gtest/gtest.h>

#include <boost/thread/thread.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "utils/src/xmlparser/makedomtree.h"

namespace {

using namespace zel_upnp::utils;

// A media renderer description (about 6 KB, with an embedded device, icon
// and service lists); the fuzzer's seed corpus and the benchmark use it too.
const std::string& DeviceDescription() {
    static const std::string text = [] {
        std::ifstream in(
            std::string(ZEL_SOURCE_DIR) + "/fuzz/corpus/xml_parse_fuzz/device_description.xml",
            std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }();
    return text;
}

// Owns the NodeXml records a test receives.
struct NodeHolder {
    NodeXml* node = nullptr;
    ~NodeHolder() { XmlParserFreeNode(node); }
    NodeXml*& Take() {
        XmlParserFreeNode(node);
        node = nullptr;
        return node;
    }
};

// Walks the whole tree with the navigation calls only, as the description
// and action parsers do (down with GetChildNode, across with GetNextNode,
// up with StepBackToParentNode). One entry per element: a dot per level,
// the name, the child count when there are children, the attribute pairs,
// then ":" and the value.
std::string Summary(XmlParser& parser) {
    std::string out;
    NodeXml* node = nullptr;
    if (XmlParserGetFirstNode(parser, node) == 0)
        return out;
    for (int depth = 0;;) {
        int children = -1;
        XmlGetCurrentNodeChildCount(parser, children);
        out += std::string(depth, '.') + node->name;
        if (children > 0)
            out += "[" + std::to_string(children) + "]";
        for (size_t i = 0; i + 1 < node->attributes.size(); i += 2)
            out += " " + node->attributes[i] + "=" + node->attributes[i + 1];
        out += ":" + node->value + "|";
        XmlParserFreeNode(node);
        node = nullptr;
        if (XmlParserGetChildNode(parser, node) == 1) {
            ++depth;
            continue;
        }
        // No element child: back onto the node, then climb until a level
        // has a next sibling.
        XmlParserStepBackToParentNode(parser);
        while (XmlParserGetNextNode(parser, node) == 0) {
            if (depth-- == 0)
                return out;
            XmlParserStepBackToParentNode(parser);
        }
    }
}

// The summary of a document that must parse; "parse failed" otherwise.
std::string ParseSummary(const std::string& xml) {
    XmlParser parser;
    if (XmlParserGetDomMA(xml, parser) != 1)
        return "parse failed";
    const std::string summary = Summary(parser);
    XmlParserDestroy(parser);
    return summary;
}

// Drives the navigation calls one step at a time; each step answers the
// name of the node it reached, or "-" when it returned 0.
struct Cursor {
    XmlParser parser;
    NodeHolder h;
    explicit Cursor(const std::string& xml = "") {
        if (!xml.empty()) {
            EXPECT_EQ(XmlParserGetDomMA(xml, parser), 1) << xml;
        }
    }
    ~Cursor() { XmlParserDestroy(parser); }
    std::string Name(int rc) { return rc == 1 ? h.node->name : "-"; }
    std::string First() { return Name(XmlParserGetFirstNode(parser, h.Take())); }
    std::string Child() { return Name(XmlParserGetChildNode(parser, h.Take())); }
    std::string Next() { return Name(XmlParserGetNextNode(parser, h.Take())); }
};

TEST(XmlParser, AcceptedDocuments) {
    struct Case {
        const char* xml;
        const char* summary;
    };
    const Case cases[] = {
        {"<?xml version=\"1.0\"?>\n<!-- a <b> comment -->\n<root>x</root>\n", "root[1]:x|"},
        // End tags with white space, and names holding bytes that only
        // close a token in sequence.
        {"<a-><b/c></b/c ><d-x>t</ d-x></a->", "a-[2]:|.b/c:|.d-x[1]:t|"},
        // Attributes in document order, values trimmed; text never trimmed.
        {"<e  z = \" one \"\ta='2' m=\"x'y\" >  some text\n</e >",
         "e[1] z=one a=2 m=x'y:  some text\n|"},
        {"<e a=\"1\" b=\"2\" a=\"3\"/>", "e a=3 b=2:|"},
        // CDATA content never appears; text stops at the section's "<", and
        // text after it is a node of its own.
        {"<a><b>lead<![CDATA[<secret>]]>tail</b><c x='1'><![CDATA[ secret ]]>after</c>"
         "<d><![CDATA[secret]]></d></a>",
         "a[3]:|.b[2]:lead|.c[1] x=1:after|.d:|"},
        {"<a>x > y<!-- c --> z <?pi data?>w</a>", "a[3]:x > y|"},
        {"<first/><!-- between --><second>2</second>", "first:|second[1]:2|"},
        // Mixed content: the next-sibling step onto text ends the level.
        {"<a><b/>middle<c/></a>", "a[3]:|.b:|"},
        {"<p a=\"C:\\\">dir\\</p>", "p[1] a=C:\\:dir\\|"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseSummary(c.xml), c.summary) << c.xml;
}

// Every prefix of a document cut inside its root element is malformed, and
// the Nth node allocation failing, for every N the document needs, fails the
// parse: each must be refused without a crash or a leak (the sanitizer build
// checks the last part). Cut before the root, the prologue alone may parse,
// but holds no element.
TEST(XmlParser, EveryTruncationAndAllocationFailureFails) {
    const std::string doc = DeviceDescription();
    const size_t end = doc.find_last_not_of(" \r\n") + 1;
    const size_t rootStart = doc.find("<root");
    ASSERT_NE(rootStart, std::string::npos);
    for (size_t len = 1; len < end; ++len) {
        XmlParser parser;
        const int rc = XmlParserGetDomMA(doc.substr(0, len), parser);
        NodeXml* node = nullptr;
        ASSERT_TRUE(len > rootStart ? rc == 0 && parser.document == nullptr
                                    : rc == 0 || XmlParserGetFirstNode(parser, node) == 0)
            << "prefix " << len;
    }
    int failures = 0;
    for (int rc = 0; rc != 1; ++failures) {
        ASSERT_LT(failures, 10000) << "allocation failure never cleared";
        XmlParser parser;
        SetXmlNodeAllocationFailure(failures);
        rc = XmlParserGetDomMA(doc, parser);
        SetXmlNodeAllocationFailure(-1);
        EXPECT_TRUE(rc == 1 || parser.document == nullptr);
    }
    // Document, elements, text nodes and attributes: one allocation each.
    EXPECT_GT(failures, 200);
}

// Malformed documents are refused and hold nothing. Notes: a value ends only
// at its own quote; names compare exactly; a name ending in a byte that
// starts a closing sequence cannot be closed.
TEST(XmlParser, MalformedDocumentsAreRefused) {
    const char* const cases[] = {"<a><!-- never closed",
                                 "<a><![CDATA[ never closed",
                                 "<?xml version=\"1.0\"",
                                 "<>",
                                 "<a></a><",
                                 "<a b=\"1\"c=\"2\"/>",
                                 "<a \"b\"/>",
                                 "<a",
                                 "<a b/>",
                                 "<a b=\"1></a>",
                                 "<a b='1\"></a>",
                                 "<a b=1></a>",
                                 "<a>text",
                                 "<a>",
                                 "<a></>",
                                 "<a></a b>",
                                 "<a></a",
                                 "<a/ ></a/>",
                                 "<a]] ></a]]>",
                                 "<a></b>",
                                 "<A></a>",
                                 "<ab></a>",
                                 "<a></ab>",
                                 "</#document>",
                                 "</a>",
                                 "text",
                                 "<a/>trailing",
                                 "<a><b/>tail",
                                 "<a><b></b>",
                                 "<a><b/>",
                                 "<!DOCTYPE root><root/>",
                                 "<a><b/>\"quoted\"</a>",
                                 "<a><b/>></a>",
                                 "<a/>-->"};
    for (const char* xml : cases) {
        XmlParser parser;
        EXPECT_EQ(XmlParserGetDomMA(xml, parser), 0) << xml;
        EXPECT_TRUE(parser.document == nullptr && parser.workingCopy.empty()) << xml;
    }
}

TEST(XmlParser, EmptyInputAndEmbeddedNul) {
    XmlParser parser;
    EXPECT_EQ(XmlParserGetDomMA("", parser), 0);
    // The document ends at its first NUL byte.
    EXPECT_EQ(XmlParserGetDomMA(std::string("\0<a/>", 5), parser), 0);
    EXPECT_EQ(XmlParserGetDomMA(std::string("<a/>\0<", 6), parser), 1);
    EXPECT_EQ(parser.documentLength, 4);
}

// A hostile document nested far deeper than any stack allows.
TEST(XmlParser, DeepNestingIsIterative) {
    const int kDepth = 100000;
    std::string open, close;
    for (int i = 0; i < kDepth; ++i) {
        open += "<a>";
        close += "</a>";
    }
    Cursor c(open + "leaf" + close);
    int depth = c.First() == "a" ? 1 : 0;
    while (c.Child() == "a")
        ++depth;
    EXPECT_EQ(depth, kDepth);
    // Unclosed: the partial tree is freed on the failure path; a tree
    // dropped without destroy is freed too.
    XmlParser parser, dropped;
    EXPECT_EQ(XmlParserGetDomMA(open + "<b/>", parser), 0);
    ASSERT_EQ(XmlParserGetDomMA(open + close, dropped), 1);
}

// Parsers share nothing but the tokenizer's character table, filled on first
// use: threads that each own a parser may parse at the same time (the
// thread sanitizer build checks the table's first fill when ctest runs this
// test in a process of its own).
TEST(XmlParser, ParsersOnSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::vector<int> walked(kThreads, 0);
    boost::thread_group threads;
    for (int t = 0; t < kThreads; ++t) {
        boost::thread* thread = threads.create_thread([t, &walked] {
            for (int round = 0; round < kRounds; ++round) {
                XmlParser parser;
                if (XmlParserGetDomMA(t % 2 == 0 ? DeviceDescription() : "<a><b>1</b><c/></a>",
                                      parser) != 1)
                    return;
                const std::string summary = Summary(parser);
                walked[t] += static_cast<int>(std::count(summary.begin(), summary.end(), '|'));
                XmlParserDestroy(parser);
            }
        });
        SetNameOnThread(thread, PrepareThreadName("XmlTest"), t);
    }
    threads.join_all();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(walked[t], kRounds * (t % 2 == 0 ? 108 : 3)) << "thread " << t;
}

TEST(XmlEscape, KnownValues) {
    using Case = std::pair<const char*, const char*>;
    const Case escapes[] = {{"a\nb", "a&#10;b"},
                            {"\"&'<>\t\r\x01\x1f \x7f\xc3\xa9",
                             "&quot;&amp;&apos;&lt;&gt;&#9;&#13;&#1;&#31; \x7f\xc3\xa9"},
                            {"plain", "plain"}};
    for (const Case& c : escapes) {
        std::string out;
        ASSERT_EQ(XmlEscapeValue(c.first, out), UTILS_SUCCESS) << c.first;
        EXPECT_EQ(out, c.second) << c.first;
    }
    // One level only, a decoded byte is not decoded again; references that
    // stay as they are: value 0, not one byte, not a number, upper-case X,
    // no ";". Up to eight digits with leading zeros.
    const Case unescapes[] = {{"&#65;&#x42;", "AB"},
                              {"&lt;b&gt; &apos;q&apos; &quot;d&quot;&nbsp;x", "<b> 'q' \"d\" x"},
                              {"&amp;lt;", "&lt;"},
                              {"&#38;#65;", "&#65;"},
                              {"&#00000065;", "A"},
                              {"&#xFf;", "\xff"},
                              {"&#0; &#xZZ; &#12a; &#300; &#X41; &unknown; & &#x41",
                               "&#0; &#xZZ; &#12a; &#300; &#X41; &unknown; & &#x41"}};
    for (const Case& c : unescapes) {
        std::string out;
        ASSERT_EQ(XmlUnescapeValue(c.first, out), UTILS_SUCCESS) << c.first;
        EXPECT_EQ(out, c.second) << c.first;
    }
    std::string out = "kept";
    EXPECT_EQ(XmlEscapeValue("", out), UTILS_EMPTY_INPUT);
    EXPECT_EQ(XmlUnescapeValue("", out), UTILS_EMPTY_INPUT);
    EXPECT_EQ(out, "kept");
}

// Large hostile values stay linear: a megabyte of references, and a
// megabyte of reference openings with a single ";" at the very end.
TEST(XmlEscape, LargeUnescapeInputs) {
    constexpr size_t kCount = 200000;
    std::string many, openings, out;
    for (size_t i = 0; i < kCount; ++i) {
        many += "&#65;&lt;";
        openings += "&#1";
    }
    ASSERT_EQ(XmlUnescapeValue(many, out), UTILS_SUCCESS);
    ASSERT_EQ(out.size(), 2 * kCount);
    EXPECT_EQ(out.substr(0, 4), "A<A<");
    ASSERT_EQ(XmlUnescapeValue(openings + ";", out), UTILS_SUCCESS);
    // Only the last opening is close enough to the ";" to be a reference.
    EXPECT_EQ(out.size(), openings.size() - 2);
    EXPECT_EQ(out.back(), '\x01');
}

}  // namespace
