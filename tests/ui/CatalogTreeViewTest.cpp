#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>
#include <QTreeView>
#include <cstdlib>

#include "catalog/CatalogOperations.h"
#include "tests/support/TestCatalog.h"
#include "tests/ui/UiFakes.h"
#include "ui/CatalogTreeView.h"

namespace kavelin::test {
namespace {

class CatalogTreeViewTest : public ::testing::Test {
protected:
    int AddTrack(const std::string& artist, const std::string& title, bool deleted = false) {
        catalog.Database().ExecuteStatement(
            "INSERT INTO tTrack(Filename, Artist, Trackname, Deleted) VALUES ('/m/" +
            QuoteForSql(title) + "', '" + QuoteForSql(artist) + "', '" + QuoteForSql(title) +
            "', " + (deleted ? "True" : "False") + ")");
        return static_cast<int>(catalog.ScalarLong("SELECT Max(ID) FROM tTrack"));
    }

    QTreeView* Tree() { return window.Tree(); }
    CatalogModel& Model() { return *window.Model(); }

    QStringList Labels(const QModelIndex& parent) {
        QStringList labels;
        for (int i = 0; i < Model().rowCount(parent); ++i) {
            labels << Model().index(i, 0, parent).data().toString();
        }
        return labels;
    }
    QStringList Artists() { return Labels({}); }
    QModelIndex Artist(const QString& name) {
        const QModelIndexList found =
            Model().match(Model().index(0, 0), Qt::DisplayRole, name, 1, Qt::MatchExactly);
        return found.isEmpty() ? QModelIndex() : found.front();
    }
    static int Value(const QModelIndex& index) { return CatalogModel::Value(index); }

