#pragma once
// The media engine: the HTTP server that every media byte leaves through,
// on a port of its own beside the UPnP stack's. libmicrohttpd with epoll on a
// small fixed number of threads; file bodies go from the descriptor to the
// socket (sendfile), so a client that pauses costs a socket and a
// descriptor, never a thread. It knows nothing of the disk: for each request
// it asks its host to open the file (code 101), and the host alone decides
// what is served.
//
// Threads: one accepts connections and hands each to the least busy of
// kThreads single-threaded libmicrohttpd servers (the library's own pool
// accepts in series, so that streams that start together share a core);
// the same thread cuts streams whose file shrank and connections whose
// request head does not come in time. Requests for the handler of another
// room (the device's HTTP) run on kHandlerThreads workers of their own while
// their connection waits (suspended), so that a long folder listing never
// holds a thread that moves media.
//
// Served, to GET and HEAD: /media/<percent-encoded path> with one byte
// range (and, asked with getCaptionInfo.sec, the CaptionInfo.sec header
// naming a video's subtitle file); /art/<path>, the JPEG that stands for an
// object; /vtt/<path>, a subtitle file as WebVTT; the phone page: / (the
// shared folder), /browse/<path>/ (a folder), /play/<path> (a file),
// /style.css; and, with any method, what the handler serves. Every request
// must name this machine in its Host (HostAllowed). What may wait on the
// disk or the metadata (pages, pictures, WebVTT) runs on the workers.

#include <sys/types.h>

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/event_callback.h"
#include "streaming/http_handler.h"

struct MHD_Daemon;

namespace tovaly {

class MediaEngine {
 public:
  // File bodies in flight at once; a request beyond them is answered 503 at
  // once, and so is a connection beyond kMaxConnections. Every
  // stream holds a socket and a file descriptor, and the UPnP stack waits on
  // its own sockets with select(), which cannot watch a descriptor numbered
  // 1024 or above: the process must stay well below 1024 open descriptors.
  static constexpr unsigned kMaxStreams = 320;
  // Connections the server accepts at all (the 503 answers need some room).
  static constexpr unsigned kMaxConnections = 384;
  // Connections one host may hold at once; more are answered 503 at once.
  // Two thirds of all: one host (a phone running a crowd of players, or a
  // client that trickles its requests) never leaves the others without room.
  static constexpr unsigned kMaxConnectionsPerHost = 256;
  // A request's head (its line and headers) must be in within this time of
  // the connection or of the previous request: a client that trickles it
  // costs a socket for this long, never a thread.
  static constexpr unsigned kHeadSeconds = 15;
  // A body for the handler (a SOAP request) of more is refused with 413.
  static constexpr size_t kMaxBodyBytes = 64 * 1024;
  // Workers that run the handler, and the requests that may wait for one.
  static constexpr unsigned kHandlerThreads = 4;
  static constexpr size_t kMaxWaitingRequests = 64;
  // A connection that moves no byte for this long is closed; a TV that
  // resumes later reconnects with a range.
  static constexpr unsigned kIdleTimeoutSeconds = 600;
  // Threads that serve connections (the machine this runs on has few cores).
  static constexpr unsigned kThreads = 2;
  // Ports tried from the first one asked for.
  static constexpr unsigned kPortsTried = 100;

  MediaEngine(EventCallback callback, void* context);
  ~MediaEngine();
  MediaEngine(const MediaEngine&) = delete;
  MediaEngine& operator=(const MediaEngine&) = delete;

  // Listens on address (IPv4 text) at the first free port from firstPort.
  // Returns 0, or an errno value (EADDRINUSE when no port was free).
  int Start(const std::string& address, uint16_t firstPort);
  // Closes every connection and waits for the engine's threads; streams in
  // flight end at once.
  void Stop();

  uint16_t port() const { return port_; }
  // The name the phone page's titles carry.
  void SetServerName(const std::string& name);
  // What answers the paths it Serves (set before Start; null: none).
  void SetHandler(HttpHandler* handler) { handler_ = handler; }
  // Tests wait less than kHeadSeconds for a head (set before Start).
  void SetHeadTimeout(std::chrono::milliseconds timeout) { headTimeout_ = timeout; }
  // Connections open now.
  unsigned connections() const;
  // Requests for the handler that wait for a worker now.
  size_t waitingRequests();

  // How often streams are checked for files that shrank under them.
  static constexpr unsigned kShrinkCheckMillis = 500;

  // The libmicrohttpd entry points; public for the C trampolines only.
  struct Request;
  int Access(void* connection, const char* url, const char* method, const char* upload, size_t* uploadSize,
             void** state);
  void Completed(void* connection, void** state, bool sent);
  void Opened(void* connection);
  void Closed(void* connection);
  struct Worker {
    MediaEngine* engine;
    MHD_Daemon* daemon = nullptr;
    std::atomic<unsigned> connections{0};
  };

 private:
  // A file body in flight. The library sends it with sendfile(), which
  // finds the end of a file that shrank and then waits for the socket
  // forever; such a stream is cut instead (short body, connection closed).
  // Watched by path: the descriptor is the library's and may be closed at
  // any moment.
  struct Stream {
    int socket;
    std::string path;
    dev_t dev;
    ino_t ino;
    uint64_t end;  // the file must be at least this long
  };
  int AnswerMedia(void* connection, const std::string& path);
  int AnswerStylesheet(void* connection);
  HttpAnswer AnswerOnWorker(const HttpRequest& request);
  int AnswerGetOrHead(void* connection, const char* url);
  int Dispatch(void* connection, Request* request);
  void HandlerWork();
  std::string ServerName();
  void Watch(void* connection, int fd, uint64_t end);
  void Forget(void* connection);
  void CutShrunkStreams();
  void CutSlowHeads();
  void AcceptLoop();
  int Listen(const std::string& address, uint16_t firstPort);

  EventCallback callback_;
  void* context_;
  Worker workers_[kThreads];
  int listenFd_ = -1;
  int wakeFd_ = -1;  // eventfd: Stop wakes the accepting thread
  std::thread acceptor_;
  uint16_t port_ = 0;

  // Guards streams_. A stream leaves the map when its request completes,
  // before the library closes the socket, so a socket is only ever shut
  // down while it is still that stream's.
  std::mutex streamsMutex_;
  std::unordered_map<void*, Stream> streams_;  // by connection

  std::mutex nameMutex_;  // guards serverName_
  std::string serverName_;

  HttpHandler* handler_ = nullptr;
  std::chrono::milliseconds headTimeout_{std::chrono::seconds(kHeadSeconds)};
  std::vector<std::string> ownNames_;  // set by Start, read-only while running
  std::string address_;                // likewise

  // Guards the two below. Connections waiting for their request's head, by
  // the time it is due, and connections held by each host.
  std::mutex connectionsMutex_;
  struct Waiting {
    int socket;
    std::chrono::steady_clock::time_point due;
  };
  std::unordered_map<void*, Waiting> heads_;
  std::map<in_addr_t, unsigned> perHost_;

  // The handler's workers and the suspended requests that wait for them.
  std::mutex jobsMutex_;  // guards jobs_ and stopping_
  std::condition_variable jobsWake_;
  std::deque<std::pair<void*, Request*>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> handlerThreads_;
};

}  // namespace tovaly
