// The extractors on files made by the tests: what each reads, the DLNA
// profile it gives (and none where none is checked), the images it makes,
// and what it does with hostile input.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "library/extract/extract.h"
#include "test_media.h"

namespace tovaly {
namespace {

using extract::Extract;
using testing::Media;

#define NEED_MEDIA() \
  if (!Media().ok) GTEST_SKIP() << "ffmpeg or exiftool missing (scripts/install-deps.sh installs them)"

MediaFacts FactsOf(const std::string& path, std::string* jpeg = nullptr, const std::string& name = "") {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  MediaFacts f = Extract(fd, name.empty() ? path : name, jpeg);
  close(fd);
  return f;
}

struct Pixels {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
  // 'r', 'g', 'b' for a clearly red, green or blue pixel, '?' otherwise.
  char At(int x, int y) const {
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
    if (p[0] > 180 && p[1] < 80 && p[2] < 80) return 'r';
    if (p[2] > 180 && p[0] < 80 && p[1] < 80) return 'b';
    if (p[1] > 180 && p[0] < 80 && p[2] < 80) return 'g';
    return '?';
  }
};

Pixels Decode(const std::string& jpeg) {
  Pixels px;
  tjhandle tj = tjInitDecompress();
  int ss = 0, cs = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  if (tjDecompressHeader3(tj, data, jpeg.size(), &px.w, &px.h, &ss, &cs) == 0) {
    px.rgb.resize(static_cast<size_t>(px.w) * px.h * 3);
    if (tjDecompress2(tj, data, jpeg.size(), px.rgb.data(), px.w, 0, px.h, TJPF_RGB, 0) != 0) px.w = px.h = 0;
  }
  tjDestroy(tj);
  return px;
}

// A JPEG that is only markers: SOFn with the given size, then the end.
std::string JpegHeaderOnly(uint32_t w, uint32_t h, uint8_t sof = 0xC0, uint8_t precision = 8, uint8_t comps = 3) {
  const int len = 8 + 3 * comps;
  std::string j = {'\xFF', '\xD8', '\xFF', char(sof), char(len >> 8), char(len & 0xFF), char(precision),
                   char(h >> 8), char(h & 0xFF), char(w >> 8), char(w & 0xFF), char(comps)};
  for (uint8_t c = 0; c < comps; ++c) j += std::string{char(c + 1), '\x11', '\0'};
  return j + "\xFF\xD9";
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovaly-extract-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Put(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    EXPECT_TRUE(testing::WriteFile(path, bytes));
    return path;
  }
  std::string dir_;
};

TEST(AudioFacts, TagsAndStreamsOfEachContainer) {
  NEED_MEDIA();
  const std::string tags = std::string(testing::kTitle) + "|" + testing::kArtist + "|" + testing::kAlbum + "|" +
                           testing::kGenre + "|7|2019";
  // rate|channels|codec|profile
  const std::pair<std::string, const char*> cases[] = {
      {Media().mp3, "44100|2|mp3|MP3"}, {Media().flac, "48000|2|flac|"}, {Media().m4a, "44100|2|aac|AAC_ISO_320"}};
  for (const auto& [path, streams] : cases) {
    const MediaFacts f = FactsOf(path);
    SCOPED_TRACE(path);
    EXPECT_TRUE(f.kind == MediaFacts::kAudio && !f.unreadable && f.hasArt);
    EXPECT_EQ(f.title + "|" + f.artist + "|" + f.album + "|" + f.genre + "|" + std::to_string(f.track) + "|" + f.date,
              tags);
    EXPECT_EQ(std::to_string(f.sampleRate) + "|" + std::to_string(f.channels) + "|" + f.audioCodec + "|" +
                  f.dlnaProfile,
              streams);
    EXPECT_NEAR(f.durationMs, 3000, 100);
  }
  EXPECT_NEAR(FactsOf(Media().mp3).bitrate, 128000, 2000);
}

TEST(AudioFacts, SoundAloneUnderAVideoExtensionIsReadAsAudio) {
  NEED_MEDIA();
  const MediaFacts f = FactsOf(Media().ogg);
  EXPECT_EQ(f.kind, MediaFacts::kAudio);
  EXPECT_EQ(f.title, testing::kTitle);
  EXPECT_EQ(f.audioCodec, "vorbis");
  EXPECT_NEAR(f.durationMs, 3000, 100);
  EXPECT_FALSE(f.hasThumbnail);
}

TEST(AudioFacts, DlnaProfileFromTheStreamNotTheName) {
  NEED_MEDIA();
  const struct {
    std::string path;
    const char* profile;
    uint16_t bits;
  } cases[] = {{Media().mp3Mono22, "MP3X", 0}, {Media().wav16, "LPCM", 16}, {Media().wav24, "", 24}};
  for (const auto& c : cases) {
    const MediaFacts f = FactsOf(c.path);
    EXPECT_EQ(f.dlnaProfile, c.profile) << c.path;
    if (c.bits) {
      EXPECT_EQ(f.bitsPerSample, c.bits) << c.path;
    }
  }
  const MediaFacts wav = FactsOf(Media().wav16);
  EXPECT_NEAR(wav.durationMs, 2000, 20);
  EXPECT_EQ(std::to_string(wav.sampleRate) + "|" + std::to_string(wav.channels), "44100|2");
  // A WAV named .mp3 is read as MPEG, finds no frames, and gets no profile.
  EXPECT_EQ(FactsOf(Media().wav16, nullptr, "pcm.mp3").dlnaProfile, "");
}

TEST(AudioArt, CoverScaledIntoTheBoxAspectKept) {
  NEED_MEDIA();
  for (const std::string& path : {Media().mp3, Media().flac, Media().m4a}) {
    std::string jpeg;
    FactsOf(path, &jpeg);
    const Pixels px = Decode(jpeg);
    SCOPED_TRACE(path);
    EXPECT_EQ(px.w, 160);
    EXPECT_EQ(px.h, 107);  // 300x200
    if (px.w == 160) {
      EXPECT_EQ(px.At(5, 50), 'r');
      EXPECT_EQ(px.At(154, 50), 'b');
    }
  }
  std::string none = "x";
  FactsOf(Media().wav16, &none);
  EXPECT_EQ(none, "");
}

TEST(VideoFacts, StreamsOfMp4AndMatroska) {
  NEED_MEDIA();
  const MediaFacts mp4 = FactsOf(Media().mp4Main);
  EXPECT_EQ(mp4.kind, MediaFacts::kVideo);
  EXPECT_EQ(mp4.container.substr(0, 4), "mov,");
  EXPECT_EQ(mp4.videoCodec + " " + mp4.videoProfile + " " + std::to_string(mp4.videoLevel) + " " +
                std::to_string(mp4.width) + "x" + std::to_string(mp4.height),
            "h264 Main 30 320x240");
  EXPECT_EQ(mp4.frameRateNum * 1.0 / mp4.frameRateDen, 25.0);
  EXPECT_EQ(mp4.audioCodec + " " + std::to_string(mp4.sampleRate) + " " + std::to_string(mp4.channels), "aac 44100 1");
  EXPECT_NEAR(mp4.durationMs, 2000, 100);
  EXPECT_TRUE(mp4.bitrate > 0 && mp4.hasThumbnail);

  const MediaFacts mkv = FactsOf(Media().mkv);
  EXPECT_EQ(mkv.container + " " + mkv.videoCodec + " " + mkv.audioCodec, "matroska,webm h264 vorbis");
  EXPECT_NEAR(mkv.durationMs, 2000, 100);
}

TEST(VideoFacts, AvcProfileOnlyWhereItsLimitsWereChecked) {
  NEED_MEDIA();
  const struct {
    std::string path;
    const char* profile;
  } cases[] = {{Media().mp4Main, "AVC_MP4_MP_SD_AAC_MULT5"},
               {Media().mp4High, "AVC_MP4_HP_HD_AAC"},
               {Media().mp4Cif, "AVC_MP4_BL_CIF15_AAC_520"},
               {Media().mp4High444, ""},  // High 4:4:4: not a profile we check
               {Media().mov, ""},         // QuickTime, not MP4
               {Media().mkv, ""}};
  for (const auto& c : cases) EXPECT_EQ(FactsOf(c.path).dlnaProfile, c.profile) << c.path;
}

TEST(VideoThumbnail, AFrameWithinTheBoxAspectKept) {
  NEED_MEDIA();
  const struct {
    std::string path;
    int w, h;
  } cases[] = {{Media().mp4Main, 160, 120}, {Media().mp4High, 160, 90}, {Media().mkv, 160, 120}};
  for (const auto& c : cases) {
    std::string jpeg;
    FactsOf(c.path, &jpeg);
    const Pixels px = Decode(jpeg);
    EXPECT_EQ(px.w, c.w) << c.path;
    EXPECT_EQ(px.h, c.h) << c.path;
  }
}

TEST(PictureFacts, ExifDateOrientationAndProfile) {
  NEED_MEDIA();
  const MediaFacts f = FactsOf(Media().photo);
  EXPECT_TRUE(f.kind == MediaFacts::kImage && f.hasThumbnail);
  EXPECT_EQ(std::to_string(f.width) + "x" + std::to_string(f.height) + " " + std::to_string(f.orientation) + " " +
                f.date + " " + f.dlnaProfile,
            "320x160 6 2021-06-15T10:20:30 JPEG_SM");
  const MediaFacts png = FactsOf(Media().png);
  EXPECT_EQ(std::to_string(png.width) + "x" + std::to_string(png.height) + " " + png.dlnaProfile, "200x100 ");
}

TEST(PictureThumbnail, TurnedUprightByItsOrientation) {
  NEED_MEDIA();
  std::string jpeg;
  FactsOf(Media().photo, &jpeg);
  const Pixels px = Decode(jpeg);
  // Stored 320x160, red above blue; orientation 6 is shown turned a quarter
  // clockwise: 80x160, blue on the left, red on the right.
  ASSERT_EQ(px.w, 80);
  ASSERT_EQ(px.h, 160);
  EXPECT_EQ(px.At(5, 80), 'b');
  EXPECT_EQ(px.At(74, 80), 'r');

  FactsOf(Media().png, &jpeg);
  const Pixels png = Decode(jpeg);
  EXPECT_EQ(png.w, 160);
  EXPECT_EQ(png.h, 80);
}

TEST_F(TempDir, JpegProfileBySizeOnEachSideOfEachLimit) {
  const struct {
    uint32_t w, h;
    uint8_t sof, precision, comps;
    const char* profile;
  } cases[] = {
      {160, 160, 0xC0, 8, 3, "JPEG_TN"},   {161, 160, 0xC0, 8, 3, "JPEG_SM"},   {640, 480, 0xC1, 8, 1, "JPEG_SM"},
      {640, 481, 0xC0, 8, 3, "JPEG_MED"},  {1024, 768, 0xC0, 8, 3, "JPEG_MED"}, {1025, 768, 0xC0, 8, 3, "JPEG_LRG"},
      {4096, 4096, 0xC0, 8, 3, "JPEG_LRG"}, {4097, 4096, 0xC0, 8, 3, ""},
      {100, 100, 0xC2, 8, 3, ""},  // progressive
      {100, 100, 0xC1, 12, 3, ""}, // 12-bit
      {100, 100, 0xC0, 8, 4, ""},  // CMYK
  };
  for (const auto& c : cases) {
    const std::string path = Put("p.jpg", JpegHeaderOnly(c.w, c.h, c.sof, c.precision, c.comps));
    EXPECT_EQ(FactsOf(path).dlnaProfile, c.profile) << c.w << "x" << c.h << " sof " << int{c.sof};
  }
}

TEST_F(TempDir, ImagesOverThePixelLimitAreNotDecoded) {
  // Baseline up to 100 megapixels, progressive up to 50: one pixel row more is refused.
  const struct {
    uint32_t w, h;
    uint8_t sof;
    bool thumbnail;
  } cases[] = {{10000, 10000, 0xC0, true}, {10000, 10001, 0xC0, false}, {20000, 20000, 0xC0, false},
               {10000, 5000, 0xC2, true},  {10000, 5001, 0xC2, false},  {16384, 16384, 0xC2, false}};
  for (const auto& c : cases) {
    const std::string bytes = JpegHeaderOnly(c.w, c.h, c.sof);
    const std::string path = Put("big.jpg", bytes);
    const MediaFacts f = FactsOf(path);
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    EXPECT_EQ(f.width, c.w);
    EXPECT_EQ(f.height, c.h);
    EXPECT_EQ(f.hasThumbnail, c.thumbnail);
    // Nothing to decode in these: refused or failed, never a picture.
    std::string jpeg;
    EXPECT_FALSE(extract::ScaleImageToJpeg(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 160, 0,
                                           &jpeg));
  }
}

// An ID3v2.3 tag of one compressed TIT2 frame of `frameSize` bytes (not
// valid zlib), then MPEG audio.
std::string Id3Compressed(uint32_t frameSize, const std::string& audio) {
  std::string frame = "TIT2";
  for (int s : {24, 16, 8, 0}) frame += static_cast<char>((frameSize >> s) & 0xFF);
  frame += std::string("\x00\x80", 2);
  frame += std::string("\x00\x10\x00\x00", 4);  // "inflates to 1 MiB"
  frame += std::string(frameSize - 4, 'x');
  const uint32_t tagSize = static_cast<uint32_t>(frame.size());
  std::string tag = "ID3";
  tag += std::string("\x03\x00\x00", 3);
  for (int s : {21, 14, 7, 0}) tag += static_cast<char>((tagSize >> s) & 0x7F);
  return tag + frame + audio;
}

TEST_F(TempDir, CompressedTagFramesOverTheLimitAreRefused) {
  NEED_MEDIA();
  const std::string audio = testing::ReadFile(Media().mp3Mono22);
  const MediaFacts at = FactsOf(Put("at.mp3", Id3Compressed(64 * 1024, audio)));
  EXPECT_FALSE(at.unreadable);
  EXPECT_EQ(at.dlnaProfile, "MP3X");
  EXPECT_TRUE(FactsOf(Put("over.mp3", Id3Compressed(64 * 1024 + 1, audio))).unreadable);
}

TEST_F(TempDir, DeclaredSizesBeyondTheFileAndCutFilesGiveWhatIsThere) {
  NEED_MEDIA();
  // An ID3v2.4 tag and a frame declaring 256 MiB, over three seconds of MP3.
  std::string huge = std::string("ID3\x04\x00\x00\x7F\x7F\x7F\x7F", 10) + "TIT2" + std::string("\x7F\x7F\x7F\x7F\0\0", 6);
  const MediaFacts f = FactsOf(Put("huge.mp3", huge + "\x03title" + testing::ReadFile(Media().mp3)));
  EXPECT_EQ(f.kind, MediaFacts::kAudio);
  EXPECT_FALSE(f.unreadable);

  for (const std::string& path : {Media().mp3, Media().flac, Media().m4a, Media().wav16, Media().mp4Main,
                                  Media().mkv, Media().photo, Media().png}) {
    const std::string whole = testing::ReadFile(path);
    const std::string ext = path.substr(path.rfind('.'));
    for (size_t cut : {size_t{0}, size_t{7}, size_t{100}, whole.size() / 2, whole.size() - 1}) {
      std::string jpeg;
      const MediaFacts cutFacts = FactsOf(Put("cut" + ext, whole.substr(0, cut)), &jpeg);
      EXPECT_NE(cutFacts.kind, MediaFacts::kUnknown) << path << " cut at " << cut;
      if (!jpeg.empty()) {
        EXPECT_LE(Decode(jpeg).w, 160) << path << " cut at " << cut;
      }
    }
  }
}

}  // namespace
}  // namespace tovaly
