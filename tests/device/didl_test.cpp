#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/trace.h"
#include "device/didl.h"
#include "device/ixml_util.h"
#include "device/media_types.h"

namespace tovaly {
namespace {

// ---- media types -------------------------------------------------------------

struct Lookup {
  std::string mime;
  int cls;
};

Lookup Look(const char* name) {
  ObjectClass cls = kClassContainer;  // must be overwritten
  const char* mime = MimeTypeFor(name, &cls);
  return {mime ? mime : "(null)", cls};
}

TEST(MediaTypes, TableHas143RowsWithDistinctHashesPerClass) {
  const auto& table = MimeTable();
  ASSERT_EQ(table.size(), 143u);
  std::set<uint32_t> hashes;
  std::set<std::string> extensions;
  int perClass[7] = {};
  for (const MimeRow& row : table) {
    hashes.insert(StringHash(row.extension));
    extensions.insert(row.extension);
    ASSERT_GE(row.objectClass, kClassVideo) << row.extension;
    ASSERT_LE(row.objectClass, kClassText) << row.extension;
    ++perClass[row.objectClass];
    for (const char* p = row.extension; *p; ++p) EXPECT_FALSE(*p >= 'A' && *p <= 'Z') << row.extension;
  }
  EXPECT_EQ(hashes.size(), 143u);
  EXPECT_EQ(extensions.size(), 143u);
  EXPECT_EQ(perClass[kClassVideo], 51);
  EXPECT_EQ(perClass[kClassAudio], 38);
  EXPECT_EQ(perClass[kClassImage], 31);
  EXPECT_EQ(perClass[kClassText], 23);
}

TEST(MediaTypes, EveryRowIsFoundThroughTheIndexInEitherCase) {
  for (const MimeRow& row : MimeTable()) {
    std::string lower = std::string("file.") + row.extension, upper = lower;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    for (const std::string& name : {lower, upper}) {
      const Lookup l = Look(name.c_str());
      EXPECT_EQ(l.mime, row.mime) << name;
      EXPECT_EQ(l.cls, row.objectClass) << name;
    }
  }
}

TEST(MediaTypes, SpotChecks) {
  const struct {
    const char* name;
    const char* mime;
    int cls;
  } cases[] = {
      {"movie.MKV", "video/x-matroska", 2},
      {"song.MP3", "audio/mpeg", 3},
      {"clip.ogg", "application/ogg", 2},
      {"drawing.svg", "image/svg-xml", 4},
      {"photo.jfif", "image/pipeg", 4},
      {"track.ape", "audio/apl", 3},
      {"track.m4a", "application/mp4", 3},
      {"stream.ismv", "application/mp4", 2},
      {"rec.m2ts", "video/x-mpegts", 2},
      {"subs.srt", "application/x-subrip", 5},
      {"notes.323", "text/h323", 5},
      {"/srv/media/Films (2014)/a.b.c.avi", "video/x-msvideo", 2},
  };
  for (const auto& c : cases) {
    const Lookup l = Look(c.name);
    EXPECT_EQ(l.mime, c.mime) << c.name;
    EXPECT_EQ(l.cls, c.cls) << c.name;
  }
}

TEST(MediaTypes, UnknownOrMissingExtensionIsOctetStreamOther) {
  for (const char* name : {"README", "archive.tar.gz", "/srv/my.videos/README", "file.", ".", "", "mkv", "x.mkv2",
                           "x.mk"}) {
    const Lookup l = Look(name);
    EXPECT_EQ(l.mime, "application/octet-stream") << name;
    EXPECT_EQ(l.cls, kClassOther) << name;
  }
  EXPECT_STREQ(MimeTypeFor(nullptr, nullptr), "application/octet-stream");
  EXPECT_STREQ(MimeTypeFor("a.png", nullptr), "image/png");
}

TEST(MediaTypes, DidlClassNames) {
  EXPECT_STREQ(DidlClassName(kClassContainer), "object.container");
  EXPECT_STREQ(DidlClassName(kClassVideo), "object.item.videoItem");
  EXPECT_STREQ(DidlClassName(kClassAudio), "object.item.audioItem");
  EXPECT_STREQ(DidlClassName(kClassImage), "object.item.imageItem");
  EXPECT_STREQ(DidlClassName(kClassText), "object.item.textItem");
  EXPECT_STREQ(DidlClassName(kClassOther), "object.item");
  EXPECT_STREQ(DidlClassName(static_cast<ObjectClass>(0)), "object.item");
  EXPECT_STREQ(DidlClassName(static_cast<ObjectClass>(99)), "object.item");
}

TEST(MediaTypes, ClassFromName) {
  EXPECT_EQ(ClassFromName("object.container.storageFolder"), kClassContainer);
  EXPECT_EQ(ClassFromName("object.item.audioItem.musicTrack"), kClassAudio);
  EXPECT_EQ(ClassFromName("object.item.videoItem.movie"), kClassVideo);
  EXPECT_EQ(ClassFromName("object.item.imageItem.photo"), kClassImage);
  EXPECT_EQ(ClassFromName("object.item.textItem"), kClassText);
  EXPECT_EQ(ClassFromName(nullptr), kClassOther);
  EXPECT_EQ(ClassFromName("x"), kClassOther);
  EXPECT_EQ(ClassFromName("object.item"), kClassOther);
  EXPECT_EQ(ClassFromName("object.item.VideoItem"), kClassOther);  // case-sensitive
  EXPECT_EQ(ClassFromName("object.container.videoItem"), kClassVideo);  // item markers win
  for (int c = kClassContainer; c <= kClassOther; ++c)
    EXPECT_EQ(ClassFromName(DidlClassName(static_cast<ObjectClass>(c))), c);
}

// ---- DIDL-Lite writer ----------------------------------------------------------

const std::string kOpen =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
    "xmlns:z=\"urn:zarn-extension\">";
const std::string kClose = "</DIDL-Lite>";
const std::string kTail = "<upnp:writeStatus>NOT_WRITABLE</upnp:writeStatus>";

IXML_Node* AsNode(IXML_Element* e) { return reinterpret_cast<IXML_Node*>(e); }

std::string Print(const std::vector<MediaObject>& objects) {
  IxmlDocument doc(ixmlDocument_createDocument());
  IXML_Element* root = CreateDidlRoot(doc.get());
  for (const MediaObject& obj : objects) ixmlNode_appendChild(AsNode(root), AsNode(CreateDidlObject(doc.get(), obj)));
  return PrintDidl(doc.get());
}
std::string Print(const MediaObject& obj) { return Print(std::vector<MediaObject>{obj}); }

// What a client reads back: the first object's id and title.
struct Parsed {
  bool ok = false;
  std::string id, title;
};
Parsed Reparse(const std::string& text) {
  Parsed p;
  IxmlDocument doc(ixmlParseBuffer(text.c_str()));
  if (!doc) return p;
  p.ok = true;
  IxmlNodeList items(ixmlDocument_getElementsByTagName(doc.get(), "item"));
  if (!items) items.reset(ixmlDocument_getElementsByTagName(doc.get(), "container"));
  if (IXML_Node* item = items ? ixmlNodeList_item(items.get(), 0) : nullptr) {
    const char* id = ixmlElement_getAttribute(reinterpret_cast<IXML_Element*>(item), "id");
    p.id = id ? id : "";
  }
  IxmlNodeList titles(ixmlDocument_getElementsByTagName(doc.get(), "dc:title"));
  IXML_Node* title = titles ? ixmlNodeList_item(titles.get(), 0) : nullptr;
  IXML_Node* text_node = title ? ixmlNode_getFirstChild(title) : nullptr;
  if (text_node && ixmlNode_getNodeValue(text_node)) p.title = ixmlNode_getNodeValue(text_node);
  return p;
}

MediaObject Item(ObjectClass cls, const std::string& title) {
  MediaObject o;
  o.objectClass = cls;
  o.id = "0$1$7";
  o.parentID = "0$1";
  o.title = title;
  o.res = "http://192.168.1.2:8200/f/7";
  o.protocolInfo = std::string("http-get:*:") + MimeTypeFor(cls == kClassAudio ? "a.mp3" : "a.mkv", nullptr) + ":*";
  return o;
}

TEST(Didl, RootAloneIsAppendedAndDeclaresAllNamespaces) {
  IxmlDocument doc(ixmlDocument_createDocument());
  IXML_Element* root = CreateDidlRoot(doc.get());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(doc.get())), AsNode(root));
  EXPECT_EQ(PrintDidl(doc.get()), kOpen + kClose);
}

