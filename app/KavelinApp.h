#pragma once

#include <memory>
#include <string>

#include "acquisition/UrlRequest.h"
#include "catalog/ADODataBase.h"

namespace kavelin {

class CMainDlg;
class DesktopHelp;
class DesktopNotifications;
class Downloader;
class DownloaderLink;
class FolderWatcher;
class InfoReader;
class InfoReaderLink;
class PendingWrites;
class ProblemRelay;
class RecommenderLink;
class ShellMediaControls;
class TrackPlayer;
class TrackPlayerLink;
class WorkerThread;

// The application object: owns the shared objects, runs start-up, the
// program's life and the orderly shutdown.
class CKavelinApp {
public:
    CKavelinApp();
    ~CKavelinApp();
    CKavelinApp(const CKavelinApp&) = delete;
    CKavelinApp& operator=(const CKavelinApp&) = delete;

    // The whole life of the program, in the working directory. Returns the
    // process exit status: 0 after a normal end, 1 when start-up could not go on.
    int Run();

    CADODataBase* GetDataBase() const { return m_pDataBase.get(); }
    CMainDlg* GetMainWindow() const { return m_pMainWnd.get(); }

private:
    bool StartUp();
    // Asks to move a damaged catalog aside for a fresh one and does it; false
    // when the program cannot go on.
    bool OfferFreshCatalog();
    void CreateWorkers();
    void CreateMainWindow();
    void StartWorkers();
    void ShutDown();

    std::unique_ptr<CADODataBase> m_pDataBase;
    // Verdicts and plays on their way to the catalog; outlives the main window.
    std::unique_ptr<PendingWrites> m_pWrites;
    // Asks the maker's web site for a newer version; lives to the end of the program.
    std::unique_ptr<CUrlRequest> m_pUpdateRequest;
    std::unique_ptr<InfoReader> m_pScanner;
    std::unique_ptr<TrackPlayer> m_pPlayer;
    std::unique_ptr<FolderWatcher> m_pFolderWatcher;
    // Its thread runs to the end of the process, so the object is never destroyed.
    Downloader* m_pDownloader = nullptr;
    std::unique_ptr<DownloaderLink> m_pDownloaderLink;
    std::unique_ptr<InfoReaderLink> m_pScannerLink;
    std::unique_ptr<TrackPlayerLink> m_pPlayerLink;
    std::unique_ptr<RecommenderLink> m_pRecommenderLink;
    std::shared_ptr<ProblemRelay> m_pProblems;
    std::unique_ptr<DesktopHelp> m_pHelp;
    std::unique_ptr<DesktopNotifications> m_pNotifications;
    std::unique_ptr<CMainDlg> m_pMainWnd;
    // The player on the session bus for media keys and shell controls.
    std::unique_ptr<ShellMediaControls> m_pShellControls;
    std::unique_ptr<WorkerThread> m_pScannerThread;
    std::unique_ptr<WorkerThread> m_pPlayerThread;
    std::unique_ptr<WorkerThread> m_pFolderWatcherThread;
    WorkerThread* m_pDownloaderThread = nullptr;  // lives, like its thread, to the process end
};

// Fatal texts the user may see at start-up.
inline constexpr const char* kFatalTitle = "Fatal Error...";
inline constexpr const char* kWarningTitle = "Kavelin";
inline constexpr const char* kMissingCatalogText =
    "Cannot find the Kavelin database file. Please make sure that 'Kavelin.mdb' is in the Kavelin "
    "directory. Sorry, have to quit now...";
inline constexpr const char* kUnexpectedErrorText = "Unexpected error occured. Kavelin will close.";

std::string ForeignCatalogText();
std::string MdacText();
// `asideName` is what the damaged file would be renamed to; empty when no
// fresh catalog is at hand to take its place.
std::string DamagedCatalogText(const std::string& folder, const std::string& asideName);
std::string ReadOnlyCatalogText(const std::string& path);
// `fatal`: the catalog could not be opened there at all.
std::string ReadOnlyFolderText(const std::string& folder, bool fatal);
std::string UnsavedWritesText(std::size_t count);

}  // namespace kavelin
