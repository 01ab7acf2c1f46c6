#pragma once
// The host of the console program: answers the engines' requests from the
// machine and config.ini, as the desktop window does, without a display.

#include <cstdint>

namespace tovaly {

class ConsoleHost {
 public:
  static int32_t Callback(void* context, int32_t code, void* args);
};

}  // namespace tovaly
