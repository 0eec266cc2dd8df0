#include "acquisition/Downloader.h"

#include <set>
#include <thread>

#include "acquisition/ShippedBootstrap.h"
#include "catalog/ADORecordset.h"
#include "library/InfoReader.h"
#include "library/TrackInfoReader.h"
#include "platform/gnutella/FileNames.h"
#include "platform/log/ProgramLog.h"
#include "platform/messages/MessageBox.h"

namespace kavelin {
namespace {

// What tells transfers apart: the search string, or for a name without
// letters of its own ("01.mp3"), whose search string would look like every
// other such name, the whole name. Such a name never matches the catalog.
std::string TransferKey(const std::string& name) {
    std::string searchString = MakeSearchString(name);
    return IsDistinctiveSearchString(searchString) ? searchString : name;
}

// A new search waits this long past the check threshold before the next check.
constexpr int kCheckPauseAfterSearch = -25;
constexpr std::size_t kMaxListedDownloads = 30;
constexpr std::size_t kMaxRemembered = 10000;
// Downloads one examination of the results may start.
constexpr int kMaxStartsPerExamination = 5;

constexpr const char* kCacheFile = "GnuCache.net";
constexpr const char* kUltraCacheFile = "GnuUltraCache.net";
constexpr const char* kWebCacheFile = "WebCache.net";

std::unique_ptr<gnutella::GnucCore> CreateComponent(const std::string& progId) {
    auto core = gnutella::CreateObject(progId);
    if (core) {
        core->SetBootstrapFallback(ShippedBootstrapList());
    }
    return core;
}

}  // namespace

Downloader::Downloader(CADODataBase& database, InfoReader& reader)
    : Downloader(database, reader, CreateComponent, Timing{}) {}

Downloader::Downloader(CADODataBase& database, InfoReader& reader, ComponentFactory factory,
                       Timing timing)
    : m_pDB(&database), m_reader(reader), m_factory(std::move(factory)), m_timing(timing) {}

void Downloader::ClearFigures() {
    m_nConnects = 0;
    m_nDownloads = 0;
    m_nBytesDown = 0;
    m_nBytesUp = 0;
}

void Downloader::Start() {
    std::lock_guard lock(*this);
    if (m_bRunning) {
        return;
    }
    auto core = m_factory(gnutella::kGnutellaProgId);
    if (!core) {
        ShowMessageBox(kNoGnutellaText, "Kavelin", MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    m_core = std::move(core);
    m_core->Describe();
    m_prefs = m_core->Preferences();
    m_network = m_core->Network();
    m_cache = m_core->HostCache();
    m_meta = m_core->Metadata();
    m_search = m_core->Search();
    m_transfers = m_core->Downloads();
    m_core->SetClientName("Kavelin");
    m_core->SetClientVersion("1.00 Beta");
    m_core->SetClientCode("KV100B");
    m_core->SetNickname("");
    m_meta->LoadSchemas("Schemas");
    m_prefs->LoadConfiguration("GnuConfig.ini");
    m_prefs->LoadBlockedHosts("GnuBlocked.net");
    m_cache->LoadHosts(kCacheFile);
    m_cache->LoadUltrapeers(kUltraCacheFile);
    m_cache->LoadWebCaches(kWebCacheFile);
    m_prefs->SetAttemptsPerSource(5);
    m_prefs->SetDownloadLimit(0.0f);
    m_prefs->SetUltrapeerConnections(5);
    m_prefs->SetConnectAttempts(15);
    m_prefs->SetActiveDownloads(25);
    m_prefs->SetVerifyDownloads(true);
    m_prefs->SetPort(6112);
    m_core->Connect(1);
    m_core->Connect(2);
    // The search IDs of an earlier component mean nothing to this one.
    m_nSearch = 0;
    m_nSearchAge = 0;
    m_nCheckCount = m_timing.checkEvery;
    ClearFigures();
    m_bRunning = true;
    Log(LogLevel::Info, "network", "downloading started: connecting to the Gnutella network");
}

void Downloader::Stop() {
    std::lock_guard lock(*this);
    if (!m_bRunning) {
        return;
    }
    Log(LogLevel::Info, "network", "downloading stopped");
    // Finished files not yet handed over would be forgotten with the component.
    try {
        for (int download : m_transfers->Ids()) {
            if (m_transfers->State(download) == gnutella::kComplete) {
                QueueFinished(download);
            }
        }
    } catch (const std::exception&) {
        // Stopping goes on; the file stays in the download folder.
    }
    m_cache->SaveHosts(kCacheFile);
    m_cache->SaveUltrapeers(kUltraCacheFile);
    m_cache->SaveWebCaches(kWebCacheFile);
    m_transfers.reset();
    m_search.reset();
    m_meta.reset();
    m_cache.reset();
    m_network.reset();
    m_prefs.reset();
    m_core.reset();
    ClearFigures();
    m_bRunning = false;
}

void Downloader::Run() {
    for (;;) {
        RunCycle();
        std::this_thread::sleep_for(m_timing.cycle);
    }
}

void Downloader::RunCycle() {
    std::lock_guard lock(*this);
    if (m_bRunning) {
        const auto downloads = m_transfers->Ids();
        int receiving = 0;
        for (int download : downloads) {
            if (m_transfers->State(download) == gnutella::kReceiving) {
                ++receiving;
            }
        }
        m_nDownloads = receiving;
        m_nBytesDown = m_core->DownloadRate();
        m_nBytesUp = m_core->UploadRate();
        m_nConnects = m_network->ConnectionCount();
        if (m_nConnects > 0) {
            if (++m_nSearchAge > m_timing.searchAge && m_nSearch != 0) {
                ExamineResults(downloads);
            }
            if (++m_nCheckCount > m_timing.checkEvery) {
                try {
                    CheckDownloads();
                    StartNewSearch();
                } catch (const std::exception&) {
                    // A failing call abandons the check and the search for this cycle.
                }
            }
        }
    }
    if (MessageTarget* window = m_pMainWnd.load()) {
        window->PostMessage(WM_DOWNLOADER_STATUS, 1, 0);
    }
}

void Downloader::ExamineResults(const std::vector<std::int32_t>& downloads) {
    std::set<std::string> downloading;
    for (int download : downloads) {
        const std::string name = m_transfers->Name(download);
        downloading.insert("name:" + TransferKey(name));
        const std::string sha1 = m_transfers->Sha1(download);
        if (!sha1.empty()) {
            downloading.insert(sha1);
        }
    }
    int room = static_cast<int>(kMaxListedDownloads) - static_cast<int>(downloads.size());
    room = std::min(room, kMaxStartsPerExamination);
    for (int result : m_search->ResultIds(m_nSearch)) {
        if (room <= 0) {
            break;
        }
        const std::string name = m_search->ResultName(m_nSearch, result);
        if (name.find(".mp3", 1) == std::string::npos) {
            continue;
        }
        if (m_search->ResultHostCount(m_nSearch, result) <= 2) {
            continue;
        }
        // The name as it will be stored decides, so that an offer whose name
        // is changed on the way is still known for what it is.
        const auto safeName = gnutella::SanitizeFileName(name);
        if (!safeName) {
            continue;
        }
        const std::string searchString = MakeSearchString(*safeName);
        const std::string byName = "name:" + TransferKey(*safeName);
        const std::string sha1 = m_search->ResultSha1(m_nSearch, result);
        const auto known = [&](const std::set<std::string>& files) {
            return files.count(byName) != 0 || (!sha1.empty() && files.count(sha1) != 0);
        };
        if (known(downloading) || known(m_handedOver)) {
            continue;
        }
        CADORecordset count(*m_pDB);
        long tracks = 0;
        if (IsDistinctiveSearchString(searchString) &&
            (!count.OpenSource(
                 "SELECT COUNT(*) FROM tTrack WHERE tTrack.SearchString='" + searchString + "'",
                 CADORecordset::SourceQuery) ||
             !count.ReadField(0, tracks) || tracks > 0)) {
            continue;
        }
        m_search->Download(m_nSearch, result);
        // Two results for one file in the same examination are one track.
        downloading.insert(byName);
        downloading.insert(sha1);
        m_nCheckCount = 0;
        --room;
    }
    m_search->Stop(m_nSearch);
}

void Downloader::QueueFinished(int download) {
    const std::string name = m_transfers->Name(download);
    m_reader.QueueFile(m_prefs->DownloadFolder() + "/" + name);
    // Until the scanner has made it a catalog track, only this memory stops
    // the next examination from fetching the same file again.
    if (m_handedOver.size() >= kMaxRemembered) {
        m_handedOver.clear();
    }
    m_handedOver.insert("name:" + TransferKey(name));
    const std::string sha1 = m_transfers->Sha1(download);
    if (!sha1.empty()) {
        m_handedOver.insert(sha1);
    }
    m_transfers->Remove(download);
}

void Downloader::CheckDownloads() {
    for (int download : m_transfers->Ids()) {
        switch (m_transfers->State(download)) {
            case gnutella::kWaitingForSource:
                if (m_transfers->SourcesLeft(download) == 0) {
                    m_transfers->Remove(download);
                }
                break;
            case gnutella::kComplete:
                QueueFinished(download);
                break;
            case gnutella::kFailed:
                try {
                    m_transfers->Remove(download);
                } catch (const std::exception&) {
                    ShowMessageBox(kRemoveFailedText, "Error...", MessageIcon::Error);
                }
                break;
            default:
                break;
        }
    }
}

void Downloader::StartNewSearch() {
    if (m_transfers->Ids().size() >= kMaxListedDownloads) {
        m_nCheckCount = 0;
        return;
    }
    CADORecordset artist(*m_pDB);
    long id = 0;
    std::string name;
    if (!artist.OpenSource(
            "SELECT TOP 1 tRecommender.ID, tRecommender.Name FROM tRecommender ORDER BY "
            "tRecommender.LastDownloaded, tRecommender.ID",
            CADORecordset::SourceQuery) ||
        artist.AtEnd() || !artist.ReadField(0, id) || !artist.ReadField(1, name)) {
        // Nobody to search for: look again at the next check.
        m_nCheckCount = 0;
        return;
    }
    m_pDB->ExecuteStatement("UPDATE tRecommender SET LastDownloaded=Now WHERE ID=" +
                            std::to_string(id));
    m_nSearch = m_search->Start(name);
    m_nSearchAge = 0;
    m_nCheckCount = kCheckPauseAfterSearch;
}

}  // namespace kavelin
