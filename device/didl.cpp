#include "device/didl.h"

#include "device/ixml_util.h"
#include "device/media_types.h"

namespace tovaly {
namespace {

IXML_Node* AsNode(IXML_Element* e) { return reinterpret_cast<IXML_Node*>(e); }

// ixml escapes only & < > " ' when printing, and file names are arbitrary
// bytes. Drop C0 controls other than tab/LF/CR and turn anything that is not
// valid UTF-8 (or is U+FFFE/U+FFFF) into U+FFFD, so the output always parses.
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

void SetAttribute(IXML_Element* e, const char* name, const std::string& value) {
  ixmlElement_setAttribute(e, name, XmlSafe(value).c_str());
}

}  // namespace

IXML_Element* CreateDidlRoot(IXML_Document* doc) {
  IXML_Element* root = ixmlDocument_createElement(doc, "DIDL-Lite");
  if (!root) return nullptr;
  ixmlElement_setAttribute(root, "xmlns", "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/");
  ixmlElement_setAttribute(root, "xmlns:dc", "http://purl.org/dc/elements/1.1/");
  ixmlElement_setAttribute(root, "xmlns:upnp", "urn:schemas-upnp-org:metadata-1-0/upnp/");
  ixmlElement_setAttribute(root, "xmlns:z", "urn:zarn-extension");
  ixmlNode_appendChild(reinterpret_cast<IXML_Node*>(doc), AsNode(root));
  return root;
}

IXML_Element* CreateDidlObject(IXML_Document* doc, const MediaObject& obj) {
  const bool container = obj.objectClass == kClassContainer;
  IXML_Element* e = ixmlDocument_createElement(doc, container ? "container" : "item");
  if (!e) return nullptr;
  auto add = [&](const char* name, const std::string& text) {
    return AppendTextElement(doc, AsNode(e), name, XmlSafe(text).c_str());
  };
  if (!container) {
    if (IXML_Element* res = add("res", obj.res))
      SetAttribute(res, "protocolInfo",
                   obj.protocolInfo.empty() ? "http-get:*:application/octet-stream:*" : obj.protocolInfo);
    if (obj.objectClass == kClassAudio) add("upnp:album", obj.album.empty() ? "noname" : obj.album);
    add("upnp:class", DidlClassName(obj.objectClass));
    if (!obj.date.empty()) {
      const size_t t = obj.date.find('T');
      if (t != std::string::npos) {
        add("upnp:scheduledStartTime", obj.date);
        add("dc:date", obj.date.substr(0, t));
      } else {
        add("dc:date", obj.date);
        add("upnp:scheduledStartTime", obj.date + "T00:00:00");
      }
    }
  } else {
    SetAttribute(e, "childCount", std::to_string(obj.childCount));
    add("upnp:class", DidlClassName(kClassContainer));
  }
  SetAttribute(e, "id", obj.id);
  SetAttribute(e, "restricted", obj.restricted ? "1" : "0");
  SetAttribute(e, "searchable", "0");
  if (!obj.parentID.empty()) SetAttribute(e, "parentID", obj.parentID);
  add("dc:title", obj.title);
  add("upnp:writeStatus", "NOT_WRITABLE");
  return e;
}

std::string PrintDidl(IXML_Document* doc) {
  IXML_Node* root = doc ? ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(doc)) : nullptr;
  while (root && ixmlNode_getNodeType(root) != eELEMENT_NODE) root = ixmlNode_getNextSibling(root);
  if (!root) return {};
  IxmlString text(ixmlNodetoString(root));
  if (!text) return {};
  // ixmlNodetoString puts CRLF after every tag below the top element. Drop
  // each CRLF that sits between '>' and '<' for a compact Result: escaped
  // text never holds a raw '<' or '>', so only a text of exactly CRLF (which
  // parsers discard as whitespace anyway) could be touched.
  const std::string s(text.get());
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i > 0 && s[i - 1] == '>' && s.compare(i + 1, 2, "\n<") == 0) {
      ++i;
      continue;
    }
    out += s[i];
  }
  return out;
}

}  // namespace tovaly
