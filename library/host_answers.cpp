#include "library/host_answers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "core/app_config.h"
#include "core/clock.h"
#include "core/trace.h"
#include "core/uuid.h"
#include "library/catalog.h"
#include "library/file_open.h"
#include "library/media_library.h"

namespace tovaly {
namespace {

int32_t CopyOut(const std::string& text, TextRequest* request) {
  if (!request || !request->buffer || request->size == 0) return 0;
  const size_t n = std::min(text.size(), request->size - 1);
  memcpy(request->buffer, text.data(), n);
  request->buffer[n] = '\0';
  return 1;
}

bool IsMachineId(const std::string& id) {
  if (id.size() != 36) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const bool dash = (i == 8 || i == 13 || i == 18 || i == 23);
    if (dash != (id[i] == '-')) return false;
    if (!dash && !isxdigit(static_cast<unsigned char>(id[i]))) return false;
  }
  return true;
}

}  // namespace

const char* HostProtocolList() {
  return "*:*,audio/3gpp:DLNA.ORG_PN=AMR_3GPP,audio/L16:*,audio/L16;rate=44100;channels=1:DLNA.ORG_PN=LPCM,"
         "audio/L16;rate=44100;channels=2:DLNA.ORG_PN=LPCM,audio/L16;rate=48000;channels=1:DLNA.ORG_PN=LPCM,"
         "audio/L16;rate=48000;channels=2:DLNA.ORG_PN=LPCM,audio/L8:*,"
         "audio/mp4:DLNA.ORG_PN=AAC_ISO_320,audio/mp4:DLNA.ORG_PN=AMR_3GPP,audio/mp4:DLNA.ORG_PN=AMR_WBplus,"
         "audio/mpeg:*,audio/mpeg:DLNA.ORG_PN=AAC_ADTS,audio/mpeg:DLNA.ORG_PN=AAC_ADTS_320,"
         "audio/mpeg:DLNA.ORG_PN=AAC_ISO,audio/mpeg:DLNA.ORG_PN=AAC_ISO_320,audio/mpeg:DLNA.ORG_PN=AAC_MULT5_ADTS,"
         "audio/mpeg:DLNA.ORG_PN=AAC_MULT5_ISO,audio/mpeg:DLNA.ORG_PN=MP3,audio/mpeg:DLNA.ORG_PN=MP3X,"
         "audio/rn-mpeg:*,audio/vnd.dolby.dd-raw:DLNA.ORG_PN=AC3,"
         "audio/x-ms-wma:DLNA.ORG_PN=WMABASE,audio/x-ms-wma:DLNA.ORG_PN=WMAFULL,audio/x-ms-wma:DLNA.ORG_PN=WMAPRO,"
         "audio/x-ms-wma:DLNA.ORG_PN=WMDRM_WMABASE,audio/x-ms-wma:DLNA.ORG_PN=WMDRM_WMAFULL,"
         "audio/x-ms-wma:DLNA.ORG_PN=WMDRM_WMAPRO,"
         "audio/x-pn-alaw:*,audio/x-pn-g721:*,audio/x-pn-g723:*,audio/x-pn-gsm610:*,audio/x-pn-mulaw:*,"
         "image/jpeg:DLNA.ORG_PN=JPEG_LRG,image/jpeg:DLNA.ORG_PN=JPEG_LRG_ICO,image/jpeg:DLNA.ORG_PN=JPEG_MED,"
         "image/jpeg:DLNA.ORG_PN=JPEG_SM,image/jpeg:DLNA.ORG_PN=JPEG_SM_ICO,image/jpeg:DLNA.ORG_PN=JPEG_TN,"
         "image/png:DLNA.ORG_PN=PNG_LRG,image/png:DLNA.ORG_PN=PNG_LRG_ICO,image/png:DLNA.ORG_PN=PNG_SM_ICO,"
         "image/png:DLNA.ORG_PN=PNG_TN,image/x-ycbcr-yuv420:*,"
         "video/3gpp:*,video/3gpp:DLNA.ORG_PN=MPEG4_H263_MP4_P0_L10_AAC,"
         "video/3gpp:DLNA.ORG_PN=MPEG4_H263_MP4_P0_L10_AAC_LTP,video/avi:*,"
         "video/mp4:*,video/mp4:DLNA.ORG_PN=AVC_MP4_BL_CIF15_AAC,video/mp4:DLNA.ORG_PN=AVC_MP4_BL_CIF15_AAC_520,"
         "video/mp4:DLNA.ORG_PN=AVC_MP4_BL_L3_SD_AAC,video/mp4:DLNA.ORG_PN=AVC_MP4_BL_L3L_SD_AAC,"
         "video/mp4:DLNA.ORG_PN=AVC_MP4_HP_HD_AAC,video/mp4:DLNA.ORG_PN=AVC_MP4_MP_HD_1080i_AAC,"
         "video/mp4:DLNA.ORG_PN=AVC_MP4_MP_HD_720p_AAC,video/mp4:DLNA.ORG_PN=AVC_MP4_MP_SD_AAC_MULT5,"
         "video/mp4:DLNA.ORG_PN=AVC_MP4_MP_SD_AC3,video/mp4:DLNA.ORG_PN=AVC_MP4_MP_SD_MPEG1_L3,"
         "video/mp4:DLNA.ORG_PN=MPEG4_P2_MP4_SP_AAC,video/mp4:DLNA.ORG_PN=MPEG4_P2_MP4_SP_AAC_LTP,"
         "video/mp4:DLNA.ORG_PN=MPEG4_P2_MP4_SP_L2_AAC,video/mp4:DLNA.ORG_PN=MPEG4_P2_MP4_SP_VGA_AAC,"
         "video/mpeg:*,video/mpeg:DLNA.ORG_PN=MPEG_PS_NTSC,video/mpeg:DLNA.ORG_PN=MPEG_PS_NTSC_XAC3,"
         "video/mpeg:DLNA.ORG_PN=MPEG_PS_PAL,video/mpeg:DLNA.ORG_PN=MPEG_PS_PAL_XAC3,"
         "video/mpeg:DLNA.ORG_PN=MPEG_TS_HD_NA_ISO,video/mpeg:DLNA.ORG_PN=MPEG_TS_SD_EU_ISO,"
         "video/mpeg:DLNA.ORG_PN=MPEG_TS_SD_NA_ISO,video/mpeg:DLNA.ORG_PN=MPEG1,"
         "video/quicktime:*,video/wtv:*,video/X-HX-DIVX:*,"
         "video/x-ms-asf:*,video/x-ms-asf:DLNA.ORG_PN=MPEG4_P2_ASF_ASP_L4_SO_G726,"
         "video/x-ms-asf:DLNA.ORG_PN=MPEG4_P2_ASF_ASP_L5_SO_G726,video/x-ms-asf:DLNA.ORG_PN=MPEG4_P2_ASF_SP_G726,"
         "video/x-ms-asf:DLNA.ORG_PN=VC1_ASF_AP_L1_WMA,"
         "video/x-ms-wmv:*,video/x-ms-wmv:DLNA.ORG_PN=WMDRM_WMVHIGH_FULL,video/x-ms-wmv:DLNA.ORG_PN=WMDRM_WMVHIGH_PRO,"
         "video/x-ms-wmv:DLNA.ORG_PN=WMDRM_WMVMED_BASE,video/x-ms-wmv:DLNA.ORG_PN=WMDRM_WMVMED_FULL,"
         "video/x-ms-wmv:DLNA.ORG_PN=WMDRM_WMVMED_PRO,video/x-ms-wmv:DLNA.ORG_PN=WMDRM_WMVSPLL_BASE,"
         "video/x-ms-wmv:DLNA.ORG_PN=WMDRM_WMVSPML_BASE,video/x-ms-wmv:DLNA.ORG_PN=WMDRM_WMVSPML_MP3,"
         "video/x-ms-wmv:DLNA.ORG_PN=WMVHIGH_FULL,video/x-ms-wmv:DLNA.ORG_PN=WMVHIGH_PRO,"
         "video/x-ms-wmv:DLNA.ORG_PN=WMVMED_BASE,video/x-ms-wmv:DLNA.ORG_PN=WMVMED_FULL,"
         "video/x-ms-wmv:DLNA.ORG_PN=WMVMED_PRO,video/x-ms-wmv:DLNA.ORG_PN=WMVSPLL_BASE,"
         "video/x-ms-wmv:DLNA.ORG_PN=WMVSPML_BASE,video/x-ms-wmv:DLNA.ORG_PN=WMVSPML_MP3,"
         "video/x-pn-icm-plugin:*,video/x-pn-jpeg-plugin:*,video/x-pn-qtvideo-stream:*,video/X-RN-3GPP-H263:*";
}

