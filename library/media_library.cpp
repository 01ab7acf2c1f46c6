#include "library/media_library.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/text.h"
#include "library/media_types.h"
#include "library/metadata.h"

namespace tovaly {
namespace {

struct Entry {
  std::string name;
  bool isDir;
  std::vector<std::string> subtitles;  // videos: the subtitle files beside them
};

// A folder's published children in order. Valid while the folder's own
// status (modification and change times, inode) is unchanged: adding,
// removing or renaming an entry changes it. File times have the kernel's
// tick as resolution, so a folder changed within the last second is not
// cached: a second change in the same tick would leave its times as they were.
struct Listing {
  std::string path;
  dev_t dev;
  ino_t ino;
  timespec mtime, ctime;
  std::vector<Entry> entries;
  size_t folders;     // entries[0, folders) are folders
  std::string cover;  // the file that is the folder's picture, "" none
};

// A few recent listings, so that paging through a large folder does not read
// and sort it again for every page.
class ListingCache {
 public:
  std::shared_ptr<const Listing> Find(const std::string& path, const struct stat& st) {
    std::lock_guard<std::mutex> lock(m_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      const Listing& l = **it;
      if (l.path == path) {
        if (l.dev == st.st_dev && l.ino == st.st_ino && Same(l.mtime, st.st_mtim) && Same(l.ctime, st.st_ctim)) {
          items_.splice(items_.begin(), items_, it);
          return items_.front();
        }
        items_.erase(it);
        return nullptr;
      }
    }
    return nullptr;
  }
  void Put(std::shared_ptr<const Listing> l) {
    std::lock_guard<std::mutex> lock(m_);
    items_.push_front(std::move(l));
    if (items_.size() > kMaxFolders) items_.pop_back();
  }

 private:
  static bool Same(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
  static constexpr size_t kMaxFolders = 16;
  std::mutex m_;  // guards items_; nothing else is called while it is held
  std::list<std::shared_ptr<const Listing>> items_;
};

int64_t RealWallClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}
std::atomic<WallClock> g_wallClock{&RealWallClock};

ListingCache& Cache() {
  static ListingCache cache;
  return cache;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

bool Inside(const std::string& root, const std::string& resolved) {
  return resolved == root || (resolved.size() > root.size() && resolved.compare(0, root.size(), root) == 0 &&
                              resolved[root.size()] == '/');
}

// Inside the content folder and not hidden there: a link may lead to a
// hidden entry, which is neither published nor served.
bool InsideAndVisible(const std::string& root, const std::string& resolved) {
  return Inside(root, resolved) && resolved.find("/.", root.size()) == std::string::npos;
}

// A link to its own folder or to one above it makes an endless tree (and
// leads back to files that are not published): never followed.
bool IsAncestorOrSelf(const std::string& target, const std::string& folder) {
  return Inside(target, folder);
}

// Text an id can carry through XML and back unchanged: UTF-8 without the
// characters XML 1.0 lacks. Tab, LF and CR are XML but do not survive an
// attribute value (they become blanks), so no control character at all.
bool SurvivesXml(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20) return false;
  }
  return IsValidUtf8(text) && text.find("\xEF\xBF\xBE") == std::string::npos &&
         text.find("\xEF\xBF\xBF") == std::string::npos;
}

bool PublishableName(const std::string& name) { return !name.empty() && name[0] != '.' && SurvivesXml(name); }

// Subtitle files and what they are.
struct SubtitleKind {
  const char* extension;
  const char* mime;
};
constexpr SubtitleKind kSubtitleKinds[] = {
    {"srt", "text/srt"}, {"ass", "text/x-ssa"}, {"ssa", "text/x-ssa"}, {"smi", "smi/caption"}, {"vtt", "text/vtt"}};

const SubtitleKind* SubtitleKindOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return nullptr;
  for (const SubtitleKind& k : kSubtitleKinds) {
    if (strcasecmp(name.c_str() + dot + 1, k.extension) == 0) return &k;
  }
  return nullptr;
}

