#include "core/text.h"

#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

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

namespace {
constexpr std::array<bool, 256> XmlSpecialTable() {
  std::array<bool, 256> t{};
  for (unsigned char c : {'&', '<', '>', '"', '\''}) t[c] = true;
  return t;
}
constexpr std::array<bool, 256> kXmlSpecial = XmlSpecialTable();
}  // namespace

void AppendXmlEscaped(const std::string& text, std::string* out) {
  // Runs of ordinary text are copied whole: a Browse answer escapes every
  // byte of its DIDL-Lite once more into the SOAP envelope.
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const char* run = p;
    while (run < end && !kXmlSpecial[static_cast<unsigned char>(*run)]) ++run;
    out->append(p, static_cast<size_t>(run - p));
    if (run == end) break;
    switch (*run) {
      case '&': out->append("&amp;", 5); break;
      case '<': out->append("&lt;", 4); break;
      case '>': out->append("&gt;", 4); break;
      case '"': out->append("&quot;", 6); break;
      default: out->append("&apos;", 6); break;
    }
    p = run + 1;
  }
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendXmlEscaped(text, &out);
  return out;
}

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      if (c == 0) return false;
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;  // truncated sequence
    for (size_t k = 1; k <= n; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

std::string XmlSafe(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += static_cast<char>(c);
      ++i;
      continue;
    }
    const size_t len = (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    uint32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    size_t k = 1;
    for (; k < len && i + k < s.size() && (s[i + k] & 0xC0) == 0x80; ++k) cp = cp << 6 | (s[i + k] & 0x3F);
    const uint32_t least = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (len && k == len && cp >= least && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) && cp != 0xFFFE &&
        cp != 0xFFFF) {
      out.append(s, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const unsigned char ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (isdigit(ca) && isdigit(cb)) {
      size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == '0') ++ei;
      while (ej < b.size() && b[ej] == '0') ++ej;
      size_t di = ei, dj = ej;
      while (di < a.size() && isdigit(static_cast<unsigned char>(a[di]))) ++di;
      while (dj < b.size() && isdigit(static_cast<unsigned char>(b[dj]))) ++dj;
      const size_t la = di - ei, lb = dj - ej;
      if (la != lb) return la < lb;
      const int c = a.compare(ei, la, b, ej, lb);
      if (c != 0) return c < 0;
      i = di;
      j = dj;
      continue;
    }
    const int la = tolower(ca), lb = tolower(cb);
    if (la != lb) return la < lb;
    ++i;
    ++j;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;  // equal ignoring case and leading zeros: still a total order
}

std::vector<std::string> SplitList(const char* text, char separator) {
  std::vector<std::string> out;
  if (!text) return out;
  const char* start = text;
  while (*start) {
    const char* end = strchr(start, separator);
    if (!end) end = start + strlen(start);
    out.emplace_back(start, static_cast<size_t>(end - start));
    start = *end ? end + 1 : end;
  }
  return out;
}

int32_t ParseDecimal(const char* text) {
  if (!text) return 0;
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<int32_t>(value);
}

bool ParseUi4(const char* text, uint32_t* value) {
  *value = 0;
  if (!text) return true;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (blank(*text)) ++text;
  uint64_t v = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    v = v * 10 + static_cast<uint64_t>(*text - '0');
    if (v > UINT32_MAX) return false;
  }
  while (blank(*text)) ++text;
  if (*text != '\0') return false;  // blank text is 0, as a missing argument is
  *value = static_cast<uint32_t>(v);
  return true;
}

std::string PlayTime(int64_t ms) {
  if (ms < 0) return std::string();
  const int64_t s = ms / 1000;
  char text[40];
  if (s >= 3600) {
    snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(s / 3600), static_cast<int>(s / 60 % 60),
             static_cast<int>(s % 60));
  } else {
    snprintf(text, sizeof text, "%d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60));
  }
  return text;
}

}  // namespace tovaly
