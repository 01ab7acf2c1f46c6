#include <turbojpeg.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <memory>

#include "library/extract/extract.h"
#include "library/extract/image_internal.h"

namespace tovaly::extract {
namespace {

// PNG keeps the whole decoded picture (up to 8 bytes a pixel) in memory.
constexpr uint64_t kMaxPngPixels = 30'000'000;

uint32_t Be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t Be32(const uint8_t* p) { return (Be16(p) << 16) | Be16(p + 2); }

struct TjCloser {
  void operator()(void* h) const { tjDestroy(h); }
};
using TjHandle = std::unique_ptr<void, TjCloser>;

bool Resize(const RgbImage& in, int w, int h, RgbImage* out) {
  if (in.width == w && in.height == h) {
    *out = in;
    return true;
  }
  SwsContext* sws = sws_getContext(in.width, in.height, AV_PIX_FMT_RGB24, w, h, AV_PIX_FMT_RGB24, SWS_AREA, nullptr,
                                   nullptr, nullptr);
  if (!sws) return false;
  out->width = w;
  out->height = h;
  out->pixels.assign(static_cast<size_t>(w) * 3 * h + 64, 0);
  const uint8_t* src[4] = {in.pixels.data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {in.width * 3, 0, 0, 0};
  uint8_t* dst[4] = {out->pixels.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {w * 3, 0, 0, 0};
  const int rows = sws_scale(sws, src, srcStride, 0, in.height, dst, dstStride);
  sws_freeContext(sws);
  out->pixels.resize(static_cast<size_t>(w) * 3 * h);
  return rows == h;
}

// Reads of a JPEG held in memory, refused past its end.
ReadFn BufferReader(const uint8_t* data, size_t size) {
  return [data, size](int64_t off, size_t len, uint8_t* out) {
    if (off < 0 || static_cast<uint64_t>(off) > size || len > size - static_cast<size_t>(off)) return false;
    memcpy(out, data + off, len);
    return true;
  };
}

bool JpegToJpeg(const uint8_t* data, size_t size, int box, int orientation, std::string* jpeg) {
  JpegHeader header;
  if (!ParseJpegHeader(BufferReader(data, size), &header)) return false;
  const uint64_t pixels = uint64_t{header.width} * header.height;
  if (pixels == 0 || pixels > (header.progressive ? kMaxProgressivePixels : kMaxPixels)) return false;

  TjHandle tj(tjInitDecompress());
  if (!tj) return false;
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.get(), data, static_cast<unsigned long>(size), &w, &h, &subsamp, &colorspace) != 0 ||
      static_cast<uint32_t>(w) != header.width || static_cast<uint32_t>(h) != header.height) {
    return false;
  }
  // The box is square, so the fitted size of the stored picture is that of
  // the shown one turned back.
  int tw = 0, th = 0;
  FitInBox(static_cast<uint32_t>(w), static_cast<uint32_t>(h), box, &tw, &th);
  // The smallest scaled decode that is still at least the target size.
  int count = 0;
  tjscalingfactor* factors = tjGetScalingFactors(&count);
  int sw = w, sh = h;
  for (int i = 0; factors && i < count; ++i) {
    const tjscalingfactor f = factors[i];
    if (f.num > f.denom) continue;
    const int fw = TJSCALED(w, f), fh = TJSCALED(h, f);
    if (fw >= tw && fh >= th && static_cast<int64_t>(fw) * fh < static_cast<int64_t>(sw) * sh) {
      sw = fw;
      sh = fh;
    }
  }
  RgbImage decoded;
  decoded.width = sw;
  decoded.height = sh;
  decoded.pixels.resize(static_cast<size_t>(sw) * 3 * sh);
  int flags = TJFLAG_FASTDCT;
#ifdef TJFLAG_LIMITSCANS
  flags |= TJFLAG_LIMITSCANS;  // a progressive file of thousands of scans costs minutes
#endif
  if (tjDecompress2(tj.get(), data, static_cast<unsigned long>(size), decoded.pixels.data(), sw, 0, sh, TJPF_RGB,
                    flags) != 0 &&
      tjGetErrorCode(tj.get()) != TJERR_WARNING) {
    return false;  // a warning (a truncated file, say) still gives a picture
  }
  RgbImage scaled;
  if (!Resize(decoded, tw, th, &scaled)) return false;
  return EncodeJpeg(Oriented(scaled, orientation), jpeg);
}

bool PngToJpeg(const uint8_t* data, size_t size, int box, std::string* jpeg) {
  if (size < 33 || memcmp(data, "\x89PNG\r\n\x1a\n", 8) != 0 || memcmp(data + 12, "IHDR", 4) != 0) return false;
  const uint64_t pixels = uint64_t{Be32(data + 16)} * Be32(data + 20);
  if (pixels == 0 || pixels > kMaxPngPixels) return false;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  if (!codec) return false;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool ok = false;
  if (ctx && packet && frame && av_new_packet(packet, static_cast<int>(size)) == 0) {
    memcpy(packet->data, data, size);
    ctx->thread_count = 1;
    ctx->max_pixels = static_cast<int64_t>(kMaxPngPixels);
    ok = avcodec_open2(ctx, codec, nullptr) == 0 && avcodec_send_packet(ctx, packet) == 0 &&
         avcodec_receive_frame(ctx, frame) == 0 && FrameToJpeg(frame, box, jpeg);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return ok;
}

}  // namespace

bool ParseJpegHeader(const ReadFn& read, JpegHeader* header) {
  uint8_t b[8];
  if (!read(0, 2, b) || b[0] != 0xFF || b[1] != 0xD8) return false;
  int64_t pos = 2;
  for (int segments = 0; segments < 4096; ++segments) {
    if (!read(pos, 2, b) || b[0] != 0xFF) return false;
    ++pos;  // at the marker byte
    uint8_t marker = b[1];
    while (marker == 0xFF) {  // fill bytes
      if (!read(++pos, 1, b)) return false;
      marker = b[0];
    }
    ++pos;  // past it
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xD9 || marker == 0xDA) return false;  // image data before any frame header
    if (!read(pos, 2, b)) return false;
    const uint32_t length = Be16(b);
    if (length < 2) return false;
    const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof) {
      if (length < 8 || !read(pos + 2, 6, b)) return false;
      header->precision = b[0];
      header->height = Be16(b + 1);
      header->width = Be16(b + 3);
      header->components = b[5];
      header->progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      header->baseline = marker == 0xC0 || marker == 0xC1;
      return true;
    }
    if (marker == 0xE1 && header->exif.empty() && length >= 8) {
      std::string payload(length - 2, '\0');
      if (!read(pos + 2, payload.size(), reinterpret_cast<uint8_t*>(&payload[0]))) return false;
      if (payload.compare(0, 6, std::string("Exif\0\0", 6)) == 0) header->exif = std::move(payload);
    }
    pos += length;
  }
  return false;
}