std::string BaseName(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// Subtitles beside a video: "clip.srt", or with a language, "clip.en.srt",
// for "clip.mkv" (the first one the video's own name). They are attached to
// the video (a player finds them there) and no longer listed as items of
// their own; one that fits no video stays.
void AttachSubtitles(std::vector<Entry>* files) {
  std::unordered_map<std::string, size_t> videos;  // base name -> index
  for (size_t i = 0; i < files->size(); ++i) {
    ObjectClass cls = kClassOther;
    MimeTypeFor((*files)[i].name.c_str(), &cls);
    if (cls == kClassVideo) videos.emplace(BaseName((*files)[i].name), i);
  }
  if (videos.empty()) return;
  std::vector<bool> attached(files->size(), false);
  for (size_t i = 0; i < files->size(); ++i) {
    const std::string& name = (*files)[i].name;
    if (!SubtitleKindOf(name)) continue;
    std::string base = BaseName(name);
    auto video = videos.find(base);
    if (video == videos.end()) {
      const size_t lang = base.rfind('.');
      const size_t tag = lang == std::string::npos ? 0 : base.size() - lang - 1;
      if (tag >= 2 && tag <= 3) video = videos.find(base.substr(0, lang));
    }
    if (video == videos.end()) continue;
    // The one of the video's own name first: players that take one take it.
    auto& subs = (*files)[video->second].subtitles;
    subs.insert(BaseName(name) == video->first ? subs.begin() : subs.end(), name);
    attached[i] = true;
  }
  size_t kept = 0;
  for (size_t i = 0; i < files->size(); ++i) {
    if (attached[i]) continue;
    if (kept != i) (*files)[kept] = std::move((*files)[i]);
    ++kept;
  }
  files->resize(kept);
}

// The names a folder's picture goes by, in the order they are preferred; a
// name ending in '*' stands for any name that begins so. Letter case is
// ignored.
const char* const kCoverNames[] = {"cover.jpg", "folder.jpg", "albumart*.jpg", "album.jpg", "front.jpg"};

bool IsCoverName(const std::string& name, const char* pattern) {
  const size_t n = strlen(pattern);
  if (pattern[n - 5] == '*') {  // "albumart*.jpg"
    const size_t head = n - 5;
    return name.size() >= n - 1 && strncasecmp(name.c_str(), pattern, head) == 0 &&
           strcasecmp(name.c_str() + name.size() - 4, ".jpg") == 0;
  }
  return strcasecmp(name.c_str(), pattern) == 0;
}

// The folder's cover among its files (which stay listed): the first name in
// kCoverNames' order that a file has, the first such file in listing order.
std::string CoverOf(const std::vector<Entry>& files) {
  for (const char* pattern : kCoverNames) {
    for (const Entry& e : files) {
      if (IsCoverName(e.name, pattern)) return e.name;
    }
  }
  return std::string();
}

std::shared_ptr<const Listing> ReadListing(const std::string& root, const std::string& folder) {
  struct stat st{};
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  if (auto cached = Cache().Find(folder, st)) return cached;

  DIR* dir = opendir(folder.c_str());
  if (!dir) return nullptr;
  auto listing = std::make_shared<Listing>();
  listing->path = folder;
  listing->dev = st.st_dev;
  listing->ino = st.st_ino;
  listing->mtime = st.st_mtim;
  listing->ctime = st.st_ctim;
  std::vector<Entry> dirs, files;
  const int dfd = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (!PublishableName(name)) continue;
    unsigned char type = e->d_type;
    if (type == DT_LNK) {
      // Followed only when the target stays inside the content folder.
      const std::string target = RealPath(folder + "/" + name);
      if (target.empty() || !InsideAndVisible(root, target) || IsAncestorOrSelf(target, folder)) continue;
      type = DT_UNKNOWN;
    }
    if (type == DT_UNKNOWN) {
      struct stat es{};
      if (fstatat(dfd, name.c_str(), &es, 0) != 0) continue;
      type = S_ISDIR(es.st_mode) ? DT_DIR : S_ISREG(es.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      dirs.push_back({name, true, {}});
    } else if (type == DT_REG) {
      files.push_back({name, false, {}});
    }
  }
  closedir(dir);
  auto byName = [](const Entry& a, const Entry& b) { return NaturalLess(a.name, b.name); };
  std::sort(dirs.begin(), dirs.end(), byName);
  std::sort(files.begin(), files.end(), byName);
  AttachSubtitles(&files);
  listing->cover = CoverOf(files);
  listing->folders = dirs.size();
  listing->entries = std::move(dirs);
  listing->entries.insert(listing->entries.end(), std::make_move_iterator(files.begin()),
                          std::make_move_iterator(files.end()));
  const time_t changed = std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec);
  if (g_wallClock.load()() - changed > 1) Cache().Put(listing);
  return listing;
}

