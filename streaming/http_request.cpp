#include "streaming/http_request.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "core/text.h"

namespace tovaly {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A run of decimal digits at *p, advanced past; false when there is none or
// it does not fit in 63 bits.
bool ReadNumber(const char** p, uint64_t* value) {
  const char* s = *p;
  uint64_t v = 0;
  if (*s < '0' || *s > '9') return false;
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (v > (INT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(*s - '0');
  }
  *p = s;
  *value = v;
  return true;
}

void SkipBlanks(const char** p) {
  while (**p == ' ' || **p == '\t') ++*p;
}

}  // namespace

bool DecodeRequestPath(const char* raw, std::string* out) {
  out->clear();
  if (!raw) return false;
  for (const char* p = raw; *p; ++p) {
    if (*p != '%') {
      out->push_back(*p);
      continue;
    }
    const int hi = HexValue(p[1]);
    const int lo = hi < 0 ? -1 : HexValue(p[2]);
    if (lo < 0) return false;
    const char c = static_cast<char>(hi * 16 + lo);
    if (c == '\0') return false;
    out->push_back(c);
    p += 2;
  }
  return true;
}

ByteRange ParseRange(const char* header, uint64_t size) {
  ByteRange whole;
  whole.length = size;
  if (!header) return whole;
  const char* p = header;
  SkipBlanks(&p);
  if (strncasecmp(p, "bytes", 5) != 0) return whole;
  p += 5;
  SkipBlanks(&p);
  if (*p != '=') return whole;
  ++p;
  SkipBlanks(&p);

  uint64_t first = 0, last = 0;
  bool suffix = false, open = false;
  if (*p == '-') {
    ++p;
    if (!ReadNumber(&p, &last)) return whole;
    suffix = true;
  } else {
    if (!ReadNumber(&p, &first)) return whole;
    SkipBlanks(&p);
    if (*p != '-') return whole;
    ++p;
    SkipBlanks(&p);
    if (*p >= '0' && *p <= '9') {
      if (!ReadNumber(&p, &last) || last < first) return whole;
    } else {
      open = true;
    }
  }
  SkipBlanks(&p);
  if (*p != '\0' && *p != ',') return whole;  // trailing text: not a range

  ByteRange r;
  if (suffix) {
    // The last n bytes; more than the file has means all of it.
    if (last == 0 || size == 0) {
      r.kind = ByteRange::kUnsatisfiable;
      return r;
    }
    r.kind = ByteRange::kPartial;
    r.length = last < size ? last : size;
    r.first = size - r.length;
    return r;
  }
  if (first >= size) {
    r.kind = ByteRange::kUnsatisfiable;
    return r;
  }
  if (open || last >= size) last = size - 1;
  r.kind = ByteRange::kPartial;
  r.first = first;
  r.length = last - first + 1;
  return r;
}

std::string HttpDate(time_t t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  tm parts{};
  if (!gmtime_r(&t, &parts)) return std::string();
  char text[64];
  snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday % 7], parts.tm_mday,
           kMonths[parts.tm_mon % 12], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

DlnaHeaders DlnaHeadersFor(const char* mimeType) {
  const bool streamed = mimeType && (strncmp(mimeType, "video/", 6) == 0 || strncmp(mimeType, "audio/", 6) == 0 ||
                                     strcmp(mimeType, "application/ogg") == 0);
  // OP=01: byte ranges; FLAGS: streaming (or interactive), background,
  // connection stall, DLNA 1.5.
  if (streamed) return {"DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000", "Streaming"};
  return {"DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=00F00000000000000000000000000000", "Interactive"};
}

bool HostAllowed(const char* host, const std::vector<std::string>& ownNames) {
  if (!host) return true;
  std::string h = host;
  const size_t first = h.find_first_not_of(" \t");
  const size_t last = h.find_last_not_of(" \t");
  if (first == std::string::npos) return false;
  h = h.substr(first, last - first + 1);
  std::string name, port;
  if (h[0] == '[') {
    const size_t close = h.find(']');
    if (close == std::string::npos) return false;
    name = h.substr(1, close - 1);
    if (close + 1 < h.size()) {
      if (h[close + 1] != ':' || close + 2 == h.size()) return false;
      port = h.substr(close + 2);
    }
    in6_addr a6{};
    if (inet_pton(AF_INET6, name.c_str(), &a6) != 1) return false;
  } else {
    const size_t colon = h.find(':');
    name = h.substr(0, colon);
    if (colon != std::string::npos) port = h.substr(colon + 1);
    in_addr a4{};
    if (inet_pton(AF_INET, name.c_str(), &a4) != 1) {
      for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      if (name.empty() || name.back() == '.') name = name.substr(0, name.size() ? name.size() - 1 : 0);
      bool own = false;
      for (const std::string& n : ownNames) own = own || (!n.empty() && n == name);
      if (!own) return false;
    }
  }
  if (h.find(':') != std::string::npos && h[0] != '[' && port.empty()) return false;  // "name:" with no port
  if (!port.empty() && (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
                        std::stol(port) > 65535)) {
    return false;
  }
  return true;
}

std::vector<std::string> OwnHostNames() {
  char name[256] = "";
  std::vector<std::string> names{"localhost"};
  if (gethostname(name, sizeof name - 1) == 0 && name[0]) {
    std::string n = name;
    for (char& c : n) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    names.push_back(n);
    if (n.find('.') == std::string::npos) names.push_back(n + ".local");
  }
  return names;
}

bool SubtitleConvertible(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot != std::string::npos &&
         (strcasecmp(path.c_str() + dot, ".srt") == 0 || strcasecmp(path.c_str() + dot, ".vtt") == 0);
}

std::string SubtitleToWebVtt(const std::string& input) {
  std::string text = input;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // a byte-order mark
  if (!IsValidUtf8(text)) {
    std::string utf8;
    for (unsigned char c : text) {
      if (c < 0x80) {
        if (c) utf8 += static_cast<char>(c);
      } else {
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    text.swap(utf8);
  }
  std::string out = "WEBVTT\n\n";
  if (text.compare(0, 6, "WEBVTT") == 0) out.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "00:00:01,000 --> 00:00:02,500": WebVTT writes the fraction after a dot.
    if (line.find("-->") != std::string::npos) {
      for (char& c : line) {
        if (c == ',') c = '.';
      }
    }
    out += line;
    out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace tovaly
