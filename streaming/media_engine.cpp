#include "streaming/media_engine.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/media_object.h"
#include "core/trace.h"
#include "streaming/http_request.h"
#include "streaming/phone_page.h"

namespace tovaly {
namespace {

const char kMediaPrefix[] = "/media/";

// What a browser may do with anything served here: only what comes from
// here, and never guess a type (a shared .html file stays inert text when
// it is served as what its name says).
void AddSafetyHeaders(MHD_Response* r) {
  MHD_add_response_header(r, "Content-Security-Policy", "default-src 'self'; media-src 'self'; img-src 'self'");
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
}

MHD_Result Queue(MHD_Connection* c, unsigned status, MHD_Response* response) {
  if (!response) return MHD_NO;  // out of memory: the connection is closed
  const MHD_Result rc = MHD_queue_response(c, status, response);
  MHD_destroy_response(response);
  return rc;
}

// A short answer without a file: the status line says it all.
MHD_Result QueueStatus(MHD_Connection* c, unsigned status, const char* header = nullptr, const char* value = nullptr) {
  MHD_Response* r = MHD_create_response_from_buffer(0, const_cast<char*>(""), MHD_RESPMEM_PERSISTENT);
  if (r && header) MHD_add_response_header(r, header, value);
  return Queue(c, status, r);
}

MHD_Result AccessTrampoline(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                            const char*, size_t* uploadSize, void** state) {
  const bool getOrHead = strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (getOrHead && !*state) {
    // Answered once the whole request is in: a response queued earlier
    // makes the library close the connection afterwards (no keep-alive).
    static int seen;
    *state = &seen;
    return MHD_YES;
  }
  if (getOrHead && *uploadSize) {
    *uploadSize = 0;  // a body on a GET means nothing here
    return MHD_YES;
  }
  try {
    return static_cast<MediaEngine*>(cls)->Answer(c, url, method) ? MHD_YES : MHD_NO;
  } catch (...) {
    return MHD_NO;  // out of memory: this connection is closed, the others go on
  }
}

void ConnectionTrampoline(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  auto* worker = static_cast<MediaEngine::Worker*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    ++worker->connections;
  } else {
    worker->engine->Forget(c);
    --worker->connections;
  }
}

void CompletedTrampoline(void* cls, MHD_Connection* c, void**, MHD_RequestTerminationCode) {
  static_cast<MediaEngine::Worker*>(cls)->engine->Forget(c);
}

// What a connection beyond the limit gets before it is closed.
const char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 10\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// The path is decoded by us (DecodeRequestPath), exactly once, so that a
// malformed or NUL escape is refused instead of cutting the path short.
size_t KeepEscapes(void*, MHD_Connection*, char* s) { return strlen(s); }

void LogTrampoline(void*, const char* format, va_list args) {
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  DebugTrace("--- media engine: %s", text);
}

}  // namespace

MediaEngine::MediaEngine(EventCallback callback, void* context) : callback_(callback), context_(context) {
  for (Worker& w : workers_) w.engine = this;
}

MediaEngine::~MediaEngine() { Stop(); }

int MediaEngine::Listen(const std::string& address, uint16_t firstPort) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return EINVAL;
  for (unsigned i = 0; i < kPortsTried && firstPort + i <= 65535; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sa.sin_port = htons(static_cast<uint16_t>(firstPort + i));
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, 128) == 0) {
      listenFd_ = fd;
      port_ = static_cast<uint16_t>(firstPort + i);
      return 0;
    }
    const int err = errno;
    close(fd);
    // Only a port in use is worth the next try; anything else fails the
    // same way on every port.
    if (err != EADDRINUSE) return err;
  }
  return EADDRINUSE;
}

int MediaEngine::Start(const std::string& address, uint16_t firstPort) {
  if (listenFd_ >= 0) return EALREADY;
  int err = Listen(address, firstPort);
  if (err != 0) return err;
  for (Worker& w : workers_) {
    w.daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC | MHD_USE_ERROR_LOG, 0, nullptr,
        nullptr, &AccessTrampoline, this, MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnections),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kIdleTimeoutSeconds), MHD_OPTION_NOTIFY_CONNECTION,
        &ConnectionTrampoline, &w, MHD_OPTION_NOTIFY_COMPLETED, &CompletedTrampoline, &w,
        MHD_OPTION_UNESCAPE_CALLBACK, &KeepEscapes, nullptr, MHD_OPTION_EXTERNAL_LOGGER, &LogTrampoline, nullptr,
        MHD_OPTION_END);
    if (!w.daemon) err = errno ? errno : ENOMEM;
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC);
  if (wakeFd_ < 0) err = errno;
  if (err != 0) {
    Stop();
    return err;
  }
  acceptor_ = std::thread(&MediaEngine::AcceptLoop, this);
  return 0;
}

