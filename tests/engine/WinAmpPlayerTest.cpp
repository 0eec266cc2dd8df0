#include <gtest/gtest.h>

#include <signal.h>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "engine/WinAmpPlayer.h"
#include "tests/engine/TestAudio.h"
#include "tests/support/TestCatalog.h"

// Runs under tests/engine/with-audacious: a private session bus with a
// headless Audacious playing into a null sink.
namespace kavelin {
namespace {

using test::WaitFor;

const QString kService = QStringLiteral("org.atheme.audacious");

QDBusMessage CallAudacious(const QString& method) {
    return QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        kService, QStringLiteral("/org/atheme/audacious"), kService, method));
}

bool AudaciousRuns() {
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value();
}

void QuitAudacious() {
    CallAudacious(QStringLiteral("Quit"));
    ASSERT_TRUE(WaitFor([] { return !AudaciousRuns(); }, 10000));
}

// Puts another PATH in place for the object's lifetime.
class ScopedPath {
public:
    explicit ScopedPath(const std::string& path) : m_strSaved(std::getenv("PATH")) {
        setenv("PATH", path.c_str(), 1);
    }
    ~ScopedPath() { setenv("PATH", m_strSaved.c_str(), 1); }

private:
    std::string m_strSaved;
};

class WinAmpPlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_audio = new test::TestAudio();
        s_tone = s_audio->MakeMp3("tone with a space.mp3", 6.5);
    }
    static void TearDownTestSuite() {
        delete s_audio;
        s_audio = nullptr;
    }
    void SetUp() override { ASSERT_FALSE(s_tone.empty()) << "sox and lame must be installed"; }

    static test::TestAudio* s_audio;
    static std::filesystem::path s_tone;
    test::ScopedMessageShell m_shell;
};

test::TestAudio* WinAmpPlayerTest::s_audio = nullptr;
std::filesystem::path WinAmpPlayerTest::s_tone;

TEST_F(WinAmpPlayerTest, PlaysPausesSeeksAndReportsTheEndOfTheTrack) {
    CWinAmpPlayer player;
    ASSERT_EQ(player.Init(nullptr), 1);
    player.Play(s_tone.string());
    // The answer has not moved since the play command: not yet confirmed.
    EXPECT_EQ(player.GetState(), kPlayStateStarting);
    ASSERT_TRUE(WaitFor([&] { return player.GetLength() == 6000; }, 5000)) << player.GetLength();
    ASSERT_TRUE(WaitFor([&] { return player.GetPosition() >= 300; }, 3000));

    player.Pause();
    ASSERT_TRUE(WaitFor([&] { return player.GetState() == kPlayStateWaiting; }, 3000))
        << "a paused player must not look finished";
    // The reported time settles once the sound server has drained its buffer.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const int held = player.GetPosition();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_NEAR(player.GetPosition(), held, 50);

    player.Resume();
    ASSERT_TRUE(WaitFor([&] { return player.GetState() == CWinAmpControl::kPlaying; }, 3000));
    EXPECT_TRUE(WaitFor([&] { return player.GetPosition() > held + 200; }, 3000));

    player.SetPosition(4000);
    ASSERT_TRUE(WaitFor([&] { return player.GetPosition() >= 4000; }, 3000));
    EXPECT_LT(player.GetPosition(), 5500);

    player.SetVolume(128);
    const QList<QVariant> volume = CallAudacious(QStringLiteral("Volume")).arguments();
    ASSERT_EQ(volume.size(), 2);
    EXPECT_EQ(volume[0].toInt(), 50);
    EXPECT_EQ(player.GetVolume(), 0);

    EXPECT_TRUE(WaitFor([&] { return player.GetState() == kPlayStateStopped; }, 5000));

    player.Stop();
    EXPECT_EQ(player.IsActive(), 0);
    EXPECT_EQ(player.GetState(), kPlayStatePlaying);
    EXPECT_EQ(player.GetLength(), 0);
    EXPECT_TRUE(AudaciousRuns()) << "the player the user started is left running";
}

