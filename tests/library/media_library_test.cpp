#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <fstream>
#include <vector>

#include "library/file_open.h"
#include "library/host_answers.h"
#include "library/media_library.h"
#include "library/media_types.h"

namespace tovaly {
namespace {

class ContentFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovaly-library-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    root_ = base_ + "/share";
    // Outside the content folder, and beside it with a name that begins with its name.
    for (const char* dir : {"/share", "/outside", "/share-private", "/share-private/sub"}) {
      mkdir((base_ + dir).c_str(), 0700);
    }
    std::ofstream(base_ + "/secret.txt") << "secret";
    std::ofstream(root_ + "-private/near.mp3") << "secret";
  }
  void TearDown() override {
    SetListingClock(nullptr);
    std::system(("rm -rf '" + base_ + "'").c_str());
  }
  // Below the content folder: names ending in "/" are folders, others files.
  void Make(std::initializer_list<std::string> paths) {
    for (const std::string& p : paths) {
      if (p.back() == '/') {
        ASSERT_EQ(mkdir((root_ + "/" + p).c_str(), 0700), 0) << p;
      } else {
        std::ofstream(root_ + "/" + p, std::ios::binary) << "x";
      }
    }
  }
  // Symbolic links below the content folder: {target, where}.
  void Link(std::initializer_list<std::pair<std::string, std::string>> links) {
    for (const auto& [target, rel] : links) ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + rel).c_str()), 0) << rel;
  }
  MediaObjectList List(const std::string& id, int32_t start = 0, int32_t count = 0, int32_t* total = nullptr) {
    MediaObjectList list;
    const int32_t t = ListFolder(root_, id, start, count, "http://h:1/media/", &list);
    if (total) *total = t;
    return list;
  }
  // The ids, joined with ",", and the total after "=".
  std::string Ids(const std::string& id, int32_t start = 0, int32_t count = 0) {
    std::string ids;
    int32_t total = 0;
    for (const auto& o : List(id, start, count, &total).objects) ids += (ids.empty() ? "" : ",") + o.id;
    return ids + "=" + std::to_string(total);
  }
  std::string base_, root_;
};

// id|parentID|title|class|protocolInfo|res
std::string Show(const MediaObject& o) {
  return o.id + "|" + o.parentID + "|" + o.title + "|" + std::to_string(o.objectClass) + "|" + o.protocolInfo + "|" +
         o.res;
}

TEST_F(ContentFolder, ListingWindow) {
  Make({"f1/", "f2/", "f3/", "f4/", "f5/", "f6/", "f7/", "loose.mp3"});  // loose files are not published
  // Count 0 or less: all from start on; start at or past the end: nothing, the full total.
  const struct { int32_t start, count; const char* ids; } cases[] = {
      {2, 3, "f3,f4,f5=7"}, {0, 0, "f1,f2,f3,f4,f5,f6,f7=7"}, {5, 0, "f6,f7=7"}, {6, 1, "f7=7"}, {7, 1, "=7"},
      {-2, 3, "f1=7"}, {1, -1, "f2,f3,f4,f5,f6,f7=7"}};
  for (const auto& c : cases) EXPECT_EQ(Ids("0", c.start, c.count), c.ids) << c.start << "+" << c.count;
}

TEST_F(ContentFolder, NestedIdsOrderAndRecords) {
  Make({"Movies/", "Movies/2019/", "Movies/2019/x.avi", "Movies/Episode 10.mkv", "Movies/episode 2.mkv",
        "Movies/Alpha.MP3", "Movies/zeta/", "Album/", "Album/Track 10.mp3", "Album/track 003.mp3",
        "Album/Track 2.mp3", "Album/Track 01.mp3", "Empty/"});
  // Folders first, then files, each in natural order without regard to case;
  // a number counts by its value, leading zeros or not.
  EXPECT_EQ(Ids("Movies"), "Movies/2019,Movies/zeta,Movies/Alpha.MP3,Movies/episode 2.mkv,Movies/Episode 10.mkv=5");
  EXPECT_EQ(Ids("Album"), "Album/Track 01.mp3,Album/Track 2.mp3,Album/track 003.mp3,Album/Track 10.mp3=4");
  const MediaObject item = List("Movies/2019").objects.at(0);
  EXPECT_EQ(Show(item), "Movies/2019/x.avi|Movies/2019|x.avi|2|http-get:*:video/x-msvideo:*|"
                        "http://h:1/media/Movies/2019/x.avi");
  EXPECT_TRUE(item.date.size() == 19 && item.date[10] == 'T') << item.date;
  EXPECT_EQ(Show(List("Movies", 0, 1).objects.at(0)), "Movies/2019|Movies|2019|1||");
  // Ids that name no published folder give nothing, and say so.
  for (const char* id : {"Movies/Alpha.MP3", "nothing", "Movies/../Movies", "/Movies", "Movies/", ""}) {
    EXPECT_EQ(Ids(id), "=-1") << id;
  }
  EXPECT_EQ(Ids("Empty"), "=0");
}

