#include "upnp/stack.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <upnp.h>

#include <poll.h>
#include <sys/eventfd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/clock.h"
#include "core/mutex.h"
#include "core/trace.h"
#include "upnp/ixml_util.h"

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

// The probe's receive thread and the worker that answers and delivers.
struct Probe {
  std::thread receiver, worker;
  int stopFd = -1;
  std::mutex m;  // guards jobs and stopping
  std::condition_variable cv;
  std::deque<std::pair<sockaddr_in, std::string>> jobs;  // reply to an address, or deliver a text
  bool stopping = false;
};
Probe* g_probe = nullptr;  // guarded by g_stackLock

std::mutex g_clientLock;  // guards the three below; held while a delivery runs
StackClientCallback g_client = nullptr;
void* g_clientCookie = nullptr;
std::string g_rootUdn;

constexpr size_t kMaxJobs = 64;  // a flood of datagrams is dropped, not queued

void Receive(Probe* probe, int fd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {probe->stopFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    std::string text;
    sockaddr_in from{};
    if (!ReceiveProbeText(fd, &text, &from)) continue;
    std::lock_guard<std::mutex> lk(probe->m);
    if (probe->jobs.size() >= kMaxJobs) continue;
    probe->jobs.emplace_back(from, ProbeDatagramUdn(text.data(), text.size()));
    probe->cv.notify_one();
  }
}

void Work(Probe* probe, int fd) {
  // Replies are few: a flood of probes from anywhere must not make us send a
  // flood of (longer) answers.
  constexpr int kRepliesPerSecond = 20;
  uint64_t windowStart = 0;
  int repliesInWindow = 0;
  for (;;) {
    std::pair<sockaddr_in, std::string> job;
    {
      std::unique_lock<std::mutex> lk(probe->m);
      probe->cv.wait(lk, [&] { return probe->stopping || !probe->jobs.empty(); });
      if (probe->stopping) return;
      job = std::move(probe->jobs.front());
      probe->jobs.pop_front();
    }
    if (job.second.empty()) {
      const uint64_t now = MonotonicMicros();
      if (now - windowStart >= 1000000) {
        windowStart = now;
        repliesInWindow = 0;
      }
      if (++repliesInWindow > kRepliesPerSecond) continue;
      std::string udn;
      {
        std::lock_guard<std::mutex> lk(g_clientLock);
        udn = g_rootUdn.substr(0, 99);
      }
      sendto(fd, udn.data(), udn.size(), 0, reinterpret_cast<sockaddr*>(&job.first), sizeof job.first);
    } else {
      std::lock_guard<std::mutex> lk(g_clientLock);
      AckReceived ack{job.second.c_str(), job.first.sin_addr.s_addr, job.first.sin_port};
      if (g_client) g_client(kEventAckReceived, &ack, g_clientCookie);
    }
  }
}

void StartProbe(int fd) {
  auto* probe = new Probe;
  probe->stopFd = eventfd(0, EFD_CLOEXEC);
  probe->receiver = std::thread(Receive, probe, fd);
  probe->worker = std::thread(Work, probe, fd);
  g_probe = probe;
}

void StopProbe() {
  Probe* probe = g_probe;
  if (!probe) return;
  g_probe = nullptr;
  const uint64_t one = 1;
  if (write(probe->stopFd, &one, sizeof one) < 0) {
    // The receiver then ends when the socket closes under poll.
  }
  {
    std::lock_guard<std::mutex> lk(probe->m);
    probe->stopping = true;
  }
  probe->cv.notify_all();
  probe->receiver.join();
  probe->worker.join();
  close(probe->stopFd);
  delete probe;
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
  StartProbe(fd);
}

void CloseAckSocket() {
  StopProbe();
  if (g_ackSocket >= 0) close(g_ackSocket);
  g_ackSocket = -1;
  g_ackPort = 0;
}

