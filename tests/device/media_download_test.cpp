// MediaDownload only relays: what matters is what reaches the host and how
// its answers (or its silence) come back on the wire.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/service_table.h"
#include "test_host.h"

namespace tovaly::test {
namespace {

class MediaDownload : public ServerTest {
 protected:
  void SetUp() override {
    host_.answerMediaDownload = true;
    Bring();
  }
  Reply Mds(const char* action, const std::string& args = "") { return Call(kMds, action, args); }
};

// Unasked, it is not published (the first of the MediaServerRouting tests).
TEST_F(MediaDownload, PublishedWhenTheHostAsks) {
  EXPECT_EQ(device_->serviceCount(), 3u);
  EXPECT_EQ(Var(kMds, "TotalSpace"), "0||0");  // evented, with an initial value
}

TEST_F(MediaDownload, HostAnswersAsDecimalTextsAndSilenceAsEmptyElements) {
  EXPECT_EQ(Mds("GetStorageInfo").Outs({"TotalSpace", "FreeSpace"}), "10000000000|4000000000");
  host_.progress = {nullptr, 5000000000, -1, 42};
  EXPECT_EQ(Mds("GetProgressInfo", "<DownloadID>7</DownloadID>")
                .Outs({"ElapsedTime", "DownloadedSize", "DownloadedPercentage"}),
            "5000000000|-1|42");
  host_.info = {nullptr, "http://example.com/a?b=1&c=2", "Tom & Jerry <1>", 1700000000, 8589934592, 0};
  const std::string id7 = "<DownloadID>7</DownloadID>";
  EXPECT_EQ(Mds("GetDownloadInfo", id7).Outs({"Uri", "Title", "StartTime", "ContentLength", "Status"}),
            "http://example.com/a?b=1&c=2|Tom & Jerry <1>|1700000000|8589934592|Complete");
  // 1 is not "Downloading" or anything else the numbering might suggest.
  for (const auto& [status, text] : std::vector<std::pair<int32_t, std::string>>{
           {1, "Error"}, {2, "Pending"}, {3, "Downloading"}, {4, "Paused"}, {5, "Error"}, {-1, "Error"}}) {
    host_.info.status = status;
    EXPECT_EQ(Mds("GetDownloadInfo", id7).Out("Status"), text) << status;
  }
  const std::pair<const char*, const char*> actions[] = {
      {"GetCurrentDownloadIDs", "DownloadIDs"}, {"GetAllDownloadInfos", "Result"}, {"GetCacheInfo", "Result"},
      {"GetMacAddress", "Result"}};
  host_.texts = {{kRequestDownloadIds, "1,2,3"}, {kRequestAllDownloadInfos, "<downloads count=\"3\"/>"},
                 {kRequestCacheInfo, "cache & more"}, {kRequestMacAddress, "00:11:22:33:44:55"}};
  std::string answered, silent;
  for (const auto& a : actions) answered += Mds(a.first).Out(a.second) + "|";
  host_.answerDownloads = false;
  for (const auto& a : actions) silent += Mds(a.first).Out(a.second) + "|";
  EXPECT_EQ(answered, "1,2,3|<downloads count=\"3\"/>|cache & more|00:11:22:33:44:55|");
  EXPECT_EQ(silent, "||||");  // empty elements, not faults
  EXPECT_EQ(Mds("GetStorageInfo").Outs({"TotalSpace", "FreeSpace"}), "0|0");
  EXPECT_EQ(Mds("GetDownloadInfo", id7).Out("Status"), "Complete");
}

TEST_F(MediaDownload, ArgumentsReachTheHostIntact) {
  host_.newId = "dl&<9>";
  Reply r = Mds("SetDownloadURI",
                "<Uri>http://example.com/v.mp4?a=1&amp;b=2</Uri><UniqueId>u-1</UniqueId><Title>A &lt;B&gt;</Title>");
  EXPECT_EQ(r.Out("DownloadID"), "dl&<9>");
  EXPECT_EQ(Mds("SetDownloadURI", "<Title>only</Title>").errCode, 0);  // every IN argument optional
  const std::string id = "<DownloadID>id &amp; &lt;7&gt;</DownloadID>";
  host_.removeResult = -3;
  EXPECT_EQ(Mds("RemoveDownload", id).Out("Result"), "-3");
  host_.removeResult = 0;
  EXPECT_EQ(Mds("RemoveDownload", id).Out("Result"), "0");
  for (const char* action : {"Start", "Pause", "Stop"}) {
    const Reply done = Mds(action, id);
    EXPECT_TRUE(done.errCode == 0 && done.hasResult) << action;  // an empty response element
  }
  EXPECT_EQ(Mds("BindingDevice", "<Binding>bind me &amp; you</Binding>").errCode, 0);
  Mds("GetProgressInfo", id);
  Mds("GetDownloadInfo", id);
  const std::vector<std::string> expected = {
      "65:http://example.com/v.mp4?a=1&b=2|u-1|A <B>", "65:(null)|(null)|only", "71:id & <7>", "71:id & <7>",
      "66:id & <7>", "67:id & <7>", "68:id & <7>", "73:bind me & you", "62:id & <7>", "63:id & <7>",
  };
  EXPECT_EQ(host_.seen, expected);
}

TEST_F(MediaDownload, MissingArgumentsAndAnswersAreInternalErrors) {
  std::vector<Reply> replies;
  // An empty argument is a missing one (Soap.RequestsAsClientsWriteThem).
  for (const char* action : {"GetProgressInfo", "GetDownloadInfo", "RemoveDownload", "Start", "Pause", "Stop"}) {
    replies.push_back(Mds(action));
  }
  replies.push_back(Mds("BindingDevice"));
  EXPECT_TRUE(host_.seen.empty());
  host_.newId.clear();  // the host made no download
  replies.push_back(Mds("SetDownloadURI", "<Uri>http://example.com/</Uri>"));
  host_.newId = "1";
  host_.answerDownloads = false;
  replies.push_back(Mds("SetDownloadURI", "<Uri>http://example.com/</Uri>"));
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i].Error() + (replies[i].hasResult ? " with a result" : ""), "501|Internal Error") << i;
  }
}

TEST(MediaDownloadWithoutHost, EveryActionIsAnInternalError) {
  // A null context must never be asked.
  RefPtr<media_server> device(new media_server([](void*, int32_t code, void*) -> int32_t {
    ADD_FAILURE() << "asked " << code;
    return 0;
  }, nullptr));
  device->mediaDownloadEnabled = 1;
  device->InitServices();
  device->OpenHttp();
  ASSERT_EQ(device->serviceCount(), 3u);
  const std::string all =
      "<DownloadID>1</DownloadID><Uri>u</Uri><UniqueId>x</UniqueId><Title>t</Title><Binding>b</Binding>";
  for (const ActionEntry& action : MediaDownloadTable().actions) {
    EXPECT_EQ(Invoke(device.get(), kMds, action.name, all).Error(), "501|Internal Error") << action.name;
  }
  // mds.xml lists them (see ServiceTables) and events TotalSpace only.
  const std::string scpd = BuildScpd(MediaDownloadTable());
  const size_t evented = scpd.find("<stateVariable sendEvents=\"yes\">");
  ASSERT_NE(evented, std::string::npos);
  EXPECT_EQ(scpd.find("<name>", evented), scpd.find("<name>TotalSpace</name>", evented));
  EXPECT_EQ(scpd.find("<stateVariable sendEvents=\"yes\">", evented + 1), std::string::npos);
}

}  // namespace
}  // namespace tovaly::test
