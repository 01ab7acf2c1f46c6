#pragma once
#include <cstdint>

namespace tovaly {

// Formats into a 1000-byte buffer and discards the text. Returns the number of
// characters formatted, or -1 when the text did not fit.
int DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// 31-bit hash: h = h * 131 + byte, with 'a'..'z' upper-cased and every byte
// taken as signed (bytes above 127 count as negative).
uint32_t StringHash(const char* s);

}  // namespace tovaly
