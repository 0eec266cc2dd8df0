// Verdicts and plays that the catalog cannot take at once: failures are
// reported, nothing is half written, and what waits is stored later, in order,
// also after a restart.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "catalog/CatalogOperations.h"
#include "catalog/PendingWrites.h"
#include "catalog/WriteWaits.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class PendingWritesTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(db.ExecuteStatement("INSERT INTO tTrack(Filename) VALUES ('/t" +
                                            std::to_string(i) + ".mp3')"));
        }
    }
    std::string Row(int mood, int track) {
        return catalog.Scalar(
            "SELECT ifnull(Rating,'-') || ',' || ifnull(Played,'-') || ',' || "
            "ifnull(LastCounter,'-') FROM tTrackMood WHERE MoodID=" +
            std::to_string(mood) + " AND TrackID=" + std::to_string(track));
    }
    long Counter() { return catalog.ScalarLong("SELECT Counter FROM tCounter"); }
    std::string Journal() const { return (catalog.Directory() / "Kavelin.pending").string(); }

    // Waits, bounded, until the condition holds.
    template <typename Condition>
    static bool Eventually(Condition condition) {
        const auto deadline = steady_clock::now() + std::chrono::seconds(10);
        while (!condition() && steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        return condition();
    }

    test::TestCatalog catalog;
    CADODataBase& db = catalog.Database();
};

TEST_F(PendingWritesTest, WritesThatCannotBeginReportFailureAndWriteNothing) {
    {
        test::CatalogWriteHold hold(catalog.CatalogPath());
        const WriteWaitLimit limit(milliseconds(50));
        EXPECT_FALSE(SetRating(db, 1, 1, kRatingGood));
        EXPECT_FALSE(RecordPlay(db, 1, 1));
        EXPECT_EQ(db.GetLastError(), SqliteResultCode(SQLITE_BUSY));
    }
    EXPECT_EQ(Row(1, 1), "");
    EXPECT_EQ(Counter(), 0);

    // The other writer lets go while the play is under way: a play whose
    // transaction could not begin must not go on as loose statements.
    test::CatalogWriteHold hold(catalog.CatalogPath());
    std::thread release([&] {
        std::this_thread::sleep_for(milliseconds(150));
        hold.Release();
    });
    {
        const WriteWaitLimit limit(milliseconds(100));
        EXPECT_FALSE(RecordPlay(db, 1, 1));
    }
    release.join();
    EXPECT_EQ(Counter(), 0);
    EXPECT_EQ(Row(1, 1), "");
}

TEST_F(PendingWritesTest, KeepsWhatWaitsInOrderAndTheNewestVerdictWins) {
    PendingWrites writes(db, Journal());
    {
        test::CatalogWriteHold hold(catalog.CatalogPath());
        const auto start = steady_clock::now();
        EXPECT_FALSE(writes.StoreRating(1, 1, kRatingBad));
        EXPECT_FALSE(writes.StorePlay(1, 1));
        EXPECT_FALSE(writes.StoreRating(1, 1, kRatingAwesome));
        EXPECT_FALSE(writes.StoreRating(2, 1, kRatingExcluded));
        // Each first attempt gives up quickly; 10 s is the catalog's normal wait.
        EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
        EXPECT_EQ(writes.Waiting(), 3u);
        EXPECT_EQ(writes.LastFailure(), WriteFailure::Busy);
        EXPECT_EQ(writes.StatusText(),
                  "3 ratings or plays are waiting to be saved: the catalog is in use by another "
                  "program. Kavelin keeps trying.");
        EXPECT_FALSE(writes.RetryNow());
        writes.StartRetrying();
    }
    EXPECT_TRUE(Eventually([&] { return writes.Waiting() == 0; }));
    EXPECT_EQ(Row(1, 1), "4,1,1");
    EXPECT_EQ(Row(2, 1), "-1,0,-");
    EXPECT_EQ(writes.StatusText(), "");
    const PendingWrites::Totals totals = writes.Count();
    EXPECT_EQ(totals.issued, 4u);
    EXPECT_EQ(totals.stored, 3u);
    EXPECT_EQ(totals.replaced, 1u);
    EXPECT_EQ(totals.waiting, 0u);

    // Nothing waits: the next verdict is stored at once.
    EXPECT_TRUE(writes.StoreRating(1, 1, kRatingGood));
    EXPECT_EQ(Row(1, 1), "3,1,1");
}

