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

  // The devices present now, servers first, each kind in order of arrival.
  std::vector<Device> Devices() const;

 private:
  void Appeared(const char* kind, const char* name, const char* udn, const char* baseUrl);
  void Left(const char* kind, const char* name, const char* udn);

  const bool printEvents_;
  mutable std::mutex m_;  // guards the two below; nothing is called with it held
  std::map<std::string, Device> devices_;  // by kind + UDN
  std::vector<std::string> order_;
};

}  // namespace tovaly
