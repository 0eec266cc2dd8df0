// The download dialog on the offscreen platform, with a local similar-artists
// service behind its lookups.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <cstdlib>

#include "tests/acquisition/HttpTestServer.h"
#include "tests/acquisition/RecommenderRows.h"
#include "tests/support/TestCatalog.h"
#include "ui/DownloadDlg.h"

namespace kavelin {
namespace {

using test::HttpResponse;
using test::SeenRequest;
using test::WaitUntil;

class DownloadDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KAVELIN_SIMILAR_ARTISTS_HOST", server.Address().c_str(), 1);
        server.SetResponder([](const SeenRequest&) {
            return std::vector<std::string>{
                HttpResponse(200, "<td><a href=\"/music/Similar+One\">Similar One</a></td>")};
        });
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    }
    void TearDown() override {
        EXPECT_TRUE(test::WaitForLookupsToEnd());
        unsetenv("KAVELIN_SIMILAR_ARTISTS_HOST");
    }

    QLineEdit* Edit() { return dialog.findChild<QLineEdit*>("m_editArtist"); }
    QListWidget* List() { return dialog.findChild<QListWidget*>("m_listArtists"); }
    QPushButton* Button(const char* name) { return dialog.findChild<QPushButton*>(name); }

    // Types a name and presses Enter, as the user adds an artist.
    void Add(const QString& name) {
        Edit()->setText(name);
        QTest::keyClick(Edit(), Qt::Key_Return);
    }
    std::vector<std::string> Stored() { return test::RecommenderNames(catalog); }
    bool LookupsAnswered(std::size_t count) {
        return WaitUntil([&] { return server.Requests().size() >= count; }) && WaitUntil([&] {
                   return catalog.Scalar(
                              "SELECT Name FROM tRecommender WHERE Name='Similar One'") ==
                          "Similar One";
               });
    }

    test::TestCatalog catalog;
    test::HttpTestServer server;
    CDownloadDlg dialog{catalog.Database()};
};

TEST_F(DownloadDlgTest, ShowsItsTextsWithAddAsTheDefaultButton) {
    EXPECT_EQ(dialog.windowTitle(), "Download");
    EXPECT_EQ(Button("m_buttonAdd")->text(), "Add artist/band to list");
    EXPECT_TRUE(Button("m_buttonAdd")->isDefault());
    EXPECT_EQ(Button("m_buttonOk")->text(), "OK");
    EXPECT_TRUE(List()->count() == 0);
}

TEST_F(DownloadDlgTest, OkAtOnceStoresNothing) {
    QTest::mouseClick(Button("m_buttonOk"), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(Stored().empty());
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(DownloadDlgTest, SameNameTwiceIsListedTwiceAndStoredOnce) {
    Add("Abba");
    EXPECT_EQ(Edit()->text(), "Abba");  // the field keeps its text
    QTest::keyClick(Edit(), Qt::Key_Enter);
    EXPECT_EQ(dialog.Names(), (std::vector<std::string>{"Abba", "Abba"}));
    ASSERT_TRUE(LookupsAnswered(2));
    EXPECT_EQ(server.Requests()[0].target, "/similar/Abba");
    QTest::mouseClick(Button("m_buttonOk"), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(Stored(), (std::vector<std::string>{"Similar One", "Abba"}));
}

TEST_F(DownloadDlgTest, NamesAreSortedAndStoredInListOrder) {
    Add("gamma");
    Add("Alpha");
    Add("beta");
    ASSERT_TRUE(LookupsAnswered(3));
    EXPECT_EQ(dialog.Names(), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    QTest::mouseClick(Button("m_buttonOk"), Qt::LeftButton);
    EXPECT_EQ(Stored(), (std::vector<std::string>{"Similar One", "Alpha", "beta", "gamma"}));
}

TEST_F(DownloadDlgTest, NameWithAnApostropheIsStoredWithOne) {
    Add("Guns 'n' Roses");
    ASSERT_TRUE(LookupsAnswered(1));
    EXPECT_EQ(server.Requests()[0].target, "/similar/Guns%20%27n%27%20Roses");
    QTest::mouseClick(Button("m_buttonOk"), Qt::LeftButton);
    EXPECT_EQ(Stored(), (std::vector<std::string>{"Similar One", "Guns 'n' Roses"}));
}

TEST_F(DownloadDlgTest, EscapeStoresNoListedNameButTheLookupsGoOn) {
    Add("Abba");
    QTest::keyClick(Edit(), Qt::Key_Escape);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_TRUE(LookupsAnswered(1));
    EXPECT_EQ(Stored(), std::vector<std::string>{"Similar One"});
}

TEST_F(DownloadDlgTest, EmptyNameIsListedButNeitherLookedUpNorStored) {
    Add("");
    EXPECT_EQ(dialog.Names(), std::vector<std::string>{""});
    QTest::mouseClick(Button("m_buttonOk"), Qt::LeftButton);
    QTest::qWait(100);
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_TRUE(Stored().empty());
}

TEST_F(DownloadDlgTest, OnlyTheFirstHundredCharactersAreTaken) {
    Add(QString(150, QChar(u'x')));
    ASSERT_EQ(dialog.Names().size(), 1u);
    EXPECT_EQ(dialog.Names()[0], std::string(100, 'x'));
    // A character outside the basic plane is not cut in half.
    Add(QString(99, QChar(u'y')) + QString::fromUtf8("\xF0\x9F\x8E\xB8") + "z");
    EXPECT_EQ(dialog.Names()[1], std::string(99, 'y'));
}

}  // namespace
}  // namespace kavelin
