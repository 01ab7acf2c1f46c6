#pragma once
// The host's view of the content folder: folder listings, single records and
// the mapping of object ids and request paths onto files, confined to the
// folder. Plain functions of the content folder, so every host answers the
// same way.
//
// Published: sub-folders and regular files whose names are valid UTF-8 and do
// not begin with "."; a symbolic link only when its target lies inside the
// content folder. Order: folders first, then files, each in natural,
// case-insensitive name order ("Episode 2" before "Episode 10").

#include <cstdint>
#include <string>

#include "core/media_object.h"
#include "core/text.h"

namespace tovaly {

// Code 12: fills `list` with the children of objectId in the window
// [start, start + count) (count <= 0: all from start on) and returns the total
// number of children. An id that names no published folder gives -1; the
// root "0" always exists (0 while the content folder cannot be read).
int32_t ListFolder(const std::string& contentFolder, const std::string& objectId, int32_t start, int32_t count,
                   const std::string& mediaBaseUrl, MediaObjectList* list);

// Code 13: the record of one object, as the listing of its parent gives it;
// "0" is the content folder itself (parentID "-1", rootTitle, childCount =
// number of published sub-folders). Returns non-zero when filled.
int32_t DescribeObject(const std::string& contentFolder, const std::string& objectId, const std::string& mediaBaseUrl,
                       const std::string& rootTitle, MediaObject* object);

// The file or folder a relative UTF-8 path ("Movies/a.mp4") names, resolved
// (links followed) and checked to lie inside the content folder. False for
// empty, "." or ".."-led or hidden segments, invalid UTF-8, NUL, and
// anything that does not exist or resolves outside.
bool ResolveInside(const std::string& contentFolder, const std::string& relative, std::string* resolved);

// mediaBaseUrl and the percent-encoded id (PercentEncodePath).
std::string ItemUrl(const std::string& mediaBaseUrl, const std::string& objectId);

// The wall clock in seconds that the listing cache compares a folder's times
// with (a folder changed within the last second is not kept). Tests replace
// it; null restores the real one.
using WallClock = int64_t (*)();
void SetListingClock(WallClock clock);

}  // namespace tovaly
