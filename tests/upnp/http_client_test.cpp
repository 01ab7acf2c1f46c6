// The bounded GET of descriptions against a scripted peer on loopback.

#include "upnp/http_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <upnp.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace tovaly {
namespace {

// Accepts one connection, reads the request, then lets `script` answer (it
// returns when it is done or the client has gone).
class Peer {
 public:
  explicit Peer(std::function<void(int fd)> script) : listen_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(bind(listen_, reinterpret_cast<sockaddr*>(&a), len), 0);
    EXPECT_EQ(listen(listen_, 4), 0);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/desc.xml";
    thread_ = std::thread([this, script] {
      const int fd = accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      char buf[4096];
      for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
        request.append(buf, static_cast<size_t>(n));
      }
      script(fd);
      close(fd);
    });
  }
  ~Peer() {
    shutdown(listen_, SHUT_RDWR);
    thread_.join();
    close(listen_);
  }
  std::string url, request;

 private:
  int listen_;
  std::thread thread_;
};

bool Send(int fd, const std::string& text) { return send(fd, text.data(), text.size(), MSG_NOSIGNAL) > 0; }

// "0|body", or the error.
std::string Fetch(const std::function<void(int)>& script, int millis = 5000) {
  Peer peer(script);
  FetchLimits limits;
  limits.maxBytes = 1000;
  limits.millis = millis;
  std::string body;
  const int result = FetchDocument(peer.url, limits, &body);
  return result == 0 ? "0|" + body : std::to_string(result);
}

std::string Answer(const std::string& text) {
  return Fetch([text](int fd) { Send(fd, text); });
}

TEST(FetchDocument, BodiesByLengthChunksOrCloseAndPeersThatLie) {
  const std::string ok = "HTTP/1.1 200 OK\r\n", bad = std::to_string(UPNP_E_BAD_RESPONSE),
                    tooLarge = std::to_string(UPNP_E_OUTOF_BOUNDS);
  EXPECT_EQ(Answer(ok + "Content-Length: 5\r\n\r\n<a/>\nextra"), "0|<a/>\n");
  EXPECT_EQ(Fetch([&](int fd) {
              Send(fd, ok + "Transfer-Encoding: chunked\r\n\r\n3\r\n<a>\r\n");
              Send(fd, "4;x=y\r\n</a>\r\n0\r\n\r\n");
            }),
            "0|<a></a>");
  EXPECT_EQ(Answer("HTTP/1.0 200 OK\r\n\r\n<root/>"), "0|<root/>");
  EXPECT_EQ(Answer(ok + "Content-Length: 1000\r\n\r\n" + std::string(1000, 'x')), "0|" + std::string(1000, 'x'));
  // One past the limit, announced or not; a body without end.
  EXPECT_EQ(Answer(ok + "Content-Length: 1001\r\n\r\n"), tooLarge);
  EXPECT_EQ(Answer(ok + "\r\n" + std::string(1001, 'x')), tooLarge);
  EXPECT_EQ(Fetch([&](int fd) {
              Send(fd, ok + "Transfer-Encoding: chunked\r\n\r\n");
              while (Send(fd, "100\r\n" + std::string(256, 'x') + "\r\n")) {
              }
            }),
            tooLarge);
  EXPECT_EQ(Fetch([](int fd) { while (Send(fd, std::string(4096, 'x'))) {} }), bad);
  // A length it does not keep; an answer that is not 200.
  EXPECT_EQ(Answer(ok + "Content-Length: 100\r\n\r\nshort"), bad);
  EXPECT_EQ(Answer("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"), std::to_string(UPNP_E_BAD_HTTPMSG));
}

TEST(FetchDocument, TimeIsBoundedWhateverTheTrickle) {
  // A byte every 20 ms keeps every single wait short; only the total bound
  // ends it before the 18 s of the whole body.
  EXPECT_EQ(Fetch([](int fd) {
              Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n");
              for (int i = 0; i < 900 && Send(fd, "x"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }, 200),
            std::to_string(UPNP_E_TIMEDOUT));

  // The control point goes away while the fetch waits: it ends at once. A
  // fetch that missed it would read the answer that comes when the peer
  // gives up waiting for it to leave.
  std::atomic<bool> asked{false};
  Peer silent([&](int fd) {
    asked = true;
    pollfd gone{fd, POLLIN, 0};
    poll(&gone, 1, 5000);
    Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n<a/>");
  });
  FetchLimits limits;
  limits.millis = 60000;
  limits.cancelled = [&] { return asked.load(); };
  std::string body;
  EXPECT_EQ(FetchDocument(silent.url, limits, &body), UPNP_E_TIMEDOUT);
  EXPECT_NE(silent.request.find("GET /desc.xml HTTP/1.1\r\nHost: 127.0.0.1:"), std::string::npos);

  for (const char* url : {"https://127.0.0.1/x", "ftp://h/x", "http://", "http://h:99999/x", "http://u@h/x",
                          "http://h/a b", "http://[::1/x"}) {
    EXPECT_EQ(FetchDocument(url, limits, &body), UPNP_E_INVALID_URL) << url;
  }
}

}  // namespace
}  // namespace tovaly
