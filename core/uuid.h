#pragma once
#include <string>

namespace tovaly {
// A new random UUID as 36 lower-case characters (8-4-4-4-12).
std::string NewUuid();
}  // namespace tovaly
