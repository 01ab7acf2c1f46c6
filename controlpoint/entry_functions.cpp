#include "controlpoint/entry_functions.h"

#include <upnp.h>

#include <cerrno>
#include <cstdlib>

#include "core/clock.h"
#include "core/trace.h"
#include "upnp/didl.h"
#include "upnp/ixml_util.h"

namespace tovaly {
namespace {

RefPtr<MediaRendererDevice> Renderer(control_point_t* cp, const char* udn) {
  if (!cp || !udn) return nullptr;
  auto p = cp->renderers().Find(udn);
  return RefPtr<MediaRendererDevice>(static_cast<MediaRendererDevice*>(p.get()));
}

RefPtr<MediaServerDevice> Server(control_point_t* cp, const char* udn) {
  if (!cp || !udn) return nullptr;
  auto p = cp->servers().Find(udn);
  return RefPtr<MediaServerDevice>(static_cast<MediaServerDevice*>(p.get()));
}

// A device that answered or faulted is there; one that would not even take
// the connection is gone.
bool Accepted(int result) { return result >= 0 || result == UPNP_E_BAD_RESPONSE; }

}  // namespace

std::string RenderingMetadata(const StartRenderingRequest& request, const char* protocolInfo) {
  MediaObject o;
  o.id = "any";
  o.title = request.title ? request.title : "";
  o.res = request.uri ? request.uri : "";
  o.protocolInfo = protocolInfo;
  o.date = request.date ? request.date : "";
  o.objectClass = request.objectClass;
  o.restricted = false;
  std::string extra = "<z:caching>" + std::to_string(request.caching) + "</z:caching>";
  if (request.oob) extra += "<z:oob>" + XmlEscape(XmlSafe(request.oob)) + "</z:oob>";
  if (request.cacheuid) extra += "<z:cacheuid>" + XmlEscape(XmlSafe(request.cacheuid)) + "</z:cacheuid>";
  std::string compact = kDidlOpen;
  AppendDidlObject(o, &compact, extra);
  compact += kDidlClose;
  // Renderers have always been sent the document form: a declaration and a
  // line after every tag but the one that opens a text. Escaped text holds
  // no '<' or '>', so every "><" is a boundary between two tags.
  std::string text = "<?xml version=\"1.0\"?>\r\n";
  text.reserve(compact.size() * 2);
  for (size_t i = 0; i < compact.size(); ++i) {
    text += compact[i];
    if (compact[i] == '>' && (i + 1 == compact.size() || compact[i + 1] == '<')) text += "\r\n";
  }
  return text;
}

int p_StartRendering(control_point_t* cp, const StartRenderingRequest* request, int* failure) {
  int ignored = 0;
  if (!failure) failure = &ignored;
  *failure = UPNP_E_INVALID_PARAM;
  if (!cp || !request || !request->rendererUdn || !request->serverUdn) {
    DebugTrace("--- p_StartRendering:: invalid parameter\n");
    return 0;
  }
  RefPtr<MediaServerDevice> server = Server(cp, request->serverUdn);
  RefPtr<MediaRendererDevice> renderer = Renderer(cp, request->rendererUdn);
  if (!server || !renderer) {
    DebugTrace("--- p_StartRendering:: invalid udn of server / renderer\n");
    return 0;
  }
  const std::string rendererPeer = renderer->GetPeerConnectionManager();
  const std::string serverPeer = server->GetPeerConnectionManager();
  const char* protocolInfo =
      request->protocolInfo && *request->protocolInfo ? request->protocolInfo : "http-get:*:video/mp4:*";

  const int s = server->PrepareForConnection(protocolInfo, rendererPeer.c_str(), -1);
  if (!Accepted(s)) {
    if (s == UPNP_E_SOCKET_CONNECT) p_RemoveDevice(cp, request->serverUdn);
    DebugTrace("--- p_StartRendering:: server PrepareForConnection failed:%d\n", s);
    *failure = s;
    return 0;
  }
  const int r = renderer->PrepareForConnection(protocolInfo, serverPeer.c_str(), s);
  if (!Accepted(r)) {
    if (r == UPNP_E_SOCKET_CONNECT) p_RemoveDevice(cp, request->rendererUdn);
    DebugTrace("--- p_StartRendering:: renderer PrepareForConnection failed:%d\n", r);
    *failure = r;
    return 0;
  }

  const std::string metadata = RenderingMetadata(*request, protocolInfo);
  const int u = renderer->SetAVTransportURI(request->uri, metadata.c_str());
  // A time-out may still have been taken: go on.
  if (u != 0 && u != UPNP_E_TIMEDOUT) {
    if (u == UPNP_E_SOCKET_CONNECT) p_RemoveDevice(cp, request->rendererUdn);
    DebugTrace("--- p_StartRendering:: renderer SetAVTransportURI failed:%d\n", u);
    *failure = u;
    return 0;
  }
  DebugTrace("--- p_StartRendering:: renderer SetAVTransportURI ret:%d\n", u);

  for (int attempt = 0; attempt < 6; ++attempt) {
    const int rc = renderer->SubscribeToAVTransport();
    if (rc == 0) {
      // The first event may have come before the SID was known.
      for (const std::string& text : cp->TakePendingEvents(renderer->avTransportSid())) {
        IXML_Document* vars = ixmlParseBuffer(text.c_str());
        IxmlDocument owner(vars);
        if (vars) renderer->OnEvent(vars);
      }
      break;
    }
    DebugTrace("--- p_StartRendering:: renderer subscribeToAVTransport failed:%d\n", rc);
    SleepMicros(3000000);
  }
  *failure = 0;
  return 1;
}

void p_Play(control_point_t* cp, const char* udn, int instanceId) {
  if (auto r = Renderer(cp, udn)) r->Play(instanceId, "1");
}

void p_Pause(control_point_t* cp, const char* udn, int instanceId) {
  if (auto r = Renderer(cp, udn)) r->Pause(instanceId);
}

void p_Stop(control_point_t* cp, const char* udn, int instanceId) {
  if (auto r = Renderer(cp, udn)) r->Stop(instanceId);
}

int p_GetPositionInfo(control_point_t* cp, const char* udn, int instanceId, int64_t* duration, int64_t* relTime) {
  auto r = Renderer(cp, udn);
  return r ? r->GetPositionInfo(instanceId, duration, relTime) : UPNP_E_INVALID_HANDLE;
}

int p_Seek(control_point_t* cp, const char* udn, int instanceId, int seconds) {
  auto r = Renderer(cp, udn);
  return r ? r->Seek(instanceId, seconds) : 0;
}

int p_ChangeVolume(control_point_t* cp, const char* udn, int instanceId, int delta) {
  auto r = Renderer(cp, udn);
  return r ? r->ChangeVolume(instanceId, delta) : -1;
}

int p_GetCurrentConnectionID(control_point_t* cp, const char* udn) {
  auto r = Renderer(cp, udn);
  return r ? r->QueryCurrentConnectionID() : -1;
}

void p_StopRendering(control_point_t* cp, const char* udn) {
  if (auto r = Renderer(cp, udn)) {
    // Ending the playback leaves the renderer stopped, not playing on.
    if (r->avTransportId() >= 0) r->Stop(r->avTransportId());
    r->UnsubscribeFromAVTransport();
    r->ConnectionComplete();
  }
}

int p_Browse(control_point_t* cp, const char* serverUdn, const char* objectId, int startingIndex, int requestedCount,
             void* token) {
  if (!cp) return 0;
  RefPtr<control_point_t> hold(cp);
  auto s = Server(cp, serverUdn);
  return s ? s->Browse(objectId, startingIndex, requestedCount, token) : 0;
}

int p_DescribeObject(control_point_t* cp, const char* serverUdn, const char* objectId, DidlEntry* out) {
  auto s = Server(cp, serverUdn);
  return s ? s->DescribeObject(objectId, out) : UPNP_E_INVALID_HANDLE;
}

int p_RendererInstance(control_point_t* cp, const char* udn) {
  auto r = Renderer(cp, udn);
  return r ? r->avTransportId() : -1;
}

RefPtr<upnp_device_control> p_FindStorageDevice(control_point_t* cp, const char* udn) {
  if (!cp || !udn) return nullptr;
  for (DeviceRegistry* registry : {&cp->renderers(), &cp->servers()}) {
    if (auto p = registry->Find(udn)) {
      const std::string* url = p->GetControlURL(kServiceMediaDownload);
      return url && !url->empty() ? p : nullptr;
    }
  }
  return nullptr;
}

int p_GetStorageInfo(control_point_t* cp, const char* udn, uint64_t* totalSpace, uint64_t* freeSpace) {
  *totalSpace = *freeSpace = 0;
  auto device = p_FindStorageDevice(cp, udn);
  if (!device) return -1;
  int error = 0;
  IxmlDocument answer(device->SendAction(kServiceMediaDownload, "GetStorageInfo", {}, &error));
  if (!answer) return error ? error : UPNP_E_BAD_RESPONSE;
  auto number = [&](const char* name) -> uint64_t {
    const char* text = FirstElementText(answer.get(), name);
    if (!text || *text < '0' || *text > '9') return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 10);
    return errno || *end ? 0 : v;
  };
  *totalSpace = number("TotalSpace");
  *freeSpace = number("FreeSpace");
  return 0;
}

}  // namespace tovaly
