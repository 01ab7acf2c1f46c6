#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "device/file_serving.h"
#include "device/media_library.h"

namespace tovaly {
namespace {

class ContentFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovaly-library-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    root_ = base_ + "/share";
    mkdir(root_.c_str(), 0700);
  }
  void TearDown() override { std::system(("rm -rf '" + base_ + "'").c_str()); }
  void Folder(const std::string& rel) { ASSERT_EQ(mkdir((root_ + "/" + rel).c_str(), 0700), 0) << rel; }
  void File(const std::string& rel, const std::string& content = "x") {
    std::ofstream(root_ + "/" + rel, std::ios::binary) << content;
  }
  std::vector<std::string> Ids(const std::string& id, int32_t start = 0, int32_t count = 0, int32_t* total = nullptr) {
    MediaObjectList list;
    const int32_t t = ListFolder(root_, id, start, count, "http://h:1/media/", &list);
    if (total) *total = t;
    std::vector<std::string> ids;
    for (const auto& o : list.objects) ids.push_back(o.id);
    return ids;
  }
  std::string base_, root_;
};

using Strings = std::vector<std::string>;

TEST_F(ContentFolder, ListingWindow) {
  for (int i = 1; i <= 7; ++i) Folder("f" + std::to_string(i));
  File("loose.mp3");  // files directly in the content folder are not published
  int32_t total = -1;
  EXPECT_EQ(Ids("0", 2, 3, &total), (Strings{"f3", "f4", "f5"}));
  EXPECT_EQ(total, 7);
  EXPECT_EQ(Ids("0", 0, 0, &total).size(), 7u);  // count 0: everything from start on
  EXPECT_EQ(Ids("0", 5, 0), (Strings{"f6", "f7"}));
  EXPECT_EQ(Ids("0", 9, 3, &total), Strings{});  // start beyond the end: nothing, full total
  EXPECT_EQ(total, 7);
  EXPECT_EQ(Ids("0", -2, 3), (Strings{"f1"}));  // the window rule applied literally
  EXPECT_EQ(Ids("0", 1, -1).size(), 6u);        // a negative count means all
}

TEST_F(ContentFolder, NestedIdsOrderAndRecords) {
  Folder("Movies");
  Folder("Movies/2019");
  File("Movies/2019/x.avi");
  File("Movies/Episode 10.mkv");
  File("Movies/episode 2.mkv");
  File("Movies/Alpha.MP3");
  Folder("Movies/zeta");
  EXPECT_EQ(Ids("Movies"), (Strings{"Movies/2019", "Movies/zeta", "Movies/Alpha.MP3", "Movies/episode 2.mkv",
                                    "Movies/Episode 10.mkv"}));
  MediaObjectList list;
  ASSERT_EQ(ListFolder(root_, "Movies/2019", 0, 0, "http://h:1/media/", &list), 1);
  const MediaObject& item = list.objects[0];
  EXPECT_EQ(item.id, "Movies/2019/x.avi");
  EXPECT_EQ(item.parentID, "Movies/2019");
  EXPECT_EQ(item.title, "x.avi");
  EXPECT_EQ(item.objectClass, kClassVideo);
  EXPECT_EQ(item.protocolInfo, "http-get:*:video/x-msvideo:*");
  EXPECT_EQ(item.res, "http://h:1/media/Movies/2019/x.avi");
  EXPECT_EQ(item.date.size(), 19u);
  EXPECT_EQ(item.date[10], 'T');

  list.objects.clear();
  ListFolder(root_, "Movies", 0, 1, "http://h:1/media/", &list);
  EXPECT_EQ(list.objects[0].objectClass, kClassContainer);
  EXPECT_EQ(list.objects[0].parentID, "Movies");
  EXPECT_TRUE(list.objects[0].res.empty());

  // Ids that name no published folder give nothing.
  for (const char* id : {"Movies/Alpha.MP3", "nothing", "Movies/../Movies", "/Movies", "Movies/", ""}) {
    int32_t total = -1;
    EXPECT_EQ(Ids(id, 0, 0, &total), Strings{}) << id;
    EXPECT_EQ(total, 0) << id;
  }
}

