#pragma once
// DIDL-Lite metadata for containers and items, written as text in one
// buffer: the DIDL-Lite element with its namespace declarations, then each
// object; no XML declaration, no line breaks.

#include <string>
#include <vector>

#include "core/media_object.h"

namespace tovaly {

extern const char kDidlOpen[];   // the DIDL-Lite start tag with every namespace
extern const char kDidlClose[];  // "</DIDL-Lite>"

// The whole document of these objects, in their order.
std::string WriteDidl(const std::vector<MediaObject>& objects);

// The "item" or "container" element of obj, appended to *out. `extra` is
// markup placed last inside it, as it is. Text unfit for XML (control
// characters, invalid UTF-8) is cleaned, then every text and attribute value
// escaped.
void AppendDidlObject(const MediaObject& obj, std::string* out, const std::string& extra = std::string());

// Text made fit for XML: C0 controls other than tab/LF/CR dropped, anything
// that is not valid UTF-8 (or is U+FFFE/U+FFFF) turned into U+FFFD.
std::string XmlSafe(const std::string& s);

}  // namespace tovaly
