#include <gtest/gtest.h>

#include <clocale>

#include "streaming/http_request.h"

namespace tovaly {
namespace {

// kind|first|length
std::string Show(const ByteRange& r) {
  static const char* const kinds[] = {"whole", "partial", "416"};
  return std::string(kinds[r.kind]) + "|" + std::to_string(r.first) + "|" + std::to_string(r.length);
}

TEST(ParseRange, TheThreeFormsAndTheirLimits) {
  const uint64_t size = 1000;
  const struct {
    const char* header;
    const char* want;
  } cases[] = {
      {nullptr, "whole|0|1000"},
      {"bytes=0-0", "partial|0|1"},
      {"bytes=0-999", "partial|0|1000"},
      {"bytes=999-999", "partial|999|1"},
      {"bytes=999-", "partial|999|1"},
      {"bytes=1000-", "416|0|0"},       // one past the end
      {"bytes=1000-1000", "416|0|0"},
      {"bytes=10-5000", "partial|10|990"},  // the end is clipped
      {"bytes=-1", "partial|999|1"},
      {"bytes=-1000", "partial|0|1000"},
      {"bytes=-1001", "partial|0|1000"},  // more than there is: all of it
      {"bytes=-0", "416|0|0"},
      {"Bytes = 5 - 9", "partial|5|5"},
      {"bytes=5-9,20-30", "partial|5|5"},  // only the first of several
      {"bytes=5-9, -3", "partial|5|5"},
      // Not a range: the header is ignored and the whole body sent.
      {"bytes=9-5", "whole|0|1000"},
      {"bytes=", "whole|0|1000"},
      {"bytes=-", "whole|0|1000"},
      {"bytes=a-b", "whole|0|1000"},
      {"bytes=1-2x", "whole|0|1000"},
      {"items=0-1", "whole|0|1000"},
      {"bytes=99999999999999999999-", "whole|0|1000"},  // past 63 bits
  };
  for (const auto& c : cases) EXPECT_EQ(Show(ParseRange(c.header, size)), c.want) << (c.header ? c.header : "null");
}

TEST(ParseRange, OffsetsPastFourGibAndEmptyFiles) {
  const uint64_t five = 5ULL << 30;
  EXPECT_EQ(Show(ParseRange("bytes=4294967296-4294967305", five)), "partial|4294967296|10");
  EXPECT_EQ(Show(ParseRange("bytes=5368709119-", five)), "partial|5368709119|1");
  EXPECT_EQ(Show(ParseRange("bytes=5368709120-", five)), "416|0|0");
  EXPECT_EQ(Show(ParseRange("bytes=-4294967297", five)), "partial|1073741823|4294967297");
  EXPECT_EQ(Show(ParseRange("bytes=0-", 0)), "416|0|0");
  EXPECT_EQ(Show(ParseRange("bytes=-5", 0)), "416|0|0");
  EXPECT_EQ(Show(ParseRange(nullptr, 0)), "whole|0|0");
}

TEST(DecodeRequestPath, DecodesOnceAndRefusesWhatNamesNoFile) {
  std::string out;
  ASSERT_TRUE(DecodeRequestPath("Music/a%20b%3F.mp3", &out));
  EXPECT_EQ(out, "Music/a b?.mp3");
  ASSERT_TRUE(DecodeRequestPath("%252e%252e/x", &out));
  EXPECT_EQ(out, "%2e%2e/x");  // once only
  ASSERT_TRUE(DecodeRequestPath("%D0%9A%d0%b8", &out));
  EXPECT_EQ(out, "Ки");
  for (const char* bad : {"a%00.mp3", "a%", "a%4", "a%zz", "%%41", "a%G1"}) {
    EXPECT_FALSE(DecodeRequestPath(bad, &out)) << bad;
  }
}

TEST(HttpDate, EnglishNamesWhateverTheLocale) {
  setlocale(LC_ALL, "");
  EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(HttpDate(1796592650), "Sun, 06 Dec 2026 21:30:50 GMT");
}

TEST(DlnaHeaders, StreamingForAudioAndVideoOnly) {
  for (const char* streamed : {"video/mp4", "audio/mpeg", "application/ogg"}) {
    EXPECT_STREQ(DlnaHeadersFor(streamed).transferMode, "Streaming") << streamed;
    EXPECT_STREQ(DlnaHeadersFor(streamed).contentFeatures,
                 "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000");
  }
  for (const char* other : {"image/jpeg", "text/plain", "application/octet-stream"}) {
    EXPECT_STREQ(DlnaHeadersFor(other).transferMode, "Interactive") << other;
  }
}

}  // namespace
}  // namespace tovaly
