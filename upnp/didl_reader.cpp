#include <ixml.h>

#include <strings.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "upnp/didl.h"
#include "upnp/ixml_util.h"

namespace tovaly {
namespace {

const char* DescendantText(IXML_Element* e, const char* name) {
  return tovaly::DescendantText(reinterpret_cast<IXML_Node*>(e), name);
}

IXML_Element* FirstDescendant(IXML_Element* e, const char* name) {
  IxmlNodeList list(ixmlElement_getElementsByTagName(e, name));
  return list ? reinterpret_cast<IXML_Element*>(ixmlNodeList_item(list.get(), 0)) : nullptr;
}

const char* TextOf(IXML_Element* e) {
  IXML_Node* text = e ? ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(e)) : nullptr;
  return text ? ixmlNode_getNodeValue(text) : nullptr;
}

std::string Text(const char* text) { return text ? text : ""; }

// The MIME type of a protocolInfo: its third field.
std::string MimeOf(const char* protocolInfo) {
  if (!protocolInfo) return std::string();
  const char* a = strchr(protocolInfo, ':');
  const char* b = a ? strchr(a + 1, ':') : nullptr;
  const char* c = b ? strchr(b + 1, ':') : nullptr;
  return c ? std::string(b + 1, c) : std::string();
}

bool IsSubtitleMime(const std::string& mime) {
  for (const char* m : {"text/srt", "text/x-srt", "application/x-subrip", "text/x-ssa", "text/x-ass", "text/vtt",
                        "smi/caption", "text/x-sami", "application/smil"}) {
    if (strcasecmp(mime.c_str(), m) == 0) return true;
  }
  return false;
}

// Digits only, at most int64: res@size. -1 otherwise.
int64_t ParseSize(const char* text) {
  if (!text || !*text) return -1;
  int64_t v = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || v > (INT64_MAX - (*p - '0')) / 10) return -1;
    v = v * 10 + (*p - '0');
  }
  return v;
}

uint32_t ParseNumber(const char* text) {
  uint32_t v = 0;
  return text && ParseUi4(text, &v) ? v : 0;
}

// "1920x1080"; both 0 unless it reads whole.
void ParseResolution(const char* text, uint32_t* width, uint32_t* height) {
  *width = *height = 0;
  const char* x = text ? strchr(text, 'x') : nullptr;
  if (!x || x == text || !x[1]) return;
  uint32_t w = 0, h = 0;
  if (!ParseUi4(std::string(text, x).c_str(), &w) || !ParseUi4(x + 1, &h) || !w || !h) return;
  *width = w;
  *height = h;
}

// The artist: an upnp:artist without a role (the performer), else the first
// of any role, else dc:creator.
std::string ArtistOf(IXML_Element* e) {
  IxmlNodeList list(ixmlElement_getElementsByTagName(e, "upnp:artist"));
  const unsigned long n = list ? ixmlNodeList_length(list.get()) : 0;
  const char* any = nullptr;
  for (unsigned long i = 0; i < n; ++i) {
    auto* artist = reinterpret_cast<IXML_Element*>(ixmlNodeList_item(list.get(), i));
    const char* text = TextOf(artist);
    if (!text) continue;
    if (!ixmlElement_getAttribute(artist, "role")) return text;
    if (!any) any = text;
  }
  return Text(any ? any : DescendantText(e, "dc:creator"));
}

}  // namespace


int64_t ParseDidlDuration(const char* text) {
  if (!text) return -1;
  if (!*text) return 0;
  if (*text < '0' || *text > '9') return -1;
  int64_t fields[3] = {0, 0, 0};
  const char* p = text;
  for (int i = 0; i < 3; ++i) {
    int64_t v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 12) v = v * 10 + (*p++ - '0'), ++digits;
    fields[i] = v;
    if (i < 2) {
      if (*p != ':') break;
      ++p;
    }
  }
  // Twelve digits of hours fit in seconds but not in microseconds.
  const int64_t seconds = (fields[0] * 60 + fields[1]) * 60 + fields[2];
  if (seconds >= INT64_MAX / 1000000) return -1;
  int64_t micros = seconds * 1000000;
  if (*p == '.') {
    ++p;
    int64_t scale = 100000;
    while (*p >= '0' && *p <= '9') {
      micros += (*p++ - '0') * scale;
      scale /= 10;
    }
  }
  return micros;
}

