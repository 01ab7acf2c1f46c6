#include "app/console_host.h"

#include "core/event_callback.h"
#include "device/host_answers.h"

namespace tovaly {

int32_t ConsoleHost::Callback(void* context, int32_t code, void* args) {
  return HostDispatch(code, [&]() -> int32_t {
    if (!args) return 0;
    switch (code) {
      // Answered with or without a context.
      case kRequestContentFolder: return AnswerContentFolder(static_cast<TextRequest*>(args));
      case kRequestDeviceUdn: return AnswerDeviceUdn(static_cast<TextRequest*>(args));
      case kRequestProtocolList: return AnswerProtocolList(static_cast<ProtocolListRequest*>(args));
      default: break;
    }
    if (!context) return 0;
    switch (code) {
      case kRequestComputerName:
      case kRequestRendererName: return AnswerComputerName(static_cast<TextRequest*>(args));
      default: return 0;  // 60 (MediaDownload) among others: not answered
    }
  });
}

}  // namespace tovaly
