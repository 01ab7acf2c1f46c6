#include "library/metadata_reader.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/clock.h"
#include "library/meta_wire.h"

extern char** environ;

namespace tovaly {
namespace {

// Where the helper finds its socket (library/extract/helper.h says the same).
constexpr int kChannelFd = 3;

bool Executable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

}  // namespace

std::string FindMetaHelper() {
  const char* env = getenv("TOVALY_META_HELPER");
  if (env && *env) return Executable(env) ? std::string(env) : std::string();
  char self[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", self, PATH_MAX);
  if (n > 0) {
    std::string beside(self, static_cast<size_t>(n));
    beside = beside.substr(0, beside.rfind('/') + 1) + "tovaly-meta";
    if (Executable(beside)) return beside;
  }
#ifdef TOVALY_INSTALLED_META_HELPER
  if (Executable(TOVALY_INSTALLED_META_HELPER)) return TOVALY_INSTALLED_META_HELPER;
#endif
  return std::string();
}

bool MetaHelper::Start() {
  if (path_.empty()) return false;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return false;
  // Its end must not already sit on the descriptor it is to have: dup2 onto
  // itself would leave close-on-exec set.
  if (sv[1] == kChannelFd) {
    const int moved = fcntl(sv[1], F_DUPFD_CLOEXEC, kChannelFd + 1);
    close(sv[1]);
    sv[1] = moved;
    if (moved < 0) {
      close(sv[0]);
      return false;
    }
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, sv[1], kChannelFd);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {const_cast<char*>("tovaly-meta"), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path_.c_str(), &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(sv[1]);
  if (rc != 0) {
    close(sv[0]);
    return false;
  }
  pid_ = pid;
  sock_ = sv[0];
  return true;
}

void MetaHelper::Stop() {
  if (sock_ >= 0) close(sock_);
  sock_ = -1;
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

MetaHelper::Outcome MetaHelper::Ask(int fd, const std::string& name, uint8_t want, uint64_t timeLimitMicros,
                                    MediaFacts* facts, bool* hasFacts, std::string* jpeg) {
  *hasFacts = false;
  jpeg->clear();
  if (pid_ <= 0 && !Start()) return kNoHelper;
  const uint64_t deadline = MonotonicMicros() + timeLimitMicros;
  std::string reply;
  if (!SendMetaRequest(sock_, fd, want, name) || ReceiveMetaReply(sock_, deadline, &reply) != ReplyStatus::kOk ||
      !DecodeReply(reply, facts, hasFacts, jpeg) || ((want & kWantFacts) && !*hasFacts)) {
    Stop();
    return kFailed;
  }
  return kAnswered;
}

}  // namespace tovaly
