#include <algorithm>
#include <cctype>

#include "platform/gnutella/ServentState.h"

// Searches: the queries sent over every link, and the hits gathered into
// results, grouped by file and bounded in number and in memory.
namespace kavelin::gnutella {
namespace {

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

// What one result and one source take, roughly: enough to keep the sum bounded.
std::size_t ResultCost(const std::string& key, const HitResult& hit) {
    return 2 * key.size() + hit.name.size() + 160;
}
std::size_t SourceCost(const HitResult& hit) {
    return hit.name.size() + 96;
}

}  // namespace

int Servent::StartSearch(const std::string& text) {
    CallerLock lock(*this);
    auto search = std::make_unique<Search>();
    search->id = m_nextSearch++;
    search->text = text.substr(0, 255);
    search->guid = NewGuid();
    for (auto& [id, connection] : m_connections) {
        if (IsLinkedPeer(*connection)) {
            SendQuery(*connection, *search);
        }
    }
    const int id = search->id;
    m_searches[id] = std::move(search);
    while (m_searches.size() > m_limits.maxSearches) {
        DropSearch(m_searches.begin());
    }
    Wake();
    return id;
}

void Servent::DropSearch(std::map<int, std::unique_ptr<Search>>::iterator search) {
    m_resultBytes -= std::min(m_resultBytes, search->second->bytes);
    m_searches.erase(search);
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

std::string Servent::ResultSha1(int search, int result) const {
    CallerLock lock(*this);
    const Result& found = FindResult(search, result);
    return found.sha1 ? "urn:sha1:" + Base32(*found.sha1) : std::string();
}

int Servent::ResultHostCount(int search, int result) const {
    CallerLock lock(*this);
    return static_cast<int>(FindResult(search, result).hosts.size());
}

void Servent::StopSearch(int search) {
    CallerLock lock(*this);
    FindSearch(search).open = false;
}

void Servent::SendQuery(Connection& connection, const Search& search) {
    // Nothing listens here: the firewalled flag asks for hits from hosts that
    // can be reached directly (or that can push).
    SendMessage(connection,
                BuildDescriptor(search.guid, kQuery, kQueryTtl, 0,
                                BuildQueryPayload(search.text, kQueryFlagsInUse | kQueryFirewalled |
                                                                   kQueryWantsGgepH)));
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
    if (!hit || hit->host.ip == 0 || hit->host.port == 0 || !AcceptFromNetwork(hit->host.ip)) {
        return;
    }
    const std::uint64_t maxSize = std::uint64_t(m_preferences.maxFileMiB) * 1024 * 1024;
    for (const auto& item : hit->results) {
        if (item.size == 0 || item.size > maxSize || item.name.empty() ||
            item.name.size() > kMaxResultName) {
            continue;
        }
        const std::string key = ResultKey(item);
        auto found = search->byKey.find(key);
        if (found == search->byKey.end()) {
            const std::size_t cost = ResultCost(key, item) + SourceCost(item);
            if (search->results.size() >= m_limits.maxResultsPerSearch ||
                m_resultBytes + cost > m_limits.maxResultBytes) {
                continue;
            }
            Result result;
            result.name = item.name;
            result.size = item.size;
            result.sha1 = item.sha1;
            search->results.push_back(std::move(result));
            found = search->byKey.emplace(key, search->results.size() - 1).first;
            search->bytes += ResultCost(key, item);
            m_resultBytes += ResultCost(key, item);
        }
        Result& result = search->results[found->second];
        if (result.size != item.size) {
            continue;  // the same hash with another size: not the same file
        }
        const bool known = std::any_of(result.sources.begin(), result.sources.end(), [&](auto& s) {
            return s.host == hit->host && s.index == item.index;
        });
        if (known || result.sources.size() >= m_limits.maxSourcesPerResult ||
            m_resultBytes + SourceCost(item) > m_limits.maxResultBytes) {
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
        search->bytes += SourceCost(item);
        m_resultBytes += SourceCost(item);
    }
}

}  // namespace kavelin::gnutella
