#include "library/metadata.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "core/event_callback.h"
#include "core/heap.h"
#include "library/file_open.h"
#include "library/media_types.h"
#include "library/meta_wire.h"

namespace tovaly {
namespace {

std::chrono::steady_clock::time_point SteadyAt(uint64_t monotonicMicros) {
  // MonotonicMicros and steady_clock both read CLOCK_MONOTONIC.
  return std::chrono::steady_clock::time_point(std::chrono::microseconds(monotonicMicros));
}

void CloseJob(MetadataStore::Job& job) {
  if (job.fd >= 0) close(job.fd);
  job.fd = -1;
}

MediaFacts::Kind KindByName(const std::string& name) {
  ObjectClass cls = kClassOther;
  MimeTypeFor(name.c_str(), &cls);
  return cls == kClassAudio ? MediaFacts::kAudio
         : cls == kClassVideo ? MediaFacts::kVideo
         : cls == kClassImage ? MediaFacts::kImage : MediaFacts::kUnknown;
}

}  // namespace

ContentKey KeyOfStat(const struct stat& st) {
  ContentKey k;
  k.dev = static_cast<uint64_t>(st.st_dev);
  k.ino = static_cast<uint64_t>(st.st_ino);
  k.size = static_cast<int64_t>(st.st_size);
  k.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return k;
}

bool KeyOfFd(int fd, ContentKey* key) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return false;
  *key = KeyOfStat(st);
  return true;
}

MetadataStore::MetadataStore(MetadataOptions options)
    : options_(std::move(options)), cache_(options_.cacheDir, options_.memoryEntries, options_.log) {
  if (!options_.log) options_.log = [](const std::string& line) { fprintf(stderr, "tovaly: %s\n", line.c_str()); };
  if (options_.helperPath.empty()) {
    Log("metadata: no helper (tovaly-meta) found; files are listed without tags, durations or pictures");
    return;
  }
  const int n = options_.helpers > 0 ? options_.helpers : 1;
  for (int i = 0; i < n; ++i) threads_.emplace_back([this] { Work(); });
}

MetadataStore::~MetadataStore() {
  {
    std::lock_guard<std::mutex> lk(m_);
    stopping_ = true;
  }
  work_.notify_all();
  done_.notify_all();
  for (std::thread& t : threads_) t.join();
  for (auto* q : {&high_, &low_}) {
    for (Pending& p : *q) CloseJob(p.job);
  }
}

void MetadataStore::Log(const std::string& line) { options_.log(line); }

std::optional<MediaFacts> MetadataStore::Cached(const ContentKey& key) { return cache_.Get(key); }

void MetadataStore::SetListener(Listener listener) {
  std::lock_guard<std::mutex> lk(m_);
  listener_ = std::move(listener);
}

size_t MetadataStore::Queued() {
  std::lock_guard<std::mutex> lk(m_);
  return high_.size() + low_.size();
}

void MetadataStore::Request(std::vector<Job> jobs, Priority priority) {
  std::deque<Pending> batch;
  {
    std::lock_guard<std::mutex> lk(m_);
    for (Job& job : jobs) {
      if (stopping_ || !Reading() || cache_.GetFromMemory(job.key)) {
        CloseJob(job);
        continue;
      }
      const auto it = queued_.find(job.key);
      if (it != queued_.end() && (it->second == kHigh || priority == kLow)) {
        CloseJob(job);
        continue;
      }
      queued_[job.key] = priority;
      batch.push_back(Pending{std::move(job), false});
    }
    if (batch.empty()) return;
    if (priority == kHigh) {
      for (Pending& p : batch) high_.push_back(std::move(p));
    } else {
      // The newest folder first: a Browse moves on, and its read-ahead with it.
      for (auto it = batch.rbegin(); it != batch.rend(); ++it) low_.push_front(std::move(*it));
      while (low_.size() > options_.maxQueued) {
        Pending& old = low_.back();
        const auto q = queued_.find(old.job.key);
        if (q != queued_.end() && q->second == kLow) queued_.erase(q);
        CloseJob(old.job);
        low_.pop_back();
      }
    }
  }
  work_.notify_all();
}

MetadataStore::Turn MetadataStore::Take(bool helperRunning, Pending* out) {
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    const auto ready = [this] { return stopping_ || !high_.empty() || !low_.empty(); };
    if (!helperRunning) {
      work_.wait(lk, ready);
    } else if (!work_.wait_for(lk, std::chrono::microseconds(options_.helperLingerMicros), ready)) {
      return kIdle;
    }
    if (stopping_) return kStop;
    const bool fromHigh = !high_.empty();
    std::deque<Pending>& q = fromHigh ? high_ : low_;
    Pending p = std::move(q.front());
    q.pop_front();
    if (!p.image) {
      // A low copy of a job that was raised to high, or one that is done.
      const auto it = queued_.find(p.job.key);
      if (it == queued_.end() || (!fromHigh && it->second == kHigh)) {
        CloseJob(p.job);
        continue;
      }
      it->second = kHigh;  // running: nothing to raise any more
    }
    *out = std::move(p);
    return kJob;
  }
}

