#include "library/StreamInfo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kavelin {

namespace {

// kbit/s by bit rate index: MPEG-1 layers 1 to 3, then MPEG-2 and 2.5 layer 1
// and layers 2 and 3. Index 0 (free format) and 15 are not valid here.
constexpr std::int32_t kMpeg1BitRates[3][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
};
constexpr std::int32_t kMpeg2BitRates[2][16] = {
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};

constexpr std::int32_t kSamplingRates[3][3] = {
    {44100, 48000, 32000},  // MPEG-1
    {22050, 24000, 16000},  // MPEG-2
    {11025, 12000, 8000},   // MPEG-2.5
};

constexpr std::size_t kWindowSize = 14;  // header plus the fingerprint byte at offset 13
constexpr std::size_t kSearchChunk = 4096;
constexpr int kMaxStackedTags = 16;
// A found header is believed only when the headers behind it agree.
constexpr int kConfirmingFrames = 2;

std::uint32_t BigEndian32(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

const std::int32_t* BitRateRow(int version, int layer) {
    if (version == 1) {
        return kMpeg1BitRates[layer - 1];
    }
    return kMpeg2BitRates[layer == 1 ? 0 : 1];
}

std::optional<MpegHeader> HeaderAt(ByteSource& source, std::uint64_t offset) {
    unsigned char bytes[4];
    if (source.ReadAt(offset, bytes, sizeof bytes) != sizeof bytes) {
        return std::nullopt;
    }
    return ParseMpegHeader(BigEndian32(bytes));
}

// Whether the frames behind one at `offset` continue its stream: a header of
// the same stream where each length says, or the end of the data, or the
// ID3v1 tag that ends many files.
bool Confirmed(ByteSource& source, std::uint64_t offset, const MpegHeader& header) {
    std::uint64_t next = offset + static_cast<std::uint64_t>(header.FrameLength());
    for (int i = 0; i < kConfirmingFrames; ++i) {
        if (next == source.Size()) {
            return true;
        }
        unsigned char bytes[4];
        if (source.ReadAt(next, bytes, sizeof bytes) != sizeof bytes) {
            return false;
        }
        if (std::memcmp(bytes, "TAG", 3) == 0) {
            return true;
        }
        const std::optional<MpegHeader> following = ParseMpegHeader(BigEndian32(bytes));
        if (!following || !following->SameStream(header)) {
            return false;
        }
        next += static_cast<std::uint64_t>(following->FrameLength());
    }
    return true;
}

std::optional<FoundFrame> SearchFrame(ByteSource& source, std::uint64_t from,
                                      const MpegHeader* stream) {
    const std::uint64_t limit = std::min(source.Size(), from + kMaxFrameSearchBytes);
    unsigned char chunk[kSearchChunk + 3];
    for (std::uint64_t at = from; at < limit; at += kSearchChunk) {
        const std::size_t got = source.ReadAt(at, chunk, sizeof chunk);
        for (std::size_t i = 0; i < kSearchChunk && i + 4 <= got && at + i < limit; ++i) {
            if (chunk[i] != 0xFF || (chunk[i + 1] & 0xE0) != 0xE0) {
                continue;
            }
            const std::optional<MpegHeader> header = ParseMpegHeader(BigEndian32(chunk + i));
            if (header && (stream == nullptr || header->SameStream(*stream)) &&
                Confirmed(source, at + i, *header)) {
                return FoundFrame{at + i, *header};
            }
        }
    }
    return std::nullopt;
}

// Where the audio starts: after the ID3v2 tags at the start of the file (some
// writers put several there, one after another).
std::uint64_t AudioStart(ByteSource& source) {
    std::uint64_t position = 0;
    for (int i = 0; i < kMaxStackedTags; ++i) {
        unsigned char header[10];
        if (source.ReadAt(position, header, sizeof header) != sizeof header ||
            std::memcmp(header, "ID3", 3) != 0 ||
            ((header[6] | header[7] | header[8] | header[9]) & 0x80) != 0) {
            break;
        }
        const std::uint64_t size = (std::uint64_t{header[6]} << 21) |
                                   (std::uint64_t{header[7]} << 14) |
                                   (std::uint64_t{header[8]} << 7) | header[9];
        const bool footer = header[3] == 4 && (header[5] & 0x10) != 0;
        position += 10 + size + (footer ? 10 : 0);
    }
    return position;
}

std::int32_t Kilobits(double bitsPerSecond) {
    return static_cast<std::int32_t>(std::lround(std::round(bitsPerSecond) / 1000.0));
}

// A Xing, Info or VBRI header in the first frame: that frame holds no audio,
// and its counts give the average bit rate (0 when they are missing or not
// believable).
struct VbrHeader {
    bool present = false;
    std::int32_t bitRate = 0;
};

VbrHeader ReadVbrHeader(ByteSource& source, const FoundFrame& first) {
    const MpegHeader& header = first.header;
    if (header.layer != 3) {
        return {};
    }
    const double samplesPerSecond = header.samplingRate;
    double bitsPerSecond = 0;

    const std::uint64_t xingOffset =
        header.version == 1 ? (header.mono ? 21 : 36) : (header.mono ? 13 : 21);
    unsigned char xing[16];
    unsigned char vbri[18];
    if (source.ReadAt(first.offset + xingOffset, xing, sizeof xing) == sizeof xing &&
        (std::memcmp(xing, "Xing", 4) == 0 || std::memcmp(xing, "Info", 4) == 0)) {
        const std::uint32_t flags = BigEndian32(xing + 4);
        if ((flags & 3) != 3) {
            return {true, 0};  // the average needs both the frame and the byte count
        }
        const double frames = BigEndian32(xing + 8);
        const double bytes = BigEndian32(xing + 12);
        // The byte count includes the header's own frame, the frame count does not.
        const double audioBytes = std::max(0.0, bytes - header.FrameLength());
        if (frames > 0) {
            bitsPerSecond = audioBytes * 8 * samplesPerSecond / (frames * header.SamplesPerFrame());
        }
    } else if (source.ReadAt(first.offset + 36, vbri, sizeof vbri) == sizeof vbri &&
               std::memcmp(vbri, "VBRI", 4) == 0) {
        const double bytes = BigEndian32(vbri + 10);
        const double frames = BigEndian32(vbri + 14);
        if (frames > 0) {
            bitsPerSecond =
                std::floor(bytes * 8 * samplesPerSecond / (frames * header.SamplesPerFrame()));
        }
    } else {
        return {};
    }
    // A count that gives a rate outside the table's range is not believed.
    const std::int32_t* row = BitRateRow(header.version, header.layer);
    const std::int32_t rate =
        bitsPerSecond > 0 && bitsPerSecond < 1e7 ? Kilobits(bitsPerSecond) : 0;
    return {true, rate >= row[1] && rate <= row[14] ? rate : 0};
}

}  // namespace

std::int32_t MpegHeader::FrameLength() const {
    const std::int32_t bitsPerSecond = bitRate * 1000;
    const std::int32_t pad = padding ? 1 : 0;
    if (layer == 1) {
        return (12 * bitsPerSecond / samplingRate + pad) * 4;
    }
    return SamplesPerFrame() / 8 * bitsPerSecond / samplingRate + pad;
}

std::int32_t MpegHeader::SamplesPerFrame() const {
    if (layer == 1) {
        return 384;
    }
    return layer == 3 && version != 1 ? 576 : 1152;
}

bool MpegHeader::SameStream(const MpegHeader& other) const {
    return version == other.version && layer == other.layer && samplingRate == other.samplingRate;
}

std::optional<MpegHeader> ParseMpegHeader(std::uint32_t bytes) {
    if ((bytes & 0xFFE00000u) != 0xFFE00000u) {
        return std::nullopt;
    }
    const unsigned versionBits = (bytes >> 19) & 3;
    const unsigned layerBits = (bytes >> 17) & 3;
    const unsigned bitRateIndex = (bytes >> 12) & 15;
    const unsigned samplingIndex = (bytes >> 10) & 3;
    if (versionBits == 1 || layerBits == 0 || bitRateIndex == 0 || bitRateIndex == 15 ||
        samplingIndex == 3) {
        return std::nullopt;
    }
    MpegHeader header;
    header.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    header.layer = 4 - static_cast<int>(layerBits);
    header.bitRate = BitRateRow(header.version, header.layer)[bitRateIndex];
    header.samplingRate = kSamplingRates[header.version == 1   ? 0
                                         : header.version == 2 ? 1
                                                               : 2][samplingIndex];
    header.padding = ((bytes >> 9) & 1) != 0;
    header.mono = ((bytes >> 6) & 3) == 3;
    return header;
}

std::optional<FoundFrame> FindFrameHeader(ByteSource& source, std::uint64_t from) {
    return SearchFrame(source, from, nullptr);
}

StreamInfo ReadStreamInfo(ByteSource& source) {
    StreamInfo result;
    const std::optional<FoundFrame> first = FindFrameHeader(source, AudioStart(source));
    if (!first) {
        return result;
    }
    const VbrHeader vbrHeader = ReadVbrHeader(source, *first);

    // The fingerprint walk: frame after frame, where each length says; where
    // the stream breaks, the search finds where it goes on.
    std::uint64_t position = first->offset;
    MpegHeader header = first->header;
    std::int64_t bitRateSum = 0;
    std::int64_t frames = 0;
    for (;;) {
        unsigned char window[kWindowSize];
        if (source.ReadAt(position, window, sizeof window) != sizeof window) {
            break;
        }
        const char byte = static_cast<char>(window[13]);
        if (byte != 0 && (result.FingerPrint.empty() || result.FingerPrint.back() != byte)) {
            result.FingerPrint += byte;
        }
        if (!(vbrHeader.present && position == first->offset)) {
            bitRateSum += header.bitRate;
            ++frames;
        }
        if (result.FingerPrint.size() >= kMaxFingerPrintLength) {
            break;
        }
        position += static_cast<std::uint64_t>(header.FrameLength());
        const std::optional<MpegHeader> next = HeaderAt(source, position);
        if (next && next->SameStream(first->header)) {
            header = *next;
            continue;
        }
        const std::optional<FoundFrame> found = SearchFrame(source, position, &first->header);
        if (!found) {
            break;
        }
        position = found->offset;
        header = found->header;
    }
    if (vbrHeader.bitRate != 0) {
        result.BitRate = vbrHeader.bitRate;
    } else if (frames > 0) {
        result.BitRate = static_cast<std::int32_t>((bitRateSum + frames / 2) / frames);
    } else {
        result.BitRate = first->header.bitRate;  // a stream of its VBR header alone
    }
    return result;
}

StreamInfo ReadStreamInfo(const std::string& path) {
    FileSource file;
    if (file.Open(path) != OpenStatus::Opened) {
        return {};
    }
    return ReadStreamInfo(file);
}

}  // namespace kavelin
