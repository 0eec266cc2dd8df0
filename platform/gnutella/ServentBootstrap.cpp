#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "platform/gnutella/ServentState.h"

// Finding the network: the host caches kept between runs, the bootstrap list,
// UDP host caches and web caches. Addresses that come from the network pass
// AcceptFromNetwork; the user's own files are taken as they are.
namespace kavelin::gnutella {
namespace {

constexpr std::size_t kHostCachesPerRound = 3;
constexpr std::size_t kMaxNameLookups = 8;
constexpr int kDatagramsPerTurn = 32;
constexpr std::size_t kMaxBootstrapBytes = 64 * 1024;

bool IsWebAddress(std::string_view line) {
    return line.substr(0, 7) == "http://" || line.substr(0, 8) == "https://";
}

// "name:port" with a port from 1 to 65535 and a name without blanks.
bool IsHostCacheEntry(std::string_view entry) {
    const std::size_t colon = entry.rfind(':');
    if (colon == std::string_view::npos || colon == 0 ||
        entry.find_first_of(" \t/") != std::string_view::npos) {
        return false;
    }
    const auto port = ParseDecimal(entry.substr(colon + 1), 65535);
    return port && *port > 0;
}

}  // namespace

void Servent::LoadCache(CacheKind kind, const std::string& file) {
    const auto path = m_workingDirectory / file;
    if (kind == CacheKind::WebCaches) {
        const auto lines = ReadLines(path, kMaxWebCaches);
        CallerLock lock(*this);
        for (const auto& line : lines) {
            TakeWebCacheAddress(line, true);
        }
        return;
    }
    const std::string text = ReadSmallFile(path, m_limits.maxCachedHosts * 40);
    CallerLock lock(*this);
    (kind == CacheKind::Ultrapeers ? m_ultrapeers : m_hosts).Load(text, SecondsSinceEpoch());
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
            text = (kind == CacheKind::Hosts ? m_hosts : m_ultrapeers).Save();
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

void Servent::AddHost(CacheKind kind, const HostAddress& host) {
    if (!IsBlocked(host.ip)) {
        (kind == CacheKind::Ultrapeers ? m_ultrapeers : m_hosts).Add(host, SecondsSinceEpoch());
    }
}

void Servent::HostAnswered(const HostAddress& host) {
    m_ultrapeers.Answered(host, SecondsSinceEpoch());
}

void Servent::TakeWebCacheAddress(const std::string& url, bool usersOwn) {
    if (ParseWebCacheAddress(url) && m_webCaches.size() < kMaxWebCaches &&
        std::find(m_webCaches.begin(), m_webCaches.end(), url) == m_webCaches.end()) {
        m_webCaches.push_back(url);
        if (usersOwn) {
            m_usersWebCaches.insert(url);
        }
    }
}

void Servent::SetBootstrapFallback(std::string text) {
    CallerLock lock(*this);
    m_bootstrapFallback = std::move(text);
}

void Servent::LoadBootstrapList() {
    if (m_bBootstrapLoaded) {
        return;
    }
    m_bBootstrapLoaded = true;
    const auto file = m_workingDirectory / kBootstrapFile;
    std::error_code error;
    const std::string text = std::filesystem::exists(file, error)
                                 ? ReadSmallFile(file, kMaxBootstrapBytes)
                                 : m_bootstrapFallback;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        const std::string line = Trim(rest.substr(0, newline));
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (IsWebAddress(line)) {
            TakeWebCacheAddress(line, true);
        } else if (IsHostCacheEntry(line) && m_hostCaches.size() < kMaxHostCaches &&
                   std::find(m_hostCaches.begin(), m_hostCaches.end(), line) ==
                       m_hostCaches.end()) {
            m_hostCaches.push_back(line);
        }
    }
}

void Servent::Bootstrap(Clock::time_point now) {
    if (!m_bWebCaches) {
        return;
    }
    TakeWebCacheReply();
    PingHostCaches(now);
    const bool linking = std::any_of(m_connections.begin(), m_connections.end(),
                                     [](auto& c) { return c.second->kind == kPeerLink; });
    if (linking || !HostsToTry(now, 1).empty()) {
        m_webCacheFrom = {};
        return;
    }
    if (now >= m_nextBootstrap) {
        // A new round: the UDP host caches first; a web cache only if they
        // gave nothing to try within their time.
        m_nextBootstrap = now + m_limits.webCacheInterval;
        m_webCacheFrom = m_hostCaches.empty() ? now : now + m_limits.hostCachePatience;
        m_hostCacheGuid = NewGuid();
        for (std::size_t i = 0; i < std::min(kHostCachesPerRound, m_hostCaches.size()); ++i) {
            const std::string& entry = m_hostCaches[m_nextHostCache++ % m_hostCaches.size()];
            const std::size_t colon = entry.rfind(':');
            if (m_lookups.size() >= kMaxNameLookups) {
                break;
            }
            auto lookup = std::make_shared<NameLookup>();
            lookup->name = entry.substr(0, colon);
            lookup->port =
                static_cast<std::uint16_t>(*ParseDecimal(entry.substr(colon + 1), 65535));
            m_lookups.push_back(lookup);
            if (auto numeric = ParseHostAddress(entry)) {
                lookup->ip = numeric->ip;
                lookup->done = true;
                continue;
            }
            // Name lookups block for as long as the resolver likes: they run
            // on a thread of their own that nobody waits for.
            std::thread([lookup] {
                addrinfo hints{};
                hints.ai_family = AF_INET;
                hints.ai_socktype = SOCK_DGRAM;
                addrinfo* found = nullptr;
                if (getaddrinfo(lookup->name.c_str(), nullptr, &hints, &found) == 0 && found) {
                    lookup->ip = ntohl(
                        reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
                }
                if (found) {
                    freeaddrinfo(found);
                }
                lookup->done.store(true, std::memory_order_release);
            }).detach();
        }
        PingHostCaches(now);
    }
    if (m_webCacheFrom != Clock::time_point{} && now >= m_webCacheFrom) {
        m_webCacheFrom = {};
        AskWebCache();
    }
}

// Sends the round's ping to every host cache whose address is known by now.
void Servent::PingHostCaches(Clock::time_point now) {
    std::erase_if(m_pingedHostCaches, [&](auto& entry) {
        return now - entry.second > m_limits.webCacheInterval + m_limits.hostCachePatience;
    });
    for (auto it = m_lookups.begin(); it != m_lookups.end();) {
        const NameLookup& lookup = **it;
        if (!lookup.done.load(std::memory_order_acquire)) {
            ++it;
            continue;
        }
        if (lookup.ip && !IsBlocked(*lookup.ip)) {
            if (m_udpFd < 0) {
                m_udpFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            }
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(lookup.port);
            address.sin_addr.s_addr = htonl(*lookup.ip);
            const std::string ping = BuildHostCachePing(m_hostCacheGuid);
            if (m_udpFd >= 0 &&
                sendto(m_udpFd, ping.data(), ping.size(), 0, reinterpret_cast<sockaddr*>(&address),
                       sizeof address) == static_cast<ssize_t>(ping.size())) {
                m_pingedHostCaches[{*lookup.ip, lookup.port}] = now;
                m_bytesUpNow += ping.size();
            }
        }
        it = m_lookups.erase(it);
    }
}

// Pongs from the host caches pinged this round: a datagram from anyone else,
// or not answering the round's ping, is dropped.
void Servent::ReadHostCacheReplies() {
    char buffer[kMaxPayload + kHeaderSize];
    for (int i = 0; i < kDatagramsPerTurn; ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = recvfrom(m_udpFd, buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (got <= 0) {
            return;
        }
        const HostAddress sender{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
        if (m_pingedHostCaches.count(sender) == 0) {
            continue;
        }
        DescriptorHeader header;
        std::string_view payload;
        std::size_t consumed = 0;
        const std::string_view datagram(buffer, static_cast<std::size_t>(got));
        if (NextDescriptor(datagram, header, payload, consumed) != Frame::Complete ||
            consumed != datagram.size() || header.type != kPong || header.guid != m_hostCacheGuid) {
            continue;
        }
        if (auto pong = ParsePong(payload, kMaxHostsPerReply)) {
            for (const auto& host : pong->packed) {
                if (AcceptFromNetwork(host.ip)) {
                    AddHost(CacheKind::Ultrapeers, host);
                }
            }
        }
    }
}

void Servent::AskWebCache() {
    if (m_pFetch || m_webCaches.empty()) {
        return;
    }
    const std::string url = m_webCaches[m_nextWebCache++ % m_webCaches.size()];
    auto address = ParseWebCacheAddress(url);
    if (!address) {
        return;
    }
    // The check runs on the fetching thread, so it takes copies.
    const auto blocked = m_blocked;
    const auto local = m_preferences.localNetworks;
    const bool usersOwn = m_usersWebCaches.count(url) != 0;
    auto allowed = [blocked, local, usersOwn](std::uint32_t ip) {
        return !InRanges(blocked, ip) && (usersOwn || IsRoutable(ip) || InRanges(local, ip));
    };
    m_pFetch = std::make_shared<WebCacheFetch>();
    m_pFetch->url = url;
    std::thread([fetch = m_pFetch, address = *address,
                 request = WebCacheRequest(*address, m_userAgent), allowed,
                 timeout = m_limits.webCacheTimeout] {
        fetch->body = FetchWebCache(address, request, allowed, timeout, kMaxWebCacheReply);
        fetch->done.store(true, std::memory_order_release);
    }).detach();
}

void Servent::TakeWebCacheReply() {
    if (!m_pFetch || !m_pFetch->done.load(std::memory_order_acquire)) {
        return;
    }
    const auto fetch = std::move(m_pFetch);
    if (!fetch->body) {
        return;
    }
    const WebCacheReply reply = ParseWebCacheReply(*fetch->body, kMaxHostsPerReply, 20);
    for (const auto& host : reply.hosts) {
        if (AcceptFromNetwork(host.ip)) {
            AddHost(CacheKind::Ultrapeers, host);
        }
    }
    for (const auto& url : reply.caches) {
        TakeWebCacheAddress(url, false);
    }
}

}  // namespace kavelin::gnutella
