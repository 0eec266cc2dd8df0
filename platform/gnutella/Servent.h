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

#include "platform/gnutella/AddressRanges.h"
#include "platform/gnutella/HostCache.h"
#include "platform/gnutella/Sha1.h"
#include "platform/gnutella/Wire.h"

namespace kavelin::gnutella {

// The user's bootstrap list in the working directory.
inline constexpr const char* kBootstrapFile = "GnuBootstrap.net";

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
    int port = 6112;                // announced only while something listens on it; nothing does
    int transfersPerHost = 1;       // transfers running at once from one source host
    int maxFileMiB = 64;            // larger results are not kept
    // Addresses the network may name although they are not routable (the
    // user's own networks); everything else private, loopback or multicast
    // that a peer or cache names is refused.
    std::vector<AddressRange> localNetworks;
};

// Time limits and bounds; the defaults suit the real network, tests shorten them.
struct ServentLimits {
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds handshakeTimeout{15000};
    std::chrono::milliseconds idleTimeout{120000};
    std::chrono::milliseconds keepAlive{30000};
    std::chrono::milliseconds transferIdle{60000};
    std::chrono::milliseconds hostRetry{60000};         // before the same host is tried again
    std::chrono::milliseconds webCacheInterval{30000};  // between bootstrap rounds
    std::chrono::milliseconds hostCachePatience{1000};  // UDP host caches' time before web caches
    std::chrono::milliseconds webCacheTimeout{20000};   // for one whole web cache request
    int messagesPerSecond = 200;                        // more from one peer are dropped
    std::size_t maxResultsPerSearch = 1000;
    std::size_t maxSourcesPerResult = 64;
    std::size_t maxSearches = 8;
    std::size_t maxConnections = 64;  // sockets of every kind
    std::size_t maxCachedHosts = 1000;
    std::size_t maxResultBytes = 16 * 1024 * 1024;  // names and sources of every search together
    std::size_t maxQueuedTransfers = 8;  // transfers waiting in remote queues on open connections
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
    // names of Preferences' members, read over the defaults; a value the file
    // gives is the user's and stays when a caller sets that preference later.
    void LoadConfiguration(const std::string& file);
    // One IPv4 address or "address/prefix" per line; '#' starts a comment.
    void LoadBlocked(const std::string& file);
    Preferences GetPreferences() const;
    void SetPreferences(const Preferences& preferences);
    // True when the configuration file named this preference (a member name).
    bool Configured(const std::string& name) const;
    std::filesystem::path DownloadFolder() const;

    // Host caches: "ip:port last-answered" per line (ordinary and ultrapeer
    // caches), web cache addresses "http[s]://host[:port]/path" per line.
    enum class CacheKind { Hosts, Ultrapeers, WebCaches };
    void LoadCache(CacheKind kind, const std::string& file);
    void SaveCache(CacheKind kind, const std::string& file) const;

    // Makes sure the metadata schema folder exists; this leaf asks for no
    // metadata in its queries, so it reads none from there.
    void SetSchemaFolder(const std::string& folder);
    // The handshake's and requests' User-Agent: product "/" the version's first word.
    void SetUserAgent(const std::string& product, const std::string& version);

    // The bootstrap list used when the working directory holds no
    // kBootstrapFile: UDP host caches "host:port" and web caches "http[s]://..."
    // per line, '#' starts a comment.
    void SetBootstrapFallback(std::string text);

    // Starts the network thread if needed. Network 1 is the Gnutella network
    // itself (hosts from the caches); network 2 adds bootstrapping while no
    // cached host answers: UDP host caches first, then web caches, both from
    // the bootstrap list and what the caches name.
    void Connect(int network);

    int ConnectionCount() const;
    int DownloadRate() const;  // bytes per second received by file transfers
    int UploadRate() const;    // bytes per second sent to peers (this leaf shares no files)

