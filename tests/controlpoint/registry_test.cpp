// The registries with a clock the tests move, scripted proxies instead of
// network peers, and the stack's client callback fed with hand-made events.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <map>
#include <set>
#include <memory>
#include <thread>

#include "scripted.h"

namespace tovaly::test {
namespace {

std::atomic<int64_t> g_now{1000000};
int64_t TestNow() { return g_now.load(); }

const char kLocation[] = "http://192.0.2.9:1/desc.xml";
constexpr int kAlive = UPNP_DISCOVERY_ADVERTISEMENT_ALIVE, kByebye = UPNP_DISCOVERY_ADVERTISEMENT_BYEBYE;

using Strings = std::vector<std::string>;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    SetSecondsClock(&TestNow);
    cp_.reset(new ScriptedControlPoint);
    host_.events.clear();
    cp_->link()->SetHost(&Host::Callback, &host_);
  }
  void TearDown() override {
    cp_->link()->SetHost(nullptr, nullptr);
    cp_ = nullptr;
    SetSecondsClock(nullptr);
  }
  template <class Proxy = ScriptedServer>
  RefPtr<Proxy> Add(const std::string& udn, bool withAck = false) {
    RefPtr<Proxy> s(new Proxy(udn, cp_->link()));
    s->SetPresence(g_now + 100, 100);
    if (withAck) {
      sockaddr_in ack{};
      ParseAckAddress("192.0.2.9:5000", &ack);
      s->SetAckAddress(ack);
    }
    auto& registry = std::is_same_v<Proxy, ScriptedServer> ? cp_->servers() : cp_->renderers();
    EXPECT_TRUE(registry.Add(RefPtr<upnp_device_control>(s.get())));
    return s;
  }
  void Discovery(int type, const char* udn, const char* location = "", int expires = 0) {
    UpnpDiscovery* d = UpnpDiscovery_new();
    UpnpDiscovery_strcpy_DeviceID(d, udn);
    UpnpDiscovery_strcpy_Location(d, location);
    UpnpDiscovery_set_Expires(d, expires);
    control_point_t::ControlPointCallback(type, d, cp_.get());
    UpnpDiscovery_delete(d);
  }
  void Ack(const char* udn, const char* from, uint16_t port = 5000) {
    AckReceived ack{udn, inet_addr(from), htons(port)};
    control_point_t::ControlPointCallback(kEventAckReceived, &ack, cp_.get());
  }
  Host host_;
  RefPtr<ScriptedControlPoint> cp_;
};

TEST_F(Registry, ExpiredDevicesAreProbedThenCheckedThenRemoved) {
  auto silent = Add("uuid:a", true), answers = Add("uuid:k", true), noAck = Add("uuid:b");
  noAck->script = [](const Sent&, int* e) { return *e = 401, nullptr; };  // a SOAP fault is an answer too
  // Probes sent and SOAP requests made by each.
  auto asked = [&] {
    std::string shown;
    for (auto* p : {silent.get(), answers.get(), noAck.get()}) {
      shown += std::to_string(p->probes) + "/" + std::to_string(p->sent.size()) + " ";
    }
    return shown;
  };
  cp_->RunExpiryPass();
  EXPECT_EQ(asked(), "0/0 0/0 0/0 ");  // not expired yet
  g_now += 101;
  cp_->RunExpiryPass();  // expired: probed, kept; without an ack address checked at once
  EXPECT_EQ(asked(), "1/0 1/0 0/1 ");
  EXPECT_EQ(noAck->expiry(), g_now + 100);
  // Only a reply from the device's own ack socket counts: its address and port.
  Ack("uuid:k", "192.0.2.66");
  Ack("uuid:k", "192.0.2.9", 5001);
  Ack("uuid:k", "192.0.2.9", 4999);
  EXPECT_EQ(answers->expiry(), g_now - 1);
  Ack("uuid:k", "192.0.2.9");
  EXPECT_EQ(answers->expiry(), g_now + 100);
  cp_->RunExpiryPass();  // no answer to the probe: liveness check, which fails (connection refused)
  EXPECT_EQ(asked(), "1/1 1/0 0/1 ");
  EXPECT_EQ(host_.Count(kEventServerRemoved), 0);
  cp_->RunExpiryPass();  // declared dead: removed
  EXPECT_EQ(host_.Of(kEventServerRemoved), Strings{"uuid:a"});
  EXPECT_EQ(cp_->servers().Snapshot().size(), 2u);
  g_now += 50;
  Ack("uuid:k", "192.0.2.9");  // no probe outstanding
  EXPECT_EQ(answers->expiry(), g_now + 50);

  // An announcement after a failed check clears it: the device is back.
  noAck->script = nullptr;
  g_now += 200;
  cp_->RunExpiryPass();
  Discovery(kAlive, "uuid:b", kLocation, 100);
  g_now += 101;
  noAck->script = [](const Sent& s, int*) { return Response(s.action.c_str(), {}); };
  cp_->RunExpiryPass();
  EXPECT_TRUE(cp_->servers().Find("uuid:b"));
}

