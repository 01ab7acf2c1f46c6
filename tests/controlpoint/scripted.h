#pragma once
// Proxies and description downloads whose network requests a script answers,
// and a host that records what the control point tells it.

#include <upnp.h>
#include <upnptools.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "controlpoint/control_point.h"
#include "core/clock.h"
#include "upnp/didl.h"

namespace tovaly::test {

struct Sent {
  int index;
  std::string action;
  std::map<std::string, std::string> args;
  // The action and the named arguments, joined with "|".
  std::string Show(std::initializer_list<const char*> names) const {
    std::string joined = action;
    for (const char* n : names) joined += "|" + (args.count(n) ? args.at(n) : std::string("<missing>"));
    return joined;
  }
};

// A response, or null with *error set (left at 0: connection refused).
using Script = std::function<IXML_Document*(const Sent&, int* error)>;

inline IXML_Document* Response(const char* action, const std::vector<std::pair<const char*, std::string>>& outs) {
  IXML_Document* doc = nullptr;
  UpnpAddToActionResponse(&doc, action, "urn:schemas-upnp-org:service:X:1", nullptr, nullptr);
  for (const auto& o : outs) {
    UpnpAddToActionResponse(&doc, action, "urn:schemas-upnp-org:service:X:1", o.first, o.second.c_str());
  }
  return doc;
}

template <class Base>
class Scripted : public Base {
 public:
  Scripted(const std::string& udn, std::shared_ptr<ClientLink> link)
      : Base(udn, "Scripted " + udn, "http://192.0.2.9:1/", std::move(link)) {}
  IXML_Document* SendAction(int index, const char* action, const ActionArguments& args, int* error) override {
    Sent s{index, action, {}};
    for (const auto& a : args) s.args[a.first] = a.second;
    int e = 0;
    IXML_Document* r = script ? script(s, &e) : nullptr;
    if (error) *error = r ? 0 : e ? e : UPNP_E_SOCKET_CONNECT;
    sent.push_back(s);
    return r;
  }
  Script script;
  std::vector<Sent> sent;  // only while no liveness check runs on its own thread
  std::atomic<int> probes{0};
  bool asyncLiveness = false;  // the check on its own thread, as in production
  std::function<void()> onDestroy;

 protected:
  ~Scripted() override {
    if (onDestroy) onDestroy();
  }
  void SendPresenceProbe(const sockaddr_in&) override { ++probes; }
  void StartLivenessCheck() override {
    if (asyncLiveness) return Base::StartLivenessCheck();
    upnp_device_control::CheckLiveness(RefPtr<upnp_device_control>(this));
  }
};
using ScriptedServer = Scripted<MediaServerDevice>;

class ScriptedRenderer : public Scripted<MediaRendererDevice> {
 public:
  using Scripted<MediaRendererDevice>::Scripted;
  int SubscribeToAVTransport() override { return ++subscriptions, 0; }
  int subscriptions = 0;
};

// Description downloads answered by `fetch` (none: connection refused), on
// the thread that starts them, or on threads of their own when `threaded`.
class ScriptedControlPoint : public control_point_t {
 public:
  ScriptedControlPoint() : control_point_t(false) {}
  std::function<int(const std::string& location, std::string* text)> fetch;
  bool threaded = false;

 protected:
  int FetchDescription(const std::string& location, std::string* text) override {
    return fetch ? fetch(location, text) : UPNP_E_SOCKET_CONNECT;
  }
  void LaunchDownloads(QueuedDownload first) override {
    threaded ? control_point_t::LaunchDownloads(std::move(first)) : RunDownloads(std::move(first));
  }
};

// Records the notifications, on any thread: the UDN for devices,
// "title:id:class:duration:date:protocolInfo|album" for items, "state:UDN" for
// transport states.
struct Host {
  std::mutex m;
  std::vector<std::pair<int32_t, std::string>> events;
  control_point_t* removeOnAdd = nullptr;  // a host that calls back into the control point

  static int32_t Callback(void* context, int32_t code, void* args) {
    auto* h = static_cast<Host*>(context);
    std::string what;
    if (code == kEventServerAdded || code == kEventRendererAdded) {
      what = static_cast<DeviceAppeared*>(args)->udn;
    } else if (code == kEventServerRemoved || code == kEventRendererRemoved) {
      what = static_cast<DeviceLeft*>(args)->udn;
    } else if (code == kEventBrowseItem) {
      auto* i = static_cast<BrowseItemFound*>(args);
      what = std::string(i->title) + ":" + i->objectId + ":" + std::to_string(i->objectClass) + ":" +
             std::to_string(i->duration) + ":" + i->date + ":" + (i->protocolInfo ? i->protocolInfo : "<none>") +
             (i->details ? "|" + i->details->album : "");
    } else if (code == kEventTransportState) {
      auto* t = static_cast<TransportStateChanged*>(args);
      what = std::to_string(t->state) + ":" + t->udn;
    } else {
      return 0;
    }
    {
      std::lock_guard<std::mutex> lk(h->m);
      h->events.emplace_back(code, what);
    }
    if (code == kEventServerAdded && h->removeOnAdd) p_RemoveDevice(h->removeOnAdd, what.c_str());
    return 0;
  }
  std::vector<std::string> Of(int32_t code) {
    std::lock_guard<std::mutex> lk(m);
    std::vector<std::string> found;
    for (const auto& e : events) {
      if (e.first == code) found.push_back(e.second);
    }
    return found;
  }
  int Count(int32_t code) { return static_cast<int>(Of(code).size()); }
};

}  // namespace tovaly::test
