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
#include <cctype>
#include <cstdlib>
#include <memory>
#include <chrono>
#include <climits>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/media_object.h"
#include "core/text.h"
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
                            const char* upload, size_t* uploadSize, void** state) {
  try {
    return static_cast<MediaEngine*>(cls)->Access(c, url, method, upload, uploadSize, state) ? MHD_YES : MHD_NO;
  } catch (...) {
    return MHD_NO;  // out of memory: this connection is closed, the others go on
  }
}

void ConnectionTrampoline(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  auto* worker = static_cast<MediaEngine::Worker*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    ++worker->connections;
    worker->engine->Opened(c);
  } else {
    worker->engine->Closed(c);
    --worker->connections;
  }
}

void CompletedTrampoline(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode code) {
  static_cast<MediaEngine::Worker*>(cls)->engine->Completed(c, state, code == MHD_REQUEST_TERMINATED_COMPLETED_OK);
}

MHD_Result CollectArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<HttpRequest*>(cls)->arguments.emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

// Copies the request's headers, names in lower case.
MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  std::string name = key ? key : "";
  for (char& ch : name) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  static_cast<HttpRequest*>(cls)->headers.emplace_back(std::move(name), value ? value : "");
  return MHD_YES;
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
  ownNames_ = OwnHostNames();
  address_ = address;
  {
    std::lock_guard<std::mutex> lk(jobsMutex_);
    stopping_ = false;
  }
  for (unsigned i = 0; i < kHandlerThreads; ++i) handlerThreads_.emplace_back(&MediaEngine::HandlerWork, this);
  for (Worker& w : workers_) {
    w.daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC | MHD_USE_ERROR_LOG |
            MHD_ALLOW_SUSPEND_RESUME,
        0, nullptr,
        nullptr, &AccessTrampoline, this, MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnections),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kIdleTimeoutSeconds), MHD_OPTION_NOTIFY_CONNECTION,
        &ConnectionTrampoline, &w, MHD_OPTION_NOTIFY_COMPLETED, &CompletedTrampoline, &w,
        MHD_OPTION_UNESCAPE_CALLBACK, &KeepEscapes, nullptr, MHD_OPTION_EXTERNAL_LOGGER, &LogTrampoline, nullptr,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(32 * 1024), MHD_OPTION_END);
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
  // The handler's workers finish what runs; what waits is answered 503.
  // Either way every suspended connection is resumed before its server goes.
  {
    std::lock_guard<std::mutex> lk(jobsMutex_);
    stopping_ = true;
  }
  jobsWake_.notify_all();
  for (std::thread& t : handlerThreads_) t.join();
  handlerThreads_.clear();
  // Every connection closes; streams in flight end at once.
  for (Worker& w : workers_) {
    if (w.daemon) MHD_stop_daemon(w.daemon);
    w.daemon = nullptr;
  }
  port_ = 0;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    heads_.clear();
    perHost_.clear();
  }
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
      CutSlowHeads();
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
    const in_addr_t host =
        peer.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&peer)->sin_addr.s_addr : INADDR_NONE;
    bool refused = connections() >= kMaxConnections;
    if (!refused) {
      std::lock_guard<std::mutex> lk(connectionsMutex_);
      refused = perHost_[host] >= kMaxConnectionsPerHost;
      if (!refused) ++perHost_[host];
    }
    if (refused) {
      // Refused at once, never left waiting. The answer fits any socket
      // buffer, so the send cannot block.
      send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      close(fd);
      continue;
    }
    // The library owns the socket from here, and closes it on failure too;
    // then it never counts as opened, so the host's share is given back here.
    if (MHD_add_connection(least->daemon, fd, reinterpret_cast<sockaddr*>(&peer), len) != MHD_YES) {
      std::lock_guard<std::mutex> lk(connectionsMutex_);
      if (--perHost_[host] == 0) perHost_.erase(host);
    }
  }
}

unsigned MediaEngine::connections() const {
  unsigned n = 0;
  for (const Worker& w : workers_) n += w.connections.load();
  return n;
}