TEST(Didl, ObjectIsNotAppendedByCreate) {
  IxmlDocument doc(ixmlDocument_createDocument());
  IXML_Element* root = CreateDidlRoot(doc.get());
  IXML_Element* obj = CreateDidlObject(doc.get(), Item(kClassVideo, "x"));
  ASSERT_NE(obj, nullptr);
  EXPECT_EQ(ixmlNode_getParentNode(AsNode(obj)), nullptr);
  EXPECT_EQ(ixmlNode_getFirstChild(AsNode(root)), nullptr);
  ixmlNode_free(AsNode(obj));
}

TEST(Didl, ContainerPutsChildCountBeforeId) {
  MediaObject c;
  c.objectClass = kClassContainer;
  c.id = "0$1";
  c.parentID = "0";
  c.title = "Music";
  EXPECT_EQ(Print(c), kOpen +
                          "<container childCount=\"0\" id=\"0$1\" restricted=\"1\" searchable=\"0\" parentID=\"0\">"
                          "<upnp:class>object.container</upnp:class><dc:title>Music</dc:title>" +
                          kTail + "</container>" + kClose);
  c.childCount = 4000000000u;
  c.restricted = false;
  EXPECT_NE(Print(c).find("<container childCount=\"4000000000\" id=\"0$1\" restricted=\"0\""), std::string::npos);
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
}

