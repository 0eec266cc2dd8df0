#pragma once

#include <string>

#include "catalog/TrackInfo.h"
#include "library/ByteSource.h"

namespace kavelin {

// The track record of one file: tag texts, genre number, bit rate and
// fingerprint. Never fails: whatever cannot be read stays empty.
CTrackInfo ReadTrackInfo(const std::string& path);

// A queued file as the scanner finds it: only a regular file that opens
// becomes a track; one that is refused now is left for a later scan.
struct TrackFile {
    OpenStatus status = OpenStatus::NotAFile;
    CTrackInfo track;  // filled when the file opened
};
TrackFile ReadTrackFile(const std::string& path);

// The letters of the upper-cased file name without its directory, in their
// order: "/music/Some Artist - Song_2.mp3" gives "SOMEARTISTSONGMP". Latin
// letters lose their accents ("Édith" gives "EDITH"); letters of other scripts
// stay, upper-cased. Names are read as UTF-8, other bytes as Latin-1.
std::string MakeSearchString(const std::string& path);

// Whether a search string names something: one of only the extension's
// letters ("MP") would make every such file look alike.
bool IsDistinctiveSearchString(const std::string& searchString);

// Artist and title taken from a file name such as "Some_Band_-_Best_Song.mp3",
// for files whose tag names neither, as UTF-8 like all tag text.
void ApplyNameFallback(const std::string& path, CTrackInfo& track);

}  // namespace kavelin
