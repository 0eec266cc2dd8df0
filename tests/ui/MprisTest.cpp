// The player on a private session bus (the test runs under dbus-run-session),
// driven by the desktop's own clients: gdbus for calls and properties, gdbus
// monitor for signals. Expected texts are the MPRIS2 names and types as gdbus
// prints them.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QPushButton>
#include <algorithm>

#include "catalog/CatalogOperations.h"
#include "catalog/PendingWrites.h"
#include "tests/support/TestCatalog.h"
#include "tests/ui/UiFakes.h"
#include "ui/MainDlg.h"
#include "ui/ShellMediaControls.h"

namespace kavelin::test {
namespace {

const QStringList kTarget = {"--session", "--dest", "org.mpris.MediaPlayer2.kavelin",
                             "--object-path", "/org/mpris/MediaPlayer2"};

// Runs a client while this process goes on answering the bus.
QString RunClient(const QString& program, const QStringList& arguments) {
    QProcess client;
    client.start(program, arguments);
    QDeadlineTimer deadline(10000);
    while (client.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        client.waitForFinished(5);
    }
    EXPECT_EQ(client.exitCode(), 0) << client.readAllStandardError().toStdString();
    return QString::fromUtf8(client.readAllStandardOutput()).trimmed();
}

QString Call(const QString& method, const QStringList& arguments = {}) {
    return RunClient("gdbus",
                     QStringList{"call"} + kTarget + QStringList{"--method", method} + arguments);
}

QString Get(const QString& interface, const QString& property) {
    return Call("org.freedesktop.DBus.Properties.Get", {interface, property});
}

QString GetPlayer(const QString& property) {
    return Get("org.mpris.MediaPlayer2.Player", property);
}

class MprisTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSettingInt(catalog.Database(), "FirstUse", 0);
        catalog.Database().ExecuteStatement(
            "INSERT INTO tTrack(Filename, Artist, Trackname, Album, GenreID) VALUES "
            "('/music/It''s here.mp3', 'Ann', 'It''s here', 'Days', 17)");
        player.track = LoadTrack(catalog.Database(), 1);
        player.length = 200000;
        player.position = 5000;
        window = std::make_unique<CMainDlg>(
            catalog.Database(), writes, player, scanner,
            std::make_unique<RecordingSpeech>(std::make_shared<std::vector<std::string>>()), help);
        window->Initialize();
        controls = std::make_unique<ShellMediaControls>(*window, player, catalog.Database());
        ASSERT_TRUE(controls->Publish());
        player.calls.clear();
    }

    bool Called(const std::string& call) const {
        return std::find(player.calls.begin(), player.calls.end(), call) != player.calls.end();
    }

    TestCatalog catalog;
    PendingWrites writes{catalog.Database(), (catalog.Directory() / "Kavelin.pending").string()};
    FakePlaybackEngine player;
    FakeScanQueue scanner;
    RecordingHelp help;
    std::unique_ptr<CMainDlg> window;
    std::unique_ptr<ShellMediaControls> controls;
};

TEST_F(MprisTest, PropertiesDescribeThePlayerAndTheCurrentTrack) {
    EXPECT_EQ(Get("org.mpris.MediaPlayer2", "Identity"), "(<'Kavelin'>,)");
    EXPECT_EQ(Get("org.mpris.MediaPlayer2", "CanQuit"), "(<true>,)");
    EXPECT_EQ(GetPlayer("PlaybackStatus"), "(<'Playing'>,)");
    EXPECT_EQ(GetPlayer("Position"), "(<int64 5000000>,)");
    EXPECT_TRUE(GetPlayer("Volume").startsWith("(<0.50196")) << "the slider's 128 of 255";
    EXPECT_EQ(GetPlayer("CanGoNext"), "(<true>,)");

    window->RunCommand(ID_RATE_GOOD);
    const QString metadata = GetPlayer("Metadata");
    for (const char* entry :
         {"'mpris:trackid': <objectpath '/org/kavelin/track/1'>",
          "'mpris:length': <int64 200000000>", "'xesam:title': <\"It's here\">",
          "'xesam:artist': <['Ann']>", "'xesam:album': <'Days'>", "'xesam:genre': <['Rock']>",
          "'xesam:url': <\"file:///music/It's%20here.mp3\">", "'xesam:userRating': <0.75>"}) {
        EXPECT_TRUE(metadata.contains(entry)) << entry << " in " << metadata.toStdString();
    }

    player.track = CTrackInfo{};
    EXPECT_EQ(GetPlayer("PlaybackStatus"), "(<'Stopped'>,)");
    EXPECT_EQ(GetPlayer("Metadata"),
              "(<{'mpris:trackid': <objectpath '/org/mpris/MediaPlayer2/TrackList/NoTrack'>}>,)");
}

