#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/gnutella/Sha1.h"
#include "platform/gnutella/Wire.h"

namespace kavelin::gnutella {

// A call the component cannot answer: an unknown search, result or download.
class GnutellaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Download state codes as the component reports them.
enum DownloadState : int {
    // No transfer running; SourcesLeft says whether any source is still worth trying.
    kWaitingForSource = 1,
    // Connecting to a source and waiting for its reply.
    kConnecting = 2,
    // The last source was busy; it is asked again after its Retry-After.
    kQueued = 3,
    kReceiving = 6,
    // The finished file did not match its SHA-1, it could not be written, or
    // its name could not be made safe. Nothing of it is left on disk.
    kFailed = 8,
    // Verified and in the download folder under its final name.
    kComplete = 9,
};

// Tunable behaviour, set through the preferences object.
struct Preferences {
    int ultrapeerConnections = 5;   // ultrapeers kept connected
    int connectAttempts = 15;       // connection attempts in flight at once
    int activeDownloads = 25;       // transfers running at once
    int attemptsPerSource = 5;      // tries of one source before it is given up
    float downloadLimitKiB = 0.0f;  // KiB/s over all transfers, 0 = unlimited
    bool verifyDownloads = true;    // check finished files against their SHA-1
    int port = 6112;                // the port announced in pongs
};

// Time limits and bounds; the defaults suit the real network, tests shorten them.
struct ServentLimits {
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds handshakeTimeout{15000};
    std::chrono::milliseconds idleTimeout{120000};
    std::chrono::milliseconds keepAlive{30000};
    std::chrono::milliseconds transferIdle{60000};
    std::chrono::milliseconds hostRetry{60000};         // before the same host is tried again
    std::chrono::milliseconds webCacheInterval{30000};  // between bootstrap requests
    int messagesPerSecond = 200;                        // more from one peer are dropped
    std::size_t maxResultsPerSearch = 1000;
    std::size_t maxSourcesPerResult = 64;
    std::size_t maxSearches = 8;
    std::size_t maxConnections = 64;  // sockets of every kind
    std::size_t maxCachedHosts = 1000;
};

// The Gnutella 0.6 leaf: host caches, ultrapeer links, searches and HTTP
// downloads, driven by one network thread of its own. Every public call may
// come from any thread; each takes the servent's lock only briefly, and the
// network thread holds it only for a bounded amount of work per turn, so a
// busy or hostile network never keeps a caller waiting long.
class Servent {
public:
    Servent(std::filesystem::path workingDirectory, ServentLimits limits);
    ~Servent();
    Servent(const Servent&) = delete;
    Servent& operator=(const Servent&) = delete;

    // Preferences. The configuration file holds "Name=value" lines with the
    // names of Preferences' members, read over the defaults.
    void LoadConfiguration(const std::string& file);
    // One IPv4 address or "address/prefix" per line; '#' starts a comment.
    void LoadBlocked(const std::string& file);
    Preferences GetPreferences() const;
    void SetPreferences(const Preferences& preferences);
    std::filesystem::path DownloadFolder() const;

    // Host caches: "ip:port" per line (ordinary and ultrapeer caches), web
    // cache addresses "http://host[:port]/path" per line.
    enum class CacheKind { Hosts, Ultrapeers, WebCaches };
    void LoadCache(CacheKind kind, const std::string& file);
    void SaveCache(CacheKind kind, const std::string& file) const;

    // Makes sure the metadata schema folder exists; this leaf asks for no
    // metadata in its queries, so it reads none from there.
    void SetSchemaFolder(const std::string& folder);
    // The handshake's and requests' User-Agent: product "/" the version's first word.
    void SetUserAgent(const std::string& product, const std::string& version);

    // Starts the network thread if needed. Network 1 is the Gnutella network
    // itself (hosts from the caches); network 2 adds bootstrapping from the
    // web caches while no cached host answers.
    void Connect(int network);

    int ConnectionCount() const;
    int DownloadRate() const;  // bytes per second received by file transfers
    int UploadRate() const;    // bytes per second sent to peers (this leaf shares no files)

    // Searches: IDs count from 1; results too, within their search.
    int StartSearch(const std::string& text);
    std::vector<std::int32_t> ResultIds(int search) const;
    std::string ResultName(int search, int result) const;
    // Distinct hosts offering the result's file (grouped by SHA-1, or else by name and size).
    int ResultHostCount(int search, int result) const;
    int DownloadResult(int search, int result);
    // Ends the search's collection of hits; its results stay readable until it
    // gives way to newer searches.
    void StopSearch(int search);

