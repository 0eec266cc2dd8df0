#pragma once

#include <string>

#include "catalog/TrackInfo.h"

namespace kavelin {

// What the windows need of the track player worker and its backend. The
// application adapts the worker to it; tests put a fake in its place.
class PlaybackEngine {
public:
    virtual ~PlaybackEngine() = default;

    // A copy of the current track, taken under the worker's track lock.
    virtual CTrackInfo GetCurrentTrack() = 0;
    // 1: the current track is rated in the current mood; other values: its
    // rating level is only a guess.
    virtual int SelectionBasis() const = 0;
    virtual int TotalTracks() const = 0;
    virtual int RatedTracks() const = 0;
    virtual int Position() const = 0;  // milliseconds
    virtual int Length() const = 0;    // milliseconds
    virtual int MoodID() const = 0;
    virtual int PlayerType() const = 0;  // 1 built-in player, 2 external player
    virtual bool IsPaused() const = 0;
    // The track a WM_APP+100 asks the window to start, handed out once per
    // announcement; false when none is waiting.
    virtual bool TakeTrackToStart(CTrackInfo& track) = 0;

    virtual void SelectNextTrack() = 0;
    // The listener's Skip: recorded against the current track, then the next is chosen.
    virtual void Skip() = 0;
    virtual void PlayTrack(int trackId) = 0;
    virtual void SetMood(const std::string& moodName) = 0;
    virtual int SwitchPlayer(int playerType) = 0;
    virtual int CreatePlayer() = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;

    // The backend's own operations; each does nothing while there is no backend.
    virtual bool HasPlayer() const = 0;
    virtual void PlayFile(const std::string& filename) = 0;
    virtual void StopPlayer() = 0;
    virtual void SetPlayerPosition(int milliseconds) = 0;
    virtual void SetPlayerVolume(int volume) = 0;  // 0 to 255
};

// The scanning worker's queue, as the main window uses it.
class ScanQueue {
public:
    virtual ~ScanQueue() = default;
    // The path ends with "/".
    virtual void QueueDirectory(const std::string& path) = 0;
    // Entries believed to be waiting; a display hint only.
    virtual int Count() const = 0;
    // True while the scan waits for space on the disk that holds the catalog.
    virtual bool IsCatalogDiskFull() const = 0;
};

// The download worker, as the main window uses it.
class DownloadControl {
public:
    virtual ~DownloadControl() = default;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual bool IsStarted() const = 0;
    virtual int ConnectedHosts() const = 0;
    virtual int ActiveDownloads() const = 0;
    virtual int DownloadRate() const = 0;  // bytes per second
    virtual int UploadRate() const = 0;    // bytes per second
};

// Starts a look-up of artists similar to the given one.
class SimilarArtistLookup {
public:
    virtual ~SimilarArtistLookup() = default;
    virtual void LookUp(const std::string& artist) = 0;
};

}  // namespace kavelin
