#pragma once
// The root device's description document.

#include <string>
#include <vector>

namespace tovaly {

struct ServiceInfo {
  const char* serviceType;
  const char* serviceId;
  const char* scpdUrl;
  const char* controlUrl;
  const char* eventSubUrl;
};

struct DeviceInfo {
  const char* rootNamespace = "urn:schemas-upnp-org:device-1-0";
  const char* specMajor = "1";
  const char* specMinor = "0";
  const char* deviceType = nullptr;
  std::string friendlyName;
  const char* manufacturer = nullptr;
  const char* manufacturerUrl = nullptr;
  const char* modelDescription = nullptr;
  const char* modelName = nullptr;
  const char* modelNumber = nullptr;
  const char* modelUrl = nullptr;
  const char* serialNumber = nullptr;
  std::string udn;
  const char* upc = nullptr;
  const char* presentationUrl = nullptr;  // null gives "/"
  int serviceCount = 0;                   // the first serviceCount rows are published
  std::vector<ServiceInfo> services;
};

// The media server's record: MediaServer:1, DMS-1.50, three service rows with
// MediaDownload last so that lowering the count by one leaves it out.
DeviceInfo MediaServerDeviceInfo();

// The description text with XML declaration, or "" when the skeleton does not
// parse. probeEndpoint is "address:port" of the presence probe (port 0 when
// the probe socket is not open). urlBase, when given, is the last child of
// root, as clients of this device have always been given it.
std::string BuildDescription(const DeviceInfo& info, const std::string& probeEndpoint,
                             const std::string& urlBase = std::string());

// "NAME - <address after its second dot>.<port % 100>".
std::string DecorateFriendlyName(const std::string& name, const std::string& address, int port);

}  // namespace tovaly
