#pragma once
// DLNA.ORG_PN from what the streams are, never from the file's name. Only
// the profiles below are given, each after its limits are checked; anything
// else gets none (empty), which renderers take as "try it".
//
//   MP3            MPEG-1 Layer III, 32/44.1/48 kHz, 1-2 channels, 32-320 kbit/s
//   MP3X           MPEG-2 Layer III, 16/22.05/24 kHz, 1-2 channels, 8-160 kbit/s
//   AAC_ISO_320    AAC LC alone in MP4, up to 48 kHz, 1-2 channels, up to 320 kbit/s
//   AAC_ISO        the same up to 576 kbit/s
//   LPCM           16-bit PCM WAV, 44.1 or 48 kHz, 1-2 channels
//   JPEG_TN/SM/MED/LRG  baseline 8-bit JPEG (grey or YCbCr) within 160x160,
//                  640x480, 1024x768, 4096x4096
//   AVC_MP4_BL_CIF15_AAC_520  H.264 (Constrained) Baseline up to level 1.2, up
//                  to 352x288 at 15 frames/s, AAC LC 1-2 channels, 520 kbit/s in all
//   AVC_MP4_MP_SD_AAC_MULT5   H.264 Main or Constrained Baseline up to level 3,
//                  up to 720x576 at 30 frames/s, AAC LC up to 6 channels,
//                  10 Mbit/s in all
//   AVC_MP4_HP_HD_AAC         H.264 High up to level 4, up to 1920x1080 (30
//                  frames/s; 60 up to 1280x720), AAC LC 1-2 channels, 20 Mbit/s
//                  in all
// The AVC profiles need an MP4 (not QuickTime) brand, one video and one
// audio stream, audio at most 48 kHz.

#include <cstdint>
#include <string>

namespace tovaly::extract {

std::string Mp3Profile(int mpegVersion, int layer, uint32_t sampleRate, int channels, uint32_t bitrate);
std::string LpcmProfile(int wavFormat, int bitsPerSample, uint32_t sampleRate, int channels);
std::string JpegProfile(uint32_t width, uint32_t height, bool baseline, int precision, int components);

struct StreamSummary {
  std::string container;  // demuxer name
  std::string brand;      // MP4 major brand
  int videoStreams = 0, audioStreams = 0;
  std::string videoCodec;
  int videoProfile = -99;  // libavcodec's FF_PROFILE_* value
  int videoLevel = 0;
  uint32_t width = 0, height = 0;
  double frameRate = 0;
  std::string audioCodec;
  int audioProfile = -99;
  uint32_t sampleRate = 0;
  int channels = 0;
  uint32_t bitrate = 0;  // whole file, bits per second
};

// AAC_ISO(_320) for AAC LC alone in MP4, else empty.
std::string AacProfile(const StreamSummary& s);
// One of the AVC_MP4_* above, else empty.
std::string AvcProfile(const StreamSummary& s);

}  // namespace tovaly::extract
