#pragma once
// The server's end of the metadata helper (tovaly-meta): starting it with
// posix_spawn (never a bare fork: the desktop program has many threads),
// handing it one file at a time as a read-only descriptor, and ending it
// when it dies, answers nonsense or overruns the time given for one file.

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "core/media_facts.h"

namespace tovaly {

// The helper to start: $TOVALY_META_HELPER when set, else tovaly-meta beside
// the running program, else the installed one; "" when none exists.
std::string FindMetaHelper();

class MetaHelper {
 public:
  enum Outcome {
    kAnswered,  // *facts / *jpeg hold what it sent
    kFailed,    // it died, overran or answered nonsense: it has been ended, the next call starts another
    kNoHelper,  // it cannot be started
  };

  explicit MetaHelper(std::string path) : path_(std::move(path)) {}
  ~MetaHelper() { Stop(); }
  MetaHelper(const MetaHelper&) = delete;
  MetaHelper& operator=(const MetaHelper&) = delete;

  // One file: fd stays the caller's. hasFacts tells whether facts came
  // (they do when asked for); jpeg is empty when no image was made.
  Outcome Ask(int fd, const std::string& name, uint8_t want, uint64_t timeLimitMicros, MediaFacts* facts,
              bool* hasFacts, std::string* jpeg);
  // Ends the helper (SIGKILL) and reaps it.
  void Stop();
  pid_t pid() const { return pid_; }

 private:
  bool Start();

  const std::string path_;
  pid_t pid_ = -1;
  int sock_ = -1;
};

}  // namespace tovaly
