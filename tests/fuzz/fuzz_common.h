#pragma once
// What the fuzz targets share: the invariant check, and one small folder
// tree, made once per process under $TMPDIR or /tmp and removed at exit, that
// stands for the shared folder. It holds what a hostile client aims at: names
// that need escaping, hidden entries, links out of the folder, to a sibling
// whose name begins like the folder's, back up to it and to itself, a FIFO, a
// file directly in the folder (never served) and files beside it.

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tovaly::fuzz {

// An invariant of the code under test: a failure is a finding, so it aborts
// and libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                          \
  do {                                                                            \
    if (!(cond)) {                                                                \
      fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                    \
    }                                                                             \
  } while (0)

inline std::string Bytes(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// The input cut at its first line break: the line, and the rest after it.
inline std::string TakeLine(std::string* rest) {
  const size_t nl = rest->find('\n');
  std::string line = rest->substr(0, nl);
  rest->erase(0, nl == std::string::npos ? rest->size() : nl + 1);
  return line;
}

struct Tree {
  std::string top;     // the temporary folder
  std::string shared;  // top/share: the content folder
  std::string scratch; // top/scratch: for files a target writes
};

namespace detail {
inline int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
inline std::string& TopForCleanup() {
  static std::string top;
  return top;
}
inline void RemoveTree() {
  if (!TopForCleanup().empty()) nftw(TopForCleanup().c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}
[[noreturn]] inline void Fail(const std::string& path) {
  perror(path.c_str());
  abort();
}
inline void File(const std::string& path, size_t bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) Fail(path);
  for (size_t i = 0; i < bytes; ++i) fputc('a' + static_cast<int>(i % 26), f);
  fclose(f);
}
inline void Dir(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0) Fail(path);
}
inline void Link(const char* target, const std::string& path) {
  if (symlink(target, path.c_str()) != 0) Fail(path);
}
}  // namespace detail

inline const Tree& FuzzTree() {
  static const Tree tree = [] {
    using namespace detail;
    // $TMPDIR when set: scripts/fuzz.sh points it at a folder it removes, so
    // that a run that ends in a crash leaves nothing behind either.
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/tovaly-fuzz-XXXXXX";
    if (!mkdtemp(&pattern[0])) Fail(pattern);
    Tree t{pattern, pattern + "/share", pattern + "/scratch"};
    TopForCleanup() = t.top;
    atexit(RemoveTree);
    const std::string& s = t.shared;
    Dir(t.scratch);
    Dir(s);
    File(t.top + "/outside.txt", 10);
    Dir(t.top + "/share-evil");  // begins like the shared folder's name
    File(t.top + "/share-evil/secret.mp3", 10);
    File(s + "/top.mp3", 10);  // directly in the shared folder: not published
    Dir(s + "/.hidden");
    File(s + "/.hidden/secret.mp3", 10);
    Dir(s + "/Empty");
    Dir(s + "/Video");
    File(s + "/Video/clip.mp4", 2000);
    File(s + "/Video/pic.jpg", 300);
    Dir(s + "/Music");
    const std::string m = s + "/Music";
    File(m + "/a.mp3", 1000);
    File(m + "/Episode 2.mp3", 1);
    File(m + "/Episode 10.mp3", 2);
    File(m + "/a&b <i>\"q\" 'x'.mp3", 3);
    File(m + "/<script>alert(1)<\\script>.mp4", 4);
    File(m + "/<a href=\"\\\\x\">.jpg", 4);
    File(m + "/100% #1?.flac", 5);
    File(m + "/\xE6\x97\xA5\xE6\x9C\xAC.mp3", 6);  // valid UTF-8
    File(m + "/bad\xFF.mp3", 7);                     // not UTF-8: not published
    File(m + "/ctl\x01.mp3", 8);                      // a control character: not published
    File(m + "/.secret.mp3", 9);
    Dir(m + "/Live");
    File(m + "/Live/empty.ogg", 0);
    Dir(m + "/dir.mp3");
    File(m + "/dir.mp3/inner.txt", 11);
    Link("../../outside.txt", m + "/out.mp3");
    Link("../../share-evil/secret.mp3", m + "/evil.mp3");
    Link("../../share-evil", m + "/evil");
    Link("../.hidden/secret.mp3", m + "/hid.mp3");
    Link("../Video/clip.mp4", m + "/clip.mp4");  // inside: published
    Link("../Video", m + "/videos");             // inside: published
    Link("..", m + "/up");
    Link(".", m + "/self");
    Link("/dev/null", m + "/null.mp3");
    Link("missing.mp3", m + "/dangling.mp3");
    if (mkfifo((m + "/fifo.mp3").c_str(), 0600) != 0) Fail(m + "/fifo.mp3");
    return t;
  }();
  return tree;
}

}  // namespace tovaly::fuzz
