// The server and renderer proxies against scripted devices: the requests
// they send and how they read the answers.

#include <gtest/gtest.h>
#include <upnp.h>
#include <upnptools.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "controlpoint/didl_reader.h"
#include "controlpoint/entry_functions.h"
#include "device/didl.h"
#include "device/ixml_util.h"

namespace tovaly {
namespace {

struct Sent {
  int index;
  std::string action;
  std::map<std::string, std::string> args;
};

// Answers actions with a script: (action, args, *error) -> response or null.
using Script = std::function<IXML_Document*(const Sent&, int* error)>;

IXML_Document* Response(const char* action, const std::vector<std::pair<const char*, std::string>>& outs) {
  IXML_Document* doc = nullptr;
  for (const auto& o : outs) {
    UpnpAddToActionResponse(&doc, action, "urn:schemas-upnp-org:service:X:1", o.first, o.second.c_str());
  }
  if (outs.empty()) UpnpAddToActionResponse(&doc, action, "urn:schemas-upnp-org:service:X:1", nullptr, nullptr);
  return doc;
}

template <class Base>
class Scripted : public Base {
 public:
  Scripted(const std::string& udn, std::shared_ptr<ClientLink> link)
      : Base(udn, "Scripted " + udn, "http://192.0.2.9:1/", std::move(link)) {}
  IXML_Document* SendAction(int index, const char* action, const ActionArguments& args, int* error) override {
    Sent s{index, action, {}};
    for (const auto& a : args) s.args[a.first] = a.second;
    sent.push_back(s);
    int e = 0;
    IXML_Document* r = script ? script(s, &e) : nullptr;
    if (!r && e == 0) e = UPNP_E_SOCKET_CONNECT;
    if (error) *error = r ? 0 : e;
    return r;
  }
  Script script;
  std::vector<Sent> sent;
};
using ScriptedServer = Scripted<MediaServerDevice>;

class ScriptedRenderer : public Scripted<MediaRendererDevice> {
 public:
  using Scripted<MediaRendererDevice>::Scripted;
  int SubscribeToAVTransport() override { return ++subscriptions, 0; }
  int subscriptions = 0;
};

struct Host {
  std::vector<std::string> entries;  // "C:title:id" or "I:title:id:class:duration:date:protocolInfo"
  std::vector<std::pair<int, std::string>> states;
  std::vector<int32_t> codes;
  static int32_t Callback(void* ctx, int32_t code, void* args) {
    auto* h = static_cast<Host*>(ctx);
    h->codes.push_back(code);
    if (code == kEventBrowseContainer) {
      auto* c = static_cast<BrowseContainerFound*>(args);
      h->entries.push_back(std::string("C:") + c->title + ":" + c->objectId);
    } else if (code == kEventBrowseItem) {
      auto* i = static_cast<BrowseItemFound*>(args);
      h->entries.push_back(std::string("I:") + i->title + ":" + i->objectId + ":" + std::to_string(i->objectClass) +
                           ":" + std::to_string(i->duration) + ":" + i->date + ":" +
                           (i->protocolInfo ? i->protocolInfo : "<none>"));
    } else if (code == kEventTransportState) {
      auto* t = static_cast<TransportStateChanged*>(args);
      h->states.emplace_back(t->state, t->udn);
    }
    return 0;
  }
};

class Proxies : public ::testing::Test {
 protected:
  void SetUp() override { link_->SetHost(&Host::Callback, &host_); }
  Host host_;
  std::shared_ptr<ClientLink> link_ = std::make_shared<ClientLink>();
};

// A DIDL page of `count` items from `start` out of `total`, as our server writes it.
std::string Page(int start, int count) {
  IxmlDocument doc(ixmlDocument_createDocument());
  IXML_Element* root = CreateDidlRoot(doc.get());
  for (int i = start; i < start + count; ++i) {
    MediaObject o;
    o.id = "F/" + std::to_string(i);
    o.parentID = "F";
    o.title = "t" + std::to_string(i);
    o.res = "http://192.0.2.9:1/media/" + o.id;
    o.protocolInfo = "http-get:*:audio/mpeg:*";
    o.objectClass = kClassAudio;
    ixmlNode_appendChild(reinterpret_cast<IXML_Node*>(root),
                         reinterpret_cast<IXML_Node*>(CreateDidlObject(doc.get(), o)));
  }
  return PrintDidl(doc.get());
}

TEST_F(Proxies, BrowsePagesByFifty) {
  RefPtr<ScriptedServer> server(new ScriptedServer("uuid:s", link_));
  server->script = [](const Sent& s, int*) {
    const int start = std::stoi(s.args.at("StartingIndex"));
    const int count = std::min(std::stoi(s.args.at("RequestedCount")), 120 - start);
    return Response("Browse", {{"Result", Page(start, count)},
                               {"NumberReturned", std::to_string(count)},
                               {"TotalMatches", "120"},
                               {"UpdateID", "0"}});
  };
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 120);
  ASSERT_EQ(server->sent.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(server->sent[i].index, kServiceContentDirectory);
    EXPECT_EQ(server->sent[i].args["StartingIndex"], std::to_string(50 * i));
    EXPECT_EQ(server->sent[i].args["RequestedCount"], "50");
    EXPECT_EQ(server->sent[i].args["BrowseFlag"], "BrowseDirectChildren");
    EXPECT_EQ(server->sent[i].args["Filter"], "*");
  }
  ASSERT_EQ(host_.entries.size(), 120u);
  EXPECT_EQ(host_.entries[119], "I:t119:F/119:3:-1:2012-01-01T00:00:00:http-get:*:audio/mpeg:*");

