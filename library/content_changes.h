#pragma once
// The update ids of the shared folder: SystemUpdateID moves whenever
// anything published changes, and each folder's own id when what it holds
// changes (a file added, removed or renamed, or facts about its files that
// a client was sent without). Clients that keep a copy of a folder ask again
// when its id moves. Process-wide; no thread of its own.

#include <cstdint>
#include <functional>
#include <string>

namespace tovaly {

uint32_t SystemUpdateId();
// 0 for a folder that has not changed while the program ran.
uint32_t ContainerUpdateId(const std::string& folderId);

// Moves the system's and the folder's ids and tells every listener.
void ContentChanged(const std::string& folderId);

// Called on the thread that reports a change, with no lock held; returns a
// token for RemoveContentListener, which waits out a call in progress.
using ContentListener = std::function<void(const std::string& folderId, uint32_t containerUpdateId)>;
int AddContentListener(ContentListener listener);
void RemoveContentListener(int token);

}  // namespace tovaly
