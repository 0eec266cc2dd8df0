#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "engine/TrackPlayer.h"
#include "platform/addresses/ServiceAddresses.h"
#include "tests/engine/TestAudio.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

using test::WaitFor;

constexpr int kMood = 2;
constexpr int kOtherMood = 3;

// What a fake backend was told and what it answers; outlives the backend.
struct FakeState {
    std::atomic<int> initResult{1};
    std::atomic<int> state{kPlayStatePlaying};
    std::atomic<int> length{0};
    std::atomic<int> position{0};
    std::atomic<bool> stopped{false};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> stall{false};    // the player hangs in its next poll until cleared
    std::atomic<bool> stalled{false};  // a poll is hanging
    std::mutex lock;
    std::vector<int> seeks;
    std::vector<std::string> plays;
};

class FakePlayer : public CPlayer {
public:
    explicit FakePlayer(std::shared_ptr<FakeState> state) : m_state(std::move(state)) {}
    ~FakePlayer() override { m_state->destroyed = true; }
    int IsActive() override { return m_bActive ? 1 : 0; }
    int Init(MessageTarget*) override {
        m_bActive = m_state->initResult == 1;
        return m_state->initResult;
    }
    void Stop() override {
        m_state->stopped = true;
        m_bActive = false;
    }
    void Play(std::string file) override {
        std::lock_guard lock(m_state->lock);
        m_state->plays.push_back(file);
    }
    int GetState() override { return m_state->state; }
    int GetLength() override { return m_state->length; }
    int GetPosition() override {
        while (m_state->stall) {
            m_state->stalled = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return m_state->position;
    }
    void SetPosition(int milliseconds) override {
        std::lock_guard lock(m_state->lock);
        m_state->seeks.push_back(milliseconds);
    }

private:
    std::shared_ptr<FakeState> m_state;
    std::atomic<bool> m_bActive{false};
};

class TrackPlayerTest : public ::testing::Test {
protected:
    TrackPlayerTest()
        : m_player(m_catalog.Database(), m_catalog.Writes(),
                   [this](int type) { return MakeFake(type); }) {
        m_player.SetMessageTarget(&m_target);
    }
    ~TrackPlayerTest() override {
        m_player.SetMessageTarget(nullptr);
        m_player.m_bStop = true;
        if (m_loop.joinable()) {
            m_loop.join();
        }
    }

    std::unique_ptr<CPlayer> MakeFake(int type) {
        std::lock_guard lock(m_fakesLock);
        ++m_created[type];
        return std::make_unique<FakePlayer>(Fake(type));
    }
    std::shared_ptr<FakeState> Fake(int type) {
        std::lock_guard lock(m_fakesLock);
        auto& state = m_fakes[type];
        if (!state) {
            state = std::make_shared<FakeState>();
        }
        return state;
    }

    CADODataBase& Db() { return m_catalog.Database(); }

    // A track whose file exists unless `present` is false.
    int AddTrack(const std::string& name, bool present = true) {
        const auto path = m_catalog.Directory() / (name + ".mp3");
        if (present) {
            std::ofstream(path) << "audio";
        }
        EXPECT_TRUE(
            Db().ExecuteStatement("INSERT INTO tTrack (Filename, Artist, Trackname) VALUES ('" +
                                  QuoteForSql(path.string()) + "', 'Artist', '" + name + "')"))
            << Db().GetLastErrorText();
        return static_cast<int>(m_catalog.ScalarLong("SELECT Max(ID) FROM tTrack"));
    }

    bool IsDeleted(int trackId) {
        return m_catalog.ScalarLong("SELECT Count(*) FROM tTrack WHERE Deleted <> 0 AND ID=" +
                                    std::to_string(trackId)) == 1;
    }

    // Puts a new text in place of the stored qCounter; the catalog reads the
    // stored queries when it connects.
    void ReplaceCounterQuery(const std::string& sql) {
        ASSERT_TRUE(Db().ExecuteStatement("UPDATE tStoredQuery SET SQL='" + QuoteForSql(sql) +
                                          "' WHERE Name='qCounter'"));
        ASSERT_TRUE(Db().Connect("", "", "")) << Db().GetLastErrorText();
    }
    void CounterSuggests(int trackId, const std::string& rating, int flag3, int flag4, int flag5) {
        ReplaceCounterQuery("SELECT " + std::to_string(trackId) + " AS ID, 'f' AS Filename, " +
                            rating + " AS RatingValue, " + std::to_string(flag3) + " AS A, " +
                            std::to_string(flag4) + " AS B, " + std::to_string(flag5) +
                            " AS C WHERE :MoodID > 0");
    }
    void CounterSuggestsNothing() {
        ReplaceCounterQuery("SELECT ID, Filename, 0, 0, 0, 0 FROM tTrack WHERE :MoodID < 0");
    }

