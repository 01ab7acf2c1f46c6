#include "device/host_answers.h"

#include <unistd.h>

#include <cstring>

#include "core/app_config.h"
#include "core/uuid.h"
#include "device/media_library.h"

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

std::string ContentFolder() {
  auto& config = util::AppConfig::Instance();
  std::string folder = config.Get("content_path");
  if (folder.empty()) {
    folder = util::AppConfig::ExecutableDir();
    config.Set("content_path", folder);
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

int32_t AnswerBrowseChildren(BrowseChildrenRequest* request) {
  if (!request || !request->objectId || !request->list) return 0;
  return ListFolder(ContentFolder(), request->objectId, request->startingIndex, request->requestedCount,
                    request->mediaBaseUrl ? request->mediaBaseUrl : "", request->list);
}

int32_t AnswerBrowseMetadata(BrowseMetadataRequest* request) {
  if (!request || !request->objectId || !request->object) return 0;
  char name[256] = "";
  TextRequest nameRequest{name, sizeof name};
  AnswerComputerName(&nameRequest);
  return DescribeObject(ContentFolder(), request->objectId, request->mediaBaseUrl ? request->mediaBaseUrl : "", name,
                        request->object);
}

}  // namespace tovaly