TEST_F(Registry, AnnouncementsOfAKnownDeviceOnlyMoveItsExpiry) {
  auto s = Add("uuid:a");
  int fetches = 0;
  cp_->fetch = [&](const std::string&, std::string*) { return ++fetches, UPNP_E_SOCKET_CONNECT; };
  Discovery(kAlive, "uuid:a", kLocation, 1800);
  EXPECT_EQ(s->expiry(), g_now + 1800);
  // Huge Expires values do not wrap the expiry into the past.
  Discovery(UPNP_DISCOVERY_SEARCH_RESULT, "uuid:a", kLocation, 2147483647);
  EXPECT_GT(s->expiry(), g_now);
  EXPECT_EQ(fetches, 0);
}

std::string Description(const char* type, const char* udn) {
  return std::string("<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device><deviceType>urn:schemas-upnp-org:device:") +
         type + "</deviceType><friendlyName>D</friendlyName><UDN>" + udn + "</UDN></device></root>";
}

// Second by second: announcements and byebyes at their times, the control
// point's due retries every second; when the description was asked for.
TEST_F(Registry, FailedDescriptionsAreRetriedWhileTheAnnouncementHolds) {
  struct Step { int64_t at; int type; const char* udn; int maxAge; };
  const struct {
    const char* what;
    std::vector<Step> steps;
    int failures;  // answers that fail before the description comes
    const char* type;
    std::vector<int64_t> fetchedAt;
    bool added;
  } cases[] = {
      {"the first answer fails, the retry brings it", {{0, kAlive, "uuid:s", 1800}}, 1, "MediaServer:1", {0, 2}, true},
      {"2 s, 10 s, then 60 s; announcements wait too; valid from the last one",
       {{0, kAlive, "uuid:s", 100}, {1, kAlive, "uuid:s", 100}, {5, kAlive, "uuid:s", 100}, {40, kAlive, "uuid:s", 100}},
       99, "MediaServer:1", {0, 2, 12, 72, 132}, false},
      {"a byebye ends them; the device's return is fetched at once",
       {{0, kAlive, "uuid:s", 1800}, {5, kByebye, "uuid:s", 0}, {50, kAlive, "uuid:s", 1800}},
       99, "MediaServer:1", {0, 2, 50, 52, 62, 122, 182}, false},
      {"a nameless location at most once in 30 s", {{0, kAlive, "", 1800}, {29, kAlive, "", 1800}, {31, kAlive, "", 1800}},
       0, "MediaServer:1", {0, 31}, true},
      {"a device of another kind never again", {{0, kAlive, "uuid:o", 1800}, {100, kAlive, "uuid:o", 1800}}, 0,
       "Printer:1", {0}, false},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    const int64_t start = g_now;
    std::vector<int64_t> fetchedAt;
    cp_->fetch = [&](const std::string&, std::string* text) {
      fetchedAt.push_back(g_now - start);
      if (static_cast<int>(fetchedAt.size()) <= c.failures) return UPNP_E_SOCKET_CONNECT;
      *text = Description(c.type, "uuid:s");
      return 0;
    };
    for (int64_t t = 0; t <= 200; ++t, ++g_now) {
      for (const Step& s : c.steps) {
        if (s.at == t) Discovery(s.type, s.udn, s.type == kByebye ? "" : kLocation, s.maxAge);  // byebyes carry none
      }
      cp_->RunDueRetries();
    }
    EXPECT_EQ(fetchedAt, c.fetchedAt) << c.what;
    EXPECT_EQ(host_.Of(kEventServerAdded), c.added ? Strings{"uuid:s"} : Strings{}) << c.what;
  }
}

