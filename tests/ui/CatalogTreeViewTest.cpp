#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

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

    QTreeWidget* Tree() { return window.Tree(); }

    QStringList Labels(QTreeWidgetItem* parent) {
        QStringList labels;
        for (int i = 0; i < parent->childCount(); ++i) {
            labels << parent->child(i)->text(0);
        }
        return labels;
    }
    QStringList Artists() { return Labels(Tree()->invisibleRootItem()); }
    QTreeWidgetItem* Artist(const QString& name) {
        auto found = Tree()->findItems(name, Qt::MatchExactly);
        return found.isEmpty() ? nullptr : found.front();
    }

    // Edits the item's label in place, as the user does, ending with `key`.
    void Edit(QTreeWidgetItem* item, const QString& text, Qt::Key key) {
        Tree()->setCurrentItem(item);
        Tree()->editItem(item);
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
    EXPECT_EQ(Tree()->topLevelItemCount(), 0);
    window.hide();
    AddTrack("Gone", "Away", true);
    window.show();
    EXPECT_EQ(Tree()->topLevelItemCount(), 0);
}

TEST_F(CatalogTreeViewTest, ArtistsWaitWithAPlaceholderAndLoadTheirTracksOnce) {
    AddTrack("Beta", "Zulu");
    const int alpha = AddTrack("Alpha", "Yankee");
    AddTrack("beta", "Alpha song");
    AddTrack("Beta", "Deleted", true);
    window.show();
    EXPECT_EQ(Artists(), (QStringList{"Alpha", "Beta"})) << "names grouped ignoring case";
    QTreeWidgetItem* beta = Artist("Beta");
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(CCatalogTreeView::ItemValue(beta), ItemArtistPending);
    EXPECT_EQ(Labels(beta), QStringList{"Retrieving..."});
    EXPECT_EQ(CCatalogTreeView::ItemValue(beta->child(0)), ItemPlaceholder);

    beta->setExpanded(true);
    EXPECT_EQ(CCatalogTreeView::ItemValue(beta), ItemArtistLoaded);
    EXPECT_EQ(Labels(beta), (QStringList{"Alpha song", "Zulu"}));
    beta->setExpanded(false);
    beta->setExpanded(true);
    EXPECT_EQ(Labels(beta), (QStringList{"Alpha song", "Zulu"})) << "no duplicates";

    Artist("Alpha")->setExpanded(true);
    EXPECT_EQ(CCatalogTreeView::ItemValue(Artist("Alpha")->child(0)), alpha);
}

TEST_F(CatalogTreeViewTest, DoubleClickPlaysTracksButNotArtists) {
    const int id = AddTrack("Alpha", "One");
    window.show();
    QTreeWidgetItem* alpha = Artist("Alpha");
    Tree()->setCurrentItem(alpha);
    window.PlayItem(alpha);
    EXPECT_TRUE(player.calls.empty());
    alpha->setExpanded(true);
    QTreeWidgetItem* track = alpha->child(0);
    window.PlayItem(track);
    EXPECT_TRUE(player.calls.empty()) << "only the selected item plays";
    Tree()->setCurrentItem(track);
    emit Tree()->itemDoubleClicked(track, 0);
    EXPECT_EQ(player.calls, std::vector<std::string>{"PlayTrack " + std::to_string(id)});
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
    Artist("Alpha")->setExpanded(true);
    EXPECT_EQ(Labels(Artist("Alpha")), (QStringList{"One", "Two"}));
}

TEST_F(CatalogTreeViewTest, ApostrophesAreStoredAsTyped) {
    const int id = AddTrack("Guns", "Patience");
    window.show();
    Edit(Artist("Guns"), "Guns 'n' Roses", Qt::Key_Return);
    EXPECT_EQ(catalog.Scalar("SELECT Artist FROM tTrack WHERE ID=" + std::to_string(id)),
              "Guns 'n' Roses");
    QTreeWidgetItem* artist = Artist("Guns 'n' Roses");
    artist->setExpanded(true);
    ASSERT_EQ(artist->childCount(), 1) << "the renamed artist's tracks are found by its new name";
    Edit(artist->child(0), "Don't cry", Qt::Key_Return);
    EXPECT_EQ(catalog.Scalar("SELECT Trackname FROM tTrack WHERE ID=" + std::to_string(id)),
              "Don't cry");
    EXPECT_EQ(artist->child(0)->text(0), "Don't cry");
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

TEST_F(CatalogTreeViewTest, TracksWithoutAnArtistSitUnderOneNodeThatExpandsAndRenames) {
    catalog.Database().ExecuteStatement(
        "INSERT INTO tTrack(Filename, Artist, Trackname, Deleted) VALUES ('/m/n', NULL, "
        "'Nameless', False)");
    AddTrack("", "Blank");
    AddTrack("Alpha", "One");
    window.show();
    EXPECT_EQ(Artists(), (QStringList{"(no artist)", "Alpha"}));
    QTreeWidgetItem* none = Artist("(no artist)");
    none->setExpanded(true);
    EXPECT_EQ(Labels(none), (QStringList{"Blank", "Nameless"}));
    Tree()->setCurrentItem(none->child(0));
    window.PlayItem(none->child(0));
    EXPECT_EQ(player.calls.size(), 1u);

    Edit(none, "Found", Qt::Key_Return);
    EXPECT_EQ(catalog.ScalarLong("SELECT Count(*) FROM tTrack WHERE Artist='Found'"), 2);
    window.hide();
    window.show();
    EXPECT_EQ(Artists(), (QStringList{"Alpha", "Found"}));
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
    EXPECT_EQ(Tree()->topLevelItemCount(), 0);
}

}  // namespace
}  // namespace kavelin::test
