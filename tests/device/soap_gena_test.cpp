// What the device reads from the wire (SOAP bodies, GENA headers) and what
// it writes back, at every limit.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "device/gena.h"
#include "device/soap.h"

namespace tovaly::test {
namespace {

using Strings = std::vector<std::string>;

std::string Envelope(const std::string& inner, const std::string& prolog = "<?xml version=\"1.0\"?>") {
  return prolog + "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" + inner +
         "</s:Body></s:Envelope>";
}

// "type|action|name=value|..." or the error.
std::string Read(const std::string& body) {
  SoapRequest r;
  switch (ReadSoapRequest(body, &r)) {
    case SoapError::kTooLarge: return "too large";
    case SoapError::kMalformed: return "malformed";
    case SoapError::kNotSoap: return "not soap";
    case SoapError::kNone: break;
  }
  std::string shown = r.serviceType + "|" + r.action;
  for (const auto& a : r.arguments) shown += "|" + a.first + "=" + a.second;
  return shown;
}

TEST(Soap, RequestsAsClientsWriteThem) {
  const std::string browse =
      "<u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>a &amp; &lt;b&gt; &#x263A;"
      "</ObjectID><BrowseFlag><![CDATA[Browse<Direct>]]></BrowseFlag><Filter/><u:StartingIndex> 0 </u:StartingIndex>"
      "<Nested>x<deeper>ignored</deeper>y</Nested></u:Browse>";
  EXPECT_EQ(Read(Envelope(browse)),
            "urn:schemas-upnp-org:service:ContentDirectory:1|Browse|ObjectID=a & <b> \xE2\x98\xBA|"
            "BrowseFlag=Browse<Direct>|Filter=|StartingIndex= 0 |Nested=xy");
  // A declared encoding other than UTF-8 changes nothing; a SOAP Header and
  // blanks are passed over; only the first element of the Body is the action.
  EXPECT_EQ(Read(Envelope("<u:A xmlns:u=\"urn:x\"><v>\xC3\xA9</v></u:A><u:B xmlns:u=\"urn:y\"/>",
                          "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>")),
            "urn:x|A|v=\xC3\xA9");
  EXPECT_EQ(Read("<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header><h>1</h></s:Header>\n"
                 "<s:Body>\n <u:A xmlns:u=\"urn:x\"/>\n</s:Body></s:Envelope>\n"),
            "urn:x|A");
  SoapRequest r;
  ASSERT_EQ(ReadSoapRequest(Envelope("<u:A xmlns:u=\"urn:x\"><e></e><f>1</f></u:A>"), &r), SoapError::kNone);
  EXPECT_EQ(r.Argument("e"), nullptr);  // empty says nothing
  EXPECT_STREQ(r.Argument("f"), "1");
  EXPECT_EQ(r.Argument("g"), nullptr);
}

TEST(Soap, HostileBodiesAreRefusedBeforeTheyAreRead) {
  const std::string action = "<u:A xmlns:u=\"urn:x\"><v>";
  const std::string open = Envelope(action), close = "</v></u:A></s:Body></s:Envelope>";
  const std::string head = open.substr(0, open.size() - std::string("</s:Body></s:Envelope>").size());
  // The largest body passes, one byte more is too large.
  const size_t room = kMaxSoapBytes - head.size() - close.size();
  EXPECT_EQ(Read(head + std::string(room, 'x') + close).substr(0, 9), "urn:x|A|v");
  EXPECT_EQ(Read(head + std::string(room + 1, 'x') + close), "too large");
  // Depth: the deepest document passes, one level more does not.
  auto nested = [&](size_t levels) {
    std::string inner, outer;
    for (size_t i = 0; i < levels; ++i) inner += "<n>", outer = "</n>" + outer;
    return Envelope("<u:A xmlns:u=\"urn:x\"><v>" + inner + outer + "</v></u:A>");
  };
  EXPECT_EQ(Read(nested(kMaxSoapDepth - 4)), "urn:x|A|v=");
  EXPECT_EQ(Read(nested(kMaxSoapDepth - 3)), "malformed");
  for (const std::string& bad :
       {Envelope("<u:A xmlns:u=\"urn:x\"><v>\xC3</v></u:A>"),               // cut UTF-8
        Envelope("<u:A xmlns:u=\"urn:x\"><v>\xFF\xFE</v></u:A>"),           // not UTF-8
        "<!DOCTYPE s [<!ENTITY e \"x\">]>" + Envelope("<u:A xmlns:u=\"urn:x\"><v>&e;</v></u:A>"),
        Envelope("<u:A xmlns:u=\"urn:x\"><v>&nbsp;</v></u:A>"),             // undeclared entity
        Envelope("<u:A xmlns:u=\"urn:x\"><v>1</u:A>"),                      // not well-formed
        Envelope("<u:A xmlns:u=\"urn:x\"/>") + "<extra/>", std::string("garbage"), std::string(),
        Envelope("<u:A xmlns:u=\"urn:x\"/>").substr(0, 60), std::string("<a>\0</a>", 8)}) {
    EXPECT_EQ(Read(bad), "malformed") << bad.substr(0, 80);
  }
  for (const std::string& notSoap :
       {std::string("<Envelope><Body><A/></Body></Envelope>"), Envelope(""),
        std::string("<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><A/></s:Envelope>")}) {
    EXPECT_EQ(Read(notSoap), "not soap") << notSoap;
  }
}

TEST(Soap, AnswersEscapeEveryValueAndReadBack) {
  for (const char* c : {"<", ">", "&", "\"", "'"}) {
    const std::string value = std::string("a") + c + "b";
    const std::string answer = WriteSoapResponse("urn:x:1", "A", {{"Out", value}, {"Empty", ""}});
    EXPECT_EQ(answer.find(value), std::string::npos) << answer;
    SoapRequest r;
    ASSERT_EQ(ReadSoapRequest(answer, &r), SoapError::kNone) << answer;
    EXPECT_EQ(r.action + "|" + r.serviceType + "|" + r.arguments.at(0).second + "|" + r.arguments.at(1).first,
              "AResponse|urn:x:1|" + value + "|Empty");
    const std::string fault = WriteSoapFault(718, value);
    EXPECT_EQ(fault.find(value), std::string::npos);
    EXPECT_NE(fault.find("<errorCode>718</errorCode>"), std::string::npos);
  }
}

TEST(Gena, RequestsTheirHeadersAndTheirErrors) {
  auto parse = [](const char* method, const char* callback, const char* nt, const char* sid, const char* timeout) {
    GenaRequest r;
    const int status = ParseGenaRequest(method, callback, nt, sid, timeout, &r);
    if (status) return std::to_string(status);
    std::string shown = std::to_string(r.kind) + "|" + r.sid + "|" + std::to_string(r.timeout);
    for (const std::string& c : r.callbacks) shown += "|" + c;
    return shown;
  };
  EXPECT_EQ(parse("SUBSCRIBE", " <http://1.2.3.4:5/a> <http://1.2.3.4:5/b>", "upnp:event", nullptr, "Second-100"),
            "0||100|http://1.2.3.4:5/a|http://1.2.3.4:5/b");
  EXPECT_EQ(parse("SUBSCRIBE", "<a><b><c><d>", "upnp:event", nullptr, nullptr), "0||300|a|b|c|d");
  EXPECT_EQ(parse("SUBSCRIBE", "<a><b><c><d><e>", "upnp:event", nullptr, nullptr), "412");  // at most four
  for (const char* timeout : {"Second-300", "Second-301", "second-99999", "Second-infinite", "infinite", "Second-0",
                              "Second--5", "Second-99999999999", "x"}) {
    EXPECT_EQ(parse("SUBSCRIBE", "<a>", "upnp:event", nullptr, timeout), "0||300|a") << timeout;
  }
  EXPECT_EQ(parse("SUBSCRIBE", "<a>", "upnp:event", nullptr, "Second-299"), "0||299|a");
  EXPECT_EQ(parse("SUBSCRIBE", nullptr, nullptr, " uuid:1 ", "Second-5"), "1|uuid:1|5");
  EXPECT_EQ(parse("UNSUBSCRIBE", nullptr, nullptr, "uuid:1", nullptr), "2|uuid:1|300");
  // The faulty requests of the stack's own server, and their kin.
  EXPECT_EQ(parse("SUBSCRIBE", "<a>", nullptr, "uuid:1", nullptr), "400");
  EXPECT_EQ(parse("SUBSCRIBE", nullptr, "upnp:event", "uuid:1", nullptr), "400");
  EXPECT_EQ(parse("UNSUBSCRIBE", "<a>", nullptr, "uuid:1", nullptr), "400");
  EXPECT_EQ(parse("UNSUBSCRIBE", nullptr, nullptr, "  ", nullptr), "412");
  EXPECT_EQ(parse("SUBSCRIBE", nullptr, nullptr, "", nullptr), "412");
  EXPECT_EQ(parse("SUBSCRIBE", "<a>", nullptr, nullptr, nullptr), "412");
  for (const char* callback : {"", "http://a", "<>", "<a", "x<a>", "<a> y"}) {
    EXPECT_EQ(parse("SUBSCRIBE", callback, "upnp:event", nullptr, nullptr), "412") << callback;
  }
  EXPECT_EQ(parse("NOTIFY", nullptr, nullptr, "uuid:1", nullptr), "405");
}

TEST(Gena, CallbacksLeadOnlyBackIntoTheSubscribersNetwork) {
  in_addr subscriber{}, local{}, mask{};
  inet_pton(AF_INET, "192.0.2.7", &subscriber);
  inet_pton(AF_INET, "192.0.2.1", &local);
  inet_pton(AF_INET, "255.255.255.0", &mask);
  for (const char* good : {"http://192.0.2.7:5000/e", "http://192.0.2.7/", "http://192.0.2.200:1/x?y=1",
                           "HTTP://192.0.2.7:65535/"}) {
    EXPECT_TRUE(CallbackAllowed(good, subscriber, local, mask)) << good;
  }
  for (const char* bad : {"http://192.0.3.7:5000/e", "http://198.51.100.7/", "http://10.0.0.1:80/", "https://192.0.2.7/",
                          "http://host.example/", "http://192.0.2.7:0/", "http://192.0.2.7:65536/",
                          "http://192.0.2.7", "http://192.0.2.7:80", "http://192.0.2.7:/", "http://192.0.2.7/a b",
                          "http://[::1]:80/", "http://192.0.2.7:8x/", ""}) {
    EXPECT_FALSE(CallbackAllowed(bad, subscriber, local, mask)) << bad;
  }
  // A subscriber from another network may name only its own address.
  in_addr stranger{};
  inet_pton(AF_INET, "198.51.100.9", &stranger);
  EXPECT_TRUE(CallbackAllowed("http://198.51.100.9:1/", stranger, local, mask));
  EXPECT_FALSE(CallbackAllowed("http://192.0.2.7:1/", stranger, local, mask));
}

// Events recorded instead of sent; the clock is the test's.
struct Recorder {
  std::mutex m;
  std::condition_variable changed;
  Strings sent;  // "url|sid|seq"
  std::atomic<int64_t> now{1000};
  bool fail = false;
  bool hold = false;  // the sender waits until released
  EventPublisher::Sender Sender() {
    return [this](const std::string& url, const std::string& sid, uint32_t seq, const std::string&) {
      std::unique_lock<std::mutex> lk(m);
      changed.wait(lk, [&] { return !hold; });
      sent.push_back(url + "|" + sid + "|" + std::to_string(seq));
      changed.notify_all();
      return fail ? -204 : 0;
    };
  }
  EventPublisher::Clock Clock() {
    return [this] { return now.load(); };
  }
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lk(m);
    return changed.wait_for(lk, std::chrono::seconds(20), [&] { return sent.size() >= n; });
  }
};

in_addr Addr(const std::string& text) {
  in_addr a{};
  inet_pton(AF_INET, text.c_str(), &a);
  return a;
}

GenaRequest Subscribe(const std::string& callback, int timeout = 300) {
  GenaRequest r;
  r.callbacks = {callback};
  r.timeout = timeout;
  return r;
}

TEST(Gena, SubscriptionsTheirLimitsAndTheirTime) {
  Recorder rec;
  EventPublisher events(rec.Sender(), rec.Clock());
  const in_addr local = Addr("192.0.2.1"), mask = Addr("255.255.255.0");
  std::string sid;
  int timeout = 0;
  // Per host: kMaxPerHost pass, one more is refused; other hosts go on up
  // to kMaxSubscriptions in all.
  for (size_t i = 0; i < kMaxPerHost; ++i) {
    EXPECT_EQ(events.Subscribe("cm", Subscribe("http://192.0.2.7/"), Addr("192.0.2.7"), local, mask, &sid, &timeout), 200);
  }
  EXPECT_EQ(events.Subscribe("cm", Subscribe("http://192.0.2.7/"), Addr("192.0.2.7"), local, mask, &sid, &timeout), 503);
  size_t host = 8;
  while (events.Count() < kMaxSubscriptions) {
    const std::string a = "192.0.2." + std::to_string(host++ / kMaxPerHost + 10);
    ASSERT_EQ(events.Subscribe("cm", Subscribe("http://" + a + "/"), Addr(a), local, mask, &sid, &timeout), 200);
  }
  EXPECT_EQ(events.Subscribe("cm", Subscribe("http://192.0.2.99/"), Addr("192.0.2.99"), local, mask, &sid, &timeout),
            503);
  EXPECT_EQ(events.Subscribe("cm", Subscribe("http://198.51.100.7/"), Addr("192.0.2.99"), local, mask, &sid, &timeout),
            412);  // CallStranger: a callback elsewhere is never taken

  // Time: a subscription lasts its timeout; a renewal within it extends it.
  EventPublisher timed(rec.Sender(), rec.Clock());
  ASSERT_EQ(timed.Subscribe("cds", Subscribe("http://192.0.2.7/", 100), Addr("192.0.2.7"), local, mask, &sid, &timeout),
            200);
  EXPECT_EQ(timeout, 100);
  GenaRequest renew;
  renew.sid = sid;
  renew.timeout = 50;
  rec.now += 99;
  EXPECT_EQ(timed.Renew("cm", renew, &timeout), 412);  // another service's event URL
  EXPECT_EQ(timed.Renew("cds", renew, &timeout), 200);
  rec.now += 49;
  EXPECT_EQ(timed.Count(), 1u);
  rec.now += 1;
  EXPECT_EQ(timed.Count(), 0u);
  EXPECT_EQ(timed.Renew("cds", renew, &timeout), 412);
  EXPECT_EQ(timed.Unsubscribe("cds", renew), 412);
}

TEST(Gena, EventsInOrderFromTheFirstAndGoneSubscribersDropped) {
  Recorder rec;
  EventPublisher events(rec.Sender(), rec.Clock());
  const in_addr local = Addr("192.0.2.1"), mask = Addr("255.255.255.0");
  std::string a, b;
  int timeout = 0;
  ASSERT_EQ(events.Subscribe("cds", Subscribe("http://192.0.2.7/a"), Addr("192.0.2.7"), local, mask, &a, &timeout), 200);
  ASSERT_EQ(events.Subscribe("cm", Subscribe("http://192.0.2.8/b"), Addr("192.0.2.8"), local, mask, &b, &timeout), 200);
  events.Publish("cds", {{"SystemUpdateID", "1"}});  // before the first event: not sent
  events.SendInitial(a, {{"SystemUpdateID", "0"}});
  events.SendInitial(a, {{"SystemUpdateID", "0"}});  // only once
  events.Publish("cds", {{"SystemUpdateID", "2"}});
  events.Publish("cds", {{"SystemUpdateID", "3"}});
  ASSERT_TRUE(rec.WaitFor(3));
  {
    std::lock_guard<std::mutex> lk(rec.m);
    EXPECT_EQ(rec.sent, (Strings{"http://192.0.2.7/a|" + a + "|0", "http://192.0.2.7/a|" + a + "|1",
                                 "http://192.0.2.7/a|" + a + "|2"}));
  }
  // A subscriber that takes neither of two events is dropped.
  rec.fail = true;
  events.SendInitial(b, {});
  events.Publish("cm", {});
  ASSERT_TRUE(rec.WaitFor(5));
  // (It is dropped once the sender has returned: waited for, bounded.)
  for (int i = 0; i < 2000 && events.Count() != 1u; ++i) usleep(5000);
  EXPECT_EQ(events.Count(), 1u);

  // The queue holds kMaxQueuedEvents; more are dropped, not kept.
  std::string c;
  rec.fail = false;
  ASSERT_EQ(events.Subscribe("cm", Subscribe("http://192.0.2.9/c"), Addr("192.0.2.9"), local, mask, &c, &timeout), 200);
  {
    std::lock_guard<std::mutex> lk(rec.m);
    rec.hold = true;
    rec.sent.clear();
  }
  events.SendInitial(c, {});
  // The worker takes the first event and waits in the sender; then the queue fills.
  for (size_t i = 0; i < kMaxQueuedEvents + 5; ++i) events.Publish("cm", {});
  {
    std::lock_guard<std::mutex> lk(rec.m);
    rec.hold = false;
  }
  rec.changed.notify_all();
  ASSERT_TRUE(rec.WaitFor(kMaxQueuedEvents));
  events.Stop();
  std::lock_guard<std::mutex> lk(rec.m);
  EXPECT_LE(rec.sent.size(), kMaxQueuedEvents + 1);
  EXPECT_GE(rec.sent.size(), kMaxQueuedEvents);
}

}  // namespace
}  // namespace tovaly::test
