#pragma once
// What the extractors share about images: JPEG headers, fitting into the
// thumbnail box, and RGB pictures turned into JPEG.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct AVFrame;

namespace tovaly::extract {

struct JpegHeader {
  uint32_t width = 0, height = 0;
  int precision = 0;       // bits per sample
  int components = 0;
  bool progressive = false;
  bool baseline = false;   // SOF0 or SOF1: sequential Huffman DCT
  std::string exif;        // the APP1 payload beginning "Exif\0\0", when there is one
};

// Reads `len` bytes at `offset` into `out`; false when they are not all there.
using ReadFn = std::function<bool(int64_t offset, size_t len, uint8_t* out)>;

// Walks the markers up to the frame header; false when the data is no JPEG
// or ends before its frame header.
bool ParseJpegHeader(const ReadFn& read, JpegHeader* header);

// The largest size within box x box with the aspect of w x h, never larger
// than w x h, never 0.
void FitInBox(uint32_t w, uint32_t h, int box, int* outW, int* outH);

// Packed RGB24.
struct RgbImage {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

// The picture as EXIF orientation 1..8 says it should be shown.
RgbImage Oriented(const RgbImage& in, int orientation);

bool EncodeJpeg(const RgbImage& image, std::string* jpeg);

// A decoded frame scaled into box x box (displayed aspect: the frame's sample
// aspect ratio applied), as JPEG.
bool FrameToJpeg(const AVFrame* frame, int box, std::string* jpeg);

// Text from EXIF "YYYY:MM:DD HH:MM:SS" as "YYYY-MM-DDTHH:MM:SS"; empty when
// it is not in that form.
std::string ExifDate(const std::string& text);

}  // namespace tovaly::extract