int32_t AnswerProtocolList(ProtocolListRequest* request) {
  if (!request) return 0;
  request->list = HostProtocolList();
  return 1;
}

int32_t AnswerComputerName(TextRequest* request) {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return 0;
  return CopyOut(name, request);
}

namespace {
std::mutex overrideLock;
std::string folderOverride;  // guarded by overrideLock
}  // namespace

void SetContentFolderOverride(const std::string& folder) {
  std::lock_guard<std::mutex> lk(overrideLock);
  folderOverride = folder;
}

std::string ContentFolderProblem(const std::string& path, bool toBeStored) {
  using util::AppConfig;
  if (path.empty()) return "No content folder is given.";
  const std::string quoted = "The path \"" + path + "\"";
  if (path[0] != '/') return quoted + " is not absolute; give the full path starting with \"/\".";
  if (toBeStored && path.size() > AppConfig::kMaxValue) {
    return quoted + " is " + std::to_string(path.size()) + " bytes long; the settings file keeps at most " +
           std::to_string(AppConfig::kMaxValue) + ".";
  }
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return quoted + " contains a line break or another control character.";
  }
  // The settings file drops blanks around a value, so it would name another folder.
  if (toBeStored && path.back() == ' ') return quoted + " ends with a blank the settings file cannot keep.";

  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return quoted + " does not exist.";
    return quoted + " cannot be reached: " + std::strerror(errno) + ".";
  }
  if (!S_ISDIR(st.st_mode)) return quoted + " is not a folder.";
  DIR* dir = opendir(path.c_str());
  if (!dir) return quoted + " cannot be opened: " + std::strerror(errno) + ".";
  closedir(dir);
  return "";
}