TEST_F(ContentFolder, HiddenInvalidAndOutsideEntriesAreAbsent) {
  // Not UTF-8, or characters an id cannot carry through XML and back.
  Make({"A/", "A/.git/", "A/.hidden.mp3", "A/ok.mp3", "A/bad\xff\xfe.mp3", "A/line\nfeed.mp3", "A/tab\t.mp3",
        "A/bell\a.mp3", "A/non\xEF\xBF\xBE.mp3", "A/ctl\x1F/", "B/", "B/C/", "AB/"});
  // Links to the folder itself, its parent (the root) and the root by
  // absolute path would make an endless tree; another branch is fine, as is a
  // sibling whose name begins with this folder's.
  Link({{base_ + "/secret.txt", "A/out.mp3"}, {base_ + "/outside", "outdir"}, {root_ + "/A/ok.mp3", "A/in.mp3"},
        {root_ + "/A", "Alias"}, {"../A/.hidden.mp3", "A/peek.mp3"}, {".", "A/self"}, {"..", "A/up"},
        {root_, "A/root_again"}, {"../../A", "B/C/sideways"}, {"../A", "AB/toA"}, {root_ + "-private", "private"},
        {root_ + "-private/near.mp3", "A/near.mp3"}});
  mkfifo((root_ + "/A/pipe.mp3").c_str(), 0600);
  EXPECT_EQ(Ids("A"), "A/in.mp3,A/ok.mp3=2");
  EXPECT_EQ(Ids("0"), "A,AB,Alias,B=4");
  EXPECT_EQ(Ids("Alias"), "Alias/in.mp3,Alias/ok.mp3=2");
  EXPECT_EQ(Ids("B/C/sideways"), "B/C/sideways/in.mp3,B/C/sideways/ok.mp3=2");
  EXPECT_EQ(Ids("AB/toA"), "AB/toA/in.mp3,AB/toA/ok.mp3=2");
  for (const char* absent :
       {"A/self", "A/up/A", "A/root_again/A", "A/root_again", "outdir", "private", "private/sub", "A/.git"}) {
    EXPECT_EQ(Ids(absent), "=-1") << absent;
  }
}

TEST_F(ContentFolder, ListingFollowsChangesOfTheFolder) {
  Make({"F/", "F/a.mp3"});
  EXPECT_EQ(Ids("F"), "F/a.mp3=1");
  Make({"F/b.mp3"});
  EXPECT_EQ(Ids("F"), "F/a.mp3,F/b.mp3=2");
  ASSERT_EQ(rename((root_ + "/F/a.mp3").c_str(), (root_ + "/F/c.mp3").c_str()), 0);
  unlink((root_ + "/F/b.mp3").c_str());
  EXPECT_EQ(Ids("F"), "F/c.mp3=1");
  // Once the folder has settled its listing is kept; a change must still show.
  SetListingClock([] { return static_cast<int64_t>(time(nullptr)) + 10; });
  EXPECT_EQ(Ids("F"), "F/c.mp3=1");
  EXPECT_EQ(Ids("F"), "F/c.mp3=1");
  Make({"F/d.mp3"});
  EXPECT_EQ(Ids("F"), "F/c.mp3,F/d.mp3=2");
}

TEST_F(ContentFolder, DescribeObjectMatchesTheListing) {
  Make({"M/", "N/", "M/s.wav", "top.mp3"});
  MediaObject o;
  ASSERT_TRUE(DescribeObject(root_, "0", "http://h:1/media/", "MYPC", &o));
  EXPECT_EQ(Show(o) + "|" + std::to_string(o.childCount), "0|-1|MYPC|1|||2");
  ASSERT_TRUE(DescribeObject(root_, "M/s.wav", "http://h:1/media/", "MYPC", &o));
  const MediaObject listed = List("M").objects.at(0);
  EXPECT_EQ(Show(o) + o.date, Show(listed) + listed.date);
  ASSERT_TRUE(DescribeObject(root_, "M", "http://h:1/media/", "MYPC", &o));
  EXPECT_EQ(o.parentID, "0");
  for (const char* absent : {"top.mp3", "M/none.wav", "M/../M/s.wav"}) {  // top.mp3 is not published
    EXPECT_FALSE(DescribeObject(root_, absent, "", "MYPC", &o)) << absent;
  }
}