    std::vector<unsigned> Messages() {
        std::vector<unsigned> messages;
        for (const auto& post : m_target.Posts()) {
            messages.push_back(post.message);
        }
        return messages;
    }
    const std::vector<unsigned> kShowThenPlay{kMessageShowTrack, kMessagePlayTrack};

    void StartLoop() {
        m_loop = std::thread([this] { m_player.Run(); });
    }

    test::TestCatalog m_catalog;
    test::RecordingMessageTarget m_target;
    test::ScopedMessageShell m_shell;
    std::recursive_mutex m_fakesLock;
    std::map<int, std::shared_ptr<FakeState>> m_fakes;
    std::map<int, int> m_created;
    TrackPlayer m_player;
    std::thread m_loop;
};

TEST_F(TrackPlayerTest, EmptyCatalogChoosesNothingAndWaitsBeforeTheNextTry) {
    const auto started = std::chrono::steady_clock::now();
    m_player.SelectNextTrack();
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_EQ(m_player.m_nTotalTracks, 0);
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(m_shell.shell().Messages().empty());
    EXPECT_EQ(m_player.GetCurrentTrack().ID, 0);
}

TEST_F(TrackPlayerTest, EveryTrackRatedInTheMoodLeavesTheFallbackWithoutChoice) {
    CounterSuggestsNothing();
    const int first = AddTrack("first");
    const int second = AddTrack("second");
    SetRating(Db(), kMood, first, kRatingGood);
    SetRating(Db(), kMood, second, kRatingExcluded);
    m_player.SelectNextTrack();
    EXPECT_EQ(m_player.m_nTotalTracks, 2);
    EXPECT_EQ(m_player.m_nRatedTracks, 2);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TrackPlayerTest, CounterRowGivesLevelAndBasisFromItsColumns) {
    struct Case {
        std::string rating;
        int flag3, flag4, flag5;
        int level, basis;
    };
    const Case cases[] = {
        {"3.6", -1, 0, 0, 4, 1}, {"2.5", 0, 0, -1, 2, 3}, {"2.51", 0, -1, -1, 3, 2},
        {"-1", -1, 0, 0, 0, 1},  {"4", 0, 0, 0, 4, 0},    {"NULL", 0, -1, 0, 0, 2},
    };
    const int track = AddTrack("chosen");
    for (const auto& c : cases) {
        SCOPED_TRACE("rating " + c.rating);
        CounterSuggests(track, c.rating, c.flag3, c.flag4, c.flag5);
        m_target.Clear();
        m_player.SelectNextTrack();
        EXPECT_EQ(Messages(), kShowThenPlay);
        const CTrackInfo current = m_player.GetCurrentTrack();
        EXPECT_EQ(current.ID, track);
        EXPECT_EQ(current.Trackname, "chosen");
        EXPECT_EQ(current.RatingLevel, c.level);
        EXPECT_EQ(m_player.m_nSelectionBasis, c.basis);
        EXPECT_TRUE(m_player.m_bFromCounter);
    }
}

TEST_F(TrackPlayerTest, FallbackDrawsOnlyTracksUnratedInTheMood) {
    CounterSuggestsNothing();
    const int rated = AddTrack("rated");
    const int elsewhere = AddTrack("rated elsewhere");
    const int played = AddTrack("played, not rated");
    const int fresh = AddTrack("never seen");
    SetRating(Db(), kMood, rated, kRatingAwesome);
    SetRating(Db(), kOtherMood, elsewhere, kRatingGood);
    RecordPlay(Db(), kMood, played);
    ASSERT_TRUE(Db().ExecuteStatement("UPDATE tCounter SET Counter = Counter + 20"));
    std::map<int, int> chosen;
    for (int i = 0; i < 30; ++i) {
        m_player.SelectNextTrack();
        ++chosen[m_player.GetCurrentTrack().ID];
        EXPECT_FALSE(m_player.m_bFromCounter);
        EXPECT_EQ(m_player.m_nSelectionBasis, 0);
        EXPECT_EQ(m_player.GetCurrentTrack().RatingLevel, 0);
    }
    EXPECT_EQ(chosen.size(), 2u);
    EXPECT_GT(chosen[played], 0);
    EXPECT_GT(chosen[fresh], 0);
    EXPECT_EQ(m_player.m_nRatedTracks, 1);
}

TEST_F(TrackPlayerTest, FallbackAvoidsTracksHeardInTheLastTwentyPlays) {
    CounterSuggestsNothing();
    const int justHeard = AddTrack("just heard");
    const int other = AddTrack("other");
    RecordPlay(Db(), kMood, justHeard);
    for (int i = 0; i < 20; ++i) {
        m_player.SelectNextTrack();
        ASSERT_EQ(m_player.GetCurrentTrack().ID, other);
    }
    ASSERT_TRUE(Db().ExecuteStatement("UPDATE tCounter SET Counter = Counter + 20"));
    std::set<int> chosen;
    for (int i = 0; i < 40; ++i) {
        m_player.SelectNextTrack();
        chosen.insert(m_player.GetCurrentTrack().ID);
    }
    EXPECT_EQ(chosen, (std::set<int>{justHeard, other}));
}

TEST_F(TrackPlayerTest, SkipRecordsWhereItCameThenChoosesTheNextTrack) {
    CounterSuggestsNothing();
    AddTrack("one");
    AddTrack("two");
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    m_player.SelectNextTrack();
    const int skipped = m_player.GetCurrentTrack().ID;
    RecordPlay(Db(), kMood, skipped);
    Fake(kPlayerMediaPlayer)->position = 30000;
    Fake(kPlayerMediaPlayer)->length = 200000;
    m_target.Clear();
    m_player.Skip();
    EXPECT_EQ(m_catalog.Scalar("SELECT ifnull(Rating,'-') || ',' || Skipped || ',' || "
                               "round(SkipWeight, 2) || ',' || LastSkipPosition FROM tTrackMood "
                               "WHERE MoodID=2 AND TrackID=" +
                               std::to_string(skipped)),
              "-,1,0.88,30000");
    EXPECT_EQ(Messages(), kShowThenPlay);

    // Another program holds the catalog at the next skip: the skip is kept
    // and stored once the catalog is free, not lost.
    const int next = m_player.GetCurrentTrack().ID;
    {
        test::CatalogWriteHold hold(m_catalog.CatalogPath());
        m_player.Skip();
        EXPECT_EQ(m_catalog.Writes().Waiting(), 1u);
    }
    EXPECT_TRUE(m_catalog.Writes().RetryNow());
    EXPECT_EQ(m_catalog.Scalar("SELECT Skipped || ',' || LastSkipPosition FROM tTrackMood WHERE "
                               "MoodID=2 AND TrackID=" +
                               std::to_string(next)),
              "1,30000");
}

// While the mood knows nothing, the shipped qCounter suggests nothing and the
// unrated draw picks every track alike.
TEST_F(TrackPlayerTest, WithNothingKnownInTheMoodEveryTrackIsDrawnAlike) {
    std::map<int, int> drawn;
    for (const char* name : {"a", "b", "c", "d"}) {
        drawn[AddTrack(name)] = 0;
    }
    SeedSelectionRandom(99);
    for (int i = 0; i < 400; ++i) {
        m_player.SelectNextTrack();
        ASSERT_FALSE(m_player.m_bFromCounter);
        ++drawn[m_player.GetCurrentTrack().ID];
    }
    ASSERT_EQ(drawn.size(), 4u);
    for (const auto& [track, count] : drawn) {
        // 100 expected, standard deviation about 9.
        EXPECT_NEAR(count, 100, 35) << "track " << track;
    }
}

TEST_F(TrackPlayerTest, ChosenTrackWithoutItsFileIsMarkedDeletedAndNotAnnounced) {
    const int missing = AddTrack("missing", false);
    CounterSuggests(missing, "3", -1, 0, 0);
    m_player.SelectNextTrack();
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(IsDeleted(missing));
}

TEST_F(TrackPlayerTest, DirectPickAnnouncesAnExistingFileAndLeavesAMissingOneAlone) {
    const int present = AddTrack("present");
    const int missing = AddTrack("missing", false);
    CounterSuggests(present, "3.6", 0, -1, 0);
    m_player.SelectNextTrack();
    m_target.Clear();

    m_player.PlayTrack(missing);
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(IsDeleted(missing));

    m_player.PlayTrack(present);
    EXPECT_EQ(Messages(), kShowThenPlay);
    EXPECT_EQ(m_player.GetCurrentTrack().RatingLevel, 0);
    EXPECT_EQ(m_player.m_nSelectionBasis, 0) << "not rated: no basis of the last selection";
}

TEST_F(TrackPlayerTest, DirectPickShowsTheTracksOwnRatingInTheMood) {
    const int track = AddTrack("rated");
    SetRating(Db(), kMood, track, kRatingGood);
    SetRating(Db(), kOtherMood, track, kRatingBad);
    CounterSuggests(track, "1.2", 0, -1, 0);
    m_player.SelectNextTrack();
    ASSERT_EQ(m_player.m_nSelectionBasis, 2);

    m_player.PlayTrack(track);
    EXPECT_EQ(m_player.GetCurrentTrack().RatingLevel, kRatingGood);
    EXPECT_EQ(m_player.m_nSelectionBasis, 1);
}

TEST_F(TrackPlayerTest, AFailingCounterQueryIsReportedAsItIsAndTriedAgainLater) {
    AddTrack("some track");
    ReplaceCounterQuery("SELECT Nothing FROM NoSuchTable WHERE :MoodID");
    m_player.SelectNextTrack();
    m_player.SelectNextTrack();
    EXPECT_TRUE(m_shell.shell().Messages().empty()) << "the catalog itself is usable";
    EXPECT_EQ(m_target.Problems(),
              (std::vector<std::string>{
                  "Cannot choose the next track (SQL logic error). Trying again in 1 s.",
                  "Cannot choose the next track (SQL logic error). Trying again in 2 s."}));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TrackPlayerTest, TheUpdateMessageIsKeptForACatalogThatCannotBeUsed) {
    AddTrack("some track");
    Db().Disconnect();
    m_player.SelectNextTrack();
    const auto shown = m_shell.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].title, "Fatal Error...");
    EXPECT_EQ(shown[0].icon, MessageIcon::Error);
    EXPECT_EQ(shown[0].text,
              "Kavelin needs an update to your system. Please install the latest "
              "MDAC from " +
                  MdacDownloadPage() + ".");
    EXPECT_EQ(m_shell.shell().Opened(), std::vector<std::string>{MdacHelpPage()});
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TrackPlayerTest, WhileTheWindowIsBusyOneTrackIsAnnouncedAndStartedOnce) {
    AddTrack("one");
    AddTrack("two");
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    // Nothing plays until the window starts the announced track.
    Fake(kPlayerMediaPlayer)->state = kPlayStateStopped;
    StartLoop();
    // The window handles nothing for about five polls.
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    int starts = 0;
    for (const unsigned message : Messages()) {
        starts += message == kMessagePlayTrack;
    }
    EXPECT_EQ(starts, 1);
    CTrackInfo started;
    ASSERT_TRUE(m_player.TakeTrackToStart(started));
    EXPECT_EQ(started.ID, m_player.GetCurrentTrack().ID);
    EXPECT_FALSE(m_player.TakeTrackToStart(started)) << "a stale post starts nothing";
}

