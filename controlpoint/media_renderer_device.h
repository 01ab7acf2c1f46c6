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

  virtual int SubscribeToAVTransport();
  void UnsubscribeFromAVTransport();
  bool hasAVTransport() const { return avTransport_.version != -1; }

  // AVTransport and RenderingControl. Integers go out in decimal.
  int SetAVTransportURI(const char* uri, const char* metadata);  // 0 or the error code
  void Play(int instanceId, const char* speed = nullptr);
  void Pause(int instanceId);
  void Stop(int instanceId);
  // Seconds; out values untouched when there is no answer (the error code).
  int GetPositionInfo(int instanceId, int64_t* duration, int64_t* relTime);
  int Seek(int instanceId, int seconds);  // 1 when answered
  void SetVolume(int instanceId, int volume);
  void GetVolume(int instanceId, int* volume);
  // Steps the volume by delta from the last known value, clamped to 0..100.
  // Returns the volume sent, or -1 when the renderer never told its volume.
  int ChangeVolume(int instanceId, int delta);

  void ConnectionComplete() override;
  int OnConnectionPrepared(IXML_Document* response) override;
  void OnEvent(IXML_Document* changedVariables) override;
  // The renderer's LastChange text: code 200 for each TransportState of our
  // instance.
  void OnLastChange(const char* lastChange);

  std::string avTransportSid() const {
    std::lock_guard<std::mutex> lk(sidLock_);
    return avtSid_;
  }
  int avTransportId() const { return avTransportId_; }
  int rcsId() const { return rcsId_; }
  int cachedVolume() const { return volume_; }

 private:
  bool HoldsAvtSid(const char* sid) const;
  RemoteService avTransport_;
  RemoteService renderingControl_;
  std::string avtSid_;
  int avtTimeout_ = 0;
  bool subscribed_ = false;
  std::vector<std::string> source_, sink_;
  int avTransportId_ = 0;
  int rcsId_ = 0;
  int volume_ = -1;
};

// "H:MM:SS[.fraction]" into whole seconds (the fraction is dropped); 0 for
// texts such as NOT_IMPLEMENTED.
int64_t ParseClockTime(const char* text);
// Seconds as a Seek target: "%d:%02d:%02d" (1:02:05, 0:00:00).
std::string FormatSeekTarget(int seconds);
// TransportState text to its number (0 for anything unknown).
int TransportStateValue(const char* text);

}  // namespace tovaly
