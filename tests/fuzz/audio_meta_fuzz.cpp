// An audio file as the helper reads it (TagLib, and libavformat for MP4):
// the name's extension follows the content's signature, so that each reader
// sees the files it is meant for. Checked: the facts survive the way to the
// server, and cover art comes out as a JPEG within 160x160.

#include <cstring>

#include "meta_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  if (size > 256 * 1024) return 0;
  const char* name = "f.mp3";
  if (size >= 4 && memcmp(data, "fLaC", 4) == 0) name = "f.flac";
  if (size >= 8 && memcmp(data + 4, "ftyp", 4) == 0) name = "f.m4a";
  if (size >= 4 && memcmp(data, "OggS", 4) == 0) name = size >= 40 && memmem(data, size < 64 ? size : 64, "OpusHead", 8) ? "f.opus" : "f.ogg";
  if (size >= 4 && memcmp(data, "RIFF", 4) == 0) name = "f.wav";
  if (size >= 4 && memcmp(data, "FORM", 4) == 0) name = "f.aiff";
  const int fd = fuzz::AsFile(data, size);
  std::string jpeg;
  const MediaFacts facts = extract::ExtractAudio(fd, name, &jpeg);
  FUZZ_CHECK(facts.kind == MediaFacts::kAudio);
  FUZZ_CHECK(!facts.hasArt || !facts.unreadable);
  fuzz::CheckAnswer(facts, jpeg);
  close(fd);
  return 0;
}