TEST_F(PendingWritesTest, WhatWaitsSurvivesARestart) {
    {
        test::CatalogWriteHold hold(catalog.CatalogPath());
        PendingWrites writes(db, Journal());
        EXPECT_FALSE(writes.StorePlay(1, 2));
        EXPECT_FALSE(writes.StoreRating(1, 2, kRatingNormal));
    }
    ASSERT_TRUE(std::filesystem::exists(Journal()));
    PendingWrites restarted(db, Journal());
    EXPECT_EQ(restarted.Waiting(), 2u);
    EXPECT_TRUE(restarted.RetryNow());
    EXPECT_EQ(Row(1, 2), "2,1,1");
    EXPECT_FALSE(catalog.Scalar("SELECT LastPlayed FROM tTrackMood").empty());
    EXPECT_FALSE(std::filesystem::exists(Journal()));
}

TEST_F(PendingWritesTest, SkipsScanRequestsAndSettingsWaitLikePlaysAndSurviveARestart) {
    {
        test::CatalogWriteHold hold(catalog.CatalogPath());
        PendingWrites writes(db, Journal());
        EXPECT_FALSE(writes.StoreSkip(1, 2, 30000, 200000));
        EXPECT_FALSE(writes.QueueForScan("/music/odd\\name\nwith a line break's/"));
        EXPECT_FALSE(writes.StoreSetting("Voice", 0));
        EXPECT_FALSE(writes.StoreSetting("Voice", 1));  // replaces the value that waits
        EXPECT_EQ(writes.StatusText(),
                  "1 rating or play, 1 folder or file to scan and 1 setting are waiting to be "
                  "saved: the catalog is in use by another program. Kavelin keeps trying.");
    }
    ASSERT_EQ(GetSettingInt(db, "Voice"), 1);
    ASSERT_TRUE(SetSettingInt(db, "Voice", 0));
    PendingWrites restarted(db, Journal());
    EXPECT_EQ(restarted.Waiting(), 3u);
    EXPECT_TRUE(restarted.RetryNow());
    EXPECT_EQ(catalog.Scalar("SELECT Skipped || ',' || round(SkipWeight, 2) || ',' || "
                             "LastSkipPosition FROM tTrackMood WHERE MoodID=1 AND TrackID=2"),
              "1,0.88,30000");
    EXPECT_EQ(catalog.Scalar("SELECT Filename || '|' || Dir FROM tInfoRead"),
              "/music/odd\\name\nwith a line break's/|-1");
    EXPECT_EQ(GetSettingInt(db, "Voice"), 1);
}

// A journal left by a build whose lines had no ids is still read.
TEST_F(PendingWritesTest, AJournalWithoutIdsIsStillRead) {
    std::ofstream(Journal()) << "Kavelin pending writes 1\n"
                                "R 1 2 3\n"
                                "P 1 2 2026-12-01 09:10:00\n";
    PendingWrites writes(db, Journal());
    EXPECT_EQ(writes.Waiting(), 2u);
    EXPECT_TRUE(writes.RetryNow());
    EXPECT_EQ(Row(1, 2), "3,1,1");
    EXPECT_EQ(catalog.Scalar("SELECT LastPlayed FROM tTrackMood"), "2026-12-01 09:10:00");
}

// The program is killed after kept writes reached the catalog but before it
// could write the journal anew: the next start reads them back and must
// recognise them as stored.
TEST_F(PendingWritesTest, WritesReadBackAfterAKillAreNotStoredTwice) {
    {
        test::CatalogWriteHold hold(catalog.CatalogPath());
        PendingWrites writes(db, Journal());
        EXPECT_FALSE(writes.StorePlay(1, 1));
        EXPECT_FALSE(writes.StoreSkip(1, 1, 0, 1000));
        EXPECT_FALSE(writes.QueueForScan("/music/a.mp3"));
    }
    const std::string journalBeforeTheKill = Journal() + ".before";
    std::filesystem::copy_file(Journal(), journalBeforeTheKill);
    {
        PendingWrites writes(db, Journal());
        EXPECT_TRUE(writes.RetryNow());
    }
    std::filesystem::rename(journalBeforeTheKill, Journal());

    PendingWrites restarted(db, Journal());
    EXPECT_EQ(restarted.Waiting(), 3u);
    EXPECT_TRUE(restarted.RetryNow());
    EXPECT_EQ(Counter(), 1);
    EXPECT_EQ(Row(1, 1), "-,1,1");
    EXPECT_EQ(catalog.ScalarLong("SELECT Skipped FROM tTrackMood WHERE MoodID=1 AND TrackID=1"), 1);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead"), 1);

    // Once the journal no longer holds them, their ids are let go at the next start.
    PendingWrites later(db, Journal());
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tStoredWrite"), 0);
}

