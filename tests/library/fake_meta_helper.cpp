// tovaly-meta for tests: reads files as the real one does, except that a
// file whose name holds
//   "crash"     aborts the helper,
//   "hang"      makes it wait forever,
//   "gate="     makes it wait until the path after "=" (up to the next "+") exists.
// The real helper has no such switches.

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "library/extract/helper.h"

int main() {
  using namespace tovaly::extract;
  PrepareHelperProcess(kHelperChannelFd);
  return ServeMetaRequests(kHelperChannelFd, [](const std::string& name) {
    if (name.find("crash") != std::string::npos) abort();
    if (name.find("hang") != std::string::npos) {
      for (;;) pause();
    }
    const size_t gate = name.find("gate=");
    if (gate != std::string::npos) {
      const std::string path = name.substr(gate + 5, name.find('+', gate) - gate - 5);
      struct stat st{};
      while (stat(path.c_str(), &st) != 0) poll(nullptr, 0, 5);
    }
  });
}
