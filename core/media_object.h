#pragma once
// The records in which the host returns the children of a folder.

#include <cstdint>
#include <string>
#include <vector>

#include "core/event_callback.h"

namespace tovaly {

enum ObjectClass : uint8_t {
  kClassContainer = 1,
  kClassVideo = 2,
  kClassAudio = 3,
  kClassImage = 4,
  kClassText = 5,
  kClassOther = 6,
};

// One container or item. Empty strings stand for absent ones.
struct MediaObject {
  std::string id;
  std::string parentID;
  std::string title;
  std::string res;           // items only
  std::string protocolInfo;  // items only: "http-get:*:<mime>:*"
  std::string album;         // audio items; the folder listing never sets it
  std::string date;          // items only: "YYYY-MM-DDTHH:MM:SS" (UTC)
  uint32_t childCount = 0;
  bool restricted = true;
  ObjectClass objectClass = kClassOther;
  int64_t size = -1;  // items of the local folder: bytes; -1 unknown (not part of DIDL-Lite)
};

struct MediaObjectList {
  std::vector<MediaObject> objects;
};

}  // namespace tovaly