std::string FormatDate(time_t t) {
  tm parts{};
  gmtime_r(&t, &parts);
  // By hand: this runs for every item of every page.
  char text[] = "0000-00-00T00:00:00";
  auto put = [&](size_t at, int value, int digits) {
    for (int d = digits - 1; d >= 0; --d, value /= 10) text[at + static_cast<size_t>(d)] = static_cast<char>('0' + value % 10);
  };
  const int year = parts.tm_year + 1900;
  if (year < 0 || year > 9999) return std::string();
  put(0, year, 4);
  put(5, parts.tm_mon + 1, 2);
  put(8, parts.tm_mday, 2);
  put(11, parts.tm_hour, 2);
  put(14, parts.tm_min, 2);
  put(17, parts.tm_sec, 2);
  return text;
}

// Whether a folder has a picture of its own, by the usual spellings of the
// usual names: a probe, not a listing, since a page may hold many folders
// (the listing of the folder itself finds any spelling: CoverOf).
bool HasCover(int parentFd, const std::string& name) {
  static const char* const kSpellings[] = {"cover.jpg", "Cover.jpg", "COVER.JPG", "folder.jpg", "Folder.jpg",
                                           "FOLDER.JPG", "AlbumArt.jpg", "album.jpg", "Album.jpg", "front.jpg",
                                           "Front.jpg"};
  if (parentFd < 0) return false;
  const int dfd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return false;
  bool found = false;
  for (const char* s : kSpellings) {
    struct stat st{};
    if (fstatat(dfd, s, &st, 0) == 0 && S_ISREG(st.st_mode)) {
      found = true;
      break;
    }
  }
  close(dfd);
  return found;
}

// st: the file's status, or null when it could not be read (no date, no size).
void FillRecord(const std::string& id, const std::string& parentId, const std::string& name, bool isDir,
                const struct stat* st, const std::string& mediaBaseUrl, MediaObject* o) {
  o->id = id;
  o->parentID = parentId;
  o->title = name;
  o->restricted = true;
  o->childCount = 0;
  if (isDir) {
    o->objectClass = kClassContainer;
    return;
  }
  ObjectClass cls = kClassOther;
  const char* mime = MimeTypeFor(name.c_str(), &cls);
  o->objectClass = cls;
  o->protocolInfo = std::string("http-get:*:") + mime + ":*";
  o->res = ItemUrl(mediaBaseUrl, id);
  if (st) {
    o->date = FormatDate(st->st_mtime);
    o->size = st->st_size;
    o->key = KeyOfStat(*st);
  }
}

void AddSubtitles(const std::vector<std::string>& names, const std::string& folderId, const std::string& mediaBaseUrl,
                  MediaObject* o) {
  for (const std::string& name : names) {
    const SubtitleKind* kind = SubtitleKindOf(name);
    std::string type = name.substr(name.rfind('.') + 1);
    for (char& c : type) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    o->subtitles.push_back({ItemUrl(mediaBaseUrl, folderId + "/" + name), type, kind ? kind->mime : "text/plain"});
  }
}

