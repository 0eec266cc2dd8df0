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