TEST_F(MprisTest, MethodsGoThroughTheWindowsHandlers) {
    auto* pauseButton = window->findChild<QPushButton*>("pauseButton");
    Call("org.mpris.MediaPlayer2.Player.PlayPause");
    EXPECT_EQ(player.calls, std::vector<std::string>{"Pause"});
    EXPECT_EQ(pauseButton->text(), "Play");
    Call("org.mpris.MediaPlayer2.Player.Pause");
    EXPECT_EQ(player.calls.size(), 1u) << "already paused";
    Call("org.mpris.MediaPlayer2.Player.Play");
    EXPECT_TRUE(Called("Resume"));
    EXPECT_EQ(pauseButton->text(), "Pause");

    Call("org.mpris.MediaPlayer2.Player.Next");
    EXPECT_TRUE(Called("Skip"));
    Call("org.mpris.MediaPlayer2.Player.Seek", {"10000000"});
    EXPECT_TRUE(Called("SetPlayerPosition 15000"));
    Call("org.mpris.MediaPlayer2.Player.SetPosition", {"/org/kavelin/track/1", "42000000"});
    EXPECT_TRUE(Called("SetPlayerPosition 42000"));
    Call("org.mpris.MediaPlayer2.Player.SetPosition", {"/org/kavelin/track/2", "1000000"});
    EXPECT_FALSE(Called("SetPlayerPosition 1000")) << "meant for another track";

    player.calls.clear();
    Call("org.mpris.MediaPlayer2.Player.Seek", {"195000001"});
    EXPECT_EQ(player.calls, std::vector<std::string>{"Skip"}) << "past the end";

    Call("org.freedesktop.DBus.Properties.Set",
         {"org.mpris.MediaPlayer2.Player", "Volume", "<0.5>"});
    EXPECT_TRUE(Called("SetPlayerVolume 128"));

    Call("org.mpris.MediaPlayer2.Player.Stop");
    EXPECT_TRUE(Called("Pause"));
    EXPECT_TRUE(Called("SetPlayerPosition 0"));
    EXPECT_EQ(GetPlayer("PlaybackStatus"), "(<'Stopped'>,)");
    Call("org.mpris.MediaPlayer2.Player.PlayPause");
    EXPECT_EQ(GetPlayer("PlaybackStatus"), "(<'Playing'>,)");

    window->hide();
    Call("org.mpris.MediaPlayer2.Raise");
    EXPECT_TRUE(window->isVisible());
    Call("org.mpris.MediaPlayer2.Quit");
    EXPECT_TRUE(Called("StopPlayer")) << "the Exit command";
}

TEST_F(MprisTest, ChangesAreSignalledOnTheBus) {
    QProcess monitor;
    // Line-buffered: a pipe would otherwise hold the monitor's lines back.
    monitor.start("stdbuf", {"-oL", "gdbus", "monitor", "--session", "--dest",
                             "org.mpris.MediaPlayer2.kavelin"});
    ASSERT_TRUE(monitor.waitForStarted());
    QString seen;
    auto waitFor = [&](const QString& text, int milliseconds = 10000) {
        QDeadlineTimer deadline(milliseconds);
        while (!seen.contains(text) && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            monitor.waitForReadyRead(5);
            seen += QString::fromUtf8(monitor.readAllStandardOutput());
        }
        return seen.contains(text);
    };
    // The monitor announces itself before it subscribes: seek until it shows a seek.
    bool listening = false;
    for (int attempt = 0; attempt < 50 && !listening; ++attempt) {
        window->MovePositionSlider(1000);
        listening = waitFor("Seeked (int64 1000000,)", 200);
    }
    ASSERT_TRUE(listening) << seen.toStdString();

    window->findChild<QPushButton*>("pauseButton")->click();
    EXPECT_TRUE(
        waitFor("PropertiesChanged ('org.mpris.MediaPlayer2.Player', "
                "{'PlaybackStatus': <'Paused'>}, @as [])"))
        << seen.toStdString();

    window->RunCommand(ID_RATE_AWESOME);
    EXPECT_TRUE(waitFor("'xesam:userRating': <1.0>")) << seen.toStdString();

    window->MovePositionSlider(30000);
    EXPECT_TRUE(waitFor("org.mpris.MediaPlayer2.Player.Seeked (int64 30000000,)"))
        << seen.toStdString();
    monitor.kill();
    monitor.waitForFinished();
}

TEST_F(MprisTest, WithoutABusOrWithTheNameTakenThePlayerRunsOn) {
    ShellMediaControls second(*window, player, catalog.Database());
    EXPECT_FALSE(second.Publish()) << "the name belongs to the first";
    const QDBusConnection none =
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "none");
    EXPECT_FALSE(second.Publish(none));
    second.Server().Refresh();
    second.Next();
    EXPECT_TRUE(Called("Skip"));
}

}  // namespace
}  // namespace kavelin::test
