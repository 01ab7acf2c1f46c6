#include "device/upnp_device.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <upnp.h>

#include <chrono>
#include <cstring>

#include "core/text.h"
#include "core/trace.h"
#include "core/uuid.h"
#include "device/ssdp_notify.h"
#include "upnp/stack.h"

namespace tovaly {
namespace {

constexpr int kMaxAge = 100;
const char kServer[] = "Linux UPnP/1.0 Tovaly/1.0";
const char kXml[] = "text/xml; charset=\"utf-8\"";
const char kControlNs[] = "urn:schemas-upnp-org:control-1-0";

// The stack's exact callback type. It never calls: its control and event
// lookups for the device are shut (stack.h), and both are served here.
int DeviceTrampoline(Upnp_EventType, const void*, void*) noexcept { return 0; }

HttpAnswer Status(unsigned status, const char* allow = nullptr) {
  HttpAnswer a;
  a.status = status;
  if (allow) a.headers.emplace_back("Allow", allow);
  return a;
}

HttpAnswer Xml(unsigned status, std::string body) {
  HttpAnswer a;
  a.status = status;
  a.contentType = kXml;
  a.body = std::move(body);
  a.headers.emplace_back("Server", kServer);
  return a;
}

HttpAnswer Fault(int code, const char* text) { return Xml(500, WriteSoapFault(code, text)); }

// "urn:...:service:ContentDirectory:1" without its version: a control point
// may address a service with the version it advertised or an older one.
std::string Unversioned(const std::string& type) {
  const size_t colon = type.rfind(':');
  return colon == std::string::npos ? type : type.substr(0, colon);
}

// The netmask of the interface that holds `address` (0 when none does).
in_addr NetmaskOf(in_addr address) {
  in_addr mask{};
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return mask;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (a->ifa_addr && a->ifa_netmask && a->ifa_addr->sa_family == AF_INET &&
        reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == address.s_addr) {
      mask = reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr;
      break;
    }
  }
  freeifaddrs(list);
  return mask;
}

}  // namespace

upnp_device::upnp_device(EventCallback callback, void* context) : callback_(callback), context_(context) {
  lock_.Init();
}

upnp_device::~upnp_device() {
  StopReadvertising();
  events_.Stop();
  ReleaseStack();
  lock_.Destroy();
}

void upnp_device::ReleaseStack() {
  if (stackHeld_) {
    stackHeld_ = false;
    UpnpStackRelease();
  }
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
  ServiceEntry entry{&table, BuildScpd(table), {}, {}};
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
  baseUrl_ = StartHttp(serverIp, serverPort, &rc);
  if (baseUrl_.empty()) return rc ? rc : UPNP_E_SOCKET_BIND;

  Identify();
  info.udn = udn_;
  if (info.udn.empty() || info.friendlyName.empty()) return UPNP_E_INVALID_PARAM;
  info.friendlyName = DecorateFriendlyName(info.friendlyName, serverIp, serverPort);
  friendlyName_ = info.friendlyName;

  const std::string presentation = !presentationUrl_.empty() ? presentationUrl_
                                   : info.presentationUrl   ? baseUrl_ + info.presentationUrl
                                                            : baseUrl_;
  info.presentationUrl = presentation.c_str();
  if (!mediaDownloadEnabled && info.serviceCount > 0) --info.serviceCount;

  // The tables and the documents are ready before anyone is told the
  // device is there: the stack reads the description at registration.
  InitServices();
  const std::string probe = serverIp + ":" + std::to_string(StackAckPort());
  description_ = BuildDescription(info, probe, baseUrl_);
  if (description_.empty()) return UPNP_E_INVALID_DESC;
  for (const ServiceEntry& s : services_) {
    if (s.scpd.empty()) return UPNP_E_INVALID_DESC;
  }
  OpenHttp();

  const std::string location = baseUrl_ + "description.xml";
  rc = UpnpRegisterRootDevice(location.c_str(), &DeviceTrampoline, this, &handle_);
  if (rc != 0) return rc;
  registered_ = true;
  StackSetRootDeviceUdn(udn_);  // what presence probes are answered with

  rc = UpnpSendAdvertisement(handle_, kMaxAge);
  if (rc != 0) return rc;

  AliveAnnouncement alive;
  alive.location = location;
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
  events_.Stop();
  // The stack share goes here, on the caller's thread, and not in the
  // destructor: the last reference may be dropped on a stack callback thread,
  // where finishing the stack would wait for itself.
  ReleaseStack();
  return rc;
}

bool upnp_device::Serves(const std::string& path) const {
  // By the shape of the path alone: the engine asks before the table is
  // built, and the phone page and the media have paths of other shapes.
  if (path.compare(0, 6, "/upnp/") == 0) return true;
  return path.size() > 5 && path.compare(path.size() - 4, 4, ".xml") == 0 && path.find('/', 1) == std::string::npos;
}

HttpAnswer upnp_device::Answer(const HttpRequest& request) {
  if (!ready_ || stopping_) return Status(503);
  const std::string& path = request.path;
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (path == "/description.xml") return get ? Xml(200, description_) : Status(405, "GET, HEAD");
  for (const ServiceEntry& s : services_) {
    if (path == std::string("/") + s.table->scpdUrl) return get ? Xml(200, s.scpd) : Status(405, "GET, HEAD");
    if (path == s.table->controlUrl) return request.method == "POST" ? Control(path, request) : Status(405, "POST");
    if (path == s.table->eventSubUrl) {
      if (request.method != "SUBSCRIBE" && request.method != "UNSUBSCRIBE") return Status(405, "SUBSCRIBE, UNSUBSCRIBE");
      return Subscription(s, request);
    }
  }
  // A control URL of no published service (MediaDownload when the host does
  // not offer it): the control error a client understands.
  if (path.compare(0, 14, "/upnp/control/") == 0 && request.method == "POST") return Fault(401, "Invalid Service");
  return Status(404);
}

