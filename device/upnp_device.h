#pragma once
// A local UPnP root device. Its HTTP (description, service descriptions,
// control and events) is served by an engine of the streaming room (see
// StartHttp), where every request is bounded, its Host checked and its work
// done on workers of its own; the UPnP stack only announces the device (SSDP)
// and answers searches for it, naming the description the engine serves.
// The runtime table of its services routes control requests to their
// handlers and subscriptions to the event publisher.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/event_callback.h"
#include "core/mutex.h"
#include "core/refcount.h"
#include "device/description.h"
#include "device/gena.h"
#include "device/service_table.h"
#include "device/soap.h"
#include "streaming/http_handler.h"

namespace tovaly {

class upnp_device : public RefCountImpl, public HttpHandler {
 public:
  upnp_device(EventCallback callback, void* context);
  ~upnp_device() override;

  // Brings the device up: stack, its HTTP (StartHttp), identity from the
  // host, description and service descriptions, registration with the stack
  // by the description's URL, advertisement now and 2 s and 4 s later.
  // address null: the interface of the default route; port 0: the stack's
  // choice. Returns 0 or a negative UPNP_E_* code (-101 when the host gives
  // no UDN or the name is empty); on failure whatever was started is stopped
  // again.
  virtual int Start(const char* address, uint16_t port, DeviceInfo info);
  // Sets the stopping flag (requests are refused from then on), unregisters
  // the root device (byebye), ends the events and gives back the device's
  // share of the stack. Returns the stack's unregister result.
  virtual int Stop();

  // Asks the host whether MediaDownload is published (60) and for the UDN
  // (14). Part of Start; public so tests can route requests without sockets.
  void Identify();
  // Builds the runtime service table. Part of Start; public for the same reason.
  virtual void InitServices();
  // Lets the device's HTTP answer from now on, once the table and the
  // documents are built. Part of Start; public for the same reason.
  void OpenHttp() { ready_ = true; }

  // The device's HTTP, as the engine hands it over.
  bool Serves(const std::string& path) const override;
  HttpAnswer Answer(const HttpRequest& request) override;

  // A control request to a control URL: the SOAP answer (status 200) or
  // fault (status 500).
  HttpAnswer Control(const std::string& controlUrl, const HttpRequest& request);
  // New values of evented variables of a service (by service id): kept for
  // queries and new subscribers, and sent to every subscriber.
  void PublishEvent(const std::string& serviceId, const EventPublisher::Variables& variables);

  EventCallback callback() const { return callback_; }
  void* context() const { return context_; }
  const std::string& udn() const { return udn_; }
  const std::string& friendlyName() const { return friendlyName_; }
  // "http://<address>:<port>/": where the description and the control,
  // event and service description URLs are.
  const std::string& baseUrl() const { return baseUrl_; }
  const std::string& description() const { return description_; }
  bool stopping() const { return stopping_.load(); }
  size_t serviceCount() const { return services_.size(); }
  EventPublisher& events() { return events_; }

  // ConnectionManager state; touched only under the device lock.
  std::string sourceProtocolInfo;
  std::string sinkProtocolInfo;
  int32_t currentConnectionId = -1;
  int32_t mediaDownloadEnabled = 0;

 protected:
  struct ServiceEntry {
    const ServiceTable* table;
    std::string scpd;                         // its service description
    std::vector<std::string> variableNames;   // evented variables
    std::vector<std::string> variableValues;  // their values now
  };

  // Appends an entry for table; evented variables get the values given by
  // name in `values`, others the empty text.
  void AddService(const ServiceTable& table, const std::vector<std::pair<const char*, std::string>>& values);
  // Starts what serves the device's HTTP on serverIp (the stack runs on
  // serverPort) and returns its base URL ("http://ip:port/"), or "" with
  // *error set. Called before the device is described and announced; it may
  // set presentationUrl_, where people are sent (else the base URL).
  virtual std::string StartHttp(const std::string& serverIp, int serverPort, int* error) = 0;
  std::string presentationUrl_;

  std::vector<ServiceEntry> services_;

 private:
  // The steps of Start, which undoes them on failure.
  int Bringup(const char* address, uint16_t port, DeviceInfo info);
  void ReleaseStack();
  HttpAnswer Subscription(const ServiceEntry& service, const HttpRequest& request);
  HttpAnswer QueryVariable(const ServiceEntry& service, const SoapRequest& soap);
  // The two extra bursts of alive announcements after start.
  void Readvertise(std::string address, std::vector<std::string> datagrams);
  // Ends the bursts and waits for their thread.
  void StopReadvertising();

  // Guards the evented variables' values (ServiceEntry::variableValues),
  // which change while requests read them.
  std::mutex variablesLock_;
  int handle_ = -1;
  bool registered_ = false;
  // Set once the description and the service table are built; before, the
  // HTTP is answered 503 (the engine runs before they are).
  std::atomic<bool> ready_{false};
  bool stackHeld_ = false;
  // Serialises the control requests of services that keep state (see
  // ServiceTable::serialised). Held while those handlers call the host.
  Mutex lock_;
  std::atomic<bool> stopping_{false};
  EventCallback callback_;
  void* context_;
  std::string baseUrl_;
  std::string friendlyName_;
  std::string udn_;
  std::string description_;
  EventPublisher events_;
  std::mutex readvertiseLock_;  // guards readvertiseStopped_
  std::condition_variable readvertiseWake_;
  bool readvertiseStopped_ = false;
  std::thread readvertiseThread_;
};

}  // namespace tovaly
