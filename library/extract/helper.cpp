#include "library/extract/helper.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "library/extract/extract.h"
#include "library/meta_wire.h"

// The sanitizers reserve terabytes of address space: no RLIMIT_AS under them.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TOVALY_HELPER_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TOVALY_HELPER_SANITIZED 1
#endif

namespace tovaly::extract {
namespace {

void Limit(int resource, rlim_t value) {
  rlimit r{value, value};
  setrlimit(resource, &r);
}

}  // namespace

void PrepareHelperProcess(int keep) {
  for (int fd = 3; fd < keep; ++fd) close(fd);
  close_range(static_cast<unsigned>(keep) + 1, ~0u, 0);
  // Gone with the server, even when it dies without closing the socket.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  signal(SIGPIPE, SIG_IGN);
#ifndef TOVALY_HELPER_SANITIZED
  Limit(RLIMIT_AS, kHelperMemoryBytes);
#endif
  Limit(RLIMIT_CORE, 0);
  Limit(RLIMIT_FSIZE, 0);
  Limit(RLIMIT_NOFILE, 64);
}

int ServeMetaRequests(int sock, const std::function<void(const std::string& name)>& beforeEach) {
  for (;;) {
    int fd = -1;
    uint8_t want = 0;
    std::string name;
    if (!ReceiveMetaRequest(sock, &fd, &want, &name)) return 0;
    if (beforeEach) beforeEach(name);
    MediaFacts facts;
    std::string jpeg;
    if (fd >= 0) {
      facts = Extract(fd, name, (want & kWantImage) ? &jpeg : nullptr);
      // Too big for one answer (a noisy picture at the best quality): none.
      if (jpeg.size() > kMaxMetaReply - 16 * 1024) jpeg.clear();
      close(fd);
    }
    const std::string reply = EncodeReply((want & kWantFacts) ? &facts : nullptr, jpeg);
    if (!SendMetaReply(sock, reply)) return 1;
  }
}

}  // namespace tovaly::extract
