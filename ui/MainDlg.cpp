#include "ui/MainDlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <cstdio>
#include <utility>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "catalog/PendingWrites.h"
#include "platform/messages/MessageBox.h"
#include "platform/notify/DesktopNotifications.h"
#include "ui/CatalogTreeView.h"
#include "ui/DialogUnits.h"
#include "ui/HelpWindow.h"
#include "ui/KavelinAbout.h"
#include "ui/StatusLine.h"
#include "ui/TrayIcon.h"
#include "ui/VoiceFeedback.h"
#include "ui/WorkerLinks.h"
#include "ui_MainDlg.h"

namespace kavelin {
namespace {

constexpr const char* kSearchingText = "Searching for mp3 files";

const QEvent::Type kWorkerEvent = static_cast<QEvent::Type>(QEvent::User + 100);

const QEvent::Type kProblemEvent = static_cast<QEvent::Type>(QEvent::User + 101);

// A worker's post, carried to the UI thread.
class WorkerEvent : public QEvent {
public:
    explicit WorkerEvent(unsigned message) : QEvent(kWorkerEvent), m_nMessage(message) {}
    unsigned Message() const { return m_nMessage; }

private:
    unsigned m_nMessage;
};

// A worker's problem report, carried to the UI thread.
class ProblemEvent : public QEvent {
public:
    explicit ProblemEvent(std::string text) : QEvent(kProblemEvent), m_strText(std::move(text)) {}
    const std::string& Text() const { return m_strText; }

private:
    std::string m_strText;
};

template <typename... Args>
QString Format(const char* format, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return QString::fromUtf8(text);
}

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

CMainDlg::CMainDlg(CADODataBase& database, PendingWrites& writes, PlaybackEngine& player,
                   ScanQueue& scanner, std::unique_ptr<SpeechOutput> speech, HelpSystem& help)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_database(database),
      m_writes(writes),
      m_player(player),
      m_scanner(scanner),
      m_help(help),
      m_pVoice(std::make_unique<CVoiceFeedback>(std::move(speech))),
      m_pUi(std::make_unique<Ui::MainDlg>()),
      m_pTray(std::make_unique<CTrayIcon>()),
      m_icon(":/icons/kavelin.png") {
    m_pVoice->Create();
    m_pVoice->Speak("Welcome to Kavelin");

    setObjectName("CMainDlg");
    setWindowTitle(kMainCaption);
    setFont(DialogFont());
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(245, 245, 245));
    setPalette(colours);
    setAutoFillBackground(true);

    auto* client = new QWidget(this);
    m_pUi->setupUi(client);
    DialogUnits(font()).ConvertLayout(client);
    client->setFixedSize(client->size());
    // The frame line of a group box runs through the middle of its title, so
    // that the layout's controls sit inside the frame as placed.
    client->setStyleSheet(
        "QGroupBox { border: 1px solid #a8a8b4; border-radius: 2px; margin-top: 0.5em; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 5px; padding: 0 2px; }");
    for (QLabel* label : client->findChildren<QLabel*>()) {
        // Tags come from files: never let them pass as markup.
        label->setTextFormat(Qt::PlainText);
    }
    m_pStatus = std::make_unique<CStatusLine>(*m_pUi->statusLine, m_writes);
    m_pUi->moodLabel->setBuddy(m_pUi->moodBox);
    m_pUi->moodBox->setCompleter(nullptr);
    m_pUi->downloadBox->setEnabled(false);

