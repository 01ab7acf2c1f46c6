// MediaDownload:1 of the local device. It only relays: every action becomes
// one request to the host (codes 61-73) and the host's answer goes into the
// response. The host's own failures travel in the values it answers, never as
// faults.

#include <string>

#include "device/service_table.h"
#include "device/upnp_device.h"

namespace tovaly {
namespace {

const char kMdsType[] = "urn:schemas-upnp-org:service:MediaDownload:1";



bool HasHost(const upnp_device* device) { return device->callback() && device->context(); }

int32_t Ask(upnp_device* device, EventCode code, void* args) {
  return device->callback()(device->context(), code, args);
}


// Actions that hand over one text of the host's.
int32_t TextAction(upnp_device* device, EventCode code, const char* name, SoapOutputs* out, const char** errorText) {
  *errorText = nullptr;
  if (!HasHost(device)) return InternalError(errorText);
  TextAnswer answer;
  Ask(device, code, &answer);
  out->emplace_back(name, std::move(answer.text));
  return 0;
}

// Start, Pause and Stop: the host's answer is not looked at.
int32_t DownloadCommand(upnp_device* device, const SoapRequest& request, EventCode code, const char** errorText) {
  *errorText = nullptr;
  const char* id = request.Argument("DownloadID");
  if (!HasHost(device) || !id) return InternalError(errorText);
  DownloadIdRequest args{id};
  Ask(device, code, &args);
  return 0;  // no OUT arguments: an empty response element
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

int32_t GetCurrentDownloadIDs(upnp_device* device, const SoapRequest&, SoapOutputs* out,
                              const char** errorText) {
  return TextAction(device, kRequestDownloadIds, "DownloadIDs", out, errorText);
}

int32_t GetAllDownloadInfos(upnp_device* device, const SoapRequest&, SoapOutputs* out, const char** errorText) {
  return TextAction(device, kRequestAllDownloadInfos, "Result", out, errorText);
}

int32_t GetStorageInfo(upnp_device* device, const SoapRequest&, SoapOutputs* out, const char** errorText) {
  *errorText = nullptr;
  if (!HasHost(device)) return InternalError(errorText);
  StorageInfoRequest args;
  Ask(device, kRequestStorageInfo, &args);
  const std::string total = std::to_string(args.totalSpace);
  const std::string free = std::to_string(args.freeSpace);
  *out = {{"TotalSpace", total}, {"FreeSpace", free}};
  return 0;
}

int32_t GetProgressInfo(upnp_device* device, const SoapRequest& request, SoapOutputs* out,
                        const char** errorText) {
  *errorText = nullptr;
  const char* id = request.Argument("DownloadID");
  if (!HasHost(device) || !id) return InternalError(errorText);
  ProgressInfoRequest args{id};
  Ask(device, kRequestProgressInfo, &args);
  const std::string elapsed = std::to_string(args.elapsedTime);
  const std::string size = std::to_string(args.downloadedSize);
  const std::string percentage = std::to_string(args.percentage);
  *out = {{"ElapsedTime", elapsed},
          {"DownloadedSize", size},
          {"DownloadedPercentage", percentage}};
  return 0;
}

int32_t GetDownloadInfo(upnp_device* device, const SoapRequest& request, SoapOutputs* out,
                        const char** errorText) {
  *errorText = nullptr;
  const char* id = request.Argument("DownloadID");
  if (!HasHost(device) || !id) return InternalError(errorText);
  DownloadInfoRequest args{};
  args.downloadId = id;
  Ask(device, kRequestDownloadInfo, &args);
  const std::string start = std::to_string(args.startTime);
  const std::string length = std::to_string(args.contentLength);
  *out = {{"Uri", args.uri},
          {"Title", args.title},
          {"StartTime", start},
          {"ContentLength", length},
          {"Status", StatusText(args.status)}};
  return 0;
}

int32_t SetDownloadURI(upnp_device* device, const SoapRequest& request, SoapOutputs* out,
                       const char** errorText) {
  *errorText = nullptr;
  if (!HasHost(device)) return InternalError(errorText);
  SetDownloadUriRequest args{request.Argument("Uri"), request.Argument("UniqueId"),
                             request.Argument("Title"), {}};
  Ask(device, kRequestSetDownloadUri, &args);
  if (args.downloadId.empty()) return InternalError(errorText);
  *out = {{"DownloadID", args.downloadId}};
  return 0;
}

int32_t RemoveDownload(upnp_device* device, const SoapRequest& request, SoapOutputs* out,
                       const char** errorText) {
  *errorText = nullptr;
  const char* id = request.Argument("DownloadID");
  if (!HasHost(device) || !id) return InternalError(errorText);
  DownloadIdRequest args{id};
  const std::string result = std::to_string(Ask(device, kRequestRemoveDownload, &args));
  *out = {{"Result", result}};
  return 0;
}

int32_t Start(upnp_device* device, const SoapRequest& request, SoapOutputs*, const char** errorText) {
  return DownloadCommand(device, request, kRequestStartDownload, errorText);
}

int32_t Pause(upnp_device* device, const SoapRequest& request, SoapOutputs*, const char** errorText) {
  return DownloadCommand(device, request, kRequestPauseDownload, errorText);
}

int32_t Stop(upnp_device* device, const SoapRequest& request, SoapOutputs*, const char** errorText) {
  return DownloadCommand(device, request, kRequestStopDownload, errorText);
}

int32_t GetCacheInfo(upnp_device* device, const SoapRequest&, SoapOutputs* out, const char** errorText) {
  return TextAction(device, kRequestCacheInfo, "Result", out, errorText);
}

int32_t GetMacAddress(upnp_device* device, const SoapRequest&, SoapOutputs* out, const char** errorText) {
  return TextAction(device, kRequestMacAddress, "Result", out, errorText);
}

int32_t BindingDevice(upnp_device* device, const SoapRequest& request, SoapOutputs*,
                      const char** errorText) {
  *errorText = nullptr;
  const char* binding = request.Argument("Binding");
  if (!HasHost(device) || !binding) return InternalError(errorText);
  BindingRequest args{binding};
  Ask(device, kRequestBinding, &args);
  return 0;  // no OUT arguments: an empty response element
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
