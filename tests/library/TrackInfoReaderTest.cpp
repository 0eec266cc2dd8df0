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
    EXPECT_EQ(MakeSearchString("Caf\xC3\xA9 del Mar.MP3"), "CAFEDELMARMP");
    EXPECT_EQ(MakeSearchString("/a-dir/"), "");
    EXPECT_EQ(MakeSearchString("/x.mp3"), "XMP");
}

TEST(MakeSearchString, NamesInOtherScriptsKeepTheirLetters) {
    EXPECT_EQ(MakeSearchString("/m/\xC3\x89"
                               "dith Piaf - Non, je ne regrette rien.mp3"),
              "EDITHPIAFNONJENEREGRETTERIENMP");
    EXPECT_EQ(MakeSearchString("/m/Sigur R\xC3\xB3s \xC3\x98ld.mp3"), "SIGURROSOLDMP");
    // "Кино - Группа крови.mp3": Cyrillic letters upper-cased.
    EXPECT_EQ(MakeSearchString("/m/\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE - \xD0\xB3\xD1\x80.mp3"),
              "\xD0\x9A\xD0\x98\xD0\x9D\xD0\x9E\xD0\x93\xD0\xA0MP");
    // Greek "αβ", Japanese "日本" and Arabic "سلام" stay distinct from each other.
    EXPECT_EQ(MakeSearchString("\xCE\xB1\xCE\xB2.mp3"), "\xCE\x91\xCE\x92MP");
    EXPECT_EQ(MakeSearchString("\xE6\x97\xA5\xE6\x9C\xAC 2.mp3"), "\xE6\x97\xA5\xE6\x9C\xACMP");
    EXPECT_EQ(MakeSearchString("\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85.mp3"),
              "\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85MP");
    // A Latin-1 file name reads as Latin-1.
    EXPECT_EQ(MakeSearchString("/m/Caf\xE9.mp3"), "CAFEMP");

    EXPECT_FALSE(IsDistinctiveSearchString(MakeSearchString("/m/12 - 34.mp3")));
    EXPECT_FALSE(IsDistinctiveSearchString(""));
    EXPECT_TRUE(IsDistinctiveSearchString(MakeSearchString("/m/\xCE\xB1.mp3")));
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

TEST(ReadTrackFile, OnlyRegularFilesThatOpenAreRead) {
    TempDir dir;
    EXPECT_EQ(ReadTrackFile(dir / "Artist_-_Title.mp3").status, OpenStatus::NotAFile);
    std::filesystem::create_directory(dir / "folder.mp3");
    EXPECT_EQ(ReadTrackFile(dir / "folder.mp3").status, OpenStatus::NotAFile);
    // A pipe without a writer would block a plain open for ever.
    ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
    EXPECT_EQ(ReadTrackFile(dir / "pipe.mp3").status, OpenStatus::NotAFile);
    std::filesystem::create_symlink("/dev/zero", dir / "zero.mp3");
    EXPECT_EQ(ReadTrackFile(dir / "zero.mp3").status, OpenStatus::NotAFile);
    std::filesystem::create_symlink(dir / "gone", dir / "dangling.mp3");
    EXPECT_EQ(ReadTrackFile(dir / "dangling.mp3").status, OpenStatus::NotAFile);

    const std::string plain = MakeMp3(dir, "Artist_-_Title.mp3", "sine 440");
    std::filesystem::create_symlink(plain, dir / "link.mp3");
    const TrackFile linked = ReadTrackFile(dir / "link.mp3");
    EXPECT_EQ(linked.status, OpenStatus::Opened);
    EXPECT_EQ(linked.track.BitRate, 128);
}

TEST(NameFallback, FileNameBytesBecomeUtf8) {
    // Latin-1 bytes of an old file name, and a name that is UTF-8 already.
    const CTrackInfo latin1 = FromName("/mp3/Bj\xF6rk_-_J\xF3ga.mp3");
    EXPECT_EQ(latin1.Artist, "Bj\xC3\xB6rk");
    EXPECT_EQ(latin1.Trackname, "J\xC3\xB3ga");
    EXPECT_EQ(FromName("/mp3/Bj\xC3\xB6rk_-_J\xC3\xB3ga.mp3").Trackname, "J\xC3\xB3ga");
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
        {"mpeg2.mp3", "sine 440", 22050, 2, "-b 64", 64},
        {"mpeg25.mp3", "sine 440", 11025, 1, "-b 32", 32},
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
    EXPECT_EQ(utf16.GenreID, 17);  // eyeD3 writes the genre name "Rock"

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