void MetadataStore::Work() {
  MetaHelper helper(options_.helperPath);
  Pending p;
  for (;;) {
    switch (Take(helper.pid() > 0, &p)) {
      case kStop:
        return;
      case kIdle:
        // A helper holds its parsers' libraries (tens of MiB) for nothing
        // while no file waits; the next one starts another (a few ms).
        helper.Stop();
        // What a long read-ahead allocated on this thread goes back to the system.
        ReturnFreeHeap();
        break;
      case kJob:
        ReadOne(helper, p);
        CloseJob(p.job);
        break;
    }
  }
}

void MetadataStore::ReadOne(MetaHelper& helper, Pending& p) {
  Job& job = p.job;
  const ContentKey asked = job.key;
  if (job.fd < 0 && !job.relativePath.empty()) {
    FileOpenRequest open{job.relativePath.c_str(), 0};
    if (AnswerFileOpen(job.contentFolder, &open)) job.fd = open.fd;
  }
  ContentKey key = asked;
  if (job.fd < 0 || !KeyOfFd(job.fd, &key)) {
    Finish(asked, asked, nullptr, p.image);  // gone meanwhile: listed as it is
    return;
  }
  // Only the extension matters to the helper: the last segment, never longer than a name.
  std::string name = job.name.empty() ? job.relativePath : job.name;
  name = name.substr(name.rfind('/') + 1);
  std::optional<MediaFacts> known = cache_.Get(key);
  if (!p.image && known) {
    Finish(asked, key, nullptr, false);  // another job read it meanwhile
    return;
  }
  if (p.image && access(cache_.ImagePath(key).c_str(), R_OK) == 0) {
    Finish(asked, key, nullptr, true);
    return;
  }

  MediaFacts facts;
  bool hasFacts = false;
  std::string jpeg;
  const uint8_t want = kWantFacts | (p.image ? kWantImage : 0);
  switch (helper.Ask(job.fd, name, want, options_.timeLimitMicros, &facts, &hasFacts, &jpeg)) {
    case MetaHelper::kNoHelper: {
      bool tell = false;
      {
        std::lock_guard<std::mutex> lk(m_);
        tell = !toldNoHelper_;
        toldNoHelper_ = true;
      }
      if (tell) Log("metadata: cannot start " + options_.helperPath + "; files are listed without their tags");
      Finish(asked, key, nullptr, p.image);
      return;
    }
    case MetaHelper::kFailed:
      if (p.image && known && !known->unreadable) {
        facts = *known;  // the facts stand; only the picture is beyond reach
      } else {
        facts = MediaFacts();
        facts.kind = KindByName(name);
        facts.unreadable = true;
      }
      facts.hasArt = facts.hasThumbnail = false;
      Log("metadata: reading \"" + name + "\" crashed or took too long; it is listed as it is until it changes");
      break;
    case MetaHelper::kAnswered:
      if (p.image && !(jpeg.size() > 0 && cache_.WriteImage(key, jpeg))) {
        facts.hasArt = facts.hasThumbnail = false;  // not tried again while unchanged
      }
      break;
  }
  cache_.Put(key, facts);
  Finish(asked, key, &facts, p.image);
}

void MetadataStore::Finish(const ContentKey& asked, const ContentKey& read, const MediaFacts* facts, bool image) {
  Listener listener;
  {
    std::lock_guard<std::mutex> lk(m_);
    if (image) {
      images_.erase(asked);
    } else {
      queued_.erase(asked);
    }
    if (facts) listener = listener_;
  }
  done_.notify_all();
  if (listener) listener(read, *facts);
}

std::vector<std::optional<MediaFacts>> MetadataStore::WaitFor(const std::vector<ContentKey>& keys,
                                                              uint64_t deadlineMicros) {
  std::vector<std::optional<MediaFacts>> out(keys.size());
  {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
      bool waiting = false;
      for (size_t i = 0; i < keys.size(); ++i) {
        if (out[i]) continue;
        out[i] = cache_.GetFromMemory(keys[i]);
        if (!out[i] && queued_.count(keys[i])) waiting = true;
      }
      if (!waiting || stopping_) break;
      if (done_.wait_until(lk, SteadyAt(deadlineMicros)) == std::cv_status::timeout) break;
    }
  }
  // What came in at the deadline, or was read but pushed out of memory by
  // later reads (the disk has it).
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!out[i]) out[i] = cache_.Get(keys[i]);
  }
  return out;
}

std::string MetadataStore::ThumbnailPath(Job job, uint64_t deadlineMicros) {
  const std::string path = cache_.ImagePath(job.key);
  if (!Reading() || path.empty()) {
    CloseJob(job);
    return std::string();
  }
  const std::optional<MediaFacts> known = cache_.Get(job.key);
  if (known && (known->unreadable || !(known->hasArt || known->hasThumbnail))) {
    CloseJob(job);
    return std::string();
  }
  if (access(path.c_str(), R_OK) == 0) {
    CloseJob(job);
    return path;
  }
  const ContentKey key = job.key;
  {
    std::unique_lock<std::mutex> lk(m_);
    if (stopping_) {
      CloseJob(job);
      return std::string();
    }
    if (images_.insert(key).second) {
      high_.push_back(Pending{std::move(job), true});
      work_.notify_one();
    } else {
      CloseJob(job);  // already on its way
    }
    done_.wait_until(lk, SteadyAt(deadlineMicros), [&] { return stopping_ || !images_.count(key); });
  }
  return access(path.c_str(), R_OK) == 0 ? path : std::string();
}

}  // namespace tovaly