    BuildMenus();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(m_pMenuBar);
    layout->addWidget(client);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    ConnectControls();
    m_folderPicker = [] {
        return QFileDialog::getExistingDirectory(nullptr, kAddFilesText, QDir::homePath());
    };
}

CMainDlg::~CMainDlg() {
    std::lock_guard lock(m_postLock);
    m_bAcceptPosts = false;
}

void CMainDlg::SetDownloader(DownloadControl* downloader) {
    m_pDownloader = downloader;
    m_pUi->downloadBox->setEnabled(downloader != nullptr);
}

QAction* CMainDlg::AddCommand(QMenu* menu, int command, const QString& text) {
    auto found = m_commands.find(command);
    if (found != m_commands.end()) {
        menu->addAction(found->second);
        return found->second;
    }
    auto* action = menu->addAction(text);
    action->setData(command);
    m_commands[command] = action;
    connect(action, &QAction::triggered, this, [this, command] { RunCommand(command); });
    return action;
}

void CMainDlg::BuildMenus() {
    m_pMenuBar = new QMenuBar(this);
    QMenu* catalog = m_pMenuBar->addMenu("Catalog");
    AddCommand(catalog, ID_ADD_FILES, "Add files");
    AddCommand(catalog, ID_SHOW_CATALOG, "Catalog");
    AddCommand(catalog, ID_SEARCH, "Search")->setEnabled(false);
    catalog->addSeparator();
    AddCommand(catalog, ID_EXPORT, "Export")->setEnabled(false);
    AddCommand(catalog, ID_IMPORT, "Import")->setEnabled(false);
    catalog->addSeparator();
    AddCommand(catalog, ID_EXIT, "Exit");

    QMenu* tools = m_pMenuBar->addMenu("Tools");
    AddCommand(tools, ID_CREATE_PLAYLIST, "Create playlist")->setEnabled(false);

    QMenu* options = m_pMenuBar->addMenu("Options");
    QMenu* playerMenu = options->addMenu("Player");
    AddCommand(playerMenu, ID_PLAYER_WINAMP, "WinAmp")->setCheckable(true);
    QAction* media = AddCommand(playerMenu, ID_PLAYER_MEDIA, "Media Player");
    media->setCheckable(true);
    media->setChecked(true);
    QAction* voice = AddCommand(options, ID_VOICE, "Voice");
    voice->setCheckable(true);
    voice->setChecked(true);
    QAction* notifications = AddCommand(options, ID_NOTIFICATIONS, "Notifications");
    notifications->setCheckable(true);
    notifications->setChecked(true);

    QMenu* help = m_pMenuBar->addMenu("Help");
    AddCommand(help, ID_HELP_INDEX, "Index");
    AddCommand(help, ID_ABOUT, "About");

    m_pPopupMenu = new QMenu(this);
    AddCommand(m_pPopupMenu, ID_RATE_AWESOME, "Awesome");
    AddCommand(m_pPopupMenu, ID_RATE_GOOD, "Good");
    AddCommand(m_pPopupMenu, ID_RATE_NORMAL, "Normal");
    AddCommand(m_pPopupMenu, ID_RATE_BAD, "Bad");
    AddCommand(m_pPopupMenu, ID_EXCLUDE, "Exclude");
    m_pPopupMenu->addSeparator();
    AddCommand(m_pPopupMenu, ID_SKIP, "Skip");
    AddCommand(m_pPopupMenu, ID_EXIT, "Exit");

    // F1 asks for the topic of the control that has the focus.
    auto* contextHelp = new QAction(this);
    contextHelp->setShortcut(QKeySequence::HelpContents);
    contextHelp->setShortcutContext(Qt::WindowShortcut);
    connect(contextHelp, &QAction::triggered, this, [this] { ContextHelp(); });
    addAction(contextHelp);
}

QAction* CMainDlg::CommandAction(int command) const {
    auto found = m_commands.find(command);
    return found == m_commands.end() ? nullptr : found->second;
}

void CMainDlg::ConnectControls() {
    Ui::MainDlg& ui = *m_pUi;
    connect(ui.awesomeButton, &QPushButton::clicked, this, [this] { RunCommand(ID_RATE_AWESOME); });
    connect(ui.goodButton, &QPushButton::clicked, this, [this] { RunCommand(ID_RATE_GOOD); });
    connect(ui.normalButton, &QPushButton::clicked, this, [this] { RunCommand(ID_RATE_NORMAL); });
    connect(ui.badButton, &QPushButton::clicked, this, [this] { RunCommand(ID_RATE_BAD); });
    connect(ui.excludeButton, &QPushButton::clicked, this, [this] { RunCommand(ID_EXCLUDE); });
    connect(ui.skipButton, &QPushButton::clicked, this, [this] { RunCommand(ID_SKIP); });
    connect(ui.pauseButton, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { PauseOrPlay(); }); });
    connect(ui.downloadBox, &QCheckBox::clicked, this,
            [this](bool on) { RunGuarded([this, on] { SwitchDownloading(on); }); });

    // Only a choice from the list changes the mood; typed text is not a choice.
    connect(ui.moodBox, &QComboBox::activated, this,
            [this](int index) { RunGuarded([this, index] { ChangeMood(index); }); });
    connect(ui.moodBox->lineEdit(), &QLineEdit::textEdited, this, [this] { m_bMoodTyped = true; });
    ui.moodBox->installEventFilter(this);
    ui.moodBox->lineEdit()->installEventFilter(this);

    for (QSlider* slider : {ui.positionSlider, ui.volumeSlider}) {
        const auto moved = [this, slider] { RunGuarded([this, slider] { SliderMoved(slider); }); };
        connect(slider, &QSlider::actionTriggered, this, moved);
        connect(slider, &QSlider::sliderReleased, this, moved);
    }
}