TEST_F(TrackPlayerTest, AStalledPlayerLeavesTheWindowsCallsFree) {
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    auto fake = Fake(kPlayerMediaPlayer);
    fake->stall = true;
    StartLoop();
    ASSERT_TRUE(WaitFor([&] { return fake->stalled.load(); }, 5000));
    auto window = std::async(std::launch::async, [&] {
        m_player.Pause();
        m_player.Resume();
        return m_player.GetPlayer() != nullptr;
    });
    const bool free = window.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    fake->stall = false;
    EXPECT_TRUE(free) << "the window waited for the stalled player";
    EXPECT_TRUE(window.get());
}

TEST_F(TrackPlayerTest, ASkipWaitingForAStalledPlayerHoldsNoLock) {
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    const int track = AddTrack("stalled.mp3");
    auto fake = Fake(kPlayerMediaPlayer);
    fake->stall = true;
    auto skip = std::async(std::launch::async, [&] { m_player.Skip(); });
    ASSERT_TRUE(WaitFor([&] { return fake->stalled.load(); }, 5000));
    auto pick = std::async(std::launch::async, [&] { m_player.PlayTrack(track); });
    const bool free = pick.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    fake->stall = false;
    skip.get();
    pick.get();
    EXPECT_TRUE(free) << "a pick waited for the skip's stalled player";
}

