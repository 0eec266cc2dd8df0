#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "catalog/ADODataBase.h"
#include "platform/gnutella/GnucCom.h"
#include "platform/messages/MessageTarget.h"

namespace kavelin {

class InfoReader;

// Posted at the end of every cycle; the receiver reads the figures itself.
inline constexpr unsigned WM_DOWNLOADER_STATUS = WM_APP + 300;

inline constexpr const char* kNoGnutellaText = "Could not load GnucDNA";
inline constexpr const char* kRemoveFailedText = "Remove failed.";

// The download worker: searches the Gnutella network for the recommended
// artists one at a time, downloads MP3 files the catalog does not hold yet
// and hands finished files to the scanner's queue. The object itself is the
// lock that serialises Start, Stop and each cycle of the loop.
class Downloader : public std::recursive_mutex {
public:
    using ComponentFactory =
        std::function<std::unique_ptr<gnutella::GnucCore>(const std::string& progId)>;

    // Cycle length and the two thresholds; tests shorten them.
    struct Timing {
        std::chrono::milliseconds cycle{1000};
        int searchAge = 30;   // results are examined once a search is older than this
        int checkEvery = 10;  // the download list is checked once this many cycles passed
    };

    Downloader(CADODataBase& database, InfoReader& reader);
    Downloader(CADODataBase& database, InfoReader& reader, ComponentFactory factory, Timing timing);
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Set once the main window exists; the status is posted only while one is set.
    void SetMainWindow(MessageTarget* window) { m_pMainWnd.store(window); }

    // Turns downloading on and off (user-interface thread).
    void Start();
    void Stop();
    // The worker loop (download thread): one cycle per cycle length, for ever.
    [[noreturn]] void Run();
    // One cycle of the loop. Errors of the figures or of the examination of
    // results escape (they end the thread); errors of the download check and
    // the new search only end those steps for this cycle.
    void RunCycle();

    // Read by the main window without the lock.
    std::atomic<bool> m_bRunning{false};
    std::atomic<std::int32_t> m_nConnects{0};
    std::atomic<std::int32_t> m_nDownloads{0};
    std::atomic<std::int32_t> m_nBytesDown{0};
    std::atomic<std::int32_t> m_nBytesUp{0};

    // The cycle's counters, read by tests.
    std::int32_t m_nSearch = 0;  // 0 until a search of the current component began
    std::int32_t m_nSearchAge = 0;
    std::int32_t m_nCheckCount = 0;

private:
    void ExamineResults(const std::vector<std::int32_t>& downloads);
    void CheckDownloads();
    void StartNewSearch();
    void QueueFinished(int download);
    void ClearFigures();

    CADODataBase* m_pDB;
    InfoReader& m_reader;
    ComponentFactory m_factory;
    const Timing m_timing;
    std::atomic<MessageTarget*> m_pMainWnd{nullptr};
    // Files queued for the scanner: "name:" and the search string of the name
    // they were stored under, and their "urn:sha1:..." when known.
    std::set<std::string> m_handedOver;

    std::unique_ptr<gnutella::GnucCore> m_core;
    std::unique_ptr<gnutella::GnucPreferences> m_prefs;
    std::unique_ptr<gnutella::GnucNetwork> m_network;
    std::unique_ptr<gnutella::GnucHostCache> m_cache;
    std::unique_ptr<gnutella::GnucMetadata> m_meta;
    std::unique_ptr<gnutella::GnucSearch> m_search;
    std::unique_ptr<gnutella::GnucDownloads> m_transfers;
};

}  // namespace kavelin
