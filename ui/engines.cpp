#include "ui/engines.h"

#include <upnptools.h>

#include "ui/cover_art.h"
#include "upnp/http_client.h"

namespace tovaly::ui {

namespace {
std::string Failure(const char* what, int rc) {
  return std::string(what) + ": " + UpnpGetErrorMessage(rc) + " (" + std::to_string(rc) + ")";
}
}  // namespace

StackEngines::StackEngines(std::string address) : address_(std::move(address)) {}

StackEngines::~StackEngines() { Stop(); }

std::string StackEngines::StartServer(EventCallback callback, void* context) {
  int rc = 0;
  auto server = CreateMediaServer(address_.empty() ? nullptr : address_.c_str(), 0, callback, context, &rc);
  if (!server) return Failure("The media server cannot start", rc);
  std::lock_guard<std::mutex> lk(lock_);
  server_ = std::move(server);
  return std::string();
}

std::string StackEngines::StartControlPoint(EventCallback callback, void* context) {
  int rc = 0;
  control_point_t* cp = p_CreateControlPoint(address_.empty() ? nullptr : address_.c_str(), 0, callback, context, &rc);
  if (!cp) return Failure("Other devices cannot be looked for", rc);
  {
    std::lock_guard<std::mutex> lk(lock_);
    cp_ = cp;
  }
  p_Search(cp, 5, kSearchServers | kSearchRenderers);
  return std::string();
}

void StackEngines::Stop() {
  control_point_t* cp;
  std::unique_ptr<MediaServerHandle> server;
  {
    std::lock_guard<std::mutex> lk(lock_);
    cp = std::exchange(cp_, nullptr);
    server = std::move(server_);
  }
  p_DestroyControlPoint(cp);
  server.reset();  // byebye; the stack finishes with its last user
}

RefPtr<control_point_t> StackEngines::ControlPoint() {
  std::lock_guard<std::mutex> lk(lock_);
  return RefPtr<control_point_t>(cp_);
}

std::string StackEngines::PhonePageUrl() {
  std::lock_guard<std::mutex> lk(lock_);
  return server_ ? server_->device()->phonePageUrl() : std::string();
}

void StackEngines::Search(int kinds) {
  if (auto cp = ControlPoint()) p_Search(cp.get(), 5, kinds);
}

void StackEngines::Refresh(int kinds) {
  if (auto cp = ControlPoint()) p_Refresh(cp.get(), 5, kinds);
}

int StackEngines::Browse(const std::string& serverUdn, const std::string& objectId, void* token) {
  auto cp = ControlPoint();
  return cp ? p_Browse(cp.get(), serverUdn.c_str(), objectId.c_str(), 0, 0, token) : 0;
}

bool StackEngines::StartRendering(const StartRenderingRequest& request) {
  auto cp = ControlPoint();
  return cp && p_StartRendering(cp.get(), &request) == 1;
}

void StackEngines::StopRendering(const std::string& rendererUdn) {
  if (auto cp = ControlPoint()) p_StopRendering(cp.get(), rendererUdn.c_str());
}

void StackEngines::RemoveDevice(const std::string& udn) {
  if (auto cp = ControlPoint()) p_RemoveDevice(cp.get(), udn.c_str());
}

bool StackEngines::OffersStorage(const std::string& udn) {
  auto cp = ControlPoint();
  return cp && p_FindStorageDevice(cp.get(), udn.c_str());
}

int StackEngines::StorageInfo(const std::string& udn, uint64_t* total, uint64_t* free) {
  auto cp = ControlPoint();
  *total = *free = 0;
  return cp ? p_GetStorageInfo(cp.get(), udn.c_str(), total, free) : -1;
}

std::unique_ptr<PlayerControl> StackEngines::Player(const std::string& rendererUdn) {
  return std::make_unique<ControlPointPlayer>(ControlPoint(), rendererUdn);
}

std::string StackEngines::FetchCover(const std::string& url, std::function<bool()> cancelled) {
  FetchLimits limits;
  limits.maxBytes = kCoverMaxBytes;
  limits.millis = 5000;
  limits.cancelled = std::move(cancelled);
  std::string body;
  return FetchDocument(url, limits, &body) == 0 ? body : std::string();
}

}  // namespace tovaly::ui
