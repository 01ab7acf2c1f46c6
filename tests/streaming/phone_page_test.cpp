#include <gtest/gtest.h>

#include "core/text.h"
#include "streaming/phone_page.h"

namespace tovaly {
namespace {

MediaObject Item(const std::string& id, ObjectClass cls, const char* mime, int64_t size = 1400000000) {
  MediaObject o;
  const size_t slash = id.rfind('/');
  o.id = id;
  o.title = slash == std::string::npos ? id : id.substr(slash + 1);
  o.objectClass = cls;
  o.protocolInfo = std::string("http-get:*:") + mime + ":*";
  o.date = "2026-12-06T21:30:50";
  o.size = size;
  return o;
}

MediaObject Folder(const std::string& id) {
  MediaObject o = Item(id, kClassContainer, "");
  o.protocolInfo.clear();
  return o;
}

TEST(PhonePage, HostileNamesAreTextAndLinksAreEncoded) {
  FolderPage f;
  f.serverName = "NAS <b>";
  f.folderId = "Music/R&B";
  f.entries = {Folder("Music/R&B/\"Live\""), Item("Music/R&B/<img src=x onerror=alert(1)>.mp3", kClassAudio, "audio/mpeg"),
               Item("Music/R&B/a\"b'&c.mp4", kClassVideo, "video/mp4")};
  f.total = 3;
  const std::string html = RenderFolderPage(f);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_NE(html.find("<span class=\"name\">&lt;img src=x onerror=alert(1)&gt;.mp3</span>"), std::string::npos);
  EXPECT_NE(html.find("href=\"/play/Music/R%26B/%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E.mp3\""),
            std::string::npos);
  EXPECT_NE(html.find("<span class=\"name\">a&quot;b&apos;&amp;c.mp4</span>"), std::string::npos);
  EXPECT_NE(html.find("href=\"/browse/Music/R%26B/%22Live%22/\""), std::string::npos);
  // The breadcrumb: the server and each folder above, escaped too.
  EXPECT_NE(html.find("<a href=\"/\">NAS &lt;b&gt;</a> <span class=\"sep\">/</span> <a href=\"/browse/Music/\">Music</a>"),
            std::string::npos);
  EXPECT_NE(html.find("<title>R&amp;B - NAS &lt;b&gt;</title>"), std::string::npos);
  EXPECT_NE(html.find("Audio · 1.4 GB · 2026-12-06"), std::string::npos);
}

TEST(PhonePage, PagesOfTwoHundred) {
  FolderPage f;
  f.serverName = "NAS";
  f.folderId = "Big";
  for (int32_t total : {200, 201}) {
    f.total = total;
    f.page = 1;
    EXPECT_EQ(RenderFolderPage(f).find("?page=2") != std::string::npos, total > 200) << total;
  }
  f.total = 401;
  f.page = 2;
  const std::string middle = RenderFolderPage(f);
  EXPECT_NE(middle.find("<a href=\"/browse/Big/?page=1\">Previous</a><span>Page 2 of 3</span>"
                        "<a href=\"/browse/Big/?page=3\">Next</a>"),
            std::string::npos);
  f.folderId = "0";
  f.page = 3;
  const std::string last = RenderFolderPage(f);
  EXPECT_NE(last.find("<a href=\"/?page=2\">Previous</a><span>Page 3 of 3</span><span></span>"), std::string::npos);
}

TEST(PhonePage, EachFileInThePlayerItSuits) {
  const struct {
    MediaObject item;
    const char* want;
  } cases[] = {
      {Item("V/a.mp4", kClassVideo, "video/mp4"), "<video controls autoplay playsinline preload=\"metadata\" src=\"/media/V/a.mp4\">"},
      {Item("V/a.mkv", kClassVideo, "video/x-matroska"), nullptr},
      {Item("M/a b.mp3", kClassAudio, "audio/mpeg"), "<audio controls autoplay preload=\"metadata\" src=\"/media/M/a%20b.mp3\">"},
      {Item("M/a.wma", kClassAudio, "audio/x-ms-wma"), nullptr},
      {Item("P/a.jpg", kClassImage, "image/jpeg"), "<img alt=\"a.jpg\" src=\"/media/P/a.jpg\">"},
      {Item("D/a.txt", kClassText, "text/plain"), nullptr},
  };
  for (const auto& c : cases) {
    const std::string html = RenderItemPage("NAS", c.item);
    if (c.want) {
      EXPECT_NE(html.find(c.want), std::string::npos) << c.item.id;
    } else {
      EXPECT_EQ(html.find("<video"), std::string::npos) << c.item.id;
      EXPECT_EQ(html.find("<audio"), std::string::npos) << c.item.id;
    }
    // Every file can be opened as it is.
    EXPECT_NE(html.find("<a class=\"button\" href=\"/media/" + PercentEncodePath(c.item.id) + "\">"),
              std::string::npos)
        << c.item.id;
  }
}

TEST(PhonePage, SizesAsPeopleReadThem) {
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {{0, "0 B"},          {999, "999 B"},        {1000, "1.0 kB"},       {9949, "9.9 kB"},
               {9950, "10 kB"},     {999499, "999 kB"},    {999950, "1.0 MB"},     {1400000000, "1.4 GB"},
               {-1, ""},            {INT64_MAX, "9223 PB"}};
  for (const auto& c : cases) EXPECT_EQ(HumanSize(c.bytes), c.text) << c.bytes;
  EXPECT_EQ(MimeOf("http-get:*:audio/mpeg:DLNA.ORG_PN=MP3"), "audio/mpeg");
  EXPECT_EQ(MimeOf("garbage"), "");
}

}  // namespace
}  // namespace tovaly
