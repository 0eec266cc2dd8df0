// Bringing catalogs of earlier versions up to date at start.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "catalog/ADODataBase.h"
#include "catalog/CatalogUpgrade.h"
#include "tests/support/TestCatalog.h"

namespace kavelin::test {
namespace {

namespace fs = std::filesystem;

std::vector<char> Bytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Runs a query on its own connection and gives every row's columns joined by '|', one row a line.
std::string Rows(const fs::path& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    std::string rows;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = sqlite3_column_text(statement, i);
                rows +=
                    (i ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "");
            }
            rows += "\n";
        }
    } else {
        rows = std::string("error: ") + sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// A copy of the catalog of the first version, with tracks, ratings, plays and a scan queue.
class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove(m_catalog.CatalogPath());
        fs::copy_file(fs::path(KAVELIN_CATALOG_FIXTURES) / "catalog-v1.mdb",
                      m_catalog.CatalogPath());
    }
    fs::path Path() const { return m_catalog.CatalogPath(); }
    bool Connect() {
        CADODataBase database;
        const bool ok = database.Connect(m_catalog.ConnectionString(), "", "");
        m_strError = database.GetLastErrorText();
        database.Disconnect();
        return ok;
    }

    TestCatalog m_catalog;
    std::string m_strError;
};

// The track columns every version has.
constexpr const char* kTracks =
    "SELECT ID, Filename, Artist, Trackname, Album, Year, GenreID, FingerPrint, BitRate, "
    "SearchString, Deleted FROM tTrack ORDER BY ID";
constexpr const char* kVerdictsAndPlays =
    "SELECT MoodID, TrackID, Rating, RatingType, Played, LastPlayed, LastCounter FROM tTrackMood "
    "ORDER BY MoodID, TrackID";
// The rows both fixtures were made with, written out rather than read back.
constexpr const char* kFixtureVerdictsAndPlays =
    "1|1|4|1|3|2026-11-30 20:01:02|7\n"
    "1|2|-1|1|1|2026-11-30 20:05:00|8\n"
    "1|3|3|1|1|2026-12-01 09:10:00|10\n"
    "2|1|1|1|0||\n"
    "2|3|||2|2026-12-01 09:00:00|9\n";

TEST_F(UpgradeTest, KeepsEveryRatingAndPlayAndReachesTheCurrentVersion) {
    const std::string tracksBefore = Rows(Path(), kTracks);
    ASSERT_TRUE(Connect()) << m_strError;

    EXPECT_EQ(Rows(Path(), kVerdictsAndPlays), kFixtureVerdictsAndPlays);
    EXPECT_EQ(Rows(Path(), "SELECT Counter FROM tCounter"), "10\n");
    EXPECT_EQ(Rows(Path(),
                   "SELECT ValueInt FROM tSettings WHERE Name IN ('FirstUse','CloseCount') "
                   "ORDER BY Name"),
              "5\n0\n");
    EXPECT_EQ(Rows(Path(), kTracks), tracksBefore);
    EXPECT_EQ(Rows(Path(), "PRAGMA user_version"), std::to_string(CurrentCatalogVersion()) + "\n");
    EXPECT_EQ(Rows(Path(), "PRAGMA integrity_check"), "ok\n");
}

TEST_F(UpgradeTest, UpgradedCatalogHasTheFreshCatalogsSchemaAndStoredQueries) {
    ASSERT_TRUE(Connect()) << m_strError;
    const std::string schema =
        "SELECT type, name, sql FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name";
    EXPECT_EQ(Rows(Path(), schema), Rows(KAVELIN_FRESH_CATALOG, schema));
    const std::string queries = "SELECT Name, SQL FROM tStoredQuery ORDER BY Name";
    EXPECT_EQ(Rows(Path(), queries), Rows(KAVELIN_FRESH_CATALOG, queries));
}

