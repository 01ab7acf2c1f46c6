// tovaly-cli browse and play: the control point's entry functions from a
// terminal or a script.

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli_common.h"
#include "controlpoint/entry_functions.h"
#include "core/clock.h"
#include "core/text.h"
#include "upnp/didl.h"

namespace tovaly::cli {
namespace {

const char kBrowseUsage[] =
    "Usage: tovaly-cli browse SERVER [OBJECT_ID] [--json] [--timeout S] [--address IP]\n"
    "\n"
    "List a container of a media server (default: its root, \"0\"): containers\n"
    "and items with title, id, class and URL, and what the server says of an\n"
    "item (artist, album, duration, album art, subtitles). SERVER is a UDN or a\n"
    "friendly name that only one server has.\n"
    "\n"
    "Options:\n"
    "  --json         a JSON array for scripts instead of a table\n"
    "  --timeout S    how long to look for the server, 1 to 120 seconds (default 5)\n"
    "  --address IP   IPv4 address of the interface to use (default: default route)\n";

const char kPlayUsage[] =
    "Usage: tovaly-cli play RENDERER SERVER ITEM_ID [--timeout S] [--address IP]\n"
    "\n"
    "Play an item of a media server on a renderer and show its state and position\n"
    "until the track ends. RENDERER and SERVER are UDNs or unique friendly names;\n"
    "ITEM_ID is the item's id as 'tovaly-cli browse' shows it.\n"
    "\n"
    "Keys (when run in a terminal): space play/pause, s stop, left/right seek\n"
    "10 s, + and - volume, q quit. Without a terminal it prints one line per state\n"
    "change and per second of position. Ctrl-C stops the playback and exits.\n"
    "Exit status 0 when the renderer took the item.\n";

std::string Clock(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  snprintf(text, sizeof text, "%d:%02d:%02d", static_cast<int>(seconds / 3600), static_cast<int>(seconds % 3600 / 60),
           static_cast<int>(seconds % 60));
  return text;
}

const char* StateName(int state) {
  static const char* const kNames[] = {"STOPPED",          "PLAYING",   "TRANSITIONING",    "PAUSED_PLAYBACK",
                                       "PAUSED_RECORDING", "RECORDING", "NO_MEDIA_PRESENT", "PLAYBACK_END"};
  return state >= 0 && state < 8 ? kNames[state] : "UNKNOWN";
}

// The terminal in raw mode for single keys, restored on every way out.
class RawTerminal {
 public:
  RawTerminal() : active_(isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0) {
    if (!active_) return;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  ~RawTerminal() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

 private:
  termios saved_{};
  bool active_;
};

}  // namespace

KeyAction KeyActionFor(const std::string& keys, bool paused, int64_t position) {
  KeyAction a;
  if (keys == "q" || keys == "Q") {
    a.kind = KeyAction::kQuit;
  } else if (keys == " ") {
    a.kind = paused ? KeyAction::kPlay : KeyAction::kPause;
  } else if (keys == "s") {
    a.kind = KeyAction::kStop;
  } else if (keys == "\033[C" || keys == "\033[D") {  // right, left
    const int target = static_cast<int>(position + (keys == "\033[C" ? 10 : -10));
    a.kind = KeyAction::kSeek;
    a.value = target < 0 ? 0 : target;
  } else if (keys == "+" || keys == "-") {
    a.kind = KeyAction::kVolume;
    a.value = keys == "+" ? 5 : -5;
  }
  return a;
}

std::string BrowseEntryJson(const ConsoleHost::BrowseEntry& e) {
  auto text = [](const std::string& s) { return s.empty() ? std::string("null") : JsonString(s); };
  std::string out = std::string("{\"type\": ") + (e.container ? "\"container\"" : "\"item\"") +
                    ", \"title\": " + JsonString(e.title) + ", \"id\": " + JsonString(e.id);
  if (!e.container) {
    const std::string seconds = e.duration < 0 ? "null" : std::to_string(static_cast<double>(e.duration) / 1e6);
    out += ", \"class\": " + JsonString(DidlClassName(static_cast<ObjectClass>(e.objectClass))) +
           ", \"url\": " + JsonString(e.url) + ", \"protocolInfo\": " + JsonString(e.protocolInfo) +
           ", \"duration\": " + seconds + ", \"durationText\": " + text(PlayTime(e.duration < 0 ? -1 : e.duration / 1000)) +
           ", \"date\": " + JsonString(e.date) + ", \"artist\": " + text(e.artist) + ", \"album\": " + text(e.album) +
           ", \"genre\": " + text(e.genre) + ", \"track\": " + (e.track ? std::to_string(e.track) : "null") +
           ", \"size\": " + (e.size >= 0 ? std::to_string(e.size) : "null") +
           ", \"albumArtURI\": " + text(e.albumArtURI) + ", \"subtitle\": " + text(e.subtitleUrl);
  }
  return out + "}";
}

std::string BrowseEntryText(const ConsoleHost::BrowseEntry& e) {
  if (e.container) return "[container] " + Printable(e.title) + "\n    id: " + Printable(e.id, 0) + "\n";
  std::string out = "[item] " + Printable(e.title) + "\n    id: " + Printable(e.id, 0) +
                    "\n    class: " + DidlClassName(static_cast<ObjectClass>(e.objectClass)) +
                    "\n    url: " + Printable(e.url, 0) + "\n";
  const std::pair<const char*, std::string> facts[] = {
      {"artist", Printable(e.artist)},         {"album", Printable(e.album)},
      {"duration", PlayTime(e.duration < 0 ? -1 : e.duration / 1000)},  {"art", Printable(e.albumArtURI, 0)},
      {"subtitle", Printable(e.subtitleUrl, 0)}};
  for (const auto& [name, value] : facts) {
    if (!value.empty()) out += std::string("    ") + name + ": " + value + "\n";
  }
  return out;
}

int Browse(const std::vector<std::string>& args) {
  const CommandArgs parsed = ParseCommandArgs("browse", args);
  if (parsed.help) {
    fputs(kBrowseUsage, stdout);
    return 0;
  }
  if (!parsed.error.empty()) return Fail(parsed.error);
  const SearchOptions& options = parsed.search;
  const bool json = parsed.json;
  const std::vector<std::string>& positional = parsed.positional;
  const std::string objectId = positional.size() == 2 ? positional[1] : "0";
  signal(SIGPIPE, SIG_IGN);

  Session session;
  std::string error;
  ConsoleHost::Device server;
  if (!StartSession(&session, options, &error) ||
      !FindDevice(&session, "server", positional[0], options, &server, &error)) {
    return Fail(error);
  }
  session.host.TakeBrowseEntries();
  const int read = p_Browse(session.cp, server.udn.c_str(), objectId.c_str(), 0, 0, nullptr);
  const auto entries = session.host.TakeBrowseEntries();
  if (read == 0 && entries.empty()) {
    // An empty container and a failed browse look alike here; say which
    // server and container it was.
    fprintf(stderr, "tovaly-cli: \"%s\" listed nothing for container \"%s\"\n", Printable(server.name).c_str(),
            Printable(objectId, 0).c_str());
  }
  if (json) {
    printf("[");
    for (size_t i = 0; i < entries.size(); ++i) printf("%s\n  %s", i ? "," : "", BrowseEntryJson(entries[i]).c_str());
    printf("%s]\n", entries.empty() ? "" : "\n");
    return 0;
  }
  for (const auto& e : entries) fputs(BrowseEntryText(e).c_str(), stdout);
  printf("%zu %s in \"%s\" of %s\n", entries.size(), entries.size() == 1 ? "entry" : "entries",
         Printable(objectId, 0).c_str(), Printable(server.name).c_str());
  return 0;
}

int Play(const std::vector<std::string>& args) {
  const CommandArgs parsed = ParseCommandArgs("play", args);
  if (parsed.help) {
    fputs(kPlayUsage, stdout);
    return 0;
  }
  if (!parsed.error.empty()) return Fail(parsed.error);
  const SearchOptions& options = parsed.search;
  const std::vector<std::string>& positional = parsed.positional;

  // Ctrl-C and SIGTERM are polled by the loop below, so that playback is
  // always stopped on the way out.
  const sigset_t stopSignals = BlockStopSignals();

  Session session;
  std::string error;
  ConsoleHost::Device renderer, server;
  if (!StartSession(&session, options, &error) ||
      !FindDevice(&session, "renderer", positional[0], options, &renderer, &error) ||
      !FindDevice(&session, "server", positional[1], options, &server, &error)) {
    return Fail(error);
  }
  DidlEntry item;
  int rc = p_DescribeObject(session.cp, server.udn.c_str(), positional[2].c_str(), &item);
  if (rc != 0) {
    return Fail("\"" + server.name + "\" does not describe item \"" + positional[2] + "\": " + ErrorMeaning(rc, true) +
                " (" + std::to_string(rc) + ")");
  }
  if (item.container) return Fail("\"" + positional[2] + "\" is a container, not an item");

  StartRenderingRequest request{renderer.udn.c_str(), server.udn.c_str(), item.url.c_str(), item.title.c_str()};
  request.protocolInfo = item.hasProtocolInfo ? item.protocolInfo.c_str() : nullptr;
  request.date = item.date.c_str();
  request.objectClass = item.objectClass;
  if (!p_StartRendering(session.cp, &request, &rc)) {
    return Fail("\"" + renderer.name + "\" did not take \"" + item.title + "\": " + ErrorMeaning(rc) + " (" +
                std::to_string(rc) + ")");
  }
  const char* udn = renderer.udn.c_str();
  const int instance = p_RendererInstance(session.cp, udn) < 0 ? 0 : p_RendererInstance(session.cp, udn);
  p_Play(session.cp, udn, instance);
  printf("Playing \"%s\" on \"%s\"\n", Printable(item.title).c_str(), Printable(renderer.name).c_str());

  RawTerminal terminal;
  int lastState = -1;
  uint64_t lastReports = 0;
  bool played = false, paused = false;
  int64_t lastPrinted = -1;
  uint64_t nextPoll = 0;
  int64_t duration = 0, position = 0;
  std::string volumeNote;
  for (;;) {
    // Ctrl-C or SIGTERM: stop the renderer and leave.
    timespec zero{0, 0};
    if (sigtimedwait(&stopSignals, nullptr, &zero) > 0) break;

    const auto state = session.host.TransportState(renderer.udn);
    if (state.second != lastReports) {
      lastReports = state.second;
      if (state.first != lastState) {
        lastState = state.first;
        if (!terminal.active()) printf("state %s\n", StateName(state.first));
      }
      if (state.first == 1) played = true;
      paused = state.first == 3;
      // The end of the track: the renderer stopped (or says so) after playing.
      if (played && (state.first == 0 || state.first == 7 || state.first == 6)) break;
    }

    const uint64_t now = MonotonicMicros();
    if (now >= nextPoll) {
      nextPoll = now + 1000000;
      int64_t d = 0, p = 0;
      if (p_GetPositionInfo(session.cp, udn, instance, &d, &p) == 0) {
        duration = d;
        position = p;
        if (!terminal.active() && p != lastPrinted) {
          printf("position %s / %s\n", Clock(p).c_str(), Clock(d).c_str());
          lastPrinted = p;
        }
      }
    }
    if (terminal.active()) {
      printf("\r%-16s %s / %s %s\033[K", StateName(lastState), Clock(position).c_str(), Clock(duration).c_str(),
             volumeNote.c_str());
      fflush(stdout);
    }

    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (!terminal.active() || poll(&in, 1, 200) <= 0) {
      if (!terminal.active()) SleepMicros(200000);
      continue;
    }
    char keys[8];
    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    if (n <= 0) continue;
    const KeyAction action = KeyActionFor(std::string(keys, static_cast<size_t>(n)), paused, position);
    if (action.kind == KeyAction::kQuit) break;
    switch (action.kind) {
      case KeyAction::kPlay: p_Play(session.cp, udn, instance); break;
      case KeyAction::kPause: p_Pause(session.cp, udn, instance); break;
      case KeyAction::kStop: p_Stop(session.cp, udn, instance); break;
      case KeyAction::kSeek: p_Seek(session.cp, udn, instance, action.value); break;
      case KeyAction::kVolume: {
        const int v = p_ChangeVolume(session.cp, udn, instance, action.value);
        volumeNote = v < 0 ? "(volume unknown)" : "vol " + std::to_string(v);
        break;
      }
      default: break;
    }
  }
  if (terminal.active()) printf("\n");
  p_StopRendering(session.cp, udn);
  printf("Stopped.\n");
  return 0;
}

}  // namespace tovaly::cli
