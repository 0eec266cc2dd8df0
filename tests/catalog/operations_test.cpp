// Settings, ratings, plays, deletion marks and track loading, alone and with
// four threads working the catalog at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

class Operations : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(
            db.ExecuteStatement("INSERT INTO tTrack(Filename, Artist, Trackname, Album, Year, "
                                "GenreID, FingerPrint, BitRate) "
                                "VALUES ('/music/it''s.mp3', 'Guns ''n'' Roses', 'Patience', "
                                "'Lies', '1988', 17, 'xyz', 192)"));
        ASSERT_TRUE(db.ExecuteStatement("INSERT INTO tTrack(Filename) VALUES ('/music/bare.mp3')"));
    }
    std::string Row(int mood, int track) {
        return catalog.Scalar(
            "SELECT ifnull(Rating,'-') || ',' || ifnull(RatingType,'-') || ',' || "
            "ifnull(Played,'-') || ',' || ifnull(LastCounter,'-') FROM tTrackMood WHERE MoodID=" +
            std::to_string(mood) + " AND TrackID=" + std::to_string(track));
    }

    test::TestCatalog catalog;
    CADODataBase& db = catalog.Database();
};

TEST(QuoteForSql, DoublesApostrophesOnly) {
    EXPECT_EQ(QuoteForSql("Guns 'n' Roses"), "Guns ''n'' Roses");
    EXPECT_EQ(QuoteForSql("plain \"text\""), "plain \"text\"");
    EXPECT_EQ(QuoteForSql("''"), "''''");
}

TEST(CutText, NeverSplitsACharacter) {
    EXPECT_EQ(CutText("abc", 10), "abc");
    EXPECT_EQ(CutText(std::string(300, 'a'), 255).size(), 255u);
    // "é" is two bytes; a cut in its middle steps back before it.
    EXPECT_EQ(CutText("abcdé", 5), "abcd");
    EXPECT_EQ(CutText("2001-01-01 extra", kMaxYearLength), "2001-01-01");
}

TEST_F(Operations, Settings) {
    SetSettingInt(db, "CloseCount", 3);
    EXPECT_EQ(GetSettingInt(db, "CloseCount"), 3);
    EXPECT_EQ(GetSettingInt(db, "NoSuchKey"), 0);
    const long rows = catalog.ScalarLong("SELECT COUNT(*) FROM tSettings");
    SetSettingInt(db, "NoSuchKey", 5);  // changes nothing, adds nothing
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tSettings"), rows);
}

TEST_F(Operations, RatingsAndPlaysShareOneRowPerTrackAndMood) {
    SetRating(db, 1, 1, kRatingGood);
    EXPECT_EQ(Row(1, 1), "3,1,0,-");  // no play data yet; plays count from 0
    SetRating(db, 1, 1, kRatingAwesome);
    EXPECT_EQ(Row(1, 1), "4,1,0,-");

    RecordPlay(db, 1, 1);  // rated before its first play: the count starts at 1, not null
    EXPECT_EQ(Row(1, 1), "4,1,1,1");
    RecordPlay(db, 2, 2);  // first play in another mood inserts an unrated row
    EXPECT_EQ(Row(2, 2), "-,-,1,2");
    RecordPlay(db, 2, 2);
    EXPECT_EQ(Row(2, 2), "-,-,2,3");
    EXPECT_EQ(catalog.ScalarLong("SELECT Counter FROM tCounter"), 3);
    EXPECT_FALSE(catalog.Scalar("SELECT LastPlayed FROM tTrackMood WHERE TrackID=2").empty());

    SetRating(db, 2, 2, kRatingExcluded);
    EXPECT_EQ(Row(2, 2), "-1,1,2,3");  // the play data stays
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tTrackMood"), 2);
}

TEST_F(Operations, RatingAndPlayRaiseNothingWhenTheLookUpCannotRun) {
    // The look-up of the track's row fails; nothing may escape to the window's handler.
    ASSERT_TRUE(db.ExecuteStatement("ALTER TABLE tTrackMood RENAME TO tTrackMoodGone"));
    EXPECT_NO_THROW(SetRating(db, 2, 1, kRatingGood));
    EXPECT_NO_THROW(RecordPlay(db, 2, 1));
    EXPECT_NE(db.GetLastErrorText().find("tTrackMood"), std::string::npos) << db.GetLastErrorText();
}