TEST(Didl, DateWithoutTimeGivesDayThenMidnight) {
  MediaObject i = Item(kClassImage, "Pic");
  i.date = "2014-03-05";
  i.restricted = false;
  i.protocolInfo.clear();
  EXPECT_EQ(Print(i), kOpen +
                          "<item id=\"0$1$7\" restricted=\"0\" searchable=\"0\" parentID=\"0$1\">"
                          "<res protocolInfo=\"http-get:*:application/octet-stream:*\">http://192.168.1.2:8200/f/7</res>"
                          "<upnp:class>object.item.imageItem</upnp:class>"
                          "<dc:date>2014-03-05</dc:date>"
                          "<upnp:scheduledStartTime>2014-03-05T00:00:00</upnp:scheduledStartTime>"
                          "<dc:title>Pic</dc:title>" +
                          kTail + "</item>" + kClose);
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

TEST(Didl, OtherAndTextClassesAndNoAlbumOutsideAudio) {
  const std::string other = Print(Item(kClassOther, "o"));
  EXPECT_NE(other.find("<upnp:class>object.item</upnp:class>"), std::string::npos);
  EXPECT_EQ(other.find("upnp:album"), std::string::npos);
  EXPECT_EQ(other.find("dc:date"), std::string::npos);
  EXPECT_NE(Print(Item(kClassText, "t")).find("<upnp:class>object.item.textItem</upnp:class>"), std::string::npos);
}

TEST(Didl, EmptyParentIdIsOmitted) {
  MediaObject root;
  root.objectClass = kClassContainer;
  root.id = "0";
  root.childCount = 2;
  const std::string text = Print(root);
  EXPECT_EQ(text.find("parentID"), std::string::npos);
  EXPECT_NE(text.find("<container childCount=\"2\" id=\"0\" restricted=\"1\" searchable=\"0\">"), std::string::npos);
  MediaObject item = Item(kClassVideo, "v");
  item.parentID.clear();
  EXPECT_EQ(Print(item).find("parentID"), std::string::npos);
}

TEST(Didl, SeveralObjectsPrintInOrderWithoutLineBreaks) {
  MediaObject c;
  c.objectClass = kClassContainer;
  c.id = "0$1";
  const std::string text = Print({c, Item(kClassVideo, "a"), Item(kClassAudio, "b")});
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  const size_t container = text.find("<container "), first = text.find("<dc:title>a<"),
               second = text.find("<dc:title>b<");
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(container, first);
  EXPECT_LT(first, second);
  EXPECT_TRUE(Reparse(text).ok);
}

// ---- text content ------------------------------------------------------------------

TEST(DidlText, MarkupCharactersAreEscapedAndReadBack) {
  MediaObject v = Item(kClassVideo, "Tom & Jerry <\"best\"> 'ever'");
  v.id = "a&b<c>\"d'e";
  const std::string text = Print(v);
  EXPECT_NE(text.find("id=\"a&amp;b&lt;c&gt;&quot;d&apos;e\""), std::string::npos) << text;
  EXPECT_NE(text.find("<dc:title>Tom &amp; Jerry &lt;&quot;best&quot;&gt; &apos;ever&apos;</dc:title>"),
            std::string::npos)
      << text;
  const Parsed p = Reparse(text);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.id, v.id);
  EXPECT_EQ(p.title, v.title);
}

