// A request to the phone page: the input is the request target ("/browse/
// Music/?page=2"). The path is routed as the media engine routes it, the page
// argument read, and the page rendered as the engine renders it over the
// fixed folder tree; the input's own text is also rendered as a file and a
// folder of hostile names.
//
// Checked: a folder or file route has an id (never ending in "/" for a
// folder); the page window fits; and every page is markup of our own: only
// the tags and attributes the pages use, every link, source and poster on this server
// ("/..." but not "//..." nor "/\..."), every "&" the start of an entity.

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/media_object.h"
#include "fuzz_common.h"
#include "library/media_library.h"
#include "streaming/http_request.h"
#include "streaming/phone_page.h"

namespace tovaly::fuzz {
namespace {

bool OneOf(const std::string& word, std::initializer_list<const char*> list) {
  for (const char* w : list) {
    if (word == w) return true;
  }
  return false;
}

bool Local(const std::string& url) { return url.size() >= 1 && url[0] == '/' && (url.size() == 1 || (url[1] != '/' && url[1] != '\\')); }

void CheckText(const std::string& html, size_t from, size_t to) {
  for (size_t i = html.find('&', from); i < to; i = html.find('&', i + 1)) {
    bool entity = false;
    for (const char* e : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
      entity = entity || html.compare(i, strlen(e), e) == 0;
    }
    FUZZ_CHECK(entity);
  }
  FUZZ_CHECK(html.find('>', from) >= to);
}

void CheckHtml(const std::string& html) {
  static const char kDoctype[] = "<!DOCTYPE html>\n";
  FUZZ_CHECK(html.compare(0, sizeof kDoctype - 1, kDoctype) == 0);
  size_t at = sizeof kDoctype - 1;
  for (;;) {
    const size_t lt = html.find('<', at);
    CheckText(html, at, lt == std::string::npos ? html.size() : lt);
    if (lt == std::string::npos) break;
    size_t p = lt + 1;
    const bool closing = p < html.size() && html[p] == '/';
    if (closing) ++p;
    size_t end = p;
    while (end < html.size() && ((html[end] >= 'a' && html[end] <= 'z') || (html[end] >= '0' && html[end] <= '9'))) ++end;
    const std::string tag = html.substr(p, end - p);
    FUZZ_CHECK(OneOf(tag, {"html", "head", "meta", "title", "link", "body", "nav", "span", "a", "main", "ul", "li",
                           "p", "h1", "video", "audio", "img", "track"}));
    p = end;
    while (!closing) {
      while (p < html.size() && html[p] == ' ') ++p;
      FUZZ_CHECK(p < html.size());
      if (html[p] == '>') break;
      size_t nameEnd = p;
      while (nameEnd < html.size() && ((html[nameEnd] >= 'a' && html[nameEnd] <= 'z') || html[nameEnd] == '-')) ++nameEnd;
      const std::string name = html.substr(p, nameEnd - p);
      FUZZ_CHECK(OneOf(name, {"lang", "charset", "name", "content", "rel", "href", "class", "controls", "autoplay",
                              "playsinline", "preload", "src", "alt", "width", "height", "loading", "poster", "kind",
                              "srclang", "label", "default"}));
      p = nameEnd;
      if (p < html.size() && html[p] == '=') {
        FUZZ_CHECK(p + 1 < html.size() && html[p + 1] == '"');
        const size_t close = html.find('"', p + 2);
        FUZZ_CHECK(close != std::string::npos);
        const std::string value = html.substr(p + 2, close - p - 2);
        FUZZ_CHECK(value.find('<') == std::string::npos);
        CheckText(html, p + 2, close);
        if (name == "href" || name == "src" || name == "poster") FUZZ_CHECK(Local(value));
        p = close + 1;
      } else {
        FUZZ_CHECK(OneOf(name, {"controls", "autoplay", "playsinline", "default"}));
      }
    }
    if (closing) FUZZ_CHECK(p < html.size() && html[p] == '>');
    at = p + 1;
  }
}

}  // namespace
}  // namespace tovaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  if (size > 16 * 1024) return 0;
  const std::string target = Bytes(data, size);
  if (target.find('\0') != std::string::npos) return 0;  // not in a request line
  const size_t question = target.find('?');
  const std::string url = target.substr(0, question);
  const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);

  // The "page" argument as the library hands it over: the first one.
  const char* pageText = nullptr;
  std::string pageValue;
  for (size_t start = 0; question != std::string::npos && start <= query.size();) {
    size_t amp = query.find('&', start);
    if (amp == std::string::npos) amp = query.size();
    if (query.compare(start, 5, "page=") == 0) {
      pageValue = query.substr(start + 5, amp - start - 5);
      pageText = pageValue.c_str();
      break;
    }
    start = amp + 1;
  }
  const int32_t page = PhonePageNumber(pageText);
  FUZZ_CHECK(page >= 1 && (static_cast<int64_t>(page) - 1) * kPhonePageSize <= INT32_MAX);

  const PhoneRoute route = ParsePhoneRoute(url.c_str());
  const std::string& shared = FuzzTree().shared;
  const std::string name = "Fuzz <server> & 'co'";
  std::string html;
  switch (route.kind) {
    case PhoneRoute::kFolder: {
      FUZZ_CHECK(!route.id.empty() && route.id.back() != '/');
      FolderPage folder;
      folder.serverName = name;
      folder.folderId = route.id;
      folder.page = page;
      MediaObjectList list;
      folder.total = ListFolder(shared, route.id, (page - 1) * kPhonePageSize, kPhonePageSize, "/media/", &list);
      folder.entries = std::move(list.objects);
      FUZZ_CHECK(folder.entries.size() <= static_cast<size_t>(kPhonePageSize));
      html = folder.total < 0 ? RenderNotFoundPage(name) : RenderFolderPage(folder);
      break;
    }
    case PhoneRoute::kItem: {
      FUZZ_CHECK(!route.id.empty());
      MediaObject object;
      html = DescribeObject(shared, route.id, "/media/", name, &object) && object.objectClass != kClassContainer
                 ? RenderItemPage(name, object)
                 : RenderNotFoundPage(name);
      break;
    }
    case PhoneRoute::kBadRequest:
    case PhoneRoute::kNotFound: FUZZ_CHECK(route.id.empty()); html = RenderNotFoundPage(name); break;
  }
  CheckHtml(html);

  // The input's own texts as names, titles and details.
  MediaObject hostile;
  hostile.id = route.id.empty() ? url : route.id;
  hostile.title = target;
  hostile.protocolInfo = query;
  hostile.date = query;
  hostile.size = static_cast<int64_t>(size) * 1000003;
  hostile.artist = target;
  hostile.album = query;
  hostile.artUrl = query;
  hostile.durationMs = static_cast<int64_t>(size) * 100000007;
  hostile.width = hostile.height = static_cast<uint32_t>(size);
  // Subtitle URLs as they come (absolute, relative, broken), so that only
  // this server's /media/ paths become tracks.
  hostile.subtitles = {{query, "srt", "text/srt"}, {"/media/" + query, "srt", "text/srt"},
                       {"http://h:1/media/" + url, "srt", "text/srt"}};
  for (ObjectClass cls : {kClassContainer, kClassVideo, kClassAudio, kClassImage, kClassText, kClassOther}) {
    hostile.objectClass = cls;
    CheckHtml(RenderItemPage(target, hostile));
  }
  hostile.objectClass = kClassVideo;  // one the browser plays: the tracks are written
  hostile.protocolInfo = "http-get:*:video/mp4:*";
  CheckHtml(RenderItemPage(target, hostile));
  FolderPage folder;
  folder.serverName = target;
  folder.folderId = hostile.id;
  folder.page = page;
  folder.total = INT32_MAX;
  hostile.objectClass = kClassContainer;
  folder.entries.push_back(hostile);
  hostile.objectClass = kClassAudio;
  folder.entries.push_back(hostile);
  CheckHtml(RenderFolderPage(folder));
  MimeOf(query);
  HumanSize(static_cast<int64_t>(size) << 40);
  PlayTime(static_cast<int64_t>(size) << 40);
  return 0;
}
