#include "platform/gnutella/Servent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <tuple>

#include "platform/gnutella/FileNames.h"
#include "platform/gnutella/HeaderBlock.h"
#include "platform/gnutella/Zlib.h"

namespace kavelin::gnutella {
namespace {

enum ConnectionKind { kPeerLink = 1, kTransfer = 2, kWebCacheRequest = 3 };
enum class Phase { Connecting, Headers, Body };

constexpr std::size_t kPeerReadChunk = 16 * 1024;
constexpr std::size_t kTransferReadChunk = 256 * 1024;
constexpr int kTransferReadsPerTurn = 4;
constexpr std::size_t kMaxInflatedPerRead = 1024 * 1024;
constexpr std::size_t kMaxQueuedOutput = 512 * 1024;
constexpr std::size_t kMaxWebCacheReply = 64 * 1024;
constexpr std::size_t kMaxResultName = 1024;
constexpr std::size_t kMaxHitsPerMessage = 255;
constexpr std::size_t kMaxTryUltrapeers = 20;
constexpr std::size_t kMaxWebCaches = 100;
constexpr std::size_t kMaxCacheLineBytes = 300;
constexpr std::uint8_t kQueryTtl = 3;

bool Truthy(const std::optional<std::string>& value) {
    if (!value) {
        return false;
    }
    std::string lower = *value;
    for (char& c : lower) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower == "true";
}

std::string ResultKey(const HitResult& hit) {
    if (hit.sha1) {
        return "sha1:" + Base32(*hit.sha1);
    }
    std::string lower = hit.name;
    for (char& c : lower) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return "name:" + std::to_string(hit.size) + "/" + lower;
}

// Lines of a small text file, each cut off at `maxLine` bytes; at most `maxLines`.
std::vector<std::string> ReadLines(const std::filesystem::path& file, std::size_t maxLines) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (lines.size() < maxLines && std::getline(in, line)) {
        if (line.size() > kMaxCacheLineBytes) {
            continue;
        }
        lines.push_back(Trim(line));
    }
    return lines;
}

// The object a caller names by its ID; an unknown ID is the caller's error.
template <typename Map>
auto& FindById(Map& items, int id, const char* what) {
    auto found = items.find(id);
    if (found == items.end()) {
        throw GnutellaError(std::string("unknown ") + what + " " + std::to_string(id));
    }
    return *found->second;
}

struct WebCacheAddress {
    std::string host;
    std::uint16_t port = 80;
    std::string path;
};

std::optional<WebCacheAddress> ParseWebCacheAddress(std::string_view url) {
    constexpr std::string_view kScheme = "http://";
    if (url.size() > kMaxCacheLineBytes || url.substr(0, kScheme.size()) != kScheme) {
        return std::nullopt;
    }
    for (char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            return std::nullopt;
        }
    }
    url.remove_prefix(kScheme.size());
    const std::size_t slash = url.find('/');
    std::string_view authority = url.substr(0, slash);
    WebCacheAddress address;
    address.path = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
    if (address.path.find('?') != std::string::npos) {
        return std::nullopt;
    }
    const std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        auto port = ParseDecimal(authority.substr(colon + 1), 65535);
        if (!port || *port == 0) {
            return std::nullopt;
        }
        address.port = static_cast<std::uint16_t>(*port);
        authority = authority.substr(0, colon);
    }
    if (authority.empty()) {
        return std::nullopt;
    }
    address.host = std::string(authority);
    return address;
}

}  // namespace

struct Servent::NameLookup {
    WebCacheAddress address;
    std::optional<std::uint32_t> ip;  // written before `done`
    std::atomic<bool> done{false};
};

struct Servent::Source {
    HostAddress host;
    std::uint32_t index = 0;
    std::string name;
    bool firewalled = false;  // the hit asked for a push: a direct connection will likely fail
    bool busy = false;        // the host said all its upload slots were taken
    int attempts = 0;
    bool gone = false;
    Clock::time_point notBefore{};
};

struct Servent::Result {
    std::string name;
    std::uint32_t size = 0;
    std::optional<Sha1Digest> sha1;
    std::vector<Source> sources;
    std::set<HostAddress> hosts;
};

struct Servent::Search {
    int id = 0;
    std::string text;
    Guid guid{};
    bool open = true;
    std::vector<Result> results;
    std::map<std::string, std::size_t> byKey;
};

struct Servent::Download {
    int id = 0;
    std::string name;
    std::uint32_t size = 0;
    std::optional<Sha1Digest> sha1;
    std::vector<Source> sources;
    int state = kWaitingForSource;
    std::filesystem::path partPath;
    int fd = -1;
    std::uint64_t received = 0;
    Sha1 hash;
    int connection = 0;
};

struct Servent::Connection {
    int id = 0;
    int fd = -1;
    int kind = kPeerLink;
    Phase phase = Phase::Connecting;
    HostAddress host;
    Clock::time_point deadline{};
    Clock::time_point lastReceived{};
    Clock::time_point lastPing{};
    Clock::time_point lastPong{};
    std::string in;
    std::string out;
    std::unique_ptr<Inflater> inflater;
    std::unique_ptr<Deflater> deflater;
    Clock::time_point rateSecond{};
    int messagesThisSecond = 0;
    // Transfers
    int download = 0;
    std::size_t source = 0;
    std::uint64_t expectedEnd = 0;
    // Web cache requests
    std::string request;
    bool hostFile = true;
    bool broken = false;
};