TEST(DidlText, NonAsciiUtf8IsKeptIntact) {
  const std::string title = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80 caf\xC3\xA9";
  MediaObject v = Item(kClassVideo, title);
  v.id = "0$\xE2\x82\xAC";
  const std::string text = Print(v);
  EXPECT_NE(text.find("<dc:title>" + title + "</dc:title>"), std::string::npos);
  const Parsed p = Reparse(text);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.title, title);
  EXPECT_EQ(p.id, v.id);
}

TEST(DidlText, ControlCharactersAreDroppedSoTheDocumentParses) {
  MediaObject v = Item(kClassVideo, std::string("a\x01" "b\x1F" "c\x1B[0m"));
  v.id = std::string("0$\x02" "7");
  v.res += "\x7F";  // DEL is allowed in XML and kept
  const std::string text = Print(v);
  const Parsed p = Reparse(text);
  ASSERT_TRUE(p.ok) << text;
  EXPECT_EQ(p.title, "abc[0m");
  EXPECT_EQ(p.id, "0$7");
}

TEST(DidlText, LineBreaksInsideTextSurvivePrinting) {
  const Parsed p = Reparse(Print(Item(kClassVideo, "one\ttwo\r\nthree")));
  ASSERT_TRUE(p.ok);
  // Only CRLF between tags is removed by the printer, never inside a text.
  EXPECT_EQ(p.title, "one\ttwo\r\nthree");
}

TEST(DidlText, InvalidUtf8BecomesReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    std::string in, out;
  } cases[] = {
      {"caf\xE9", "caf" + fffd},                  // Latin-1 file name
      {"x\xC0\xAFy", "x" + fffd + fffd + "y"},    // overlong '/'
      {"\xED\xA0\x80", fffd + fffd + fffd},       // surrogate
      {"\xEF\xBF\xBE", fffd + fffd + fffd},       // U+FFFE
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"end\xE2\x82", "end" + fffd + fffd},       // truncated sequence
  };
  for (const auto& c : cases) {
    const std::string text = Print(Item(kClassVideo, c.in));
    const Parsed p = Reparse(text);
    ASSERT_TRUE(p.ok) << text;
    EXPECT_EQ(p.title, c.out);
  }
}

}  // namespace
}  // namespace tovaly
