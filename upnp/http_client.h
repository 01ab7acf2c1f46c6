#pragma once
// An HTTP exchange with another device, bounded in size and in time whatever
// the peer does: one that trickles a byte a second, streams without end, lies
// about its length or never answers costs at most `maxBytes` of memory and
// `millis` of one thread. The control point reads descriptions with it; the
// device sends its events with it.

#include <functional>
#include <string>

namespace tovaly {

struct FetchLimits {
  size_t maxBytes = 1 << 20;
  int millis = 10000;  // connect, send and the whole answer together
  // Asked several times a second; true ends the exchange at once.
  std::function<bool()> cancelled;
};

// What is sent: "GET", "NOTIFY", ...; `headers` are whole lines, each ending
// in CRLF (Host, Connection and Content-Length are added).
struct HttpCall {
  std::string method = "GET";
  std::string url;  // http://host[:port]/path (host: IPv4, [IPv6] or a name)
  std::string headers;
  std::string body;
};

// 0 with *status and *body set, or a UPNP_E_* code: -207 timed out or
// cancelled, -506 larger than allowed, -204 no connection, -113 a broken
// answer, -108 a URL that is not http.
int HttpExchange(const HttpCall& call, const FetchLimits& limits, int* status, std::string* body);

// A GET of a document: as HttpExchange, and -119 for an answer other than 200.
int FetchDocument(const std::string& url, const FetchLimits& limits, std::string* body);

}  // namespace tovaly