Servent::Servent(std::filesystem::path workingDirectory, ServentLimits limits)
    : m_workingDirectory(std::move(workingDirectory)), m_limits(limits) {
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Servent::~Servent() {
    m_bStop = true;
    Wake();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard lock(m_lock);
    for (auto& [id, connection] : m_connections) {
        if (connection->fd >= 0) {
            close(connection->fd);
        }
    }
    m_connections.clear();
    std::error_code error;
    for (auto& [id, download] : m_downloads) {
        if (download->fd >= 0) {
            close(download->fd);
        }
        // Downloads do not outlive the component, so neither do their partial files.
        if (download->state != kComplete && !download->partPath.empty()) {
            std::filesystem::remove(download->partPath, error);
        }
    }
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
    }
}

void Servent::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
}

// ---- preferences and files -------------------------------------------------

void Servent::LoadConfiguration(const std::string& file) {
    const auto lines = ReadLines(m_workingDirectory / file, 200);
    CallerLock lock(*this);
    for (const auto& line : lines) {
        const std::size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) {
            continue;
        }
        const std::string name = Trim(line.substr(0, equals));
        const std::string value = Trim(line.substr(equals + 1));
        auto number = ParseDecimal(value, 65535);
        if (name == "VerifyDownloads") {
            m_preferences.verifyDownloads = value == "1" || value == "true";
        } else if (name == "DownloadLimitKiB" && number) {
            m_preferences.downloadLimitKiB = static_cast<float>(*number);
        } else if (!number) {
            continue;
        } else if (name == "UltrapeerConnections") {
            m_preferences.ultrapeerConnections =
                static_cast<int>(std::min<std::uint64_t>(*number, 64));
        } else if (name == "ConnectAttempts") {
            m_preferences.connectAttempts =
                static_cast<int>(std::clamp<std::uint64_t>(*number, 1, 64));
        } else if (name == "ActiveDownloads") {
            m_preferences.activeDownloads =
                static_cast<int>(std::clamp<std::uint64_t>(*number, 1, 64));
        } else if (name == "AttemptsPerSource") {
            m_preferences.attemptsPerSource =
                static_cast<int>(std::clamp<std::uint64_t>(*number, 1, 100));
        } else if (name == "Port") {
            m_preferences.port = static_cast<int>(std::max<std::uint64_t>(*number, 1));
        }
    }
}

void Servent::LoadBlocked(const std::string& file) {
    const auto lines = ReadLines(m_workingDirectory / file, 10000);
    CallerLock lock(*this);
    m_blocked.clear();
    for (const auto& line : lines) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t slash = line.find('/');
        auto host = ParseHostAddress(line.substr(0, slash) + ":1");
        int prefix = 32;
        if (slash != std::string::npos) {
            auto bits = ParseDecimal(line.substr(slash + 1), 32);
            if (!bits) {
                continue;
            }
            prefix = static_cast<int>(*bits);
        }
        if (!host) {
            continue;
        }
        const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix);
        m_blocked.emplace_back(host->ip & mask, mask);
    }
}

bool Servent::IsBlocked(std::uint32_t ip) const {
    return std::any_of(m_blocked.begin(), m_blocked.end(),
                       [ip](const auto& range) { return (ip & range.second) == range.first; });
}

Preferences Servent::GetPreferences() const {
    CallerLock lock(*this);
    return m_preferences;
}

void Servent::SetPreferences(const Preferences& preferences) {
    CallerLock lock(*this);
    m_preferences = preferences;
}

std::filesystem::path Servent::DownloadFolder() const {
    return m_workingDirectory / "Downloads";
}

void Servent::SetSchemaFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::create_directories(m_workingDirectory / folder, error);
}

void Servent::SetUserAgent(const std::string& product, const std::string& version) {
    CallerLock lock(*this);
    // "Kavelin" and "1.00 Beta" give "Kavelin/1.00": a product token has no blanks.
    const std::string number = version.substr(0, version.find(' '));
    m_userAgent = product + (number.empty() ? "" : "/" + number);
}

void Servent::LoadCache(CacheKind kind, const std::string& file) {
    const auto lines = ReadLines(m_workingDirectory / file, m_limits.maxCachedHosts);
    CallerLock lock(*this);
    for (const auto& line : lines) {
        if (kind == CacheKind::WebCaches) {
            if (ParseWebCacheAddress(line) && m_webCaches.size() < kMaxWebCaches &&
                std::find(m_webCaches.begin(), m_webCaches.end(), line) == m_webCaches.end()) {
                m_webCaches.push_back(line);
            }
        } else if (auto host = ParseHostAddress(line)) {
            AddHost(kind, *host, false);
        }
    }
}

void Servent::SaveCache(CacheKind kind, const std::string& file) const {
    std::string text;
    {
        CallerLock lock(*this);
        if (kind == CacheKind::WebCaches) {
            for (const auto& url : m_webCaches) {
                text += url + "\n";
            }
        } else {
            for (const auto& host : kind == CacheKind::Hosts ? m_hosts : m_ultrapeers) {
                text += FormatHostAddress(host) + "\n";
            }
        }
    }
    const auto path = m_workingDirectory / file;
    const auto temporary = m_workingDirectory / (file + ".new");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            return;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
}

void Servent::AddHost(CacheKind kind, const HostAddress& host, bool front) {
    if (host.ip == 0 || host.port == 0 || IsBlocked(host.ip)) {
        return;
    }
    auto& list = kind == CacheKind::Ultrapeers ? m_ultrapeers : m_hosts;
    auto found = std::find(list.begin(), list.end(), host);
    if (found != list.end()) {
        if (!front) {
            return;
        }
        list.erase(found);
    }
    if (front) {
        list.push_front(host);
    } else {
        list.push_back(host);
    }
    while (list.size() > m_limits.maxCachedHosts) {
        list.pop_back();
    }
}