    // Edits the item's label in place, as the user does, ending with `key`.
    void Edit(const QModelIndex& item, const QString& text, Qt::Key key) {
        Tree()->setCurrentIndex(item);
        Tree()->edit(item);
        auto* editor = Tree()->findChild<QLineEdit*>();
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, key);
        QCoreApplication::processEvents();  // the commit is queued
        // The closed editor goes away now, so that the next edit finds its own.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    TestCatalog catalog;
    FakePlaybackEngine player;
    CCatalogTreeView window{catalog.Database(), player};
};

TEST_F(CatalogTreeViewTest, EmptyOrAllDeletedCatalogGivesAnEmptyTree) {
    window.show();
    EXPECT_EQ(Model().rowCount(), 0);
    window.hide();
    AddTrack("Gone", "Away", true);
    window.show();
    EXPECT_EQ(Model().rowCount(), 0);
}

TEST_F(CatalogTreeViewTest, ArtistsWaitWithAPlaceholderAndLoadTheirTracksOnce) {
    AddTrack("Beta", "Zulu");
    const int alpha = AddTrack("Alpha", "Yankee");
    AddTrack("beta", "Alpha song");
    AddTrack("Beta", "Deleted", true);
    window.show();
    EXPECT_EQ(Artists(), (QStringList{"Alpha", "Beta"})) << "names grouped ignoring case";
    const QModelIndex beta = Artist("Beta");
    ASSERT_TRUE(beta.isValid());
    EXPECT_EQ(Value(beta), ItemArtistPending);
    EXPECT_EQ(Labels(beta), QStringList{"Retrieving..."});
    EXPECT_EQ(Value(Model().index(0, 0, beta)), ItemPlaceholder);

    Tree()->expand(beta);
    EXPECT_EQ(Value(beta), ItemArtistLoaded);
    EXPECT_EQ(Labels(beta), (QStringList{"Alpha song", "Zulu"}));
    Tree()->collapse(beta);
    Tree()->expand(beta);
    EXPECT_EQ(Labels(beta), (QStringList{"Alpha song", "Zulu"})) << "no duplicates";

    Tree()->expand(Artist("Alpha"));
    EXPECT_EQ(Value(Model().index(0, 0, Artist("Alpha"))), alpha);
}

TEST_F(CatalogTreeViewTest, ArtistsAreReadInBatchesAsTheViewAsksForMore) {
    for (const char* artist : {"Echo", "alpha", "Delta", "Alpha", "charlie", "Bravo"}) {
        AddTrack(artist, "Song");
    }
    CatalogModel model(catalog.Database(), nullptr, 2);
    model.Reload();
    EXPECT_EQ(model.rowCount(), 2);
    QStringList names;
    while (model.canFetchMore({})) {
        model.fetchMore({});
    }
    for (int row = 0; row < model.rowCount(); ++row) {
        names << model.index(row, 0).data().toString();
    }
    EXPECT_EQ(names, (QStringList{"alpha", "Bravo", "charlie", "Delta", "Echo"}));
}

// Sets the language names are ordered in for as long as it lives, as the
// user's environment does, and connects the catalog anew in it.
class UserLanguage {
public:
    UserLanguage(CADODataBase& database, const char* locale) : m_database(database) {
        if (const char* previous = std::getenv("LC_ALL")) {
            m_previous = previous;
        }
        Use(locale);
    }
    ~UserLanguage() { Use(m_previous.empty() ? nullptr : m_previous.c_str()); }
    void Use(const char* locale) {
        locale ? ::setenv("LC_ALL", locale, 1) : ::unsetenv("LC_ALL");
        EXPECT_TRUE(m_database.Connect("", "", "")) << m_database.GetLastErrorText();
    }

private:
    CADODataBase& m_database;
    std::string m_previous;
};

TEST_F(CatalogTreeViewTest, ArtistsGroupIgnoringCaseInEveryScriptInTheOrderOfTheUsersLanguage) {
    AddTrack("Sigur R\u00f3s", "Hopp\u00edpolla");
    AddTrack("\u00d6st", "Ett");
    AddTrack("Bj\u00f6rk", "J\u00f3ga");
    AddTrack("\u00c9dith Piaf", "Padam");
    AddTrack("Zorn", "Spy");
    AddTrack("BJ\u00d6RK", "\u00c1rabar\u00f0");
    // The final sigma folds as any sigma.
    AddTrack("\u03a3\u038a\u03a3\u03a5\u03a6\u039f\u03a3", "Two");
    AddTrack("\u03c3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2", "One");
    const auto artists = [&] {
        CatalogModel model(catalog.Database(), nullptr, 2);  // batches that end mid-list
        model.Reload();
        while (model.canFetchMore({})) {
            model.fetchMore({});
        }
        QStringList names;
        for (int row = 0; row < model.rowCount(); ++row) {
            names << model.index(row, 0).data().toString();
        }
        return names;
    };
    UserLanguage language(catalog.Database(), "sv_SE.UTF-8");
    EXPECT_EQ(artists(), (QStringList{"BJ\u00d6RK", "\u00c9dith Piaf", "Sigur R\u00f3s", "Zorn",
                                      "\u00d6st", "\u03a3\u038a\u03a3\u03a5\u03a6\u039f\u03a3"}));
    language.Use("de_DE.UTF-8");
    EXPECT_EQ(artists(), (QStringList{"BJ\u00d6RK", "\u00c9dith Piaf", "\u00d6st", "Sigur R\u00f3s",
                                      "Zorn", "\u03a3\u038a\u03a3\u03a5\u03a6\u039f\u03a3"}));

    window.show();
    const QModelIndex bjork = Artist("BJ\u00d6RK");
    Tree()->expand(bjork);
    EXPECT_EQ(Labels(bjork), (QStringList{"\u00c1rabar\u00f0", "J\u00f3ga"}));
}

TEST_F(CatalogTreeViewTest, DoubleClickPlaysTracksButNotArtists) {
    const int id = AddTrack("Alpha", "One");
    window.show();
    const QModelIndex alpha = Artist("Alpha");
    Tree()->setCurrentIndex(alpha);
    window.PlayItem(alpha);
    EXPECT_TRUE(player.calls.empty());
    Tree()->expand(alpha);
    const QModelIndex track = Model().index(0, 0, alpha);
    window.PlayItem(track);
    EXPECT_TRUE(player.calls.empty()) << "only the selected item plays";
    Tree()->setCurrentIndex(track);
    emit Tree()->doubleClicked(track);
    EXPECT_EQ(player.calls, std::vector<std::string>{"PlayTrack " + std::to_string(id)});
}

TEST_F(CatalogTreeViewTest, TracksWithoutAnArtistSitUnderOneNodeThatExpandsAndRenames) {
    catalog.Database().ExecuteStatement(
        "INSERT INTO tTrack(Filename, Artist, Trackname, Deleted) VALUES ('/m/n', NULL, "
        "'Nameless', False)");
    AddTrack("", "Blank");
    AddTrack("Alpha", "One");
    window.show();
    EXPECT_EQ(Artists(), (QStringList{"(no artist)", "Alpha"}));
    const QModelIndex none = Artist("(no artist)");
    Tree()->expand(none);
    EXPECT_EQ(Labels(none), (QStringList{"Blank", "Nameless"}));
    const QModelIndex track = Model().index(0, 0, none);
    Tree()->setCurrentIndex(track);
    window.PlayItem(track);
    EXPECT_EQ(player.calls.size(), 1u);

    Edit(none, "Found", Qt::Key_Return);
    EXPECT_EQ(catalog.ScalarLong("SELECT Count(*) FROM tTrack WHERE Artist='Found'"), 2);
    window.hide();
    window.show();
    EXPECT_EQ(Artists(), (QStringList{"Alpha", "Found"}));
}

TEST_F(CatalogTreeViewTest, RenamingAnArtistMergesItWithTheOtherAtTheNextShow) {
    AddTrack("Alpha", "One");
    AddTrack("Bravo", "Two");
    AddTrack("Bravo", "Gone", true);
    window.show();
    Edit(Artist("Bravo"), "Alpha", Qt::Key_Return);
    EXPECT_EQ(Artists(), (QStringList{"Alpha", "Alpha"})) << "the tree waits for a rebuild";
    EXPECT_EQ(catalog.ScalarLong("SELECT Count(*) FROM tTrack WHERE Artist='Alpha'"), 3)
        << "deleted tracks are renamed too";
    window.hide();
    window.show();
    EXPECT_EQ(Artists(), QStringList{"Alpha"});
    Tree()->expand(Artist("Alpha"));
    EXPECT_EQ(Labels(Artist("Alpha")), (QStringList{"One", "Two"}));
}

TEST_F(CatalogTreeViewTest, ApostrophesAreStoredAsTyped) {
    const int id = AddTrack("Guns", "Patience");
    window.show();
    Edit(Artist("Guns"), "Guns 'n' Roses", Qt::Key_Return);
    EXPECT_EQ(catalog.Scalar("SELECT Artist FROM tTrack WHERE ID=" + std::to_string(id)),
              "Guns 'n' Roses");
    const QModelIndex artist = Artist("Guns 'n' Roses");
    Tree()->expand(artist);
    ASSERT_EQ(Model().rowCount(artist), 1)
        << "the renamed artist's tracks are found by its new name";
    Edit(Model().index(0, 0, artist), "Don't cry", Qt::Key_Return);
    EXPECT_EQ(catalog.Scalar("SELECT Trackname FROM tTrack WHERE ID=" + std::to_string(id)),
              "Don't cry");
    EXPECT_EQ(Model().index(0, 0, artist).data().toString(), "Don't cry");
}

TEST_F(CatalogTreeViewTest, EscapeOrAnEmptyNameChangesNothing) {
    const int id = AddTrack("Alpha", "One");
    window.show();
    Edit(Artist("Alpha"), "Omega", Qt::Key_Escape);
    EXPECT_EQ(Artists(), QStringList{"Alpha"});
    Edit(Artist("Alpha"), "", Qt::Key_Return);
    EXPECT_EQ(Artists(), QStringList{"Alpha"});
    EXPECT_EQ(catalog.Scalar("SELECT Artist FROM tTrack WHERE ID=" + std::to_string(id)), "Alpha");
}

TEST_F(CatalogTreeViewTest, ARenameTheCatalogRefusesKeepsTheOldLabel) {
    AddTrack("Alpha", "One");
    catalog.Database().ExecuteStatement(
        "CREATE TRIGGER refuse BEFORE UPDATE ON tTrack BEGIN SELECT RAISE(ABORT, 'no'); END");
    window.show();
    Edit(Artist("Alpha"), "Omega", Qt::Key_Return);
    EXPECT_EQ(Artists(), QStringList{"Alpha"});
}

TEST_F(CatalogTreeViewTest, ShowingRebuildsOnlyWhenItBecomesVisible) {
    AddTrack("Alpha", "One");
    window.show();
    AddTrack("Bravo", "Two");
    window.show();
    EXPECT_EQ(Artists(), QStringList{"Alpha"}) << "already visible: no rebuild";
    EXPECT_FALSE(window.close() && window.isVisible());
    EXPECT_FALSE(window.isVisible()) << "closing hides";
    window.show();
    EXPECT_EQ(Artists(), (QStringList{"Alpha", "Bravo"}));
}

TEST_F(CatalogTreeViewTest, ResizingKeepsATenPixelMargin) {
    window.show();
    window.resize(500, 400);
    QCoreApplication::processEvents();
    EXPECT_EQ(Tree()->geometry(), QRect(10, 10, 480, 380));
}

TEST_F(CatalogTreeViewTest, UnreadableCatalogGivesAnEmptyTree) {
    AddTrack("Alpha", "One");
    catalog.Database().Disconnect();
    window.show();
    EXPECT_EQ(Model().rowCount(), 0);
}

}  // namespace
}  // namespace kavelin::test
