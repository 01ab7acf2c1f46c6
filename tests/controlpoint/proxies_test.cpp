// The server and renderer proxies against scripted devices: the requests
// they send and how they read the answers.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "controlpoint/entry_functions.h"
#include "core/text.h"
#include "scripted.h"
#include "upnp/didl.h"
#include "upnp/ixml_util.h"

namespace tovaly::test {
namespace {

using Strings = std::vector<std::string>;

class Proxies : public ::testing::Test {
 protected:
  void SetUp() override { link_->SetHost(&Host::Callback, &host_); }
  Host host_;
  std::shared_ptr<ClientLink> link_ = std::make_shared<ClientLink>();
};

// A DIDL page of audio items start..start+count-1, as our server writes it.
std::string Page(int start, int count) {
  std::vector<MediaObject> page;
  for (int i = start; i < start + count; ++i) {
    const std::string id = "F/" + std::to_string(i);
    MediaObject o;
    o.id = id;
    o.parentID = "F";
    o.title = "t" + std::to_string(i);
    o.res = "http://192.0.2.9:1/media/" + id;
    o.protocolInfo = "http-get:*:audio/mpeg:*";
    o.album = "a" + std::to_string(i);
    o.objectClass = kClassAudio;
    page.push_back(o);
  }
  return WriteDidl(page);
}

IXML_Document* BrowseResponse(const std::string& result, const char* returned, const char* total) {
  if (!returned) return Response("Browse", {{"Result", result}});  // the counts missing
  return Response("Browse", {{"Result", result}, {"NumberReturned", returned}, {"TotalMatches", total}});
}

// A folder of `total` objects; pages larger than `largest` fail as larger
// than the stack takes (-506).
Script Folder(int total, int largest) {
  return [=](const Sent& s, int* error) -> IXML_Document* {
    const int start = std::stoi(s.args.at("StartingIndex"));
    const int count = std::min(std::stoi(s.args.at("RequestedCount")), total - start);
    if (count > largest) return *error = UPNP_E_OUTOF_BOUNDS, nullptr;
    return BrowseResponse(Page(start, count), std::to_string(count).c_str(), std::to_string(total).c_str());
  };
}

TEST_F(Proxies, BrowsePagesByFiftyHalvesPagesThatAreTooLargeAndStopsOnBadPages) {
  RefPtr<ScriptedServer> server(new ScriptedServer("uuid:s", link_));
  auto requests = [&] {
    Strings shown;
    for (const Sent& s : server->sent) {
      EXPECT_EQ(s.index, kServiceContentDirectory);
      shown.push_back(s.Show({"ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount"}));
    }
    server->sent.clear();
    return shown;
  };
  const std::string page = "Browse|F|BrowseDirectChildren|*|";
  server->script = Folder(120, 120);
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 120);
  EXPECT_EQ(requests(), (Strings{page + "0|50", page + "50|50", page + "100|50"}));
  const Strings items = host_.Of(kEventBrowseItem);
  ASSERT_EQ(items.size(), 120u);
  // The whole entry read goes with each item (here its album).
  EXPECT_EQ(items[119], "t119:F/119:3:-1:2012-01-01T00:00:00:http-get:*:audio/mpeg:*|a119");
  EXPECT_EQ(server->Browse("F", 0, 30, nullptr), 30);
  EXPECT_EQ(requests(), Strings{page + "0|30"});
  EXPECT_EQ(server->Browse("F", -5, 0, nullptr), 120);  // a negative start counts from 0
  EXPECT_EQ(requests().at(0), page + "0|50");

  // Asked for again in halves, down to one object; then it gives up.
  server->script = Folder(30, 12);
  host_.events.clear();
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 30);
  EXPECT_EQ(host_.Count(kEventBrowseItem), 30);
  EXPECT_EQ(requests(), (Strings{page + "0|50", page + "0|25", page + "0|12", page + "12|12", page + "24|12"}));
  server->script = Folder(30, 0);
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 0);
  EXPECT_EQ(requests().size(), 6u);  // 50, 25, 12, 6, 3, 1

  // A server that promises more but returns nothing ends the loop; missing
  // counts stop it with what was read so far, without reading the page.
  server->script = [](const Sent&, int*) { return BrowseResponse(Page(0, 0), "0", "500"); };
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 0);
  EXPECT_EQ(requests().size(), 1u);
  host_.events.clear();
  server->script = [&](const Sent&, int*) {
    return server->sent.empty() ? BrowseResponse(Page(0, 50), "50", "90") : BrowseResponse(Page(50, 40), nullptr, "");
  };
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 50);
  EXPECT_EQ(host_.Count(kEventBrowseItem), 50);
  // A Result that is not XML.
  server->script = [](const Sent&, int*) { return BrowseResponse("<DIDL-Lite><item", "1", "1"); };
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 0);
}

