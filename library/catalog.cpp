#include "library/catalog.h"

#include <sys/stat.h>

#include <cctype>

#include "core/clock.h"
#include "library/content_changes.h"
#include "library/media_library.h"
#include "library/media_types.h"

namespace tovaly {
namespace {

// "YYYY", "YYYY-MM", "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS" (digits where
// digits go) as a whole date-time; "" for anything else.
std::string FullDate(const std::string& d) {
  static const char kShape[] = "0000-00-00T00:00:00";
  const size_t n = d.size();
  if (n != 4 && n != 7 && n != 10 && n != 19) return std::string();
  for (size_t i = 0; i < n; ++i) {
    if (kShape[i] == '0' ? !isdigit(static_cast<unsigned char>(d[i])) : d[i] != kShape[i]) return std::string();
  }
  if (d.compare(0, 4, "0000") == 0) return std::string();
  static const char kFill[] = "0000-01-01T00:00:00";
  return d + std::string(kFill + n);
}

bool IsItem(const MediaObject& o) { return o.objectClass != kClassContainer && (o.key.ino || o.key.size); }

}  // namespace

void ApplyFacts(const MediaFacts& f, const std::string& mediaBaseUrl, const std::string& coverId, MediaObject* o) {
  if (f.unreadable) {
    if (o->objectClass == kClassAudio && !coverId.empty()) o->artUrl = ArtUrl(mediaBaseUrl, o->id);
    return;
  }
  if (!f.title.empty()) o->title = f.title;
  o->artist = !f.artist.empty() ? f.artist : f.albumArtist;
  if (!f.album.empty()) o->album = f.album;
  o->genre = f.genre;
  o->track = f.track;
  const std::string date = FullDate(f.date);
  if (!date.empty()) o->date = date;
  o->durationMs = f.durationMs;
  o->bitrate = f.bitrate / 8;
  o->sampleRate = f.sampleRate;
  o->channels = f.channels;
  o->width = f.width;
  o->height = f.height;
  o->dlnaProfile = f.dlnaProfile;
  o->musicTrack = f.kind == MediaFacts::kAudio && (!f.title.empty() || !f.artist.empty() || !f.album.empty());
  // A song's picture is its own art, else its folder's cover: both under
  // the song's id (ImageFor finds which).
  const bool picture = f.hasArt || f.hasThumbnail || (o->objectClass == kClassAudio && !coverId.empty());
  if (picture) o->artUrl = ArtUrl(mediaBaseUrl, o->id);
}

MediaCatalog::MediaCatalog(MetadataOptions options, uint64_t budgetMicros)
    : budget_(budgetMicros), store_(std::move(options)) {
  store_.SetListener([this](const ContentKey& key, const MediaFacts&) { Arrived(key); });
  if (store_.Reading()) reader_ = std::thread(&MediaCatalog::ReadAhead, this);
}

MediaCatalog::~MediaCatalog() {
  {
    std::lock_guard<std::mutex> lk(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (reader_.joinable()) reader_.join();
}

void MediaCatalog::Remember(const ContentKey& key, const std::string& folderId) {
  auto it = folderOf_.find(key);
  if (it != folderOf_.end()) {
    it->second->second = folderId;
    order_.splice(order_.begin(), order_, it->second);
    return;
  }
  order_.emplace_front(key, folderId);
  folderOf_[key] = order_.begin();
  if (order_.size() > kMaxRemembered) {
    folderOf_.erase(order_.back().first);
    late_.erase(order_.back().first);
    order_.pop_back();
  }
}

void MediaCatalog::Arrived(const ContentKey& key) {
  std::string folder;
  {
    std::lock_guard<std::mutex> lk(lock_);
    if (!late_.erase(key)) return;  // nobody went without it
    auto it = folderOf_.find(key);
    if (it == folderOf_.end()) return;
    folder = it->second->second;
  }
  ContentChanged(folder);
}

void MediaCatalog::Describe(const std::string& contentFolder, const std::string& folderId,
                            const std::string& mediaBaseUrl, MediaObjectList* page, bool readAhead) {
  std::vector<MetadataStore::Job> missing;
  std::vector<size_t> missingAt;
  for (size_t i = 0; i < page->objects.size(); ++i) {
    MediaObject& o = page->objects[i];
    if (!IsItem(o)) continue;
    if (auto facts = store_.Cached(o.key)) {
      ApplyFacts(*facts, mediaBaseUrl, page->coverId, &o);
      continue;
    }
    MetadataStore::Job job;
    job.key = o.key;
    job.contentFolder = contentFolder;
    job.relativePath = o.id;
    missing.push_back(std::move(job));
    missingAt.push_back(i);
  }
  if (!missing.empty() && store_.Reading()) {
    std::vector<ContentKey> keys;
    for (const auto& job : missing) keys.push_back(job.key);
    {
      std::lock_guard<std::mutex> lk(lock_);
      for (const ContentKey& k : keys) Remember(k, folderId);
    }
    store_.Request(std::move(missing), MetadataStore::kHigh);
    const auto got = store_.WaitFor(keys, MonotonicMicros() + budget_);
    std::lock_guard<std::mutex> lk(lock_);
    for (size_t i = 0; i < got.size(); ++i) {
      MediaObject& o = page->objects[missingAt[i]];
      if (got[i]) {
        ApplyFacts(*got[i], mediaBaseUrl, page->coverId, &o);
      } else {
        late_.insert(keys[i]);  // its arrival moves the folder's update id
        if (o.objectClass == kClassAudio && !page->coverId.empty()) o.artUrl = ArtUrl(mediaBaseUrl, o.id);
      }
    }
  } else {
    for (size_t i : missingAt) {
      MediaObject& o = page->objects[i];
      if (o.objectClass == kClassAudio && !page->coverId.empty()) o.artUrl = ArtUrl(mediaBaseUrl, o.id);
    }
  }
  if (!readAhead || !store_.Reading()) return;
  std::string path;
  if (folderId != "0" && ResolveInside(contentFolder, folderId, &path)) watcher_.Watch(path, folderId);
  {
    std::lock_guard<std::mutex> lk(lock_);
    for (auto it = ahead_.begin(); it != ahead_.end(); ++it) {
      if (it->folderId == folderId && it->contentFolder == contentFolder) {
        ahead_.erase(it);
        break;
      }
    }
    ahead_.push_front(Folder{contentFolder, folderId, mediaBaseUrl});
    if (ahead_.size() > 16) ahead_.pop_back();
  }
  wake_.notify_one();
}

void MediaCatalog::ReadAhead() {
  std::unique_lock<std::mutex> lk(lock_);
  for (;;) {
    wake_.wait(lk, [&] { return stopping_ || !ahead_.empty(); });
    if (stopping_) return;
    Folder folder = std::move(ahead_.front());
    ahead_.pop_front();
    lk.unlock();
    // The whole folder, in its order: what the store knows already is
    // passed over there, and a folder read ahead before costs a listing.
    MediaObjectList all;
    ListFolder(folder.contentFolder, folder.folderId, 0, 0, folder.mediaBaseUrl, &all);
    std::vector<MetadataStore::Job> jobs;
    for (const MediaObject& o : all.objects) {
      if (!IsItem(o) || store_.Cached(o.key)) continue;
      MetadataStore::Job job;
      job.key = o.key;
      job.contentFolder = folder.contentFolder;
      job.relativePath = o.id;
      jobs.push_back(std::move(job));
    }
    lk.lock();
    for (const auto& job : jobs) Remember(job.key, folder.folderId);
    lk.unlock();
    if (!jobs.empty()) store_.Request(std::move(jobs), MetadataStore::kLow);
    lk.lock();
  }
}

std::string MediaCatalog::ImageFor(const std::string& contentFolder, const std::string& objectId,
                                   uint64_t deadlineMicros) {
  std::string id = objectId, path;
  if (!ResolveInside(contentFolder, id, &path)) return std::string();
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return std::string();
  if (S_ISDIR(st.st_mode)) {
    id = FolderCover(contentFolder, id);  // a folder: its cover
    if (id.empty() || !ResolveInside(contentFolder, id, &path) || stat(path.c_str(), &st) != 0) return std::string();
  }
  MetadataStore::Job job;
  job.key = KeyOfStat(st);
  job.contentFolder = contentFolder;
  job.relativePath = id;
  std::string image = store_.ThumbnailPath(job, deadlineMicros);
  if (!image.empty()) return image;
  // A song without art of its own has its folder's.
  ObjectClass cls = kClassOther;
  MimeTypeFor(id.c_str(), &cls);
  const size_t slash = id.rfind('/');
  if (cls != kClassAudio || slash == std::string::npos) return std::string();
  const std::string cover = FolderCover(contentFolder, id.substr(0, slash));
  return cover.empty() ? std::string() : ImageFor(contentFolder, cover, deadlineMicros);
}

}  // namespace tovaly
