#include "library/extract/extract.h"

#include "library/media_types.h"

namespace tovaly::extract {

MediaFacts Extract(int fd, const std::string& name, std::string* imageJpeg) {
  ObjectClass cls = kClassOther;
  MimeTypeFor(name.c_str(), &cls);
  if (imageJpeg) imageJpeg->clear();
  switch (cls) {
    case kClassAudio: return ExtractAudio(fd, name, imageJpeg);
    case kClassVideo: return ExtractVideo(fd, name, imageJpeg);
    case kClassImage: return ExtractPicture(fd, name, imageJpeg);
    default: return MediaFacts();
  }
}

MediaFacts ExtractFacts(int fd, const std::string& name) { return Extract(fd, name, nullptr); }

bool ExtractThumbnail(int fd, const std::string& name, std::string* jpeg) {
  Extract(fd, name, jpeg);
  return !jpeg->empty();
}

}  // namespace tovaly::extract
