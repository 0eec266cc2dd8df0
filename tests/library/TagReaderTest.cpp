#include <gtest/gtest.h>

#include "library/TagReader.h"
#include "library/TextDecoding.h"
#include "tests/library/Mp3Fixtures.h"

namespace kavelin {
namespace {

using test::Id3v2Header;

std::string BigEndian32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    return bytes;
}

std::string SyncSafe32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 21; shift >= 0; shift -= 7) {
        bytes += static_cast<char>((value >> shift) & 0x7F);
    }
    return bytes;
}

// A frame of an ID3v2.3 (plain size) or ID3v2.4 (syncsafe size) tag.
std::string Frame(int major, const std::string& id, const std::string& body,
                  unsigned char formatFlags = 0, std::uint32_t declaredSize = 0) {
    const auto size = declaredSize != 0 ? declaredSize : static_cast<std::uint32_t>(body.size());
    return id + (major == 4 ? SyncSafe32(size) : BigEndian32(size)) + '\0' +
           static_cast<char>(formatFlags) + body;
}

std::string Tag(int major, const std::string& frames, unsigned char flags = 0) {
    return Id3v2Header(major, static_cast<std::uint32_t>(frames.size()), flags) + frames;
}

std::string Id3v1(const std::string& title, const std::string& artist, const std::string& album,
                  const std::string& year, unsigned char genre) {
    auto field = [](std::string text, std::size_t size) {
        text.resize(size, '\0');
        return text;
    };
    return "TAG" + field(title, 30) + field(artist, 30) + field(album, 30) + field(year, 4) +
           field("", 28) + std::string("\0\x07", 2) + static_cast<char>(genre);
}

TagTexts Read(const std::string& bytes) {
    MemorySource source(bytes);
    return ReadTags(source);
}

const std::string kUtf16LeBjork(
    "\x01\xFF\xFE"
    "B\0j\0\xF6\0r\0k\0",
    13);
const std::string kUtf16BeBjork(
    "\x01\xFE\xFF"
    "\0B\0j\0\xF6\0r\0k",
    13);

TEST(TagReader, Version23TextIsDecodedByItsEncodingByte) {
    const TagTexts texts =
        Read(Tag(3, Frame(3, "TIT2", kUtf16LeBjork) + Frame(3, "TPE1", kUtf16BeBjork) +
                        Frame(3, "TALB", std::string("\0Caf\xE9", 5)) +
                        Frame(3, "TYER",
                              std::string("\0"
                                          "1999",
                                          5)) +
                        Frame(3, "TCON", std::string("\0(17)Rock", 9))));
    EXPECT_EQ(texts.Title, "Bj\xC3\xB6rk");
    EXPECT_EQ(texts.Artist, "Bj\xC3\xB6rk");
    EXPECT_EQ(texts.Album, "Caf\xC3\xA9");
    EXPECT_EQ(texts.Year, "1999");
    EXPECT_EQ(texts.GenreID, 17);
}

TEST(TagReader, Version24FramesAreReadAndTakePrecedenceOverVersion1) {
    const std::string tag = Tag(4, Frame(4, "TIT2",
                                         std::string("\x03"
                                                     "Caf\xC3\xA9 \xE2\x98\x95",
                                                     10)) +
                                       Frame(4, "TPE1", std::string("\x02\0B\0j\0\xF6\0r\0k", 11)) +
                                       Frame(4, "TDRC",
                                             std::string("\x03"
                                                         "2004-05-01",
                                                         11)));
    const std::string v1 = Id3v1("Old title", "Old artist", "V1 album", "1980", 9);
    const TagTexts texts = Read(tag + std::string(500, '\0') + v1);
    EXPECT_EQ(texts.Title, "Caf\xC3\xA9 \xE2\x98\x95");
    EXPECT_EQ(texts.Artist, "Bj\xC3\xB6rk");
    EXPECT_EQ(texts.Year, "2004-05-01");
    EXPECT_EQ(texts.Album, "V1 album");  // field by field: v2 has no album
    EXPECT_EQ(texts.GenreID, 9);
}

