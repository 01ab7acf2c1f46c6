// tovaly-cli: the media server and control point without a display.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <upnp.h>
#include <upnptools.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli_common.h"
#include "app/console_host.h"
#include "controlpoint/control_point.h"
#include "core/app_config.h"
#include "core/clock.h"
#include "core/heap.h"
#include "device/media_server.h"
#include "library/catalog.h"
#include "library/host_answers.h"
#include "library/media_library.h"

namespace {

using tovaly::util::AppConfig;
using tovaly::cli::BlockStopSignals;
using tovaly::cli::CommandArgs;
using tovaly::cli::ParseCommandArgs;
using tovaly::cli::Fail;
using tovaly::cli::JsonString;
using tovaly::cli::Printable;
using tovaly::cli::StartError;

const char kUsage[] =
    "Usage: tovaly-cli [--config FILE] COMMAND [OPTIONS]\n"
    "\n"
    "Share a folder of this computer with the TVs, phones and players of the home\n"
    "network (UPnP AV / DLNA), without a display.\n"
    "\n"
    "Commands:\n"
    "  serve     publish the shared folder as a media server until Ctrl-C\n"
    "  devices   list the media servers and renderers on the network\n"
    "  browse    list a container of a media server\n"
    "  play      play an item of a media server on a renderer\n"
    "\n"
    "Options:\n"
    "  --config FILE  settings file to use (default: config.ini beside the program\n"
    "                 when that folder is writable, else ~/.config/tovaly/config.ini)\n"
    "  --version      print the version and exit\n"
    "  -h, --help     show this help; 'tovaly-cli COMMAND --help' for a command\n";

const char kServeUsage[] =
    "Usage: tovaly-cli [--config FILE] serve [FOLDER] [--address IP] [--port PORT]\n"
    "                  [--state-dir DIR]\n"
    "\n"
    "Publish FOLDER for this run, or else the shared folder of the settings\n"
    "(content_path; by default the user's videos folder), as a UPnP MediaServer,\n"
    "print its name, UDN, address and description URL, and run until Ctrl-C or\n"
    "SIGTERM, then say goodbye to the network.\n"
    "Meanwhile print a line whenever a media server or renderer appears (+) on\n"
    "the network or leaves it (-).\n"
    "\n"
    "Options:\n"
    "  --address IP   IPv4 address of the interface to serve on (default: the\n"
    "                 interface that carries the default route)\n"
    "  --port PORT    the UPnP stack's port (default: the setting port, else the\n"
    "                 first free one from 49152; ports below 49152 are raised to\n"
    "                 49152 by the stack); the device's HTTP and then the media\n"
    "                 take the first free ports after it\n"
    "  --state-dir DIR\n"
    "                 keep the server's identity (machine_id) in DIR/state.ini\n"
    "                 rather than in the settings file, which may be read-only\n"
    "  -h, --help     show this help\n";

const char kDevicesUsage[] =
    "Usage: tovaly-cli [--config FILE] devices [--timeout SECONDS] [--json] [--address IP]\n"
    "\n"
    "Search the network for UPnP media servers and renderers and list them: name,\n"
    "UDN, base URL and kind. Finding none is not an error.\n"
    "\n"
    "Options:\n"
    "  --timeout S    how long to search, 1 to 120 seconds (default 5)\n"
    "  --json         print a JSON array for scripts instead of a table\n"
    "  --address IP   IPv4 address of the interface to search on (default: the\n"
    "                 interface that carries the default route)\n"
    "  -h, --help     show this help\n";

bool ConfigReadable(std::string* why) {
  const std::string path = AppConfig::Instance().path();
  if (access(path.c_str(), F_OK) != 0) return true;  // a missing file means defaults
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot read the settings file " + path + ": " + strerror(errno);
    return false;
  }
  char c;
  const ssize_t n = read(fd, &c, 1);
  const int err = errno;
  close(fd);
  if (n < 0) {
    *why = "cannot read the settings file " + path + ": " + strerror(err);
    return false;
  }
  return true;
}

