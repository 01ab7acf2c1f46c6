#pragma once
// The process-wide UPnP stack, shared by the local device and the control
// point: the first Acquire starts it, the last Release finishes it.
//
// Teardown order: every object whose address is a stack cookie (device,
// control point) must outlive the Release that finishes the stack, because
// UpnpFinish waits for running callbacks. Never call Release from a stack
// callback thread: UpnpFinish would wait for itself.

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

// Largest HTTP body the stack accepts from any peer (SOAP requests to our
// device as well as responses to our requests). libupnp buffers and parses
// whole bodies, quadratically, so it stays bounded.
constexpr size_t kMaxContentLength = 256 * 1024;

}  // namespace tovaly
