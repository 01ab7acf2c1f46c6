#include "library/extract/dlna_profile.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace tovaly::extract {
namespace {

bool IsMp4Brand(const std::string& brand) {
  for (const char* b : {"isom", "iso2", "iso3", "iso4", "iso5", "iso6", "mp41", "mp42", "avc1", "M4V ", "M4A ",
                        "M4B ", "MSNV", "dash"}) {
    if (brand == b) return true;
  }
  return false;
}

bool IsMp4(const StreamSummary& s) {
  return s.container.compare(0, 4, "mov,") == 0 && IsMp4Brand(s.brand);
}

bool IsAacLc(const StreamSummary& s) { return s.audioCodec == "aac" && s.audioProfile == FF_PROFILE_AAC_LOW; }

}  // namespace

std::string Mp3Profile(int mpegVersion, int layer, uint32_t sampleRate, int channels, uint32_t bitrate) {
  if (layer != 3 || channels < 1 || channels > 2) return std::string();
  if (mpegVersion == 1 && (sampleRate == 32000 || sampleRate == 44100 || sampleRate == 48000) &&
      bitrate >= 32000 && bitrate <= 320000) {
    return "MP3";
  }
  if (mpegVersion == 2 && (sampleRate == 16000 || sampleRate == 22050 || sampleRate == 24000) && bitrate >= 8000 &&
      bitrate <= 160000) {
    return "MP3X";
  }
  return std::string();
}

std::string LpcmProfile(int wavFormat, int bitsPerSample, uint32_t sampleRate, int channels) {
  if (wavFormat == 1 && bitsPerSample == 16 && (sampleRate == 44100 || sampleRate == 48000) && channels >= 1 &&
      channels <= 2) {
    return "LPCM";
  }
  return std::string();
}

std::string JpegProfile(uint32_t width, uint32_t height, bool baseline, int precision, int components) {
  if (!baseline || precision != 8 || (components != 1 && components != 3) || width == 0 || height == 0) {
    return std::string();
  }
  if (width <= 160 && height <= 160) return "JPEG_TN";
  if (width <= 640 && height <= 480) return "JPEG_SM";
  if (width <= 1024 && height <= 768) return "JPEG_MED";
  if (width <= 4096 && height <= 4096) return "JPEG_LRG";
  return std::string();
}

std::string AacProfile(const StreamSummary& s) {
  if (!IsMp4(s) || s.videoStreams != 0 || s.audioStreams != 1 || !IsAacLc(s) || s.channels < 1 || s.channels > 2 ||
      s.sampleRate == 0 || s.sampleRate > 48000 || s.bitrate == 0) {
    return std::string();
  }
  if (s.bitrate <= 320000) return "AAC_ISO_320";
  if (s.bitrate <= 576000) return "AAC_ISO";
  return std::string();
}

std::string AvcProfile(const StreamSummary& s) {
  if (!IsMp4(s) || s.videoStreams != 1 || s.audioStreams != 1 || s.videoCodec != "h264" || !IsAacLc(s) ||
      s.sampleRate == 0 || s.sampleRate > 48000 || s.channels < 1 || s.width == 0 || s.height == 0 ||
      s.frameRate <= 0 || s.bitrate == 0) {
    return std::string();
  }
  const int p = s.videoProfile;
  const bool cbp = p == FF_PROFILE_H264_CONSTRAINED_BASELINE;
  const bool bp = cbp || p == FF_PROFILE_H264_BASELINE;
  if (bp && s.videoLevel <= 12 && s.width <= 352 && s.height <= 288 && s.frameRate <= 15.01 && s.channels <= 2 &&
      s.bitrate <= 520000) {
    return "AVC_MP4_BL_CIF15_AAC_520";
  }
  if ((p == FF_PROFILE_H264_MAIN || cbp) && s.videoLevel <= 30 && s.width <= 720 && s.height <= 576 &&
      s.frameRate <= 30.01 && s.channels <= 6 && s.bitrate <= 10000000) {
    return "AVC_MP4_MP_SD_AAC_MULT5";
  }
  const double maxRate = (s.width <= 1280 && s.height <= 720) ? 60.01 : 30.01;
  if (p == FF_PROFILE_H264_HIGH && s.videoLevel <= 40 && s.width <= 1920 && s.height <= 1080 &&
      s.frameRate <= maxRate && s.channels <= 2 && s.bitrate <= 20000000) {
    return "AVC_MP4_HP_HD_AAC";
  }
  return std::string();
}

}  // namespace tovaly::extract
