#include "library/StreamInfo.h"

#include <cstring>
#include <utility>

namespace kavelin {

namespace {

constexpr std::uint32_t kFrameSync = 0xFFE00000u;

// kbit/s by bit rate index; [0] MPEG-1, [1] MPEG-2 and the others, then by layer 1..3.
// The MPEG-2 Layer 3 row is the program's own and enters every fingerprint:
// changing it would change the fingerprints of catalogs already built.
constexpr std::int32_t kBitRates[2][3][16] = {
    {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, -1},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, -1},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, -1},
    },
    {
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, -1},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1},
        {0, 8, 16, 24, 32, 64, 80, 56, 64, 128, 160, 112, 128, 256, 320, -1},
    },
};

// Hz by version code (1 MPEG-2.5, 2 MPEG-2, 3 MPEG-1) and sampling rate index 0..2.
constexpr std::int32_t kSamplingRates[4][3] = {
    {0, 0, 0},
    {11025, 12000, 8000},
    {22050, 24000, 16000},
    {44100, 48000, 32000},
};

constexpr int kVersionCodes[4] = {1, 0, 2, 3};  // by bits 19-20
constexpr int kLayers[4] = {0, 3, 2, 1};        // by bits 17-18

}  // namespace

std::size_t StreamCursor::Read(unsigned char* buffer, std::size_t count) {
    const std::size_t got = m_source.ReadAt(static_cast<std::uint64_t>(m_nPosition), buffer, count);
    m_nPosition += static_cast<std::int64_t>(got);
    return got;
}

void StreamCursor::Move(std::int64_t distance) {
    if (m_nPosition + distance >= 0) {
        m_nPosition += distance;
    }
}

std::uint32_t WindowHeader(const unsigned char (&window)[16]) {
    return static_cast<std::uint32_t>(window[0]) | static_cast<std::uint32_t>(window[1]) << 8 |
           static_cast<std::uint32_t>(window[2]) << 16 |
           static_cast<std::uint32_t>(window[3]) << 24;
}

bool FindFrameHeader(StreamCursor& file, unsigned char (&window)[16], std::int32_t skip) {
    std::memset(window, 0, sizeof window);
    if (skip > 0) {
        file.Move(skip);
    }
    int failedAttempts = 0;
    for (;;) {
        if (file.Read(window, 14) < 14) {
            // The end of the data. A sync in a window that is not whole is not
            // reported: the move back below would put the search before it
            // again, and it would find the same bytes for ever.
            return false;
        }
        std::swap(window[0], window[3]);
        std::swap(window[1], window[2]);
        if ((WindowHeader(window) & kFrameSync) == kFrameSync) {
            break;
        }
        if (++failedAttempts > kMaxFrameSearchAttempts) {
            break;
        }
        file.Move(-13);
    }
    file.Move(-10);
    return (WindowHeader(window) & kFrameSync) == kFrameSync;
}

StreamInfo ReadStreamInfo(ByteSource& source) {
    StreamInfo result;
    StreamCursor file(source);

    unsigned char start[10];
    if (file.Read(start, sizeof start) == sizeof start && std::memcmp(start, "ID3", 3) == 0) {
        // The size bytes are taken whole: a tag that sets their top bits only
        // moves the search further into the file.
        const std::int64_t tagSize =
            ((std::int64_t{start[6]} * 128 + start[7]) * 128 + start[8]) * 128 + start[9];
        file.Move(tagSize);
    } else {
        file.Rewind();
    }

    int versionCode = 0;
    int layer = 0;
    std::int32_t samplingRate = 0;
    std::int32_t skip = 0;
    unsigned char window[16];
    bool found = FindFrameHeader(file, window, 0);
    while (found && result.FingerPrint.size() < kMaxFingerPrintLength) {
        const std::uint32_t header = WindowHeader(window);
        if (result.FingerPrint.empty()) {
            versionCode = kVersionCodes[(header >> 19) & 3];
            layer = kLayers[(header >> 17) & 3];
        }
        if (layer != 0) {
            const std::int32_t bitRate =
                kBitRates[versionCode == 3 ? 0 : 1][layer - 1][(header >> 12) & 15];
            if (bitRate > 0) {
                result.BitRate = bitRate;
            }
            const unsigned samplingIndex = (header >> 10) & 3;
            if (samplingIndex != 3 && versionCode != 0) {
                samplingRate = kSamplingRates[versionCode][samplingIndex];
            }
            if (samplingRate != 0) {
                const char byte = static_cast<char>(window[13]);
                if (byte != 0 &&
                    (result.FingerPrint.empty() || result.FingerPrint.back() != byte)) {
                    result.FingerPrint += byte;
                }
                const std::int32_t padding = (header >> 9) & 1;
                const std::int32_t frameSize =
                    layer == 1 ? ((bitRate * 12000) / samplingRate + padding) * 4
                               : (bitRate * 144000) / samplingRate + padding;
                skip = frameSize - 4;  // the search leaves the position 4 bytes past the header
            }
        }
        found = FindFrameHeader(file, window, skip);
    }
    return result;
}

StreamInfo ReadStreamInfo(const std::string& path) {
    FileSource file;
    if (!file.Open(path)) {
        return {};
    }
    return ReadStreamInfo(file);
}

}  // namespace kavelin
