#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "device/didl.h"
#include "device/ixml_util.h"
#include "device/media_types.h"

namespace tovaly {
namespace {

// ---- media types -------------------------------------------------------------

// "mime|class" of a name.
std::string Lookup(const char* name) {
  ObjectClass cls = kClassContainer;  // must be overwritten
  const std::string mime = MimeTypeFor(name, &cls);
  return mime + "|" + std::to_string(cls);
}

// Every row is reached through the hash index, whatever the letter case.
TEST(MediaTypes, Table143RowsAllFoundInEitherCase) {
  ASSERT_EQ(MimeTable().size(), 143u);
  for (const MimeRow& row : MimeTable()) {
    std::string lower = std::string("file.") + row.extension, upper = lower;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(lower.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << row.extension;
    ASSERT_TRUE(row.objectClass >= kClassVideo && row.objectClass <= kClassText) << row.extension;
    for (const std::string& name : {lower, upper}) {
      EXPECT_EQ(Lookup(name.c_str()), row.mime + ("|" + std::to_string(row.objectClass))) << name;
    }
  }
}

TEST(MediaTypes, ExtensionLookups) {
  EXPECT_EQ(Lookup("movie.MKV"), "video/x-matroska|2");
  EXPECT_EQ(Lookup("song.MP3"), "audio/mpeg|3");
  EXPECT_EQ(Lookup("stream.ismv"), "application/mp4|2");  // the same type as .m4a, another class
  EXPECT_EQ(Lookup("/srv/media/Films (2014)/a.b.c.avi"), "video/x-msvideo|2");
  // Unknown or missing extensions, and near misses.
  for (const char* name : {"README", "archive.tar.gz", "/srv/my.videos/README", "file.", "", "x.mkv2", "x.mk"}) {
    EXPECT_EQ(Lookup(name), "application/octet-stream|6") << name;
  }
  EXPECT_STREQ(MimeTypeFor(nullptr, nullptr), "application/octet-stream");
  EXPECT_STREQ(MimeTypeFor("a.png", nullptr), "image/png");
}

TEST(MediaTypes, ClassNamesBothWays) {
  for (int c = kClassContainer; c <= kClassOther; ++c) {
    EXPECT_EQ(ClassFromName(DidlClassName(static_cast<ObjectClass>(c))), c);
  }
  EXPECT_STREQ(DidlClassName(static_cast<ObjectClass>(0)), "object.item");
  EXPECT_STREQ(DidlClassName(static_cast<ObjectClass>(99)), "object.item");
  // Names other servers write: item markers win, letter case counts.
  EXPECT_EQ(ClassFromName("object.container.storageFolder"), kClassContainer);
  EXPECT_EQ(ClassFromName("object.item.audioItem.musicTrack"), kClassAudio);
  EXPECT_EQ(ClassFromName("object.container.videoItem"), kClassVideo);
  EXPECT_EQ(ClassFromName("object.item.VideoItem"), kClassOther);
  EXPECT_EQ(ClassFromName(nullptr), kClassOther);
}

// ---- DIDL-Lite writer ----------------------------------------------------------

const std::string kOpen =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
    "xmlns:z=\"urn:zarn-extension\">";
const std::string kClose = "</DIDL-Lite>";
const std::string kTail = "<upnp:writeStatus>NOT_WRITABLE</upnp:writeStatus>";

std::string Print(const MediaObject& obj) { return WriteDidl({obj}); }

// What a client reads back: "id|title" of the first object.
std::string Reparse(const std::string& text) {
  IxmlDocument doc(ixmlParseBuffer(text.c_str()));
  if (!doc) return "<does not parse>";
  auto first = [&](const char* tag) {
    IxmlNodeList list(ixmlDocument_getElementsByTagName(doc.get(), tag));
    return list ? ixmlNodeList_item(list.get(), 0) : nullptr;  // the node stays in the document
  };
  IXML_Node* object = first("item") ? first("item") : first("container");
  const char* id = object ? ixmlElement_getAttribute(reinterpret_cast<IXML_Element*>(object), "id") : nullptr;
  IXML_Node* title = first("dc:title") ? ixmlNode_getFirstChild(first("dc:title")) : nullptr;
  return std::string(id ? id : "") + "|" + (title ? ixmlNode_getNodeValue(title) : "");
}

MediaObject Item(ObjectClass cls, const std::string& title) {
  const std::string mime = MimeTypeFor(cls == kClassAudio ? "a.mp3" : "a.mkv", nullptr);
  return {"0$1$7", "0$1", title, "http://192.168.1.2:8200/f/7", "http-get:*:" + mime + ":*", "", "", 0, true, cls};
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Didl, APageIsTheRootAroundEachObjectInOrder) {
  EXPECT_EQ(WriteDidl({}), kOpen + kClose);  // declares every namespace
  auto alone = [](const MediaObject& o) {
    std::string text;
    AppendDidlObject(o, &text);
    return text;
  };
  const MediaObject a = Item(kClassVideo, "a"), b = Item(kClassAudio, "b");
  EXPECT_EQ(WriteDidl({a, b}), kOpen + alone(a) + alone(b) + kClose);
}

TEST(Didl, ContainerPutsChildCountBeforeId) {
  MediaObject c{"0$1", "0", "Music", "", "", "", "", 0, true, kClassContainer};
  EXPECT_EQ(Print(c), kOpen +
                          "<container childCount=\"0\" id=\"0$1\" restricted=\"1\" searchable=\"0\" parentID=\"0\">"
                          "<upnp:class>object.container</upnp:class><dc:title>Music</dc:title>" +
                          kTail + "</container>" + kClose);
  c.childCount = 4000000000u;
  c.restricted = false;
  EXPECT_TRUE(Has(Print(c), "<container childCount=\"4000000000\" id=\"0$1\" restricted=\"0\""));
  c.parentID.clear();  // the root: no parentID at all
  EXPECT_FALSE(Has(Print(c), "parentID"));
}

TEST(Didl, VideoItemWithFullDateGivesStartTimeThenDay) {
  MediaObject v = Item(kClassVideo, "Holiday");
  v.date = "2014-03-05T10:20:30";
  v.album = "ignored for video";
  EXPECT_EQ(Print(v), kOpen +
                          "<item id=\"0$1$7\" restricted=\"1\" searchable=\"0\" parentID=\"0$1\">"
                          "<res protocolInfo=\"http-get:*:video/x-matroska:*\">http://192.168.1.2:8200/f/7</res>"
                          "<upnp:class>object.item.videoItem</upnp:class>"
                          "<upnp:scheduledStartTime>2014-03-05T10:20:30</upnp:scheduledStartTime>"
                          "<dc:date>2014-03-05</dc:date><dc:title>Holiday</dc:title>" +
                          kTail + "</item>" + kClose);
  v.parentID.clear();
  EXPECT_FALSE(Has(Print(v), "parentID"));
}

TEST(Didl, AudioItemAlbumComesBeforeClassAndDefaultsToNoname) {
  MediaObject a = Item(kClassAudio, "Song");
  const std::string head = kOpen +
                           "<item id=\"0$1$7\" restricted=\"1\" searchable=\"0\" parentID=\"0$1\">"
                           "<res protocolInfo=\"http-get:*:audio/mpeg:*\">http://192.168.1.2:8200/f/7</res>";
  const std::string rest = "<upnp:class>object.item.audioItem</upnp:class><dc:title>Song</dc:title>" + kTail +
                           "</item>" + kClose;
  EXPECT_EQ(Print(a), head + "<upnp:album>noname</upnp:album>" + rest);
  a.album = "Blue";
  EXPECT_EQ(Print(a), head + "<upnp:album>Blue</upnp:album>" + rest);
}

TEST(Didl, OtherClassesAndADateWithoutTime) {
  MediaObject i = Item(kClassImage, "Pic");
  i.date = "2014-03-05";  // gives the day, then midnight as start time
  i.restricted = false;
  i.protocolInfo.clear();
  EXPECT_TRUE(Has(Print(i), "<item id=\"0$1$7\" restricted=\"0\" searchable=\"0\" parentID=\"0$1\">"
                            "<res protocolInfo=\"http-get:*:application/octet-stream:*\">http://192.168.1.2:8200/f/7</res>"
                            "<upnp:class>object.item.imageItem</upnp:class><dc:date>2014-03-05</dc:date>"
                            "<upnp:scheduledStartTime>2014-03-05T00:00:00</upnp:scheduledStartTime><dc:title>Pic<"));
  const std::string other = Print(Item(kClassOther, "o"));
  EXPECT_TRUE(Has(other, "<upnp:class>object.item</upnp:class>"));
  EXPECT_FALSE(Has(other, "upnp:album"));
  EXPECT_FALSE(Has(other, "dc:date"));
  EXPECT_TRUE(Has(Print(Item(kClassText, "t")), "<upnp:class>object.item.textItem</upnp:class>"));
}

// ---- text content ------------------------------------------------------------------

TEST(DidlText, MarkupAndNonAsciiAreWrittenAsTextNotAsMarkup) {
  MediaObject v = Item(kClassVideo, "Tom & Jerry <\"best\"> 'ever'");
  v.id = "a&b<c>\"d'e";
  std::string text = Print(v);
  EXPECT_TRUE(Has(text, "id=\"a&amp;b&lt;c&gt;&quot;d&apos;e\"")) << text;
  EXPECT_TRUE(Has(text, "<dc:title>Tom &amp; Jerry &lt;&quot;best&quot;&gt; &apos;ever&apos;</dc:title>")) << text;
  const std::string title = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80 caf\xC3\xA9";
  text = Print(Item(kClassVideo, title));
  EXPECT_TRUE(Has(text, "<dc:title>" + title + "</dc:title>"));  // kept as UTF-8, not as references
}

// Whatever a file name holds, the document parses and reads back as below.
TEST(DidlText, ReadBackAfterCleaning) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    std::string id, title, readId, readTitle;
  } cases[] = {
      {"a&b<c>\"d'e", "Tom & Jerry <\"best\"> 'ever'", "a&b<c>\"d'e", "Tom & Jerry <\"best\"> 'ever'"},
      {"0$\xE2\x82\xAC", "\xD0\x9F \xF0\x9F\x98\x80", "0$\xE2\x82\xAC", "\xD0\x9F \xF0\x9F\x98\x80"},
      {"0$\x02" "7", "a\x01" "b\x1F" "c\x1B[0m", "0$7", "abc[0m"},  // control characters are dropped
      {"x", "one\ttwo\r\nthree", "x", "one\ttwo\r\nthree"},
      {"x", "caf\xE9", "x", "caf" + fffd},                          // Latin-1 file name
      {"x", "x\xC0\xAFy", "x", "x" + fffd + fffd + "y"},            // overlong '/'
      {"x", "\xED\xA0\x80", "x", fffd + fffd + fffd},               // surrogate
      {"x", "\xEF\xBF\xBE", "x", fffd + fffd + fffd},               // U+FFFE
      {"x", "\xF4\x90\x80\x80", "x", fffd + fffd + fffd + fffd},   // above U+10FFFF
      {"x", "end\xE2\x82", "x", "end" + fffd + fffd},               // truncated sequence
  };
  for (const auto& c : cases) {
    MediaObject v = Item(kClassVideo, c.title);
    v.id = c.id;
    v.res += "\x7F";  // DEL is allowed in XML and kept
    const std::string text = Print(v);
    EXPECT_EQ(Reparse(text), c.readId + "|" + c.readTitle) << text;
  }
}

}  // namespace
}  // namespace tovaly
