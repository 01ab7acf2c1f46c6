#pragma once
// DIDL-Lite, the metadata of containers and items, in both directions: the
// writer of the local server's answers (and of the metadata sent to
// renderers) and the reader of other servers' answers.

#include <cstdint>
#include <string>
#include <vector>

#include "core/media_object.h"

namespace tovaly {

// ---- Class names -------------------------------------------------------------

// "object.container", "object.item.videoItem", ...; "object.item" otherwise.
const char* DidlClassName(ObjectClass cls);

// Class of a DIDL-Lite upnp:class value from another server; null or
// unrecognised gives kClassOther.
ObjectClass ClassFromName(const char* name);

// ---- Writing -------------------------------------------------------------------
// As text in one buffer: the DIDL-Lite element with its namespace
// declarations, then each object; no XML declaration, no line breaks.

extern const char kDidlOpen[];   // the DIDL-Lite start tag with every namespace
extern const char kDidlClose[];  // "</DIDL-Lite>"

// The whole document of these objects, in their order.
std::string WriteDidl(const std::vector<MediaObject>& objects);

// The "item" or "container" element of obj, appended to *out. `extra` is
// markup placed last inside it, as it is. Text unfit for XML (control
// characters, invalid UTF-8) is cleaned, then every text and attribute value
// escaped.
void AppendDidlObject(const MediaObject& obj, std::string* out, const std::string& extra = std::string());

// ---- Reading -------------------------------------------------------------------
// The text is hostile input: it is measured (WithinXmlLimits) before the XML
// library sees it, so a huge, deep or garbage Result costs bounded time and
// memory.

struct DidlEntry {
  bool container = false;
  std::string id, title;
  std::string albumArtURI;  // as written, checked by whoever fetches it; containers may have one too
  // Items only.
  std::string url;
  int64_t duration = -1;  // microseconds; -1 when absent or unreadable
  ObjectClass objectClass = kClassVideo;
  bool hasProtocolInfo = false;
  std::string protocolInfo;
  std::string date;
  // Tags: empty or 0 when absent; numbers that do not read as such are absent.
  std::string artist;  // upnp:artist (one without a role first), else dc:creator
  std::string album, genre;
  uint32_t track = 0;  // upnp:originalTrackNumber
  // Of the first res.
  int64_t size = -1;     // bytes
  uint32_t bitrate = 0;  // as written: the standard says bytes per second, some servers write bits
  uint32_t width = 0, height = 0;
  // A subtitle file: a res of a subtitle type, else sec:CaptionInfoEx, else
  // sec:CaptionInfo.
  std::string subtitleUrl;
};

// Containers first, then items, each in document order; entries without an
// id, a title or (items) a res text are left out. Element names are matched
// as written: "container", "item" and "res" unprefixed; "dc:", "upnp:" and
// "sec:" names with these prefixes. The first res is the item's; a later
// JPEG_TN res stands in for a missing upnp:albumArtURI. ok is false when the
// text is not a document that could be read.
std::vector<DidlEntry> ReadDidl(const char* text, bool* ok = nullptr);

// "H:MM:SS[.F...]" into microseconds: an empty text gives 0, a text that does
// not begin with a number -1. The fraction counts by its digits (".5" and
// ".500" are both half a second).
int64_t ParseDidlDuration(const char* text);

}  // namespace tovaly
