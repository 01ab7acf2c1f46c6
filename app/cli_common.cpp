#include "app/cli_common.h"

#include <arpa/inet.h>
#include <upnp.h>
#include <upnptools.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "controlpoint/control_point.h"
#include "core/app_config.h"
#include "core/clock.h"
#include "core/text.h"
#include "core/uuid.h"
#include "library/media_library.h"

namespace tovaly::cli {

sigset_t BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return set;
}

int Fail(const std::string& message) {
  fprintf(stderr, "tovaly-cli: %s\n", message.c_str());
  return 1;
}

std::string StartError(const char* what, int rc, const char* address, uint16_t port) {
  const std::string prefix = std::string(what) + ": ";
  switch (rc) {
    case UPNP_E_SOCKET_BIND:
      return port ? prefix + "port " + std::to_string(port) + " is already in use (or the address is not ready)"
                  : prefix + "no free HTTP port from 49152 on (are many copies running?)";
    case UPNP_E_INVALID_INTERFACE:
      return prefix + "no usable network" +
             (address ? std::string(" on ") + address + " (not an address of this machine, or only loopback)"
                      : std::string(" (only loopback is up)"));
    case UPNP_E_NETWORK_ERROR:
    case UPNP_E_SOCKET_ERROR:
    case UPNP_E_LISTEN:
    case UPNP_E_INIT_FAILED:
      return prefix + "no usable network" + (address ? std::string(" on ") + address : "") + " (" +
             UpnpGetErrorMessage(rc) + ")";
    case UPNP_E_INVALID_PARAM:
      return prefix + "the device has no identity (could the settings file be written?)";
    default:
      return prefix + UpnpGetErrorMessage(rc) + " (" + std::to_string(rc) + ")";
  }
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Printable(const std::string& s, size_t max) {
  std::string out;
  size_t shown = 0;
  for (size_t i = 0; i < s.size();) {
    if (max && shown == max) return out + "…";
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n > 1 && i + n <= s.size() && IsValidUtf8(s.substr(i, n))) {
      out.append(s, i, n);
    } else if (n == 1 && c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
      i += 1;
      ++shown;
      continue;
    }
    i += n;
    ++shown;
  }
  return out;
}

std::string ErrorMeaning(int code, bool contentDirectory) {
  if (code < 0) return UpnpGetErrorMessage(code);
  if (contentDirectory) {
    switch (code) {
      case 701: return "No such object";
      case 709: return "Unsupported or invalid sort criteria";
      case 710: return "No such container";
      case 720: return "Cannot process the request";
      default: break;
    }
  }
  switch (code) {
    case 401: return "Invalid Action";
    case 402: return "Invalid Args";
    case 501: return "Action Failed";
    case 701: return "Transition not available";
    case 702: return "No contents";
    case 703: return "Read error";
    case 704: return "Format not supported for playback";
    case 705: return "Transport is locked";
    case 710: return "Seek mode not supported";
    case 711: return "Illegal seek target";
    case 714: return "Illegal MIME-type";
    case 715: return "Content BUSY";
    case 716: return "Resource not found";
    case 718: return "Invalid InstanceID";
    default: return "UPnP error";
  }
}

Session::~Session() { p_DestroyControlPoint(cp); }

bool SearchOption(const std::vector<std::string>& args, size_t* i, SearchOptions* options, std::string* error) {
  const std::string& a = args[*i];
  if (a == "--timeout" && *i + 1 < args.size()) {
    char* end = nullptr;
    options->timeout = strtol(args[++*i].c_str(), &end, 10);
    if (!end || *end || options->timeout < 1 || options->timeout > 120) {
      *error = "--timeout wants a number of seconds from 1 to 120";
    }
    return true;
  }
  if (a == "--address" && *i + 1 < args.size()) {
    options->address = args[++*i];
    in_addr probe{};
    if (inet_pton(AF_INET, options->address.c_str(), &probe) != 1) {
      *error = "--address wants an IPv4 address, not '" + options->address + "'";
    }
    return true;
  }
  return false;
}

namespace {

// A port number from 0 to 65535, nothing around it.
bool ParsePort(const std::string& text, long* port) {
  char* end = nullptr;
  errno = 0;
  *port = strtol(text.c_str(), &end, 10);
  return !text.empty() && end && !*end && errno == 0 && *port >= 0 && *port <= 65535;
}

// Only an id that makes a valid UDN: 8-4-4-4-12 hexadecimal digits.
bool IsMachineId(const std::string& id) {
  if (id.size() != 36) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (id[i] == '-') || (!dash && !isxdigit(static_cast<unsigned char>(id[i])))) return false;
  }
  return true;
}

}  // namespace

long PortSetting(const std::string& value, std::string* error) {
  long port = 0;
  if (value.empty()) return 0;
  if (ParsePort(value, &port)) return port;
  *error = "the setting port wants a number from 0 to 65535, not '" + value + "'";
  return -1;
}

