#include "controlpoint/media_server_device.h"

#include <upnp.h>

#include <cstring>

namespace tovaly {

bool MediaServerDevice::SetService(int index, const RemoteService& service) {
  if (index != kServiceContentDirectory) return upnp_device_control::SetService(index, service);
  contentDirectory_ = service;
  return true;
}

const std::string* MediaServerDevice::GetControlURL(int index) const {
  return index == kServiceContentDirectory ? &contentDirectory_.controlUrl : upnp_device_control::GetControlURL(index);
}

int MediaServerDevice::GetServiceVersion(int index) const {
  return index == kServiceContentDirectory ? contentDirectory_.version : upnp_device_control::GetServiceVersion(index);
}

bool MediaServerDevice::HoldsSid(const char* sid) const {
  {
    std::lock_guard<std::mutex> lk(sidLock_);
    if (sid && !cdsSid_.empty() && cdsSid_ == sid) return true;
  }
  return upnp_device_control::HoldsSid(sid);
}

int MediaServerDevice::SubscribeContentDirectory() {
  int timeout = 1810;
  Upnp_SID sid = {};
  const int rc = UpnpSubscribe(link_->handle.load(), contentDirectory_.eventUrl.c_str(), &timeout, sid);
  if (rc == UPNP_E_SUCCESS) {
    std::lock_guard<std::mutex> lk(sidLock_);
    cdsTimeout_ = timeout;
    cdsSid_.assign(sid, strnlen(sid, sizeof sid));
  }
  return rc;
}

}  // namespace tovaly
