#pragma once
// What the metadata fuzz targets share: the input as a file (a memfd, so
// that the extractors read a real descriptor as in the helper) and the
// checks every answer must pass.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "library/extract/extract.h"
#include "library/meta_wire.h"

namespace tovaly::fuzz {

inline int AsFile(const uint8_t* data, size_t size) {
  const int fd = memfd_create("input", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  return fd;
}

// Facts that travel to the server intact, and an image that is a JPEG
// within the thumbnail box.
inline void CheckAnswer(const MediaFacts& facts, const std::string& jpeg) {
  MediaFacts back;
  FUZZ_CHECK(DecodeFacts(EncodeFacts(facts), &back));
  FUZZ_CHECK(back.title.size() <= 4096 && back.dlnaProfile == facts.dlnaProfile);
  if (!jpeg.empty()) {
    uint32_t w = 0, h = 0;
    FUZZ_CHECK(extract::JpegDimensions(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size(), &w, &h));
    FUZZ_CHECK(w >= 1 && h >= 1 && w <= extract::kThumbnailBox && h <= extract::kThumbnailBox);
  }
}

}  // namespace tovaly::fuzz
