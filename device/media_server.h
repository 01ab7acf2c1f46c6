#pragma once
// The local MediaServer device and its creator.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <memory>
#include <string>

#include "core/event_callback.h"
#include "core/refcount.h"
#include "device/upnp_device.h"
#include "streaming/media_engine.h"

namespace tovaly {

class media_server : public upnp_device {
 public:
  media_server(EventCallback callback, void* context);
  ~media_server() override;

  // Base Start; the phone page takes the device's friendly name.
  int Start(const char* address, uint16_t port, DeviceInfo info) override;
  // Base Stop, then the device's HTTP and the media engine: streams in
  // flight end.
  int Stop() override;
  // "http://<address>:<engine port>/media/": where the items' res URLs point.
  const std::string& mediaBaseUrl() const { return mediaBaseUrl_; }
  // The media engine's port; 0 while it does not run.
  uint16_t mediaPort() const;
  // "http://<address>:<engine port>/": the shared folder in a browser.
  std::string phonePageUrl() const;

  // ConnectionManager (with the host's protocol list, code 15) and
  // ContentDirectory, plus MediaDownload when the host answers code 60.
  void InitServices() override;

  // SystemUpdateID and ContainerUpdateIDs are sent at most this often: a
  // folder that changes all the time (a copy in progress) costs one event
  // in this time, whatever it does.
  static constexpr int kEventSeconds = 2;

 protected:
  // Starts the device's HTTP on the stack's address, at the first free port
  // after the stack's, and the media engine at the first free one after that.
  std::string StartHttp(const std::string& serverIp, int serverPort, int* error) override;

 private:
  // The changes of the shared folder, sent as events at most every
  // kEventSeconds by a thread of its own (started by Start, ended by Stop).
  void SendChanges();
  void StopChanges();
  std::mutex changesLock_;  // guards the four below
  std::condition_variable changesWake_;
  std::map<std::string, uint32_t> changed_;  // folder id -> its update id, since the last event
  bool changesStopping_ = false;
  int changesToken_ = 0;
  std::thread changesThread_;
  std::unique_ptr<MediaEngine> engine_;      // media and the phone page
  std::unique_ptr<MediaEngine> deviceHttp_;  // description, control, events
  std::string mediaBaseUrl_;
};

// "http-get:*:" before every comma-separated entry of the host's list.
std::string BuildSourceProtocolInfo(const char* hostList);

// What the host holds while its media server runs. Destroying it stops the
// device (byebye) and drops the host's reference.
class MediaServerHandle {
 public:
  MediaServerHandle(RefPtr<media_server> device, void* context, std::string contentFolder);
  ~MediaServerHandle();
  MediaServerHandle(const MediaServerHandle&) = delete;
  MediaServerHandle& operator=(const MediaServerHandle&) = delete;

  media_server* device() const { return device_.get(); }
  void* context() const { return context_; }
  const std::string& contentFolder() const { return contentFolder_; }

 private:
  RefPtr<media_server> device_;
  void* context_;
  std::string contentFolder_;
};

// Asks the host for the content folder (11) and the computer name (10) and
// starts the device on address/port (null/0: default route, stack's port).
// Null with *error set when the callback or context is missing (-101) or the
// device cannot start (its UPNP_E_* code).
std::unique_ptr<MediaServerHandle> CreateMediaServer(const char* address, uint16_t port, EventCallback callback,
                                                     void* context, int* error);

}  // namespace tovaly
