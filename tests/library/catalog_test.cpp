// The catalog between the listing and the metadata store, with the real
// helper: a page gets what is known or read in time, the rest comes later
// and moves the folder's update id, the folder is read ahead, pictures stand
// in for songs, folders, videos and photos, and watched folders report
// their changes.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "library/catalog.h"
#include "library/content_changes.h"
#include "library/extract/extract.h"
#include "library/folder_watcher.h"
#include "library/media_library.h"
#include "test_media.h"

namespace tovaly {
namespace {

using testing::Media;

// Folders reported changed, waited for with a bound (a guard, not a measure).
struct Changes {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> folders;
  int token;
  Changes() {
    token = AddContentListener([this](const std::string& folder, uint32_t) {
      std::lock_guard<std::mutex> lk(m);
      folders.push_back(folder);
      cv.notify_all();
    });
  }
  ~Changes() { RemoveContentListener(token); }
  bool WaitFor(const std::string& folder) {
    std::unique_lock<std::mutex> lk(m);
    return cv.wait_for(lk, std::chrono::seconds(30),
                       [&] { return std::find(folders.begin(), folders.end(), folder) != folders.end(); });
  }
};

class Catalog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Media().ok) GTEST_SKIP() << "ffmpeg or exiftool missing (scripts/install-deps.sh installs them)";
    char tmpl[] = "/tmp/tovaly-catalog-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    top_ = tmpl;
    share_ = top_ + "/share";
    for (const char* d : {"/share", "/share/Album", "/share/Film", "/share/Many"}) mkdir((top_ + d).c_str(), 0700);
    Put(Media().mp3, "Album/01 tagged.mp3");
    Put(Media().mp3Mono22, "Album/02 plain.mp3");
    Put(Media().cover, "Album/Cover.JPG");
    Put(Media().mp4Main, "Film/clip.mp4");
    std::ofstream(share_ + "/Film/clip.srt") << "1\n00:00:01,000 --> 00:00:02,000\nHi\n";
    Put(Media().photo, "Film/photo.jpg");
    for (int i = 0; i < 12; ++i) Put(Media().mp3Mono22, "Many/t" + std::to_string(i) + ".mp3");
  }
  void TearDown() override {
    catalog_.reset();
    std::system(("rm -rf '" + top_ + "'").c_str());
  }
  void Put(const std::string& from, const std::string& rel) {
    ASSERT_TRUE(testing::WriteFile(share_ + "/" + rel, testing::ReadFile(from))) << rel;
  }
  void Start(uint64_t budget) {
    MetadataOptions o;
    o.cacheDir = top_ + "/cache";
    o.helperPath = TOVALY_META_BIN;
    o.log = [](const std::string&) {};
    catalog_ = std::make_unique<MediaCatalog>(o, budget);
  }
  MediaObjectList Page(const std::string& folder, int32_t start = 0, int32_t count = 0, bool readAhead = true) {
    MediaObjectList list;
    ListFolder(share_, folder, start, count, "http://h:1/media/", &list);
    catalog_->Describe(share_, folder, "http://h:1/media/", &list, readAhead);
    return list;
  }
  std::string top_, share_;
  std::unique_ptr<MediaCatalog> catalog_;
};

// title|artist|album|track|class|duration|art
std::string Show(const MediaObject& o) {
  return o.title + "|" + o.artist + "|" + o.album + "|" + std::to_string(o.track) + "|" + std::to_string(o.objectClass) +
         (o.musicTrack ? "m" : "") + "|" + (o.durationMs > 0 ? "d" : "-") + "|" + o.artUrl;
}

TEST_F(Catalog, APageCarriesWhatIsReadInTimeTheRestComesLater) {
  Start(30'000'000);  // time enough for every file
  MediaObjectList album = Page("Album");
  ASSERT_EQ(album.objects.size(), 3u);
  EXPECT_EQ(Show(album.objects[0]), std::string(testing::kTitle) + "|" + testing::kArtist + "|" + testing::kAlbum +
                                        "|7|3m|d|http://h:1/art/Album/01%20tagged.mp3");
  // Untagged: the file's name; its folder's cover is its picture.
  EXPECT_EQ(Show(album.objects[1]), "02 plain.mp3|||0|3|d|http://h:1/art/Album/02%20plain.mp3");
  MediaObjectList film = Page("Film");
  ASSERT_EQ(film.objects.size(), 2u);
  EXPECT_EQ(film.objects[0].subtitles.size(), 1u);
  EXPECT_EQ(film.objects[0].width, 320u);
  EXPECT_EQ(film.objects[0].dlnaProfile.substr(0, 7), "AVC_MP4");
  EXPECT_EQ(film.objects[1].date, "2021-06-15T10:20:30");  // the photo's own date

  // No time at all: names only; each arrival moves the folder's update id,
  // and the next page has what arrived.
  catalog_.reset();
  Start(0);
  Put(Media().mp3, "Album/03 late.mp3");
  Changes changes;
  const uint32_t before = ContainerUpdateId("Album");
  MediaObjectList late = Page("Album", 2, 1, false);
  ASSERT_EQ(late.objects.size(), 1u);
  EXPECT_EQ(late.objects[0].title, "03 late.mp3");
  ASSERT_TRUE(changes.WaitFor("Album"));
  EXPECT_GT(ContainerUpdateId("Album"), before);
  EXPECT_EQ(Page("Album", 2, 1, false).objects[0].title, testing::kTitle);
}

