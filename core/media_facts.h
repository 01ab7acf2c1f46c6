#pragma once
// What a media file holds, as read from its streams and tags: the record the
// metadata reader fills and the listing publishes. Plain data; every field may
// be absent (empty text, 0, or -1 for the duration).

#include <cstdint>
#include <string>

namespace tovaly {

// A file's identity as far as its content goes: a change to any of these
// means the file is read again.
struct ContentKey {
  uint64_t dev = 0;
  uint64_t ino = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;

  bool operator==(const ContentKey& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs;
  }
  bool operator!=(const ContentKey& o) const { return !(*this == o); }
};

struct ContentKeyHash {
  size_t operator()(const ContentKey& k) const {
    uint64_t h = k.dev * 0x9E3779B97F4A7C15ull;
    h ^= k.ino + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    h ^= static_cast<uint64_t>(k.size) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    h ^= static_cast<uint64_t>(k.mtimeNs) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return static_cast<size_t>(h);
  }
};

struct MediaFacts {
  enum Kind : uint8_t { kUnknown = 0, kAudio = 1, kVideo = 2, kImage = 3 };
  Kind kind = kUnknown;

  // The reader gave up on this file (it crashed, overran its time, or the
  // file is refused as hostile): nothing else is set, and it is not tried
  // again while the file is unchanged.
  bool unreadable = false;
  // An image can be had for the file: embedded cover art (audio), a frame
  // (video) or the picture itself scaled down (JPEG, PNG).
  bool hasArt = false;        // audio: an embedded picture
  bool hasThumbnail = false;  // video and pictures

  // Tags (UTF-8, cut at 1024 bytes).
  std::string title, artist, albumArtist, album, genre;
  // "YYYY", "YYYY-MM", "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS" as the tag or
  // EXIF gives it; for pictures the EXIF DateTimeOriginal (camera local time).
  std::string date;
  uint32_t track = 0;

  // Streams.
  int64_t durationMs = -1;
  uint32_t bitrate = 0;     // bits per second, whole file (DIDL-Lite's res@bitrate is in bytes: / 8)
  uint32_t sampleRate = 0;  // Hz
  uint16_t channels = 0;
  uint16_t bitsPerSample = 0;       // PCM audio
  uint32_t width = 0, height = 0;  // pixels as stored (pictures: before orientation)
  uint16_t orientation = 0;        // EXIF 1..8, 0 when absent
  uint32_t frameRateNum = 0, frameRateDen = 0;
  std::string container;   // the demuxer's name: "mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", ...
  std::string videoCodec;  // "h264", "hevc", ...
  std::string videoProfile;  // "High", "Main", "Constrained Baseline", ...
  int32_t videoLevel = 0;    // H.264 level_idc (40 = 4.0)
  std::string audioCodec;    // "aac", "mp3", "flac", "pcm_s16le", ...

  // DLNA.ORG_PN when the streams were checked against the profile's limits,
  // else empty (a wrong profile makes some renderers refuse the file).
  std::string dlnaProfile;
};

}  // namespace tovaly
