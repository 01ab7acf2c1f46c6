#pragma once
// One burst of SSDP "alive" announcements of our own. libupnp's public
// advertisement call also starts a renewal chain that cannot be cancelled, so
// the extra bursts after start are sent here in the stack's own format.

#include <string>
#include <vector>

namespace tovaly {

struct AliveAnnouncement {
  std::string location;  // description URL
  std::string udn;
  std::string deviceType;
  std::vector<std::string> serviceTypes;
  int maxAge = 100;
};

// The NOTIFY datagrams: root device, UDN, device type, then one per service.
std::vector<std::string> BuildAliveNotifies(const AliveAnnouncement& a, const std::string& nlsId);

// Sends the datagrams twice (as the stack does) to 239.255.255.250:1900 out of
// the interface that holds `address`, TTL 4. Returns false when nothing could
// be sent.
bool SendAliveBurst(const std::string& address, const std::vector<std::string>& datagrams);

}  // namespace tovaly