// Whether an IPv4 address belongs to an interface of this machine.
bool IsLocalAddress(const char* address) {
  in_addr wanted{};
  if (inet_pton(AF_INET, address, &wanted) != 1) return false;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return true;  // cannot tell: let the stack try
  bool found = false;
  for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
    found = a->ifa_addr && a->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == wanted.s_addr;
  }
  freeifaddrs(list);
  return found;
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
    if (address && !IsLocalAddress(address)) return UPNP_E_INVALID_INTERFACE;
    int rc = UpnpInit(address, port);
    // With no port asked for, another program of ours (or anyone) may hold
    // 49152 on this address: the stack does not move on by itself.
    for (uint16_t next = 49153; rc == UPNP_E_SOCKET_BIND && port == 0 && next < 49152 + 100; ++next) {
      rc = UpnpInit(address, next);
    }
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

bool ReceiveProbeText(int fd, std::string* text, sockaddr_in* from) {
  char buffer[kMaxProbeText + 1];
  socklen_t len = sizeof *from;
  // MSG_TRUNC gives the datagram's real length, so a longer one is seen.
  const ssize_t n = recvfrom(fd, buffer, kMaxProbeText, MSG_TRUNC, reinterpret_cast<sockaddr*>(from), &len);
  if (n <= 0 || static_cast<size_t>(n) > kMaxProbeText) {
    DebugTrace(" --- receive ack msg error: %d\n", n < 0 ? errno : 0);
    return false;
  }
  buffer[n] = '\0';
  char host[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &from->sin_addr, host, sizeof host);
  DebugTrace(" --- receive ack msg: %s from host %s:%d\n", buffer, host, ntohs(from->sin_port));
  text->assign(buffer, static_cast<size_t>(n));
  return true;
}

std::string ProbeDatagramUdn(const char* data, size_t n) {
  if (!data || (n >= 4 && memcmp(data, "test", 4) == 0)) return std::string();
  return std::string(data, n);
}

void StackSetClient(StackClientCallback callback, void* cookie) {
  std::lock_guard<std::mutex> lk(g_clientLock);
  g_client = callback;
  g_clientCookie = cookie;
}

void StackSetRootDeviceUdn(const std::string& udn) {
  std::lock_guard<std::mutex> lk(g_clientLock);
  g_rootUdn = udn;
}

int StackSendProbe(uint32_t address, uint16_t port) {
  const int fd = StackAckSocket();
  if (fd < 0) return -208;  // UPNP_E_SOCKET_ERROR
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = port;
  for (int i = 0; i < 2; ++i) {
    sendto(fd, "test", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    SleepMicros(500000);
  }
  return 0;
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

// Guards the link step puts in front of the stack's own functions (the
// static archive is linked with --wrap for each; see upnp/CMakeLists.txt).
// They live here, in the object every program with the stack links, so
// that the linker always finds them.
struct service_table;
struct service_info;

extern "C" {

service_info* __real_FindServiceControlURLPath(service_table* table, const char* path);
service_info* __real_FindServiceEventURLPath(service_table* table, const char* path);
int __real_ixmlParseBufferEx(const char* buffer, IXML_Document** doc);

// The device's control and events are served by the media engine, never by
// the stack's port: its lookups find nothing, so whatever reaches that port
// is refused before the stack's own handling. That also keeps a SUBSCRIBE
// or UNSUBSCRIBE without a path (whose lookup dereferences a null path in
// this version of the stack) from taking the process down.
service_info* __wrap_FindServiceControlURLPath(service_table*, const char*) { return nullptr; }
service_info* __wrap_FindServiceEventURLPath(service_table*, const char*) { return nullptr; }

// The stack's XML parser reads past the end of text that is not UTF-8 or
// ends inside a character reference. Everything the stack parses (event
// bodies for the control point, SOAP answers, SOAP bodies sent to its port)
// is measured first, as the program's own documents are.
int __wrap_ixmlParseBufferEx(const char* buffer, IXML_Document** doc) {
  if (doc) *doc = nullptr;
  if (buffer && !tovaly::FitsXmlParser(buffer)) return IXML_SYNTAX_ERR;
  return __real_ixmlParseBufferEx(buffer, doc);
}

}  // extern "C"
