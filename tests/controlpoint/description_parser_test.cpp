// Descriptions of remote devices, as fixtures. Hosts are numeric on purpose:
// resolving a host name would ask a DNS server.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "controlpoint/description_parser.h"

namespace tovaly {
namespace {

std::string Device(const std::string& type, const std::string& udn, const std::string& services,
                   const std::string& extra = "", const std::string& embedded = "") {
  return "<device><deviceType>" + type + "</deviceType><friendlyName>Name " + udn + "</friendlyName><UDN>" + udn +
         "</UDN>" + extra + "<serviceList>" + services + "</serviceList>" +
         (embedded.empty() ? "" : "<deviceList>" + embedded + "</deviceList>") + "</device>";
}

std::string Service(const std::string& type, const std::string& control, const std::string& event) {
  return "<service><serviceType>urn:schemas-upnp-org:service:" + type + "</serviceType><serviceId>x</serviceId>"
         "<SCPDURL>s.xml</SCPDURL><controlURL>" + control + "</controlURL><eventSubURL>" + event +
         "</eventSubURL></service>";
}

std::string Root(const std::string& device, const std::string& urlBase = "") {
  return "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major>"
         "<minor>0</minor></specVersion>" + (urlBase.empty() ? "" : "<URLBase>" + urlBase + "</URLBase>") +
         device + "</root>";
}

const ParsedService* Find(const ParsedDevice& d, int index) {
  const ParsedService* found = nullptr;
  for (const auto& s : d.services) {
    if (s.index == index) found = &s;  // the last one counts
  }
  return found;
}

const char kLocation[] = "http://192.0.2.7:8200/rootDesc.xml";

TEST(DescriptionParser, UrlsResolveAgainstUrlBaseOrLocation) {
  const std::string services = Service("ContentDirectory:1", "ctl/cds", "/evt/cds") +
                               Service("ConnectionManager:1", "http://192.0.2.9:1/abs", "../evt/cm");
  ParsedDescription p = ParseDescriptionText(kLocation, Root(Device("urn:schemas-upnp-org:device:MediaServer:1",
                                                                    "uuid:s1", services)).c_str());
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.baseUrl, kLocation);
  ASSERT_EQ(p.devices.size(), 1u);
  const ParsedDevice& d = p.devices[0];
  EXPECT_EQ(d.kind, DeviceKind::kServer);
  EXPECT_EQ(d.friendlyName, "Name uuid:s1");
  ASSERT_NE(Find(d, kServiceContentDirectory), nullptr);
  EXPECT_EQ(Find(d, kServiceContentDirectory)->service.controlUrl, "http://192.0.2.7:8200/ctl/cds");
  EXPECT_EQ(Find(d, kServiceContentDirectory)->service.eventUrl, "http://192.0.2.7:8200/evt/cds");
  EXPECT_EQ(Find(d, kServiceContentDirectory)->service.version, '1');
  EXPECT_EQ(Find(d, kServiceConnectionManager)->service.controlUrl, "http://192.0.2.9:1/abs");
  EXPECT_EQ(Find(d, kServiceConnectionManager)->service.eventUrl, "http://192.0.2.7:8200/evt/cm");

