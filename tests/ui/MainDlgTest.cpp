#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <algorithm>
#include <thread>

#include "catalog/CatalogOperations.h"
#include "catalog/PendingWrites.h"
#include "tests/support/TestCatalog.h"
#include "tests/ui/UiFakes.h"
#include "ui/CatalogTreeView.h"
#include "ui/KavelinAbout.h"
#include "ui/MainDlg.h"
#include "ui/TrayIcon.h"

namespace kavelin::test {
namespace {

class MainDlgTest : public ::testing::Test {
protected:
    void SetUp() override { Make(); }

    // A window over a fresh catalog whose first use is behind it.
    void Make(bool firstUse = false) {
        SetSettingInt(catalog.Database(), "FirstUse", firstUse ? 1 : 0);
        said = std::make_shared<std::vector<std::string>>();
        dialog = std::make_unique<CMainDlg>(catalog.Database(), writes, player, scanner,
                                            std::make_unique<RecordingSpeech>(said), help);
        dialog->SetFolderPicker([this] {
            ++pickerShown;
            return pickedFolder;
        });
    }

    template <typename T>
    T* Control(const char* name) {
        T* control = dialog->findChild<T*>(name);
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    QString Text(const char* label) { return Control<QLabel>(label)->text(); }

    void Post(unsigned message) {
        dialog->PostMessage(message, 0, 0);
        QCoreApplication::sendPostedEvents(dialog.get());
    }

    int AddTrack(const std::string& artist, const std::string& title, int genre = 255) {
        catalog.Database().ExecuteStatement(
            "INSERT INTO tTrack(Filename, Artist, Trackname, GenreID) VALUES ('/music/" + title +
            ".mp3', '" + QuoteForSql(artist) + "', '" + QuoteForSql(title) + "', " +
            std::to_string(genre) + ")");
        return static_cast<int>(catalog.ScalarLong("SELECT Max(ID) FROM tTrack"));
    }

    void PlayTrackRated(int id, int basis, int level) {
        player.track = LoadTrack(catalog.Database(), id);
        player.track.RatingLevel = level;
        player.basis = basis;
        Post(WM_TRACK_STARTED);
    }

    // Closed to the notification area, or minimised where the desktop has none.
    bool PutAway() const {
        return dialog->Tray().IsActive() ? !dialog->isVisible() : dialog->isMinimized();
    }

    bool Called(const std::string& call) const {
        return std::find(player.calls.begin(), player.calls.end(), call) != player.calls.end();
    }

    std::string Rating(int moodId, int trackId) {
        return catalog.Scalar("SELECT Rating FROM tTrackMood WHERE MoodID=" +
                              std::to_string(moodId) + " AND TrackID=" + std::to_string(trackId));
    }

    TestCatalog catalog;
    PendingWrites writes{catalog.Database(), (catalog.Directory() / "Kavelin.pending").string()};
    ScopedMessageShell boxes;
    FakePlaybackEngine player;
    FakeScanQueue scanner;
    RecordingHelp help;
    std::shared_ptr<std::vector<std::string>> said;
    std::unique_ptr<CMainDlg> dialog;
    QString pickedFolder;
    int pickerShown = 0;
};

TEST_F(MainDlgTest, GreetsBeforeTheVoiceSettingIsReadAndThenFollowsIt) {
    SetSettingInt(catalog.Database(), "Voice", 0);
    Make();
    ASSERT_EQ(*said, std::vector<std::string>{"Welcome to Kavelin"});
    dialog->Initialize();
    EXPECT_FALSE(dialog->CommandAction(ID_VOICE)->isChecked());
    dialog->RunCommand(ID_RATE_GOOD);  // no track yet
    player.track = LoadTrack(catalog.Database(), AddTrack("A", "B"));
    dialog->RunCommand(ID_RATE_GOOD);
    EXPECT_EQ(said->size(), 1u) << "a disabled voice says nothing";
    dialog->RunCommand(ID_VOICE);
    EXPECT_TRUE(dialog->CommandAction(ID_VOICE)->isChecked());
    dialog->RunCommand(ID_RATE_GOOD);
    EXPECT_EQ(said->back(), "Rating set to good");
}

TEST_F(MainDlgTest, FailuresInHandlersAreShownAndTheWindowGoesOn) {
    // A track player whose catalog fails under the window's handlers.
    struct FailingEngine : FakePlaybackEngine {
        CTrackInfo GetCurrentTrack() override {
            throw CADOException(SqliteResultCode(10), "SQLite", "disk I/O error");
        }
        void SelectNextTrack() override {
            throw CADOException(SqliteResultCode(5), "SQLite", "database is locked");
        }
        void Skip() override { SelectNextTrack(); }
    } failing;
    CMainDlg window(catalog.Database(), writes, failing, scanner,
                    std::make_unique<RecordingSpeech>(said), help);
    window.Initialize();
    auto* status = window.findChild<QLabel*>("statusLine");
    ASSERT_NE(status, nullptr);

    window.PostMessage(WM_TRACK_INFORMATION, 0, 0);
    EXPECT_NO_THROW(QCoreApplication::sendPostedEvents(&window));
    EXPECT_TRUE(status->text().contains("disk I/O error")) << status->text().toStdString();
    EXPECT_NO_THROW(window.RunCommand(ID_SKIP));
    EXPECT_TRUE(status->text().contains("database is locked")) << status->text().toStdString();

    // A worker's report, from its own thread, reaches the same line.
    std::thread([&] { window.ReportProblem("Cannot choose the next track."); }).join();
    QCoreApplication::sendPostedEvents(&window);
    EXPECT_EQ(status->text(), "Cannot choose the next track.");
}

TEST_F(MainDlgTest, AStartPostedAgainAfterItWasTakenPlaysAndRecordsNothing) {
    dialog->Initialize();
    player.startWaiting = false;
    PlayTrackRated(AddTrack("A", "B"), 1, 3);
    EXPECT_FALSE(Called("PlayFile /music/B.mp3"));
    EXPECT_EQ(catalog.ScalarLong("SELECT Count(*) FROM tTrackMood"), 0);
}

TEST_F(MainDlgTest, InitialisationFillsMoodsSetsVolumeAndAppliesThePlayerSetting) {
    SetSettingInt(catalog.Database(), "Player", 2);
    dialog->Initialize();
    auto* moods = Control<QComboBox>("moodBox");
    ASSERT_EQ(moods->count(), 8);
    EXPECT_EQ(moods->itemText(0), "Energetic") << "the list is sorted";
    EXPECT_EQ(moods->currentText(), "Neutral");
    EXPECT_EQ(player.calls,
              (std::vector<std::string>{"SetMood Neutral", "SwitchPlayer 2", "CreatePlayer"}));
    EXPECT_TRUE(dialog->CommandAction(ID_PLAYER_WINAMP)->isChecked());
    EXPECT_FALSE(dialog->CommandAction(ID_PLAYER_MEDIA)->isChecked());
    auto* volume = Control<QSlider>("volumeSlider");
    EXPECT_EQ(volume->minimum(), 0);
    EXPECT_EQ(volume->maximum(), 255);
    EXPECT_EQ(volume->value(), 128);
    EXPECT_TRUE(boxes.shell().Messages().empty()) << "no first-use question after first use";
    EXPECT_EQ(dialog->windowTitle(), "Kavelin version 1.00 beta");
    EXPECT_EQ(dialog->MenuBar()->actions().at(2)->text(), "Options");
}

TEST_F(MainDlgTest, UnknownPlayerSettingKeepsTheDefaultCheckMark) {
    SetSettingInt(catalog.Database(), "Player", 7);
    dialog->Initialize();
    EXPECT_EQ(player.calls, (std::vector<std::string>{"SetMood Neutral", "CreatePlayer"}));
    EXPECT_TRUE(dialog->CommandAction(ID_PLAYER_MEDIA)->isChecked());
}

TEST_F(MainDlgTest, FirstUseYesQueuesTheHomeDirectory) {
    Make(true);
    boxes.shell().answer = MessageAnswer::Yes;
    dialog->Initialize();
    ASSERT_EQ(boxes.shell().Messages().size(), 1u);
    EXPECT_EQ(boxes.shell().Messages()[0].text,
              "Do you want Kavelin to automatically search for music files?");
    EXPECT_EQ(boxes.shell().Messages()[0].title, "Auto-search");
    EXPECT_EQ(scanner.queued, std::vector<std::string>{QDir::homePath().toStdString() + "/"});
    EXPECT_EQ(pickerShown, 0);
    EXPECT_EQ(GetSettingInt(catalog.Database(), "FirstUse"), 0);
}

TEST_F(MainDlgTest, FirstUseNoRunsAddFilesAndACancelAddsNothing) {
    Make(true);
    boxes.shell().answer = MessageAnswer::No;
    dialog->Initialize();
    EXPECT_EQ(pickerShown, 1);
    EXPECT_TRUE(scanner.queued.empty());
    EXPECT_EQ(boxes.shell().Messages().size(), 1u) << "no 'Directory added' after a cancel";
    EXPECT_EQ(GetSettingInt(catalog.Database(), "FirstUse"), 0);

    pickedFolder = "/srv/music";
    dialog->RunCommand(ID_ADD_FILES);
    EXPECT_EQ(scanner.queued, std::vector<std::string>{"/srv/music/"});
    ASSERT_EQ(boxes.shell().Messages().size(), 2u);
    EXPECT_EQ(boxes.shell().Messages()[1].title, "Directory added");
    EXPECT_EQ(boxes.shell().Messages()[1].text,
              "The directory has been added. Information about the files will be gathered. "
              "This process might take a while with large mp3 collections.");
}

TEST_F(MainDlgTest, TrackStartedPlaysAnnouncesAndRecordsThePlay) {
    dialog->Initialize();
    const int id = AddTrack("Guns 'n' Roses", "Patience");
    player.total = 10;
    player.rated = 3;
    PlayTrackRated(id, 1, 4);
    EXPECT_TRUE(Called("PlayFile /music/Patience.mp3"));
    EXPECT_EQ(Text("ratingLine"), "Rated Awesome ");
    EXPECT_EQ(said->back(), "Start playing:Guns 'n' Roses - Patience -  Does this rock or what?. ");
    EXPECT_EQ(Text("statusLine"), "Database: Total 10, Rated 3");
    EXPECT_EQ(catalog.ScalarLong("SELECT Played FROM tTrackMood WHERE MoodID=2 AND TrackID=" +
                                 std::to_string(id)),
              1);
    PlayTrackRated(id, 1, 1);
    EXPECT_EQ(Text("ratingLine"), "Rated Bad");
    EXPECT_EQ(said->back(), "Start playing:Guns 'n' Roses - Patience -  Rated bad. ");
    EXPECT_EQ(catalog.ScalarLong("SELECT Played FROM tTrackMood WHERE MoodID=2 AND TrackID=" +
                                 std::to_string(id)),
              2)
        << "a repeated start is another play";
}

TEST_F(MainDlgTest, UnratedTrackShowsTheGuess) {
    dialog->Initialize();
    const int id = AddTrack("A", "B");
    PlayTrackRated(id, 2, 3);
    EXPECT_EQ(Text("ratingLine"), "Not rated. (Good ?)");
    EXPECT_EQ(said->back(), "Start playing:A - B -  Not rated. ");
    PlayTrackRated(id, 0, 0);
    EXPECT_EQ(Text("ratingLine"), "Not rated.");
}

TEST_F(MainDlgTest, StartWithoutATrackNeitherPlaysNorRecords) {
    dialog->Initialize();
    player.calls.clear();
    Post(WM_TRACK_STARTED);
    EXPECT_TRUE(player.calls.empty());
    EXPECT_EQ(catalog.ScalarLong("SELECT Count(*) FROM tTrackMood"), 0);
    EXPECT_EQ(catalog.ScalarLong("SELECT Counter FROM tCounter"), 0);
}

TEST_F(MainDlgTest, TrackInformationShowsTagsAndGenre) {
    dialog->Initialize();
    const int id = AddTrack("<b>Artist</b>", "Title", 17);
    player.track = LoadTrack(catalog.Database(), id);
    player.track.Album = "Album";
    player.track.Year = "1999";
    Post(WM_TRACK_INFORMATION);
    EXPECT_EQ(Text("artistText"), "<b>Artist</b>");
    EXPECT_EQ(Control<QLabel>("artistText")->textFormat(), Qt::PlainText);
    EXPECT_EQ(Text("trackText"), "Title");
    EXPECT_EQ(Text("albumText"), "Album");
    EXPECT_EQ(Text("yearText"), "1999");
    EXPECT_EQ(Text("genreText"), "Rock");
    player.track.GenreID = 255;
    Post(WM_TRACK_INFORMATION);
    EXPECT_EQ(Text("genreText"), "None");
}

TEST_F(MainDlgTest, PositionMessageMovesTheSliderWithoutSeeking) {
    dialog->Initialize();
    player.length = 200000;
    player.position = 90000;
    player.calls.clear();
    Post(WM_TRACK_POSITION);
    auto* slider = Control<QSlider>("positionSlider");
    EXPECT_EQ(slider->maximum(), 200000);
    EXPECT_EQ(slider->value(), 90000);
    EXPECT_TRUE(player.calls.empty());
}

TEST_F(MainDlgTest, ScanProgressDotsFollowTheCount) {
    dialog->Initialize();
    const QString before = Text("statusLine");
    Post(WM_SCAN_PROGRESS);  // an idle scanner's report
    EXPECT_EQ(Text("statusLine"), before) << "only a search line gives way to the catalog line";
    const std::pair<int, const char*> expected[] = {{5, "Searching for mp3 files..."},
                                                    {6, "Searching for mp3 files.."},
                                                    {7, "Searching for mp3 files."},
                                                    {8, "Searching for mp3 files"}};
    for (const auto& [count, text] : expected) {
        scanner.count = count;
        Post(WM_SCAN_PROGRESS);
        EXPECT_EQ(Text("statusLine"), text) << count;
    }
    // The queue is empty: a scan that found nothing ends with the catalog line.
    player.total = 42;
    player.rated = 7;
    scanner.count = 0;
    Post(WM_SCAN_PROGRESS);
    EXPECT_EQ(Text("statusLine"), "Database: Total 42, Rated 7");
}

TEST_F(MainDlgTest, AFullCatalogDiskIsShownUntilTheScanGoesOn) {
    dialog->Initialize();
    scanner.count = 7;
    scanner.diskFull = true;
    Post(WM_SCAN_PROGRESS);
    EXPECT_EQ(Text("statusLine"), "Scanning paused: the disk holding the catalog is full");
    scanner.diskFull = false;
    Post(WM_SCAN_PROGRESS);
    EXPECT_EQ(Text("statusLine"), "Searching for mp3 files.");
    scanner.diskFull = true;
    Post(WM_SCAN_PROGRESS);
    scanner.diskFull = false;
    scanner.count = 0;
    Post(WM_SCAN_PROGRESS);
    EXPECT_EQ(Text("statusLine"), "") << "the scan ended while the message was shown";
}

TEST_F(MainDlgTest, DownloadStatusFormatsAndTheCheckBox) {
    FakeDownloader downloader;
    dialog->SetDownloader(&downloader);
    dialog->Initialize();
    Post(WM_DOWNLOAD_STATUS);
    EXPECT_EQ(Text("downloadStatus"), "Disabled.");

    auto* box = Control<QCheckBox>("downloadBox");
    EXPECT_FALSE(box->isChecked());
    box->click();
    EXPECT_TRUE(downloader.started);
    downloader.downloads = 2;
    downloader.down = 300;
    downloader.up = 40;
    Post(WM_DOWNLOAD_STATUS);
    EXPECT_EQ(Text("downloadStatus"), "Connecting... 2 downloads 300 b/sec Down 40 b/sec Up...");
    downloader.hosts = 4;
    Post(WM_DOWNLOAD_STATUS);
    EXPECT_EQ(Text("downloadStatus"), "4 Connects 2 downloads 300 b/sec Down 40 b/sec Up...");
    box->click();
    EXPECT_FALSE(downloader.started);
}

TEST_F(MainDlgTest, RatingButtonsStoreSpeakAndShow) {
    RecordingRecommender recommender;
    dialog->SetRecommender(&recommender);
    dialog->Initialize();
    const int id = AddTrack("", "Untitled");
    player.track = LoadTrack(catalog.Database(), id);
    player.moodId = 3;
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"badButton", "Rated Bad", "Rating set to bad", "1"},
        {"normalButton", "Rated Normal", "Rating set to normal", "2"},
        {"goodButton", "Rated Good", "Rating set to good", "3"},
        {"awesomeButton", "Rated Awesome!", "Rating set to awesome", "4"},
    };
    for (const auto& [button, line, spoken, stored] : cases) {
        Control<QPushButton>(button)->click();
        EXPECT_EQ(Text("ratingLine"), line);
        EXPECT_EQ(said->back(), spoken);
        EXPECT_EQ(Rating(3, id), stored) << button;
        EXPECT_EQ(Rating(2, id), "") << "other moods keep their rating";
    }
    EXPECT_EQ(catalog.ScalarLong("SELECT Count(*) FROM tTrackMood"), 1) << "one row per pair";
    EXPECT_EQ(recommender.artists, std::vector<std::string>{""})
        << "only Awesome looks up, even for an empty artist";
}

TEST_F(MainDlgTest, ExcludeStoresMinusOneThenSelectsTheNextTrack) {
    dialog->Initialize();
    const int id = AddTrack("A", "B");
    player.track = LoadTrack(catalog.Database(), id);
    player.calls.clear();
    Control<QPushButton>("excludeButton")->click();
    EXPECT_EQ(Rating(2, id), "-1");
    EXPECT_EQ(Text("ratingLine"), "Excluded");
    EXPECT_EQ(said->back(), "Track excluded");
    EXPECT_EQ(player.calls, std::vector<std::string>{"SelectNextTrack"});
}

// Another program holds the catalog: the verdict, the exclusion, the play and
// a changed option wait, the window says so instead of "Rated", and all are
// stored once the catalog is free.
TEST_F(MainDlgTest, WritesTheCatalogCannotTakeWaitAndTheWindowSaysSo) {
    dialog->Initialize();
    const int id = AddTrack("A", "B");
    player.moodId = 3;
    auto hold = std::make_unique<CatalogWriteHold>(catalog.CatalogPath());
    PlayTrackRated(id, 0, 0);
    Control<QPushButton>("goodButton")->click();
    EXPECT_EQ(Text("ratingLine"), "Good: not saved yet");
    Control<QPushButton>("excludeButton")->click();
    EXPECT_EQ(Text("ratingLine"), "Excluded: not saved yet");
    EXPECT_EQ(Text("statusLine"),
              "2 ratings or plays are waiting to be saved: the catalog is in use by another "
              "program. Kavelin keeps trying.");
    dialog->RunCommand(ID_NOTIFICATIONS);  // switched off
    EXPECT_EQ(writes.StatusText(),
              "2 ratings or plays and 1 setting are waiting to be saved: the catalog is in use "
              "by another program. Kavelin keeps trying.");
    hold.reset();
    EXPECT_TRUE(writes.RetryNow());
    EXPECT_EQ(GetSettingInt(catalog.Database(), "Notify"), 0);
    EXPECT_EQ(Rating(3, id), "-1");
    EXPECT_EQ(
        catalog.ScalarLong("SELECT Played FROM tTrackMood WHERE TrackID=" + std::to_string(id)), 1);
    QTest::qWait(600);
    EXPECT_EQ(Text("statusLine"), "Database: Total 0, Rated 0") << "the line it had before";
}

TEST_F(MainDlgTest, PopupMenuCommandsReachTheHandlersWhileHidden) {
    dialog->Initialize();
    const int id = AddTrack("A", "B");
    player.track = LoadTrack(catalog.Database(), id);
    QMenu* popup = dialog->PopupMenu();
    QStringList items;
    for (QAction* action : popup->actions()) {
        items << (action->isSeparator() ? "-" : action->text());
    }
    EXPECT_EQ(items,
              (QStringList{"Awesome", "Good", "Normal", "Bad", "Exclude", "-", "Skip", "Exit"}));
    popup->actions().at(0)->trigger();
    EXPECT_EQ(Rating(2, id), "4");
    EXPECT_EQ(said->back(), "Rating set to awesome");
    player.calls.clear();
    popup->actions().at(6)->trigger();
    EXPECT_EQ(player.calls, std::vector<std::string>{"Skip"});
}

TEST_F(MainDlgTest, PauseButtonCaptionFollowsThePlayer) {
    dialog->Initialize();
    auto* pause = Control<QPushButton>("pauseButton");
    pause->click();
    EXPECT_EQ(pause->text(), "Play");
    EXPECT_TRUE(player.paused);
    pause->click();
    EXPECT_EQ(pause->text(), "Pause");
    EXPECT_FALSE(player.paused);
    player.hasPlayer = false;
    player.calls.clear();
    pause->click();
    EXPECT_TRUE(player.calls.empty()) << "without a backend the button does nothing";
    EXPECT_EQ(pause->text(), "Pause");
}

TEST_F(MainDlgTest, SlidersSeekAndSetTheVolumeOnEveryStep) {
    dialog->Initialize();
    player.length = 100000;
    Post(WM_TRACK_POSITION);
    player.calls.clear();
    auto* volume = Control<QSlider>("volumeSlider");
    volume->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(player.calls.back(), "SetPlayerVolume 129");
    volume->setSliderDown(true);
    volume->setSliderPosition(200);
    EXPECT_EQ(player.calls.back(), "SetPlayerVolume 200") << "while the thumb is dragged";
    auto* position = Control<QSlider>("positionSlider");
    position->triggerAction(QAbstractSlider::SliderToMaximum);
    EXPECT_EQ(player.calls.back(), "SetPlayerPosition 100000");
}

TEST_F(MainDlgTest, OnlyAChoiceFromTheListChangesTheMood) {
    dialog->Initialize();
    dialog->show();
    auto* moods = Control<QComboBox>("moodBox");
    moods->setFocus();
    player.calls.clear();
    moods->lineEdit()->selectAll();
    QTest::keyClicks(moods->lineEdit(), "Happy");
    QTest::keyClick(moods->lineEdit(), Qt::Key_Return);
    Control<QPushButton>("skipButton")->setFocus();
    EXPECT_EQ(std::count(player.calls.begin(), player.calls.end(), "SetMood Happy"), 0);
    EXPECT_EQ(moods->count(), 8) << "typed text is not added to the list";
    EXPECT_TRUE(dialog->isVisible()) << "Enter in the mood box does not close the window";

    moods->setFocus();
    moods->setCurrentIndex(moods->findText("Neutral"));
    QTest::keyClick(moods->lineEdit(), Qt::Key_Down);
    EXPECT_EQ(player.calls.back(), "SetMood Party");
}

TEST_F(MainDlgTest, EnterIsIgnoredAndEscapeHidesLikeAClose) {
    dialog->Initialize();
    dialog->show();
    player.calls.clear();
    Control<QPushButton>("awesomeButton")->setFocus();
    QTest::keyClick(dialog.get(), Qt::Key_Return);
    QTest::keyClick(dialog.get(), Qt::Key_Enter);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(player.calls.empty());
    EXPECT_EQ(catalog.ScalarLong("SELECT Count(*) FROM tTrackMood"), 0);

    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_TRUE(PutAway());
    EXPECT_EQ(GetSettingInt(catalog.Database(), "CloseCount"), 1);
}

TEST_F(MainDlgTest, CloseHidesCountsAndShowsTheNoteOnlyBelowFive) {
    dialog->Initialize();
    SetSettingInt(catalog.Database(), "CloseCount", 3);
    for (int close = 0; close < 3; ++close) {
        dialog->showNormal();
        EXPECT_FALSE(dialog->close()) << "a close without Exit keeps the window";
        EXPECT_TRUE(PutAway());
    }
    EXPECT_EQ(help.popups, (std::vector<int>{1000, 1000})) << "at counts 3 and 4, not 5";
    EXPECT_EQ(GetSettingInt(catalog.Database(), "CloseCount"), 6);
    EXPECT_EQ(GetSettingInt(catalog.Database(), "Voice"), 1) << "a close writes no options";
}

TEST_F(MainDlgTest, ExitFromThePopupWhileHiddenWritesTheSettings) {
    FakeDownloader downloader;
    dialog->SetDownloader(&downloader);
    dialog->Initialize();
    Control<QCheckBox>("downloadBox")->click();
    dialog->RunCommand(ID_VOICE);  // off
    player.playerType = 2;
    player.calls.clear();
    dialog->PopupMenu()->actions().back()->trigger();
    EXPECT_EQ(player.calls, std::vector<std::string>{"StopPlayer"});
    QCoreApplication::processEvents();
    EXPECT_EQ(GetSettingInt(catalog.Database(), "Voice"), 0);
    EXPECT_EQ(GetSettingInt(catalog.Database(), "Download"), 1);
    EXPECT_EQ(GetSettingInt(catalog.Database(), "Player"), 2);
    EXPECT_EQ(GetSettingInt(catalog.Database(), "CloseCount"), 0) << "quitting is not a close";

    Post(WM_SCAN_PROGRESS);
    scanner.count = 5;
    Post(WM_SCAN_PROGRESS);
    EXPECT_EQ(Text("statusLine"), "Status: Initializing...") << "posts after quitting are dropped";
}

TEST_F(MainDlgTest, PostsBeforeInitialisationAreDropped) {
    scanner.count = 5;
    Post(WM_SCAN_PROGRESS);
    EXPECT_EQ(Text("statusLine"), "Status: Initializing...");
}

TEST_F(MainDlgTest, MenuCommandsForPlayerHelpAboutAndCatalog) {
    dialog->Initialize();
    player.calls.clear();
    dialog->RunCommand(ID_PLAYER_WINAMP);
    EXPECT_TRUE(dialog->CommandAction(ID_PLAYER_WINAMP)->isChecked());
    EXPECT_FALSE(dialog->CommandAction(ID_PLAYER_MEDIA)->isChecked());
    dialog->CommandAction(ID_PLAYER_MEDIA)->trigger();
    EXPECT_TRUE(dialog->CommandAction(ID_PLAYER_MEDIA)->isChecked());
    EXPECT_FALSE(dialog->CommandAction(ID_PLAYER_WINAMP)->isChecked());
    EXPECT_EQ(player.calls, (std::vector<std::string>{"SwitchPlayer 2", "SwitchPlayer 1"}));

    for (int disabled : {ID_SEARCH, ID_EXPORT, ID_IMPORT, ID_CREATE_PLAYLIST}) {
        EXPECT_FALSE(dialog->CommandAction(disabled)->isEnabled()) << disabled;
    }
    dialog->RunCommand(ID_HELP_INDEX);
    dialog->RunCommand(ID_HELP);
    EXPECT_EQ(help.indexShown, 2);

    dialog->RunCommand(ID_ABOUT);
    dialog->RunCommand(ID_ABOUT);
    ASSERT_EQ(dialog->AboutBoxes().size(), 2u) << "a new about box per command";
    EXPECT_TRUE(dialog->AboutBoxes()[1]->isVisible());
    dialog->AboutBoxes()[1]->findChild<QPushButton*>()->click();
    EXPECT_FALSE(dialog->AboutBoxes()[1]->isVisible()) << "OK hides it";
    EXPECT_TRUE(dialog->AboutBoxes()[0]->isVisible());

    EXPECT_FALSE(dialog->CatalogWindow()->isVisible()) << "made hidden";
    dialog->RunCommand(ID_SHOW_CATALOG);
    EXPECT_TRUE(dialog->CatalogWindow()->isVisible());
}

TEST_F(MainDlgTest, F1OpensTheTopicOfTheFocusedControl) {
    FakeDownloader downloader;
    dialog->SetDownloader(&downloader);  // the download box takes the focus only when enabled
    dialog->Initialize();
    dialog->show();
    QApplication::setActiveWindow(dialog.get());
    const std::pair<const char*, const char*> cases[] = {
        {"skipButton", "html/SkipButton.htm"},     {"moodBox", "html/MoodSelector.htm"},
        {"volumeSlider", "html/VolumeSlider.htm"}, {"excludeButton", "html/ExcludeButton.htm"},
        {"downloadBox", "html/Overview.htm"},
    };
    for (const auto& [control, topic] : cases) {
        Control<QWidget>(control)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
        ASSERT_FALSE(help.topics.empty()) << control;
        EXPECT_EQ(help.topics.back(), topic) << control;
    }
}

TEST_F(MainDlgTest, ControlsSitInsideTheWindowWithoutOverlaps) {
    dialog->Initialize();
    const char* controls[] = {"moodBox",     "awesomeButton",  "goodButton",   "normalButton",
                              "badButton",   "excludeButton",  "skipButton",   "pauseButton",
                              "statusLine",  "positionSlider", "volumeSlider", "downloadBox",
                              "artistText",  "genreText",      "yearText",     "downloadStatus",
                              "volumeLabel", "genreLabel"};
    std::vector<QRect> placed;
    for (const char* name : controls) {
        QWidget* control = Control<QWidget>(name);
        const QRect rect = control->geometry();
        EXPECT_TRUE(control->parentWidget()->rect().contains(rect)) << name;
        for (const QRect& other : placed) {
            EXPECT_FALSE(rect.intersects(other)) << name;
        }
        placed.push_back(rect);
    }
    EXPECT_TRUE(dialog->windowFlags() & Qt::CustomizeWindowHint) << "only the hints given";
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
}

}  // namespace
}  // namespace kavelin::test
