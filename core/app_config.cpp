#include "core/app_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace tovaly::util {
namespace {

const char kSection[] = "setting";

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A line without its end ("\n", and a "\r" before it).
std::string Body(const std::string& line) {
  return (!line.empty() && line.back() == '\r') ? line.substr(0, line.size() - 1) : line;
}

// The section name when the line is a section header.
bool SectionName(const std::string& line, std::string* name) {
  const std::string t = Trim(Body(line));
  if (t.size() < 2 || t.front() != '[') return false;
  const size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *name = Trim(t.substr(1, close - 1));
  return true;
}

// Key and value when the line is a key line (comments excluded).
bool KeyValue(const std::string& line, std::string* key, std::string* value) {
  const std::string b = Body(line);
  const size_t eq = b.find('=');
  if (eq == std::string::npos) return false;
  const std::string k = Trim(b.substr(0, eq));
  if (k.empty() || k[0] == ';' || k[0] == '#') return false;
  *key = k;
  *value = Trim(b.substr(eq + 1));
  return true;
}

std::vector<std::string> ReadLines(const std::string& path, bool* existed) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  *existed = static_cast<bool>(in);
  if (!in) return lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool MakeDirs(const std::string& dir) {
  std::string partial;
  std::stringstream ss(dir);
  std::string part;
  if (!dir.empty() && dir[0] == '/') partial = "/";
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    partial += part + "/";
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

AppConfig::AppConfig() : path_(DefaultPath()) {}
AppConfig::AppConfig(std::string path) : path_(std::move(path)) {}

std::string AppConfig::ExecutableDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1);
}

bool AppConfig::Installed() {
  return access((ExecutableDir() + "../share/applications/tovaly.desktop").c_str(), F_OK) == 0;
}

std::string AppConfig::DefaultPath() {
  if (const char* env = getenv("TOVALY_CONFIG"); env && *env) return env;
  const std::string dir = ExecutableDir();
  if (!Installed() && access(dir.c_str(), W_OK) == 0) return dir + "config.ini";
  std::string base;
  if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else if (const char* home = getenv("HOME"); home && *home) {
    base = std::string(home) + "/.config";
  } else {
    base = "/tmp";
  }
  return base + "/tovaly/config.ini";
}

std::string AppConfig::Get(const std::string& key) const {
  bool existed = false;
  const std::vector<std::string> lines = ReadLines(path_, &existed);
  bool inSection = false;
  for (const std::string& line : lines) {
    std::string name, k, v;
    if (SectionName(line, &name)) {
      inSection = EqualNoCase(name, kSection);
    } else if (inSection && KeyValue(line, &k, &v) && EqualNoCase(k, key)) {
      if (v.size() > kMaxValue) v.resize(kMaxValue);
      return v;
    }
  }
  return std::string();
}

bool AppConfig::Set(const std::string& key, const std::string& value) const {
  if (key.empty() || value.find_first_of("\r\n") != std::string::npos ||
      key.find_first_of("\r\n=[") != std::string::npos) {
    return false;
  }
  bool existed = false;
  std::vector<std::string> lines = ReadLines(path_, &existed);
  const std::string entry = key + "=" + value;

  // Keep the file's own line ends.
  bool crlf = false;
  for (const std::string& l : lines) {
    if (!l.empty() && l.back() == '\r') {
      crlf = true;
      break;
    }
  }
  const std::string eol = crlf ? "\r" : "";

  bool inSection = false, done = false;
  long lastInSection = -1;  // index of the last line that belongs to the section
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name, k, v;
    if (SectionName(lines[i], &name)) {
      if (inSection) break;  // section over, key absent
      inSection = EqualNoCase(name, kSection);
      if (inSection) lastInSection = static_cast<long>(i);
    } else if (inSection) {
      if (KeyValue(lines[i], &k, &v) && EqualNoCase(k, key)) {
        lines[i] = entry + eol;
        done = true;
      } else if (!Trim(Body(lines[i])).empty()) {
        lastInSection = static_cast<long>(i);
      }
    }
  }
  if (!done) {
    if (lastInSection >= 0) {
      lines.insert(lines.begin() + lastInSection + 1, entry + eol);
    } else {
      lines.push_back(std::string("[") + kSection + "]" + eol);
      lines.push_back(entry + eol);
    }
  }

  const size_t slash = path_.rfind('/');
  if (slash != std::string::npos && !MakeDirs(path_.substr(0, slash))) return false;
  const std::string tmp = path_ + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (const std::string& l : lines) out << l << '\n';
    out.flush();
    if (!out) {
      unlink(tmp.c_str());
      return false;
    }
  }
  if (rename(tmp.c_str(), path_.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace tovaly::util
