#include "device/upnp_device.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <upnp.h>
#include <upnptools.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/trace.h"
#include "core/uuid.h"
#include "device/ssdp_notify.h"
#include "upnp/ixml_util.h"
#include "upnp/stack.h"

namespace tovaly {

namespace {

constexpr int kMaxAge = 100;

// The stack's exact callback type; nothing may unwind into it.
int DeviceTrampoline(Upnp_EventType type, const void* event, void* cookie) noexcept {
  return upnp_device::DeviceCallback(type, event, cookie);
}

}  // namespace

upnp_device::upnp_device(EventCallback callback, void* context) : callback_(callback), context_(context) {
  lock_.Init();
}

upnp_device::~upnp_device() {
  StopReadvertising();
  ReleaseStack();
  RemoveWebRoot();
  lock_.Destroy();
}

void upnp_device::StopReadvertising() {
  {
    std::lock_guard<std::mutex> lk(readvertiseLock_);
    readvertiseStopped_ = true;
  }
  readvertiseWake_.notify_all();
  if (readvertiseThread_.joinable()) readvertiseThread_.join();
}

void upnp_device::Readvertise(std::string address, std::vector<std::string> datagrams) {
  for (int burst = 0; burst < 2; ++burst) {
    {
      std::unique_lock<std::mutex> lk(readvertiseLock_);
      if (readvertiseWake_.wait_for(lk, std::chrono::seconds(2), [&] { return readvertiseStopped_; })) return;
    }
    SendAliveBurst(address, datagrams);
  }
}

void upnp_device::ReleaseStack() {
  if (stackHeld_) {
    stackHeld_ = false;
    UpnpStackRelease();
  }
}

void upnp_device::Identify() {
  if (!callback_ || !context_) return;
  FlagRequest flag{0};
  callback_(context_, kRequestMediaDownload, &flag);
  mediaDownloadEnabled = flag.flag;
  char udn[256] = "";
  TextRequest request{udn, sizeof udn};
  callback_(context_, kRequestDeviceUdn, &request);
  udn[sizeof udn - 1] = '\0';
  udn_ = udn;
}

void upnp_device::AddService(const ServiceTable& table,
                             const std::vector<std::pair<const char*, std::string>>& values) {
  ServiceEntry entry{udn_, &table, {}, {}};
  for (const StateVariableEntry& var : table.variables) {
    if (!var.evented) continue;
    std::string value;
    for (const auto& v : values) {
      if (strcmp(v.first, var.name) == 0) value = v.second;
    }
    entry.variableNames.push_back(var.name);
    entry.variableValues.push_back(value);
  }
  services_.push_back(std::move(entry));
}

void upnp_device::InitServices() {
  services_.clear();
  AddService(ConnectionManagerTable(), {{"CurrentConnectionIDs", "0"},
                                       {"SinkProtocolInfo", sinkProtocolInfo},
                                       {"SourceProtocolInfo", sourceProtocolInfo}});
}

bool upnp_device::WriteWebRoot() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  std::string pattern = std::string(runtime && *runtime == '/' ? runtime : "/tmp") + "/tovaly-web-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return false;
  webRoot_ = buf.data();
  for (const ServiceEntry& entry : services_) {
    const std::string text = BuildScpd(*entry.table);
    std::ofstream out(webRoot_ + "/" + entry.table->scpdUrl, std::ios::binary | std::ios::trunc);
    out << text;
    if (text.empty() || !out) return false;
  }
  return true;
}

void upnp_device::RemoveWebRoot() {
  if (webRoot_.empty()) return;
  if (DIR* dir = opendir(webRoot_.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) unlink((webRoot_ + "/" + e->d_name).c_str());
    }
    closedir(dir);
  }
  rmdir(webRoot_.c_str());
  webRoot_.clear();
}

int upnp_device::Start(const char* address, uint16_t port, DeviceInfo info) {
  const int rc = Bringup(address, port, std::move(info));
  // One way back from any step: Stop undoes whatever the steps got to.
  if (rc != 0) Stop();
  return rc;
}

