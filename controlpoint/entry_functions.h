#pragma once
// What the host asks of the control point by device UDN: browsing a server,
// starting playback of one of its items on a renderer, and driving that
// renderer. The host never holds a proxy; each function looks the device up,
// holds a reference for the call and blocks for its SOAP exchanges.

#include <cstdint>

#include "controlpoint/control_point.h"
#include "core/media_object.h"
#include "upnp/didl.h"

namespace tovaly {

struct StartRenderingRequest {
  const char* rendererUdn;
  const char* serverUdn;
  const char* uri;
  const char* title;
  const char* oob = nullptr;           // "z:oob", left out when null
  const char* cacheuid = nullptr;      // "z:cacheuid", left out when null
  const char* protocolInfo = nullptr;  // null or empty: "http-get:*:video/mp4:*"
  const char* date = nullptr;
  ObjectClass objectClass = kClassVideo;
  int caching = 1;
};

// 1 when the renderer accepted the item, 0 otherwise. *failure (when given)
// receives the step's error code on failure: a negative stack code or a
// positive UPnP error of the renderer.
int p_StartRendering(control_point_t* cp, const StartRenderingRequest* request, int* failure = nullptr);
// The metadata sent with the URI: DIDL-Lite with the "z" extension elements.
std::string RenderingMetadata(const StartRenderingRequest& request, const char* protocolInfo);

void p_Play(control_point_t* cp, const char* udn, int instanceId);
void p_Pause(control_point_t* cp, const char* udn, int instanceId);
void p_Stop(control_point_t* cp, const char* udn, int instanceId);
// -100 for an unknown renderer.
int p_GetPositionInfo(control_point_t* cp, const char* udn, int instanceId, int64_t* duration, int64_t* relTime);
int p_Seek(control_point_t* cp, const char* udn, int instanceId, int seconds);
// The volume sent, -1 when unknown (also for an unknown renderer).
int p_ChangeVolume(control_point_t* cp, const char* udn, int instanceId, int delta);
int p_GetCurrentConnectionID(control_point_t* cp, const char* udn);
void p_StopRendering(control_point_t* cp, const char* udn);
// The number of children read (0 for an unknown server).
int p_Browse(control_point_t* cp, const char* serverUdn, const char* objectId, int startingIndex, int requestedCount,
             void* token);

// The record of one object of a server (BrowseMetadata): 0, or the error
// code (-100 for an unknown server).
int p_DescribeObject(control_point_t* cp, const char* serverUdn, const char* objectId, DidlEntry* out);

// A device (renderers looked up first, then servers) that offers the
// MediaDownload service, or null.
RefPtr<upnp_device_control> p_FindStorageDevice(control_point_t* cp, const char* udn);
// GetStorageInfo of that device's MediaDownload service: 0 with both sizes
// (a missing one counts as 0), -1 when there is no such device, otherwise the
// action's error code.
int p_GetStorageInfo(control_point_t* cp, const char* udn, uint64_t* totalSpace, uint64_t* freeSpace);

// The renderer's AVTransport instance of the current playback (-1 unknown).
int p_RendererInstance(control_point_t* cp, const char* udn);

}  // namespace tovaly