TEST_F(Operations, DeletionMark) {
    SetTrackDeleted(db, 1, 1);
    EXPECT_EQ(catalog.ScalarLong("SELECT Deleted + 0 FROM tTrack WHERE ID=1"), -1);
    SetTrackDeleted(db, 1, 0);
    EXPECT_EQ(catalog.ScalarLong("SELECT Deleted + 0 FROM tTrack WHERE ID=1"), 0);
}

TEST_F(Operations, LoadTrack) {
    const CTrackInfo track = LoadTrack(db, 1);
    EXPECT_EQ(track.ID, 1);
    EXPECT_EQ(track.Filename, "/music/it's.mp3");
    EXPECT_EQ(track.Artist, "Guns 'n' Roses");
    EXPECT_EQ(track.Trackname, "Patience");
    EXPECT_EQ(track.Album, "Lies");
    EXPECT_EQ(track.Year, "1988");
    EXPECT_EQ(track.GenreID, 17);
    EXPECT_EQ(track.RatingLevel, 0);

    CTrackInfo missing;
    missing.ID = 99;
    EXPECT_EQ(LoadTrack(db, 99), missing);  // only the ID set, genre 255

    const CTrackInfo bare = LoadTrack(db, 2);
    EXPECT_EQ(bare.Filename, "/music/bare.mp3");
    EXPECT_EQ(bare.Artist, "");
}

TEST_F(Operations, SkipsAreCountedWithTheirPlaceAndARatingClearsTheirWeight) {
    auto skips = [&](int mood, int track) {
        return catalog.Scalar(
            "SELECT ifnull(Rating,'-') || ',' || Skipped || ',' || round(SkipWeight, 3) || ',' || "
            "ifnull(LastSkipPosition,'-') FROM tTrackMood WHERE MoodID=" +
            std::to_string(mood) + " AND TrackID=" + std::to_string(track));
    };
    RecordPlay(db, 1, 1);
    RecordSkip(db, 1, 1, 6000, 240000);  // 2.5 % into the track
    EXPECT_EQ(skips(1, 1), "-,1,0.98,6000");
    RecordSkip(db, 1, 1, 240000, 240000);  // at the very end
    EXPECT_EQ(skips(1, 1), "-,2,1.18,240000");
    RecordSkip(db, 1, 2, 5000, 0);  // length unknown; no row yet
    EXPECT_EQ(skips(1, 2), "-,1,0.6,5000");
    EXPECT_EQ(Row(1, 2), "-,-,0,-") << "a skip is neither a rating nor a play";

    SetRating(db, 1, 1, kRatingGood);
    EXPECT_EQ(skips(1, 1), "3,2,0.0,240000") << "the count stays, the weight goes";
    RecordSkip(db, 1, 1, 0, 240000);
    EXPECT_EQ(skips(1, 1), "3,3,1.0,0");
}

// The per-mood sums the selection reads follow every change of the rows they sum.
TEST_F(Operations, ArtistAndGenreSumsFollowRatingsPlaysSkipsAndRenames) {
    ASSERT_TRUE(db.ExecuteStatement(
        "INSERT INTO tTrack(Filename, Artist, GenreID) VALUES ('/music/3.mp3', 'GUNS ''N'' "
        "ROSES', 17)"));
    auto sums = [&](const std::string& table, const std::string& where) {
        return catalog.Scalar(
            "SELECT Rows || ',' || Rated || ',' || round(Worth, 2) || ',' || "
            "round(Skips, 2) || ',' || Kept FROM " +
            table + " WHERE MoodID=1 AND " + where);
    };
    const std::string gnr = "ArtistKey='guns ''n'' roses'";
    SetRating(db, 1, 1, kRatingGood);
    RecordPlay(db, 1, 3);
    EXPECT_EQ(sums("tArtistMood", gnr), "2,1,0.8,0.0,1") << "one artist whatever the case";
    RecordSkip(db, 1, 3, 0, 1000);
    EXPECT_EQ(sums("tArtistMood", gnr), "2,1,0.8,1.0,0");
    SetRating(db, 1, 3, kRatingBad);
    EXPECT_EQ(sums("tArtistMood", gnr), "2,2,0.9,0.0,0");
    EXPECT_EQ(sums("tGenreMood", "GenreID=17"), "2,2,0.9,0.0,0");
    RecordPlay(db, 1, 2);  // no artist, no genre: in no sum
    EXPECT_EQ(catalog.ScalarLong("SELECT sum(Rows) FROM tArtistMood"), 2);

    ASSERT_TRUE(db.ExecuteStatement("UPDATE tTrack SET Artist='GNR' WHERE ID=3"));
    EXPECT_EQ(sums("tArtistMood", gnr), "1,1,0.8,0.0,0");
    EXPECT_EQ(sums("tArtistMood", "ArtistKey='gnr'"), "1,1,0.1,0.0,0");
}

