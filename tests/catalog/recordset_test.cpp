// The access layer's contract: which operations catch and which raise, the
// field conversions, table mode, commands and the error texts.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <future>
#include <thread>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "catalog/ConnectionPool.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

class AccessLayer : public ::testing::Test {
protected:
    test::TestCatalog catalog;
    CADODataBase& db = catalog.Database();
};

TEST_F(AccessLayer, ConnectWithEmptyStringReusesTheLastOne) {
    db.Disconnect();
    EXPECT_FALSE(db.IsConnected());
    ASSERT_TRUE(db.Connect("", "", "")) << db.GetLastErrorText();
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tCounter"), 1);
}

TEST_F(AccessLayer, ClosingThePoolNeverClosesAConnectionAnotherThreadUses) {
    ConnectionPool pool(catalog.CatalogPath().string());
    std::promise<void> opened;
    std::promise<void> closed;
    sqlite3* held = nullptr;
    sqlite3* handedOutAfterwards = nullptr;
    int useAfterwards = -1;
    std::thread other([&] {
        std::uint32_t code = 0;
        std::string description;
        held = pool.ForThisThread(code, description);
        opened.set_value();
        closed.get_future().wait();
        // The thread may be in the middle of a statement when the pool closes.
        useAfterwards =
            sqlite3_exec(held, "SELECT Count(*) FROM tCounter", nullptr, nullptr, nullptr);
        handedOutAfterwards = pool.ForThisThread(code, description);
    });
    opened.get_future().wait();
    pool.CloseAll();
    closed.set_value();
    other.join();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(handedOutAfterwards, nullptr) << "a closed pool hands out no connection";
    EXPECT_EQ(useAfterwards, SQLITE_OK);
}

TEST_F(AccessLayer, ConnectNeverCreatesAMissingCatalog) {
    CADODataBase other;
    const auto missing = catalog.Directory() / "none" / "Kavelin.mdb";
    EXPECT_FALSE(other.Connect("Provider=x;Data Source=" + missing.string() + ";", "", ""));
    EXPECT_FALSE(std::filesystem::exists(missing));
    const std::string text = other.GetLastErrorText();
    EXPECT_EQ(text.rfind("Connection String = Provider=x;Data Source=", 0), 0u) << text;
    EXPECT_NE(text.find("\nCADODataBase Error\n\tCode = a051000e\n\tCode meaning = unable to open "
                        "database file\n"
                        "\tSource = SQLite\n\tDescription = "),
              std::string::npos)
        << text;
    EXPECT_EQ(other.GetLastError(), SqliteResultCode(14));
}

TEST_F(AccessLayer, StatementFailureIsCaughtAndDescribed) {
    EXPECT_FALSE(db.ExecuteStatement("UPDATE tNoSuchTable SET x=1"));
    EXPECT_EQ(db.GetLastError(), SqliteResultCode(1));
    EXPECT_NE(db.GetLastErrorText().find("Description = no such table: tNoSuchTable"),
              std::string::npos);

    CADORecordset rs(db);
    EXPECT_FALSE(rs.OpenSource("  SELECT nothing FROM tMood", CADORecordset::SourceQuery));
    EXPECT_EQ(rs.GetLastErrorText().rfind(
                  "Query = SELECT nothing FROM tMood\nCADORecordset Error\n\tCode = a0510001\n", 0),
              0u)
        << rs.GetLastErrorText();
    // The next navigation on the failed result raises, carrying code and description.
    try {
        rs.AtEnd();
        FAIL() << "AtEnd on a closed result must raise";
    } catch (const CADOException& error) {
        EXPECT_EQ(error.Code(), 0x800A0E78u);
        EXPECT_FALSE(error.Description().empty());
    }
    EXPECT_FALSE(rs.OpenSource("tMood", 7));
}

TEST(ErrorTexts, CodeMeaningsAndNullParts) {
    EXPECT_EQ(CodeMeaning(0x80004003u), "Invalid pointer");
    EXPECT_EQ(CodeMeaning(0x80040205u), "IDispatch error #5");
    EXPECT_EQ(CodeMeaning(0x800A0BCDu), "Unknown error 0x800A0BCD");
    EXPECT_EQ(CodeMeaning(SqliteResultCode(5)), "database is locked");
    EXPECT_EQ(FormatErrorBlock("CADOCommand", 0x80004003u, "", ""),
              "CADOCommand Error\n\tCode = 80004003\n\tCode meaning = Invalid pointer\n\tSource = "
              "(null)\n"
              "\tDescription = (null)\n");
}

TEST_F(AccessLayer, OperationsOnADisconnectedCatalogFailWithInvalidPointer) {
    CADODataBase never;
    EXPECT_FALSE(never.ExecuteStatement("SELECT 1"));
    EXPECT_EQ(never.GetLastError(), kInvalidPointer);
    CADORecordset rs(never);
    EXPECT_FALSE(rs.OpenSource("SELECT 1", CADORecordset::SourceQuery));
    EXPECT_EQ(rs.GetLastError(), kInvalidPointer);
}

