#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

#include "platform/gnutella/ServentState.h"

// Downloads: choosing a source, the HTTP request and reply, waiting in a
// source's upload queue, writing and verifying the file.
namespace kavelin::gnutella {
namespace {

// How long a source's queue lets the leaf wait between requests when it does not say.
constexpr std::uint64_t kDefaultPollMaxSeconds = 120;

}  // namespace

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

std::string Servent::DownloadSha1(int download) const {
    CallerLock lock(*this);
    const Download& found = FindDownload(download);
    return found.sha1 ? "urn:sha1:" + Base32(*found.sha1) : std::string();
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

void Servent::StartDownloads(Clock::time_point now) {
    int active = 0;
    std::map<std::uint32_t, int> perHost;  // transfers by source address
    for (auto& [id, connection] : m_connections) {
        if (connection->kind == kTransfer) {
            ++active;
            ++perHost[connection->host.ip];
        }
    }
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
                source.notBefore > now ||
                perHost[source.host.ip] >= m_preferences.transfersPerHost) {
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
        ++perHost[source.host.ip];
    }
}

void Servent::SendTransferRequest(Connection& connection) {
    const Download& download = *m_downloads.at(connection.download);
    const Source& source = download.sources[connection.source];
    const std::string path =
        download.sha1 ? "/uri-res/N2R?urn:sha1:" + Base32(*download.sha1)
                      : "/get/" + std::to_string(source.index) + "/" + UrlEncode(source.name);
    // The connection stays open after the reply, so that a source that puts
    // the request in its upload queue can be asked again on it.
    connection.out += "GET " + path + " HTTP/1.1\r\nHost: " + FormatHostAddress(connection.host) +
                      "\r\nUser-Agent: " + m_userAgent + "\r\nX-Queue: 0.1\r\n";
    if (download.received > 0) {
        connection.out += "Range: bytes=" + std::to_string(download.received) + "-\r\n";
    }
    connection.out += "\r\n";
}

void Servent::PollQueuedTransfers(Clock::time_point now) {
    for (auto& [id, connection] : m_connections) {
        if (connection->kind == kTransfer && connection->queued && now >= connection->pollAt) {
            connection->queued = false;
            connection->deadline = now + m_limits.transferIdle;
            connection->lastReceived = now;
            SendTransferRequest(*connection);
        }
    }
}

void Servent::ReadTransfer(Connection& connection, std::string_view bytes) {
    Download& download = *m_downloads.at(connection.download);
    Source& source = download.sources[connection.source];
    if (connection.phase == Phase::Headers) {
        connection.in.append(bytes);
        if (!ReadTransferHeaders(connection, download, source)) {
            return;
        }
        const std::string rest = std::move(connection.in);
        connection.in.clear();
        if (!rest.empty()) {
            ReadTransfer(connection, rest);
        }
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

// The source's reply to a request. True when the body follows (in `in`);
// false while the reply is incomplete, the request waits in the source's
// queue, or the connection was closed.
bool Servent::ReadTransferHeaders(Connection& connection, Download& download, Source& source) {
    HeaderBlock block;
    std::size_t consumed = 0;
    const BlockParse parse = ParseHeaderBlock(connection.in, block, consumed);
    if (parse == BlockParse::NeedMore) {
        return false;
    }
    const int code = parse == BlockParse::Complete ? StatusCode(block.startLine, "HTTP/") : -1;
    const auto now = Clock::now();
    if (code == 503) {
        const auto place =
            block.Field("X-Queued") ? ParseQueuePlace(*block.Field("X-Queued")) : std::nullopt;
        const auto length = block.Field("Content-Length")
                                ? ParseDecimal(Trim(*block.Field("Content-Length")), 4096)
                                : std::optional<std::uint64_t>(0);
        const std::size_t queued = static_cast<std::size_t>(std::count_if(
            m_connections.begin(), m_connections.end(), [](auto& c) { return c.second->queued; }));
        const std::uint64_t pollMax =
            place && place->pollMax > 0 ? place->pollMax : kDefaultPollMaxSeconds;
        if (place && length && *length == connection.in.size() - consumed &&
            queued < m_limits.maxQueuedTransfers &&
            std::max<std::uint64_t>(place->pollMin, 1) < pollMax) {
            // Keep the place: ask again on this connection as soon as pollMin
            // allows, well before pollMax runs out.
            const std::uint64_t wait = std::max<std::uint64_t>(place->pollMin, 1);
            connection.queued = true;
            connection.pollAt = now + std::chrono::seconds(wait);
            connection.deadline = now + std::chrono::seconds(pollMax);
            connection.in.clear();
            download.state = kQueued;
            return false;
        }
        auto retry = block.Field("Retry-After");
        auto seconds = retry ? ParseDecimal(Trim(*retry), 3600) : std::nullopt;
        source.notBefore =
            now + std::chrono::seconds(std::max<std::uint64_t>(seconds.value_or(60), 1));
        source.busy = true;
        // Another source, when there is one, is asked in this same turn.
        TransferEnded(download, true);
        CloseConnection(connection.id);
        return false;
    }
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
    if (!start) {
        source.gone = true;
        CloseConnection(connection.id);
        return false;
    }
    if (*start == 0 && download.received > 0) {
        // The whole file again: start over.
        if (ftruncate(download.fd, 0) != 0) {
            FailDownload(download);
            CloseConnection(connection.id);
            return false;
        }
        download.received = 0;
        download.hash = Sha1();
    }
    connection.expectedEnd = end;
    connection.phase = Phase::Body;
    download.state = kReceiving;
    connection.in.erase(0, consumed);
    return true;
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

}  // namespace kavelin::gnutella