std::string LastChange(const std::string& states, const std::string& instance = "0",
                       const std::string& ns = "urn:schemas-upnp-org:metadata-1-0/AVT/") {
  return "<Event xmlns=\"" + ns + "\"><InstanceID val=\"" + instance + "\">" + states + "</InstanceID></Event>";
}

TEST_F(Proxies, LastChangeReportsTransportStates) {
  RefPtr<ScriptedRenderer> r(new ScriptedRenderer("uuid:r", link_));
  r->OnLastChange(LastChange("<TransportState val=\"PLAYING\"></TransportState>"
                             "<CurrentTrackDuration val=\"0:01:00\"></CurrentTrackDuration>").c_str());
  const std::string stopped = "<TransportState val=\"STOPPED\"/>";
  for (const std::string& ignored :
       {LastChange(stopped, "3"), LastChange(stopped, "0", "urn:other"), LastChange("<TransportState/>"),
        std::string("<Event><InstanceID val=\"0\">" + stopped + "</InstanceID></Event>"),
        std::string("<a:Event xmlns:a=\"urn:schemas-upnp-org:metadata-1-0/AVT/\"><a:InstanceID val=\"0\">"
                    "<a:TransportState val=\"STOPPED\"/></a:InstanceID></a:Event>"),
        std::string("not xml <"), std::string("")}) {
    r->OnLastChange(ignored.c_str());
  }
  r->OnLastChange(nullptr);
  EXPECT_EQ(host_.Of(kEventTransportState), Strings{"1:uuid:r"});
  r->OnLastChange(LastChange("<TransportState val=\"PAUSED_PLAYBACK\"/><TransportState val=\"PLAYBACK_END\"/>"
                             "<TransportState val=\"paused_playback\"/>").c_str());
  EXPECT_EQ(host_.Of(kEventTransportState), (Strings{"1:uuid:r", "3:uuid:r", "7:uuid:r", "0:uuid:r"}));
}

// The first event of a real renderer's AVTransport, as it goes on the wire:
// every variable in LastChange, escaped into the property, its metadata
// escaped twice.
TEST_F(Proxies, RealLastChangeOfARenderer) {
  const std::string didl = XmlEscape(
      "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
      "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\"><item id=\"64$1$3\" parentID=\"64$1\" restricted=\"1\">"
      "<dc:title>Song &amp; Dance &lt;live&gt; " + std::string(600, 'w') + "</dc:title>"
      "<upnp:class>object.item.audioItem.musicTrack</upnp:class><res protocolInfo=\"http-get:*:audio/mpeg:*\">"
      "http://192.0.2.7:8200/MediaItems/3.mp3</res></item></DIDL-Lite>");
  const std::string uri = "http://192.0.2.7:8200/MediaItems/3.mp3?a=1&amp;b=2", no = "NOT_IMPLEMENTED";
  std::string vars;
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"AVTransportURI", uri}, {"AVTransportURIMetaData", didl}, {"CurrentMediaDuration", "0:03:25"},
           {"CurrentPlayMode", "NORMAL"}, {"CurrentRecordQualityMode", no}, {"CurrentTrack", "1"},
           {"CurrentTrackDuration", "0:03:25"}, {"CurrentTrackMetaData", didl}, {"CurrentTrackURI", uri},
           {"CurrentTransportActions", "Pause,Stop,Seek"}, {"NextAVTransportURI", ""},
           {"NextAVTransportURIMetaData", ""}, {"NumberOfTracks", "1"}, {"PlaybackStorageMedium", "NETWORK"},
           {"PossiblePlaybackStorageMedia", "NETWORK"}, {"PossibleRecordQualityModes", no},
           {"PossibleRecordStorageMedia", no}, {"RecordMediumWriteStatus", no}, {"RecordStorageMedium", no},
           {"TransportPlaySpeed", "1"}, {"TransportState", "PLAYING"}, {"TransportStatus", "OK"}}) {
    vars += "<" + name + " val=\"" + value + "\"/>";
  }
  const std::string lastChange = LastChange(vars);
  ASSERT_GT(lastChange.size(), 3000u);
  IxmlDocument event(ixmlParseBuffer(("<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property>"
                                      "<LastChange>" + XmlEscape(lastChange) + "</LastChange></e:property>"
                                      "</e:propertyset>").c_str()));
  ASSERT_NE(event, nullptr);
  RefPtr<ScriptedRenderer> r(new ScriptedRenderer("uuid:r", link_));
  r->OnEvent(event.get());
  EXPECT_EQ(host_.Of(kEventTransportState), Strings{"1:uuid:r"});
}