// ---- the public calls --------------------------------------------------------

void Servent::Connect(int network) {
    CallerLock lock(*this);
    if (network == 1) {
        m_bGnutella = true;
    } else if (network == 2) {
        m_bWebCaches = true;
    } else {
        throw GnutellaError("unknown network " + std::to_string(network));
    }
    if (!m_thread.joinable()) {
        m_thread = std::thread([this] { NetworkLoop(); });
    }
    Wake();
}

int Servent::ConnectionCount() const {
    CallerLock lock(*this);
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(), [](auto& c) {
        return c.second->kind == kPeerLink && c.second->phase == Phase::Body;
    }));
}

int Servent::DownloadRate() const {
    CallerLock lock(*this);
    return m_nDownRate;
}

int Servent::UploadRate() const {
    CallerLock lock(*this);
    return m_nUpRate;
}

int Servent::StartSearch(const std::string& text) {
    CallerLock lock(*this);
    auto search = std::make_unique<Search>();
    search->id = m_nextSearch++;
    search->text = text.substr(0, 255);
    search->guid = NewGuid();
    for (auto& [id, connection] : m_connections) {
        if (connection->kind == kPeerLink && connection->phase == Phase::Body) {
            SendQuery(*connection, *search);
        }
    }
    const int id = search->id;
    m_searches[id] = std::move(search);
    while (m_searches.size() > m_limits.maxSearches) {
        m_searches.erase(m_searches.begin());
    }
    Wake();
    return id;
}

Servent::Search& Servent::FindSearch(int search) {
    return FindById(m_searches, search, "search");
}

const Servent::Search& Servent::FindSearch(int search) const {
    return FindById(m_searches, search, "search");
}

const Servent::Result& Servent::FindResult(int search, int result) const {
    const Search& found = FindSearch(search);
    if (result < 1 || static_cast<std::size_t>(result) > found.results.size()) {
        throw GnutellaError("unknown result " + std::to_string(result));
    }
    return found.results[static_cast<std::size_t>(result) - 1];
}

std::vector<std::int32_t> Servent::ResultIds(int search) const {
    CallerLock lock(*this);
    const Search& found = FindSearch(search);
    std::vector<std::int32_t> ids(found.results.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ids[i] = static_cast<std::int32_t>(i + 1);
    }
    return ids;
}

std::string Servent::ResultName(int search, int result) const {
    CallerLock lock(*this);
    return FindResult(search, result).name;
}

int Servent::ResultHostCount(int search, int result) const {
    CallerLock lock(*this);
    return static_cast<int>(FindResult(search, result).hosts.size());
}

int Servent::DownloadResult(int search, int result) {
    CallerLock lock(*this);
    const Result& found = FindResult(search, result);
    auto download = std::make_unique<Download>();
    download->id = m_nextDownload++;
    download->size = found.size;
    download->sha1 = found.sha1;
    download->sources = found.sources;
    for (auto& source : download->sources) {
        source.attempts = 0;
        source.gone = false;
        source.notBefore = {};
    }
    // A name that cannot be made safe fails the download rather than the caller.
    if (auto name = SanitizeFileName(found.name)) {
        download->name = *name;
        std::error_code error;
        std::filesystem::create_directories(DownloadFolder(), error);
        for (int tries = 0; tries < 16 && download->fd < 0; ++tries) {
            download->partPath = UniquePath(DownloadFolder(), download->name + ".part");
            download->fd = open(download->partPath.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        }
        if (download->fd < 0) {
            download->partPath.clear();
            download->state = kFailed;
        }
    } else {
        download->state = kFailed;
    }
    const int id = download->id;
    m_downloads[id] = std::move(download);
    Wake();
    return id;
}

void Servent::StopSearch(int search) {
    CallerLock lock(*this);
    FindSearch(search).open = false;
}

Servent::Download& Servent::FindDownload(int download) {
    return FindById(m_downloads, download, "download");
}

const Servent::Download& Servent::FindDownload(int download) const {
    return FindById(m_downloads, download, "download");
}

std::vector<std::int32_t> Servent::DownloadIds() const {
    CallerLock lock(*this);
    std::vector<std::int32_t> ids;
    for (const auto& [id, download] : m_downloads) {
        ids.push_back(id);
    }
    return ids;
}

int Servent::GetDownloadState(int download) const {
    CallerLock lock(*this);
    return FindDownload(download).state;
}

std::string Servent::DownloadName(int download) const {
    CallerLock lock(*this);
    return FindDownload(download).name;
}

int Servent::SourcesWorthTrying(const Download& download) const {
    const int limit = m_preferences.attemptsPerSource;
    return static_cast<int>(
        std::count_if(download.sources.begin(), download.sources.end(),
                      [limit](const Source& s) { return !s.gone && s.attempts < limit; }));
}

int Servent::SourcesLeft(int download) const {
    CallerLock lock(*this);
    const Download& found = FindDownload(download);
    if (found.state == kFailed || found.state == kComplete) {
        return 0;
    }
    return SourcesWorthTrying(found) + (found.connection != 0 ? 1 : 0);
}

void Servent::RemoveDownload(int download) {
    CallerLock lock(*this);
    Download& found = FindDownload(download);
    if (found.connection != 0) {
        const int connection = found.connection;
        found.connection = 0;
        CloseConnection(connection);
    }
    if (found.fd >= 0) {
        close(found.fd);
    }
    if (found.state != kComplete && !found.partPath.empty()) {
        std::error_code error;
        std::filesystem::remove(found.partPath, error);
    }
    m_downloads.erase(download);
}

// ---- the network thread ------------------------------------------------------

Servent::CallerLock::CallerLock(const Servent& servent) : m_servent(servent) {
    ++m_servent.m_nWaitingCallers;
    m_servent.m_lock.lock();
    --m_servent.m_nWaitingCallers;
}

Servent::CallerLock::~CallerLock() {
    m_servent.m_lock.unlock();
}

void Servent::LetCallersIn() {
    // A mutex hands itself back to the thread that just released it; without
    // this, a caller could wait out a whole turn over every connection.
    while (m_nWaitingCallers.load() > 0) {
        std::this_thread::yield();
    }
}

void Servent::NetworkLoop() {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    while (!m_bStop) {
        fds.assign(1, pollfd{m_wakeFd, POLLIN, 0});
        ids.assign(1, 0);
        {
            std::lock_guard lock(m_lock);
            const bool limited = m_preferences.downloadLimitKiB > 0.0f;
            for (auto& [id, connection] : m_connections) {
                short events = 0;
                if (connection->phase == Phase::Connecting || !connection->out.empty()) {
                    events |= POLLOUT;
                }
                const bool starved =
                    limited && connection->kind == kTransfer && m_downloadBudget == 0;
                if (connection->phase != Phase::Connecting && !starved) {
                    events |= POLLIN;
                }
                fds.push_back(pollfd{connection->fd, events, 0});
                ids.push_back(id);
            }
        }
        poll(fds.data(), fds.size(), 50);
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t got = read(m_wakeFd, &count, sizeof count);
        }
        // The lock is taken per connection, so that a caller waits for at
        // most one connection's bounded share of work.
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                LetCallersIn();
                std::lock_guard lock(m_lock);
                HandleEvents(ids[i], fds[i].revents);
            }
        }
        LetCallersIn();
        std::lock_guard lock(m_lock);
        const auto now = Clock::now();
        Maintain(now);
        BootstrapFromWebCaches(now);
    }
}

