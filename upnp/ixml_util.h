#pragma once
// Small RAII owners for ixml objects, and the one way handlers read arguments.
// release() exactly where ownership passes to libupnp.

#include <ixml.h>

#include <memory>
#include <string>

#include "core/text.h"

namespace tovaly {

struct IxmlDocumentFree {
  void operator()(IXML_Document* d) const { ixmlDocument_free(d); }
};
struct IxmlNodeListFree {
  void operator()(IXML_NodeList* l) const { ixmlNodeList_free(l); }
};
struct IxmlStringFree {
  void operator()(DOMString s) const { ixmlFreeDOMString(s); }
};

using IxmlDocument = std::unique_ptr<IXML_Document, IxmlDocumentFree>;
using IxmlNodeList = std::unique_ptr<IXML_NodeList, IxmlNodeListFree>;
using IxmlString = std::unique_ptr<char, IxmlStringFree>;

// Text of the first element named `name` anywhere below the document's
// action element; null when the element or its text is missing.
const char* ArgumentText(IXML_Document* request, const char* name);

// Text of the first element named `name` below node (a document or an
// element), in document order; null when there is none or it has no text.
const char* DescendantText(IXML_Node* node, const char* name);

// Appends <name>text</name> to parent; text may be null (an empty element).
IXML_Element* AppendTextElement(IXML_Document* doc, IXML_Node* parent, const char* name, const char* text);

// Whether an XML text stays within the limits the readers accept: depth,
// number of elements, and the longest run of text between two marks ("<" or
// ">"): the XML parser grows a text by a few bytes at a time, so its cost
// is the square of the longest text. The text must also be UTF-8 and end
// with a tag (blanks after it aside), as the parser would demand, since on
// such broken text it reads past the end.
bool WithinXmlLimits(const char* text, size_t maxDepth = 32, size_t maxElements = 10000, size_t maxRun = 64 * 1024);
// The last of those checks alone: UTF-8 that ends with a tag.
bool FitsXmlParser(const char* text);

}  // namespace tovaly
