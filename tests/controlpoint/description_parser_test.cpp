// Descriptions of remote devices. Hosts are numeric on purpose: resolving a
// host name would ask a DNS server.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "controlpoint/description_parser.h"

namespace tovaly {
namespace {

const char kLocation[] = "http://192.0.2.7:8200/rootDesc.xml";

std::string Device(const std::string& type, const std::string& udn, const std::string& services = "",
                   const std::string& extra = "", const std::string& embedded = "") {
  return "<device><deviceType>urn:schemas-upnp-org:device:" + type + "</deviceType><friendlyName>Name " + udn +
         "</friendlyName><UDN>" + udn + "</UDN>" + extra + "<serviceList>" + services + "</serviceList>" +
         (embedded.empty() ? "" : "<deviceList>" + embedded + "</deviceList>") + "</device>";
}

std::string Service(const std::string& type, const std::string& control, const std::string& event = "/e") {
  return "<service><serviceType>urn:schemas-upnp-org:service:" + type + "</serviceType><serviceId>x</serviceId>"
         "<SCPDURL>s.xml</SCPDURL><controlURL>" + control + "</controlURL><eventSubURL>" + event +
         "</eventSubURL></service>";
}

ParsedDescription Parse(const std::string& device, const std::string& urlBase = "") {
  const std::string root = "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion>"
                           "<major>1</major><minor>0</minor></specVersion>" +
                           (urlBase.empty() ? "" : "<URLBase>" + urlBase + "</URLBase>") + device + "</root>";
  return ParseDescriptionText(kLocation, root.c_str());
}

// "version control event" of the service of that index; when a device lists
// it twice, the last one.
std::string Find(const ParsedDevice& d, int index) {
  std::string found = "<none>";
  for (const auto& [i, s] : d.services) {
    if (i == index) found = std::string(1, static_cast<char>(s.version)) + " " + s.controlUrl + " " + s.eventUrl;
  }
  return found;
}

TEST(DescriptionParser, UrlsResolveAgainstUrlBaseOrLocation) {
  const std::string server = Device("MediaServer:1", "uuid:s1",
                                    Service("ContentDirectory:1", "ctl/cds", "/evt/cds") +
                                        Service("ConnectionManager:1", "http://192.0.2.9:1/abs", "../evt/cm"));
  ParsedDescription p = Parse(server);
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.baseUrl, kLocation);
  ASSERT_EQ(p.devices.size(), 1u);
  EXPECT_EQ(Find(p.devices[0], kServiceContentDirectory),
            "1 http://192.0.2.7:8200/ctl/cds http://192.0.2.7:8200/evt/cds");
  EXPECT_EQ(Find(p.devices[0], kServiceConnectionManager), "1 http://192.0.2.9:1/abs http://192.0.2.7:8200/evt/cm");
  p = Parse(server, "http://192.0.2.8:9000/base/");
  EXPECT_EQ(p.baseUrl, "http://192.0.2.8:9000/base/");
  EXPECT_EQ(Find(p.devices[0], kServiceContentDirectory),
            "1 http://192.0.2.8:9000/base/ctl/cds http://192.0.2.8:9000/evt/cds");
}

TEST(DescriptionParser, KindsServicesAndEmbeddedDevices) {
  // Any version of the known types; only the services of the device's kind.
  ParsedDescription p = Parse(Device("MediaServer:2", "uuid:s2", Service("ContentDirectory:2", "/c") +
                                                                     Service("ConnectionManager:3", "/c2") +
                                                                     Service("AVTransport:1", "/x")));
  ASSERT_EQ(p.devices.size(), 1u);
  EXPECT_EQ(p.devices[0].kind, DeviceKind::kServer);
  EXPECT_EQ(Find(p.devices[0], kServiceContentDirectory)[0], '2');
  EXPECT_EQ(Find(p.devices[0], kServiceConnectionManager)[0], '3');
  EXPECT_EQ(Find(p.devices[0], kServiceAVTransport), "<none>");
  EXPECT_EQ(upnp_device_control::VersionedType("urn:schemas-upnp-org:service:ContentDirectory:1", '2'),
            "urn:schemas-upnp-org:service:ContentDirectory:2");

  // A gateway root with an embedded renderer: both are reported, in order.
  const std::string renderer =
      Device("MediaRenderer:3", "uuid:r1", Service("AVTransport:1", "/avt") + Service("RenderingControl:1", "/rc"));
  p = Parse(Device("InternetGatewayDevice:1", "uuid:gw", "", "", renderer));
  ASSERT_EQ(p.devices.size(), 2u);
  EXPECT_EQ(p.devices[0].kind, DeviceKind::kOther);
  EXPECT_EQ(p.devices[1].kind, DeviceKind::kRenderer);
  EXPECT_EQ(p.devices[1].udn, "uuid:r1");
  EXPECT_EQ(Find(p.devices[1], kServiceAVTransport), "1 http://192.0.2.7:8200/avt http://192.0.2.7:8200/e");
  EXPECT_EQ(Find(p.devices[1], kServiceRenderingControl), "1 http://192.0.2.7:8200/rc http://192.0.2.7:8200/e");
  // Services come from the whole subtree, the later one in document order wins.
  const std::string inner = Device("Other:1", "uuid:in", Service("ConnectionManager:1", "/inner-cm"));
  p = Parse(Device("MediaServer:1", "uuid:s", Service("ConnectionManager:1", "/outer-cm"), "", inner));
  ASSERT_EQ(p.devices.size(), 2u);
  EXPECT_EQ(Find(p.devices[0], kServiceConnectionManager), "1 http://192.0.2.7:8200/inner-cm http://192.0.2.7:8200/e");
  // A device element missing its UDN is skipped.
  p = Parse("<device><deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType></device>");
  EXPECT_TRUE(p.valid && p.devices.empty());
}

TEST(DescriptionParser, AckTexts) {
  // "result family address:port"; a host name is no address, nor is anything longer than a dotted quad.
  auto ack = [](const char* text) {
    sockaddr_in a;
    memset(&a, 0xAB, sizeof a);  // every field must be written
    const int result = ParseAckAddress(text, &a);
    return std::to_string(result) + " " + std::to_string(a.sin_family) + " " + inet_ntoa(a.sin_addr) + ":" +
           std::to_string(ntohs(a.sin_port));
  };
  EXPECT_EQ(ack("192.0.2.5:40123"), "0 2 192.0.2.5:40123");
  EXPECT_EQ(ack("192.0.2.5:"), "0 2 192.0.2.5:0");
  EXPECT_EQ(ack("192.0.2.5").substr(0, 5), "-101 ");  // no colon
  EXPECT_EQ(ack(nullptr).substr(0, 5), "-101 ");
  for (const std::string& text : {std::string("media-box.local:40123"), std::string("192.168.100.100.100.100.100:1"),
                                  std::string(5000, '1') + ":2"}) {
    EXPECT_EQ(ack(text.c_str()).substr(0, 20), "0 2 255.255.255.255:") << text.substr(0, 40);
  }
  EXPECT_TRUE(Parse(Device("MediaServer:1", "uuid:a", "", "<ACK>192.0.2.5:7</ACK>")).devices[0].hasAck);
  EXPECT_FALSE(Parse(Device("MediaServer:1", "uuid:a", "", "<ACK>nas:7</ACK>")).devices[0].hasAck);
}

TEST(DescriptionParser, HostileDocuments) {
  const std::string good = "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">" + Device("MediaServer:1", "uuid:s") +
                           "</root>";
  ASSERT_TRUE(ParseDescriptionText(kLocation, good.c_str()).valid);
  for (size_t cut : {size_t(0), size_t(10), good.size() / 2, good.size() - 3}) {
    EXPECT_FALSE(ParseDescriptionText(kLocation, good.substr(0, cut).c_str()).valid) << cut;
  }
  EXPECT_FALSE(ParseDescriptionText(kLocation, "\x01\x02garbage<<>>&").valid);
  EXPECT_FALSE(ParseDescriptionText(kLocation, nullptr).valid);
  EXPECT_FALSE(ParseDescriptionText("", good.c_str()).valid);

  // Devices without the fields that matter, a UDN one past the limit and a
  // name far past it (cut between characters).
  std::string many, embedded, deep, wide;
  for (int i = 0; i < 3000; ++i) many += "<device><deviceType>t</deviceType></device>";
  const std::string longName = "<friendlyName>" + std::string(255, 'n') + "Ж" + std::string(5000, 'x') + "</friendlyName>";
  ParsedDescription p = Parse(many + Device("MediaServer:1", "uuid:" + std::string(252, 'u')) +
                              Device("MediaServer:1", "uuid:" + std::string(251, 'u')) +
                              "<device><deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>" +
                              longName + "<UDN>uuid:r</UDN></device>");
  ASSERT_TRUE(p.valid);
  ASSERT_EQ(p.devices.size(), 2u);
  EXPECT_EQ(p.devices[0].udn.size(), kMaxFieldBytes);
  EXPECT_EQ(p.devices[1].friendlyName, std::string(255, 'n'));

  // More embedded devices than are taken; deeper or larger than the parser
  // is given.
  for (int i = 0; i < 40; ++i) embedded += Device("MediaRenderer:1", "uuid:e" + std::to_string(i));
  EXPECT_EQ(Parse(Device("MediaServer:1", "uuid:root", "", "", embedded)).devices.size(), kMaxDevices);
  for (int i = 0; i < 40; ++i) deep = "<x>" + deep + "</x>";
  EXPECT_FALSE(Parse(std::string(40, 'x') + Device("MediaServer:1", "uuid:s") + deep).valid);
  for (size_t i = 0; i < kMaxElements; ++i) wide += "<x/>";
  EXPECT_FALSE(Parse(Device("MediaServer:1", "uuid:s", "", wide)).valid);
  // A text the parser would grow a few bytes at a time: one byte short of
  // the limit is read, the limit is not.
  EXPECT_TRUE(Parse(Device("MediaServer:1", "uuid:s", "", "<x>" + std::string(64 * 1024 - 1, 't') + "</x>")).valid);
  EXPECT_FALSE(Parse(Device("MediaServer:1", "uuid:s", "", "<x>" + std::string(64 * 1024, 't') + "</x>")).valid);
}

}  // namespace
}  // namespace tovaly
