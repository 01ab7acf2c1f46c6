#include "app/console_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/cli_common.h"
#include "core/event_callback.h"
#include "library/host_answers.h"
#include "upnp/didl.h"

namespace tovaly {

int32_t ConsoleHost::Callback(void* context, int32_t code, void* args) {
  return HostDispatch(code, [&]() -> int32_t {
    if (!args) return 0;
    auto* host = static_cast<ConsoleHost*>(context);
    if (code == kRequestDeviceUdn && host && !host->udn_.empty()) {
      auto* r = static_cast<TextRequest*>(args);
      if (!r->buffer || r->size <= host->udn_.size()) return 0;
      memcpy(r->buffer, host->udn_.c_str(), host->udn_.size() + 1);
      return 1;
    }
    int32_t answer = 0;
    if (AnswerMachineRequest(code, args, &answer)) return answer;
    if (!host) return 0;
    switch (code) {
      case kEventServerAdded:
      case kEventRendererAdded: {
        auto* a = static_cast<DeviceAppeared*>(args);
        host->Appeared(code == kEventServerAdded ? "server" : "renderer", a->friendlyName, a->udn, a->baseUrl);
        return 0;
      }
      case kEventServerRemoved:
      case kEventRendererRemoved: {
        auto* l = static_cast<DeviceLeft*>(args);
        host->Left(code == kEventServerRemoved ? "server" : "renderer", l->friendlyName, l->udn);
        return 0;
      }
      case kEventBrowseContainer: {
        auto* c = static_cast<BrowseContainerFound*>(args);
        BrowseEntry entry;
        entry.container = true;
        entry.title = c->title ? c->title : "";
        entry.id = c->objectId ? c->objectId : "";
        entry.objectClass = 1;
        std::lock_guard<std::mutex> lk(host->m_);
        host->browsed_.push_back(std::move(entry));
        return 0;
      }
      case kEventBrowseItem: {
        auto* i = static_cast<BrowseItemFound*>(args);
        BrowseEntry entry;
        entry.title = i->title ? i->title : "";
        entry.id = i->objectId ? i->objectId : "";
        entry.url = i->url ? i->url : "";
        entry.protocolInfo = i->protocolInfo ? i->protocolInfo : "";
        entry.date = i->date ? i->date : "";
        entry.duration = i->duration;
        entry.objectClass = i->objectClass;
        if (const DidlEntry* d = i->details) {
          entry.artist = d->artist;
          entry.album = d->album;
          entry.genre = d->genre;
          entry.albumArtURI = d->albumArtURI;
          entry.subtitleUrl = d->subtitleUrl;
          entry.track = d->track;
          entry.size = d->size;
        }
        std::lock_guard<std::mutex> lk(host->m_);
        host->browsed_.push_back(std::move(entry));
        return 0;
      }
      case kEventTransportState: {
        auto* t = static_cast<TransportStateChanged*>(args);
        if (!t->udn) return 0;
        std::lock_guard<std::mutex> lk(host->m_);
        auto& entry = host->states_[t->udn];
        entry.first = t->state;
        ++entry.second;
        return 0;
      }
      default: return 0;  // 60 (MediaDownload) among others: not answered
    }
  });
}

std::vector<ConsoleHost::BrowseEntry> ConsoleHost::TakeBrowseEntries() {
  std::lock_guard<std::mutex> lk(m_);
  std::vector<BrowseEntry> out;
  out.swap(browsed_);
  return out;
}

std::pair<int, uint64_t> ConsoleHost::TransportState(const std::string& udn) const {
  std::lock_guard<std::mutex> lk(m_);
  auto it = states_.find(udn);
  return it == states_.end() ? std::make_pair(-1, uint64_t{0}) : it->second;
}

void ConsoleHost::Appeared(const char* kind, const char* name, const char* udn, const char* baseUrl) {
  const std::string key = std::string(kind) + " " + (udn ? udn : "");
  bool isNew;
  {
    std::lock_guard<std::mutex> lk(m_);
    isNew = devices_.find(key) == devices_.end();
    devices_[key] = Device{kind, name ? name : "", udn ? udn : "", baseUrl ? baseUrl : ""};
    if (isNew) order_.push_back(key);
  }
  // A re-announcement of a known device is not news.
  if (printEvents_ && isNew) {
    printf("+ %s \"%s\" %s at %s\n", kind, cli::Printable(name ? name : "", 60).c_str(),
           cli::Printable(udn ? udn : "", 60).c_str(), cli::Printable(baseUrl ? baseUrl : "").c_str());
  }
}

void ConsoleHost::Left(const char* kind, const char* name, const char* udn) {
  const std::string key = std::string(kind) + " " + (udn ? udn : "");
  {
    std::lock_guard<std::mutex> lk(m_);
    if (!devices_.erase(key)) return;
    order_.erase(std::remove(order_.begin(), order_.end(), key), order_.end());
  }
  if (printEvents_) {
    printf("- %s \"%s\" %s\n", kind, cli::Printable(name ? name : "", 60).c_str(),
           cli::Printable(udn ? udn : "", 60).c_str());
  }
}

std::vector<ConsoleHost::Device> ConsoleHost::Devices() const {
  std::lock_guard<std::mutex> lk(m_);
  std::vector<Device> out;
  for (const char* kind : {"server", "renderer"}) {
    for (const std::string& key : order_) {
      const Device& d = devices_.at(key);
      if (d.kind == kind) out.push_back(d);
    }
  }
  return out;
}

}  // namespace tovaly
