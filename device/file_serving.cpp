#include "device/file_serving.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <upnp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "device/media_library.h"
#include "device/media_types.h"

namespace tovaly {
namespace {

std::atomic<EventCallback> g_callback{nullptr};

// An open file of a transfer: the web server's handle.
struct FileStream {
  int fd;
  char buffer[64 * 1024];
  size_t pos, len;  // unread part of buffer: [pos, len)
};
const char kPrefix[] = "/media/";

// The part of a request path below "/media/", or null when it is not below.
const char* StripPrefix(const char* path) {
  if (!path || strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return nullptr;
  return path + sizeof kPrefix - 1;
}

// The regular file a decoded request path names, inside a folder of the
// content folder.
// The web server hands over the query decoded too, and a name may itself hold
// a "?" (sent as %3F): try the whole path first, then the part before "?".
bool MapRequest(const std::string& contentFolder, const char* path, std::string* file, struct stat* st) {
  if (!path) return false;
  std::string candidate = path;
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Files directly in the content folder are not published, so not served.
    if (candidate.find('/') != std::string::npos && ResolveInside(contentFolder, candidate, file) && stat(file->c_str(), st) == 0 && S_ISREG(st->st_mode)) {
      return true;
    }
    const size_t q = candidate.find('?');
    if (q == std::string::npos) break;
    candidate.resize(q);
  }
  return false;
}

int GetInfo(const char* filename, UpnpFileInfo* info, const void*) {
  const EventCallback cb = g_callback.load();
  if (!cb) return -1;
  FileInfoRequest request{StripPrefix(filename), {}};
  if (!request.path || !cb(nullptr, kRequestFileInfo, &request) || !request.info.readable) {
    return -1;  // 404: nothing there that we serve
  }
  UpnpFileInfo_set_FileLength(info, request.info.length);
  UpnpFileInfo_set_LastModified(info, request.info.lastModified);
  UpnpFileInfo_set_IsDirectory(info, request.info.isDirectory);
  UpnpFileInfo_set_IsReadable(info, 1);
  // Must always be set: the web server formats it with strlen.
  const char* type = request.info.contentType ? request.info.contentType : "application/octet-stream";
  UpnpFileInfo_set_ContentType(info, type);
  UpnpFileInfo_set_ExtraHeaders(info, DlnaHeaders(type).c_str());
  return 0;
}

UpnpWebFileHandle Open(const char* filename, enum UpnpOpenFileMode mode, const void*) {
  const EventCallback cb = g_callback.load();
  if (!cb || mode != UPNP_READ) return nullptr;  // nothing is ever written
  FileOpenRequest request{StripPrefix(filename), 0};
  if (!request.path || !cb(nullptr, kRequestFileOpen, &request)) return nullptr;
  return request.handle;
}

int Read(UpnpWebFileHandle handle, char* buf, size_t len, const void*) {
  const EventCallback cb = g_callback.load();
  if (!cb || !handle || !buf) return 0;
  FileReadRequest request{handle, buf, len};
  const int32_t n = cb(nullptr, kRequestFileRead, &request);
  // Never negative: the web server would cast it to a huge length and send
  // heap memory.
  return n > 0 ? n : 0;
}

int Write(UpnpWebFileHandle, char*, size_t, const void*) { return 0; }

int Seek(UpnpWebFileHandle handle, off_t offset, int origin, const void*) {
  const EventCallback cb = g_callback.load();
  if (!cb || !handle) return -1;
  FileSeekRequest request{handle, static_cast<int64_t>(offset), origin};
  // A failed seek must not look like success: the wrong bytes would stream.
  if (!cb(nullptr, kRequestFileSeek, &request)) return -1;
  return request.result;
}

int Close(UpnpWebFileHandle handle, const void*) {
  const EventCallback cb = g_callback.load();
  if (cb && handle) {
    FileCloseRequest request{handle};
    cb(nullptr, kRequestFileClose, &request);
  }
  return 0;
}

}  // namespace

void SetFileServingCallback(EventCallback callback) { g_callback = callback; }

int InstallFileServingCallbacks() {
  int rc = UpnpVirtualDir_set_GetInfoCallback(&GetInfo);
  if (rc == 0) rc = UpnpVirtualDir_set_OpenCallback(&Open);
  if (rc == 0) rc = UpnpVirtualDir_set_ReadCallback(&Read);
  if (rc == 0) rc = UpnpVirtualDir_set_WriteCallback(&Write);
  if (rc == 0) rc = UpnpVirtualDir_set_SeekCallback(&Seek);
  if (rc == 0) rc = UpnpVirtualDir_set_CloseCallback(&Close);
  return rc;
}

std::string DlnaHeaders(const char* mimeType) {
  const bool streamed = mimeType && (strncmp(mimeType, "video/", 6) == 0 || strncmp(mimeType, "audio/", 6) == 0 ||
                                     strcmp(mimeType, "application/ogg") == 0);
  // OP=01: byte ranges; FLAGS: streaming (or interactive), background,
  // connection stall, DLNA 1.5.
  return streamed ? "contentFeatures.dlna.org: DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                    "DLNA.ORG_FLAGS=01700000000000000000000000000000\r\n"
                    "transferMode.dlna.org: Streaming\r\n"
                  : "contentFeatures.dlna.org: DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                    "DLNA.ORG_FLAGS=00F00000000000000000000000000000\r\n"
                    "transferMode.dlna.org: Interactive\r\n";
}

int32_t AnswerFileInfo(const std::string& contentFolder, FileInfoRequest* request) {
  if (!request) return 0;
  std::string file;
  struct stat st{};
  request->info = FileInfo();
  if (!MapRequest(contentFolder, request->path, &file, &st)) {
    request->info.readable = 0;
    return 1;
  }
  request->info.length = st.st_size;
  request->info.lastModified = st.st_mtime;
  request->info.isDirectory = 0;
  request->info.readable = access(file.c_str(), R_OK) == 0 ? 1 : 0;
  request->info.contentType = MimeTypeFor(file.c_str(), nullptr);
  return 1;
}

int32_t AnswerFileOpen(const std::string& contentFolder, FileOpenRequest* request) {
  if (!request || request->mode != 0) return 0;  // never open for writing
  std::string file;
  struct stat st{};
  if (!MapRequest(contentFolder, request->path, &file, &st)) return 0;
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return 0;
  struct stat opened{};
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    close(fd);
    return 0;
  }
  request->handle = new FileStream{fd, {}, 0, 0};
  return 1;
}

