#pragma once
// What the media engine may serve: the host's answer to code 101. One rule,
// in one place: a regular file in a published folder of the content folder,
// reached through a path without "..", hidden names, invalid UTF-8 or NUL,
// whose links stay inside the folder; files directly in the content folder
// are not published, so not served; nothing is ever opened for writing.

#include <string>

#include "core/event_callback.h"

namespace tovaly {

// Code 101. `contentFolder` is read afresh by the host for each request.
// Non-zero with request->fd open (O_RDONLY) and its content type.
int32_t AnswerFileOpen(const std::string& contentFolder, FileOpenRequest* request);

}  // namespace tovaly
