#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>

#include "tests/ui/UiFakes.h"
#include "ui/DialogUnits.h"
#include "ui/HelpWindow.h"
#include "ui/KavelinAbout.h"
#include "ui/QtMessageShell.h"
#include "ui/TrayIcon.h"
#include "ui/VoiceFeedback.h"

namespace kavelin::test {
namespace {

TEST(TrayTip, CutToSixtyThreeCharacters) {
    const QString longTip = QString("Artist - ") + QString(70, 'x');
    EXPECT_EQ(CutTrayTip(longTip).size(), 63);
    EXPECT_EQ(CutTrayTip(longTip), longTip.left(63));
    EXPECT_EQ(CutTrayTip("Short - Tip"), "Short - Tip");
    // A character outside the basic plane is never cut in half.
    const QString emoji = QString(62, 'a') + QString::fromUtf8("\xF0\x9F\x8E\xB5");
    EXPECT_EQ(CutTrayTip(emoji), QString(62, 'a'));
}

TEST(TrayIcon, DoesNothingWithoutANotificationArea) {
    CTrayIcon tray;
    QWidget window;
    tray.Create(&window, "Kavelin", QIcon(), nullptr);
    if (tray.IsActive()) {
        GTEST_SKIP() << "this desktop has a notification area";
    }
    tray.SetTip("Artist - Track");
    EXPECT_EQ(tray.Tip(), "");
    tray.Destroy();
}

TEST(VoiceFeedback, SpeaksOnlyWhenAvailableAndEnabled) {
    auto said = std::make_shared<std::vector<std::string>>();
    CVoiceFeedback missing(std::make_unique<RecordingSpeech>(said, false));
    missing.Create();
    missing.Speak("lost");
    EXPECT_FALSE(missing.IsAvailable());

    CVoiceFeedback voice(std::make_unique<RecordingSpeech>(said, true));
    voice.Speak("before create");
    voice.Create();
    voice.Speak("one");
    voice.SetEnabled(false);
    voice.Speak("muted");
    voice.SetEnabled(true);
    voice.Speak("two");
    EXPECT_EQ(*said, (std::vector<std::string>{"one", "two"}));
}

TEST(VoiceFeedback, TextsWaitTheirTurnAndTheOldestWaitingIsDropped) {
    auto said = std::make_shared<std::vector<std::string>>();
    auto output = std::make_unique<RecordingSpeech>(said, true, true);
    RecordingSpeech& speech = *output;
    CVoiceFeedback voice(std::move(output));
    voice.Create();
    voice.Speak("Track excluded");
    voice.Speak("dropped");
    voice.Speak("b");
    voice.Speak("c");
    voice.Speak("Start playing");
    EXPECT_EQ(*said, std::vector<std::string>{"Track excluded"}) << "nothing cut off";
    for (int i = 0; i < 4; ++i) {
        speech.FinishText();
    }
    EXPECT_EQ(*said, (std::vector<std::string>{"Track excluded", "b", "c", "Start playing"}));
}

TEST(Help, EveryControlTopicIsAWrittenPage) {
    const std::pair<int, const char*> table[] = {
        {1001, "html/SkipButton.htm"},   {1006, "html/MoodSelector.htm"},
        {1008, "html/SongSlider.htm"},   {1009, "html/RateAwesome.htm"},
        {1010, "html/RateGood.htm"},     {1011, "html/RateNormal.htm"},
        {1012, "html/RateBad.htm"},      {1013, "html/PauseButton.htm"},
        {1017, "html/VolumeSlider.htm"}, {1014, "html/ExcludeButton.htm"},
        {1043, "html/Overview.htm"},     {0, "html/Overview.htm"},
    };
    for (const auto& [control, topic] : table) {
        EXPECT_EQ(HelpTopicForControl(control), topic) << control;
        QFile page(QString(":/help/") + topic);
        ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << topic;
        EXPECT_GT(page.size(), 300) << topic;
    }
    EXPECT_TRUE(ContextPopupText(kClosedToTrayPopup, true).contains("notification area"));
    EXPECT_TRUE(ContextPopupText(kClosedToTrayPopup, false).contains("minimised"));
}

TEST(Help, WindowShowsTheIndexAndTopics) {
    CHelpWindow window;
    window.ShowIndex();
    EXPECT_EQ(window.CurrentTopic(), kOverviewTopic);
    EXPECT_TRUE(window.isVisible());
    window.ShowTopic("html/SkipButton.htm");
    EXPECT_EQ(window.CurrentTopic(), "html/SkipButton.htm");
}

TEST(Help, WindowIsPlacedWholeOnTheAskingScreen) {
    // A second screen right of the first, smaller than the help window wants.
    const QRect screen(1920, 0, 1024, 600);
    const QRect placed = PlaceOnScreen(QSize(1200, 500), screen);
    EXPECT_TRUE(screen.contains(placed)) << placed.x() << "," << placed.y();
    EXPECT_EQ(placed.size(), QSize(1024, 500));
    EXPECT_EQ(placed.center().y(), screen.center().y());

    QWidget mainWindow;
    mainWindow.setGeometry(5000, 5000, 200, 100);  // wherever: the help takes its screen
    mainWindow.show();
    CHelpWindow help;
    help.ShowIndex(&mainWindow);
    EXPECT_EQ(help.screen(), mainWindow.screen());
    EXPECT_TRUE(help.screen()->availableGeometry().contains(help.geometry()));
}

TEST(AboutBox, ProductLineCreditsAndOk) {
    CKavelinAbout about;
    about.show();
    EXPECT_FALSE(about.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(about.windowFlags() & Qt::WindowTitleHint);
    EXPECT_EQ(about.windowTitle(), "About Kavelin");
    EXPECT_EQ(about.findChild<QLabel*>("productLine")->text(), "Kavelin version 1.00 beta");
    EXPECT_TRUE(about.findChild<QLabel*>("credits")->text().contains("SQLite"));
    about.findChild<QPushButton*>()->click();
    EXPECT_FALSE(about.isVisible());
}

TEST(QtMessageShell, AWorkersBoxIsShownOnTheUiThreadWhileTheWorkerWaits) {
    QtMessageShell shell;
    std::atomic<bool> answered{false};
    MessageAnswer answer = MessageAnswer::Ok;
    QString shownText;
    bool shownOnUiThread = false;
    // Plays the user: answers the box with No once it is up.
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shownText = box->text();
            shownOnUiThread = box->thread() == QThread::currentThread();
            box->button(QMessageBox::No)->click();
        }
    });
    user.start(10);
    std::thread worker([&] {
        answer = shell.ShowMessage("Unexpected <b>error</b>", "Fatal Error...", MessageIcon::Error,
                                   MessageButtons::YesNo);
        answered = true;
    });
    const bool done = QTest::qWaitFor([&] { return answered.load(); }, 10000);
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(answer, MessageAnswer::No);
    EXPECT_EQ(shownText, "Unexpected <b>error</b>");
    EXPECT_TRUE(shownOnUiThread);
    EXPECT_FALSE(shell.OpenAddress("file:///etc/passwd"));
}

TEST(DialogUnits, ScaleWithTheFont) {
    QFont small = DialogFont();
    QFont large = small;
    large.setPointSize(16);
    const DialogUnits smallUnits(small), largeUnits(large);
    EXPECT_GT(smallUnits.X(303), 303);
    EXPECT_GT(largeUnits.X(303), smallUnits.X(303) * 3 / 2);
    EXPECT_GT(largeUnits.Y(139), smallUnits.Y(139) * 3 / 2);
    EXPECT_EQ(smallUnits.ToPixels(QRect(4, 8, 4, 8)).topLeft(),
              QPoint(smallUnits.X(4), smallUnits.Y(8)));
}

}  // namespace
}  // namespace kavelin::test
