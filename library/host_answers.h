#pragma once
// The answers to the engines' requests that touch the machine, the disk and
// the configuration. Plain functions, so that every host (the desktop window,
// the console program, test hosts) answers them the same way. Each returns
// non-zero when it answered.

#include <cstdint>
#include <string>

#include "core/event_callback.h"

namespace tovaly {

class MediaCatalog;

// 10 and 51: the computer name.
int32_t AnswerComputerName(TextRequest* request);
// 11: the folder given for this run (SetContentFolderOverride), else
// `content_path` from the configuration; when that is empty, the user's videos
// folder (DefaultContentFolder), which is then written back. Always with a
// trailing "/".
int32_t AnswerContentFolder(TextRequest* request);
// 14: "uuid:" and the persistent machine id, created and stored on first use.
int32_t AnswerDeviceUdn(TextRequest* request);
// 15: the host's constant protocol list (101 entries).
int32_t AnswerProtocolList(ProtocolListRequest* request);

// 12 and 13 over the content folder (the root's title is the computer name),
// with what the metadata catalog knows of the files when a host set one.
int32_t AnswerBrowseChildren(BrowseChildrenRequest* request);
int32_t AnswerBrowseMetadata(BrowseMetadataRequest* request);

// The catalog the answers above (and 101's pictures) use; the host owns it
// and sets it before its engines start, and back to null after they stopped.
// Null: names only, no pictures.
void SetMediaCatalog(MediaCatalog* catalog);

// The content folder as code 11 gives it.
std::string ContentFolder();
// The folder shared for this run of the process instead of `content_path`,
// written nowhere; empty to use the setting again.
void SetContentFolderOverride(const std::string& folder);
// "" when path names a folder the server can share and, when it is to be
// stored, the settings file can keep; otherwise one sentence naming the path
// and what is wrong with it.
std::string ContentFolderProblem(const std::string& path, bool toBeStored = true);
// The user's videos folder: XDG_VIDEOS_DIR of ~/.config/user-dirs.dirs (as
// xdg-user-dir VIDEOS reads it), else ~/Videos. Never the program's folder:
// an installed program's folder holds nothing a person wants to share.
std::string DefaultContentFolder();

// The requests every host answers alike, from the machine, the disk and the
// configuration (10, 11, 12, 13, 14, 15, 50, 51, 101). True when `code` is
// one of them; *result then holds the answer.
bool AnswerMachineRequest(int32_t code, void* args, int32_t* result);
// The list of code 15.
const char* HostProtocolList();

}  // namespace tovaly
