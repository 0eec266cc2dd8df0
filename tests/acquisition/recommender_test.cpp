// The similar-artists page scanner on a real catalog, and lookups against a
// local similar-artists service.
#include <gtest/gtest.h>

#include <QTest>
#include <chrono>
#include <cstdlib>

#include "acquisition/Recommender.h"
#include "tests/acquisition/HttpTestServer.h"
#include "tests/acquisition/RecommenderRows.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

using test::HttpResponse;
using test::SeenRequest;
using test::WaitUntil;

std::string Row(const std::string& name) {
    return "<tr><td><a href=\"/music/" + name + "\" class=\"artist\">" + name + "</a></td></tr>\n";
}

class RecommenderTest : public ::testing::Test {
protected:
    std::vector<std::string> Names() { return test::RecommenderNames(catalog); }
    void Scan(const std::string& block) { ScanSimilarArtistsBlock(catalog.Database(), block); }

    test::TestCatalog catalog;
};

TEST_F(RecommenderTest, ArtistsOfABlockAreAddedInPageOrderOnlyWhenNew) {
    AddRecommendedArtist(catalog.Database(), "Beta Band");
    Scan("<table>" + Row("Alpha") + Row("Beta Band") + Row("Gamma") + "</table>");
    EXPECT_EQ(Names(), (std::vector<std::string>{"Beta Band", "Alpha", "Gamma"}));
    // The same page again adds nothing and is no error.
    Scan("<table>" + Row("Alpha") + Row("BETA BAND") + Row("Gamma") + "</table>");
    EXPECT_EQ(Names().size(), 3u);
}

TEST_F(RecommenderTest, NamesAreTakenAsThePageShowsThem) {
    Scan(Row("Guns 'n' Roses") + Row(" Blank Edges ") + Row("Tom &amp; Jerry") + Row("True") +
         Row("Now") + Row("TOP 5; DROP TABLE tTrack"));
    EXPECT_EQ(Names(),
              (std::vector<std::string>{"Guns 'n' Roses", " Blank Edges ", "Tom &amp; Jerry",
                                        "True", "Now", "TOP 5; DROP TABLE tTrack"}));
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tTrack"), 0);  // the table is still there
}

TEST_F(RecommenderTest, EmptyLinkTextsAndLinksWithoutEndAddNothing) {
    Scan("<td><a href=\"/music/x\"></a></td>" + Row("Kept") + "<td><a href=\"/music/cut\">Cut");
    EXPECT_EQ(Names(), std::vector<std::string>{"Kept"});
}

TEST_F(RecommenderTest, ListKeepsItsNewestNamesOnly) {
    {
        CADOTransaction transaction(catalog.Database());
        for (int i = 0; i < kMaxRecommendedArtists; ++i) {
            AddRecommendedArtist(catalog.Database(), "Artist " + std::to_string(i));
        }
        transaction.Commit();
    }
    Scan(Row("New One") + Row("New Two") + Row("Artist 5"));
    const auto names = Names();
    ASSERT_EQ(names.size(), static_cast<std::size_t>(kMaxRecommendedArtists));
    EXPECT_EQ(names.front(), "Artist 2");  // the two oldest made room
    EXPECT_EQ(names.back(), "New Two");
}

TEST_F(RecommenderTest, LinkAtTheVeryStartOfABlockIsScanned) {
    Scan("<td><a href=\"/music/First\">First</a></td>" + Row("Second"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"First", "Second"}));
}

TEST_F(RecommenderTest, EntryCutByABlockBoundaryIsLost) {
    const std::string page = Row("Before") + Row("Split") + Row("After");
    const std::size_t cut = page.find("Split</a>") + 2;
    Scan(page.substr(0, cut));
    Scan(page.substr(cut));
    EXPECT_EQ(Names(), (std::vector<std::string>{"Before", "After"}));
}

TEST_F(RecommenderTest, OverlongNameIsNotAnArtist) {
    Scan(Row(std::string(256, 'n')) + Row(std::string(255, 'k')));
    EXPECT_EQ(Names(), std::vector<std::string>{std::string(255, 'k')});
}

