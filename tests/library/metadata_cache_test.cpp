// The facts cache: its bound in memory, what survives on disk, and a file
// that is missing, damaged, foreign or removed: started afresh with one log
// line, never a wrong answer.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "library/meta_wire.h"
#include "library/metadata_cache.h"
#include "test_media.h"

namespace tovaly {
namespace {

ContentKey Key(uint64_t ino, int64_t size = 100, int64_t mtime = 5) { return ContentKey{1, ino, size, mtime}; }

MediaFacts Titled(const std::string& title) {
  MediaFacts f;
  f.kind = MediaFacts::kAudio;
  f.title = title;
  f.durationMs = 1234;
  f.dlnaProfile = "MP3";
  return f;
}

class CacheDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovaly-cache-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    top_ = tmpl;
    dir_ = top_ + "/cache/tovaly";  // not there yet
  }
  void TearDown() override { std::system(("rm -rf '" + top_ + "'").c_str()); }
  MetaLog Logger() {
    return [this](const std::string& line) { lines_.push_back(line); };
  }
  std::string Title(FactsCache& c, const ContentKey& k) {
    const auto f = c.Get(k);
    return f ? f->title : "(none)";
  }
  std::string top_, dir_;
  std::vector<std::string> lines_;
};

TEST_F(CacheDir, MemoryKeepsTheMostRecentlyUsedUpToItsBound) {
  FactsCache c("", 3, Logger());
  for (uint64_t i = 1; i <= 3; ++i) c.Put(Key(i), Titled("t" + std::to_string(i)));
  EXPECT_TRUE(c.GetFromMemory(Key(1)));  // used: 2 is now the least recent
  c.Put(Key(4), Titled("t4"));           // the fourth evicts it
  EXPECT_FALSE(c.GetFromMemory(Key(2)));
  for (uint64_t i : {1, 3, 4}) EXPECT_TRUE(c.GetFromMemory(Key(i))) << i;  // 3 kept
  EXPECT_FALSE(c.Get(Key(2)));  // no disk behind it
  EXPECT_TRUE(lines_.empty());
}

TEST_F(CacheDir, DiskKeepsWhatMemoryDropsAndAnswersOnlyForTheSameContent) {
  {
    FactsCache c(dir_, 1, Logger());
    ASSERT_EQ(lines_.size(), 1u);  // started
    c.Put(Key(1), Titled("one"));
    c.Put(Key(2), Titled("two"));
    EXPECT_FALSE(c.GetFromMemory(Key(1)));
    EXPECT_EQ(Title(c, Key(1)), "one");  // from disk
  }
  FactsCache again(dir_, 10, Logger());
  EXPECT_EQ(lines_.size(), 1u);
  EXPECT_EQ(Title(again, Key(2)), "two");  // every field's way back: FactsRecord
  // The same file changed: another size or mtime is not answered from the old record.
  EXPECT_EQ(Title(again, Key(2, 101)), "(none)");
  EXPECT_EQ(Title(again, Key(2, 100, 6)), "(none)");
  // Read again, it replaces the old record.
  again.Put(Key(2, 100, 6), Titled("two, edited"));
  FactsCache third(dir_, 10, Logger());
  EXPECT_EQ(Title(third, Key(2, 100, 6)), "two, edited");
  EXPECT_EQ(Title(third, Key(2)), "(none)");
}

TEST_F(CacheDir, ADamagedFileIsStartedAfreshWithOneLine) {
  ASSERT_EQ(std::system(("mkdir -p '" + dir_ + "'").c_str()), 0);
  ASSERT_TRUE(testing::WriteFile(dir_ + "/metadata.sqlite", std::string(4096, 'x')));
  FactsCache c(dir_, 10, Logger());
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("afresh"), std::string::npos) << lines_[0];
  EXPECT_EQ(Title(c, Key(1)), "(none)");
  c.Put(Key(1), Titled("one"));
  FactsCache again(dir_, 10, Logger());
  EXPECT_EQ(lines_.size(), 1u);
  EXPECT_EQ(Title(again, Key(1)), "one");
}

