// The media engine itself, on loopback: methods, ranges, content types, and
// the limits on ports, connections and streams, each at its edge.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "../common/raw_http.h"
#include "core/event_callback.h"
#include "library/file_open.h"
#include "streaming/media_engine.h"

namespace tovaly::test {
namespace {

// The host's answer to the engine, as every host gives it: the library's.
int32_t Host(void* context, int32_t code, void* args) {
  if (code != kRequestFileOpen) return 0;
  return AnswerFileOpen(*static_cast<std::string*>(context), static_cast<FileOpenRequest*>(args));
}

// Waits (bounded, as a guard against a hang) until cond holds.
template <class Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 2000 && !cond(); ++i) usleep(5000);
  return cond();
}

class MediaEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovaly-engine-XXXXXX";
    root_ = mkdtemp(tmpl);
    folder_ = root_ + "/";
    mkdir((root_ + "/Music").c_str(), 0755);
    for (int i = 0; i < 1000; ++i) body_ += static_cast<char>('a' + i % 26);
    for (const char* name : {"Music/a.mp3", "top.mp3"}) std::ofstream(root_ + "/" + name) << body_;
    ASSERT_EQ(engine_.Start("127.0.0.1", 47000), 0);
  }
  void TearDown() override {
    engine_.Stop();
    system(("rm -rf '" + root_ + "'").c_str());
  }
  RawResponse Get(const std::string& target, const std::string& headers = "", const std::string& method = "GET") {
    return Exchange(engine_.port(), method, target, headers);
  }
  std::string root_, folder_, body_;
  MediaEngine engine_{&Host, &folder_};
};

// The type is the host's answer; the engine only passes it on.
TEST_F(MediaEngineTest, GetAndHeadOnlyWithTheTypeOfTheName) {
  const RawResponse get = Get("/media/Music/a.mp3");
  EXPECT_EQ(get.status, 200);
  EXPECT_EQ(get.Header("content-type") + "|" + get.Header("content-length") + "|" + get.Header("accept-ranges"),
            "audio/mpeg|1000|bytes");
  EXPECT_EQ(get.body, body_);
  const RawResponse head = Get("/media/Music/a.mp3", "", "HEAD");
  EXPECT_EQ(head.status, 200);
  auto withoutDate = [](std::map<std::string, std::string> h) { return h.erase("date"), h; };
  EXPECT_EQ(withoutDate(head.headers), withoutDate(get.headers));
  EXPECT_TRUE(head.body.empty());
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
    const RawResponse r = Get("/media/Music/a.mp3", "", method);
    EXPECT_EQ(r.status, 405) << method;
    EXPECT_EQ(r.Header("allow"), "GET, HEAD") << method;
  }
  // A file the host refuses (one directly in the shared folder), malformed escapes.
  EXPECT_EQ(Get("/media/top.mp3").status, 404);
  EXPECT_EQ(Get("/media/Music/a%2.mp3").status, 400);
  EXPECT_EQ(Get("/media/Music/a%2Emp3").body, body_);
}

// What each kind of range makes of the answer; ParseRange's own test has
// every form of the header.
TEST_F(MediaEngineTest, EveryRangeForm) {
  const struct { const char* range; int status; const char* contentRange; size_t first, length; } cases[] = {
      {"bytes=0-0", 206, "bytes 0-0/1000", 0, 1},
      {"bytes=998-999", 206, "bytes 998-999/1000", 998, 2},  // ends on the last byte
      {"bytes=500-", 206, "bytes 500-999/1000", 500, 500},
      {"bytes=10-1000", 206, "bytes 10-999/1000", 10, 990},  // one past the end: clipped
      {"bytes=-1", 206, "bytes 999-999/1000", 999, 1},
      {"bytes=1000-", 416, "bytes */1000", 0, 0},  // starts one past the last byte
      {"bytes=9-5", 200, "", 0, 1000},  // not a range: the whole file
  };
  for (const auto& c : cases) {
    for (const char* method : {"GET", "HEAD"}) {
      const RawResponse r = Get("/media/Music/a.mp3", std::string("Range: ") + c.range + "\r\n", method);
      EXPECT_EQ(r.status, c.status) << c.range << " " << method;
      EXPECT_EQ(r.Header("content-range"), c.contentRange) << c.range << " " << method;
      if (c.status == 416) continue;
      EXPECT_EQ(r.Header("content-length"), std::to_string(c.length)) << c.range << " " << method;
      EXPECT_EQ(r.body, std::string(method) == "GET" ? body_.substr(c.first, c.length) : "") << c.range;
    }
  }
}

