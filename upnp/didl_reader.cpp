#include <ixml.h>

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