void Servent::BootstrapFromWebCaches(Clock::time_point now) {
    if (m_pLookup) {
        if (!m_pLookup->done.load(std::memory_order_acquire)) {
            return;
        }
        const auto lookup = std::move(m_pLookup);
        if (!lookup->ip) {
            return;
        }
        const HostAddress host{*lookup->ip, lookup->address.port};
        for (const bool hostFile : {true, false}) {
            const int id = OpenConnection(host, kWebCacheRequest);
            if (id == 0) {
                return;
            }
            Connection& connection = *m_connections[id];
            connection.hostFile = hostFile;
            connection.request =
                "GET " + lookup->address.path + (hostFile ? "?hostfile=1" : "?urlfile=1") +
                "&client=KVLN&version=1.00 HTTP/1.0\r\nHost: " + lookup->address.host +
                "\r\nUser-Agent: " + m_userAgent + "\r\nConnection: close\r\n\r\n";
        }
        return;
    }
    const bool noPeers = std::none_of(m_connections.begin(), m_connections.end(),
                                      [](auto& c) { return c.second->kind == kPeerLink; });
    if (!m_bWebCaches || !noPeers || m_webCaches.empty() || !HostsToTry(now, 1).empty() ||
        (m_lastWebCache != Clock::time_point{} &&
         now - m_lastWebCache < m_limits.webCacheInterval)) {
        return;
    }
    m_lastWebCache = now;
    auto address = ParseWebCacheAddress(m_webCaches[m_nextWebCache++ % m_webCaches.size()]);
    if (!address) {
        return;
    }
    // Name lookups block for as long as the resolver likes: they run on a
    // thread of their own that nobody waits for, so that stopping never does.
    m_pLookup = std::make_shared<NameLookup>();
    m_pLookup->address = std::move(*address);
    std::thread([lookup = m_pLookup] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(lookup->address.host.c_str(), nullptr, &hints, &found) == 0 && found) {
            lookup->ip =
                ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        }
        if (found) {
            freeaddrinfo(found);
        }
        lookup->done.store(true, std::memory_order_release);
    }).detach();
}

int Servent::OpenConnection(const HostAddress& host, int kind) {
    if (m_connections.size() >= m_limits.maxConnections || IsBlocked(host.ip)) {
        return 0;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(host.port);
    address.sin_addr.s_addr = htonl(host.ip);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return 0;
    }
    if (kind == kPeerLink) {
        // Queries and pongs are small and wanted at once, not gathered up.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    auto connection = std::make_unique<Connection>();
    connection->id = m_nextConnection++;
    connection->fd = fd;
    connection->kind = kind;
    connection->host = host;
    connection->deadline = Clock::now() + m_limits.connectTimeout;
    const int id = connection->id;
    m_connections[id] = std::move(connection);
    return id;
}

void Servent::CloseConnection(int id) {
    auto found = m_connections.find(id);
    if (found == m_connections.end()) {
        return;
    }
    std::unique_ptr<Connection> connection = std::move(found->second);
    m_connections.erase(found);
    close(connection->fd);
    if (connection->kind == kTransfer) {
        auto download = m_downloads.find(connection->download);
        if (download != m_downloads.end() && download->second->connection == id) {
            TransferEnded(*download->second, false);
        }
    }
}

void Servent::HandleEvents(int id, short revents) {
    auto found = m_connections.find(id);
    if (found == m_connections.end()) {
        return;
    }
    Connection& connection = *found->second;
    if (connection.phase == Phase::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(connection.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0 || (revents & (POLLERR | POLLHUP)) != 0) {
            CloseConnection(id);
            return;
        }
        if ((revents & POLLOUT) == 0) {
            return;
        }
        OnConnected(connection);
    }
    if ((revents & POLLOUT) != 0 && !connection.out.empty()) {
        const ssize_t sent =
            send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            CloseConnection(id);
            return;
        }
        if (sent > 0) {
            connection.out.erase(0, static_cast<std::size_t>(sent));
            m_bytesUpNow += static_cast<std::uint64_t>(sent);
        }
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        OnReadable(connection);
    }
}