TEST(TagReader, Version1AloneAndArtistChain) {
    EXPECT_EQ(Read(std::string(300, 'x') + Id3v1("T", "A", "Al", "1999", 255)).Artist, "A");
    const TagTexts v1 = Read(Id3v1("Title  ", "Artist \xC4", "Album", "2001", 17));
    EXPECT_EQ(v1.Title, "Title");
    EXPECT_EQ(v1.Artist, "Artist \xC3\x84");
    EXPECT_EQ(v1.Year, "2001");
    EXPECT_EQ(v1.GenreID, 17);
    EXPECT_EQ(Read(Id3v1("T", "A", "", "", 255)).GenreID, 255);

    // The band of the ID3v2 tag is the artist; the ID3v1 artist does not replace it.
    const std::string band = Tag(3, Frame(3, "TPE2", std::string("\0Band", 5)) +
                                        Frame(3, "TCOM", std::string("\0Composer", 9)));
    EXPECT_EQ(Read(band + Id3v1("T", "V1 artist", "", "", 255)).Artist, "Band");
    EXPECT_EQ(Read(Tag(3, Frame(3, "TCOM", std::string("\0Composer", 9)))).Artist, "Composer");
}

TEST(TagReader, Version22FramesAreRead) {
    const std::string frames = std::string("TT2\0\0\x06\0Title", 12) +
                               std::string("TP1\0\0\x07\0Artist", 13) +
                               std::string("TCO\0\0\x05\0(12)", 11);
    const TagTexts texts = Read(Tag(2, frames));
    EXPECT_EQ(texts.Title, "Title");
    EXPECT_EQ(texts.Artist, "Artist");
    EXPECT_EQ(texts.GenreID, 12);
}

TEST(TagReader, CompressedEncryptedAndOversizedFramesAreLeftOut) {
    // A compressed title whose declared size claims far more than the tag holds, an
    // encrypted artist, then a good album: only the album is read.
    const std::string frames = Frame(3, "TIT2", std::string("\0\0\0\x10xxxx", 8), 0x80) +
                               Frame(3, "TPE1", std::string("\0secret", 7), 0x40) +
                               Frame(3, "TALB", std::string("\0Album", 6));
    const TagTexts texts = Read(Tag(3, frames));
    EXPECT_EQ(texts.Title, "");
    EXPECT_EQ(texts.Artist, "");
    EXPECT_EQ(texts.Album, "Album");

    const std::string truncated =
        Tag(3, Frame(3, "TALB", std::string("\0Album", 6)) +
                   Frame(3, "TIT2", std::string("\0Ti", 3), 0, 0x7FFFFFF0));
    EXPECT_EQ(Read(truncated).Album, "Album");
    EXPECT_EQ(Read(truncated).Title, "");
    // A tag that claims more than the file holds, cut in the middle of a frame header.
    EXPECT_EQ(Read(Id3v2Header(3, 5000) + "TIT2\0\0").Title, "");
}

TEST(TagReader, UnsynchronisedTagsAreRestored) {
    // 0xFF 0x00 stands for 0xFF: a Latin-1 "\xFF" (ÿ) title in a wholly unsynchronised tag.
    const std::string frames = std::string("TIT2\0\0\0\x03\0\0\0A\xFF\0", 14);
    EXPECT_EQ(Read(Tag(3, frames, 0x80)).Title, "A\xC3\xBF");
    const std::string frame24 = Frame(4, "TIT2", std::string("\0B\xFF\0", 4), 0x02);
    EXPECT_EQ(Read(Tag(4, frame24)).Title, "B\xC3\xBF");
}

TEST(TagReader, ExtendedHeaderAndGroupAndLengthPrefixesAreSkipped) {
    const std::string extended = BigEndian32(6) + std::string(6, '\0');
    EXPECT_EQ(Read(Tag(3, extended + Frame(3, "TIT2", std::string("\0Title", 6)), 0x40)).Title,
              "Title");
    const std::string grouped = Frame(4, "TIT2",
                                      std::string("\x01"
                                                  "\0\0\0\x06"
                                                  "\0Title",
                                                  11),
                                      0x40 | 0x01);
    EXPECT_EQ(Read(Tag(4, grouped)).Title, "Title");
}