TEST_F(AccessLayer, ReopenLeadingBlanksCountAndMoves) {
    CADORecordset rs(db);
    ASSERT_TRUE(
        rs.OpenSource("   SELECT ID, Name FROM tMood ORDER BY ID", CADORecordset::SourceAuto));
    EXPECT_EQ(rs.GetSource(), "SELECT ID, Name FROM tMood ORDER BY ID");
    const long moods = rs.CountRows();
    EXPECT_GE(moods, 6);
    rs.MoveLast();
    long id = 0;
    rs.ReadField(0, id);
    EXPECT_EQ(id, moods);
    rs.MoveNext();
    EXPECT_TRUE(rs.AtEnd());
    EXPECT_THROW(rs.MoveNext(), CADOException);
    // An empty source reopens the previous one.
    ASSERT_TRUE(rs.OpenSource("", CADORecordset::SourceQuery));
    rs.MoveToPosition(2);
    std::string name;
    EXPECT_TRUE(rs.ReadField("NAME", name));
    EXPECT_EQ(name, "Happy");
    EXPECT_THROW(rs.MoveToPosition(moods + 1), CADOException);

    ASSERT_TRUE(rs.OpenSource("SELECT * FROM tTrack", CADORecordset::SourceQuery));
    EXPECT_EQ(rs.CountRows(), 0);
    EXPECT_TRUE(rs.AtEnd());
    EXPECT_THROW(rs.MoveLast(), CADOException);
    long unchanged = 42;
    EXPECT_FALSE(rs.ReadField(0, unchanged));  // no current row: caught, value kept
    EXPECT_EQ(unchanged, 42);
}

TEST_F(AccessLayer, FieldConversions) {
    ASSERT_TRUE(
        db.ExecuteStatement("INSERT INTO tTrackMood(MoodID, TrackID, Rating, LastPlayed) VALUES "
                            "(1, 2, -1, '2024-03-05 07:08:09')"));
    ASSERT_TRUE(
        db.ExecuteStatement("INSERT INTO tTrack(Filename, Deleted) VALUES ('/x.mp3', True)"));
    CADORecordset rs(db);
    ASSERT_TRUE(
        rs.OpenSource("SELECT t.Deleted, tm.Rating, tm.LastPlayed, tm.Played, 2.5, 'text', NULL, "
                      "3000000000 FROM tTrack t, tTrackMood tm",
                      CADORecordset::SourceQuery));
    // Yes/no: -1 as integer, no text reading (the text is left as it was).
    int flag = 0;
    EXPECT_TRUE(rs.ReadField(0, flag));
    EXPECT_EQ(flag, -1);
    std::string text = "kept";
    EXPECT_FALSE(rs.ReadField(0, text));
    EXPECT_EQ(text, "kept");
    long asLong = 0;
    EXPECT_FALSE(rs.ReadField(0, asLong));

    EXPECT_TRUE(rs.ReadField(1, text));
    EXPECT_EQ(text, "-1");
    EXPECT_TRUE(rs.ReadField(2, text));
    EXPECT_EQ(text, "2024-03-05 07:08:09");
    EXPECT_TRUE(rs.ReadField(2, text, "%d.%m.%Y"));
    EXPECT_EQ(text, "05.03.2024");
    EXPECT_TRUE(rs.ReadField(3, text));  // Played defaults to 0 for a rating row
    EXPECT_EQ(text, "0");
    double number = 0;
    EXPECT_TRUE(rs.ReadField(4, number));
    EXPECT_EQ(number, 2.5);
    EXPECT_TRUE(rs.ReadField(4, text));
    EXPECT_EQ(text, "2.5");
    EXPECT_TRUE(rs.ReadField(5, number));
    EXPECT_EQ(number, 0.0);  // a text has no number reading: 0
    int fromNull = 9;
    EXPECT_TRUE(rs.ReadField(6, fromNull));
    EXPECT_EQ(fromNull, 0);
    EXPECT_TRUE(rs.ReadField(6, text));
    EXPECT_EQ(text, "");
    int narrow = 0;
    EXPECT_FALSE(rs.ReadField(7, narrow));  // wider than 32 bits: no integer reading
    EXPECT_TRUE(rs.ReadField(7, asLong));
    EXPECT_EQ(asLong, 3000000000L);
    EXPECT_FALSE(rs.ReadField("NoSuchField", text));
}

