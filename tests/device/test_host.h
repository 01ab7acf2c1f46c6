#pragma once
// A host that answers the device from fixed values and records what it was
// asked, and requests routed through the device callback without sockets.

#include <gtest/gtest.h>
#include <upnp.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/event_callback.h"
#include "device/media_server.h"
#include "library/host_answers.h"
#include "library/media_library.h"
#include "upnp/ixml_util.h"

namespace tovaly::test {

struct Service {
  const char* id;
  const char* type;
};
constexpr Service kCm{"urn:upnp-org:serviceId:ConnectionManager", "urn:schemas-upnp-org:service:ConnectionManager:1"};
constexpr Service kCds{"urn:upnp-org:serviceId:ContentDirectory", "urn:schemas-upnp-org:service:ContentDirectory:1"};
constexpr Service kMds{"urn:upnp-org:serviceId:MediaDownload", "urn:schemas-upnp-org:service:MediaDownload:1"};

struct TestHost {
  std::string udn = "uuid:00000000-1111-2222-3333-444444444444";
  bool answerMediaDownload = false;
  std::string contentFolder;           // browse requests are answered when set
  std::function<void()> whileListing;  // runs inside every BrowseChildren answer
  std::vector<std::string> fromTexts;
  // MediaDownload: answered from these unless answerDownloads is cleared;
  // each request is recorded as "code:the texts it carried".
  bool answerDownloads = true;
  StorageInfoRequest storage{10000000000, 4000000000};
  ProgressInfoRequest progress{nullptr};
  DownloadInfoRequest info{nullptr, "", "", 0, 0, 0};
  std::map<int32_t, std::string> texts;
  std::string newId;
  int32_t removeResult = 0;
  std::vector<std::string> seen;

  int32_t Download(int32_t code, void* args) {
    auto text = [](const char* s) { return std::string(s ? s : "(null)"); };
    std::string carried;
    switch (code) {
      case kRequestProgressInfo: carried = text(static_cast<ProgressInfoRequest*>(args)->downloadId); break;
      case kRequestDownloadInfo: carried = text(static_cast<DownloadInfoRequest*>(args)->downloadId); break;
      case kRequestBinding: carried = text(static_cast<BindingRequest*>(args)->binding); break;
      case kRequestStartDownload: case kRequestPauseDownload: case kRequestStopDownload: case kRequestRemoveDownload:
        carried = text(static_cast<DownloadIdRequest*>(args)->downloadId); break;
      case kRequestSetDownloadUri: {
        auto* r = static_cast<SetDownloadUriRequest*>(args);
        carried = text(r->uri) + "|" + text(r->uniqueId) + "|" + text(r->title);
      }
    }
    seen.push_back(std::to_string(code) + ":" + carried);
    if (!answerDownloads) return 0;
    switch (code) {
      case kRequestStorageInfo: *static_cast<StorageInfoRequest*>(args) = storage; return 1;
      case kRequestProgressInfo: *static_cast<ProgressInfoRequest*>(args) = progress; return 1;
      case kRequestDownloadInfo: *static_cast<DownloadInfoRequest*>(args) = info; return 1;
      case kRequestSetDownloadUri: static_cast<SetDownloadUriRequest*>(args)->downloadId = newId; return 1;
      case kRequestRemoveDownload: return removeResult;
      case kRequestDownloadIds: case kRequestAllDownloadInfos: case kRequestCacheInfo: case kRequestMacAddress:
        static_cast<TextAnswer*>(args)->text = texts[code]; return 1;
      default: return 1;
    }
  }