size_t MediaEngine::waitingRequests() {
  std::lock_guard<std::mutex> lk(jobsMutex_);
  return jobs_.size();
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

// What a request is, kept from its head to its end.
struct MediaEngine::Request {
  // Answered on a worker: the handler's paths, and the engine's own answers
  // that may wait on the disk or the metadata (pages, pictures, WebVTT).
  bool forHandler = false;
  std::function<HttpAnswer(const HttpRequest&)> work;
  bool tooLarge = false;
  bool dispatched = false;
  HttpRequest http;
  std::unique_ptr<HttpAnswer> answer;  // set by a handler worker
  std::function<void()> afterSent;
};

void MediaEngine::Opened(void* connection) {
  auto* c = static_cast<MHD_Connection*>(connection);
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (!info) return;
  std::lock_guard<std::mutex> lk(connectionsMutex_);
  heads_[connection] = Waiting{info->connect_fd, std::chrono::steady_clock::now() + headTimeout_};
}

void MediaEngine::Closed(void* connection) {
  Forget(connection);
  auto* c = static_cast<MHD_Connection*>(connection);
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  std::lock_guard<std::mutex> lk(connectionsMutex_);
  heads_.erase(connection);
  const in_addr_t host = info && info->client_addr->sa_family == AF_INET
                             ? reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr.s_addr
                             : INADDR_NONE;
  auto it = perHost_.find(host);
  if (it != perHost_.end() && --it->second == 0) perHost_.erase(it);
}

void MediaEngine::Completed(void* connection, void** state, bool sent) {
  Forget(connection);
  auto* request = static_cast<Request*>(*state);
  *state = nullptr;
  if (request && sent && request->afterSent) request->afterSent();
  delete request;
  // A connection kept open waits for its next request's head as for the first.
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(static_cast<MHD_Connection*>(connection), MHD_CONNECTION_INFO_CONNECTION_FD);
  if (!info) return;
  std::lock_guard<std::mutex> lk(connectionsMutex_);
  heads_[connection] = Waiting{info->connect_fd, std::chrono::steady_clock::now() + headTimeout_};
}

void MediaEngine::CutSlowHeads() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lk(connectionsMutex_);
  for (auto it = heads_.begin(); it != heads_.end();) {
    if (it->second.due <= now) {
      shutdown(it->second.socket, SHUT_RDWR);  // the library sees the end and closes it
      it = heads_.erase(it);
    } else {
      ++it;
    }
  }
}

int MediaEngine::Access(void* connection, const char* url, const char* method, const char* upload,
                        size_t* uploadSize, void** state) {
  auto* c = static_cast<MHD_Connection*>(connection);
  auto* request = static_cast<Request*>(*state);
  if (!request) {
    // The head is in.
    {
      std::lock_guard<std::mutex> lk(connectionsMutex_);
      heads_.erase(connection);
    }
    request = new Request;
    *state = request;
    if (!HostAllowed(MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST), ownNames_)) {
      return QueueStatus(c, MHD_HTTP_FORBIDDEN);
    }
    const std::string path = url ? url : "";
    const bool getOrHead = strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (handler_ && handler_->Serves(path)) {
      request->work = [h = handler_](const HttpRequest& r) { return h->Answer(r); };
    } else if (!getOrHead) {
      return QueueStatus(c, MHD_HTTP_METHOD_NOT_ALLOWED, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    } else if (path.compare(0, sizeof kMediaPrefix - 1, kMediaPrefix) != 0 && path != "/style.css") {
      request->work = [this](const HttpRequest& r) { return AnswerOnWorker(r); };
    }
    request->forHandler = static_cast<bool>(request->work);
    if (request->forHandler) {
      const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length && strtoull(length, nullptr, 10) > kMaxBodyBytes) return QueueStatus(c, MHD_HTTP_CONTENT_TOO_LARGE);
      request->http.method = method;
      request->http.path = path;
    }
    // Answered once the whole request is in: a response queued earlier
    // makes the library close the connection afterwards.
    return MHD_YES;
  }
  if (*uploadSize) {
    if (request->forHandler && !request->tooLarge) {
      if (request->http.body.size() + *uploadSize > kMaxBodyBytes) {
        request->tooLarge = true;
        request->http.body.clear();
      } else {
        request->http.body.append(upload, *uploadSize);
      }
    }
    *uploadSize = 0;  // a body on a GET means nothing here
    return MHD_YES;
  }
  if (!request->forHandler) return AnswerGetOrHead(connection, url);
  if (request->tooLarge) return QueueStatus(c, MHD_HTTP_CONTENT_TOO_LARGE);
  if (request->answer) {
    HttpAnswer& a = *request->answer;
    MHD_Response* r = MHD_create_response_from_buffer(a.body.size(), a.body.data(), MHD_RESPMEM_MUST_COPY);
    if (r) {
      if (!a.contentType.empty()) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, a.contentType.c_str());
      for (const auto& h : a.headers) MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
      AddSafetyHeaders(r);
    }
    request->afterSent = std::move(a.afterSent);
    return Queue(c, a.status, r);
  }
  if (request->dispatched) return MHD_YES;  // resumed without an answer: cannot happen
  return Dispatch(connection, request);
}

