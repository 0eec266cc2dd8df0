#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "tests/support/TestCatalog.h"

// The shipped learning policy, run as the player runs it.
namespace kavelin {
namespace {

constexpr int kMood = 2;

struct Suggestion {
    long id = 0;
    double value = 0;
    int basis = 0;  // the first of columns 3 to 5 that is set
};

class QCounterTest : public ::testing::Test {
protected:
    int AddTrack(const std::string& artist, int genre = 1) {
        EXPECT_TRUE(db.ExecuteStatement(
            "INSERT INTO tTrack (Filename, Artist, Trackname, GenreID) VALUES ('/m/" +
            std::to_string(++m_nTracks) + ".mp3', '" + artist + "', 't', " + std::to_string(genre) +
            ")"));
        return static_cast<int>(m_catalog.ScalarLong("SELECT Max(ID) FROM tTrack"));
    }
    std::optional<Suggestion> Suggest() {
        CADOCommand command(db, "SELECT TOP 1 * FROM qCounter", 1);
        command.BindParameter("MoodID", 8, 1, 4, kMood);
        CADORecordset rs(db);
        EXPECT_TRUE(rs.RunCommand(command)) << rs.GetLastErrorText();
        if (rs.AtEnd()) {
            return std::nullopt;
        }
        Suggestion s;
        int flags[3] = {0, 0, 0};
        rs.ReadField(0, s.id);
        rs.ReadField(2, s.value);
        for (int column = 3; column <= 5; ++column) {
            rs.ReadField(column, flags[column - 3]);
        }
        s.basis = flags[0] == -1 ? 1 : flags[1] == -1 ? 2 : flags[2] == -1 ? 3 : 0;
        return s;
    }
    // Plays what the query suggests, `count` times; 0 where it suggests nothing.
    std::vector<long> Listen(int count) {
        std::vector<long> played;
        for (int i = 0; i < count; ++i) {
            const auto next = Suggest();
            played.push_back(next ? next->id : 0);
            if (next) {
                RecordPlay(db, kMood, static_cast<int>(next->id));
            }
        }
        return played;
    }

    // Out of the running, as a track whose file went missing.
    void Hide(int track) {
        ASSERT_TRUE(db.ExecuteStatement("UPDATE tTrack SET Deleted = True WHERE ID = " +
                                        std::to_string(track)));
    }

    test::TestCatalog m_catalog;
    CADODataBase& db = m_catalog.Database();
    int m_nTracks = 0;
};

TEST_F(QCounterTest, NothingKnownInTheMoodLeavesTheChoiceToTheUnratedDraw) {
    AddTrack("A");
    AddTrack("B");
    SetRating(db, kMood + 1, 1, kRatingAwesome);  // another mood's verdict says nothing here
    EXPECT_FALSE(Suggest());
}

TEST_F(QCounterTest, FavouritesTakeTurnsGoodOnesIncludedAndNoneReturnsWithinTwentyPlays) {
    std::set<long> good;
    for (int i = 0; i < 40; ++i) {
        const int track = AddTrack("Artist " + std::to_string(i));
        SetRating(db, kMood, track, i < 30 ? kRatingAwesome : kRatingGood);
        if (i >= 30) {
            good.insert(track);
        }
    }
    const auto played = Listen(100);
    std::map<long, int> lastSeen;
    std::set<long> goodHeard;
    for (int i = 0; i < static_cast<int>(played.size()); ++i) {
        ASSERT_NE(played[i], 0) << "a suggestion at every play";
        if (const auto last = lastSeen.find(played[i]); last != lastSeen.end()) {
            EXPECT_GT(i - last->second, 20) << "track " << played[i] << " came back too soon";
        }
        lastSeen[played[i]] = i;
        if (good.count(played[i])) {
            goodHeard.insert(played[i]);
        }
    }
    EXPECT_EQ(goodHeard, good) << "every Good track is heard within 100 selections";
}

TEST_F(QCounterTest, BadAndExcludedTracksAreNeverSuggested) {
    const int bad = AddTrack("A");
    const int excluded = AddTrack("A");
    const int normal = AddTrack("B");
    SetRating(db, kMood, bad, kRatingBad);
    SetRating(db, kMood, excluded, kRatingExcluded);
    SetRating(db, kMood, normal, kRatingNormal);
    const auto played = Listen(30);
    EXPECT_EQ(std::set<long>(played.begin(), played.end()), (std::set<long>{0, normal}));
}

TEST_F(QCounterTest, SkipsSinkATrackAndItsArtistUntilARatingOutranksThem) {
    for (const int rating : {kRatingAwesome, kRatingAwesome, kRatingGood}) {
        const int liked = AddTrack("Liked");
        SetRating(db, kMood, liked, rating);
        Hide(liked);
    }
    const int sibling = AddTrack("Liked");
    const int skipped = AddTrack("Liked");
    const int other = AddTrack("Other");
    const int otherSibling = AddTrack("Other");
    const int stranger = AddTrack("Stranger");
    // Two skips right at the start of one track of each artist.
    for (const int track : {skipped, other}) {
        for (const int position : {2000, 1000}) {
            RecordPlay(db, kMood, track);
            RecordSkip(db, kMood, track, position, 240000);
        }
    }
    ASSERT_TRUE(db.ExecuteStatement("UPDATE tCounter SET Counter = Counter + 300"));
    EXPECT_EQ(m_catalog.ScalarLong("SELECT count(*) FROM tTrackMood WHERE Rating IS NOT NULL"), 3)
        << "a skip is no rating";

    const auto guess = Suggest();
    ASSERT_TRUE(guess);
    EXPECT_EQ(guess->id, sibling) << "the unheard track of the liked artist comes first";
    EXPECT_EQ(guess->basis, 2);

    Hide(sibling);
    std::map<long, int> picks;
    for (int i = 0; i < 20; ++i) {
        ++picks[Suggest()->id];
    }
    EXPECT_EQ(picks[skipped], 0);
    EXPECT_EQ(picks[other], 0);
    EXPECT_GT(picks[stranger], picks[otherSibling]) << "an artist skipped here sinks";

    SetRating(db, kMood, skipped, kRatingAwesome);
    const auto rated = Suggest();
    ASSERT_TRUE(rated);
    EXPECT_EQ(rated->id, skipped) << "the later rating outranks the skips before it";
    EXPECT_EQ(rated->basis, 1);
    EXPECT_EQ(rated->value, 4.0);
}

}  // namespace
}  // namespace kavelin
