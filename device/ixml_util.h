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


// Decimal conversion as the C library's atoi does it (leading blanks, a sign,
// stops at the first non-digit, no digits gives 0), without its overflow UB.
int32_t ParseDecimal(const char* text);

// An unsigned 32-bit argument (ui4) as UPnP sends it: digits, blanks around
// them allowed; null or blank text is 0. False for a sign, any other
// character or a value past 4294967295.
bool ParseUi4(const char* text, uint32_t* value);

}  // namespace tovaly
