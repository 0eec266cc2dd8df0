#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "library/ByteSource.h"
#include "library/Genres.h"

namespace kavelin {

// The tag texts of one file, UTF-8.
struct TagTexts {
    std::string Title;
    std::string Artist;
    std::string Album;
    std::string Year;
    std::int32_t GenreID = 255;  // 255: no genre
};

// The text frames the program reads, decoded to UTF-8; a frame that is not in
// the tag stays empty (an empty optional), one that is there may hold "".
struct TagFrames {
    std::optional<std::string> title;          // TIT2
    std::optional<std::string> leadArtist;     // TPE1
    std::optional<std::string> band;           // TPE2
    std::optional<std::string> conductor;      // TPE3
    std::optional<std::string> composer;       // TCOM
    std::optional<std::string> album;          // TALB
    std::optional<std::string> year;           // TYER, or after reading the year chosen
    std::optional<std::string> contentType;    // TCON
    std::optional<std::string> recordingTime;  // TDRC
    std::optional<std::string> releaseTime;    // TDRL, the year when no other frame gives one

    bool HasArtist() const { return leadArtist || band || conductor || composer; }
    bool Empty() const { return !title && !HasArtist() && !album && !year && !contentType; }
};

// Reads the ID3v2 tag (2.2, 2.3 or 2.4) at the start of the source with strict
// bounds. Compressed frames are inflated, encrypted ones left out; text is
// decoded by the encoding byte of its frame. The year comes from the frame of
// the tag's own version (TDRC in 2.4, TYER before) when both are there.
TagFrames ReadId3v2Frames(ByteSource& source);

// Fills the frames that `frames` lacks from an ID3v1 or v1.1 tag at the end of
// the source: the ID3v2 tag takes precedence field by field.
void MergeId3v1(ByteSource& source, TagFrames& frames);

// An ID3v2.3 tag holding the frames as plain text frames: no compression, no
// encryption, no unsynchronisation, sizes that fit. The text is UTF-8 under the
// Latin-1 encoding byte, which the tag library hands back byte for byte.
std::string BuildNormalisedTag(const TagFrames& frames);

// Both tags of the source, read through the tag library from the normalised tag.
TagTexts ReadTags(ByteSource& source);

}  // namespace kavelin
