#pragma once
// The one function through which the engines (media server, control point)
// talk to their host. Each code has one argument record; `args` points to it.
//
// Contract:
// - 0 means "not answered": out-arguments then stay as the caller set them.
// - Codes below 1 or above 200, and codes a host does not handle, return 0 at
//   once (HostDispatch below applies this rule).
// - Strings passed into the host live only for the call; the host copies what
//   it keeps. Buffers are caller-owned; the host writes at most size - 1 bytes
//   and a terminating zero.
// - Requests (10-17, 51, 60-73, 101) are answered on the calling thread
//   and never wait for a UI thread.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tovaly {

using EventCallback = int32_t (*)(void* context, int32_t code, void* args);

enum EventCode : int32_t {
  kEventServerAdded = 1,        // DeviceAppeared
  kEventServerRemoved = 2,      // DeviceLeft
  kEventBrowseContainer = 3,    // BrowseContainerFound
  kEventBrowseItem = 4,         // BrowseItemFound
  kRequestComputerName = 10,    // TextRequest
  kRequestContentFolder = 11,   // TextRequest
  kRequestBrowseChildren = 12,  // BrowseChildrenRequest; returns the total, -1: no such container
  kRequestBrowseMetadata = 13,  // BrowseMetadataRequest; non-zero when filled
  kRequestDeviceUdn = 14,       // TextRequest
  kRequestProtocolList = 15,    // ProtocolListRequest
  kRequestSambaFlag = 17,       // FlagRequest
  kEventRendererAdded = 20,     // DeviceAppeared
  kEventRendererRemoved = 21,   // DeviceLeft
  kEventProtocolInfoFrom = 35,  // ProtocolInfoFrom
  kEventDiagnostic = 50,        // Diagnostic
  kRequestRendererName = 51,    // TextRequest
  kRequestMediaDownload = 60,   // FlagRequest
  kRequestStorageInfo = 61,     // StorageInfoRequest
  kRequestProgressInfo = 62,    // ProgressInfoRequest
  kRequestDownloadInfo = 63,    // DownloadInfoRequest
  kRequestDownloadIds = 64,     // TextAnswer
  kRequestSetDownloadUri = 65,  // SetDownloadUriRequest
  kRequestStartDownload = 66,   // DownloadIdRequest
  kRequestPauseDownload = 67,   // DownloadIdRequest
  kRequestStopDownload = 68,    // DownloadIdRequest
  kRequestAllDownloadInfos = 69,  // TextAnswer
  kRequestCacheInfo = 70,       // TextAnswer
  kRequestRemoveDownload = 71,  // DownloadIdRequest; returns the removal result
  kRequestMacAddress = 72,      // TextAnswer
  kRequestBinding = 73,         // BindingRequest
  kRequestFileOpen = 101,       // FileOpenRequest; returns non-zero with a descriptor
  kEventTransportState = 200,   // TransportStateChanged
};

constexpr int32_t kFirstEventCode = 1;
constexpr int32_t kLastEventCode = 200;

struct DeviceAppeared {  // 1, 20
  const char* friendlyName;
  const char* udn;
  const char* baseUrl;
};

struct DeviceLeft {  // 2, 21
  const char* friendlyName;
  const char* udn;
};

struct BrowseContainerFound {  // 3
  void* token;
  const char* title;
  const char* objectId;
};

struct BrowseItemFound {  // 4
  void* token;
  const char* title;
  int64_t duration;
  const char* url;
  const char* objectId;
  int32_t objectClass;
  const char* protocolInfo;
  const char* date;
  const struct DidlEntry* details;  // all the server said of it (upnp/didl.h); null when unknown
};

struct TextRequest {  // 10, 11, 14, 51
  char* buffer;
  size_t size;
};

struct MediaObjectList;
struct MediaObject;

struct BrowseChildrenRequest {  // 12
  const char* objectId;
  int32_t startingIndex;
  int32_t requestedCount;
  MediaObjectList* list;
  const char* mediaBaseUrl;  // item URLs are this plus the encoded id
};

struct BrowseMetadataRequest {  // 13
  const char* objectId;
  MediaObject* object;
  const char* mediaBaseUrl;
};

struct ProtocolListRequest {  // 15
  const char* list;  // the host stores the address of its constant list
};

struct FlagRequest {  // 17, 60
  int32_t flag;
};

struct ProtocolInfoFrom {  // 35
  const char* from;
};

struct Diagnostic {  // 50
  const char* format;
  va_list* args;
};

// MediaDownload (61-73). Texts the host answers are copied into std::string,
// so nothing crosses the boundary that one side must free.
struct StorageInfoRequest {  // 61
  int64_t totalSpace = 0;
  int64_t freeSpace = 0;
};

struct ProgressInfoRequest {  // 62
  const char* downloadId;
  int64_t elapsedTime = 0;
  int64_t downloadedSize = 0;
  int32_t percentage = 0;
};

struct DownloadInfoRequest {  // 63
  const char* downloadId;
  std::string uri;
  std::string title;
  int64_t startTime = 0;
  int64_t contentLength = 0;
  int32_t status = 0;  // 0 Complete, 2 Pending, 3 Downloading, 4 Paused, else Error
};

struct TextAnswer {  // 64, 69, 70, 72
  std::string text;
};

struct SetDownloadUriRequest {  // 65
  const char* uri;       // each may be null
  const char* uniqueId;
  const char* title;
  std::string downloadId;  // empty: no download was made
};

struct DownloadIdRequest {  // 66, 67, 68, 71 (71 returns the removal result)
  const char* downloadId;
};

struct BindingRequest {  // 73
  const char* binding;
};

// The media engine's one question (101), asked with the device's context:
// open the file that a decoded request path below "/media/" names, if it is
// one that is served. The host applies every rule of what is published.
struct FileOpenRequest {
  const char* path;  // "Music/a b.mp3": relative, decoded once
  int32_t mode;      // 0 read; 1 write (always refused)
  int fd = -1;       // a regular file open for reading; the caller closes it
  const char* contentType = nullptr;  // a constant of the media type table
  // 0: the file itself; 1: the picture that stands for it (or for a
  // folder): a JPEG of at most 160x160, made on first request.
  int32_t kind = 0;
  // With kind 0: when set, the host names the subtitle file that belongs to
  // the file (its path as above, "" none), for players that ask for it.
  bool wantSubtitle = false;
  std::string subtitle{};
};

struct TransportStateChanged {  // 200
  int32_t state;
  const char* udn;
};

// Host side of the dispatch rule: a code outside 1..200 is not answered and
// `answer` is not called. Hosts write their switch inside `answer`.
template <class Answer>
int32_t HostDispatch(int32_t code, Answer&& answer) {
  if (code < kFirstEventCode || code > kLastEventCode) return 0;
  return answer();
}

}  // namespace tovaly
