#include <gtest/gtest.h>

#include "library/StreamInfo.h"
#include "tests/library/Mp3Fixtures.h"

namespace kavelin {
namespace {

using test::Id3v2Header;
using test::MpegFrame;

constexpr std::uint32_t kMpeg1Layer3At128 = 0xFFFB9000;   // 44100 Hz, 417 bytes
constexpr std::uint32_t kMpeg1Layer3Padded = 0xFFFB9200;  // 418 bytes
constexpr std::uint32_t kMpeg1Layer1At288 = 0xFFFF9000;   // ((288 * 12000) / 44100) * 4 = 312 bytes
constexpr std::uint32_t kMpeg2Layer3Index5 =
    0xFFF35000;  // 22050 Hz, 64 kbit/s by the program's row

StreamInfo ReadMemory(const std::string& bytes) {
    MemorySource source(bytes);
    return ReadStreamInfo(source);
}

std::string Frames(std::uint32_t header, std::size_t size, const std::string& bytes13) {
    std::string stream;
    for (char byte : bytes13) {
        stream += MpegFrame(header, size, static_cast<unsigned char>(byte));
    }
    return stream;
}

TEST(StreamInfo, FingerPrintTakesByte13OfEachFrameSkippingZerosAndRepeats) {
    const StreamInfo info =
        ReadMemory(Frames(kMpeg1Layer3At128, 417, std::string("\x05\x05\0\x07\x07\0\x07\x09", 8)));
    EXPECT_EQ(info.BitRate, 128);
    EXPECT_EQ(info.FingerPrint, "\x05\x07\x09");
}

TEST(StreamInfo, FingerPrintStopsAt31BytesAndShortStreamsGiveFewer) {
    std::string bytes;
    for (int i = 0; i < 40; ++i) {
        bytes += static_cast<char>('A' + i);
    }
    EXPECT_EQ(ReadMemory(Frames(kMpeg1Layer3At128, 417, bytes)).FingerPrint, bytes.substr(0, 31));
    EXPECT_EQ(ReadMemory(Frames(kMpeg1Layer3At128, 417, "abcde")).FingerPrint, "abcde");
}

TEST(StreamInfo, StreamWhoseByte13IsAlwaysZeroHasBitRateButNoFingerPrint) {
    const StreamInfo info = ReadMemory(Frames(kMpeg1Layer3At128, 417, std::string(10, '\0')));
    EXPECT_EQ(info.BitRate, 128);
    EXPECT_EQ(info.FingerPrint, "");
}

TEST(StreamInfo, PaddingBitAndLayer1SizesDecideWhereTheNextFrameIs) {
    std::string padded;
    for (char byte : std::string("pqrs")) {
        padded += MpegFrame(kMpeg1Layer3Padded, 418, static_cast<unsigned char>(byte));
    }
    EXPECT_EQ(ReadMemory(padded).FingerPrint, "pqrs");
    const StreamInfo layer1 = ReadMemory(Frames(kMpeg1Layer1At288, 312, "wxyz"));
    EXPECT_EQ(layer1.BitRate, 288);
    EXPECT_EQ(layer1.FingerPrint, "wxyz");
}

TEST(StreamInfo, Mpeg2Layer3UsesTheProgramsRowAndThe144000Constant) {
    // By the program's row, index 5 is 64 kbit/s and a frame is 64 * 144000 / 22050 = 417
    // bytes; frames laid out at that distance are all read.
    const StreamInfo wide = ReadMemory(Frames(kMpeg2Layer3Index5, 417, "ABCDEF"));
    EXPECT_EQ(wide.BitRate, 64);
    EXPECT_EQ(wide.FingerPrint, "ABCDEF");
    // Frames 208 bytes apart (the 72000 constant) are read only where a jump of 417 bytes
    // followed by the search lands: frames 0, 3, 6 and 9.
    const StreamInfo narrow = ReadMemory(Frames(kMpeg2Layer3Index5, 208, "ABCDEFGHIJKL"));
    EXPECT_EQ(narrow.FingerPrint, "ADGJ");
}

TEST(StreamInfo, SearchGivesUpAfter20000FailedAttempts) {
    const std::string frames = Frames(kMpeg1Layer3At128, 417, "xyz");
    const StreamInfo reached = ReadMemory(std::string(20000, '\0') + frames);
    EXPECT_EQ(reached.BitRate, 128);
    EXPECT_EQ(reached.FingerPrint, "xyz");
    const StreamInfo missed = ReadMemory(std::string(20001, '\0') + frames);
    EXPECT_EQ(missed.BitRate, 0);
    EXPECT_EQ(missed.FingerPrint, "");
}

TEST(StreamInfo, Id3v2TagIsSkippedWithItsSizeBytesTakenWhole) {
    const std::string frames = Frames(kMpeg1Layer3At128, 417, "abc");
    // A frame-like pattern inside the tag must not be read as a frame.
    std::string body = MpegFrame(kMpeg1Layer3At128, 417, 'Z');
    std::string tagged = Id3v2Header(3, static_cast<std::uint32_t>(body.size())) + body + frames;
    EXPECT_EQ(ReadMemory(tagged).FingerPrint, "abc");

    // Size bytes 00 00 00 8A count as 138, not as the 10 that masking would give.
    std::string odd = Id3v2Header(3, 0);
    odd[9] = static_cast<char>(0x8A);
    odd += std::string(10, '\0') + MpegFrame(kMpeg1Layer3At128, 128, 'Z');
    ASSERT_EQ(odd.size(), 148u);
    EXPECT_EQ(ReadMemory(odd + frames).FingerPrint, "abc");
}

TEST(StreamInfo, FindFrameHeaderLeavesPositionFourBytesPastTheHeader) {
    const std::string bytes = std::string(7, '\x11') + MpegFrame(kMpeg1Layer3At128, 417, 'Q');
    MemorySource source(bytes);
    StreamCursor cursor(source);
    unsigned char window[16];
    ASSERT_TRUE(FindFrameHeader(cursor, window, 0));
    EXPECT_EQ(WindowHeader(window), kMpeg1Layer3At128);
    EXPECT_EQ(window[13], 'Q');
    EXPECT_EQ(cursor.Position(), 11);
    EXPECT_FALSE(FindFrameHeader(cursor, window, 413));
}

TEST(StreamInfo, SyncPatternAtTheVeryEndEndsTheSearch) {
    // Every position of these bytes looks like a header; the last ones have no
    // whole window behind them and must not be found again and again.
    EXPECT_EQ(ReadMemory(std::string(300, '\xFF')).FingerPrint, "");
    EXPECT_EQ(ReadMemory(std::string("\xFF\xFB\x90\x00\x01", 5)).BitRate, 0);
    const std::string frames = Frames(kMpeg1Layer3At128, 417, "abc");
    EXPECT_EQ(ReadMemory(frames + std::string(9, '\xFF')).FingerPrint, "abc");
}

TEST(StreamInfo, MissingFileGivesNothing) {
    const StreamInfo info = ReadStreamInfo(std::string("/nonexistent/kavelin/file.mp3"));
    EXPECT_EQ(info.BitRate, 0);
    EXPECT_EQ(info.FingerPrint, "");
}

}  // namespace
}  // namespace kavelin
