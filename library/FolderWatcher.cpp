#include "library/FolderWatcher.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <system_error>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "catalog/PendingWrites.h"
#include "library/InfoReader.h"

namespace kavelin {
namespace {

bool IsMp3(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string extension = path.substr(path.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".mp3";
}

// Hidden directories (caches, settings) are not where music is added; they
// would spend the bounded watches on churn.
bool IsHidden(const std::string& name) {
    return !name.empty() && name.front() == '.';
}

// The MP3 files of one directory with their modification times, and its
// subdirectories (not links), each ending in "/".
struct Listing {
    std::map<std::string, std::time_t> files;
    std::vector<std::string> directories;
    bool exists = false;
};

Listing List(const std::string& directory) {
    Listing listing;
    std::error_code error;
    std::filesystem::directory_iterator entries(directory, error);
    if (error) {
        return listing;
    }
    listing.exists = true;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory(error) && !entry.is_symlink(error)) {
            if (!IsHidden(name)) {
                listing.directories.push_back(directory + name + "/");
            }
        } else if (IsMp3(name)) {
            struct stat status {};
            if (stat((directory + name).c_str(), &status) == 0) {
                listing.files[directory + name] = status.st_mtime;
            }
        }
    }
    return listing;
}

}  // namespace

FolderWatcher::FolderWatcher(CADODataBase& database, PendingWrites& writes, InfoReader& scanner,
                             Limits limits)
    : m_database(database),
      m_writes(writes),
      m_scanner(scanner),
      m_limits(limits),
      m_watch(limits.maxWatches) {}

void FolderWatcher::AddFolder(const std::string& path) {
    m_writes.WatchFolder(path);  // watched for this run all the same
    std::lock_guard lock(m_addedLock);
    m_added.push_back(path);
}

void FolderWatcher::Run() {
    m_bStopped = false;
    m_folders.clear();  // read again when the loop is run again after an error
    try {
        CADORecordset folders(m_database);
        if (folders.OpenSource("SELECT Path FROM tWatchedFolder ORDER BY ID",
                               CADORecordset::SourceQuery)) {
            while (!folders.AtEnd()) {
                std::string path;
                folders.ReadField(0, path);
                m_folders.push_back(path);
                folders.MoveNext();
            }
        }
    } catch (const CADOException&) {
        // No remembered folders: only those added from now on are watched.
    }
    for (const std::string& folder : m_folders) {
        Cover(folder);
        // Files copied there while the program was not running: the scanner
        // reads only those it does not know yet.
        m_scanner.QueueDirectory(folder);
    }

    auto lastRescan = std::chrono::steady_clock::now();
    while (!m_bStop) {
        std::vector<std::string> added;
        {
            std::lock_guard lock(m_addedLock);
            added.swap(m_added);
        }
        for (const std::string& folder : added) {
            if (std::find(m_folders.begin(), m_folders.end(), folder) == m_folders.end()) {
                m_folders.push_back(folder);
            }
            Cover(folder);
        }
        for (const DirectoryWatch::Event& event : m_watch.Wait(m_limits.wait)) {
            Handle(event);
        }
        if (std::chrono::steady_clock::now() - lastRescan >= m_limits.rescanPeriod) {
            Rescan();
            lastRescan = std::chrono::steady_clock::now();
        }
    }
    m_bStopped = true;
}

void FolderWatcher::Cover(const std::string& top) {
    std::deque<std::string> waiting{top};
    while (!waiting.empty() && !m_bStop) {
        const std::string directory = waiting.front();
        waiting.pop_front();
        if (m_watch.IsWatched(directory) || m_unwatched.count(directory) > 0) {
            continue;  // covered with everything below it
        }
        std::vector<std::string> below;
        CoverOne(directory, below);
        waiting.insert(waiting.end(), below.begin(), below.end());
    }
    m_nWatched = m_watch.Count();
    m_nRescanned = m_unwatched.size();
}