    // Searches: IDs count from 1; results too, within their search.
    int StartSearch(const std::string& text);
    std::vector<std::int32_t> ResultIds(int search) const;
    std::string ResultName(int search, int result) const;
    // "urn:sha1:<base32>" when the hits named the file's hash, else empty.
    std::string ResultSha1(int search, int result) const;
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
    // "urn:sha1:<base32>" when known, else empty.
    std::string DownloadSha1(int download) const;
    // Sources still worth trying; 0 when the download can only be removed.
    int SourcesLeft(int download) const;
    // Ends any transfer, deletes an unfinished partial file, forgets the download.
    void RemoveDownload(int download);

private:
    struct Connection;
    struct NameLookup;
    struct WebCacheFetch;
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
    int OpenConnection(const HostAddress& host, int kind);
    void CloseConnection(int id);
    void OnConnected(Connection& connection);
    void OnReadable(Connection& connection);
    void ExpireConnections(Clock::time_point now);
    // Links and handshake
    void StartPeerConnections(Clock::time_point now);
    void SendHandshake(Connection& connection, Clock::time_point now);
    void ReadPeer(Connection& connection, std::string_view bytes);
    void ReadHandshake(Connection& connection);
    bool IsLinkedPeer(const Connection& connection) const;
    bool HandleMessages(Connection& connection);
    void HandleMessage(Connection& connection, const DescriptorHeader& header,
                       std::string_view payload);
    void SendMessage(Connection& connection, const std::string& message);
    void KeepLinkAlive(Connection& connection, Clock::time_point now);
    // Searches and hits
    void HandleQueryHit(const DescriptorHeader& header, std::string_view payload);
    void SendQuery(Connection& connection, const Search& search);
    void DropSearch(std::map<int, std::unique_ptr<Search>>::iterator search);
    // Transfers
    void StartDownloads(Clock::time_point now);
    void SendTransferRequest(Connection& connection);
    void ReadTransfer(Connection& connection, std::string_view bytes);
    bool ReadTransferHeaders(Connection& connection, Download& download, Source& source);
    void PollQueuedTransfers(Clock::time_point now);
    void TransferEnded(Download& download, bool busy);
    void CompleteDownload(Download& download);
    void FailDownload(Download& download);
    // Host caches and bootstrap
    void LoadBootstrapList();
    void Bootstrap(Clock::time_point now);
    void PingHostCaches(Clock::time_point now);
    void ReadHostCacheReplies();
    void AskWebCache();
    void TakeWebCacheReply();
    // Web caches of the user's own lists may live on the user's network.
    void TakeWebCacheAddress(const std::string& url, bool usersOwn);
    void AddHost(CacheKind kind, const HostAddress& host);
    void HostAnswered(const HostAddress& host);
    // Addresses read from peers and caches: not blocked, and routable unless the user's own.
    bool AcceptFromNetwork(std::uint32_t ip) const;
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
    std::set<std::string> m_configured;  // preferences the configuration file set
    std::vector<AddressRange> m_blocked;
    HostCache m_ultrapeers;
    HostCache m_hosts;
    std::vector<std::string> m_webCaches;
    std::set<std::string> m_usersWebCaches;
    std::vector<std::string> m_hostCaches;  // UDP host caches, "host:port"
    std::map<HostAddress, Clock::time_point> m_lastAttempt;
    std::string m_userAgent = "Kavelin/1.00";
    bool m_bGnutella = false;
    bool m_bWebCaches = false;
    std::string m_bootstrapFallback;
    bool m_bBootstrapLoaded = false;
    // Bootstrap rounds: UDP host caches are pinged, then, if they gave
    // nothing to try, one web cache is asked.
    Clock::time_point m_nextBootstrap{};
    Clock::time_point m_webCacheFrom{};
    std::size_t m_nextHostCache = 0;
    std::size_t m_nextWebCache = 0;
    int m_udpFd = -1;
    Guid m_hostCacheGuid{};
    std::map<HostAddress, Clock::time_point> m_pingedHostCaches;
    std::vector<std::shared_ptr<NameLookup>> m_lookups;  // host caches' names being looked up
    std::shared_ptr<WebCacheFetch> m_pFetch;             // the web cache request under way

    std::map<int, std::unique_ptr<Connection>> m_connections;
    int m_nextConnection = 1;
    std::map<int, std::unique_ptr<Search>> m_searches;
    int m_nextSearch = 1;
    std::size_t m_resultBytes = 0;  // what every search's results take, roughly
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
