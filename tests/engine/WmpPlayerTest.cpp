#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <fstream>
#include <set>
#include <thread>

#include "engine/WmpPlayer.h"
#include "platform/log/ProgramLog.h"
#include "tests/engine/TestAudio.h"

namespace kavelin {
namespace {

using test::WaitFor;

class WmpPlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_audio = new test::TestAudio();
        s_short = s_audio->MakeMp3("short.mp3", 2.6);
        s_long = s_audio->MakeMp3("long.mp3", 20.7);
        s_other = s_audio->MakeMp3("other.mp3", 20.0);
    }
    static void TearDownTestSuite() {
        delete s_audio;
        s_audio = nullptr;
    }
    void SetUp() override {
        ASSERT_FALSE(s_short.empty()) << "sox and lame must be installed";
        ASSERT_EQ(m_player.Init(nullptr), 1);
    }

    // Plays `file` and waits until the player confirms it.
    void StartPlaying(const std::filesystem::path& file) {
        m_player.Play(file.string());
        ASSERT_TRUE(WaitFor(
            [&] { return m_player.GetState() == kPlayStatePlaying && m_player.GetLength() > 0; },
            5000));
    }

    static test::TestAudio* s_audio;
    static std::filesystem::path s_short, s_long, s_other;
    CWmpPlayer m_player{"null"};
};

test::TestAudio* WmpPlayerTest::s_audio = nullptr;
std::filesystem::path WmpPlayerTest::s_short, WmpPlayerTest::s_long, WmpPlayerTest::s_other;

TEST_F(WmpPlayerTest, PlaysATrackInRealTimeUntilItEndsWithStateZero) {
    EXPECT_EQ(m_player.IsActive(), 1);
    EXPECT_EQ(m_player.GetState(), kPlayStateClosed) << "nothing opened yet ends nothing";

    const auto started = std::chrono::steady_clock::now();
    m_player.Play(s_short.string());
    std::set<int> seen;
    ASSERT_TRUE(WaitFor(
        [&] {
            const int state = m_player.GetState();
            seen.insert(state);
            return state == kPlayStateStopped;
        },
        8000));
    const auto elapsed = std::chrono::steady_clock::now() - started;

    // Playing, perhaps waiting for data on a busy machine, then stopped once at the end.
    seen.erase(kPlayStateWaiting);
    EXPECT_EQ(seen, (std::set<int>{kPlayStatePlaying, kPlayStateStopped}));
    // The null output keeps real time: a 2.6 s file takes about that long.
    EXPECT_GE(elapsed, std::chrono::milliseconds(2200));
}

TEST_F(WmpPlayerTest, LengthAndPositionComeInWholeSecondsAndSeekCutsToSeconds) {
    StartPlaying(s_long);
    EXPECT_EQ(m_player.GetLength(), 20000);  // 20.7 s

    m_player.SetPosition(12900);  // seeks to 12 s
    ASSERT_TRUE(WaitFor([&] { return m_player.GetPosition() >= 12000; }, 3000));
    const int position = m_player.GetPosition();
    EXPECT_EQ(position % 1000, 0);
    EXPECT_LE(position, 13000);
}

TEST_F(WmpPlayerTest, PauseHoldsThePositionAndResumePlaysOn) {
    StartPlaying(s_long);
    m_player.SetPosition(5000);
    ASSERT_TRUE(WaitFor([&] { return m_player.GetPosition() >= 5000; }, 3000));

    m_player.Pause();
    ASSERT_TRUE(WaitFor([&] { return m_player.GetState() == kPlayStatePaused; }, 2000));
    const int held = m_player.GetPosition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(m_player.GetPosition(), held);

    m_player.Resume();
    ASSERT_TRUE(WaitFor([&] { return m_player.GetState() == kPlayStatePlaying; }, 2000));
    EXPECT_TRUE(WaitFor([&] { return m_player.GetPosition() > held; }, 2500));
}

TEST_F(WmpPlayerTest, VolumeFollowsTheCubicDecibelMapping) {
    StartPlaying(s_long);
    m_player.SetVolume(128);
    EXPECT_TRUE(WaitFor([&] { return m_player.GetVolume() == -1234; }, 2000))
        << m_player.GetVolume();
    m_player.SetVolume(0);
    EXPECT_TRUE(WaitFor([&] { return m_player.GetVolume() == -9994; }, 2000))
        << m_player.GetVolume();
    m_player.SetVolume(255);
    EXPECT_TRUE(WaitFor([&] { return m_player.GetVolume() == 0; }, 2000)) << m_player.GetVolume();
}