// Subtitle files go with their video and are no items of their own; a
// folder's picture is found by its usual names and stays listed.
TEST_F(ContentFolder, SubtitlesBelongToTheirVideoAndFoldersHaveACover) {
  Make({"M/", "M/clip.mkv", "M/clip.srt", "M/clip.en.SRT", "M/clip.fra.ass", "M/clip.deutsch.srt", "M/orphan.srt",
        "M/song.mp3", "M/song.srt", "M/x&<y>.mp4", "M/x&<y>.vtt", "A/", "A/Folder.JPG", "A/cover.jpg", "B/",
        "B/AlbumArt_{1}_Large.jpg", "C/", "C/coverx.jpg", "C/front.jpeg", "D/", "D/Cover.jpg"});
  // A subtitle with a language tag of two or three letters belongs too; one of
  // another name, of a song or of no video stays an item.
  EXPECT_EQ(Ids("M"), "M/clip.deutsch.srt,M/clip.mkv,M/orphan.srt,M/song.mp3,M/song.srt,M/x&<y>.mp4=6");
  const MediaObjectList m = List("M");
  auto subs = [](const MediaObject& o) {
    std::string shown;
    for (const SubtitleRef& s : o.subtitles) shown += s.type + "|" + s.mime + "|" + s.url + " ";
    return shown;
  };
  EXPECT_EQ(subs(m.objects[1]),
            "srt|text/srt|http://h:1/media/M/clip.srt srt|text/srt|http://h:1/media/M/clip.en.SRT "
            "ass|text/x-ssa|http://h:1/media/M/clip.fra.ass ");
  EXPECT_EQ(subs(m.objects[5]), "vtt|text/vtt|http://h:1/media/M/x%26%3Cy%3E.vtt ");
  EXPECT_EQ(SubtitlesOf(root_, "M/clip.mkv"), (std::vector<std::string>{"M/clip.srt", "M/clip.en.SRT", "M/clip.fra.ass"}));
  MediaObject described;
  ASSERT_TRUE(DescribeObject(root_, "M/clip.mkv", "/media/", "PC", &described));
  EXPECT_EQ(described.subtitles.size(), 3u);
  EXPECT_FALSE(DescribeObject(root_, "M/clip.srt", "/media/", "PC", &described));  // part of the video
  // Covers: cover.jpg before folder.jpg whatever the case, AlbumArt*.jpg,
  // nothing but the names; the picture is still listed.
  EXPECT_EQ(FolderCover(root_, "A"), "A/cover.jpg");
  EXPECT_EQ(FolderCover(root_, "B"), "B/AlbumArt_{1}_Large.jpg");
  EXPECT_EQ(FolderCover(root_, "C"), "");
  EXPECT_EQ(FolderCover(root_, "D"), "D/Cover.jpg");
  EXPECT_EQ(Ids("A"), "A/cover.jpg,A/Folder.JPG=2");
  EXPECT_EQ(List("A").coverId, "A/cover.jpg");
  std::string arts;
  for (const MediaObject& o : List("0").objects) arts += o.id + "=" + o.artUrl + " ";
  EXPECT_EQ(arts, "A=http://h:1/art/A B= C= D=http://h:1/art/D M= ");  // B's picture has no usual spelling
  EXPECT_EQ(ArtUrl("/media/", "a b/c"), "/art/a%20b/c");
}

TEST(ItemUrls, EncodeEveryByteOutsideTheUnreservedSet) {
  EXPECT_EQ(ItemUrl("http://h:1/media/", "Music/a b.mp3"), "http://h:1/media/Music/a%20b.mp3");
  EXPECT_EQ(PercentEncodePath("x#y?z%w&v+u=t;s(r)"), "x%23y%3Fz%25w%26v%2Bu%3Dt%3Bs%28r%29");
  EXPECT_EQ(PercentEncodePath("Фильм/😀.mkv"), "%D0%A4%D0%B8%D0%BB%D1%8C%D0%BC/%F0%9F%98%80.mkv");
  EXPECT_EQ(PercentEncodePath("A-z_0.9~/"), "A-z_0.9~/");
}

