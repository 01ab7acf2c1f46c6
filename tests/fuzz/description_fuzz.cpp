// Another device's description, as the control point reads it after the
// download: the whole input is the document text.
//
// Checked: the bounds of what one description may bring (devices, field
// lengths), a friendly name cut between characters, services only for the
// kinds of device that have them and only of known indexes, and an ack
// address only when it is a real one.

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "controlpoint/description_parser.h"
#include "fuzz_common.h"
#include "core/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  if (size > 1024 * 1024) return 0;  // the download stops there
  const std::string text = Bytes(data, size);
  const ParsedDescription p = ParseDescriptionText("http://192.0.2.7:8200/rootDesc.xml", text.c_str());
  if (!p.valid) {
    FUZZ_CHECK(p.devices.empty());
    return 0;
  }
  FUZZ_CHECK(!p.baseUrl.empty());
  FUZZ_CHECK(p.devices.size() <= kMaxDevices);
  for (const ParsedDevice& d : p.devices) {
    FUZZ_CHECK(!d.deviceType.empty() && !d.udn.empty());
    FUZZ_CHECK(d.deviceType.size() <= kMaxFieldBytes && d.udn.size() <= kMaxFieldBytes);
    FUZZ_CHECK(d.friendlyName.size() <= kMaxFieldBytes);
    if (d.kind == DeviceKind::kOther) {
      FUZZ_CHECK(d.services.empty() && !d.hasAck);
    }
    for (const ParsedService& s : d.services) {
      FUZZ_CHECK(s.index >= kServiceConnectionManager && s.index <= kServiceMediaDownload);
      FUZZ_CHECK(d.kind != DeviceKind::kServer || (s.index != kServiceAVTransport && s.index != kServiceRenderingControl));
      FUZZ_CHECK(d.kind != DeviceKind::kRenderer || s.index != kServiceContentDirectory);
      FUZZ_CHECK(s.service.version >= -1 && s.service.version <= 255);
    }
    FUZZ_CHECK(d.services.size() <= d.allServiceTypes.size());
    if (d.hasAck) FUZZ_CHECK(d.ack.sin_addr.s_addr != INADDR_NONE && d.ack.sin_family == AF_INET);
  }

  // The ack text on its own: without a ":" nothing of it is taken.
  sockaddr_in ack{};
  const int rc = ParseAckAddress(text.c_str(), &ack);
  FUZZ_CHECK(ack.sin_family == AF_INET);
  FUZZ_CHECK(rc == 0 || (ack.sin_addr.s_addr == 0 && ack.sin_port == 0));

  // Names are cut between characters: UTF-8 stays UTF-8, and no more than a
  // character's worth is lost.
  if (IsValidUtf8(text)) {
    for (size_t max : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size / 2, size - 1}) {
      const std::string cut = CutUtf8(text, max);
      if (max >= size) {
        FUZZ_CHECK(cut == text);
        continue;
      }
      FUZZ_CHECK(cut.size() <= max && cut.size() + 3 >= max && text.compare(0, cut.size(), cut) == 0);
      FUZZ_CHECK(IsValidUtf8(cut));
    }
  }
  return 0;
}
