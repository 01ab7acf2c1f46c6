// The store with real helper processes: reading through tovaly-meta, the
// order of work, waiting within a budget, thumbnails on demand, and helpers
// that crash or hang (a test helper that does so on request).

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "library/extract/extract.h"
#include "library/metadata.h"
#include "test_media.h"

namespace tovaly {
namespace {

using testing::Media;

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Media().ok) GTEST_SKIP() << "ffmpeg or exiftool missing (scripts/install-deps.sh installs them)";
    char tmpl[] = "/tmp/tovaly-store-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    top_ = tmpl;
    share_ = top_ + "/share";
    ASSERT_EQ(mkdir(share_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((share_ + "/m").c_str(), 0700), 0);
  }
  void TearDown() override {
    store_.reset();
    std::system(("rm -rf '" + top_ + "'").c_str());
  }
  void Start(const std::string& helper, int helpers = 2, uint64_t timeLimitMicros = 5'000'000,
             uint64_t lingerMicros = 2'000'000, size_t memoryEntries = 2'000) {
    MetadataOptions o;
    o.memoryEntries = memoryEntries;
    o.helperLingerMicros = lingerMicros;
    o.cacheDir = top_ + "/cache";
    o.helperPath = helper;
    o.helpers = helpers;
    o.timeLimitMicros = timeLimitMicros;
    o.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lk(m_);
      lines_.push_back(line);
    };
    store_ = std::make_unique<MetadataStore>(o);
    store_->SetListener([this](const ContentKey& key, const MediaFacts&) {
      std::lock_guard<std::mutex> lk(m_);
      arrived_.push_back(key);
      arrival_.notify_all();
    });
  }
  // A copy of a test file in the shared folder under another name; its job.
  MetadataStore::Job Copy(const std::string& from, const std::string& name) {
    const std::string rel = "m/" + name;
    EXPECT_TRUE(testing::WriteFile(share_ + "/" + rel, testing::ReadFile(from)));
    return JobFor(rel);
  }
  MetadataStore::Job JobFor(const std::string& rel) {
    struct stat st{};
    EXPECT_EQ(stat((share_ + "/" + rel).c_str(), &st), 0) << rel;
    MetadataStore::Job job;
    job.key = KeyOfStat(st);
    job.contentFolder = share_;
    job.relativePath = rel;
    return job;
  }
  std::optional<MediaFacts> ReadNow(const MetadataStore::Job& job) {
    store_->Request({job}, MetadataStore::kHigh);
    return store_->WaitFor({job.key}, MonotonicMicros() + 30'000'000)[0];
  }
  // The listener runs after waiters are woken: waits for its n-th call.
  bool WaitArrivals(size_t n) {
    std::unique_lock<std::mutex> lk(m_);
    return arrival_.wait_for(lk, std::chrono::seconds(30), [&] { return arrived_.size() >= n; });
  }
  size_t Lines() {
    std::lock_guard<std::mutex> lk(m_);
    return lines_.size();
  }

  std::string top_, share_;
  std::unique_ptr<MetadataStore> store_;
  std::mutex m_;
  std::condition_variable arrival_;
  std::vector<std::string> lines_;
  std::vector<ContentKey> arrived_;
};

TEST_F(Store, ReadsThroughTheHelperAndTellsTheListener) {
  Start(TOVALY_META_BIN);
  const auto mp3 = Copy(Media().mp3, "a.mp3");
  const auto mp4 = Copy(Media().mp4Main, "b.mp4");
  const auto jpg = Copy(Media().photo, "c.jpg");
  EXPECT_FALSE(store_->Cached(mp3.key));
  store_->Request({mp3, mp4, jpg}, MetadataStore::kHigh);
  const auto got = store_->WaitFor({mp3.key, mp4.key, jpg.key}, MonotonicMicros() + 30'000'000);
  ASSERT_TRUE(got[0] && got[1] && got[2]);
  EXPECT_EQ(got[0]->title, testing::kTitle);
  EXPECT_EQ(got[1]->dlnaProfile, "AVC_MP4_MP_SD_AAC_MULT5");
  EXPECT_EQ(got[2]->orientation, 6);
  ASSERT_TRUE(WaitArrivals(3));
  EXPECT_EQ(store_->Cached(mp3.key)->title, testing::kTitle);
  // Known now: asked again, nothing is read.
  store_->Request({mp3}, MetadataStore::kHigh);
  EXPECT_EQ(store_->Queued(), 0u);
  {
    std::lock_guard<std::mutex> lk(m_);
    EXPECT_EQ(arrived_.size(), 3u);
  }

  // A later run answers from the disk without any helper.
  store_.reset();
  Start("");
  EXPECT_EQ(store_->Cached(mp4.key)->videoCodec, "h264");
}

