#include "streaming/phone_page.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cctype>
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

// The engine serves a record's art by the record's own id, so the page needs
// nothing of artUrl but that there is one; the link never names a host.
std::string ArtLink(const MediaObject& o) { return "/art/" + PercentEncodePath(o.id); }

// The small square before a name: the art where there is some, else a
// placeholder the stylesheet draws for the kind.
std::string Thumb(const MediaObject& o) {
  if (o.artUrl.empty()) return "<span class=\"thumb none\"></span>";
  return "<img class=\"thumb\" src=\"" + XmlEscape(ArtLink(o)) + "\" alt=\"" + XmlEscape(o.title) +
         "\" width=\"48\" height=\"48\" loading=\"lazy\">";
}

// Kind · 3:25 · 1920×1080 · 4.0 MB · 2026-12-06, each part where known and
// kept whole on its line ("2026-" never ends one).
std::string Details(const MediaObject& o) {
  std::vector<std::string> parts{KindOf(o)};
  parts.push_back(PlayTime(o.durationMs));
  if ((o.objectClass == kClassVideo || o.objectClass == kClassImage) && o.width && o.height)
    parts.push_back(std::to_string(o.width) + "×" + std::to_string(o.height));
  parts.push_back(HumanSize(o.size));
  if (o.date.size() >= 10) parts.push_back(o.date.substr(0, 10));
  std::string out;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += " · ";
    out += "<span>" + XmlEscape(part) + "</span>";
  }
  return out;
}

// A subtitle's file as the engine serves it for browsers: the path part of
// its URL must be /media/<encoded id>, and the id, decoded and encoded again,
// goes after /vtt/. Empty for any other URL.
std::string SubtitleId(const std::string& url) {
  size_t path = 0;
  const size_t scheme = url.find("://");
  if (scheme != std::string::npos) {
    path = url.find('/', scheme + 3);
    if (path == std::string::npos) return std::string();
  }
  static const char kMedia[] = "/media/";
  if (url.compare(path, sizeof kMedia - 1, kMedia) != 0) return std::string();
  std::string id;
  const std::string raw = url.substr(path + sizeof kMedia - 1);
  if (raw.empty() || raw.find_first_of("?#") != std::string::npos || !DecodeRequestPath(raw.c_str(), &id))
    return std::string();
  return id;
}

