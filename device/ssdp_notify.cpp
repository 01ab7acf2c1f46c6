#include "device/ssdp_notify.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "core/clock.h"

namespace tovaly {
namespace {

std::string ServerHeader() {
  utsname u{};
  uname(&u);
  return std::string(u.sysname) + "/" + u.release + ", UPnP/1.0, Portable SDK for UPnP devices/1.8.4";
}

std::string Notify(const AliveAnnouncement& a, const std::string& nls, const std::string& server,
                   const std::string& nt, const std::string& usn) {
  return "NOTIFY * HTTP/1.1\r\n"
         "HOST: 239.255.255.250:1900\r\n"
         "CACHE-CONTROL: max-age=" + std::to_string(a.maxAge) + "\r\n"
         "LOCATION: " + a.location + "\r\n"
         "OPT: \"http://schemas.upnp.org/upnp/1/0/\"; ns=01\r\n"
         "01-NLS: " + nls + "\r\n"
         "NT: " + nt + "\r\n"
         "NTS: ssdp:alive\r\n"
         "SERVER: " + server + "\r\n"
         "X-User-Agent: redsonic\r\n"
         "USN: " + usn + "\r\n"
         "\r\n";
}

}  // namespace

std::vector<std::string> BuildAliveNotifies(const AliveAnnouncement& a, const std::string& nlsId) {
  const std::string server = ServerHeader();
  std::vector<std::string> out;
  out.push_back(Notify(a, nlsId, server, "upnp:rootdevice", a.udn + "::upnp:rootdevice"));
  out.push_back(Notify(a, nlsId, server, a.udn, a.udn));
  out.push_back(Notify(a, nlsId, server, a.deviceType, a.udn + "::" + a.deviceType));
  for (const std::string& type : a.serviceTypes) out.push_back(Notify(a, nlsId, server, type, a.udn + "::" + type));
  return out;
}

bool SendAliveBurst(const std::string& address, const std::vector<std::string>& datagrams) {
  in_addr local{};
  if (inet_pton(AF_INET, address.c_str(), &local) != 1) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const unsigned char ttl = 4;
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(1900);
  inet_pton(AF_INET, "239.255.255.250", &dest.sin_addr);
  bool sent = false;
  for (int copy = 0; copy < 2; ++copy) {
    if (copy) SleepMicros(100000);
    for (const std::string& d : datagrams) {
      if (sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest) ==
          static_cast<ssize_t>(d.size())) {
        sent = true;
      }
    }
  }
  close(fd);
  return sent;
}

}  // namespace tovaly
