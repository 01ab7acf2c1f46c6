#pragma once
// File extension -> MIME type and object class: what a file is taken for by
// its name alone.

#include <vector>

#include "core/media_object.h"

namespace tovaly {

struct MimeRow {
  const char* extension;  // lower case, without the dot
  ObjectClass objectClass;
  const char* mime;
};

// All known extensions, grouped by class.
const std::vector<MimeRow>& MimeTable();

// MIME type for the extension after the last "." of a file name or path;
// "application/octet-stream" (class kClassOther) when there is none or it is
// unknown. Letter case is ignored. cls may be null. The result is a constant.
const char* MimeTypeFor(const char* nameOrPath, ObjectClass* cls);

}  // namespace tovaly
