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
#include <vector>

#include "core/media_object.h"
#include "core/text.h"

namespace tovaly {

// Code 12: fills `list` with the children of objectId in the window
// [start, start + count) (count <= 0: all from start on) and returns the total
// number of children, and list->coverId with the folder's picture. Items
// carry their content key, videos their subtitles, folders with a picture
// of their own its ArtUrl; what the files' streams and tags say is the
// metadata catalog's to add. An id that names no published folder gives -1; the
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
// Where the engine serves the object's picture: ItemUrl with /art/ in place
// of mediaBaseUrl's /media/.
std::string ArtUrl(const std::string& mediaBaseUrl, const std::string& objectId);

// The id of a folder's picture among its files ("Album/cover.jpg"; the
// names cover.jpg, folder.jpg, AlbumArt*.jpg, Album.jpg, front.jpg in that
// order, in any letter case); "" when it has none.
std::string FolderCover(const std::string& contentFolder, const std::string& folderId);
// The ids of the subtitle files that belong to a video ("clip.srt" and
// "clip.en.srt" beside "clip.mkv"), in listing order. Such files are not
// listed as objects of their own.
std::vector<std::string> SubtitlesOf(const std::string& contentFolder, const std::string& fileId);

// The wall clock in seconds that the listing cache compares a folder's times
// with (a folder changed within the last second is not kept). Tests replace
// it; null restores the real one.
using WallClock = int64_t (*)();
void SetListingClock(WallClock clock);

}  // namespace tovaly
