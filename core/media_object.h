#pragma once
// The records in which the host returns the children of a folder.

#include <cstdint>
#include <string>
#include <vector>

#include "core/event_callback.h"
#include "core/media_facts.h"

namespace tovaly {

enum ObjectClass : uint8_t {
  kClassContainer = 1,
  kClassVideo = 2,
  kClassAudio = 3,
  kClassImage = 4,
  kClassText = 5,
  kClassOther = 6,
};

// A subtitle file beside a video ("clip.srt" beside "clip.mkv"), attached to
// the video instead of listed as an item of its own.
struct SubtitleRef {
  std::string url;   // the file itself: the media base URL and its encoded id
  std::string type;  // its extension in lower case: "srt", "ass", "ssa", "smi", "vtt"
  std::string mime;  // "text/srt", "text/x-ssa", ...
};

// One container or item. Empty strings stand for absent ones.
//
// Where the media engine serves what a record names (each path the
// percent-encoded object id): /media/<id> the file itself (and a subtitle
// file as it is); /art/<id> a JPEG of at most 160x160, the cover of a song
// or a folder, or the thumbnail of a video or a picture; /vtt/<id> a
// subtitle file as WebVTT, for browsers.
struct MediaObject {
  std::string id;
  std::string parentID;
  std::string title;         // the tag's title when there is one, else the file name
  std::string res;           // items only
  std::string protocolInfo;  // items only: "http-get:*:<mime>:<DLNA.ORG_PN=...;... or *>"
  std::string album;         // audio items: the tag's album
  std::string date;          // items only: "YYYY-MM-DDTHH:MM:SS": the tag's or the photo's date, else the file's (UTC)
  uint32_t childCount = 0;
  bool restricted = true;
  ObjectClass objectClass = kClassOther;
  int64_t size = -1;  // items of the local folder: bytes; -1 unknown

  // What the file's own streams and tags say (the metadata reader); absent:
  // empty, 0 or -1. Filled where they were ready in time, else later pages
  // of the same folder carry them.
  std::string artist{};
  std::string genre{};
  uint32_t track = 0;       // upnp:originalTrackNumber
  bool musicTrack = false;  // a tagged song: object.item.audioItem.musicTrack
  int64_t durationMs = -1;
  uint32_t bitrate = 0;  // bytes per second, as res@bitrate counts
  uint32_t sampleRate = 0;
  uint16_t channels = 0;
  uint32_t width = 0, height = 0;  // res@resolution
  std::string dlnaProfile{};       // DLNA.ORG_PN of the res; "" where the streams match no profile checked
  // The JPEG (at most 160x160) for upnp:albumArtURI: a song's embedded art
  // or its folder's cover, a folder's cover, a video's frame, a picture
  // scaled; videos and pictures give it as a thumbnail res (JPEG_TN) too.
  std::string artUrl{};
  std::vector<SubtitleRef> subtitles{};  // videos
  ContentKey key{};  // local files: what the metadata is known by (not part of DIDL-Lite)
};

struct MediaObjectList {
  std::vector<MediaObject> objects;
  std::string coverId;  // the listed folder's picture among its files, "" none
};

}  // namespace tovaly
