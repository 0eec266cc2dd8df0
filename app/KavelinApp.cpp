#include "app/KavelinApp.h"

#include <sqlite3.h>
#include <QEventLoop>
#include <QTimer>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "acquisition/Recommender.h"
#include "acquisition/UpdateCheck.h"
#include "app/WorkerLinks.h"
#include "app/WorkerThread.h"

#include "catalog/CatalogFile.h"
#include "catalog/CatalogOperations.h"
#include "catalog/PendingWrites.h"
#include "platform/addresses/ServiceAddresses.h"
#include "platform/log/ProgramLog.h"
#include "platform/messages/MessageBox.h"
#include "platform/notify/DesktopNotifications.h"
#include "ui/DownloadDlg.h"
#include "ui/HelpWindow.h"
#include "ui/MainDlg.h"
#include "ui/ShellMediaControls.h"
#include "ui/VoiceFeedback.h"

namespace kavelin {

std::string ForeignCatalogText() {
    return std::string("The file '") + kCatalogFileName +
           "' in the Kavelin directory is not a Kavelin catalog for this system. It was left as "
           "it is. Please put a Kavelin catalog in its place. Sorry, have to quit now...";
}

std::string MdacText() {
    return "Kavelin needs an update to your system. Please install the latest MDAC from " +
           MdacDownloadPage() + ". Sorry, have to quit...";
}

std::string DamagedCatalogText(const std::string& folder, const std::string& asideName) {
    std::string text = std::string("The catalog file '") + kCatalogFileName + "' in " + folder +
                       " is damaged: it is empty or was not written to its end, so Kavelin "
                       "cannot use it.\n\n";
    if (asideName.empty()) {
        return text +
               "Please move it out of the folder; a fresh catalog is put in its place at the next "
               "start. Sorry, have to quit now...";
    }
    return text + "Kavelin can move it aside as '" + asideName +
           "' (nothing is deleted) and start with a fresh, empty catalog. Ratings and plays "
           "stored in the damaged file stay in it.\n\nMove it aside and start with a fresh "
           "catalog?";
}

std::string ReadOnlyCatalogText(const std::string& path) {
    return "The catalog file '" + path +
           "' is read-only, so Kavelin cannot store ratings or plays in it. Kavelin plays on and "
           "keeps what you do until the file can be written. To fix this, give your user write "
           "permission on the file.";
}

std::string ReadOnlyFolderText(const std::string& folder, bool fatal) {
    std::string text = "Kavelin cannot write in the folder '" + folder +
                       "', which holds its catalog: the folder is read-only. The catalog keeps "
                       "its working files beside it";
    return fatal ? text +
                       ", so it cannot be opened there. Please give your user write permission "
                       "on the folder. Sorry, have to quit now..."
                 : text +
                       ", so ratings and plays may not be saved. Please give your user write "
                       "permission on the folder.";
}

std::string UnsavedWritesText(std::size_t count) {
    return "Kavelin could not save " + std::to_string(count) +
           (count == 1 ? " rating, play or folder to scan" : " ratings, plays or folders to scan") +
           ", neither in the catalog nor beside it (the disk is full or cannot be written). They "
           "are lost.";
}

namespace {

std::string CatalogFolder() {
    return std::filesystem::absolute(kCatalogFileName).parent_path().string();
}

// How often shutdown looks whether a worker has stopped.
constexpr std::chrono::milliseconds kShutdownPoll(20);

// Waits on the UI thread while still answering the message boxes that a
// stopping worker may ask for.
void WaitAnsweringMessages(std::chrono::milliseconds period) {
    QEventLoop loop;
    QTimer::singleShot(period, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

CKavelinApp::CKavelinApp() {
    // The media control reads and writes numbers the C way, and the Qt
    // application object has set the user's locale. Set here, before any
    // thread of the program starts: setlocale is not safe while other
    // threads use the locale.
    std::setlocale(LC_NUMERIC, "C");
    m_pProblems = std::make_shared<ProblemRelay>();
}

CKavelinApp::~CKavelinApp() {
    ShutDown();
}

int CKavelinApp::Run() {
    try {
        if (!StartUp()) {
            return 1;
        }
        CreateWorkers();
        CreateMainWindow();
        StartWorkers();
        m_pMainWnd->Initialize();
        m_pShellControls =
            std::make_unique<ShellMediaControls>(*m_pMainWnd, *m_pPlayerLink, *m_pDataBase);
        // Without a session bus the player simply has no shell controls.
        m_pShellControls->Publish();
        m_pMainWnd->RunModal();
        ShutDown();
        return 0;
    } catch (...) {
        ShowMessageBox(kUnexpectedErrorText, kFatalTitle, MessageIcon::Error);
        return 1;
    }
}

bool CKavelinApp::StartUp() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    switch (CheckCatalogFile(kCatalogFileName)) {
        case CatalogFileState::Missing:
            ShowMessageBox(kMissingCatalogText, kFatalTitle, MessageIcon::Error);
            return false;
        case CatalogFileState::Foreign:
            // Opening another system's database as ours could change it; leave it alone.
            ShowMessageBox(ForeignCatalogText(), kFatalTitle, MessageIcon::Error);
            return false;
        case CatalogFileState::Damaged:
            if (!OfferFreshCatalog()) {
                return false;
            }
            break;
        case CatalogFileState::Present:
            break;
    }

    const CatalogAccess access = CheckCatalogAccess(kCatalogFileName);
    try {
        m_pDataBase = std::make_unique<CADODataBase>();
        bool connected = m_pDataBase->Connect(kCatalogConnectionString, "", "");
        const std::uint32_t code = m_pDataBase->GetLastError();
        if (!connected && access != CatalogAccess::ReadOnlyFolder &&
            (code == SqliteResultCode(SQLITE_CORRUPT) || code == SqliteResultCode(SQLITE_NOTADB))) {
            // Damage the header did not show.
            if (!OfferFreshCatalog()) {
                m_pDataBase.reset();
                return false;
            }
            connected = m_pDataBase->Connect(kCatalogConnectionString, "", "");
        }
        if (!connected) {
            // Running on without the catalog would drop every rating and play
            // in silence: say so and end instead.
            ShowMessageBox(access == CatalogAccess::ReadOnlyFolder
                               ? ReadOnlyFolderText(CatalogFolder(), true)
                               : "Cannot open the Kavelin database file 'Kavelin.mdb'.\n\n" +
                                     m_pDataBase->GetLastErrorText() +
                                     "\nSorry, have to quit now...",
                           kFatalTitle, MessageIcon::Error);
            m_pDataBase.reset();
            return false;
        }
    } catch (...) {
        m_pDataBase.reset();
        ShowMessageBox(MdacText(), kFatalTitle, MessageIcon::Error);
        ShellOpen(MdacHelpPage());
        return false;
    }
    // A catalog that cannot be written still plays; what the user does waits
    // until it can be stored, and the user learns why now.
    if (access == CatalogAccess::ReadOnlyFolder) {
        ShowMessageBox(ReadOnlyFolderText(CatalogFolder(), false), kWarningTitle,
                       MessageIcon::Warning);
    } else if (access == CatalogAccess::ReadOnlyFile || m_pDataBase->IsReadOnly()) {
        ShowMessageBox(ReadOnlyCatalogText(std::filesystem::absolute(kCatalogFileName).string()),
                       kWarningTitle, MessageIcon::Warning);
    }

    // What could not be stored before the last end is retried from the start.
    m_pWrites = std::make_unique<PendingWrites>(*m_pDataBase, kPendingWritesFileName);
    m_pWrites->StartRetrying();

    {
        CDownloadDlg downloadDialog(*m_pDataBase);
        downloadDialog.exec();
    }

    // The reply arrives while the main window runs.
    m_pUpdateRequest = std::make_unique<CUrlRequest>();
    StartUpdateCheck(*m_pUpdateRequest);
    return true;
}

bool CKavelinApp::OfferFreshCatalog() {
    const char* fresh = std::getenv("KAVELIN_FRESH_CATALOG");
    if (fresh == nullptr || !std::filesystem::exists(fresh)) {
        ShowMessageBox(DamagedCatalogText(CatalogFolder(), ""), kFatalTitle, MessageIcon::Error);
        return false;
    }
    const std::string date = LocalTimeText("%Y-%m-%d");
    const std::string aside =
        std::filesystem::path(DamagedCatalogName(kCatalogFileName, date)).filename().string();
    if (ShowMessageBox(DamagedCatalogText(CatalogFolder(), aside), kFatalTitle, MessageIcon::Error,
                       MessageButtons::YesNo) != MessageAnswer::Yes) {
        return false;
    }
    std::string error;
    if (m_pDataBase) {
        m_pDataBase->Disconnect();  // lets go of the damaged file before it moves
    }
    const std::string moved = ReplaceDamagedCatalog(kCatalogFileName, fresh, date, error);
    if (moved.empty()) {
        ShowMessageBox("Kavelin could not move the damaged catalog aside: " + error +
                           ". Sorry, have to quit now...",
                       kFatalTitle, MessageIcon::Error);
        return false;
    }
    // Waiting writes name tracks of the damaged catalog, not of the fresh one:
    // they stay with it.
    std::error_code ignored;
    std::filesystem::rename(kPendingWritesFileName,
                            std::filesystem::path(moved).replace_extension(".pending"), ignored);
    return true;
}

void CKavelinApp::CreateWorkers() {
    m_pScanner = std::make_unique<InfoReader>(*m_pDataBase, *m_pWrites);
    m_pPlayer = std::make_unique<TrackPlayer>(*m_pDataBase, *m_pWrites);
    m_pFolderWatcher = std::make_unique<FolderWatcher>(*m_pDataBase, *m_pWrites, *m_pScanner,
                                                       FolderWatcher::Limits{});
    m_pDownloader = new Downloader(*m_pDataBase, *m_pScanner);
    m_pDownloaderLink = std::make_unique<DownloaderLink>(*m_pDownloader);
    m_pScannerLink = std::make_unique<InfoReaderLink>(*m_pScanner, *m_pFolderWatcher);
    m_pPlayerLink = std::make_unique<TrackPlayerLink>(*m_pPlayer);
    m_pRecommenderLink = std::make_unique<RecommenderLink>(*m_pDataBase);
}

void CKavelinApp::CreateMainWindow() {
    m_pHelp = std::make_unique<DesktopHelp>();
    m_pMainWnd =
        std::make_unique<CMainDlg>(*m_pDataBase, *m_pWrites, *m_pPlayerLink, *m_pScannerLink,
                                   std::make_unique<QtSpeechOutput>(), *m_pHelp);
    m_pHelp->SetMainWindow(m_pMainWnd.get());
    m_pNotifications = std::make_unique<DesktopNotifications>();
    m_pMainWnd->SetNotifications(m_pNotifications.get());
    m_pMainWnd->SetRecommender(m_pRecommenderLink.get());
    m_pMainWnd->SetDownloader(m_pDownloaderLink.get());
    m_pDownloader->SetMainWindow(m_pMainWnd.get());
    m_pScanner->SetMainWindow(m_pMainWnd.get());
    m_pPlayer->SetMessageTarget(m_pMainWnd.get());
}

void CKavelinApp::StartWorkers() {
    m_pProblems->SetTarget(m_pMainWnd.get());
    const auto report = [problems = m_pProblems](const std::string& text) {
        problems->Report(text);
    };
    m_pScannerThread = std::make_unique<WorkerThread>(
        "InfoReader", [this] { m_pScanner->Run(); }, &m_pScanner->m_bStop, report);
    m_pPlayerThread = std::make_unique<WorkerThread>(
        "TrackPlayer", [this] { m_pPlayer->Run(); }, &m_pPlayer->m_bStop, report);
    m_pDownloaderThread = new WorkerThread(
        "Downloader", [downloader = m_pDownloader] { downloader->Run(); }, nullptr, report);
    m_pFolderWatcherThread = std::make_unique<WorkerThread>(
        "FolderWatcher", [this] { m_pFolderWatcher->Run(); }, &m_pFolderWatcher->m_bStop, report);
    m_pScannerThread->Start();
    m_pPlayerThread->Start();
    m_pFolderWatcherThread->Start();
    m_pDownloaderThread->Start();
    // The download thread is never asked to stop: it ends with the process.
    m_pDownloaderThread->Detach();
}

void CKavelinApp::ShutDown() {
    m_pShellControls.reset();
    if (m_pDownloader) {
        // Hands finished downloads to the scanner and lets go of the network
        // while the scanner and the catalog are still there; its thread then
        // only idles until the process ends.
        m_pDownloader->SetMainWindow(nullptr);
        m_pDownloader->Stop();
    }
    if (m_pFolderWatcherThread) {
        // It queues for the scanner: it stops first.
        StopAndWait(m_pFolderWatcher->m_bStop, m_pFolderWatcher->m_bStopped,
                    *m_pFolderWatcherThread, kShutdownPoll, WaitAnsweringMessages);
        m_pFolderWatcherThread.reset();
    }
    // Both are asked at once; each ends within a few tens of milliseconds
    // unless it is in the middle of a catalog statement.
    if (m_pPlayer) {
        m_pPlayer->m_bStop = true;
    }
    if (m_pScanner) {
        m_pScanner->m_bStop = true;
    }
    if (m_pPlayerThread) {
        StopAndWait(m_pPlayer->m_bStop, m_pPlayer->m_bStopped, *m_pPlayerThread, kShutdownPoll,
                    WaitAnsweringMessages);
        m_pPlayerThread.reset();
    }
    if (m_pScannerThread) {
        StopAndWait(m_pScanner->m_bStop, m_pScanner->m_bStopped, *m_pScannerThread, kShutdownPoll,
                    WaitAnsweringMessages);
        m_pScannerThread.reset();
    }
    m_pProblems->SetTarget(nullptr);
    if (m_pScanner) {
        m_pScanner->SetMainWindow(nullptr);
    }
    if (m_pPlayer) {
        m_pPlayer->SetMessageTarget(nullptr);
    }
    // Lookups write to the catalog; none may outlive it.
    EndSimilarArtistLookups();
    if (m_pWrites) {
        m_pWrites->StopRetrying();
    }
    if (m_pWrites && m_pDataBase && m_pWrites->Waiting() > 0 && !m_pWrites->JournalSaved() &&
        !m_pWrites->RetryNow()) {
        // Neither the catalog nor the disk beside it took them: say so rather
        // than let them vanish unseen.
        ShowMessageBox(UnsavedWritesText(m_pWrites->Waiting()), kWarningTitle,
                       MessageIcon::Warning);
    }
    if (m_pDataBase) {
        m_pDataBase->Disconnect();
    }
    m_pRecommenderLink.reset();
    m_pPlayerLink.reset();
    m_pPlayer.reset();
    m_pScannerLink.reset();
    m_pFolderWatcher.reset();
    m_pScanner.reset();
    m_pDataBase.reset();
}

}  // namespace kavelin
