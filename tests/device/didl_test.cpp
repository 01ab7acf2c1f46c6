#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "device/didl.h"
#include "device/ixml_util.h"
#include "device/media_types.h"

namespace tovaly {
namespace {

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
    ASSERT_TRUE(row.objectClass >= kClassVideo && row.objectClass <= kClassText) << row.extension;
    for (const std::string& name : {lower, upper}) {
      EXPECT_EQ(Lookup(name.c_str()), row.mime + ("|" + std::to_string(row.objectClass))) << name;
    }
  }
}

TEST(MediaTypes, ExtensionLookupsAndClassNames) {
  EXPECT_EQ(Lookup("/srv/media/Films (2014)/a.b.c.avi"), "video/x-msvideo|2");
  for (const char* name : {"README", "archive.tar.gz", "/srv/my.videos/README", "file.", "", "x.mkv2", "x.mk"}) {
    EXPECT_EQ(Lookup(name), "application/octet-stream|6") << name;
  }
  EXPECT_STREQ(MimeTypeFor(nullptr, nullptr), "application/octet-stream");

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

const std::string kOpen =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
    "xmlns:z=\"urn:zarn-extension\">";
const std::string kClose = "</DIDL-Lite>";

MediaObject Item(ObjectClass cls, const std::string& title) {
  const std::string mime = cls == kClassAudio ? "audio/mpeg" : "video/x-matroska";
  return {"0$1$7", "0$1", title, "http://192.168.1.2:8200/f/7", "http-get:*:" + mime + ":*", "", "", 0, true, cls};
}

TEST(Didl, EachObjectWithItsAttributesAndElementsInOrder) {
  EXPECT_EQ(WriteDidl({}), kOpen + kClose);  // declares every namespace
  MediaObject folder{"0$1", "0", "Music", "", "", "", "", 0, true, kClassContainer}, root = folder;
  root.childCount = 4000000000u;
  root.restricted = false;
  root.parentID.clear();  // the root: no parentID at all
  MediaObject video = Item(kClassVideo, "Holiday"), audio = Item(kClassAudio, "Song"), blue = audio;
  video.date = "2014-03-05T10:20:30";  // gives start time, then day
  video.album = "ignored for video";
  blue.album = "Blue";
  MediaObject image = Item(kClassImage, "Pic");
  image.date = "2014-03-05";  // gives the day, then midnight as start time
  image.restricted = false;
  image.protocolInfo.clear();
  image.parentID.clear();
  const std::string item = "<item id=\"0$1$7\" restricted=\"1\" searchable=\"0\" parentID=\"0$1\">",
                    mkv = "<res protocolInfo=\"http-get:*:video/x-matroska:*\">http://192.168.1.2:8200/f/7</res>",
                    mp3 = "<res protocolInfo=\"http-get:*:audio/mpeg:*\">http://192.168.1.2:8200/f/7</res>",
                    tail = "<upnp:writeStatus>NOT_WRITABLE</upnp:writeStatus>";
  const std::pair<MediaObject, std::string> cases[] = {
      {folder, "<container childCount=\"0\" id=\"0$1\" restricted=\"1\" searchable=\"0\" parentID=\"0\">"
               "<upnp:class>object.container</upnp:class><dc:title>Music</dc:title>" + tail + "</container>"},
      {root, "<container childCount=\"4000000000\" id=\"0$1\" restricted=\"0\" searchable=\"0\">"
             "<upnp:class>object.container</upnp:class><dc:title>Music</dc:title>" + tail + "</container>"},
      {video, item + mkv + "<upnp:class>object.item.videoItem</upnp:class><upnp:scheduledStartTime>"
                  "2014-03-05T10:20:30</upnp:scheduledStartTime><dc:date>2014-03-05</dc:date>"
                  "<dc:title>Holiday</dc:title>" + tail + "</item>"},
      {audio, item + mp3 + "<upnp:album>noname</upnp:album><upnp:class>object.item.audioItem</upnp:class>"
                  "<dc:title>Song</dc:title>" + tail + "</item>"},
      {blue, item + mp3 + "<upnp:album>Blue</upnp:album><upnp:class>object.item.audioItem</upnp:class>"
                 "<dc:title>Song</dc:title>" + tail + "</item>"},
      {image, "<item id=\"0$1$7\" restricted=\"0\" searchable=\"0\"><res protocolInfo=\"http-get:*:"
              "application/octet-stream:*\">http://192.168.1.2:8200/f/7</res><upnp:class>object.item.imageItem"
              "</upnp:class><dc:date>2014-03-05</dc:date><upnp:scheduledStartTime>2014-03-05T00:00:00"
              "</upnp:scheduledStartTime><dc:title>Pic</dc:title>" + tail + "</item>"},
      {Item(kClassOther, "o"), item + mkv + "<upnp:class>object.item</upnp:class><dc:title>o</dc:title>" + tail +
                                   "</item>"},
      {Item(kClassText, "t"), item + mkv + "<upnp:class>object.item.textItem</upnp:class><dc:title>t</dc:title>" +
                                  tail + "</item>"},
  };
  std::vector<MediaObject> all;
  std::string page;
  for (const auto& c : cases) {
    EXPECT_EQ(WriteDidl({c.first}), kOpen + c.second + kClose);
    all.push_back(c.first);
    page += c.second;
  }
  EXPECT_EQ(WriteDidl(all), kOpen + page + kClose);
}

// What a client reads back: "id|title" of the first object.
std::string Reparse(const std::string& text) {
  IxmlDocument doc(ixmlParseBuffer(text.c_str()));
  if (!doc) return "<does not parse>";
  auto first = [&](const char* tag) {
    IxmlNodeList list(ixmlDocument_getElementsByTagName(doc.get(), tag));
    return list ? ixmlNodeList_item(list.get(), 0) : nullptr;  // the node stays in the document
  };
  IXML_Node* item = first("item");
  const char* id = item ? ixmlElement_getAttribute(reinterpret_cast<IXML_Element*>(item), "id") : nullptr;
  IXML_Node* title = first("dc:title") ? ixmlNode_getFirstChild(first("dc:title")) : nullptr;
  return std::string(id ? id : "") + "|" + (title ? ixmlNode_getNodeValue(title) : "");
}

// Whatever a file name holds, the document parses and reads back as below.
TEST(DidlText, ReadBackAfterCleaning) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct { std::string id, title, readId, readTitle; } cases[] = {
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
    const std::string text = WriteDidl({v});
    EXPECT_EQ(Reparse(text), c.readId + "|" + c.readTitle) << text;
  }
  const std::string utf8 = "\xD0\x9F \xF0\x9F\x98\x80 caf\xC3\xA9";  // kept as it is, not as references
  EXPECT_NE(WriteDidl({Item(kClassVideo, utf8)}).find("<dc:title>" + utf8 + "</dc:title>"), std::string::npos);
}

}  // namespace
}  // namespace tovaly
