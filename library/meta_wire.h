#pragma once
// What the server and its metadata helper (tovaly-meta) say to each other,
// and the form in which facts are kept on disk. One request and one answer
// each a datagram of a SOCK_SEQPACKET socket pair; the request carries the
// file as a read-only descriptor (SCM_RIGHTS), never a path.
//
// Everything read back, from the helper or from the disk cache, is checked
// as untrusted input: a helper that a crafted file took over can send any
// bytes.

#include <cstdint>
#include <string>

#include "core/media_facts.h"

namespace tovaly {

enum MetaWant : uint8_t { kWantFacts = 1, kWantImage = 2 };

constexpr size_t kMaxMetaName = 4096;
// An answer: the facts (a few KiB at most) and a JPEG of 160x160 at most.
constexpr size_t kMaxMetaReply = 128 * 1024;

std::string EncodeFacts(const MediaFacts& facts);
// False for anything malformed. Text that is not UTF-8 is made so.
bool DecodeFacts(const std::string& bytes, MediaFacts* facts);

// The helper's answer: facts when asked for, a JPEG when asked for and made.
std::string EncodeReply(const MediaFacts* facts, const std::string& jpeg);
bool DecodeReply(const std::string& bytes, MediaFacts* facts, bool* hasFacts, std::string* jpeg);

// Server side: sends the request (fd is duplicated into the helper, not
// given up). False when the helper is gone.
bool SendMetaRequest(int sock, int fd, uint8_t want, const std::string& name);
enum class ReplyStatus { kOk, kTimeout, kBroken };
// Waits for one answer until deadlineMicros (MonotonicMicros).
ReplyStatus ReceiveMetaReply(int sock, uint64_t deadlineMicros, std::string* reply);

// Helper side: the next request, with its descriptor (close-on-exec, owned
// by the caller; -1 when none came). False when the server is gone.
bool ReceiveMetaRequest(int sock, int* fd, uint8_t* want, std::string* name);
bool SendMetaReply(int sock, const std::string& reply);

}  // namespace tovaly
