#include "platform/gnutella/HostCache.h"

#include <algorithm>

#include "platform/gnutella/HeaderBlock.h"

namespace kavelin::gnutella {

std::deque<HostCache::Entry>::iterator HostCache::Find(const HostAddress& host) {
    return std::find_if(m_entries.begin(), m_entries.end(),
                        [&](const Entry& entry) { return entry.host == host; });
}

void HostCache::Add(const HostAddress& host, std::int64_t seen) {
    if (host.ip == 0 || host.port == 0 || m_entries.size() >= m_capacity ||
        Find(host) != m_entries.end()) {
        return;
    }
    m_entries.push_back({host, seen});
}

void HostCache::Answered(const HostAddress& host, std::int64_t now) {
    auto found = Find(host);
    if (found != m_entries.end()) {
        m_entries.erase(found);
    }
    m_entries.push_front({host, now});
    if (m_entries.size() > m_capacity) {
        m_entries.pop_back();
    }
}

void HostCache::Failed(const HostAddress& host) {
    auto found = Find(host);
    if (found != m_entries.end()) {
        const Entry entry = *found;
        m_entries.erase(found);
        m_entries.push_back(entry);
    }
}

void HostCache::Load(std::string_view text, std::int64_t now) {
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string line = Trim(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        const std::size_t blank = line.find(' ');
        auto host = ParseHostAddress(std::string_view(line).substr(0, blank));
        if (!host) {
            continue;
        }
        std::int64_t seen = now;
        if (blank != std::string::npos) {
            auto stamp = ParseDecimal(Trim(std::string_view(line).substr(blank + 1)), 1ULL << 40);
            if (!stamp) {
                continue;
            }
            seen = static_cast<std::int64_t>(*stamp);
        }
        if (now - seen <= kMaxAgeSeconds) {
            Add(*host, std::min(seen, now));
        }
    }
}

std::string HostCache::Save() const {
    std::string text;
    for (const auto& entry : m_entries) {
        text += FormatHostAddress(entry.host) + " " + std::to_string(entry.seen) + "\n";
    }
    return text;
}

}  // namespace kavelin::gnutella
