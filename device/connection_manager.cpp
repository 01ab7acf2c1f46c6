// ConnectionManager:1 of the local device: the formats it offers and at most
// one connection, the one made by the last PrepareForConnection.

#include <ctime>
#include <string>

#include "device/service_table.h"
#include "device/upnp_device.h"
#include "core/text.h"

namespace tovaly {
namespace {

const char kCmType[] = "urn:schemas-upnp-org:service:ConnectionManager:1";

int32_t GetCurrentConnectionIDs(upnp_device* device, const SoapRequest&, SoapOutputs* out,
                                const char** errorText) {
  *errorText = nullptr;
  const std::string ids = device->currentConnectionId >= 0 ? std::to_string(device->currentConnectionId) : "";
  *out = {{"ConnectionIDs", ids}};
  return 0;
}

int32_t GetCurrentConnectionInfo(upnp_device* device, const SoapRequest& request, SoapOutputs* out,
                                 const char** errorText) {
  *errorText = nullptr;
  const int32_t id = ParseDecimal(request.Argument("ConnectionID"));
  // Anything but the current connection: the framework answers -501 with its
  // default text.
  if (id < 0 || id != device->currentConnectionId) return -501;
  const std::string text = std::to_string(id);
  *out = {{"RcsID", text},
          {"AVTransportID", text},
          {"ProtocolInfo", ""},
          {"PeerConnectionManager", ""},
          {"PeerConnectionID", "-1"},
          {"Direction", "Output"},
          {"Status", "OK"}};
  return 0;
}

int32_t GetProtocolInfo(upnp_device* device, const SoapRequest& request, SoapOutputs* out,
                        const char** errorText) {
  *errorText = nullptr;
  const char* from = request.Argument("From");
  if (from && *from && device->callback() && device->context()) {
    ProtocolInfoFrom args{from};
    device->callback()(device->context(), kEventProtocolInfoFrom, &args);
  }
  *out = {{"Source", device->sourceProtocolInfo}, {"Sink", device->sinkProtocolInfo}};
  return 0;
}

int32_t PrepareForConnection(upnp_device* device, const SoapRequest&, SoapOutputs* out,
                             const char** errorText) {
  *errorText = nullptr;
  const int32_t id = static_cast<int32_t>(static_cast<uint64_t>(time(nullptr)) & 0x7FFFFFFF);
  device->currentConnectionId = id;
  const std::string text = std::to_string(id);
  *out = {{"ConnectionID", text}, {"AVTransportID", text}, {"RcsID", text}};
  return 0;
}

int32_t ConnectionComplete(upnp_device* device, const SoapRequest& request, SoapOutputs* out,
                           const char** errorText) {
  *errorText = nullptr;
  const int32_t id = ParseDecimal(request.Argument("ConnectionID"));
  if (id == device->currentConnectionId) device->currentConnectionId = -1;
  (void)out;
  return 0;  // no OUT arguments: an empty response element
}

}  // namespace

const ServiceTable& ConnectionManagerTable() {
  static const ServiceTable table{
      kCmType,
      "urn:upnp-org:serviceId:ConnectionManager",
      "cm.xml",
      "/upnp/control/cm",
      "/upnp/event/cm",
      {
          {"GetCurrentConnectionIDs", GetCurrentConnectionIDs, {{"ConnectionIDs", true, "CurrentConnectionIDs"}}},
          {"GetCurrentConnectionInfo",
           GetCurrentConnectionInfo,
           {{"ConnectionID", false, "A_ARG_TYPE_ConnectionID"},
            {"RcsID", true, "A_ARG_TYPE_RcsID"},
            {"AVTransportID", true, "A_ARG_TYPE_AVTransportID"},
            {"ProtocolInfo", true, "A_ARG_TYPE_ProtocolInfo"},
            {"PeerConnectionManager", true, "A_ARG_TYPE_ConnectionManager"},
            {"PeerConnectionID", true, "A_ARG_TYPE_ConnectionID"},
            {"Direction", true, "A_ARG_TYPE_Direction"},
            {"Status", true, "A_ARG_TYPE_ConnectionStatus"}}},
          {"GetProtocolInfo",
           GetProtocolInfo,
           {{"Source", true, "SourceProtocolInfo"}, {"Sink", true, "SinkProtocolInfo"}}},
          {"PrepareForConnection",
           PrepareForConnection,
           {{"RemoteProtocolInfo", false, "A_ARG_TYPE_ProtocolInfo"},
            {"PeerConnectionManager", false, "A_ARG_TYPE_ConnectionManager"},
            {"PeerConnectionID", false, "A_ARG_TYPE_ConnectionID"},
            {"Direction", false, "A_ARG_TYPE_Direction"},
            {"ConnectionID", true, "A_ARG_TYPE_ConnectionID"},
            {"AVTransportID", true, "A_ARG_TYPE_AVTransportID"},
            {"RcsID", true, "A_ARG_TYPE_RcsID"}}},
          {"ConnectionComplete", ConnectionComplete, {{"ConnectionID", false, "A_ARG_TYPE_ConnectionID"}}},
      },
      {
          {"CurrentConnectionIDs", "string", true, {}},
          {"SinkProtocolInfo", "string", true, {}},
          {"SourceProtocolInfo", "string", true, {}},
          {"A_ARG_TYPE_ConnectionStatus",
           "string",
           false,
          {"OK", "ContentFormatMismatch", "InsufficientBandwidth", "UnreliableChannel", "Unknown"}},
          {"A_ARG_TYPE_ConnectionManager", "string", false, {}},
          {"A_ARG_TYPE_Direction", "string", false, {"Input", "Output"}},
          {"A_ARG_TYPE_ProtocolInfo", "string", false, {}},
          {"A_ARG_TYPE_ConnectionID", "i4", false, {}},
          {"A_ARG_TYPE_AVTransportID", "i4", false, {}},
          {"A_ARG_TYPE_RcsID", "i4", false, {}},
      }};
  return table;
}

}  // namespace tovaly
