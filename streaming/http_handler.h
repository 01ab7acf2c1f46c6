#pragma once
// What the engine hands to a room that serves HTTP of its own through it
// (the local device: its description, service descriptions, control and
// events). The engine reads the request, bounded, checks its Host, and runs
// the handler on a worker of its own, never on a thread that moves media.

#include <netinet/in.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tovaly {

struct HttpRequest {
  std::string method;
  std::string path;  // as sent, without the query
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, in order
  std::vector<std::pair<std::string, std::string>> arguments;  // of the query, decoded
  std::string body;
  sockaddr_in peer{};   // the client (IPv4)
  sockaddr_in local{};  // the address it reached us on
  // The first header of this name (lower case); null when absent.
  const char* Header(const char* name) const {
    for (const auto& h : headers) {
      if (h.first == name) return h.second.c_str();
    }
    return nullptr;
  }
};

struct HttpAnswer {
  unsigned status = 200;
  std::string contentType;  // none when empty
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Runs once the whole answer has been sent (not when the client went
  // first): what must follow it, such as a subscription's first event.
  std::function<void()> afterSent;
};

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // Whether the handler answers this path: asked on the engine's thread as
  // soon as the request's head is in, so it must be quick.
  virtual bool Serves(const std::string& path) const = 0;
  // The answer; runs on a worker of the engine and may take a while.
  virtual HttpAnswer Answer(const HttpRequest& request) = 0;
};

}  // namespace tovaly
