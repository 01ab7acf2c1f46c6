#include "core/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tovaly {

int DebugTraceV(const char* format, va_list args) {
  static const bool toStderr = getenv("TOVALY_DEBUG") != nullptr;
  char buffer[1000];
  const int n = vsnprintf(buffer, sizeof buffer, format, args);
  if (toStderr && n >= 0) fputs(buffer, stderr);
  return (n < 0 || n >= static_cast<int>(sizeof buffer)) ? -1 : n;
}

int DebugTrace(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = DebugTraceV(format, ap);
  va_end(ap);
  return n;
}

uint32_t StringHash(const char* s) {
  uint32_t h = 0;
  for (; *s; ++s) {
    int c = static_cast<signed char>(*s);
    if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
    h = h * 131u + static_cast<uint32_t>(c);
  }
  return h & 0x7FFFFFFFu;
}

}  // namespace tovaly