TEST_F(Operations, LongPathsAreKeptWhole) {
    const std::string deep = "/music/" + std::string(300, 'd') + "/track.mp3";
    ASSERT_TRUE(
        db.ExecuteStatement("INSERT INTO tTrack(Filename) VALUES ('" + QuoteForSql(deep) + "')"));
    EXPECT_EQ(LoadTrack(db, 3).Filename, deep);
}

// Ratings, plays, queue inserts and reads from four threads at once: no
// statement may fail, and every count must come out exact.
TEST(CatalogUnderLoad, FourThreadsAtOnce) {
    test::TestCatalog catalog;
    CADODataBase& db = catalog.Database();
    constexpr int kTracks = 50;
    for (int i = 1; i <= kTracks; ++i) {
        ASSERT_TRUE(db.ExecuteStatement("INSERT INTO tTrack(Filename) VALUES ('/t" +
                                        std::to_string(i) + ".mp3')"));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::atomic<int> plays{0};
    std::atomic<int> queued{0};
    std::atomic<int> failures{0};
    std::atomic<int> ratings{0};

    std::thread rater([&] {
        for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
            // Two moods, so the same pairs are rated over and over from here
            // and played from the other thread.
            SetRating(db, 1 + i % 2, 1 + i % kTracks, 1 + i % 4);
            ++ratings;
        }
    });
    std::thread player([&] {
        while (std::chrono::steady_clock::now() < deadline) {
            RecordPlay(db, 1 + plays % 2, 1 + plays % kTracks);
            ++plays;
        }
    });
    std::thread scanner([&] {
        while (std::chrono::steady_clock::now() < deadline) {
            if (!db.ExecuteStatement("INSERT INTO tInfoRead(Filename) VALUES ('/q" +
                                     std::to_string(queued) + "')")) {
                ++failures;
            }
            ++queued;
        }
    });
    std::thread reader([&] {
        while (std::chrono::steady_clock::now() < deadline) {
            CADORecordset rs(db);
            if (!rs.OpenSource(
                    "SELECT Count(*) FROM tTrack t LEFT JOIN tTrackMood tm ON t.ID = tm.TrackID "
                    "WHERE MoodID=1 AND Rating IS NOT NULL",
                    CADORecordset::SourceQuery)) {
                ++failures;
            }
            if (LoadTrack(db, 7).Filename != "/t7.mp3") {
                ++failures;
            }
        }
    });
    rater.join();
    player.join();
    scanner.join();
    reader.join();

    EXPECT_EQ(failures.load(), 0) << db.GetLastErrorText();
    EXPECT_GT(plays.load(), 10);
    EXPECT_EQ(catalog.ScalarLong("SELECT Counter FROM tCounter"), plays.load());
    EXPECT_EQ(catalog.ScalarLong("SELECT SUM(Played) FROM tTrackMood"), plays.load());
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead"), queued.load());
    const long pairs = catalog.ScalarLong("SELECT COUNT(*) FROM tTrackMood");
    EXPECT_LE(pairs, 2 * kTracks);
    EXPECT_EQ(catalog.ScalarLong(
                  "SELECT COUNT(*) FROM (SELECT MoodID, TrackID FROM tTrackMood GROUP BY MoodID, "
                  "TrackID)"),
              pairs);
    // Each counter value was handed to exactly one play.
    EXPECT_EQ(catalog.ScalarLong("SELECT MAX(LastCounter) FROM tTrackMood"), plays.load());
    EXPECT_GT(ratings.load(), 10);
}

}  // namespace
}  // namespace kavelin
