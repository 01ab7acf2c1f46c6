// MediaDownload routed through the device callback without sockets, with a
// host that answers the download requests from fixed values and records what
// reached it.

#include <gtest/gtest.h>
#include <upnp.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "device/description.h"
#include "device/ixml_util.h"
#include "device/media_server.h"
#include "device/service_table.h"

namespace tovaly {
namespace {

const char kMdsId[] = "urn:upnp-org:serviceId:MediaDownload";
const char kMdsType[] = "urn:schemas-upnp-org:service:MediaDownload:1";

struct DownloadHost {
  std::string udn = "uuid:00000000-1111-2222-3333-555555555555";
  bool publish = true;  // answers 60
  bool answer = true;   // answers 61-73
  StorageInfoRequest storage{10000000000, 4000000000};
  int64_t elapsed = 0, downloaded = 0;
  int32_t percentage = 0;
  std::string uri, title;
  int64_t startTime = 0, contentLength = 0;
  int32_t status = 0;
  std::string ids, infos, cache, mac, newId;
  int32_t removeResult = 0;
  // "code:argument" for every download request; null texts show as "(null)".
  std::vector<std::string> seen;

  static std::string Text(const char* s) { return s ? s : "(null)"; }
  void See(int32_t code, const std::string& what) { seen.push_back(std::to_string(code) + ":" + what); }

