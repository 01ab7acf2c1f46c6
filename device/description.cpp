#include "device/description.h"

#include <cstdio>

#include "device/service_table.h"
#include "upnp/ixml_util.h"

namespace tovaly {

DeviceInfo MediaServerDeviceInfo() {
  DeviceInfo info;
  info.deviceType = "urn:schemas-upnp-org:device:MediaServer:1";
  info.manufacturer = "Mr. Zarn";
  info.manufacturerUrl = "http://tovaly.example.org/";
  info.modelDescription = "Praxen UPNP Media Server";
  info.modelName = "Praxen UPNP Media Server";
  info.modelNumber = "1.5.0";
  info.modelUrl = info.manufacturerUrl;
  info.serialNumber = "1";
  info.upc = "1234";
  for (const ServiceTable* s : {&ConnectionManagerTable(), &ContentDirectoryTable(), &MediaDownloadTable()}) {
    info.services.push_back({s->serviceType, s->serviceId, s->scpdUrl, s->controlUrl, s->eventSubUrl});
  }
  info.serviceCount = static_cast<int>(info.services.size());
  return info;
}

std::string BuildDescription(const DeviceInfo& info, const std::string& probeEndpoint, const std::string& urlBase) {
  char skeleton[100];
  const int n = snprintf(skeleton, sizeof skeleton, "<root xmlns=\"%s\"></root>", info.rootNamespace);
  if (n < 0 || n >= static_cast<int>(sizeof skeleton)) return std::string();
  IxmlDocument doc(ixmlParseBuffer(skeleton));
  if (!doc) return std::string();
  IXML_Document* d = doc.get();
  IXML_Node* root = ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(d));

  auto node = [](IXML_Element* e) { return reinterpret_cast<IXML_Node*>(e); };
  IXML_Node* version = node(AppendTextElement(d, root, "specVersion", nullptr));
  AppendTextElement(d, version, "major", info.specMajor);
  AppendTextElement(d, version, "minor", info.specMinor);

  // Built detached and appended after its children, as root's second child.
  IXML_Element* deviceElement = ixmlDocument_createElement(d, "device");
  IXML_Node* device = node(deviceElement);
  IXML_Element* dlna = AppendTextElement(d, device, "dlna:X_DLNADOC", "DMS-1.50");
  ixmlElement_setAttribute(dlna, "xmlns:dlna", "urn:schemas-dlna-org:device-1-0");
  AppendTextElement(d, device, "deviceType", info.deviceType);
  AppendTextElement(d, device, "friendlyName", info.friendlyName.c_str());
  AppendTextElement(d, device, "manufacturer", info.manufacturer);
  AppendTextElement(d, device, "manufacturerURL", info.manufacturerUrl);
  AppendTextElement(d, device, "modelDescription", info.modelDescription);
  AppendTextElement(d, device, "modelName", info.modelName);
  AppendTextElement(d, device, "modelNumber", info.modelNumber);
  AppendTextElement(d, device, "modelURL", info.modelUrl);
  AppendTextElement(d, device, "serialNumber", info.serialNumber);
  AppendTextElement(d, device, "UDN", info.udn.c_str());
  AppendTextElement(d, device, "UPC", info.upc);
  AppendTextElement(d, device, "ACK", probeEndpoint.c_str());
  IXML_Node* list = node(AppendTextElement(d, device, "serviceList", nullptr));
  for (int i = 0; i < info.serviceCount && i < static_cast<int>(info.services.size()); ++i) {
    const ServiceInfo& s = info.services[static_cast<size_t>(i)];
    IXML_Node* service = node(AppendTextElement(d, list, "service", nullptr));
    AppendTextElement(d, service, "serviceType", s.serviceType);
    AppendTextElement(d, service, "serviceId", s.serviceId);
    AppendTextElement(d, service, "SCPDURL", s.scpdUrl);
    AppendTextElement(d, service, "controlURL", s.controlUrl);
    AppendTextElement(d, service, "eventSubURL", s.eventSubUrl);
  }
  AppendTextElement(d, device, "presentationURL", info.presentationUrl ? info.presentationUrl : "/");
  ixmlNode_appendChild(root, device);
  if (!urlBase.empty()) AppendTextElement(d, root, "URLBase", urlBase.c_str());

  IxmlString text(ixmlDocumenttoString(d));
  return text ? std::string(text.get()) : std::string();
}

std::string DecorateFriendlyName(const std::string& name, const std::string& address, int port) {
  std::string tail = address;
  const size_t first = address.find('.');
  if (first != std::string::npos) {
    const size_t second = address.find('.', first + 1);
    if (second != std::string::npos) tail = address.substr(second + 1);
  }
  return name + " - " + tail + "." + std::to_string(port % 100);
}

}  // namespace tovaly