    std::vector<std::int32_t> DownloadIds() const;
    int GetDownloadState(int download) const;
    // The file name (the final, unique name once complete).
    std::string DownloadName(int download) const;
    // Sources still worth trying; 0 when the download can only be removed.
    int SourcesLeft(int download) const;
    // Ends any transfer, deletes an unfinished partial file, forgets the download.
    void RemoveDownload(int download);

private:
    struct Connection;
    struct NameLookup;
    struct Source;
    struct Result;
    struct Search;
    struct Download;
    using Clock = std::chrono::steady_clock;

    // The lock as the public calls take it: announced, so that the network
    // thread steps aside between connections.
    class CallerLock {
    public:
        explicit CallerLock(const Servent& servent);
        ~CallerLock();
        CallerLock(const CallerLock&) = delete;
        CallerLock& operator=(const CallerLock&) = delete;

    private:
        const Servent& m_servent;
    };

    void NetworkLoop();
    void LetCallersIn();
    void Wake();
    void HandleEvents(int id, short revents);
    void Maintain(Clock::time_point now);
    void StartPeerConnections(Clock::time_point now);
    void StartDownloads(Clock::time_point now);
    void BootstrapFromWebCaches(Clock::time_point now);
    int OpenConnection(const HostAddress& host, int kind);
    void CloseConnection(int id);
    void OnConnected(Connection& connection);
    void OnReadable(Connection& connection);
    void ReadPeer(Connection& connection, std::string_view bytes);
    void ReadTransfer(Connection& connection, std::string_view bytes);
    bool HandleMessages(Connection& connection);
    void HandleMessage(Connection& connection, const DescriptorHeader& header,
                       std::string_view payload);
    void HandleQueryHit(const DescriptorHeader& header, std::string_view payload);
    void SendMessage(Connection& connection, const std::string& message);
    void SendQuery(Connection& connection, const Search& search);
    void FinishWebCache(Connection& connection);
    void TransferEnded(Download& download, bool busy);
    void CompleteDownload(Download& download);
    void FailDownload(Download& download);
    void AddHost(CacheKind kind, const HostAddress& host, bool front);
    bool IsBlocked(std::uint32_t ip) const;
    // Up to `count` cached hosts to connect to: not linked, not blocked, not tried lately.
    std::vector<HostAddress> HostsToTry(Clock::time_point now, std::size_t count) const;
    Search& FindSearch(int search);
    const Search& FindSearch(int search) const;
    const Result& FindResult(int search, int result) const;
    Download& FindDownload(int download);
    const Download& FindDownload(int download) const;
    int SourcesWorthTrying(const Download& download) const;

    const std::filesystem::path m_workingDirectory;
    const ServentLimits m_limits;

    mutable std::mutex m_lock;
    mutable std::atomic<int> m_nWaitingCallers{0};
    Preferences m_preferences;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_blocked;  // address, mask
    std::deque<HostAddress> m_ultrapeers;
    std::deque<HostAddress> m_hosts;
    std::vector<std::string> m_webCaches;
    std::map<HostAddress, Clock::time_point> m_lastAttempt;
    std::string m_userAgent = "Kavelin/1.00";
    bool m_bGnutella = false;
    bool m_bWebCaches = false;
    Clock::time_point m_lastWebCache{};
    std::size_t m_nextWebCache = 0;
    std::shared_ptr<NameLookup> m_pLookup;  // a web cache's name being looked up

    std::map<int, std::unique_ptr<Connection>> m_connections;
    int m_nextConnection = 1;
    std::map<int, std::unique_ptr<Search>> m_searches;
    int m_nextSearch = 1;
    std::map<int, std::unique_ptr<Download>> m_downloads;
    int m_nextDownload = 1;

    // Rates: bytes counted in the running second, and the last full second's.
    Clock::time_point m_rateSecond{};
    std::uint64_t m_bytesDownNow = 0, m_bytesUpNow = 0;
    int m_nDownRate = 0, m_nUpRate = 0;
    std::uint64_t m_downloadBudget = 0;  // bytes transfers may still take when limited
    Clock::time_point m_lastRefill{};

    std::vector<char> m_readBuffer;  // the network thread's, reused for every read
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    int m_wakeFd = -1;
};

}  // namespace kavelin::gnutella
