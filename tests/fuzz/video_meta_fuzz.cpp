// A video file as the helper reads it: libavformat over the descriptor, one
// frame decoded and scaled. Checked: the facts survive the way to the
// server, a frame comes out as a JPEG within 160x160, and no video profile
// is given to anything but H.264 with AAC in MP4.

#include "meta_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  if (size > 256 * 1024) return 0;
  const int fd = fuzz::AsFile(data, size);
  std::string jpeg;
  const MediaFacts facts = extract::ExtractVideo(fd, "f.mp4", &jpeg);
  // Sound alone is read as audio.
  FUZZ_CHECK(facts.kind == MediaFacts::kVideo || facts.kind == MediaFacts::kAudio);
  if (facts.kind == MediaFacts::kVideo && !facts.dlnaProfile.empty()) {
    FUZZ_CHECK(facts.videoCodec == "h264" && facts.audioCodec == "aac");
    FUZZ_CHECK(facts.container.compare(0, 4, "mov,") == 0);
  }
  fuzz::CheckAnswer(facts, jpeg);
  close(fd);
  return 0;
}