void MediaEngine::Stop() {
  if (acceptor_.joinable()) {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
      // An eventfd write fails only on overflow, which one write cannot reach.
    }
    acceptor_.join();
  }
  if (wakeFd_ >= 0) close(wakeFd_);
  if (listenFd_ >= 0) close(listenFd_);
  wakeFd_ = listenFd_ = -1;
  // Every connection closes; streams in flight end at once.
  for (Worker& w : workers_) {
    if (w.daemon) MHD_stop_daemon(w.daemon);
    w.daemon = nullptr;
  }
  port_ = 0;
  std::lock_guard<std::mutex> lock(streamsMutex_);
  streams_.clear();
}

void MediaEngine::AcceptLoop() {
  pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  auto lastCheck = std::chrono::steady_clock::now();
  for (;;) {
    poll(fds, 2, static_cast<int>(kShrinkCheckMillis));
    if (fds[1].revents) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCheck >= std::chrono::milliseconds(kShrinkCheckMillis)) {
      lastCheck = now;
      CutShrunkStreams();
    }
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory: the connection waits in the backlog;
      // pause rather than spin on it.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) poll(fds + 1, 1, 100);
      continue;
    }
    Worker* least = &workers_[0];
    for (Worker& w : workers_) {
      if (w.connections.load() < least->connections.load()) least = &w;
    }
    if (connections() >= kMaxConnections) {
      // Refused at once, never left waiting. The answer fits any socket
      // buffer, so the send cannot block.
      send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      close(fd);
      continue;
    }
    // The library owns the socket from here, and closes it on failure too.
    MHD_add_connection(least->daemon, fd, reinterpret_cast<sockaddr*>(&peer), len);
  }
}

unsigned MediaEngine::connections() const {
  unsigned n = 0;
  for (const Worker& w : workers_) n += w.connections.load();
  return n;
}

void MediaEngine::Watch(void* connection, int fd, uint64_t end) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(static_cast<MHD_Connection*>(connection), MHD_CONNECTION_INFO_CONNECTION_FD);
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target);
  struct stat st{};
  if (!info || n <= 0 || static_cast<size_t>(n) >= sizeof target || fstat(fd, &st) != 0) return;
  std::lock_guard<std::mutex> lock(streamsMutex_);
  streams_[connection] = Stream{info->connect_fd, std::string(target, static_cast<size_t>(n)), st.st_dev, st.st_ino, end};
}

void MediaEngine::Forget(void* connection) {
  std::lock_guard<std::mutex> lock(streamsMutex_);
  streams_.erase(connection);
}

void MediaEngine::CutShrunkStreams() {
  std::lock_guard<std::mutex> lock(streamsMutex_);
  for (auto it = streams_.begin(); it != streams_.end();) {
    struct stat st{};
    // Another file in its place, or none: the descriptor still reads the old
    // one to its end.
    const bool shrank = stat(it->second.path.c_str(), &st) == 0 && st.st_dev == it->second.dev &&
                        st.st_ino == it->second.ino && static_cast<uint64_t>(st.st_size) < it->second.end;
    if (shrank) {
      DebugTrace("--- media engine: %s shrank while streaming; the stream ends", it->second.path.c_str());
      shutdown(it->second.socket, SHUT_RDWR);
      it = streams_.erase(it);
    } else {
      ++it;
    }
  }
}

