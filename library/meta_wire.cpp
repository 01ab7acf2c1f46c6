#include "library/meta_wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/clock.h"
#include "core/text.h"

namespace tovaly {
namespace {

constexpr uint8_t kFactsVersion = 1;
constexpr size_t kMaxText = 4096;

class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) { Raw(&v, 2); }
  void U32(uint32_t v) { Raw(&v, 4); }
  void I64(int64_t v) { Raw(&v, 8); }
  void Text(const std::string& s) {
    const size_t n = s.size() < kMaxText ? s.size() : kMaxText;
    U16(static_cast<uint16_t>(n));
    out_.append(s, 0, n);
  }
  std::string& out() { return out_; }

 private:
  void Raw(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }  // little-endian hosts only
  std::string out_;
};

class Reader {
 public:
  explicit Reader(const std::string& in) : in_(in) {}
  bool U8(uint8_t* v) { return Raw(v, 1); }
  bool U16(uint16_t* v) { return Raw(v, 2); }
  bool U32(uint32_t* v) { return Raw(v, 4); }
  bool I32(int32_t* v) { return Raw(v, 4); }
  bool I64(int64_t* v) { return Raw(v, 8); }
  bool Text(std::string* s) {
    uint16_t n = 0;
    if (!U16(&n) || n > kMaxText || n > in_.size() - pos_) return false;
    s->assign(in_, pos_, n);
    pos_ += n;
    if (!IsValidUtf8(*s)) *s = XmlSafe(*s);
    return true;
  }
  bool Bytes(std::string* s, size_t max) {
    uint32_t n = 0;
    if (!U32(&n) || n > max || n > in_.size() - pos_) return false;
    s->assign(in_, pos_, n);
    pos_ += n;
    return true;
  }
  bool AtEnd() const { return pos_ == in_.size(); }
  size_t Consumed() const { return pos_; }