int Serve(const std::vector<std::string>& args) {
  const CommandArgs parsed = ParseCommandArgs("serve", args);
  if (parsed.help) {
    fputs(kServeUsage, stdout);
    return 0;
  }
  if (!parsed.error.empty()) return Fail(parsed.error);
  const std::string& address = parsed.search.address;
  std::string folder = parsed.positional.empty() ? std::string() : parsed.positional[0];

  std::string why;
  if (!ConfigReadable(&why)) return Fail(why);
  const long port = parsed.portGiven ? parsed.port : tovaly::cli::PortSetting(AppConfig::Instance().Get("port"), &why);
  if (port < 0) return Fail(why + " in " + AppConfig::Instance().path());
  std::string keptUdn;
  if (!parsed.stateDir.empty()) {
    const std::string id = tovaly::cli::KeptMachineId(parsed.stateDir, AppConfig::Instance(), &why);
    if (id.empty()) return Fail(why);
    keptUdn = "uuid:" + id;
  }
  if (!folder.empty()) {
    if (folder[0] != '/') {
      char cwd[4096];
      if (getcwd(cwd, sizeof cwd)) folder = std::string(cwd) + "/" + folder;
    }
    const std::string problem = tovaly::ContentFolderProblem(folder, false);
    if (!problem.empty()) return Fail(problem);
    tovaly::SetContentFolderOverride(folder);  // this run only; the settings stay as they are
  }

  // Signals are taken by sigwait below; block them before any thread starts
  // so that no stack thread receives them.
  const sigset_t stopSignals = BlockStopSignals();

  tovaly::ConsoleHost host(true);
  // What the listings say about the files (tags, durations, pictures):
  // before the server starts, gone after it stopped.
  tovaly::MediaCatalog catalog;
  tovaly::SetMediaCatalog(&catalog);
  struct Unset {
    ~Unset() { tovaly::SetMediaCatalog(nullptr); }
  } unset;
  host.SetDeviceUdn(keptUdn);
  int rc = 0;
  auto server = tovaly::CreateMediaServer(address.empty() ? nullptr : address.c_str(), static_cast<uint16_t>(port),
                                          &tovaly::ConsoleHost::Callback, &host, &rc);
  if (!server) return Fail(StartError("cannot serve", rc, address.empty() ? nullptr : address.c_str(), static_cast<uint16_t>(port)));

  const tovaly::media_server* device = server->device();
  printf("Media server \"%s\" is on the network.\n", device->friendlyName().c_str());
  printf("  UDN:         %s\n", device->udn().c_str());
  printf("  Address:     %s\n", device->baseUrl().c_str());
  printf("  Description: %sdescription.xml\n", device->baseUrl().c_str());
  printf("  Media:       %s (port %u)\n", device->mediaBaseUrl().c_str(), device->mediaPort());
  printf("  Phone page:  %s\n", device->phonePageUrl().c_str());
  printf("  UPnP stack:  port %u (announcements; events for the control point)\n", UpnpGetServerPort());
  printf("  Sharing:     %s\n", server->contentFolder().c_str());
  printf("  Settings:    %s\n", AppConfig::Instance().path().c_str());
  // A service started before its folder is mounted, or a user of its own
  // that may not read it, publishes nothing: say why where its log shows it.
  if (const std::string problem = tovaly::ContentFolderProblem(server->contentFolder(), false); !problem.empty()) {
    fprintf(stderr, "tovaly-cli: %s Nothing is published until it can be read.\n", problem.c_str());
  } else {
    tovaly::MediaObjectList folders;
    if (tovaly::ListFolder(server->contentFolder(), "0", 0, 1, "", &folders) <= 0) {
      printf("  (Only the sub-folders of the shared folder are published, and it has none yet:\n"
             "   add folders to it, or set content_path in the settings file.)\n");
    }
  }
  printf("Press Ctrl-C to stop.\n");
  fflush(stdout);

  // The control point shares the stack the server started.
  tovaly::control_point_t* cp =
      tovaly::p_CreateControlPoint(nullptr, 0, &tovaly::ConsoleHost::Callback, &host, &rc);
  if (cp) {
    tovaly::p_Search(cp, 5, tovaly::kSearchServers | tovaly::kSearchRenderers);
  } else {
    fprintf(stderr, "tovaly-cli: cannot look for other devices: %s (%d); serving anyway\n", UpnpGetErrorMessage(rc), rc);
  }

  int sig = 0;
  sigwait(&stopSignals, &sig);
  printf("Stopping (%s)...\n", sig == SIGINT ? "interrupt" : "terminate");
  fflush(stdout);
  tovaly::p_DestroyControlPoint(cp);
  server.reset();  // byebye, then the stack finishes with its last user
  printf("Stopped.\n");
  return 0;
}

