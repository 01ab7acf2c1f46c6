#include "controlpoint/client_link.h"

#include <cstdarg>

namespace tovaly {
namespace {
// Seconds that only move forward: a change of the wall clock must not expire
// every device at once.
int64_t RealNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}
std::atomic<SecondsClock> g_clock{&RealNow};
}  // namespace

int64_t NowSeconds() { return g_clock.load()(); }
void SetSecondsClock(SecondsClock clock) { g_clock = clock ? clock : &RealNow; }

void ClientLink::Diagnostic(const char* format, ...) const {
  EventCallback cb;
  {
    std::lock_guard<std::mutex> lk(m_);
    cb = callback_;
  }
  if (!cb) return;
  va_list ap;
  va_start(ap, format);
  tovaly::Diagnostic args{format, &ap};
  cb(nullptr, kEventDiagnostic, &args);
  va_end(ap);
}

}  // namespace tovaly
