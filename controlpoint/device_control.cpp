#include "controlpoint/device_control.h"

#include <arpa/inet.h>
#include <upnp.h>
#include <upnptools.h>

#include <cstdlib>
#include <cstring>

#include "upnp/ixml_util.h"
#include "upnp/stack.h"

namespace tovaly {

int LeadingNumber(const char* text) { return ParseDecimal(text); }

const char* FirstElementText(IXML_Document* doc, const char* name) {
  return DescendantText(reinterpret_cast<IXML_Node*>(doc), name);
}

upnp_device_control::upnp_device_control(std::string udn, std::string friendlyName, std::string baseUrl,
                                         std::shared_ptr<ClientLink> link)
    : link_(std::move(link)), udn_(std::move(udn)), friendlyName_(std::move(friendlyName)),
      baseUrl_(std::move(baseUrl)) {}

upnp_device_control::~upnp_device_control() = default;

bool upnp_device_control::LocationMatches(const char* text) const {
  return text && strncmp(text, baseUrl_.c_str(), baseUrl_.size()) == 0;
}

const char* upnp_device_control::ServiceTypeOf(int index) {
  switch (index) {
    case kServiceConnectionManager: return "urn:schemas-upnp-org:service:ConnectionManager:1";
    case kServiceContentDirectory: return "urn:schemas-upnp-org:service:ContentDirectory:1";
    case kServiceAVTransport: return "urn:schemas-upnp-org:service:AVTransport:1";
    case kServiceRenderingControl: return "urn:schemas-upnp-org:service:RenderingControl:1";
    case kServiceMediaDownload: return "urn:schemas-upnp-org:service:MediaDownload:1";
    default: return nullptr;
  }
}

std::string upnp_device_control::VersionedType(const char* type, int version) {
  std::string t = type ? type : "";
  if (!t.empty() && version > 0 && version < 128) t.back() = static_cast<char>(version);
  return t;
}

bool upnp_device_control::SetService(int index, const RemoteService& service) {
  if (index == kServiceConnectionManager) {
    connectionManager_ = service;
  } else if (index == kServiceMediaDownload) {
    mediaDownload_ = service;
  } else {
    return false;
  }
  return true;
}

const char* upnp_device_control::GetServiceType(int index) const { return ServiceTypeOf(index); }

const std::string* upnp_device_control::GetControlURL(int index) const {
  if (index == kServiceConnectionManager) return &connectionManager_.controlUrl;
  if (index == kServiceMediaDownload) return &mediaDownload_.controlUrl;
  return nullptr;
}

int upnp_device_control::GetServiceVersion(int index) const {
  if (index == kServiceConnectionManager) return connectionManager_.version;
  if (index == kServiceMediaDownload) return mediaDownload_.version;
  return 0;
}

IXML_Document* upnp_device_control::SendAction(int index, const char* action, const ActionArguments& args,
                                               int* error) {
  int ignored = 0;
  if (!error) error = &ignored;
  const std::string* url = GetControlURL(index);
  if (!url || !action) {
    *error = UPNP_E_INVALID_PARAM;
    return nullptr;
  }
  // Addressed with the version the device advertised (ContentDirectory:2 ...).
  const std::string type = VersionedType(GetServiceType(index), GetServiceVersion(index));
  IXML_Document* request = nullptr;
  int rc = 0;
  if (args.empty()) {
    rc = UpnpAddToAction(&request, action, type.c_str(), nullptr, nullptr);
  } else {
    for (const auto& a : args) {
      rc = UpnpAddToAction(&request, action, type.c_str(), a.first.c_str(), a.second.c_str());
      if (rc != UPNP_E_SUCCESS) break;
    }
  }
  IxmlDocument owner(request);
  IXML_Document* response = nullptr;
  if (rc == UPNP_E_SUCCESS) {
    rc = UpnpSendAction(link_->handle.load(), url->c_str(), type.c_str(), nullptr, request, &response);
    if (rc != UPNP_E_SUCCESS && response) {
      ixmlDocument_free(response);
      response = nullptr;
    }
  }
  *error = rc;
  return response;
}

int upnp_device_control::PrepareForConnection(const char* protocolInfo, const char* peerConnectionManager,
                                              int peerConnectionId) {
  int error = 0;
  IXML_Document* response =
      SendAction(kServiceConnectionManager, "PrepareForConnection",
                 {{"RemoteProtocolInfo", protocolInfo ? protocolInfo : ""},
                  {"PeerConnectionManager", peerConnectionManager ? peerConnectionManager : ""},
                  {"PeerConnectionID", std::to_string(peerConnectionId)},
                  {"Direction", "Output"}},
                 &error);
  if (!response) return error;
  const int r = OnConnectionPrepared(response);
  ixmlDocument_free(response);
  return r;
}

int upnp_device_control::OnConnectionPrepared(IXML_Document* response) {
  if (!response) return 0;
  connectionId_ = LeadingNumber(FirstElementText(response, "ConnectionID"));
  return connectionId_;
}

void upnp_device_control::ConnectionComplete() {
  if (connectionId_ < 0) return;
  const std::string id = std::to_string(connectionId_);
  connectionId_ = -1;
  if (IXML_Document* r = SendAction(kServiceConnectionManager, "ConnectionComplete", {{"ConnectionID", id}}, nullptr)) {
    ixmlDocument_free(r);
  }
}

int upnp_device_control::QueryCurrentConnectionID() {
  if (IXML_Document* r = SendAction(kServiceConnectionManager, "GetCurrentConnectionIDs", {}, nullptr)) {
    const char* ids = FirstElementText(r, "ConnectionIDs");
    if (ids && *ids) connectionId_ = LeadingNumber(ids);
    ixmlDocument_free(r);
  }
  return connectionId_;
}

std::string upnp_device_control::GetPeerConnectionManager() const {
  std::lock_guard<std::mutex> lk(sidLock_);
  return udn_ + "/" + cmSid_;
}

int upnp_device_control::SubscribeConnectionManager() {
  int timeout = 1810;
  Upnp_SID sid = {};
  const int rc = UpnpSubscribe(link_->handle.load(), connectionManager_.eventUrl.c_str(), &timeout, sid);
  if (rc == UPNP_E_SUCCESS) {
    std::lock_guard<std::mutex> lk(sidLock_);
    cmTimeout_ = timeout;
    cmSid_.assign(sid, strnlen(sid, sizeof sid));
  }
  return rc;
}

void upnp_device_control::OnSubscriptionExpired(const char* sid) {
  if (upnp_device_control::HoldsSid(sid)) SubscribeConnectionManager();
}

bool upnp_device_control::HoldsSid(const char* sid) const {
  std::lock_guard<std::mutex> lk(sidLock_);
  return sid && !cmSid_.empty() && cmSid_ == sid;
}

void upnp_device_control::OnEvent(IXML_Document*) {}

void upnp_device_control::SetPresence(int64_t expiry, int maxAge) {
  std::lock_guard<std::mutex> lk(presence_);
  expiry_ = expiry;
  maxAge_ = maxAge;
}

void upnp_device_control::SetExpiry(int64_t expiry) {
  std::lock_guard<std::mutex> lk(presence_);
  expiry_ = expiry;
  // The device has just announced itself: an earlier failed check is stale.
  declaredDead_ = false;
}

int64_t upnp_device_control::expiry() const {
  std::lock_guard<std::mutex> lk(presence_);
  return expiry_;
}

void upnp_device_control::SetAckAddress(const sockaddr_in& address) {
  std::lock_guard<std::mutex> lk(presence_);
  ack_ = address;
}

bool upnp_device_control::HasAckAddress() const {
  std::lock_guard<std::mutex> lk(presence_);
  return ack_.sin_family == AF_INET && ack_.sin_addr.s_addr != INADDR_NONE;
}

void upnp_device_control::ExtendExpiry() {
  std::lock_guard<std::mutex> lk(presence_);
  const int64_t later = NowSeconds() + maxAge_;
  if (later > expiry_) expiry_ = later;
  probeSent_ = false;
  declaredDead_ = false;
}

bool upnp_device_control::AcceptsProbeReply(uint32_t address, uint16_t port) const {
  std::lock_guard<std::mutex> lk(presence_);
  return probeSent_ && ack_.sin_family == AF_INET && ack_.sin_addr.s_addr == address && ack_.sin_port == port;
}

bool upnp_device_control::TryKeepAlive() {
  std::unique_lock<std::mutex> lk(presence_);
  if (ack_.sin_family == AF_INET && ack_.sin_addr.s_addr != INADDR_NONE && !probeSent_) {
    probeSent_ = true;
    const sockaddr_in to = ack_;
    SendPresenceProbe(to);  // about one second, with the locks held
    return true;
  }
  if (livenessRunning_) return true;
  if (declaredDead_) return false;
  livenessRunning_ = true;
  lk.unlock();
  StartLivenessCheck();
  return true;
}

void upnp_device_control::SendPresenceProbe(const sockaddr_in& to) {
  StackSendProbe(to.sin_addr.s_addr, to.sin_port);
}

void upnp_device_control::StartLivenessCheck() {
  link_->workers.Start([proxy = RefPtr<upnp_device_control>(this)] { CheckLiveness(proxy); });
}

void upnp_device_control::CheckLiveness(RefPtr<upnp_device_control> proxy) {
  int error = 0;
  if (IXML_Document* r = proxy->SendAction(kServiceConnectionManager, "GetCurrentConnectionIDs", {}, &error)) {
    ixmlDocument_free(r);
  }
  std::lock_guard<std::mutex> lk(proxy->presence_);
  // Only a failure to reach the device counts; a SOAP fault is an answer.
  if (error >= -300 && error <= -200) {
    proxy->declaredDead_ = true;
  } else {
    proxy->declaredDead_ = false;
    const int64_t later = NowSeconds() + proxy->maxAge_;
    if (later > proxy->expiry_) proxy->expiry_ = later;
    proxy->probeSent_ = false;
  }
  proxy->livenessRunning_ = false;
}

}  // namespace tovaly
