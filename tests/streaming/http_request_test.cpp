#include <gtest/gtest.h>

#include <clocale>

#include "streaming/http_request.h"

namespace tovaly {
namespace {

TEST(ParseRange, TheThreeFormsTheirLimitsAndEmptyFiles) {
  const uint64_t k = 1000, five = 5ULL << 30;
  const struct { const char* header; uint64_t size; const char* want; } cases[] = {  // kind|first|length
      {nullptr, k, "whole|0|1000"}, {"bytes=0-0", k, "partial|0|1"}, {"bytes=0-999", k, "partial|0|1000"},
      {"bytes=999-999", k, "partial|999|1"}, {"bytes=999-", k, "partial|999|1"},
      {"bytes=1000-", k, "416|0|0"}, {"bytes=1000-1000", k, "416|0|0"},  // one past the end
      {"bytes=10-5000", k, "partial|10|990"},                              // the end is clipped
      {"bytes=-1", k, "partial|999|1"}, {"bytes=-1000", k, "partial|0|1000"},
      {"bytes=-1001", k, "partial|0|1000"},  // more than there is: all of it
      {"bytes=-0", k, "416|0|0"}, {"Bytes = 5 - 9", k, "partial|5|5"},
      {"bytes=5-9,20-30", k, "partial|5|5"}, {"bytes=5-9, -3", k, "partial|5|5"},  // only the first of several
      // Not a range: the header is ignored and the whole body sent.
      {"bytes=9-5", k, "whole|0|1000"}, {"bytes=", k, "whole|0|1000"}, {"bytes=-", k, "whole|0|1000"},
      {"bytes=a-b", k, "whole|0|1000"}, {"bytes=1-2x", k, "whole|0|1000"}, {"items=0-1", k, "whole|0|1000"},
      {"bytes=99999999999999999999-", k, "whole|0|1000"},  // past 63 bits
      {"bytes=4294967296-4294967305", five, "partial|4294967296|10"},
      {"bytes=5368709119-", five, "partial|5368709119|1"}, {"bytes=5368709120-", five, "416|0|0"},
      {"bytes=-4294967297", five, "partial|1073741823|4294967297"},
      {"bytes=0-", 0, "416|0|0"}, {"bytes=-5", 0, "416|0|0"}, {nullptr, 0, "whole|0|0"},
  };
  static const char* const kinds[] = {"whole", "partial", "416"};
  for (const auto& c : cases) {
    const ByteRange r = ParseRange(c.header, c.size);
    EXPECT_EQ(std::string(kinds[r.kind]) + "|" + std::to_string(r.first) + "|" + std::to_string(r.length), c.want)
        << (c.header ? c.header : "null") << " of " << c.size;
  }
}

TEST(DecodeRequestPath, DecodesOnceAndRefusesWhatNamesNoFile) {
  for (const auto& [path, decoded] : std::vector<std::pair<const char*, const char*>>{
           {"Music/a%20b%3F.mp3", "Music/a b?.mp3"}, {"%252e%252e/x", "%2e%2e/x"}, {"%D0%9A%d0%b8", "Ки"}}) {
    std::string out;
    EXPECT_TRUE(DecodeRequestPath(path, &out) && out == decoded) << path << " " << out;
  }
  std::string out;
  for (const char* bad : {"a%00.mp3", "a%", "a%4", "a%zz", "%%41", "a%G1"}) {
    EXPECT_FALSE(DecodeRequestPath(bad, &out)) << bad;
  }
}

// DNS rebinding: a name that is not this machine's never gets an answer.
TEST(HostAllowed, AddressesAndTheMachinesOwnNamesOnly) {
  const std::vector<std::string> own{"localhost", "nas", "nas.local"};
  for (const char* good : {"192.0.2.1", "192.0.2.1:49153", " 192.0.2.1:1 ", "[::1]", "[fe80::1]:8200", "NAS",
                           "nas:80", "Nas.Local:49153", "nas.", "localhost:65535"}) {
    EXPECT_TRUE(HostAllowed(good, own)) << good;
  }
  EXPECT_TRUE(HostAllowed(nullptr, own));  // HTTP/1.0 sends none
  for (const char* bad : {"attacker.example", "attacker.example:49153", "nas.attacker.example", "192.0.2.1.nip.io",
                          "", " ", "192.0.2.1:", "192.0.2.1:65536", "192.0.2.1:80x", "[::1", "[::1]x", "[::1]:",
                          "[nas]", "999.0.2.1", "nas:", "localhost:-1", "nas .local"}) {
    EXPECT_FALSE(HostAllowed(bad, own)) << bad;
  }
  EXPECT_FALSE(HostAllowed("nas", {}));
}

TEST(HttpDate, EnglishNamesWhateverTheLocale) {
  setlocale(LC_ALL, "");
  EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(HttpDate(1796592650), "Sun, 06 Dec 2026 21:30:50 GMT");
}

TEST(DlnaHeaders, StreamingForAudioAndVideoOnly) {
  for (const char* streamed : {"video/mp4", "audio/mpeg", "application/ogg"}) {
    EXPECT_STREQ(DlnaHeadersFor(streamed).transferMode, "Streaming") << streamed;
  }
  for (const char* other : {"image/jpeg", "text/plain", "application/octet-stream"}) {
    EXPECT_STREQ(DlnaHeadersFor(other).transferMode, "Interactive") << other;
  }
}

}  // namespace
}  // namespace tovaly
