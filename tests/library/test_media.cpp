#include "test_media.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tovaly::testing {
namespace {

bool Run(const std::string& command) {
  const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  if (rc != 0) fprintf(stderr, "test media: failed (%d): %s\n", rc, command.c_str());
  return rc == 0;
}

std::string& TopForCleanup() {
  static std::string top;
  return top;
}

void RemoveAll() {
  if (!TopForCleanup().empty()) std::system(("rm -rf '" + TopForCleanup() + "'").c_str());
}

TestMedia Make() {
  TestMedia m;
  if (std::system("command -v ffmpeg >/dev/null && command -v exiftool >/dev/null") != 0) return m;
  char tmpl[] = "/tmp/tovaly-meta-media-XXXXXX";
  if (!mkdtemp(tmpl)) return m;
  m.dir = tmpl;
  TopForCleanup() = m.dir;
  atexit(RemoveAll);
  const std::string d = m.dir + "/m/";
  mkdir(d.c_str(), 0700);
  const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
  const std::string sine = " -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 ";
  const std::string tags = std::string(" -metadata title='") + kTitle + "' -metadata artist='" + kArtist +
                           "' -metadata album='" + kAlbum + "' -metadata genre='" + kGenre +
                           "' -metadata track=7 -metadata date=2019 ";
  m.cover = m.dir + "/cover.jpg";
  m.mp3 = d + "tagged.mp3";
  m.mp3Mono22 = d + "mono22.mp3";
  m.flac = d + "song.flac";
  m.m4a = d + "song.m4a";
  m.ogg = d + "song.ogg";
  m.wav16 = d + "pcm16.wav";
  m.wav24 = d + "pcm24.wav";
  m.mp4Main = d + "main.mp4";
  m.mp4High = d + "high.mp4";
  m.mp4Cif = d + "cif.mp4";
  m.mp4High444 = d + "high444.mp4";
  m.mov = d + "clip.mov";
  m.mkv = d + "clip.mkv";
  m.photo = d + "photo.jpg";
  m.png = d + "picture.png";
  const std::string av = " -f lavfi -i testsrc=size=%s:rate=%s:duration=2 -f lavfi -i sine=duration=2 ";
  auto video = [&](const char* size, const char* rate) {
    char buf[256];
    snprintf(buf, sizeof buf, av.c_str(), size, rate);
    return std::string(buf);
  };
  m.ok =
      Run(ff + "-f lavfi -i color=c=red:s=150x200 -f lavfi -i color=c=blue:s=150x200 -filter_complex hstack "
               "-frames:v 1 -pix_fmt yuvj420p " + m.cover) &&
      Run(ff + sine + "-i " + m.cover + " -map 0:a -map 1:v -c:a libmp3lame -b:a 128k -ac 2 -c:v copy "
               "-disposition:v attached_pic -id3v2_version 3" + tags + m.mp3) &&
      Run(ff + "-f lavfi -i sine=sample_rate=22050:duration=2 -c:a libmp3lame -b:a 64k -ac 1 -write_xing 0 " +
          m.mp3Mono22) &&
      Run(ff + "-f lavfi -i sine=sample_rate=48000:duration=3 -i " + m.cover +
          " -map 0:a -map 1:v -c:a flac -sample_fmt s16 -ac 2 -c:v copy -disposition:v attached_pic" + tags + m.flac) &&
      Run(ff + sine + "-i " + m.cover + " -map 0:a -map 1:v -c:a aac -b:a 128k -ac 2 -c:v copy "
               "-disposition:v attached_pic" + tags + m.m4a) &&
      Run(ff + sine + "-c:a libvorbis -ac 2" + tags + m.ogg) &&
      Run(ff + "-f lavfi -i sine=sample_rate=44100:duration=2 -ac 2 -c:a pcm_s16le " + m.wav16) &&
      Run(ff + "-f lavfi -i sine=sample_rate=44100:duration=2 -ac 2 -c:a pcm_s24le " + m.wav24) &&
      Run(ff + video("320x240", "25") + "-c:v libx264 -profile:v main -level 3.0 -pix_fmt yuv420p -c:a aac "
               "-b:a 96k -shortest " + m.mp4Main) &&
      Run(ff + video("640x360", "25") + "-c:v libx264 -profile:v high -level 4.0 -pix_fmt yuv420p -c:a aac "
               "-b:a 96k -shortest " + m.mp4High) &&
      Run(ff + video("176x144", "15") + "-c:v libx264 -profile:v baseline -level 1.1 -b:v 150k -pix_fmt yuv420p "
               "-c:a aac -b:a 48k -ac 1 -shortest " + m.mp4Cif) &&
      Run(ff + video("320x240", "25") + "-c:v libx264 -pix_fmt yuv444p -c:a aac -b:a 96k -shortest " +
          m.mp4High444) &&
      Run(ff + video("320x240", "25") + "-c:v libx264 -profile:v main -pix_fmt yuv420p -c:a aac -shortest " + m.mov) &&
      Run(ff + video("320x240", "25") + "-c:v libx264 -pix_fmt yuv420p -c:a libvorbis -shortest " + m.mkv) &&
      Run(ff + "-f lavfi -i color=c=red:s=320x80 -f lavfi -i color=c=blue:s=320x80 -filter_complex vstack "
               "-frames:v 1 -pix_fmt yuvj420p " + m.photo) &&
      Run("exiftool -q -overwrite_original -Orientation#=6 '-DateTimeOriginal=2021:06:15 10:20:30' " + m.photo) &&
      Run(ff + "-f lavfi -i testsrc=size=200x100 -frames:v 1 " + m.png);
  return m;
}

}  // namespace

const TestMedia& Media() {
  static const TestMedia media = Make();
  return media;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace tovaly::testing