void FolderWatcher::CoverOne(const std::string& directory, std::vector<std::string>& below) {
    const bool watched = m_watch.Add(directory);
    Listing listing = List(directory);
    if (!listing.exists) {
        return;
    }
    if (!watched) {
        m_unwatched[directory] = std::move(listing.files);
    }
    below = std::move(listing.directories);
}

void FolderWatcher::Handle(const DirectoryWatch::Event& event) {
    switch (event.change) {
        case DirectoryWatch::Change::Written:
            FileWritten(event.path);
            break;
        case DirectoryWatch::Change::Created: {
            const std::string name =
                std::filesystem::path(event.path.substr(0, event.path.size() - 1))
                    .filename()
                    .string();
            if (!IsHidden(name)) {
                Cover(event.path);
                // What the directory brought along is read by the scanner.
                m_scanner.QueueDirectory(event.path);
            }
            break;
        }
        case DirectoryWatch::Change::Removed:
            if (!event.path.empty() && event.path.back() == '/') {
                DirectoryRemoved(event.path);
            } else {
                FileRemoved(event.path);
            }
            break;
        case DirectoryWatch::Change::Overflow:
            // Changes were lost: cover again and let the scanner look at everything.
            for (const std::string& folder : m_folders) {
                Cover(folder);
                m_scanner.QueueDirectory(folder);
            }
            break;
    }
}

void FolderWatcher::Rescan() {
    std::vector<std::string> appeared;
    std::vector<std::string> vanished;
    for (auto& [directory, snapshot] : m_unwatched) {
        if (m_bStop) {
            return;
        }
        Listing listing = List(directory);
        if (!listing.exists) {
            vanished.push_back(directory);
            continue;
        }
        for (const auto& [file, modified] : listing.files) {
            auto before = snapshot.find(file);
            if (before == snapshot.end() || before->second != modified) {
                FileWritten(file);
            }
        }
        for (const auto& [file, modified] : snapshot) {
            if (listing.files.count(file) == 0) {
                FileRemoved(file);
            }
        }
        snapshot = std::move(listing.files);
        for (const std::string& child : listing.directories) {
            if (!m_watch.IsWatched(child) && m_unwatched.count(child) == 0) {
                appeared.push_back(child);
            }
        }
    }
    for (const std::string& directory : vanished) {
        DirectoryRemoved(directory);
    }
    for (const std::string& directory : appeared) {
        Cover(directory);
        m_scanner.QueueDirectory(directory);
    }
}

void FolderWatcher::FileWritten(const std::string& path) {
    if (!IsMp3(path)) {
        return;
    }
    // A file back where it was is a track again; the scanner skips known paths.
    m_database.ExecuteStatement(
        FormatStatement("UPDATE tTrack SET Deleted=False WHERE Filename='%s' AND Deleted=True",
                        QuoteForSql(path).c_str()));
    m_scanner.QueueFile(path);
}

void FolderWatcher::FileRemoved(const std::string& path) {
    if (IsMp3(path)) {
        m_database.ExecuteStatement(FormatStatement(
            "UPDATE tTrack SET Deleted=True WHERE Filename='%s'", QuoteForSql(path).c_str()));
    }
}

void FolderWatcher::DirectoryRemoved(const std::string& path) {
    // Every path below "dir/" sorts between "dir/" and "dir0", '0' following '/'.
    std::string end = path;
    end.back() = '0';
    m_database.ExecuteStatement(
        FormatStatement("UPDATE tTrack SET Deleted=True WHERE Filename>='%s' AND Filename<'%s'",
                        QuoteForSql(path).c_str(), QuoteForSql(end).c_str()));
    for (auto entry = m_unwatched.lower_bound(path);
         entry != m_unwatched.end() && entry->first < end;) {
        entry = m_unwatched.erase(entry);
    }
    m_nRescanned = m_unwatched.size();
}

}  // namespace kavelin
