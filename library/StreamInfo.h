#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "library/ByteSource.h"

namespace kavelin {

// What the MPEG stream of a file tells: the bit rate of its frames and the
// fingerprint, up to 31 non-zero bytes taken from successive frames.
struct StreamInfo {
    std::int32_t BitRate = 0;  // kbit/s, 0 when no frame gives one
    std::string FingerPrint;
};

inline constexpr std::size_t kMaxFingerPrintLength = 31;
inline constexpr int kMaxFrameSearchAttempts = 20000;

// A read position over a source that moves like a file pointer: reads advance
// it, moves may go past the end, and a move before the start fails and leaves
// the position where it was.
class StreamCursor {
public:
    explicit StreamCursor(ByteSource& source) : m_source(source) {}
    std::size_t Read(unsigned char* buffer, std::size_t count);
    void Move(std::int64_t distance);
    void Rewind() { m_nPosition = 0; }
    std::int64_t Position() const { return m_nPosition; }

private:
    ByteSource& m_source;
    std::int64_t m_nPosition = 0;
};

// Finds the next position whose first 11 bits are set (the frame sync) and
// that has 14 bytes to read, moving one byte at a time for at most
// kMaxFrameSearchAttempts failed attempts. On success the window holds the
// header as a little-endian value in its first 4 bytes followed by the
// frame's next 10 bytes, and the position is 4 bytes past the header.
bool FindFrameHeader(StreamCursor& file, unsigned char (&window)[16], std::int32_t skip);

// The frame header as the window holds it.
std::uint32_t WindowHeader(const unsigned char (&window)[16]);

StreamInfo ReadStreamInfo(ByteSource& source);
StreamInfo ReadStreamInfo(const std::string& path);

}  // namespace kavelin
