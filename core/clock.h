#pragma once
#include <cstdint>

namespace tovaly {

// Monotonic microseconds with an arbitrary origin.
uint64_t MonotonicMicros();
// Return once MonotonicMicros() has reached the deadline; never earlier.
void SleepUntilMicros(uint64_t deadline);
void SleepMicros(uint64_t micros);

}  // namespace tovaly