 private:
  bool Raw(void* p, size_t n) {
    if (n > in_.size() - pos_) return false;
    memcpy(p, in_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  const std::string& in_;
  size_t pos_ = 0;
};

// A DLNA.ORG_PN goes into protocolInfo as it is: capitals, digits and "_".
bool PlainProfileName(const std::string& s) {
  for (char c : s) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return s.size() <= 64;
}

void WriteFacts(Writer& w, const MediaFacts& f) {
  w.U8(kFactsVersion);
  w.U8(f.kind);
  w.U8(static_cast<uint8_t>((f.unreadable ? 1 : 0) | (f.hasArt ? 2 : 0) | (f.hasThumbnail ? 4 : 0)));
  for (const std::string* s : {&f.title, &f.artist, &f.albumArtist, &f.album, &f.genre, &f.date, &f.container,
                               &f.videoCodec, &f.videoProfile, &f.audioCodec, &f.dlnaProfile}) {
    w.Text(*s);
  }
  w.U32(f.track);
  w.I64(f.durationMs);
  w.U32(f.bitrate);
  w.U32(f.sampleRate);
  w.U16(f.channels);
  w.U16(f.bitsPerSample);
  w.U32(f.width);
  w.U32(f.height);
  w.U16(f.orientation);
  w.U32(f.frameRateNum);
  w.U32(f.frameRateDen);
  w.U32(static_cast<uint32_t>(f.videoLevel));
}

bool ReadFacts(Reader& r, MediaFacts* out) {
  MediaFacts f;
  uint8_t version = 0, kind = 0, flags = 0;
  if (!r.U8(&version) || version != kFactsVersion || !r.U8(&kind) || kind > MediaFacts::kImage || !r.U8(&flags) ||
      flags > 7) {
    return false;
  }
  f.kind = static_cast<MediaFacts::Kind>(kind);
  f.unreadable = flags & 1;
  f.hasArt = flags & 2;
  f.hasThumbnail = flags & 4;
  for (std::string* s : {&f.title, &f.artist, &f.albumArtist, &f.album, &f.genre, &f.date, &f.container,
                         &f.videoCodec, &f.videoProfile, &f.audioCodec, &f.dlnaProfile}) {
    if (!r.Text(s)) return false;
  }
  if (!r.U32(&f.track) || !r.I64(&f.durationMs) || !r.U32(&f.bitrate) || !r.U32(&f.sampleRate) ||
      !r.U16(&f.channels) || !r.U16(&f.bitsPerSample) || !r.U32(&f.width) || !r.U32(&f.height) ||
      !r.U16(&f.orientation) || !r.U32(&f.frameRateNum) || !r.U32(&f.frameRateDen) || !r.I32(&f.videoLevel)) {
    return false;
  }
  if (f.durationMs < -1 || f.orientation > 8 || !PlainProfileName(f.dlnaProfile)) return false;
  *out = std::move(f);
  return true;
}

}  // namespace

std::string EncodeFacts(const MediaFacts& facts) {
  Writer w;
  WriteFacts(w, facts);
  return std::move(w.out());
}

bool DecodeFacts(const std::string& bytes, MediaFacts* facts) {
  Reader r(bytes);
  MediaFacts f;
  if (!ReadFacts(r, &f) || !r.AtEnd()) return false;
  *facts = std::move(f);
  return true;
}

std::string EncodeReply(const MediaFacts* facts, const std::string& jpeg) {
  Writer w;
  w.U8(facts ? 1 : 0);
  if (facts) WriteFacts(w, *facts);
  w.U32(static_cast<uint32_t>(jpeg.size()));
  w.out().append(jpeg);
  return std::move(w.out());
}

bool DecodeReply(const std::string& bytes, MediaFacts* facts, bool* hasFacts, std::string* jpeg) {
  Reader r(bytes);
  uint8_t has = 0;
  MediaFacts f;
  if (!r.U8(&has) || has > 1 || (has && !ReadFacts(r, &f)) || !r.Bytes(jpeg, kMaxMetaReply) || !r.AtEnd()) {
    return false;
  }
  *hasFacts = has == 1;
  if (has) *facts = std::move(f);
  return true;
}

bool SendMetaRequest(int sock, int fd, uint8_t want, const std::string& name) {
  if (name.size() > kMaxMetaName) return false;
  std::string body(1, static_cast<char>(want));
  body += name;
  iovec iov{&body[0], body.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &fd, sizeof fd);
  ssize_t n;
  do {
    n = sendmsg(sock, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(body.size());
}

ReplyStatus ReceiveMetaReply(int sock, uint64_t deadlineMicros, std::string* reply) {
  for (;;) {
    const uint64_t now = MonotonicMicros();
    if (now >= deadlineMicros) return ReplyStatus::kTimeout;
    const uint64_t waitMs = (deadlineMicros - now + 999) / 1000;
    pollfd p{sock, POLLIN, 0};
    const int rc = poll(&p, 1, static_cast<int>(waitMs > 60000 ? 60000 : waitMs));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return ReplyStatus::kBroken;
    if (rc == 0) continue;
    break;
  }
  reply->resize(kMaxMetaReply + 1);
  iovec iov{&(*reply)[0], reply->size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  // No room for control data: a descriptor the helper sends is dropped by
  // the kernel, never received.
  ssize_t n;
  do {
    n = recvmsg(sock, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n <= 0 || (msg.msg_flags & MSG_TRUNC) || static_cast<size_t>(n) > kMaxMetaReply) return ReplyStatus::kBroken;
  reply->resize(static_cast<size_t>(n));
  return ReplyStatus::kOk;
}

bool ReceiveMetaRequest(int sock, int* fd, uint8_t* want, std::string* name) {
  *fd = -1;
  std::string body(kMaxMetaName + 2, '\0');
  iovec iov{&body[0], body.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int got;
      memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof got);
      if (*fd < 0) {
        *fd = got;
      } else {
        close(got);
      }
    }
  }
  if ((msg.msg_flags & MSG_TRUNC) || n < 1) {
    *want = 0;
    name->clear();
    return true;  // answered as a request for nothing
  }
  *want = static_cast<uint8_t>(body[0]);
  name->assign(body, 1, static_cast<size_t>(n) - 1);
  return true;
}

bool SendMetaReply(int sock, const std::string& reply) {
  ssize_t n;
  do {
    n = send(sock, reply.data(), reply.size(), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(reply.size());
}

}  // namespace tovaly