// Another thread's failures, recorded on the shared connection meanwhile, are
// no reason of this write's.
TEST_F(PendingWritesTest, TheReasonShownIsTheWritesOwn) {
    PendingWrites writes(db, Journal());
    test::CatalogWriteHold hold(catalog.CatalogPath());
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done) {
            db.ExecuteStatement("UPDATE tNoSuchTable SET Value=1");
        }
    });
    const WriteWaitLimit limit(milliseconds(2));
    EXPECT_FALSE(writes.StoreRating(1, 1, kRatingGood));
    int otherReasons = writes.LastFailure() == WriteFailure::Busy ? 0 : 1;
    for (int i = 0; i < 200; ++i) {
        writes.RetryNow();
        otherReasons += writes.LastFailure() == WriteFailure::Busy ? 0 : 1;
    }
    done = true;
    other.join();
    EXPECT_EQ(otherReasons, 0);
}

// Another program takes and lets go of the catalog over and over while the
// user rates and plays: every play is counted once and each pair keeps the
// verdict given last.
TEST_F(PendingWritesTest, NothingIsLostOrReorderedWhileTheCatalogComesAndGoes) {
    PendingWrites writes(db, Journal());
    writes.StartRetrying();
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done) {
            test::CatalogWriteHold hold(catalog.CatalogPath());
            std::this_thread::sleep_for(milliseconds(120));
            hold.Release();
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    int lastVerdict[2][3] = {};
    int plays = 0;
    std::size_t mostWaiting = 0;
    for (int i = 0; i < 120; ++i) {
        const int mood = 1 + i % 2;
        const int track = 1 + i % 3;
        if (i % 3 == 0) {
            writes.StorePlay(mood, track);
            ++plays;
        } else {
            lastVerdict[mood - 1][track - 1] = 1 + i % 4;
            writes.StoreRating(mood, track, lastVerdict[mood - 1][track - 1]);
        }
        mostWaiting = std::max(mostWaiting, writes.Waiting());
        std::this_thread::sleep_for(milliseconds(5));
    }
    done = true;
    other.join();
    ASSERT_TRUE(Eventually([&] { return writes.Waiting() == 0; }));
    EXPECT_EQ(Counter(), plays);
    EXPECT_EQ(catalog.ScalarLong("SELECT SUM(Played) FROM tTrackMood"), plays);
    for (int mood = 1; mood <= 2; ++mood) {
        for (int track = 1; track <= 3; ++track) {
            EXPECT_EQ(
                catalog.ScalarLong("SELECT Rating FROM tTrackMood WHERE MoodID=" +
                                   std::to_string(mood) + " AND TrackID=" + std::to_string(track)),
                lastVerdict[mood - 1][track - 1])
                << mood << "/" << track;
        }
    }
    const PendingWrites::Totals totals = writes.Count();
    EXPECT_EQ(totals.issued, 120u);
    EXPECT_EQ(totals.stored + totals.replaced, 120u);
    EXPECT_GT(mostWaiting, 1u) << "the queue was used";
}

// A full disk: the catalog refuses new pages, and the journal's folder is gone.
TEST_F(PendingWritesTest, FullDiskKeepsTheWritesInMemoryAndSaysSo) {
    std::uint32_t code = 0;
    std::string description;
    sqlite3* connection = db.ThreadConnection(code, description);
    ASSERT_NE(connection, nullptr);
    sqlite3_stmt* pages = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(connection, "PRAGMA page_count", -1, &pages, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(pages), SQLITE_ROW);
    const std::string limit =
        "PRAGMA max_page_count = " + std::to_string(sqlite3_column_int(pages, 0));
    sqlite3_finalize(pages);
    ASSERT_EQ(sqlite3_exec(connection, limit.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    // Fill the rating table's pages to the brim.
    for (int i = 1; db.ExecuteStatement("INSERT INTO tTrackMood(MoodID, TrackID) VALUES (9, " +
                                        std::to_string(i) + ")");
         ++i) {
        ASSERT_LT(i, 100000);
    }
    ASSERT_EQ(db.GetLastError(), SqliteResultCode(SQLITE_FULL));

    PendingWrites writes(db, (catalog.Directory() / "gone" / "Kavelin.pending").string());
    EXPECT_FALSE(writes.StoreRating(1, 1, kRatingGood));
    EXPECT_FALSE(writes.RetryNow());
    EXPECT_FALSE(writes.JournalSaved());
    EXPECT_EQ(writes.LastFailure(), WriteFailure::DiskFull);
    EXPECT_EQ(writes.StatusText(),
              "1 rating or play is waiting to be saved: the disk holding the catalog is full. "
              "Kavelin keeps trying; they are held in memory only, as the disk cannot take them "
              "either.");

    // Space again: the verdict is stored.
    ASSERT_EQ(
        sqlite3_exec(connection, "PRAGMA max_page_count = 1000000", nullptr, nullptr, nullptr),
        SQLITE_OK);
    EXPECT_TRUE(writes.RetryNow());
    EXPECT_EQ(Row(1, 1), "3,0,-");
}

}  // namespace
}  // namespace kavelin