// Downloads that really overlap: two at a time per host whatever its ports,
// sixteen in all; the rest wait in their order for a free slot.
TEST_F(Registry, DownloadsShareSlotsPerHostAndInAll) {
  std::mutex m;
  std::condition_variable changed;
  std::map<std::string, int> inside;  // by host, fetches running now
  int insideAll = 0, mostAll = 0;
  std::map<std::string, int> most;
  std::set<std::string> released;
  Strings fetched;
  cp_->threaded = true;
  cp_->fetch = [&](const std::string& location, std::string* text) {
    const std::string host = location.substr(7, location.find(':', 7) - 7);
    std::unique_lock<std::mutex> lk(m);
    fetched.push_back(location);
    most[host] = std::max(most[host], ++inside[host]);
    mostAll = std::max(mostAll, ++insideAll);
    changed.notify_all();
    changed.wait(lk, [&] { return released.count(location) > 0; });
    --inside[host];
    --insideAll;
    *text = Description("MediaServer:1", ("uuid:" + location.substr(7)).c_str());
    return 0;
  };
  auto location = [](int host, int port) {
    return "http://192.0.2." + std::to_string(host) + ":" + std::to_string(port) + "/d.xml";
  };
  auto waitInside = [&](int n) {
    std::unique_lock<std::mutex> lk(m);
    return changed.wait_for(lk, std::chrono::seconds(20), [&] { return insideAll == n; });
  };
  auto release = [&](const std::string& l) {
    std::lock_guard<std::mutex> lk(m);
    released.insert(l);
    changed.notify_all();
  };
  // Three locations of one host: the third waits.
  for (int port = 1; port <= 3; ++port) Discovery(kAlive, "", location(10, port).c_str(), 100);
  ASSERT_TRUE(waitInside(2));
  EXPECT_EQ(cp_->runningDownloads(), 2);
  // Fifteen other hosts: fourteen start, the sixteenth slot is the last.
  for (int host = 11; host <= 25; ++host) Discovery(kAlive, "", location(host, 1).c_str(), 100);
  ASSERT_TRUE(waitInside(16));
  EXPECT_EQ(cp_->runningDownloads(), 16);
  // A slot frees: the first waiting download that its host lets run takes
  // it (host .10's third, queued before host .25's).
  release(location(10, 1));
  {
    std::unique_lock<std::mutex> lk(m);
    auto seen = [&](const std::string& l) { return std::count(fetched.begin(), fetched.end(), l) > 0; };
    ASSERT_TRUE(changed.wait_for(lk, std::chrono::seconds(20), [&] { return seen(location(10, 3)); }));
    EXPECT_FALSE(seen(location(25, 1)));
    EXPECT_EQ(fetched.size(), 17u);
  }
  for (int port = 1; port <= 3; ++port) release(location(10, port));
  for (int host = 11; host <= 25; ++host) release(location(host, 1));
  cp_->link()->workers.JoinAll();
  EXPECT_EQ(fetched.size(), 18u);
  EXPECT_EQ(most["192.0.2.10"], 2);
  EXPECT_EQ(mostAll, 16);
  EXPECT_EQ(cp_->servers().Snapshot().size(), 18u);
}

TEST_F(Registry, ByebyeRemovesTheDeviceAndTellsTheHost) {
  Add("uuid:s");
  Add<ScriptedRenderer>("uuid:r");
  Discovery(kByebye, "uuid:unknown");
  Discovery(kByebye, "");
  Discovery(kByebye, "uuid:r");
  EXPECT_EQ(host_.Of(kEventRendererRemoved), Strings{"uuid:r"});
  EXPECT_EQ(host_.Of(kEventServerRemoved), Strings{});
  EXPECT_FALSE(cp_->renderers().Find("uuid:r"));
  Discovery(kByebye, "uuid:s");
  EXPECT_EQ(host_.Of(kEventServerRemoved), Strings{"uuid:s"});
  EXPECT_TRUE(cp_->servers().Snapshot().empty());

  // The same UDN under another base URL: the old proxy goes.
  Add("uuid:a");
  EXPECT_TRUE(cp_->servers().Find("uuid:a", true, "http://192.0.2.9:1/other.xml"));
  EXPECT_FALSE(cp_->servers().Find("uuid:a", true, "http://192.0.2.10:1/desc.xml"));
  EXPECT_EQ(host_.Of(kEventServerRemoved), (Strings{"uuid:s", "uuid:a"}));
}