bool CMainDlg::eventFilter(QObject* watched, QEvent* event) {
    // Opening the mood list or stepping through it is choosing again.
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::Wheel) {
        m_bMoodTyped = false;
    } else if (event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent*>(event)->key()) {
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_PageUp:
            case Qt::Key_PageDown:
            case Qt::Key_F4:
                m_bMoodTyped = false;
                break;
            default:
                break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CMainDlg::Initialize() {
    m_pTray->Create(this, "Kavelin", m_icon, m_pPopupMenu);
    setWindowIcon(m_icon);

    FillMoodBox();
    const int neutral = m_pUi->moodBox->findText("Neutral", Qt::MatchExactly);
    m_pUi->moodBox->setCurrentIndex(neutral);
    m_player.SetMood("Neutral");

    m_pUi->volumeSlider->setRange(0, 255);
    m_pUi->volumeSlider->setValue(128);

    m_pCatalog = std::make_unique<CCatalogTreeView>(m_database, m_player);

    ApplyOptions();
    {
        std::lock_guard lock(m_postLock);
        m_bAcceptPosts = true;
    }
    AskFirstUse();
}

void CMainDlg::FillMoodBox() {
    QComboBox* box = m_pUi->moodBox;
    try {
        CADORecordset moods(m_database);
        if (moods.OpenSource("tMood", CADORecordset::SourceTable)) {
            while (!moods.AtEnd()) {
                std::string name;
                moods.ReadField("Name", name);
                box->addItem(FromUtf8(name));
                moods.MoveNext();
            }
        }
    } catch (const CADOException&) {
        // A mood list that cannot be read leaves the box with what it got.
    }
    box->model()->sort(0);
}

void CMainDlg::ApplyOptions() {
    const bool voice = GetSettingInt(m_database, "Voice") == 1;
    CommandAction(ID_VOICE)->setChecked(voice);
    m_pVoice->SetEnabled(voice);
    m_bNotify = GetSettingInt(m_database, "Notify") == 1;
    CommandAction(ID_NOTIFICATIONS)->setChecked(m_bNotify);

    const int playerType = GetSettingInt(m_database, "Player");
    if (playerType == 1 || playerType == 2) {
        CommandAction(ID_PLAYER_MEDIA)->setChecked(playerType == 1);
        CommandAction(ID_PLAYER_WINAMP)->setChecked(playerType == 2);
        m_player.SwitchPlayer(playerType);
    }
    m_player.CreatePlayer();
}

void CMainDlg::AskFirstUse() {
    if (GetSettingInt(m_database, "FirstUse") != 1) {
        return;
    }
    const MessageAnswer answer =
        ShowMessageBox("Do you want Kavelin to automatically search for music files?",
                       "Auto-search", MessageIcon::Question, MessageButtons::YesNo);
    if (answer == MessageAnswer::Yes) {
        // The home directory stands for the whole of the user's files.
        m_scanner.QueueDirectory(QDir::homePath().toStdString() + "/");
    } else {
        AddFiles();
    }
    m_writes.StoreSetting("FirstUse", 0);
}

void CMainDlg::RunModal() {
    show();
    m_modalLoop.exec();
}

void CMainDlg::PostMessage(unsigned message, std::intptr_t, std::intptr_t) {
    std::lock_guard lock(m_postLock);
    if (m_bAcceptPosts) {
        QCoreApplication::postEvent(this, new WorkerEvent(message));
    }
}

void CMainDlg::ReportProblem(const std::string& text) {
    std::lock_guard lock(m_postLock);
    if (m_bAcceptPosts) {
        QCoreApplication::postEvent(this, new ProblemEvent(text));
    }
}

void CMainDlg::ShowProblem(const std::string& text) {
    m_pStatus->Show(FromUtf8(text));
}

void CMainDlg::RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        ShowProblem(std::string("Could not finish that: ") + error.what() +
                    ". Kavelin goes on; please try again.");
    }
}

