#include "device/gena.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "core/text.h"
#include "core/uuid.h"
#include "upnp/http_client.h"

namespace tovaly {
namespace {

std::string Trim(const char* text) {
  std::string s = text ? text : "";
  const size_t first = s.find_first_not_of(" \t");
  const size_t last = s.find_last_not_of(" \t");
  return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

// "Second-N" (any letter case) or "infinite"; the limit for anything else.
int GrantedSeconds(const char* header) {
  const std::string t = Trim(header);
  if (strncasecmp(t.c_str(), "Second-", 7) != 0) return kMaxSubscriptionSeconds;
  const char* digits = t.c_str() + 7;
  if (!*digits || strspn(digits, "0123456789") != strlen(digits) || strlen(digits) > 9) return kMaxSubscriptionSeconds;
  const int asked = atoi(digits);
  return asked <= 0 ? kMaxSubscriptionSeconds : std::min(asked, kMaxSubscriptionSeconds);
}

int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int SendOverHttp(const std::string& url, const std::string& sid, uint32_t seq, const std::string& body) {
  HttpCall call;
  call.method = "NOTIFY";
  call.url = url;
  call.headers = "Content-Type: text/xml; charset=\"utf-8\"\r\nNT: upnp:event\r\nNTS: upnp:propchange\r\nSID: " + sid +
                 "\r\nSEQ: " + std::to_string(seq) + "\r\n";
  call.body = body;
  FetchLimits limits;
  limits.maxBytes = 4096;  // the answer has nothing to say
  limits.millis = kNotifyMillis;
  int status = 0;
  std::string answer;
  const int rc = HttpExchange(call, limits, &status, &answer);
  return rc != 0 ? rc : status == 200 ? 0 : status;
}

}  // namespace

int ParseGenaRequest(const std::string& method, const char* callback, const char* nt, const char* sid,
                     const char* timeout, GenaRequest* out) {
  *out = GenaRequest();
  const std::string sidText = Trim(sid);
  const bool hasSid = sid != nullptr;
  if (method == "UNSUBSCRIBE") {
    if (callback || nt) return 400;
    if (sidText.empty()) return 412;
    out->kind = GenaRequest::kUnsubscribe;
    out->sid = sidText;
    return 0;
  }
  if (method != "SUBSCRIBE") return 405;
  out->timeout = GrantedSeconds(timeout);
  if (hasSid) {
    if (callback || nt) return 400;
    if (sidText.empty()) return 412;
    out->kind = GenaRequest::kRenew;
    out->sid = sidText;
    return 0;
  }
  if (Trim(nt) != "upnp:event") return 412;
  // CALLBACK: one or more <URL>, nothing else but blanks between them.
  const std::string text = Trim(callback);
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == ' ' || text[pos] == '\t') {
      ++pos;
      continue;
    }
    if (text[pos] != '<') return 412;
    const size_t close = text.find('>', pos);
    if (close == std::string::npos || close == pos + 1) return 412;
    out->callbacks.push_back(text.substr(pos + 1, close - pos - 1));
    pos = close + 1;
  }
  if (out->callbacks.empty() || out->callbacks.size() > 4) return 412;
  out->kind = GenaRequest::kSubscribe;
  return 0;
}

bool CallbackAllowed(const std::string& url, in_addr subscriber, in_addr local, in_addr mask) {
  if (strncasecmp(url.c_str(), "http://", 7) != 0 || url.size() > 1024) return false;
  const size_t hostStart = 7;
  const size_t hostEnd = url.find_first_of(":/", hostStart);
  if (hostEnd == std::string::npos || url[hostEnd] == '\0') return false;
  const std::string host = url.substr(hostStart, hostEnd - hostStart);
  in_addr address{};
  if (host.empty() || inet_pton(AF_INET, host.c_str(), &address) != 1) return false;  // names are not followed
  size_t path = hostEnd;
  if (url[hostEnd] == ':') {
    path = url.find('/', hostEnd);
    const std::string port = url.substr(hostEnd + 1, path == std::string::npos ? std::string::npos : path - hostEnd - 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        atoi(port.c_str()) < 1 || atoi(port.c_str()) > 65535) {
      return false;
    }
  }
  if (path == std::string::npos) return false;
  for (size_t i = path; i < url.size(); ++i) {
    if (static_cast<unsigned char>(url[i]) <= ' ' || url[i] == 0x7f) return false;
  }
  if (address.s_addr == subscriber.s_addr) return true;
  // The subnet of the interface the subscriber reached us on: its own
  // network, not any other a request may name.
  return mask.s_addr != 0 && (address.s_addr & mask.s_addr) == (local.s_addr & mask.s_addr) &&
         (subscriber.s_addr & mask.s_addr) == (local.s_addr & mask.s_addr);
}

std::string PropertySet(const std::vector<std::pair<std::string, std::string>>& variables) {
  std::string out = "<?xml version=\"1.0\"?>\r\n<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
  for (const auto& v : variables) {
    out += "<e:property><" + v.first + ">";
    AppendXmlEscaped(XmlSafe(v.second), &out);
    out += "</" + v.first + "></e:property>";
  }
  out += "</e:propertyset>";
  return out;
}

