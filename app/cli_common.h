#pragma once
// Pieces the commands of tovaly-cli share.

#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/console_host.h"

namespace tovaly {
class control_point_t;
namespace util {
class AppConfig;
}
}  // namespace tovaly

namespace tovaly::cli {

// Blocks SIGINT and SIGTERM in this thread and every thread started after
// it (and ignores SIGPIPE); returns the set for sigwait/sigtimedwait, so that
// stopping always runs the program's own shutdown.
sigset_t BlockStopSignals();

// One line "tovaly-cli: message" on stderr; returns 1 (the exit status).
int Fail(const std::string& message);
// Why the stack could not start, in the user's terms; `what` says what
// could not be done ("cannot serve").
std::string StartError(const char* what, int rc, const char* address, uint16_t port);
std::string JsonString(const std::string& s);
// Text from the network made safe for a terminal line: control characters
// and bytes that are not UTF-8 shown as \xNN (a name can never draw a line
// of its own or move the cursor), cut after `max` characters with "…"
// (0: never cut; for ids the user copies back).
std::string Printable(const std::string& s, size_t max = 100);
// The meaning of an error code: a stack code, or a UPnP error of a device's
// AVTransport (or, with contentDirectory, its ContentDirectory).
std::string ErrorMeaning(int code, bool contentDirectory = false);

// A control point searching for servers and renderers, for the commands
// that name a device.
struct Session {
  ConsoleHost host{false};
  control_point_t* cp = nullptr;
  uint64_t answersDue = 0;  // when every device has answered the search (monotonic µs)
  ~Session();
};

// Options every device-naming command takes: --address IP, --timeout S.
struct SearchOptions {
  std::string address;
  long timeout = 5;
};
// Consumes --address/--timeout at args[*i]; false when args[*i] is neither.
// *error is set when the value is bad.
bool SearchOption(const std::vector<std::string>& args, size_t* i, SearchOptions* options, std::string* error);

// What the arguments of a command ("serve", "devices", "browse", "play")
// ask for, in order: the first -h/--help or the first fault ends the reading.
struct CommandArgs {
  bool help = false;
  std::string error;  // what Fail prints; "" when they are good
  std::vector<std::string> positional;
  SearchOptions search;  // serve takes only --address
  bool json = false;     // devices, browse
  long port = 0;         // serve
  bool portGiven = false;
  std::string stateDir;  // serve
};
CommandArgs ParseCommandArgs(const std::string& command, const std::vector<std::string>& args);

// The `port` key of the settings, which serve uses when --port is not given:
// 0 (the first free port) when empty; -1 with *error when it is not a port.
long PortSetting(const std::string& value, std::string* error);

// The server's identity for serve --state-dir, whose settings file may be
// read-only (a system service's): machine_id of DIR/state.ini; else the
// settings' own, so that a server moved into a service keeps its identity;
// else a new one. Written to DIR/state.ini when it is not there yet. "" with
// *error when it cannot be kept there.
std::string KeptMachineId(const std::string& stateDir, const util::AppConfig& settings, std::string* error);

// One look at the devices found so far for the one that `name` (a UDN, or a
// friendly name only one device of that kind has) means: 1 with *out set,
// -1 with *error, 0 while more answers may come. answered: every device has
// had the time to answer the search; searched: the timeout has passed.
int PickDevice(const std::vector<ConsoleHost::Device>& devices, const char* kind, const std::string& name,
               bool answered, bool searched, long timeout, ConsoleHost::Device* out, std::string* error);

// What a key read from the terminal during `play` asks, given whether the
// renderer is paused and the position (seconds).
struct KeyAction {
  enum Kind { kNone, kQuit, kPlay, kPause, kStop, kSeek, kVolume } kind = kNone;
  int value = 0;  // kSeek: the target (seconds); kVolume: the step
};
KeyAction KeyActionFor(const std::string& keys, bool paused, int64_t position);

// Starts the control point and searches; false with *error on failure.
bool StartSession(Session* s, const SearchOptions& options, std::string* error);
// The device of that kind named by UDN or by a unique friendly name, waiting
// for the search up to the timeout. False with *error when there is none,
// or when the name matches several (they are listed).
bool FindDevice(Session* s, const char* kind, const std::string& name, const SearchOptions& options,
                ConsoleHost::Device* out, std::string* error);

// One entry of `browse`: a JSON object (absent facts null), or the lines
// of the table (what the server says nothing of left out).
std::string BrowseEntryJson(const ConsoleHost::BrowseEntry& e);
std::string BrowseEntryText(const ConsoleHost::BrowseEntry& e);

int Browse(const std::vector<std::string>& args);
int Play(const std::vector<std::string>& args);

}  // namespace tovaly::cli