TEST_F(TrackPlayerTest, ABackendTheWindowStillHoldsOutlivesTheEndOfTheLoop) {
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    auto fake = Fake(kPlayerMediaPlayer);
    StartLoop();
    // As a queued start handled during shutdown holds it while it calls Play.
    auto inUse = m_player.GetPlayer();
    m_player.m_bStop = true;
    m_loop.join();
    EXPECT_TRUE(m_player.m_bStopped);
    EXPECT_TRUE(fake->stopped);
    EXPECT_FALSE(fake->destroyed) << "destroyed under the window's call";
    inUse = nullptr;
    EXPECT_TRUE(fake->destroyed);
}

// The message box is shown by the UI thread, which may meanwhile need the
// player lock (the window asks for the backend on every post it handles).
class LockProbingShell : public MessageShell {
public:
    explicit LockProbingShell(TrackPlayer& player) : m_player(player) {}
    MessageAnswer ShowMessage(const std::string&, const std::string&, MessageIcon,
                              MessageButtons) override {
        auto done = std::make_shared<std::promise<void>>();
        auto gotThrough = done->get_future();
        // Detached: with the lock held it could only finish after this returns.
        std::thread([this, done] {
            m_player.GetPlayer();
            done->set_value();
        }).detach();
        uiThreadGotThrough =
            gotThrough.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        return MessageAnswer::Ok;
    }
    bool OpenAddress(const std::string&) override { return true; }
    bool uiThreadGotThrough = false;

private:
    TrackPlayer& m_player;
};

