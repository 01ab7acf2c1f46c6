// ContentDirectory:1 of the local device.

#include <upnp.h>
#include <upnptools.h>

#include <string>

#include "device/ixml_util.h"
#include "device/media_server.h"
#include "device/service_table.h"

namespace tovaly {
namespace {

const char kCdsType[] = "urn:schemas-upnp-org:service:ContentDirectory:1";

// One OUT argument; -911 "Internal Error" when the stack cannot add it.
int32_t SingleOutput(const char* action, const char* name, const char* value, IXML_Document** response,
                     const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  if (UpnpAddToActionResponse(response, action, kCdsType, name, value) != UPNP_E_SUCCESS) {
    if (*response) ixmlDocument_free(*response);
    *response = nullptr;
    *errorText = "Internal Error";
    return -911;
  }
  return 0;
}

int32_t GetSearchCapabilities(upnp_device*, IXML_Document*, IXML_Document** response, const char** errorText) {
  return SingleOutput("GetSearchCapabilities", "SearchCaps", "", response, errorText);
}

int32_t GetSortCapabilities(upnp_device*, IXML_Document*, IXML_Document** response, const char** errorText) {
  return SingleOutput("GetSortCapabilities", "SortCaps", "", response, errorText);
}

int32_t GetSystemUpdateID(upnp_device* device, IXML_Document*, IXML_Document** response, const char** errorText) {
  const std::string id = std::to_string(static_cast<media_server*>(device)->systemUpdateId);
  return SingleOutput("GetSystemUpdateID", "Id", id.c_str(), response, errorText);
}

}  // namespace

const ServiceSpec& ContentDirectorySpec() {
  static const ServiceSpec spec{
      kCdsType,
      "urn:upnp-org:serviceId:ContentDirectory",
      "cds.xml",
      "/upnp/control/cds",
      "/upnp/event/cds",
      {
          {"GetSearchCapabilities", GetSearchCapabilities, {{"SearchCaps", true, "SearchCapabilities"}}},
          {"GetSortCapabilities", GetSortCapabilities, {{"SortCaps", true, "SortCapabilities"}}},
          {"GetSystemUpdateID", GetSystemUpdateID, {{"Id", true, "SystemUpdateID"}}},
      },
      {
          {"SystemUpdateID", "ui4", true, {}},
          {"ContainerUpdateIDs", "string", true, {}},
          {"SearchCapabilities", "string", false, {}},
          {"SortCapabilities", "string", false, {}},
      }};
  return spec;
}

}  // namespace tovaly
