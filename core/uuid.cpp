#include "core/uuid.h"

#include <cstdio>
#include <fstream>
#include <random>

namespace tovaly {

std::string NewUuid() {
  std::ifstream in("/proc/sys/kernel/random/uuid");
  std::string text;
  if (in >> text && text.size() == 36) return text;
  // No procfs: a version-4 UUID from the system's random device.
  std::random_device rd;
  unsigned char b[16];
  for (auto& x : b) x = static_cast<unsigned char>(rd());
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char out[37];
  snprintf(out, sizeof out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2],
           b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

}  // namespace tovaly
