// The catalog dialect, point by point: how each construct is rewritten, and
// that the rewritten statement means the same on a real catalog.
#include <gtest/gtest.h>

#include "catalog/ADORecordset.h"
#include "catalog/JetTranslator.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

std::string T(const std::string& statement) {
    return JetTranslator::Translate(statement);
}

TEST(JetTranslator, TopBecomesLimitOfTheSameQueryLevel) {
    EXPECT_EQ(T("SELECT TOP 1 * FROM tMood ORDER BY Name"),
              "SELECT * FROM tMood ORDER BY Name LIMIT 1");
    // The limit belongs to the outer query, after the subquery's closing parenthesis.
    EXPECT_EQ(T("INSERT INTO tRecommender(Name) SELECT TOP 1 'a' FROM tCounter WHERE NOT EXISTS "
                "(SELECT * From tRecommender WHERE Name='a')"),
              "INSERT INTO tRecommender(Name) SELECT 'a' FROM tCounter WHERE NOT EXISTS "
              "(SELECT * From tRecommender WHERE Name='a') LIMIT 1");
    // A TOP inside a subquery limits only the subquery.
    EXPECT_EQ(T("SELECT x FROM (SELECT TOP 3 x FROM t ORDER BY x) s"),
              "SELECT x FROM (SELECT x FROM t ORDER BY x LIMIT 3) s");
}

TEST(JetTranslator, NowTrueAndFalseAsBareWordsOnly) {
    EXPECT_EQ(T("UPDATE tRecommender SET LastDownloaded=Now WHERE ID=3"),
              "UPDATE tRecommender SET LastDownloaded=datetime('now','localtime') WHERE ID=3");
    EXPECT_EQ(T("SELECT Now()"), "SELECT datetime('now','localtime')");
    EXPECT_EQ(T("UPDATE tTrack SET Deleted = True WHERE Deleted = False"),
              "UPDATE tTrack SET Deleted = -1 WHERE Deleted = 0");
    // Inside texts and as qualified names they stay as they are.
    EXPECT_EQ(T("SELECT 'True Now False' FROM t WHERE t.True = 1"),
              "SELECT 'True Now False' FROM t WHERE t.True = 1");
}

TEST(JetTranslator, DeleteThroughAJoinBecomesExists) {
    EXPECT_EQ(T("DELETE i.* FROM tInfoRead i INNER JOIN tTrack t ON i.Filename=t.Filename"),
              "DELETE FROM tInfoRead AS i WHERE EXISTS (SELECT 1 FROM tTrack t WHERE "
              "(i.Filename=t.Filename))");
    EXPECT_EQ(T("DELETE * FROM tInfoRead WHERE Dir=True"), "DELETE FROM tInfoRead WHERE Dir=-1");
}

TEST(JetTranslator, SetLosesItsQualifierAndFinalSemicolonGoes) {
    EXPECT_EQ(T("UPDATE tCounter SET tCounter.[Counter] = Counter+1;"),
              "UPDATE tCounter SET [Counter] = Counter+1");
    EXPECT_EQ(T("UPDATE t SET t.a = x.b, t.c = 1 WHERE t.d = 2"),
              "UPDATE t SET a = x.b, c = 1 WHERE t.d = 2");
}

TEST(JetTranslator, ApostrophesInTextsAreNeverTouched) {
    const std::string statement = "SELECT ID FROM tMood WHERE Name='Guns ''n'' Roses; TOP 1 Now'";
    EXPECT_EQ(T(statement), statement);
}

TEST(JetTranslator, StoredQueriesExpandInPlaceWithTheirDialect) {
    const auto lookup = [](const std::string& name) -> std::optional<std::string> {
        if (name == "qBest") {
            return "SELECT TOP 2 ID FROM tTrack WHERE Deleted = False;";
        }
        if (name == "qLoop") {
            return "SELECT * FROM qLoop";
        }
        return std::nullopt;
    };
    EXPECT_EQ(JetTranslator::Translate("SELECT TOP 1 * FROM qBest", lookup),
              "SELECT * FROM (SELECT ID FROM tTrack WHERE Deleted = 0 LIMIT 2) AS qBest LIMIT 1");
    // A query that names itself is expanded a bounded number of times, never for ever.
    EXPECT_NO_THROW(JetTranslator::Translate("SELECT * FROM qLoop", lookup));
    // A column that happens to bear a query's name is not expanded.
    EXPECT_EQ(JetTranslator::Translate("SELECT qBest FROM t", lookup), "SELECT qBest FROM t");
}

// The same points, run on a catalog.
class DialectOnCatalog : public ::testing::Test {
protected:
    test::TestCatalog catalog;
    CADODataBase& db = catalog.Database();

    bool Exec(const std::string& sql) {
        const bool ok = db.ExecuteStatement(sql);
        EXPECT_TRUE(ok) << sql << "\n" << db.GetLastErrorText();
        return ok;
    }
    std::vector<std::string> Column(const std::string& sql) {
        CADORecordset rs(db);
        EXPECT_TRUE(rs.OpenSource(sql, CADORecordset::SourceQuery)) << rs.GetLastErrorText();
        std::vector<std::string> values;
        while (rs.IsOpen() && !rs.AtEnd()) {
            std::string value;
            rs.ReadField(0, value);
            values.push_back(value);
            rs.MoveNext();
        }
        return values;
    }
};

