#include "upnp/http_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <upnp.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tovaly {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxHead = 16 * 1024;
constexpr int kSliceMillis = 100;  // how often `cancelled` is asked

struct Url {
  std::string host, port = "80", target = "/";
};

bool SplitUrl(const std::string& url, Url* out) {
  if (strncasecmp(url.c_str(), "http://", 7) != 0) return false;
  const size_t start = 7;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(start, end - start);
  std::string target = url.substr(end);
  const size_t hash = target.find('#');
  if (hash != std::string::npos) target.resize(hash);
  if (!target.empty()) out->target = target[0] == '/' ? target : "/" + target;
  if (authority.find('@') != std::string::npos) return false;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    out->host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      out->port = authority.substr(close + 2);
    }
  } else {
    const size_t colon = authority.find(':');
    out->host = authority.substr(0, colon);
    if (colon != std::string::npos) out->port = authority.substr(colon + 1);
  }
  if (out->host.empty() || out->port.empty() || out->port.size() > 5 ||
      out->port.find_first_not_of("0123456789") != std::string::npos || std::stol(out->port) > 65535) {
    return false;
  }
  for (char c : out->target) {
    if (static_cast<unsigned char>(c) <= ' ') return false;  // would break the request line
  }
  return true;
}

class Deadline {
 public:
  Deadline(const FetchLimits& limits) : limits_(limits), end_(Clock::now() + std::chrono::milliseconds(limits.millis)) {}
  // Waits until fd is ready for `events`; false when time is up or the
  // fetch was cancelled.
  bool Wait(int fd, short events) const {
    for (;;) {
      if (limits_.cancelled && limits_.cancelled()) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, events, 0};
      const int n = poll(&p, 1, static_cast<int>(left < kSliceMillis ? left : kSliceMillis));
      if (n > 0) return true;
      if (n < 0 && errno != EINTR) return false;
    }
  }

 private:
  const FetchLimits& limits_;
  Clock::time_point end_;
};

// The connected socket, or -1 (refused, unreachable, no such host) or -2
// (time is up or the fetch was cancelled).
int Connect(const Url& url, const Deadline& deadline) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found) != 0 || !found) return -1;
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
    if (errno == EINPROGRESS) {
      if (!deadline.Wait(fd, POLLOUT)) {
        close(fd);
        fd = -2;
        break;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) break;
    }
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

// Decodes a chunked body; false when it is broken or not complete yet
// (*complete tells which).
bool Dechunk(const std::string& raw, size_t maxBytes, std::string* body, bool* complete, bool* tooLarge) {
  body->clear();
  *complete = *tooLarge = false;
  size_t pos = 0;
  for (;;) {
    const size_t eol = raw.find("\r\n", pos);
    if (eol == std::string::npos) return true;  // more to come
    size_t size = 0;
    size_t i = pos;
    for (; i < eol && isxdigit(static_cast<unsigned char>(raw[i])); ++i) {
      size = size * 16 + static_cast<size_t>(isdigit(static_cast<unsigned char>(raw[i])) ? raw[i] - '0'
                                                                                          : (tolower(raw[i]) - 'a' + 10));
      if (size > maxBytes) {
        *tooLarge = true;
        return false;
      }
    }
    if (i == pos) return false;
    if (size == 0) {
      *complete = true;
      return true;
    }
    if (raw.size() < eol + 2 + size + 2) return true;
    body->append(raw, eol + 2, size);
    if (body->size() > maxBytes) {
      *tooLarge = true;
      return false;
    }
    pos = eol + 2 + size + 2;
  }
}

}  // namespace

