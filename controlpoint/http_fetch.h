#pragma once
// A GET of a small document from another device, bounded in size and in
// time whatever the peer does: one that trickles a byte a second, streams
// without end, lies about its length or never answers costs at most
// `maxBytes` of memory and `millis` of one thread.

#include <functional>
#include <string>

namespace tovaly {

struct FetchLimits {
  size_t maxBytes = 1 << 20;
  int millis = 10000;  // connect, send and the whole answer together
  // Asked several times a second; true ends the fetch at once.
  std::function<bool()> cancelled;
};

// http://host[:port]/path (host: IPv4, [IPv6] or a name). 0 with *body set,
// or a UPNP_E_* code: -207 timed out or cancelled, -506 larger than allowed,
// -119 not 200, -204 no connection, -113 a broken answer, -108 a URL that is
// not http.
int FetchDocument(const std::string& url, const FetchLimits& limits, std::string* body);

}  // namespace tovaly
