#include <gtest/gtest.h>

#include <string>

#include "upnp/didl.h"
#include "upnp/ixml_util.h"

namespace tovaly {
namespace {

TEST(Didl, ClassNamesBothWays) {
  for (int c = kClassContainer; c <= kClassOther; ++c) {
    EXPECT_EQ(ClassFromName(DidlClassName(static_cast<ObjectClass>(c))), c);
  }
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
    "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\" xmlns:sec=\"http://www.sec.co.kr/dlna\" "
    "xmlns:z=\"urn:zarn-extension\">";
const std::string kClose = "</DIDL-Lite>";

MediaObject Object(const std::string& id, const std::string& parent, const std::string& title, ObjectClass cls,
                   const std::string& res = "", const std::string& protocolInfo = "", uint32_t childCount = 0) {
  MediaObject o;
  o.id = id;
  o.parentID = parent;
  o.title = title;
  o.objectClass = cls;
  o.res = res;
  o.protocolInfo = protocolInfo;
  o.childCount = childCount;
  return o;
}

MediaObject Item(ObjectClass cls, const std::string& title) {
  const std::string mime = cls == kClassAudio ? "audio/mpeg" : "video/x-matroska";
  return Object("0$1$7", "0$1", title, cls, "http://192.168.1.2:8200/f/7", "http-get:*:" + mime + ":*");
}

TEST(Didl, EachObjectWithItsAttributesAndElementsInOrder) {
  EXPECT_EQ(WriteDidl({}), kOpen + kClose);  // declares every namespace
  MediaObject folder = Object("0$1", "0", "Music", kClassContainer), root = folder;
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
  for (const auto& c : cases) EXPECT_EQ(WriteDidl({c.first}), kOpen + c.second + kClose);
}

// What the metadata adds, in the forms clients read: res attributes, the
// profile in protocolInfo, the song's elements and its art, a video's
// thumbnail and subtitles (as a res and in Samsung's element).
TEST(Didl, WhatTheMetadataSays) {
  MediaObject song = Item(kClassAudio, "First Track");
  song.size = 240220;
  song.durationMs = 60012;
  song.bitrate = 16000;
  song.sampleRate = 32000;
  song.channels = 1;
  song.dlnaProfile = "MP3";
  song.artist = "Sample Artist";
  song.album = "Album One";
  song.genre = "Test";
  song.track = 1;
  song.musicTrack = true;
  song.date = "2020-01-01T00:00:00";
  song.artUrl = "http://h:2/art/a.mp3";
  EXPECT_EQ(WriteDidl({song}),
            kOpen +
                "<item id=\"0$1$7\" restricted=\"1\" searchable=\"0\" parentID=\"0$1\"><res size=\"240220\" "
                "duration=\"0:01:00.012\" bitrate=\"16000\" sampleFrequency=\"32000\" nrAudioChannels=\"1\" "
                "protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                "DLNA.ORG_FLAGS=01700000000000000000000000000000\">http://192.168.1.2:8200/f/7</res>"
                "<upnp:album>Album One</upnp:album><upnp:class>object.item.audioItem.musicTrack</upnp:class>"
                "<upnp:scheduledStartTime>2020-01-01T00:00:00</upnp:scheduledStartTime><dc:date>2020-01-01</dc:date>"
                "<dc:title>First Track</dc:title><upnp:writeStatus>NOT_WRITABLE</upnp:writeStatus>"
                "<upnp:artist>Sample Artist</upnp:artist><dc:creator>Sample Artist</dc:creator>"
                "<upnp:genre>Test</upnp:genre><upnp:originalTrackNumber>1</upnp:originalTrackNumber>"
                "<upnp:albumArtURI dlna:profileID=\"JPEG_TN\">http://h:2/art/a.mp3</upnp:albumArtURI></item>" +
                kClose);
  MediaObject clip = Item(kClassVideo, "clip.mkv");
  clip.durationMs = 3723004;
  clip.width = 1280;
  clip.height = 720;
  clip.artUrl = "http://h:2/art/clip.mkv";
  clip.subtitles = {{"http://h:2/media/clip.srt", "srt", "text/srt"}};
  const std::string text = WriteDidl({clip});
  for (const char* part :
       {"<res duration=\"1:02:03.004\" resolution=\"1280x720\" protocolInfo=\"http-get:*:video/x-matroska:*\">",
        "<res protocolInfo=\"http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01;DLNA.ORG_CI=1;DLNA.ORG_FLAGS="
        "00F00000000000000000000000000000\">http://h:2/art/clip.mkv</res>",
        "<res protocolInfo=\"http-get:*:text/srt:*\">http://h:2/media/clip.srt</res>",
        "<sec:CaptionInfoEx sec:type=\"srt\">http://h:2/media/clip.srt</sec:CaptionInfoEx>",
        "<upnp:class>object.item.videoItem</upnp:class>"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
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
    const std::vector<DidlEntry> read = ReadDidl(text.c_str());
    EXPECT_EQ(read.empty() ? "<unread>" : read[0].id + "|" + read[0].title, c.readId + "|" + c.readTitle) << text;
  }
  const std::string utf8 = "\xD0\x9F \xF0\x9F\x98\x80 caf\xC3\xA9";  // kept as it is, not as references
  EXPECT_NE(WriteDidl({Item(kClassVideo, utf8)}).find("<dc:title>" + utf8 + "</dc:title>"), std::string::npos);
}

// Each entry as "C|id|title" or "I|id|title|url|class|duration|date|protocolInfo".
std::vector<std::string> Show(const std::vector<DidlEntry>& entries) {
  std::vector<std::string> shown;
  for (const DidlEntry& e : entries) {
    shown.push_back(e.container ? "C|" + e.id + "|" + e.title
                                : "I|" + e.id + "|" + e.title + "|" + e.url + "|" + std::to_string(e.objectClass) +
                                      "|" + std::to_string(e.duration) + "|" + e.date + "|" +
                                      (e.hasProtocolInfo ? e.protocolInfo : "<none>"));
  }
  return shown;
}

TEST(DidlReader, DocumentsOfOtherServers) {
  // Size and duration on res, a music track, a date without time, a
  // container with its own class.
  const char* other =
      "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
      "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\">"
      "<container id=\"64$0\" parentID=\"64\" restricted=\"1\" childCount=\"3\"><dc:title>Albums</dc:title>"
      "<upnp:class>object.container.storageFolder</upnp:class></container>"
      "<item id=\"64$1\" parentID=\"64\" restricted=\"1\"><dc:title>Song &amp; Dance</dc:title>"
      "<upnp:class>object.item.audioItem.musicTrack</upnp:class><dc:date>2011-05-04</dc:date>"
      "<res size=\"3000\" duration=\"0:03:25.500\" protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3\">"
      "http://192.0.2.7:8200/MediaItems/1.mp3</res></item>"
      "<item id=\"64$2\"><dc:title>Clip</dc:title><res duration=\"1:00:00\">http://192.0.2.7/2.mp4</res>"
      "<upnp:scheduledStartTime>2010-01-02T03:04:05</upnp:scheduledStartTime><dc:date>2009-09-09</dc:date></item>"
      "<item id=\"64$3\"><dc:title>NoDate</dc:title><res duration=\"\">http://192.0.2.7/3</res></item>"
      "<item id=\"64$4\"><dc:title>BadDuration</dc:title><res duration=\"n/a\">http://192.0.2.7/4</res></item>"
      "<item id=\"64$5\"><dc:title>no res</dc:title></item>"
      "<item><dc:title>no id</dc:title><res>http://x/</res></item>"
      "<item id=\"64$6\"><res>http://192.0.2.7/6</res></item>"
      "<item id=\"64$7\"><d:title xmlns:d=\"http://purl.org/dc/elements/1.1/\">other prefix</d:title>"
      "<res>http://192.0.2.7/7</res></item>"
      "</DIDL-Lite>";
  bool ok = false;
  // No res, no id, no title (or one under another prefix): left out. No
  // class is a video, ".500" half a second, a missing date 2012-01-01.
  EXPECT_EQ(Show(ReadDidl(other, &ok)),
            (std::vector<std::string>{"C|64$0|Albums",
                     "I|64$1|Song & Dance|http://192.0.2.7:8200/MediaItems/1.mp3|3|205500000|2011-05-04T00:00:00|"
                     "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3",
                     "I|64$2|Clip|http://192.0.2.7/2.mp4|2|3600000000|2010-01-02T03:04:05|<none>",
                     "I|64$3|NoDate|http://192.0.2.7/3|2|0|2012-01-01T00:00:00|<none>",
                     "I|64$4|BadDuration|http://192.0.2.7/4|2|-1|2012-01-01T00:00:00|<none>"}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(ParseDidlDuration("0:00:01.25"), 1250000);
  EXPECT_EQ(ParseDidlDuration("123:00:00"), 442800000000);  // hours of more than two digits
}

// What the metadata of each entry says, as
// "artist|album|genre|track|art|size|bitrate|WxH|subtitle".
std::vector<std::string> Facts(const std::vector<DidlEntry>& entries) {
  std::vector<std::string> shown;
  for (const DidlEntry& e : entries) {
    shown.push_back(e.artist + "|" + e.album + "|" + e.genre + "|" + std::to_string(e.track) + "|" + e.albumArtURI +
                    "|" + std::to_string(e.size) + "|" + std::to_string(e.bitrate) + "|" + std::to_string(e.width) +
                    "x" + std::to_string(e.height) + "|" + e.subtitleUrl);
  }
  return shown;
}

const char kDlnaOpen[] =
    "<DIDL-Lite xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
    "xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\" "
    "xmlns:sec=\"http://www.sec.co.kr/dlna\">";

// The shape of a minidlna answer: a folder with its cover, a tagged song
// (dc:creator and upnp:artist, its art with a DLNA profile, bitrate in bits),
// a video with its subtitle as a second res and as sec:CaptionInfoEx.
TEST(DidlReader, TagsArtStreamsAndSubtitlesOfAMinidlnaAnswer) {
  const std::string text = std::string(kDlnaOpen) +
      "<container id=\"1$4$0\" parentID=\"1$4\" restricted=\"1\" searchable=\"1\" childCount=\"2\">"
      "<dc:title>Blue</dc:title><upnp:class>object.container.album.musicAlbum</upnp:class>"
      "<upnp:albumArtURI dlna:profileID=\"JPEG_TN\">http://192.0.2.7:8200/AlbumArt/9-20.jpg</upnp:albumArtURI>"
      "</container>"
      "<item id=\"64$0$0\" parentID=\"64$0\" restricted=\"1\" refID=\"1$4$0$0\"><dc:title>Morning Light</dc:title>"
      "<upnp:class>object.item.audioItem.musicTrack</upnp:class><dc:creator>The Band</dc:creator>"
      "<upnp:artist>The Band</upnp:artist><upnp:album>Blue</upnp:album><upnp:genre>Jazz</upnp:genre>"
      "<upnp:originalTrackNumber>1</upnp:originalTrackNumber><dc:date>2011-05-04</dc:date>"
      "<res size=\"4023011\" duration=\"0:03:25.500\" bitrate=\"160000\" sampleFrequency=\"44100\" "
      "nrAudioChannels=\"2\" protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
      "DLNA.ORG_FLAGS=01700000000000000000000000000000\">http://192.0.2.7:8200/MediaItems/21.mp3</res>"
      "<upnp:albumArtURI dlna:profileID=\"JPEG_TN\">http://192.0.2.7:8200/AlbumArt/20-21.jpg</upnp:albumArtURI>"
      "</item>"
      "<item id=\"64$2$0\" parentID=\"64$2\" restricted=\"1\"><dc:title>Holiday</dc:title>"
      "<upnp:class>object.item.videoItem</upnp:class><dc:date>2026-08-01T10:00:00</dc:date>"
      "<res size=\"1048576\" duration=\"1:02:05.000\" bitrate=\"64000\" resolution=\"640x360\" "
      "protocolInfo=\"http-get:*:video/mp4:DLNA.ORG_PN=AVC_MP4_BL_CIF15_AAC_520\">http://192.0.2.7:8200/MediaItems/"
      "33.mp4</res><res protocolInfo=\"http-get:*:text/srt:*\">http://192.0.2.7:8200/Captions/33.srt</res>"
      "<sec:CaptionInfoEx sec:type=\"srt\">http://192.0.2.7:8200/Captions/33.srt</sec:CaptionInfoEx></item>"
      "</DIDL-Lite>";
  EXPECT_EQ(Facts(ReadDidl(text.c_str())),
            (std::vector<std::string>{"|||0|http://192.0.2.7:8200/AlbumArt/9-20.jpg|-1|0|0x0|",
                                      "The Band|Blue|Jazz|1|http://192.0.2.7:8200/AlbumArt/20-21.jpg|4023011|160000|"
                                      "0x0|",
                                      "|||0||1048576|64000|640x360|http://192.0.2.7:8200/Captions/33.srt"}));
}

// The other forms servers write: the artist by role or only as dc:creator,
// the thumbnail only as a JPEG_TN res, the subtitle only as a caption
// element (CaptionInfoEx before CaptionInfo).
TEST(DidlReader, WhereServersDiffer) {
  auto item = [](const std::string& inside) {
    return std::string(kDlnaOpen) + "<item id=\"1\"><dc:title>t</dc:title><res protocolInfo=\"http-get:*:video/mp4:*\">"
           "http://h/1</res>" + inside + "</item></DIDL-Lite>";
  };
  const std::pair<std::string, std::string> cases[] = {
      {"<upnp:artist role=\"AlbumArtist\">Various</upnp:artist><upnp:artist>Solo</upnp:artist>"
       "<dc:creator>C</dc:creator>",
       "Solo|||0|"},
      {"<upnp:artist role=\"Composer\">Bach</upnp:artist><dc:creator>C</dc:creator>", "Bach|||0|"},
      {"<dc:creator>Someone</dc:creator><upnp:artist></upnp:artist>", "Someone|||0|"},
      {"<res protocolInfo=\"http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM\">http://h/sm.jpg</res>"
       "<res protocolInfo=\"http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_TN\">http://h/tn.jpg</res>",
       "|||0|http://h/tn.jpg|"},
      {"<upnp:albumArtURI>http://h/art.jpg</upnp:albumArtURI>"
       "<res protocolInfo=\"http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_TN\">http://h/tn.jpg</res>",
       "|||0|http://h/art.jpg|"},
      {"<sec:CaptionInfo sec:type=\"srt\">http://h/old.srt</sec:CaptionInfo>"
       "<sec:CaptionInfoEx sec:type=\"srt\">http://h/ex.srt</sec:CaptionInfoEx>",
       "|||0||-1|0|0x0|http://h/ex.srt"},
      {"<sec:CaptionInfo sec:type=\"srt\">http://h/old.srt</sec:CaptionInfo>", "|||0||-1|0|0x0|http://h/old.srt"},
      {"<res protocolInfo=\"http-get:*:text/x-ssa:*\">http://h/s.ass</res>"
       "<sec:CaptionInfoEx>http://h/ex.srt</sec:CaptionInfoEx>",
       "|||0||-1|0|0x0|http://h/s.ass"},
  };
  for (const auto& [inside, expected] : cases) {
    const std::vector<DidlEntry> entries = ReadDidl(item(inside).c_str());
    ASSERT_EQ(entries.size(), 1u) << inside;
    EXPECT_EQ(Facts(entries)[0].substr(0, expected.size()), expected) << inside;
  }
}

// Each character XML treats specially, written as its entity in every tag
// and URL another server may fill: read back as the character itself.
TEST(DidlReader, SpecialCharactersInEveryTag) {
  const std::pair<std::string, std::string> chars[] = {
      {"<", "&lt;"}, {">", "&gt;"}, {"&", "&amp;"}, {"\"", "&quot;"}, {"'", "&apos;"}};
  for (const auto& [c, entity] : chars) {
    const std::string n = "a" + entity + "b", raw = "a" + c + "b";
    const std::string text = std::string(kDlnaOpen) + "<item id=\"1\"><dc:title>t</dc:title><upnp:artist>" + n +
                             "</upnp:artist><upnp:album>" + n + "</upnp:album><upnp:genre>" + n +
                             "</upnp:genre><upnp:albumArtURI>http://h/" + n + ".jpg</upnp:albumArtURI>"
                             "<res protocolInfo=\"http-get:*:video/mp4:*\">http://h/1</res>"
                             "<sec:CaptionInfoEx>http://h/" + n + ".srt</sec:CaptionInfoEx></item>"
                             "<item id=\"2\"><dc:title>t</dc:title><dc:creator>" + n +
                             "</dc:creator><res>http://h/2</res></item></DIDL-Lite>";
    EXPECT_EQ(Facts(ReadDidl(text.c_str())),
              (std::vector<std::string>{raw + "|" + raw + "|" + raw + "|0|http://h/" + raw + ".jpg|-1|0|0x0|http://h/" +
                                            raw + ".srt",
                                        raw + "|||0||-1|0|0x0|"}))
        << text;
  }
}

// Our writer to our reader: each character XML treats specially, in every
// place a name or URL reaches (the metadata's tags and links too), is never
// raw in the document and reads back as it was.
TEST(DidlText, SpecialCharactersInEveryPlace) {
  for (const std::string c : {"<", ">", "&", "\"", "'"}) {
    const std::string name = "a" + c + "b", media = "http://h:1/media/" + name;
    MediaObject folder = Object(name, "0", name, kClassContainer, "", "", 2);
    MediaObject song = Object(name + "/" + name + ".mp3", name, name, kClassAudio, media, "http-get:*:" + name + ":*");
    song.artist = song.album = song.genre = name;
    song.track = 3;
    song.size = 4000;
    song.artUrl = "http://h:1/art/" + name;
    MediaObject clip = Object("v", "0", name, kClassVideo, media, "http-get:*:video/mp4:*");
    clip.width = 640;
    clip.height = 360;
    clip.artUrl = "http://h:1/art/" + name + ".mp4";
    clip.subtitles = {{media + ".srt", "srt", "text/srt"}};
    const std::string text = WriteDidl({folder, song, clip});
    EXPECT_EQ(text.find(name), std::string::npos) << text;
    // The clip's first res is its URL, whatever res follow it.
    const std::vector<DidlEntry> read = ReadDidl(text.c_str());
    EXPECT_EQ(Show(read),
              (std::vector<std::string>{
                  "C|" + name + "|" + name,
                  "I|" + song.id + "|" + name + "|" + media + "|3|-1|2012-01-01T00:00:00|" + song.protocolInfo,
                  "I|v|" + name + "|" + media + "|2|-1|2012-01-01T00:00:00|http-get:*:video/mp4:*"}))
        << text;
    EXPECT_EQ(Facts(read),
              (std::vector<std::string>{"|||0||-1|0|0x0|",
                                        name + "|" + name + "|" + name + "|3|http://h:1/art/" + name + "|4000|0|0x0|",
                                        "|||0|http://h:1/art/" + name + ".mp4|-1|0|640x360|" + media + ".srt"}))
        << text;
    // parentID, which the reader leaves alone.
    IxmlDocument doc(ixmlParseBuffer(text.c_str()));
    ASSERT_TRUE(doc);
    IxmlNodeList items(ixmlDocument_getElementsByTagName(doc.get(), "item"));
    EXPECT_STREQ(ixmlElement_getAttribute(reinterpret_cast<IXML_Element*>(ixmlNodeList_item(items.get(), 0)),
                                          "parentID"),
                 name.c_str());
  }
}

// Values that do not read as what they claim to be are absent, never
// partly read or wrapped around.
TEST(DidlReader, HostileValuesAreAbsent) {
  const struct { const char* size, *bitrate, *resolution, *track; } bad[] = {
      {"-1", "-8", "-640x360", "-1"},
      {"12abc", "1.5", "640x", "1/12"},
      {"99999999999999999999", "4294967296", "4294967296x1", "4294967296"},
      {"", "", "x", ""},
      {" ", "0x10", "640*360", "one"},
      {"1e9", "+5", "0x360", "+1"},
  };
  for (const auto& b : bad) {
    const std::string text = std::string(kDlnaOpen) + "<item id=\"1\"><dc:title>t</dc:title>"
                             "<upnp:originalTrackNumber>" + b.track + "</upnp:originalTrackNumber><res size=\"" +
                             b.size + "\" bitrate=\"" +
                             b.bitrate + "\" resolution=\"" + b.resolution + "\">http://h/1</res></item></DIDL-Lite>";
    EXPECT_EQ(Facts(ReadDidl(text.c_str())), std::vector<std::string>{"|||0||-1|0|0x0|"}) << text;
  }
  // The largest values that are still values.
  const std::string text = std::string(kDlnaOpen) + "<item id=\"1\"><dc:title>t</dc:title><upnp:originalTrackNumber>"
                           "4294967295</upnp:originalTrackNumber><res size=\"9223372036854775807\" "
                           "bitrate=\"4294967295\" resolution=\"7680x4320\">http://h/1</res></item></DIDL-Lite>";
  EXPECT_EQ(Facts(ReadDidl(text.c_str())),
            std::vector<std::string>{"|||4294967295||9223372036854775807|4294967295|7680x4320|"});
}

TEST(DidlReader, HostileDocumentsCostLittle) {
  std::string deep, wide = "<DIDL-Lite>";
  for (int i = 0; i < 20000; ++i) deep += "<a>";
  for (int i = 0; i < 50000; ++i) wide += "<item/>";
  for (const std::string& bad : {deep, wide + "</DIDL-Lite>", std::string(), std::string("garbage"),
                                 std::string("<DIDL-Lite><item id=\"1\">"), std::string("<<<>>>"),
                                 std::string("<a b=\"></a>"), std::string("\xff\xfe<x/>")}) {
    bool ok = true;
    EXPECT_TRUE(ReadDidl(bad.c_str(), &ok).empty()) << bad.substr(0, 30);
    EXPECT_FALSE(ok) << bad.substr(0, 30);
  }
  EXPECT_TRUE(ReadDidl(nullptr).empty());
}

}  // namespace
}  // namespace tovaly
