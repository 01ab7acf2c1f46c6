#pragma once
// A raw HTTP exchange with a server of ours on loopback: the request is sent
// as written (so that malformed ones can be), the answer read to its end.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <map>
#include <string>

namespace tovaly::test {

struct RawResponse {
  int status = 0;  // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

// A connected socket to address:port, -1 on failure; from the address
// `from` when given (on loopback any of 127.0.0.0/8: a host of its own).
inline int ConnectTo(uint16_t port, const char* address = "127.0.0.1", const char* from = nullptr) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && from) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address, &sa.sin_addr);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Reads until the peer closes or `millis` pass without a byte (a guard
// against a hang, not a measure).
inline std::string ReadAll(int fd, int millis = 10000) {
  std::string in;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, millis) <= 0) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
  }
  return in;
}

inline RawResponse ParseResponse(const std::string& in) {
  RawResponse r;
  const size_t end = in.find("\r\n\r\n");
  if (in.compare(0, 9, "HTTP/1.1 ") != 0 && in.compare(0, 9, "HTTP/1.0 ") != 0) return r;
  r.status = std::atoi(in.c_str() + 9);
  size_t line = in.find("\r\n") + 2;
  while (end != std::string::npos && line < end) {
    const size_t next = in.find("\r\n", line);
    const size_t colon = in.find(':', line);
    if (colon < next) {
      std::string name = in.substr(line, colon - line);
      for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      size_t v = colon + 1;
      while (v < next && in[v] == ' ') ++v;
      r.headers[name] = in.substr(v, next - v);
    }
    line = next + 2;
  }
  if (end != std::string::npos) r.body = in.substr(end + 4);
  return r;
}

// One request on a connection of its own ("Connection: close" is added).
inline RawResponse Exchange(uint16_t port, const std::string& method, const std::string& target,
                            const std::string& headers = "", const std::string& body = "",
                            const char* address = "127.0.0.1") {
  const int fd = ConnectTo(port, address);
  if (fd < 0) return RawResponse();
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: " + address + ":" + std::to_string(port) +
                        "\r\nConnection: close\r\n" + headers;
  if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n" + body;
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  const RawResponse r = ParseResponse(ReadAll(fd));
  close(fd);
  return r;
}

}  // namespace tovaly::test