// The host's file answer, as the media engine asks it with decoded paths.
TEST_F(ContentFolder, FileOpenStaysInsideAndNeverWrites) {
  Make({"Music/", "Music/.hidden.mp3", "Music/noext", "top.mp3"});
  std::ofstream(root_ + "/Music/song.mp3") << "0123456789";
  Link({{base_ + "/secret.txt", "Music/out.mp3"}, {root_ + "-private/near.mp3", "Music/near.mp3"},
        {root_ + "-private", "Music/private"}, {root_, "Music/root_again"}});
  ASSERT_EQ(mkfifo((root_ + "/Music/pipe.mp3").c_str(), 0600), 0);
  auto open = [&](const char* path, int mode = 0) {  // length|type, or "refused"
    FileOpenRequest r{path, mode};
    if (!AnswerFileOpen(root_, &r)) return std::string("refused");
    struct stat st{};
    fstat(r.fd, &st);
    close(r.fd);
    return std::to_string(st.st_size) + "|" + (r.contentType ? r.contentType : "");
  };
  EXPECT_EQ(open("Music/song.mp3"), "10|audio/mpeg");
  EXPECT_EQ(open("Music/noext"), "1|application/octet-stream");
  for (const char* hostile :
       {"../secret.txt", "Music/../../secret.txt", "Music/?/../../secret.txt", "Music/x#/../../secret.txt",
        "Music/out.mp3", "Music/near.mp3", "Music/private/near.mp3", "Music/.hidden.mp3", "/etc/passwd", "Music", "",
        "Music//song.mp3", "./Music/song.mp3", "top.mp3", "Music/pipe.mp3", "Music/song.mp3?x=1",
        "Music/root_again/top.mp3", "Music/root_again/Music/song.mp3"}) {
    EXPECT_EQ(open(hostile), "refused") << hostile;
  }
  EXPECT_EQ(open("Music/song.mp3", 1), "refused");  // writing is always refused
  EXPECT_EQ(open("Music/new.mp3", 1), "refused");
  EXPECT_NE(access((root_ + "/Music/new.mp3").c_str(), F_OK), 0);
}

// "mime|class" of a name.
std::string Lookup(const char* name) {
  ObjectClass cls = kClassContainer;  // must be overwritten
  const std::string mime = MimeTypeFor(name, &cls);
  return mime + "|" + std::to_string(cls);
}

// Every row is reached through the hash index, whatever the letter case.
TEST(MediaTypes, EveryRowFoundInEitherCase) {
  for (const MimeRow& row : MimeTable()) {
    std::string lower = std::string("file.") + row.extension, upper = lower;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(row.objectClass >= kClassVideo && row.objectClass <= kClassText) << row.extension;
    for (const std::string& name : {lower, upper}) {
      EXPECT_EQ(Lookup(name.c_str()), row.mime + ("|" + std::to_string(row.objectClass))) << name;
    }
  }
}

TEST(MediaTypes, ExtensionLookups) {
  EXPECT_EQ(Lookup("/srv/media/Films (2014)/a.b.c.avi"), "video/x-msvideo|2");
  // Unlisted, including two whose hashes are those of 3gp and m3u.
  for (const char* name : {"README", "archive.tar.gz", "/srv/my.videos/README", "file.", "", "x.mkv2", "x.mk",
                           "x.aydqbi", "x.a5u24t", "x.AYDQBI"}) {
    EXPECT_EQ(Lookup(name), "application/octet-stream|6") << name;
  }
  EXPECT_STREQ(MimeTypeFor(nullptr, nullptr), "application/octet-stream");
}

// The machine's answers copy into the caller's buffer: a text that fills it
// to the last byte before the terminating zero is whole, one byte more is cut.
TEST(MachineAnswers, TextsFillTheirBufferOrAreCut) {
  char host[256] = "";
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const size_t n = strlen(host);
  ASSERT_GT(n, 1u);
  std::vector<char> exact(n + 1, 'X'), shorter(n, 'X');
  TextRequest fits{exact.data(), exact.size()}, cut{shorter.data(), shorter.size()}, none{nullptr, 0};
  EXPECT_EQ(AnswerComputerName(&fits), 1);
  EXPECT_EQ(std::string(exact.data()), host);
  EXPECT_EQ(AnswerComputerName(&cut), 1);
  EXPECT_EQ(std::string(shorter.data()), std::string(host, n - 1));
  EXPECT_EQ(AnswerComputerName(&none), 0);
}

}  // namespace
}  // namespace tovaly
