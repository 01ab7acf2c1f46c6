#pragma once
// libavformat over a descriptor (never a path), for video and for the audio
// that TagLib does not describe fully.

#include <string>

#include "core/media_facts.h"
#include "library/extract/dlna_profile.h"

namespace tovaly::extract {

// Fills the stream fields of *facts (duration, bitrate, container, codecs,
// resolution, frame rate, audio format) and *summary; with frameJpeg, also a
// frame about a tenth into the video, scaled. False when libavformat cannot
// read the file.
bool ReadWithAvformat(int fd, const std::string& name, MediaFacts* facts, StreamSummary* summary,
                      std::string* frameJpeg);

// Library messages go nowhere: the helper's stderr is for its own faults.
void QuietLibraries();

}  // namespace tovaly::extract
