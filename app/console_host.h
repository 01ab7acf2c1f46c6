#pragma once
// The host of the console program: answers the engines' requests from the
// machine and config.ini, as the desktop window does, without a display, and
// keeps the list of devices the control point reports.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tovaly {

class ConsoleHost {
 public:
  struct Device {
    std::string kind;  // "server" or "renderer"
    std::string name, udn, baseUrl;
  };

  // printEvents: one line on stdout whenever a device appears or goes.
  explicit ConsoleHost(bool printEvents) : printEvents_(printEvents) {}

  static int32_t Callback(void* context, int32_t code, void* args);

  // The UDN the server is given instead of the settings' machine_id; set
  // before the server starts.
  void SetDeviceUdn(std::string udn) { udn_ = std::move(udn); }

  // The devices present now, servers first, each kind in order of arrival.
  std::vector<Device> Devices() const;

  struct BrowseEntry {
    bool container = false;
    std::string title, id, url, protocolInfo, date;
    int64_t duration = -1;  // microseconds, -1 unknown
    int objectClass = 0;
    // The rest of what the server's DIDL-Lite says of an item: empty, 0 or
    // -1 where it says nothing.
    std::string artist, album, genre, albumArtURI, subtitleUrl;
    uint32_t track = 0;
    int64_t size = -1;
  };
  // What a browse reported (codes 3 and 4), in order.
  std::vector<BrowseEntry> TakeBrowseEntries();

  // The last transport state a renderer reported (code 200) and how many
  // reports came so far; -1 / 0 before the first.
  std::pair<int, uint64_t> TransportState(const std::string& udn) const;

 private:
  void Appeared(const char* kind, const char* name, const char* udn, const char* baseUrl);
  void Left(const char* kind, const char* name, const char* udn);

  const bool printEvents_;
  std::string udn_;
  mutable std::mutex m_;  // guards the two below; nothing is called with it held
  std::map<std::string, Device> devices_;  // by kind + UDN
  std::vector<std::string> order_;
  std::vector<BrowseEntry> browsed_;
  std::map<std::string, std::pair<int, uint64_t>> states_;
};

}  // namespace tovaly
