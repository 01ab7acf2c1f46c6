#pragma once
// Proxy of a remote MediaServer: adds the ContentDirectory.

#include "controlpoint/device_control.h"

namespace tovaly {

class MediaServerDevice : public upnp_device_control {
 public:
  using upnp_device_control::upnp_device_control;

  bool SetService(int index, const RemoteService& service) override;
  const std::string* GetControlURL(int index) const override;
  int GetServiceVersion(int index) const override;
  bool HoldsSid(const char* sid) const override;
  // Subscribes to ContentDirectory events again (after a failed renewal).
  int SubscribeContentDirectory();

 private:
  RemoteService contentDirectory_;
  int cdsTimeout_ = 0;
  std::string cdsSid_;
};

}  // namespace tovaly