void CMainDlg::customEvent(QEvent* event) {
    if (event->type() == kProblemEvent) {
        ShowProblem(static_cast<ProblemEvent*>(event)->Text());
        return;
    }
    if (event->type() != kWorkerEvent) {
        QDialog::customEvent(event);
        return;
    }
    const unsigned message = static_cast<WorkerEvent*>(event)->Message();
    RunGuarded([this, message] { HandleWorkerMessage(message); });
}

void CMainDlg::HandleWorkerMessage(unsigned message) {
    switch (message) {
        case WM_TRACK_STARTED:
            OnTrackStarted();
            break;
        case WM_TRACK_INFORMATION:
            OnTrackInformation();
            break;
        case WM_TRACK_POSITION:
            OnTrackPosition();
            break;
        case WM_SCAN_PROGRESS:
            OnScanProgress();
            break;
        case WM_DOWNLOAD_STATUS:
            OnDownloadStatus();
            break;
        default:
            break;
    }
}

void CMainDlg::OnTrackStarted() {
    // Starts posted while the window was busy queue up; only the first one
    // handled starts (and records) a track, the one that is current now.
    CTrackInfo track;
    if (!m_player.TakeTrackToStart(track) || track.ID == 0) {
        // No start waiting, or no track chosen yet (a player switch before
        // the first track): nothing to play or record.
        return;
    }
    std::string speech = "Start playing:" + track.Artist + " - " + track.Trackname + " - ";
    m_player.PlayFile(track.Filename);

    std::string line;
    const int level = track.RatingLevel;
    const bool inRange = level >= kRatingBad && level <= kRatingAwesome;
    if (m_player.SelectionBasis() == 1) {
        static const char* const kNames[] = {"Bad", "Normal", "Good", "Awesome "};
        static const char* const kSpoken[] = {" Rated bad. ", " Rated normal. ", " Rated good ",
                                              " Does this rock or what?. "};
        line = "Rated ";
        if (inRange) {
            line += kNames[level - 1];
            speech += kSpoken[level - 1];
        }
    } else {
        static const char* const kGuesses[] = {" (Bad ?)", " (Normal ?)", " (Good ?)",
                                               " (Awesome ?)"};
        line = "Not rated.";
        if (inRange) {
            line += kGuesses[level - 1];
        }
        speech += " Not rated. ";
    }
    m_pVoice->Speak(speech);
    m_pUi->ratingLine->setText(FromUtf8(line));
    Notify(track, line);
    m_writes.StorePlay(m_player.MoodID(), track.ID);
    ShowCatalogLine();
    emit RatingChanged();
}

