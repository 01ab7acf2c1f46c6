// The settings file as a person (or another program) may have left it. The
// input's first line is a key, its second a value, the rest the file.
//
// Checked: a value Set is what Get gives back (blanks around it trimmed, cut
// at the longest value kept); the other keys keep their values; a refused Set
// leaves the file as it was; Get never gives more than the longest value.

#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "core/app_config.h"
#include "fuzz_common.h"

namespace tovaly::fuzz {
namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace
}  // namespace tovaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  if (size > 64 * 1024) return 0;
  std::string rest = Bytes(data, size);
  const std::string key = TakeLine(&rest);
  const std::string value = TakeLine(&rest);
  const std::string path = FuzzTree().scratch + "/config.ini";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << rest;
  }
  const util::AppConfig config(path);
  const char* const kOthers[] = {"content_path", "machine_id", "enable_firewall", "Content_Path", ""};
  std::string before[5];
  for (int i = 0; i < 5; ++i) {
    before[i] = config.Get(kOthers[i]);
    FUZZ_CHECK(before[i].size() <= util::AppConfig::kMaxValue);
  }
  FUZZ_CHECK(config.Get(key).size() <= util::AppConfig::kMaxValue);

  const bool set = config.Set(key, value);
  if (!set) {
    FUZZ_CHECK(Slurp(path) == rest);
    return 0;
  }
  // A key that a reader takes for a comment or that carries blanks at its
  // ends cannot be read back under the same name; nor can the empty key.
  const std::string k = Trim(key);
  const bool readable = !k.empty() && k == key && k[0] != ';' && k[0] != '#';
  if (readable) {
    std::string expected = Trim(value);
    if (expected.size() > util::AppConfig::kMaxValue) expected.resize(util::AppConfig::kMaxValue);
    FUZZ_CHECK(config.Get(key) == expected);
  }
  for (int i = 0; i < 5; ++i) {
    // A key written with blanks around it is read as the trimmed one.
    if (!SameNoCase(kOthers[i], k)) FUZZ_CHECK(config.Get(kOthers[i]) == before[i]);
  }
  return 0;
}
