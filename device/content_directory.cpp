// ContentDirectory:1 of the local device.

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "device/media_server.h"
#include "device/service_table.h"
#include "device/soap.h"
#include "library/content_changes.h"
#include "upnp/didl.h"
#include "core/text.h"

namespace tovaly {
namespace {

const char kCdsType[] = "urn:schemas-upnp-org:service:ContentDirectory:1";
constexpr uint32_t kMaxObjectsPerBrowse = 500;

int32_t GetSearchCapabilities(upnp_device*, const SoapRequest&, SoapOutputs* out, const char**) {
  *out = {{"SearchCaps", ""}};
  return 0;
}

int32_t GetSortCapabilities(upnp_device*, const SoapRequest&, SoapOutputs* out, const char**) {
  *out = {{"SortCaps", ""}};
  return 0;
}

int32_t GetSystemUpdateID(upnp_device*, const SoapRequest&, SoapOutputs* out, const char**) {
  *out = {{"Id", std::to_string(SystemUpdateId())}};
  return 0;
}

int32_t InvalidArgs(const char** errorText) {
  *errorText = "Invalid Args";
  return -101;
}

int32_t NoSuchObject(const char** errorText) {
  *errorText = "No such object";
  return 701;
}

int32_t Browse(upnp_device* device, const SoapRequest& request, SoapOutputs* out, const char** errorText) {
  *errorText = nullptr;
  auto* server = static_cast<media_server*>(device);
  const char* objectId = request.Argument("ObjectID");
  const char* flag = request.Argument("BrowseFlag");
  uint32_t startArg = 0, countArg = 0;
  if (!objectId || !*objectId || !flag || !ParseUi4(request.Argument("StartingIndex"), &startArg) ||
      !ParseUi4(request.Argument("RequestedCount"), &countArg)) {
    return InvalidArgs(errorText);
  }
  // Past 2^31 - 1 a start finds nothing. At most kMaxObjectsPerBrowse
  // objects an answer, whatever was asked: NumberReturned below TotalMatches
  // tells the client to ask for the rest, and no request builds a document
  // of a whole large folder.
  const int32_t start = static_cast<int32_t>(std::min<uint32_t>(startArg, INT32_MAX));
  const int32_t count =
      static_cast<int32_t>(countArg == 0 ? kMaxObjectsPerBrowse : std::min<uint32_t>(countArg, kMaxObjectsPerBrowse));

  std::string result;
  int32_t returned = 0, total = 0;
  if (strcmp(flag, "BrowseDirectChildren") == 0) {
    if (!device->callback() || !device->context()) return InvalidArgs(errorText);
    MediaObjectList list;
    BrowseChildrenRequest ask{objectId, start, count, &list, server->mediaBaseUrl().c_str()};
    total = device->callback()(device->context(), kRequestBrowseChildren, &ask);
    if (total < 0) return NoSuchObject(errorText);
    result = WriteDidl(list.objects);
    returned = static_cast<int32_t>(list.objects.size());
  } else if (strcmp(flag, "BrowseMetadata") == 0) {
    if (!device->callback() || !device->context()) return InvalidArgs(errorText);
    MediaObject object;
    BrowseMetadataRequest ask{objectId, &object, server->mediaBaseUrl().c_str()};
    if (!device->callback()(device->context(), kRequestBrowseMetadata, &ask)) return NoSuchObject(errorText);
    result = WriteDidl({object});
    returned = total = 1;
  } else {
    return InvalidArgs(errorText);
  }

  *out = {{"Result", std::move(result)},
          {"NumberReturned", std::to_string(returned)},
          {"TotalMatches", std::to_string(total)},
          {"UpdateID", std::to_string(ContainerUpdateId(objectId))}};
  return 0;
}

}  // namespace

const ServiceTable& ContentDirectoryTable() {
  static const ServiceTable table{
      kCdsType,
      "urn:upnp-org:serviceId:ContentDirectory",
      "cds.xml",
      "/upnp/control/cds",
      "/upnp/event/cds",
      {
          {"Browse",
           Browse,
           {{"ObjectID", false, "A_ARG_TYPE_ObjectID"},
            {"BrowseFlag", false, "A_ARG_TYPE_BrowseFlag"},
            {"Filter", false, "A_ARG_TYPE_Filter"},
            {"StartingIndex", false, "A_ARG_TYPE_Index"},
            {"RequestedCount", false, "A_ARG_TYPE_Count"},
            {"SortCriteria", false, "A_ARG_TYPE_SortCriteria"},
            {"Result", true, "A_ARG_TYPE_Result"},
            {"NumberReturned", true, "A_ARG_TYPE_Count"},
            {"TotalMatches", true, "A_ARG_TYPE_Count"},
            {"UpdateID", true, "A_ARG_TYPE_UpdateID"}}},
          {"GetSearchCapabilities", GetSearchCapabilities, {{"SearchCaps", true, "SearchCapabilities"}}},
          {"GetSortCapabilities", GetSortCapabilities, {{"SortCaps", true, "SortCapabilities"}}},
          {"GetSystemUpdateID", GetSystemUpdateID, {{"Id", true, "SystemUpdateID"}}},
      },
      {
          {"SystemUpdateID", "ui4", true, {}},
          {"ContainerUpdateIDs", "string", true, {}},
          {"SearchCapabilities", "string", false, {}},
          {"SortCapabilities", "string", false, {}},
          {"A_ARG_TYPE_ObjectID", "string", false, {}},
          {"A_ARG_TYPE_Result", "string", false, {}},
          {"A_ARG_TYPE_BrowseFlag", "string", false, {"BrowseMetadata", "BrowseDirectChildren"}},
          {"A_ARG_TYPE_Filter", "string", false, {}},
          {"A_ARG_TYPE_SortCriteria", "string", false, {}},
          {"A_ARG_TYPE_Index", "ui4", false, {}},
          {"A_ARG_TYPE_Count", "ui4", false, {}},
          {"A_ARG_TYPE_UpdateID", "ui4", false, {}},
      },
      false,  // no state: Browse runs beside the other requests
  };
  return table;
}

}  // namespace tovaly