EventPublisher::EventPublisher(Sender sender, Clock clock)
    : sender_(sender ? std::move(sender) : Sender(&SendOverHttp)), clock_(clock ? std::move(clock) : &SteadySeconds) {
  worker_ = std::thread(&EventPublisher::Work, this);
}

EventPublisher::~EventPublisher() { Stop(); }

void EventPublisher::Stop() {
  {
    std::lock_guard<std::mutex> lk(lock_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void EventPublisher::Expire(int64_t now) {
  for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
    it = it->second.expires <= now ? subscriptions_.erase(it) : std::next(it);
  }
}

int EventPublisher::Subscribe(const std::string& service, const GenaRequest& request, in_addr subscriber,
                              in_addr local, in_addr mask, std::string* sid, int* timeout) {
  std::vector<std::string> allowed;
  for (const std::string& url : request.callbacks) {
    if (CallbackAllowed(url, subscriber, local, mask)) allowed.push_back(url);
  }
  if (allowed.empty()) return 412;
  std::lock_guard<std::mutex> lk(lock_);
  const int64_t now = clock_();
  Expire(now);
  size_t fromHost = 0;
  for (const auto& s : subscriptions_) fromHost += s.second.host == subscriber.s_addr;
  if (fromHost >= kMaxPerHost || subscriptions_.size() >= kMaxSubscriptions) return 503;
  *sid = "uuid:" + NewUuid();
  *timeout = request.timeout;
  Subscription s;
  s.service = service;
  s.callbacks = std::move(allowed);
  s.host = subscriber.s_addr;
  s.expires = now + request.timeout;
  subscriptions_.emplace(*sid, std::move(s));
  return 200;
}

int EventPublisher::Renew(const std::string& service, const GenaRequest& request, int* timeout) {
  std::lock_guard<std::mutex> lk(lock_);
  const int64_t now = clock_();
  Expire(now);
  auto it = subscriptions_.find(request.sid);
  if (it == subscriptions_.end() || it->second.service != service) return 412;
  it->second.expires = now + request.timeout;
  *timeout = request.timeout;
  return 200;
}

int EventPublisher::Unsubscribe(const std::string& service, const GenaRequest& request) {
  std::lock_guard<std::mutex> lk(lock_);
  Expire(clock_());
  auto it = subscriptions_.find(request.sid);
  if (it == subscriptions_.end() || it->second.service != service) return 412;
  subscriptions_.erase(it);
  return 200;
}

size_t EventPublisher::Count() {
  std::lock_guard<std::mutex> lk(lock_);
  Expire(clock_());
  return subscriptions_.size();
}

void EventPublisher::Queue(const std::string& sid, Subscription& s, const std::string& body) {
  if (stopping_ || queue_.size() >= kMaxQueuedEvents) return;  // dropped: the subscriber asks again later
  queue_.push_back(Event{sid, s.callbacks, s.nextSeq, body});
  // After 4294967295 comes 1: 0 is the first event's alone.
  s.nextSeq = s.nextSeq == UINT32_MAX ? 1 : s.nextSeq + 1;
  wake_.notify_one();
}

void EventPublisher::SendInitial(const std::string& sid, const Variables& variables) {
  const std::string body = PropertySet(variables);
  std::lock_guard<std::mutex> lk(lock_);
  auto it = subscriptions_.find(sid);
  if (it != subscriptions_.end() && it->second.nextSeq == 0) Queue(sid, it->second, body);
}

void EventPublisher::Publish(const std::string& service, const Variables& variables) {
  const std::string body = PropertySet(variables);
  std::lock_guard<std::mutex> lk(lock_);
  Expire(clock_());
  for (auto& s : subscriptions_) {
    // Not before the first event: a subscription whose SEQ 0 is not queued
    // yet gets the values with it.
    if (s.second.service == service && s.second.nextSeq != 0) Queue(s.first, s.second, body);
  }
}

void EventPublisher::Delivered(const std::string& sid, bool ok) {
  std::lock_guard<std::mutex> lk(lock_);
  auto it = subscriptions_.find(sid);
  if (it == subscriptions_.end()) return;
  // A subscriber that took neither of two events in a row is gone: its place
  // is freed rather than held until it runs out.
  it->second.failures = ok ? 0 : it->second.failures + 1;
  if (it->second.failures >= 2) subscriptions_.erase(it);
}

void EventPublisher::Work() {
  std::unique_lock<std::mutex> lk(lock_);
  for (;;) {
    wake_.wait(lk, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Event e = std::move(queue_.front());
    queue_.pop_front();
    lk.unlock();
    bool ok = false;
    for (const std::string& url : e.callbacks) {
      if (sender_(url, e.sid, e.seq, e.body) == 0) {
        ok = true;
        break;
      }
    }
    Delivered(e.sid, ok);
    lk.lock();
  }
}

}  // namespace tovaly
