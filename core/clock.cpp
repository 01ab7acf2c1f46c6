#include "core/clock.h"

#include <ctime>

namespace tovaly {

uint64_t MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void SleepUntilMicros(uint64_t deadline) {
  for (;;) {
    const uint64_t now = MonotonicMicros();
    if (now >= deadline) return;
    const uint64_t remaining = deadline - now;
    timespec ts{static_cast<time_t>(remaining / 1000000u), static_cast<long>((remaining % 1000000u) * 1000u)};
    // Interrupted or woken early: the loop measures again.
    nanosleep(&ts, nullptr);
  }
}

void SleepMicros(uint64_t micros) { SleepUntilMicros(MonotonicMicros() + micros); }

}  // namespace tovaly
