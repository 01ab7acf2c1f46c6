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

void MediaCatalog::RememberLate(const ContentKey& key, const std::string& folderId) {
  auto it = lateIn_.find(key);
  if (it != lateIn_.end()) {
    it->second->second = folderId;
    late_.splice(late_.begin(), late_, it->second);
    return;
  }
  late_.emplace_front(key, folderId);
  lateIn_[key] = late_.begin();
  if (late_.size() > kMaxRemembered) {
    lateIn_.erase(late_.back().first);
    late_.pop_back();
  }
}

void MediaCatalog::Arrived(const ContentKey& key) {
  std::string folder;
  {
    std::lock_guard<std::mutex> lk(lock_);
    auto it = lateIn_.find(key);
    if (it == lateIn_.end()) return;  // nobody went without it
    folder = std::move(it->second->second);
    late_.erase(it->second);
    lateIn_.erase(it);
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
    store_.Request(std::move(missing), MetadataStore::kHigh);
    const auto got = store_.WaitFor(keys, MonotonicMicros() + budget_);
    std::vector<ContentKey> late;
    for (size_t i = 0; i < got.size(); ++i) {
      MediaObject& o = page->objects[missingAt[i]];
      if (got[i]) {
        ApplyFacts(*got[i], mediaBaseUrl, page->coverId, &o);
      } else {
        late.push_back(keys[i]);
        if (o.objectClass == kClassAudio && !page->coverId.empty()) o.artUrl = ArtUrl(mediaBaseUrl, o.id);
      }
    }
    if (!late.empty()) {
      {
        std::lock_guard<std::mutex> lk(lock_);
        for (const ContentKey& k : late) RememberLate(k, folderId);  // its arrival moves the folder's update id
      }
      // Facts filed between the wait and the line above found no one to tell.
      for (const ContentKey& k : late) {
        if (store_.Cached(k)) Arrived(k);
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
    // Every page of a folder asks for it: once is enough while the folder
    // has neither changed on disk nor been told changed (its update id).
    const std::string doneKey = folder.contentFolder + '\n' + folder.folderId;
    ReadAheadMark mark;
    std::string dir;
    struct stat st{};
    if ((folder.folderId == "0" || ResolveInside(folder.contentFolder, folder.folderId, &dir)) &&
        stat(folder.folderId == "0" ? folder.contentFolder.c_str() : dir.c_str(), &st) == 0) {
      mark = ReadAheadMark{KeyOfStat(st), ContainerUpdateId(folder.folderId), true};
    }
    const auto done = readAheadDone_.find(doneKey);
    if (mark.valid && done != readAheadDone_.end() && done->second == mark) continue;
    if (readAheadDone_.size() >= kMaxReadAheadMarks) readAheadDone_.clear();
    readAheadDone_[doneKey] = mark;
    lk.unlock();
    // The whole folder, in its order: what the store knows already is
    // passed over there.
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
