// What reading metadata costs through the helper, per file and kind, and
// what a cached answer costs: run by bench/metadata_bench.sh on a release
// build. Prints one table; figures move between runs, compare within one.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/clock.h"
#include "library/metadata.h"

using namespace tovaly;

namespace {

bool Run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::vector<MetadataStore::Job> Copies(const std::string& share, const std::string& from, const std::string& ext,
                                       int n) {
  std::vector<MetadataStore::Job> jobs;
  for (int i = 0; i < n; ++i) {
    const std::string rel = "m/" + ext + std::to_string(i) + "." + ext;
    if (!Run("cp '" + from + "' '" + share + "/" + rel + "'")) exit(1);
    struct stat st{};
    stat((share + "/" + rel).c_str(), &st);
    MetadataStore::Job job;
    job.key = KeyOfStat(st);
    job.contentFolder = share;
    job.relativePath = rel;
    jobs.push_back(job);
  }
  return jobs;
}

MetadataOptions Options(const std::string& cache, const std::string& helper, int helpers) {
  MetadataOptions o;
  o.cacheDir = cache;
  o.helperPath = helper;
  o.helpers = helpers;
  o.timeLimitMicros = 10'000'000;
  o.log = [](const std::string&) {};
  return o;
}

// Milliseconds per file to read facts of all jobs on `helpers` helpers.
double FactsCost(const std::string& cache, const std::string& helper, int helpers,
                 const std::vector<MetadataStore::Job>& jobs) {
  Run("rm -rf '" + cache + "'");
  MetadataStore store(Options(cache, helper, helpers));
  std::vector<ContentKey> keys;
  for (const auto& j : jobs) keys.push_back(j.key);
  // Each helper starts with its first file: as many warm-up files as helpers
  // keep their start out of the figure (they may not spread evenly: then a
  // start remains in it, as it would in a real first Browse).
  const size_t warm = static_cast<size_t>(helpers) * 4;
  store.Request(std::vector<MetadataStore::Job>(jobs.begin(), jobs.begin() + warm), MetadataStore::kHigh);
  store.WaitFor(std::vector<ContentKey>(keys.begin(), keys.begin() + warm), MonotonicMicros() + 60'000'000);
  const uint64_t t0 = MonotonicMicros();
  store.Request(std::vector<MetadataStore::Job>(jobs.begin() + warm, jobs.end()), MetadataStore::kHigh);
  store.WaitFor(std::vector<ContentKey>(keys.begin() + warm, keys.end()), MonotonicMicros() + 600'000'000);
  return (MonotonicMicros() - t0) / 1000.0 / static_cast<double>(jobs.size() - warm);
}

double ThumbnailCost(const std::string& cache, const std::string& helper, const std::vector<MetadataStore::Job>& jobs,
                     int n) {
  Run("rm -rf '" + cache + "'");
  MetadataStore store(Options(cache, helper, 1));
  store.ThumbnailPath(jobs[0], MonotonicMicros() + 60'000'000);  // warm-up
  const uint64_t t0 = MonotonicMicros();
  int made = 0;
  for (int i = 1; i <= n; ++i) made += !store.ThumbnailPath(jobs[i], MonotonicMicros() + 60'000'000).empty();
  if (made != n) fprintf(stderr, "only %d of %d thumbnails made\n", made, n);
  return (MonotonicMicros() - t0) / 1000.0 / n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: metadata_bench HELPER [FILES]\n");
    return 2;
  }
  const std::string helper = argv[1];
  const int n = argc > 2 ? atoi(argv[2]) : 200;
  char tmpl[] = "/tmp/tovaly-meta-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string top = tmpl, share = top + "/share", cache = top + "/cache";
  mkdir(share.c_str(), 0700);
  mkdir((share + "/m").c_str(), 0700);
  const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
  if (!Run(ff + "-f lavfi -i testsrc=size=500x500 -frames:v 1 -pix_fmt yuvj420p " + top + "/cover.jpg") ||
      !Run(ff + "-f lavfi -i sine=duration=180 -i " + top + "/cover.jpg -map 0:a -map 1:v -c:a libmp3lame -b:a 192k "
                "-c:v copy -disposition:v attached_pic -id3v2_version 3 -metadata title=T -metadata artist=A "
                "-metadata album=B -metadata track=1 " + top + "/song.mp3") ||
      !Run(ff + "-f lavfi -i testsrc=size=1280x720:rate=25:duration=60 -f lavfi -i sine=duration=60 -c:v libx264 "
                "-preset ultrafast -c:a aac -shortest " + top + "/clip.mp4") ||
      !Run(ff + "-f lavfi -i testsrc=size=4000x3000 -frames:v 1 -pix_fmt yuvj420p -q:v 3 " + top + "/photo.jpg") ||
      !Run("exiftool -q -overwrite_original -Orientation#=6 '-DateTimeOriginal=2021:06:15 10:20:30' " + top +
           "/photo.jpg")) {
    fprintf(stderr, "metadata_bench: ffmpeg and exiftool are needed\n");
    return 1;
  }
  printf("files per kind: %d; MP3 3 min 192 kbit/s with a 500x500 cover, MP4 H.264 720p 60 s, JPEG 12 MP\n\n", n);
  printf("| through the helper (ms per file) | facts, 1 helper | facts, 2 helpers | thumbnail, 1 helper |\n");
  printf("|---|---:|---:|---:|\n");
  const struct { const char* label; const char* ext; std::string file; } kinds[] = {
      {"MP3", "mp3", top + "/song.mp3"}, {"MP4", "mp4", top + "/clip.mp4"}, {"JPEG", "jpg", top + "/photo.jpg"}};
  std::vector<MetadataStore::Job> all;
  for (const auto& k : kinds) {
    const auto jobs = Copies(share, k.file, k.ext, n);
    const double one = FactsCost(cache, helper, 1, jobs);
    const double two = FactsCost(cache, helper, 2, jobs);
    const double thumb = ThumbnailCost(cache, helper, jobs, n < 21 ? n - 1 : 20);
    printf("| %s | %.2f | %.2f | %.1f |\n", k.label, one, two, thumb);
    all.insert(all.end(), jobs.begin(), jobs.end());
  }

  // Cache hits: every file known; memory first, then a store just started (disk only).
  Run("rm -rf '" + cache + "'");
  {
    MetadataStore store(Options(cache, helper, 2));
    std::vector<ContentKey> keys;
    for (const auto& j : all) keys.push_back(j.key);
    store.Request(all, MetadataStore::kHigh);
    store.WaitFor(keys, MonotonicMicros() + 600'000'000);
  }
  MetadataStore cold(Options(cache, "", 1));
  uint64_t t0 = MonotonicMicros();
  size_t hits = 0;
  for (const auto& j : all) hits += cold.Cached(j.key).has_value();
  const double disk = (MonotonicMicros() - t0) * 1000.0 / all.size();
  t0 = MonotonicMicros();
  const int rounds = 20;
  for (int r = 0; r < rounds; ++r) {
    for (const auto& j : all) hits += cold.Cached(j.key).has_value();
  }
  const double memory = (MonotonicMicros() - t0) * 1000.0 / (all.size() * rounds);
  printf("\n| cached facts (ns per lookup) | from SQLite | from memory |\n|---|---:|---:|\n| %zu files | %.0f | %.0f |\n",
         all.size(), disk, memory);
  if (hits != all.size() * (rounds + 1)) fprintf(stderr, "metadata_bench: %zu hits of %zu\n", hits, all.size() * (rounds + 1));
  Run("rm -rf '" + top + "'");
  return 0;
}
