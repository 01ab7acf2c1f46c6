#include <libexif/exif-data.h>

#include <cstring>

#include "library/extract/dlna_profile.h"
#include "library/extract/extract.h"
#include "library/extract/fd_io.h"
#include "library/extract/image_internal.h"

namespace tovaly::extract {
namespace {

// The one PNG decode keeps every pixel: see image.cpp.
constexpr uint64_t kMaxPngPixels = 30'000'000;

struct ExifFacts {
  std::string date;
  int orientation = 0;
};

std::string EntryText(ExifEntry* e) {
  if (!e || e->format != EXIF_FORMAT_ASCII || !e->data || e->size == 0) return std::string();
  return std::string(reinterpret_cast<const char*>(e->data), strnlen(reinterpret_cast<const char*>(e->data), e->size));
}

ExifFacts ReadExif(const std::string& payload) {
  ExifFacts out;
  ExifData* ed = exif_data_new();
  if (!ed) return out;
  // Read as it is: the library's repairs would add entries the file lacks.
  exif_data_unset_option(ed, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(ed, reinterpret_cast<const unsigned char*>(payload.data()),
                      static_cast<unsigned int>(payload.size()));
  std::string date = ExifDate(EntryText(exif_content_get_entry(ed->ifd[EXIF_IFD_EXIF], EXIF_TAG_DATE_TIME_ORIGINAL)));
  if (date.empty()) date = ExifDate(EntryText(exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_DATE_TIME)));
  out.date = date;
  ExifEntry* o = exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (o && o->format == EXIF_FORMAT_SHORT && o->components >= 1 && o->data && o->size >= 2) {
    const int v = exif_get_short(o->data, exif_data_get_byte_order(ed));
    if (v >= 1 && v <= 8) out.orientation = v;
  }
  exif_data_unref(ed);
  return out;
}

bool IsJpeg(int fd) {
  uint8_t b[2];
  return ReadAt(fd, 0, b, 2) == 2 && b[0] == 0xFF && b[1] == 0xD8;
}

}  // namespace

MediaFacts ExtractPicture(int fd, const std::string& name, std::string* thumbJpeg) {
  MediaFacts facts;
  facts.kind = MediaFacts::kImage;
  if (FileSize(fd) < 0) return facts;
  int orientation = 0;
  uint8_t head[33];
  const size_t headLen = ReadAt(fd, 0, head, sizeof head);
  if (IsJpeg(fd)) {
    JpegHeader h;
    const ReadFn read = [fd](int64_t off, size_t len, uint8_t* out) { return ReadAt(fd, off, out, len) == len; };
    if (!ParseJpegHeader(read, &h)) return facts;
    facts.width = h.width;
    facts.height = h.height;
    if (!h.exif.empty()) {
      const ExifFacts exif = ReadExif(h.exif);
      facts.date = exif.date;
      facts.orientation = static_cast<uint16_t>(exif.orientation);
      orientation = exif.orientation;
    }
    facts.dlnaProfile = JpegProfile(h.width, h.height, h.baseline, h.precision, h.components);
    const uint64_t pixels = uint64_t{h.width} * h.height;
    facts.hasThumbnail = pixels > 0 && pixels <= (h.progressive ? kMaxProgressivePixels : kMaxPixels) &&
                         (h.components == 1 || h.components == 3) && h.precision == 8;
  } else if (headLen == sizeof head && memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0 && memcmp(head + 12, "IHDR", 4) == 0) {
    facts.width = (uint32_t{head[16]} << 24) | (uint32_t{head[17]} << 16) | (uint32_t{head[18]} << 8) | head[19];
    facts.height = (uint32_t{head[20]} << 24) | (uint32_t{head[21]} << 16) | (uint32_t{head[22]} << 8) | head[23];
    const uint64_t pixels = uint64_t{facts.width} * facts.height;
    facts.hasThumbnail = pixels > 0 && pixels <= kMaxPngPixels;
  } else if (headLen >= 10 && (memcmp(head, "GIF87a", 6) == 0 || memcmp(head, "GIF89a", 6) == 0)) {
    facts.width = head[6] | (uint32_t{head[7]} << 8);
    facts.height = head[8] | (uint32_t{head[9]} << 8);
  }
  (void)name;  // the content decides: a PNG named .jpg is still a PNG
  if (thumbJpeg && facts.hasThumbnail) {
    std::string data;
    if (!ReadWhole(fd, kMaxImageBytes, &data) ||
        !ScaleImageToJpeg(reinterpret_cast<const uint8_t*>(data.data()), data.size(), kThumbnailBox, orientation,
                          thumbJpeg)) {
      thumbJpeg->clear();
    }
  }
  return facts;
}

}  // namespace tovaly::extract
