#include <gtest/gtest.h>

#include <vector>

#include "library/StreamInfo.h"
#include "tests/library/Mp3Fixtures.h"

namespace kavelin {
namespace {

using test::Id3v2Header;
using test::MpegFrame;

constexpr std::uint32_t kMpeg1Layer3At128 = 0xFFFB9000;   // 44100 Hz, 417 bytes
constexpr std::uint32_t kMpeg1Layer3Padded = 0xFFFB9200;  // 418 bytes
constexpr std::uint32_t kMpeg1Layer3At160 = 0xFFFBA000;   // 160 * 144000 / 44100 = 522 bytes
constexpr std::uint32_t kMpeg1Layer3At320 = 0xFFFBE000;   // 1044 bytes
constexpr std::uint32_t kMpeg1Layer1At288 = 0xFFFF9000;   // ((288 * 12000) / 44100) * 4 = 312 bytes
// MPEG-2 layer 3, 22050 Hz, index 5: 40 kbit/s, 40 * 72000 / 22050 = 130 bytes.
constexpr std::uint32_t kMpeg2Layer3At40 = 0xFFF35000;

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

TEST(StreamInfo, Mpeg2Layer3FramesAreHalfAsLong) {
    const StreamInfo info = ReadMemory(Frames(kMpeg2Layer3At40, 130, "ABCDEF"));
    EXPECT_EQ(info.BitRate, 40);
    EXPECT_EQ(info.FingerPrint, "ABCDEF");
}

TEST(StreamInfo, HeadersAreBelievedOnlyWhereTheNextFrameFollows) {
    const std::string frames = Frames(kMpeg1Layer3At128, 417, "xyz");
    // Stray bytes before the audio that read as a layer 1 header at 288 kbit/s,
    // and a header with a reserved sampling rate.
    const std::string stray = std::string("\x11\xFF\xFF\x90\x00\x22\xFF\xFB\x9C\x00", 10);
    const StreamInfo info = ReadMemory(stray + std::string(300, '\x33') + frames);
    EXPECT_EQ(info.BitRate, 128);
    EXPECT_EQ(info.FingerPrint, "xyz");

    // A valid header whose successor is missing, inside data that is no MPEG stream.
    std::string noise(64 * 1024, '\0');
    std::uint32_t state = 12345;
    for (char& byte : noise) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    const std::string png = "\x89PNG\r\n\x1A\n" + MpegFrame(kMpeg1Layer3At128, 417, 'Q') + noise;
    EXPECT_EQ(ReadMemory(png).BitRate, 0);
    EXPECT_EQ(ReadMemory(png).FingerPrint, "");
    EXPECT_EQ(ReadMemory(noise).BitRate, 0);

    // A frame is found however far into the search window it starts, not beyond.
    const StreamInfo far = ReadMemory(std::string(kMaxFrameSearchBytes - 1, '\0') + frames);
    EXPECT_EQ(far.FingerPrint, "xyz");
    EXPECT_EQ(ReadMemory(std::string(kMaxFrameSearchBytes, '\0') + frames).BitRate, 0);

    // A break in the stream is searched past, to frames of the same stream.
    const std::string stream = Frames(kMpeg1Layer3At128, 417, "abc");
    const StreamInfo broken =
        ReadMemory(stream + std::string(50, '\x44') + Frames(kMpeg1Layer3At128, 417, "de"));
    EXPECT_EQ(broken.FingerPrint, "abcde");
    // Two frames and then no third where the second's length says: not believed.
    EXPECT_EQ(ReadMemory(stream.substr(0, 834) + std::string(50, '\x44') + noise).BitRate, 0);
}

// A first frame that holds a VBR header at `offset`, followed by frames of
// `bitRates` (each 128, 160 or 320).
std::string VbrStream(std::size_t offset, const std::string& header,
                      const std::vector<int>& bitRates) {
    std::string first = MpegFrame(kMpeg1Layer3At128, 417, 0);
    first.replace(offset, header.size(), header);
    std::string stream = first;
    char byte = 'a';
    for (int rate : bitRates) {
        stream += rate == 128   ? MpegFrame(kMpeg1Layer3At128, 417, byte)
                  : rate == 160 ? MpegFrame(kMpeg1Layer3At160, 522, byte)
                                : MpegFrame(kMpeg1Layer3At320, 1044, byte);
        ++byte;
    }
    return stream;
}

TEST(StreamInfo, VariableBitRateIsTheAverage) {
    const std::vector<int> rates = {128, 160, 320};
    // Xing: flags 3 (frames and bytes), 1000 frames, 627356 bytes with the header's own
    // 417-byte frame: (627356 - 417) * 8 * 44100 / (1000 * 1152) = 192000.07 bit/s.
    const std::string xing("Xing\0\0\0\x03\0\0\x03\xE8\0\x09\x92\x9C", 16);
    const StreamInfo fromXing = ReadMemory(VbrStream(36, xing, rates));
    EXPECT_EQ(fromXing.BitRate, 192);
    EXPECT_EQ(fromXing.FingerPrint, "abc");
    std::string info = xing;
    info.replace(0, 4, "Info");
    EXPECT_EQ(ReadMemory(VbrStream(36, info, rates)).BitRate, 192);

    // VBRI: version 1, delay, quality, 261225 bytes, 500 frames:
    // 261225 * 8 * 44100 / (500 * 1152) = 160000.8 bit/s.
    const std::string vbri("VBRI\0\x01\0\0\0\x4B\0\x03\xFC\x69\0\0\x01\xF4", 18);
    EXPECT_EQ(ReadMemory(VbrStream(36, vbri, rates)).BitRate, 160);

    // Without either, the frames walked: (128 + 160 + 320) / 3 = 202.7; the
    // header frame of a Xing without counts holds no audio and does not count.
    EXPECT_EQ(ReadMemory(VbrStream(36, "", rates).substr(417)).BitRate, 203);
    const std::string countless("Xing\0\0\0\0", 8);
    EXPECT_EQ(ReadMemory(VbrStream(36, countless, rates)).BitRate, 203);
}

TEST(StreamInfo, StackedId3v2TagsAreSkippedWithSyncSafeSizes) {
    const std::string frames = Frames(kMpeg1Layer3At128, 417, "abc");
    // Frames inside the tags, that the search would otherwise believe.
    const std::string body = Frames(kMpeg1Layer3At128, 417, "ZY");
    const std::string tag = Id3v2Header(3, static_cast<std::uint32_t>(body.size())) + body;
    EXPECT_EQ(ReadMemory(tag + tag + frames).FingerPrint, "abc");
    // A version 4 tag with a footer: ten more bytes after the frames.
    const std::string footed = Id3v2Header(4, static_cast<std::uint32_t>(body.size()), 0x10) +
                               body + "3DI\x04" + std::string(6, '\0');
    EXPECT_EQ(ReadMemory(footed + frames).FingerPrint, "abc");
}

TEST(StreamInfo, SyncPatternAtTheVeryEndEndsTheSearch) {
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
