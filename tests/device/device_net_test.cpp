// The local device on the real UPnP stack, inside the private network that
// netns.sh makes for it (TOVALY_TEST_ADDR); skipped anywhere else.

#include <gtest/gtest.h>
#include <upnp.h>

#include <cstdlib>

#include "../common/raw_http.h"
#include "device/media_server.h"
#include "test_host.h"

namespace tovaly::test {
namespace {

class DeviceOnStack : public ::testing::Test {
 protected:
  void SetUp() override {
    address_ = getenv("TOVALY_TEST_ADDR") ? getenv("TOVALY_TEST_ADDR") : "";
    if (address_.empty()) GTEST_SKIP() << "runs only inside a private network (tests/interop/netns.sh)";
  }
  std::string address_;
  TestHost host_;
};

// Whatever step fails, the device gives back what the earlier ones took:
// its share of the stack and the media engine's port.
TEST_F(DeviceOnStack, AFailedStartLeavesNothingRunning) {
  host_.udn = "";  // the host gives no identity: the start fails after the stack and engine came up
  RefPtr<media_server> device(new media_server(&TestHost::Callback, &host_));
  DeviceInfo info = MediaServerDeviceInfo();
  info.friendlyName = "Test";
  EXPECT_EQ(device->Start(address_.c_str(), 0, info), UPNP_E_INVALID_PARAM);
  EXPECT_EQ(UpnpGetServerPort(), 0u) << "the stack still runs";
  EXPECT_EQ(device->mediaPort(), 0u) << "the media engine still listens";

  host_.udn = "uuid:00000000-1111-2222-3333-444444444444";
  RefPtr<media_server> second(new media_server(&TestHost::Callback, &host_));
  ASSERT_EQ(second->Start(address_.c_str(), 0, info), 0);
  EXPECT_NE(UpnpGetServerPort(), 0u);
  const uint16_t media = second->mediaPort();
  EXPECT_EQ(Exchange(media, "GET", "/media/x/y.mp3", "", "", address_.c_str()).status, 404);
  second->Stop();
  EXPECT_EQ(UpnpGetServerPort(), 0u);
  EXPECT_LT(ConnectTo(media, address_.c_str()), 0);
}

}  // namespace
}  // namespace tovaly::test