  server->sent.clear();
  EXPECT_EQ(server->Browse("F", 0, 30, nullptr), 30);
  ASSERT_EQ(server->sent.size(), 1u);
  EXPECT_EQ(server->sent[0].args["RequestedCount"], "30");
  server->sent.clear();
  EXPECT_EQ(server->Browse("F", -5, 0, nullptr), 120);  // a negative start counts from 0
  EXPECT_EQ(server->sent[0].args["StartingIndex"], "0");
}

TEST_F(Proxies, BrowseStopsOnEmptyOrIncompletePages) {
  RefPtr<ScriptedServer> server(new ScriptedServer("uuid:s", link_));
  // A server that promises more but returns nothing ends the loop.
  server->script = [](const Sent&, int*) {
    return Response("Browse", {{"Result", Page(0, 0)}, {"NumberReturned", "0"}, {"TotalMatches", "500"}});
  };
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 0);
  EXPECT_EQ(server->sent.size(), 1u);
  // Missing counts: stop with what was read so far, without reading the page.
  int calls = 0;
  server->script = [&](const Sent&, int*) {
    if (++calls == 1) return Response("Browse", {{"Result", Page(0, 50)}, {"NumberReturned", "50"}, {"TotalMatches", "90"}});
    return Response("Browse", {{"Result", Page(50, 40)}});
  };
  host_.entries.clear();
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 50);
  EXPECT_EQ(host_.entries.size(), 50u);
  // No answer at all, and a Result that is not XML.
  server->script = nullptr;
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 0);
  server->script = [](const Sent&, int*) {
    return Response("Browse", {{"Result", "<DIDL-Lite><item"}, {"NumberReturned", "1"}, {"TotalMatches", "1"}});
  };
  EXPECT_EQ(server->Browse("F", 0, 0, nullptr), 0);
}