TEST_F(CacheDir, AFileOfAnotherVersionIsNeverTrusted) {
  ASSERT_EQ(std::system(("mkdir -p '" + dir_ + "'").c_str()), 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ + "/metadata.sqlite").c_str(), &db), SQLITE_OK);
  // Our very layout and a well-formed record, but another version's.
  const std::string blob = EncodeFacts(Titled("wrong"));
  sqlite3_exec(db,
               "CREATE TABLE facts(dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
               " mtime_ns INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(dev, ino)) WITHOUT ROWID;"
               "PRAGMA user_version=7;",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO facts VALUES(1, 1, 100, 5, ?)", -1, &st, nullptr);
  sqlite3_bind_blob(st, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
  sqlite3_finalize(st);
  sqlite3_close(db);

  FactsCache c(dir_, 10, Logger());
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("another version"), std::string::npos) << lines_[0];
  EXPECT_EQ(Title(c, Key(1)), "(none)");
}

TEST_F(CacheDir, ADamagedRecordIsNoAnswer) {
  {
    FactsCache c(dir_, 10, Logger());
    c.Put(Key(1), Titled("one"));
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ + "/metadata.sqlite").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE facts SET data = substr(data, 1, 10)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  FactsCache c(dir_, 10, Logger());
  EXPECT_EQ(Title(c, Key(1)), "(none)");
}

TEST_F(CacheDir, ARemovedFolderIsMadeAgainAndLosesNothingButTime) {
  FactsCache c(dir_, 1, Logger());
  c.Put(Key(1), Titled("one"));
  ASSERT_TRUE(c.WriteImage(Key(1), "jpeg bytes"));
  ASSERT_EQ(std::system(("rm -rf '" + top_ + "/cache'").c_str()), 0);
  lines_.clear();
  c.Put(Key(2), Titled("two"));  // notices, and starts a new file
  EXPECT_EQ(lines_.size(), 1u);
  EXPECT_EQ(Title(c, Key(1)), "(none)");  // gone with the folder, read again when asked
  EXPECT_EQ(Title(c, Key(2)), "two");
  ASSERT_TRUE(c.WriteImage(Key(2), "more bytes"));
  EXPECT_EQ(testing::ReadFile(c.ImagePath(Key(2))), "more bytes");
  FactsCache again(dir_, 10, Logger());
  EXPECT_EQ(Title(again, Key(2)), "two");
}

TEST_F(CacheDir, ImagesAreWrittenWholeUnderTheirKey) {
  FactsCache c(dir_, 10, Logger());
  ASSERT_TRUE(c.WriteImage(Key(1), "first"));
  ASSERT_TRUE(c.WriteImage(Key(1), "second"));
  EXPECT_EQ(testing::ReadFile(c.ImagePath(Key(1))), "second");
  EXPECT_NE(c.ImagePath(Key(1)), c.ImagePath(Key(1, 100, 6)));
  // Nothing else is left in the folder (no temporary files).
  EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "/thumbs' | wc -l) = 1").c_str()), 0);
}

TEST(CacheLocation, FollowsXdgCacheHome) {
  const char* old = getenv("XDG_CACHE_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_CACHE_HOME", "/x/cache", 1);
  EXPECT_EQ(DefaultMetadataCacheDir(), "/x/cache/tovaly");
  setenv("XDG_CACHE_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
  setenv("HOME", getenv("HOME") ? getenv("HOME") : "/root", 1);
  EXPECT_EQ(DefaultMetadataCacheDir(), std::string(getenv("HOME")) + "/.cache/tovaly");
  if (old) {
    setenv("XDG_CACHE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_CACHE_HOME");
  }
}

TEST(FactsRecord, SurvivesTheRoundTripAndRefusesWhatIsMalformed) {
  MediaFacts f = Titled("t\xC3\xA9");
  f.unreadable = false;
  f.hasArt = true;
  f.width = 1920;
  f.orientation = 6;
  f.videoLevel = 40;
  f.frameRateNum = 30000;
  f.frameRateDen = 1001;
  const std::string bytes = EncodeFacts(f);
  MediaFacts back;
  ASSERT_TRUE(DecodeFacts(bytes, &back));
  EXPECT_EQ(EncodeFacts(back), bytes);
  for (size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_FALSE(DecodeFacts(bytes.substr(0, cut), &back)) << cut;
  EXPECT_FALSE(DecodeFacts(bytes + "x", &back));
  MediaFacts bad = f;
  bad.dlnaProfile = "MP3;DLNA.ORG_OP=11";  // would change the protocolInfo it goes into
  EXPECT_FALSE(DecodeFacts(EncodeFacts(bad), &back));
  bad = f;
  bad.title = "\xFF\xFEx";
  ASSERT_TRUE(DecodeFacts(EncodeFacts(bad), &back));
  EXPECT_EQ(back.title, "\xEF\xBF\xBD\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace tovaly