  static int32_t Callback(void* context, int32_t code, void* args) {
    return HostDispatch(code, [&]() -> int32_t {
      auto* host = static_cast<DownloadHost*>(context);
      if (code == kRequestDeviceUdn) {
        auto* r = static_cast<TextRequest*>(args);
        snprintf(r->buffer, r->size, "%s", host->udn.c_str());
        return 1;
      }
      if (code == kRequestMediaDownload) {
        if (!host->publish) return 0;
        static_cast<FlagRequest*>(args)->flag = 1;
        return 1;
      }
      if (code < kRequestStorageInfo || code > kRequestBinding) return 0;
      switch (code) {
        case kRequestProgressInfo: host->See(code, Text(static_cast<ProgressInfoRequest*>(args)->downloadId)); break;
        case kRequestDownloadInfo: host->See(code, Text(static_cast<DownloadInfoRequest*>(args)->downloadId)); break;
        case kRequestSetDownloadUri: {
          auto* r = static_cast<SetDownloadUriRequest*>(args);
          host->See(code, Text(r->uri) + "|" + Text(r->uniqueId) + "|" + Text(r->title));
          break;
        }
        case kRequestStartDownload:
        case kRequestPauseDownload:
        case kRequestStopDownload:
        case kRequestRemoveDownload: host->See(code, Text(static_cast<DownloadIdRequest*>(args)->downloadId)); break;
        case kRequestBinding: host->See(code, Text(static_cast<BindingRequest*>(args)->binding)); break;
        default: host->See(code, ""); break;
      }
      if (!host->answer) return 0;
      switch (code) {
        case kRequestStorageInfo: *static_cast<StorageInfoRequest*>(args) = host->storage; return 1;
        case kRequestProgressInfo: {
          auto* r = static_cast<ProgressInfoRequest*>(args);
          r->elapsedTime = host->elapsed;
          r->downloadedSize = host->downloaded;
          r->percentage = host->percentage;
          return 1;
        }
        case kRequestDownloadInfo: {
          auto* r = static_cast<DownloadInfoRequest*>(args);
          r->uri = host->uri;
          r->title = host->title;
          r->startTime = host->startTime;
          r->contentLength = host->contentLength;
          r->status = host->status;
          return 1;
        }
        case kRequestDownloadIds: static_cast<TextAnswer*>(args)->text = host->ids; return 1;
        case kRequestAllDownloadInfos: static_cast<TextAnswer*>(args)->text = host->infos; return 1;
        case kRequestCacheInfo: static_cast<TextAnswer*>(args)->text = host->cache; return 1;
        case kRequestMacAddress: static_cast<TextAnswer*>(args)->text = host->mac; return 1;
        case kRequestSetDownloadUri: static_cast<SetDownloadUriRequest*>(args)->downloadId = host->newId; return 1;
        case kRequestRemoveDownload: return host->removeResult;
        default: return 1;
      }
    });
  }
};

struct Reply {
  int errCode = 0;
  std::string errStr;
  IxmlDocument result;
  std::string Out(const char* name) const {
    if (!result) return "<no result>";
    IxmlNodeList list(ixmlDocument_getElementsByTagName(result.get(), name));
    IXML_Node* element = list ? ixmlNodeList_item(list.get(), 0) : nullptr;
    if (!element) return "<missing>";
    IXML_Node* text = ixmlNode_getFirstChild(element);
    return text ? ixmlNode_getNodeValue(text) : "";
  }
};

Reply Invoke(upnp_device* device, const std::string& udn, const char* action, const std::string& arguments = "") {
  UpnpActionRequest* request = UpnpActionRequest_new();
  UpnpActionRequest_strcpy_ActionName(request, action);
  UpnpActionRequest_strcpy_DevUDN(request, udn.c_str());
  UpnpActionRequest_strcpy_ServiceID(request, kMdsId);
  const std::string body =
      std::string("<u:") + action + " xmlns:u=\"" + kMdsType + "\">" + arguments + "</u:" + action + ">";
  IXML_Document* doc = ixmlParseBuffer(body.c_str());
  UpnpActionRequest_set_ActionRequest(request, doc);
  upnp_device::DeviceCallback(UPNP_CONTROL_ACTION_REQUEST, request, device);
  Reply reply;
  reply.errCode = UpnpActionRequest_get_ErrCode(request);
  reply.errStr = UpnpActionRequest_get_ErrStr_cstr(request);
  reply.result.reset(UpnpActionRequest_get_ActionResult(request));
  ixmlDocument_free(doc);
  UpnpActionRequest_delete(request);
  return reply;
}

class MediaDownload : public ::testing::Test {
 protected:
  void Bring() {
    device_.reset(new media_server(&DownloadHost::Callback, &host_));
    device_->Identify();
    device_->InitServices();
  }
  Reply Mds(const char* action, const std::string& args = "") {
    return Invoke(device_.get(), host_.udn, action, args);
  }
  void ExpectInternalError(const Reply& r, const std::string& what) {
    EXPECT_EQ(r.errCode, 501) << what;
    EXPECT_EQ(r.errStr, "Internal Error") << what;
    EXPECT_EQ(r.result, nullptr) << what;
  }
  DownloadHost host_;
  RefPtr<media_server> device_;
};

TEST_F(MediaDownload, UnpublishedWhenTheHostDoesNotAnswer60) {
  host_.publish = false;
  Bring();
  EXPECT_EQ(device_->serviceCount(), 2u);
  Reply r = Mds("Start", "<DownloadID>1</DownloadID>");
  EXPECT_EQ(r.errCode, 401);
  EXPECT_EQ(r.errStr, "Invalid Service");
  EXPECT_TRUE(host_.seen.empty());
}

TEST_F(MediaDownload, PublishedAsTheThirdRow) {
  Bring();
  EXPECT_EQ(device_->serviceCount(), 3u);
  const DeviceInfo info = MediaServerDeviceInfo();
  ASSERT_EQ(info.services.size(), 3u);
  const ServiceInfo& row = info.services[2];
  EXPECT_STREQ(row.serviceType, kMdsType);
  EXPECT_STREQ(row.serviceId, kMdsId);
  EXPECT_STREQ(row.scpdUrl, "mds.xml");
  EXPECT_STREQ(row.controlUrl, "/upnp/control/mds");
  EXPECT_STREQ(row.eventSubUrl, "/upnp/event/mds");

  UpnpStateVarRequest* query = UpnpStateVarRequest_new();
  UpnpStateVarRequest_strcpy_DevUDN(query, host_.udn.c_str());
  UpnpStateVarRequest_strcpy_ServiceID(query, kMdsId);
  UpnpStateVarRequest_strcpy_StateVarName(query, "TotalSpace");
  upnp_device::DeviceCallback(UPNP_CONTROL_GET_VAR_REQUEST, query, device_.get());
  EXPECT_EQ(UpnpStateVarRequest_get_ErrCode(query), 0);
  const DOMString value = UpnpStateVarRequest_get_CurrentVal(query);
  EXPECT_STREQ(value ? value : "(null)", "0");
  UpnpStateVarRequest_delete(query);
}

TEST_F(MediaDownload, FiguresAreDecimalTexts) {
  Bring();
  Reply r = Mds("GetStorageInfo");
  ASSERT_EQ(r.errCode, 0);
  EXPECT_EQ(r.Out("TotalSpace"), "10000000000");
  EXPECT_EQ(r.Out("FreeSpace"), "4000000000");

  host_.elapsed = 5000000000;
  host_.downloaded = -1;
  host_.percentage = 42;
  r = Mds("GetProgressInfo", "<DownloadID>7</DownloadID>");
  ASSERT_EQ(r.errCode, 0);
  EXPECT_EQ(r.Out("ElapsedTime"), "5000000000");
  EXPECT_EQ(r.Out("DownloadedSize"), "-1");
  EXPECT_EQ(r.Out("DownloadedPercentage"), "42");

  host_.uri = "http://example.com/a?b=1&c=2";
  host_.title = "Tom & Jerry <1>";
  host_.startTime = 1700000000;
  host_.contentLength = 8589934592;
  r = Mds("GetDownloadInfo", "<DownloadID>7</DownloadID>");
  ASSERT_EQ(r.errCode, 0);
  EXPECT_EQ(r.Out("Uri"), host_.uri);
  EXPECT_EQ(r.Out("Title"), host_.title);
  EXPECT_EQ(r.Out("StartTime"), "1700000000");
  EXPECT_EQ(r.Out("ContentLength"), "8589934592");
  EXPECT_EQ(r.Out("Status"), "Complete");

  const std::pair<int32_t, const char*> statuses[] = {
      {1, "Error"}, {2, "Pending"}, {3, "Downloading"}, {4, "Paused"}, {5, "Error"}, {-1, "Error"}};
  for (const auto& s : statuses) {
    host_.status = s.first;
    EXPECT_EQ(Mds("GetDownloadInfo", "<DownloadID>7</DownloadID>").Out("Status"), s.second) << s.first;
  }
}

TEST_F(MediaDownload, HostTextsPassThroughAndSilenceGivesEmptyElements) {
  Bring();
  host_.ids = "1,2,3";
  host_.infos = "<downloads count=\"3\"/>";
  host_.cache = "cache & more";
  host_.mac = "00:11:22:33:44:55";
  const struct {
    const char* action;
    const char* out;
    const std::string& text;
  } cases[] = {
      {"GetCurrentDownloadIDs", "DownloadIDs", host_.ids},
      {"GetAllDownloadInfos", "Result", host_.infos},
      {"GetCacheInfo", "Result", host_.cache},
      {"GetMacAddress", "Result", host_.mac},
  };
  for (const auto& c : cases) {
    Reply r = Mds(c.action);
    EXPECT_EQ(r.errCode, 0) << c.action;
    EXPECT_EQ(r.Out(c.out), c.text) << c.action;
  }

  host_.answer = false;
  for (const auto& c : cases) {
    Reply r = Mds(c.action);
    EXPECT_EQ(r.errCode, 0) << c.action;
    EXPECT_EQ(r.Out(c.out), "") << c.action;
  }
  Reply r = Mds("GetStorageInfo");
  EXPECT_EQ(r.Out("TotalSpace"), "0");
  EXPECT_EQ(r.Out("FreeSpace"), "0");
  EXPECT_EQ(Mds("GetDownloadInfo", "<DownloadID>7</DownloadID>").Out("Status"), "Complete");
}

TEST_F(MediaDownload, ArgumentsReachTheHostIntact) {
  Bring();
  host_.newId = "dl&<9>";
  Reply r = Mds("SetDownloadURI",
                "<Uri>http://example.com/v.mp4?a=1&amp;b=2</Uri><UniqueId>u-1</UniqueId><Title>A &lt;B&gt;</Title>");
  ASSERT_EQ(r.errCode, 0);
  EXPECT_EQ(r.Out("DownloadID"), "dl&<9>");
  r = Mds("SetDownloadURI", "<Title>only</Title>");  // every IN argument optional
  EXPECT_EQ(r.errCode, 0);

  const std::string id = "<DownloadID>id &amp; &lt;7&gt;</DownloadID>";
  host_.removeResult = -3;
  EXPECT_EQ(Mds("RemoveDownload", id).Out("Result"), "-3");
  host_.removeResult = 0;
  EXPECT_EQ(Mds("RemoveDownload", id).Out("Result"), "0");
  for (const char* action : {"Start", "Pause", "Stop"}) {
    r = Mds(action, id);
    EXPECT_EQ(r.errCode, 0) << action;
    EXPECT_NE(r.result, nullptr) << action;
  }
  EXPECT_EQ(Mds("BindingDevice", "<Binding>bind me &amp; you</Binding>").errCode, 0);
  Mds("GetProgressInfo", id);
  Mds("GetDownloadInfo", id);

  const std::vector<std::string> expected = {
      "65:http://example.com/v.mp4?a=1&b=2|u-1|A <B>",
      "65:(null)|(null)|only",
      "71:id & <7>",
      "71:id & <7>",
      "66:id & <7>",
      "67:id & <7>",
      "68:id & <7>",
      "73:bind me & you",
      "62:id & <7>",
      "63:id & <7>",
  };
  EXPECT_EQ(host_.seen, expected);
}

TEST_F(MediaDownload, MissingArgumentsAndAnswersAreInternalErrors) {
  Bring();
  for (const char* action : {"GetProgressInfo", "GetDownloadInfo", "RemoveDownload", "Start", "Pause", "Stop"}) {
    ExpectInternalError(Mds(action), action);
    ExpectInternalError(Mds(action, "<DownloadID></DownloadID>"), action);
  }
  ExpectInternalError(Mds("BindingDevice"), "BindingDevice");
  ExpectInternalError(Mds("BindingDevice", "<Binding/>"), "BindingDevice");
  EXPECT_TRUE(host_.seen.empty());

  host_.newId.clear();  // the host made no download
  ExpectInternalError(Mds("SetDownloadURI", "<Uri>http://example.com/</Uri>"), "SetDownloadURI");
  host_.newId = "1";
  host_.answer = false;
  ExpectInternalError(Mds("SetDownloadURI", "<Uri>http://example.com/</Uri>"), "SetDownloadURI");
}

TEST(MediaDownloadWithoutHost, EveryActionIsAnInternalError) {
  RefPtr<media_server> device(new media_server(&DownloadHost::Callback, nullptr));
  device->mediaDownloadEnabled = 1;  // a null context is never asked
  device->InitServices();
  ASSERT_EQ(device->serviceCount(), 3u);
  const std::string all =
      "<DownloadID>1</DownloadID><Uri>u</Uri><UniqueId>x</UniqueId><Title>t</Title><Binding>b</Binding>";
  for (const ActionEntry& action : MediaDownloadTable().actions) {
    Reply r = Invoke(device.get(), device->udn(), action.name, all);
    EXPECT_EQ(r.errCode, 501) << action.name;
    EXPECT_EQ(r.errStr, "Internal Error") << action.name;
  }
}

TEST(MediaDownloadScpd, ListsTheThirteenActionsWithTheirVariables) {
  const std::string text = BuildScpd(MediaDownloadTable());
  IxmlDocument doc(ixmlParseBuffer(text.c_str()));
  ASSERT_NE(doc, nullptr);

  auto childText = [](IXML_Node* parent, const char* name) -> std::string {
    for (IXML_Node* n = ixmlNode_getFirstChild(parent); n; n = ixmlNode_getNextSibling(n)) {
      if (std::string(ixmlNode_getNodeName(n)) != name) continue;
      IXML_Node* t = ixmlNode_getFirstChild(n);
      return t ? ixmlNode_getNodeValue(t) : "";
    }
    return "<missing>";
  };

  std::vector<std::string> actions;
  IxmlNodeList actionNodes(ixmlDocument_getElementsByTagName(doc.get(), "action"));
  for (unsigned long i = 0; actionNodes && i < ixmlNodeList_length(actionNodes.get()); ++i) {
    actions.push_back(childText(ixmlNodeList_item(actionNodes.get(), i), "name"));
  }
  const std::vector<std::string> expected = {
      "GetCurrentDownloadIDs", "GetAllDownloadInfos", "GetStorageInfo", "GetProgressInfo", "GetDownloadInfo",
      "SetDownloadURI",        "RemoveDownload",      "Start",          "Pause",           "Stop",
      "GetCacheInfo",          "GetMacAddress",       "BindingDevice"};
  EXPECT_EQ(actions, expected);

  std::vector<std::string> variables;
  std::string totalSpaceEvents;
  IxmlNodeList varNodes(ixmlDocument_getElementsByTagName(doc.get(), "stateVariable"));
  for (unsigned long i = 0; varNodes && i < ixmlNodeList_length(varNodes.get()); ++i) {
    IXML_Node* v = ixmlNodeList_item(varNodes.get(), i);
    variables.push_back(childText(v, "name"));
    const char* events = ixmlElement_getAttribute(reinterpret_cast<IXML_Element*>(v), "sendEvents");
    if (variables.back() == "TotalSpace") totalSpaceEvents = events ? events : "";
    else EXPECT_STREQ(events, "no") << variables.back();
  }
  EXPECT_EQ(totalSpaceEvents, "yes");

  IxmlNodeList argNodes(ixmlDocument_getElementsByTagName(doc.get(), "argument"));
  ASSERT_NE(argNodes, nullptr);
  for (unsigned long i = 0; i < ixmlNodeList_length(argNodes.get()); ++i) {
    IXML_Node* a = ixmlNodeList_item(argNodes.get(), i);
    const std::string related = childText(a, "relatedStateVariable");
    EXPECT_NE(std::find(variables.begin(), variables.end(), related), variables.end()) << childText(a, "name");
  }
}

}  // namespace
}  // namespace tovaly
