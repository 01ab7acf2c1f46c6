#pragma once
#include <cstdarg>
#include <cstdint>

namespace tovaly {

// Formats into a 1000-byte buffer and discards the text, or writes it to
// stderr when the environment has TOVALY_DEBUG set (for tests and for
// finding out what a device did). Returns the number of characters
// formatted, or -1 when the text did not fit.
int DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with the arguments as a list.
int DebugTraceV(const char* format, va_list args);

// 31-bit hash: h = h * 131 + byte, with 'a'..'z' upper-cased and every byte
// taken as signed (bytes above 127 count as negative).
uint32_t StringHash(const char* s);

}  // namespace tovaly