TEST(DidlReader, DocumentsOfOtherServers) {
  // Written as another server does: size and duration on res, a music track,
  // a date without time, a container with its own class.
  const char* other =
      "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
      "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\">"
      "<container id=\"64$0\" parentID=\"64\" restricted=\"1\" childCount=\"3\"><dc:title>Albums</dc:title>"
      "<upnp:class>object.container.storageFolder</upnp:class></container>"
      "<item id=\"64$1\" parentID=\"64\" restricted=\"1\"><dc:title>Song &amp; Dance</dc:title>"
      "<upnp:class>object.item.audioItem.musicTrack</upnp:class><dc:date>2011-05-04</dc:date>"
      "<res size=\"3000\" duration=\"0:03:25.500\" protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3\">"
      "http://192.0.2.7:8200/MediaItems/1.mp3</res></item>"
      "<item id=\"64$2\"><dc:title>Clip</dc:title><res duration=\"1:00:00\">http://192.0.2.7/2.mp4</res>"
      "<upnp:scheduledStartTime>2010-01-02T03:04:05</upnp:scheduledStartTime><dc:date>2009-09-09</dc:date></item>"
      "<item id=\"64$3\"><dc:title>NoDate</dc:title><res duration=\"\">http://192.0.2.7/3</res></item>"
      "<item id=\"64$4\"><dc:title>BadDuration</dc:title><res duration=\"n/a\">http://192.0.2.7/4</res></item>"
      "<item id=\"64$5\"><dc:title>no res</dc:title></item>"
      "<item><dc:title>no id</dc:title><res>http://x/</res></item>"
      "<item id=\"64$6\"><res>http://192.0.2.7/6</res></item>"
      "<item id=\"64$7\"><d:title xmlns:d=\"http://purl.org/dc/elements/1.1/\">other prefix</d:title>"
      "<res>http://192.0.2.7/7</res></item>"
      "</DIDL-Lite>";
  bool ok = false;
  const auto e = ReadDidl(other, &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(e.size(), 5u);
  EXPECT_TRUE(e[0].container);
  EXPECT_EQ(e[0].id, "64$0");
  EXPECT_EQ(e[1].title, "Song & Dance");
  EXPECT_EQ(e[1].objectClass, kClassAudio);
  EXPECT_EQ(e[1].duration, 205500000);  // ".500" is half a second
  EXPECT_EQ(e[1].date, "2011-05-04T00:00:00");
  EXPECT_EQ(e[1].protocolInfo, "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3");
  EXPECT_EQ(e[2].duration, 3600000000);
  EXPECT_EQ(e[2].date, "2010-01-02T03:04:05");
  EXPECT_EQ(e[2].objectClass, kClassVideo);  // no upnp:class
  EXPECT_FALSE(e[2].hasProtocolInfo);
  EXPECT_EQ(e[3].duration, 0);
  EXPECT_EQ(e[3].date, "2012-01-01T00:00:00");
  EXPECT_EQ(e[4].duration, -1);

  EXPECT_EQ(ParseDidlDuration("0:03:25.5"), 205500000);
  EXPECT_EQ(ParseDidlDuration("0:00:01.25"), 1250000);
  EXPECT_EQ(ParseDidlDuration("123:00:00"), 442800000000);  // hours of more than two digits
  EXPECT_EQ(ParseDidlDuration(nullptr), -1);

  // What our own server writes reads back the same.
  const auto own = ReadDidl(Page(7, 2).c_str(), &ok);
  ASSERT_EQ(own.size(), 2u);
  EXPECT_EQ(own[1].id, "F/8");
  EXPECT_EQ(own[1].url, "http://192.0.2.9:1/media/F/8");
  EXPECT_EQ(own[1].objectClass, kClassAudio);
}

TEST(DidlReader, HostileDocumentsCostLittle) {
  bool ok = true;
  std::string deep(20000 * 3, ' ');
  for (size_t i = 0; i < 20000; ++i) deep.replace(i * 3, 3, "<a>");
  EXPECT_TRUE(ReadDidl(deep.c_str(), &ok).empty());
  EXPECT_FALSE(ok);
  std::string wide = "<DIDL-Lite>";
  for (int i = 0; i < 50000; ++i) wide += "<item/>";
  wide += "</DIDL-Lite>";
  EXPECT_TRUE(ReadDidl(wide.c_str(), &ok).empty());
  EXPECT_FALSE(ok);
  for (const char* bad : {"", "garbage", "<DIDL-Lite><item id=\"1\">", "<<<>>>", "<a b=\"></a>", "\xff\xfe<x/>"}) {
    EXPECT_TRUE(ReadDidl(bad, &ok).empty()) << bad;
  }
  EXPECT_TRUE(ReadDidl(nullptr, &ok).empty());
}

TEST_F(Proxies, LastChangeReportsTransportStates) {
  RefPtr<ScriptedRenderer> r(new ScriptedRenderer("uuid:r", link_));
  const std::string avt = "urn:schemas-upnp-org:metadata-1-0/AVT/";
  r->OnLastChange(("<Event xmlns=\"" + avt + "\"><InstanceID val=\"0\"><TransportState val=\"PLAYING\">"
                   "</TransportState><CurrentTrackDuration val=\"0:01:00\"></CurrentTrackDuration></InstanceID></Event>")
                      .c_str());
  ASSERT_EQ(host_.states.size(), 1u);
  EXPECT_EQ(host_.states[0], std::make_pair(1, std::string("uuid:r")));
  for (const std::string& ignored :
       {"<Event xmlns=\"" + avt + "\"><InstanceID val=\"3\"><TransportState val=\"STOPPED\"/></InstanceID></Event>",
        std::string("<Event><InstanceID val=\"0\"><TransportState val=\"STOPPED\"/></InstanceID></Event>"),
        "<a:Event xmlns:a=\"" + avt + "\"><a:InstanceID val=\"0\"><a:TransportState val=\"STOPPED\"/></a:InstanceID></a:Event>",
        "<Event xmlns=\"" + avt + "\"><InstanceID val=\"0\"><TransportState/></InstanceID></Event>",
        std::string("<Event xmlns=\"") + "urn:other" + "\"><InstanceID val=\"0\"><TransportState val=\"STOPPED\"/></InstanceID></Event>",
        std::string("not xml <"), std::string("")}) {
    r->OnLastChange(ignored.c_str());
  }
  r->OnLastChange(nullptr);
  EXPECT_EQ(host_.states.size(), 1u);
  r->OnLastChange(("<Event xmlns=\"" + avt + "\"><InstanceID val=\"0\"><TransportState val=\"PAUSED_PLAYBACK\"/>"
                   "<TransportState val=\"PLAYBACK_END\"/><TransportState val=\"paused_playback\"/></InstanceID></Event>")
                      .c_str());
  ASSERT_EQ(host_.states.size(), 4u);
  EXPECT_EQ(host_.states[1].first, 3);
  EXPECT_EQ(host_.states[2].first, 7);
  EXPECT_EQ(host_.states[3].first, 0);
}

TEST(RendererTexts, TimesAndTargets) {
  EXPECT_EQ(ParseClockTime("0:03:25.500"), 205);
  EXPECT_EQ(ParseClockTime("1:02:03"), 3723);
  EXPECT_EQ(ParseClockTime("NOT_IMPLEMENTED"), 0);
  EXPECT_EQ(ParseClockTime(""), 0);
  EXPECT_EQ(FormatSeekTarget(3725), "1:02:05");
  EXPECT_EQ(FormatSeekTarget(59), "0:00:59");
  EXPECT_EQ(FormatSeekTarget(0), "0:00:00");
  EXPECT_EQ(TransportStateValue("NO_MEDIA_PRESENT"), 6);
  EXPECT_EQ(TransportStateValue("bogus"), 0);
}

TEST_F(Proxies, VolumeStepsAreClamped) {
  RefPtr<ScriptedRenderer> r(new ScriptedRenderer("uuid:r", link_));
  std::string current = "95";
  std::vector<std::string> set;
  bool answer = true;
  r->script = [&](const Sent& s, int*) -> IXML_Document* {
    if (!answer) return nullptr;
    if (s.action == "GetVolume") return Response("GetVolumeResponse", {{"CurrentVolume", current}});
    set.push_back(s.args.at("DesiredVolume"));
    EXPECT_EQ(s.args.at("Channel"), "Master");
    return Response("SetVolume", {});
  };
  EXPECT_EQ(r->ChangeVolume(0, 10), 100);
  EXPECT_EQ(r->ChangeVolume(0, -100), 0);
  EXPECT_EQ(set, (std::vector<std::string>{"100", "0"}));

  RefPtr<ScriptedRenderer> fresh(new ScriptedRenderer("uuid:f", link_));
  fresh->script = r->script;
  current = "abc";
  EXPECT_EQ(fresh->ChangeVolume(0, 5), 5);  // "abc" reads as 0
  RefPtr<ScriptedRenderer> silent(new ScriptedRenderer("uuid:q", link_));
  silent->script = r->script;
  answer = false;
  EXPECT_EQ(silent->ChangeVolume(0, 5), -1);  // never told its volume: nothing is sent
  EXPECT_EQ(silent->sent.size(), 1u);
  EXPECT_EQ(silent->sent[0].action, "GetVolume");

  // Seek and position requests.
  answer = true;
  r->script = [](const Sent& s, int*) -> IXML_Document* {
    if (s.action == "GetPositionInfo") {
      return Response("GetPositionInfo", {{"TrackDuration", "0:03:25.500"}, {"RelTime", "NOT_IMPLEMENTED"}});
    }
    return Response(s.action.c_str(), {});
  };
  int64_t duration = -5, rel = -5;
  EXPECT_EQ(r->GetPositionInfo(0, &duration, &rel), 0);
  EXPECT_EQ(duration, 205);
  EXPECT_EQ(rel, 0);
  EXPECT_EQ(r->Seek(4, 3725), 1);
  EXPECT_EQ(r->sent.back().args["Target"], "1:02:05");
  EXPECT_EQ(r->sent.back().args["Unit"], "REL_TIME");
  EXPECT_EQ(r->sent.back().args["InstanceID"], "4");
}

class StartRendering : public ::testing::Test {
 protected:
  void SetUp() override {
    cp_.reset(new control_point_t(false));
    cp_->link()->SetHost(&Host::Callback, &host_);
    server_.reset(new ScriptedServer("uuid:srv", cp_->link()));
    renderer_.reset(new ScriptedRenderer("uuid:ren", cp_->link()));
    RemoteService avt{'1', "http://192.0.2.9:1/evt", "http://192.0.2.9:1/ctl"};
    renderer_->SetService(kServiceAVTransport, avt);
    cp_->servers().Add(RefPtr<upnp_device_control>(server_.get()));
    cp_->renderers().Add(RefPtr<upnp_device_control>(renderer_.get()));
  }
  void TearDown() override { cp_->link()->SetHost(nullptr, nullptr); }
  int Start(int* failure, const char* protocolInfo = "http-get:*:audio/mpeg:*") {
    StartRenderingRequest request{"uuid:ren", "uuid:srv", "http://192.0.2.9:1/media/a.mp3", "A & B"};
    request.protocolInfo = protocolInfo;
    request.objectClass = kClassAudio;
    return p_StartRendering(cp_.get(), &request, failure);
  }
  Host host_;
  RefPtr<control_point_t> cp_;
  RefPtr<ScriptedServer> server_;
  RefPtr<ScriptedRenderer> renderer_;
};

TEST_F(StartRendering, AcceptsMissingActionsAndTimeouts) {
  server_->script = [](const Sent&, int* e) -> IXML_Document* { return *e = 401, nullptr; };
  renderer_->script = [](const Sent& s, int* e) -> IXML_Document* {
    if (s.action == "PrepareForConnection") {
      return Response("PrepareForConnection", {{"ConnectionID", "7"}, {"AVTransportID", "3"}, {"RcsID", "4"}});
    }
    return *e = UPNP_E_TIMEDOUT, nullptr;  // SetAVTransportURI timed out
  };
  int failure = -1;
  EXPECT_EQ(Start(&failure, nullptr), 1);
  EXPECT_EQ(failure, 0);
  const Sent& prepare = renderer_->sent[0];
  EXPECT_EQ(prepare.args.at("PeerConnectionID"), "401");  // the server's fault code
  EXPECT_EQ(prepare.args.at("PeerConnectionManager"), "uuid:srv/");
  EXPECT_EQ(prepare.args.at("RemoteProtocolInfo"), "http-get:*:video/mp4:*");
  EXPECT_EQ(server_->sent[0].args.at("Direction"), "Output");
  const Sent& set = renderer_->sent[1];
  EXPECT_EQ(set.action, "SetAVTransportURI");
  EXPECT_EQ(set.args.at("InstanceID"), "3");
  EXPECT_NE(set.args.at("CurrentURIMetaData").find("protocolInfo=\"http-get:*:video/mp4:*\""), std::string::npos);
  EXPECT_EQ(renderer_->subscriptions, 1);
  EXPECT_EQ(renderer_->avTransportId(), 3);
}

TEST_F(StartRendering, RefusalsAndUnreachableRenderers) {
  server_->script = [](const Sent&, int*) { return Response("PrepareForConnection", {{"ConnectionID", "5"}}); };
  renderer_->script = [](const Sent& s, int* e) -> IXML_Document* {
    if (s.action == "PrepareForConnection") return Response("PrepareForConnection", {{"AVTransportID", "0"}});
    return *e = 714, nullptr;  // Illegal MIME-type
  };
  int failure = 0;
  EXPECT_EQ(Start(&failure), 0);
  EXPECT_EQ(failure, 714);
  EXPECT_EQ(renderer_->subscriptions, 0);
  EXPECT_TRUE(cp_->renderers().Find("uuid:ren"));  // refused, not gone

  renderer_->script = nullptr;  // connection refused
  EXPECT_EQ(Start(&failure), 0);
  EXPECT_EQ(failure, UPNP_E_SOCKET_CONNECT);
  EXPECT_FALSE(cp_->renderers().Find("uuid:ren"));
  EXPECT_EQ(std::count(host_.codes.begin(), host_.codes.end(), kEventRendererRemoved), 1);
  EXPECT_EQ(Start(&failure), 0);  // now an unknown renderer
}

TEST(RenderingMetadataText, CarriesTheExtensionElements) {
  StartRenderingRequest r{"uuid:r", "uuid:s", "http://h/u.mp4", "T"};
  r.caching = 1;
  EXPECT_EQ(RenderingMetadata(r, "P"),
            "<?xml version=\"1.0\"?>\r\n<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
            "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
            "xmlns:z=\"urn:zarn-extension\">\r\n<item id=\"any\" restricted=\"0\" searchable=\"0\">\r\n"
            "<res protocolInfo=\"P\">http://h/u.mp4</res>\r\n<upnp:class>object.item.videoItem</upnp:class>\r\n"
            "<dc:title>T</dc:title>\r\n<upnp:writeStatus>NOT_WRITABLE</upnp:writeStatus>\r\n"
            "<z:caching>1</z:caching>\r\n</item>\r\n</DIDL-Lite>\r\n");
  r.caching = 0;
  r.oob = "o";
  r.cacheuid = "c";
  const std::string text = RenderingMetadata(r, "P");
  EXPECT_NE(text.find("<z:caching>0</z:caching>\r\n<z:oob>o</z:oob>\r\n<z:cacheuid>c</z:cacheuid>"), std::string::npos);
}

}  // namespace
}  // namespace tovaly
