// DIDL-Lite from another server (a Browse Result): the whole input is the
// text.
//
// Checked: containers come before items; durations and sizes are -1 or more;
// a resolution has both sides or none; and what
// was read, written again by our own DIDL writer and read back, gives the same
// entries (texts made fit for XML by the writer, as it promises).

#include <cstdint>
#include <string>
#include <vector>

#include "core/media_object.h"
#include "core/text.h"
#include "fuzz_common.h"
#include "upnp/didl.h"

namespace tovaly::fuzz {
namespace {

MediaObject ToObject(const DidlEntry& e) {
  MediaObject o;
  o.id = e.id;
  o.title = e.title;
  // An item that calls itself a container stays an item here.
  o.objectClass = e.container ? kClassContainer : e.objectClass == kClassContainer ? kClassOther : e.objectClass;
  if (!e.container) {
    o.res = e.url;
    o.protocolInfo = e.protocolInfo;
    o.date = e.date;
  }
  return o;
}

// What reading the writer's text should give for the entry.
bool Expected(const DidlEntry& e, DidlEntry* out) {
  *out = DidlEntry();
  out->container = e.container;
  out->id = XmlSafe(e.id);
  out->title = XmlSafe(e.title);
  if (out->title.empty()) return false;  // an empty element: no title, left out
  if (e.container) {
    out->objectClass = kClassContainer;
    return true;
  }
  out->url = XmlSafe(e.url);
  if (out->url.empty()) return false;
  out->objectClass = e.objectClass == kClassContainer ? kClassOther : e.objectClass;
  out->hasProtocolInfo = true;
  out->protocolInfo = e.protocolInfo.empty() ? "http-get:*:application/octet-stream:*" : XmlSafe(e.protocolInfo);
  const std::string date = XmlSafe(e.date);
  if (e.date.empty()) {
    out->date = "2012-01-01T00:00:00";
  } else if (date.find('T') != std::string::npos) {
    out->date = date;
  } else {
    out->date = date + "T00:00:00";
  }
  return true;
}

}  // namespace
}  // namespace tovaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  if (size > 256 * 1024) return 0;
  const std::string text = Bytes(data, size);
  bool ok = false;
  const std::vector<DidlEntry> entries = ReadDidl(text.c_str(), &ok);
  FUZZ_CHECK(ok || entries.empty());
  bool items = false;
  for (const DidlEntry& e : entries) {
    FUZZ_CHECK(!(e.container && items));  // containers first
    items = items || !e.container;
    FUZZ_CHECK(e.duration >= -1);
    FUZZ_CHECK(e.size >= -1);
    FUZZ_CHECK((e.width == 0) == (e.height == 0));  // a resolution reads whole or not at all
    FUZZ_CHECK(!e.container || e.objectClass == kClassContainer);
  }
  ParseDidlDuration(text.c_str());

  // Written again and read back.
  std::vector<MediaObject> objects;
  std::vector<DidlEntry> expected;
  for (const DidlEntry& e : entries) {
    objects.push_back(ToObject(e));
    DidlEntry x;
    if (Expected(e, &x)) expected.push_back(x);
  }
  bool again = false;
  const std::vector<DidlEntry> back = ReadDidl(WriteDidl(objects).c_str(), &again);
  FUZZ_CHECK(again);
  FUZZ_CHECK(back.size() == expected.size());
  for (size_t i = 0; i < back.size(); ++i) {
    const DidlEntry& b = back[i];
    const DidlEntry& x = expected[i];
    FUZZ_CHECK(b.container == x.container);
    FUZZ_CHECK(b.id == x.id);
    FUZZ_CHECK(b.title == x.title);
    FUZZ_CHECK(b.url == x.url);
    FUZZ_CHECK(b.objectClass == x.objectClass);
    FUZZ_CHECK(b.hasProtocolInfo == x.hasProtocolInfo && b.protocolInfo == x.protocolInfo);
    FUZZ_CHECK(b.date == x.date);
  }
  return 0;
}
