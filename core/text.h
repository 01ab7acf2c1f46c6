#pragma once
// Text helpers every room uses: UTF-8 checks, text made safe for where it
// goes (paths into URLs, text into XML and HTML), the order of names, and
// the number and list forms that arrive as text.

#include <cstdint>
#include <string>
#include <vector>

namespace tovaly {

// Every byte outside RFC 3986's unreserved set, except "/", as %XX.
std::string PercentEncodePath(const std::string& path);

// & < > " ' as entities: for XML and HTML text and attribute values alike.
std::string XmlEscape(const std::string& text);
// The same, appended to *out.
void AppendXmlEscaped(const std::string& text, std::string* out);

// Strict UTF-8: no NUL, no overlong forms, surrogates or values past U+10FFFF.
bool IsValidUtf8(const std::string& text);

// Text made fit for XML: C0 controls other than tab/LF/CR dropped, anything
// that is not valid UTF-8 (or is U+FFFE/U+FFFF) turned into U+FFFD.
std::string XmlSafe(const std::string& text);

// Natural, case-insensitive order of names ("Episode 2" before "Episode 10");
// a total order.
bool NaturalLess(const std::string& a, const std::string& b);

// The pieces between the separators, empty ones included ("a,,b" gives three);
// a separator at the very end ends the list ("a," gives one, "" none).
std::vector<std::string> SplitList(const char* text, char separator = ',');

// Decimal conversion as the C library's atoi does it (leading blanks, a sign,
// stops at the first non-digit, no digits gives 0), without its overflow UB:
// values beyond int32 are clamped.
int32_t ParseDecimal(const char* text);

// An unsigned 32-bit argument (ui4) as UPnP sends it: digits, blanks around
// them allowed; null or blank text is 0. False for a sign, any other
// character or a value past 4294967295.
bool ParseUi4(const char* text, uint32_t* value);

// A duration as players show it: 0:07, 3:25, 1:02:05 (seconds cut, not
// rounded); empty when unknown (negative).
std::string PlayTime(int64_t ms);

}  // namespace tovaly