TEST_F(DialectOnCatalog, TopNowAndBooleans) {
    EXPECT_EQ(Column("SELECT TOP 2 Name FROM tMood ORDER BY ID").size(), 2u);
    Exec("INSERT INTO tRecommender(Name) VALUES ('x')");
    Exec("UPDATE tRecommender SET LastDownloaded=Now WHERE Name='x'");
    const auto stamp = Column("SELECT LastDownloaded FROM tRecommender WHERE Name='x'");
    ASSERT_EQ(stamp.size(), 1u);
    EXPECT_EQ(stamp[0].size(), 19u);  // YYYY-MM-DD HH:MM:SS
    EXPECT_EQ(stamp[0], Column("SELECT Now()")[0].substr(0, 19));

    Exec("INSERT INTO tInfoRead(Filename) VALUES ('/a.mp3')");
    Exec("INSERT INTO tInfoRead(Filename, Dir) VALUES ('/d/', True)");
    // Files (False, 0) come before directories (True, -1) in descending order.
    EXPECT_EQ(Column("SELECT Filename FROM tInfoRead ORDER BY Dir DESC"),
              (std::vector<std::string>{"/a.mp3", "/d/"}));
    EXPECT_EQ(Column("SELECT Filename FROM tInfoRead WHERE Dir=True"),
              std::vector<std::string>{"/d/"});
}

TEST_F(DialectOnCatalog, NullsFirstGroupingAndCaseBlindNames) {
    Exec("INSERT INTO tRecommender(Name, LastDownloaded) VALUES ('used', '2020-01-01 10:00:00')");
    Exec("INSERT INTO tRecommender(Name) VALUES ('fresh')");
    EXPECT_EQ(Column("SELECT TOP 1 tRecommender.Name FROM tRecommender ORDER BY "
                     "tRecommender.LastDownloaded, tRecommender.ID"),
              std::vector<std::string>{"fresh"});

    Exec("INSERT INTO tTrack(Filename, Artist) VALUES ('/1.mp3', 'ABBA')");
    Exec("INSERT INTO tTrack(Filename, Artist) VALUES ('/2.mp3', 'abba')");
    Exec("INSERT INTO tTrack(Filename, Artist) VALUES ('/3.mp3', 'Beck')");
    EXPECT_EQ(
        Column("SELECT Artist FROM tTrack WHERE Deleted=0 GROUP BY Artist ORDER BY Artist").size(),
        2u);
    EXPECT_EQ(Column("SELECT ID FROM tTrack WHERE Artist='Abba'").size(), 2u);
    EXPECT_EQ(Column("SELECT COUNT(*) FROM TTRACK WHERE TRACKNAME IS NULL")[0], "3");
    // File names are case-sensitive on this system.
    EXPECT_EQ(Column("SELECT ID FROM tTrack WHERE Filename='/1.MP3'").size(), 0u);
}

TEST_F(DialectOnCatalog, BracketsSemicolonsAndNestedOuterJoins) {
    Exec("UPDATE tCounter SET tCounter.[Counter] = Counter+1;");
    EXPECT_EQ(Column("SELECT [Counter] FROM TCounter;")[0], "1");
    Exec("INSERT INTO tInfoRead(Filename) VALUES ('/in-track.mp3')");
    Exec("INSERT INTO tInfoRead(Filename) VALUES ('/in-dup.mp3')");
    Exec("INSERT INTO tInfoRead(Filename) VALUES ('/new.mp3')");
    Exec("INSERT INTO tInfoRead(Filename) VALUES ('/new.mp3')");
    Exec("INSERT INTO tTrack(Filename) VALUES ('/in-track.mp3')");
    Exec("INSERT INTO tDuplicate(Filename) VALUES ('/in-dup.mp3')");
    EXPECT_EQ(
        Column(
            "SELECT i.Filename, i.Dir FROM (tInfoRead i LEFT OUTER JOIN tTrack t ON "
            "i.Filename=t.Filename) LEFT OUTER JOIN tDuplicate d ON i.Filename=d.Filename "
            "WHERE t.ID IS NULL AND d.ID IS NULL GROUP BY i.Filename, i.Dir ORDER BY i.Dir DESC"),
        std::vector<std::string>{"/new.mp3"});
    Exec("DELETE i.* FROM tInfoRead i INNER JOIN tTrack t ON i.Filename=t.Filename");
    Exec("DELETE i.* FROM tInfoRead i INNER JOIN tDuplicate d ON i.Filename=d.Filename");
    EXPECT_EQ(Column("SELECT Filename FROM tInfoRead GROUP BY Filename"),
              std::vector<std::string>{"/new.mp3"});
}

TEST_F(DialectOnCatalog, GuardedInsertAddsOneRowOnlyWhenAbsent) {
    const std::string insert =
        "INSERT INTO tRecommender(Name) SELECT TOP 1 'Guns ''n'' Roses' FROM tCounter WHERE NOT "
        "EXISTS (SELECT * From tRecommender WHERE Name='Guns ''n'' Roses')";
    Exec(insert);
    Exec(insert);
    EXPECT_EQ(Column("SELECT Name FROM tRecommender"), std::vector<std::string>{"Guns 'n' Roses"});
    // Without the counter row there is no source row, so nothing is inserted.
    Exec("DELETE FROM tCounter");
    Exec(
        "INSERT INTO tRecommender(Name) SELECT TOP 1 'Other' FROM tCounter WHERE NOT EXISTS "
        "(SELECT * From tRecommender WHERE Name='Other')");
    EXPECT_EQ(Column("SELECT COUNT(*) FROM tRecommender")[0], "1");
}

}  // namespace
}  // namespace kavelin