int MediaEngine::Answer(void* connection, const char* url, const char* method) {
  auto* c = static_cast<MHD_Connection*>(connection);
  // HEAD gets the same head as GET and no body: the library leaves it out.
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return QueueStatus(c, MHD_HTTP_METHOD_NOT_ALLOWED, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  bool full;
  {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    full = streams_.size() >= kMaxStreams;
  }
  if (full) {
    MHD_Response* r = MHD_create_response_from_buffer(0, const_cast<char*>(""), MHD_RESPMEM_PERSISTENT);
    if (r) {
      MHD_add_response_header(r, MHD_HTTP_HEADER_RETRY_AFTER, "10");
      MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
    }
    return Queue(c, MHD_HTTP_SERVICE_UNAVAILABLE, r);
  }
  if (!url) return QueueStatus(c, MHD_HTTP_NOT_FOUND);
  if (strncmp(url, kMediaPrefix, sizeof kMediaPrefix - 1) != 0) return AnswerPage(c, url);
  std::string path;
  if (!DecodeRequestPath(url + sizeof kMediaPrefix - 1, &path)) return QueueStatus(c, MHD_HTTP_BAD_REQUEST);
  return AnswerMedia(c, path);
}

int MediaEngine::AnswerMedia(void* connection, const std::string& path) {
  auto* c = static_cast<MHD_Connection*>(connection);
  FileOpenRequest open{path.c_str(), 0};
  if (!callback_ || !callback_(context_, kRequestFileOpen, &open) || open.fd < 0) {
    return QueueStatus(c, MHD_HTTP_NOT_FOUND);
  }
  struct stat st{};
  if (fstat(open.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(open.fd);
    return QueueStatus(c, MHD_HTTP_NOT_FOUND);
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const ByteRange range =
      ParseRange(MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_RANGE), size);

  MHD_Response* r = nullptr;
  unsigned status = MHD_HTTP_OK;
  char contentRange[96];
  if (range.kind == ByteRange::kUnsatisfiable) {
    close(open.fd);
    snprintf(contentRange, sizeof contentRange, "bytes */%llu", static_cast<unsigned long long>(size));
    return QueueStatus(c, MHD_HTTP_RANGE_NOT_SATISFIABLE, MHD_HTTP_HEADER_CONTENT_RANGE, contentRange);
  }
  if (range.length == 0) {
    close(open.fd);  // an empty file: nothing to send from it
    r = MHD_create_response_from_buffer(0, const_cast<char*>(""), MHD_RESPMEM_PERSISTENT);
  } else {
    // The response owns the descriptor from here, and closes it when the
    // transfer ends. A file that shrinks meanwhile ends the body short and
    // closes the connection.
    r = MHD_create_response_from_fd_at_offset64(range.length, open.fd, static_cast<uint64_t>(range.first));
    if (!r) {
      close(open.fd);
    } else {
      Watch(c, open.fd, range.first + range.length);
    }
  }
  if (!r) return MHD_NO;
  if (range.kind == ByteRange::kPartial) {
    status = MHD_HTTP_PARTIAL_CONTENT;
    snprintf(contentRange, sizeof contentRange, "bytes %llu-%llu/%llu", static_cast<unsigned long long>(range.first),
             static_cast<unsigned long long>(range.first + range.length - 1), static_cast<unsigned long long>(size));
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_RANGE, contentRange);
  }
  const char* type = open.contentType ? open.contentType : "application/octet-stream";
  const DlnaHeaders dlna = DlnaHeadersFor(type);
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(r, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
  MHD_add_response_header(r, MHD_HTTP_HEADER_LAST_MODIFIED, HttpDate(st.st_mtime).c_str());
  MHD_add_response_header(r, "contentFeatures.dlna.org", dlna.contentFeatures);
  MHD_add_response_header(r, "transferMode.dlna.org", dlna.transferMode);
  AddSafetyHeaders(r);
  return Queue(c, status, r);
}

void MediaEngine::SetServerName(const std::string& name) {
  std::lock_guard<std::mutex> lock(nameMutex_);
  serverName_ = name;
}

std::string MediaEngine::ServerName() {
  std::lock_guard<std::mutex> lock(nameMutex_);
  return serverName_.empty() ? "Shared folder" : serverName_;
}

int MediaEngine::AnswerPage(void* connection, const char* url) {
  auto* c = static_cast<MHD_Connection*>(connection);
  if (strcmp(url, "/style.css") == 0) {
    MHD_Response* r = MHD_create_response_from_buffer(strlen(PhonePageStylesheet()),
                                                      const_cast<char*>(PhonePageStylesheet()), MHD_RESPMEM_PERSISTENT);
    if (r) {
      MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/css; charset=utf-8");
      MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "max-age=3600");
      AddSafetyHeaders(r);
    }
    return Queue(c, MHD_HTTP_OK, r);
  }
  const std::string name = ServerName();
  std::string html;
  unsigned status = MHD_HTTP_OK;
  const PhoneRoute route = ParsePhoneRoute(url);
  const std::string& id = route.id;
  if (route.kind == PhoneRoute::kBadRequest) return QueueStatus(c, MHD_HTTP_BAD_REQUEST);

  if (route.kind == PhoneRoute::kFolder) {
    FolderPage page;
    page.serverName = name;
    page.folderId = id;
    page.page = PhonePageNumber(MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "page"));
    MediaObjectList list;
    BrowseChildrenRequest ask{id.c_str(), (page.page - 1) * kPhonePageSize, kPhonePageSize, &list, kMediaPrefix};
    page.total = callback_ ? callback_(context_, kRequestBrowseChildren, &ask) : -1;
    if (page.total < 0) {
      status = MHD_HTTP_NOT_FOUND;
      html = RenderNotFoundPage(name);
    } else {
      page.entries = std::move(list.objects);
      html = RenderFolderPage(page);
    }
  } else if (route.kind == PhoneRoute::kItem) {
    MediaObject object;
    BrowseMetadataRequest ask{id.c_str(), &object, kMediaPrefix};
    if (callback_ && callback_(context_, kRequestBrowseMetadata, &ask) && object.objectClass != kClassContainer) {
      html = RenderItemPage(name, object);
    } else {
      status = MHD_HTTP_NOT_FOUND;
      html = RenderNotFoundPage(name);
    }
  } else {
    status = MHD_HTTP_NOT_FOUND;
    html = RenderNotFoundPage(name);
  }
  MHD_Response* r = MHD_create_response_from_buffer(html.size(), html.data(), MHD_RESPMEM_MUST_COPY);
  if (r) {
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html; charset=utf-8");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    AddSafetyHeaders(r);
  }
  return Queue(c, status, r);
}

}  // namespace tovaly
