// A SUBSCRIBE or UNSUBSCRIBE as a client may send it: the input's lines are
// the method, CALLBACK, NT, SID and TIMEOUT (a line "-" for an absent
// header), then the subscriber's address.
//
// Checked: a request is either refused with a 4xx or acted on with what a
// request of its kind needs; a granted time never exceeds the limit; a
// callback is taken only when it leads to the subscriber or its subnet.

#include <arpa/inet.h>

#include <cstdint>
#include <string>

#include "device/gena.h"
#include "fuzz_common.h"

namespace tovaly::fuzz {

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string rest = Bytes(data, size);
  std::string lines[6];
  for (std::string& line : lines) line = TakeLine(&rest);
  auto header = [&](int i) { return lines[i] == "-" ? nullptr : lines[i].c_str(); };
  GenaRequest request;
  const int status = ParseGenaRequest(lines[0], header(1), header(2), header(3), header(4), &request);
  if (status != 0) {
    FUZZ_CHECK(status == 400 || status == 405 || status == 412);
    return 0;
  }
  FUZZ_CHECK(request.timeout > 0 && request.timeout <= kMaxSubscriptionSeconds);
  if (request.kind == GenaRequest::kSubscribe) {
    FUZZ_CHECK(!request.callbacks.empty() && request.callbacks.size() <= 4);
    FUZZ_CHECK(!header(3));
  } else {
    FUZZ_CHECK(!request.sid.empty() && request.callbacks.empty());
  }

  in_addr subscriber{}, local{}, mask{};
  if (inet_pton(AF_INET, lines[5].c_str(), &subscriber) != 1) return 0;
  inet_pton(AF_INET, "192.0.2.1", &local);
  inet_pton(AF_INET, "255.255.255.0", &mask);
  for (const std::string& url : request.callbacks) {
    if (!CallbackAllowed(url, subscriber, local, mask)) continue;
    // http://A.B.C.D[:port]/...: A.B.C.D is the subscriber or in 192.0.2.0/24.
    const size_t end = url.find_first_of(":/", 7);
    in_addr to{};
    FUZZ_CHECK(end != std::string::npos && inet_pton(AF_INET, url.substr(7, end - 7).c_str(), &to) == 1);
    FUZZ_CHECK(to.s_addr == subscriber.s_addr ||
               ((to.s_addr & mask.s_addr) == (local.s_addr & mask.s_addr) &&
                (subscriber.s_addr & mask.s_addr) == (local.s_addr & mask.s_addr)));
  }
  return 0;
}

}  // namespace tovaly::fuzz