TEST_F(TrackPlayerTest, TheUpdateMessageDoesNotHoldThePlayerLock) {
    AddTrack("some track");
    Db().Disconnect();
    auto shell = std::make_shared<LockProbingShell>(m_player);
    auto previous = InstallMessageShell(shell);
    m_player.SelectNextTrack();
    InstallMessageShell(previous);
    EXPECT_TRUE(shell->uiThreadGotThrough);
}

TEST_F(TrackPlayerTest, SetMoodLooksTheNameUp) {
    m_player.SetMood("relaxed");
    const long relaxed = m_catalog.ScalarLong("SELECT ID FROM tMood WHERE Name='Relaxed'");
    EXPECT_EQ(m_player.m_nMoodID, relaxed);
    m_player.SetMood("Rock 'n' Roll");
    EXPECT_EQ(m_player.m_nMoodID, relaxed);
}

TEST_F(TrackPlayerTest, CreatePlayerFallsBackToTheOtherBackend) {
    Fake(kPlayerMediaPlayer)->initResult = 0;
    EXPECT_EQ(m_player.CreatePlayer(), 1);
    EXPECT_EQ(m_player.m_nPlayerType, kPlayerWinAmp);
    EXPECT_TRUE(Fake(kPlayerMediaPlayer)->destroyed);
    ASSERT_NE(m_player.GetPlayer(), nullptr);
    EXPECT_EQ(m_player.GetPlayer()->IsActive(), 1);
}

TEST_F(TrackPlayerTest, CreatePlayerWithNeitherBackendLeavesNone) {
    Fake(kPlayerMediaPlayer)->initResult = 0;
    Fake(kPlayerWinAmp)->initResult = 0;
    EXPECT_EQ(m_player.SwitchPlayer(kPlayerWinAmp), 1);  // no backend yet: only the type
    EXPECT_EQ(m_player.CreatePlayer(), 0);
    EXPECT_EQ(m_player.GetPlayer(), nullptr);
    EXPECT_EQ((std::map<int, int>{{kPlayerMediaPlayer, 1}, {kPlayerWinAmp, 1}}), m_created);
}

