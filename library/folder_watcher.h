#pragma once
// Watches the folders clients have browsed (inotify) and reports each
// change as ContentChanged of that folder, so that clients with a copy ask
// again. Watches are bounded: beyond kMaxWatches the folder browsed longest
// ago is no longer watched (its listing is still read afresh: the folder's
// own times tell when it changed).

#include <condition_variable>
#include <cstddef>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace tovaly {

class FolderWatcher {
 public:
  static constexpr size_t kMaxWatches = 256;

  FolderWatcher();
  ~FolderWatcher();
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  // Watches `path` (a folder, resolved) for the folder `folderId`; again for
  // a folder already watched only marks it as browsed now.
  void Watch(const std::string& path, const std::string& folderId);
  // Folders watched now.
  size_t Count();

 private:
  void Read();

  int fd_ = -1;    // inotify
  int stop_ = -1;  // eventfd: the destructor wakes the reader
  std::mutex m_;   // guards the two below; never held while a change is reported
  std::list<std::pair<int, std::string>> order_;  // (watch, folder id), most recently browsed first
  std::map<int, std::list<std::pair<int, std::string>>::iterator> byWatch_;
  std::thread reader_;
};

}  // namespace tovaly
