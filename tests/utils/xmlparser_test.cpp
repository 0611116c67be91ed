#include <zel_upnp/utils.h>

#include <gtest/gtest.h>

#include <boost/thread/thread.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "utils/src/xmlparser/makedomtree.h"
#include "utils/src/xmlparser/xmlparsedata.h"

namespace {

using namespace zel_upnp::utils;

// A media renderer description (about 6 KB, with an embedded device, icon
// and service lists) as a device would serve it; the fuzzer's seed corpus
// and the benchmark use the same file.
std::string LoadDeviceDescription() {
    std::string path = __FILE__;
    path = path.substr(0, path.find_last_of('/')) +
           "/../../fuzz/corpus/xml_parse_fuzz/device_description.xml";
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string& DeviceDescription() {
    static const std::string text = LoadDeviceDescription();
    return text;
}

const char kSoapAction[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
    "<s:Body>\r\n"
    "<u:SetAVTransportURI xmlns:u=\"urn:schemas-upnp-org:service:AVTransport:1\">\r\n"
    "<InstanceID>0</InstanceID>\r\n"
    "<CurrentURI>http://192.168.10.5:8200/MediaItems/22.mp3?a=1&amp;b=2</CurrentURI>\r\n"
    "<CurrentURIMetaData>&lt;DIDL-Lite xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/"
    "&quot;&gt;&lt;item id=&quot;22&quot;&gt;&lt;dc:title&gt;Rock &amp;amp; Roll&lt;/dc:title&gt;"
    "&lt;/item&gt;&lt;/DIDL-Lite&gt;</CurrentURIMetaData>\r\n"
    "</u:SetAVTransportURI>\r\n"
    "</s:Body>\r\n"
    "</s:Envelope>\r\n";

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

std::string FailureLine(int number) {
    char text[64];
    std::snprintf(text, sizeof(text), "Xml Parser Failure, Error %03d", number);
    return text;
}

// Parses xml expecting failure number; checks the log lines and that the
// parser was left destroyed.
void ExpectParseFailure(const std::string& xml, int number) {
    SCOPED_TRACE("document: " + xml);
    zel_test::LogCapture log;
    XmlParser parser;
    EXPECT_EQ(XmlParserGetDomMA(xml, parser), 0);
    EXPECT_TRUE(log.Contains(FailureLine(number), "ZEL_CORE_UTILS"));
    EXPECT_EQ(log.Count("Xml Parser Failure"), 1u);
    EXPECT_TRUE(log.Contains("XMLParserInit failed"));
    EXPECT_EQ(parser.document, nullptr);
    EXPECT_TRUE(parser.workingCopy.empty());
    EXPECT_EQ(parser.cursor, nullptr);
    EXPECT_EQ(parser.documentLength, 0);
    EXPECT_EQ(parser.elementDepth, 0);
}

// One visited element: its depth below the root, and its copy.
struct Visited {
    int depth;
    NodeXml node;
};

// Walks the whole tree with the navigation calls only, the way the
// description and action parsers do: down with GetChildNode, across with
// GetNextNode, back up with StepBackToParentNode.
std::vector<Visited> WalkAll(XmlParser& parser) {
    std::vector<Visited> out;
    NodeXml* node = nullptr;
    if (XmlParserGetFirstNode(parser, node) == 0)
        return out;
    int depth = 0;
    for (;;) {
        out.push_back({depth, *node});
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
            if (depth == 0)
                return out;
            XmlParserStepBackToParentNode(parser);
            --depth;
        }
    }
}

std::vector<std::string> ValuesNamed(const std::vector<Visited>& nodes, const std::string& name) {
    std::vector<std::string> values;
    for (const Visited& v : nodes) {
        if (v.node.name == name)
            values.push_back(v.node.value);
    }
    return values;
}

// ---------------------------------------------------------------------------
// Whole documents.
// ---------------------------------------------------------------------------

TEST(XmlParser, DeviceDescriptionWalk) {
    ASSERT_GT(DeviceDescription().size(), 5000u) << "sample description not found";
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA(DeviceDescription(), parser), 1);
    std::vector<Visited> nodes = WalkAll(parser);
    ASSERT_FALSE(nodes.empty());

    EXPECT_EQ(nodes[0].node.name, "root");
    EXPECT_EQ(nodes[0].depth, 0);
    const std::vector<std::string> rootAttrs = {"xmlns",      "urn:schemas-upnp-org:device-1-0",
                                                "xmlns:dlna", "urn:schemas-dlna-org:device-1-0",
                                                "configId",   "42"};
    EXPECT_EQ(nodes[0].node.attributes, rootAttrs);

    EXPECT_EQ(ValuesNamed(nodes, "serviceType"),
              (std::vector<std::string>{"urn:schemas-upnp-org:service:RenderingControl:1",
                                        "urn:schemas-upnp-org:service:ConnectionManager:1",
                                        "urn:schemas-upnp-org:service:AVTransport:1",
                                        "urn:schemas-upnp-org:service:RenderingControl:1",
                                        "urn:schemas-upnp-org:service:ConnectionManager:1",
                                        "urn:schemas-upnp-org:service:AVTransport:1"}));
    EXPECT_EQ(ValuesNamed(nodes, "url"),
              (std::vector<std::string>{"/icons/panel_48.png", "/icons/panel_120.png",
                                        "/icons/panel_48.jpg", "/icons/panel_120.jpg",
                                        "/icons/zone_48.png"}));
    EXPECT_EQ(ValuesNamed(nodes, "UDN"),
              (std::vector<std::string>{"uuid:6f1c2a7e-0d3b-4c55-9a1e-2b7c4d8e9f10",
                                        "uuid:6f1c2a7e-0d3b-4c55-9a1e-2b7c4d8e9f11"}));
    // Entities stay as they are in the tree.
    EXPECT_EQ(ValuesNamed(nodes, "friendlyName")[0], "Living Room Panel [TV] &amp; Speakers");
    // Elements holding elements carry no value, even with white space around them.
    EXPECT_EQ(ValuesNamed(nodes, "serviceList"), (std::vector<std::string>{"", ""}));

    int services = 0, icons = 0, devices = 0, maxDepth = 0;
    for (const Visited& v : nodes) {
        services += v.node.name == "service";
        icons += v.node.name == "icon";
        devices += v.node.name == "device";
        maxDepth = std::max(maxDepth, v.depth);
    }
    EXPECT_EQ(services, 6);
    EXPECT_EQ(icons, 5);
    EXPECT_EQ(devices, 2);
    // root/device/deviceList/device/serviceList/service/serviceType
    EXPECT_EQ(maxDepth, 6);

    for (const Visited& v : nodes) {
        if (v.node.name == "ext:capability" && v.node.attributes[1] == "lowLatencyAudio") {
            EXPECT_EQ(v.node.attributes,
                      (std::vector<std::string>{"name", "lowLatencyAudio", "enabled", "false"}));
        }
        if (v.node.name == "ext:capabilities") {
            std::string version;
            NodeXml copy = v.node;
            EXPECT_EQ(XmlGetAttributeChar(&copy, "version", version), 1);
            EXPECT_EQ(version, "2");
        }
    }
    XmlParserDestroy(parser);
}

TEST(XmlParser, SoapEnvelopeWalk) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA(kSoapAction, parser), 1);
    NodeHolder h;

    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "s:Envelope");
    std::string value, name;
    EXPECT_EQ(XmlGetAttribute(h.node, "xmlns", value), 1);
    EXPECT_EQ(value, "http://schemas.xmlsoap.org/soap/envelope/");
    EXPECT_EQ(XmlGetAttributeName(h.node, "xmlns", name), 1);
    EXPECT_EQ(name, "xmlns:s");
    EXPECT_EQ(XmlGetAttributeChar(h.node, "s:encodingStyle", value), 1);
    EXPECT_EQ(value, "http://schemas.xmlsoap.org/soap/encoding/");

    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "s:Body");
    EXPECT_EQ(XmlParserGetNextNode(parser, h.Take()), 0);
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);  // back on s:Envelope
    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "u:SetAVTransportURI");
    EXPECT_EQ(XmlGetAttributeName(h.node, "xmlns:", name), 1);
    EXPECT_EQ(name, "xmlns:u");

    int count = -1;
    ASSERT_EQ(XmlGetCurrentNodeChildCount(parser, count), 1);
    EXPECT_EQ(count, 3);  // white-space runs between the arguments are no nodes

    std::vector<std::pair<std::string, std::string>> args;
    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    do {
        args.emplace_back(h.node->name, h.node->value);
    } while (XmlParserGetNextNode(parser, h.Take()) == 1);
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[0], (std::pair<std::string, std::string>("InstanceID", "0")));
    EXPECT_EQ(args[1].second, "http://192.168.10.5:8200/MediaItems/22.mp3?a=1&amp;b=2");

    std::string uri, meta;
    ASSERT_EQ(XmlUnescapeValue(args[1].second, uri), UTILS_SUCCESS);
    EXPECT_EQ(uri, "http://192.168.10.5:8200/MediaItems/22.mp3?a=1&b=2");
    ASSERT_EQ(XmlUnescapeValue(args[2].second, meta), UTILS_SUCCESS);
    EXPECT_EQ(meta,
              "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\"><item "
              "id=\"22\"><dc:title>Rock &amp; Roll</dc:title></item></DIDL-Lite>");

    // Back to the action element, then its parent, then the envelope.
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
    ASSERT_EQ(XmlGetCurrentNodeChildCount(parser, count), 1);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
    int type = 0;
    ASSERT_EQ(XmlGetCurNodeFirstChildType(parser, type), 1);
    EXPECT_EQ(type, XML_ELEMENT_NODE);
    XmlParserDestroy(parser);
}

