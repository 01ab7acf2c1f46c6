#pragma once
// A host that answers the device from fixed values and records what it was
// asked, and requests handed to the device's HTTP as the engine hands them,
// without sockets.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/event_callback.h"
#include "device/media_server.h"
#include "library/host_answers.h"
#include "library/media_library.h"

namespace tovaly::test {

struct Service {
  const char* control;
  const char* type;
};
constexpr Service kCm{"/upnp/control/cm", "urn:schemas-upnp-org:service:ConnectionManager:1"};
constexpr Service kCds{"/upnp/control/cds", "urn:schemas-upnp-org:service:ContentDirectory:1"};
constexpr Service kMds{"/upnp/control/mds", "urn:schemas-upnp-org:service:MediaDownload:1"};

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

// A control request's answer as a client reads it off the wire.
struct Reply {
  int httpStatus = 0;
  int errCode = 0;
  std::string errStr;
  bool hasResult = false;
  SoapRequest result;  // the answer's arguments, read as a request's are
  std::string Error() const { return std::to_string(errCode) + "|" + errStr; }
  // The texts of the arguments so named, joined with "|"; "<missing>" for an
  // absent one, "<no result>" without a result.
  std::string Outs(std::initializer_list<const char*> names) const {
    std::string joined;
    for (const char* name : names) {
      std::string text = hasResult ? "<missing>" : "<no result>";
      for (const auto& a : result.arguments) {
        if (hasResult && a.first == name) {
          text = a.second;
          break;
        }
      }
      joined += (joined.empty() ? "" : "|") + text;
    }
    return joined;
  }
  std::string Out(const char* name) const { return Outs({name}); }
};

inline std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  const size_t a = text.find(open);
  const size_t b = a == std::string::npos ? a : text.find(close, a + open.size());
  return b == std::string::npos ? std::string() : text.substr(a + open.size(), b - a - open.size());
}

inline Reply ReadReply(const HttpAnswer& answer) {
  Reply reply;
  reply.httpStatus = static_cast<int>(answer.status);
  if (answer.status == 500) {
    reply.errCode = std::atoi(Between(answer.body, "<errorCode>", "</errorCode>").c_str());
    reply.errStr = Between(answer.body, "<errorDescription>", "</errorDescription>");
  } else if (answer.status == 200) {
    reply.hasResult = ReadSoapRequest(answer.body, &reply.result, 16 << 20) == SoapError::kNone;
  }
  return reply;
}

inline HttpRequest Post(const char* path, const std::string& body, const std::string& soapAction = "") {
  HttpRequest r;
  r.method = "POST";
  r.path = path;
  r.body = body;
  if (!soapAction.empty()) r.headers.emplace_back("soapaction", soapAction);
  return r;
}

inline std::string Envelope(const std::string& type, const std::string& action, const std::string& arguments) {
  return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
         action + " xmlns:u=\"" + type + "\">" + arguments + "</u:" + action + "></s:Body></s:Envelope>";
}

inline Reply Invoke(upnp_device* device, Service service, const char* action, const std::string& arguments = "") {
  return ReadReply(device->Answer(Post(service.control, Envelope(service.type, action, arguments),
                                       std::string("\"") + service.type + "#" + action + "\"")));
}

// A media server on a TestHost; Bring() once the host is set up.
class ServerTest : public ::testing::Test {
 protected:
  void Bring() {
    device_.reset(new media_server(&TestHost::Callback, &host_));
    device_->Identify();
    device_->InitServices();
    device_->OpenHttp();
  }
  Reply Call(Service service, const char* action, const std::string& args = "") {
    return Invoke(device_.get(), service, action, args);
  }
  // A state variable query: "error code|error text|value".
  std::string Var(Service service, const char* name) {
    const Reply r = Invoke(device_.get(), {service.control, "urn:schemas-upnp-org:control-1-0"}, "QueryStateVariable",
                           std::string("<u:varName>") + name + "</u:varName>");
    return std::to_string(r.errCode) + "|" + r.errStr + "|" + (r.hasResult ? r.Out("return") : "");
  }
  TestHost host_;
  RefPtr<media_server> device_;
};

}  // namespace tovaly::test
