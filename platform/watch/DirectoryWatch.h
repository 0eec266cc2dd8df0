#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kavelin {

// A thin wrapper over inotify: watches single directories (not their
// subdirectories) for entries that appear, are written or go away. The number
// of watches is bounded; Add refuses once the bound is reached.
class DirectoryWatch {
public:
    enum class Change {
        Written,   // a file was closed after writing, or moved in
        Created,   // a directory was made or moved in
        Removed,   // an entry was deleted or moved out
        Overflow,  // events were lost; look at everything again
    };
    struct Event {
        Change change;
        std::string path;  // the entry's full path; a directory's ends with "/"
    };

    explicit DirectoryWatch(std::size_t maxWatches);
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    // The directory path ends with "/". False when the bound is reached or the
    // system refuses (no such directory, its own limit).
    bool Add(const std::string& directory);
    bool IsWatched(const std::string& directory) const;
    std::size_t Count() const { return m_directories.size(); }
    // Waits up to `timeout` for changes and returns those that arrived.
    std::vector<Event> Wait(std::chrono::milliseconds timeout);

private:
    int m_fd;
    std::size_t m_nMaxWatches;
    std::map<int, std::string> m_directories;  // by watch descriptor
    std::set<std::string> m_paths;
};

}  // namespace kavelin
