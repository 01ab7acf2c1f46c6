// A renderer's LastChange text, as its AVTransport events carry it: the input
// is the text itself, and also the body of the event when it is one. The
// proxy is a renderer of our own instance 0, without a stack.
//
// Checked: every state reported is one of the known ones, for this renderer;
// no more reports than TransportState elements in the text; the text carried
// (escaped) in an event gives the same reports as the text alone. The clock
// times and protocol lists of the renderer's answers are read on the side.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controlpoint/client_link.h"
#include "controlpoint/media_renderer_device.h"
#include "core/event_callback.h"
#include "core/text.h"
#include "fuzz_common.h"
#include "upnp/didl.h"
#include "upnp/ixml_util.h"

namespace tovaly::fuzz {
namespace {

const char kRenderer[] = "uuid:5e5e5e5e-0000-1111-2222-333333333333";
std::vector<int> g_states;

int32_t Host(void*, int32_t code, void* args) {
  if (code == kEventTransportState) {
    auto* changed = static_cast<TransportStateChanged*>(args);
    FUZZ_CHECK(changed->udn && std::string(changed->udn) == kRenderer);
    g_states.push_back(changed->state);
  }
  return 0;
}

MediaRendererDevice* Renderer() {
  static MediaRendererDevice* renderer = [] {
    auto link = std::make_shared<ClientLink>();
    link->SetHost(&Host, reinterpret_cast<void*>(1));
    auto* r = new MediaRendererDevice(kRenderer, "Renderer", "http://192.0.2.8:49494/", link);
    r->AddRef();  // kept for the whole run
    return r;
  }();
  return renderer;
}

size_t Occurrences(const std::string& text, const char* what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace
}  // namespace tovaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  if (size > 64 * 1024) return 0;  // the stack takes no longer body
  const std::string text = Bytes(data, size);

  g_states.clear();
  Renderer()->OnLastChange(text.c_str());
  const std::vector<int> alone = g_states;
  FUZZ_CHECK(alone.size() <= Occurrences(text, "TransportState"));
  for (int s : alone) FUZZ_CHECK(s >= 0 && s <= 7);

  // The same text in an event, escaped as a renderer sends it. The stack
  // parses event bodies itself, with an XML library that reads past the end
  // of some broken text (not UTF-8, or ending inside a construct): such
  // bodies are the library's, and left out here.
  const std::string event =
      "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property><LastChange>" + XmlEscape(text) +
      "</LastChange></e:property></e:propertyset>";
  IxmlDocument doc(WithinXmlLimits(event.c_str()) ? ixmlParseBuffer(event.c_str()) : nullptr);
  if (doc) {
    const char* carried = FirstElementText(doc.get(), "LastChange");
    g_states.clear();
    Renderer()->OnEvent(doc.get());
    if (carried && text == carried) FUZZ_CHECK(g_states == alone);
  }

  // The input as a whole event body.
  IxmlDocument body(WithinXmlLimits(text.c_str()) ? ixmlParseBuffer(text.c_str()) : nullptr);
  if (body) Renderer()->OnEvent(body.get());

  FUZZ_CHECK(ParseClockTime(text.c_str()) >= 0);
  const std::vector<std::string> list = SplitList(text.c_str());
  std::string joined;
  for (size_t i = 0; i < list.size(); ++i) joined += (i ? "," : "") + list[i];
  const std::string cText = text.c_str();  // as far as a C string reaches
  FUZZ_CHECK(joined == cText || joined + "," == cText);
  return 0;
}
