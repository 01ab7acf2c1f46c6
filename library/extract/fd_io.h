#pragma once
// Reading a descriptor by position (pread), so that the extractors share no
// file offset with whoever handed it over.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace tovaly::extract {

inline int64_t FileSize(int fd) {
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

// Up to len bytes at offset; the number read (short only at the end).
inline size_t ReadAt(int fd, int64_t offset, void* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = pread(fd, static_cast<char*>(buf) + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// The whole file when it is no bigger than maxBytes.
inline bool ReadWhole(int fd, int64_t maxBytes, std::string* out) {
  const int64_t size = FileSize(fd);
  if (size < 0 || size > maxBytes) return false;
  out->resize(static_cast<size_t>(size));
  out->resize(ReadAt(fd, 0, &(*out)[0], out->size()));
  return true;
}

// The extension after the last "." of the last path segment, lower case.
inline std::string LowerExtension(const std::string& name) {
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

}  // namespace tovaly::extract
