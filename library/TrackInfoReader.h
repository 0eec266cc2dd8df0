#pragma once

#include <string>

#include "catalog/TrackInfo.h"

namespace kavelin {

// The track record of one file: tag texts, genre number, bit rate and
// fingerprint. Never fails: whatever cannot be read stays empty.
CTrackInfo ReadTrackInfo(const std::string& path);

// The letters A to Z of the upper-cased file name without its directory, in
// their order: "/music/Some Artist - Song_2.mp3" gives "SOMEARTISTSONGMP".
std::string MakeSearchString(const std::string& path);

// Artist and title taken from a file name such as "Some_Band_-_Best_Song.mp3",
// for files whose tag names neither.
void ApplyNameFallback(const std::string& path, CTrackInfo& track);

}  // namespace kavelin
