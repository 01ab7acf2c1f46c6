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

// Escapes in every place are SpecialCharactersInEveryPlace's; here the
// title and the trail of folders above, each a link but the current one.
TEST(PhonePage, TitleAndBreadcrumbNameEachFolderAbove) {
  const std::string html = RenderFolderPage(FolderPage{"NAS <b>", "Music/R&B", {}, 0});
  EXPECT_TRUE(Has(html, "<title>R&amp;B - NAS &lt;b&gt;</title>")) << html;
  EXPECT_TRUE(Has(html, "<a href=\"/\">NAS &lt;b&gt;</a> <span class=\"sep\">/</span> "
                        "<a href=\"/browse/Music/\">Music</a> <span class=\"sep\">/</span> <span>R&amp;B</span>"))
      << html;
}

// Each character HTML treats specially, in every place a name reaches: the
// server's name, the folder's path, a folder's and a file's name, a song's
// artist and album, the alt texts of art, a subtitle's label, on the folder
// page and the player pages. Never raw; in text as an entity, in a link
// percent-encoded. The counts are the places.
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
    const std::string dir = name + "/" + name + "/";
    MediaObject folder = Item(dir + name, kClassContainer, "");
    MediaObject song = Item(dir + name + ".mp3", kClassAudio, "audio/mpeg");
    folder.artUrl = "/art/x";
    song.artUrl = "/art/y";
    song.artist = name;
    song.album = name;
    FolderPage f{name, name + "/" + name, {folder, song}, 2};
    const std::string page = RenderFolderPage(f);
    EXPECT_EQ(count(page, name), 0u) << page;
    // Text: title (server, folder), breadcrumb (server, two folders), the
    // folder's name and alt text, the song's name, alt text and artist.
    EXPECT_EQ(count(page, asText), 2u + 3u + 2u + 3u) << c.c << page;
    // Links: the breadcrumb's to the folder above (the current one is text),
    // and each entry's link and art, whose paths hold the name three times.
    EXPECT_EQ(count(page, asLink), 1u + 4 * 3u) << c.c << page;

    const std::string item = RenderItemPage(name, song);
    EXPECT_EQ(count(item, name), 0u) << item;
    // Title (song, server), breadcrumb (server, two folders, the song),
    // heading, alt text, artist, album.
    EXPECT_EQ(count(item, asText), 2u + 4u + 4u) << c.c << item;
    // Breadcrumb links (1 + 2 + 3 names), the player and the button, the cover.
    EXPECT_EQ(count(item, "/media/" + asLink + "/" + asLink + "/" + asLink + ".mp3"), 2u) << c.c << item;
    EXPECT_EQ(count(item, asLink), 6u + 2 * 3u + 3u) << c.c << item;

    MediaObject video = Item(dir + name + ".mp4", kClassVideo, "video/mp4");
    video.subtitles = {{"http://192.0.2.1:8200/media/" + PercentEncodePath(dir + name + ".srt"), "srt", "text/srt"}};
    const std::string clip = RenderItemPage("NAS", video);
    EXPECT_EQ(count(clip, name), 0u) << clip;
    EXPECT_TRUE(Has(clip, "<track kind=\"subtitles\" src=\"/vtt/" + asLink + "/" + asLink + "/" + asLink +
                              ".srt\" srclang=\"und\" label=\"" + asText + ".srt\" default>"))
        << c.c << clip;
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
           {Item("P/a.jpg", kClassImage, "image/jpeg"), "<img class=\"picture\" alt=\"a.jpg\" src=\"/media/P/a.jpg\">"},
           {Item("D/a.txt", kClassText, "text/plain"), nullptr}}) {
    const std::string html = RenderItemPage("NAS", item);
    EXPECT_TRUE(player ? Has(html, player) : !Has(html, "<video") && !Has(html, "<audio")) << item.id;
    // Every file can be opened as it is.
    EXPECT_TRUE(Has(html, "<a class=\"button\" href=\"/media/" + PercentEncodePath(item.id) + "\">")) << item.id;
  }
}