std::vector<DidlEntry> ReadDidl(const char* text, bool* ok) {
  std::vector<DidlEntry> out;
  if (ok) *ok = false;
  if (!text || !WithinXmlLimits(text)) return out;
  IXML_Document* raw = nullptr;
  if (ixmlParseBufferEx(text, &raw) != IXML_SUCCESS || !raw) {
    if (raw) ixmlDocument_free(raw);
    return out;
  }
  IxmlDocument doc(raw);
  if (ok) *ok = true;

  IxmlNodeList containers(ixmlDocument_getElementsByTagName(doc.get(), "container"));
  const unsigned long nc = containers ? ixmlNodeList_length(containers.get()) : 0;
  for (unsigned long i = 0; i < nc; ++i) {
    auto* e = reinterpret_cast<IXML_Element*>(ixmlNodeList_item(containers.get(), i));
    const char* id = ixmlElement_getAttribute(e, "id");
    const char* title = DescendantText(e, "dc:title");
    if (!id || !title) continue;
    DidlEntry entry;
    entry.container = true;
    entry.id = id;
    entry.title = title;
    entry.objectClass = kClassContainer;
    entry.albumArtURI = Text(DescendantText(e, "upnp:albumArtURI"));
    out.push_back(std::move(entry));
  }

  IxmlNodeList items(ixmlDocument_getElementsByTagName(doc.get(), "item"));
  const unsigned long ni = items ? ixmlNodeList_length(items.get()) : 0;
  for (unsigned long i = 0; i < ni; ++i) {
    auto* e = reinterpret_cast<IXML_Element*>(ixmlNodeList_item(items.get(), i));
    const char* id = ixmlElement_getAttribute(e, "id");
    const char* title = DescendantText(e, "dc:title");
    IXML_Element* res = FirstDescendant(e, "res");
    IXML_Node* resText = res ? ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(res)) : nullptr;
    const char* url = resText ? ixmlNode_getNodeValue(resText) : nullptr;
    if (!id || !title || !url) continue;
    DidlEntry entry;
    entry.id = id;
    entry.title = title;
    entry.url = url;
    entry.duration = ParseDidlDuration(ixmlElement_getAttribute(res, "duration"));
    if (const char* pi = ixmlElement_getAttribute(res, "protocolInfo")) {
      entry.hasProtocolInfo = true;
      entry.protocolInfo = pi;
    }
    entry.size = ParseSize(ixmlElement_getAttribute(res, "size"));
    entry.bitrate = ParseNumber(ixmlElement_getAttribute(res, "bitrate"));
    ParseResolution(ixmlElement_getAttribute(res, "resolution"), &entry.width, &entry.height);
    entry.artist = ArtistOf(e);
    entry.album = Text(DescendantText(e, "upnp:album"));
    entry.genre = Text(DescendantText(e, "upnp:genre"));
    entry.track = ParseNumber(DescendantText(e, "upnp:originalTrackNumber"));
    entry.albumArtURI = Text(DescendantText(e, "upnp:albumArtURI"));
    // The other res: a subtitle file, a thumbnail.
    IxmlNodeList all(ixmlElement_getElementsByTagName(e, "res"));
    const unsigned long nr = all ? ixmlNodeList_length(all.get()) : 0;
    std::string thumbnail;
    for (unsigned long r = 1; r < nr && (entry.subtitleUrl.empty() || thumbnail.empty()); ++r) {
      auto* other = reinterpret_cast<IXML_Element*>(ixmlNodeList_item(all.get(), r));
      const char* otherUrl = TextOf(other);
      const char* info = ixmlElement_getAttribute(other, "protocolInfo");
      if (!otherUrl || !info) continue;
      if (entry.subtitleUrl.empty() && IsSubtitleMime(MimeOf(info))) entry.subtitleUrl = otherUrl;
      if (thumbnail.empty() && strstr(info, "DLNA.ORG_PN=JPEG_TN")) thumbnail = otherUrl;
    }
    if (entry.albumArtURI.empty()) entry.albumArtURI = thumbnail;
    if (entry.subtitleUrl.empty()) entry.subtitleUrl = Text(DescendantText(e, "sec:CaptionInfoEx"));
    if (entry.subtitleUrl.empty()) entry.subtitleUrl = Text(DescendantText(e, "sec:CaptionInfo"));
    const char* cls = DescendantText(e, "upnp:class");
    entry.objectClass = cls ? ClassFromName(cls) : kClassVideo;
    if (const char* start = DescendantText(e, "upnp:scheduledStartTime")) {
      entry.date = start;
    } else if (const char* date = DescendantText(e, "dc:date")) {
      entry.date = std::string(date) + "T00:00:00";
    } else {
      entry.date = "2012-01-01T00:00:00";
    }
    out.push_back(std::move(entry));
  }
  return out;
}

}  // namespace tovaly