TEST_F(Catalog, TheRestOfAFolderIsReadAheadAgainWhenItChanges) {
  Start(30'000'000);
  auto keysOf = [&] {
    std::vector<ContentKey> keys;
    MediaObjectList all;
    ListFolder(share_, "Many", 0, 0, "/media/", &all);
    for (const MediaObject& o : all.objects) keys.push_back(o.key);
    return keys;
  };
  // Polled with a bound: the read-ahead has no event of its own to wait on.
  auto allKnown = [&](const std::vector<ContentKey>& keys) {
    for (int i = 0; i < 3000; ++i) {
      bool known = true;
      for (const ContentKey& k : keys) known = known && catalog_->store().Cached(k).has_value();
      if (known) return true;
      usleep(10000);
    }
    return false;
  };
  ASSERT_EQ(Page("Many", 0, 2).objects.size(), 2u);
  const std::vector<ContentKey> keys = keysOf();
  ASSERT_EQ(keys.size(), 12u);
  // Without another page asked for, every file comes to be known.
  EXPECT_TRUE(allKnown(keys));

  // A folder read ahead once is not read again while unchanged; a file
  // added to it, or one rewritten in place, is.
  Put(Media().mp3, "Many/t12.mp3");
  ASSERT_EQ(Page("Many", 0, 2).objects.size(), 2u);
  EXPECT_TRUE(allKnown(keysOf()));
  Changes changes;
  Put(Media().mp3, "Many/t5.mp3");  // same name, another size: the directory itself does not change
  ASSERT_TRUE(changes.WaitFor("Many"));
  ASSERT_EQ(Page("Many", 0, 2).objects.size(), 2u);
  EXPECT_TRUE(allKnown(keysOf()));
}

// Pictures: a song's own, else its folder's; a folder's; a video's frame; a
// photo upright; each a JPEG of at most 160x160.
TEST_F(Catalog, PicturesStandInForEveryKindOfObject) {
  Start(30'000'000);
  auto size = [&](const std::string& id) {
    const std::string path = catalog_->ImageFor(share_, id, MonotonicMicros() + 30'000'000);
    if (path.empty()) return std::string("none");
    const std::string jpeg = testing::ReadFile(path);
    uint32_t w = 0, h = 0;
    const bool ok = extract::JpegDimensions(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), &w, &h);
    return ok ? std::to_string(w) + "x" + std::to_string(h) : std::string("not a JPEG");
  };
  EXPECT_EQ(size("Album/01 tagged.mp3"), "160x107");  // the cover embedded, 300x200
  EXPECT_EQ(size("Album/02 plain.mp3"), "160x107");   // none of its own: the folder's
  EXPECT_EQ(size("Album"), "160x107");
  EXPECT_EQ(size("Film/clip.mp4"), "160x120");
  EXPECT_EQ(size("Film/photo.jpg"), "80x160");  // 320x160 turned by its orientation
  EXPECT_EQ(size("Many"), "none");
  EXPECT_EQ(size("Many/t0.mp3"), "none");
  EXPECT_EQ(size("../outside.jpg"), "none");
}

TEST(ContentChanges, UpdateIdsMoveAndWatchedFoldersReportChanges) {
  const uint32_t system = SystemUpdateId(), folder = ContainerUpdateId("X");
  ContentChanged("X");
  EXPECT_EQ(SystemUpdateId(), system + 1);
  EXPECT_EQ(ContainerUpdateId("X"), folder + 1);

  char tmpl[] = "/tmp/tovaly-watch-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string top = tmpl;
  Changes changes;
  {
    FolderWatcher watcher;
    for (size_t i = 0; i <= FolderWatcher::kMaxWatches; ++i) {
      const std::string dir = top + "/d" + std::to_string(i);
      mkdir(dir.c_str(), 0700);
      watcher.Watch(dir, "d" + std::to_string(i));
    }
    EXPECT_EQ(watcher.Count(), FolderWatcher::kMaxWatches);  // the first browsed is no longer watched
    std::ofstream(top + "/d" + std::to_string(FolderWatcher::kMaxWatches) + "/new.mp3") << "x";
    EXPECT_TRUE(changes.WaitFor("d" + std::to_string(FolderWatcher::kMaxWatches)));
    std::ofstream(top + "/d0/new.mp3") << "x";
    std::ofstream(top + "/d1/new.mp3") << "x";  // after d0's: reported after it, were d0 watched
    EXPECT_TRUE(changes.WaitFor("d1"));
    std::lock_guard<std::mutex> lk(changes.m);
    for (const std::string& f : changes.folders) EXPECT_NE(f, "d0");
  }
  std::system(("rm -rf '" + top + "'").c_str());
}

}  // namespace
}  // namespace tovaly
