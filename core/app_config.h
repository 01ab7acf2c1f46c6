#pragma once
// The settings file "config.ini", section "setting". Read at every access and
// never cached, so an edit by hand takes effect at the next read.

#include <string>

#include "core/singleton.h"

namespace tovaly::util {

class AppConfig : public Singleton<AppConfig> {
 public:
  AppConfig();  // the default location, see DefaultPath
  explicit AppConfig(std::string path);

  // The value of key in section "setting", at most 259 bytes; empty when the
  // file, the section or the key is missing or unreadable. Key and section
  // are matched without regard to letter case.
  std::string Get(const std::string& key) const;
  // Writes key=value into section "setting", creating what is missing and
  // keeping every other line as it was. The file is replaced atomically, so a
  // failed write leaves the old file intact. False when it could not be
  // written or the value holds a line break.
  bool Set(const std::string& key, const std::string& value) const;

  const std::string& path() const { return path_; }

  // $TOVALY_CONFIG when set; else config.ini beside the executable when that
  // folder is writable and the program is not installed; else $XDG_CONFIG_HOME/tovaly/config.ini
  // (~/.config/tovaly/config.ini).
  static std::string DefaultPath();
  // The folder of the running executable, with a trailing "/".
  static std::string ExecutableDir();
  // True when the program runs from an installation (its menu entry lies in
  // PREFIX/share/applications beside PREFIX/bin): its settings then belong
  // in the user's folder, even when root could write beside the program.
  static bool Installed();

  static constexpr size_t kMaxValue = 259;

 private:
  std::string path_;
};

}  // namespace tovaly::util