TEST_F(ContentFolder, HiddenInvalidAndOutsideEntriesAreAbsent) {
  Folder("A");
  Folder("A/.git");
  File("A/.hidden.mp3");
  File("A/ok.mp3");
  File("A/bad\xff\xfe.mp3");
  std::ofstream(base_ + "/secret.txt") << "secret";
  mkdir((base_ + "/outside").c_str(), 0700);
  ASSERT_EQ(symlink((base_ + "/secret.txt").c_str(), (root_ + "/A/out.mp3").c_str()), 0);
  ASSERT_EQ(symlink((base_ + "/outside").c_str(), (root_ + "/outdir").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "/A/ok.mp3").c_str(), (root_ + "/A/in.mp3").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "/A").c_str(), (root_ + "/Alias").c_str()), 0);
  ASSERT_EQ(symlink("../A/.hidden.mp3", (root_ + "/A/peek.mp3").c_str()), 0);  // inside, but hidden
  mkfifo((root_ + "/A/pipe.mp3").c_str(), 0600);
  EXPECT_EQ(Ids("A"), (Strings{"A/in.mp3", "A/ok.mp3"}));
  EXPECT_EQ(Ids("0"), (Strings{"A", "Alias"}));
  EXPECT_EQ(Ids("Alias"), (Strings{"Alias/in.mp3", "Alias/ok.mp3"}));
  EXPECT_EQ(Ids("outdir"), Strings{});
  EXPECT_EQ(Ids("A/.git"), Strings{});
}

TEST_F(ContentFolder, ListingFollowsChangesOfTheFolder) {
  Folder("F");
  File("F/a.mp3");
  EXPECT_EQ(Ids("F"), (Strings{"F/a.mp3"}));
  File("F/b.mp3");
  EXPECT_EQ(Ids("F"), (Strings{"F/a.mp3", "F/b.mp3"}));
  ASSERT_EQ(rename((root_ + "/F/a.mp3").c_str(), (root_ + "/F/c.mp3").c_str()), 0);
  EXPECT_EQ(Ids("F"), (Strings{"F/b.mp3", "F/c.mp3"}));
  unlink((root_ + "/F/b.mp3").c_str());
  EXPECT_EQ(Ids("F"), (Strings{"F/c.mp3"}));
  // Once the folder has settled its listing is kept; a change must still show.
  sleep(2);
  EXPECT_EQ(Ids("F"), (Strings{"F/c.mp3"}));
  EXPECT_EQ(Ids("F"), (Strings{"F/c.mp3"}));
  File("F/d.mp3");
  EXPECT_EQ(Ids("F"), (Strings{"F/c.mp3", "F/d.mp3"}));
}

TEST_F(ContentFolder, DescribeObjectMatchesTheListing) {
  Folder("M");
  Folder("N");
  File("M/s.wav");
  File("top.mp3");
  MediaObject o;
  ASSERT_TRUE(DescribeObject(root_, "0", "http://h:1/media/", "MYPC", &o));
  EXPECT_EQ(o.id, "0");
  EXPECT_EQ(o.parentID, "-1");
  EXPECT_EQ(o.title, "MYPC");
  EXPECT_EQ(o.childCount, 2u);
  EXPECT_EQ(o.objectClass, kClassContainer);

  MediaObjectList list;
  ListFolder(root_, "M", 0, 0, "http://h:1/media/", &list);
  ASSERT_TRUE(DescribeObject(root_, "M/s.wav", "http://h:1/media/", "MYPC", &o));
  EXPECT_EQ(o.id, list.objects[0].id);
  EXPECT_EQ(o.parentID, "M");
  EXPECT_EQ(o.res, list.objects[0].res);
  EXPECT_EQ(o.date, list.objects[0].date);
  ASSERT_TRUE(DescribeObject(root_, "M", "http://h:1/media/", "MYPC", &o));
  EXPECT_EQ(o.parentID, "0");
  EXPECT_FALSE(DescribeObject(root_, "top.mp3", "", "MYPC", &o));  // not published
  EXPECT_FALSE(DescribeObject(root_, "M/none.wav", "", "MYPC", &o));
  EXPECT_FALSE(DescribeObject(root_, "M/../M/s.wav", "", "MYPC", &o));
}

TEST(ItemUrls, EncodeEveryByteOutsideTheUnreservedSet) {
  EXPECT_EQ(ItemUrl("http://h:1/media/", "Music/a b.mp3"), "http://h:1/media/Music/a%20b.mp3");
  EXPECT_EQ(PercentEncodePath("x#y?z%w&v+u=t;s"), "x%23y%3Fz%25w%26v%2Bu%3Dt%3Bs");
  EXPECT_EQ(PercentEncodePath("Фильм/😀.mkv"), "%D0%A4%D0%B8%D0%BB%D1%8C%D0%BC/%F0%9F%98%80.mkv");
  EXPECT_EQ(PercentEncodePath("A-z_0.9~/"), "A-z_0.9~/");
}

