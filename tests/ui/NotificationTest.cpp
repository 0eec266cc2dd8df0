#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <functional>

#include "catalog/CatalogOperations.h"
#include "catalog/PendingWrites.h"
#include "platform/notify/DesktopNotifications.h"
#include "tests/support/TestCatalog.h"
#include "tests/ui/UiFakes.h"
#include "ui/MainDlg.h"

// Runs on a private session bus (dbus-run-session), where this test plays the
// desktop's notification service itself.
namespace kavelin::test {

class FakeNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Bubble {
        QString app;
        uint replaces;
        QString summary;
        QString body;
    };
    std::vector<Bubble> bubbles;

public slots:
    uint Notify(const QString& app, uint replaces, const QString& /*icon*/, const QString& summary,
                const QString& body, const QStringList& /*actions*/, const QVariantMap& /*hints*/,
                int /*timeout*/) {
        bubbles.push_back({app, replaces, summary, body});
        return 40 + static_cast<uint>(bubbles.size());
    }
};

namespace {

bool Pump(const std::function<bool()>& until, int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (until()) {
            return true;
        }
    }
    return until();
}

const QString kName = QStringLiteral("org.freedesktop.Notifications");

class NotificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.isConnected()) << "needs a session bus";
        ASSERT_TRUE(m_service.registerObject("/org/freedesktop/Notifications", &fake,
                                             QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(m_service.registerService(kName));
        SetSettingInt(catalog.Database(), "FirstUse", 0);
        dialog.SetNotifications(&notifications);
        dialog.Initialize();
        track = AddTrack("Guns & Roses", "Patience");
    }
    void TearDown() override {
        m_service.unregisterService(kName);
        m_service.unregisterObject("/org/freedesktop/Notifications");
    }

    int AddTrack(const std::string& artist, const std::string& title) {
        catalog.Database().ExecuteStatement(
            "INSERT INTO tTrack(Filename, Artist, Trackname) VALUES ('/music/" + title +
            ".mp3', '" + QuoteForSql(artist) + "', '" + QuoteForSql(title) + "')");
        return static_cast<int>(catalog.ScalarLong("SELECT Max(ID) FROM tTrack"));
    }
    void TrackStarts(int basis, int level) {
        player.track = LoadTrack(catalog.Database(), track);
        player.track.RatingLevel = level;
        player.basis = basis;
        dialog.PostMessage(WM_TRACK_STARTED, 0, 0);
        QCoreApplication::sendPostedEvents(&dialog);
    }

    QDBusConnection m_service =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-notification-service");
    FakeNotificationService fake;
    TestCatalog catalog;
    ScopedMessageShell boxes;
    FakePlaybackEngine player;
    FakeScanQueue scanner;
    RecordingHelp help;
    DesktopNotifications notifications;
    PendingWrites writes{catalog.Database(), (catalog.Directory() / "Kavelin.pending").string()};
    CMainDlg dialog{catalog.Database(),
                    writes,
                    player,
                    scanner,
                    std::make_unique<RecordingSpeech>(std::make_shared<std::vector<std::string>>()),
                    help};
    int track = 0;
};

TEST_F(NotificationTest, EachTrackReplacesTheBubbleOnlyWhileTheWindowIsAwayAndTheOptionIsOn) {
    TrackStarts(1, 4);
    ASSERT_TRUE(Pump([&] { return fake.bubbles.size() == 1; }, 5000));
    EXPECT_EQ(fake.bubbles[0].app, "Kavelin");
    EXPECT_EQ(fake.bubbles[0].replaces, 0u);
    EXPECT_EQ(fake.bubbles[0].summary, "Patience");
    EXPECT_EQ(fake.bubbles[0].body, "Guns &amp; Roses\nRated Awesome ");
    Pump([] { return false; }, 100);  // the service's answer comes back

    TrackStarts(0, 3);
    ASSERT_TRUE(Pump([&] { return fake.bubbles.size() == 2; }, 5000));
    EXPECT_EQ(fake.bubbles[1].replaces, 41u) << "the first bubble is replaced";
    EXPECT_EQ(fake.bubbles[1].body, "Guns &amp; Roses\nNot rated. (Good ?)");

    dialog.show();
    TrackStarts(1, 2);
    dialog.hide();
    dialog.RunCommand(ID_NOTIFICATIONS);
    EXPECT_EQ(GetSettingInt(catalog.Database(), "Notify"), 0);
    TrackStarts(1, 2);
    Pump([] { return false; }, 300);
    EXPECT_EQ(fake.bubbles.size(), 2u) << "no bubble over the window, none when turned off";
}

TEST_F(NotificationTest, WithoutAServiceNothingWaitsOrComplains) {
    m_service.unregisterService(kName);
    QElapsedTimer timer;
    timer.start();
    TrackStarts(1, 4);
    EXPECT_LT(timer.elapsed(), 100);
    Pump([] { return false; }, 300);
    EXPECT_TRUE(fake.bubbles.empty());
    EXPECT_TRUE(boxes.shell().Messages().empty());
}

}  // namespace
}  // namespace kavelin::test

#include "NotificationTest.moc"