void Servent::OnConnected(Connection& connection) {
    const auto now = Clock::now();
    connection.phase = Phase::Headers;
    connection.lastReceived = now;
    switch (connection.kind) {
        case kPeerLink:
            connection.deadline = now + m_limits.handshakeTimeout;
            connection.out += std::string("GNUTELLA CONNECT/0.6\r\nUser-Agent: ") + m_userAgent +
                              "\r\nX-Ultrapeer: False\r\nX-Query-Routing: 0.1\r\n"
                              "Accept-Encoding: deflate\r\n\r\n";
            break;
        case kTransfer: {
            connection.deadline = now + m_limits.transferIdle;
            Download& download = *m_downloads.at(connection.download);
            const Source& source = download.sources[connection.source];
            std::string path = download.sha1 ? "/uri-res/N2R?urn:sha1:" + Base32(*download.sha1)
                                             : "/get/" + std::to_string(source.index) + "/" +
                                                   UrlEncode(source.name);
            connection.out = "GET " + path +
                             " HTTP/1.1\r\nHost: " + FormatHostAddress(connection.host) +
                             "\r\nUser-Agent: " + m_userAgent + "\r\n";
            if (download.received > 0) {
                connection.out += "Range: bytes=" + std::to_string(download.received) + "-\r\n";
            }
            connection.out += "Connection: close\r\n\r\n";
            break;
        }
        case kWebCacheRequest:
            connection.deadline = now + m_limits.handshakeTimeout;
            connection.out = connection.request;
            break;
    }
}

