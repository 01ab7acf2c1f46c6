#include "controlpoint/description_parser.h"

#include <arpa/inet.h>
#include <upnp.h>
#include <upnptools.h>

#include <cstdlib>
#include <cstring>

#include "upnp/didl.h"
#include "upnp/ixml_util.h"

namespace tovaly {
namespace {

const char kServerType[] = "urn:schemas-upnp-org:device:MediaServer:1";
const char kRendererType[] = "urn:schemas-upnp-org:device:MediaRenderer:1";

// A type matches a constant when it begins with the constant less its last
// character (the version): MediaServer:2 is a MediaServer.
bool TypeMatches(const char* type, const char* constant) {
  return type && strncmp(type, constant, strlen(constant) - 1) == 0;
}

const char* ElementText(IXML_Element* element, const char* tag) {
  return DescendantText(reinterpret_cast<IXML_Node*>(element), tag);
}

void CollectServices(IXML_Element* device, DeviceKind kind, const std::string& baseUrl, ParsedDevice* out) {
  static const int kServerOrder[] = {kServiceContentDirectory, kServiceConnectionManager, kServiceMediaDownload};
  static const int kRendererOrder[] = {kServiceConnectionManager, kServiceAVTransport, kServiceRenderingControl,
                                       kServiceMediaDownload};
  IxmlNodeList services(ixmlElement_getElementsByTagName(device, "service"));
  const unsigned long n = services ? ixmlNodeList_length(services.get()) : 0;
  for (unsigned long i = 0; i < n; ++i) {
    auto* service = reinterpret_cast<IXML_Element*>(ixmlNodeList_item(services.get(), i));
    const char* type = ElementText(service, "serviceType");
    const char* eventUrl = ElementText(service, "eventSubURL");
    const char* controlUrl = ElementText(service, "controlURL");
    if (!type || !eventUrl || !controlUrl) continue;
    out->allServiceTypes.push_back(type);
    const int* order = kind == DeviceKind::kServer ? kServerOrder : kRendererOrder;
    const size_t count = kind == DeviceKind::kServer ? 3 : 4;
    for (size_t k = 0; k < count; ++k) {
      const char* constant = upnp_device_control::ServiceTypeOf(order[k]);
      if (!TypeMatches(type, constant)) continue;
      RemoteService s;
      const size_t versionAt = strlen(constant) - 1;
      s.version = strlen(type) > versionAt ? static_cast<unsigned char>(type[versionAt]) : -1;
      s.eventUrl = ResolveUrl(baseUrl, eventUrl);
      s.controlUrl = ResolveUrl(baseUrl, controlUrl);
      out->services.push_back({order[k], s});
      break;
    }
  }
}

}  // namespace

std::string ResolveUrl(const std::string& base, const char* rel) {
  if (!rel) return std::string();
  char* absolute = nullptr;
  // The allocating form: the fixed-buffer one copies without a bound.
  if (UpnpResolveURL2(base.c_str(), rel, &absolute) != UPNP_E_SUCCESS || !absolute) {
    free(absolute);
    return std::string();
  }
  std::string out = absolute;
  free(absolute);
  return out;
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;  // not inside a character
  return text.substr(0, end);
}

int ParseAckAddress(const char* text, sockaddr_in* out) {
  if (!out) return UPNP_E_INVALID_PARAM;
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  if (!text) return UPNP_E_INVALID_PARAM;
  const char* colon = strchr(text, ':');
  if (!colon) return UPNP_E_INVALID_PARAM;
  unsigned long port = 0;
  for (const char* p = colon + 1; *p >= '0' && *p <= '9' && port <= 65535; ++p) port = port * 10 + (*p - '0');
  out->sin_port = htons(static_cast<uint16_t>(port > 65535 ? 0 : port));
  const size_t hostLength = static_cast<size_t>(colon - text);
  char host[16];  // a dotted quad has at most 15 characters
  out->sin_addr.s_addr = INADDR_NONE;
  if (hostLength < sizeof host) {
    memcpy(host, text, hostLength);
    host[hostLength] = '\0';
    in_addr a{};
    if (inet_pton(AF_INET, host, &a) == 1) out->sin_addr = a;
  }
  return 0;
}

ParsedDescription ParseDescription(const std::string& location, IXML_Document* doc) {
  ParsedDescription out;
  if (!doc || location.empty()) return out;
  out.valid = true;
  out.baseUrl = location;
  if (const char* base = DescendantText(reinterpret_cast<IXML_Node*>(doc), "URLBase")) out.baseUrl = base;
  IxmlNodeList devices(ixmlDocument_getElementsByTagName(doc, "device"));
  const unsigned long n = devices ? ixmlNodeList_length(devices.get()) : 0;
  for (unsigned long i = 0; i < n; ++i) {
    auto* element = reinterpret_cast<IXML_Element*>(ixmlNodeList_item(devices.get(), i));
    const char* type = ElementText(element, "deviceType");
    const char* name = ElementText(element, "friendlyName");
    const char* udn = ElementText(element, "UDN");
    if (!type || !name || !udn || strlen(type) > kMaxFieldBytes || strlen(udn) > kMaxFieldBytes) continue;
    if (out.devices.size() >= kMaxDevices) break;
    ParsedDevice d;
    d.deviceType = type;
    d.friendlyName = CutUtf8(name, kMaxFieldBytes);
    d.udn = udn;
    d.kind = TypeMatches(type, kServerType)     ? DeviceKind::kServer
             : TypeMatches(type, kRendererType) ? DeviceKind::kRenderer
                                                : DeviceKind::kOther;
    if (d.kind != DeviceKind::kOther) {
      CollectServices(element, d.kind, out.baseUrl, &d);
      sockaddr_in ack{};
      if (ParseAckAddress(ElementText(element, "ACK"), &ack) == 0 && ack.sin_addr.s_addr != INADDR_NONE) {
        d.hasAck = true;
        d.ack = ack;
      }
    }
    out.devices.push_back(std::move(d));
  }
  return out;
}

ParsedDescription ParseDescriptionText(const std::string& location, const char* text) {
  // The XML parser's time grows with the square of the elements: measured
  // before it runs.
  if (!text || !WithinXmlLimits(text, 32, kMaxElements)) return ParsedDescription();
  IXML_Document* doc = nullptr;
  if (ixmlParseBufferEx(text, &doc) != IXML_SUCCESS) {
    if (doc) ixmlDocument_free(doc);
    return ParsedDescription();
  }
  IxmlDocument owner(doc);
  return ParseDescription(location, doc);
}

}  // namespace tovaly
