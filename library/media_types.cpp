#include "library/media_types.h"

#include <strings.h>

#include <cstring>
#include <map>

#include "core/trace.h"

namespace tovaly {

const std::vector<MimeRow>& MimeTable() {
  static const std::vector<MimeRow> table = {
    // video
    {"3gp", kClassVideo, "video/3gpp"},
    {"a64", kClassVideo, "video/x-a64"},
    {"asf", kClassVideo, "video/x-ms-asf"}, {"asr", kClassVideo, "video/x-ms-asf"},
    {"asx", kClassVideo, "video/x-ms-asf"},
    {"avi", kClassVideo, "video/x-msvideo"},
    {"avs", kClassVideo, "video/avs-video"},
    {"dif", kClassVideo, "video/x-dv"}, {"dv", kClassVideo, "video/x-dv"},
    {"dvd", kClassVideo, "video/mpeg"}, {"mp2", kClassVideo, "video/mpeg"},
    {"mpa", kClassVideo, "video/mpeg"}, {"mpe", kClassVideo, "video/mpeg"},
    {"mpeg", kClassVideo, "video/mpeg"}, {"mpg", kClassVideo, "video/mpeg"},
    {"mpv2", kClassVideo, "video/mpeg"}, {"vcd", kClassVideo, "video/mpeg"},
    {"vob", kClassVideo, "video/mpeg"},
    {"f4v", kClassVideo, "video/mp4"}, {"m4v", kClassVideo, "video/mp4"}, {"mp4", kClassVideo, "video/mp4"},
    {"psp", kClassVideo, "video/mp4"},
    {"flv", kClassVideo, "video/x-flv"},
    {"h261", kClassVideo, "video/x-h261"},
    {"h263", kClassVideo, "video/x-h263"},
    {"ismv", kClassVideo, "application/mp4"},
    {"lsf", kClassVideo, "video/x-la-asf"}, {"lsx", kClassVideo, "video/x-la-asf"},
    {"m1v", kClassVideo, "video/x-mpeg"},
    {"m2t", kClassVideo, "video/x-mpegts"}, {"m2ts", kClassVideo, "video/x-mpegts"},
    {"mts", kClassVideo, "video/x-mpegts"}, {"ts", kClassVideo, "video/x-mpegts"},
    {"m3u8", kClassVideo, "application/vnd.apple.mpegurl"},
    {"mjpg", kClassVideo, "video/x-mjpeg"}, {"mjpeg", kClassVideo, "video/x-mjpeg"},
    {"mkv", kClassVideo, "video/x-matroska"},
    {"mov", kClassVideo, "video/quicktime"}, {"qt", kClassVideo, "video/quicktime"},
    {"movie", kClassVideo, "video/x-sgi-movie"}, {"sgi", kClassVideo, "video/x-sgi-movie"},
    {"nut", kClassVideo, "video/x-nut"},
    {"ogg", kClassVideo, "application/ogg"},
    {"rm", kClassVideo, "video/vnd.rn-realmedia"},
    {"rmvb", kClassVideo, "video/vnd.rn-realvideo"},
    {"webm", kClassVideo, "video/webm"},
    {"wm", kClassVideo, "video/x-ms-wm"},
    {"wmx", kClassVideo, "video/x-ms-wmx"},
    {"wmv", kClassVideo, "video/x-ms-wmv"},
    {"wtv", kClassVideo, "video/wtv"},
    {"wvx", kClassVideo, "video/x-ms-wvx"},
    // audio
    {"aac", kClassAudio, "audio/aac"}, {"adts", kClassAudio, "audio/aac"},
    {"ac3", kClassAudio, "audio/x-ac3"},
    {"adx", kClassAudio, "audio/x-adx"},
    {"aea", kClassAudio, "audio/x-aea"},
    {"afc", kClassAudio, "audio/x-aiff"}, {"aif", kClassAudio, "audio/x-aiff"},
    {"aifc", kClassAudio, "audio/x-aiff"}, {"aiff", kClassAudio, "audio/x-aiff"},
    {"amr", kClassAudio, "audio/amr"},
    {"ape", kClassAudio, "audio/apl"}, {"apl", kClassAudio, "audio/apl"}, {"mac", kClassAudio, "audio/apl"},
    {"au", kClassAudio, "audio/basic"}, {"snd", kClassAudio, "audio/basic"},
    {"caf", kClassAudio, "audio/x-caf"},
    {"dts", kClassAudio, "audio/x-dca"},
    {"eac3", kClassAudio, "audio/x-eac3"},
    {"flac", kClassAudio, "audio/x-flac"},
    {"g722", kClassAudio, "audio/G722"},
    {"gsm", kClassAudio, "audio/x-gsm"},
    {"isma", kClassAudio, "application/mp4"}, {"m4a", kClassAudio, "application/mp4"},
    {"latm", kClassAudio, "audio/MP4A-LATM"}, {"loas", kClassAudio, "audio/MP4A-LATM"},
    {"m2a", kClassAudio, "audio/x-mpeg"},
    {"m3u", kClassAudio, "audio/x-mpegurl"},
    {"mid", kClassAudio, "audio/mid"}, {"rmi", kClassAudio, "audio/mid"},
    {"mka", kClassAudio, "audio/x-matroska"},
    {"mp3", kClassAudio, "audio/mpeg"},
    {"ra", kClassAudio, "audio/x-pn-realaudio"}, {"ram", kClassAudio, "audio/x-pn-realaudio"},
    {"rco", kClassAudio, "audio/g723"}, {"tco", kClassAudio, "audio/g723"},
    {"wav", kClassAudio, "audio/x-wav"},
    {"wax", kClassAudio, "audio/x-ms-wax"},
    {"wma", kClassAudio, "audio/x-ms-wma"},
    // image
    {"bmp", kClassImage, "image/bmp"},
    {"cmx", kClassImage, "image/x-cmx"},
    {"cod", kClassImage, "image/cis-cod"},
    {"dpx", kClassImage, "image/dpx"},
    {"gif", kClassImage, "image/gif"},
    {"ico", kClassImage, "image/x-icon"},
    {"ief", kClassImage, "image/ief"},
    {"j2c", kClassImage, "image/j2c"},
    {"jfif", kClassImage, "image/pipeg"},
    {"jls", kClassImage, "image/jls"},
    {"jp2", kClassImage, "image/jp2"},
    {"jpe", kClassImage, "image/jpeg"}, {"jpeg", kClassImage, "image/jpeg"},
    {"jpg", kClassImage, "image/jpeg"}, {"ljpg", kClassImage, "image/jpeg"},
    {"pam", kClassImage, "image/pam"},
    {"pbm", kClassImage, "image/x-portable-bitmap"},
    {"pcx", kClassImage, "image/x-pcx"},
    {"pgm", kClassImage, "image/x-portable-graymap"},
    {"png", kClassImage, "image/png"},
    {"pnm", kClassImage, "image/x-portable-anymap"},
    {"ppm", kClassImage, "image/x-portable-pixmap"},
    {"ras", kClassImage, "image/x-cmu-raster"},
    {"rgb", kClassImage, "image/x-rgb"},
    {"svg", kClassImage, "image/svg-xml"},
    {"tga", kClassImage, "image/tga"},
    {"tif", kClassImage, "image/tiff"}, {"tiff", kClassImage, "image/tiff"},
    {"xbm", kClassImage, "image/x-xbitmap"},
    {"xpm", kClassImage, "image/x-xpixmap"},
    {"xwd", kClassImage, "image/x-xwindowdump"},
    // text
    {"323", kClassText, "text/h323"},
    {"ass", kClassText, "text/x-ssa"}, {"ssa", kClassText, "text/x-ssa"},
    {"c", kClassText, "text/plain"}, {"cpp", kClassText, "text/plain"}, {"cxx", kClassText, "text/plain"},
    {"h", kClassText, "text/plain"}, {"hpp", kClassText, "text/plain"}, {"hxx", kClassText, "text/plain"},
    {"log", kClassText, "text/plain"}, {"m", kClassText, "text/plain"}, {"txt", kClassText, "text/plain"},
    {"cgi", kClassText, "application/x-httpd-cgi"},
    {"css", kClassText, "text/css"},
    {"etx", kClassText, "text/x-setext"},
    {"htm", kClassText, "text/html"}, {"html", kClassText, "text/html"}, {"stm", kClassText, "text/html"},
    {"rtx", kClassText, "text/richtext"},
    {"sct", kClassText, "text/scriptlet"},
    {"srt", kClassText, "application/x-subrip"},
    {"sub", kClassText, "text/x-microdvd"},
    {"xml", kClassText, "text/xml"},
  };
  return table;
}

namespace {

// Keyed by hash (the listed extensions hash apart); a hit is confirmed on
// the extension itself, since an unlisted extension may share a listed one's
// hash. Built once, read-only afterwards, so worker threads look up without
// a lock.
const std::map<uint32_t, const MimeRow*>& MimeIndex() {
  static const std::map<uint32_t, const MimeRow*> index = [] {
    std::map<uint32_t, const MimeRow*> m;
    for (const MimeRow& row : MimeTable()) m[StringHash(row.extension)] = &row;
    return m;
  }();
  return index;
}

}  // namespace

const char* MimeTypeFor(const char* nameOrPath, ObjectClass* cls) {
  const MimeRow* row = nullptr;
  if (const char* dot = nameOrPath ? std::strrchr(nameOrPath, '.') : nullptr) {
    const auto& index = MimeIndex();
    auto it = index.find(StringHash(dot + 1));
    if (it != index.end() && strcasecmp(it->second->extension, dot + 1) == 0) row = it->second;
  }
  if (cls) *cls = row ? row->objectClass : kClassOther;
  return row ? row->mime : "application/octet-stream";
}

}  // namespace tovaly