int MediaEngine::Dispatch(void* connection, Request* request) {
  auto* c = static_cast<MHD_Connection*>(connection);
  MHD_get_connection_values(c, MHD_HEADER_KIND, &CollectHeader, &request->http);
  MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, &CollectArgument, &request->http);
  const MHD_ConnectionInfo* peer = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (peer && peer->client_addr->sa_family == AF_INET) {
    request->http.peer = *reinterpret_cast<const sockaddr_in*>(peer->client_addr);
  }
  const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  socklen_t len = sizeof request->http.local;
  if (fd) getsockname(fd->connect_fd, reinterpret_cast<sockaddr*>(&request->http.local), &len);
  {
    std::lock_guard<std::mutex> lk(jobsMutex_);
    if (stopping_ || jobs_.size() >= kMaxWaitingRequests) {
      MHD_Response* r = MHD_create_response_from_buffer(0, const_cast<char*>(""), MHD_RESPMEM_PERSISTENT);
      if (r) MHD_add_response_header(r, MHD_HTTP_HEADER_RETRY_AFTER, "10");
      return Queue(c, MHD_HTTP_SERVICE_UNAVAILABLE, r);
    }
    request->dispatched = true;
    MHD_suspend_connection(c);
    jobs_.emplace_back(connection, request);
  }
  jobsWake_.notify_one();
  return MHD_YES;
}

