#include "controlpoint/control_point.h"

#include <upnp.h>
#include <upnptools.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "core/clock.h"
#include "upnp/http_client.h"
#include "upnp/ixml_util.h"
#include "upnp/stack.h"

namespace tovaly {
namespace {

const char kServerSearch[] = "urn:schemas-upnp-org:device:MediaServer:1";
const char kRendererSearch[] = "urn:schemas-upnp-org:device:MediaRenderer:1";
constexpr size_t kMaxPendingEvents = 32;
constexpr int64_t kPendingEventSeconds = 10;

constexpr int kMaxDownloads = 16;
constexpr size_t kMaxQueuedDownloads = 64;
constexpr size_t kMaxDescriptionBytes = 1 << 20;
constexpr int kDescriptionMillis = 10000;  // the whole download, however it trickles
// Seconds before a failed location is tried again: after the first failure,
// the second, and every later one.
constexpr int64_t kRetryDelays[] = {2, 10, 60};
constexpr size_t kMaxRetries = 64;
constexpr int64_t kExpiryPassSeconds = 10;

// The host part of a URL without its port: the machine whose downloads share
// the per-host slots, whatever ports it opens.
std::string HostOf(const char* url) {
  const char* p = strstr(url, "://");
  p = p ? p + 3 : url;
  const char* end = p;
  if (*p == '[') {
    while (*end && *end != ']') ++end;
  } else {
    while (*end && *end != ':' && *end != '/' && *end != '?' && *end != '#') ++end;
  }
  return std::string(p, end);
}

int ClientTrampoline(Upnp_EventType type, const void* event, void* cookie) noexcept {
  return control_point_t::ControlPointCallback(type, event, cookie);
}

}  // namespace

// ---- DeviceRegistry --------------------------------------------------------

void DeviceRegistry::NotifyAdded(upnp_device_control* p) {
  DeviceAppeared args{p->friendlyName().c_str(), p->udn().c_str(), p->baseUrl().c_str()};
  link_.Notify(addedCode_, &args);
}

void DeviceRegistry::NotifyRemoved(upnp_device_control* p) {
  DeviceLeft args{p->friendlyName().c_str(), p->udn().c_str()};
  link_.Notify(removedCode_, &args);
}

RefPtr<upnp_device_control> DeviceRegistry::Find(const std::string& udn, bool revalidate, const char* baseUrl) {
  std::lock_guard<std::recursive_mutex> lk(lock_);
  for (auto it = proxies_.begin(); it != proxies_.end(); ++it) {
    if ((*it)->udn() != udn) continue;
    RefPtr<upnp_device_control> p = *it;
    if (!revalidate || p->LocationMatches(baseUrl)) return p;
    // The device came back under another address: the old proxy goes.
    proxies_.erase(it);
    NotifyRemoved(p.get());
    return nullptr;
  }
  return nullptr;
}

RefPtr<upnp_device_control> DeviceRegistry::SetExpiry(const std::string& udn, int64_t expiry) {
  std::lock_guard<std::recursive_mutex> lk(lock_);
  for (const auto& p : proxies_) {
    if (p->udn() == udn) {
      p->SetExpiry(expiry);
      return p;
    }
  }
  return nullptr;
}

RefPtr<upnp_device_control> DeviceRegistry::FindBySid(const char* sid) {
  if (!sid || !*sid) return nullptr;
  std::lock_guard<std::recursive_mutex> lk(lock_);
  for (const auto& p : proxies_) {
    if (p->HoldsSid(sid)) return p;
  }
  return nullptr;
}

bool DeviceRegistry::Add(const RefPtr<upnp_device_control>& proxy) {
  std::lock_guard<std::recursive_mutex> lk(lock_);
  for (const auto& p : proxies_) {
    if (p->udn() == proxy->udn()) return false;
  }
  proxies_.push_back(proxy);
  NotifyAdded(proxy.get());
  return true;
}

void DeviceRegistry::Remove(const std::string& udn) {
  std::lock_guard<std::recursive_mutex> lk(lock_);
  for (auto it = proxies_.begin(); it != proxies_.end(); ++it) {
    if ((*it)->udn() == udn) {
      RefPtr<upnp_device_control> p = *it;  // alive through the notification
      proxies_.erase(it);
      NotifyRemoved(p.get());
      return;
    }
  }
}

void DeviceRegistry::ExpiryPass(int64_t now) {
  if (!link_.HasHost()) return;
  std::lock_guard<std::recursive_mutex> lk(lock_);
  // A removal restarts the walk: the host may have changed the registry
  // from its notification.
  for (bool restart = true; restart;) {
    restart = false;
    for (size_t i = 0; i < proxies_.size(); ++i) {
      RefPtr<upnp_device_control> p = proxies_[i];
      if (p->expiry() >= now || p->TryKeepAlive()) continue;
      proxies_.erase(proxies_.begin() + static_cast<long>(i));
      NotifyRemoved(p.get());
      restart = true;
      break;
    }
  }
}

void DeviceRegistry::Reannounce(int64_t now) {
  if (!link_.HasHost()) return;
  std::lock_guard<std::recursive_mutex> lk(lock_);
  const auto copy = proxies_;  // the host may remove devices meanwhile
  for (const auto& p : copy) {
    if (p->expiry() >= now) NotifyAdded(p.get());
  }
}

std::vector<RefPtr<upnp_device_control>> DeviceRegistry::Snapshot() {
  std::lock_guard<std::recursive_mutex> lk(lock_);
  return proxies_;
}

void DeviceRegistry::Clear() {
  std::vector<RefPtr<upnp_device_control>> gone;
  std::lock_guard<std::recursive_mutex> lk(lock_);
  gone.swap(proxies_);
}

// ---- control_point_t -------------------------------------------------------

control_point_t::control_point_t(bool startExpiryThread)
    : link_(std::make_shared<ClientLink>()),
      lifetime_(std::make_shared<Lifetime>()),
      servers_(registryLock_, *link_, kEventServerAdded, kEventServerRemoved),
      renderers_(registryLock_, *link_, kEventRendererAdded, kEventRendererRemoved) {
  if (startExpiryThread) expiryThread_ = std::thread(&control_point_t::ExpiryThread, this);
}

control_point_t::~control_point_t() {
  StopExpiryThread();
  servers_.Clear();
  renderers_.Clear();
  std::lock_guard<std::mutex> lk(lifetime_->m);
  lifetime_->destroyed = true;
  lifetime_->ended.notify_all();
}

void control_point_t::StopExpiryThread() {
  {
    std::lock_guard<std::mutex> lk(expiryLock_);
    stopExpiry_ = true;
  }
  expiryWake_.notify_all();
  // Waits out a running pass.
  if (expiryThread_.joinable() && expiryThread_.get_id() != std::this_thread::get_id()) expiryThread_.join();
}

void control_point_t::ExpiryThread() {
  int64_t nextPass = NowSeconds() + kExpiryPassSeconds;
  for (;;) {
    if (NowSeconds() >= nextPass) {
      RunExpiryPass();
      nextPass = NowSeconds() + kExpiryPassSeconds;
    }
    RunDueRetries();
    const int64_t wake = std::min(nextPass, NextRetryDue());
    std::unique_lock<std::mutex> lk(expiryLock_);
    expiryWake_.wait_for(lk, std::chrono::seconds(std::max<int64_t>(1, wake - NowSeconds())),
                         [&] { return stopExpiry_ || retriesChanged_; });
    if (stopExpiry_) return;
    retriesChanged_ = false;
  }
}

void control_point_t::RunExpiryPass() {
  const int64_t now = NowSeconds();
  servers_.ExpiryPass(now);
  renderers_.ExpiryPass(now);
}

bool control_point_t::BeginDescriptionDownload(const std::string& location, int interval) {
  std::lock_guard<std::mutex> lk(logLock_);
  auto it = downloadLog_.find(location);
  if (it == downloadLog_.end()) {
    downloadLog_.emplace(location, 0);
    return true;
  }
  if (it->second <= 0) return false;  // running, or never again
  if (NowSeconds() - it->second < interval) return false;
  it->second = 0;
  return true;
}

void control_point_t::EndDescriptionDownload(const std::string& location, int64_t value) {
  std::lock_guard<std::mutex> lk(logLock_);
  auto it = downloadLog_.find(location);
  if (it == downloadLog_.end() || it->second < 0) return;
  if (value == 0) {
    if (it->second == 0) it->second = NowSeconds();
  } else {
    it->second = value;
  }
}

void control_point_t::DownloadFailed(const QueuedDownload& job) {
  const int64_t now = NowSeconds();
  int64_t due = now + kRetryDelays[2];  // when not retried: announcements wait the longest
  {
    std::lock_guard<std::mutex> lk(retriesLock_);
    auto it = retries_.find(job.location);
    if (it == retries_.end() && link_->HasHost() && now < job.validUntil && retries_.size() < kMaxRetries) {
      it = retries_.emplace(job.location, Retry{}).first;
      it->second.expires = job.expires;
    }
    if (it != retries_.end()) {
      Retry& r = it->second;
      r.validUntil = std::max(r.validUntil, job.validUntil);
      if (!job.udn.empty() && r.udns.size() < kMaxDevices) r.udns.insert(job.udn);
      due = now + kRetryDelays[std::min(r.failures, 2)];
      ++r.failures;
      r.due = due;
    }
  }
  EndDescriptionDownload(job.location, due);
  {
    std::lock_guard<std::mutex> lk(expiryLock_);
    retriesChanged_ = true;
  }
  expiryWake_.notify_all();
}

int64_t control_point_t::NextRetryDue() {
  std::lock_guard<std::mutex> lk(retriesLock_);
  int64_t next = INT64_MAX;
  for (const auto& r : retries_) next = std::min(next, r.second.due);
  return next;
}

void control_point_t::RunDueRetries() {
  if (!link_->HasHost()) return;
  const int64_t now = NowSeconds();
  std::vector<QueuedDownload> due;
  {
    std::lock_guard<std::mutex> lk(retriesLock_);
    for (auto it = retries_.begin(); it != retries_.end();) {
      Retry& r = it->second;
      if (now >= r.validUntil) {  // not announced again in time: gone
        it = retries_.erase(it);
        continue;
      }
      if (r.due <= now) {
        r.due = INT64_MAX;  // until this download ends
        due.push_back({it->first, HostOf(it->first.c_str()), r.expires, r.validUntil,
                       r.udns.empty() ? std::string() : *r.udns.begin()});
      }
      ++it;
    }
  }
  // Refused only while a download of the location runs: its end reschedules.
  for (QueuedDownload& job : due) {
    if (BeginDescriptionDownload(job.location, 0)) StartDownload(std::move(job));
  }
}

void control_point_t::ForgetDownload(const std::string& location) {
  std::lock_guard<std::mutex> lk(logLock_);
  auto it = downloadLog_.find(location);
  if (it != downloadLog_.end() && it->second > 0) downloadLog_.erase(it);
}

bool control_point_t::BeginPending(const std::string& udn) {
  std::lock_guard<std::mutex> lk(pendingLock_);
  return pendingUdns_.insert(udn).second;
}

void control_point_t::EndPending(const std::string& udn) {
  std::lock_guard<std::mutex> lk(pendingLock_);
  pendingUdns_.erase(udn);
}

std::vector<std::string> control_point_t::TakePendingEvents(const std::string& sid) {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> lk(eventsLock_);
  for (auto it = pendingEvents_.begin(); it != pendingEvents_.end();) {
    if (it->sid == sid) {
      out.push_back(std::move(it->text));
      it = pendingEvents_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

void control_point_t::AddServer(const ParsedDevice& d, const std::string& baseUrl, int maxAge) {
  if (servers_.Find(d.udn, true, baseUrl.c_str())) return;
  if (!BeginPending(d.udn)) return;  // another thread builds this one right now
  RefPtr<upnp_device_control> proxy(new MediaServerDevice(d.udn, d.friendlyName, baseUrl, link_));
  for (const ParsedService& s : d.services) proxy->SetService(s.index, s.service);
  if (d.hasAck) proxy->SetAckAddress(d.ack);
  proxy->SetPresence(NowSeconds() + maxAge, maxAge);
  servers_.Add(proxy);  // false: registered meanwhile; the new proxy is dropped
  EndPending(d.udn);
}

int control_point_t::AddRenderer(const ParsedDevice& d, const std::string& baseUrl, int maxAge) {
  if (renderers_.Find(d.udn, true, baseUrl.c_str())) return 0;
  if (!BeginPending(d.udn)) return 0;
  RefPtr<MediaRendererDevice> proxy(new MediaRendererDevice(d.udn, d.friendlyName, baseUrl, link_));
  for (const std::string& type : d.allServiceTypes) {
    link_->Diagnostic("--- ### media renderer service:%s\n", type.c_str());
  }
  for (const ParsedService& s : d.services) {
    proxy->SetService(s.index, s.service);
    if (s.index == kServiceConnectionManager) proxy->GetProtocolInfo();
  }
  if (d.hasAck) proxy->SetAckAddress(d.ack);
  EndPending(d.udn);
  if (!proxy->hasAVTransport()) return -1;
  proxy->SetPresence(NowSeconds() + maxAge, maxAge);
  renderers_.Add(RefPtr<upnp_device_control>(proxy.get()));
  return 0;
}

void control_point_t::ApplyDescription(const ParsedDescription& parsed, const std::string& location, int maxAge) {
  if (!parsed.valid) return;
  for (const ParsedDevice& d : parsed.devices) {
    switch (d.kind) {
      case DeviceKind::kServer: AddServer(d, parsed.baseUrl, maxAge); break;
      case DeviceKind::kRenderer:
        // Without AVTransport: try this location again 11 s later at the earliest.
        if (AddRenderer(d, parsed.baseUrl, maxAge) == -1) EndDescriptionDownload(location, NowSeconds() + 10);
        break;
      case DeviceKind::kOther: EndDescriptionDownload(location, -1); break;
    }
  }
}

int control_point_t::ControlPointCallback(int eventType, const void* event, void* cookie) {
  auto* cp = static_cast<control_point_t*>(cookie);
  if (!cp) return -1;
  RefPtr<control_point_t> hold(cp);
  if (!cp->link_->HasHost()) return -1;
  int result = 0;
  try {
    switch (eventType) {
      case UPNP_DISCOVERY_ADVERTISEMENT_ALIVE:
      case UPNP_DISCOVERY_SEARCH_RESULT:
        if (event) cp->OnDiscovery(event);
        break;
      case UPNP_DISCOVERY_ADVERTISEMENT_BYEBYE:
        if (event) {
          const auto* d = static_cast<const UpnpDiscovery*>(event);
          cp->OnByebye(UpnpDiscovery_get_DeviceID_cstr(d), UpnpDiscovery_get_Location_cstr(d));
        }
        break;
      case UPNP_EVENT_RECEIVED:
        if (event) cp->OnEvent(event);
        break;
      case UPNP_EVENT_AUTORENEWAL_FAILED:
      case UPNP_EVENT_SUBSCRIPTION_EXPIRED:
        if (event) cp->OnSubscriptionFailed(event);
        break;
      case kEventAckReceived:
        if (event) cp->OnAck(*static_cast<const AckReceived*>(event));
        break;
      default: break;
    }
  } catch (...) {
    result = -1;  // nothing may unwind into the stack
  }
  return result;
}

void control_point_t::OnByebye(const char* udn, const char* location) {
  if (!udn || !*udn) return;
  servers_.Remove(udn);
  renderers_.Remove(udn);
  // A byebye rarely names its location: the retries of the locations this
  // device announced end by its UDN.
  const std::string named = location ? location : "";
  std::vector<std::string> gone;
  if (!named.empty()) gone.push_back(named);
  {
    std::lock_guard<std::mutex> lk(retriesLock_);
    for (auto it = retries_.begin(); it != retries_.end();) {
      if (it->second.udns.count(udn) || it->first == named) {
        if (it->first != named) gone.push_back(it->first);
        it = retries_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // A device that says goodbye and comes straight back (a restart) is
  // fetched again at once, not a gate interval later.
  for (const std::string& l : gone) ForgetDownload(l);
}

void control_point_t::OnDiscovery(const void* event) {
  const auto* d = static_cast<const UpnpDiscovery*>(event);
  const char* id = UpnpDiscovery_get_DeviceID_cstr(d);
  const char* location = UpnpDiscovery_get_Location_cstr(d);
  int expires = UpnpDiscovery_get_Expires(d);
  if (!location || !*location) return;
  if (expires < 0) expires = 0;
  const bool named = id && *id;
  const int64_t validUntil = NowSeconds() + expires;
  if (named) {
    if (auto p = servers_.SetExpiry(id, validUntil)) {
      if (p->LocationMatches(location)) return;
    } else if (auto r = renderers_.SetExpiry(id, validUntil)) {
      if (r->LocationMatches(location)) return;
    }
  }
  {
    // A location waiting for its retry stays valid as long as it is announced.
    std::lock_guard<std::mutex> lk(retriesLock_);
    auto it = retries_.find(location);
    if (it != retries_.end()) {
      it->second.validUntil = validUntil;
      it->second.expires = expires;
      if (named && it->second.udns.size() < kMaxDevices) it->second.udns.insert(id);
    }
  }
  if (!BeginDescriptionDownload(location, named ? 1 : 30)) return;
  StartDownload({location, HostOf(location), expires, validUntil, named ? id : ""});
}

void control_point_t::StartDownload(QueuedDownload job) {
  // Downloads run on threads of their own, at most two at a time per host
  // (address, whatever the port) and kMaxDownloads in all, each bounded in
  // size and time: a location that trickles or never answers holds a slot for
  // seconds, never one of the stack's few callback threads. The rest wait in a
  // queue for a free slot, so one slow host cannot keep other devices from
  // being found.
  bool start = false;
  {
    std::lock_guard<std::mutex> lk(downloadsLock_);
    if (downloadsByHost_[job.host] < 2 && runningDownloads_ < kMaxDownloads) {
      ++downloadsByHost_[job.host];
      ++runningDownloads_;
      start = true;
    } else if (queuedDownloads_.size() < kMaxQueuedDownloads) {
      queuedDownloads_.push_back(std::move(job));
      return;
    }
  }
  if (start) {
    LaunchDownloads(std::move(job));
  } else {
    DownloadFailed(job);  // no place in the queue: tried again later, as a failure
  }
}

void control_point_t::LaunchDownloads(QueuedDownload first) {
  link_->workers.Start([hold = RefPtr<control_point_t>(this), job = std::move(first)]() mutable {
    hold->RunDownloads(std::move(job));
  });
}

void control_point_t::RunDownloads(QueuedDownload job) {
  for (;;) {
    Download(job);
    std::lock_guard<std::mutex> lk(downloadsLock_);
    if (--downloadsByHost_[job.host] == 0) downloadsByHost_.erase(job.host);
    --runningDownloads_;
    auto next = queuedDownloads_.end();
    if (link_->HasHost()) {
      next = std::find_if(queuedDownloads_.begin(), queuedDownloads_.end(),
                          [&](const QueuedDownload& q) { return downloadsByHost_[q.host] < 2; });
    }
    if (next == queuedDownloads_.end()) {
      if (!link_->HasHost()) {
        for (const QueuedDownload& q : queuedDownloads_) EndDescriptionDownload(q.location, 0);
        queuedDownloads_.clear();
      }
      return;
    }
    job = std::move(*next);
    queuedDownloads_.erase(next);
    ++downloadsByHost_[job.host];
    ++runningDownloads_;
  }
}

int control_point_t::FetchDescription(const std::string& location, std::string* text) {
  FetchLimits limits;
  limits.maxBytes = kMaxDescriptionBytes;
  limits.millis = kDescriptionMillis;
  limits.cancelled = [this] { return !link_->HasHost(); };
  return FetchDocument(location, limits, text);
}

void control_point_t::Download(const QueuedDownload& job) {
  std::string text;
  const int rc = FetchDescription(job.location, &text);
  if (rc != 0) {
    link_->Diagnostic("--- description %s: %d\n", job.location.c_str(), rc);
    // Not again at every announcement either: a location that streams
    // without end or trickles would cost a slot and a megabyte each time.
    DownloadFailed(job);
    return;
  }
  {
    std::lock_guard<std::mutex> lk(retriesLock_);
    retries_.erase(job.location);
  }
  if (link_->HasHost()) ApplyDescription(ParseDescriptionText(job.location, text.c_str()), job.location, job.expires);
  EndDescriptionDownload(job.location, 0);
}

void control_point_t::OnEvent(const void* event) {
  const auto* e = static_cast<const UpnpEvent*>(event);
  const char* sid = UpnpEvent_get_SID_cstr(e);
  IXML_Document* vars = UpnpEvent_get_ChangedVariables(e);
  if (!sid || !*sid) return;
  if (servers_.FindBySid(sid)) return;  // a server's events are not used
  if (auto r = renderers_.FindBySid(sid)) {
    r->OnEvent(vars);
    return;
  }
  // Not known yet: the answer to its SUBSCRIBE may still be on its way.
  IxmlString text(vars ? ixmlPrintNode(reinterpret_cast<IXML_Node*>(vars)) : nullptr);
  if (!text) return;
  const int64_t now = NowSeconds();
  std::lock_guard<std::mutex> lk(eventsLock_);
  for (auto it = pendingEvents_.begin(); it != pendingEvents_.end();) {
    it = now - it->received > kPendingEventSeconds ? pendingEvents_.erase(it) : it + 1;
  }
  if (pendingEvents_.size() >= kMaxPendingEvents) pendingEvents_.erase(pendingEvents_.begin());
  pendingEvents_.push_back({sid, text.get(), now});
}

void control_point_t::OnSubscriptionFailed(const void* event) {
  const char* sid = UpnpEventSubscribe_get_SID_cstr(static_cast<const UpnpEventSubscribe*>(event));
  if (!sid || !*sid) return;
  if (auto s = servers_.FindBySid(sid)) {
    static_cast<MediaServerDevice*>(s.get())->SubscribeContentDirectory();
  } else if (auto r = renderers_.FindBySid(sid)) {
    r->OnSubscriptionExpired(sid);
  }
}

void control_point_t::OnAck(const AckReceived& ack) {
  if (!ack.udn) return;
  auto p = servers_.Find(ack.udn);
  if (!p) p = renderers_.Find(ack.udn);
  // Only the answer to a probe we sent, from the device's own ack socket.
  if (p && p->AcceptsProbeReply(ack.address, ack.port)) p->ExtendExpiry();
}

// ---- entry functions -------------------------------------------------------

control_point_t* p_CreateControlPoint(const char* hostIp, uint16_t port, EventCallback callback, void* context,
                                      int* error) {
  int ignored = 0;
  if (!error) error = &ignored;
  const int rc = UpnpStackAcquire(hostIp, port);
  if (rc != 0) {
    *error = rc;
    return nullptr;
  }
  auto* cp = new control_point_t(true);
  cp->holdsStack_ = true;
  cp->AddRef();  // the creator's reference
  cp->link_->SetHost(callback, context);
  UpnpClient_Handle handle = -1;
  *error = UpnpRegisterClient(&ClientTrampoline, cp, &handle);
  if (*error != UPNP_E_SUCCESS) {
    p_DestroyControlPoint(cp);
    return nullptr;
  }
  cp->link_->handle = handle;
  StackSetClient(&control_point_t::ControlPointCallback, cp);
  return cp;
}

int p_Search(control_point_t* cp, int mx, int kinds) {
  if (!cp) return UPNP_E_INVALID_PARAM;
  const int handle = cp->link()->handle.load();
  int rc = 0;
  if (kinds & kSearchServers) rc = UpnpSearchAsync(handle, mx, kServerSearch, cp);
  if (rc == 0 && (kinds & kSearchRenderers)) rc = UpnpSearchAsync(handle, mx, kRendererSearch, cp);
  return rc;
}

int p_Refresh(control_point_t* cp, int mx, int kinds) {
  if (!cp) return UPNP_E_INVALID_PARAM;
  const int64_t now = NowSeconds();
  if (kinds & kSearchServers) cp->servers().Reannounce(now);
  if (kinds & kSearchRenderers) cp->renderers().Reannounce(now);
  return p_Search(cp, mx, kinds);
}

int p_RemoveDevice(control_point_t* cp, const char* udn) {
  if (!cp || !udn) return 0;
  cp->servers().Remove(udn);
  cp->renderers().Remove(udn);
  return 0;
}

void* p_DestroyControlPoint(control_point_t* cp) {
  if (!cp) return nullptr;
  void* context = cp->link_->context();
  std::shared_ptr<control_point_t::Lifetime> lifetime = cp->lifetime_;
  std::shared_ptr<ClientLink> link = cp->link_;
  const bool holdsStack = cp->holdsStack_;
  link->SetHost(nullptr, nullptr);  // running callbacks now return at once, fetches stop
  StackSetClient(nullptr, nullptr);  // waits out a probe delivery
  const int handle = link->handle.exchange(-1);
  if (handle >= 0) UpnpUnRegisterClient(handle);
  // Before the last reference may go: the thread starts retries, which take
  // references of their own.
  cp->StopExpiryThread();
  // Downloads end at their next read; a liveness check within its exchange.
  // None of them may still be inside the stack when it finishes below.
  link->workers.JoinAll();
  cp->Release();
  // The last reference may be a stack callback's or a host call's.
  {
    std::unique_lock<std::mutex> lk(lifetime->m);
    lifetime->ended.wait_for(lk, std::chrono::seconds(9), [&] { return lifetime->destroyed; });
  }
  // Here, on the host's thread: on a stack callback thread finishing the
  // stack would wait for that very thread.
  if (holdsStack) UpnpStackRelease();
  return context;
}

}  // namespace tovaly