TEST_F(MediaEngineTest, BusyPortsAreSkippedUpToTheLastOneTried) {
  // Listening sockets on every port from `first` but the last `free` of the
  // ports the engine tries.
  auto occupy = [](uint16_t first, unsigned count, std::vector<int>* fds) {
    for (unsigned i = 0; i < count; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(static_cast<uint16_t>(first + i));
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return false;
      }
      fds->push_back(fd);
    }
    return true;
  };
  // A run of ports nobody else holds (other programs may use some).
  std::vector<int> fds;
  uint16_t first = 0;
  for (uint16_t base = 30000; base < 60000 && !first; base = static_cast<uint16_t>(base + 311)) {
    if (occupy(base, MediaEngine::kPortsTried - 1, &fds)) {
      first = base;
    } else {
      for (int fd : fds) close(fd);
      fds.clear();
    }
  }
  ASSERT_NE(first, 0) << "no run of free ports on this machine";
  MediaEngine last(&Host, &folder_);
  EXPECT_EQ(last.Start("127.0.0.1", first), 0);
  EXPECT_EQ(last.port(), first + MediaEngine::kPortsTried - 1);
  last.Stop();
  ASSERT_TRUE(occupy(first + MediaEngine::kPortsTried - 1, 1, &fds));
  MediaEngine none(&Host, &folder_);
  EXPECT_EQ(none.Start("127.0.0.1", first), EADDRINUSE);
  for (int fd : fds) close(fd);
}

// Streams that do not read, and connections that send nothing: up to each
// limit they are held, one more is answered 503 at once. Clients come from
// several loopback addresses, hosts of their own.
TEST_F(MediaEngineTest, StreamsAndConnectionsUpToTheirLimits) {
  const int big = open((root_ + "/Music/big.mkv").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_EQ(ftruncate(big, 1LL << 30), 0);  // holes: no disk
  close(big);
  auto host = [](size_t n) { return "127.0.0." + std::to_string(10 + n / MediaEngine::kMaxConnectionsPerHost); };
  std::vector<int> held;
  auto openStream = [&](const std::string& from) {
    const int fd = ConnectTo(engine_.port(), "127.0.0.1", from.c_str());
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string request = "GET /media/Music/big.mkv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char head[16] = "";
    recv(fd, head, 12, MSG_WAITALL);
    held.push_back(fd);
    return std::string(head, 12);
  };
  for (unsigned i = 0; i < MediaEngine::kMaxStreams; ++i) ASSERT_EQ(openStream(host(i)), "HTTP/1.1 200") << i;
  const RawResponse refused = Get("/media/Music/a.mp3");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.Header("retry-after"), "10");
  close(held.back());
  held.pop_back();
  EXPECT_TRUE(Eventually([&] { return Get("/media/Music/a.mp3").status == 200; }));

  // Idle connections up to the limit, the held streams among them.
  while (held.size() < MediaEngine::kMaxConnections) held.push_back(ConnectTo(engine_.port(), "127.0.0.1", host(held.size()).c_str()));
  ASSERT_TRUE(Eventually([&] { return engine_.connections() == MediaEngine::kMaxConnections; }));
  const int extra = ConnectTo(engine_.port(), "127.0.0.1", "127.0.0.99");
  EXPECT_EQ(ParseResponse(ReadAll(extra)).status, 503);
  close(extra);
  for (int fd : held) close(fd);
  held.clear();
  ASSERT_TRUE(Eventually([&] { return engine_.connections() == 0; }));

  // One host: its share, and not one more.
  for (unsigned i = 0; i < MediaEngine::kMaxConnectionsPerHost; ++i) held.push_back(ConnectTo(engine_.port(), "127.0.0.1", "127.0.0.50"));
  ASSERT_TRUE(Eventually([&] { return engine_.connections() == MediaEngine::kMaxConnectionsPerHost; }));
  const int over = ConnectTo(engine_.port(), "127.0.0.1", "127.0.0.50");
  EXPECT_EQ(ParseResponse(ReadAll(over)).status, 503);
  close(over);
  EXPECT_EQ(Get("/media/Music/a.mp3").status, 200);  // another host still gets in
  for (int fd : held) close(fd);
  EXPECT_TRUE(Eventually([&] { return engine_.connections() == 0; }));
}