  p = ParseDescriptionText(kLocation, Root(Device("urn:schemas-upnp-org:device:MediaServer:1", "uuid:s1", services),
                                           "http://192.0.2.8:9000/base/").c_str());
  EXPECT_EQ(p.baseUrl, "http://192.0.2.8:9000/base/");
  EXPECT_EQ(Find(p.devices[0], kServiceContentDirectory)->service.controlUrl, "http://192.0.2.8:9000/base/ctl/cds");
  EXPECT_EQ(Find(p.devices[0], kServiceContentDirectory)->service.eventUrl, "http://192.0.2.8:9000/evt/cds");
}

TEST(DescriptionParser, AnyVersionOfTheKnownTypes) {
  ParsedDescription p = ParseDescriptionText(
      kLocation, Root(Device("urn:schemas-upnp-org:device:MediaServer:2", "uuid:s2",
                             Service("ContentDirectory:2", "/c", "/e") + Service("ConnectionManager:3", "/c2", "/e2") +
                                 Service("AVTransport:1", "/x", "/y")))
                     .c_str());
  ASSERT_EQ(p.devices.size(), 1u);
  EXPECT_EQ(p.devices[0].kind, DeviceKind::kServer);
  EXPECT_EQ(Find(p.devices[0], kServiceContentDirectory)->service.version, '2');
  EXPECT_EQ(Find(p.devices[0], kServiceConnectionManager)->service.version, '3');
  EXPECT_EQ(Find(p.devices[0], kServiceAVTransport), nullptr);  // not a server's service
  EXPECT_EQ(upnp_device_control::VersionedType("urn:schemas-upnp-org:service:ContentDirectory:1", '2'),
            "urn:schemas-upnp-org:service:ContentDirectory:2");

  p = ParseDescriptionText(kLocation, Root(Device("urn:schemas-upnp-org:device:MediaRenderer:3", "uuid:r3",
                                                  Service("RenderingControl:1", "/rc", "/rce")))
                                          .c_str());
  ASSERT_EQ(p.devices.size(), 1u);
  EXPECT_EQ(p.devices[0].kind, DeviceKind::kRenderer);
  EXPECT_EQ(Find(p.devices[0], kServiceAVTransport), nullptr);  // a renderer without AVTransport
  EXPECT_NE(Find(p.devices[0], kServiceRenderingControl), nullptr);
}

TEST(DescriptionParser, EmbeddedDevicesAndTheirServices) {
  // A gateway root with an embedded renderer: both are reported, in order.
  const std::string renderer =
      Device("urn:schemas-upnp-org:device:MediaRenderer:1", "uuid:r1",
             Service("AVTransport:1", "/avt", "/avte") + Service("ConnectionManager:1", "/cm", "/cme"));
  ParsedDescription p = ParseDescriptionText(
      kLocation,
      Root(Device("urn:schemas-upnp-org:device:InternetGatewayDevice:1", "uuid:gw", "", "", renderer)).c_str());
  ASSERT_EQ(p.devices.size(), 2u);
  EXPECT_EQ(p.devices[0].kind, DeviceKind::kOther);
  EXPECT_EQ(p.devices[1].kind, DeviceKind::kRenderer);
  EXPECT_EQ(p.devices[1].udn, "uuid:r1");
  EXPECT_EQ(Find(p.devices[1], kServiceAVTransport)->service.controlUrl, "http://192.0.2.7:8200/avt");

  // A server whose embedded device has a ConnectionManager too: services come
  // from the whole subtree, the later one in document order wins.
  const std::string inner =
      Device("urn:schemas-upnp-org:device:Other:1", "uuid:in", Service("ConnectionManager:1", "/inner-cm", "/e"));
  p = ParseDescriptionText(kLocation, Root(Device("urn:schemas-upnp-org:device:MediaServer:1", "uuid:s",
                                                  Service("ConnectionManager:1", "/outer-cm", "/e"), "", inner))
                                          .c_str());
  ASSERT_EQ(p.devices.size(), 2u);
  EXPECT_EQ(Find(p.devices[0], kServiceConnectionManager)->service.controlUrl, "http://192.0.2.7:8200/inner-cm");

  // A device element missing its UDN is skipped.
  p = ParseDescriptionText(kLocation, Root("<device><deviceType>urn:schemas-upnp-org:device:MediaServer:1"
                                           "</deviceType><friendlyName>x</friendlyName></device>")
                                          .c_str());
  EXPECT_TRUE(p.valid);
  EXPECT_TRUE(p.devices.empty());
}

TEST(DescriptionParser, AckTexts) {
  sockaddr_in a{};
  EXPECT_EQ(ParseAckAddress("192.0.2.5:40123", &a), 0);
  EXPECT_EQ(a.sin_family, AF_INET);
  EXPECT_EQ(ntohs(a.sin_port), 40123);
  EXPECT_EQ(a.sin_addr.s_addr, inet_addr("192.0.2.5"));
  EXPECT_EQ(ParseAckAddress("192.0.2.5", &a), -101);  // no colon
  EXPECT_EQ(ParseAckAddress(nullptr, &a), -101);
  EXPECT_EQ(ParseAckAddress("media-box.local:40123", &a), 0);  // a host name is no address
  EXPECT_EQ(a.sin_addr.s_addr, INADDR_NONE);
  EXPECT_EQ(ParseAckAddress("192.168.100.100.100.100.100:1", &a), 0);  // longer than any dotted quad
  EXPECT_EQ(a.sin_addr.s_addr, INADDR_NONE);
  EXPECT_EQ(ParseAckAddress((std::string(5000, '1') + ":2").c_str(), &a), 0);
  EXPECT_EQ(a.sin_addr.s_addr, INADDR_NONE);
  EXPECT_EQ(ParseAckAddress("192.0.2.5:", &a), 0);
  EXPECT_EQ(a.sin_port, 0);

  const std::string services = Service("ContentDirectory:1", "/c", "/e");
  ParsedDescription p = ParseDescriptionText(
      kLocation, Root(Device("urn:schemas-upnp-org:device:MediaServer:1", "uuid:a", services, "<ACK>192.0.2.5:7</ACK>"))
                     .c_str());
  EXPECT_TRUE(p.devices[0].hasAck);
  p = ParseDescriptionText(
      kLocation,
      Root(Device("urn:schemas-upnp-org:device:MediaServer:1", "uuid:a", services, "<ACK>nas:7</ACK>")).c_str());
  EXPECT_FALSE(p.devices[0].hasAck);
}

TEST(DescriptionParser, HostileDocuments) {
  const std::string good = Root(Device("urn:schemas-upnp-org:device:MediaServer:1", "uuid:s",
                                       Service("ContentDirectory:1", "/c", "/e")));
  for (size_t cut : {size_t(0), size_t(10), good.size() / 2, good.size() - 3}) {
    ParsedDescription p = ParseDescriptionText(kLocation, good.substr(0, cut).c_str());
    EXPECT_FALSE(p.valid) << cut;
  }
  EXPECT_FALSE(ParseDescriptionText(kLocation, "\x01\x02garbage<<>>&").valid);
  EXPECT_FALSE(ParseDescriptionText(kLocation, nullptr).valid);
  EXPECT_FALSE(ParseDescriptionText("", good.c_str()).valid);

  // Many devices without the fields that matter, and a very long name.
  std::string many;
  for (int i = 0; i < 3000; ++i) many += "<device><deviceType>t</deviceType></device>";
  many += Device("urn:schemas-upnp-org:device:MediaServer:1", "uuid:" + std::string(20000, 'u'), "");
  ParsedDescription p = ParseDescriptionText(kLocation, Root(many).c_str());
  ASSERT_TRUE(p.valid);
  ASSERT_EQ(p.devices.size(), 1u);
  EXPECT_EQ(p.devices[0].udn.size(), 20005u);
}

}  // namespace
}  // namespace tovaly