// Every prefix of a document cut inside its root element is malformed:
// each must be refused without a crash or a leak. Cut before the root, the
// prologue alone may parse, but holds no element.
TEST(XmlParser, EveryTruncationOfDescriptionFails) {
    const std::string doc = DeviceDescription();
    const size_t end = doc.find_last_not_of(" \r\n") + 1;
    const size_t rootStart = doc.find("<root");
    ASSERT_NE(rootStart, std::string::npos);
    for (size_t len = 1; len < end; ++len) {
        XmlParser parser;
        const int rc = XmlParserGetDomMA(doc.substr(0, len), parser);
        if (len > rootStart) {
            ASSERT_EQ(rc, 0) << "prefix " << len;
            ASSERT_EQ(parser.document, nullptr);
        } else if (rc == 1) {
            NodeXml* node = nullptr;
            ASSERT_EQ(XmlParserGetFirstNode(parser, node), 0) << "prefix " << len;
        }
    }
    XmlParser parser;
    EXPECT_EQ(XmlParserGetDomMA(doc.substr(0, end), parser), 1);
}

// The Nth node allocation fails, for every N the document needs: every
// failure path must log, fail and give back what it built (the sanitizer
// build checks the last part).
TEST(XmlParser, AllocationFailureAtEveryNode) {
    int failures = 0;
    for (int n = 0;; ++n) {
        zel_test::LogCapture log;
        XmlParser parser;
        SetXmlNodeAllocationFailure(n);
        const int rc = XmlParserGetDomMA(DeviceDescription(), parser);
        SetXmlNodeAllocationFailure(-1);
        if (rc == 1) {
            EXPECT_FALSE(log.Contains("AllocateANode failed"));
            break;
        }
        ++failures;
        EXPECT_TRUE(log.Contains("AllocateANode failed"));
        EXPECT_TRUE(log.Contains("XMLParserInit failed"));
        EXPECT_EQ(parser.document, nullptr);
        ASSERT_LT(n, 10000) << "allocation failure never cleared";
    }
    // Document, elements, text nodes and attributes: one allocation each.
    EXPECT_GT(failures, 200);
}