TEST_F(AccessLayer, AddingRowsInTableMode) {
    CADORecordset rs(db);
    ASSERT_TRUE(rs.OpenSource("tInfoRead", CADORecordset::SourceTable));
    EXPECT_FALSE(rs.WriteField(0, std::string("/early.mp3")));  // before BeginNewRow: refused
    EXPECT_TRUE(rs.SaveRow());                                  // nothing pending: true
    ASSERT_TRUE(rs.BeginNewRow());
    EXPECT_EQ(rs.GetEditState(), CADORecordset::EditAdding);
    EXPECT_TRUE(rs.WriteField(0, std::string("/music/O'Brien/")));
    EXPECT_TRUE(rs.WriteField(1, std::int16_t{1}));
    EXPECT_TRUE(rs.SaveRow());
    EXPECT_EQ(rs.GetEditState(), CADORecordset::EditNone);
    EXPECT_EQ(rs.CountRows(), 1);
    rs.CloseSource();
    EXPECT_EQ(catalog.Scalar("SELECT Filename FROM tInfoRead WHERE Dir=True"), "/music/O'Brien/");

    ASSERT_TRUE(rs.OpenSource("tTrack", CADORecordset::SourceTable));
    ASSERT_TRUE(rs.BeginNewRow());
    rs.WriteField("Filename", std::string("/t.mp3"));
    rs.WriteField("Artist", std::string(""));  // empty text is stored as null
    rs.WriteField("GenreID", std::int32_t{255});
    ASSERT_TRUE(rs.SaveRow());
    EXPECT_EQ(
        catalog.ScalarLong("SELECT COUNT(*) FROM tTrack WHERE Artist IS NULL AND Deleted = 0"), 1);

    // A row the catalog refuses is cancelled and reported.
    ASSERT_TRUE(rs.OpenSource("tTrackMood", CADORecordset::SourceTable));
    ASSERT_TRUE(rs.BeginNewRow());
    rs.WriteField("Rating", std::int32_t{3});  // MoodID and TrackID are required
    EXPECT_FALSE(rs.SaveRow());
    EXPECT_EQ(rs.GetEditState(), CADORecordset::EditNone);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tTrackMood"), 0);

    // A pending row is cancelled when the result closes.
    ASSERT_TRUE(rs.OpenSource("tInfoRead", CADORecordset::SourceTable));
    ASSERT_TRUE(rs.BeginNewRow());
    rs.WriteField(0, std::string("/never.mp3"));
    rs.CloseSource();
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead"), 1);

    CADORecordset query(db);
    ASSERT_TRUE(query.OpenSource("SELECT * FROM tInfoRead", CADORecordset::SourceQuery));
    EXPECT_THROW(query.BeginNewRow(), CADOException);
}

TEST_F(AccessLayer, SeekFirstMatchInTableMode) {
    CADORecordset rs(db);
    ASSERT_TRUE(rs.OpenSource("tTrack", CADORecordset::SourceTable));
    EXPECT_THROW(rs.SeekFirstMatch("ID=1"), CADOException);  // empty table: no first row to move to
    for (const char* print : {"AB", "C'D", "EF"}) {
        ASSERT_TRUE(
            db.ExecuteStatement("INSERT INTO tTrack(Filename, FingerPrint) VALUES ('/f', '" +
                                QuoteForSql(print) + "')"));
    }
    ASSERT_TRUE(rs.OpenSource("tTrack", CADORecordset::SourceTable));
    EXPECT_EQ(rs.CountRows(), 3);
    ASSERT_TRUE(rs.SeekFirstMatch("FingerPrint='" + QuoteForSql("C'D") + "'"));
    long id = 0;
    rs.ReadField("ID", id);
    EXPECT_EQ(id, 2);
    rs.MoveNext();  // the walk goes on from the found row
    rs.ReadField("ID", id);
    EXPECT_EQ(id, 3);
    EXPECT_FALSE(rs.SeekFirstMatch("FingerPrint='ab'"));  // fingerprints compare exactly
    EXPECT_TRUE(rs.AtEnd());
    EXPECT_TRUE(rs.SeekFirstMatch("ID=1"));
    std::string print;
    rs.ReadField("FingerPrint", print);
    EXPECT_EQ(print, "AB");

    // The criterion runs through an index, not a walk over the table.
    CADORecordset plan(db);
    ASSERT_TRUE(plan.OpenSource(
        "EXPLAIN QUERY PLAN SELECT min(rowid) FROM \"tTrack\" WHERE FingerPrint='x'",
        CADORecordset::SourceQuery));
    std::string detail;
    plan.ReadField("detail", detail);
    EXPECT_NE(detail.find("ixTrackFingerPrint"), std::string::npos) << detail;
}

TEST_F(AccessLayer, CommandParameters) {
    CADOCommand command(db, "SELECT Name FROM tMood WHERE ID = :MoodID", 1);
    EXPECT_FALSE(command.BindParameter("MoodID", 12, 1, 4, 1));  // a variant cannot carry it
    EXPECT_EQ(command.GetLastErrorText().rfind("CADOCommand Error\n\tCode = 80070057\n", 0), 0u);
    EXPECT_FALSE(
        command.BindParameter("MoodID", 3, 2, 4, 1));  // output parameters make no sense here
    EXPECT_FALSE(command.BindParameter("", 3, 1, 4, 1));
    ASSERT_TRUE(command.BindParameter("MoodID", 8, 1, 4, 2));
    CADORecordset rs(db);
    ASSERT_TRUE(rs.RunCommand(command));
    std::string name;
    rs.ReadField(0, name);
    EXPECT_EQ(name, "Happy");
}

}  // namespace
}  // namespace kavelin