bool ResolveBelow(const std::string& root, const std::string& relative, std::string* resolved);

// The folder an object id names ("0": the content folder), resolved.
bool FolderOf(const std::string& root, const std::string& objectId, std::string* folder) {
  if (objectId == "0") {
    *folder = root;
    return true;
  }
  return ResolveBelow(root, objectId, folder);
}

}  // namespace

void SetListingClock(WallClock clock) { g_wallClock = clock ? clock : &RealWallClock; }

std::string ItemUrl(const std::string& mediaBaseUrl, const std::string& objectId) {
  return mediaBaseUrl + PercentEncodePath(objectId);
}

namespace {

// ResolveInside below a root that is already a real path.
bool ResolveBelow(const std::string& root, const std::string& relative, std::string* resolved) {
  if (relative.empty() || relative.size() > PATH_MAX || !SurvivesXml(relative)) return false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string segment = relative.substr(start, slash - start);
    if (segment.empty() || segment[0] == '.') return false;
    start = slash + 1;
  }
  // Segment by segment, so that every link on the way is checked as the
  // listing checks it: inside, visible, and not leading back up.
  std::string current = root;
  start = 0;
  while (start < relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string next = current + "/" + relative.substr(start, slash - start);
    start = slash + 1;
    struct stat st{};
    if (lstat(next.c_str(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) {
      current = next;
      continue;
    }
    const std::string target = RealPath(next);
    if (target.empty() || !InsideAndVisible(root, target) || IsAncestorOrSelf(target, current)) return false;
    current = target;
  }
  if (current == root) return false;
  *resolved = current;
  return true;
}

}  // namespace

bool ResolveInside(const std::string& contentFolder, const std::string& relative, std::string* resolved) {
  const std::string root = RealPath(contentFolder);
  return !root.empty() && ResolveBelow(root, relative, resolved);
}

int32_t ListFolder(const std::string& contentFolder, const std::string& objectId, int32_t start, int32_t count,
                   const std::string& mediaBaseUrl, MediaObjectList* list) {
  if (!list) return 0;
  const int32_t none = objectId == "0" ? 0 : -1;
  const std::string root = RealPath(contentFolder);
  std::string folder;
  if (root.empty() || objectId.empty() || !FolderOf(root, objectId, &folder)) return none;
  auto listing = ReadListing(root, folder);
  if (!listing) return none;
  const bool atRoot = objectId == "0";
  // Files directly in the content folder are not published: only its folders.
  const size_t total = atRoot ? listing->folders : listing->entries.size();
  // The window rule, applied literally (negative values included), without
  // walking the part of a large folder before the window.
  const int64_t first = std::max<int64_t>(start, 0);
  const int64_t end = count > 0 ? std::min<int64_t>(static_cast<int64_t>(start) + count, static_cast<int64_t>(total))
                                : static_cast<int64_t>(total);
  // Items are looked up from the folder's descriptor: one name each, not
  // the whole path again.
  const int dfd = end > first ? open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  if (end > first) list->objects.reserve(list->objects.size() + static_cast<size_t>(end - first));
  for (int64_t pos = first; pos < end; ++pos) {
    const Entry& e = listing->entries[static_cast<size_t>(pos)];
    struct stat st{};
    const bool known = !e.isDir && dfd >= 0 && fstatat(dfd, e.name.c_str(), &st, 0) == 0;
    MediaObject o;
    const std::string id = atRoot ? e.name : objectId + "/" + e.name;
    FillRecord(id, objectId, e.name, e.isDir, known ? &st : nullptr, mediaBaseUrl, &o);
    AddSubtitles(e.subtitles, objectId, mediaBaseUrl, &o);
    if (e.isDir && HasCover(dfd, e.name)) o.artUrl = ArtUrl(mediaBaseUrl, id);
    list->objects.push_back(std::move(o));
  }
  if (dfd >= 0) close(dfd);
  if (!atRoot && !listing->cover.empty()) list->coverId = objectId + "/" + listing->cover;
  return static_cast<int32_t>(std::min<size_t>(total, INT32_MAX));
}

std::string FolderCover(const std::string& contentFolder, const std::string& folderId) {
  const std::string root = RealPath(contentFolder);
  std::string folder;
  if (root.empty() || folderId == "0" || !ResolveBelow(root, folderId, &folder)) return std::string();
  auto listing = ReadListing(root, folder);
  return listing && !listing->cover.empty() ? folderId + "/" + listing->cover : std::string();
}

std::vector<std::string> SubtitlesOf(const std::string& contentFolder, const std::string& fileId) {
  const size_t slash = fileId.rfind('/');
  const std::string root = RealPath(contentFolder);
  std::string folder;
  if (slash == std::string::npos || root.empty() || !ResolveBelow(root, fileId.substr(0, slash), &folder)) return {};
  auto listing = ReadListing(root, folder);
  if (!listing) return {};
  const std::string name = fileId.substr(slash + 1);
  for (size_t i = listing->folders; i < listing->entries.size(); ++i) {
    const Entry& e = listing->entries[i];
    if (e.name != name) continue;
    std::vector<std::string> ids;
    for (const std::string& sub : e.subtitles) ids.push_back(fileId.substr(0, slash + 1) + sub);
    return ids;
  }
  return {};
}

std::string ArtUrl(const std::string& mediaBaseUrl, const std::string& objectId) {
  static const char kMedia[] = "media/";
  std::string base = mediaBaseUrl;
  if (base.size() >= sizeof kMedia - 1 && base.compare(base.size() - (sizeof kMedia - 1), sizeof kMedia - 1, kMedia) == 0) {
    base.replace(base.size() - (sizeof kMedia - 1), sizeof kMedia - 1, "art/");
  }
  return base + PercentEncodePath(objectId);
}

int32_t DescribeObject(const std::string& contentFolder, const std::string& objectId, const std::string& mediaBaseUrl,
                       const std::string& rootTitle, MediaObject* object) {
  if (!object) return 0;
  const std::string root = RealPath(contentFolder);
  if (root.empty()) return 0;
  if (objectId == "0") {
    MediaObjectList folders;
    const int32_t total = ListFolder(contentFolder, "0", 0, 0, mediaBaseUrl, &folders);
    *object = MediaObject();
    object->id = "0";
    object->parentID = "-1";
    object->title = rootTitle;
    object->objectClass = kClassContainer;
    object->childCount = static_cast<uint32_t>(total);
    return 1;
  }
  std::string path;
  if (!ResolveBelow(root, objectId, &path)) return 0;
  const size_t slash = objectId.rfind('/');
  const std::string parentId = slash == std::string::npos ? "0" : objectId.substr(0, slash);
  const std::string name = slash == std::string::npos ? objectId : objectId.substr(slash + 1);
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return 0;
  const bool isDir = S_ISDIR(st.st_mode);
  // Files directly in the content folder are not published.
  if ((!isDir && !S_ISREG(st.st_mode)) || (!isDir && parentId == "0")) return 0;
  *object = MediaObject();
  FillRecord(objectId, parentId, name, isDir, &st, mediaBaseUrl, object);
  if (isDir) {
    if (!FolderCover(contentFolder, objectId).empty()) object->artUrl = ArtUrl(mediaBaseUrl, objectId);
    return 1;
  }
  // As the listing of its parent gives it: with its subtitles; a subtitle
  // that belongs to a video is no object of its own.
  std::string folder;
  auto listing = ResolveBelow(root, parentId, &folder) ? ReadListing(root, folder) : nullptr;
  if (!listing) return 0;
  for (size_t i = listing->folders; i < listing->entries.size(); ++i) {
    if (listing->entries[i].name != name) continue;
    AddSubtitles(listing->entries[i].subtitles, parentId, mediaBaseUrl, object);
    return 1;
  }
  return 0;
}

}  // namespace tovaly
