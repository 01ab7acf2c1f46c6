// The error code and text checked here are the ones that go on the wire.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <future>
#include <string>
#include <thread>

#include "test_host.h"

namespace tovaly::test {
namespace {

class MediaServerRouting : public ServerTest {
 protected:
  void SetUp() override { Bring(); }
  void TearDown() override {
    if (!host_.contentFolder.empty()) std::system(("rm -rf '" + host_.contentFolder + "'").c_str());
  }
  void MakeFolders(int n) {
    char tmpl[] = "/tmp/tovaly-browse-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    host_.contentFolder = tmpl;
    for (int i = 0; i < n; ++i) mkdir((host_.contentFolder + "/f" + std::to_string(i)).c_str(), 0700);
  }
  Reply Browse(const std::string& id, const std::string& flag, const char* start = "0", const char* count = "0") {
    return Call(kCds, "Browse",
                "<ObjectID>" + id + "</ObjectID><BrowseFlag>" + flag + "</BrowseFlag><Filter>*</Filter><StartingIndex>" +
                    start + "</StartingIndex><RequestedCount>" + count + "</RequestedCount><SortCriteria/>");
  }
  std::string Counts(const char* start, const char* count) {
    return Browse("0", "BrowseDirectChildren", start, count).Outs({"NumberReturned", "TotalMatches"});
  }
};

TEST_F(MediaServerRouting, UnknownServiceOrActionIsRefusedAndAStoppedDeviceIgnoresAll) {
  EXPECT_EQ(device_->serviceCount(), 2u);  // MediaDownload unpublished: the host did not ask for it
  const Reply unpublished = Call(kMds, "GetProtocolInfo");
  EXPECT_EQ(unpublished.Error(), "401|Invalid Service");
  EXPECT_FALSE(unpublished.hasResult);
  EXPECT_EQ(Call(kCm, "getprotocolinfo").Error(), "401|Invalid Action");
  EXPECT_EQ(Call(kCm, "Browse").Error(), "401|Invalid Action");  // an action of another service
  EXPECT_EQ(Invoke(device_.get(), {kCm.control, kCds.type}, "GetProtocolInfo").Error(), "401|Invalid Action");
  // The SOAPACTION header names the same action as the body.
  const std::string body = Envelope(kCm.type, "GetProtocolInfo", "");
  EXPECT_EQ(ReadReply(device_->Answer(Post(kCm.control, body, "\"" + std::string(kCm.type) + "#GetProtocolInfo\""))).errCode, 0);
  EXPECT_EQ(ReadReply(device_->Answer(Post(kCm.control, body))).httpStatus, 400);
  EXPECT_EQ(ReadReply(device_->Answer(Post(kCm.control, body, std::string(kCm.type) + "#Browse"))).Error(),
            "401|Invalid Action");
  device_->Stop();
  const Reply stopped = Call(kCm, "GetProtocolInfo");
  EXPECT_EQ(std::to_string(stopped.httpStatus) + stopped.Out("Source"), "503<no result>");
}

TEST_F(MediaServerRouting, ConnectionManagerLifecycle) {
  auto ids = [&] { return Call(kCm, "GetCurrentConnectionIDs").Out("ConnectionIDs"); };
  EXPECT_EQ(ids(), "");
  for (const char* args : {"<ConnectionID>0</ConnectionID>", "<ConnectionID>-1</ConnectionID>", ""}) {
    EXPECT_EQ(Call(kCm, "GetCurrentConnectionInfo", args).Error(), "-501|Unkown Action") << args;
  }
  // The new connection's id is the current time.
  const int64_t before = time(nullptr) & 0x7FFFFFFF;
  Reply r = Call(kCm, "PrepareForConnection", "<RemoteProtocolInfo>x</RemoteProtocolInfo><Direction>Output</Direction>");
  const std::string id = r.Out("ConnectionID");
  EXPECT_TRUE(std::stoll(id) >= before && std::stoll(id) <= (time(nullptr) & 0x7FFFFFFF)) << id;
  EXPECT_EQ(r.Outs({"AVTransportID", "RcsID"}), id + "|" + id);
  EXPECT_EQ(ids(), id);
  r = Call(kCm, "GetCurrentConnectionInfo", "<ConnectionID> " + id + "</ConnectionID>");
  EXPECT_EQ(r.Outs({"RcsID", "AVTransportID", "ProtocolInfo", "PeerConnectionManager", "PeerConnectionID", "Direction",
                    "Status"}),
            id + "|" + id + "|||-1|Output|OK");
  EXPECT_EQ(Call(kCm, "ConnectionComplete", "<ConnectionID>12345</ConnectionID>").errCode, 0);  // not current
  EXPECT_EQ(ids(), id);
  EXPECT_EQ(Call(kCm, "ConnectionComplete", "<ConnectionID>" + id + "</ConnectionID>").errCode, 0);
  EXPECT_EQ(ids(), "");
  EXPECT_EQ(Call(kCm, "ConnectionComplete").errCode, 0);
}

TEST_F(MediaServerRouting, ProtocolInfoStateVariablesAndCapabilities) {
  const Reply r = Call(kCm, "GetProtocolInfo", "<From>http-get:*:video/mp4:*</From>");
  const std::string source = r.Out("Source");
  EXPECT_EQ(source.rfind("http-get:*:*:*,http-get:*:audio/3gpp:DLNA.ORG_PN=AMR_3GPP,http-get:*:audio/L16:*,", 0), 0u);
  EXPECT_EQ(r.Out("Sink"), "");
  EXPECT_EQ(host_.fromTexts, std::vector<std::string>{"http-get:*:video/mp4:*"});
  EXPECT_EQ(BuildSourceProtocolInfo("a,,b,"), "http-get:*:a,http-get:*:,http-get:*:b");
  EXPECT_EQ(BuildSourceProtocolInfo(""), "");
  EXPECT_EQ(BuildSourceProtocolInfo(nullptr), "http-get:*:*:*");

  EXPECT_EQ(Var(kCm, "SourceProtocolInfo"), "0||" + source);
  EXPECT_EQ(Var(kCm, "CurrentConnectionIDs"), "0||0");
  EXPECT_EQ(Var(kCm, "NoSuchVariable"), "404|Invalid Variable|");
  EXPECT_EQ(Var(kCds, "SourceProtocolInfo"), "404|Invalid Variable|");  // another service's variable
  EXPECT_EQ(Call(kCds, "GetSearchCapabilities").Out("SearchCaps") + Call(kCds, "GetSortCapabilities").Out("SortCaps"),
            "");
  EXPECT_EQ(Call(kCds, "GetSystemUpdateID").Out("Id"), "0");
}

TEST_F(MediaServerRouting, BrowseAnswersAndErrors) {
  MakeFolders(2);
  Reply r = Browse("0", "BrowseDirectChildren");
  EXPECT_EQ(r.Outs({"NumberReturned", "TotalMatches", "UpdateID"}), "2|2|0");
  EXPECT_EQ(r.Out("Result").rfind("<DIDL-Lite xmlns=", 0), 0u);  // no XML declaration
  EXPECT_EQ(Counts("1", "5"), "1|2");
  // Numbers as UPnP's ui4: blanks around them, the largest value; nothing else.
  EXPECT_EQ(Counts(" 1 ", "4294967295"), "1|2");
  EXPECT_EQ(Counts("4294967295", ""), "0|2");
  for (const char* number : {"-1", "+1", "abc", "1.5", "4294967296", "99999999999999999999", "1 2"}) {
    EXPECT_EQ(Browse("0", "BrowseDirectChildren", number, "0").Error(), "402|Invalid Args") << number;
    EXPECT_EQ(Browse("0", "BrowseDirectChildren", "0", number).Error(), "402|Invalid Args") << number;
  }
  r = Browse("0", "BrowseMetadata");
  EXPECT_EQ(r.Outs({"NumberReturned", "TotalMatches"}), "1|1");
  EXPECT_NE(r.Out("Result").find("childCount=\"2\" id=\"0\" restricted=\"1\" searchable=\"0\" parentID=\"-1\""),
            std::string::npos);
  for (const Reply& bad : {Browse("", "BrowseDirectChildren"), Browse("0", "browsedirectchildren"), Browse("0", ""),
                           Call(kCds, "Browse", "<ObjectID>0</ObjectID>")}) {
    EXPECT_EQ(bad.Error(), "402|Invalid Args");
    EXPECT_FALSE(bad.hasResult);
  }
  // An unknown folder is not an empty one.
  EXPECT_EQ(Browse("missing", "BrowseDirectChildren").Error(), "701|No such object");
  EXPECT_EQ(Browse("nothing/here", "BrowseMetadata").Error(), "701|No such object");
  std::system(("rm -rf '" + host_.contentFolder + "'").c_str());
  host_.contentFolder.clear();  // a host that does not answer: every BrowseMetadata fails
  EXPECT_EQ(Browse("0", "BrowseMetadata").Error(), "701|No such object");
}

// Answers of at most 500 objects, and no other request waits while a folder
// is read.
TEST_F(MediaServerRouting, LargeFoldersArePagedAndListedBesideOtherRequests) {
  MakeFolders(501);
  EXPECT_EQ(Counts("0", "0"), "500|501");
  EXPECT_EQ(Counts("0", "501"), "500|501");
  EXPECT_EQ(Counts("500", "0"), "1|501");

  std::promise<void> listing, answered;
  std::future<void> answeredSoon = answered.get_future();
  bool overtaken = false;
  host_.whileListing = [&] {
    listing.set_value();
    // A device lock held around the listing would keep the other request out.
    overtaken = answeredSoon.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  };
  std::thread slow([&] { Counts("0", "10"); });
  listing.get_future().wait();
  EXPECT_EQ(Call(kCm, "GetCurrentConnectionIDs").errCode, 0);
  answered.set_value();
  slow.join();
  EXPECT_TRUE(overtaken);
}

// A service whose handler returns what the test asks.
int32_t g_status = 0;
const char* g_text = nullptr;
int32_t ScriptedHandler(upnp_device*, const SoapRequest&, SoapOutputs* out, const char** errorText) {
  if (g_status == 0) out->emplace_back("Done", "yes");
  *errorText = g_text;
  return g_status;
}

struct ScriptedDevice : upnp_device {
  using upnp_device::upnp_device;
  void InitServices() override {
    static const ServiceTable table{"urn:x:service:Test:1", "urn:x:serviceId:Test", "t.xml", "/upnp/control/t",
                                    "/upnp/event/t", {{"Do", ScriptedHandler, {}}}, {}};
    services_.clear();
    AddService(table, {});
  }
  std::string StartHttp(const std::string&, int, int*) override { return std::string(); }
};

TEST(HandlerStatus, MapsToWireErrors) {
  TestHost host;
  RefPtr<ScriptedDevice> device(new ScriptedDevice(&TestHost::Callback, &host));
  device->Identify();
  device->InitServices();
  device->OpenHttp();
  const struct { int32_t status; const char *text, *wire; } cases[] = {{0, nullptr, "0|"},
               {-911, "Internal Error", "501|Internal Error"}, {-101, "Invalid Args", "402|Invalid Args"},
               {701, "No such object", "701|No such object"},  {-501, nullptr, "-501|Unkown Action"},
               {718, "a<b & c", "718|a&lt;b &amp; c"}};  // escaped in the fault
  for (const auto& c : cases) {
    g_status = c.status;
    g_text = c.text;
    Reply r = Invoke(device.get(), {"/upnp/control/t", "urn:x:service:Test:1"}, "Do");
    EXPECT_EQ(r.Error(), c.wire) << c.status;
    EXPECT_EQ(r.Out("Done"), c.status == 0 ? "yes" : "<no result>") << c.status;
  }
}

}  // namespace
}  // namespace tovaly::test