void Servent::OnReadable(Connection& connection) {
    const int id = connection.id;
    const bool transfer = connection.kind == kTransfer;
    const std::size_t chunk = transfer ? kTransferReadChunk : kPeerReadChunk;
    const int reads = transfer ? kTransferReadsPerTurn : 1;
    m_readBuffer.resize(kTransferReadChunk);
    char* buffer = m_readBuffer.data();
    for (int i = 0; i < reads; ++i) {
        std::size_t want = chunk;
        if (transfer && m_preferences.downloadLimitKiB > 0.0f) {
            want = std::min<std::size_t>(want, m_downloadBudget);
            if (want == 0) {
                return;
            }
        }
        const ssize_t got = recv(connection.fd, buffer, want, 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (got <= 0) {
            if (connection.kind == kWebCacheRequest) {
                FinishWebCache(connection);
            }
            CloseConnection(id);
            return;
        }
        connection.lastReceived = Clock::now();
        const std::string_view bytes(buffer, static_cast<std::size_t>(got));
        switch (connection.kind) {
            case kPeerLink:
                ReadPeer(connection, bytes);
                return;
            case kTransfer:
                ReadTransfer(connection, bytes);
                if (m_connections.count(id) == 0 || static_cast<std::size_t>(got) < want) {
                    return;
                }
                break;
            case kWebCacheRequest:
                connection.in.append(bytes.substr(0, kMaxWebCacheReply - connection.in.size()));
                if (connection.in.size() >= kMaxWebCacheReply) {
                    FinishWebCache(connection);
                    CloseConnection(id);
                }
                return;
        }
    }
}

void Servent::ReadPeer(Connection& connection, std::string_view bytes) {
    if (connection.phase == Phase::Headers) {
        connection.in.append(bytes);
        HeaderBlock block;
        std::size_t consumed = 0;
        const BlockParse parse = ParseHeaderBlock(connection.in, block, consumed);
        if (parse == BlockParse::NeedMore) {
            return;
        }
        if (parse == BlockParse::Invalid) {
            CloseConnection(connection.id);
            return;
        }
        if (auto tryHosts = block.Field("X-Try-Ultrapeers")) {
            for (const auto& host : ParseHostList(*tryHosts, kMaxTryUltrapeers)) {
                AddHost(CacheKind::Ultrapeers, host, false);
            }
        }
        // A leaf wants an ultrapeer that accepts it; anything else ends the link.
        if (StatusCode(block.startLine, "GNUTELLA/") != 200 ||
            !Truthy(block.Field("X-Ultrapeer"))) {
            CloseConnection(connection.id);
            return;
        }
        const bool peerAccepts =
            block.Field("Accept-Encoding") && HasToken(*block.Field("Accept-Encoding"), "deflate");
        const bool peerSends = block.Field("Content-Encoding") &&
                               HasToken(*block.Field("Content-Encoding"), "deflate");
        connection.out += "GNUTELLA/0.6 200 OK\r\n";
        if (peerAccepts) {
            connection.out += "Content-Encoding: deflate\r\n";
            connection.deflater = std::make_unique<Deflater>();
        }
        connection.out += "\r\n";
        if (peerSends) {
            connection.inflater = std::make_unique<Inflater>();
        }
        const std::string rest = connection.in.substr(consumed);
        connection.in.clear();
        connection.phase = Phase::Body;
        connection.lastPing = Clock::now();
        AddHost(CacheKind::Ultrapeers, connection.host, true);
        for (auto& [id, search] : m_searches) {
            if (search->open) {
                SendQuery(connection, *search);
            }
        }
        if (!rest.empty()) {
            ReadPeer(connection, rest);
        }
        return;
    }
    if (connection.inflater) {
        if (!connection.inflater->Feed(bytes, connection.in, kMaxInflatedPerRead)) {
            CloseConnection(connection.id);
            return;
        }
    } else {
        connection.in.append(bytes);
    }
    HandleMessages(connection);
}

bool Servent::HandleMessages(Connection& connection) {
    const int id = connection.id;
    std::size_t offset = 0;
    while (true) {
        DescriptorHeader header;
        std::string_view payload;
        std::size_t consumed = 0;
        const Frame frame = NextDescriptor(std::string_view(connection.in).substr(offset), header,
                                           payload, consumed);
        if (frame == Frame::TooLarge) {
            CloseConnection(id);
            return false;
        }
        if (frame == Frame::NeedMore) {
            break;
        }
        offset += consumed;
        const auto now = Clock::now();
        if (now - connection.rateSecond >= std::chrono::seconds(1)) {
            connection.rateSecond = now;
            connection.messagesThisSecond = 0;
        }
        if (++connection.messagesThisSecond > m_limits.messagesPerSecond) {
            if (connection.messagesThisSecond > 10 * m_limits.messagesPerSecond) {
                CloseConnection(id);
                return false;
            }
            continue;
        }
        HandleMessage(connection, header, payload);
        if (m_connections.count(id) == 0) {
            return false;
        }
    }
    connection.in.erase(0, offset);
    return true;
}

void Servent::HandleMessage(Connection& connection, const DescriptorHeader& header,
                            std::string_view payload) {
    switch (header.type) {
        case kPing: {
            const auto now = Clock::now();
            if (now - connection.lastPong < std::chrono::seconds(1)) {
                return;
            }
            connection.lastPong = now;
            sockaddr_in local{};
            socklen_t length = sizeof local;
            getsockname(connection.fd, reinterpret_cast<sockaddr*>(&local), &length);
            Pong pong;
            pong.host = {ntohl(local.sin_addr.s_addr),
                         static_cast<std::uint16_t>(m_preferences.port)};
            const std::uint8_t ttl = static_cast<std::uint8_t>(std::clamp(header.hops + 1, 1, 7));
            SendMessage(connection,
                        BuildDescriptor(header.guid, kPong, ttl, 0, BuildPongPayload(pong)));
            return;
        }
        case kPong:
            if (auto pong = ParsePong(payload)) {
                AddHost(CacheKind::Hosts, pong->host, false);
            }
            return;
        case kBye:
            CloseConnection(connection.id);
            return;
        case kQueryHit:
            HandleQueryHit(header, payload);
            return;
        default:
            return;  // queries, pushes, routing and vendor messages do not concern a searching leaf
    }
}

void Servent::HandleQueryHit(const DescriptorHeader& header, std::string_view payload) {
    Search* search = nullptr;
    for (auto& [id, candidate] : m_searches) {
        if (candidate->guid == header.guid && candidate->open) {
            search = candidate.get();
        }
    }
    if (search == nullptr) {
        return;
    }
    auto hit = ParseQueryHit(payload, kMaxHitsPerMessage);
    if (!hit || hit->host.ip == 0 || hit->host.port == 0 || IsBlocked(hit->host.ip)) {
        return;
    }
    for (const auto& item : hit->results) {
        if (item.size == 0 || item.name.empty() || item.name.size() > kMaxResultName) {
            continue;
        }
        const std::string key = ResultKey(item);
        auto found = search->byKey.find(key);
        if (found == search->byKey.end()) {
            if (search->results.size() >= m_limits.maxResultsPerSearch) {
                continue;
            }
            Result result;
            result.name = item.name;
            result.size = item.size;
            result.sha1 = item.sha1;
            search->results.push_back(std::move(result));
            found = search->byKey.emplace(key, search->results.size() - 1).first;
        }
        Result& result = search->results[found->second];
        if (result.size != item.size) {
            continue;  // the same hash with another size: not the same file
        }
        const bool known = std::any_of(result.sources.begin(), result.sources.end(), [&](auto& s) {
            return s.host == hit->host && s.index == item.index;
        });
        if (known || result.sources.size() >= m_limits.maxSourcesPerResult) {
            continue;
        }
        Source source;
        source.host = hit->host;
        source.index = item.index;
        source.name = item.name;
        source.firewalled = hit->push;
        source.busy = hit->busy;
        result.sources.push_back(std::move(source));
        result.hosts.insert(hit->host);
    }
}

void Servent::SendMessage(Connection& connection, const std::string& message) {
    if (connection.out.size() > kMaxQueuedOutput) {
        return;  // a peer that does not read loses messages rather than our memory
    }
    if (connection.deflater) {
        if (!connection.deflater->Compress(message, connection.out)) {
            connection.broken = true;  // closed by the next turn's upkeep
        }
    } else {
        connection.out += message;
    }
}

void Servent::SendQuery(Connection& connection, const Search& search) {
    SendMessage(connection, BuildDescriptor(search.guid, kQuery, kQueryTtl, 0,
                                            BuildQueryPayload(
                                                search.text, kQueryFlagsInUse | kQueryWantsGgepH)));
}

// ---- transfers ---------------------------------------------------------------

void Servent::ReadTransfer(Connection& connection, std::string_view bytes) {
    Download& download = *m_downloads.at(connection.download);
    Source& source = download.sources[connection.source];
    if (connection.phase == Phase::Headers) {
        connection.in.append(bytes);
        HeaderBlock block;
        std::size_t consumed = 0;
        const BlockParse parse = ParseHeaderBlock(connection.in, block, consumed);
        if (parse == BlockParse::NeedMore) {
            return;
        }
        const int code = parse == BlockParse::Complete ? StatusCode(block.startLine, "HTTP/") : -1;
        std::optional<std::uint64_t> start;
        std::uint64_t end = download.size;
        if (code == 200) {
            auto length = block.Field("Content-Length");
            if (!length || ParseDecimal(Trim(*length), download.size) == download.size) {
                start = 0;
            }
        } else if (code == 206) {
            auto range = block.Field("Content-Range");
            auto parsed = range ? ParseContentRange(*range) : std::nullopt;
            if (parsed && parsed->total == download.size && parsed->first == download.received) {
                start = parsed->first;
                end = parsed->last + 1;
            }
        }
        if (code == 503) {
            auto retry = block.Field("Retry-After");
            auto seconds = retry ? ParseDecimal(Trim(*retry), 3600) : std::nullopt;
            const auto wait =
                std::chrono::seconds(std::max<std::uint64_t>(seconds.value_or(60), 1));
            source.notBefore = Clock::now() + wait;
            download.connection = 0;
            TransferEnded(download, true);
            CloseConnection(connection.id);
            return;
        }
        if (!start) {
            source.gone = true;
            CloseConnection(connection.id);
            return;
        }
        if (*start == 0 && download.received > 0) {
            // The whole file again: start over.
            if (ftruncate(download.fd, 0) != 0) {
                FailDownload(download);
                CloseConnection(connection.id);
                return;
            }
            download.received = 0;
            download.hash = Sha1();
        }
        connection.expectedEnd = end;
        connection.phase = Phase::Body;
        download.state = kReceiving;
        const std::string rest = connection.in.substr(consumed);
        connection.in.clear();
        if (rest.empty()) {
            return;
        }
        ReadTransfer(connection, rest);
        return;
    }
    const std::uint64_t room = connection.expectedEnd - download.received;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(room, bytes.size()));
    std::size_t written = 0;
    while (written < take) {
        const ssize_t n = pwrite(download.fd, bytes.data() + written, take - written,
                                 static_cast<off_t>(download.received + written));
        if (n <= 0) {
            FailDownload(download);
            CloseConnection(connection.id);
            return;
        }
        written += static_cast<std::size_t>(n);
    }
    download.hash.Update(bytes.data(), take);
    download.received += take;
    m_bytesDownNow += take;
    if (m_preferences.downloadLimitKiB > 0.0f) {
        m_downloadBudget -= std::min<std::uint64_t>(m_downloadBudget, take);
    }
    if (download.received == download.size) {
        download.connection = 0;
        CompleteDownload(download);
        CloseConnection(connection.id);
    } else if (download.received == connection.expectedEnd) {
        source.attempts = std::max(0, source.attempts - 1);  // a short range is not a failure
        CloseConnection(connection.id);
    }
}

