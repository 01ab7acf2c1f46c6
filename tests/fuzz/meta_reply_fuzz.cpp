// An answer of the metadata helper as the server reads it: a helper that a
// crafted file took over can send any bytes. Checked: what is accepted is
// well formed (its text UTF-8, its profile name plain) and reads back the same.

#include "core/text.h"
#include "fuzz_common.h"
#include "library/meta_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  if (size > 256 * 1024) return 0;
  const std::string bytes = fuzz::Bytes(data, size);
  MediaFacts facts;
  bool hasFacts = false;
  std::string jpeg;
  if (!DecodeReply(bytes, &facts, &hasFacts, &jpeg)) return 0;
  FUZZ_CHECK(jpeg.size() <= kMaxMetaReply);
  if (hasFacts) {
    for (const std::string* s : {&facts.title, &facts.artist, &facts.album, &facts.genre, &facts.date}) {
      FUZZ_CHECK(IsValidUtf8(*s) || s->empty());
    }
    for (char c : facts.dlnaProfile) FUZZ_CHECK((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_');
    MediaFacts again;
    bool hasAgain = false;
    std::string jpegAgain;
    FUZZ_CHECK(DecodeReply(EncodeReply(&facts, jpeg), &again, &hasAgain, &jpegAgain));
    FUZZ_CHECK(hasAgain && EncodeFacts(again) == EncodeFacts(facts) && jpegAgain == jpeg);
  }
  return 0;
}
