#pragma once
// What the desktop host asks of its two engines, the media server and the
// control point. The window holds them behind this interface so that its
// logic can be driven in tests without starting the UPnP stack. Every call
// but the lifecycle ones may block on the network: the window makes them on
// workers only.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "controlpoint/control_point.h"
#include "controlpoint/entry_functions.h"
#include "core/event_callback.h"
#include "device/media_server.h"
#include "ui/player_logic.h"

namespace tovaly::ui {

class HostEngines {
 public:
  virtual ~HostEngines() = default;
  // The media server, then (separately, as the window comes up) the control
  // point, which searches for servers and renderers at once. A failure is
  // returned as text and leaves the window running without that engine.
  virtual std::string StartServer(EventCallback callback, void* context) = 0;
  virtual std::string StartControlPoint(EventCallback callback, void* context) = 0;
  // The control point first, then the media server.
  virtual void Stop() = 0;

  // The phone page of the running server; empty without one.
  virtual std::string PhonePageUrl() = 0;
  virtual void Search(int kinds) = 0;
  virtual void Refresh(int kinds) = 0;
  // Children of a server's container, reported through the callback with
  // `token`; the number read.
  virtual int Browse(const std::string& serverUdn, const std::string& objectId, void* token) = 0;
  virtual bool StartRendering(const StartRenderingRequest& request) = 0;
  virtual void StopRendering(const std::string& rendererUdn) = 0;
  virtual void RemoveDevice(const std::string& udn) = 0;
  // True when the device offers MediaDownload, whose storage can be asked.
  virtual bool OffersStorage(const std::string& udn) = 0;
  virtual int StorageInfo(const std::string& udn, uint64_t* total, uint64_t* free) = 0;
  virtual std::unique_ptr<PlayerControl> Player(const std::string& rendererUdn) = 0;
  // The bytes at an http URL, at most kCoverMaxBytes of them within a few
  // seconds; empty on any failure, or as soon as `cancelled` says so.
  virtual std::string FetchCover(const std::string& url, std::function<bool()> cancelled) = 0;
};

// The real engines on the UPnP stack.
class StackEngines : public HostEngines {
 public:
  // address: the IPv4 address to serve on, empty for the interface of the
  // default route.
  explicit StackEngines(std::string address = std::string());
  ~StackEngines() override;

  std::string StartServer(EventCallback callback, void* context) override;
  std::string StartControlPoint(EventCallback callback, void* context) override;
  void Stop() override;
  std::string PhonePageUrl() override;
  void Search(int kinds) override;
  void Refresh(int kinds) override;
  int Browse(const std::string& serverUdn, const std::string& objectId, void* token) override;
  bool StartRendering(const StartRenderingRequest& request) override;
  void StopRendering(const std::string& rendererUdn) override;
  void RemoveDevice(const std::string& udn) override;
  bool OffersStorage(const std::string& udn) override;
  int StorageInfo(const std::string& udn, uint64_t* total, uint64_t* free) override;
  std::unique_ptr<PlayerControl> Player(const std::string& rendererUdn) override;
  std::string FetchCover(const std::string& url, std::function<bool()> cancelled) override;

 private:
  // A counted reference for one call, so that a Stop meanwhile cannot free
  // the control point under it.
  RefPtr<control_point_t> ControlPoint();

  const std::string address_;
  std::mutex lock_;  // guards the two below; never held across a network call
  std::unique_ptr<MediaServerHandle> server_;
  control_point_t* cp_ = nullptr;  // the creator's reference
};

}  // namespace tovaly::ui
