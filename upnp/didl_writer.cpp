#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "upnp/didl.h"

namespace tovaly {
namespace {

// Appends text escaped for XML, cleaned first when it holds anything unfit.
void AppendText(std::string* out, const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x80) {
      AppendXmlEscaped(XmlSafe(text), out);
      return;
    }
  }
  AppendXmlEscaped(text, out);
}

void Attribute(std::string* out, const char* name, const std::string& value) {
  *out += ' ';
  *out += name;
  *out += "=\"";
  AppendText(out, value);
  *out += '"';
}

void Element(std::string* out, const char* name, const std::string& text) {
  *out += '<';
  *out += name;
  *out += '>';
  AppendText(out, text);
  *out += "</";
  *out += name;
  *out += '>';
}

}  // namespace

const char* DidlClassName(ObjectClass cls) {
  switch (cls) {
    case kClassContainer: return "object.container";
    case kClassVideo: return "object.item.videoItem";
    case kClassAudio: return "object.item.audioItem";
    case kClassImage: return "object.item.imageItem";
    case kClassText: return "object.item.textItem";
    default: return "object.item";
  }
}

ObjectClass ClassFromName(const char* name) {
  if (!name) return kClassOther;
  static const struct {
    const char* marker;
    ObjectClass cls;
  } kMarkers[] = {{"videoItem", kClassVideo},
                  {"audioItem", kClassAudio},
                  {"imageItem", kClassImage},
                  {"textItem", kClassText},
                  {"object.container", kClassContainer}};
  for (const auto& m : kMarkers)
    if (std::strstr(name, m.marker)) return m.cls;
  return kClassOther;
}

const char kDidlOpen[] =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\" "
    "xmlns:sec=\"http://www.sec.co.kr/dlna\" xmlns:z=\"urn:zarn-extension\">";
const char kDidlClose[] = "</DIDL-Lite>";

namespace {

// "H:MM:SS.mmm", as res@duration has it.
std::string Duration(int64_t ms) {
  char text[40];
  snprintf(text, sizeof text, "%lld:%02lld:%02lld.%03lld", static_cast<long long>(ms / 3600000),
           static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
           static_cast<long long>(ms % 1000));
  return text;
}

// The fourth field of protocolInfo when the streams fit a DLNA profile: the
// profile, byte ranges, not converted, and the flags of a stream (audio and
// video) or of an interactive transfer (the rest).
std::string WithProfile(const std::string& protocolInfo, const std::string& profile) {
  if (profile.empty() || protocolInfo.size() < 2 || protocolInfo.compare(protocolInfo.size() - 2, 2, ":*") != 0) {
    return protocolInfo;
  }
  const bool streamed = protocolInfo.find(":audio/") != std::string::npos ||
                        protocolInfo.find(":video/") != std::string::npos;
  return protocolInfo.substr(0, protocolInfo.size() - 1) + "DLNA.ORG_PN=" + profile +
         ";DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=" +
         (streamed ? "01700000000000000000000000000000" : "00F00000000000000000000000000000");
}

const char kThumbnailInfo[] =
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=00F00000000000000000000000000000";

void Res(std::string* out, const std::string& protocolInfo, const std::string& url) {
  *out += "<res";
  Attribute(out, "protocolInfo", protocolInfo);
  *out += '>';
  AppendText(out, url);
  *out += "</res>";
}

void AlbumArt(std::string* out, const std::string& url) {
  *out += "<upnp:albumArtURI dlna:profileID=\"JPEG_TN\">";
  AppendText(out, url);
  *out += "</upnp:albumArtURI>";
}

}  // namespace

