#pragma once
// The control point: finds MediaServers and MediaRenderers, keeps one proxy
// per device in two registries while the device answers, and tells the host
// about every change (codes 1, 2, 20, 21).

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "controlpoint/client_link.h"
#include "controlpoint/description_parser.h"
#include "controlpoint/device_control.h"
#include "controlpoint/media_renderer_device.h"
#include "controlpoint/media_server_device.h"
#include "core/event_callback.h"
#include "core/refcount.h"
#include "upnp/stack.h"

namespace tovaly {

// One registry of proxies, in insertion order, keyed by UDN.
class DeviceRegistry {
 public:
  DeviceRegistry(std::recursive_mutex& lock, const ClientLink& link, int32_t addedCode, int32_t removedCode)
      : lock_(lock), link_(link), addedCode_(addedCode), removedCode_(removedCode) {}

  // With revalidate, a proxy whose base URL is not a prefix of baseUrl is
  // removed (with its notification) and null is returned.
  RefPtr<upnp_device_control> Find(const std::string& udn, bool revalidate = false, const char* baseUrl = nullptr);
  RefPtr<upnp_device_control> SetExpiry(const std::string& udn, int64_t expiry);
  RefPtr<upnp_device_control> FindBySid(const char* sid);
  // False when a proxy with the same UDN is already there.
  bool Add(const RefPtr<upnp_device_control>& proxy);
  void Remove(const std::string& udn);
  // Removes every proxy whose expiry has passed and that cannot be kept alive.
  void ExpiryPass(int64_t now);
  // Notifies every proxy that has not expired (as if it had just come).
  void Reannounce(int64_t now);
  std::vector<RefPtr<upnp_device_control>> Snapshot();
  void Clear();

 private:
  void NotifyAdded(upnp_device_control* p);
  void NotifyRemoved(upnp_device_control* p);

  std::recursive_mutex& lock_;
  const ClientLink& link_;
  const int32_t addedCode_, removedCode_;
  std::vector<RefPtr<upnp_device_control>> proxies_;  // guarded by lock_
};

class control_point_t : public RefCountImpl {
 public:
  // startExpiryThread false: tests run the expiry pass themselves.
  explicit control_point_t(bool startExpiryThread = true);

  // The stack's client callback (cookie = the control point).
  static int ControlPointCallback(int eventType, const void* event, void* cookie);

  DeviceRegistry& servers() { return servers_; }
  DeviceRegistry& renderers() { return renderers_; }
  const std::shared_ptr<ClientLink>& link() const { return link_; }

  // One expiry pass over both registries (the expiry thread runs it every 10 s).
  void RunExpiryPass();
  // Downloads again the failed descriptions whose wait has passed (the
  // expiry thread runs it when the first is due).
  void RunDueRetries();
  // What the description of `location` holds, applied to the registries.
  void ApplyDescription(const ParsedDescription& parsed, const std::string& location, int maxAge);

  // The description-download gate: false (skip) while a download of the
  // location runs, for a location marked never-again, and within `interval`
  // seconds of the last download.
  bool BeginDescriptionDownload(const std::string& location, int interval);
  // value 0: the download ended now; -1: never fetch again; T > 0: not before T.
  void EndDescriptionDownload(const std::string& location, int64_t value);

  // GENA events for a SID that no proxy holds yet are kept a short while:
  // the first event of a subscription can arrive before its SID is known.
  std::vector<std::string> TakePendingEvents(const std::string& sid);

  // Description downloads now running on their own threads.
  int runningDownloads() {
    std::lock_guard<std::mutex> lk(downloadsLock_);
    return runningDownloads_;
  }

 protected:
  ~control_point_t() override;

  struct QueuedDownload {
    std::string location, host;  // host: the location's host, without port
    int expires;                 // the announcement's max-age
    int64_t validUntil;          // when that announcement runs out
    std::string udn;             // the announcing device, "" when nameless
  };
  // Seams for tests: the GET of a description (0 with *text, else the
  // fetch's error) and the thread that runs a download and the queue after it.
  virtual int FetchDescription(const std::string& location, std::string* text);
  virtual void LaunchDownloads(QueuedDownload first);
  // Runs downloads on the calling thread, this one first, then every queued
  // one that may run, until none is left; gives back the slot it started with.
  void RunDownloads(QueuedDownload first);

 private:
  friend control_point_t* p_CreateControlPoint(const char*, uint16_t, EventCallback, void*, int*);
  friend void* p_DestroyControlPoint(control_point_t*);

