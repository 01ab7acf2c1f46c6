// tovaly-meta: reads the tags, streams and pictures of the files the server
// hands it, in a process of its own, so that a crafted file can at worst
// take this process down. Started by the server (MetadataReader) with its
// socket on descriptor 3; not meant to be run by hand.

#include <cstdio>
#include <cstring>

#include "library/extract/helper.h"

int main(int argc, char** argv) {
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "--version") == 0)) {
    printf("tovaly-meta: the metadata helper of tovaly, started by the server itself\n");
    return 0;
  }
  tovaly::extract::PrepareHelperProcess(tovaly::extract::kHelperChannelFd);
  return tovaly::extract::ServeMetaRequests(tovaly::extract::kHelperChannelFd);
}
