#pragma once
// The metadata helper's side: tovaly-meta serves the server's requests on
// one socket, one file at a time, until the server closes it.

#include <functional>
#include <string>

namespace tovaly::extract {

// The descriptor on which the server passes the helper its socket.
constexpr int kHelperChannelFd = 3;
// The helper's address space: a crafted file that gets past the checks of
// sizes and dimensions ends here, with the helper, not the server.
constexpr unsigned long kHelperMemoryBytes = 512ul << 20;

// Makes this process fit to read hostile files: every descriptor but 0-2 and
// `keep` closed, memory (not under the sanitizers, which reserve terabytes
// of address space), core dumps, file writes and descriptors limited, and
// ended with its parent.
void PrepareHelperProcess(int keep);

// Answers requests on sock until it closes; returns the exit status.
// `beforeEach` (tests only) sees each file's name before it is read.
int ServeMetaRequests(int sock, const std::function<void(const std::string& name)>& beforeEach = nullptr);

}  // namespace tovaly::extract
