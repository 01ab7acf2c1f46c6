#include "device/media_server.h"

#include <upnp.h>

#include <chrono>
#include <cstring>

#include "core/text.h"
#include "core/trace.h"
#include "library/content_changes.h"
#include "device/description.h"

namespace tovaly {

std::string BuildSourceProtocolInfo(const char* hostList) {
  if (!hostList) return "http-get:*:*:*";
  std::string out;
  for (const std::string& entry : SplitList(hostList)) {
    if (!out.empty()) out += ',';
    out += "http-get:*:" + entry;
  }
  return out;
}

media_server::media_server(EventCallback callback, void* context)
    : upnp_device(callback, context),
      engine_(new MediaEngine(callback, context)),
      deviceHttp_(new MediaEngine(nullptr, nullptr)) {}

media_server::~media_server() {
  StopChanges();
  deviceHttp_->Stop();
  engine_->Stop();
}

void media_server::StopChanges() {
  if (changesToken_) RemoveContentListener(changesToken_);
  changesToken_ = 0;
  {
    std::lock_guard<std::mutex> lk(changesLock_);
    changesStopping_ = true;
  }
  changesWake_.notify_all();
  if (changesThread_.joinable()) changesThread_.join();
}

std::string media_server::StartHttp(const std::string& serverIp, int serverPort, int* error) {
  // The device's HTTP on a listener of its own, right after the stack's
  // port, and the media after it: a crowd of media connections never leaves
  // a client without the description or an answer to Browse.
  deviceHttp_->SetHandler(this);
  int err = deviceHttp_->Start(serverIp, static_cast<uint16_t>(serverPort + 1));
  if (err == 0) err = engine_->Start(serverIp, static_cast<uint16_t>(deviceHttp_->port() + 1));
  if (err != 0) {
    DebugTrace("--- media engine: cannot listen on %s after port %d: %s", serverIp.c_str(), serverPort, strerror(err));
    *error = UPNP_E_SOCKET_BIND;
    return std::string();
  }
  mediaBaseUrl_ = "http://" + serverIp + ":" + std::to_string(engine_->port()) + "/media/";
  presentationUrl_ = phonePageUrl();  // people who open the device see the shared folder
  return "http://" + serverIp + ":" + std::to_string(deviceHttp_->port()) + "/";
}

int media_server::Start(const char* address, uint16_t port, DeviceInfo info) {
  const int rc = upnp_device::Start(address, port, std::move(info));
  if (rc != 0) return rc;
  engine_->SetServerName(friendlyName());
  changesToken_ = AddContentListener([this](const std::string& folder, uint32_t id) {
    std::lock_guard<std::mutex> lk(changesLock_);
    changed_[folder] = id;
    changesWake_.notify_one();
  });
  changesThread_ = std::thread(&media_server::SendChanges, this);
  return 0;
}

namespace {

// A CSV value of ContainerUpdateIDs: a comma or a backslash in an id is
// escaped with a backslash.
void AppendCsv(const std::string& value, std::string* out) {
  for (char c : value) {
    if (c == ',' || c == '\\') *out += '\\';
    *out += c;
  }
}

}  // namespace

void media_server::SendChanges() {
  std::unique_lock<std::mutex> lk(changesLock_);
  for (;;) {
    changesWake_.wait(lk, [&] { return changesStopping_ || !changed_.empty(); });
    if (changesStopping_) return;
    std::map<std::string, uint32_t> changed;
    changed.swap(changed_);
    lk.unlock();
    std::string ids;
    for (const auto& c : changed) {
      if (!ids.empty()) ids += ',';
      AppendCsv(c.first, &ids);
      ids += ',' + std::to_string(c.second);
    }
    PublishEvent(ContentDirectoryTable().serviceId,
                 {{"SystemUpdateID", std::to_string(SystemUpdateId())}, {"ContainerUpdateIDs", ids}});
    lk.lock();
    // The next event not before kEventSeconds: what changes meanwhile waits.
    changesWake_.wait_for(lk, std::chrono::seconds(kEventSeconds), [&] { return changesStopping_; });
  }
}

std::string media_server::phonePageUrl() const {
  return mediaBaseUrl_.empty() ? std::string() : mediaBaseUrl_.substr(0, mediaBaseUrl_.size() - strlen("media/"));
}

int media_server::Stop() {
  StopChanges();
  const int rc = upnp_device::Stop();
  deviceHttp_->Stop();
  engine_->Stop();
  return rc;
}

uint16_t media_server::mediaPort() const { return engine_->port(); }

void media_server::InitServices() {
  sourceProtocolInfo = "http-get:*:*:*";
  if (callback() && context()) {
    ProtocolListRequest request{nullptr};
    callback()(context(), kRequestProtocolList, &request);
    if (request.list) sourceProtocolInfo = BuildSourceProtocolInfo(request.list);
  }
  upnp_device::InitServices();
  AddService(ContentDirectoryTable(),
             {{"SystemUpdateID", std::to_string(SystemUpdateId())}, {"ContainerUpdateIDs", ""}});
  if (mediaDownloadEnabled) AddService(MediaDownloadTable(), {{"TotalSpace", "0"}});
}

MediaServerHandle::MediaServerHandle(RefPtr<media_server> device, void* context, std::string contentFolder)
    : device_(std::move(device)), context_(context), contentFolder_(std::move(contentFolder)) {}

MediaServerHandle::~MediaServerHandle() {
  if (device_) device_->Stop();
}

std::unique_ptr<MediaServerHandle> CreateMediaServer(const char* address, uint16_t port, EventCallback callback,
                                                     void* context, int* error) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = UPNP_E_INVALID_PARAM;
  if (!callback || !context) return nullptr;
  RefPtr<media_server> device(new media_server(callback, context));

  char folder[4096] = "";
  TextRequest folderRequest{folder, sizeof folder};
  callback(context, kRequestContentFolder, &folderRequest);
  folder[sizeof folder - 1] = '\0';
  char name[256] = "";
  TextRequest nameRequest{name, sizeof name};
  callback(context, kRequestComputerName, &nameRequest);
  name[sizeof name - 1] = '\0';

  DeviceInfo info = MediaServerDeviceInfo();
  info.friendlyName = name;
  *error = device->Start(address, port, info);
  if (*error != 0) return nullptr;
  return std::make_unique<MediaServerHandle>(device, context, folder);
}

}  // namespace tovaly