TEST(XmlParser, InjectedFailuresUseTheirNumbers) {
    struct Case {
        const char* xml;
        int failAt;
        const char* expected;
    };
    const Case cases[] = {
        {"<a/>", 0, "CreateDocumentDomDocument failed"},
        {"<a/>", 1, "Xml Parser Failure, Error 005"},
        {"<a>t</a>", 2, "Xml Parser Failure, Error 011"},
        {"<a><b/>t</a>", 3, "Xml Parser Failure, Error 017"},
        {"<a x='1'/>", 2, "CreateAttributeDomDocument failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml);
        zel_test::LogCapture log;
        XmlParser parser;
        SetXmlNodeAllocationFailure(c.failAt);
        EXPECT_EQ(XmlParserGetDomMA(c.xml, parser), 0);
        SetXmlNodeAllocationFailure(-1);
        EXPECT_TRUE(log.Contains(c.expected));
        EXPECT_TRUE(log.Contains("AllocateANode failed"));
    }
}

// ---------------------------------------------------------------------------
// Malformed documents and their failure numbers.
// ---------------------------------------------------------------------------

TEST(XmlParser, FailureNumbers) {
    ExpectParseFailure("<a><!-- never closed", 1);
    ExpectParseFailure("<a><![CDATA[ never closed", 2);
    ExpectParseFailure("<?xml version=\"1.0\"", 3);
    ExpectParseFailure("<>", 4);
    ExpectParseFailure("<a></a><", 4);
    ExpectParseFailure("<a b=\"1\"c=\"2\"/>", 6);  // no white space between attributes
    ExpectParseFailure("<a \"b\"/>", 6);
    ExpectParseFailure("<a", 6);
    ExpectParseFailure("<a b/>", 7);
    ExpectParseFailure("<a b=\"1></a>", 8);
    ExpectParseFailure("<a b='1\"></a>", 8);  // a value ends only at its own quote
    ExpectParseFailure("<a b=1></a>", 9);
    ExpectParseFailure("<a>text", 10);
    ExpectParseFailure("<a></>", 12);
    ExpectParseFailure("<a></a b>", 13);
    ExpectParseFailure("<a></a", 13);
    // A name that ends in a byte starting a closing sequence cannot be
    // closed: the sequence takes the end tag's ">".
    ExpectParseFailure("<a/ ></a/>", 13);
    ExpectParseFailure("<a? ></a?>", 13);
    ExpectParseFailure("<a]] ></a]]>", 13);
    ExpectParseFailure("<a></b>", 14);
    ExpectParseFailure("<a><b></a></b>", 14);
    ExpectParseFailure("<A></a>", 14);  // names compare exactly
    ExpectParseFailure("<ab></a>", 14);
    ExpectParseFailure("<a></ab>", 14);
    ExpectParseFailure("</#document>", 14);
    ExpectParseFailure("</a>", 14);
    ExpectParseFailure("text", 15);
    ExpectParseFailure("<a/>trailing", 15);
    ExpectParseFailure("<a><b/>tail", 16);
    ExpectParseFailure("<a><b></b>", 21);
    ExpectParseFailure("<a>", 10);
    ExpectParseFailure("<a><b/>", 21);
    ExpectParseFailure("<!DOCTYPE root><root/>", 23);
    ExpectParseFailure("<a><b/>\"quoted\"</a>", 23);
    ExpectParseFailure("<a><b/>=</a>", 23);
    ExpectParseFailure("<a><b/>></a>", 23);
    ExpectParseFailure("<a/>-->", 23);
}

// The checks at the end of input guard the tokenizer's invariants; a public
// parse cannot break them (the copy ends at the first NUL), so the working
// copy is set up by hand here.
TEST(XmlParser, EndOfInputConsistencyChecks) {
    zel_test::LogCapture log;
    {
        XmlParser parser;
        parser.workingCopy.assign("<a/>\0junk", 9);
        parser.bufferStart = &parser.workingCopy[0];
        parser.bufferEnd = parser.bufferStart + parser.workingCopy.size() + 1;
        parser.cursor = parser.bufferStart;
        EXPECT_EQ(ParseXmlData(parser), XML_ERR_UNFINISHED_TOKEN);
        EXPECT_TRUE(log.Contains(FailureLine(20)));
    }
    {
        XmlParser parser;
        parser.workingCopy = "<a/>";
        parser.bufferStart = &parser.workingCopy[0];
        parser.bufferEnd = parser.bufferStart + parser.workingCopy.size() + 1;
        parser.cursor = parser.bufferEnd;
        EXPECT_EQ(ParseXmlData(parser), XML_ERR_CURSOR_PAST_END);
        EXPECT_TRUE(log.Contains(FailureLine(22)));
    }
}

TEST(XmlParser, EmptyInput) {
    zel_test::LogCapture log;
    XmlParser parser;
    EXPECT_EQ(XmlParserGetDomMA("", parser), 0);
    EXPECT_TRUE(log.Contains("Empty string", "ZEL_CORE_UTILS"));
    // The document ends at its first NUL byte.
    log.Clear();
    EXPECT_EQ(XmlParserGetDomMA(std::string("\0<a/>", 5), parser), 0);
    EXPECT_TRUE(log.Contains("Empty string"));
    EXPECT_EQ(XmlParserGetDomMA(std::string("<a/>\0<", 6), parser), 1);
    EXPECT_EQ(parser.documentLength, 4);
}

// ---------------------------------------------------------------------------
// What the parser accepts.
// ---------------------------------------------------------------------------

TEST(XmlParser, DeclarationAndCommentBeforeRoot) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<?xml version=\"1.0\"?>\n<!-- a <b> comment -->\n<root>x</root>\n",
                                parser),
              1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "root");
    EXPECT_EQ(h.node->value, "x");
}