  void OnDiscovery(const void* event);
  void OnByebye(const char* udn, const char* location);
  void OnEvent(const void* event);
  void OnSubscriptionFailed(const void* event);
  void OnAck(const AckReceived& ack);
  // Takes a slot (or a place in the queue) for a download the gate let through.
  void StartDownload(QueuedDownload job);
  void Download(const QueuedDownload& job);
  // A download that failed or found no place: tried again later, see retries_.
  void DownloadFailed(const QueuedDownload& job);
  int64_t NextRetryDue();
  // Drops what the download log holds of a location (not a never-again mark).
  void ForgetDownload(const std::string& location);
  // Stops the expiry thread and waits for it (not from the thread itself).
  void StopExpiryThread();
  void AddServer(const ParsedDevice& d, const std::string& baseUrl, int maxAge);
  int AddRenderer(const ParsedDevice& d, const std::string& baseUrl, int maxAge);
  bool BeginPending(const std::string& udn);
  void EndPending(const std::string& udn);
  void ExpiryThread();

  std::shared_ptr<ClientLink> link_;
  // Set by the destructor, which may run on whichever thread lets go last;
  // p_DestroyControlPoint waits for it. Outlives the object.
  struct Lifetime {
    std::mutex m;
    std::condition_variable ended;
    bool destroyed = false;  // guarded by m
  };
  std::shared_ptr<Lifetime> lifetime_;
  bool holdsStack_ = false;  // a share of the stack, given back by p_DestroyControlPoint

  // One lock for both registries. Rules: notifications reach the host with it
  // held; it is re-entrant, so a host may call back into the control point
  // (p_RemoveDevice, p_Refresh, ...) from a notification on the same thread;
  // a host must not wait there for another thread that needs the control
  // point. Taken before any proxy's presence lock. Sharing it between the two
  // registries means no order between two registry locks can be violated.
  std::recursive_mutex registryLock_;
  DeviceRegistry servers_;
  DeviceRegistry renderers_;

  std::mutex pendingLock_;  // guards pendingUdns_
  std::set<std::string> pendingUdns_;
  std::mutex logLock_;  // guards downloadLog_
  std::map<std::string, int64_t> downloadLog_;
  std::mutex downloadsLock_;  // guards the three below
  std::map<std::string, int> downloadsByHost_;
  int runningDownloads_ = 0;
  std::deque<QueuedDownload> queuedDownloads_;  // waiting for a free slot
  std::mutex eventsLock_;  // guards pendingEvents_
  struct PendingEvent {
    std::string sid, text;
    int64_t received;
  };
  std::vector<PendingEvent> pendingEvents_;

  // A failed download is tried again by the control point after 2 s, 10 s,
  // then every 60 s, while the announcement that named its location holds;
  // announcements meanwhile wait as well. A success, a byebye or the
  // announcement's expiry ends it.
  struct Retry {
    int failures = 0;
    int64_t due = 0;  // INT64_MAX while a download of the location runs
    int64_t validUntil = 0;
    int expires = 0;
    std::set<std::string> udns;  // who announced it: a byebye names only its UDN
  };
  std::mutex retriesLock_;  // guards retries_
  std::map<std::string, Retry> retries_;  // by location

  std::mutex expiryLock_;  // guards stopExpiry_ and retriesChanged_
  std::condition_variable expiryWake_;
  bool stopExpiry_ = false;
  bool retriesChanged_ = false;
  std::thread expiryThread_;
};

// Entry functions of the host.
constexpr int kSearchServers = 1;
constexpr int kSearchRenderers = 2;

// Starts (or shares) the stack on hostIp/port, registers a client. Null on
// failure; *error (when given) receives the stack's code.
control_point_t* p_CreateControlPoint(const char* hostIp, uint16_t port, EventCallback callback, void* context,
                                      int* error = nullptr);
int p_Search(control_point_t* cp, int mx, int kinds);
int p_Refresh(control_point_t* cp, int mx, int kinds);
int p_RemoveDevice(control_point_t* cp, const char* udn);
// Stops notifications, unregisters the client, waits for the control
// point's own threads (downloads, liveness checks), then (at most 9 s) for
// the last reference to go, and gives back the control point's share of the
// stack. Returns the context that was set. Not from a stack callback.
void* p_DestroyControlPoint(control_point_t* cp);

}  // namespace tovaly
