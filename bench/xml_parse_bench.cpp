// Parse, and parse plus a full walk, of a media renderer description
// (fuzz/corpus/xml_parse_fuzz/device_description.xml, about 6 KB), against
// pugixml when it is installed. Both walks hand every element to the caller
// as owned strings (name, attribute pairs, text of a text first child), which
// is what NodeXml gives.
#include <zel_upnp/utils.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef ZEL_HAVE_PUGIXML
#include <pugixml.hpp>
#endif

namespace {

using namespace zel_upnp::utils;

std::string LoadDescription() {
    std::string path = __FILE__;
    path = path.substr(0, path.find_last_of('/')) +
           "/../fuzz/corpus/xml_parse_fuzz/device_description.xml";
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str().empty())
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return text.str();
}

const std::string& Description() {
    static const std::string text = LoadDescription();
    return text;
}

struct Element {
    std::string name;
    std::vector<std::string> attributes;
    std::string value;
};

void BM_ZelParse(benchmark::State& state) {
    const std::string& doc = Description();
    for (auto _ : state) {
        XmlParser parser;
        if (XmlParserGetDomMA(doc, parser) != 1)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(parser.document);
        XmlParserDestroy(parser);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_ZelParse);

void BM_ZelParseWalk(benchmark::State& state) {
    const std::string& doc = Description();
    size_t elements = 0;
    for (auto _ : state) {
        XmlParser parser;
        if (XmlParserGetDomMA(doc, parser) != 1)
            state.SkipWithError("parse failed");
        elements = 0;
        NodeXml* node = nullptr;
        int depth = 0;
        bool more = XmlParserGetFirstNode(parser, node) == 1;
        while (more) {
            ++elements;
            benchmark::DoNotOptimize(node->value.data());
            XmlParserFreeNode(node);
            node = nullptr;
            if (XmlParserGetChildNode(parser, node) == 1) {
                ++depth;
                continue;
            }
            XmlParserStepBackToParentNode(parser);
            while (more && XmlParserGetNextNode(parser, node) == 0) {
                if (depth == 0) {
                    more = false;
                } else {
                    XmlParserStepBackToParentNode(parser);
                    --depth;
                }
            }
        }
        XmlParserDestroy(parser);
    }
    state.counters["elements"] = static_cast<double>(elements);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_ZelParseWalk);

#ifdef ZEL_HAVE_PUGIXML
void BM_PugiParse(benchmark::State& state) {
    const std::string& doc = Description();
    for (auto _ : state) {
        pugi::xml_document xml;
        if (!xml.load_buffer(doc.data(), doc.size()))
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(xml.first_child());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_PugiParse);

void BM_PugiParseWalk(benchmark::State& state) {
    const std::string& doc = Description();
    size_t elements = 0;
    for (auto _ : state) {
        pugi::xml_document xml;
        if (!xml.load_buffer(doc.data(), doc.size()))
            state.SkipWithError("parse failed");
        elements = 0;
        // Iterative pre-order over the elements, as the walk above.
        pugi::xml_node node = xml.document_element();
        while (node) {
            Element e;
            e.name = node.name();
            for (pugi::xml_attribute a : node.attributes()) {
                e.attributes.emplace_back(a.name());
                e.attributes.emplace_back(a.value());
            }
            if (node.first_child().type() == pugi::node_pcdata)
                e.value = node.first_child().value();
            ++elements;
            benchmark::DoNotOptimize(e.value.data());
            pugi::xml_node next =
                node.find_child([](pugi::xml_node n) { return n.type() == pugi::node_element; });
            if (next) {
                node = next;
                continue;
            }
            while (node && !node.next_sibling()) {
                node = node.parent();
                if (node.type() == pugi::node_document)
                    node = pugi::xml_node();
            }
            if (node) {
                node = node.next_sibling();
                while (node && node.type() != pugi::node_element)
                    node = node.next_sibling();
            }
        }
    }
    state.counters["elements"] = static_cast<double>(elements);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_PugiParseWalk);
#endif

}  // namespace

BENCHMARK_MAIN();