// The third version's catalog (the first one's rows) gains the skip columns
// and the per-mood sums of artists and genres, filled from the rows it holds.
TEST_F(UpgradeTest, ThirdVersionKeepsEveryRatingAndPlayAndSumsThemByArtistAndGenre) {
    fs::remove(Path());
    fs::copy_file(fs::path(KAVELIN_CATALOG_FIXTURES) / "catalog-v3.mdb", Path());
    ASSERT_EQ(Rows(Path(), "PRAGMA user_version"), "3\n");
    ASSERT_TRUE(Connect()) << m_strError;

    EXPECT_EQ(Rows(Path(), kVerdictsAndPlays), kFixtureVerdictsAndPlays);
    EXPECT_EQ(Rows(Path(), "SELECT DISTINCT Skipped, SkipWeight FROM tTrackMood"), "0|0.0\n");
    // Artist A: tracks 1 and 2 (genre 17); Björk: track 3 (genre 52), unrated but heard in mood 2.
    EXPECT_EQ(Rows(Path(),
                   "SELECT MoodID, ArtistKey, Rows, Rated, Worth, Skips, Kept FROM tArtistMood "
                   "ORDER BY MoodID, ArtistKey"),
              "1|artist a|2|2|1.0|0.0|0\n"
              "1|björk|1|1|0.8|0.0|0\n"
              "2|artist a|1|1|0.1|0.0|0\n"
              "2|björk|1|0|0.0|0.0|1\n");
    EXPECT_EQ(Rows(Path(),
                   "SELECT MoodID, GenreID, Rows, Rated, Worth, Skips, Kept FROM tGenreMood "
                   "ORDER BY MoodID, GenreID"),
              "1|17|2|2|1.0|0.0|0\n"
              "1|52|1|1|0.8|0.0|0\n"
              "2|17|1|1|0.1|0.0|0\n"
              "2|52|1|0|0.0|0.0|1\n");
    EXPECT_EQ(Rows(Path(), "PRAGMA user_version"), std::to_string(CurrentCatalogVersion()) + "\n");
}

// The sixth version's catalog (the third one's rows, and "BJÖRK" rated Awesome
// beside "Björk") gains artist keys: both spellings become one artist.
TEST_F(UpgradeTest, SixthVersionKeepsItsRowsAndGivesEveryArtistItsFoldedKeys) {
    fs::remove(Path());
    fs::copy_file(fs::path(KAVELIN_CATALOG_FIXTURES) / "catalog-v6.mdb", Path());
    ASSERT_EQ(Rows(Path(), "PRAGMA user_version"), "6\n");
    const std::string tracksBefore = Rows(Path(), kTracks);
    ASSERT_TRUE(Connect()) << m_strError;

    EXPECT_EQ(Rows(Path(), kTracks), tracksBefore);
    EXPECT_EQ(Rows(Path(), "SELECT Count(*) FROM tTrackMood WHERE Rating IS NOT NULL"), "5\n");
    EXPECT_EQ(Rows(Path(), "SELECT ID, ArtistKey, ArtistOrder IS NOT NULL FROM tTrack ORDER BY ID"),
              "1|artist a|1\n2|artist a|1\n3|björk|1\n4|gone|1\n5|björk|1\n");
    EXPECT_EQ(Rows(Path(), "SELECT count(DISTINCT ArtistOrder) FROM tTrack WHERE ID IN (3, 5)"),
              "1\n")
        << "one order key for both spellings";
    // Björk: 0.8 (Good) and BJÖRK: 1.0 (Awesome) in mood 1, one artist now.
    EXPECT_EQ(Rows(Path(),
                   "SELECT MoodID, ArtistKey, Rows, Rated, Worth, Skips, Kept FROM tArtistMood "
                   "ORDER BY MoodID, ArtistKey"),
              "1|artist a|2|2|1.0|0.0|0\n"
              "1|björk|2|2|1.8|0.0|0\n"
              "2|artist a|1|1|0.1|0.0|0\n"
              "2|björk|1|0|0.0|0.0|1\n");

    // Another SQLite tool changes the catalog without the program's functions:
    // it clears the keys of what it renames, as the catalog's notes ask.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db,
                           "UPDATE tTrack SET Artist='Artist A', ArtistKey=NULL, "
                           "ArtistOrder=NULL WHERE ID=5",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
    ASSERT_TRUE(Connect()) << m_strError;
    EXPECT_EQ(Rows(Path(), "SELECT ArtistKey, ArtistOrder IS NOT NULL FROM tTrack WHERE ID=5"),
              "artist a|1\n");
    EXPECT_EQ(Rows(Path(),
                   "SELECT Rows, Rated, Worth FROM tArtistMood "
                   "WHERE MoodID=1 AND ArtistKey IN ('artist a', 'björk') ORDER BY 1"),
              "1|1|0.8\n3|3|2.0\n");
}

