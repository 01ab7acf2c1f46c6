#include "library/metadata_cache.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "library/meta_wire.h"

namespace tovaly {
namespace {

// The version of the file's layout and of what the extractors put into a
// record: a file of another version is started afresh, so that a newer
// program never trusts what an older one read (nor the reverse).
constexpr int kSchemaVersion = 1;

bool MakeDirs(const std::string& path) {
  if (path.empty()) return false;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      const std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void DefaultLog(const std::string& line) { fprintf(stderr, "tovaly: %s\n", line.c_str()); }

}  // namespace

std::string DefaultMetadataCacheDir() {
  const char* xdg = getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/tovaly";
  const char* home = getenv("HOME");
  std::string h = home && home[0] == '/' ? home : "";
  if (h.empty()) {
    if (const passwd* pw = getpwuid(getuid())) h = pw->pw_dir ? pw->pw_dir : "";
  }
  return (h.empty() ? std::string("/tmp") : h) + "/.cache/tovaly";
}

FactsCache::FactsCache(const std::string& dir, size_t memoryEntries, MetaLog log)
    : dir_(dir),
      dbPath_(dir.empty() ? std::string() : dir + "/metadata.sqlite"),
      capacity_(memoryEntries ? memoryEntries : 1),
      log_(log ? std::move(log) : MetaLog(DefaultLog)) {
  if (!dir_.empty()) {
    std::lock_guard<std::mutex> lk(diskLock_);
    OpenDisk(true);
  }
}

FactsCache::~FactsCache() {
  std::lock_guard<std::mutex> lk(diskLock_);
  CloseDisk();
}

void FactsCache::CloseDisk() {
  sqlite3_finalize(select_);
  sqlite3_finalize(upsert_);
  sqlite3_finalize(erase_);
  select_ = upsert_ = erase_ = nullptr;
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

namespace {

// Opens (creating) the file and checks that it is ours; "" when it is, else
// what is wrong with it.
std::string TryOpen(const std::string& dir, const std::string& path, sqlite3** db, sqlite3_stmt** select,
                    sqlite3_stmt** upsert, sqlite3_stmt** erase) {
  if (!MakeDirs(dir)) return std::string("cannot be made: ") + strerror(errno);
  if (sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    return std::string("cannot be opened: ") + (*db ? sqlite3_errmsg(*db) : "out of memory");
  }
  // Another program of ours may write at the same moment.
  sqlite3_busy_timeout(*db, 200);
  sqlite3_stmt* st = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(*db, "PRAGMA user_version", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
    version = sqlite3_column_int(st, 0);
  }
  sqlite3_finalize(st);
  if (version < 0) return std::string("is not a database we can read (") + sqlite3_errmsg(*db) + ")";
  if (version != 0 && version != kSchemaVersion) {
    return "was written by another version (" + std::to_string(version) + ")";
  }
  char* err = nullptr;
  const std::string setup =
      // The map in memory holds the records in use: SQLite's own page cache stays small.
      "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-256;"
      "CREATE TABLE IF NOT EXISTS facts(dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
      " mtime_ns INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(dev, ino)) WITHOUT ROWID;"
      "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
  if (sqlite3_exec(*db, setup.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string why = std::string("is not a database we can read (") + (err ? err : "?") + ")";
    sqlite3_free(err);
    return why;
  }
  if (sqlite3_prepare_v2(*db, "SELECT size, mtime_ns, data FROM facts WHERE dev=? AND ino=?", -1, select, nullptr) !=
          SQLITE_OK ||
      sqlite3_prepare_v2(*db, "INSERT OR REPLACE INTO facts(dev, ino, size, mtime_ns, data) VALUES(?,?,?,?,?)", -1,
                         upsert, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(*db, "DELETE FROM facts WHERE dev=? AND ino=?", -1, erase, nullptr) != SQLITE_OK) {
    return std::string("has an unexpected layout (") + sqlite3_errmsg(*db) + ")";
  }
  return std::string();
}

}  // namespace

void FactsCache::OpenDisk(bool announceNew) {
  struct stat st{};
  const bool existed = stat(dbPath_.c_str(), &st) == 0;
  const std::string why = TryOpen(dir_, dbPath_, &db_, &select_, &upsert_, &erase_);
  if (!why.empty()) {
    CloseDisk();
    Rebuild(why);
    return;
  }
  if (stat(dbPath_.c_str(), &st) == 0) {
    dbDev_ = st.st_dev;
    dbIno_ = st.st_ino;
  }
  if (!existed && announceNew) log_("metadata cache: started " + dbPath_);
}

bool FactsCache::Rebuild(const std::string& why) {
  CloseDisk();
  log_("metadata cache: " + dbPath_ + " " + why + "; starting it afresh");
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((dbPath_ + suffix).c_str());
  const std::string again = TryOpen(dir_, dbPath_, &db_, &select_, &upsert_, &erase_);
  if (!again.empty()) {
    CloseDisk();
    diskFailed_ = true;
    log_("metadata cache: " + dbPath_ + " " + again + "; facts are kept in memory only");
    return false;
  }
  struct stat st{};
  if (stat(dbPath_.c_str(), &st) == 0) {
    dbDev_ = st.st_dev;
    dbIno_ = st.st_ino;
  }
  return true;
}

bool FactsCache::DiskStillThere() {
  struct stat st{};
  return stat(dbPath_.c_str(), &st) == 0 && st.st_dev == dbDev_ && st.st_ino == dbIno_;
}

std::optional<MediaFacts> FactsCache::GetFromMemory(const ContentKey& key) {
  std::string blob;
  {
    std::lock_guard<std::mutex> lk(memoryLock_);
    const auto it = index_.find(key);
    if (it == index_.end()) return std::nullopt;
    lru_.splice(lru_.begin(), lru_, it->second);
    blob = it->second->second;
  }
  MediaFacts facts;
  if (!DecodeFacts(blob, &facts)) return std::nullopt;  // encoded here: cannot happen
  return facts;
}

void FactsCache::Remember(const ContentKey& key, std::string blob) {
  std::lock_guard<std::mutex> lk(memoryLock_);
  const auto it = index_.find(key);
  if (it != index_.end()) {
    it->second->second = std::move(blob);
    lru_.splice(lru_.begin(), lru_, it->second);
    return;
  }
  lru_.emplace_front(key, std::move(blob));
  index_[key] = lru_.begin();
  if (lru_.size() > capacity_) {
    index_.erase(lru_.back().first);
    lru_.pop_back();
  }
}

std::optional<MediaFacts> FactsCache::Get(const ContentKey& key) {
  if (auto f = GetFromMemory(key)) return f;
  std::string blob;
  auto f = GetFromDisk(key, &blob);
  if (f) Remember(key, std::move(blob));
  return f;
}

std::optional<MediaFacts> FactsCache::GetFromDisk(const ContentKey& key, std::string* blobOut) {
  std::lock_guard<std::mutex> lk(diskLock_);
  if (!db_) return std::nullopt;
  sqlite3_reset(select_);
  sqlite3_bind_int64(select_, 1, static_cast<sqlite3_int64>(key.dev));
  sqlite3_bind_int64(select_, 2, static_cast<sqlite3_int64>(key.ino));
  const int rc = sqlite3_step(select_);
  if (rc == SQLITE_DONE) return std::nullopt;
  if (rc != SQLITE_ROW) {
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) Rebuild("is damaged");
    return std::nullopt;
  }
  // Another size or time: the file changed since, and this is no answer.
  if (sqlite3_column_int64(select_, 0) != key.size || sqlite3_column_int64(select_, 1) != key.mtimeNs) {
    sqlite3_reset(select_);
    return std::nullopt;
  }
  const void* blob = sqlite3_column_blob(select_, 2);
  const int n = sqlite3_column_bytes(select_, 2);
  std::string bytes(static_cast<const char*>(blob), blob ? static_cast<size_t>(n) : 0);
  sqlite3_reset(select_);
  MediaFacts facts;
  if (!DecodeFacts(bytes, &facts)) {
    sqlite3_reset(erase_);
    sqlite3_bind_int64(erase_, 1, static_cast<sqlite3_int64>(key.dev));
    sqlite3_bind_int64(erase_, 2, static_cast<sqlite3_int64>(key.ino));
    sqlite3_step(erase_);
    sqlite3_reset(erase_);
    return std::nullopt;
  }
  *blobOut = std::move(bytes);
  return facts;
}

void FactsCache::PutOnDisk(const ContentKey& key, const std::string& blob) {
  std::lock_guard<std::mutex> lk(diskLock_);
  if (dir_.empty() || diskFailed_) return;
  if (!db_ || !DiskStillThere()) {
    // Removed (or replaced by another of our programs): open what is there
    // now, made afresh when needed.
    if (db_) log_("metadata cache: " + dbPath_ + " was removed or replaced; opening it again");
    CloseDisk();
    OpenDisk(false);
    if (!db_) return;
  }
  sqlite3_reset(upsert_);
  sqlite3_bind_int64(upsert_, 1, static_cast<sqlite3_int64>(key.dev));
  sqlite3_bind_int64(upsert_, 2, static_cast<sqlite3_int64>(key.ino));
  sqlite3_bind_int64(upsert_, 3, key.size);
  sqlite3_bind_int64(upsert_, 4, key.mtimeNs);
  sqlite3_bind_blob(upsert_, 5, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  const int rc = sqlite3_step(upsert_);
  sqlite3_reset(upsert_);
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) Rebuild("is damaged");
}

void FactsCache::Put(const ContentKey& key, const MediaFacts& facts) {
  std::string blob = EncodeFacts(facts);
  PutOnDisk(key, blob);
  Remember(key, std::move(blob));
}

std::string FactsCache::ImagePath(const ContentKey& key) const {
  if (dir_.empty()) return std::string();
  char name[80];
  snprintf(name, sizeof name, "%016llx%016llx%016llx%016llx.jpg", static_cast<unsigned long long>(key.dev),
           static_cast<unsigned long long>(key.ino), static_cast<unsigned long long>(key.size),
           static_cast<unsigned long long>(key.mtimeNs));
  return dir_ + "/thumbs/" + name;
}

bool FactsCache::WriteImage(const ContentKey& key, const std::string& jpeg) {
  const std::string path = ImagePath(key);
  if (path.empty() || !MakeDirs(dir_ + "/thumbs")) return false;
  std::string tmp = path + ".XXXXXX";
  const int fd = mkostemp(&tmp[0], O_CLOEXEC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < jpeg.size()) {
    const ssize_t n = write(fd, jpeg.data() + done, jpeg.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = close(fd) == 0 && done == jpeg.size() && rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

}  // namespace tovaly
