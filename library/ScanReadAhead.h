#pragma once

#include <atomic>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalog/TrackInfo.h"
#include "library/TrackInfoReader.h"

namespace kavelin {

// The entries of one directory that the scan queues.
struct DirectoryEntries {
    std::vector<std::string> files;        // regular files (or links to them) named *.mp3
    std::vector<std::string> directories;  // real directories, not links, each ending in "/"
};

// Reads the track record of one file; ReadTrackFile unless a test or a
// benchmark puts a slower or failing disk in its place.
using TrackFileReader = std::function<TrackFile(const std::string& path)>;
using DirectoryLister = std::function<DirectoryEntries(const std::string& directory)>;
// True for a file the catalog holds already, which the scan will not read.
using KnownFileTest = std::function<bool(const std::string& path)>;

// What the scanner reads from the disk, read in one go while the catalog is
// not locked: the files and the directory of the current pass, and then
// ahead, in the order in which the next passes will ask for them (the
// directory's own files, then the queued directories and their files, the
// smallest path first, as the pass query orders them). Each read is bounded,
// so the scan stores what it read every few milliseconds; a file or
// directory not read ahead is simply read when it is asked for.
class ScanReadAhead {
public:
    ScanReadAhead(TrackFileReader readTrack, DirectoryLister listDirectory, KnownFileTest isKnown);

    bool HasTrack(const std::string& path) const { return m_tracks.contains(path); }
    bool HasEntries(const std::string& directory) const { return m_entries.contains(directory); }
    // Each is taken once; HasTrack or HasEntries must have said it is there.
    TrackFile TakeTrack(const std::string& path);
    DirectoryEntries TakeEntries(const std::string& directory);

    // Forgets what was read before and reads `files` in order, then the
    // entries of `directory` (when not empty), then ahead with the queued
    // directories `upcoming` as the known rest of the queue. Stops once it
    // has read kItemsPerRead files and directories or spent kReadTime, after
    // at least the first, or at a stop request.
    void Read(std::span<const std::string> files, const std::string& directory,
              const std::vector<std::string>& upcoming, const std::atomic<bool>& stop);

private:
    const TrackFileReader m_readTrack;
    const DirectoryLister m_listDirectory;
    const KnownFileTest m_isKnown;
    std::unordered_map<std::string, TrackFile> m_tracks;
    std::unordered_map<std::string, DirectoryEntries> m_entries;
};

}  // namespace kavelin
