#pragma once
// A local UPnP root device on libupnp: brings it onto the network, keeps the
// runtime table of its services and routes the stack's requests (actions,
// state-variable queries, subscriptions) to them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/event_callback.h"
#include "core/mutex.h"
#include "core/refcount.h"
#include "device/description.h"
#include "device/service_table.h"

namespace tovaly {

class upnp_device : public RefCountImpl {
 public:
  upnp_device(EventCallback callback, void* context);
  ~upnp_device() override;

  // Brings the device up: stack, what the subclass serves besides
  // (StartBeforeRegistration), identity from the host, private web root with
  // the service descriptions, registration, advertisement now and 2 s and 4 s
  // later. address null: the interface of the default route; port 0: the
  // stack's choice. Returns 0 or a negative UPNP_E_* code (-101 when the host
  // gives no UDN or the name is empty); on failure whatever was started is
  // stopped again.
  virtual int Start(const char* address, uint16_t port, DeviceInfo info);
  // Sets the stopping flag (requests are ignored from then on), unregisters
  // the root device (byebye) and gives back the device's share of the stack.
  // Returns the stack's unregister result.
  virtual int Stop();

  // Asks the host whether MediaDownload is published (60) and for the UDN
  // (14). Part of Start; public so tests can route requests without sockets.
  void Identify();
  // Builds the runtime service table. Part of Start; public for the same reason.
  virtual void InitServices();

  // The function registered with the stack; cookie is the device. Returns 0.
  static int DeviceCallback(int eventType, const void* event, void* cookie);

  EventCallback callback() const { return callback_; }
  void* context() const { return context_; }
  const std::string& udn() const { return udn_; }
  const std::string& friendlyName() const { return friendlyName_; }
  const std::string& baseUrl() const { return baseUrl_; }
  const std::string& webRoot() const { return webRoot_; }
  bool stopping() const { return stopping_.load(); }
  size_t serviceCount() const { return services_.size(); }

  // ConnectionManager state; touched only under the device lock.
  std::string sourceProtocolInfo;
  std::string sinkProtocolInfo;
  int32_t currentConnectionId = -1;
  int32_t mediaDownloadEnabled = 0;

 protected:
  struct ServiceEntry {
    std::string udn;
    const ServiceTable* table;
    std::vector<std::string> variableNames;   // evented variables
    std::vector<std::string> variableValues;  // their only values, sent once
  };

  // Appends an entry for table; evented variables get the values given by
  // name in `values`, others the empty text.
  void AddService(const ServiceTable& table, const std::vector<std::pair<const char*, std::string>>& values);
  // Called once the stack runs on serverIp:serverPort and before the device
  // is announced, so that whatever its answers point at is already there.
  // Returns 0 or a UPNP_E_* code.
  virtual int StartBeforeRegistration(const std::string& serverIp, int serverPort) {
    (void)serverIp;
    (void)serverPort;
    return 0;
  }

  // Whether the action runs under the device lock (its service's table says).
  bool Serialised(void* actionRequest) const;
  virtual void OnActionRequest(void* request);
  virtual void OnGetVarRequest(void* request);
  virtual void OnSubscriptionRequest(void* request);

  std::vector<ServiceEntry> services_;

 private:
  // The steps of Start, which undoes them on failure.
  int Bringup(const char* address, uint16_t port, DeviceInfo info);
  bool WriteWebRoot();
  void RemoveWebRoot();
  void ReleaseStack();
  // The two extra bursts of alive announcements after start.
  void Readvertise(std::string address, std::vector<std::string> datagrams);
  // Ends the bursts and waits for their thread.
  void StopReadvertising();

  int handle_ = -1;
  bool registered_ = false;
  bool stackHeld_ = false;
  // Serialises the requests of the stack for this device, but for the
  // actions of services that keep no state (ServiceTable::serialised). Held
  // while those handlers call the host; nothing that waits for a stack
  // callback may be called with it held.
  Mutex lock_;
  std::atomic<bool> stopping_{false};
  EventCallback callback_;
  void* context_;
  std::string baseUrl_;
  std::string friendlyName_;
  std::string udn_;
  std::string webRoot_;
  std::mutex readvertiseLock_;  // guards readvertiseStopped_
  std::condition_variable readvertiseWake_;
  bool readvertiseStopped_ = false;
  std::thread readvertiseThread_;
};

}  // namespace tovaly
