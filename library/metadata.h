#pragma once
// What a listing can say about its files beyond their names: tags,
// durations, stream details, DLNA profiles, cover art and thumbnails, read
// live and cached, never scanned ahead of a Browse.
//
// Files are read by helper processes (tovaly-meta; see metadata_reader.h),
// each given one read-only descriptor at a time and a time limit per file;
// one that crashes or overruns is ended and started again, and that file
// (that content: its ContentKey) is remembered as unreadable, so it is not
// tried again until it changes. Facts are cached in memory and on disk
// (metadata_cache.h). Nothing here holds a lock while a helper works, and
// nothing a Browse calls waits on a helper, except WaitFor up to the
// deadline it is given.
//
// Typical use by a Browse:
//   for each file on the page: facts = store.Cached(key)   // memory, then one SQLite lookup
//   store.Request(missing, MetadataStore::kHigh);
//   auto late = store.WaitFor(missingKeys, MonotonicMicros() + 150000);
//   store.Request(restOfFolder, MetadataStore::kLow);      // read-ahead, returns at once
// and the listener moves the folder's update id when facts arrive later.

#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/media_facts.h"
#include "library/metadata_cache.h"
#include "library/metadata_reader.h"

namespace tovaly {

// The key of what a stat or an open descriptor shows.
ContentKey KeyOfStat(const struct stat& st);
bool KeyOfFd(int fd, ContentKey* key);

struct MetadataOptions {
  std::string cacheDir = DefaultMetadataCacheDir();  // "" keeps facts in memory only, and makes no thumbnails
  std::string helperPath = FindMetaHelper();         // "" reads nothing
  int helpers = 2;                                   // processes, each reading one file at a time
  uint64_t timeLimitMicros = 2'000'000;              // per file, then the helper is ended
  uint64_t helperLingerMicros = 2'000'000;           // a helper with nothing to read ends after this
  // Facts kept decoded-ready in memory (some 400 bytes each); the rest come
  // from the disk cache, which answers a page of 50 about as fast.
  size_t memoryEntries = 2'000;
  size_t maxQueued = 50'000;  // read-ahead jobs waiting; the oldest go beyond it
  MetaLog log;                // one line per event worth telling; null: stderr
};

class MetadataStore {
 public:
  enum Priority { kLow, kHigh };

  // A file to read. Either an open descriptor (the store owns it from then
  // on and closes it), or a path relative to the content folder, opened with
  // the confined open on a helper's thread when its turn comes (so that a
  // long read-ahead holds no descriptors).
  struct Job {
    ContentKey key;
    std::string contentFolder;
    std::string relativePath;
    int fd = -1;
    std::string name;  // for the extension; relativePath when empty
  };
  using Listener = std::function<void(const ContentKey& key, const MediaFacts& facts)>;

  explicit MetadataStore(MetadataOptions options = MetadataOptions());
  // Waits for the files being read (at most the time limit), ends the
  // helpers; what was still queued is dropped (descriptors closed).
  ~MetadataStore();
  MetadataStore(const MetadataStore&) = delete;
  MetadataStore& operator=(const MetadataStore&) = delete;

  // False when no helper could be found: nothing is read, and facts come
  // only from the cache. Said once in the log.
  bool Reading() const { return !options_.helperPath.empty(); }

  // What is known of this content: memory, then one SQLite lookup.
  std::optional<MediaFacts> Cached(const ContentKey& key);

  // Queues files to read; returns at once. High-priority jobs (a Browse
  // waits) go before every low one. A low batch (read-ahead) goes before the
  // low batches queued earlier, in its own order. Files already known in
  // memory or already queued at that priority or above are skipped. The
  // key a result is filed under is that of the descriptor actually read.
  void Request(std::vector<Job> jobs, Priority priority);

  // Waits until every key is known or no longer queued, or the deadline
  // (MonotonicMicros) passes; then what is known, in the order of keys.
  std::vector<std::optional<MediaFacts>> WaitFor(const std::vector<ContentKey>& keys, uint64_t deadlineMicros);

  // Called on a helper's thread, without any lock of the store held, each
  // time facts are filed (newly read, or changed because no image could be
  // made). Set it before the first Request.
  void SetListener(Listener listener);

  // The JPEG (within 160x160) for the job's file: cover art for audio, a
  // frame for video, the picture scaled and turned upright. Made on first
  // request by a helper, at high priority, waiting until the deadline; ""
  // when the file has none, it cannot be made in time, or there is no cache
  // folder. A file whose image cannot be made is not tried again while
  // unchanged (its facts then say hasArt = hasThumbnail = false).
  std::string ThumbnailPath(Job job, uint64_t deadlineMicros);

  // Jobs waiting (both priorities), for tests and the status of the desktop.
  size_t Queued();

 private:
  struct Pending {
    Job job;
    bool image = false;
  };
  enum Turn { kJob, kIdle, kStop };
  void Work();
  // The next job; kIdle when a running helper has waited its linger for one.
  Turn Take(bool helperRunning, Pending* out);
  void ReadOne(MetaHelper& helper, Pending& p);
  void Finish(const ContentKey& asked, const ContentKey& read, const MediaFacts* facts, bool image);
  void Log(const std::string& line);

  MetadataOptions options_;
  FactsCache cache_;

  std::mutex m_;  // guards everything below; never held while a helper works or the listener runs
  std::condition_variable work_;
  std::condition_variable done_;
  std::deque<Pending> high_, low_;
  std::unordered_map<ContentKey, Priority, ContentKeyHash> queued_;
  std::unordered_set<ContentKey, ContentKeyHash> images_;  // image jobs queued or running
  Listener listener_;
  bool stopping_ = false;
  bool toldNoHelper_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace tovaly