void MediaEngine::HandlerWork() {
  std::unique_lock<std::mutex> lk(jobsMutex_);
  for (;;) {
    jobsWake_.wait(lk, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing waits any more
    const auto [connection, request] = jobs_.front();
    jobs_.pop_front();
    const bool stopping = stopping_;
    lk.unlock();
    auto answer = std::make_unique<HttpAnswer>();
    if (stopping) {
      answer->status = MHD_HTTP_SERVICE_UNAVAILABLE;
    } else {
      try {
        *answer = request->work(request->http);
      } catch (...) {
        *answer = HttpAnswer();
        answer->status = MHD_HTTP_INTERNAL_SERVER_ERROR;
      }
    }
    request->answer = std::move(answer);
    MHD_resume_connection(static_cast<MHD_Connection*>(connection));
    lk.lock();
  }
}

int MediaEngine::AnswerGetOrHead(void* connection, const char* url) {
  auto* c = static_cast<MHD_Connection*>(connection);
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
  if (strncmp(url, kMediaPrefix, sizeof kMediaPrefix - 1) != 0) return AnswerStylesheet(c);
  std::string path;
  if (!DecodeRequestPath(url + sizeof kMediaPrefix - 1, &path)) return QueueStatus(c, MHD_HTTP_BAD_REQUEST);
  return AnswerMedia(c, path);
}

int MediaEngine::AnswerMedia(void* connection, const std::string& path) {
  auto* c = static_cast<MHD_Connection*>(connection);
  FileOpenRequest open{path.c_str(), 0};
  // A Samsung TV that was handed a video asks where its subtitles are.
  const char* caption = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "getCaptionInfo.sec");
  open.wantSubtitle = caption && strcmp(caption, "1") == 0;
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
  if (!open.subtitle.empty()) {
    const std::string url = "http://" + address_ + ":" + std::to_string(port_) + kMediaPrefix + PercentEncodePath(open.subtitle);
    MHD_add_response_header(r, "CaptionInfo.sec", url.c_str());
  }
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

int MediaEngine::AnswerStylesheet(void* connection) {
  auto* c = static_cast<MHD_Connection*>(connection);
  MHD_Response* r = MHD_create_response_from_buffer(strlen(PhonePageStylesheet()),
                                                    const_cast<char*>(PhonePageStylesheet()), MHD_RESPMEM_PERSISTENT);
  if (r) {
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/css; charset=utf-8");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "max-age=3600");
    AddSafetyHeaders(r);
  }
  return Queue(c, MHD_HTTP_OK, r);
}

namespace {

HttpAnswer Plain(unsigned status) {
  HttpAnswer a;
  a.status = status;
  return a;
}

// A small file read whole: a picture or a subtitle file, never a stream.
bool ReadSmall(int fd, size_t limit, std::string* out) {
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit) return false;
  out->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out->size()) {
    const ssize_t n = pread(fd, &(*out)[got], out->size() - got, static_cast<off_t>(got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out->resize(got);
  return true;
}

}  // namespace

HttpAnswer MediaEngine::AnswerOnWorker(const HttpRequest& request) {
  static const char kArt[] = "/art/", kVtt[] = "/vtt/";
  const std::string& url = request.path;
  if (url.compare(0, sizeof kArt - 1, kArt) == 0 || url.compare(0, sizeof kVtt - 1, kVtt) == 0) {
    const bool art = url[1] == 'a';
    std::string path;
    if (!DecodeRequestPath(url.c_str() + (sizeof kArt - 1), &path)) return Plain(MHD_HTTP_BAD_REQUEST);
    if (!art && !SubtitleConvertible(path)) return Plain(MHD_HTTP_NOT_FOUND);
    FileOpenRequest open{path.c_str(), 0};
    open.kind = art ? 1 : 0;
    if (!callback_ || !callback_(context_, kRequestFileOpen, &open) || open.fd < 0) return Plain(MHD_HTTP_NOT_FOUND);
    std::string body;
    const bool read = ReadSmall(open.fd, art ? (1 << 20) : kMaxSubtitleBytes, &body);
    close(open.fd);
    if (!read) return Plain(MHD_HTTP_NOT_FOUND);
    HttpAnswer a;
    if (art) {
      a.contentType = "image/jpeg";
      a.body = std::move(body);
      a.headers.emplace_back("contentFeatures.dlna.org",
                             "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=00F00000000000000000000000000000");
      a.headers.emplace_back("transferMode.dlna.org", "Interactive");
      a.headers.emplace_back(MHD_HTTP_HEADER_CACHE_CONTROL, "max-age=60");
    } else {
      a.contentType = "text/vtt; charset=utf-8";
      a.body = SubtitleToWebVtt(body);
      a.headers.emplace_back(MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    }
    return a;
  }

  const std::string name = ServerName();
  HttpAnswer a;
  a.contentType = "text/html; charset=utf-8";
  a.headers.emplace_back(MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
  const PhoneRoute route = ParsePhoneRoute(url.c_str());
  const std::string& id = route.id;
  if (route.kind == PhoneRoute::kBadRequest) return Plain(MHD_HTTP_BAD_REQUEST);
  if (route.kind == PhoneRoute::kFolder) {
    FolderPage page;
    page.serverName = name;
    page.folderId = id;
    const char* number = nullptr;
    for (const auto& arg : request.arguments) {
      if (arg.first == "page") number = arg.second.c_str();
    }
    page.page = PhonePageNumber(number);
    MediaObjectList list;
    BrowseChildrenRequest ask{id.c_str(), (page.page - 1) * kPhonePageSize, kPhonePageSize, &list, kMediaPrefix};
    page.total = callback_ ? callback_(context_, kRequestBrowseChildren, &ask) : -1;
    if (page.total < 0) {
      a.status = MHD_HTTP_NOT_FOUND;
      a.body = RenderNotFoundPage(name);
    } else {
      page.entries = std::move(list.objects);
      a.body = RenderFolderPage(page);
    }
  } else if (route.kind == PhoneRoute::kItem) {
    MediaObject object;
    BrowseMetadataRequest ask{id.c_str(), &object, kMediaPrefix};
    if (callback_ && callback_(context_, kRequestBrowseMetadata, &ask) && object.objectClass != kClassContainer) {
      a.body = RenderItemPage(name, object);
    } else {
      a.status = MHD_HTTP_NOT_FOUND;
      a.body = RenderNotFoundPage(name);
    }
  } else {
    a.status = MHD_HTTP_NOT_FOUND;
    a.body = RenderNotFoundPage(name);
  }
  return a;
}

}  // namespace tovaly
