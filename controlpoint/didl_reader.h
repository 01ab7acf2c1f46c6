#pragma once
// Reading DIDL-Lite from other servers. The text is hostile input: it is
// measured before the XML library sees it (the library's parser is quadratic
// and frees nested or sibling nodes recursively), so a huge, deep or garbage
// Result costs bounded time and memory.

#include <cstdint>
#include <string>
#include <vector>

#include "core/media_object.h"

namespace tovaly {

struct DidlEntry {
  bool container = false;
  std::string id, title;
  // Items only.
  std::string url;
  int64_t duration = -1;  // microseconds; -1 when absent or unreadable
  ObjectClass objectClass = kClassVideo;
  bool hasProtocolInfo = false;
  std::string protocolInfo;
  std::string date;
};

// Containers first, then items, each in document order; entries without an
// id, a title or (items) a res text are left out. Element names are matched
// as written: "container", "item" and "res" unprefixed; "dc:title",
// "upnp:class", "upnp:scheduledStartTime" and "dc:date" with these prefixes.
// ok is false when the text is not a document that could be read.
std::vector<DidlEntry> ReadDidl(const char* text, bool* ok = nullptr);

// "H:MM:SS[.F...]" into microseconds: an empty text gives 0, a text that does
// not begin with a number -1. The fraction counts by its digits (".5" and
// ".500" are both half a second).
int64_t ParseDidlDuration(const char* text);

// Whether an XML text stays within the limits the readers accept: depth,
// number of elements, and the longest run of text between two marks ("<" or
// ">"): the XML parser grows a text by a few bytes at a time, so its cost
// is the square of the longest text. The text must also be UTF-8 and end
// with a tag (blanks after it aside), as the parser would demand, since on
// such broken text it reads past the end.
bool WithinXmlLimits(const char* text, size_t maxDepth = 32, size_t maxElements = 10000, size_t maxRun = 64 * 1024);

}  // namespace tovaly