TEST_F(Proxies, VolumeStepsAreClampedAndSeekTargetsFormatted) {
  std::string current = "95";
  const Script volume = [&](const Sent& s, int*) -> IXML_Document* {
    if (s.action == "SetVolume") return Response("SetVolume", {});
    return current.empty() ? nullptr : Response("GetVolume", {{"CurrentVolume", current}});
  };
  RefPtr<ScriptedRenderer> r(new ScriptedRenderer("uuid:r", link_)), fresh(new ScriptedRenderer("uuid:f", link_)),
      silent(new ScriptedRenderer("uuid:q", link_));
  r->script = fresh->script = silent->script = volume;
  EXPECT_EQ(r->ChangeVolume(0, 10), 100);
  EXPECT_EQ(r->sent.back().Show({"Channel", "DesiredVolume"}), "SetVolume|Master|100");
  EXPECT_EQ(r->ChangeVolume(0, -100), 0);
  EXPECT_EQ(r->sent.back().Show({"Channel", "DesiredVolume"}), "SetVolume|Master|0");
  current = "abc";
  EXPECT_EQ(fresh->ChangeVolume(0, 5), 5);  // "abc" reads as 0
  current.clear();
  EXPECT_EQ(silent->ChangeVolume(0, 5), -1);  // never told its volume: nothing is sent
  EXPECT_EQ(silent->sent.back().action, "GetVolume");

  r->script = [](const Sent& s, int*) -> IXML_Document* {
    if (s.action != "GetPositionInfo") return Response(s.action.c_str(), {});
    return Response("GetPositionInfo", {{"TrackDuration", "1:02:03.500"}, {"RelTime", "NOT_IMPLEMENTED"}});
  };
  int64_t duration = -5, rel = -5;
  EXPECT_EQ(r->GetPositionInfo(0, &duration, &rel), 0);
  EXPECT_EQ(std::to_string(duration) + " " + std::to_string(rel), "3723 0");
  EXPECT_EQ(r->Seek(4, 3725), 1);
  EXPECT_EQ(r->sent.back().Show({"InstanceID", "Unit", "Target"}), "Seek|4|REL_TIME|1:02:05");
}

