#pragma once
// Reading a remote device's description: a pure function of the location it
// came from and its text (or parsed document), so that it can be tested on
// fixture files. Applying the result to the registries is the control
// point's business.

#include <netinet/in.h>

#include <string>
#include <vector>

#include "controlpoint/device_control.h"

typedef struct _IXML_Document IXML_Document;

namespace tovaly {

enum class DeviceKind { kServer, kRenderer, kOther };

struct ParsedService {
  int index;  // ServiceIndex
  RemoteService service;
};

struct ParsedDevice {
  DeviceKind kind;
  std::string deviceType, udn, friendlyName;
  // Recognised services of the device element's whole subtree, in document
  // order (a later one of the same kind overrides an earlier one).
  std::vector<ParsedService> services;
  std::vector<std::string> allServiceTypes;  // every complete service element, for diagnostics
  bool hasAck = false;
  sockaddr_in ack{};
};

struct ParsedDescription {
  bool valid = false;  // false: no document
  std::string baseUrl;
  std::vector<ParsedDevice> devices;  // only device elements with type, name and UDN
};

// Bounds on what one description may bring: devices taken from it (a root
// device and its embedded ones), the length of a type or UDN (longer ones
// are skipped) and of a friendly name (cut), elements in the document.
constexpr size_t kMaxDevices = 16;
constexpr size_t kMaxFieldBytes = 256;
constexpr size_t kMaxElements = 10000;

ParsedDescription ParseDescription(const std::string& location, IXML_Document* doc);
// Parses the text first; a document that does not parse, or that is deeper
// or larger than the limits, gives valid = false.
ParsedDescription ParseDescriptionText(const std::string& location, const char* text);

// "a.b.c.d:port" into an IPv4 socket address. 0, or -101 when the text is
// null or has no ":". A host part that is not a dotted quad (or longer than
// one) gives the address 255.255.255.255, which counts as no ack address.
int ParseAckAddress(const char* text, sockaddr_in* out);

// At most maxBytes of UTF-8 text, cut between characters.
std::string CutUtf8(const std::string& text, size_t maxBytes);

// rel against base; "" when it does not resolve.
std::string ResolveUrl(const std::string& base, const char* rel);

}  // namespace tovaly