std::string KeptMachineId(const std::string& stateDir, const util::AppConfig& settings, std::string* error) {
  const util::AppConfig state(stateDir + "/state.ini");
  std::string id = state.Get("machine_id");
  if (IsMachineId(id)) return id;
  id = settings.Get("machine_id");
  if (!IsMachineId(id)) id = NewUuid();
  if (!state.Set("machine_id", id)) {
    *error = "cannot keep the server's identity in " + state.path() + ": " + strerror(errno);
    return std::string();
  }
  return id;
}

CommandArgs ParseCommandArgs(const std::string& command, const std::vector<std::string>& args) {
  CommandArgs out;
  const bool serve = command == "serve", devices = command == "devices";
  for (size_t i = 0; i < args.size() && out.error.empty(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      out.help = true;
      return out;
    }
    if (a == "--json" && (devices || command == "browse")) {
      out.json = true;
    } else if (serve && !a.empty() && a[0] != '-' && out.positional.empty()) {
      out.positional.push_back(a);  // the folder
    } else if (serve && a == "--port" && i + 1 < args.size()) {
      out.portGiven = true;
      if (!ParsePort(args[++i], &out.port)) out.error = "--port wants a number from 0 to 65535";
    } else if (serve && a == "--state-dir" && i + 1 < args.size()) {
      out.stateDir = args[++i];
      if (out.stateDir.empty()) out.error = "--state-dir wants a folder";
    } else if ((!serve || a == "--address") && SearchOption(args, &i, &out.search, &out.error)) {
    } else if (!serve && !devices && !(a.size() > 1 && a[0] == '-')) {
      out.positional.push_back(a);  // "-" too: a name like any other
    } else {
      out.error = command + ": unknown option '" + a + "' (see 'tovaly-cli " + command + " --help')";
    }
  }
  if (!out.error.empty()) return out;
  if (command == "browse" && (out.positional.empty() || out.positional.size() > 2)) {
    out.error = "browse wants SERVER [OBJECT_ID] (see --help)";
  } else if (command == "play" && out.positional.size() != 3) {
    out.error = "play wants RENDERER SERVER ITEM_ID (see --help)";
  }
  return out;
}

int PickDevice(const std::vector<ConsoleHost::Device>& devices, const char* kind, const std::string& name,
               bool answered, bool searched, long timeout, ConsoleHost::Device* out, std::string* error) {
  std::vector<ConsoleHost::Device> byName;
  for (const auto& d : devices) {
    if (d.kind != kind) continue;
    if (d.udn == name) {
      *out = d;
      return 1;
    }
    if (d.name == name) byName.push_back(d);
  }
  // A name is taken once every device has had the time to answer the
  // search, so that a second device of that name is not missed.
  if (byName.size() == 1 && (searched || answered)) {
    *out = byName[0];
    return 1;
  }
  if (byName.size() > 1) {
    *error = std::string("the name \"") + Printable(name) + "\" matches several " + kind + "s; name one by its UDN:";
    for (const auto& d : byName) *error += "\n  " + Printable(d.udn, 0) + "  " + Printable(d.baseUrl);
    return -1;
  }
  if (searched) {
    *error = std::string("no ") + kind + " named \"" + Printable(name) + "\" answered within " +
             std::to_string(timeout) + " s (see 'tovaly-cli devices')";
    return -1;
  }
  return 0;
}

bool StartSession(Session* s, const SearchOptions& options, std::string* error) {
  int rc = 0;
  const char* address = options.address.empty() ? nullptr : options.address.c_str();
  s->cp = p_CreateControlPoint(address, 0, &ConsoleHost::Callback, &s->host, &rc);
  if (!s->cp) {
    *error = StartError("cannot search the network", rc, address, 0);
    return false;
  }
  const int mx = static_cast<int>(options.timeout > 5 ? 5 : (options.timeout > 1 ? options.timeout - 1 : 1));
  p_Search(s->cp, mx, kSearchServers | kSearchRenderers);
  // Devices answer within MX seconds of the search.
  s->answersDue = MonotonicMicros() + static_cast<uint64_t>(mx) * 1000000 + 500000;
  return true;
}

bool FindDevice(Session* s, const char* kind, const std::string& name, const SearchOptions& options,
                ConsoleHost::Device* out, std::string* error) {
  const uint64_t deadline = MonotonicMicros() + static_cast<uint64_t>(options.timeout) * 1000000;
  for (;;) {
    const std::vector<ConsoleHost::Device> devices = s->host.Devices();
    const uint64_t now = MonotonicMicros();
    const int found = PickDevice(devices, kind, name, now >= s->answersDue, now >= deadline, options.timeout, out, error);
    if (found != 0) return found > 0;
    SleepMicros(100000);
  }
}

}  // namespace tovaly::cli
