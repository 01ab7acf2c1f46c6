#include "controlpoint/media_renderer_device.h"

#include <upnp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "upnp/didl.h"
#include "upnp/ixml_util.h"

namespace tovaly {

bool MediaRendererDevice::SetService(int index, const RemoteService& service) {
  if (index == kServiceAVTransport) {
    avTransport_ = service;
  } else if (index == kServiceRenderingControl) {
    renderingControl_ = service;
  } else {
    return upnp_device_control::SetService(index, service);
  }
  return true;
}

const std::string* MediaRendererDevice::GetControlURL(int index) const {
  if (index == kServiceAVTransport) return &avTransport_.controlUrl;
  if (index == kServiceRenderingControl) return &renderingControl_.controlUrl;
  return upnp_device_control::GetControlURL(index);
}

int MediaRendererDevice::GetServiceVersion(int index) const {
  if (index == kServiceAVTransport) return avTransport_.version;
  if (index == kServiceRenderingControl) return renderingControl_.version;
  return upnp_device_control::GetServiceVersion(index);
}

bool MediaRendererDevice::HoldsAvtSid(const char* sid) const {
  std::lock_guard<std::mutex> lk(sidLock_);
  return sid && !avtSid_.empty() && avtSid_ == sid;
}

bool MediaRendererDevice::HoldsSid(const char* sid) const {
  return HoldsAvtSid(sid) || upnp_device_control::HoldsSid(sid);
}

void MediaRendererDevice::OnSubscriptionExpired(const char* sid) {
  if (HoldsAvtSid(sid)) {
    {
      std::lock_guard<std::mutex> lk(sidLock_);
      subscribed_ = false;
    }
    SubscribeToAVTransport();
  } else {
    upnp_device_control::OnSubscriptionExpired(sid);
  }
}

void MediaRendererDevice::GetProtocolInfo() {
  source_.clear();
  sink_.clear();
  char name[256] = "";
  TextRequest request{name, sizeof name};
  link_->Notify(kRequestRendererName, &request);
  name[sizeof name - 1] = '\0';
  ActionArguments args;
  if (name[0]) args.emplace_back("From", name);
  if (IXML_Document* r = SendAction(kServiceConnectionManager, "GetProtocolInfo", args, nullptr)) {
    source_ = SplitList(FirstElementText(r, "Source"));
    sink_ = SplitList(FirstElementText(r, "Sink"));
    ixmlDocument_free(r);
  }
}

int MediaRendererDevice::SubscribeToAVTransport() {
  {
    std::lock_guard<std::mutex> lk(sidLock_);
    if (subscribed_) return 0;
  }
  int timeout = 1810;
  Upnp_SID sid = {};
  const int rc = UpnpSubscribe(link_->handle.load(), avTransport_.eventUrl.c_str(), &timeout, sid);
  if (rc != UPNP_E_SUCCESS) return rc;
  std::lock_guard<std::mutex> lk(sidLock_);
  avtSid_.assign(sid, strnlen(sid, sizeof sid));
  avtTimeout_ = timeout;
  subscribed_ = true;
  return 0;
}

}  // namespace tovaly