// A handler of another room, as the device is: it records what it was given
// and answers what the test says; it may be held to keep its workers busy.
struct Recorder : HttpHandler {
  std::mutex m;
  std::condition_variable changed;
  std::vector<HttpRequest> seen;
  int running = 0;
  bool hold = false;
  std::atomic<int> sentAfter{0};
  bool Serves(const std::string& path) const override { return path.compare(0, 5, "/dev/") == 0; }
  HttpAnswer Answer(const HttpRequest& request) override {
    std::unique_lock<std::mutex> lk(m);
    seen.push_back(request);
    ++running;
    changed.notify_all();
    changed.wait(lk, [&] { return !hold; });
    --running;
    HttpAnswer a;
    a.status = request.path == "/dev/missing" ? 404 : 200;
    a.contentType = "text/xml";
    a.body = "<got>" + std::to_string(request.body.size()) + "</got>";
    a.headers.emplace_back("SID", "uuid:x");
    a.afterSent = [this] { ++sentAfter; };
    return a;
  }
};

class EngineWithHandler : public MediaEngineTest {
 protected:
  void SetUp() override {
    engine_.SetHandler(&handler_);
    engine_.SetHeadTimeout(std::chrono::milliseconds(300));
    MediaEngineTest::SetUp();
  }
  Recorder handler_;
};

TEST_F(EngineWithHandler, RequestsReachTheHandlerWholeAndBounded) {
  RawResponse r = Exchange(engine_.port(), "SUBSCRIBE", "/dev/event", "CALLBACK: <http://x/>\r\nNT: upnp:event\r\n");
  EXPECT_EQ(std::to_string(r.status) + "|" + r.Header("sid") + "|" + r.Header("content-type") + "|" + r.body,
            "200|uuid:x|text/xml|<got>0</got>");
  EXPECT_TRUE(Eventually([&] { return handler_.sentAfter == 1; }));
  EXPECT_EQ(Exchange(engine_.port(), "GET", "/dev/missing").status, 404);
  {
    std::lock_guard<std::mutex> lk(handler_.m);
    ASSERT_EQ(handler_.seen.size(), 2u);
    const HttpRequest& first = handler_.seen[0];
    EXPECT_EQ(first.method + " " + first.path, "SUBSCRIBE /dev/event");
    EXPECT_STREQ(first.Header("callback"), "<http://x/>");
    EXPECT_EQ(first.peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(first.local.sin_port, htons(engine_.port()));
  }
  // A body of the largest size passes, one byte more is refused, whether the
  // length is said at once or found out chunk by chunk.
  const std::string full(MediaEngine::kMaxBodyBytes, 'x');
  EXPECT_EQ(Exchange(engine_.port(), "POST", "/dev/control", "", full).body, "<got>65536</got>");
  EXPECT_EQ(Exchange(engine_.port(), "POST", "/dev/control", "", full + "x").status, 413);
  auto chunked = [&](size_t size) {
    const int fd = ConnectTo(engine_.port());
    std::string req = "POST /dev/control HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                      "Connection: close\r\n\r\n";
    for (size_t left = size; left > 0;) {
      const size_t n = std::min<size_t>(left, 4096);
      char head[16];
      snprintf(head, sizeof head, "%zx\r\n", n);
      req += head + std::string(n, 'y') + "\r\n";
      left -= n;
    }
    req += "0\r\n\r\n";
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    const RawResponse answer = ParseResponse(ReadAll(fd));
    close(fd);
    return answer.status;
  };
  EXPECT_EQ(chunked(MediaEngine::kMaxBodyBytes), 200);
  EXPECT_EQ(chunked(MediaEngine::kMaxBodyBytes + 1), 413);
  EXPECT_EQ(handler_.sentAfter, 4);  // the refused ones never reached it
}

// A Host that names another site is refused on every path before any work;
// an address or no Host at all (HTTP/1.0) is answered.
TEST_F(EngineWithHandler, OnlyThisMachinesNamesAndAddresses) {
  for (const char* target : {"/media/Music/a.mp3", "/", "/browse/Music/", "/style.css", "/dev/control"}) {
    const int fd = ConnectTo(engine_.port());
    const std::string req = std::string("GET ") + target + " HTTP/1.1\r\nHost: attacker.example:" +
                            std::to_string(engine_.port()) + "\r\nConnection: close\r\n\r\n";
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ParseResponse(ReadAll(fd)).status, 403) << target;
    close(fd);
    const int old = ConnectTo(engine_.port());
    const std::string req10 = std::string("GET ") + target + " HTTP/1.0\r\n\r\n";
    send(old, req10.data(), req10.size(), MSG_NOSIGNAL);
    const int status = ParseResponse(ReadAll(old)).status;
    EXPECT_TRUE(status == 200 || status == 404) << target << " " << status;  // "/" lists no content callback here
    close(old);
    EXPECT_NE(Exchange(engine_.port(), "GET", target).status, 403) << target;
  }
  std::lock_guard<std::mutex> lk(handler_.m);
  EXPECT_EQ(handler_.seen.size(), 2u);
}

