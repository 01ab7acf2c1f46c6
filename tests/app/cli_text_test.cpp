#include <gtest/gtest.h>

#include "app/cli_common.h"

namespace tovaly::cli {
namespace {

// What a device sends is shown on one line of a terminal, never drawn as more.
TEST(Printable, NetworkTextStaysOnItsLine) {
  EXPECT_EQ(Printable("Living room"), "Living room");
  EXPECT_EQ(Printable("TV\n- server \"x\" uuid:forged"), "TV\\x0A- server \"x\" uuid:forged");
  EXPECT_EQ(Printable("a\rb\x1b[2Jc\x7f"), "a\\x0Db\\x1B[2Jc\\x7F");
  EXPECT_EQ(Printable("Кино 🎵"), "Кино 🎵");
  EXPECT_EQ(Printable("bad\xff\xc3"), "bad\\xFF\\xC3");  // not UTF-8, a truncated sequence
  // Cut after max characters (not bytes), and not at all with 0.
  EXPECT_EQ(Printable("abcdef", 6), "abcdef");
  EXPECT_EQ(Printable("abcdefg", 6), "abcdef…");
  EXPECT_EQ(Printable("ККККККК", 6), "КККККК…");
  EXPECT_EQ(Printable(std::string(100000, 'u'), 0).size(), 100000u);
  EXPECT_EQ(Printable(std::string(100000, 'u')).size(), 100u + std::string("…").size());
}

TEST(JsonString, EscapesWhatJsonMust) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

}  // namespace
}  // namespace tovaly::cli
