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
// - Requests (10-17, 51, 60-73, 100-105) are answered on the calling thread
//   and never wait for a UI thread.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace tovaly {

using EventCallback = int32_t (*)(void* context, int32_t code, void* args);

enum EventCode : int32_t {
  kEventServerAdded = 1,        // DeviceAppeared
  kEventServerRemoved = 2,      // DeviceLeft
  kEventBrowseContainer = 3,    // BrowseContainerFound
  kEventBrowseItem = 4,         // BrowseItemFound
  kRequestComputerName = 10,    // TextRequest
  kRequestContentFolder = 11,   // TextRequest
  kRequestBrowseChildren = 12,  // BrowseChildrenRequest; returns the total
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
  kRequestMediaDownloadFirst = 61,
  kRequestMediaDownloadLast = 73,
  kRequestFileInfo = 100,       // FileInfoRequest
  kRequestFileOpen = 101,       // FileOpenRequest; returns non-zero with a stream
  kRequestFileRead = 102,       // FileReadRequest; returns the count
  kRequestFileSeek = 104,       // FileSeekRequest
  kRequestFileClose = 105,      // FileCloseRequest
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
};

struct BrowseMetadataRequest {  // 13
  const char* objectId;
  MediaObject* object;
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
