#pragma once
// The shared folder as a small web page for a phone's browser: the folders
// and files of one folder a page, a player page per file. Pure functions
// from the listing records to HTML, so that every escape is tested without
// a socket. Every name is HTML-escaped and every link percent-encoded; the
// pages need no script and no outside resource.

#include <cstdint>
#include <string>
#include <vector>

#include "core/media_object.h"

namespace tovaly {

constexpr int32_t kPhonePageSize = 200;  // entries a page

struct FolderPage {
  std::string serverName;  // the page titles carry it
  std::string folderId;    // "0": the shared folder itself
  std::vector<MediaObject> entries;  // this page of the listing, in its order
  int32_t total = 0;       // entries in the whole folder
  int32_t page = 1;        // from 1
};

std::string RenderFolderPage(const FolderPage& folder);
// A file: the browser's own player for audio and video it plays, the
// picture for images, a link otherwise.
std::string RenderItemPage(const std::string& serverName, const MediaObject& item);
std::string RenderNotFoundPage(const std::string& serverName);
// The one stylesheet, served as /style.css.
const char* PhonePageStylesheet();

// What a request path of the phone page (its query cut off) asks for: "/"
// and "/browse/<path>/" a folder, "/play/<path>" a file; the path is decoded
// once (DecodeRequestPath), and the shared folder itself is "0".
struct PhoneRoute {
  enum Kind { kFolder, kItem, kBadRequest, kNotFound };
  Kind kind = kNotFound;
  std::string id;
};
PhoneRoute ParsePhoneRoute(const char* url);
// The "page" argument (null when absent): from 1 to the last page a folder
// can have, so that the window (page - 1) * kPhonePageSize fits.
int32_t PhonePageNumber(const char* text);

// 532 B, 1.4 kB, 12 MB, 1.4 GB (powers of 1000, one decimal below 10).
std::string HumanSize(int64_t bytes);
// The MIME type of an item's protocolInfo ("http-get:*:audio/mpeg:*").
std::string MimeOf(const std::string& protocolInfo);

}  // namespace tovaly