// End tags: white space before the ">" or after the "</", and names holding
// bytes that only close a token in sequence.
TEST(XmlParser, EndTagForms) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<a-><b/c></b/c ><d-x>t</ d-x></a->", parser), 1);
    std::vector<Visited> nodes = WalkAll(parser);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].node.name, "a-");
    EXPECT_EQ(nodes[1].node.name, "b/c");
    EXPECT_EQ(nodes[2].node.name, "d-x");
    EXPECT_EQ(nodes[2].node.value, "t");
}

TEST(XmlParser, TextAndAttributesOfAnElement) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<e  z = \" one \"\ta='2' m=\"x'y\" >  some text\n</e >", parser),
              1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "e");
    EXPECT_EQ(h.node->attributes, (std::vector<std::string>{"z", "one", "a", "2", "m", "x'y"}));
    EXPECT_EQ(h.node->value, "  some text\n");  // never trimmed
    std::vector<std::string> all;
    EXPECT_EQ(XmlGetAllNodeAttributes(h.node, all), 1);
    EXPECT_EQ(all, h.node->attributes);
    EXPECT_EQ(XmlGetAllNodeAttributes(nullptr, all), 0);
}

TEST(XmlParser, AttributePrefixAndExactLookups) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<e xmlns:dlna=\"urn:d\" id=\"7\"/>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    std::string value = "untouched", name;
    EXPECT_EQ(XmlGetAttribute(h.node, "xmlns", value), 1);
    EXPECT_EQ(value, "urn:d");
    EXPECT_EQ(XmlGetAttributeName(h.node, "xml", name), 1);
    EXPECT_EQ(name, "xmlns:dlna");
    value = "untouched";
    EXPECT_EQ(XmlGetAttributeChar(h.node, "xmlns", value), 0);
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(XmlGetAttributeChar(h.node, "xmlns:dlna", value), 1);
    EXPECT_EQ(XmlGetAttribute(h.node, "ID", value), 0);  // case-sensitive
    EXPECT_EQ(XmlGetAttributeName(h.node, "nothing", name), 0);
    EXPECT_EQ(XmlGetAttribute(nullptr, "id", value), 0);
    EXPECT_EQ(XmlGetAttributeChar(nullptr, "id", value), 0);
    EXPECT_EQ(XmlGetAttributeName(nullptr, "id", name), 0);
}

TEST(XmlParser, RepeatedAttributeKeepsLastValue) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<e a=\"1\" b=\"2\" a=\"3\"/>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->attributes, (std::vector<std::string>{"a", "3", "b", "2"}));
}

// Past the point where lookups go through an index, repeats still collapse
// and order is still the document's.
TEST(XmlParser, ManyAttributesWithRepeats) {
    const int kDistinct = 200;
    std::string xml = "<e";
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < kDistinct; ++i)
            xml += " a" + std::to_string(i) + "=\"" + std::to_string(round * 1000 + i) + "\"";
    }
    xml += "/>";
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA(xml, parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    ASSERT_EQ(h.node->attributes.size(), 2u * kDistinct);
    for (int i = 0; i < kDistinct; ++i) {
        EXPECT_EQ(h.node->attributes[2 * i], "a" + std::to_string(i));
        EXPECT_EQ(h.node->attributes[2 * i + 1], std::to_string(2000 + i));
    }
}

