#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tiostream.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <climits>
#include <cstring>
#include <memory>

#include "library/extract/av_input.h"
#include "library/extract/dlna_profile.h"
#include "library/extract/extract.h"
#include "library/extract/fd_io.h"

namespace tovaly::extract {
namespace {

constexpr size_t kMaxText = 1024;
// Compressed ID3v2 frames together: zlib inflates up to a thousand times,
// and TagLib inflates without a bound. Real tags compress a few hundred bytes.
constexpr uint64_t kMaxCompressedId3 = 64 * 1024;

// TagLib reads through this: by position on the descriptor, never past its
// end (a declared size of gigabytes gets the bytes that are there), never
// writing.
class FdStream : public TagLib::IOStream {
 public:
  FdStream(int fd, const std::string& name) : fd_(fd), name_(name), size_(FileSize(fd)) {}
  TagLib::FileName name() const override { return name_.c_str(); }
  TagLib::ByteVector readBlock(unsigned long length) override {
    if (size_ < 0 || pos_ >= size_) return TagLib::ByteVector();
    const uint64_t left = static_cast<uint64_t>(size_ - pos_);
    const size_t n = static_cast<size_t>(std::min<uint64_t>({length, left, kMaxImageBytes * 4ull}));
    TagLib::ByteVector v(static_cast<unsigned int>(n), '\0');
    const size_t got = ReadAt(fd_, pos_, v.data(), n);
    v.resize(static_cast<unsigned int>(got));
    pos_ += static_cast<int64_t>(got);
    return v;
  }
  void writeBlock(const TagLib::ByteVector&) override {}
  void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
  void removeBlock(unsigned long, unsigned long) override {}
  bool readOnly() const override { return true; }
  bool isOpen() const override { return size_ >= 0; }
  void seek(long offset, Position p) override {
    int64_t to = p == Beginning ? offset : p == Current ? pos_ + offset : size_ + offset;
    pos_ = to < 0 ? 0 : to;
  }
  long tell() const override { return static_cast<long>(pos_); }
  long length() override { return static_cast<long>(size_ < 0 ? 0 : size_); }
  void truncate(long) override {}

