#include "controlpoint/media_renderer_device.h"

#include <upnp.h>

#include <cstring>

namespace tovaly {

std::vector<std::string> SplitProtocolList(const char* text) {
  std::vector<std::string> out;
  if (!text) return out;
  const std::string s = text;
  size_t start = 0;
  while (start < s.size()) {
    size_t comma = s.find(',', start);
    if (comma == std::string::npos) comma = s.size();
    out.push_back(s.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

bool MediaRendererDevice::SetService(int index, const RemoteService& service) {
  if (index == kServiceAVTransport) {
    avTransport_ = service;
  } else if (index == kServiceRenderingControl) {
    renderingControl_ = service;
  } else {
    return upnp_device_control::SetService(index, service);
  }
  return true;
}

const std::string* MediaRendererDevice::GetControlURL(int index) const {
  if (index == kServiceAVTransport) return &avTransport_.controlUrl;
  if (index == kServiceRenderingControl) return &renderingControl_.controlUrl;
  return upnp_device_control::GetControlURL(index);
}

int MediaRendererDevice::GetServiceVersion(int index) const {
  if (index == kServiceAVTransport) return avTransport_.version;
  if (index == kServiceRenderingControl) return renderingControl_.version;
  return upnp_device_control::GetServiceVersion(index);
}

bool MediaRendererDevice::HoldsAvtSid(const char* sid) const {
  std::lock_guard<std::mutex> lk(sidLock_);
  return sid && !avtSid_.empty() && avtSid_ == sid;
}

bool MediaRendererDevice::HoldsSid(const char* sid) const {
  return HoldsAvtSid(sid) || upnp_device_control::HoldsSid(sid);
}

void MediaRendererDevice::OnSubscriptionExpired(const char* sid) {
  if (HoldsAvtSid(sid)) {
    {
      std::lock_guard<std::mutex> lk(sidLock_);
      subscribed_ = false;
    }
    SubscribeToAVTransport();
  } else {
    upnp_device_control::OnSubscriptionExpired(sid);
  }
}

void MediaRendererDevice::GetProtocolInfo() {
  source_.clear();
  sink_.clear();
  char name[256] = "";
  TextRequest request{name, sizeof name};
  link_->Notify(kRequestRendererName, &request);
  name[sizeof name - 1] = '\0';
  ActionArguments args;
  if (name[0]) args.emplace_back("From", name);
  if (IXML_Document* r = SendAction(kServiceConnectionManager, "GetProtocolInfo", args, nullptr)) {
    source_ = SplitProtocolList(FirstElementText(r, "Source"));
    sink_ = SplitProtocolList(FirstElementText(r, "Sink"));
    ixmlDocument_free(r);
  }
}

int MediaRendererDevice::SubscribeToAVTransport() {
  {
    std::lock_guard<std::mutex> lk(sidLock_);
    if (subscribed_) return 0;
  }
  int timeout = 1810;
  Upnp_SID sid = {};
  const int rc = UpnpSubscribe(link_->handle.load(), avTransport_.eventUrl.c_str(), &timeout, sid);
  if (rc != UPNP_E_SUCCESS) return rc;
  std::lock_guard<std::mutex> lk(sidLock_);
  avtSid_.assign(sid, strnlen(sid, sizeof sid));
  avtTimeout_ = timeout;
  subscribed_ = true;
  return 0;
}

}  // namespace tovaly