HttpAnswer upnp_device::Control(const std::string& controlUrl, const HttpRequest& request) {
  const ServiceEntry* entry = nullptr;
  for (const ServiceEntry& s : services_) {
    if (controlUrl == s.table->controlUrl) entry = &s;
  }
  if (!entry) return Status(404);
  SoapRequest soap;
  switch (ReadSoapRequest(request.body, &soap)) {
    case SoapError::kNone: break;
    case SoapError::kTooLarge: return Status(413);
    case SoapError::kMalformed: return Status(400);
    case SoapError::kNotSoap: return Fault(401, "Invalid Action");
  }
  // SOAPACTION names the action too ("type#name", quoted): it must be there
  // and name this one.
  const char* header = request.Header("soapaction");
  if (!header) return Status(400);
  {
    std::string named = header;
    if (named.size() >= 2 && named.front() == '"' && named.back() == '"') named = named.substr(1, named.size() - 2);
    const size_t hash = named.rfind('#');
    if (hash == std::string::npos || named.substr(hash + 1) != soap.action) return Fault(401, "Invalid Action");
  }
  if (soap.serviceType == kControlNs && soap.action == "QueryStateVariable") return QueryVariable(*entry, soap);
  if (Unversioned(soap.serviceType) != Unversioned(entry->table->serviceType)) return Fault(401, "Invalid Action");
  DebugTrace("--- action %s of %s\n", soap.action.c_str(), entry->table->serviceId);
  const ActionEntry* action = nullptr;
  for (const ActionEntry& a : entry->table->actions) {
    if (soap.action == a.name) action = &a;
  }
  if (!action) return Fault(401, "Invalid Action");

  SoapOutputs outputs;
  const char* errorText = nullptr;
  int32_t status = 0;
  {
    const bool serialised = entry->table->serialised;
    if (serialised) lock_.Lock();
    struct Unlock {
      Mutex* m;
      ~Unlock() {
        if (m) m->Unlock();
      }
    } unlock{serialised ? &lock_ : nullptr};
    if (stopping_) return Status(503);
    try {
      status = action->handler(this, soap, &outputs, &errorText);
    } catch (...) {
      status = -911;  // out of memory: this request fails, the others go on
      errorText = "Internal Error";
    }
  }
  if (status == 0) return Xml(200, WriteSoapResponse(entry->table->serviceType, soap.action, outputs));
  return Fault(status == -911 ? 501 : status == -101 ? 402 : status, errorText ? errorText : "Unkown Action");
}

HttpAnswer upnp_device::QueryVariable(const ServiceEntry& service, const SoapRequest& soap) {
  const char* name = soap.Argument("varName");
  for (size_t i = 0; name && i < service.variableNames.size(); ++i) {
    if (service.variableNames[i] == name) {
      std::string value;
      {
        std::lock_guard<std::mutex> lk(variablesLock_);
        value = service.variableValues[i];
      }
      return Xml(200, WriteSoapResponse(kControlNs, "QueryStateVariable", {{"return", value}}));
    }
  }
  return Fault(404, "Invalid Variable");
}

HttpAnswer upnp_device::Subscription(const ServiceEntry& service, const HttpRequest& request) {
  GenaRequest gena;
  const int bad = ParseGenaRequest(request.method, request.Header("callback"), request.Header("nt"),
                                   request.Header("sid"), request.Header("timeout"), &gena);
  if (bad) return Status(static_cast<unsigned>(bad));
  const std::string serviceId = service.table->serviceId;
  HttpAnswer answer;
  answer.headers.emplace_back("Server", kServer);
  int timeout = 0;
  switch (gena.kind) {
    case GenaRequest::kUnsubscribe: answer.status = static_cast<unsigned>(events_.Unsubscribe(serviceId, gena)); return answer;
    case GenaRequest::kRenew: answer.status = static_cast<unsigned>(events_.Renew(serviceId, gena, &timeout)); break;
    case GenaRequest::kSubscribe: {
      std::string sid;
      answer.status = static_cast<unsigned>(events_.Subscribe(serviceId, gena, request.peer.sin_addr,
                                                              request.local.sin_addr, NetmaskOf(request.local.sin_addr),
                                                              &sid, &timeout));
      if (answer.status != 200) return answer;
      gena.sid = sid;
      // The first event follows the answer, so the subscriber knows the SID
      // it carries; it holds every evented variable's value.
      EventPublisher::Variables values;
      {
        std::lock_guard<std::mutex> lk(variablesLock_);
        for (size_t i = 0; i < service.variableNames.size(); ++i) {
          values.emplace_back(service.variableNames[i], service.variableValues[i]);
        }
      }
      answer.afterSent = [this, sid, values] { events_.SendInitial(sid, values); };
      break;
    }
  }
  if (answer.status == 200) {
    answer.headers.emplace_back("SID", gena.sid);
    answer.headers.emplace_back("TIMEOUT", "Second-" + std::to_string(timeout));
  }
  return answer;
}

void upnp_device::PublishEvent(const std::string& serviceId, const EventPublisher::Variables& variables) {
  {
    std::lock_guard<std::mutex> lk(variablesLock_);
    for (ServiceEntry& s : services_) {
      if (serviceId != s.table->serviceId) continue;
      for (const auto& v : variables) {
        for (size_t i = 0; i < s.variableNames.size(); ++i) {
          if (s.variableNames[i] == v.first) s.variableValues[i] = v.second;
        }
      }
    }
  }
  events_.Publish(serviceId, variables);
}

}  // namespace tovaly
