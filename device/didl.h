#pragma once
// DIDL-Lite metadata for containers and items, built as an ixml DOM.

#include <ixml.h>

#include <string>

#include "core/media_object.h"

namespace tovaly {

// Creates the "DIDL-Lite" element with its namespace declarations and
// appends it to doc.
IXML_Element* CreateDidlRoot(IXML_Document* doc);

// Creates the "item" or "container" element for obj; the caller appends it to
// the root. Text unfit for XML (control characters, invalid UTF-8) is cleaned.
IXML_Element* CreateDidlObject(IXML_Document* doc, const MediaObject& obj);

// The document's root element as text: no XML declaration, no line breaks
// between elements. Empty when doc has no root element.
std::string PrintDidl(IXML_Document* doc);

}  // namespace tovaly