TEST_F(Registry, HostMayRemoveADeviceFromItsNotification) {
  host_.removeOnAdd = cp_.get();
  Add("uuid:a");
  EXPECT_EQ(host_.Count(kEventServerAdded), 1);
  EXPECT_EQ(host_.Count(kEventServerRemoved), 1);
  EXPECT_TRUE(cp_->servers().Snapshot().empty());
}

TEST_F(Registry, TwoThreadsAnnouncingOneNewDeviceMakeOneProxy) {
  const ParsedDescription parsed =
      ParseDescriptionText("http://192.0.2.9:1/d.xml", Description("MediaServer:1", "uuid:same").c_str());
  for (int round = 0; round < 50; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] { cp_->ApplyDescription(parsed, "http://192.0.2.9:1/d.xml", 100); });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(cp_->servers().Snapshot().size(), 1u) << round;
    p_RemoveDevice(cp_.get(), "uuid:same");
  }
  EXPECT_EQ(host_.Count(kEventServerAdded), 50);
}

// An event may arrive before the subscription call returned its SID.
TEST_F(Registry, EventsForUnknownSidsAreKeptBriefly) {
  UpnpEvent* e = UpnpEvent_new();
  UpnpEvent_strcpy_SID(e, "uuid:not-yet-known");
  IXML_Document* vars = ixmlParseBuffer("<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property>"
                                        "<LastChange>x</LastChange></e:property></e:propertyset>");
  UpnpEvent_set_ChangedVariables(e, vars);
  control_point_t::ControlPointCallback(UPNP_EVENT_RECEIVED, e, cp_.get());
  ixmlDocument_free(vars);
  UpnpEvent_delete(e);
  const auto kept = cp_->TakePendingEvents("uuid:not-yet-known");
  EXPECT_TRUE(kept.size() == 1 && kept[0].find("<LastChange>x</LastChange>") != std::string::npos);
  EXPECT_TRUE(cp_->TakePendingEvents("uuid:not-yet-known").empty());  // taken once
}

TEST(ControlPointLife, DestroyedWhileCallbacksAndALivenessCheckRun) {
  SetSecondsClock(&TestNow);
  Host host;
  auto* cp = new control_point_t(true);
  cp->AddRef();
  cp->link()->SetHost(&Host::Callback, &host);
  auto checkMayEnd = std::make_shared<std::promise<void>>(), proxyGone = std::make_shared<std::promise<void>>();
  std::shared_future<void> mayEnd = checkMayEnd->get_future().share();
  std::future<void> gone = proxyGone->get_future();
  std::atomic<int> checks{0}, calls{0};
  RefPtr<ScriptedServer> s(new ScriptedServer("uuid:slow", cp->link()));
  s->asyncLiveness = true;
  s->onDestroy = [proxyGone] { proxyGone->set_value(); };
  s->script = [mayEnd, &checks](const Sent&, int*) -> IXML_Document* {
    ++checks;
    mayEnd.wait();  // until the control point has gone
    return nullptr;
  };
  s->SetPresence(g_now - 1, 100);
  cp->servers().Add(RefPtr<upnp_device_control>(s.get()));
  cp->RunExpiryPass();  // starts the liveness check on its own thread
  std::atomic<bool> stop{false};
  // Stack threads inside a callback: each holds its own reference, and the
  // last of them to leave runs the destructor.
  std::vector<std::thread> stack;
  for (int t = 0; t < 3; ++t) {
    stack.emplace_back([&, hold = RefPtr<control_point_t>(cp)] {
      AckReceived slow{"uuid:slow", 0, 0}, other{"uuid:other", 0, 0};
      for (; !stop; ++calls) {
        control_point_t::ControlPointCallback(kEventAckReceived, &slow, hold.get());
        control_point_t::ControlPointCallback(kEventAckReceived, &other, hold.get());
      }
    });
  }
  auto callsReach = [&](int n) {
    while (calls < n) std::this_thread::yield();
  };
  callsReach(300);
  cp->link()->SetHost(nullptr, nullptr);  // as p_DestroyControlPoint does
  cp->Release();
  callsReach(calls + 300);
  stop = true;
  for (auto& t : stack) t.join();
  // The check still runs on the proxy; it must not touch the control point.
  checkMayEnd->set_value();
  s = nullptr;
  gone.wait();  // the check's thread let the proxy go
  EXPECT_EQ(checks, 1);
  SetSecondsClock(nullptr);
}

}  // namespace
}  // namespace tovaly::test