TEST(XmlParser, TextFirstChildIsNotReturned) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<root><name>text</name><next/></root>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "name");
    int type = 0, count = 0;
    ASSERT_EQ(XmlGetCurNodeFirstChildType(parser, type), 1);
    EXPECT_EQ(type, XML_TEXT_NODE);
    ASSERT_EQ(XmlGetCurrentNodeChildCount(parser, count), 1);
    EXPECT_EQ(count, 1);

    EXPECT_EQ(XmlParserGetChildNode(parser, h.Take()), 0);
    // No current node until the step back.
    EXPECT_EQ(XmlGetCurrentNodeChildCount(parser, count), 0);
    EXPECT_EQ(XmlGetCurNodeFirstChildType(parser, type), 0);
    EXPECT_EQ(XmlParserGetNextNode(parser, h.Take()), 0);
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
    ASSERT_EQ(XmlParserGetNextNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "next");
    // An empty element has no child: the parent stays for the step back.
    EXPECT_EQ(XmlGetCurNodeFirstChildType(parser, type), 0);
    EXPECT_EQ(XmlParserGetChildNode(parser, h.Take()), 0);
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
    ASSERT_EQ(XmlParserGetNextNode(parser, h.Take()), 0);
}

TEST(XmlParser, CdataContentNeverAppears) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<a><b>lead<![CDATA[<secret>]]>tail</b>"
                                "<c x='1'><![CDATA[ secret ]]>after</c>"
                                "<d><![CDATA[secret]]></d></a>",
                                parser),
              1);
    std::vector<Visited> nodes = WalkAll(parser);
    ASSERT_EQ(nodes.size(), 4u);
    for (const Visited& v : nodes) {
        EXPECT_EQ(v.node.name.find("secret"), std::string::npos);
        EXPECT_EQ(v.node.value.find("secret"), std::string::npos);
        for (const std::string& s : v.node.attributes)
            EXPECT_EQ(s.find("secret"), std::string::npos);
    }
    // Text ends at the section's "<"; text after the section is a node of
    // its own, and a section alone leaves no child at all.
    EXPECT_EQ(nodes[1].node.value, "lead");
    EXPECT_EQ(nodes[2].node.value, "after");
    EXPECT_EQ(nodes[3].node.value, "");
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    int count = 0;
    ASSERT_EQ(XmlGetCurrentNodeChildCount(parser, count), 1);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(XmlParserGetNextNode(parser, h.Take()), 1);
    ASSERT_EQ(XmlParserGetNextNode(parser, h.Take()), 1);
    ASSERT_EQ(XmlGetCurrentNodeChildCount(parser, count), 1);
    EXPECT_EQ(count, 0);
    XmlParserDestroy(parser);
}

TEST(XmlParser, TextEndsAtCommentAndProcessingInstruction) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<a>x > y<!-- c --> z <?pi data?>w</a>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->value, "x > y");
    int count = 0;
    ASSERT_EQ(XmlGetCurrentNodeChildCount(parser, count), 1);
    EXPECT_EQ(count, 3);  // "x > y", "z ", "w"
}

// Names and values are ended by NUL bytes written into the working copy;
// the tree points into it.
TEST(XmlParser, NamesAndValuesEndInPlace) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<root a=\"v\">text<b/></root>", parser), 1);
    const char* begin = parser.workingCopy.data();
    const char* end = begin + parser.workingCopy.size();
    const XmlDomNode* root = parser.document->firstChild;
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->name, "root");
    EXPECT_TRUE(root->name >= begin && root->name < end);
    EXPECT_STREQ(root->firstAttribute->name, "a");
    EXPECT_STREQ(root->firstAttribute->value, "v");
    EXPECT_STREQ(root->firstChild->value, "text");
    EXPECT_TRUE(root->firstChild->value >= begin && root->firstChild->value < end);
    EXPECT_STREQ(root->firstChild->name, "#text");
    EXPECT_STREQ(parser.document->name, "#document");
    EXPECT_EQ(parser.document->ownerDocument, parser.document);
    EXPECT_EQ(root->ownerDocument, parser.document);
    EXPECT_EQ(root->parser, &parser);
    EXPECT_EQ(parser.workingCopy.find('<'), std::string::npos);  // every "<" was overwritten
}

TEST(XmlParser, SeveralTopLevelElements) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<first/><!-- between --><second>2</second>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "first");
    ASSERT_EQ(XmlParserGetNextNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "second");
    EXPECT_EQ(XmlParserGetNextNode(parser, h.Take()), 0);
    // GetFirstNode starts over.
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "first");
}

TEST(XmlParser, MixedContentStopsTheLevel) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<a><b/>middle<c/></a>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    int count = 0;
    ASSERT_EQ(XmlGetCurrentNodeChildCount(parser, count), 1);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "b");
    EXPECT_EQ(XmlParserGetNextNode(parser, h.Take()), 0);
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
}