TEST(StartRendering, AcceptsMissingActionsAndTimeoutsNotRefusals) {
  Host host;
  RefPtr<control_point_t> cp(new control_point_t(false));
  cp->link()->SetHost(&Host::Callback, &host);
  RefPtr<ScriptedServer> server(new ScriptedServer("uuid:srv", cp->link()));
  RefPtr<ScriptedRenderer> renderer(new ScriptedRenderer("uuid:ren", cp->link()));
  renderer->SetService(kServiceAVTransport, {'1', "http://192.0.2.9:1/evt", "http://192.0.2.9:1/ctl"});
  cp->servers().Add(RefPtr<upnp_device_control>(server.get()));
  cp->renderers().Add(RefPtr<upnp_device_control>(renderer.get()));
  StartRenderingRequest request{"uuid:ren", "uuid:srv", "http://192.0.2.9:1/media/a.mp3", "A & B"};
  request.objectClass = kClassAudio;
  int failure = -1;

  server->script = [](const Sent&, int* e) -> IXML_Document* { return *e = 401, nullptr; };
  renderer->script = [](const Sent& s, int* e) -> IXML_Document* {
    if (s.action == "PrepareForConnection") {
      return Response("PrepareForConnection", {{"ConnectionID", "7"}, {"AVTransportID", "3"}, {"RcsID", "4"}});
    }
    return *e = UPNP_E_TIMEDOUT, nullptr;  // SetAVTransportURI timed out
  };
  EXPECT_EQ(p_StartRendering(cp.get(), &request, &failure), 1);
  EXPECT_EQ(failure, 0);
  EXPECT_EQ(server->sent.at(0).Show({"Direction"}), "PrepareForConnection|Output");
  // The server's fault code as peer connection; no protocolInfo: an MP4 video.
  EXPECT_EQ(renderer->sent.at(0).Show({"PeerConnectionID", "PeerConnectionManager", "RemoteProtocolInfo"}),
            "PrepareForConnection|401|uuid:srv/|http-get:*:video/mp4:*");
  EXPECT_EQ(renderer->sent.at(1).Show({"InstanceID"}), "SetAVTransportURI|3");
  EXPECT_NE(renderer->sent[1].args["CurrentURIMetaData"].find("protocolInfo=\"http-get:*:video/mp4:*\""),
            std::string::npos);
  EXPECT_EQ(renderer->subscriptions, 1);
  EXPECT_EQ(renderer->avTransportId(), 3);

  request.protocolInfo = "http-get:*:audio/mpeg:*";
  server->script = [](const Sent&, int*) { return Response("PrepareForConnection", {{"ConnectionID", "5"}}); };
  renderer->script = [](const Sent& s, int* e) -> IXML_Document* {
    if (s.action == "PrepareForConnection") return Response("PrepareForConnection", {{"AVTransportID", "0"}});
    return *e = 714, nullptr;  // Illegal MIME-type
  };
  EXPECT_EQ(p_StartRendering(cp.get(), &request, &failure), 0);
  EXPECT_EQ(failure, 714);
  EXPECT_EQ(renderer->subscriptions, 1);
  EXPECT_TRUE(cp->renderers().Find("uuid:ren"));  // refused, not gone
  renderer->script = nullptr;  // connection refused
  EXPECT_EQ(p_StartRendering(cp.get(), &request, &failure), 0);
  EXPECT_EQ(failure, UPNP_E_SOCKET_CONNECT);
  EXPECT_FALSE(cp->renderers().Find("uuid:ren"));
  EXPECT_EQ(host.Count(kEventRendererRemoved), 1);
  EXPECT_EQ(p_StartRendering(cp.get(), &request, &failure), 0);  // now an unknown renderer
  cp->link()->SetHost(nullptr, nullptr);
}

TEST(RenderingMetadataText, CarriesTheExtensionElements) {
  StartRenderingRequest r{"uuid:r", "uuid:s", "http://h/u.mp4", "T"};
  r.caching = 1;
  EXPECT_EQ(RenderingMetadata(r, "P"),
            "<?xml version=\"1.0\"?>\r\n<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
            "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
            "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\" xmlns:sec=\"http://www.sec.co.kr/dlna\" "
            "xmlns:z=\"urn:zarn-extension\">\r\n<item id=\"any\" restricted=\"0\" searchable=\"0\">\r\n"
            "<res protocolInfo=\"P\">http://h/u.mp4</res>\r\n<upnp:class>object.item.videoItem</upnp:class>\r\n"
            "<dc:title>T</dc:title>\r\n<upnp:writeStatus>NOT_WRITABLE</upnp:writeStatus>\r\n"
            "<z:caching>1</z:caching>\r\n</item>\r\n</DIDL-Lite>\r\n");
  r.caching = 0;
  r.oob = "<o&>";
  r.cacheuid = "\"c'";
  EXPECT_NE(RenderingMetadata(r, "P").find("<z:caching>0</z:caching>\r\n<z:oob>&lt;o&amp;&gt;</z:oob>\r\n"
                                           "<z:cacheuid>&quot;c&apos;</z:cacheuid>"),
            std::string::npos);
}

}  // namespace
}  // namespace tovaly::test
