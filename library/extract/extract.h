#pragma once
// The extractors: pure functions from a read-only descriptor (and the file's
// name, for its extension) to what the file holds. They never open a path,
// never write, and check declared sizes and image dimensions before they
// allocate or decode; they run in the helper process (tovaly-meta), whose
// memory limit catches what those checks miss.
//
// Which extractor reads a file is decided by its extension (media_types):
//   audio    TagLib: tags, properties, embedded picture (ID3v2 APIC, FLAC
//            PICTURE, MP4 covr, Vorbis/Opus METADATA_BLOCK_PICTURE); AAC in
//            MP4 also through libavformat, for the profile
//   video    libavformat over the descriptor: streams, duration, a frame
//   picture  JPEG: markers, EXIF (libexif), scaled decode (turbojpeg);
//            PNG: dimensions, and a decode by libavcodec for the thumbnail;
//            other formats: the kind only

#include <cstdint>
#include <string>

#include "core/media_facts.h"

namespace tovaly::extract {

// Images bigger than this are refused before decoding: dimensions from the
// header, pixels counted. Progressive JPEGs keep every coefficient of the
// whole picture while decoding, so they get a lower bound.
constexpr uint64_t kMaxPixels = 100'000'000;
constexpr uint64_t kMaxProgressivePixels = 50'000'000;
// A picture (or cover) read whole into memory for its thumbnail.
constexpr int64_t kMaxImageBytes = 64 << 20;
// Thumbnails and cover art fit in this box, aspect kept (DLNA JPEG_TN).
constexpr int kThumbnailBox = 160;

// The facts of a file. A file that cannot be parsed gives its kind and
// nothing else; only refused (hostile) input sets `unreadable`.
MediaFacts ExtractFacts(int fd, const std::string& name);
// The same, and with imageJpeg its image as ExtractThumbnail makes it (left
// empty when there is none), in one reading of the file.
MediaFacts Extract(int fd, const std::string& name, std::string* imageJpeg);

// A JPEG within kThumbnailBox: the cover art of audio, a frame about a tenth
// into a video, a picture scaled down with its EXIF orientation applied.
// False when the file has none or it cannot be decoded.
bool ExtractThumbnail(int fd, const std::string& name, std::string* jpeg);

// Entry points per kind, for tests and fuzzing.
MediaFacts ExtractAudio(int fd, const std::string& name, std::string* artJpeg);
MediaFacts ExtractVideo(int fd, const std::string& name, std::string* frameJpeg);
MediaFacts ExtractPicture(int fd, const std::string& name, std::string* thumbJpeg);

// Image bytes (JPEG or PNG) scaled to a JPEG within box x box; orientation
// 1..8 as EXIF gives it (0 or 1: as stored). False for other formats, images
// over the limits above, or a decoding error.
bool ScaleImageToJpeg(const uint8_t* data, size_t size, int box, int orientation, std::string* jpeg);

// Dimensions of a JPEG from its frame header; false when there is none.
bool JpegDimensions(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height);

}  // namespace tovaly::extract
