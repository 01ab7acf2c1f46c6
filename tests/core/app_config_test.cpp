#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/app_config.h"

namespace tovaly::util {
namespace {

class AppConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovaly-config-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/config.ini";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read() {
    std::stringstream ss;
    ss << std::ifstream(path_, std::ios::binary).rdbuf();
    return ss.str();
  }
  std::string dir_, path_;
};

TEST_F(AppConfigTest, ReadingRules) {
  EXPECT_EQ(AppConfig(path_).Get("content_path"), "");  // no file at all
  std::string junk;
  for (int i = 0; i < 70000; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
  const struct { std::string text, contentPath, machineId; } cases[] = {
      {"[other]\ncontent_path=/x\n", "", ""},
      {"[setting]\nmachine_id=abc\n", "", "abc"},
      {"[SETTING]\nCONTENT_PATH = /srv/media/\n", "/srv/media/", ""},
      {"[setting]\ncontent_path=" + std::string(300, 'v') + "\n", std::string(259, 'v'), ""},
      {"[setting]\r\nmachine_id=a=b=c\r\ncontent_path=/m\r\n", "/m", "a=b=c"},
      {junk + "\n[setting]\ncontent_path=/after/junk\n" + std::string(5000, '\0'), "/after/junk", ""},
  };
  for (const auto& c : cases) {
    Write(c.text);
    const AppConfig config(path_);
    EXPECT_EQ(config.Get("content_path") + "|" + config.Get("machine_id"), c.contentPath + "|" + c.machineId)
        << c.text.substr(0, 40);
  }
}

TEST_F(AppConfigTest, ReplacingAValueKeepsEveryOtherLine) {
  const std::string before =
      "; written by hand\n[first]\ncontent_path=/not/this\n\n[setting]\nenable_firewall=true\n"
      "content_path=/old\n# comment\n[last]\nkey=value\n";
  Write(before);
  AppConfig config(path_);
  ASSERT_TRUE(config.Set("CONTENT_PATH", "/new"));
  std::string expected = before;
  expected.replace(expected.find("content_path=/old"), 17, "CONTENT_PATH=/new");
  EXPECT_EQ(Read(), expected);
  ASSERT_TRUE(config.Set("machine_id", "m1"));
  expected.replace(expected.find("[last]"), 0, "machine_id=m1\n");
  EXPECT_EQ(Read(), expected);

  Write("[setting]\r\nmachine_id=a=b=c\r\ncontent_path=/m\r\n");
  ASSERT_TRUE(config.Set("machine_id", "x=y"));
  EXPECT_EQ(Read(), "[setting]\r\nmachine_id=x=y\r\ncontent_path=/m\r\n");
}

TEST_F(AppConfigTest, SetCreatesWhatIsMissing) {
  AppConfig config(dir_ + "/sub/dir/config.ini");
  ASSERT_TRUE(config.Set("content_path", "/a"));
  ASSERT_TRUE(config.Set("machine_id", "b"));
  EXPECT_EQ(config.Get("content_path") + config.Get("machine_id"), "/ab");
  const struct { std::string before, after; } cases[] = {
      {"[other]\nx=1", "[other]\nx=1\n[setting]\ncontent_path=/c\n"},  // no final line end
      {"[setting]\n", "[setting]\ncontent_path=/c\n"},                    // a section without keys
      {"[a]\nx=1\n[setting]", "[a]\nx=1\n[setting]\ncontent_path=/c\n"},
      {"[setting]\n\n\n[b]\ny=2\n", "[setting]\ncontent_path=/c\n\n\n[b]\ny=2\n"},
      {"[setting]\r\n[b]\r\n", "[setting]\r\ncontent_path=/c\r\n[b]\r\n"},
      {"[setting]\nmachine_id=m", "[setting]\nmachine_id=m\ncontent_path=/c\n"},
  };
  for (const auto& c : cases) {
    Write(c.before);
    ASSERT_TRUE(AppConfig(path_).Set("content_path", "/c")) << c.before;
    EXPECT_EQ(Read(), c.after) << c.before;
  }
}

TEST_F(AppConfigTest, RefusedOrFailedWritesChangeNothing) {
  Write("[setting]\ncontent_path=/keep\n");
  AppConfig config(path_);
  EXPECT_FALSE(config.Set("content_path", "/a\n[setting]\nmachine_id=evil"));
  // The temporary file cannot be made: a folder stands in its place.
  ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0700), 0);
  EXPECT_FALSE(config.Set("content_path", "/lost"));
  EXPECT_EQ(Read(), "[setting]\ncontent_path=/keep\n");
}

TEST_F(AppConfigTest, DefaultPathFollowsTheEnvironment) {
  setenv("TOVALY_CONFIG", path_.c_str(), 1);
  EXPECT_EQ(AppConfig::DefaultPath(), path_);
  unsetenv("TOVALY_CONFIG");
  EXPECT_EQ(AppConfig::ExecutableDir().back(), '/');
  // The test binary's folder is writable.
  EXPECT_EQ(AppConfig::DefaultPath(), AppConfig::ExecutableDir() + "config.ini");
}

}  // namespace
}  // namespace tovaly::util