TEST(Names, NaturalOrderAndUtf8) {
  EXPECT_TRUE(NaturalLess("Episode 2", "episode 10"));
  EXPECT_FALSE(NaturalLess("episode 10", "Episode 2"));
  EXPECT_TRUE(NaturalLess("a", "B"));
  EXPECT_TRUE(NaturalLess("file", "file1"));
  EXPECT_TRUE(NaturalLess("x01", "x1") != NaturalLess("x1", "x01"));  // a total order even here
  EXPECT_TRUE(IsValidUtf8("Épisode 😀"));
  EXPECT_FALSE(IsValidUtf8("\xC3"));          // truncated
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));      // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(IsValidUtf8("\xff"));
}

// The host's file answers, as the web server's entry points reach them with
// already-decoded paths.
TEST_F(ContentFolder, FileAnswersStayInsideAndNeverWrite) {
  Folder("Music");
  File("Music/song.mp3", "0123456789");
  File("Music/.hidden.mp3", "hidden");
  File("Music/noext", "n");
  File("top.mp3", "top");
  std::ofstream(base_ + "/secret.txt") << "secret";
  ASSERT_EQ(symlink((base_ + "/secret.txt").c_str(), (root_ + "/Music/out.mp3").c_str()), 0);

  FileInfoRequest info{"Music/song.mp3", {}};
  ASSERT_TRUE(AnswerFileInfo(root_, &info));
  EXPECT_EQ(info.info.readable, 1);
  EXPECT_EQ(info.info.length, 10);
  EXPECT_STREQ(info.info.contentType, "audio/mpeg");
  info = {"Music/noext", {}};
  AnswerFileInfo(root_, &info);
  EXPECT_STREQ(info.info.contentType, "application/octet-stream");
  info = {"Music/song.mp3?x=1&y=A", {}};  // the query arrives decoded
  AnswerFileInfo(root_, &info);
  EXPECT_EQ(info.info.readable, 1);

  for (const char* hostile :
       {"../secret.txt", "Music/../../secret.txt", "Music/?/../../secret.txt", "Music/x#/../../secret.txt",
        "Music/out.mp3", "Music/.hidden.mp3", "/etc/passwd", "Music", "", "Music//song.mp3", "./Music/song.mp3", "top.mp3"}) {
    FileInfoRequest r{hostile, {}};
    AnswerFileInfo(root_, &r);
    EXPECT_EQ(r.info.readable, 0) << hostile;
    FileOpenRequest o{hostile, 0};
    EXPECT_EQ(AnswerFileOpen(root_, &o), 0) << hostile;
  }

  FileOpenRequest write{"Music/song.mp3", 1};
  EXPECT_EQ(AnswerFileOpen(root_, &write), 0);
  FileOpenRequest create{"Music/new.mp3", 1};
  EXPECT_EQ(AnswerFileOpen(root_, &create), 0);
  EXPECT_NE(access((root_ + "/Music/new.mp3").c_str(), F_OK), 0);

  FileOpenRequest open{"Music/song.mp3", 0};
  ASSERT_TRUE(AnswerFileOpen(root_, &open));
  FileSeekRequest seek{open.handle, 7, SEEK_CUR};
  ASSERT_TRUE(AnswerFileSeek(&seek));
  EXPECT_EQ(seek.result, 0);
  char buf[16] = {};
  FileReadRequest read{open.handle, buf, sizeof buf};
  EXPECT_EQ(AnswerFileRead(&read), 3);
  EXPECT_STREQ(buf, "789");
  EXPECT_EQ(AnswerFileRead(&read), 0);
  FileSeekRequest bad{open.handle, -100, SEEK_SET};
  AnswerFileSeek(&bad);
  EXPECT_EQ(bad.result, -1);  // reported, not hidden
  FileCloseRequest close{open.handle};
  EXPECT_TRUE(AnswerFileClose(&close));
}

TEST(DlnaHeaders, StreamingForAudioAndVideoOnly) {
  EXPECT_NE(DlnaHeaders("video/mp4").find("transferMode.dlna.org: Streaming\r\n"), std::string::npos);
  EXPECT_NE(DlnaHeaders("audio/mpeg").find("DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=017"), std::string::npos);
  EXPECT_NE(DlnaHeaders("image/jpeg").find("transferMode.dlna.org: Interactive\r\n"), std::string::npos);
  const std::string h = DlnaHeaders("text/plain");
  EXPECT_EQ(h.substr(h.size() - 2), "\r\n");
}

}  // namespace
}  // namespace tovaly