void FitInBox(uint32_t w, uint32_t h, int box, int* outW, int* outH) {
  const uint64_t b = static_cast<uint64_t>(box);
  uint64_t tw = w, th = h;
  if (w >= h && w > b) {
    tw = b;
    th = (uint64_t{h} * b + w / 2) / w;
  } else if (h > w && h > b) {
    th = b;
    tw = (uint64_t{w} * b + h / 2) / h;
  }
  *outW = static_cast<int>(tw ? tw : 1);
  *outH = static_cast<int>(th ? th : 1);
}

RgbImage Oriented(const RgbImage& in, int orientation) {
  if (orientation < 2 || orientation > 8) return in;
  const int W = in.width, H = in.height;
  const bool swap = orientation >= 5;
  RgbImage out;
  out.width = swap ? H : W;
  out.height = swap ? W : H;
  out.pixels.resize(in.pixels.size());
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      int sx = x, sy = y;
      switch (orientation) {
        case 2: sx = W - 1 - x; break;                    // mirrored
        case 3: sx = W - 1 - x; sy = H - 1 - y; break;    // upside down
        case 4: sy = H - 1 - y; break;                    // mirrored upside down
        case 5: sx = y; sy = x; break;                    // transposed
        case 6: sx = y; sy = H - 1 - x; break;            // turned a quarter clockwise to be seen
        case 7: sx = W - 1 - y; sy = H - 1 - x; break;    // transversed
        case 8: sx = W - 1 - y; sy = x; break;            // a quarter counter-clockwise
      }
      memcpy(&out.pixels[(static_cast<size_t>(y) * out.width + x) * 3],
             &in.pixels[(static_cast<size_t>(sy) * W + sx) * 3], 3);
    }
  }
  return out;
}

