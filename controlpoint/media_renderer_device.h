#pragma once
// Proxy of a remote MediaRenderer: adds AVTransport and RenderingControl.

#include <string>
#include <vector>

#include "controlpoint/device_control.h"

namespace tovaly {

class MediaRendererDevice : public upnp_device_control {
 public:
  using upnp_device_control::upnp_device_control;

  bool SetService(int index, const RemoteService& service) override;
  const std::string* GetControlURL(int index) const override;
  int GetServiceVersion(int index) const override;
  bool HoldsSid(const char* sid) const override;
  void OnSubscriptionExpired(const char* sid) override;

  // Asks the renderer which formats it takes, naming this computer (code 51)
  // in "From" when the host knows its name.
  void GetProtocolInfo();
  const std::vector<std::string>& sourceProtocols() const { return source_; }
  const std::vector<std::string>& sinkProtocols() const { return sink_; }

  int SubscribeToAVTransport();
  bool hasAVTransport() const { return avTransport_.version != -1; }

 private:
  bool HoldsAvtSid(const char* sid) const;
  RemoteService avTransport_;
  RemoteService renderingControl_;
  std::string avtSid_;
  int avtTimeout_ = 0;
  bool subscribed_ = false;
  std::vector<std::string> source_, sink_;
};

// Splits a protocol list at every ",": empty pieces between commas are kept,
// a trailing comma adds none.
std::vector<std::string> SplitProtocolList(const char* text);

}  // namespace tovaly