TEST_F(WmpPlayerTest, FilesThatCannotBeOpenedEndAtOnce) {
    const auto logFile = s_audio->Directory() / "player.log";
    auto previous = InstallLog(std::make_shared<ProgramLog>(logFile));
    for (const auto& file :
         {s_audio->MakeNonAudio("list.mp3"), s_audio->Directory() / "gone.mp3"}) {
        m_player.Play(file.string());
        EXPECT_TRUE(WaitFor([&] { return m_player.GetState() == kPlayStateStopped; }, 3000))
            << file;
    }
    // A failed open leaves the player usable.
    StartPlaying(s_short);
    InstallLog(previous);
    // The player's own complaint went to the program's log as an error.
    std::ifstream log(logFile);
    std::string line, all;
    bool complaint = false;
    while (std::getline(log, line)) {
        all += line + "\n";
        complaint = complaint || line.find(" error mpv/") != std::string::npos;
    }
    EXPECT_TRUE(complaint) << all;
}

TEST_F(WmpPlayerTest, AnOpenForgetsTheErrorOfTheFileBefore) {
    // Left in place, the error would report the new track as ended before
    // the player has started it.
    CMediaPlayer2 control("null");
    ASSERT_TRUE(control.CreateControl());
    for (int round = 0; round < 10; ++round) {
        control.Open((s_audio->Directory() / "gone.mp3").string());
        ASSERT_TRUE(WaitFor([&] { return control.GetErrorCode() != 0; }, 3000));
        control.Open(s_long.string());
        EXPECT_EQ(control.GetErrorCode(), 0) << "round " << round;
        ASSERT_TRUE(WaitFor([&] { return control.GetPlayState() == kPlayStatePlaying; }, 3000));
    }
}

TEST_F(WmpPlayerTest, ATrackOpenedRightAfterAnotherStillEnds) {
    // mpv never starts the first file; its end must still not be confused
    // with the second's, nor the second's end be ignored.
    CMediaPlayer2 control("null");
    ASSERT_TRUE(control.CreateControl());
    control.Open(s_long.string());
    control.Open(s_short.string());
    EXPECT_TRUE(WaitFor([&] { return control.GetPlayState() == kPlayStateStopped; }, 8000))
        << control.GetPlayState();
}

TEST(MediaControl, CreatingItLeavesTheProcessLocaleAlone) {
    // Other threads run by the time a player is created; the locale is set
    // once, before they start.
    ASSERT_NE(std::setlocale(LC_NUMERIC, "C.UTF-8"), nullptr);
    {
        CMediaPlayer2 control("null");
        control.CreateControl();
    }
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C.UTF-8");
    std::setlocale(LC_NUMERIC, "C");
}

TEST_F(WmpPlayerTest, ReplacingAPlayingTrackNeverReportsTheEndOfATrack) {
    StartPlaying(s_long);
    // The end of the replaced file arrives while the new one opens; the engine
    // would take a 0 for the end of the new track and skip it.
    for (int replacement = 0; replacement < 6; ++replacement) {
        m_player.Play((replacement % 2 ? s_long : s_other).string());
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
        while (std::chrono::steady_clock::now() < until) {
            const int state = m_player.GetState();
            ASSERT_NE(state, kPlayStateStopped) << "replacement " << replacement;
            ASSERT_NE(state, kPlayStateClosed) << "replacement " << replacement;
        }
    }
    EXPECT_TRUE(WaitFor([&] { return m_player.GetLength() == 20000; }, 2000));
}

TEST_F(WmpPlayerTest, AStoppedBackendAnswersWithoutThePlayer) {
    StartPlaying(s_long);
    m_player.Stop();
    EXPECT_EQ(m_player.IsActive(), 0);
    EXPECT_EQ(m_player.GetState(), kPlayStatePlaying);
    EXPECT_EQ(m_player.GetLength(), 0);
    EXPECT_EQ(m_player.GetPosition(), 0);
    m_player.Play(s_short.string());  // ignored
    m_player.Pause();
    EXPECT_EQ(m_player.GetState(), kPlayStatePlaying);
}

}  // namespace
}  // namespace kavelin