TEST_F(Store, FactsPushedOutOfMemoryWhileAPageWaitsAreStillAnswered) {
  Start(TOVALY_META_BIN, 2, 5'000'000, 2'000'000, /*memoryEntries=*/1);
  const auto a = Copy(Media().mp3, "a.mp3");
  const auto b = Copy(Media().mp4Main, "b.mp4");
  const auto c = Copy(Media().photo, "c.jpg");
  store_->Request({a, b, c}, MetadataStore::kHigh);
  ASSERT_TRUE(WaitArrivals(3));  // all read; memory holds the last one only
  const auto got = store_->WaitFor({a.key, b.key, c.key}, MonotonicMicros() + 30'000'000);
  ASSERT_TRUE(got[0] && got[1] && got[2]);
  EXPECT_EQ(got[0]->title, testing::kTitle);
  EXPECT_EQ(got[1]->videoCodec, "h264");
  EXPECT_EQ(got[2]->orientation, 6);
}

TEST_F(Store, AChangedFileIsReadAgain) {
  Start(TOVALY_META_BIN);
  const auto before = Copy(Media().mp3, "a.mp3");
  ASSERT_TRUE(ReadNow(before));
  // Same name and inode (rewritten in place), other content: another size and mtime.
  ASSERT_TRUE(testing::WriteFile(share_ + "/m/a.mp3", testing::ReadFile(Media().wav16)));
  const auto after = JobFor("m/a.mp3");
  ASSERT_NE(after.key, before.key);
  EXPECT_FALSE(store_->Cached(after.key));
  const auto f = ReadNow(after);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->title, "");  // what the file holds now
}

TEST_F(Store, AHelperThatCrashesIsReplacedAndTheFileNotTriedAgain) {
  Start(FAKE_META_HELPER_BIN, 1);
  const auto bad = Copy(Media().mp3, "crash.mp3");
  const auto good = Copy(Media().mp3, "good.mp3");
  const size_t linesBefore = Lines();
  store_->Request({bad, good}, MetadataStore::kHigh);
  const auto got = store_->WaitFor({bad.key, good.key}, MonotonicMicros() + 30'000'000);
  ASSERT_TRUE(got[0] && got[1]);
  EXPECT_TRUE(got[0]->unreadable);
  EXPECT_EQ(got[0]->kind, MediaFacts::kAudio);
  EXPECT_EQ(got[1]->title, testing::kTitle);  // the next file, on a new helper
  EXPECT_EQ(Lines(), linesBefore + 1);
  // Not tried again while unchanged, in this run or the next.
  store_->Request({bad}, MetadataStore::kHigh);
  EXPECT_EQ(store_->Queued(), 0u);
  store_.reset();
  Start(FAKE_META_HELPER_BIN, 1);
  EXPECT_TRUE(store_->Cached(bad.key)->unreadable);
  EXPECT_EQ(store_->ThumbnailPath(bad, MonotonicMicros() + 30'000'000), "");
}

// The helpers this test program has running now.
int RunningHelpers() {
  int n = 0;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* t = tasks ? readdir(tasks) : nullptr) {
    std::ifstream children(std::string("/proc/self/task/") + t->d_name + "/children");
    for (int pid; children >> pid;) {
      std::string comm;
      std::ifstream("/proc/" + std::to_string(pid) + "/comm") >> comm;
      n += comm == "tovaly-meta";
    }
  }
  if (tasks) closedir(tasks);
  return n;
}

TEST_F(Store, AHelperWithNothingToReadEndsAndTheNextFileStartsAnother) {
  Start(TOVALY_META_BIN, 1, 5'000'000, 0);
  ASSERT_TRUE(ReadNow(Copy(Media().mp3, "a.mp3")));
  bool ended = false;
  for (int i = 0; i < 3000 && !ended; ++i) {  // a bound, not a measure
    ended = RunningHelpers() == 0;
    if (!ended) usleep(10000);
  }
  EXPECT_TRUE(ended);
  const size_t linesBefore = Lines();
  const auto again = ReadNow(Copy(Media().mp4Main, "b.mp4"));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->videoCodec, "h264");
  EXPECT_EQ(Lines(), linesBefore);  // an ending for idleness is no failure to tell
}

