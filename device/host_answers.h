#pragma once
// The answers to the engines' requests that touch the machine, the disk and
// the configuration. Plain functions, so that every host (the desktop window,
// the console program, test hosts) answers them the same way. Each returns
// non-zero when it answered.

#include <cstdint>
#include <string>

#include "core/event_callback.h"

namespace tovaly {

// 10 and 51: the computer name.
int32_t AnswerComputerName(TextRequest* request);
// 11: `content_path` from the configuration; when empty, the executable's
// folder, which is then written back. Always with a trailing "/".
int32_t AnswerContentFolder(TextRequest* request);
// 14: "uuid:" and the persistent machine id, created and stored on first use.
int32_t AnswerDeviceUdn(TextRequest* request);
// 15: the host's constant protocol list (101 entries).
int32_t AnswerProtocolList(ProtocolListRequest* request);

// 12 and 13 over the content folder (the root's title is the computer name).
int32_t AnswerBrowseChildren(BrowseChildrenRequest* request);
int32_t AnswerBrowseMetadata(BrowseMetadataRequest* request);

// The content folder as code 11 gives it.
std::string ContentFolder();
// The list of code 15.
const char* HostProtocolList();

}  // namespace tovaly