int upnp_device::Bringup(const char* address, uint16_t port, DeviceInfo info) {
  int rc = UpnpStackAcquire(address, port);
  if (rc != 0) return rc;
  stackHeld_ = true;

  const char* ip = UpnpGetServerIpAddress();
  const std::string serverIp = ip ? ip : "";
  const int serverPort = UpnpGetServerPort();
  baseUrl_ = "http://" + serverIp + ":" + std::to_string(serverPort) + "/";
  rc = StartBeforeRegistration(serverIp, serverPort);
  if (rc != 0) return rc;

  Identify();
  info.udn = udn_;
  if (info.udn.empty() || info.friendlyName.empty()) return UPNP_E_INVALID_PARAM;
  info.friendlyName = DecorateFriendlyName(info.friendlyName, serverIp, serverPort);
  friendlyName_ = info.friendlyName;

  const std::string presentation =
      info.presentationUrl ? "http://" + serverIp + ":" + std::to_string(serverPort) + "/" + info.presentationUrl
                           : baseUrl_;
  info.presentationUrl = presentation.c_str();

  if (!mediaDownloadEnabled && info.serviceCount > 0) --info.serviceCount;

  // The tables are built before registration: the service descriptions in
  // the web root are written from them.
  InitServices();
  if (!WriteWebRoot()) return UPNP_E_FILE_NOT_FOUND;
  rc = UpnpSetWebServerRootDir(webRoot_.c_str());
  if (rc != 0) return rc;

  const std::string probe = serverIp + ":" + std::to_string(StackAckPort());
  const std::string description = BuildDescription(info, probe);
  if (description.empty()) return UPNP_E_INVALID_DESC;
  rc = UpnpRegisterRootDevice2(UPNPREG_BUF_DESC, description.c_str(), description.size() + 1, 1,
                               &DeviceTrampoline, this, &handle_);
  if (rc != 0) return rc;
  registered_ = true;
  StackSetRootDeviceUdn(udn_);  // what presence probes are answered with
  UpnpSetMaxSubscriptions(handle_, 32);
  // A subscriber that goes away silently holds its slot this long at most.
  UpnpSetMaxSubscriptionTimeOut(handle_, 300);

  rc = UpnpSendAdvertisement(handle_, kMaxAge);
  if (rc != 0) return rc;

  AliveAnnouncement alive;
  alive.location = baseUrl_ + "description.xml";
  alive.udn = udn_;
  alive.deviceType = info.deviceType ? info.deviceType : "";
  for (int i = 0; i < info.serviceCount; ++i) alive.serviceTypes.push_back(info.services[static_cast<size_t>(i)].serviceType);
  alive.maxAge = kMaxAge;
  readvertiseThread_ = std::thread(&upnp_device::Readvertise, this, serverIp, BuildAliveNotifies(alive, NewUuid()));
  return 0;
}

int upnp_device::Stop() {
  stopping_ = true;
  StopReadvertising();
  int rc = 0;
  if (registered_) {
    registered_ = false;
    StackSetRootDeviceUdn("");
    rc = UpnpUnRegisterRootDevice(handle_);
  }
  // The stack share goes here, on the caller's thread, and not in the
  // destructor: the last reference may be dropped on a stack callback thread,
  // where finishing the stack would wait for itself.
  ReleaseStack();
  return rc;
}

int upnp_device::DeviceCallback(int eventType, const void* event, void* cookie) {
  auto* device = static_cast<upnp_device*>(cookie);
  if (!device || !event) return 0;
  RefPtr<upnp_device> hold(device);
  void* e = const_cast<void*>(event);
  const bool serialised = eventType != UPNP_CONTROL_ACTION_REQUEST || device->Serialised(e);
  if (serialised) device->lock_.Lock();
  struct Unlock {
    Mutex* m;
    ~Unlock() {
      if (m) m->Unlock();
    }
  } unlock{serialised ? &device->lock_ : nullptr};
  if (device->stopping_) return 0;
  try {
    switch (eventType) {
      case UPNP_CONTROL_ACTION_REQUEST: device->OnActionRequest(e); break;
      case UPNP_CONTROL_GET_VAR_REQUEST: device->OnGetVarRequest(e); break;
      case UPNP_EVENT_SUBSCRIPTION_REQUEST: device->OnSubscriptionRequest(e); break;
      default: break;
    }
  } catch (...) {
    // Nothing may unwind into the C stack; an action still gets its fault.
    if (eventType == UPNP_CONTROL_ACTION_REQUEST) {
      auto* request = static_cast<UpnpActionRequest*>(e);
      if (IXML_Document* doc = UpnpActionRequest_get_ActionResult(request)) ixmlDocument_free(doc);
      UpnpActionRequest_set_ActionResult(request, nullptr);
      UpnpActionRequest_set_ErrCode(request, 501);
      UpnpActionRequest_strcpy_ErrStr(request, "Internal Error");
    }
  }
  return 0;
}

