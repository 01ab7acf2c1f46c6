#pragma once
// Media files the metadata tests make once per run, with ffmpeg's own test
// sources (-f lavfi) and exiftool, in a temporary folder removed at exit.
// Each holds what its name says; the tags written are the constants below.

#include <string>

namespace tovaly::testing {

struct TestMedia {
  bool ok = false;      // false when ffmpeg or exiftool is missing
  std::string dir;      // the folder; the files below are in dir/m/
  std::string cover;    // a 300x200 JPEG, left half red, right half blue
  std::string mp3;      // MPEG-1 Layer III 44.1 kHz stereo 128 kbit/s, 3 s, ID3v2.3 tags and the cover
  std::string mp3Mono22;// MPEG-2 Layer III 22.05 kHz mono 64 kbit/s, no tags
  std::string flac;     // 16-bit 48 kHz stereo, Vorbis comments and the cover as a PICTURE block
  std::string m4a;      // AAC LC 128 kbit/s stereo, iTunes tags and the cover as covr
  std::string ogg;      // Vorbis alone in Ogg (a "video" extension), with the tags
  std::string wav16;    // PCM 16-bit 44.1 kHz stereo, 2 s
  std::string wav24;    // PCM 24-bit 44.1 kHz stereo
  std::string mp4Main;  // H.264 Main 3.0 320x240 25 fps + AAC LC, 2 s
  std::string mp4High;  // H.264 High 4.0 640x360 25 fps + AAC LC
  std::string mp4Cif;   // H.264 Constrained Baseline 1.1 176x144 15 fps + AAC LC mono 48 kbit/s
  std::string mp4High444;  // H.264 High 4:4:4 Predictive: no profile is checked for it
  std::string mov;      // H.264 Main + AAC in a QuickTime file
  std::string mkv;      // H.264 + Vorbis in Matroska, 320x240
  std::string photo;    // JPEG 320x160, top half red, bottom half blue, EXIF orientation 6, taken 2021:06:15 10:20:30
  std::string png;      // PNG 200x100
};

const TestMedia& Media();

// Writes bytes to path; false on failure.
bool WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

constexpr const char* kTitle = "Fl\xC3\xBCgel & <Strings>";  // UTF-8 and characters that need escaping later
constexpr const char* kArtist = "The Testers";
constexpr const char* kAlbum = "Sines";
constexpr const char* kGenre = "Ambient";

}  // namespace tovaly::testing
