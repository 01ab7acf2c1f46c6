// Action requests as the stack hands them to the device: the input is the
// action element of a SOAP body (the stack parses the envelope and gives the
// device that element as a document of its own). The action name is the
// element's local name and the service follows from its namespace, as the
// control URL would pick it. Routed through the device callback of a media
// server whose host answers from the fixed folder tree; no stack, no socket.
//
// Checked: an answer is either a fault or a result, never both; fault texts
// go out escaped; every result prints to XML that parses again with the same
// texts; a Browse result is DIDL-Lite that reads back with as many objects
// as NumberReturned says, at most 500, each one inside the shared folder.

#include <upnp.h>

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
#include "upnp/ixml_util.h"
#include "upnp/stack.h"

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
    return d;
  }();
  return device;
}

const char* ServiceIdFor(const char* ns) {
  if (!ns) return "";
  if (strstr(ns, "ContentDirectory")) return "urn:upnp-org:serviceId:ContentDirectory";
  if (strstr(ns, "ConnectionManager")) return "urn:upnp-org:serviceId:ConnectionManager";
  if (strstr(ns, "MediaDownload")) return "urn:upnp-org:serviceId:MediaDownload";
  return ns;  // an unknown service: refused by the router
}

// The text of the first `name` element of doc, "" when it has none.
std::string Out(IXML_Document* doc, const char* name) {
  const char* text = DescendantText(reinterpret_cast<IXML_Node*>(doc), name);
  return text ? text : "";
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

void CheckBrowse(IXML_Document* result) {
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

void Route(const char* serviceId, const char* actionName, IXML_Document* request) {
  UpnpActionRequest* r = UpnpActionRequest_new();
  UpnpActionRequest_strcpy_ActionName(r, actionName);
  UpnpActionRequest_strcpy_DevUDN(r, kUdn);
  UpnpActionRequest_strcpy_ServiceID(r, serviceId);
  UpnpActionRequest_set_ActionRequest(r, request);
  upnp_device::DeviceCallback(UPNP_CONTROL_ACTION_REQUEST, r, Device());
  const int err = UpnpActionRequest_get_ErrCode(r);
  IxmlDocument result(UpnpActionRequest_get_ActionResult(r));
  const std::string errText = UpnpActionRequest_get_ErrStr_cstr(r);
  UpnpActionRequest_delete(r);  // frees neither document

  FUZZ_CHECK((err == 0) == (result != nullptr));
  if (err != 0) {
    // The stack puts the text into the fault as it is.
    FUZZ_CHECK(errText.find_first_of("<>") == std::string::npos);
    return;
  }
  IXML_Node* response = ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(result.get()));
  FUZZ_CHECK(response && ixmlNode_getLocalName(response));
  FUZZ_CHECK(std::string(ixmlNode_getLocalName(response)) == std::string(actionName) + "Response");
  // What goes on the wire parses back to the same texts.
  IxmlString printed(ixmlPrintNode(reinterpret_cast<IXML_Node*>(result.get())));
  FUZZ_CHECK(printed);
  IxmlDocument again(ixmlParseBuffer(printed.get()));
  FUZZ_CHECK(again);
  for (IXML_Node* a = ixmlNode_getFirstChild(response); a; a = ixmlNode_getNextSibling(a)) {
    const char* name = ixmlNode_getNodeName(a);
    FUZZ_CHECK(name && Out(again.get(), name) == Out(result.get(), name));
  }
  if (strcmp(actionName, "Browse") == 0) CheckBrowse(result.get());
}

}  // namespace
}  // namespace tovaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovaly;
  using namespace tovaly::fuzz;
  if (size > kMaxContentLength) return 0;  // the stack takes no longer body
  const std::string text = Bytes(data, size);
  // The stack parses the body with the same XML library, which reads past the
  // end of some broken text (not UTF-8, or ending inside a construct): that
  // is the library's own, before the device sees anything, so such bodies are
  // left out here.
  if (!WithinXmlLimits(text.c_str())) return 0;
  IxmlDocument doc(ixmlParseBuffer(text.c_str()));
  if (!doc) return 0;  // the stack answers that itself
  IXML_Node* action = ixmlNode_getFirstChild(reinterpret_cast<IXML_Node*>(doc.get()));
  if (!action || ixmlNode_getNodeType(action) != eELEMENT_NODE) return 0;
  const char* name = ixmlNode_getLocalName(action);
  Route(ServiceIdFor(ixmlNode_getNamespaceURI(action)), name ? name : "", doc.get());

  // A state variable query for the text of <varName>, when there is one.
  const char* var = DescendantText(reinterpret_cast<IXML_Node*>(doc.get()), "varName");
  if (var) {
    UpnpStateVarRequest* q = UpnpStateVarRequest_new();
    UpnpStateVarRequest_strcpy_DevUDN(q, kUdn);
    UpnpStateVarRequest_strcpy_ServiceID(q, ServiceIdFor(ixmlNode_getNamespaceURI(action)));
    UpnpStateVarRequest_strcpy_StateVarName(q, var);
    upnp_device::DeviceCallback(UPNP_CONTROL_GET_VAR_REQUEST, q, Device());
    const DOMString value = UpnpStateVarRequest_get_CurrentVal(q);
    FUZZ_CHECK(!value || !strchr(value, '<'));  // inserted into the answer unescaped
    UpnpStateVarRequest_delete(q);
  }
  return 0;
}
