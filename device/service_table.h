#pragma once
// The tables that describe a local service once: the dispatcher routes by
// them and the service description documents (SCPD) are written from them,
// so a client never sees an action the device does not serve or misses one
// it does.

#include <cstdint>
#include <string>
#include <vector>

#include "device/soap.h"

namespace tovaly {

class upnp_device;

// Status 0 is success, with the OUT arguments in *out in their declared
// order. On failure the handler sets *errorText (or leaves it null) and
// returns -911 (Internal Error), -101 (Invalid Args) or a UPnP error code
// that goes on the wire unchanged.
using ActionHandler = int32_t (*)(upnp_device* device, const SoapRequest& request, SoapOutputs* out,
                                  const char** errorText);

struct ArgumentEntry {
  const char* name;
  bool out;
  const char* relatedStateVariable;
};

struct ActionEntry {
  const char* name;
  ActionHandler handler;
  std::vector<ArgumentEntry> arguments;
};

struct StateVariableEntry {
  const char* name;
  const char* dataType;
  bool evented;
  std::vector<const char*> allowedValues;
};

struct ServiceTable {
  const char* serviceType;
  const char* serviceId;
  const char* scpdUrl;  // relative to the base URL
  const char* controlUrl;
  const char* eventSubUrl;
  std::vector<ActionEntry> actions;      // in dispatch order
  std::vector<StateVariableEntry> variables;
  // The actions touch the device's state and run one at a time under the
  // device lock. A service that keeps no state says false, so that a long
  // folder listing does not hold up every other request.
  bool serialised = true;
};

// The handlers' failure: -911 with "Internal Error".
int32_t InternalError(const char** errorText);

// The SCPD document of a service, with XML declaration.
std::string BuildScpd(const ServiceTable& table);

// The process-wide tables of the published services.
const ServiceTable& ConnectionManagerTable();
const ServiceTable& ContentDirectoryTable();
const ServiceTable& MediaDownloadTable();

}  // namespace tovaly
