#include <gtest/gtest.h>

#include "core/text.h"
#include "streaming/phone_page.h"

namespace tovaly {
namespace {

MediaObject Item(const std::string& id, ObjectClass cls, const std::string& mime) {
  MediaObject o;
  o.id = id;
  o.title = id.substr(id.rfind('/') + 1);
  o.objectClass = cls;
  o.protocolInfo = mime.empty() ? "" : "http-get:*:" + mime + ":*";
  o.date = "2026-12-06T21:30:50";
  o.size = 1400000000;
  return o;
}

bool Has(const std::string& html, const std::string& part) { return html.find(part) != std::string::npos; }

TEST(PhonePage, HostileNamesAreTextAndLinksAreEncoded) {
  FolderPage f{"NAS <b>", "Music/R&B",
               {Item("Music/R&B/\"Live\"", kClassContainer, ""),
                Item("Music/R&B/<img src=x onerror=alert(1)>.mp3", kClassAudio, "audio/mpeg"),
                Item("Music/R&B/a\"b'&c.mp4", kClassVideo, "video/mp4")},
               3};
  const std::string html = RenderFolderPage(f);
  EXPECT_FALSE(Has(html, "<img") || Has(html, "<b>"));
  for (const char* part : {"<span class=\"name\">&lt;img src=x onerror=alert(1)&gt;.mp3</span>",
                           "href=\"/play/Music/R%26B/%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E.mp3\"",
                           "<span class=\"name\">a&quot;b&apos;&amp;c.mp4</span>",
                           "href=\"/browse/Music/R%26B/%22Live%22/\"",
                           // The breadcrumb: the server and each folder above, escaped too.
                           "<a href=\"/\">NAS &lt;b&gt;</a> <span class=\"sep\">/</span> "
                           "<a href=\"/browse/Music/\">Music</a>",
                           "<title>R&amp;B - NAS &lt;b&gt;</title>", "Audio · 1.4 GB · 2026-12-06"}) {
    EXPECT_TRUE(Has(html, part)) << part;
  }
}

// Each character HTML treats specially, in every place a name reaches: the
// server's name, the folder's path, a folder's and a file's name, on the
// folder page and the player page. Never raw; in text as an entity, in a
// link percent-encoded. The counts are the places.
TEST(PhonePage, SpecialCharactersInEveryPlace) {
  const struct { const char* c; const char* entity; const char* encoded; } chars[] = {
      {"<", "&lt;", "%3C"}, {">", "&gt;", "%3E"}, {"&", "&amp;", "%26"}, {"\"", "&quot;", "%22"},
      {"'", "&apos;", "%27"}};
  auto count = [](const std::string& html, const std::string& part) {
    size_t n = 0;
    for (size_t at = html.find(part); at != std::string::npos; at = html.find(part, at + 1)) ++n;
    return n;
  };
  for (const auto& c : chars) {
    const std::string name = std::string("a") + c.c + "b";
    const std::string asText = std::string("a") + c.entity + "b", asLink = std::string("a") + c.encoded + "b";
    FolderPage f{name, name + "/" + name,
                 {Item(name + "/" + name + "/" + name, kClassContainer, ""),
                  Item(name + "/" + name + "/" + name + ".mp3", kClassAudio, "audio/mpeg")},
                 2};
    const std::string folder = RenderFolderPage(f);
    EXPECT_EQ(count(folder, name), 0u) << folder;
    // Text: title (server, folder), breadcrumb (server, two folders), two entries.
    EXPECT_EQ(count(folder, asText), 7u) << c.c << folder;
    // Links: the breadcrumb's to the folder above (the current one is text),
    // and each entry's, whose path holds the name three times.
    EXPECT_EQ(count(folder, asLink), 1u + 3u + 3u) << c.c << folder;

    const std::string item = RenderItemPage(name, f.entries[1]);
    EXPECT_EQ(count(item, name), 0u) << item;
    EXPECT_GT(count(item, asText), 0u) << item;
    EXPECT_EQ(count(item, "/media/" + asLink + "/" + asLink + "/" + asLink + ".mp3"), 2u) << c.c << item;
  }
}

TEST(PhonePage, PagesOfTwoHundred) {
  FolderPage f{"NAS", "Big", {}, 200, 1};
  EXPECT_FALSE(Has(RenderFolderPage(f), "?page=2"));
  f.total = 201;
  EXPECT_TRUE(Has(RenderFolderPage(f), "<a href=\"/browse/Big/?page=2\">Next</a>"));
  f.total = 401;
  f.page = 2;
  EXPECT_TRUE(Has(RenderFolderPage(f), "<a href=\"/browse/Big/?page=1\">Previous</a><span>Page 2 of 3</span>"
                                       "<a href=\"/browse/Big/?page=3\">Next</a>"));
  f.folderId = "0";
  f.page = 3;
  EXPECT_TRUE(Has(RenderFolderPage(f), "<a href=\"/?page=2\">Previous</a><span>Page 3 of 3</span><span></span>"));
}

TEST(PhonePage, EachFileInThePlayerItSuits) {
  for (const auto& [item, player] : std::vector<std::pair<MediaObject, const char*>>{
           {Item("V/a.mp4", kClassVideo, "video/mp4"),
            "<video controls autoplay playsinline preload=\"metadata\" src=\"/media/V/a.mp4\">"},
           {Item("V/a.mkv", kClassVideo, "video/x-matroska"), nullptr},
           {Item("M/a b.mp3", kClassAudio, "audio/mpeg"),
            "<audio controls autoplay preload=\"metadata\" src=\"/media/M/a%20b.mp3\">"},
           {Item("M/a.wma", kClassAudio, "audio/x-ms-wma"), nullptr},
           {Item("P/a.jpg", kClassImage, "image/jpeg"), "<img alt=\"a.jpg\" src=\"/media/P/a.jpg\">"},
           {Item("D/a.txt", kClassText, "text/plain"), nullptr}}) {
    const std::string html = RenderItemPage("NAS", item);
    EXPECT_TRUE(player ? Has(html, player) : !Has(html, "<video") && !Has(html, "<audio")) << item.id;
    // Every file can be opened as it is.
    EXPECT_TRUE(Has(html, "<a class=\"button\" href=\"/media/" + PercentEncodePath(item.id) + "\">")) << item.id;
  }
}

TEST(PhonePage, SizesAsPeopleReadThem) {
  for (const auto& [bytes, text] : std::vector<std::pair<int64_t, const char*>>{
           {0, "0 B"}, {999, "999 B"}, {1000, "1.0 kB"}, {9949, "9.9 kB"}, {9950, "10 kB"}, {999499, "999 kB"},
           {999950, "1.0 MB"}, {1400000000, "1.4 GB"}, {-1, ""}, {INT64_MAX, "9223 PB"}}) {
    EXPECT_EQ(HumanSize(bytes), text) << bytes;
  }
  EXPECT_EQ(MimeOf("http-get:*:audio/mpeg:DLNA.ORG_PN=MP3"), "audio/mpeg");
  EXPECT_EQ(MimeOf("garbage"), "");
}

}  // namespace
}  // namespace tovaly