// The handler's workers all busy: media still flow, a few requests wait,
// more than kMaxWaitingRequests are refused at once. A head that does not
// come in time ends its connection.
TEST_F(EngineWithHandler, BusyHandlersAndSlowHeadsHoldNothingElse) {
  {
    std::lock_guard<std::mutex> lk(handler_.m);
    handler_.hold = true;
  }
  std::vector<int> waiting;
  const std::string req = "GET /dev/slow HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  auto ask = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) {
      waiting.push_back(ConnectTo(engine_.port(), "127.0.0.1", ("127.0.0." + std::to_string(20 + waiting.size() / 32)).c_str()));
      send(waiting.back(), req.data(), req.size(), MSG_NOSIGNAL);
    }
  };
  ask(MediaEngine::kHandlerThreads);
  {
    std::unique_lock<std::mutex> lk(handler_.m);
    ASSERT_TRUE(handler_.changed.wait_for(lk, std::chrono::seconds(20),
                                          [&] { return handler_.running == int(MediaEngine::kHandlerThreads); }));
  }
  ask(MediaEngine::kMaxWaitingRequests);
  ASSERT_TRUE(Eventually([&] { return engine_.waitingRequests() == MediaEngine::kMaxWaitingRequests; }));
  EXPECT_EQ(Exchange(engine_.port(), "GET", "/dev/one-more").status, 503);
  EXPECT_EQ(Get("/media/Music/a.mp3").body, body_);
  const int slow = ConnectTo(engine_.port());
  send(slow, "GET /media/Music/a.mp3 HTTP/1.1\r\nHo", 35, MSG_NOSIGNAL);  // and nothing more
  pollfd p{slow, POLLIN, 0};
  char byte;
  ASSERT_EQ(poll(&p, 1, 10000), 1);  // closed, unanswered, once its time is up
  EXPECT_EQ(recv(slow, &byte, 1, 0), 0);
  close(slow);
  {
    std::lock_guard<std::mutex> lk(handler_.m);
    handler_.hold = false;
  }
  handler_.changed.notify_all();
  for (int fd : waiting) {
    EXPECT_EQ(ParseResponse(ReadAll(fd)).status, 200);
    close(fd);
  }
}

}  // namespace
}  // namespace tovaly::test
