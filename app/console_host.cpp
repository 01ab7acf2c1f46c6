#include "app/console_host.h"

#include "core/event_callback.h"
#include "device/file_serving.h"
#include "device/host_answers.h"
#include "device/media_library.h"

namespace tovaly {

int32_t ConsoleHost::Callback(void* context, int32_t code, void* args) {
  return HostDispatch(code, [&]() -> int32_t {
    if (!args) return 0;
    switch (code) {
      // Answered with or without a context.
      case kRequestContentFolder: return AnswerContentFolder(static_cast<TextRequest*>(args));
      case kRequestDeviceUdn: return AnswerDeviceUdn(static_cast<TextRequest*>(args));
      case kRequestProtocolList: return AnswerProtocolList(static_cast<ProtocolListRequest*>(args));
      case kRequestFileInfo: return AnswerFileInfo(ContentFolder(), static_cast<FileInfoRequest*>(args));
      case kRequestFileOpen: return AnswerFileOpen(ContentFolder(), static_cast<FileOpenRequest*>(args));
      case kRequestFileRead: return AnswerFileRead(static_cast<FileReadRequest*>(args));
      case kRequestFileSeek: return AnswerFileSeek(static_cast<FileSeekRequest*>(args));
      case kRequestFileClose: return AnswerFileClose(static_cast<FileCloseRequest*>(args));
      default: break;
    }
    if (!context) return 0;
    switch (code) {
      case kRequestComputerName:
      case kRequestRendererName: return AnswerComputerName(static_cast<TextRequest*>(args));
      case kRequestBrowseChildren: return AnswerBrowseChildren(static_cast<BrowseChildrenRequest*>(args));
      case kRequestBrowseMetadata: return AnswerBrowseMetadata(static_cast<BrowseMetadataRequest*>(args));
      default: return 0;  // 60 (MediaDownload) among others: not answered
    }
  });
}

}  // namespace tovaly