std::string DefaultContentFolder() {
  const char* homeEnv = getenv("HOME");
  const std::string home = homeEnv && *homeEnv == '/' ? homeEnv : "/root";
  const char* xdg = getenv("XDG_CONFIG_HOME");
  const std::string dirsFile = (xdg && *xdg == '/' ? std::string(xdg) : home + "/.config") + "/user-dirs.dirs";
  std::ifstream in(dirsFile);
  std::string line;
  const std::string key = "XDG_VIDEOS_DIR=\"";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0 || line.size() < key.size() + 1 || line.back() != '"') continue;
    std::string value = line.substr(key.size(), line.size() - key.size() - 1);
    if (value.compare(0, 5, "$HOME") == 0) value = home + value.substr(5);
    // xdg-user-dir answers $HOME for a folder set to the home itself or to
    // nothing usable; the whole home is more than a person means to share.
    if (value.empty() || value[0] != '/' || value == home || value == home + "/") break;
    return value;
  }
  return home + "/Videos";
}

std::string ContentFolder() {
  std::string folder;
  {
    std::lock_guard<std::mutex> lk(overrideLock);
    folder = folderOverride;
  }
  if (folder.empty()) {
    auto& config = util::AppConfig::Instance();
    folder = config.Get("content_path");
    if (folder.empty()) {
      folder = DefaultContentFolder();
      config.Set("content_path", folder);
    }
  }
  if (folder.back() != '/') folder += '/';
  return folder;
}

int32_t AnswerContentFolder(TextRequest* request) { return CopyOut(ContentFolder(), request); }

int32_t AnswerDeviceUdn(TextRequest* request) {
  auto& config = util::AppConfig::Instance();
  std::string id = config.Get("machine_id");
  if (!IsMachineId(id)) {
    // Missing, or edited into something that would not make a valid UDN.
    id = NewUuid();
    config.Set("machine_id", id);
  }
  return CopyOut("uuid:" + id, request);
}

}  // namespace tovaly