namespace tovaly {

int64_t ParseClockTime(const char* text) {
  if (!text) return 0;
  int64_t fields[3] = {0, 0, 0};
  const char* p = text;
  for (int i = 0; i < 3; ++i) {
    if (*p < '0' || *p > '9') break;
    int64_t v = 0;
    for (int digits = 0; *p >= '0' && *p <= '9' && digits < 12; ++digits) v = v * 10 + (*p++ - '0');
    fields[i] = v;
    if (*p != ':') break;
    ++p;
  }
  return fields[0] * 3600 + fields[1] * 60 + fields[2];
}

std::string FormatSeekTarget(int seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  snprintf(text, sizeof text, "%d:%02d:%02d", seconds / 3600, (seconds % 3600) / 60, seconds % 60);
  return text;
}

int TransportStateValue(const char* text) {
  static const char* const kStates[] = {"STOPPED",          "PLAYING",   "TRANSITIONING",    "PAUSED_PLAYBACK",
                                        "PAUSED_RECORDING", "RECORDING", "NO_MEDIA_PRESENT", "PLAYBACK_END"};
  if (!text) return 0;
  for (int i = 0; i < 8; ++i) {
    if (strcmp(text, kStates[i]) == 0) return i;
  }
  return 0;
}

void MediaRendererDevice::UnsubscribeFromAVTransport() {
  std::string sid;
  {
    std::lock_guard<std::mutex> lk(sidLock_);
    if (!subscribed_) return;
    subscribed_ = false;
    sid = avtSid_;
  }
  Upnp_SID copy = {};
  strncpy(copy, sid.c_str(), sizeof copy - 1);
  UpnpUnSubscribe(link_->handle.load(), copy);
}

int MediaRendererDevice::SetAVTransportURI(const char* uri, const char* metadata) {
  int error = 0;
  IXML_Document* r = SendAction(kServiceAVTransport, "SetAVTransportURI",
                                {{"InstanceID", std::to_string(avTransportId_)},
                                 {"CurrentURI", uri ? uri : ""},
                                 {"CurrentURIMetaData", metadata ? metadata : ""}},
                                &error);
  if (r) ixmlDocument_free(r);
  return error;
}

void MediaRendererDevice::Play(int instanceId, const char* speed) {
  if (IXML_Document* r = SendAction(kServiceAVTransport, "Play",
                                    {{"InstanceID", std::to_string(instanceId)}, {"Speed", speed ? speed : "1"}},
                                    nullptr)) {
    ixmlDocument_free(r);
  }
}

void MediaRendererDevice::Pause(int instanceId) {
  if (IXML_Document* r = SendAction(kServiceAVTransport, "Pause", {{"InstanceID", std::to_string(instanceId)}}, nullptr)) {
    ixmlDocument_free(r);
  }
}

void MediaRendererDevice::Stop(int instanceId) {
  if (IXML_Document* r = SendAction(kServiceAVTransport, "Stop", {{"InstanceID", std::to_string(instanceId)}}, nullptr)) {
    ixmlDocument_free(r);
  }
}

int MediaRendererDevice::GetPositionInfo(int instanceId, int64_t* duration, int64_t* relTime) {
  int error = 0;
  IXML_Document* r =
      SendAction(kServiceAVTransport, "GetPositionInfo", {{"InstanceID", std::to_string(instanceId)}}, &error);
  if (!r) return error;
  if (duration) *duration = ParseClockTime(FirstElementText(r, "TrackDuration"));
  if (relTime) *relTime = ParseClockTime(FirstElementText(r, "RelTime"));
  ixmlDocument_free(r);
  return 0;
}

int MediaRendererDevice::Seek(int instanceId, int seconds) {
  IXML_Document* r = SendAction(kServiceAVTransport, "Seek",
                                {{"InstanceID", std::to_string(instanceId)},
                                 {"Unit", "REL_TIME"},
                                 {"Target", FormatSeekTarget(seconds)}},
                                nullptr);
  if (!r) return 0;
  ixmlDocument_free(r);
  return 1;
}

void MediaRendererDevice::SetVolume(int instanceId, int volume) {
  if (IXML_Document* r = SendAction(kServiceRenderingControl, "SetVolume",
                                    {{"InstanceID", std::to_string(instanceId)},
                                     {"Channel", "Master"},
                                     {"DesiredVolume", std::to_string(volume)}},
                                    nullptr)) {
    ixmlDocument_free(r);
  }
}

void MediaRendererDevice::GetVolume(int instanceId, int* volume) {
  if (!volume) return;
  IXML_Document* r = SendAction(kServiceRenderingControl, "GetVolume",
                                {{"InstanceID", std::to_string(instanceId)}, {"Channel", "Master"}}, nullptr);
  if (!r) return;
  *volume = LeadingNumber(FirstElementText(r, "CurrentVolume"));
  ixmlDocument_free(r);
}

int MediaRendererDevice::ChangeVolume(int instanceId, int delta) {
  if (volume_ < 0) GetVolume(instanceId, &volume_);
  // Still unknown: a step from -1 would send a volume the user never chose.
  if (volume_ < 0) return -1;
  volume_ = std::max(0, std::min(100, volume_ + delta));
  SetVolume(instanceId, volume_);
  return volume_;
}

void MediaRendererDevice::ConnectionComplete() {
  upnp_device_control::ConnectionComplete();
  rcsId_ = avTransportId_ = -1;
  volume_ = -1;
}

int MediaRendererDevice::OnConnectionPrepared(IXML_Document* response) {
  if (response) {
    avTransportId_ = LeadingNumber(FirstElementText(response, "AVTransportID"));
    rcsId_ = LeadingNumber(FirstElementText(response, "RcsID"));
  } else {
    avTransportId_ = rcsId_ = 0;
  }
  upnp_device_control::OnConnectionPrepared(response);
  volume_ = -1;
  return avTransportId_;
}

void MediaRendererDevice::OnEvent(IXML_Document* changedVariables) {
  OnLastChange(FirstElementText(changedVariables, "LastChange"));
}

void MediaRendererDevice::OnLastChange(const char* lastChange) {
  if (!lastChange || !*lastChange || !WithinXmlLimits(lastChange, 16, 2000)) return;
  IXML_Document* raw = nullptr;
  if (ixmlParseBufferEx(lastChange, &raw) != IXML_SUCCESS || !raw) {
    if (raw) ixmlDocument_free(raw);
    return;
  }
  IxmlDocument doc(raw);
  IxmlNodeList instances(ixmlDocument_getElementsByTagName(doc.get(), "InstanceID"));
  const unsigned long n = instances ? ixmlNodeList_length(instances.get()) : 0;
  for (unsigned long i = 0; i < n; ++i) {
    IXML_Node* node = ixmlNodeList_item(instances.get(), i);
    auto* e = reinterpret_cast<IXML_Element*>(node);
    const char* val = ixmlElement_getAttribute(e, "val");
    const char* ns = ixmlNode_getNamespaceURI(node);
    if (!val || !ixmlNode_hasChildNodes(node)) continue;
    if (!ns || strcmp(ns, "urn:schemas-upnp-org:metadata-1-0/AVT/") != 0) continue;
    if (LeadingNumber(val) != avTransportId_) continue;
    for (IXML_Node* c = ixmlNode_getFirstChild(node); c; c = ixmlNode_getNextSibling(c)) {
      const char* name = ixmlNode_getNodeName(c);
      if (!name || strcmp(name, "TransportState") != 0 || ixmlNode_getNodeType(c) != eELEMENT_NODE) continue;
      const char* state = ixmlElement_getAttribute(reinterpret_cast<IXML_Element*>(c), "val");
      if (!state) continue;  // nothing to report
      TransportStateChanged args{TransportStateValue(state), udn().c_str()};
      link_->Notify(kEventTransportState, &args);
    }
  }
}

}  // namespace tovaly
