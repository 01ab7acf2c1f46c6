#include <gtest/gtest.h>

#include <set>

#include "device/description.h"
#include "device/service_table.h"
#include "upnp/ixml_util.h"

namespace tovaly {
namespace {

TEST(Description, ExactDocumentServiceRowsAndEscapedNames) {
  DeviceInfo info = MediaServerDeviceInfo();
  info.friendlyName = "MYPC - 1.23.52";
  info.udn = "uuid:00000000-1111-2222-3333-444444444444";
  info.serviceCount = 2;  // MediaDownload not published
  const std::string expected =
      "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\r\n"
      "<specVersion>\r\n<major>1</major>\r\n<minor>0</minor>\r\n</specVersion>\r\n<device>\r\n"
      "<dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.50</dlna:X_DLNADOC>\r\n"
      "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>\r\n"
      "<friendlyName>MYPC - 1.23.52</friendlyName>\r\n<manufacturer>Mr. Zarn</manufacturer>\r\n"
      "<manufacturerURL>http://tovaly.example.org/</manufacturerURL>\r\n"
      "<modelDescription>Praxen UPNP Media Server</modelDescription>\r\n"
      "<modelName>Praxen UPNP Media Server</modelName>\r\n<modelNumber>1.5.0</modelNumber>\r\n"
      "<modelURL>http://tovaly.example.org/</modelURL>\r\n<serialNumber>1</serialNumber>\r\n"
      "<UDN>uuid:00000000-1111-2222-3333-444444444444</UDN>\r\n<UPC>1234</UPC>\r\n<ACK>192.168.1.23:0</ACK>\r\n"
      "<serviceList>\r\n<service>\r\n"
      "<serviceType>urn:schemas-upnp-org:service:ConnectionManager:1</serviceType>\r\n"
      "<serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId>\r\n<SCPDURL>cm.xml</SCPDURL>\r\n"
      "<controlURL>/upnp/control/cm</controlURL>\r\n<eventSubURL>/upnp/event/cm</eventSubURL>\r\n"
      "</service>\r\n<service>\r\n"
      "<serviceType>urn:schemas-upnp-org:service:ContentDirectory:1</serviceType>\r\n"
      "<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId>\r\n<SCPDURL>cds.xml</SCPDURL>\r\n"
      "<controlURL>/upnp/control/cds</controlURL>\r\n<eventSubURL>/upnp/event/cds</eventSubURL>\r\n"
      "</service>\r\n</serviceList>\r\n<presentationURL>/</presentationURL>\r\n</device>\r\n</root>\r\n";
  EXPECT_EQ(BuildDescription(info, "192.168.1.23:0"), expected);

  info.friendlyName = "Tom & Jerry's <PC>";
  info.presentationUrl = "http://192.0.2.1:49152/";
  info.serviceCount = 3;
  const std::string three = BuildDescription(info, "192.0.2.1:5000");
  EXPECT_NE(IxmlDocument(ixmlParseBuffer(three.c_str())), nullptr);
  for (const char* part : {"<friendlyName>Tom &amp; Jerry&apos;s &lt;PC&gt;</friendlyName>",
                           "<serviceId>urn:upnp-org:serviceId:MediaDownload</serviceId>\r\n<SCPDURL>mds.xml</SCPDURL>",
                           "<presentationURL>http://192.0.2.1:49152/</presentationURL>"}) {
    EXPECT_NE(three.find(part), std::string::npos) << part;
  }
  info.serviceCount = 1;
  const std::string one = BuildDescription(info, "192.0.2.1:5000");
  EXPECT_TRUE(one.find("ContentDirectory") == std::string::npos && one.find("ConnectionManager") != std::string::npos);
  info.rootNamespace = "urn:a-namespace-far-too-long-for-the-skeleton-buffer-of-one-hundred-bytes-xxxxxxxxxxxxx";
  EXPECT_EQ(BuildDescription(info, "x:0"), "");
}

TEST(Description, FriendlyNameDecoration) {
  EXPECT_EQ(DecorateFriendlyName("MYPC", "192.168.1.23", 49152), "MYPC - 1.23.52");
  EXPECT_EQ(DecorateFriendlyName("MYPC", "10.0.0.5", 49100), "MYPC - 0.5.0");
  EXPECT_EQ(DecorateFriendlyName("box", "localhost", 49153), "box - localhost.53");
}

// A typo in a dispatch table would publish an argument bound to no state variable.
TEST(ServiceTables, EveryArgumentHasItsStateVariable) {
  for (const ServiceTable* table : {&ConnectionManagerTable(), &ContentDirectoryTable(), &MediaDownloadTable()}) {
    std::set<std::string> variables, actions;
    for (const auto& v : table->variables) EXPECT_TRUE(variables.insert(v.name).second) << v.name;
    for (const auto& a : table->actions) {
      EXPECT_TRUE(actions.insert(a.name).second) << a.name;
      EXPECT_NE(a.handler, nullptr) << a.name;
      for (const auto& arg : a.arguments) {
        EXPECT_TRUE(variables.count(arg.relatedStateVariable)) << a.name << "." << arg.name;
      }
    }
    IxmlDocument doc(ixmlParseBuffer(BuildScpd(*table).c_str()));
    ASSERT_NE(doc, nullptr) << table->scpdUrl;
    IxmlNodeList names(ixmlDocument_getElementsByTagName(doc.get(), "action"));
    EXPECT_EQ(ixmlNodeList_length(names.get()), table->actions.size());
  }
}

}  // namespace
}  // namespace tovaly