// The order of attributes and elements is what clients have always been
// given: attributes as they were first set (a container's childCount before
// its id), elements as appended; what the metadata adds comes after.
void AppendDidlObject(const MediaObject& obj, std::string* out, const std::string& extra) {
  const bool container = obj.objectClass == kClassContainer;
  *out += container ? "<container" : "<item";
  if (container) Attribute(out, "childCount", std::to_string(obj.childCount));
  Attribute(out, "id", obj.id);
  Attribute(out, "restricted", obj.restricted ? "1" : "0");
  Attribute(out, "searchable", "0");
  if (!obj.parentID.empty()) Attribute(out, "parentID", obj.parentID);
  *out += '>';
  if (!container) {
    *out += "<res";
    if (obj.size >= 0) Attribute(out, "size", std::to_string(obj.size));
    if (obj.durationMs >= 0) Attribute(out, "duration", Duration(obj.durationMs));
    if (obj.bitrate) Attribute(out, "bitrate", std::to_string(obj.bitrate));
    if (obj.sampleRate) Attribute(out, "sampleFrequency", std::to_string(obj.sampleRate));
    if (obj.channels) Attribute(out, "nrAudioChannels", std::to_string(obj.channels));
    if (obj.width && obj.height) {
      Attribute(out, "resolution", std::to_string(obj.width) + "x" + std::to_string(obj.height));
    }
    Attribute(out, "protocolInfo", WithProfile(obj.protocolInfo.empty() ? "http-get:*:application/octet-stream:*"
                                                                         : obj.protocolInfo,
                                               obj.dlnaProfile));
    *out += '>';
    AppendText(out, obj.res);
    *out += "</res>";
    // A thumbnail of a video or a picture is a smaller form of the same item.
    if (!obj.artUrl.empty() && (obj.objectClass == kClassVideo || obj.objectClass == kClassImage)) {
      Res(out, kThumbnailInfo, obj.artUrl);
    }
    for (const SubtitleRef& sub : obj.subtitles) Res(out, "http-get:*:" + sub.mime + ":*", sub.url);
    if (obj.objectClass == kClassAudio) Element(out, "upnp:album", obj.album.empty() ? "noname" : obj.album);
    Element(out, "upnp:class",
            obj.musicTrack && obj.objectClass == kClassAudio ? "object.item.audioItem.musicTrack"
                                                             : DidlClassName(obj.objectClass));
    if (!obj.date.empty()) {
      const size_t t = obj.date.find('T');
      if (t != std::string::npos) {
        Element(out, "upnp:scheduledStartTime", obj.date);
        Element(out, "dc:date", obj.date.substr(0, t));
      } else {
        Element(out, "dc:date", obj.date);
        Element(out, "upnp:scheduledStartTime", obj.date + "T00:00:00");
      }
    }
  } else {
    Element(out, "upnp:class", DidlClassName(kClassContainer));
  }
  Element(out, "dc:title", obj.title);
  Element(out, "upnp:writeStatus", "NOT_WRITABLE");
  if (!obj.artist.empty()) {
    Element(out, "upnp:artist", obj.artist);
    Element(out, "dc:creator", obj.artist);
  }
  if (!obj.genre.empty()) Element(out, "upnp:genre", obj.genre);
  if (obj.track) Element(out, "upnp:originalTrackNumber", std::to_string(obj.track));
  if (!obj.artUrl.empty()) AlbumArt(out, obj.artUrl);
  // The form Samsung's TVs read when they browse themselves (the res above
  // is every other client's); the header form is the media engine's.
  for (const SubtitleRef& sub : obj.subtitles) {
    *out += "<sec:CaptionInfoEx";
    Attribute(out, "sec:type", sub.type);
    *out += '>';
    AppendText(out, sub.url);
    *out += "</sec:CaptionInfoEx>";
  }
  *out += extra;
  *out += container ? "</container>" : "</item>";
}

std::string WriteDidl(const std::vector<MediaObject>& objects) {
  std::string out;
  // An item takes about 400 bytes plus its texts: one allocation for most pages.
  out.reserve(sizeof kDidlOpen + sizeof kDidlClose + objects.size() * 640);
  out += kDidlOpen;
  for (const MediaObject& o : objects) AppendDidlObject(o, &out);
  out += kDidlClose;
  return out;
}

}  // namespace tovaly
