#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/text.h"

namespace tovaly {
namespace {

using Strings = std::vector<std::string>;

TEST(Text, NaturalOrderAndUtf8) {
  EXPECT_FALSE(NaturalLess("episode 10", "Episode 2"));
  EXPECT_TRUE(NaturalLess("file", "file1"));
  EXPECT_TRUE(NaturalLess("x01", "x1") != NaturalLess("x1", "x01"));  // a total order even here
  EXPECT_TRUE(IsValidUtf8("Épisode 😀"));
  EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF, the last code point
  // Truncated, overlong "/", surrogate, a byte never valid, one past U+10FFFF.
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xff", "\xF4\x90\x80\x80"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  }
  EXPECT_FALSE(IsValidUtf8(std::string("a\0b", 3)));
}

// The protocol lists of ConnectionManager: ours written, the renderers' read.
TEST(Text, ListsSplitAtEveryComma) {
  const std::pair<const char*, Strings> cases[] = {{"a,b", {"a", "b"}}, {"a,,b", {"a", "", "b"}}, {",a", {"", "a"}},
                                                   {"a,", {"a"}},        {",", {""}},               {"", {}},
                                                   {nullptr, {}}};
  for (const auto& [text, parts] : cases) EXPECT_EQ(SplitList(text), parts) << (text ? text : "null");
  EXPECT_EQ(SplitList("k=v;x", ';'), (Strings{"k=v", "x"}));
}

TEST(Text, NumbersAtTheirLimits) {
  uint32_t v = 7;
  EXPECT_TRUE(ParseUi4(" 4294967295\t", &v));
  EXPECT_EQ(v, 4294967295u);
  EXPECT_FALSE(ParseUi4("4294967296", &v));
  EXPECT_TRUE(ParseUi4("", &v));
  EXPECT_EQ(v, 0u);
  const std::pair<const char*, int32_t> decimals[] = {{"2147483647", 2147483647},      {"2147483648", 2147483647},
                                                      {"-2147483648", -2147483647 - 1}, {"-2147483649", -2147483647 - 1},
                                                      {"  +12ab", 12},                  {nullptr, 0}};
  for (const auto& [text, value] : decimals) EXPECT_EQ(ParseDecimal(text), value) << (text ? text : "null");
}

TEST(Text, PlayTimesAsPlayersShowThem) {
  for (const auto& [ms, text] : std::vector<std::pair<int64_t, const char*>>{
           {-1, ""}, {0, "0:00"}, {999, "0:00"}, {7000, "0:07"}, {205500, "3:25"}, {3599999, "59:59"},
           {3600000, "1:00:00"}, {3725000, "1:02:05"}, {360000000, "100:00:00"}, {INT64_MAX, "2562047788015:12:55"}}) {
    EXPECT_EQ(PlayTime(ms), text) << ms;
  }
}

TEST(Text, EscapesEverySpecialCharacterWhereverItStands) {
  EXPECT_EQ(XmlEscape(""), "");
  EXPECT_EQ(XmlEscape("plain"), "plain");
  EXPECT_EQ(XmlEscape("<>&\"'"), "&lt;&gt;&amp;&quot;&apos;");
  EXPECT_EQ(XmlEscape(std::string("a\0<", 3)), std::string("a\0&lt;", 6));
  std::string out = "kept ";
  AppendXmlEscaped("x & y", &out);
  EXPECT_EQ(out, "kept x &amp; y");
}

}  // namespace
}  // namespace tovaly
