#include "library/file_open.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "library/media_library.h"
#include "library/media_types.h"

namespace tovaly {
namespace {

// Where an open descriptor really leads: checked after the open, so that a
// folder swapped for a link between the check of the path and the open
// cannot lead outside.
std::string OpenedPath(int fd) {
  char link[64], target[PATH_MAX + 1];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(target, static_cast<size_t>(n));
}

}  // namespace

int32_t AnswerFileOpen(const std::string& contentFolder, FileOpenRequest* request) {
  if (!request || !request->path || request->mode != 0) return 0;  // never open for writing
  const std::string path = request->path;
  std::string file;
  // Files directly in the content folder are not published, so not served.
  if (path.find('/') == std::string::npos || !ResolveInside(contentFolder, path, &file)) return 0;
  // O_NONBLOCK: a FIFO put in the file's place must not hold the caller in
  // open() until someone writes to it. O_NOFOLLOW: nor may a link put there.
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return 0;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || OpenedPath(fd) != file) {
    close(fd);
    return 0;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  request->fd = fd;
  // The type the listing gave the item: from the name the client asked for.
  request->contentType = MimeTypeFor(path.c_str(), nullptr);
  return 1;
}

}  // namespace tovaly
