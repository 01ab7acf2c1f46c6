#pragma once
// Where facts are kept once read: a bounded map in memory in front of a
// SQLite file on disk, both keyed by ContentKey; and the thumbnails, one JPEG
// file each beside it. A cache, never the source of truth: a missing,
// corrupt or foreign file is started afresh (one log line), a record whose
// size or mtime differs from the file's is not an answer, and deleting the
// folder loses nothing but time.
//
//   <dir>/metadata.sqlite          facts by (device, inode), with size and mtime
//   <dir>/thumbs/<key in hex>.jpg  thumbnails and scaled cover art
//
// Thread-safe. Lookups take one lock for the map and another for SQLite;
// nothing else waits on them.

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/media_facts.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tovaly {

using MetaLog = std::function<void(const std::string& line)>;

// $XDG_CACHE_HOME/tovaly when XDG_CACHE_HOME is an absolute path, else
// ~/.cache/tovaly.
std::string DefaultMetadataCacheDir();

class FactsCache {
 public:
  // dir "" keeps facts in memory only (and no thumbnails). memoryEntries: the
  // most records the map keeps; the least recently used goes first.
  FactsCache(const std::string& dir, size_t memoryEntries, MetaLog log);
  ~FactsCache();
  FactsCache(const FactsCache&) = delete;
  FactsCache& operator=(const FactsCache&) = delete;

  // From memory, else from disk (and then kept in memory).
  std::optional<MediaFacts> Get(const ContentKey& key);
  // From memory only.
  std::optional<MediaFacts> GetFromMemory(const ContentKey& key);
  // Kept in both; on disk it replaces what was known of the same file.
  void Put(const ContentKey& key, const MediaFacts& facts);

  // Where the key's JPEG is (whether or not it exists yet); "" without a
  // folder.
  std::string ImagePath(const ContentKey& key) const;
  // Writes the key's JPEG (temporary file, then rename), making the folder
  // again when it was removed. False when it cannot be written.
  bool WriteImage(const ContentKey& key, const std::string& jpeg);

 private:
  void OpenDisk(bool announceNew);
  void CloseDisk();
  // Starts the file afresh after `why` (one log line); false when that fails too.
  bool Rebuild(const std::string& why);
  bool DiskStillThere();
  std::optional<MediaFacts> GetFromDisk(const ContentKey& key, std::string* blob);
  void PutOnDisk(const ContentKey& key, const std::string& blob);
  void Remember(const ContentKey& key, std::string blob);

  const std::string dir_;
  const std::string dbPath_;
  const size_t capacity_;
  MetaLog log_;

  std::mutex memoryLock_;
  // Most recent first; each record as it is stored on disk (a tenth of the
  // size of a MediaFacts with its strings), decoded when asked for.
  std::list<std::pair<ContentKey, std::string>> lru_;
  std::unordered_map<ContentKey, decltype(lru_)::iterator, ContentKeyHash> index_;

  std::mutex diskLock_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* upsert_ = nullptr;
  sqlite3_stmt* erase_ = nullptr;
  uint64_t dbDev_ = 0, dbIno_ = 0;  // the file opened, to notice it removed
  bool diskFailed_ = false;
};

}  // namespace tovaly