void CMainDlg::Notify(const CTrackInfo& track, const std::string& ratingLine) {
    // The window shows the track itself while it is on screen.
    const bool windowAway = !isVisible() || isMinimized();
    if (!m_pNotifications || !windowAway || !m_bNotify) {
        return;
    }
    const QString title = track.Trackname.empty() ? QString("Kavelin") : FromUtf8(track.Trackname);
    m_pNotifications->Show(title, FromUtf8(track.Artist + "\n" + ratingLine));
}

void CMainDlg::OnTrackInformation() {
    const CTrackInfo track = m_player.GetCurrentTrack();
    m_pUi->artistText->setText(FromUtf8(track.Artist));
    m_pUi->trackText->setText(FromUtf8(track.Trackname));
    m_pUi->albumText->setText(FromUtf8(track.Album));
    m_pUi->yearText->setText(FromUtf8(track.Year));

    std::string genre = "None";
    try {
        CADORecordset genres(m_database);
        char statement[64];
        std::snprintf(statement, sizeof statement, "SELECT Name FROM tGenre WHERE ID=%d",
                      track.GenreID);
        if (genres.OpenSource(statement, CADORecordset::SourceQuery) && genres.CountRows() > 0) {
            genres.ReadField("Name", genre);
        }
    } catch (const CADOException&) {
        // Shown as no genre.
    }
    m_pUi->genreText->setText(FromUtf8(genre));
    m_pTray->SetTip(FromUtf8(track.Artist + " - " + track.Trackname));
    emit PlaybackChanged();
}

void CMainDlg::OnTrackPosition() {
    QSlider* slider = m_pUi->positionSlider;
    if (slider->isSliderDown()) {
        // The user is dragging: the thumb stays where the hand is.
        return;
    }
    const QSignalBlocker quiet(slider);
    slider->setRange(0, m_player.Length());
    slider->setValue(m_player.Position());
    emit PlaybackChanged();
}

void CMainDlg::ShowCatalogLine() {
    m_pStatus->Show(
        Format("Database: Total %d, Rated %d", m_player.TotalTracks(), m_player.RatedTracks()));
}

void CMainDlg::OnScanProgress() {
    if (m_scanner.IsCatalogDiskFull()) {
        m_bShowingDiskFull = true;
        m_pStatus->Show(kCatalogDiskFullText);
        return;
    }
    const int count = m_scanner.Count();
    if (std::exchange(m_bShowingDiskFull, false) && count == 0) {
        m_pStatus->Show(QString());  // the scan went on and has finished
    }
    if (count == 0) {
        // The scan has ended: the search line gives way to the catalog line.
        if (m_pStatus->Text().startsWith(kSearchingText)) {
            ShowCatalogLine();
        }
        return;
    }
    static const char* const kDots[] = {"", "...", "..", "."};
    m_pStatus->Show(QString(kSearchingText) + kDots[count % 4]);
}

void CMainDlg::OnDownloadStatus() {
    if (!m_pDownloader) {
        return;
    }
    const DownloadControl& downloader = *m_pDownloader;
    QString text;
    if (downloader.ConnectedHosts() > 0) {
        text = Format("%d Connects %d downloads %d b/sec Down %d b/sec Up...",
                      downloader.ConnectedHosts(), downloader.ActiveDownloads(),
                      downloader.DownloadRate(), downloader.UploadRate());
    } else if (downloader.IsStarted()) {
        text = Format("Connecting... %d downloads %d b/sec Down %d b/sec Up...",
                      downloader.ActiveDownloads(), downloader.DownloadRate(),
                      downloader.UploadRate());
    } else {
        text = "Disabled.";
    }
    m_pUi->downloadStatus->setText(text);
}

