#pragma once

#include <QDialog>
#include <QEventLoop>
#include <QIcon>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalog/TrackInfo.h"
#include "platform/messages/MessageTarget.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class QSlider;

namespace Ui {
class MainDlg;
}

namespace kavelin {

class CADODataBase;
class CCatalogTreeView;
class CKavelinAbout;
class CStatusLine;
class CTrayIcon;
class CVoiceFeedback;
class DesktopNotifications;
class DownloadControl;
class HelpSystem;
class PendingWrites;
class PlaybackEngine;
class ScanQueue;
class SimilarArtistLookup;
class SpeechOutput;

// Messages the workers post to the main window.
inline constexpr unsigned WM_TRACK_STARTED = WM_APP + 100;
inline constexpr unsigned WM_TRACK_INFORMATION = WM_APP + 101;
inline constexpr unsigned WM_TRACK_POSITION = WM_APP + 102;
inline constexpr unsigned WM_SCAN_PROGRESS = WM_APP + 201;
inline constexpr unsigned WM_DOWNLOAD_STATUS = WM_APP + 300;

// Commands of the menus.
enum Command : int {
    ID_ADD_FILES = 104,
    ID_RATE_AWESOME = 131,
    ID_RATE_GOOD = 132,
    ID_RATE_NORMAL = 133,
    ID_RATE_BAD = 134,
    ID_SKIP = 135,
    ID_PLAYER_WINAMP = 141,
    ID_PLAYER_MEDIA = 142,
    ID_SHOW_CATALOG = 145,
    ID_EXCLUDE = 148,
    ID_SEARCH = 149,
    ID_CREATE_PLAYLIST = 150,
    ID_EXPORT = 153,
    ID_IMPORT = 154,
    ID_EXIT = 160,
    ID_VOICE = 32771,
    ID_HELP_INDEX = 32772,
    ID_ABOUT = 32773,
    ID_NOTIFICATIONS = 32774,
    ID_HELP = 57670,
};

inline constexpr const char* kMainCaption = "Kavelin version 1.00 beta";
inline constexpr const char* kCatalogDiskFullText =
    "Scanning paused: the disk holding the catalog is full";
inline constexpr const char* kAddFilesText =
    "Select a directory. This directory and all subdirectories will be searched for mp3s.";

// The main window: mood, ratings, play controls and what the workers report.
// Workers post their messages from any thread; each becomes a queued event
// handled here on the UI thread.
class CMainDlg : public QDialog, public MessageTarget {
    Q_OBJECT
public:
    // Speaks the greeting as soon as the voice exists, whatever the voice setting.
    // Verdicts and plays go to the catalog through `writes`.
    CMainDlg(CADODataBase& database, PendingWrites& writes, PlaybackEngine& player,
             ScanQueue& scanner, std::unique_ptr<SpeechOutput> speech, HelpSystem& help);
    ~CMainDlg() override;

    void SetDownloader(DownloadControl* downloader);
    void SetRecommender(SimilarArtistLookup* recommender) { m_pRecommender = recommender; }
    // Bubbles for new tracks while the window is hidden; none without.
    void SetNotifications(DesktopNotifications* notifications) { m_pNotifications = notifications; }
    // Replaces the folder picker of Add files; returns "" when the user cancels.
    void SetFolderPicker(std::function<QString()> picker) { m_folderPicker = std::move(picker); }

    // The window's start-up: moods, volume, catalog window, options, first use.
    void Initialize();
    // Shows the window and returns when the user has quit the program.
    void RunModal();

    void PostMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override;
    // Shows a worker's problem in the status line; callable from any thread.
    void ReportProblem(const std::string& text) override;

    // Runs a menu command as its menu item does.
    void RunCommand(int command);
    QAction* CommandAction(int command) const;
    QMenu* PopupMenu() const { return m_pPopupMenu; }
    QMenuBar* MenuBar() const { return m_pMenuBar; }
    CCatalogTreeView* CatalogWindow() const { return m_pCatalog.get(); }
    CVoiceFeedback& Voice() const { return *m_pVoice; }
    CTrayIcon& Tray() const { return *m_pTray; }
    const std::vector<std::unique_ptr<CKavelinAbout>>& AboutBoxes() const { return m_aboutBoxes; }

    // The desktop's media controls act through the same handlers as the window's controls.
    void PressPauseButton() { PauseOrPlay(); }
    void MovePositionSlider(int milliseconds);
    void MoveVolumeSlider(int volume);  // 0 to 255
    int VolumeSliderValue() const;
    void ShowFromShell();

signals:
    // What plays, its state, the mood or the volume may have changed.
    void PlaybackChanged();
    // The current track's rating in the current mood may have changed.
    void RatingChanged();
    // The position in the track was moved, by the user or the desktop's controls.
    void PositionMoved(int milliseconds);

public slots:
    void accept() override;
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void customEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenus();
    void ConnectControls();
    QAction* AddCommand(QMenu* menu, int command, const QString& text);
    void FillMoodBox();
    void ApplyOptions();
    void AskFirstUse();

    // Runs a handler; a failure it meets is shown in the status line and the
    // window goes on, since nothing may escape from an event handler.
    void RunGuarded(const std::function<void()>& handler);
    void ShowProblem(const std::string& text);
    void HandleWorkerMessage(unsigned message);
    void HandleCommand(int command);

    void OnTrackStarted();
    void OnTrackInformation();
    void OnTrackPosition();
    void OnScanProgress();
    void ShowCatalogLine();
    void OnDownloadStatus();

    void Rate(int rating);
    void Exclude();
    void Skip();
    void PauseOrPlay();
    void ChangeMood(int index);
    void SliderMoved(QSlider* slider);
    void SwitchDownloading(bool on);
    void Exit();
    void ChoosePlayer(int playerType);
    void SwitchVoice();
    void SwitchNotifications();
    void Notify(const CTrackInfo& track, const std::string& ratingLine);
    void AddFiles();
    void ShowCatalog();
    void ShowAbout();
    void ContextHelp();

    CADODataBase& m_database;
    PendingWrites& m_writes;
    PlaybackEngine& m_player;
    ScanQueue& m_scanner;
    HelpSystem& m_help;
    DownloadControl* m_pDownloader = nullptr;
    SimilarArtistLookup* m_pRecommender = nullptr;
    DesktopNotifications* m_pNotifications = nullptr;
    std::unique_ptr<CVoiceFeedback> m_pVoice;
    std::unique_ptr<Ui::MainDlg> m_pUi;
    std::unique_ptr<CTrayIcon> m_pTray;
    std::unique_ptr<CStatusLine> m_pStatus;
    std::unique_ptr<CCatalogTreeView> m_pCatalog;
    std::vector<std::unique_ptr<CKavelinAbout>> m_aboutBoxes;
    QIcon m_icon;
    QMenuBar* m_pMenuBar = nullptr;
    QMenu* m_pPopupMenu = nullptr;
    std::map<int, QAction*> m_commands;
    std::function<QString()> m_folderPicker;
    bool m_bQuit = false;
    bool m_bNotify = true;            // bubbles for new tracks while the window is away
    bool m_bShowingDiskFull = false;  // the status line says the scan waits for space
    bool m_bMoodTyped = false;        // the mood box's text was typed, not chosen from its list
    QEventLoop m_modalLoop;

    std::mutex m_postLock;
    bool m_bAcceptPosts = false;
};

}  // namespace kavelin
