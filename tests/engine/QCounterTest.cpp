#include <gtest/gtest.h>

#include <optional>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "tests/support/TestCatalog.h"

// The shipped learning policy, run as the player runs it.
namespace kavelin {
namespace {

constexpr int kMood = 2;
constexpr int kOtherMood = 3;

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
    void AdvanceCounter(int plays) {
        ASSERT_TRUE(db.ExecuteStatement("UPDATE tCounter SET Counter = Counter + " +
                                        std::to_string(plays)));
    }
    // The query may hold back on purpose to leave room for discovery; 60 runs
    // make a suggestion that exists all but certain to appear.
    std::optional<Suggestion> Suggest(int mood = kMood) {
        for (int run = 0; run < 60; ++run) {
            CADOCommand command(db, "SELECT TOP 1 * FROM qCounter", 1);
            command.BindParameter("MoodID", 8, 1, 4, mood);
            CADORecordset rs(db);
            EXPECT_TRUE(rs.RunCommand(command)) << rs.GetLastErrorText();
            if (rs.AtEnd()) {
                continue;
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
        return std::nullopt;
    }

    test::TestCatalog m_catalog;
    CADODataBase& db = m_catalog.Database();
    int m_nTracks = 0;
};

TEST_F(QCounterTest, FavouritesComeBackAfterTheirGapAndBadOrExcludedNever) {
    const int awesome = AddTrack("A");
    const int good = AddTrack("B");
    const int bad = AddTrack("C");
    const int excluded = AddTrack("D");
    for (const auto& [track, rating] : {std::pair{awesome, kRatingAwesome},
                                        {good, kRatingGood},
                                        {bad, kRatingBad},
                                        {excluded, kRatingExcluded}}) {
        RecordPlay(db, kMood, track);
        SetRating(db, kMood, track, rating);
    }
    AdvanceCounter(100);

    auto first = Suggest();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, awesome);
    EXPECT_EQ(first->value, 4.0);
    EXPECT_EQ(first->basis, 1);

    RecordPlay(db, kMood, awesome);
    auto second = Suggest();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->id, good) << "the favourite rests";
    EXPECT_EQ(second->basis, 1);

    RecordPlay(db, kMood, good);
    EXPECT_FALSE(Suggest()) << "only Bad and excluded tracks are left";

    AdvanceCounter(20);  // the Awesome track was played 21 plays ago
    EXPECT_FALSE(Suggest());
    AdvanceCounter(1);
    auto back = Suggest();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->id, awesome);

    // A play in another mood counts for the gap too.
    RecordPlay(db, kOtherMood, awesome);
    AdvanceCounter(20);
    auto afterOtherMood = Suggest();
    ASSERT_TRUE(afterOtherMood);
    EXPECT_EQ(afterOtherMood->id, good);
}

TEST_F(QCounterTest, UnratedTracksAreGuessedFromTheirArtistThenFromOtherMoods) {
    const int liked = AddTrack("Same Artist");
    const int sibling = AddTrack("Same Artist");
    const int lovedElsewhere = AddTrack("Someone Else");
    RecordPlay(db, kMood, liked);
    SetRating(db, kMood, liked, kRatingGood);
    SetRating(db, kOtherMood, lovedElsewhere, kRatingAwesome);

    auto guess = Suggest();
    ASSERT_TRUE(guess);
    EXPECT_EQ(guess->id, sibling);
    EXPECT_EQ(guess->basis, 2);
    EXPECT_DOUBLE_EQ(guess->value, 2.75);  // one Good rating, shrunk towards Normal

    RecordPlay(db, kMood, sibling);
    auto fromOtherMood = Suggest();
    ASSERT_TRUE(fromOtherMood);
    EXPECT_EQ(fromOtherMood->id, lovedElsewhere);
    EXPECT_EQ(fromOtherMood->basis, 3);

    SetRating(db, kMood, lovedElsewhere, kRatingExcluded);
    RecordPlay(db, kMood, lovedElsewhere);
    EXPECT_FALSE(Suggest()) << "an exclusion in this mood outweighs every guess";
}

}  // namespace
}  // namespace kavelin