// What the metadata says, where a phone shows it: art as a square before
// the name (a tile drawn by the stylesheet without), the artist of songs,
// durations and sizes of pictures and videos.
TEST(PhonePage, FolderListsShowArtArtistAndDuration) {
  MediaObject cover = Item("M/Blue", kClassContainer, ""), plain = Item("M/Loose", kClassContainer, "");
  cover.artUrl = "http://192.0.2.1:8200/art/M/Blue";
  MediaObject song = Item("M/01 Intro.mp3", kClassAudio, "audio/mpeg");
  song.title = "Intro";
  song.artist = "The Band";
  song.artUrl = "/art/M/01%20Intro.mp3";
  song.durationMs = 205500;
  song.size = 4000000;
  MediaObject clip = Item("M/clip.mp4", kClassVideo, "video/mp4");
  clip.artist = "not shown for videos";
  clip.durationMs = 3725000;
  clip.width = 1920;
  clip.height = 1080;
  MediaObject untagged = Item("M/raw.mp3", kClassAudio, "audio/mpeg");
  const std::string html = RenderFolderPage(FolderPage{"NAS", "M", {cover, plain, song, clip, untagged}, 5});
  for (const char* part :
       {"<li class=\"folder\"><a href=\"/browse/M/Blue/\"><img class=\"thumb\" src=\"/art/M/Blue\" alt=\"Blue\" "
        "width=\"48\" height=\"48\" loading=\"lazy\"><span class=\"text\"><span class=\"name\">Blue</span></span>",
        "<a href=\"/browse/M/Loose/\"><span class=\"thumb none\"></span>",
        "<a href=\"/play/M/01%20Intro.mp3\"><img class=\"thumb\" src=\"/art/M/01%20Intro.mp3\" alt=\"Intro\" "
        "width=\"48\" height=\"48\" loading=\"lazy\"><span class=\"text\"><span class=\"name\">Intro</span>"
        "<span class=\"artist\">The Band</span><span class=\"details\"><span>Audio</span> · <span>3:25</span> · "
        "<span>4.0 MB</span> · <span>2026-12-06</span></span>",
        "<span class=\"thumb none\"></span><span class=\"text\"><span class=\"name\">clip.mp4</span><span "
        "class=\"details\"><span>Video</span> · <span>1:02:05</span> · <span>1920×1080</span> · "
        "<span>1.4 GB</span> · <span>2026-12-06</span></span>",
        "<span class=\"name\">raw.mp3</span><span class=\"details\"><span>Audio</span> · <span>1.4 GB</span> · "}) {
    EXPECT_TRUE(Has(html, part)) << part << "\n" << html;
  }
  EXPECT_FALSE(Has(html, "not shown") || Has(html, "192.0.2.1")) << html;
}

// The player page: a song's cover, title, artist and album; a video's
// thumbnail as its poster and one track per subtitle, each named after its
// file, the language taken from its name; every link to this server alone.
TEST(PhonePage, PlayerShowsCoverTagsAndSubtitles) {
  MediaObject song = Item("M/01.mp3", kClassAudio, "audio/mpeg");
  song.title = "Intro";
  song.artist = "The Band";
  song.album = "Blue";
  song.artUrl = "http://192.0.2.1:8200/art/M/01.mp3";
  const std::string page = RenderItemPage("NAS", song);
  EXPECT_TRUE(Has(page, "<img class=\"cover\" src=\"/art/M/01.mp3\" alt=\"Intro\" width=\"160\" height=\"160\">\n"
                        "<h1>Intro</h1>\n<p class=\"artist\">The Band</p>\n<p class=\"album\">Blue</p>\n<audio "))
      << page;
  song.artUrl.clear();
  song.artist.clear();
  EXPECT_FALSE(Has(RenderItemPage("NAS", song), "<img") || Has(RenderItemPage("NAS", song), "artist"));

  MediaObject clip = Item("V/clip.mp4", kClassVideo, "video/mp4");
  clip.artUrl = "/art/V/clip.mp4";
  const std::string base = "http://192.0.2.1:8200/media/V/";
  clip.subtitles = {{base + "clip.en.srt", "srt", "text/srt"},
                    {"/media/V/clip.pt-BR.ass", "ass", "text/x-ssa"},
                    {base + "clip.english.srt", "srt", "text/srt"},
                    {base + "clip%20two.srt", "srt", "text/srt"},
                    // Not a file of this server's: no track.
                    {"http://192.0.2.1:8200/other/V/x.srt", "srt", "text/srt"},
                    {"/media/V/%zz.srt", "srt", "text/srt"},
                    {"/media/", "srt", "text/srt"},
                    {"javascript:alert(1)", "srt", "text/srt"},
                    {"/media/V/x.srt?/media/y", "srt", "text/srt"}};
  const std::string html = RenderItemPage("NAS", clip);
  EXPECT_TRUE(Has(html, "<video controls autoplay playsinline preload=\"metadata\" src=\"/media/V/clip.mp4\" "
                        "poster=\"/art/V/clip.mp4\">\n"
                        "<track kind=\"subtitles\" src=\"/vtt/V/clip.en.srt\" srclang=\"en\" "
                        "label=\"clip.en.srt\" default>\n"
                        "<track kind=\"subtitles\" src=\"/vtt/V/clip.pt-BR.ass\" srclang=\"pt-BR\" "
                        "label=\"clip.pt-BR.ass\">\n"
                        "<track kind=\"subtitles\" src=\"/vtt/V/clip.english.srt\" srclang=\"und\" "
                        "label=\"clip.english.srt\">\n"
                        "<track kind=\"subtitles\" src=\"/vtt/V/clip%20two.srt\" srclang=\"und\" "
                        "label=\"clip two.srt\"></video>"))
      << html;
  EXPECT_FALSE(Has(html, "192.0.2") || Has(html, "x.srt") || Has(html, "javascript")) << html;
  // Subtitles only reach a video the browser plays.
  clip.protocolInfo = "http-get:*:video/x-matroska:*";
  EXPECT_FALSE(Has(RenderItemPage("NAS", clip), "<track"));
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
