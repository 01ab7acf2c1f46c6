#include "device/stack.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <upnp.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/mutex.h"

namespace tovaly {
namespace {

// Zero-filled static: usable before and without any initialisation.
Mutex g_stackLock;
int g_stackUsers = 0;  // guarded by g_stackLock
int g_ackSocket = -1;  // guarded by g_stackLock
uint16_t g_ackPort = 0;

std::string DefaultRouteInterface() {
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);  // header
  std::string best;
  unsigned long bestMetric = ~0ul;
  while (std::getline(routes, line)) {
    std::istringstream in(line);
    std::string iface, dest, gateway, flags, refcnt, use, metric, mask;
    if (!(in >> iface >> dest >> gateway >> flags >> refcnt >> use >> metric >> mask)) continue;
    const unsigned long f = std::stoul(flags, nullptr, 16);
    if (dest != "00000000" || mask != "00000000" || !(f & 0x1 /* RTF_UP */)) continue;
    const unsigned long m = std::stoul(metric);
    if (m < bestMetric) {
      bestMetric = m;
      best = iface;
    }
  }
  return best;
}

void OpenAckSocket(const char* address) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = 0;
  if (!address || inet_pton(AF_INET, address, &sa.sin_addr) != 1) sa.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    close(fd);
    return;
  }
  g_ackSocket = fd;
  g_ackPort = ntohs(sa.sin_port);
}

void CloseAckSocket() {
  if (g_ackSocket >= 0) close(g_ackSocket);
  g_ackSocket = -1;
  g_ackPort = 0;
}

}  // namespace

std::string DefaultRouteAddress() {
  const std::string iface = DefaultRouteInterface();
  if (iface.empty()) return std::string();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::string();
  std::string result;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || iface != a->ifa_name) continue;
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text)) {
      result = text;
      break;
    }
  }
  freeifaddrs(list);
  return result;
}

int UpnpStackAcquire(const char* address, uint16_t port) {
  MutexGuard guard(g_stackLock);
  if (g_stackUsers < 1) {
    g_stackUsers = 0;
    std::string chosen;
    if (!address) {
      chosen = DefaultRouteAddress();
      if (!chosen.empty()) address = chosen.c_str();
    }
    const int rc = UpnpInit(address, port);
    if (rc != UPNP_E_SUCCESS) return rc;
    const char* ip = UpnpGetServerIpAddress();
    if (!ip || !*ip || strcmp(ip, "0.0.0.0") == 0) {
      // Only loopback is up: nobody on the network could reach us.
      UpnpFinish();
      return UPNP_E_INVALID_INTERFACE;
    }
    UpnpSetMaxContentLength(kMaxContentLength);
    OpenAckSocket(UpnpGetServerIpAddress());
  }
  ++g_stackUsers;
  return 0;
}

void UpnpStackRelease() {
  MutexGuard guard(g_stackLock);
  if (g_stackUsers > 0) {
    if (--g_stackUsers == 0) {
      CloseAckSocket();
      UpnpFinish();
    }
  }
}

uint16_t StackAckPort() {
  MutexGuard guard(g_stackLock);
  return g_ackPort;
}

int StackAckSocket() {
  MutexGuard guard(g_stackLock);
  return g_ackSocket;
}

}  // namespace tovaly
