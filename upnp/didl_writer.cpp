#include <cstring>

#include "core/text.h"
#include "upnp/didl.h"

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

const char* DidlClassName(ObjectClass cls) {
  switch (cls) {
    case kClassContainer: return "object.container";
    case kClassVideo: return "object.item.videoItem";
    case kClassAudio: return "object.item.audioItem";
    case kClassImage: return "object.item.imageItem";
    case kClassText: return "object.item.textItem";
    default: return "object.item";
  }
}

ObjectClass ClassFromName(const char* name) {
  if (!name) return kClassOther;
  static const struct {
    const char* marker;
    ObjectClass cls;
  } kMarkers[] = {{"videoItem", kClassVideo},
                  {"audioItem", kClassAudio},
                  {"imageItem", kClassImage},
                  {"textItem", kClassText},
                  {"object.container", kClassContainer}};
  for (const auto& m : kMarkers)
    if (std::strstr(name, m.marker)) return m.cls;
  return kClassOther;
}

const char kDidlOpen[] =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" xmlns:z=\"urn:zarn-extension\">";
const char kDidlClose[] = "</DIDL-Lite>";

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