void CMainDlg::Rate(int rating) {
    static const char* const kSpoken[] = {"Rating set to bad", "Rating set to normal",
                                          "Rating set to good", "Rating set to awesome"};
    static const char* const kLines[] = {"Rated Bad", "Rated Normal", "Rated Good",
                                         "Rated Awesome!"};
    static const char* const kWaiting[] = {"Bad: not saved yet", "Normal: not saved yet",
                                           "Good: not saved yet", "Awesome: not saved yet"};
    const CTrackInfo track = m_player.GetCurrentTrack();
    if (track.ID == 0) {
        // Nothing plays yet: there is no track to rate.
        return;
    }
    if (m_writes.StoreRating(m_player.MoodID(), track.ID, rating)) {
        m_pVoice->Speak(kSpoken[rating - 1]);
        m_pUi->ratingLine->setText(kLines[rating - 1]);
    } else {
        // Kept and retried; the status line says why it waits.
        m_pVoice->Speak("Rating will be saved later");
        m_pUi->ratingLine->setText(kWaiting[rating - 1]);
    }
    m_pStatus->Refresh();
    if (rating == kRatingAwesome && m_pRecommender) {
        m_pRecommender->LookUp(track.Artist);
    }
    emit RatingChanged();
}

void CMainDlg::Exclude() {
    const CTrackInfo track = m_player.GetCurrentTrack();
    if (track.ID != 0) {
        m_pVoice->Speak("Track excluded");
        const bool stored = m_writes.StoreRating(m_player.MoodID(), track.ID, kRatingExcluded);
        m_pUi->ratingLine->setText(stored ? "Excluded" : "Excluded: not saved yet");
        m_pStatus->Refresh();
    }
    m_player.SelectNextTrack();
    emit RatingChanged();
}

void CMainDlg::Skip() {
    m_player.Skip();
}

void CMainDlg::PauseOrPlay() {
    if (!m_player.HasPlayer()) {
        return;
    }
    if (m_player.IsPaused()) {
        m_player.Resume();
        m_pUi->pauseButton->setText("Pause");
    } else {
        m_player.Pause();
        m_pUi->pauseButton->setText("Play");
    }
    emit PlaybackChanged();
}

void CMainDlg::ChangeMood(int index) {
    if (m_bMoodTyped || index < 0) {
        return;
    }
    m_player.SetMood(m_pUi->moodBox->itemText(index).toStdString());
    emit RatingChanged();
}

void CMainDlg::SliderMoved(QSlider* slider) {
    if (slider == m_pUi->positionSlider) {
        m_player.SetPlayerPosition(slider->sliderPosition());
        emit PositionMoved(slider->sliderPosition());
    } else {
        m_player.SetPlayerVolume(slider->sliderPosition());
        emit PlaybackChanged();
    }
}

void CMainDlg::MovePositionSlider(int milliseconds) {
    QSlider* slider = m_pUi->positionSlider;
    if (milliseconds > slider->maximum()) {
        slider->setMaximum(milliseconds);
    }
    slider->setSliderPosition(milliseconds);
    RunGuarded([this, slider] { SliderMoved(slider); });
}

void CMainDlg::MoveVolumeSlider(int volume) {
    m_pUi->volumeSlider->setSliderPosition(volume);
    RunGuarded([this] { SliderMoved(m_pUi->volumeSlider); });
}

int CMainDlg::VolumeSliderValue() const {
    return m_pUi->volumeSlider->value();
}

void CMainDlg::ShowFromShell() {
    showNormal();
    raise();
    activateWindow();
}

void CMainDlg::SwitchDownloading(bool on) {
    if (!m_pDownloader) {
        return;
    }
    if (on) {
        m_pDownloader->Start();
    } else {
        m_pDownloader->Stop();
    }
}

void CMainDlg::RunCommand(int command) {
    RunGuarded([this, command] { HandleCommand(command); });
}

void CMainDlg::HandleCommand(int command) {
    switch (command) {
        case ID_RATE_AWESOME:
            Rate(kRatingAwesome);
            break;
        case ID_RATE_GOOD:
            Rate(kRatingGood);
            break;
        case ID_RATE_NORMAL:
            Rate(kRatingNormal);
            break;
        case ID_RATE_BAD:
            Rate(kRatingBad);
            break;
        case ID_EXCLUDE:
            Exclude();
            break;
        case ID_SKIP:
            Skip();
            break;
        case ID_EXIT:
            Exit();
            break;
        case ID_ADD_FILES:
            AddFiles();
            break;
        case ID_SHOW_CATALOG:
            ShowCatalog();
            break;
        case ID_PLAYER_WINAMP:
            ChoosePlayer(2);
            break;
        case ID_PLAYER_MEDIA:
            ChoosePlayer(1);
            break;
        case ID_VOICE:
            SwitchVoice();
            break;
        case ID_NOTIFICATIONS:
            SwitchNotifications();
            break;
        case ID_HELP_INDEX:
        case ID_HELP:
            m_help.ShowIndex();
            break;
        case ID_ABOUT:
            ShowAbout();
            break;
        default:
            break;
    }
}