  static int32_t Callback(void* context, int32_t code, void* args) {
    return HostDispatch(code, [&]() -> int32_t {
      auto* host = static_cast<TestHost*>(context);
      if (!host) return 0;
      if (code >= kRequestStorageInfo && code <= kRequestBinding) return host->Download(code, args);
      switch (code) {
        case kRequestDeviceUdn: {
          auto* r = static_cast<TextRequest*>(args);
          return snprintf(r->buffer, r->size, "%s", host->udn.c_str()), 1;
        }
        case kRequestProtocolList: return AnswerProtocolList(static_cast<ProtocolListRequest*>(args));
        case kRequestMediaDownload: return static_cast<FlagRequest*>(args)->flag = host->answerMediaDownload;
        case kRequestBrowseChildren: {
          auto* r = static_cast<BrowseChildrenRequest*>(args);
          if (host->whileListing) host->whileListing();
          return host->contentFolder.empty() ? 0
                                             : ListFolder(host->contentFolder, r->objectId, r->startingIndex,
                                                          r->requestedCount, r->mediaBaseUrl, r->list);
        }
        case kRequestBrowseMetadata: {
          auto* r = static_cast<BrowseMetadataRequest*>(args);
          return !host->contentFolder.empty() &&
                 DescribeObject(host->contentFolder, r->objectId, r->mediaBaseUrl, "TESTPC", r->object);
        }
        case kEventProtocolInfoFrom: host->fromTexts.push_back(static_cast<ProtocolInfoFrom*>(args)->from); return 0;
        default: return 0;
      }
    });
  }
};

struct Reply {
  int errCode = 0;
  std::string errStr;
  IxmlDocument result;
  std::string Error() const { return std::to_string(errCode) + "|" + errStr; }
  // The texts of the first elements so named, joined with "|"; "<missing>"
  // for an absent element, "<no result>" without a result.
  std::string Outs(std::initializer_list<const char*> names) const {
    std::string joined;
    for (const char* name : names) {
      std::string text = "<no result>";
      if (result) {
        IxmlNodeList list(ixmlDocument_getElementsByTagName(result.get(), name));
        IXML_Node* element = list ? ixmlNodeList_item(list.get(), 0) : nullptr;
        IXML_Node* child = element ? ixmlNode_getFirstChild(element) : nullptr;
        text = !element ? "<missing>" : child ? ixmlNode_getNodeValue(child) : "";
      }
      joined += (joined.empty() ? "" : "|") + text;
    }
    return joined;
  }
  std::string Out(const char* name) const { return Outs({name}); }
};

inline Reply Invoke(upnp_device* device, const std::string& udn, Service service, const char* action,
                    const std::string& arguments = "") {
  UpnpActionRequest* request = UpnpActionRequest_new();
  UpnpActionRequest_strcpy_ActionName(request, action);
  UpnpActionRequest_strcpy_DevUDN(request, udn.c_str());
  UpnpActionRequest_strcpy_ServiceID(request, service.id);
  const std::string body =
      std::string("<u:") + action + " xmlns:u=\"" + service.type + "\">" + arguments + "</u:" + action + ">";
  IXML_Document* doc = ixmlParseBuffer(body.c_str());
  UpnpActionRequest_set_ActionRequest(request, doc);
  upnp_device::DeviceCallback(UPNP_CONTROL_ACTION_REQUEST, request, device);
  Reply reply{UpnpActionRequest_get_ErrCode(request), UpnpActionRequest_get_ErrStr_cstr(request),
              IxmlDocument(UpnpActionRequest_get_ActionResult(request))};
  ixmlDocument_free(doc);  // deleting the request does not free its documents
  UpnpActionRequest_delete(request);
  return reply;
}

// A media server on a TestHost; Bring() once the host is set up.
class ServerTest : public ::testing::Test {
 protected:
  void Bring() {
    device_.reset(new media_server(&TestHost::Callback, &host_));
    device_->Identify();
    device_->InitServices();
  }
  Reply Call(Service service, const char* action, const std::string& args = "") {
    return Invoke(device_.get(), host_.udn, service, action, args);
  }
  // A state variable query: "error code|error text|value".
  std::string Var(Service service, const char* name) {
    UpnpStateVarRequest* request = UpnpStateVarRequest_new();
    UpnpStateVarRequest_strcpy_DevUDN(request, host_.udn.c_str());
    UpnpStateVarRequest_strcpy_ServiceID(request, service.id);
    UpnpStateVarRequest_strcpy_StateVarName(request, name);
    upnp_device::DeviceCallback(UPNP_CONTROL_GET_VAR_REQUEST, request, device_.get());
    const DOMString value = UpnpStateVarRequest_get_CurrentVal(request);
    const std::string reply = std::to_string(UpnpStateVarRequest_get_ErrCode(request)) + "|" +
                              UpnpStateVarRequest_get_ErrStr_cstr(request) + "|" + (value ? value : "");
    UpnpStateVarRequest_delete(request);
    return reply;
  }
  TestHost host_;
  RefPtr<media_server> device_;
};

}  // namespace tovaly::test
