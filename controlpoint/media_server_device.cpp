#include "controlpoint/media_server_device.h"

#include <upnp.h>

#include <cstring>

#include "upnp/didl.h"

namespace tovaly {

bool MediaServerDevice::SetService(int index, const RemoteService& service) {
  if (index != kServiceContentDirectory) return upnp_device_control::SetService(index, service);
  contentDirectory_ = service;
  return true;
}

const std::string* MediaServerDevice::GetControlURL(int index) const {
  return index == kServiceContentDirectory ? &contentDirectory_.controlUrl : upnp_device_control::GetControlURL(index);
}

int MediaServerDevice::GetServiceVersion(int index) const {
  return index == kServiceContentDirectory ? contentDirectory_.version : upnp_device_control::GetServiceVersion(index);
}

bool MediaServerDevice::HoldsSid(const char* sid) const {
  {
    std::lock_guard<std::mutex> lk(sidLock_);
    if (sid && !cdsSid_.empty() && cdsSid_ == sid) return true;
  }
  return upnp_device_control::HoldsSid(sid);
}

int MediaServerDevice::SubscribeContentDirectory() {
  int timeout = 1810;
  Upnp_SID sid = {};
  const int rc = UpnpSubscribe(link_->handle.load(), contentDirectory_.eventUrl.c_str(), &timeout, sid);
  if (rc == UPNP_E_SUCCESS) {
    std::lock_guard<std::mutex> lk(sidLock_);
    cdsTimeout_ = timeout;
    cdsSid_.assign(sid, strnlen(sid, sizeof sid));
  }
  return rc;
}

int MediaServerDevice::DescribeObject(const char* objectId, DidlEntry* out) {
  if (!objectId || !out) return UPNP_E_INVALID_PARAM;
  int error = 0;
  IXML_Document* response = SendAction(kServiceContentDirectory, "Browse",
                                       {{"ObjectID", objectId},
                                        {"BrowseFlag", "BrowseMetadata"},
                                        {"Filter", "*"},
                                        {"StartingIndex", "0"},
                                        {"RequestedCount", "0"},
                                        {"SortCriteria", ""}},
                                       &error);
  if (!response) return error ? error : UPNP_E_BAD_RESPONSE;
  bool ok = false;
  const std::vector<DidlEntry> entries = ReadDidl(FirstElementText(response, "Result"), &ok);
  ixmlDocument_free(response);
  if (!ok || entries.empty()) return UPNP_E_BAD_RESPONSE;
  *out = entries.front();
  return 0;
}

int MediaServerDevice::Browse(const char* objectId, int startingIndex, int requestedCount, void* token) {
  if (!link_->HasHost() || !objectId) return 0;
  if (startingIndex < 0) startingIndex = 0;
  int index = startingIndex;
  // A server that keeps promising more children cannot keep us paging for ever.
  constexpr int kMaxPages = 20000;
  // Pages of 50; a page larger than the stack accepts (objects with rich
  // metadata) is asked for again in halves.
  int pageSize = 50;
  for (int page = 0; page < kMaxPages; ++page) {
    const int ask = requestedCount >= 1 && requestedCount <= pageSize ? requestedCount : pageSize;
    int error = 0;
    IXML_Document* response = SendAction(kServiceContentDirectory, "Browse",
                                         {{"ObjectID", objectId},
                                          {"BrowseFlag", "BrowseDirectChildren"},
                                          {"Filter", "*"},
                                          {"StartingIndex", std::to_string(index)},
                                          {"RequestedCount", std::to_string(ask)},
                                          {"SortCriteria", ""}},
                                         &error);
    if (!response && error == UPNP_E_OUTOF_BOUNDS && ask > 1) {
      pageSize = ask / 2;
      continue;
    }
    if (!response) return 0;
    const char* resultText = FirstElementText(response, "Result");
    const char* returnedText = FirstElementText(response, "NumberReturned");
    const char* totalText = FirstElementText(response, "TotalMatches");
    if (!returnedText || !totalText) {
      ixmlDocument_free(response);
      return index - startingIndex;
    }
    const int returned = LeadingNumber(returnedText);
    const int total = LeadingNumber(totalText);
    bool ok = false;
    const std::vector<DidlEntry> entries = ReadDidl(resultText, &ok);
    ixmlDocument_free(response);
    if (!ok) return 0;
    // A count that goes backwards would page for ever.
    if (returned > 0) index += returned;

    for (const DidlEntry& e : entries) {
      if (e.container) {
        BrowseContainerFound c{token, e.title.c_str(), e.id.c_str()};
        link_->Notify(kEventBrowseContainer, &c);
      } else {
        BrowseItemFound i{token,         e.title.c_str(),
                          e.duration,    e.url.c_str(),
                          e.id.c_str(),  static_cast<int32_t>(e.objectClass),
                          e.hasProtocolInfo ? e.protocolInfo.c_str() : nullptr,
                          e.date.c_str(), &e};
        link_->Notify(kEventBrowseItem, &i);
      }
      if (!link_->HasHost()) break;
    }
    if (requestedCount > 0) {
      requestedCount -= returned;
      if (requestedCount < 1) break;
    }
    if (returned < 1 || total <= 0 || index >= total) break;
  }
  return index - startingIndex;
}

}  // namespace tovaly
