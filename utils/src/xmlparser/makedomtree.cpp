#include "utils/src/xmlparser/makedomtree.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <type_traits>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

const char kXmlDocumentNodeName[] = "#document";
const char kXmlTextNodeName[] = "#text";

namespace {

constexpr int kNoInjectedFailure = -1;
std::atomic<int> g_allocationFailureCountdown{kNoInjectedFailure};

bool InjectedFailure() {
    if (g_allocationFailureCountdown.load(std::memory_order_relaxed) < 0)
        return false;
    return g_allocationFailureCountdown.fetch_sub(1, std::memory_order_relaxed) == 0;
}

}  // namespace

void SetXmlNodeAllocationFailure(int countdown) {
    g_allocationFailureCountdown.store(countdown < 0 ? kNoInjectedFailure : countdown,
                                       std::memory_order_relaxed);
}

namespace {

// Nodes are carved from blocks owned by the document, so a parse costs a
// handful of allocations instead of one per node, and freeing the document
// is freeing its blocks: no walk over a tree that may be nested deeper than
// any stack. Blocks grow geometrically from a size that holds a SOAP action.
constexpr int kFirstBlockNodes = 32;
constexpr int kMaxBlockNodes = 4096;

struct XmlNodeBlock {
    XmlNodeBlock* next;
    int capacity;
    int used;
    XmlDomNode* nodes;  // capacity nodes, zeroed when the block was made
};

// The document node with the blocks of every other node of its tree. The
// node comes first so that a document node's address is its block's.
struct XmlDocumentBlock {
    XmlDomNode node;
    XmlNodeBlock* blocks;
    int nextCapacity;
};
static_assert(std::is_standard_layout<XmlDocumentBlock>::value,
              "the document node must be convertible to its block");

XmlDocumentBlock* BlockOf(XmlDomNode* doc) {
    return reinterpret_cast<XmlDocumentBlock*>(doc);
}

XmlDomNode* TakeNode(XmlDomNode* doc) {
    if (doc == nullptr || doc->nodeType != XML_DOCUMENT_NODE)
        return nullptr;
    XmlDocumentBlock* owner = BlockOf(doc);
    XmlNodeBlock* block = owner->blocks;
    if (block == nullptr || block->used == block->capacity) {
        const int capacity = owner->nextCapacity;
        XmlNodeBlock* fresh = new (std::nothrow) XmlNodeBlock();
        if (fresh == nullptr)
            return nullptr;
        // Value-initialised: every link and count of every node starts zeroed.
        fresh->nodes = new (std::nothrow) XmlDomNode[capacity]();
        if (fresh->nodes == nullptr) {
            delete fresh;
            return nullptr;
        }
        fresh->capacity = capacity;
        fresh->next = block;
        owner->blocks = fresh;
        owner->nextCapacity = std::min(capacity * 2, kMaxBlockNodes);
        block = fresh;
    }
    return &block->nodes[block->used++];
}

}  // namespace

XmlDomNode* AllocateANode(XmlParser& parser, int nodeType) {
    XmlDomNode* node = nullptr;
    if (!InjectedFailure()) {
        if (nodeType == XML_DOCUMENT_NODE) {
            XmlDocumentBlock* owner = new (std::nothrow) XmlDocumentBlock();
            if (owner != nullptr) {
                owner->nextCapacity = kFirstBlockNodes;
                node = &owner->node;
            }
        } else {
            node = TakeNode(parser.document);
        }
    }
    if (node == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "AllocateANode failed");
        return nullptr;
    }
    node->nodeType = nodeType;
    node->parser = &parser;
    return node;
}

XmlDomNode* CreateDocumentDomDocument(XmlParser& parser) {
    XmlDomNode* doc = AllocateANode(parser, XML_DOCUMENT_NODE);
    if (doc == nullptr)
        return nullptr;
    doc->name = kXmlDocumentNodeName;
    doc->ownerDocument = doc;
    return doc;
}

namespace {

XmlDomNode* CreateNamedNode(XmlDomNode* doc, int nodeType, const char* name, const char* value) {
    XmlDomNode* node = AllocateANode(*doc->parser, nodeType);
    if (node == nullptr)
        return nullptr;
    node->name = name;
    node->value = value;
    node->ownerDocument = doc;
    return node;
}

}  // namespace

XmlDomNode* CreateElementDomDocument(XmlDomNode* doc, const char* name) {
    if (doc == nullptr || doc->parser == nullptr || name == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return nullptr;
    }
    return CreateNamedNode(doc, XML_ELEMENT_NODE, name, nullptr);
}

XmlDomNode* CreateTextDomDocument(XmlDomNode* doc, const char* text) {
    if (doc == nullptr || doc->parser == nullptr || text == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input");
        return nullptr;
    }
    return CreateNamedNode(doc, XML_TEXT_NODE, kXmlTextNodeName, text);
}

XmlDomNode* CreateAttributeDomDocument(XmlDomNode* doc, const char* name, const char* value) {
    if (doc == nullptr || doc->parser == nullptr || name == nullptr || value == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input values");
        return nullptr;
    }
    return CreateNamedNode(doc, XML_ATTRIBUTE_NODE, name, value);
}

int AppendChildNode(XmlDomNode* parent, XmlDomNode* child) {
    if (parent == nullptr || child == nullptr || child->parent != nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid inputs");
        return 0;
    }
    child->parent = parent;
    child->prevSibling = parent->lastChild;
    if (parent->lastChild != nullptr)
        parent->lastChild->nextSibling = child;
    else
        parent->firstChild = child;
    parent->lastChild = child;
    ++parent->childCount;
    return 1;
}

int AppendAttributeNode(XmlDomNode* element, XmlDomNode* tail, XmlDomNode* attr) {
    if (element == nullptr || attr == nullptr || element->nodeType != XML_ELEMENT_NODE ||
        (tail == nullptr) != (element->firstAttribute == nullptr)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Invalid input values");
        return 0;
    }
    attr->parent = element;
    if (tail != nullptr)
        tail->nextAttribute = attr;
    else
        element->firstAttribute = attr;
    ++element->attributeCount;
    return 1;
}

XmlDomNode* FindAttributeNode(const XmlDomNode* element, const char* name) {
    if (element == nullptr || name == nullptr)
        return nullptr;
    for (XmlDomNode* attr = element->firstAttribute; attr != nullptr; attr = attr->nextAttribute) {
        if (std::strcmp(attr->name, name) == 0)
            return attr;
    }
    return nullptr;
}

void FreeDomDocument(XmlDomNode* doc) {
    if (doc == nullptr || doc->nodeType != XML_DOCUMENT_NODE)
        return;
    XmlDocumentBlock* owner = BlockOf(doc);
    XmlNodeBlock* block = owner->blocks;
    while (block != nullptr) {
        XmlNodeBlock* next = block->next;
        delete[] block->nodes;
        delete block;
        block = next;
    }
    delete owner;
}

}  // namespace utils
}  // namespace zel_upnp