TEST_F(WinAmpPlayerTest, AFileThatCannotBePlayedEndsTheTrack) {
    CWinAmpPlayer player;
    ASSERT_EQ(player.Init(nullptr), 1);
    player.Play(s_audio->MakeNonAudio("not audio.mp3").string());
    EXPECT_TRUE(WaitFor([&] { return player.GetState() == kPlayStateStopped; }, 8000));
}

TEST_F(WinAmpPlayerTest, APlayThatCameInBehindAStopLeavesThePlayerSilent) {
    CWinAmpPlayer player;
    ASSERT_EQ(player.Init(nullptr), 1);
    const auto audacious =
        static_cast<pid_t>(QDBusConnection::sessionBus().interface()->servicePid(kService).value());
    ASSERT_GT(audacious, 0);
    // The player hangs while the stop is on its way, so that the play comes
    // in behind it, as a queued start does at shutdown.
    ASSERT_EQ(kill(audacious, SIGSTOP), 0);
    std::thread stopping([&] { player.Stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread playing([&] { player.Play(s_tone.string()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(audacious, SIGCONT);
    stopping.join();
    playing.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_FALSE(CallAudacious(QStringLiteral("Playing")).arguments().value(0).toBool());
    EXPECT_EQ(player.IsActive(), 0);
}

// Shows the box as the window does, but first sees whether the window could
// meanwhile still call the backend (the play loop's poll shows it while the
// window may be starting a track).
class BackendProbingShell : public MessageShell {
public:
    explicit BackendProbingShell(CWinAmpPlayer& player) : m_player(player) {}
    MessageAnswer ShowMessage(const std::string&, const std::string&, MessageIcon,
                              MessageButtons) override {
        if (m_bProbed.exchange(true)) {
            return MessageAnswer::Ok;  // the box of the probe's own call
        }
        m_probe = std::async(std::launch::async, [this] { m_player.SetVolume(10); });
        windowGotThrough = m_probe.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        return MessageAnswer::Ok;
    }
    bool OpenAddress(const std::string&) override { return true; }
    void WaitForTheProbe() {
        if (m_probe.valid()) {
            m_probe.wait();
        }
    }
    bool windowGotThrough = false;

private:
    CWinAmpPlayer& m_player;
    std::atomic<bool> m_bProbed{false};
    std::future<void> m_probe;
};

TEST_F(WinAmpPlayerTest, TheMissingPlayerBoxLeavesTheBackendFreeForTheWindow) {
    CWinAmpPlayer player;
    ASSERT_EQ(player.Init(nullptr), 1);
    QuitAudacious();
    ScopedPath nowhere(s_audio->Directory().string());
    auto shell = std::make_shared<BackendProbingShell>(player);
    auto previous = InstallMessageShell(shell);
    player.GetState();  // the play loop's poll finds the player gone
    shell->WaitForTheProbe();
    InstallMessageShell(previous);
    EXPECT_TRUE(shell->windowGotThrough);
}

TEST_F(WinAmpPlayerTest, MissingPlayerIsReportedAndTheBackendFails) {
    QuitAudacious();
    {
        ScopedPath nowhere(s_audio->Directory().string());
        CWinAmpPlayer player;
        EXPECT_EQ(player.Init(nullptr), 0);
    }
    const auto shown = m_shell.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text,
              "Cannot locate WinAmp. Note: Only WinAmp 2.xx is supported, not WinAmp 3.0. Start "
              "WinAmp first and try again.");
    EXPECT_EQ(shown[0].title, "WinAmp not found");
    EXPECT_EQ(shown[0].icon, MessageIcon::Warning);
}

TEST_F(WinAmpPlayerTest, StartsThePlayerWhenItIsNotRunning) {
    if (AudaciousRuns()) {
        QuitAudacious();
    }
    CWinAmpPlayer player;
    ASSERT_EQ(player.Init(nullptr), 1);
    EXPECT_TRUE(AudaciousRuns());
    EXPECT_TRUE(m_shell.shell().Messages().empty());
    player.Play(s_tone.string());
    EXPECT_TRUE(WaitFor([&] { return player.GetPosition() > 0; }, 5000));
    player.Stop();
    EXPECT_TRUE(WaitFor([] { return !AudaciousRuns(); }, 5000))
        << "the player Kavelin started is closed with it";
}

}  // namespace
}  // namespace kavelin
