#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "catalog/ADODataBase.h"
#include "platform/watch/DirectoryWatch.h"

namespace kavelin {

class InfoReader;
class PendingWrites;

// Keeps the folders the user added under watch, remembered in the catalog
// (tWatchedFolder): MP3 files that appear or are rewritten under them are
// queued for the scanner, files that go away are marked deleted. Directories
// beyond the bound of watches are looked at by a slow rescan of modification
// times instead.
class FolderWatcher {
public:
    struct Limits {
        std::size_t maxWatches = 8192;
        std::chrono::milliseconds rescanPeriod = std::chrono::minutes(10);
        std::chrono::milliseconds wait = std::chrono::milliseconds(500);
    };

    // Folders added are remembered through `writes`, which keeps them while
    // the catalog cannot take them.
    FolderWatcher(CADODataBase& database, PendingWrites& writes, InfoReader& scanner,
                  Limits limits);
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // Remembers a folder (its path ends with "/") and watches it from the next
    // cycle of the loop. Called on any thread; never waits for the catalog.
    void AddFolder(const std::string& path);
    // The loop of the watcher's thread: the remembered folders (queued once
    // more for what changed while the program was not running), then changes.
    void Run();

    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bStopped{false};
    // Directories under watch and directories left to the rescan; for the curious.
    std::atomic<std::size_t> m_nWatched{0};
    std::atomic<std::size_t> m_nRescanned{0};

private:
    using Snapshot = std::map<std::string, std::time_t>;  // MP3 file -> modification time

    // Watches a tree from its top; what is beyond the bound goes to the rescan.
    void Cover(const std::string& top);
    void CoverOne(const std::string& directory, std::vector<std::string>& below);
    void Handle(const DirectoryWatch::Event& event);
    void Rescan();
    void FileWritten(const std::string& path);
    void FileRemoved(const std::string& path);
    void DirectoryRemoved(const std::string& path);

    CADODataBase& m_database;
    PendingWrites& m_writes;
    InfoReader& m_scanner;
    const Limits m_limits;
    DirectoryWatch m_watch;
    std::vector<std::string> m_folders;
    std::map<std::string, Snapshot> m_unwatched;  // by directory

    std::mutex m_addedLock;
    std::vector<std::string> m_added;
};

}  // namespace kavelin
