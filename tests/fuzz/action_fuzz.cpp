// Control requests as a client sends them to the device's HTTP: the input is
// the action element of a SOAP body, put into an envelope; the control URL
// and SOAPACTION follow from its namespace and name, as a client would pick
// them. Handed to the device of a media server whose host answers from the
// fixed folder tree, as the engine hands it; no stack, no socket.
//
// Checked: an answer is a result (200) or a fault (500) that reads as SOAP
// again, whatever texts it carries; a result is the action's response; a
// Browse result is DIDL-Lite that reads back with as many objects as
// NumberReturned says, at most 500, each one inside the shared folder.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/event_callback.h"
#include "device/media_server.h"
#include "fuzz_common.h"
#include "library/host_answers.h"
#include "library/media_library.h"
#include "upnp/didl.h"

namespace tovaly::fuzz {
namespace {

const char kUdn[] = "uuid:0f0f0f0f-1111-2222-3333-444444444444";
// What the host answers with: texts that need escaping on the way out.
const char kHostText[] = "<a href=\"x\">&amp; 'y'</a>";

int32_t Host(void*, int32_t code, void* args) {
  return HostDispatch(code, [&]() -> int32_t {
    const std::string& shared = FuzzTree().shared;
    switch (code) {
      case kRequestDeviceUdn: {
        auto* r = static_cast<TextRequest*>(args);
        return snprintf(r->buffer, r->size, "%s", kUdn), 1;
      }
      case kRequestProtocolList: return AnswerProtocolList(static_cast<ProtocolListRequest*>(args));
      case kRequestMediaDownload: return static_cast<FlagRequest*>(args)->flag = 1;
      case kRequestBrowseChildren: {
        auto* r = static_cast<BrowseChildrenRequest*>(args);
        return ListFolder(shared, r->objectId, r->startingIndex, r->requestedCount, r->mediaBaseUrl, r->list);
      }
      case kRequestBrowseMetadata: {
        auto* r = static_cast<BrowseMetadataRequest*>(args);
        return DescribeObject(shared, r->objectId, r->mediaBaseUrl, kHostText, r->object);
      }
      case kRequestStorageInfo: *static_cast<StorageInfoRequest*>(args) = {INT64_MAX, -1}; return 1;
      case kRequestProgressInfo: {
        auto* r = static_cast<ProgressInfoRequest*>(args);
        r->elapsedTime = INT64_MIN;
        r->percentage = 101;
        return 1;
      }
      case kRequestDownloadInfo: {
        auto* r = static_cast<DownloadInfoRequest*>(args);
        r->uri = r->downloadId ? r->downloadId : "";  // the client's own text comes back
        r->title = kHostText;
        r->status = 9;
        return 1;
      }
      case kRequestSetDownloadUri: {
        auto* r = static_cast<SetDownloadUriRequest*>(args);
        r->downloadId = std::string(r->uri ? r->uri : "") + kHostText;
        return 1;
      }
      case kRequestRemoveDownload: return -1;
      case kRequestDownloadIds:
      case kRequestAllDownloadInfos:
      case kRequestCacheInfo:
      case kRequestMacAddress: static_cast<TextAnswer*>(args)->text = kHostText; return 1;
      default: return 0;
    }
  });
}

media_server* Device() {
  static media_server* device = [] {
    auto* d = new media_server(&Host, reinterpret_cast<void*>(1));
    d->AddRef();  // kept for the whole run
    d->Identify();
    d->InitServices();
    d->OpenHttp();
    return d;
  }();
  return device;
}

const char* ControlUrlFor(const std::string& ns) {
  if (ns.find("ContentDirectory") != std::string::npos) return "/upnp/control/cds";
  if (ns.find("MediaDownload") != std::string::npos) return "/upnp/control/mds";
  return "/upnp/control/cm";  // and QueryStateVariable, or an unknown service: refused by the router
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

std::string Out(const SoapRequest& r, const char* name) {
  const char* text = r.Argument(name);
  return text ? text : "";
}

void CheckBrowse(const SoapRequest& result) {
  const std::string returned = Out(result, "NumberReturned"), total = Out(result, "TotalMatches");
  FUZZ_CHECK(AllDigits(returned) && AllDigits(total) && returned.size() < 10 && total.size() < 10);
  const long n = std::stol(returned);
  FUZZ_CHECK(n <= 500);
  bool ok = false;
  const std::vector<DidlEntry> entries = ReadDidl(Out(result, "Result").c_str(), &ok);
  FUZZ_CHECK(ok);
  FUZZ_CHECK(static_cast<long>(entries.size()) == n);
  for (const DidlEntry& e : entries) {
    std::string resolved;
    FUZZ_CHECK(e.id == "0" || ResolveInside(FuzzTree().shared, e.id, &resolved));
    FUZZ_CHECK(e.container || e.url.find_first_of(" \"<>#?\\") == std::string::npos);
  }
}

}  // namespace
}  // namespace tovaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  const std::string body =
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" + Bytes(data, size) +
      "</s:Body></s:Envelope>";
  SoapRequest asked;
  if (ReadSoapRequest(body, &asked) != SoapError::kNone) return 0;  // answered 400 or 413 by the device
  HttpRequest request;
  request.method = "POST";
  request.path = ControlUrlFor(asked.serviceType);
  request.headers.emplace_back("soapaction", "\"" + asked.serviceType + "#" + asked.action + "\"");
  request.body = body;
  const HttpAnswer answer = Device()->Answer(request);
  FUZZ_CHECK(answer.status == 200 || answer.status == 500);
  SoapRequest result;
  FUZZ_CHECK(ReadSoapRequest(answer.body, &result, 16 << 20) == SoapError::kNone);
  if (answer.status == 500) {
    FUZZ_CHECK(result.action == "Fault");
    return 0;
  }
  if (asked.action == "QueryStateVariable") {
    FUZZ_CHECK(result.action == "QueryStateVariableResponse");
    return 0;
  }
  FUZZ_CHECK(result.action == asked.action + "Response");
  if (asked.action == "Browse") CheckBrowse(result);
  return 0;
}