int HttpExchange(const HttpCall& call, const FetchLimits& limits, int* status, std::string* body) {
  body->clear();
  *status = 0;
  Url url;
  if (!SplitUrl(call.url, &url)) return UPNP_E_INVALID_URL;
  for (char c : call.method) {
    if (static_cast<unsigned char>(c) <= ' ') return UPNP_E_INVALID_PARAM;  // would break the request line
  }
  const Deadline deadline(limits);
  const int fd = Connect(url, deadline);
  if (fd < 0) return fd == -2 ? UPNP_E_TIMEDOUT : UPNP_E_SOCKET_CONNECT;
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};

  const std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
  std::string request = call.method + " " + url.target + " HTTP/1.1\r\nHost: " + host + ":" + url.port +
                        "\r\nConnection: close\r\n" + call.headers;
  if (!call.body.empty() || call.method != "GET") request += "Content-Length: " + std::to_string(call.body.size()) + "\r\n";
  request += "\r\n";
  request += call.body;
  for (size_t sent = 0; sent < request.size();) {
    if (!deadline.Wait(fd, POLLOUT)) return UPNP_E_TIMEDOUT;
    const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return UPNP_E_SOCKET_WRITE;
    if (n > 0) sent += static_cast<size_t>(n);
  }

  std::string raw;
  size_t headEnd = std::string::npos;
  long long length = -1;
  bool chunked = false;
  char buf[16 * 1024];
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = raw.find("\r\n\r\n");
      if (headEnd == std::string::npos && raw.size() > kMaxHead) return UPNP_E_BAD_RESPONSE;
      if (headEnd != std::string::npos) {
        const std::string head = raw.substr(0, headEnd);
        if (head.compare(0, 5, "HTTP/") != 0) return UPNP_E_BAD_RESPONSE;
        const size_t sp = head.find(' ');
        if (sp == std::string::npos || head.size() < sp + 4) return UPNP_E_BAD_RESPONSE;
        for (size_t d = sp + 1; d < sp + 4; ++d) {
          if (head[d] < '0' || head[d] > '9') return UPNP_E_BAD_RESPONSE;
          *status = *status * 10 + (head[d] - '0');
        }
        size_t line = head.find("\r\n");
        while (line != std::string::npos) {
          const size_t next = head.find("\r\n", line + 2);
          const std::string field = head.substr(line + 2, next == std::string::npos ? std::string::npos : next - line - 2);
          if (strncasecmp(field.c_str(), "content-length:", 15) == 0) {
            char* end = nullptr;
            length = strtoll(field.c_str() + 15, &end, 10);
            if (length < 0) return UPNP_E_BAD_RESPONSE;
            if (static_cast<unsigned long long>(length) > limits.maxBytes) return UPNP_E_OUTOF_BOUNDS;
          } else if (strncasecmp(field.c_str(), "transfer-encoding:", 18) == 0 &&
                     strcasestr(field.c_str() + 18, "chunked")) {
            chunked = true;
          }
          line = next;
        }
        raw.erase(0, headEnd + 4);
      }
    }
    if (headEnd != std::string::npos) {
      if (chunked) {
        bool complete = false, tooLarge = false;
        if (!Dechunk(raw, limits.maxBytes, body, &complete, &tooLarge)) {
          return tooLarge ? UPNP_E_OUTOF_BOUNDS : UPNP_E_BAD_RESPONSE;
        }
        if (complete) return 0;
        if (raw.size() > limits.maxBytes + kMaxHead) return UPNP_E_OUTOF_BOUNDS;  // chunk overhead past reason
      } else {
        if (raw.size() > limits.maxBytes) return UPNP_E_OUTOF_BOUNDS;
        if (length >= 0 && raw.size() >= static_cast<size_t>(length)) {
          raw.resize(static_cast<size_t>(length));
          body->swap(raw);
          return 0;
        }
      }
    }
    if (!deadline.Wait(fd, POLLIN)) return UPNP_E_TIMEDOUT;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return UPNP_E_SOCKET_READ;
    }
    if (n == 0) {
      // Closed: the end of a body without a length, else too early.
      if (headEnd == std::string::npos || chunked || length >= 0) return UPNP_E_BAD_RESPONSE;
      body->swap(raw);
      return 0;
    }
    raw.append(buf, static_cast<size_t>(n));
  }
}

int FetchDocument(const std::string& url, const FetchLimits& limits, std::string* body) {
  HttpCall call;
  call.url = url;
  call.headers = "Accept: text/xml, application/xml, */*\r\n";
  int status = 0;
  const int rc = HttpExchange(call, limits, &status, body);
  if (rc == 0 && status != 200) {
    body->clear();
    return UPNP_E_BAD_HTTPMSG;
  }
  return rc;
}

}  // namespace tovaly
