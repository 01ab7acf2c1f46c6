// MediaDownload:1 of the local device. It only relays: every action becomes
// one request to the host (codes 61-73) and the host's answer goes into the
// response. The host's own failures travel in the values it answers, never as
// faults.

#include <upnp.h>
#include <upnptools.h>

#include <string>

#include "device/service_table.h"
#include "device/upnp_device.h"
#include "upnp/ixml_util.h"

namespace tovaly {
namespace {

const char kMdsType[] = "urn:schemas-upnp-org:service:MediaDownload:1";



bool AddOutputs(IXML_Document** response, const char* action,
                std::initializer_list<std::pair<const char*, const char*>> outputs) {
  return AddActionOutputs(response, action, kMdsType, outputs);
}

// The response of an action without OUT arguments: an empty element.
int32_t NoOutputs(const char* action, IXML_Document** response, const char** errorText) {
  return AddOutputs(response, action, {{nullptr, nullptr}}) ? 0 : InternalError(errorText);
}

bool HasHost(const upnp_device* device) { return device->callback() && device->context(); }

int32_t Ask(upnp_device* device, EventCode code, void* args) {
  return device->callback()(device->context(), code, args);
}

// A required IN argument: null when it is missing or has no text.
const char* Required(IXML_Document* request, const char* name) {
  const char* text = ArgumentText(request, name);
  return text && *text ? text : nullptr;
}

// Actions that hand over one text of the host's.
int32_t TextAction(upnp_device* device, EventCode code, const char* action, const char* out,
                   IXML_Document** response, const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  if (!HasHost(device)) return InternalError(errorText);
  TextAnswer answer;
  Ask(device, code, &answer);
  return AddOutputs(response, action, {{out, answer.text.c_str()}}) ? 0 : InternalError(errorText);
}

// Start, Pause and Stop: the host's answer is not looked at.
int32_t DownloadCommand(upnp_device* device, IXML_Document* request, EventCode code, const char* action,
                        IXML_Document** response, const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  const char* id = Required(request, "DownloadID");
  if (!HasHost(device) || !id) return InternalError(errorText);
  DownloadIdRequest args{id};
  Ask(device, code, &args);
  return NoOutputs(action, response, errorText);
}

const char* StatusText(int32_t status) {
  switch (status) {
    case 0: return "Complete";
    case 2: return "Pending";
    case 3: return "Downloading";
    case 4: return "Paused";
    default: return "Error";
  }
}

int32_t GetCurrentDownloadIDs(upnp_device* device, IXML_Document*, IXML_Document** response,
                              const char** errorText) {
  return TextAction(device, kRequestDownloadIds, "GetCurrentDownloadIDs", "DownloadIDs", response, errorText);
}

int32_t GetAllDownloadInfos(upnp_device* device, IXML_Document*, IXML_Document** response, const char** errorText) {
  return TextAction(device, kRequestAllDownloadInfos, "GetAllDownloadInfos", "Result", response, errorText);
}

int32_t GetStorageInfo(upnp_device* device, IXML_Document*, IXML_Document** response, const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  if (!HasHost(device)) return InternalError(errorText);
  StorageInfoRequest args;
  Ask(device, kRequestStorageInfo, &args);
  const std::string total = std::to_string(args.totalSpace);
  const std::string free = std::to_string(args.freeSpace);
  return AddOutputs(response, "GetStorageInfo", {{"TotalSpace", total.c_str()}, {"FreeSpace", free.c_str()}})
             ? 0
             : InternalError(errorText);
}

int32_t GetProgressInfo(upnp_device* device, IXML_Document* request, IXML_Document** response,
                        const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  const char* id = Required(request, "DownloadID");
  if (!HasHost(device) || !id) return InternalError(errorText);
  ProgressInfoRequest args{id};
  Ask(device, kRequestProgressInfo, &args);
  const std::string elapsed = std::to_string(args.elapsedTime);
  const std::string size = std::to_string(args.downloadedSize);
  const std::string percentage = std::to_string(args.percentage);
  return AddOutputs(response, "GetProgressInfo",
                    {{"ElapsedTime", elapsed.c_str()},
                     {"DownloadedSize", size.c_str()},
                     {"DownloadedPercentage", percentage.c_str()}})
             ? 0
             : InternalError(errorText);
}

int32_t GetDownloadInfo(upnp_device* device, IXML_Document* request, IXML_Document** response,
                        const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  const char* id = Required(request, "DownloadID");
  if (!HasHost(device) || !id) return InternalError(errorText);
  DownloadInfoRequest args{};
  args.downloadId = id;
  Ask(device, kRequestDownloadInfo, &args);
  const std::string start = std::to_string(args.startTime);
  const std::string length = std::to_string(args.contentLength);
  return AddOutputs(response, "GetDownloadInfo",
                    {{"Uri", args.uri.c_str()},
                     {"Title", args.title.c_str()},
                     {"StartTime", start.c_str()},
                     {"ContentLength", length.c_str()},
                     {"Status", StatusText(args.status)}})
             ? 0
             : InternalError(errorText);
}

int32_t SetDownloadURI(upnp_device* device, IXML_Document* request, IXML_Document** response,
                       const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  if (!HasHost(device)) return InternalError(errorText);
  SetDownloadUriRequest args{ArgumentText(request, "Uri"), ArgumentText(request, "UniqueId"),
                             ArgumentText(request, "Title"), {}};
  Ask(device, kRequestSetDownloadUri, &args);
  if (args.downloadId.empty()) return InternalError(errorText);
  return AddOutputs(response, "SetDownloadURI", {{"DownloadID", args.downloadId.c_str()}}) ? 0 : InternalError(errorText);
}

int32_t RemoveDownload(upnp_device* device, IXML_Document* request, IXML_Document** response,
                       const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  const char* id = Required(request, "DownloadID");
  if (!HasHost(device) || !id) return InternalError(errorText);
  DownloadIdRequest args{id};
  const std::string result = std::to_string(Ask(device, kRequestRemoveDownload, &args));
  return AddOutputs(response, "RemoveDownload", {{"Result", result.c_str()}}) ? 0 : InternalError(errorText);
}

int32_t Start(upnp_device* device, IXML_Document* request, IXML_Document** response, const char** errorText) {
  return DownloadCommand(device, request, kRequestStartDownload, "Start", response, errorText);
}

int32_t Pause(upnp_device* device, IXML_Document* request, IXML_Document** response, const char** errorText) {
  return DownloadCommand(device, request, kRequestPauseDownload, "Pause", response, errorText);
}

int32_t Stop(upnp_device* device, IXML_Document* request, IXML_Document** response, const char** errorText) {
  return DownloadCommand(device, request, kRequestStopDownload, "Stop", response, errorText);
}

int32_t GetCacheInfo(upnp_device* device, IXML_Document*, IXML_Document** response, const char** errorText) {
  return TextAction(device, kRequestCacheInfo, "GetCacheInfo", "Result", response, errorText);
}

int32_t GetMacAddress(upnp_device* device, IXML_Document*, IXML_Document** response, const char** errorText) {
  return TextAction(device, kRequestMacAddress, "GetMacAddress", "Result", response, errorText);
}

int32_t BindingDevice(upnp_device* device, IXML_Document* request, IXML_Document** response,
                      const char** errorText) {
  *response = nullptr;
  *errorText = nullptr;
  const char* binding = Required(request, "Binding");
  if (!HasHost(device) || !binding) return InternalError(errorText);
  BindingRequest args{binding};
  Ask(device, kRequestBinding, &args);
  return NoOutputs("BindingDevice", response, errorText);
}

}  // namespace

const ServiceTable& MediaDownloadTable() {
  // 64-bit figures are declared as strings: UPnP 1.0 has no 64-bit integer type.
  static const ServiceTable table{
      kMdsType,
      "urn:upnp-org:serviceId:MediaDownload",
      "mds.xml",
      "/upnp/control/mds",
      "/upnp/event/mds",
      {
          {"GetCurrentDownloadIDs", GetCurrentDownloadIDs, {{"DownloadIDs", true, "A_ARG_TYPE_DownloadIDs"}}},
          {"GetAllDownloadInfos", GetAllDownloadInfos, {{"Result", true, "A_ARG_TYPE_DownloadInfos"}}},
          {"GetStorageInfo",
           GetStorageInfo,
           {{"TotalSpace", true, "TotalSpace"}, {"FreeSpace", true, "A_ARG_TYPE_FreeSpace"}}},
          {"GetProgressInfo",
           GetProgressInfo,
           {{"DownloadID", false, "A_ARG_TYPE_DownloadID"},
            {"ElapsedTime", true, "A_ARG_TYPE_ElapsedTime"},
            {"DownloadedSize", true, "A_ARG_TYPE_DownloadedSize"},
            {"DownloadedPercentage", true, "A_ARG_TYPE_DownloadedPercentage"}}},
          {"GetDownloadInfo",
           GetDownloadInfo,
           {{"DownloadID", false, "A_ARG_TYPE_DownloadID"},
            {"Uri", true, "A_ARG_TYPE_Uri"},
            {"Title", true, "A_ARG_TYPE_Title"},
            {"StartTime", true, "A_ARG_TYPE_StartTime"},
            {"ContentLength", true, "A_ARG_TYPE_ContentLength"},
            {"Status", true, "A_ARG_TYPE_DownloadStatus"}}},
          {"SetDownloadURI",
           SetDownloadURI,
           {{"Uri", false, "A_ARG_TYPE_Uri"},
            {"UniqueId", false, "A_ARG_TYPE_UniqueId"},
            {"Title", false, "A_ARG_TYPE_Title"},
            {"DownloadID", true, "A_ARG_TYPE_DownloadID"}}},
          {"RemoveDownload",
           RemoveDownload,
           {{"DownloadID", false, "A_ARG_TYPE_DownloadID"}, {"Result", true, "A_ARG_TYPE_RemoveResult"}}},
          {"Start", Start, {{"DownloadID", false, "A_ARG_TYPE_DownloadID"}}},
          {"Pause", Pause, {{"DownloadID", false, "A_ARG_TYPE_DownloadID"}}},
          {"Stop", Stop, {{"DownloadID", false, "A_ARG_TYPE_DownloadID"}}},
          {"GetCacheInfo", GetCacheInfo, {{"Result", true, "A_ARG_TYPE_CacheInfo"}}},
          {"GetMacAddress", GetMacAddress, {{"Result", true, "A_ARG_TYPE_MacAddress"}}},
          {"BindingDevice", BindingDevice, {{"Binding", false, "A_ARG_TYPE_Binding"}}},
      },
      {
          {"TotalSpace", "string", true, {}},
          {"A_ARG_TYPE_FreeSpace", "string", false, {}},
          {"A_ARG_TYPE_DownloadID", "string", false, {}},
          {"A_ARG_TYPE_DownloadIDs", "string", false, {}},
          {"A_ARG_TYPE_DownloadInfos", "string", false, {}},
          {"A_ARG_TYPE_ElapsedTime", "string", false, {}},
          {"A_ARG_TYPE_DownloadedSize", "string", false, {}},
          {"A_ARG_TYPE_DownloadedPercentage", "i4", false, {}},
          {"A_ARG_TYPE_Uri", "string", false, {}},
          {"A_ARG_TYPE_Title", "string", false, {}},
          {"A_ARG_TYPE_UniqueId", "string", false, {}},
          {"A_ARG_TYPE_StartTime", "string", false, {}},
          {"A_ARG_TYPE_ContentLength", "string", false, {}},
          {"A_ARG_TYPE_DownloadStatus",
           "string",
           false,
           {"Complete", "Pending", "Downloading", "Paused", "Error"}},
          {"A_ARG_TYPE_RemoveResult", "i4", false, {}},
          {"A_ARG_TYPE_CacheInfo", "string", false, {}},
          {"A_ARG_TYPE_MacAddress", "string", false, {}},
          {"A_ARG_TYPE_Binding", "string", false, {}},
      }};
  return table;
}

}  // namespace tovaly
