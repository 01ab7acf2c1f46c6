#pragma once
// A host for tests: answers the device's requests from fixed values and
// records what it was asked.

#include <cstring>
#include <string>
#include <vector>

#include "core/event_callback.h"
#include "device/host_answers.h"
#include "device/media_library.h"

namespace tovaly::test {

struct TestHost {
  std::string udn = "uuid:00000000-1111-2222-3333-444444444444";
  bool answerMediaDownload = false;
  std::vector<int32_t> codes;
  std::vector<std::string> fromTexts;
  std::string contentFolder;  // answers 12 and 13 when set

  static int32_t Callback(void* context, int32_t code, void* args) {
    return HostDispatch(code, [&]() -> int32_t {
      auto* host = static_cast<TestHost*>(context);
      if (!host) return 0;
      host->codes.push_back(code);
      switch (code) {
        case kRequestDeviceUdn: {
          auto* r = static_cast<TextRequest*>(args);
          snprintf(r->buffer, r->size, "%s", host->udn.c_str());
          return 1;
        }
        case kRequestProtocolList: return AnswerProtocolList(static_cast<ProtocolListRequest*>(args));
        case kRequestMediaDownload:
          if (!host->answerMediaDownload) return 0;
          static_cast<FlagRequest*>(args)->flag = 1;
          return 1;
        case kRequestBrowseChildren: {
          if (host->contentFolder.empty()) return 0;
          auto* r = static_cast<BrowseChildrenRequest*>(args);
          return ListFolder(host->contentFolder, r->objectId, r->startingIndex, r->requestedCount, r->mediaBaseUrl,
                            r->list);
        }
        case kRequestBrowseMetadata: {
          if (host->contentFolder.empty()) return 0;
          auto* r = static_cast<BrowseMetadataRequest*>(args);
          return DescribeObject(host->contentFolder, r->objectId, r->mediaBaseUrl, "TESTPC", r->object);
        }
        case kEventProtocolInfoFrom: host->fromTexts.push_back(static_cast<ProtocolInfoFrom*>(args)->from); return 0;
        default: return 0;
      }
    });
  }
};

}  // namespace tovaly::test