// "clip.en.srt" beside "clip.mp4" is in "en"; without two or three letters
// there (a region such as "pt-BR" allowed) it is "und", which HTML accepts.
std::string SubtitleLanguage(const std::string& videoName, const std::string& subtitleName) {
  const std::string base = videoName.substr(0, videoName.rfind('.')) + ".";
  const size_t dot = subtitleName.rfind('.');
  if (dot == std::string::npos || dot <= base.size() || subtitleName.compare(0, base.size(), base) != 0) return "und";
  const std::string code = subtitleName.substr(base.size(), dot - base.size());
  auto letters = [&](size_t from, size_t to) {
    if (to - from < 2 || to - from > 3) return false;
    for (size_t i = from; i < to; ++i)
      if (!isalpha(static_cast<unsigned char>(code[i]))) return false;
    return true;
  };
  const size_t dash = code.find('-');
  const bool ok = dash == std::string::npos ? letters(0, code.size())
                                             : letters(0, dash) && letters(dash + 1, code.size());
  return ok ? code : "und";
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
      out += "<li class=\"folder\"><a href=\"" + XmlEscape(BrowseLink(o.id)) + "\">" + Thumb(o) +
             "<span class=\"text\"><span class=\"name\">" + XmlEscape(o.title) + "</span></span></a></li>\n";
      continue;
    }
    out += "<li class=\"file " + std::string(KindOf(o)) + "\"><a href=\"/play/" + XmlEscape(PercentEncodePath(o.id)) +
           "\">" + Thumb(o) + "<span class=\"text\"><span class=\"name\">" + XmlEscape(o.title) + "</span>";
    if (o.objectClass == kClassAudio && !o.artist.empty())
      out += "<span class=\"artist\">" + XmlEscape(o.artist) + "</span>";
    out += "<span class=\"details\">" + Details(o) + "</span></span></a></li>\n";
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
  const bool hasArt = !item.artUrl.empty();
  out += "<main class=\"item\">\n";
  if (item.objectClass == kClassAudio) {
    // A song as a record sleeve: the cover above the title and who plays it.
    if (hasArt) {
      out += "<img class=\"cover\" src=\"" + XmlEscape(ArtLink(item)) + "\" alt=\"" + XmlEscape(item.title) +
             "\" width=\"160\" height=\"160\">\n";
    }
    out += "<h1>" + XmlEscape(item.title) + "</h1>\n";
    if (!item.artist.empty()) out += "<p class=\"artist\">" + XmlEscape(item.artist) + "</p>\n";
    if (!item.album.empty()) out += "<p class=\"album\">" + XmlEscape(item.album) + "</p>\n";
    if (OneOf(mime, kPlayableAudio))
      out += "<audio controls autoplay preload=\"metadata\" src=\"" + src + "\"></audio>\n";
  } else {
    out += "<h1>" + XmlEscape(item.title) + "</h1>\n";
    if (item.objectClass == kClassVideo && OneOf(mime, kPlayableVideo)) {
      out += "<video controls autoplay playsinline preload=\"metadata\" src=\"" + src + "\"";
      if (hasArt) out += " poster=\"" + XmlEscape(ArtLink(item)) + "\"";
      out += ">";
      // Browsers show the default track at once; the others wait in their
      // captions menu.
      bool first = true;
      for (const SubtitleRef& sub : item.subtitles) {
        const std::string id = SubtitleId(sub.url);
        if (id.empty()) continue;
        out += "\n<track kind=\"subtitles\" src=\"" + XmlEscape("/vtt/" + PercentEncodePath(id)) + "\" srclang=\"" +
               SubtitleLanguage(NameOf(item.id), NameOf(id)) + "\" label=\"" + XmlEscape(NameOf(id)) + "\"" +
               (first ? " default" : "") + ">";
        first = false;
      }
      out += "</video>\n";
    } else if (item.objectClass == kClassImage) {
      out += "<img class=\"picture\" alt=\"" + XmlEscape(item.title) + "\" src=\"" + src + "\">\n";
    }
  }
  out += "<p class=\"details\">" + Details(item) + "</p>\n";
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
         "nav.crumbs{position:sticky;top:0;z-index:1;padding:14px 16px;background:#1d3557;color:#fff;font-weight:600;"
         "overflow-wrap:anywhere}"
         "nav.crumbs a{color:#fff}nav.crumbs .sep{opacity:.6}"
         "main{padding:8px 0 24px}"
         "ul.entries{list-style:none;margin:0;padding:0}"
         "ul.entries li a{display:flex;align-items:center;gap:12px;min-height:64px;padding:8px 16px;"
         "border-bottom:1px solid #e2e2e6;background:#fff;color:inherit;text-decoration:none}"
         "ul.entries li a:active{background:#e8eef7}"
         // The square before each name: the art, or a tile drawn for the kind.
         ".thumb{flex:none;display:flex;align-items:center;justify-content:center;width:48px;height:48px;"
         "border-radius:6px;object-fit:cover;overflow:hidden;background:#e8e8ed;color:#8e8e93;font-size:22px;"
         "line-height:1}"
         "li.folder .thumb.none{background:#fdf0dc}"
         // A folder with its tab, cut out of one box.
         "li.folder .thumb.none::before{content:'';width:28px;height:22px;border-radius:3px;background:#e9a23b;"
         "clip-path:polygon(0 0,42% 0,54% 20%,100% 20%,100% 100%,0 100%)}"
         "li.Audio .thumb.none{background:#efe7fb;color:#7e57c2}li.Audio .thumb.none::before{content:'\\266A'}"
         "li.Video .thumb.none{background:#e3effb;color:#1e6fd9}li.Video .thumb.none::before{content:'\\25B6'}"
         "li.Picture .thumb.none{background:#e4f4e8;color:#2e9b4f}li.Picture .thumb.none::before{content:'\\25A3'}"
         "li.Text .thumb.none::before,li.File .thumb.none::before{content:'\\2261'}"
         ".text{display:flex;flex-direction:column;min-width:0}"
         ".name{overflow-wrap:anywhere}li.folder .name{font-weight:600}"
         ".artist{font-size:15px;color:#3a3a3c;overflow-wrap:anywhere}"
         ".details{font-size:14px;color:#6e6e73}.details span{white-space:nowrap}"
         "nav.pages{display:flex;justify-content:space-between;align-items:center;padding:16px}"
         "nav.pages a,a.button{display:inline-block;padding:12px 18px;border-radius:10px;background:#1d3557;"
         "color:#fff;text-decoration:none;font-weight:600}"
         "main.item{padding:16px}main.item h1{margin:12px 0 4px;font-size:20px;overflow-wrap:anywhere}"
         "main.item p{margin:4px 0}main.item p.details{margin-bottom:16px}"
         "main.item .artist{font-size:17px}.album{color:#6e6e73;overflow-wrap:anywhere}"
         // The cover is the 160-pixel JPEG of the lists, drawn larger: soft
         // on a sharp screen, but one file serves both.
         "img.cover{display:block;width:min(72vw,320px);height:auto;aspect-ratio:1;margin:8px auto 4px;"
         "object-fit:cover;border-radius:12px;box-shadow:0 6px 24px rgba(0,0,0,.18);background:#e8e8ed}"
         "video,img.picture{display:block;width:100%;max-height:70vh;margin-bottom:10px;object-fit:contain;"
         "background:#000;border-radius:8px}"
         "audio{display:block;width:100%;margin:12px 0}"
         ".empty{padding:16px;color:#6e6e73}";
}

}  // namespace tovaly