bool EncodeJpeg(const RgbImage& image, std::string* jpeg) {
  TjHandle tj(tjInitCompress());
  if (!tj || image.width <= 0 || image.height <= 0) return false;
  unsigned char* buf = nullptr;
  unsigned long len = 0;
  const int rc = tjCompress2(tj.get(), image.pixels.data(), image.width, 0, image.height, TJPF_RGB, &buf, &len,
                             TJSAMP_420, 85, 0);
  if (rc == 0) jpeg->assign(reinterpret_cast<const char*>(buf), len);
  tjFree(buf);
  return rc == 0;
}

bool FrameToJpeg(const AVFrame* frame, int box, std::string* jpeg) {
  if (!frame || frame->width <= 0 || frame->height <= 0) return false;
  uint64_t shownW = static_cast<uint64_t>(frame->width);
  const AVRational sar = frame->sample_aspect_ratio;
  if (sar.num > 0 && sar.den > 0 && sar.num < 100 * sar.den && sar.den < 100 * sar.num) {
    shownW = shownW * static_cast<uint64_t>(sar.num) / static_cast<uint64_t>(sar.den);
  }
  if (shownW == 0 || shownW > 0xFFFFFFFFu) return false;
  int tw = 0, th = 0;
  FitInBox(static_cast<uint32_t>(shownW), static_cast<uint32_t>(frame->height), box, &tw, &th);
  SwsContext* sws = sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), tw, th,
                                   AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!sws) return false;
  RgbImage image;
  image.width = tw;
  image.height = th;
  image.pixels.assign(static_cast<size_t>(tw) * 3 * th + 64, 0);
  uint8_t* dst[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {tw * 3, 0, 0, 0};
  const int rows = sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
  sws_freeContext(sws);
  image.pixels.resize(static_cast<size_t>(tw) * 3 * th);
  return rows == th && EncodeJpeg(image, jpeg);
}

std::string ExifDate(const std::string& t) {
  // "YYYY:MM:DD HH:MM:SS", digits where digits belong; cameras without a
  // clock write spaces or zeros.
  if (t.size() < 19 || t[4] != ':' || t[7] != ':' || t[10] != ' ' || t[13] != ':' || t[16] != ':') return std::string();
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}) {
    if (t[i] < '0' || t[i] > '9') return std::string();
  }
  if (t.compare(0, 4, "0000") == 0) return std::string();
  std::string d = t.substr(0, 19);
  d[4] = d[7] = '-';
  d[10] = 'T';
  return d;
}

bool ScaleImageToJpeg(const uint8_t* data, size_t size, int box, int orientation, std::string* jpeg) {
  if (!data || size < 4) return false;
  if (data[0] == 0xFF && data[1] == 0xD8) return JpegToJpeg(data, size, box, orientation, jpeg);
  if (data[0] == 0x89 && data[1] == 'P') return PngToJpeg(data, size, box, jpeg);
  return false;
}

bool JpegDimensions(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height) {
  JpegHeader header;
  if (!ParseJpegHeader(BufferReader(data, size), &header)) return false;
  *width = header.width;
  *height = header.height;
  return true;
}

}  // namespace tovaly::extract
