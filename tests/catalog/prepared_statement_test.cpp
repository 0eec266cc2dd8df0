// CADOStatement: prepared once in the catalog dialect, run many times with
// values bound by position.
#include <gtest/gtest.h>

#include "catalog/ADOStatement.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

TEST(PreparedStatement, RunsTranslatedStatementsManyTimesAndBindsEmptyTextAsNull) {
    test::TestCatalog catalog;
    CADODataBase& db = catalog.Database();
    CADOStatement add(db, "INSERT INTO tInfoRead(Filename, Dir) VALUES (?, ?)");
    ASSERT_TRUE(add.IsValid()) << db.GetLastErrorText();
    for (const char* name : {"/a.mp3", "/it's.mp3", ""}) {
        add.Bind(1, std::string(name));
        add.Bind(2, std::int64_t{0});
        EXPECT_TRUE(add.Execute());
    }
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead WHERE Filename IS NULL"), 1);

    // The dialect is translated: TOP and True.
    CADOStatement first(db,
                        "SELECT TOP 1 Filename FROM tInfoRead WHERE Dir<>True ORDER BY Filename");
    ASSERT_TRUE(first.IsValid()) << db.GetLastErrorText();
    ASSERT_TRUE(first.Step());
    EXPECT_EQ(first.ColumnText(0), "");  // null reads as ""
    EXPECT_FALSE(first.Step());
    EXPECT_FALSE(first.Failed());
    first.Reset();
    ASSERT_TRUE(first.Step());  // runs again after a reset
    first.Reset();
}

TEST(PreparedStatement, FailuresAreStoredInTheDatabase) {
    test::TestCatalog catalog;
    CADODataBase& db = catalog.Database();
    CADOStatement broken(db, "SELECT Name FROM tNoSuchTable");
    EXPECT_FALSE(broken.IsValid());
    EXPECT_NE(db.GetLastErrorText().find("no such table: tNoSuchTable"), std::string::npos)
        << db.GetLastErrorText();
    EXPECT_FALSE(broken.Execute());
    EXPECT_FALSE(broken.Step());
    EXPECT_TRUE(broken.Failed());

    CADOStatement duplicateKey(db, "INSERT INTO tGenre(ID, Name) VALUES (1, 'Twice')");
    ASSERT_TRUE(duplicateKey.IsValid());
    EXPECT_FALSE(duplicateKey.Execute());
    EXPECT_EQ(db.GetLastError(), SqliteResultCode(19));  // constraint
}

}  // namespace
}  // namespace kavelin
