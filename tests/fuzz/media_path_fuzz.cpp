// A media request: the input's first line is the path after "/media/" as it
// arrives (still percent-encoded), its second line the Range header. The path
// is decoded and the file opened as the host answers the media engine (code
// 101) over the fixed folder tree; the range is read against the file's size
// and a few others.
//
// Checked: a decoded path holds no NUL and encodes back to itself; a file is
// only ever opened for reading, and any descriptor given out is a regular
// file inside a published folder of the shared folder, reached by a path that
// resolves inside it; a range lies within the body.

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/text.h"
#include "fuzz_common.h"
#include "library/file_open.h"
#include "library/media_library.h"
#include "streaming/http_request.h"

namespace tovaly::fuzz {
namespace {

std::string RealPathOf(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string OpenedPath(int fd) {
  char link[64], target[PATH_MAX + 1];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, PATH_MAX);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

void CheckRange(const char* header, uint64_t size) {
  const ByteRange r = ParseRange(header, size);
  switch (r.kind) {
    case ByteRange::kWhole: FUZZ_CHECK(r.first == 0 && r.length == size); break;
    case ByteRange::kPartial:
      FUZZ_CHECK(r.length >= 1 && r.first < size && r.length <= size - r.first);
      break;
    case ByteRange::kUnsatisfiable: break;
    default: FUZZ_CHECK(false);
  }
  if (!header) FUZZ_CHECK(r.kind == ByteRange::kWhole);
}

}  // namespace
}  // namespace tovaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  if (size > 16 * 1024) return 0;
  std::string rest = Bytes(data, size);
  const std::string raw = TakeLine(&rest);
  const std::string range = TakeLine(&rest);
  static const std::string root = RealPathOf(FuzzTree().shared);

  std::string path;
  const bool decoded = DecodeRequestPath(raw.c_str(), &path);
  uint64_t fileSize = 0;
  if (decoded) {
    FUZZ_CHECK(path.find('\0') == std::string::npos);
    std::string again;
    FUZZ_CHECK(DecodeRequestPath(PercentEncodePath(path).c_str(), &again) && again == path);

    FileOpenRequest write{path.c_str(), 1};
    FUZZ_CHECK(AnswerFileOpen(FuzzTree().shared, &write) == 0 && write.fd == -1);

    FileOpenRequest open{path.c_str(), 0};
    if (AnswerFileOpen(FuzzTree().shared, &open)) {
      FUZZ_CHECK(open.fd >= 0 && open.contentType);
      struct stat st{};
      FUZZ_CHECK(fstat(open.fd, &st) == 0 && S_ISREG(st.st_mode));
      FUZZ_CHECK((fcntl(open.fd, F_GETFL) & O_ACCMODE) == O_RDONLY);
      const std::string opened = OpenedPath(open.fd);
      // Inside, in a folder of the shared folder, nothing hidden on the way.
      FUZZ_CHECK(opened.compare(0, root.size() + 1, root + "/") == 0);
      FUZZ_CHECK(opened.find('/', root.size() + 1) != std::string::npos);
      FUZZ_CHECK(opened.find("/.", root.size()) == std::string::npos);
      std::string resolved;
      FUZZ_CHECK(ResolveInside(FuzzTree().shared, path, &resolved) && resolved == opened);
      fileSize = static_cast<uint64_t>(st.st_size);
      close(open.fd);
    } else {
      FUZZ_CHECK(open.fd == -1);
    }
  }

  const char* header = range.empty() && rest.empty() ? nullptr : range.c_str();
  for (uint64_t s : {fileSize, uint64_t{0}, uint64_t{1}, uint64_t{1000}, uint64_t{INT64_MAX}}) CheckRange(header, s);
  return 0;
}
