// Requests routed through the device callback without sockets: the error
// code and text checked here are the ones that go on the wire.

#include <gtest/gtest.h>
#include <upnp.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "device/ixml_util.h"
#include "device/media_server.h"
#include "test_host.h"

namespace tovaly {
namespace {

const char kCmId[] = "urn:upnp-org:serviceId:ConnectionManager";
const char kCmType[] = "urn:schemas-upnp-org:service:ConnectionManager:1";
const char kCdsId[] = "urn:upnp-org:serviceId:ContentDirectory";
const char kCdsType[] = "urn:schemas-upnp-org:service:ContentDirectory:1";

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

Reply Invoke(upnp_device* device, const std::string& udn, const char* serviceId, const char* serviceType,
             const char* action, const std::string& arguments = "") {
  UpnpActionRequest* request = UpnpActionRequest_new();
  UpnpActionRequest_strcpy_ActionName(request, action);
  UpnpActionRequest_strcpy_DevUDN(request, udn.c_str());
  UpnpActionRequest_strcpy_ServiceID(request, serviceId);
  const std::string body =
      std::string("<u:") + action + " xmlns:u=\"" + serviceType + "\">" + arguments + "</u:" + action + ">";
  IXML_Document* doc = ixmlParseBuffer(body.c_str());
  UpnpActionRequest_set_ActionRequest(request, doc);
  upnp_device::DeviceCallback(UPNP_CONTROL_ACTION_REQUEST, request, device);
  Reply reply;
  reply.errCode = UpnpActionRequest_get_ErrCode(request);
  reply.errStr = UpnpActionRequest_get_ErrStr_cstr(request);
  reply.result.reset(UpnpActionRequest_get_ActionResult(request));
  // Deleting the request does not free its documents.
  ixmlDocument_free(doc);
  UpnpActionRequest_delete(request);
  return reply;
}

struct VarReply {
  int errCode;
  std::string errStr, value;
};

VarReply Query(upnp_device* device, const std::string& udn, const char* serviceId, const char* name) {
  UpnpStateVarRequest* request = UpnpStateVarRequest_new();
  UpnpStateVarRequest_strcpy_DevUDN(request, udn.c_str());
  UpnpStateVarRequest_strcpy_ServiceID(request, serviceId);
  UpnpStateVarRequest_strcpy_StateVarName(request, name);
  upnp_device::DeviceCallback(UPNP_CONTROL_GET_VAR_REQUEST, request, device);
  VarReply reply{UpnpStateVarRequest_get_ErrCode(request), UpnpStateVarRequest_get_ErrStr_cstr(request), ""};
  if (const DOMString v = UpnpStateVarRequest_get_CurrentVal(request)) reply.value = v;
  UpnpStateVarRequest_delete(request);
  return reply;
}

class MediaServerRouting : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.reset(new media_server(&test::TestHost::Callback, &host_));
    device_->Identify();
    device_->InitServices();
  }
  Reply Cm(const char* action, const std::string& args = "") {
    return Invoke(device_.get(), host_.udn, kCmId, kCmType, action, args);
  }
  test::TestHost host_;
  RefPtr<media_server> device_;
};

TEST_F(MediaServerRouting, UnknownServiceOrActionIsRefusedBeforeAnyHandler) {
  Reply r = Invoke(device_.get(), host_.udn, "urn:upnp-org:serviceId:MediaDownload", kCmType, "GetProtocolInfo");
  EXPECT_EQ(r.errCode, 401);
  EXPECT_EQ(r.errStr, "Invalid Service");
  EXPECT_EQ(r.result, nullptr);

  r = Invoke(device_.get(), "uuid:someone-else", kCmId, kCmType, "GetProtocolInfo");
  EXPECT_EQ(r.errCode, 401);
  EXPECT_EQ(r.errStr, "Invalid Service");

  r = Cm("getprotocolinfo");  // differs only in letter case
  EXPECT_EQ(r.errCode, 401);
  EXPECT_EQ(r.errStr, "Invalid Action");
  r = Cm("Browse");  // an action of another service
  EXPECT_EQ(r.errCode, 401);
  EXPECT_EQ(r.errStr, "Invalid Action");
  EXPECT_EQ(device_->serviceCount(), 2u);  // MediaDownload unpublished: the host did not answer 60
}

