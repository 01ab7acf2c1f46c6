#pragma once
// The control point's proxy of a remote device: identity, the
// ConnectionManager and MediaDownload services, SOAP actions and the presence
// data the registry keeps it alive with.

#include <netinet/in.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "controlpoint/client_link.h"
#include "core/refcount.h"

typedef struct _IXML_Document IXML_Document;

namespace tovaly {

enum ServiceIndex : int {
  kServiceConnectionManager = 0,
  kServiceContentDirectory = 1,
  kServiceAVTransport = 2,
  kServiceRenderingControl = 3,
  kServiceMediaDownload = 4,
};

using ActionArguments = std::vector<std::pair<std::string, std::string>>;

// Where a service of a remote device lives; version is the character that
// the device advertised as its version ('1', '2', ...), -1 when absent.
struct RemoteService {
  int version = -1;
  std::string eventUrl;
  std::string controlUrl;
};

class upnp_device_control : public RefCountImpl {
 public:
  upnp_device_control(std::string udn, std::string friendlyName, std::string baseUrl,
                      std::shared_ptr<ClientLink> link);

  const std::string& udn() const { return udn_; }
  const std::string& friendlyName() const { return friendlyName_; }
  const std::string& baseUrl() const { return baseUrl_; }
  // True when text begins with the base URL.
  bool LocationMatches(const char* text) const;

  // Stores a service found in the description (indexes this class or the
  // subclass knows); false for another index.
  virtual bool SetService(int index, const RemoteService& service);
  virtual const char* GetServiceType(int index) const;
  // The control URL, "" when unknown; null for a service the device class
  // does not have.
  virtual const std::string* GetControlURL(int index) const;
  virtual int GetServiceVersion(int index) const;

  // A SOAP action, synchronous. *error: 0, a positive UPnP fault code or a
  // negative stack code. The caller frees the response.
  virtual IXML_Document* SendAction(int index, const char* action, const ActionArguments& args, int* error);

  // ConnectionManager client.
  virtual int PrepareForConnection(const char* protocolInfo, const char* peerConnectionManager,
                                   int peerConnectionId);
  virtual void ConnectionComplete();
  virtual int OnConnectionPrepared(IXML_Document* response);
  int QueryCurrentConnectionID();
  std::string GetPeerConnectionManager() const;
  int SubscribeConnectionManager();
  virtual void OnSubscriptionExpired(const char* sid);
  // True when one of the proxy's subscriptions has this SID.
  virtual bool HoldsSid(const char* sid) const;
  // A GENA event of one of its subscriptions.
  virtual void OnEvent(IXML_Document* changedVariables);
  int connectionId() const { return connectionId_; }

  // Presence. Expiry and max-age are set by the registry; the ack address
  // comes from the description ("ACK").
  void SetPresence(int64_t expiry, int maxAge);
  void SetExpiry(int64_t expiry);  // an announcement: also forgets a failed check
  int64_t expiry() const;
  void SetAckAddress(const sockaddr_in& address);
  bool HasAckAddress() const;
  // Asked by the expiry pass for a proxy whose expiry has passed: false when
  // the device is to be removed. Probe first, then a liveness check.
  bool TryKeepAlive();
  // expiry = max(expiry, now + max-age); the probe counts as answered.
  void ExtendExpiry();
  // True for a reply to an outstanding probe that comes from the device's
  // ack address and port: anyone else's datagram keeps nothing alive.
  bool AcceptsProbeReply(uint32_t address, uint16_t port) const;

  static const char* ServiceTypeOf(int index);
  // The service type with the advertised version in place of its last
  // character.
  static std::string VersionedType(const char* type, int version);

 protected:
  ~upnp_device_control() override;
  // Seams for tests: the presence probe and the thread of a liveness check.
  virtual void SendPresenceProbe(const sockaddr_in& to);
  virtual void StartLivenessCheck();
  static void CheckLiveness(RefPtr<upnp_device_control> proxy);

  std::shared_ptr<ClientLink> link_;
  // Guards the subscription SIDs of this class and its subclasses: the
  // registry compares them on stack threads while a host thread subscribes.
  mutable std::mutex sidLock_;

 private:
  std::string udn_, friendlyName_, baseUrl_;
  RemoteService connectionManager_{'1', {}, {}};
  RemoteService mediaDownload_;
  int cmTimeout_ = 0;
  std::string cmSid_;
  int connectionId_ = -1;

  // Guards the presence fields below. Taken after the registry lock.
  mutable std::mutex presence_;
  int64_t expiry_ = 0;
  int maxAge_ = 0;
  sockaddr_in ack_{};
  bool probeSent_ = false;
  bool livenessRunning_ = false;
  bool declaredDead_ = false;
};

// The leading decimal number of a text (0 when none), as atoi reads it.
int LeadingNumber(const char* text);
// Text of the first element with this name anywhere in the document.
const char* FirstElementText(IXML_Document* doc, const char* name);

}  // namespace tovaly
