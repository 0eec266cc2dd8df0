#pragma once

#include <mutex>
#include <string>

#include "acquisition/Downloader.h"
#include "acquisition/Recommender.h"
#include "engine/TrackPlayer.h"
#include "library/FolderWatcher.h"
#include "library/InfoReader.h"
#include "ui/WorkerLinks.h"

namespace kavelin {

// The track player worker as the windows use it.
class TrackPlayerLink : public PlaybackEngine {
public:
    explicit TrackPlayerLink(TrackPlayer& player) : m_player(player) {}

    CTrackInfo GetCurrentTrack() override { return m_player.GetCurrentTrack(); }
    int SelectionBasis() const override { return m_player.m_nSelectionBasis; }
    int TotalTracks() const override { return m_player.m_nTotalTracks; }
    int RatedTracks() const override { return m_player.m_nRatedTracks; }
    int Position() const override { return m_player.m_nPosition; }
    int Length() const override { return m_player.m_nLength; }
    int MoodID() const override { return m_player.m_nMoodID; }
    int PlayerType() const override { return m_player.m_nPlayerType; }
    bool IsPaused() const override { return m_player.m_bPaused; }
    bool TakeTrackToStart(CTrackInfo& track) override { return m_player.TakeTrackToStart(track); }

    void SelectNextTrack() override { m_player.SelectNextTrack(); }
    void Skip() override { m_player.Skip(); }
    void PlayTrack(int trackId) override { m_player.PlayTrack(trackId); }
    void SetMood(const std::string& moodName) override { m_player.SetMood(moodName); }
    int SwitchPlayer(int playerType) override { return m_player.SwitchPlayer(playerType); }
    int CreatePlayer() override { return m_player.CreatePlayer(); }
    void Pause() override;
    void Resume() override;

    bool HasPlayer() const override { return m_player.GetPlayer() != nullptr; }
    void PlayFile(const std::string& filename) override;
    void StopPlayer() override;
    void SetPlayerPosition(int milliseconds) override;
    void SetPlayerVolume(int volume) override;

private:
    TrackPlayer& m_player;
};

// Carries the workers' problem reports to the main window while it exists.
// Shared with the download thread, which outlives the window.
class ProblemRelay {
public:
    void SetTarget(MessageTarget* target) {
        std::lock_guard lock(m_lock);
        m_pTarget = target;
    }
    void Report(const std::string& text) {
        std::lock_guard lock(m_lock);
        if (m_pTarget) {
            m_pTarget->ReportProblem(text);
        }
    }

private:
    std::mutex m_lock;
    MessageTarget* m_pTarget = nullptr;
};

// The scanning worker's queue as the main window uses it. A folder the user
// adds is scanned now and watched from then on.
class InfoReaderLink : public ScanQueue {
public:
    InfoReaderLink(InfoReader& reader, FolderWatcher& watcher)
        : m_reader(reader), m_watcher(watcher) {}
    void QueueDirectory(const std::string& path) override {
        m_reader.QueueDirectory(path);
        m_watcher.AddFolder(path);
    }
    int Count() const override { return m_reader.m_nCount; }
    bool IsCatalogDiskFull() const override { return m_reader.m_bCatalogDiskFull; }

private:
    InfoReader& m_reader;
    FolderWatcher& m_watcher;
};

// The download worker as the main window uses it.
class DownloaderLink : public DownloadControl {
public:
    explicit DownloaderLink(Downloader& downloader) : m_downloader(downloader) {}
    void Start() override { m_downloader.Start(); }
    void Stop() override { m_downloader.Stop(); }
    bool IsStarted() const override { return m_downloader.m_bRunning; }
    int ConnectedHosts() const override { return m_downloader.m_nConnects; }
    int ActiveDownloads() const override { return m_downloader.m_nDownloads; }
    int DownloadRate() const override { return m_downloader.m_nBytesDown; }
    int UploadRate() const override { return m_downloader.m_nBytesUp; }

private:
    Downloader& m_downloader;
};

// Similar-artist look-ups, whose replies add to the recommender list.
class RecommenderLink : public SimilarArtistLookup {
public:
    explicit RecommenderLink(CADODataBase& database) : m_database(database) {}
    void LookUp(const std::string& artist) override {
        StartSimilarArtistLookup(m_database, artist);
    }

private:
    CADODataBase& m_database;
};

}  // namespace kavelin