TEST_F(MediaServerRouting, ConnectionManagerLifecycle) {
  Reply r = Cm("GetCurrentConnectionIDs");
  ASSERT_EQ(r.errCode, 0);
  EXPECT_EQ(r.Out("ConnectionIDs"), "");

  r = Cm("GetCurrentConnectionInfo", "<ConnectionID>0</ConnectionID>");
  EXPECT_EQ(r.errCode, -501);
  EXPECT_EQ(r.errStr, "Unkown Action");
  r = Cm("GetCurrentConnectionInfo", "<ConnectionID>-1</ConnectionID>");
  EXPECT_EQ(r.errCode, -501);
  r = Cm("GetCurrentConnectionInfo");  // no ConnectionID at all
  EXPECT_EQ(r.errCode, -501);

  const int64_t before = time(nullptr) & 0x7FFFFFFF;
  r = Cm("PrepareForConnection", "<RemoteProtocolInfo>x</RemoteProtocolInfo><Direction>Output</Direction>");
  const int64_t after = time(nullptr) & 0x7FFFFFFF;
  ASSERT_EQ(r.errCode, 0);
  const std::string id = r.Out("ConnectionID");
  EXPECT_GE(std::stoll(id), before);
  EXPECT_LE(std::stoll(id), after);
  EXPECT_EQ(r.Out("AVTransportID"), id);
  EXPECT_EQ(r.Out("RcsID"), id);

  r = Cm("GetCurrentConnectionIDs");
  EXPECT_EQ(r.Out("ConnectionIDs"), id);
  r = Cm("GetCurrentConnectionInfo", "<ConnectionID> " + id + "</ConnectionID>");
  ASSERT_EQ(r.errCode, 0);
  EXPECT_EQ(r.Out("RcsID"), id);
  EXPECT_EQ(r.Out("AVTransportID"), id);
  EXPECT_EQ(r.Out("ProtocolInfo"), "");
  EXPECT_EQ(r.Out("PeerConnectionManager"), "");
  EXPECT_EQ(r.Out("PeerConnectionID"), "-1");
  EXPECT_EQ(r.Out("Direction"), "Output");
  EXPECT_EQ(r.Out("Status"), "OK");

  r = Cm("ConnectionComplete", "<ConnectionID>12345</ConnectionID>");  // not current: no change
  EXPECT_EQ(r.errCode, 0);
  EXPECT_EQ(Cm("GetCurrentConnectionIDs").Out("ConnectionIDs"), id);
  EXPECT_EQ(Cm("ConnectionComplete", "<ConnectionID>" + id + "</ConnectionID>").errCode, 0);
  EXPECT_EQ(Cm("GetCurrentConnectionIDs").Out("ConnectionIDs"), "");
  EXPECT_EQ(Cm("ConnectionComplete").errCode, 0);  // missing argument: harmless
}

TEST_F(MediaServerRouting, ProtocolInfoListsTheHostsFormats) {
  Reply r = Cm("GetProtocolInfo", "<From>http-get:*:video/mp4:*</From>");
  ASSERT_EQ(r.errCode, 0);
  const std::string source = r.Out("Source");
  size_t entries = 1;
  for (char c : source) entries += (c == ',');
  EXPECT_EQ(entries, 101u);
  EXPECT_EQ(source.rfind("http-get:*:*:*,http-get:*:audio/3gpp:DLNA.ORG_PN=AMR_3GPP,http-get:*:audio/L16:*,", 0), 0u);
  EXPECT_EQ(source.substr(source.size() - 34), ",http-get:*:video/X-RN-3GPP-H263:*");
  EXPECT_EQ(r.Out("Sink"), "");
  ASSERT_EQ(host_.fromTexts.size(), 1u);
  EXPECT_EQ(host_.fromTexts[0], "http-get:*:video/mp4:*");

  EXPECT_EQ(BuildSourceProtocolInfo("a,,b,"), "http-get:*:a,http-get:*:,http-get:*:b");
  EXPECT_EQ(BuildSourceProtocolInfo(""), "");
  EXPECT_EQ(BuildSourceProtocolInfo(nullptr), "http-get:*:*:*");
}

TEST_F(MediaServerRouting, StateVariableQueries) {
  VarReply v = Query(device_.get(), host_.udn, kCmId, "SourceProtocolInfo");
  EXPECT_EQ(v.errCode, 0);
  EXPECT_EQ(v.value, Cm("GetProtocolInfo").Out("Source"));
  v = Query(device_.get(), host_.udn, kCmId, "CurrentConnectionIDs");
  EXPECT_EQ(v.value, "0");
  v = Query(device_.get(), host_.udn, kCmId, "NoSuchVariable");
  EXPECT_EQ(v.errCode, 404);
  EXPECT_EQ(v.errStr, "Invalid Variable");
  v = Query(device_.get(), host_.udn, kCdsId, "SourceProtocolInfo");  // another service's variable
  EXPECT_EQ(v.errCode, 404);
}

TEST_F(MediaServerRouting, ContentDirectoryCapabilities) {
  Reply r = Invoke(device_.get(), host_.udn, kCdsId, kCdsType, "GetSearchCapabilities");
  ASSERT_EQ(r.errCode, 0);
  EXPECT_EQ(r.Out("SearchCaps"), "");
  r = Invoke(device_.get(), host_.udn, kCdsId, kCdsType, "GetSortCapabilities");
  EXPECT_EQ(r.Out("SortCaps"), "");
  r = Invoke(device_.get(), host_.udn, kCdsId, kCdsType, "GetSystemUpdateID");
  EXPECT_EQ(r.Out("Id"), "0");
}