 private:
  int fd_;
  std::string name_;
  int64_t size_;
  int64_t pos_ = 0;
};

std::string Text(const TagLib::String& s) {
  std::string t = s.to8Bit(true);
  if (t.size() > kMaxText) {
    size_t cut = kMaxText;
    while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    t.resize(cut);
  }
  return t;
}

uint32_t Syncsafe(const uint8_t* p) {
  return (uint32_t{p[0] & 0x7Fu} << 21) | (uint32_t{p[1] & 0x7Fu} << 14) | (uint32_t{p[2] & 0x7Fu} << 7) |
         (p[3] & 0x7Fu);
}

// False for an ID3v2 tag at the start whose compressed frames could inflate
// past what the helper may hold.
bool Id3v2Acceptable(int fd) {
  uint8_t h[10];
  if (ReadAt(fd, 0, h, 10) != 10 || memcmp(h, "ID3", 3) != 0) return true;
  const int major = h[3];
  if (major != 3 && major != 4) return true;  // 2.2 has no compressed frames
  const int64_t end = 10 + int64_t{Syncsafe(h + 6)};
  int64_t pos = 10;
  if (h[5] & 0x40) {  // extended header
    uint8_t e[4];
    if (ReadAt(fd, pos, e, 4) != 4) return true;
    pos += major == 4 ? Syncsafe(e) : 4 + ((uint32_t{e[0]} << 24) | (uint32_t{e[1]} << 16) | (e[2] << 8) | e[3]);
  }
  uint64_t compressed = 0;
  while (pos + 10 <= end) {
    uint8_t f[10];
    if (ReadAt(fd, pos, f, 10) != 10 || f[0] == 0) break;  // padding
    const uint32_t size = major == 4 ? Syncsafe(f + 4)
                                     : (uint32_t{f[4]} << 24) | (uint32_t{f[5]} << 16) | (uint32_t{f[6]} << 8) | f[7];
    const bool isCompressed = major == 4 ? (f[9] & 0x08) != 0 : (f[9] & 0x80) != 0;
    if (isCompressed) compressed += size;
    if (compressed > kMaxCompressedId3) return false;
    pos += 10 + int64_t{size};
  }
  return true;
}

// "YYYY", "YYYY-MM", "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM(:SS)" as tags give it.
std::string TagDate(const TagLib::PropertyMap& props, unsigned year) {
  const auto it = props.find("DATE");
  if (it != props.end() && !it->second.isEmpty()) {
    std::string d = it->second.front().to8Bit(true);
    if (d.size() > 10 && d[10] == ' ') d[10] = 'T';
    const char* form = "dddd-dd-ddTdd:dd:dd";
    size_t n = 0;
    while (n < d.size() && form[n] && (form[n] == 'd' ? (d[n] >= '0' && d[n] <= '9') : d[n] == form[n])) ++n;
    for (size_t cut : {19u, 16u, 10u, 7u, 4u}) {
      if (n >= cut) return d.substr(0, cut);
    }
  }
  return year > 0 && year < 10000 ? std::to_string(year) : std::string();
}

// The front cover when there is one, else the first picture.
TagLib::ByteVector Id3Picture(TagLib::ID3v2::Tag* tag) {
  if (!tag) return TagLib::ByteVector();
  const TagLib::ID3v2::FrameList& frames = tag->frameListMap()["APIC"];
  TagLib::ByteVector first;
  for (TagLib::ID3v2::Frame* f : frames) {
    auto* pic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(f);
    if (!pic) continue;
    if (pic->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) return pic->picture();
    if (first.isEmpty()) first = pic->picture();
  }
  return first;
}

TagLib::ByteVector FlacPicture(const TagLib::List<TagLib::FLAC::Picture*>& list) {
  TagLib::ByteVector first;
  for (TagLib::FLAC::Picture* p : list) {
    if (p->type() == TagLib::FLAC::Picture::FrontCover) return p->data();
    if (first.isEmpty()) first = p->data();
  }
  return first;
}

TagLib::ByteVector Mp4Picture(TagLib::MP4::Tag* tag) {
  if (!tag || !tag->contains("covr")) return TagLib::ByteVector();
  const TagLib::MP4::CoverArtList covers = tag->item("covr").toCoverArtList();
  return covers.isEmpty() ? TagLib::ByteVector() : covers.front().data();
}

// A picture worth offering: a JPEG or PNG whose header is within the limits.
bool UsablePicture(const TagLib::ByteVector& data) {
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  const size_t n = data.size();
  if (n < 24 || n > static_cast<size_t>(kMaxImageBytes)) return false;
  uint32_t w = 0, h = 0;
  if (p[0] == 0xFF && p[1] == 0xD8) {
    if (!JpegDimensions(p, n, &w, &h)) return false;
  } else if (memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0) {
    w = (uint32_t{p[16]} << 24) | (uint32_t{p[17]} << 16) | (uint32_t{p[18]} << 8) | p[19];
    h = (uint32_t{p[20]} << 24) | (uint32_t{p[21]} << 16) | (uint32_t{p[22]} << 8) | p[23];
  } else {
    return false;
  }
  const uint64_t pixels = uint64_t{w} * h;
  return pixels > 0 && pixels <= kMaxProgressivePixels;
}

void FillCommon(TagLib::File& file, MediaFacts* facts) {
  if (TagLib::Tag* tag = file.tag()) {
    facts->title = Text(tag->title());
    facts->artist = Text(tag->artist());
    facts->album = Text(tag->album());
    facts->genre = Text(tag->genre());
    facts->track = tag->track();
    const TagLib::PropertyMap props = file.properties();
    facts->date = TagDate(props, tag->year());
    const auto aa = props.find("ALBUMARTIST");
    if (aa != props.end() && !aa->second.isEmpty()) facts->albumArtist = Text(aa->second.front());
  }
  if (TagLib::AudioProperties* ap = file.audioProperties()) {
    const int ms = ap->lengthInMilliseconds();
    if (ms > 0) facts->durationMs = ms;
    if (ap->bitrate() > 0) facts->bitrate = static_cast<uint32_t>(ap->bitrate()) * 1000u;
    if (ap->sampleRate() > 0) facts->sampleRate = static_cast<uint32_t>(ap->sampleRate());
    if (ap->channels() > 0 && ap->channels() < 256) facts->channels = static_cast<uint16_t>(ap->channels());
  }
}

}  // namespace

MediaFacts ExtractAudio(int fd, const std::string& name, std::string* artJpeg) {
  QuietLibraries();
  MediaFacts facts;
  facts.kind = MediaFacts::kAudio;
  if (FileSize(fd) < 0) return facts;
  if (!Id3v2Acceptable(fd)) {
    facts.unreadable = true;
    return facts;
  }
  const std::string ext = LowerExtension(name);
  FdStream stream(fd, name);
  TagLib::ByteVector picture;
  bool viaAvformat = false;  // stream details TagLib does not give

  if (ext == "mp3" || ext == "m2a") {
    TagLib::MPEG::File f(&stream, TagLib::ID3v2::FrameFactory::instance());
    if (f.isValid()) {
      FillCommon(f, &facts);
      picture = Id3Picture(f.ID3v2Tag());
      if (const TagLib::MPEG::Properties* p = f.audioProperties()) {
        const int version = p->version() == TagLib::MPEG::Header::Version1 ? 1
                            : p->version() == TagLib::MPEG::Header::Version2 ? 2 : 25;
        facts.audioCodec = p->layer() == 3 ? "mp3" : p->layer() == 2 ? "mp2" : "mp1";
        facts.dlnaProfile = Mp3Profile(version, p->layer(), facts.sampleRate, facts.channels, facts.bitrate);
      }
    }
  } else if (ext == "flac") {
    TagLib::FLAC::File f(&stream, TagLib::ID3v2::FrameFactory::instance());
    if (f.isValid()) {
      FillCommon(f, &facts);
      facts.audioCodec = "flac";
      picture = FlacPicture(f.pictureList());
      if (picture.isEmpty()) picture = Id3Picture(f.ID3v2Tag());
      if (f.audioProperties()) facts.bitsPerSample = static_cast<uint16_t>(f.audioProperties()->bitsPerSample());
    }
  } else if (ext == "m4a" || ext == "m4b" || ext == "isma") {
    TagLib::MP4::File f(&stream);
    if (f.isValid()) {
      FillCommon(f, &facts);
      picture = Mp4Picture(f.tag());
    }
    viaAvformat = true;  // AAC's profile decides DLNA's
  } else if (ext == "ogg" || ext == "oga") {
    TagLib::Ogg::Vorbis::File f(&stream);
    if (f.isValid()) {
      FillCommon(f, &facts);
      facts.audioCodec = "vorbis";
      if (f.tag()) picture = FlacPicture(f.tag()->pictureList());
    }
  } else if (ext == "opus") {
    TagLib::Ogg::Opus::File f(&stream);
    if (f.isValid()) {
      FillCommon(f, &facts);
      facts.audioCodec = "opus";
      if (f.tag()) picture = FlacPicture(f.tag()->pictureList());
    }
  } else if (ext == "wav") {
    TagLib::RIFF::WAV::File f(&stream);
    if (f.isValid()) {
      FillCommon(f, &facts);
      picture = Id3Picture(f.ID3v2Tag());
      if (const TagLib::RIFF::WAV::Properties* p = f.audioProperties()) {
        facts.bitsPerSample = static_cast<uint16_t>(p->bitsPerSample());
        if (p->format() == 1) facts.audioCodec = "pcm_s" + std::to_string(p->bitsPerSample()) + "le";
        facts.dlnaProfile = LpcmProfile(p->format(), p->bitsPerSample(), facts.sampleRate, facts.channels);
      }
    }
  } else if (ext == "aif" || ext == "aiff" || ext == "aifc" || ext == "afc") {
    TagLib::RIFF::AIFF::File f(&stream);
    if (f.isValid()) {
      FillCommon(f, &facts);
      picture = Id3Picture(f.tag());
      if (f.audioProperties()) facts.bitsPerSample = static_cast<uint16_t>(f.audioProperties()->bitsPerSample());
    }
  } else {
    viaAvformat = true;
    TagLib::FileRef ref(&stream);
    if (!ref.isNull() && ref.file()->isValid()) FillCommon(*ref.file(), &facts);
  }

  if (viaAvformat || facts.durationMs < 0) {
    MediaFacts streams;
    StreamSummary summary;
    if (ReadWithAvformat(fd, name, &streams, &summary, nullptr)) {
      if (facts.durationMs < 0) facts.durationMs = streams.durationMs;
      if (streams.bitrate) facts.bitrate = streams.bitrate;
      if (!facts.sampleRate) facts.sampleRate = streams.sampleRate;
      if (!facts.channels) facts.channels = streams.channels;
      facts.container = streams.container;
      facts.audioCodec = streams.audioCodec;
      if (facts.dlnaProfile.empty()) facts.dlnaProfile = AacProfile(summary);
    }
  }

  facts.hasArt = UsablePicture(picture);
  if (artJpeg && facts.hasArt) {
    if (!ScaleImageToJpeg(reinterpret_cast<const uint8_t*>(picture.data()), picture.size(), kThumbnailBox, 0,
                          artJpeg)) {
      artJpeg->clear();
    }
  }
  return facts;
}

}  // namespace tovaly::extract
