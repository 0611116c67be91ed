// The parser's tree: one node per element, attribute and text, linked both
// ways, with names and values pointing into the parser's working copy. Every
// node belongs to its document node, which hands them out and frees them all
// at once; nodes are only created by the parse of their document and freed
// by XmlParserDestroy, on the thread that owns the XmlParser.
#pragma once

#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace utils {

// Names of the nodes that have none in the document.
extern const char kXmlDocumentNodeName[];  // "#document"
extern const char kXmlTextNodeName[];      // "#text"

struct XmlDomNode {
    const char* name;   // element or attribute name, kXmlDocumentNodeName or kXmlTextNodeName
    const char* value;  // text of a text node, value of an attribute
    int nodeType;       // XmlNodeType
    int childCount;
    XmlDomNode* parent;
    XmlDomNode* firstChild;
    XmlDomNode* lastChild;
    XmlDomNode* prevSibling;
    XmlDomNode* nextSibling;
    int attributeCount;
    // On an element: its attribute list. On an attribute: the next one.
    XmlDomNode* firstAttribute;
    XmlDomNode* nextAttribute;
    XmlDomNode* ownerDocument;  // the document node; the document points to itself
    XmlParser* parser;
};

// Failure injection for tests: the allocation countdown calls from now fails
// as if memory were short (0: the next one); a negative value turns it off.
// Process-wide; production code never sets it.
void SetXmlNodeAllocationFailure(int countdown);

// One zeroed node, or null (logged) when memory is short. A document node is
// allocated on its own; any other node comes from parser.document.
XmlDomNode* AllocateANode(XmlParser& parser, int nodeType);

// The document node of parser, or null.
XmlDomNode* CreateDocumentDomDocument(XmlParser& parser);

// An element or text node of doc, not yet linked into the tree, or null.
// Nodes left unlinked are freed with the document.
XmlDomNode* CreateElementDomDocument(XmlDomNode* doc, const char* name);
XmlDomNode* CreateTextDomDocument(XmlDomNode* doc, const char* text);

// An attribute node of doc, not yet linked to an element, or null.
XmlDomNode* CreateAttributeDomDocument(XmlDomNode* doc, const char* name, const char* value);

// Links child as the last child of parent. 0 (logged) for null arguments.
int AppendChildNode(XmlDomNode* parent, XmlDomNode* child);

// Links attr at the end of element's attribute list, after tail (the current
// last attribute, or null for the first). 0 (logged) for bad arguments.
int AppendAttributeNode(XmlDomNode* element, XmlDomNode* tail, XmlDomNode* attr);

// The attribute of element named exactly name, or null.
XmlDomNode* FindAttributeNode(const XmlDomNode* element, const char* name);

// Frees a document node and every node of its tree, in time proportional to
// the number of node blocks and without walking the tree. Null is ignored.
void FreeDomDocument(XmlDomNode* doc);

}  // namespace utils
}  // namespace zel_upnp
