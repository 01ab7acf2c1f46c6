#pragma once
// GENA for the local device's services: subscriptions taken on the device's
// own HTTP, and the events sent to them from a worker of their own with a
// bounded queue and short time limits, so that a subscriber that is gone or
// slow never holds anything but its place in the queue.
//
// Limits: a subscription lasts at most kMaxSubscriptionSeconds unless
// renewed; kMaxPerHost subscriptions a host, kMaxSubscriptions in all. A
// callback must lead back into the subscriber's own network (its own address
// or the subnet it reached us from), never to any address a request names.

#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tovaly {

constexpr int kMaxSubscriptionSeconds = 300;
constexpr size_t kMaxPerHost = 8;
constexpr size_t kMaxSubscriptions = 32;
constexpr size_t kMaxQueuedEvents = 256;
constexpr int kNotifyMillis = 2000;  // connect, send and the answer of one event

// What a SUBSCRIBE or UNSUBSCRIBE asks, read from its headers.
struct GenaRequest {
  enum Kind { kSubscribe, kRenew, kUnsubscribe };
  Kind kind = kSubscribe;
  std::vector<std::string> callbacks;  // kSubscribe: the URLs between < and >
  std::string sid;                     // kRenew, kUnsubscribe
  int timeout = kMaxSubscriptionSeconds;  // seconds granted: what was asked, at most the limit
};

// 0 when the request is one to act on, else the HTTP status to answer: 400
// for a SID together with CALLBACK or NT, 412 for a missing or malformed
// CALLBACK, NT or SID, 405 for another method. Header texts may be null.
int ParseGenaRequest(const std::string& method, const char* callback, const char* nt, const char* sid,
                     const char* timeout, GenaRequest* out);

// Whether an event may be sent to `url`: http to an IPv4 address that is the
// subscriber's own or lies in `local`'s subnet (`mask`), any port, a path.
bool CallbackAllowed(const std::string& url, in_addr subscriber, in_addr local, in_addr mask);

// The body of an event: a property set of the variables in their order.
std::string PropertySet(const std::vector<std::pair<std::string, std::string>>& variables);

class EventPublisher {
 public:
  using Variables = std::vector<std::pair<std::string, std::string>>;
  // Sends one event (NOTIFY); 0 when the subscriber took it. Tests give
  // their own; the default is an HTTP exchange of at most kNotifyMillis.
  using Sender = std::function<int(const std::string& url, const std::string& sid, uint32_t seq,
                                   const std::string& body)>;
  using Clock = std::function<int64_t()>;  // seconds that never go back

  explicit EventPublisher(Sender sender = nullptr, Clock clock = nullptr);
  ~EventPublisher();
  EventPublisher(const EventPublisher&) = delete;
  EventPublisher& operator=(const EventPublisher&) = delete;

  // The HTTP status of the answer (200 with *sid and *timeout set). A new
  // subscription's first event is sent by SendInitial, once the answer is out.
  int Subscribe(const std::string& service, const GenaRequest& request, in_addr subscriber, in_addr local,
                in_addr mask, std::string* sid, int* timeout);
  int Renew(const std::string& service, const GenaRequest& request, int* timeout);
  int Unsubscribe(const std::string& service, const GenaRequest& request);
  // The first event (SEQ 0) of a subscription with every evented variable.
  void SendInitial(const std::string& sid, const Variables& variables);
  // An event to every subscriber of the service.
  void Publish(const std::string& service, const Variables& variables);
  // Subscriptions that have not run out.
  size_t Count();
  // Ends the worker; events still queued are dropped.
  void Stop();

 private:
  struct Subscription {
    std::string service;
    std::vector<std::string> callbacks;
    in_addr_t host;
    int64_t expires;
    uint32_t nextSeq = 0;
    int failures = 0;
  };
  struct Event {
    std::string sid;
    std::vector<std::string> callbacks;
    uint32_t seq;
    std::string body;
  };
  void Expire(int64_t now);  // under lock_
  void Queue(const std::string& sid, Subscription& s, const std::string& body);  // under lock_
  void Work();
  void Delivered(const std::string& sid, bool ok);

  Sender sender_;
  Clock clock_;
  std::mutex lock_;  // guards everything below; never held while an event is sent
  std::condition_variable wake_;
  std::map<std::string, Subscription> subscriptions_;  // by SID
  std::deque<Event> queue_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace tovaly