TEST_F(UpgradeTest, RestoresTheScanQueueIndexThatOlderCatalogsLack) {
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "DROP INDEX ixInfoReadPass", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_TRUE(Connect()) << m_strError;
    EXPECT_EQ(Rows(Path(), "SELECT name FROM sqlite_master WHERE name = 'ixInfoReadPass'"),
              "ixInfoReadPass\n");
}

TEST_F(UpgradeTest, AddsTheNotificationOptionSwitchedOnBesideTheUsersSettings) {
    ASSERT_TRUE(Connect()) << m_strError;
    EXPECT_EQ(Rows(Path(), "SELECT Name, ValueInt FROM tSettings ORDER BY Name"),
              "CloseCount|5\nDownload|0\nFirstUse|0\nNotify|1\nPlayer|1\nVoice|1\n");
}

TEST_F(UpgradeTest, UpgradedCatalogRemembersWatchedFoldersBesideItsRatings) {
    ASSERT_TRUE(Connect()) << m_strError;
    EXPECT_EQ(Rows(Path(), "SELECT Count(*) FROM tWatchedFolder"), "0\n");
    {
        CADODataBase database;
        ASSERT_TRUE(database.Connect(m_catalog.ConnectionString(), "", ""));
        EXPECT_TRUE(database.ExecuteStatement(
            "INSERT INTO tWatchedFolder(Path) VALUES ('/home/me/Music/')"));
        EXPECT_FALSE(database.ExecuteStatement(
            "INSERT INTO tWatchedFolder(Path) VALUES ('/home/me/Music/')"))
            << "each folder once";
        database.Disconnect();
    }
    ASSERT_TRUE(Connect()) << m_strError;
    EXPECT_EQ(Rows(Path(), "SELECT Path FROM tWatchedFolder"), "/home/me/Music/\n");
    EXPECT_EQ(Rows(Path(), "SELECT Count(*) FROM tTrackMood WHERE Rating IS NOT NULL"), "4\n");
}

TEST_F(UpgradeTest, FailedStepLeavesTheFileByteForByte) {
    const std::vector<char> before = Bytes(Path());
    std::vector<CatalogUpgradeStep> steps(BuiltInUpgradeSteps().begin(),
                                          BuiltInUpgradeSteps().end());
    steps.push_back({CurrentCatalogVersion() + 1, "999-broken",
                     "CREATE TABLE tNew (x INTEGER); CREATE TABLE tTrack (x INTEGER);"});

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    const CatalogUpgradeResult result = UpgradeCatalog(db, steps, BuiltInStoredQueries());
    sqlite3_close(db);

    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("999-broken"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("left as it was"), std::string::npos) << result.error;
    EXPECT_EQ(Bytes(Path()), before);
}

TEST_F(UpgradeTest, CatalogOfANewerVersionIsRefusedAndLeftAlone) {
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 999", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const std::vector<char> before = Bytes(Path());
    EXPECT_FALSE(Connect());
    EXPECT_NE(m_strError.find("newer version of Kavelin"), std::string::npos) << m_strError;
    EXPECT_EQ(Bytes(Path()), before);
}

TEST(UpgradeSteps, VersionsFollowEachOtherFromTheFirstCatalog) {
    int expected = 2;
    for (const CatalogUpgradeStep& step : BuiltInUpgradeSteps()) {
        EXPECT_EQ(step.version, expected++) << step.name;
    }
}

}  // namespace
}  // namespace kavelin::test
