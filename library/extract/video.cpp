#include <fcntl.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <climits>
#include <cstring>

#include "library/extract/av_input.h"
#include "library/extract/extract.h"
#include "library/extract/fd_io.h"
#include "library/extract/image_internal.h"

namespace tovaly::extract {
namespace {

// Demuxers of media files. Those that open further URLs (playlists, concat,
// image sequences) are left out, and io_open refuses any opening anyway.
const char kDemuxers[] =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpegts,mpeg,mpegvideo,flv,asf,ogg,mp3,aac,flac,wav,w64,aiff,h264,"
    "hevc,m4v,dv,rm,nut,mxf,ivf,ac3,eac3,dts,amr,ape,caf,au,wv,tta,mpc,mpc8,loas,latm,truehd,mlp,gsm,dirac,"
    "h261,h263,yuv4mpegpipe,wtv,bink,smk,vc1,rawvideo";
// Packets read for one frame: a broken file must not make the helper read
// all of it.
constexpr int kMaxPackets = 2000;

struct FdSource {
  int fd;
  int64_t size;
  int64_t pos = 0;
};

int ReadPacket(void* opaque, uint8_t* buf, int size) {
  auto* s = static_cast<FdSource*>(opaque);
  if (size <= 0) return 0;
  const size_t n = ReadAt(s->fd, s->pos, buf, static_cast<size_t>(size));
  if (n == 0) return AVERROR_EOF;
  s->pos += static_cast<int64_t>(n);
  return static_cast<int>(n);
}

int64_t Seek(void* opaque, int64_t offset, int whence) {
  auto* s = static_cast<FdSource*>(opaque);
  whence &= ~AVSEEK_FORCE;
  int64_t to;
  switch (whence) {
    case AVSEEK_SIZE: return s->size;
    case SEEK_SET: to = offset; break;
    case SEEK_CUR: to = s->pos + offset; break;
    case SEEK_END: to = s->size + offset; break;
    default: return -1;
  }
  if (to < 0) return -1;
  s->pos = to;
  return to;
}

int RefuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

// The format context and its I/O over the descriptor, freed together.
class Input {
 public:
  Input(int fd, const std::string& name) : src_{fd, FileSize(fd)} {
    if (src_.size < 0) return;
    fmt_ = avformat_alloc_context();
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
    if (fmt_ && buffer) pb_ = avio_alloc_context(buffer, kBuffer, 0, &src_, ReadPacket, nullptr, Seek);
    if (!pb_) {
      av_free(buffer);
      avformat_free_context(fmt_);
      fmt_ = nullptr;
      return;
    }
    fmt_->pb = pb_;
    fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
    fmt_->io_open = RefuseOpen;
    fmt_->max_streams = 64;
    fmt_->format_whitelist = av_strdup(kDemuxers);
    // The name is a hint for probing only: with our own I/O nothing is opened by it.
    const size_t slash = name.rfind('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (avformat_open_input(&fmt_, base.c_str(), nullptr, nullptr) != 0) {
      fmt_ = nullptr;  // freed by the failed open
      return;
    }
    open_ = avformat_find_stream_info(fmt_, nullptr) >= 0;
  }
  ~Input() {
    if (fmt_) avformat_close_input(&fmt_);
    if (pb_) {
      av_freep(&pb_->buffer);
      avio_context_free(&pb_);
    }
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  AVFormatContext* get() const { return open_ ? fmt_ : nullptr; }

 private:
  static constexpr int kBuffer = 64 * 1024;
  FdSource src_;
  AVFormatContext* fmt_ = nullptr;
  AVIOContext* pb_ = nullptr;
  bool open_ = false;
};

uint32_t Clamp32(int64_t v) { return v <= 0 ? 0 : v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

bool DecodeFrame(AVFormatContext* fmt, int index, std::string* jpeg) {
  AVStream* st = fmt->streams[index];
  const AVCodecParameters* par = st->codecpar;
  const uint64_t pixels = static_cast<uint64_t>(par->width) * static_cast<uint64_t>(par->height);
  if (par->width <= 0 || par->height <= 0 || pixels > kMaxPixels) return false;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) return false;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool ok = false;
  if (ctx && packet && frame && avcodec_parameters_to_context(ctx, par) >= 0) {
    ctx->thread_count = 1;
    ctx->max_pixels = static_cast<int64_t>(kMaxPixels);
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
      // About a tenth in, from the keyframe before it; from the start when
      // the file cannot seek.
      if (fmt->duration > 0 && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        int64_t ts = av_rescale_q(fmt->duration / 10, AVRational{1, AV_TIME_BASE}, st->time_base);
        if (st->start_time != AV_NOPTS_VALUE) ts += st->start_time;
        if (av_seek_frame(fmt, index, ts, AVSEEK_FLAG_BACKWARD) < 0) av_seek_frame(fmt, index, 0, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(ctx);
      }
      bool got = false, flushing = false;
      for (int n = 0; n < kMaxPackets && !got; ++n) {
        if (!flushing) {
          const int rc = av_read_frame(fmt, packet);
          if (rc < 0) {
            flushing = true;
            avcodec_send_packet(ctx, nullptr);
          } else {
            if (packet->stream_index == index) avcodec_send_packet(ctx, packet);
            av_packet_unref(packet);
          }
        }
        const int rc = avcodec_receive_frame(ctx, frame);
        if (rc == 0) {
          got = true;
        } else if (flushing && rc != AVERROR(EAGAIN)) {
          break;
        }
      }
      ok = got && FrameToJpeg(frame, kThumbnailBox, jpeg);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return ok;
}

}  // namespace

void QuietLibraries() { av_log_set_level(AV_LOG_QUIET); }

bool ReadWithAvformat(int fd, const std::string& name, MediaFacts* facts, StreamSummary* summary,
                      std::string* frameJpeg) {
  Input input(fd, name);
  AVFormatContext* fmt = input.get();
  if (!fmt) return false;
  if (fmt->duration > 0) facts->durationMs = fmt->duration / 1000;
  facts->bitrate = Clamp32(fmt->bit_rate);
  facts->container = fmt->iformat->name;
  summary->container = facts->container;
  summary->bitrate = facts->bitrate;
  if (const AVDictionaryEntry* brand = av_dict_get(fmt->metadata, "major_brand", nullptr, 0)) {
    summary->brand = brand->value;
  }
  // Container tags (MP4, Matroska): what a video says of itself.
  const struct {
    const char* key;
    std::string* field;
  } tags[] = {{"title", &facts->title}, {"artist", &facts->artist}, {"album", &facts->album},
              {"genre", &facts->genre}, {"date", &facts->date}};
  for (const auto& t : tags) {
    const AVDictionaryEntry* e = av_dict_get(fmt->metadata, t.key, nullptr, 0);
    if (e && e->value && t.field->empty()) *t.field = std::string(e->value).substr(0, 1024);
  }
  int video = -1, audio = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    const AVCodecParameters* par = st->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      ++summary->videoStreams;
      if (video < 0) video = static_cast<int>(i);
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      ++summary->audioStreams;
      if (audio < 0) audio = static_cast<int>(i);
    }
  }
  if (video >= 0) {
    const AVStream* st = fmt->streams[video];
    const AVCodecParameters* par = st->codecpar;
    facts->videoCodec = avcodec_get_name(par->codec_id);
    if (const char* profile = avcodec_profile_name(par->codec_id, par->profile)) facts->videoProfile = profile;
    facts->videoLevel = par->level > 0 ? par->level : 0;
    facts->width = Clamp32(par->width);
    facts->height = Clamp32(par->height);
    AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
    if (rate.num > 0 && rate.den > 0) {
      facts->frameRateNum = static_cast<uint32_t>(rate.num);
      facts->frameRateDen = static_cast<uint32_t>(rate.den);
      summary->frameRate = av_q2d(rate);
    }
    const uint64_t pixels = uint64_t{facts->width} * facts->height;
    facts->hasThumbnail = pixels > 0 && pixels <= kMaxPixels && avcodec_find_decoder(par->codec_id) != nullptr;
    summary->videoCodec = facts->videoCodec;
    summary->videoProfile = par->profile;
    summary->videoLevel = facts->videoLevel;
    summary->width = facts->width;
    summary->height = facts->height;
  }
  if (audio >= 0) {
    const AVCodecParameters* par = fmt->streams[audio]->codecpar;
    facts->audioCodec = avcodec_get_name(par->codec_id);
    facts->sampleRate = Clamp32(par->sample_rate);
    facts->channels = static_cast<uint16_t>(par->ch_layout.nb_channels > 0 ? par->ch_layout.nb_channels : 0);
    summary->audioCodec = facts->audioCodec;
    summary->audioProfile = par->profile;
    summary->sampleRate = facts->sampleRate;
    summary->channels = facts->channels;
  }
  if (frameJpeg && video >= 0 && facts->hasThumbnail) {
    if (!DecodeFrame(fmt, video, frameJpeg)) frameJpeg->clear();
  }
  return true;
}

MediaFacts ExtractVideo(int fd, const std::string& name, std::string* frameJpeg) {
  QuietLibraries();
  MediaFacts facts;
  facts.kind = MediaFacts::kVideo;
  StreamSummary summary;
  if (!ReadWithAvformat(fd, name, &facts, &summary, frameJpeg)) return facts;
  // Sound only (an .ogg of music, say): read as audio, with its tags.
  if (summary.videoStreams == 0 && summary.audioStreams > 0) return ExtractAudio(fd, name, frameJpeg);
  facts.dlnaProfile = AvcProfile(summary);
  return facts;
}

}  // namespace tovaly::extract