int Devices(const std::vector<std::string>& args) {
  const CommandArgs parsed = ParseCommandArgs("devices", args);
  if (parsed.help) {
    fputs(kDevicesUsage, stdout);
    return 0;
  }
  if (!parsed.error.empty()) return Fail(parsed.error);
  const long timeout = parsed.search.timeout;
  const bool json = parsed.json;
  const std::string& address = parsed.search.address;
  signal(SIGPIPE, SIG_IGN);
  tovaly::ConsoleHost host(false);
  int rc = 0;
  tovaly::control_point_t* cp = tovaly::p_CreateControlPoint(address.empty() ? nullptr : address.c_str(), 0,
                                                              &tovaly::ConsoleHost::Callback, &host, &rc);
  if (!cp) return Fail(StartError("cannot search the network", rc, address.empty() ? nullptr : address.c_str(), 0));
  // MX: how long devices may wait before they answer, within our timeout.
  const int mx = static_cast<int>(timeout > 5 ? 5 : (timeout > 1 ? timeout - 1 : 1));
  tovaly::p_Search(cp, mx, tovaly::kSearchServers | tovaly::kSearchRenderers);
  fprintf(stderr, "Searching for media servers and renderers (%ld s)", timeout);
  for (long s = 0; s < timeout; ++s) {
    tovaly::SleepMicros(1000000);
    fputc('.', stderr);
  }
  fputc('\n', stderr);
  const auto devices = host.Devices();
  tovaly::p_DestroyControlPoint(cp);

  if (json) {
    printf("[");
    for (size_t i = 0; i < devices.size(); ++i) {
      const auto& d = devices[i];
      printf("%s\n  {\"kind\": %s, \"name\": %s, \"udn\": %s, \"baseUrl\": %s}", i ? "," : "",
             JsonString(d.kind).c_str(), JsonString(d.name).c_str(), JsonString(d.udn).c_str(),
             JsonString(d.baseUrl).c_str());
    }
    printf("%s]\n", devices.empty() ? "" : "\n");
    return 0;
  }
  if (devices.empty()) {
    printf("No media servers or renderers found.\n");
    return 0;
  }
  // One device a line, whatever its texts hold.
  size_t nameWidth = 4;
  for (const auto& d : devices) nameWidth = std::max(nameWidth, Printable(d.name, 40).size());
  printf("%-8s  %-*s  %-41s  %s\n", "KIND", static_cast<int>(nameWidth), "NAME", "UDN", "BASE URL");
  for (const auto& d : devices) {
    printf("%-8s  %-*s  %-41s  %s\n", d.kind.c_str(), static_cast<int>(nameWidth), Printable(d.name, 40).c_str(),
           Printable(d.udn, 60).c_str(), Printable(d.baseUrl, 100).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  tovaly::UseOneHeapArenaPerCore();
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--config" && i + 1 < args.size()) {
      setenv("TOVALY_CONFIG", args[++i].c_str(), 1);
    } else if (args[i] == "-h" || args[i] == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (args[i] == "--version") {
      printf("tovaly-cli %s\n", TOVALY_VERSION);
      return 0;
    } else {
      break;
    }
  }
  if (i >= args.size()) {
    fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = args[i];
  const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
  if (command == "serve") return Serve(rest);
  if (command == "devices") return Devices(rest);
  if (command == "browse") return tovaly::cli::Browse(rest);
  if (command == "play") return tovaly::cli::Play(rest);
  fprintf(stderr, "tovaly-cli: unknown command '%s'\n\n%s", command.c_str(), kUsage);
  return 2;
}
