#include "library/content_changes.h"

#include <list>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace tovaly {
namespace {

// Folders whose ids are kept; beyond, the ones changed longest ago are
// forgotten (they read 0 again, and the system's id still moved for them).
constexpr size_t kMaxFolders = 10000;

struct Ids {
  std::mutex m;  // guards the fields below; never held while a listener runs
  uint32_t system = 0;
  std::list<std::string> order;  // most recently changed first
  std::unordered_map<std::string, std::pair<uint32_t, std::list<std::string>::iterator>> folders;
};

struct Listeners {
  std::mutex m;  // guards the fields below; held while they are called, so removal waits
  std::map<int, ContentListener> all;
  int next = 1;
};

Ids& TheIds() {
  static Ids* ids = new Ids;  // never destroyed: read by threads that may outlive static destruction
  return *ids;
}

Listeners& TheListeners() {
  static Listeners* listeners = new Listeners;
  return *listeners;
}

uint32_t Next(uint32_t id) { return id == UINT32_MAX ? 1 : id + 1; }

}  // namespace

uint32_t SystemUpdateId() {
  std::lock_guard<std::mutex> lk(TheIds().m);
  return TheIds().system;
}

uint32_t ContainerUpdateId(const std::string& folderId) {
  Ids& ids = TheIds();
  std::lock_guard<std::mutex> lk(ids.m);
  auto it = ids.folders.find(folderId);
  return it == ids.folders.end() ? 0 : it->second.first;
}

void ContentChanged(const std::string& folderId) {
  Ids& ids = TheIds();
  uint32_t container;
  {
    std::lock_guard<std::mutex> lk(ids.m);
    ids.system = Next(ids.system);
    auto it = ids.folders.find(folderId);
    if (it == ids.folders.end()) {
      ids.order.push_front(folderId);
      it = ids.folders.emplace(folderId, std::make_pair(0u, ids.order.begin())).first;
      if (ids.folders.size() > kMaxFolders) {
        ids.folders.erase(ids.order.back());
        ids.order.pop_back();
      }
    } else {
      ids.order.splice(ids.order.begin(), ids.order, it->second.second);
    }
    container = it->second.first = Next(it->second.first);
  }
  Listeners& l = TheListeners();
  std::lock_guard<std::mutex> lk(l.m);
  for (auto& entry : l.all) entry.second(folderId, container);
}

int AddContentListener(ContentListener listener) {
  Listeners& l = TheListeners();
  std::lock_guard<std::mutex> lk(l.m);
  const int token = l.next++;
  l.all.emplace(token, std::move(listener));
  return token;
}

void RemoveContentListener(int token) {
  Listeners& l = TheListeners();
  std::lock_guard<std::mutex> lk(l.m);
  l.all.erase(token);
}

}  // namespace tovaly
