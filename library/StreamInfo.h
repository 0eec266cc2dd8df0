#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "library/ByteSource.h"

namespace kavelin {

// What the MPEG stream of a file tells: its average bit rate and the
// fingerprint, up to 31 non-zero bytes taken from successive frames.
struct StreamInfo {
    std::int32_t BitRate = 0;  // kbit/s, 0 when the file holds no valid stream
    std::string FingerPrint;
};

inline constexpr std::size_t kMaxFingerPrintLength = 31;
// Fingerprints shorter than this do not tell tracks apart, so a file is a
// duplicate only when its fingerprint is at least this long. Over 800 clips of
// different audio (bench/fingerprint_threshold.py), whole fingerprints of up
// to 3 bytes were shared by different clips, and first bytes agreed up to 11.
inline constexpr std::size_t kMinDuplicateFingerPrintLength = 12;
// How far the search for a frame looks past the point where it starts.
inline constexpr std::uint64_t kMaxFrameSearchBytes = 256 * 1024;

// The fields of one MPEG audio frame header whose every field is valid.
struct MpegHeader {
    int version = 0;           // 1 MPEG-1, 2 MPEG-2, 25 MPEG-2.5
    int layer = 0;             // 1 to 3
    std::int32_t bitRate = 0;  // kbit/s
    std::int32_t samplingRate = 0;
    bool padding = false;
    bool mono = false;

    std::int32_t FrameLength() const;
    std::int32_t SamplesPerFrame() const;
    // Frames of one stream share version, layer and sampling rate.
    bool SameStream(const MpegHeader& other) const;
};

// The header of the 4 bytes (big-endian), or nothing when its sync, version,
// layer, bit rate (free format included) or sampling rate is not valid.
std::optional<MpegHeader> ParseMpegHeader(std::uint32_t bytes);

struct FoundFrame {
    std::uint64_t offset = 0;
    MpegHeader header;
};

// The first frame at or after `from`, within kMaxFrameSearchBytes, whose
// header is valid and is followed by valid headers of the same stream where
// the lengths say: two of them, or fewer and then the end of the data or an
// ID3v1 tag. Bytes that only look like a header, as they do in tags, pictures
// or stray data, are searched past.
std::optional<FoundFrame> FindFrameHeader(ByteSource& source, std::uint64_t from);

StreamInfo ReadStreamInfo(ByteSource& source);
StreamInfo ReadStreamInfo(const std::string& path);

}  // namespace kavelin