void Servent::TransferEnded(Download& download, bool busy) {
    download.connection = 0;
    if (download.state == kComplete || download.state == kFailed) {
        return;
    }
    if (SourcesWorthTrying(download) == 0) {
        download.state = kWaitingForSource;
    } else {
        download.state = busy ? kQueued : kWaitingForSource;
    }
}

void Servent::CompleteDownload(Download& download) {
    if (m_preferences.verifyDownloads && download.sha1 &&
        download.hash.Finish() != *download.sha1) {
        FailDownload(download);
        return;
    }
    close(download.fd);
    download.fd = -1;
    // link() never replaces an existing file, so a name taken meanwhile is skipped.
    for (int tries = 0; tries < 16; ++tries) {
        const auto target = UniquePath(DownloadFolder(), download.name);
        if (link(download.partPath.c_str(), target.c_str()) == 0) {
            std::error_code error;
            std::filesystem::remove(download.partPath, error);
            download.partPath.clear();
            download.name = target.filename().string();
            download.state = kComplete;
            return;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    FailDownload(download);
}

void Servent::FailDownload(Download& download) {
    if (download.fd >= 0) {
        close(download.fd);
        download.fd = -1;
    }
    if (!download.partPath.empty()) {
        std::error_code error;
        std::filesystem::remove(download.partPath, error);
        download.partPath.clear();
    }
    download.connection = 0;
    download.state = kFailed;
}

void Servent::FinishWebCache(Connection& connection) {
    HeaderBlock block;
    std::size_t consumed = 0;
    if (ParseHeaderBlock(connection.in, block, consumed) != BlockParse::Complete ||
        StatusCode(block.startLine, "HTTP/") != 200) {
        return;
    }
    std::string_view body = std::string_view(connection.in).substr(consumed);
    std::size_t taken = 0;
    while (!body.empty() && taken < 100) {
        const std::size_t newline = body.find('\n');
        const std::string line = Trim(body.substr(0, newline));
        body = newline == std::string_view::npos ? std::string_view() : body.substr(newline + 1);
        if (connection.hostFile) {
            if (auto host = ParseHostAddress(line)) {
                AddHost(CacheKind::Ultrapeers, *host, false);
                ++taken;
            }
        } else if (ParseWebCacheAddress(line) && m_webCaches.size() < kMaxWebCaches &&
                   std::find(m_webCaches.begin(), m_webCaches.end(), line) == m_webCaches.end()) {
            m_webCaches.push_back(line);
            ++taken;
        }
    }
    connection.in.clear();
}

// ---- timers ------------------------------------------------------------------

void Servent::Maintain(Clock::time_point now) {
    if (now - m_rateSecond >= std::chrono::seconds(1)) {
        const double seconds = std::chrono::duration<double>(now - m_rateSecond).count();
        const bool first = m_rateSecond == Clock::time_point{};
        m_nDownRate = first ? 0 : static_cast<int>(std::min(m_bytesDownNow / seconds, 2e9));
        m_nUpRate = first ? 0 : static_cast<int>(std::min(m_bytesUpNow / seconds, 2e9));
        m_bytesDownNow = m_bytesUpNow = 0;
        m_rateSecond = now;
    }
    if (m_preferences.downloadLimitKiB > 0.0f) {
        // Refilled by the time that passed, never more than a second's worth.
        const double perSecond = m_preferences.downloadLimitKiB * 1024.0;
        const double seconds =
            std::min(std::chrono::duration<double>(now - m_lastRefill).count(), 1.0);
        m_downloadBudget = std::min<std::uint64_t>(
            m_downloadBudget + static_cast<std::uint64_t>(perSecond * seconds),
            static_cast<std::uint64_t>(perSecond));
    }
    m_lastRefill = now;
    std::vector<int> expired;
    for (auto& [id, connection] : m_connections) {
        const bool waiting = connection->phase != Phase::Body;
        if (connection->broken || (waiting && now > connection->deadline)) {
            expired.push_back(id);
        } else if (connection->kind == kPeerLink && connection->phase == Phase::Body) {
            if (now - connection->lastReceived > m_limits.idleTimeout) {
                expired.push_back(id);
            } else if (now - connection->lastPing >= m_limits.keepAlive) {
                connection->lastPing = now;
                SendMessage(*connection, BuildDescriptor(NewGuid(), kPing, 1, 0, {}));
            }
        } else if (connection->kind == kTransfer &&
                   now - connection->lastReceived > m_limits.transferIdle) {
            expired.push_back(id);
        }
    }
    for (int id : expired) {
        auto found = m_connections.find(id);
        if (found != m_connections.end() && found->second->kind == kWebCacheRequest) {
            FinishWebCache(*found->second);
        }
        CloseConnection(id);
    }
    if (m_bGnutella) {
        StartPeerConnections(now);
    }
    StartDownloads(now);
}

std::vector<HostAddress> Servent::HostsToTry(Clock::time_point now, std::size_t count) const {
    std::vector<HostAddress> chosen;
    if (count == 0) {
        return chosen;
    }
    std::set<HostAddress> linked;
    for (auto& [id, connection] : m_connections) {
        if (connection->kind == kPeerLink) {
            linked.insert(connection->host);
        }
    }
    for (const auto* list : {&m_ultrapeers, &m_hosts}) {
        for (const auto& host : *list) {
            auto attempt = m_lastAttempt.find(host);
            if (linked.count(host) == 0 && !IsBlocked(host.ip) &&
                (attempt == m_lastAttempt.end() || now - attempt->second >= m_limits.hostRetry) &&
                std::find(chosen.begin(), chosen.end(), host) == chosen.end()) {
                chosen.push_back(host);
                if (chosen.size() == count) {
                    return chosen;
                }
            }
        }
    }
    return chosen;
}

void Servent::StartPeerConnections(Clock::time_point now) {
    int linked = 0, pending = 0;
    for (auto& [id, connection] : m_connections) {
        if (connection->kind == kPeerLink) {
            (connection->phase == Phase::Body ? linked : pending)++;
        }
    }
    const int slots = std::min(m_preferences.ultrapeerConnections - linked - pending,
                               m_preferences.connectAttempts - pending);
    if (slots <= 0) {
        return;
    }
    if (m_lastAttempt.size() > 4096) {
        std::erase_if(m_lastAttempt,
                      [&](auto& entry) { return now - entry.second >= m_limits.hostRetry; });
    }
    for (const auto& host : HostsToTry(now, static_cast<std::size_t>(slots))) {
        m_lastAttempt[host] = now;
        if (OpenConnection(host, kPeerLink) == 0) {
            return;
        }
    }
}

void Servent::StartDownloads(Clock::time_point now) {
    int active = static_cast<int>(std::count_if(m_downloads.begin(), m_downloads.end(),
                                                [](auto& d) { return d.second->connection != 0; }));
    for (auto& [id, download] : m_downloads) {
        if (active >= m_preferences.activeDownloads) {
            return;
        }
        if (download->connection != 0 ||
            (download->state != kWaitingForSource && download->state != kQueued)) {
            continue;
        }
        std::optional<std::size_t> best;
        for (std::size_t i = 0; i < download->sources.size(); ++i) {
            const Source& source = download->sources[i];
            if (source.gone || source.attempts >= m_preferences.attemptsPerSource ||
                source.notBefore > now) {
                continue;
            }
            // Fewest tries first; among equals, hosts that take direct
            // connections, then hosts with a free upload slot.
            const auto rank = [](const Source& s) {
                return std::tuple(s.attempts, s.firewalled, s.busy);
            };
            if (!best || rank(source) < rank(download->sources[*best])) {
                best = i;
            }
        }
        if (!best) {
            continue;
        }
        Source& source = download->sources[*best];
        ++source.attempts;
        source.notBefore = now + std::chrono::seconds(source.attempts);
        const int connection = OpenConnection(source.host, kTransfer);
        if (connection == 0) {
            continue;
        }
        m_connections[connection]->download = id;
        m_connections[connection]->source = *best;
        download->connection = connection;
        download->state = kConnecting;
        ++active;
    }
}

}  // namespace kavelin::gnutella
