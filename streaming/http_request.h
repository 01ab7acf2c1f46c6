#pragma once
// The parts of a media request that are plain text work: the path, the byte
// range, the dates and the DLNA headers. Pure functions, so that they are
// tested and fuzzed without a socket.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace tovaly {

// Percent-decodes a request path. False when an escape is malformed ("%4",
// "%zz") or decodes to NUL: such a path names no file of ours.
bool DecodeRequestPath(const char* raw, std::string* out);

// What one Range header asks of a body of `size` bytes. Only the first range
// of a list is served: several ranges would need a multipart body, and a
// single part is what every player asks for.
struct ByteRange {
  enum Kind {
    kWhole,          // no usable Range header: 200 with the whole body
    kPartial,        // 206 with [first, first + length)
    kUnsatisfiable,  // 416 with "Content-Range: bytes */size"
  };
  Kind kind = kWhole;
  uint64_t first = 0;
  uint64_t length = 0;
};
// header may be null. A header that is not a valid "bytes=" range is
// ignored, as HTTP wants.
ByteRange ParseRange(const char* header, uint64_t size);

// "Sun, 06 Dec 2026 21:30:50 GMT", whatever the process locale.
std::string HttpDate(time_t t);

// The DLNA headers that let TVs seek: streaming for audio and video,
// interactive for the rest.
struct DlnaHeaders {
  const char* contentFeatures;  // value of contentFeatures.dlna.org
  const char* transferMode;     // value of transferMode.dlna.org
};
DlnaHeaders DlnaHeadersFor(const char* mimeType);

// Whether a request's Host header names this machine, so that a page of
// another site that rebinds its name to our address cannot read through a
// browser (DNS rebinding): an IPv4 or [IPv6] literal, or one of `ownNames`
// (lower case; letter case of the header is ignored), each with or without
// a port. No header at all (HTTP/1.0) is allowed.
bool HostAllowed(const char* host, const std::vector<std::string>& ownNames);

// This machine's names: its host name and that name in .local, and localhost.
std::vector<std::string> OwnHostNames();

// Subtitle files a browser can be given as WebVTT: .srt and .vtt.
bool SubtitleConvertible(const std::string& path);
// Larger subtitle files are not converted.
constexpr size_t kMaxSubtitleBytes = 4 << 20;
// SubRip (or WebVTT) as WebVTT: the header, blank lines as cue ends, the
// commas of times as dots; text that is not UTF-8 is taken as Latin-1 (as
// old subtitle files of European languages are written).
std::string SubtitleToWebVtt(const std::string& text);

}  // namespace tovaly
