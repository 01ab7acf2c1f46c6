#pragma once
// What the listings say about the files beyond their names: the host asks
// the catalog to fill in what the metadata store knows of a page before it
// answers (Browse, the phone page), reads what is missing within a budget,
// reads the rest of the folder ahead at low priority, watches browsed
// folders, and moves a folder's update id when facts a client went without
// arrive later (ContentChanged). The folder stays the truth: nothing here
// adds or removes an object.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "core/media_object.h"
#include "library/folder_watcher.h"
#include "library/metadata.h"

namespace tovaly {

class MediaCatalog {
 public:
  // How long a page waits for facts not known yet; what is not ready by
  // then goes out without, and the folder's update id moves when it is.
  static constexpr uint64_t kBudgetMicros = 150000;
  // Files whose folder is remembered for a late arrival.
  static constexpr size_t kMaxRemembered = 50000;

  explicit MediaCatalog(MetadataOptions options = MetadataOptions(), uint64_t budgetMicros = kBudgetMicros);
  ~MediaCatalog();
  MediaCatalog(const MediaCatalog&) = delete;
  MediaCatalog& operator=(const MediaCatalog&) = delete;

  // Fills in the page's items (ListFolder's or DescribeObject's records of
  // the folder folderId) and, with readAhead, queues the rest of the folder.
  void Describe(const std::string& contentFolder, const std::string& folderId, const std::string& mediaBaseUrl,
                MediaObjectList* page, bool readAhead = true);

  // The JPEG (at most 160x160) that stands for an object: a song's
  // embedded art or its folder's cover, a folder's cover, a video's frame, a
  // picture scaled. A path to open, "" when there is none or it is not
  // made by the deadline (MonotonicMicros).
  std::string ImageFor(const std::string& contentFolder, const std::string& objectId, uint64_t deadlineMicros);

  MetadataStore& store() { return store_; }

 private:
  struct Folder {
    std::string contentFolder, folderId, mediaBaseUrl;
  };
  void ReadAhead();
  void Remember(const ContentKey& key, const std::string& folderId);  // under lock_
  void Arrived(const ContentKey& key);

  const uint64_t budget_;
  MetadataStore store_;
  FolderWatcher watcher_;

  std::mutex lock_;  // guards the fields below; never held while the store reads or waits
  std::condition_variable wake_;
  std::list<std::pair<ContentKey, std::string>> order_;  // files remembered, newest first
  std::unordered_map<ContentKey, std::list<std::pair<ContentKey, std::string>>::iterator, ContentKeyHash> folderOf_;
  std::unordered_set<ContentKey, ContentKeyHash> late_;  // went out without their facts
  std::deque<Folder> ahead_;  // folders to read ahead, newest first
  bool stopping_ = false;
  std::thread reader_;
};

// Copies what facts say into an object's record. coverId: the folder's
// picture, for a song without art of its own.
void ApplyFacts(const MediaFacts& facts, const std::string& mediaBaseUrl, const std::string& coverId, MediaObject* o);

}  // namespace tovaly