void CMainDlg::Exit() {
    m_player.StopPlayer();
    m_bQuit = true;
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void CMainDlg::ChoosePlayer(int playerType) {
    CommandAction(ID_PLAYER_WINAMP)->setChecked(playerType == 2);
    CommandAction(ID_PLAYER_MEDIA)->setChecked(playerType == 1);
    m_player.SwitchPlayer(playerType);
}

void CMainDlg::SwitchVoice() {
    const bool on = !m_pVoice->IsEnabled();
    CommandAction(ID_VOICE)->setChecked(on);
    m_pVoice->SetEnabled(on);
}

void CMainDlg::SwitchNotifications() {
    m_bNotify = !m_bNotify;
    CommandAction(ID_NOTIFICATIONS)->setChecked(m_bNotify);
    m_writes.StoreSetting("Notify", m_bNotify ? 1 : 0);
}

void CMainDlg::AddFiles() {
    const QString folder = m_folderPicker();
    if (folder.isEmpty()) {
        return;
    }
    m_scanner.QueueDirectory(folder.toStdString() + "/");
    ShowMessageBox(
        "The directory has been added. Information about the files will be gathered. This "
        "process might take a while with large mp3 collections.",
        "Directory added", MessageIcon::None, MessageButtons::Ok);
}

void CMainDlg::ShowCatalog() {
    m_pCatalog->showNormal();
    m_pCatalog->raise();
    m_pCatalog->activateWindow();
}

void CMainDlg::ShowAbout() {
    m_aboutBoxes.push_back(std::make_unique<CKavelinAbout>());
    m_aboutBoxes.back()->show();
}

void CMainDlg::ContextHelp() {
    int controlId = 0;
    for (QWidget* widget = QApplication::focusWidget(); widget && widget != this;
         widget = widget->parentWidget()) {
        const QVariant id = widget->property("controlId");
        if (id.isValid()) {
            controlId = id.toInt();
            break;
        }
    }
    m_help.ShowTopic(HelpTopicForControl(controlId));
}

void CMainDlg::accept() {
    // Enter does not close the window.
}

void CMainDlg::reject() {
    // Escape puts the window away like its close button.
    close();
}

void CMainDlg::closeEvent(QCloseEvent* event) {
    if (!m_bQuit) {
        const QPoint centre = geometry().center();
        if (m_pTray->IsActive()) {
            hide();
        } else {
            // Without a notification area a hidden window could never come
            // back: it waits minimised instead.
            showMinimized();
        }
        const int closeCount = GetSettingInt(m_database, "CloseCount");
        if (closeCount < 5) {
            m_help.ShowContextPopup(kClosedToTrayPopup, centre);
        }
        m_writes.StoreSetting("CloseCount", closeCount + 1);
        event->ignore();
        return;
    }
    m_pTray->Destroy();
    if (m_pCatalog) {
        m_pCatalog->hide();
    }
    for (const auto& about : m_aboutBoxes) {
        about->hide();
    }
    m_writes.StoreSetting("Voice", m_pVoice->IsEnabled() ? 1 : 0);
    m_writes.StoreSetting("Download", m_pUi->downloadBox->isChecked() ? 1 : 0);
    m_writes.StoreSetting("Player", m_player.PlayerType());
    {
        std::lock_guard lock(m_postLock);
        m_bAcceptPosts = false;
    }
    event->accept();
    m_modalLoop.quit();
}

}  // namespace kavelin
