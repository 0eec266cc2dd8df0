#include "library/ScanReadAhead.h"

#include <chrono>
#include <set>

namespace kavelin {

namespace {

// One read's bounds: enough to store in one transaction, short enough that
// progress shows and a stop request is seen soon.
constexpr std::size_t kItemsPerRead = 64;
constexpr auto kReadTime = std::chrono::milliseconds(20);

}  // namespace

ScanReadAhead::ScanReadAhead(TrackFileReader readTrack, DirectoryLister listDirectory,
                             KnownFileTest isKnown)
    : m_readTrack(std::move(readTrack)),
      m_listDirectory(std::move(listDirectory)),
      m_isKnown(std::move(isKnown)) {}

TrackFile ScanReadAhead::TakeTrack(const std::string& path) {
    const auto found = m_tracks.find(path);
    TrackFile track = std::move(found->second);
    m_tracks.erase(found);
    return track;
}

DirectoryEntries ScanReadAhead::TakeEntries(const std::string& directory) {
    const auto found = m_entries.find(directory);
    DirectoryEntries entries = std::move(found->second);
    m_entries.erase(found);
    return entries;
}

void ScanReadAhead::Read(std::span<const std::string> files, const std::string& directory,
                         const std::vector<std::string>& upcoming, const std::atomic<bool>& stop) {
    // What was read ahead and not asked for was a wrong guess.
    m_tracks.clear();
    m_entries.clear();
    const auto start = std::chrono::steady_clock::now();
    std::size_t items = 0;
    const auto budgetLeft = [&] {
        return items == 0 || (items < kItemsPerRead && !stop &&
                              std::chrono::steady_clock::now() - start < kReadTime);
    };
    const auto readTrack = [&](const std::string& path) {
        m_tracks.emplace(path, m_readTrack(path));
        ++items;
    };

    for (const std::string& path : files) {
        if (!budgetLeft()) {
            return;
        }
        readTrack(path);
    }
    // The queued directories in the order the passes take them up.
    std::set<std::string> queued(upcoming.begin(), upcoming.end());
    std::string next = directory;
    while (!next.empty() && budgetLeft()) {
        const DirectoryEntries& entries = m_entries[next] = m_listDirectory(next);
        ++items;
        for (const std::string& file : entries.files) {
            if (!budgetLeft()) {
                return;
            }
            if (!m_isKnown(file)) {
                readTrack(file);
            }
        }
        queued.insert(entries.directories.begin(), entries.directories.end());
        queued.erase(next);
        next = queued.empty() ? std::string() : *queued.begin();
    }
}

}  // namespace kavelin
