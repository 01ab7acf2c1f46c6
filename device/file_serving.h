#pragma once
// Media files over HTTP through the web server's "/media/" virtual
// directory. The six entry points forward to the host (codes 100-105, null
// context); the host answers below map request paths onto the content folder
// and never let a request reach a file outside it, create or change a file.

#include <cstdint>
#include <string>

#include "core/event_callback.h"

namespace tovaly {

// The host callback the entry points forward to; set by the media server.
void SetFileServingCallback(EventCallback callback);
// Installs the six entry points; after every start of the stack (it resets
// them). Returns the stack's result.
int InstallFileServingCallbacks();

// The DLNA headers that let TVs seek: streaming for audio and video,
// interactive for the rest. Complete lines, each ending in CRLF.
std::string DlnaHeaders(const char* mimeType);

// Host answers. `contentFolder` is read afresh by the host for each request.
int32_t AnswerFileInfo(const std::string& contentFolder, FileInfoRequest* request);
int32_t AnswerFileOpen(const std::string& contentFolder, FileOpenRequest* request);
int32_t AnswerFileRead(FileReadRequest* request);
int32_t AnswerFileSeek(FileSeekRequest* request);
int32_t AnswerFileClose(FileCloseRequest* request);

// Largest piece one read hands to the web server.
constexpr size_t kMaxReadPiece = 2048;

}  // namespace tovaly