TEST(XmlParser, NavigationWithoutDocument) {
    XmlParser parser;
    NodeHolder h;
    int n = 0;
    EXPECT_EQ(XmlParserGetFirstNode(parser, h.Take()), 0);
    EXPECT_EQ(XmlParserGetNextNode(parser, h.Take()), 0);
    EXPECT_EQ(XmlParserGetChildNode(parser, h.Take()), 0);
    EXPECT_EQ(XmlParserStepBackToParentNode(parser), 0);
    EXPECT_EQ(XmlGetCurrentNodeChildCount(parser, n), 0);
    EXPECT_EQ(XmlGetCurNodeFirstChildType(parser, n), 0);
    EXPECT_EQ(h.node, nullptr);
    // A document of a declaration only has no root element.
    ASSERT_EQ(XmlParserGetDomMA("<?xml version=\"1.0\"?>\n", parser), 1);
    EXPECT_EQ(XmlParserGetFirstNode(parser, h.Take()), 0);
    XmlParserDestroy(parser);
    EXPECT_EQ(XmlParserGetFirstNode(parser, h.Take()), 0);
}

// Stepping back from the root reaches the document node, whose child is the
// root again; one more step leaves no current node.
TEST(XmlParser, StepBackAboveRoot) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<r><c/></r>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
    ASSERT_EQ(XmlParserGetChildNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "r");
    ASSERT_EQ(XmlParserStepBackToParentNode(parser), 1);
    EXPECT_EQ(XmlParserStepBackToParentNode(parser), 0);
    EXPECT_EQ(XmlParserGetNextNode(parser, h.Take()), 0);
}

// NodeXml records are copies: they outlive the parser's tree.
TEST(XmlParser, NodesOutliveDestroy) {
    NodeXml* node = nullptr;
    {
        XmlParser parser;
        ASSERT_EQ(XmlParserGetDomMA("<r k=\" v \">value</r>", parser), 1);
        ASSERT_EQ(XmlParserGetFirstNode(parser, node), 1);
        XmlParserDestroy(parser);
        EXPECT_EQ(parser.document, nullptr);
        EXPECT_EQ(parser.currentNode, nullptr);
        EXPECT_EQ(parser.bufferStart, nullptr);
    }
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->name, "r");
    EXPECT_EQ(node->attributes, (std::vector<std::string>{"k", "v"}));
    EXPECT_EQ(node->value, "value");
    XmlParserFreeNode(node);
    XmlParserFreeNode(nullptr);
}

// A parser reused without XmlParserDestroy, or dropped with its tree, gives
// the tree back (the sanitizer build reports a leak otherwise).
TEST(XmlParser, ReuseAndDropWithoutDestroy) {
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<one><x/></one>", parser), 1);
    ASSERT_EQ(XmlParserGetDomMA("<two/>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->name, "two");
    EXPECT_EQ(XmlParserGetDomMA("<bad>", parser), 0);
    EXPECT_EQ(parser.document, nullptr);
    ASSERT_EQ(XmlParserGetDomMA("<three/>", parser), 1);
}

TEST(XmlParser, BackslashBeforeSeparatorIsOnlyANotice) {
    zel_test::LogCapture log;
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<p a=\"C:\\\">dir\\</p>", parser), 1);
    EXPECT_EQ(log.Count("Token '\\' Found before Seperator"), 2u);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    EXPECT_EQ(h.node->value, "dir\\");
    EXPECT_EQ(h.node->attributes[1], "C:\\");
}

// A hostile document nested far deeper than any stack allows.
TEST(XmlParser, DeepNestingIsIterative) {
    const int kDepth = 100000;
    std::string open, close;
    open.reserve(kDepth * 3);
    close.reserve(kDepth * 4);
    for (int i = 0; i < kDepth; ++i) {
        open += "<a>";
        close += "</a>";
    }
    {
        XmlParser parser;
        ASSERT_EQ(XmlParserGetDomMA(open + "leaf" + close, parser), 1);
        NodeHolder h;
        ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
        int depth = 1;
        while (XmlParserGetChildNode(parser, h.Take()) == 1)
            ++depth;
        EXPECT_EQ(depth, kDepth);
        XmlParserDestroy(parser);
    }
    {
        // Unclosed: the partial tree is freed on the failure path.
        XmlParser parser;
        EXPECT_EQ(XmlParserGetDomMA(open + "<b/>", parser), 0);
    }
    {
        // Dropped without destroy.
        XmlParser parser;
        ASSERT_EQ(XmlParserGetDomMA(open + close, parser), 1);
    }
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
                if (XmlParserGetDomMA(t % 2 == 0 ? DeviceDescription() : std::string(kSoapAction),
                                      parser) != 1)
                    return;
                walked[t] += static_cast<int>(WalkAll(parser).size());
                XmlParserDestroy(parser);
            }
        });
        SetNameOnThread(thread, PrepareThreadName("XmlTest"), t);
    }
    threads.join_all();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(walked[t], kRounds * (t % 2 == 0 ? 108 : 6)) << "thread " << t;
}

// ---------------------------------------------------------------------------
// Tokenizer.
// ---------------------------------------------------------------------------

struct Tok {
    XmlToken token;
    std::string text;
    bool operator==(const Tok& o) const { return token == o.token && text == o.text; }
};

std::ostream& operator<<(std::ostream& os, const Tok& t) {
    return os << static_cast<int>(t.token) << ":'" << t.text << "'";
}

