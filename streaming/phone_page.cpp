#include "streaming/phone_page.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/text.h"
#include "streaming/http_request.h"

namespace tovaly {
namespace {

const char* const kPlayableVideo[] = {"video/mp4", "video/webm", "video/ogg"};
const char* const kPlayableAudio[] = {"audio/mpeg", "audio/mp4", "audio/ogg", "audio/wav", "audio/x-wav",
                                      "audio/flac", "audio/x-flac", "audio/aac", "audio/webm", "audio/L16"};

template <size_t N>
bool OneOf(const std::string& mime, const char* const (&list)[N]) {
  for (const char* m : list) {
    if (mime == m) return true;
  }
  return false;
}

std::string Head(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>" + XmlEscape(title) + "</title><link rel=\"stylesheet\" href=\"/style.css\"></head><body>\n";
}

std::string BrowseLink(const std::string& folderId) {
  return folderId == "0" ? "/" : "/browse/" + PercentEncodePath(folderId) + "/";
}

// Home / Music / Live: every step a link but the last.
std::string Breadcrumb(const std::string& serverName, const std::string& id, bool lastIsLink) {
  std::string out = "<nav class=\"crumbs\">";
  const bool atRoot = id == "0";
  out += atRoot && !lastIsLink ? "<span>" + XmlEscape(serverName) + "</span>"
                               : "<a href=\"/\">" + XmlEscape(serverName) + "</a>";
  if (!atRoot) {
    size_t start = 0;
    while (start <= id.size()) {
      size_t slash = id.find('/', start);
      const bool last = slash == std::string::npos;
      if (last) slash = id.size();
      const std::string name = id.substr(start, slash - start);
      out += " <span class=\"sep\">/</span> ";
      out += last && !lastIsLink ? "<span>" + XmlEscape(name) + "</span>"
                                 : "<a href=\"" + XmlEscape(BrowseLink(id.substr(0, slash))) + "\">" +
                                       XmlEscape(name) + "</a>";
      start = slash + 1;
    }
  }
  return out + "</nav>\n";
}

const char* KindOf(const MediaObject& o) {
  switch (o.objectClass) {
    case kClassVideo: return "Video";
    case kClassAudio: return "Audio";
    case kClassImage: return "Picture";
    case kClassText: return "Text";
    default: return "File";
  }
}

std::string NameOf(const std::string& id) {
  const size_t slash = id.rfind('/');
  return slash == std::string::npos ? id : id.substr(slash + 1);
}

}  // namespace

PhoneRoute ParsePhoneRoute(const char* url) {
  static const char kBrowsePrefix[] = "/browse/";
  static const char kPlayPrefix[] = "/play/";
  PhoneRoute route;
  if (!url) return route;
  const bool root = strcmp(url, "/") == 0;
  if (root || strncmp(url, kBrowsePrefix, sizeof kBrowsePrefix - 1) == 0) {
    route.kind = PhoneRoute::kFolder;
    if (!root) {
      if (!DecodeRequestPath(url + sizeof kBrowsePrefix - 1, &route.id)) route.kind = PhoneRoute::kBadRequest;
      while (!route.id.empty() && route.id.back() == '/') route.id.pop_back();
    }
  } else if (strncmp(url, kPlayPrefix, sizeof kPlayPrefix - 1) == 0) {
    route.kind = DecodeRequestPath(url + sizeof kPlayPrefix - 1, &route.id) ? PhoneRoute::kItem
                                                                            : PhoneRoute::kBadRequest;
  }
  if (route.kind == PhoneRoute::kBadRequest || route.kind == PhoneRoute::kNotFound) {
    route.id.clear();
  } else if (route.id.empty()) {
    route.id = "0";
  }
  return route;
}

int32_t PhonePageNumber(const char* text) {
  return text ? std::max(1, std::min(atoi(text), INT32_MAX / kPhonePageSize)) : 1;
}

std::string HumanSize(int64_t bytes) {
  if (bytes < 0) return std::string();
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const char* const units[] = {"kB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes) / 1000;
  size_t unit = 0;
  while (value >= 999.95 && unit + 1 < sizeof units / sizeof *units) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, value < 9.95 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  return text;
}

std::string MimeOf(const std::string& protocolInfo) {
  const size_t a = protocolInfo.find(':');
  const size_t b = a == std::string::npos ? a : protocolInfo.find(':', a + 1);
  const size_t c = b == std::string::npos ? b : protocolInfo.find(':', b + 1);
  return c == std::string::npos ? std::string() : protocolInfo.substr(b + 1, c - b - 1);
}

std::string RenderFolderPage(const FolderPage& f) {
  const bool atRoot = f.folderId == "0";
  std::string out = Head(atRoot ? f.serverName : NameOf(f.folderId) + " - " + f.serverName);
  out += Breadcrumb(f.serverName, f.folderId, false);
  out += "<main>\n";
  if (f.entries.empty()) {
    out += atRoot ? "<p class=\"empty\">Nothing is shared yet: only the folders inside the shared folder are shown.</p>\n"
                  : "<p class=\"empty\">This folder is empty.</p>\n";
  }
  out += "<ul class=\"entries\">\n";
  for (const MediaObject& o : f.entries) {
    if (o.objectClass == kClassContainer) {
      out += "<li class=\"folder\"><a href=\"" + XmlEscape(BrowseLink(o.id)) + "\"><span class=\"name\">" +
             XmlEscape(o.title) + "</span></a></li>\n";
      continue;
    }
    std::string details = KindOf(o);
    if (o.size >= 0) details += " · " + HumanSize(o.size);
    if (o.date.size() >= 10) details += " · " + o.date.substr(0, 10);
    out += "<li class=\"file " + std::string(KindOf(o)) + "\"><a href=\"/play/" + XmlEscape(PercentEncodePath(o.id)) +
           "\"><span class=\"name\">" + XmlEscape(o.title) + "</span><span class=\"details\">" + XmlEscape(details) +
           "</span></a></li>\n";
  }
  out += "</ul>\n";
  // Rounded up without passing INT32_MAX, where a listing's total stops.
  const int32_t pages = f.total > 0 ? (f.total - 1) / kPhonePageSize + 1 : 1;
  if (pages > 1) {
    const std::string self = BrowseLink(f.folderId);
    out += "<nav class=\"pages\">";
    out += f.page > 1 ? "<a href=\"" + XmlEscape(self) + "?page=" + std::to_string(f.page - 1) + "\">Previous</a>"
                      : "<span></span>";
    out += "<span>Page " + std::to_string(f.page) + " of " + std::to_string(pages) + "</span>";
    out += f.page < pages ? "<a href=\"" + XmlEscape(self) + "?page=" + std::to_string(f.page + 1) + "\">Next</a>"
                          : "<span></span>";
    out += "</nav>\n";
  }
  return out + "</main>\n</body></html>\n";
}

std::string RenderItemPage(const std::string& serverName, const MediaObject& item) {
  std::string out = Head(item.title + " - " + serverName);
  out += Breadcrumb(serverName, item.id, true);
  const std::string src = XmlEscape("/media/" + PercentEncodePath(item.id));
  const std::string mime = MimeOf(item.protocolInfo);
  out += "<main class=\"item\">\n<h1>" + XmlEscape(item.title) + "</h1>\n";
  if (item.objectClass == kClassVideo && OneOf(mime, kPlayableVideo)) {
    out += "<video controls autoplay playsinline preload=\"metadata\" src=\"" + src + "\"></video>\n";
  } else if (item.objectClass == kClassAudio && OneOf(mime, kPlayableAudio)) {
    out += "<audio controls autoplay preload=\"metadata\" src=\"" + src + "\"></audio>\n";
  } else if (item.objectClass == kClassImage) {
    out += "<img alt=\"" + XmlEscape(item.title) + "\" src=\"" + src + "\">\n";
  }
  std::string details = KindOf(item);
  if (item.size >= 0) details += " · " + HumanSize(item.size);
  if (item.date.size() >= 10) details += " · " + item.date.substr(0, 10);
  out += "<p class=\"details\">" + XmlEscape(details) + "</p>\n";
  out += "<p><a class=\"button\" href=\"" + src + "\">Open the file</a></p>\n";
  return out + "</main>\n</body></html>\n";
}

std::string RenderNotFoundPage(const std::string& serverName) {
  return Head("Not found - " + serverName) + Breadcrumb(serverName, "0", true) +
         "<main><p class=\"empty\">There is nothing shared here.</p></main>\n</body></html>\n";
}

const char* PhonePageStylesheet() {
  return "*{box-sizing:border-box}"
         "body{margin:0;font:17px/1.4 system-ui,-apple-system,'Segoe UI',Roboto,sans-serif;color:#1d1d1f;"
         "background:#f5f5f7}"
         "nav.crumbs{position:sticky;top:0;padding:14px 16px;background:#1d3557;color:#fff;font-weight:600;"
         "overflow-wrap:anywhere}"
         "nav.crumbs a{color:#fff}nav.crumbs .sep{opacity:.6}"
         "main{padding:8px 0 24px}"
         "ul.entries{list-style:none;margin:0;padding:0}"
         "ul.entries li a{display:flex;flex-direction:column;min-height:56px;justify-content:center;padding:10px 16px;"
         "border-bottom:1px solid #e2e2e6;background:#fff;color:inherit;text-decoration:none}"
         "ul.entries li a:active{background:#e8eef7}"
         ".name{overflow-wrap:anywhere}"
         "li.folder .name{font-weight:600}li.folder .name::before{content:'';display:inline-block;width:.9em;"
         "height:.7em;margin-right:.5em;border-radius:2px;background:#e9a23b;vertical-align:baseline}"
         ".details{font-size:14px;color:#6e6e73}"
         "nav.pages{display:flex;justify-content:space-between;align-items:center;padding:16px}"
         "nav.pages a,a.button{display:inline-block;padding:12px 18px;border-radius:10px;background:#1d3557;"
         "color:#fff;text-decoration:none;font-weight:600}"
         "main.item{padding:16px}main.item h1{font-size:20px;overflow-wrap:anywhere}"
         "video,img{display:block;width:100%;max-height:70vh;object-fit:contain;background:#000;border-radius:8px}"
         "audio{width:100%}"
         ".empty{padding:16px;color:#6e6e73}";
}

}  // namespace tovaly
