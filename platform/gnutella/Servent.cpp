#include "platform/gnutella/Servent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/gnutella/ServentState.h"

// The servent's lifetime, preferences, the network thread and the plumbing
// every connection shares. Links, searches, transfers and bootstrap live in
// the other Servent*.cpp files.
namespace kavelin::gnutella {

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

std::string ReadSmallFile(const std::filesystem::path& file, std::size_t maxBytes) {
    std::ifstream in(file, std::ios::binary);
    std::string text(maxBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(maxBytes));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::int64_t SecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Servent::Servent(std::filesystem::path workingDirectory, ServentLimits limits)
    : m_workingDirectory(std::move(workingDirectory)),
      m_limits(limits),
      m_ultrapeers(limits.maxCachedHosts),
      m_hosts(limits.maxCachedHosts) {
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
    if (m_udpFd >= 0) {
        close(m_udpFd);
    }
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
    }
}

void Servent::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
}

// ---- preferences -------------------------------------------------------------

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
        bool taken = true;
        if (name == "VerifyDownloads") {
            m_preferences.verifyDownloads = value == "1" || value == "true";
        } else if (name == "LocalNetworks") {
            m_preferences.localNetworks = ParseAddressRanges(value);
        } else if (!number) {
            taken = false;
        } else if (name == "DownloadLimitKiB") {
            m_preferences.downloadLimitKiB = static_cast<float>(*number);
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
        } else if (name == "TransfersPerHost") {
            m_preferences.transfersPerHost =
                static_cast<int>(std::clamp<std::uint64_t>(*number, 1, 64));
        } else if (name == "MaxFileMiB") {
            m_preferences.maxFileMiB =
                static_cast<int>(std::clamp<std::uint64_t>(*number, 1, 4095));
        } else {
            taken = false;
        }
        if (taken) {
            m_configured.insert(name);
        }
    }
}

bool Servent::Configured(const std::string& name) const {
    CallerLock lock(*this);
    return m_configured.count(name) != 0;
}

void Servent::LoadBlocked(const std::string& file) {
    const auto lines = ReadLines(m_workingDirectory / file, 10000);
    CallerLock lock(*this);
    m_blocked.clear();
    for (const auto& line : lines) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (auto range = ParseAddressRange(line)) {
            m_blocked.push_back(*range);
        }
    }
}

bool Servent::IsBlocked(std::uint32_t ip) const {
    return InRanges(m_blocked, ip);
}

bool Servent::AcceptFromNetwork(std::uint32_t ip) const {
    return !IsBlocked(ip) && (IsRoutable(ip) || InRanges(m_preferences.localNetworks, ip));
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

// ---- figures and the network switch -------------------------------------------

void Servent::Connect(int network) {
    CallerLock lock(*this);
    if (network == 1) {
        m_bGnutella = true;
    } else if (network == 2) {
        m_bWebCaches = true;
        LoadBootstrapList();
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
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(),
                                          [this](auto& c) { return IsLinkedPeer(*c.second); }));
}

int Servent::DownloadRate() const {
    CallerLock lock(*this);
    return m_nDownRate;
}

int Servent::UploadRate() const {
    CallerLock lock(*this);
    return m_nUpRate;
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
            if (m_udpFd >= 0) {
                fds.push_back(pollfd{m_udpFd, POLLIN, 0});
                ids.push_back(-1);
            }
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
                if (ids[i] < 0) {
                    ReadHostCacheReplies();
                } else {
                    HandleEvents(ids[i], fds[i].revents);
                }
            }
        }
        LetCallersIn();
        std::lock_guard lock(m_lock);
        const auto now = Clock::now();
        Maintain(now);
        Bootstrap(now);
    }
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
    if (connection->kind == kPeerLink && connection->phase != Phase::Body) {
        // Hosts that answer go first next time; those that did not, last.
        m_ultrapeers.Failed(connection->host);
        m_hosts.Failed(connection->host);
    }
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
    if (connection.kind == kPeerLink) {
        SendHandshake(connection, now);
    } else {
        connection.deadline = now + m_limits.transferIdle;
        SendTransferRequest(connection);
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
            CloseConnection(id);
            return;
        }
        connection.lastReceived = Clock::now();
        const std::string_view bytes(buffer, static_cast<std::size_t>(got));
        if (!transfer) {
            ReadPeer(connection, bytes);
            return;
        }
        ReadTransfer(connection, bytes);
        if (m_connections.count(id) == 0 || static_cast<std::size_t>(got) < want) {
            return;
        }
    }
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
    ExpireConnections(now);
    if (m_bGnutella) {
        StartPeerConnections(now);
    }
    PollQueuedTransfers(now);
    StartDownloads(now);
}

void Servent::ExpireConnections(Clock::time_point now) {
    std::vector<int> expired;
    for (auto& [id, connection] : m_connections) {
        const bool waiting = connection->phase != Phase::Body;
        if (connection->broken || (waiting && now > connection->deadline)) {
            expired.push_back(id);
        } else if (connection->kind == kPeerLink && connection->phase == Phase::Body) {
            if (now - connection->lastReceived > m_limits.idleTimeout) {
                expired.push_back(id);
            } else {
                KeepLinkAlive(*connection, now);
            }
        } else if (connection->kind == kTransfer && !connection->queued &&
                   now - connection->lastReceived > m_limits.transferIdle) {
            // A transfer that sends nothing for too long; one waiting in the
            // source's queue is held to the queue's own deadline instead.
            expired.push_back(id);
        }
    }
    for (int id : expired) {
        CloseConnection(id);
    }
}

}  // namespace kavelin::gnutella
