#include "utils/src/xmlparser/makedomtree.h"

#include <atomic>
#include <cstring>
#include <new>

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

XmlDomNode* AllocateANode(XmlParser& parser, int nodeType) {
    // Value-initialised: every link and count starts zeroed.
    XmlDomNode* node = InjectedFailure() ? nullptr : new (std::nothrow) XmlDomNode();
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

namespace {

void FreeAttributes(XmlDomNode* node) {
    XmlDomNode* attr = node->firstAttribute;
    while (attr != nullptr) {
        XmlDomNode* next = attr->nextAttribute;
        delete attr;
        attr = next;
    }
}

}  // namespace

void FreeDomTree(XmlDomNode* root) {
    if (root == nullptr)
        return;
    // Post-order walk over the links themselves: a node's first-child link is
    // cut when the walk descends, so on the way back up the parent is a leaf
    // and its remaining children are reached through the sibling chain.
    XmlDomNode* node = root;
    while (node != nullptr) {
        if (node->firstChild != nullptr) {
            XmlDomNode* child = node->firstChild;
            node->firstChild = nullptr;
            node = child;
            continue;
        }
        XmlDomNode* next = nullptr;
        if (node != root)
            next = node->nextSibling != nullptr ? node->nextSibling : node->parent;
        FreeAttributes(node);
        delete node;
        node = next;
    }
}

}  // namespace utils
}  // namespace zel_upnp