bool upnp_device::Serialised(void* event) const {
  auto* request = static_cast<UpnpActionRequest*>(event);
  const char* udn = UpnpActionRequest_get_DevUDN_cstr(request);
  const char* serviceId = UpnpActionRequest_get_ServiceID_cstr(request);
  for (const ServiceEntry& s : services_) {
    if (udn && serviceId && s.udn == udn && strcmp(s.table->serviceId, serviceId) == 0) return s.table->serialised;
  }
  return true;
}

void upnp_device::OnActionRequest(void* event) {
  auto* request = static_cast<UpnpActionRequest*>(event);
  UpnpActionRequest_set_ErrCode(request, 0);
  UpnpActionRequest_set_ActionResult(request, nullptr);
  const char* udn = UpnpActionRequest_get_DevUDN_cstr(request);
  const char* serviceId = UpnpActionRequest_get_ServiceID_cstr(request);
  const char* actionName = UpnpActionRequest_get_ActionName_cstr(request);
  DebugTrace("--- action %s of %s\n", actionName ? actionName : "", serviceId ? serviceId : "");

  const ServiceEntry* entry = nullptr;
  for (const ServiceEntry& s : services_) {
    if (udn && serviceId && s.udn == udn && strcmp(s.table->serviceId, serviceId) == 0) {
      entry = &s;
      break;
    }
  }
  if (!entry) {
    UpnpActionRequest_set_ErrCode(request, 401);
    UpnpActionRequest_strcpy_ErrStr(request, "Invalid Service");
    return;
  }
  const ActionEntry* action = nullptr;
  for (const ActionEntry& a : entry->table->actions) {
    if (actionName && strcmp(a.name, actionName) == 0) {
      action = &a;
      break;
    }
  }
  if (!action) {
    UpnpActionRequest_set_ErrCode(request, 401);
    UpnpActionRequest_strcpy_ErrStr(request, "Invalid Action");
    return;
  }

  IXML_Document* response = nullptr;
  const char* errorText = nullptr;
  const int32_t status = action->handler(this, UpnpActionRequest_get_ActionRequest(request), &response, &errorText);
  if (status == 0) {
    // libupnp frees the result after replying.
    UpnpActionRequest_set_ActionResult(request, response);
    return;
  }
  if (response) ixmlDocument_free(response);
  // libupnp inserts the text into the fault unescaped.
  UpnpActionRequest_strcpy_ErrStr(request, XmlEscape(errorText ? errorText : "Unkown Action").c_str());
  UpnpActionRequest_set_ErrCode(request, status == -911 ? 501 : status == -101 ? 402 : status);
}

void upnp_device::OnGetVarRequest(void* event) {
  auto* request = static_cast<UpnpStateVarRequest*>(event);
  const char* udn = UpnpStateVarRequest_get_DevUDN_cstr(request);
  const char* serviceId = UpnpStateVarRequest_get_ServiceID_cstr(request);
  const char* name = UpnpStateVarRequest_get_StateVarName_cstr(request);
  for (const ServiceEntry& s : services_) {
    if (!udn || !serviceId || !name || s.udn != udn || strcmp(s.table->serviceId, serviceId) != 0) continue;
    for (size_t i = 0; i < s.variableNames.size(); ++i) {
      if (s.variableNames[i] == name) {
        // Copied by the stack, inserted unescaped.
        const std::string value = XmlEscape(s.variableValues[i]);
        UpnpStateVarRequest_set_CurrentVal(request, value.c_str());
        UpnpStateVarRequest_set_ErrCode(request, 0);
        return;
      }
    }
  }
  UpnpStateVarRequest_set_ErrCode(request, 404);
  UpnpStateVarRequest_strcpy_ErrStr(request, "Invalid Variable");
}

void upnp_device::OnSubscriptionRequest(void* event) {
  auto* request = static_cast<UpnpSubscriptionRequest*>(event);
  const char* serviceId = UpnpSubscriptionRequest_get_ServiceId_cstr(request);
  const char* udn = UpnpSubscriptionRequest_get_UDN_cstr(request);
  const char* sid = UpnpSubscriptionRequest_get_SID_cstr(request);
  if (!serviceId || !udn || !sid) return;
  for (const ServiceEntry& s : services_) {
    if (s.udn != udn || strcmp(s.table->serviceId, serviceId) != 0) continue;
    // The property-set form escapes the values (the plain form does not).
    IXML_Document* propertySet = nullptr;
    for (size_t i = 0; i < s.variableNames.size(); ++i) {
      UpnpAddToPropertySet(&propertySet, s.variableNames[i].c_str(), s.variableValues[i].c_str());
    }
    IxmlDocument owner(propertySet);
    UpnpAcceptSubscriptionExt(handle_, udn, serviceId, propertySet, sid);
  }
}

}  // namespace tovaly
