// Start-up rules of the desktop program and the shared folder it starts with.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "app/startup.h"
#include "core/app_config.h"
#include "library/host_answers.h"

namespace tovaly {
namespace {

// The process-wide settings file, fixed at its first use: one for this run.
const std::string& SettingsFile() {
  static const std::string path = [] {
    std::string p = "/tmp/tovaly-start-test-" + std::to_string(getpid()) + ".ini";
    setenv("TOVALY_CONFIG", p.c_str(), 1);
    return p;
  }();
  return path;
}

class TempHome : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovaly-start-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    for (const char* v : {"HOME", "XDG_CONFIG_HOME"}) {
      const char* old = getenv(v);
      saved_.emplace_back(v, old ? std::make_unique<std::string>(old) : nullptr);
    }
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unlink(SettingsFile().c_str());
    ASSERT_EQ(util::AppConfig::Instance().path(), SettingsFile());
    mkdir((home_ + "/.config").c_str(), 0700);
  }
  void TearDown() override {
    for (auto& [name, value] : saved_) value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    SetContentFolderOverride("");
    std::system(("rm -rf '" + home_ + "'").c_str());
    unlink(SettingsFile().c_str());
  }
  void UserDirs(const std::string& videosLine) {
    std::ofstream(home_ + "/.config/user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                        "XDG_MUSIC_DIR=\"$HOME/Musik\"\n"
                                                     << videosLine << "\n";
  }
  std::string home_;
  std::vector<std::pair<const char*, std::unique_ptr<std::string>>> saved_;
};

TEST_F(TempHome, EmptySettingSharesTheVideosFolderAndKeepsIt) {
  UserDirs("XDG_VIDEOS_DIR=\"$HOME/Filme\"");
  const util::AppConfig& config = util::AppConfig::Instance();
  EXPECT_EQ(DefaultContentFolder(), home_ + "/Filme");
  EXPECT_EQ(ContentFolder(), home_ + "/Filme/");
  EXPECT_EQ(config.Get("content_path"), home_ + "/Filme");  // written back once
  UserDirs("XDG_VIDEOS_DIR=\"/srv/films\"");
  EXPECT_EQ(ContentFolder(), home_ + "/Filme/");  // the stored choice stays

  // The home itself, an unset line or no file at all: ~/Videos.
  for (const char* line : {"XDG_VIDEOS_DIR=\"$HOME/\"", "XDG_VIDEOS_DIR=\"$HOME\"", "XDG_VIDEOS_DIR=\"\"", ""}) {
    UserDirs(line);
    EXPECT_EQ(DefaultContentFolder(), home_ + "/Videos") << line;
  }
  unlink((home_ + "/.config/user-dirs.dirs").c_str());
  EXPECT_EQ(DefaultContentFolder(), home_ + "/Videos");
}

TEST_F(TempHome, FolderOfOneRunIsWrittenNowhere) {
  const util::AppConfig& config = util::AppConfig::Instance();
  ASSERT_TRUE(config.Set("content_path", "/srv/kept"));
  SetContentFolderOverride(home_);
  EXPECT_EQ(ContentFolder(), home_ + "/");
  EXPECT_EQ(config.Get("content_path"), "/srv/kept");
  SetContentFolderOverride("");
  EXPECT_EQ(ContentFolder(), "/srv/kept/");
}

TEST_F(TempHome, FirewallKeyIsWrittenOnceAndOnlyForAnAdministrator) {
  const util::AppConfig& config = util::AppConfig::Instance();
  EXPECT_FALSE(app::FirewallStep(config, false));
  EXPECT_EQ(config.Get("enable_firewall"), "");  // asked again next time
  EXPECT_TRUE(app::FirewallStep(config, true));
  EXPECT_EQ(config.Get("enable_firewall"), "true");
  EXPECT_FALSE(app::FirewallStep(config, true));
  ASSERT_TRUE(config.Set("enable_firewall", "no"));  // any value means done
  EXPECT_FALSE(app::FirewallStep(config, true));
  EXPECT_EQ(config.Get("enable_firewall"), "no");
}

// The server's identity: made once and kept, so that devices know it after a
// restart; an id edited into something that makes no UDN is replaced once.
TEST_F(TempHome, ServerIdentitySurvivesRestarts) {
  auto udn = [] {
    char text[64] = "";
    TextRequest request{text, sizeof text};
    EXPECT_EQ(AnswerDeviceUdn(&request), 1);
    return std::string(text);
  };
  auto stored = [] { return "uuid:" + util::AppConfig(SettingsFile()).Get("machine_id"); };  // a restarted program
  const std::string first = udn();
  EXPECT_EQ(first.size(), 41u) << first;
  EXPECT_EQ(stored(), first);
  EXPECT_EQ(udn(), first);
  for (const char* edited : {"not-a-uuid", "01234567-89ab-cdef-0123-456789abcdeg", "0123456789ab-cdef-0123-456789abcdef-",
                             "01234567-89ab-cdef-0123-456789abcde", ""}) {
    ASSERT_TRUE(util::AppConfig(SettingsFile()).Set("machine_id", edited));
    const std::string replaced = udn();
    EXPECT_NE(replaced, "uuid:" + std::string(edited));
    EXPECT_EQ(stored(), replaced) << edited;
    EXPECT_EQ(udn(), replaced) << edited;
  }
  ASSERT_TRUE(util::AppConfig(SettingsFile()).Set("machine_id", "01234567-89AB-cdef-0123-456789abcdef"));
  EXPECT_EQ(udn(), "uuid:01234567-89AB-cdef-0123-456789abcdef");  // a valid id is kept as written
}

TEST(ShowOption, AnyPrefixAndLetterCase) {
  for (const char* yes : {"-show", "/show", "--show", "-SHOW", "/Show"})
    EXPECT_TRUE(app::HasShowOption({"tovaly", yes})) << yes;
  for (const char* no : {"show", "-shows", "--sho", "---show", "-", "/s"})
    EXPECT_FALSE(app::HasShowOption({"tovaly", no})) << no;
  EXPECT_TRUE(app::HasShowOption({"tovaly", "-x", "/SHOW"}));
}

}  // namespace
}  // namespace tovaly
