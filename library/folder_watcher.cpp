#include "library/folder_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "library/content_changes.h"

namespace tovaly {
namespace {

// What changes what a folder lists: entries come and go, a file is written
// or its times change (its facts are read again by its new content key).
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                           IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

FolderWatcher::FolderWatcher() {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stop_ = eventfd(0, EFD_CLOEXEC);
  if (fd_ >= 0 && stop_ >= 0) reader_ = std::thread(&FolderWatcher::Read, this);
}

FolderWatcher::~FolderWatcher() {
  if (reader_.joinable()) {
    const uint64_t one = 1;
    if (write(stop_, &one, sizeof one) < 0) {
      // An eventfd write fails only on overflow, which one write cannot reach.
    }
    reader_.join();
  }
  if (fd_ >= 0) close(fd_);
  if (stop_ >= 0) close(stop_);
}

void FolderWatcher::Watch(const std::string& path, const std::string& folderId) {
  if (fd_ < 0) return;
  const int wd = inotify_add_watch(fd_, path.c_str(), kMask);
  if (wd < 0) return;  // out of the system's watches: the folder is still listed afresh
  std::lock_guard<std::mutex> lk(m_);
  auto known = byWatch_.find(wd);
  if (known != byWatch_.end()) {
    // The same folder (inotify gives its watch again), or a folder whose
    // watch number came back after the old one went.
    known->second->second = folderId;
    order_.splice(order_.begin(), order_, known->second);
    return;
  }
  order_.emplace_front(wd, folderId);
  byWatch_[wd] = order_.begin();
  if (order_.size() > kMaxWatches) {
    const int oldest = order_.back().first;
    inotify_rm_watch(fd_, oldest);
    byWatch_.erase(oldest);
    order_.pop_back();
  }
}

size_t FolderWatcher::Count() {
  std::lock_guard<std::mutex> lk(m_);
  return order_.size();
}

void FolderWatcher::Read() {
  alignas(inotify_event) char buffer[16 * 1024];
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) continue;
    std::vector<std::string> changed;
    {
      std::lock_guard<std::mutex> lk(m_);
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        auto it = byWatch_.find(e->wd);
        if (it == byWatch_.end()) continue;
        // Several events of one folder in one read are one change.
        if (changed.empty() || changed.back() != it->second->second) changed.push_back(it->second->second);
        if (e->mask & IN_IGNORED) {  // the folder itself went
          order_.erase(it->second);
          byWatch_.erase(it);
        }
      }
    }
    for (const std::string& folder : changed) ContentChanged(folder);
  }
}

}  // namespace tovaly
