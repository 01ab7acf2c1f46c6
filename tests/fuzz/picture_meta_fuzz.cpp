// A picture as the helper reads it: JPEG markers, EXIF (libexif), a scaled
// decode (turbojpeg) turned by its orientation; PNG by libavcodec. Checked:
// the facts survive the way to the server, a thumbnail is a JPEG within
// 160x160, and none is made of a picture over the pixel limits.

#include "meta_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  if (size > 256 * 1024) return 0;
  const int fd = fuzz::AsFile(data, size);
  std::string jpeg;
  const MediaFacts facts = extract::ExtractPicture(fd, "f.jpg", &jpeg);
  FUZZ_CHECK(facts.kind == MediaFacts::kImage && facts.orientation <= 8);
  if (!jpeg.empty()) FUZZ_CHECK(uint64_t{facts.width} * facts.height <= extract::kMaxPixels);
  fuzz::CheckAnswer(facts, jpeg);
  close(fd);
  return 0;
}