namespace tovaly {

namespace {
std::atomic<MediaCatalog*> g_catalog{nullptr};
}  // namespace

void SetMediaCatalog(MediaCatalog* catalog) { g_catalog = catalog; }

int32_t AnswerBrowseChildren(BrowseChildrenRequest* request) {
  if (!request || !request->objectId || !request->list) return 0;
  const std::string folder = ContentFolder();
  const std::string base = request->mediaBaseUrl ? request->mediaBaseUrl : "";
  const int32_t total =
      ListFolder(folder, request->objectId, request->startingIndex, request->requestedCount, base, request->list);
  if (total > 0 && g_catalog) g_catalog.load()->Describe(folder, request->objectId, base, request->list);
  return total;
}

int32_t AnswerBrowseMetadata(BrowseMetadataRequest* request) {
  if (!request || !request->objectId || !request->object) return 0;
  char name[256] = "";
  TextRequest nameRequest{name, sizeof name};
  AnswerComputerName(&nameRequest);
  const std::string folder = ContentFolder();
  const std::string base = request->mediaBaseUrl ? request->mediaBaseUrl : "";
  const int32_t found = DescribeObject(folder, request->objectId, base, name, request->object);
  MediaCatalog* catalog = g_catalog;
  if (found && catalog && request->object->objectClass != kClassContainer) {
    MediaObjectList one;
    const std::string id = request->objectId;
    const size_t slash = id.rfind('/');
    const std::string parent = slash == std::string::npos ? "0" : id.substr(0, slash);
    one.coverId = FolderCover(folder, parent);
    one.objects.push_back(std::move(*request->object));
    catalog->Describe(folder, parent, base, &one, false);
    *request->object = std::move(one.objects.front());
  }
  return found;
}

// 101: the file, or the picture that stands for it (made by the catalog in
// its cache, outside the shared folder, where nothing else is served from).
int32_t AnswerFileOrPicture(FileOpenRequest* request) {
  if (!request || !request->path || request->mode != 0) return 0;
  const std::string folder = ContentFolder();
  if (request->kind == 1) {
    MediaCatalog* catalog = g_catalog;
    const std::string image = catalog ? catalog->ImageFor(folder, request->path, MonotonicMicros() + 2000000) : "";
    if (image.empty()) return 0;
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    request->fd = fd;
    request->contentType = "image/jpeg";
    return 1;
  }
  const int32_t opened = AnswerFileOpen(folder, request);
  if (opened && request->wantSubtitle) {
    const std::vector<std::string> subtitles = SubtitlesOf(folder, request->path);
    if (!subtitles.empty()) request->subtitle = subtitles.front();
  }
  return opened;
}

bool AnswerMachineRequest(int32_t code, void* args, int32_t* result) {
  *result = 0;
  switch (code) {
    case kRequestComputerName:
    case kRequestRendererName: *result = AnswerComputerName(static_cast<TextRequest*>(args)); return true;
    case kRequestContentFolder: *result = AnswerContentFolder(static_cast<TextRequest*>(args)); return true;
    case kRequestDeviceUdn: *result = AnswerDeviceUdn(static_cast<TextRequest*>(args)); return true;
    case kRequestProtocolList: *result = AnswerProtocolList(static_cast<ProtocolListRequest*>(args)); return true;
    case kRequestBrowseChildren: *result = AnswerBrowseChildren(static_cast<BrowseChildrenRequest*>(args)); return true;
    case kRequestBrowseMetadata: *result = AnswerBrowseMetadata(static_cast<BrowseMetadataRequest*>(args)); return true;
    case kRequestFileOpen: *result = AnswerFileOrPicture(static_cast<FileOpenRequest*>(args)); return true;
    case kEventDiagnostic: {
      auto* d = static_cast<Diagnostic*>(args);
      if (d && d->format && d->args) DebugTraceV(d->format, *d->args);
      return true;
    }
    default: return false;
  }
}

}  // namespace tovaly