TEST_F(MediaServerRouting, BrowseAnswersAndErrors) {
  char tmpl[] = "/tmp/tovaly-browse-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  mkdir((root + "/A").c_str(), 0700);
  mkdir((root + "/B").c_str(), 0700);
  fclose(fopen((root + "/c.mp3").c_str(), "w"));
  host_.contentFolder = root;
  auto browse = [&](const std::string& id, const std::string& flag, const char* start = "0", const char* count = "0") {
    return Invoke(device_.get(), host_.udn, kCdsId, kCdsType, "Browse",
                  "<ObjectID>" + id + "</ObjectID><BrowseFlag>" + flag + "</BrowseFlag><Filter>*</Filter>" +
                      "<StartingIndex>" + start + "</StartingIndex><RequestedCount>" + count +
                      "</RequestedCount><SortCriteria></SortCriteria>");
  };
  Reply r = browse("0", "BrowseDirectChildren");
  ASSERT_EQ(r.errCode, 0) << r.errStr;
  EXPECT_EQ(r.Out("NumberReturned"), "2");
  EXPECT_EQ(r.Out("TotalMatches"), "2");
  EXPECT_EQ(r.Out("UpdateID"), "0");
  EXPECT_EQ(r.Out("Result").rfind("<DIDL-Lite xmlns=", 0), 0u);  // no XML declaration
  r = browse("0", "BrowseDirectChildren", "1", "5");
  EXPECT_EQ(r.Out("NumberReturned"), "1");
  EXPECT_EQ(r.Out("TotalMatches"), "2");
  r = browse("missing", "BrowseDirectChildren");  // not an error: an empty folder
  EXPECT_EQ(r.errCode, 0);
  EXPECT_EQ(r.Out("TotalMatches"), "0");
  r = browse("0", "BrowseMetadata");
  ASSERT_EQ(r.errCode, 0);
  EXPECT_NE(r.Out("Result").find("parentID=\"-1\""), std::string::npos);
  EXPECT_NE(r.Out("Result").find("childCount=\"2\""), std::string::npos);
  EXPECT_EQ(r.Out("NumberReturned"), "1");

  for (const Reply& bad : {browse("", "BrowseDirectChildren"), browse("0", "browsedirectchildren"),
                           browse("0", ""), browse("nothing/here", "BrowseMetadata"),
                           Invoke(device_.get(), host_.udn, kCdsId, kCdsType, "Browse", "<ObjectID>0</ObjectID>")}) {
    EXPECT_EQ(bad.errCode, 402);
    EXPECT_EQ(bad.errStr, "Invalid Args");
    EXPECT_EQ(bad.result, nullptr);
  }
  host_.contentFolder.clear();  // a host that does not answer 13: every BrowseMetadata fails
  EXPECT_EQ(browse("0", "BrowseMetadata").errCode, 402);
  std::system(("rm -rf '" + root + "'").c_str());
}

TEST_F(MediaServerRouting, StoppedDeviceIgnoresRequests) {
  device_->Stop();
  Reply r = Cm("GetProtocolInfo");
  EXPECT_EQ(r.errCode, 0);
  EXPECT_EQ(r.result, nullptr);
}

// A device with a service whose handler returns what the test asks, to see
// how the framework turns statuses into wire errors.
int32_t g_status = 0;
const char* g_text = nullptr;
int32_t ScriptedHandler(upnp_device*, IXML_Document*, IXML_Document** response, const char** errorText) {
  *response = g_status == 0 ? ixmlParseBuffer("<u:DoResponse xmlns:u=\"urn:x:service:Test:1\"/>") : nullptr;
  *errorText = g_text;
  return g_status;
}

struct ScriptedDevice : upnp_device {
  using upnp_device::upnp_device;
  void InitServices() override {
    static const ServiceTable table{"urn:x:service:Test:1", "urn:x:serviceId:Test", "t.xml", "/c", "/e",
                                  {{"Do", ScriptedHandler, {}}}, {}};
    services_.clear();
    AddService(table, {});
  }
};

TEST(HandlerStatus, MapsToWireErrors) {
  test::TestHost host;
  RefPtr<ScriptedDevice> device(new ScriptedDevice(&test::TestHost::Callback, &host));
  device->Identify();
  device->InitServices();
  struct Case {
    int32_t status;
    const char* text;
    int wireCode;
    const char* wireText;
  } cases[] = {
      {0, nullptr, 0, ""},
      {-911, "Internal Error", 501, "Internal Error"},
      {-911, nullptr, 501, "Unkown Action"},
      {-101, "Invalid Args", 402, "Invalid Args"},
      {-101, nullptr, 402, "Unkown Action"},
      {701, "No such object", 701, "No such object"},
      {-501, nullptr, -501, "Unkown Action"},
      {718, "a<b & c", 718, "a&lt;b &amp; c"},  // the stack would insert it unescaped
  };
  for (const Case& c : cases) {
    g_status = c.status;
    g_text = c.text;
    Reply r = Invoke(device.get(), host.udn, "urn:x:serviceId:Test", "urn:x:service:Test:1", "Do");
    EXPECT_EQ(r.errCode, c.wireCode) << c.status;
    EXPECT_EQ(r.errStr, c.wireText) << c.status;
    EXPECT_EQ(r.result != nullptr, c.status == 0) << c.status;
  }
}

}  // namespace
}  // namespace tovaly