int32_t AnswerFileRead(FileReadRequest* request) {
  if (!request || !request->handle || !request->buffer) return 0;
  auto* f = static_cast<FileStream*>(request->handle);
  if (f->pos == f->len) {
    // Large reads from the disk, small pieces to the web server.
    const ssize_t n = read(f->fd, f->buffer, sizeof f->buffer);
    if (n <= 0) return 0;  // end of file, or an error that ends the transfer
    f->pos = 0;
    f->len = static_cast<size_t>(n);
  }
  const size_t n = std::min({request->length, kMaxReadPiece, f->len - f->pos});
  memcpy(request->buffer, f->buffer + f->pos, n);
  f->pos += n;
  return static_cast<int32_t>(n);
}

int32_t AnswerFileSeek(FileSeekRequest* request) {
  if (!request || !request->handle) return 0;
  auto* f = static_cast<FileStream*>(request->handle);
  off_t target = static_cast<off_t>(request->offset);
  int origin = request->origin;
  if (origin == SEEK_CUR) {
    // The kernel's position is ahead of the reader by what is still buffered.
    target -= static_cast<off_t>(f->len - f->pos);
  }
  request->result = lseek(f->fd, target, origin) < 0 ? -1 : 0;
  f->pos = f->len = 0;
  return 1;
}

int32_t AnswerFileClose(FileCloseRequest* request) {
  if (!request || !request->handle) return 0;
  auto* f = static_cast<FileStream*>(request->handle);
  close(f->fd);
  delete f;
  request->handle = nullptr;
  return 1;
}

}  // namespace tovaly
