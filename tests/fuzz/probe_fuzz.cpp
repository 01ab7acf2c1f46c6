// A datagram on the ack socket of the presence probe. The input's first line
// is where it comes from ("a.b.c.d:port"), the rest is the datagram. It is
// read as the receive thread reads it, then handed to the control point as
// the stack's worker would, with a server and a renderer in the registries
// that each wait for the answer to a probe, and a server without an ack
// address beside them. Nothing is sent: the proxies' probes and liveness
// checks are stubbed.
//
// Checked: a probe ("test...") carries no UDN; a datagram keeps a device
// alive exactly when it names that device and comes from its ack address
// and port.

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "controlpoint/control_point.h"
#include "controlpoint/description_parser.h"
#include "fuzz_common.h"
#include "upnp/stack.h"

namespace tovaly::fuzz {
namespace {

int64_t g_now = 1000000;
int64_t Now() { return g_now; }

template <class Base>
class Quiet : public Base {
 public:
  using Base::Base;

 protected:
  void SendPresenceProbe(const sockaddr_in&) override {}
  void StartLivenessCheck() override {}
};

int32_t Host(void*, int32_t, void*) { return 0; }

struct Peer {
  RefPtr<upnp_device_control> proxy;
  sockaddr_in ack;
  bool hasAck;
};

struct World {
  RefPtr<control_point_t> cp;
  Peer peers[3];
};

World& TheWorld() {
  static World* world = [] {
    SetSecondsClock(&Now);
    auto* w = new World;
    w->cp = RefPtr<control_point_t>(new control_point_t(false));
    w->cp->link()->SetHost(&Host, reinterpret_cast<void*>(1));
    const struct {
      const char* udn;
      const char* ack;
      bool renderer;
    } peers[] = {{"uuid:server-1", "192.0.2.9:5000", false},
                 {"uuid:renderer-1", "192.0.2.10:6000", true},
                 {"uuid:server-noack", nullptr, false}};
    for (int i = 0; i < 3; ++i) {
      Peer& p = w->peers[i];
      if (peers[i].renderer) {
        p.proxy = RefPtr<upnp_device_control>(
            new Quiet<MediaRendererDevice>(peers[i].udn, "R", "http://192.0.2.10:1/", w->cp->link()));
      } else {
        p.proxy = RefPtr<upnp_device_control>(
            new Quiet<MediaServerDevice>(peers[i].udn, "S", "http://192.0.2.9:1/", w->cp->link()));
      }
      p.hasAck = peers[i].ack != nullptr;
      p.ack = sockaddr_in{};
      if (p.hasAck) {
        ParseAckAddress(peers[i].ack, &p.ack);
        p.proxy->SetAckAddress(p.ack);
      }
      if (!(peers[i].renderer ? w->cp->renderers() : w->cp->servers()).Add(p.proxy)) abort();
    }
    return w;
  }();
  return *world;
}

}  // namespace
}  // namespace tovaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  std::string datagram = Bytes(data, size);
  const std::string fromText = TakeLine(&datagram);
  sockaddr_in from{};
  ParseAckAddress(fromText.c_str(), &from);
  // The receive thread drops empty and longer datagrams before reading them.
  if (datagram.empty() || datagram.size() > kMaxProbeText) return 0;

  const std::string udn = ProbeDatagramUdn(datagram.data(), datagram.size());
  if (datagram.compare(0, 4, "test") == 0) {
    FUZZ_CHECK(udn.empty());  // answered with our own UDN, nothing read
    return 0;
  }
  FUZZ_CHECK(udn == datagram);

  World& w = TheWorld();
  ++g_now;
  for (Peer& p : w.peers) {
    // Expired, and (when it has an ack address) probed once.
    p.proxy->SetPresence(g_now - 1, 100);
    if (p.hasAck && !p.proxy->AcceptsProbeReply(p.ack.sin_addr.s_addr, p.ack.sin_port)) p.proxy->TryKeepAlive();
  }
  // The worker hands the text on as a C string.
  AckReceived ack{udn.c_str(), from.sin_addr.s_addr, from.sin_port};
  control_point_t::ControlPointCallback(kEventAckReceived, &ack, w.cp.get());
  for (Peer& p : w.peers) {
    const bool kept = p.proxy->expiry() != g_now - 1;
    const bool fromIt = p.hasAck && strcmp(udn.c_str(), p.proxy->udn().c_str()) == 0 &&
                        from.sin_addr.s_addr == p.ack.sin_addr.s_addr && from.sin_port == p.ack.sin_port;
    FUZZ_CHECK(kept == fromIt);
    if (kept) FUZZ_CHECK(p.proxy->expiry() == g_now + 100);
  }
  return 0;
}
