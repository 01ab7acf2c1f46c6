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
// the same thread cuts streams whose file shrank.
//
// Served, to GET and HEAD: /media/<percent-encoded path> with one byte
// range; the phone page: / (the shared folder), /browse/<path>/ (a folder),
// /play/<path> (a file), /style.css.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "core/event_callback.h"

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
  // Connections open now.
  unsigned connections() const;

  // How often streams are checked for files that shrank under them.
  static constexpr unsigned kShrinkCheckMillis = 500;

  // The libmicrohttpd entry points; public for the C trampolines only.
  int Answer(void* connection, const char* url, const char* method);
  void Forget(void* connection);
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
  int AnswerPage(void* connection, const char* url);
  std::string ServerName();
  void Watch(void* connection, int fd, uint64_t end);
  void CutShrunkStreams();
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
};

}  // namespace tovaly