TEST_F(RecommenderTest, PagesOfSeveralMegabytesAreScannedInBoundedTime) {
    // Thousands of links whose tags never end: every search must go on from
    // where the last one stopped, not from the start of the rest.
    std::string endless;
    while (endless.size() < 4 * 1024 * 1024) {
        endless += "<td><a href=\"/music/";
    }
    std::string filler(2 * 1024 * 1024, ' ');
    std::string large;
    for (int i = 0; i < 200; ++i) {
        large += filler.substr(0, 20000) + Row("Artist " + std::to_string(i));
    }
    const auto start = std::chrono::steady_clock::now();
    Scan(endless);
    Scan(large + filler);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_EQ(Names().size(), 200u);
}

TEST_F(RecommenderTest, AddressCarriesTheEscapedName) {
    setenv("KAVELIN_SIMILAR_ARTISTS_HOST", "http://127.0.0.1:1", 1);
    EXPECT_EQ(SimilarArtistsAddress("Simon & Garfunkel"),
              "http://127.0.0.1:1/similar/Simon%20%26%20Garfunkel");
    EXPECT_EQ(SimilarArtistsAddress("AC/DC?#"), "http://127.0.0.1:1/similar/AC%2FDC%3F%23");
    EXPECT_EQ(SimilarArtistsAddress("Mot\xC3\xB6rhead"),
              "http://127.0.0.1:1/similar/Mot%C3%B6rhead");
    unsetenv("KAVELIN_SIMILAR_ARTISTS_HOST");
}

class LookupTest : public RecommenderTest {
protected:
    void SetUp() override {
        setenv("KAVELIN_SIMILAR_ARTISTS_HOST", server.Address().c_str(), 1);
        server.SetResponder([](const SeenRequest& seen) {
            const std::string name = seen.target.substr(seen.target.rfind('/') + 1);
            return std::vector<std::string>{
                HttpResponse(200, "<table>" + Row("Like " + name) + Row("Common") + "</table>")};
        });
    }
    void TearDown() override {
        EXPECT_TRUE(test::WaitForLookupsToEnd());
        unsetenv("KAVELIN_SIMILAR_ARTISTS_HOST");
    }

    test::HttpTestServer server;
};

TEST_F(LookupTest, NameWithBlanksAndAmpersandReachesTheServiceEscaped) {
    QPointer<CUrlRequest> lookup =
        StartSimilarArtistLookup(catalog.Database(), "Simon & Garfunkel");
    ASSERT_NE(lookup, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return lookup == nullptr; }));  // released when done
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].method, "GET");
    EXPECT_EQ(server.Requests()[0].target, "/similar/Simon%20%26%20Garfunkel");
    EXPECT_EQ(Names(), (std::vector<std::string>{"Like Simon%20%26%20Garfunkel", "Common"}));
}

TEST_F(LookupTest, SeveralLookupsRunAtOnceAndEachIsReleased) {
    std::vector<QPointer<CUrlRequest>> lookups;
    for (const char* artist : {"One", "Two", "Three"}) {
        lookups.push_back(StartSimilarArtistLookup(catalog.Database(), artist));
    }
    ASSERT_TRUE(WaitUntil([&] {
        return std::all_of(lookups.begin(), lookups.end(),
                           [](const auto& l) { return l == nullptr; });
    }));
    EXPECT_EQ(server.Requests().size(), 3u);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tRecommender"), 4);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tRecommender WHERE Name='Common'"), 1);
}

TEST_F(LookupTest, LookupsEndedBeforeTheCatalogClosesWriteNothing) {
    std::vector<std::string> withheld;
    server.SetResponder([&withheld](const SeenRequest&) {
        withheld = {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", Row("Late")};
        return std::vector<std::string>{withheld[0]};
    });
    QPointer<CUrlRequest> lookup = StartSimilarArtistLookup(catalog.Database(), "Slow");
    ASSERT_TRUE(WaitUntil([&] { return !server.Requests().empty(); }));
    EXPECT_EQ(SimilarArtistLookupsUnderWay(), 1);
    EndSimilarArtistLookups();
    EXPECT_EQ(lookup, nullptr);
    EXPECT_EQ(SimilarArtistLookupsUnderWay(), 0);
    server.SendNextPiece();
    QTest::qWait(50);
    EXPECT_TRUE(Names().empty());
}

TEST_F(LookupTest, UnreachableServiceAddsNothing) {
    setenv("KAVELIN_SIMILAR_ARTISTS_HOST", test::UnreachableAddress().c_str(), 1);
    QPointer<CUrlRequest> lookup = StartSimilarArtistLookup(catalog.Database(), "Nobody");
    ASSERT_NE(lookup, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return lookup == nullptr; }));
    EXPECT_TRUE(Names().empty());
}

}  // namespace
}  // namespace kavelin
