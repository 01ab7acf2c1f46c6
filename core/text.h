#pragma once
// Text made safe for where it goes: paths into URLs (the item URLs of the
// listing, the links of the phone page), text into XML and HTML.

#include <string>

namespace tovaly {

// Every byte outside RFC 3986's unreserved set, except "/", as %XX.
std::string PercentEncodePath(const std::string& path);

// & < > " ' as entities: for XML and HTML text and attribute values alike.
std::string XmlEscape(const std::string& text);
// The same, appended to *out.
void AppendXmlEscaped(const std::string& text, std::string* out);

}  // namespace tovaly