std::vector<Tok> Tokenize(std::string text) {
    XmlParser parser;
    parser.workingCopy = text;
    parser.bufferStart = &parser.workingCopy[0];
    parser.bufferEnd = parser.bufferStart + parser.workingCopy.size() + 1;
    parser.cursor = parser.bufferStart;
    std::vector<Tok> out;
    for (size_t guard = 0; guard <= text.size(); ++guard) {
        XmlToken t = XmlGetNextToken(parser);
        out.push_back({t, std::string(parser.tokenStart, parser.tokenLength)});
        if (t == XmlToken::End)
            break;
    }
    return out;
}

TEST(XmlTokenizer, EveryTokenKind) {
    using T = XmlToken;
    EXPECT_EQ(Tokenize("<?x?><!-- --><![CDATA[]]><!D</a><b/>=\"' \t\r\n\f"),
              (std::vector<Tok>{{T::PiStart, "<?"},
                                {T::Name, "x"},
                                {T::PiEnd, "?>"},
                                {T::CommentStart, "<!--"},
                                {T::WhiteSpace, " "},
                                {T::CommentEnd, "-->"},
                                {T::CdataStart, "<![CDATA["},
                                {T::CdataEnd, "]]>"},
                                {T::Unknown, "<!"},
                                {T::Name, "D"},
                                {T::EndTagStart, "</"},
                                {T::Name, "a"},
                                {T::TagEnd, ">"},
                                {T::StartTagStart, "<"},
                                {T::Name, "b"},
                                {T::EmptyTagEnd, "/>"},
                                {T::Equals, "="},
                                {T::DoubleQuote, "\""},
                                {T::SingleQuote, "'"},
                                {T::WhiteSpace, " \t\r\n\f"},
                                {T::End, ""}}));
}

TEST(XmlTokenizer, NameTokenBoundaries) {
    using T = XmlToken;
    // A lone "/", "?", "-" or "]" stays in the token; the closing sequences end it.
    EXPECT_EQ(Tokenize("a/b?c-d]e-->"),
              (std::vector<Tok>{{T::Name, "a/b?c-d]e"}, {T::CommentEnd, "-->"}, {T::End, ""}}));
    EXPECT_EQ(Tokenize("x--->"),
              (std::vector<Tok>{{T::Name, "x-"}, {T::CommentEnd, "-->"}, {T::End, ""}}));
    EXPECT_EQ(Tokenize("y]]]>"),
              (std::vector<Tok>{{T::Name, "y]"}, {T::CdataEnd, "]]>"}, {T::End, ""}}));
    EXPECT_EQ(Tokenize("n/>"),
              (std::vector<Tok>{{T::Name, "n"}, {T::EmptyTagEnd, "/>"}, {T::End, ""}}));
    EXPECT_EQ(Tokenize("q?>"), (std::vector<Tok>{{T::Name, "q"}, {T::PiEnd, "?>"}, {T::End, ""}}));
    // The stop bytes end a token but start one of their own when first.
    EXPECT_EQ(Tokenize("a!b[c"),
              (std::vector<Tok>{{T::Name, "a"}, {T::Name, "!b"}, {T::Name, "[c"}, {T::End, ""}}));
    EXPECT_EQ(Tokenize("<![CDAT"),
              (std::vector<Tok>{{T::Unknown, "<!"}, {T::Name, "[CDAT"}, {T::End, ""}}));
    EXPECT_EQ(Tokenize("<!-"),
              (std::vector<Tok>{{T::Unknown, "<!"}, {T::Name, "-"}, {T::End, ""}}));
    EXPECT_EQ(
        Tokenize("\xc3\xa9t\xc3\xa9<"),
        (std::vector<Tok>{{T::Name, "\xc3\xa9t\xc3\xa9"}, {T::StartTagStart, "<"}, {T::End, ""}}));
}

TEST(XmlTokenizer, ReadUntil) {
    XmlParser parser;
    parser.workingCopy = " \t x<rest";
    parser.bufferStart = &parser.workingCopy[0];
    parser.bufferEnd = parser.bufferStart + parser.workingCopy.size() + 1;
    parser.cursor = parser.bufferStart;
    bool onlyWhiteSpace = true;
    ASSERT_EQ(XmlReadUntil(parser, '<', onlyWhiteSpace), 1);
    EXPECT_FALSE(onlyWhiteSpace);
    EXPECT_EQ(std::string(parser.tokenStart, parser.tokenLength), " \t x");
    EXPECT_EQ(*parser.cursor, '<');
    char* before = parser.cursor;
    EXPECT_EQ(XmlReadUntil(parser, '>', onlyWhiteSpace), 0);
    EXPECT_EQ(parser.cursor, before);

    parser.workingCopy = " \r\n<";
    parser.bufferStart = &parser.workingCopy[0];
    parser.bufferEnd = parser.bufferStart + parser.workingCopy.size() + 1;
    parser.cursor = parser.bufferStart;
    ASSERT_EQ(XmlReadUntil(parser, '<', onlyWhiteSpace), 1);
    EXPECT_TRUE(onlyWhiteSpace);
}

// ---------------------------------------------------------------------------
// Escape and unescape.
// ---------------------------------------------------------------------------

