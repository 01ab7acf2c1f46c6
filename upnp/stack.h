#pragma once
// The process-wide UPnP stack, shared by the local device and the control
// point: the first Acquire starts it, the last Release finishes it.
//
// Teardown order: every object whose address is a stack cookie (device,
// control point) must outlive the Release that finishes the stack, because
// UpnpFinish waits for running callbacks. Never call Release from a stack
// callback thread: UpnpFinish would wait for itself.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovaly {

// address: IPv4 text, or null for the interface that carries the default
// route (the stack alone would take the first interface that is up, often
// docker0 or a VPN). port: 0 lets the stack choose (it uses 49152 upwards).
// Returns 0 or the stack's UPNP_E_* error.
int UpnpStackAcquire(const char* address, uint16_t port);
void UpnpStackRelease();

// The IPv4 address of the interface that holds the default route, "" when
// there is none.
std::string DefaultRouteAddress();

// The ack socket of the presence probe: a UDP socket opened with the stack
// and closed with it. Port 0 / fd -1 while the stack is not running.
uint16_t StackAckPort();
int StackAckSocket();

// The presence probe. The ack socket has a receive thread of its own: a
// datagram that begins with "test" is answered with the local root device's
// UDN; any other is taken as a UDN and handed to the registered client's
// callback as event kEventAckReceived. Replies and deliveries run on a worker
// thread, never on the receiving one.
constexpr int kEventAckReceived = 34;
// The event of kEventAckReceived: the text and where it came from.
struct AckReceived {
  const char* udn;
  uint32_t address;  // network byte order
  uint16_t port;     // network byte order
};
using StackClientCallback = int (*)(int eventType, const void* event, void* cookie);
// The longest probe datagram taken; a longer one is dropped.
constexpr size_t kMaxProbeText = 255;
// What a probe datagram of n bytes (n <= kMaxProbeText) asks: "" for a probe
// to answer (it begins with "test"), else the UDN it carries.
std::string ProbeDatagramUdn(const char* data, size_t n);
// Set after the client registered, cleared (null) before it goes; clearing
// waits for a delivery in progress, so none reaches a client that has gone.
void StackSetClient(StackClientCallback callback, void* cookie);
// The UDN probes are answered with ("" while no root device is registered).
void StackSetRootDeviceUdn(const std::string& udn);
// Reads one datagram of the ack socket (fd) into a buffer of kMaxProbeText
// bytes: false, and the datagram gone, when it is empty, longer or unreadable.
bool ReceiveProbeText(int fd, std::string* text, sockaddr_in* from);
// Sends "test" twice, 500 ms apart, from the ack socket to address:port
// (network byte order). 0, or -208 when the ack socket is not open.
int StackSendProbe(uint32_t address, uint16_t port);

// Largest HTTP body the stack accepts from any peer (SOAP requests to our
// device as well as responses to our requests). libupnp buffers and parses
// whole bodies, quadratically, so it stays small: the real peers' largest
// bodies are far below it (bench/message_sizes.py: gmediarender's events
// about 2 KiB, a minidlna page of 50 long names 30 KiB), and the control
// point asks for a Browse page that does not fit again in halves.
constexpr size_t kMaxContentLength = 64 * 1024;

}  // namespace tovaly
