#pragma once
// Proxy of a remote MediaServer: adds the ContentDirectory.

#include "controlpoint/device_control.h"

namespace tovaly {

class MediaServerDevice : public upnp_device_control {
 public:
  using upnp_device_control::upnp_device_control;

  bool SetService(int index, const RemoteService& service) override;
  const std::string* GetControlURL(int index) const override;
  int GetServiceVersion(int index) const override;
  bool HoldsSid(const char* sid) const override;
  // Subscribes to ContentDirectory events again (after a failed renewal).
  int SubscribeContentDirectory();

  // Reads the children of a container page by page (at most 50 a request;
  // requestedCount <= 0: all) and reports each to the host (code 3 for a
  // container, 4 for an item) with token. Returns the number of children
  // read, 0 when a page got no answer or its Result could not be read.
  int Browse(const char* objectId, int startingIndex, int requestedCount, void* token);
  // The record of one object (BrowseMetadata). 0, or the error code.
  int DescribeObject(const char* objectId, struct DidlEntry* out);

 private:
  RemoteService contentDirectory_;
  int cdsTimeout_ = 0;
  std::string cdsSid_;
};

}  // namespace tovaly
