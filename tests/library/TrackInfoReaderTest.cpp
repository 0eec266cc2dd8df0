#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "library/TrackInfoReader.h"
#include "tests/library/Mp3Fixtures.h"

namespace kavelin {
namespace {

using test::MakeMp3;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;

TEST(MakeSearchString, KeepsTheLettersOfTheFileName) {
    EXPECT_EQ(MakeSearchString("/music/Some Artist - Song_2.mp3"), "SOMEARTISTSONGMP");
    EXPECT_EQ(MakeSearchString("Caf\xC3\xA9 del Mar.MP3"), "CAFDELMARMP");
    EXPECT_EQ(MakeSearchString("/a-dir/"), "");
    EXPECT_EQ(MakeSearchString("/x.mp3"), "XMP");
}

CTrackInfo FromName(const std::string& path) {
    CTrackInfo track;
    ApplyNameFallback(path, track);
    return track;
}

TEST(NameFallback, SplitsArtistAndTitleAtTheFirstDash) {
    const CTrackInfo band = FromName("/mp3/Some_Band_-_Best_Song.mp3");
    EXPECT_EQ(band.Artist, "Some Band");
    EXPECT_EQ(band.Trackname, "Best Song");
    const CTrackInfo leading = FromName("/mp3/-Title.mp3");
    EXPECT_EQ(leading.Artist, "");
    EXPECT_EQ(leading.Trackname, "-Title");
    const CTrackInfo several = FromName("A - B - C.mp3");
    EXPECT_EQ(several.Artist, "A");
    EXPECT_EQ(several.Trackname, "B-C");
    // Three blanks become two in the one pass, so the dash keeps a blank.
    EXPECT_EQ(FromName("/A   -   B.mp3").Trackname, " B");
    EXPECT_EQ(FromName("/x/abc").Trackname, "");
    EXPECT_EQ(FromName("/x/\xC3\xA9t\xC3\xA9.mp3").Trackname, "\xC3\xA9t\xC3\xA9");
}

TEST(ReadTrackInfo, UnreadableFilesBecomeNamedTracksWithoutStream) {
    TempDir dir;
    const std::string missing = dir / "Artist_-_Title.mp3";
    const CTrackInfo track = ReadTrackInfo(missing);
    EXPECT_EQ(track.Filename, missing);
    EXPECT_EQ(track.Artist, "Artist");
    EXPECT_EQ(track.Trackname, "Title");
    EXPECT_EQ(track.GenreID, 255);
    EXPECT_EQ(track.BitRate, 0);
    EXPECT_EQ(track.FingerPrint, "");

    std::filesystem::create_directory(dir / "folder.mp3");
    EXPECT_EQ(ReadTrackInfo(dir / "folder.mp3").Trackname, "folder");
    // A pipe without a writer would block a plain open for ever.
    ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
    EXPECT_EQ(ReadTrackInfo(dir / "pipe.mp3").BitRate, 0);
}

TEST(ReadTrackInfo, TitleOnlyTagKeepsAnEmptyArtist) {
    TempDir dir;
    const std::string mp3 = MakeMp3(dir, "Artist_-_Title.mp3", "sine 440");
    RunCommand("id3v2 -2 -t 'Only title' " + ShellQuote(mp3));
    const CTrackInfo track = ReadTrackInfo(mp3);
    EXPECT_EQ(track.Trackname, "Only title");
    EXPECT_EQ(track.Artist, "");
}

struct Encoding {
    std::string name;
    std::string synth;
    int rate;
    int channels;
    std::string lameOptions;
    int bitRate;  // 0: any positive value
};

TEST(ReadTrackInfo, BitRatesOfRealEncodings) {
    TempDir dir;
    const Encoding encodings[] = {
        {"cbr64.mp3", "sine 440", 44100, 2, "-b 64", 64},
        {"cbr192.mp3", "sine 440", 44100, 2, "-b 192", 192},
        {"cbr320.mp3", "sine 440", 48000, 2, "-b 320", 320},
        {"vbr.mp3", "sine 440", 44100, 2, "-V 2", 0},
        // For MPEG-2 and 2.5 the frame size of layer 3 counts twice the real one, so the
        // reader jumps past frames and takes the bit rate of whatever sync it lands on.
        {"mpeg2.mp3", "sine 440", 22050, 2, "-b 64", 0},
        {"mpeg25.mp3", "sine 440", 11025, 1, "-b 32", 0},
        {"mono.mp3", "sine 440", 44100, 1, "-m m -b 96", 96},
    };
    for (const Encoding& encoding : encodings) {
        const std::string mp3 = MakeMp3(dir, encoding.name, encoding.synth, encoding.rate,
                                        encoding.channels, encoding.lameOptions);
        const CTrackInfo track = ReadTrackInfo(mp3);
        if (encoding.bitRate == 0) {
            EXPECT_GT(track.BitRate, 0) << encoding.name;
        } else {
            EXPECT_EQ(track.BitRate, encoding.bitRate) << encoding.name;
        }
        EXPECT_FALSE(track.FingerPrint.empty()) << encoding.name;
        EXPECT_LE(track.FingerPrint.size(), 31u) << encoding.name;
    }
}

TEST(ReadTrackInfo, TagsWrittenByOtherTaggers) {
    TempDir dir;
    const std::string plain = MakeMp3(dir, "plain.mp3", "sine 440");
    const std::string other = MakeMp3(dir, "other.mp3", "pinknoise");
    const CTrackInfo untagged = ReadTrackInfo(plain);
    EXPECT_EQ(untagged.Trackname, "plain");

    auto tagged = [&](const std::string& name, const std::string& command) {
        const std::string copy = dir / name;
        std::filesystem::copy_file(plain, copy);
        RunCommand(command + " " + ShellQuote(copy));
        return ReadTrackInfo(copy);
    };
    const CTrackInfo v1 =
        tagged("v1.mp3", "id3v2 -1 -t 'V1 Title' -a 'V1 Artist' -A 'V1 Album' -y 1999 -g 17");
    EXPECT_EQ(v1.Trackname, "V1 Title");
    EXPECT_EQ(v1.Artist, "V1 Artist");
    EXPECT_EQ(v1.Album, "V1 Album");
    EXPECT_EQ(v1.Year, "1999");
    EXPECT_EQ(v1.GenreID, 17);

    const CTrackInfo v23 = tagged("v23.mp3", "id3v2 -2 -t Title -a Artist -A Album -y 2001 -g 9");
    EXPECT_EQ(v23.Trackname, "Title");
    EXPECT_EQ(v23.Artist, "Artist");
    EXPECT_EQ(v23.Year, "2001");
    EXPECT_EQ(v23.GenreID, 9);

    const CTrackInfo utf16 =
        tagged("eyed3-utf16.mp3",
               "eyeD3 -Q --encoding utf16 -t 'Bj\xC3\xB6rk' -a '\xC3\x84rtist' -A 'Alb\xC3\xBCm' "
               "--recording-date 2004 -G 17");
    EXPECT_EQ(utf16.Trackname, "Bj\xC3\xB6rk");
    EXPECT_EQ(utf16.Artist, "\xC3\x84rtist");
    EXPECT_EQ(utf16.Album, "Alb\xC3\xBCm");
    EXPECT_EQ(utf16.Year, "2004");
    EXPECT_EQ(utf16.GenreID, 255);  // eyeD3 writes the genre name "Rock", which has no number

    const CTrackInfo utf8 =
        tagged("eyed3-utf8.mp3",
               "eyeD3 -Q --encoding utf8 -t '\xE6\x97\xA5\xE6\x9C\xAC' -a 'Caf\xC3\xA9' -Y 1987");
    EXPECT_EQ(utf8.Trackname, "\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(utf8.Artist, "Caf\xC3\xA9");
    EXPECT_EQ(utf8.Year, "1987");

    const CTrackInfo mutagen = tagged(
        "mid3v2.mp3", "mid3v2 -t 'S\xC3\xB8ng' -a 'Band' -A 'Record' -y 2010 -g '(12)Other'");
    EXPECT_EQ(mutagen.Trackname, "S\xC3\xB8ng");
    EXPECT_EQ(mutagen.Artist, "Band");
    EXPECT_EQ(mutagen.Album, "Record");
    EXPECT_EQ(mutagen.Year, "2010");
    EXPECT_EQ(mutagen.GenreID, 12);

    // The tag is skipped before the stream is read: same audio, same fingerprint.
    for (const CTrackInfo* track : {&v1, &v23, &utf16, &utf8, &mutagen}) {
        EXPECT_EQ(track->FingerPrint, untagged.FingerPrint) << track->Filename;
        EXPECT_EQ(track->BitRate, 128) << track->Filename;
    }
    EXPECT_NE(ReadTrackInfo(other).FingerPrint, untagged.FingerPrint);
}

}  // namespace
}  // namespace kavelin