TEST_F(TrackPlayerTest, SwitchingToTheSameTypeChangesNothing) {
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    const auto before = m_player.GetPlayer();
    EXPECT_EQ(m_player.SwitchPlayer(kPlayerMediaPlayer), 1);
    EXPECT_EQ(m_player.GetPlayer(), before);
    EXPECT_EQ(m_created[kPlayerMediaPlayer], 1);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TrackPlayerTest, FailedSwitchKeepsTheOldBackend) {
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    const auto before = m_player.GetPlayer();
    Fake(kPlayerWinAmp)->initResult = 0;
    EXPECT_EQ(m_player.SwitchPlayer(kPlayerWinAmp), 0);
    EXPECT_EQ(m_player.GetPlayer(), before);
    EXPECT_EQ(m_player.m_nPlayerType, kPlayerMediaPlayer);
}

TEST_F(TrackPlayerTest, PlayLoopSelectsWhenTheTrackEndsAndStopsItsBackend) {
    AddTrack("only");
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    auto media = Fake(kPlayerMediaPlayer);
    media->state = kPlayStateClosed;
    StartLoop();
    ASSERT_TRUE(WaitFor([&] { return Messages().size() >= 3; }, 3000));
    const auto messages = Messages();
    EXPECT_EQ(std::vector<unsigned>(messages.begin(), messages.begin() + 3),
              (std::vector<unsigned>{kMessageShowTrack, kMessagePlayTrack, kMessageShowPosition}));

    media->state = kPlayStatePlaying;
    const auto stopAsked = std::chrono::steady_clock::now();
    m_player.m_bStop = true;
    ASSERT_TRUE(WaitFor([&] { return m_player.m_bStopped.load(); }, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::milliseconds(700));
    EXPECT_TRUE(media->stopped);
    EXPECT_TRUE(media->destroyed);
    EXPECT_EQ(m_player.GetPlayer(), nullptr);
}

TEST_F(TrackPlayerTest, SwitchResumesTheSameTrackAtItsPositionWithoutANewPlay) {
    const int track = AddTrack("long one");
    ASSERT_EQ(m_player.CreatePlayer(), 1);
    m_player.PlayTrack(track);
    auto media = Fake(kPlayerMediaPlayer);
    media->position = 90000;
    m_target.Clear();

    auto winamp = Fake(kPlayerWinAmp);
    winamp->state = kPlayStateStarting;
    ASSERT_EQ(m_player.SwitchPlayer(kPlayerWinAmp), 1);
    EXPECT_TRUE(Messages().empty()) << "a switch is no new play for the window to record";
    {
        std::lock_guard lock(winamp->lock);
        EXPECT_EQ(winamp->plays, std::vector<std::string>{m_player.GetCurrentTrack().Filename});
    }
    EXPECT_TRUE(media->stopped);
    EXPECT_TRUE(media->destroyed);
    EXPECT_EQ(m_player.m_nPlayerType, kPlayerWinAmp);

    StartLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    {
        std::lock_guard lock(winamp->lock);
        EXPECT_TRUE(winamp->seeks.empty()) << "no seek before the length is known";
    }
    winamp->length = 215000;
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard lock(winamp->lock);
            return !winamp->seeks.empty();
        },
        2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    std::lock_guard lock(winamp->lock);
    EXPECT_EQ(winamp->seeks, std::vector<int>{90000});
}

TEST_F(TrackPlayerTest, NoPostsReachAWindowThatIsGone) {
    const int track = AddTrack("quiet");
    m_player.SetMessageTarget(nullptr);
    m_player.PlayTrack(track);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(m_player.GetCurrentTrack().ID, track);
}

// The fallback draws among every candidate alike, however many there are.
TEST(RowDrawTest, EveryStretchOfFortyThousandRowsIsDrawnAlike) {
    constexpr long kRows = 40000;
    constexpr int kStretches = 40;
    constexpr int kDraws = 400000;
    SeedSelectionRandom(20240607);
    std::vector<int> perStretch(kStretches);
    for (int i = 0; i < kDraws; ++i) {
        const long row = DrawRowPosition(kRows);
        ASSERT_GE(row, 1);
        ASSERT_LE(row, kRows);
        ++perStretch[(row - 1) * kStretches / kRows];
    }
    for (int stretch = 0; stretch < kStretches; ++stretch) {
        // 10,000 expected, standard deviation about 99: 8 % either way is far outside chance.
        EXPECT_NEAR(perStretch[stretch], kDraws / kStretches, 800) << "stretch " << stretch;
    }
}

}  // namespace
}  // namespace kavelin
