#include "device/didl.h"

#include "core/text.h"
#include "device/media_types.h"

namespace tovaly {
namespace {

// Appends text escaped for XML, cleaned first when it holds anything unfit.
void AppendText(std::string* out, const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x80) {
      AppendXmlEscaped(XmlSafe(text), out);
      return;
    }
  }
  AppendXmlEscaped(text, out);
}

void Attribute(std::string* out, const char* name, const std::string& value) {
  *out += ' ';
  *out += name;
  *out += "=\"";
  AppendText(out, value);
  *out += '"';
}

void Element(std::string* out, const char* name, const std::string& text) {
  *out += '<';
  *out += name;
  *out += '>';
  AppendText(out, text);
  *out += "</";
  *out += name;
  *out += '>';
}

}  // namespace

const char kDidlOpen[] =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" xmlns:z=\"urn:zarn-extension\">";
const char kDidlClose[] = "</DIDL-Lite>";

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

// The order of attributes and elements is what clients have always been
// given: attributes as they were first set (a container's childCount before
// its id), elements as appended.
void AppendDidlObject(const MediaObject& obj, std::string* out, const std::string& extra) {
  const bool container = obj.objectClass == kClassContainer;
  *out += container ? "<container" : "<item";
  if (container) Attribute(out, "childCount", std::to_string(obj.childCount));
  Attribute(out, "id", obj.id);
  Attribute(out, "restricted", obj.restricted ? "1" : "0");
  Attribute(out, "searchable", "0");
  if (!obj.parentID.empty()) Attribute(out, "parentID", obj.parentID);
  *out += '>';
  if (!container) {
    *out += "<res";
    Attribute(out, "protocolInfo", obj.protocolInfo.empty() ? "http-get:*:application/octet-stream:*" : obj.protocolInfo);
    *out += '>';
    AppendText(out, obj.res);
    *out += "</res>";
    if (obj.objectClass == kClassAudio) Element(out, "upnp:album", obj.album.empty() ? "noname" : obj.album);
    Element(out, "upnp:class", DidlClassName(obj.objectClass));
    if (!obj.date.empty()) {
      const size_t t = obj.date.find('T');
      if (t != std::string::npos) {
        Element(out, "upnp:scheduledStartTime", obj.date);
        Element(out, "dc:date", obj.date.substr(0, t));
      } else {
        Element(out, "dc:date", obj.date);
        Element(out, "upnp:scheduledStartTime", obj.date + "T00:00:00");
      }
    }
  } else {
    Element(out, "upnp:class", DidlClassName(kClassContainer));
  }
  Element(out, "dc:title", obj.title);
  Element(out, "upnp:writeStatus", "NOT_WRITABLE");
  *out += extra;
  *out += container ? "</container>" : "</item>";
}

std::string WriteDidl(const std::vector<MediaObject>& objects) {
  std::string out;
  // An item takes about 400 bytes plus its texts: one allocation for most pages.
  out.reserve(sizeof kDidlOpen + sizeof kDidlClose + objects.size() * 640);
  out += kDidlOpen;
  for (const MediaObject& o : objects) AppendDidlObject(o, &out);
  out += kDidlClose;
  return out;
}

}  // namespace tovaly