TEST(XmlEscape, SpecialCharactersAndControlBytes) {
    std::string out;
    ASSERT_EQ(XmlEscapeValue("a\nb", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "a&#10;b");
    ASSERT_EQ(XmlEscapeValue("\"&'<>\t\r\x01\x1f \x7f\xc3\xa9", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "&quot;&amp;&apos;&lt;&gt;&#9;&#13;&#1;&#31; \x7f\xc3\xa9");
    ASSERT_EQ(XmlEscapeValue("plain", out), UTILS_SUCCESS);
    EXPECT_EQ(out, "plain");
}

TEST(XmlEscape, EmptyInput) {
    zel_test::LogCapture log;
    std::string out = "kept";
    EXPECT_EQ(XmlEscapeValue("", out), UTILS_EMPTY_INPUT);
    EXPECT_TRUE(log.Contains("Empty String", "ZEL_CORE_UTILS"));
    log.Clear();
    EXPECT_EQ(XmlUnescapeValue("", out), UTILS_EMPTY_INPUT);
    EXPECT_TRUE(log.Contains("Empty string", "ZEL_CORE_UTILS"));
}

TEST(XmlUnescape, NamedAndNumericReferences) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"&#65;&#x42;", "AB"},
        {"&lt;b&gt; &apos;q&apos; &quot;d&quot;&nbsp;x", "<b> 'q' \"d\" x"},
        {"&amp;lt;", "&lt;"},    // an escaped entity comes out as entity text
        {"&amp;amp;", "&amp;"},  // one level only
        {"&#38;#65;", "&#65;"},  // a decoded byte is not decoded again
        {"&#0;", "&#0;"},        // value 0 stays
        {"&#x0;", "&#x0;"},
        {"&#xZZ;", "&#xZZ;"},  // does not convert
        {"&#12a;", "&#12a;"},
        {"&#;", "&#;"},
        {"&#300;", "&#300;"},  // not one byte
        {"&#X41;", "&#X41;"},  // only lower-case x means hexadecimal
        {"&#x41", "&#x41"},    // no ";"
        {"a &#9; b", "a \t b"},
        {"&#x7e;&#126;", "~~"},
        {"&#00000065;", "A"},  // leading zeros, up to eight digits
        {"&#xFf;", "\xff"},
        {"no references", "no references"},
        {"&unknown; &", "&unknown; &"},
    };
    for (const Case& c : cases) {
        std::string out;
        ASSERT_EQ(XmlUnescapeValue(c.in, out), UTILS_SUCCESS) << c.in;
        EXPECT_EQ(out, c.out) << c.in;
    }
}

// Large hostile values stay linear: a megabyte of references, and a
// megabyte of reference openings with a single ";" at the very end.
TEST(XmlUnescape, LargeInputs) {
    constexpr size_t kCount = 200000;
    std::string many;
    for (size_t i = 0; i < kCount; ++i)
        many += "&#65;&lt;";
    std::string out;
    ASSERT_EQ(XmlUnescapeValue(many, out), UTILS_SUCCESS);
    ASSERT_EQ(out.size(), 2 * kCount);
    EXPECT_EQ(out.substr(0, 4), "A<A<");

    std::string openings;
    for (size_t i = 0; i < kCount; ++i)
        openings += "&#1";
    openings += ";";
    ASSERT_EQ(XmlUnescapeValue(openings, out), UTILS_SUCCESS);
    // Only the last opening is close enough to the ";" to be a reference.
    EXPECT_EQ(out.size(), openings.size() - 3);
    EXPECT_EQ(out.back(), '\x01');
}

// Escaping then unescaping gives back any byte string (without NUL bytes,
// which no document carries).
TEST(XmlEscape, RoundTrip) {
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> special(0, 9);
    const char kSpecials[] = "&<>\"';#x\n";
    for (int round = 0; round < 2000; ++round) {
        std::string in;
        const int len = 1 + round % 40;
        for (int i = 0; i < len; ++i) {
            // Mostly the bytes that matter, so references and near-references form.
            in += special(rng) < 6 ? kSpecials[special(rng) % (sizeof(kSpecials) - 1)]
                                   : static_cast<char>(byte(rng));
        }
        std::string escaped, back;
        ASSERT_EQ(XmlEscapeValue(in, escaped), UTILS_SUCCESS);
        for (char c : escaped) {
            ASSERT_TRUE(c != '<' && c != '>' && c != '"' && c != '\'');
            ASSERT_FALSE(static_cast<unsigned char>(c) < 32);
        }
        ASSERT_EQ(XmlUnescapeValue(escaped, back), UTILS_SUCCESS);
        ASSERT_EQ(back, in);
    }
}

// An escaped value placed in a document comes back out through the tree.
TEST(XmlEscape, ValueSurvivesDocument) {
    const std::string value = "Tom & Jerry's <\"best\">\n\ttracks";
    std::string escaped, back;
    ASSERT_EQ(XmlEscapeValue(value, escaped), UTILS_SUCCESS);
    XmlParser parser;
    ASSERT_EQ(XmlParserGetDomMA("<a v=\"" + escaped + "\">" + escaped + "</a>", parser), 1);
    NodeHolder h;
    ASSERT_EQ(XmlParserGetFirstNode(parser, h.Take()), 1);
    ASSERT_EQ(XmlUnescapeValue(h.node->value, back), UTILS_SUCCESS);
    EXPECT_EQ(back, value);
    ASSERT_EQ(XmlUnescapeValue(h.node->attributes[1], back), UTILS_SUCCESS);
    EXPECT_EQ(back, value);
}

}  // namespace