TEST_F(Store, AHelperThatHangsIsEndedAfterTheTimeLimit) {
  Start(FAKE_META_HELPER_BIN, 1, 300'000);
  const auto hang = Copy(Media().mp4Main, "hang.mp4");
  const auto next = Copy(Media().mp4Main, "next.mp4");
  store_->Request({hang, next}, MetadataStore::kHigh);
  // A Browse waits no longer than its budget, and goes on without them.
  const auto early = store_->WaitFor({hang.key, next.key}, MonotonicMicros() + 1000);
  EXPECT_FALSE(early[0]);
  const auto got = store_->WaitFor({hang.key, next.key}, MonotonicMicros() + 30'000'000);
  ASSERT_TRUE(got[0] && got[1]);
  EXPECT_TRUE(got[0]->unreadable);
  EXPECT_EQ(got[1]->videoCodec, "h264");
}

TEST_F(Store, BrowseWorkGoesBeforeReadAheadAndTheNewestFolderFirst) {
  Start(FAKE_META_HELPER_BIN, 1);
  const std::string gate = top_ + "/go";
  auto held = Copy(Media().wav16, "first.wav");
  held.name = "gate=" + gate + "+.wav";  // holds the only helper until the gate exists
  store_->Request({held}, MetadataStore::kHigh);
  std::vector<MetadataStore::Job> a, b;
  for (const char* n : {"a1", "a2"}) a.push_back(Copy(Media().mp3Mono22, std::string(n) + ".mp3"));
  for (const char* n : {"b1", "b2"}) b.push_back(Copy(Media().mp3Mono22, std::string(n) + ".mp3"));
  const auto browse = Copy(Media().mp3Mono22, "browse.mp3");
  store_->Request(a, MetadataStore::kLow);
  store_->Request(b, MetadataStore::kLow);
  store_->Request({browse, a[1]}, MetadataStore::kHigh);  // a2 raised: read once, with the Browse
  ASSERT_TRUE(testing::WriteFile(gate, ""));
  const std::vector<ContentKey> all = {held.key, browse.key, a[0].key, a[1].key, b[0].key, b[1].key};
  const char* names[] = {"held", "browse", "a1", "a2", "b1", "b2"};  // of all
  for (const auto& f : store_->WaitFor(all, MonotonicMicros() + 30'000'000)) ASSERT_TRUE(f);
  ASSERT_TRUE(WaitArrivals(all.size()));
  std::string order;
  std::lock_guard<std::mutex> lk(m_);
  for (const ContentKey& k : arrived_) {
    for (size_t i = 0; i < all.size(); ++i) order += all[i] == k ? std::string(names[i]) + " " : "";
  }
  EXPECT_EQ(order, "held browse a2 b1 b2 a1 ");
}

TEST_F(Store, ThumbnailsAreMadeOnceOnDemand) {
  Start(TOVALY_META_BIN);
  const auto mp3 = Copy(Media().mp3, "a.mp3");
  const std::string path = store_->ThumbnailPath(mp3, MonotonicMicros() + 30'000'000);
  ASSERT_NE(path, "");
  const std::string jpeg = testing::ReadFile(path);
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(extract::JpegDimensions(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), &w, &h));
  EXPECT_EQ(std::to_string(w) + "x" + std::to_string(h), "160x107");
  EXPECT_TRUE(store_->Cached(mp3.key)->hasArt);  // the facts came with it
  // Asked with a descriptor this time: the file is there, the descriptor closed.
  auto byFd = mp3;
  byFd.relativePath.clear();
  byFd.fd = open((share_ + "/m/a.mp3").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(store_->ThumbnailPath(byFd, MonotonicMicros() + 30'000'000), path);
  EXPECT_EQ(fcntl(byFd.fd, F_GETFD), -1);

  // A file with nothing to show: none, and that is remembered.
  const auto wav = Copy(Media().wav16, "b.wav");
  EXPECT_EQ(store_->ThumbnailPath(wav, MonotonicMicros() + 30'000'000), "");
  EXPECT_FALSE(store_->Cached(wav.key)->hasArt);
}

TEST_F(Store, OnlyFilesInsideTheSharedFolderAreRead) {
  Start(TOVALY_META_BIN);
  ASSERT_TRUE(testing::WriteFile(top_ + "/secret.mp3", testing::ReadFile(Media().mp3)));
  ASSERT_EQ(symlink("../../secret.mp3", (share_ + "/m/link.mp3").c_str()), 0);
  auto job = JobFor("m/link.mp3");
  const auto got = ReadNow(job);
  EXPECT_FALSE(got);  // not opened: published as it is
  EXPECT_EQ(store_->Queued(), 0u);
}

TEST_F(Store, WithoutAHelperFilesAreListedAsTheyAre) {
  Start(top_ + "/no-such-helper");
  const auto mp3 = Copy(Media().mp3, "a.mp3");
  EXPECT_FALSE(ReadNow(mp3));
  EXPECT_EQ(store_->ThumbnailPath(mp3, MonotonicMicros() + 1000), "");
  EXPECT_EQ(Lines(), 2u);  // the cache started, and the helper missing
  store_.reset();
  lines_.clear();
  Start("");
  EXPECT_FALSE(store_->Reading());
  EXPECT_EQ(Lines(), 1u);
}

TEST(HelperLocation, EnvironmentFirstThenBesideTheProgram) {
  setenv("TOVALY_META_HELPER", TOVALY_META_BIN, 1);
  EXPECT_EQ(FindMetaHelper(), TOVALY_META_BIN);
  setenv("TOVALY_META_HELPER", "/nonexistent/tovaly-meta", 1);
  EXPECT_EQ(FindMetaHelper(), "");  // named but missing: none, not another
  unsetenv("TOVALY_META_HELPER");
  // The tests are not beside bin/tovaly-meta, and nothing is installed here.
  const std::string found = FindMetaHelper();
  EXPECT_TRUE(found.empty() || found.find("/libexec/") != std::string::npos) << found;
}

}  // namespace
}  // namespace tovaly