TEST(TagReader, GenresAsTaggersWriteThem) {
    EXPECT_EQ(GenreNumber("(17)Rock"), 17);
    EXPECT_EQ(GenreNumber("(17)"), 17);
    EXPECT_EQ(GenreNumber("(17)(9)"), 17);
    EXPECT_EQ(GenreNumber("17"), 17);
    EXPECT_EQ(GenreNumber("Rock"), 17);
    EXPECT_EQ(GenreNumber(" heavy METAL "), 137);
    EXPECT_EQ(GenreNumber("Electronic"), 52);
    EXPECT_EQ(GenreNumber("Psybient"), 191);
    EXPECT_EQ(GenreNumber("(RX)Hip-Hop"), 7);
    EXPECT_EQ(GenreNumber("Alt. Rock"), 40);  // taggers' spellings of list names
    EXPECT_EQ(GenreNumber("gangsta rap"), 59);
    EXPECT_EQ(GenreNumber("Rockish"), 255);
    EXPECT_EQ(GenreNumber("(300)"), 255);
    EXPECT_EQ(GenreNumber("(99999999999999999999)"), 255);
    EXPECT_EQ(GenreNumber("17 Rock"), 255);
    EXPECT_EQ(GenreNumber("()"), 255);
    EXPECT_EQ(GenreNumber("(17"), 255);
    EXPECT_EQ(GenreNumber(""), 255);
    // An ID3v2.4 list: its values are separated by zero bytes, the first one counts.
    const std::string list = Frame(4, "TCON", std::string("\x03Jazz\0Rock", 10));
    EXPECT_EQ(Read(Tag(4, list)).GenreID, 8);
}

TEST(TagReader, FramesThatWritersGetWrong) {
    // The extended-header flag with no extended header: the frames start at once.
    const std::string title = Frame(3, "TIT2", std::string("\0Title", 6));
    EXPECT_EQ(Read(Tag(3, title, 0x40)).Title, "Title");
    EXPECT_EQ(Read(Tag(4, Frame(4, "TIT2", std::string("\0Title", 6)), 0x40)).Title, "Title");

    // A compressed title: its inflated size, then a zlib stream of "\0Compressed title".
    const std::string deflated(
        "\0\0\0\x11"
        "\x78\xDA\x63\x70\xCE\xCF\x2D\x28\x4A\x2D\x2E\x4E\x4D\x51\x28\xC9\x2C\xC9\x49\x05"
        "\x00\x35\xC5\x06\x58",
        29);
    EXPECT_EQ(Read(Tag(3, Frame(3, "TIT2", deflated, 0x80))).Title, "Compressed title");
    // Version 4: compression with its data length indicator.
    EXPECT_EQ(Read(Tag(4, Frame(4, "TIT2", deflated, 0x08 | 0x01))).Title, "Compressed title");
    // Corrupt data inflates to nothing, and the frame is left out.
    EXPECT_EQ(
        Read(Tag(3, Frame(3, "TIT2", std::string("\0\0\0\x11\x78\xDA\xFF\xFF", 8), 0x80))).Title,
        "");

    // A frame whose size runs past the tag: what came before stays, and the
    // next frame that plausibly starts after it is read.
    const std::string broken = Frame(3, "TALB", std::string("\0Album", 6)) +
                               Frame(3, "TCOM", std::string("\0x", 2), 0, 0x00FFFFFF) +
                               Frame(3, "TPE1", std::string("\0Artist", 7));
    const TagTexts texts = Read(Tag(3, broken));
    EXPECT_EQ(texts.Album, "Album");
    EXPECT_EQ(texts.Artist, "Artist");

    // The year frame of the tag's own version wins over a stray one of the other.
    const std::string tyer = Frame(4, "TYER",
                                   std::string("\0"
                                               "2004",
                                               5));
    const std::string tdrc = Frame(4, "TDRC",
                                   std::string("\0"
                                               "1337",
                                               5));
    EXPECT_EQ(Read(Tag(4, tyer + tdrc)).Year, "1337");
    EXPECT_EQ(Read(Tag(3, tdrc + tyer)).Year, "2004");
}

TEST(TextDecoding, Utf16SurrogatesAndBrokenInput) {
    EXPECT_EQ(Utf16ToUtf8(std::string("\x3D\xD8\x00\xDE", 4), false), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::string("\x3D\xD8"
                                      "A\0",
                                      4),
                          false),
              "\xEF\xBF\xBD"
              "A");
    EXPECT_EQ(Utf16ToUtf8(std::string("A\0B", 3), false), "A\xEF\xBF\xBD");
    EXPECT_EQ(SanitiseUtf8("ok\xC3\xA9\xC3(\xE0\x80\x80\xED\xA0\x80"),
              "ok\xC3\xA9\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
              "\xEF\xBF\xBD");
    EXPECT_EQ(DecodeFirstString(TextEncoding::Utf16, std::string("\xFF\xFE"
                                                                 "A\0\0\0B\0",
                                                                 8)),
              "A");
    EXPECT_EQ(DecodeFirstString(TextEncoding::Latin1, std::string("A\0B", 3)), "A");
}

}  // namespace
}  // namespace kavelin
