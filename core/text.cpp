#include "core/text.h"

#include <cctype>

namespace tovaly {

std::string PercentEncodePath(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

void AppendXmlEscaped(const std::string& text, std::string* out) {
  for (char c : text) {
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      case '\'': *out += "&apos;"; break;
      default: *out += c;
    }
  }
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendXmlEscaped(text, &out);
  return out;
}

}  // namespace tovaly
