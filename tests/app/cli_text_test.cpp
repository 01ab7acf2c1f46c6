// The console program's own logic: its texts, the arguments of its
// commands, what serve takes from the settings, how a device is named, the
// keys of `play`.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/cli_common.h"
#include "core/app_config.h"
#include "core/event_callback.h"
#include "upnp/didl.h"

namespace tovaly::cli {
namespace {

using Strings = std::vector<std::string>;

// What a device sends is shown on one line of a terminal, never drawn as more.
TEST(Printable, NetworkTextStaysOnItsLine) {
  // A line break is shown, not obeyed: see BrowseOutput below. Bytes that are
  // not UTF-8 and a truncated sequence are shown too; the cut is after max
  // characters (not bytes), and none with 0.
  const struct { const char* text; size_t max; const char* shown; } cases[] = {
      {"a\rb\x1b[2Jc\x7f", 100, "a\\x0Db\\x1B[2Jc\\x7F"}, {"Кино 🎵", 100, "Кино 🎵"},
      {"bad\xff\xc3", 100, "bad\\xFF\\xC3"}, {"abcdef", 6, "abcdef"}, {"abcdefg", 6, "abcdef…"},
      {"ККККККК", 6, "КККККК…"}};
  for (const auto& c : cases) EXPECT_EQ(Printable(c.text, c.max), c.shown) << c.text;
  EXPECT_EQ(Printable(std::string(100000, 'u'), 0).size(), 100000u);
  EXPECT_EQ(Printable(std::string(100000, 'u')).size(), 100u + std::string("…").size());
}

TEST(CommandArgs, EachCommandTakesItsOwn) {
  // "help", "! error", or "positional|json|timeout|address|port".
  auto parse = [](const char* command, const Strings& args) {
    const CommandArgs a = ParseCommandArgs(command, args);
    if (a.help) return std::string("help");
    if (!a.error.empty()) return "! " + a.error;
    std::string shown;
    for (const std::string& p : a.positional) shown += p + ",";
    return shown + "|" + std::to_string(a.json) + "|" + std::to_string(a.search.timeout) + "|" + a.search.address +
           "|" + std::to_string(a.port) + (a.portGiven ? "!" : "") + (a.stateDir.empty() ? "" : "|" + a.stateDir);
  };
  const struct {
    const char* command;
    Strings args;
    std::string parsed;
  } cases[] = {
      {"serve", {}, "|0|5||0"},
      {"serve", {"/srv/m", "--address", "192.0.2.1", "--port", "49200"}, "/srv/m,|0|5|192.0.2.1|49200!"},
      {"serve", {"--port", "0", "--state-dir", "/var/lib/tovaly"}, "|0|5||0!|/var/lib/tovaly"},
      {"serve", {"--state-dir", ""}, "! --state-dir wants a folder"},
      {"serve", {"--state-dir"}, "! serve: unknown option '--state-dir' (see 'tovaly-cli serve --help')"},
      {"serve", {"--port", ""}, "! --port wants a number from 0 to 65535"},
      {"devices", {"--state-dir", "/tmp"}, "! devices: unknown option '--state-dir' (see 'tovaly-cli devices --help')"},
      {"serve", {"/a", "/b"}, "! serve: unknown option '/b' (see 'tovaly-cli serve --help')"},
      {"serve", {"--port", "65536"}, "! --port wants a number from 0 to 65535"},
      {"serve", {"--port"}, "! serve: unknown option '--port' (see 'tovaly-cli serve --help')"},
      {"serve", {"--address", "nas.local"}, "! --address wants an IPv4 address, not 'nas.local'"},
      {"serve", {"--timeout", "3"}, "! serve: unknown option '--timeout' (see 'tovaly-cli serve --help')"},
      {"serve", {"--json"}, "! serve: unknown option '--json' (see 'tovaly-cli serve --help')"},
      {"devices", {"--json", "--timeout", "120", "--address", "10.0.0.2"}, "|1|120|10.0.0.2|0"},
      {"devices", {"--timeout", "0"}, "! --timeout wants a number of seconds from 1 to 120"},
      {"devices", {"--timeout", "5s"}, "! --timeout wants a number of seconds from 1 to 120"},
      {"devices", {"TV"}, "! devices: unknown option 'TV' (see 'tovaly-cli devices --help')"},
      {"browse", {"NAS", "64$1", "--json"}, "NAS,64$1,|1|5||0"},
      {"browse", {"-"}, "-,|0|5||0"},  // a server named "-"
      {"browse", {}, "! browse wants SERVER [OBJECT_ID] (see --help)"},
      {"browse", {"a", "b", "c"}, "! browse wants SERVER [OBJECT_ID] (see --help)"},
      {"browse", {"NAS", "--timeout"}, "! browse: unknown option '--timeout' (see 'tovaly-cli browse --help')"},
      {"browse", {"--bogus", "--help"}, "! browse: unknown option '--bogus' (see 'tovaly-cli browse --help')"},
      {"browse", {"--help", "--bogus"}, "help"},
      {"play", {"TV", "NAS", "64$1$3", "--timeout", "20", "--address", "192.0.2.5"}, "TV,NAS,64$1$3,|0|20|192.0.2.5|0"},
      {"play", {"TV", "NAS"}, "! play wants RENDERER SERVER ITEM_ID (see --help)"},
      {"play", {"TV", "NAS", "x", "--json"}, "! play: unknown option '--json' (see 'tovaly-cli play --help')"},
      {"play", {"-h"}, "help"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.command, c.args), c.parsed) << c.command << " " << c.args.size();
}

// The port key of the settings file, for serve without --port.
TEST(ServeSettings, PortKeyIsAPortOrNothing) {
  const struct {
    const char* value;
    long port;
  } cases[] = {{"", 0}, {"49200", 49200}, {"0", 0}, {"65535", 65535}, {"65536", -1}, {"-1", -1},
               {"49200x", -1}, {"port", -1}, {"99999999999999999999", -1}};
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(PortSetting(c.value, &error), c.port) << c.value;
    EXPECT_EQ(error.empty(), c.port >= 0) << c.value << ": " << error;
  }
}

// serve --state-dir: the identity lives in the state folder and survives
// restarts; the settings file is only read.
TEST(ServeSettings, IdentityKeptInTheStateFolder) {
  char base[] = "/tmp/tovaly-state-XXXXXX";
  ASSERT_TRUE(mkdtemp(base));
  const std::string dir = base;
  auto write = [](const std::string& path, const std::string& text) { std::ofstream(path) << text; };
  auto read = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto kept = [&](const std::string& state, const util::AppConfig& settings) {
    mkdir(state.c_str(), 0700);
    std::string error;
    const std::string id = KeptMachineId(state, settings, &error);
    EXPECT_EQ(id.empty(), !error.empty()) << error;
    return id.empty() ? "! " + error : id;
  };
  const std::string given = "0e2a3d5c-1b2f-4c6d-9e8f-a1b2c3d4e5f6";
  const std::string plain = "[setting]\ncontent_path=/srv/media\n";
  write(dir + "/plain.ini", plain);
  write(dir + "/with-id.ini", plain + "machine_id=" + given + "\n");
  const util::AppConfig settings(dir + "/plain.ini"), withId(dir + "/with-id.ini");

  const std::string first = kept(dir + "/a", settings);
  EXPECT_EQ(first.size(), 36u) << first;
  EXPECT_EQ(kept(dir + "/a", settings), first);  // a restart
  EXPECT_EQ(util::AppConfig(dir + "/a/state.ini").Get("machine_id"), first);
  EXPECT_EQ(read(dir + "/plain.ini"), plain);
  // A server whose settings had an identity keeps it; the state wins after that.
  EXPECT_EQ(kept(dir + "/b", withId), given);
  EXPECT_EQ(kept(dir + "/a", withId), first);
  // An id edited into something that makes no UDN is replaced.
  mkdir((dir + "/c").c_str(), 0700);
  write(dir + "/c/state.ini", "[setting]\nmachine_id=" + given.substr(1) + "x\n");
  const std::string fresh = kept(dir + "/c", settings);
  EXPECT_TRUE(fresh.size() == 36u && fresh != first) << fresh;
  // A state folder that cannot be written is an error, not a new identity at every start.
  write(dir + "/file", "");
  EXPECT_EQ(kept(dir + "/file", settings).rfind("! cannot keep the server's identity in " + dir + "/file/state.ini", 0), 0u);

  // The console host answers the server's UDN request with the kept one.
  ConsoleHost host(false);
  host.SetDeviceUdn("uuid:" + first);
  char udn[64] = "";
  TextRequest request{udn, sizeof udn};
  EXPECT_EQ(ConsoleHost::Callback(&host, kRequestDeviceUdn, &request), 1);
  EXPECT_EQ(std::string(udn), "uuid:" + first);
  std::filesystem::remove_all(dir);
}

// The devices the console host was told about, named by UDN or by a name
// that only one device of the kind has.
TEST(DeviceNaming, ByUdnOrAUniqueName) {
  ConsoleHost host(false);
  auto appear = [&](int32_t code, const char* name, const char* udn) {
    DeviceAppeared a{name, udn, "http://192.0.2.7:8200/"};
    ConsoleHost::Callback(&host, code, &a);
  };
  appear(kEventServerAdded, "NAS", "uuid:s1");
  appear(kEventServerAdded, "NAS", "uuid:s2");
  appear(kEventServerAdded, "Den", "uuid:s3");
  appear(kEventRendererAdded, "TV", "uuid:r1");
  appear(kEventRendererAdded, "NAS", "uuid:r2");
  auto pick = [&](const char* kind, const char* name, bool answered, bool searched) {
    ConsoleHost::Device d;
    std::string error;
    const int found = PickDevice(host.Devices(), kind, name, answered, searched, 5, &d, &error);
    return found > 0 ? "= " + d.udn : found < 0 ? "! " + error : std::string("wait");
  };
  EXPECT_EQ(pick("server", "uuid:s2", false, false), "= uuid:s2");
  EXPECT_EQ(pick("server", "Den", false, false), "wait");  // a second "Den" may still answer
  EXPECT_EQ(pick("server", "Den", true, false), "= uuid:s3");
  EXPECT_EQ(pick("server", "NAS", true, false),
            "! the name \"NAS\" matches several servers; name one by its UDN:\n"
            "  uuid:s1  http://192.0.2.7:8200/\n  uuid:s2  http://192.0.2.7:8200/");
  EXPECT_EQ(pick("renderer", "NAS", true, false), "= uuid:r2");  // each kind apart
  EXPECT_EQ(pick("server", "TV", true, false), "wait");
  EXPECT_EQ(pick("server", "nas", true, true), "! no server named \"nas\" answered within 5 s (see 'tovaly-cli devices')");
  EXPECT_EQ(pick("renderer", "uuid:s1", false, true),
            "! no renderer named \"uuid:s1\" answered within 5 s (see 'tovaly-cli devices')");
  DeviceLeft gone{"NAS", "uuid:s1"};
  ConsoleHost::Callback(&host, kEventServerRemoved, &gone);
  EXPECT_EQ(pick("server", "NAS", true, false), "= uuid:s2");
}

// What a server says of an item reaches `browse` through the host: every
// name a JSON string with " \\ and control characters escaped and < > & ' as
// they are (JSON has no entities), null where the server says nothing; in the
// table one line each, a line break shown, never obeyed.
TEST(BrowseOutput, EveryFactOfAnItemAsJsonAndAsText) {
  ConsoleHost host(false);
  DidlEntry d;
  d.artist = "<The \"Band\">";
  d.album = "R&B 'live'";
  d.genre = "a\\b\x01";
  d.albumArtURI = "http://192.0.2.7:8200/AlbumArt/1.jpg?x=\"1\"";
  d.subtitleUrl = "http://192.0.2.7:8200/Captions/1.srt\n- forged line";
  d.track = 7;
  d.size = 4023011;
  BrowseItemFound item{nullptr, "Song", 205500000, "http://192.0.2.7:8200/1.mp3", "64$1", 3,
                       "http-get:*:audio/mpeg:*", "2011-05-04T00:00:00", &d};
  BrowseItemFound bare{nullptr, "Clip", -1, "http://192.0.2.7/2", "64$2", 2, nullptr, "", nullptr};
  BrowseContainerFound folder{nullptr, "Albums", "64$0"};
  ConsoleHost::Callback(&host, kEventBrowseContainer, &folder);
  ConsoleHost::Callback(&host, kEventBrowseItem, &item);
  ConsoleHost::Callback(&host, kEventBrowseItem, &bare);
  const std::vector<ConsoleHost::BrowseEntry> entries = host.TakeBrowseEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(BrowseEntryJson(entries[0]), "{\"type\": \"container\", \"title\": \"Albums\", \"id\": \"64$0\"}");
  EXPECT_EQ(BrowseEntryJson(entries[1]),
            "{\"type\": \"item\", \"title\": \"Song\", \"id\": \"64$1\", \"class\": \"object.item.audioItem\", "
            "\"url\": \"http://192.0.2.7:8200/1.mp3\", \"protocolInfo\": \"http-get:*:audio/mpeg:*\", "
            "\"duration\": 205.500000, \"durationText\": \"3:25\", \"date\": \"2011-05-04T00:00:00\", "
            "\"artist\": \"<The \\\"Band\\\">\", \"album\": \"R&B 'live'\", \"genre\": \"a\\\\b\\u0001\", "
            "\"track\": 7, \"size\": 4023011, \"albumArtURI\": \"http://192.0.2.7:8200/AlbumArt/1.jpg?x=\\\"1\\\"\", "
            "\"subtitle\": \"http://192.0.2.7:8200/Captions/1.srt\\n- forged line\"}");
  EXPECT_EQ(BrowseEntryJson(entries[2]),
            "{\"type\": \"item\", \"title\": \"Clip\", \"id\": \"64$2\", \"class\": \"object.item.videoItem\", "
            "\"url\": \"http://192.0.2.7/2\", \"protocolInfo\": \"\", \"duration\": null, \"durationText\": null, "
            "\"date\": \"\", \"artist\": null, \"album\": null, \"genre\": null, \"track\": null, \"size\": null, "
            "\"albumArtURI\": null, \"subtitle\": null}");
  EXPECT_EQ(BrowseEntryText(entries[1]),
            "[item] Song\n    id: 64$1\n    class: object.item.audioItem\n    url: http://192.0.2.7:8200/1.mp3\n"
            "    artist: <The \"Band\">\n    album: R&B 'live'\n    duration: 3:25\n"
            "    art: http://192.0.2.7:8200/AlbumArt/1.jpg?x=\"1\"\n"
            "    subtitle: http://192.0.2.7:8200/Captions/1.srt\\x0A- forged line\n");
  EXPECT_EQ(BrowseEntryText(entries[2]),
            "[item] Clip\n    id: 64$2\n    class: object.item.videoItem\n    url: http://192.0.2.7/2\n");
}

TEST(PlayKeys, EachKeyAndWhatItAsks) {
  auto act = [](const std::string& keys, bool paused, int64_t position) {
    static const char* const kNames[] = {"none", "quit", "play", "pause", "stop", "seek", "volume"};
    const KeyAction a = KeyActionFor(keys, paused, position);
    return std::string(kNames[a.kind]) + " " + std::to_string(a.value);
  };
  const struct { const char* keys; bool paused; int64_t position; const char* asked; } cases[] = {
      {" ", true, 30, "play 0"},       {" ", false, 30, "pause 0"},     {"s", false, 30, "stop 0"},
      {"\033[C", false, 95, "seek 105"}, {"\033[D", false, 30, "seek 20"}, {"\033[D", false, 4, "seek 0"},
      {"+", false, 30, "volume 5"},    {"-", false, 30, "volume -5"},   {"q", false, 30, "quit 0"},
      {"Q", true, 30, "quit 0"}};
  for (const auto& c : cases) EXPECT_EQ(act(c.keys, c.paused, c.position), c.asked) << c.keys;
  for (const char* other : {"S", "x", "\033[A", "  ", "q ", ""}) EXPECT_EQ(act(other, false, 30), "none 0") << other;
}

}  // namespace
}  // namespace tovaly::cli
