#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "catalog/ADODataBase.h"
#include "catalog/ADORecordset.h"
#include "catalog/TrackInfo.h"
#include "engine/Player.h"
#include "platform/messages/MessageTarget.h"

namespace kavelin {

using CMutex = std::recursive_mutex;

// Messages posted to the main window.
inline constexpr unsigned kMessagePlayTrack = WM_APP + 100;     // play the current track
inline constexpr unsigned kMessageShowTrack = WM_APP + 101;     // show the current track
inline constexpr unsigned kMessageShowPosition = WM_APP + 102;  // move the position slider

// Player types: the built-in "Media Player" and the remote-controlled "WinAmp".
inline constexpr int kPlayerMediaPlayer = 1;
inline constexpr int kPlayerWinAmp = 2;

// Makes an uninitialised backend of a player type.
using PlayerFactory = std::function<std::unique_ptr<CPlayer>(int playerType)>;
std::unique_ptr<CPlayer> CreateBackend(int playerType);

// A uniform draw of a 1-based row among `rows`, from the calling thread's
// generator (seeded from the time unless seeded here).
long DrawRowPosition(long rows);
void SeedSelectionRandom(std::uint64_t seed);

// The playback worker: owns the current mood, the current track and the player
// backend, polls the backend every 300 ms and, whenever nothing plays, chooses
// the next track for the mood from the catalog. It does not start playback
// itself: it posts WM_APP+101 and WM_APP+100 and the main window plays the
// current track.
class TrackPlayer {
public:
    explicit TrackPlayer(CADODataBase& database, PlayerFactory factory = CreateBackend);
    TrackPlayer(const TrackPlayer&) = delete;
    TrackPlayer& operator=(const TrackPlayer&) = delete;

    // The receiver of the posts; nullptr while the main window does not exist.
    void SetMessageTarget(MessageTarget* target);

    void Run();
    void SelectNextTrack();
    // The listener's Skip: records the skip of the current track in the
    // current mood, with how far into the track it came, then chooses the next.
    void Skip();
    void PlayTrack(std::int32_t trackId);
    void SetMood(const std::string& moodName);
    CTrackInfo GetCurrentTrack();
    int CreatePlayer();
    int SwitchPlayer(int playerType);
    void Pause();
    void Resume();
    CPlayer* GetPlayer();

    // Read by the main window and the application without a lock.
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bStopped{false};
    std::atomic<bool> m_bPaused{false};
    std::atomic<int> m_nPosition{0};
    std::atomic<int> m_nLength{0};
    std::atomic<int> m_nState{kPlayStatePlaying};
    std::atomic<int> m_nMoodID{2};
    std::atomic<int> m_nTotalTracks{0};
    std::atomic<int> m_nRatedTracks{0};
    std::atomic<bool> m_bFromCounter{false};
    std::atomic<double> m_dRating{0.0};
    std::atomic<int> m_nSelectionBasis{0};
    std::atomic<int> m_nPlayerType{kPlayerMediaPlayer};
    std::atomic<int> m_nResumePosition{0};

private:
    void Post(unsigned message);
    long CountOf(const std::string& statement);
    void DrawUnratedTrack(CADORecordset& rs, int moodId);
    // Loads the track, makes it current and tells whether its file exists.
    bool MakeCurrent(std::int32_t trackId, int ratingLevel);
    std::unique_ptr<CPlayer> InitBackend(int playerType);

    CADODataBase& m_database;
    PlayerFactory m_factory;

    CMutex m_trackLock;  // guards m_currentTrack
    CTrackInfo m_currentTrack;
    CMutex m_playerLock;  // guards m_pPlayer, the polled values and the selection
    std::unique_ptr<CPlayer> m_pPlayer;

    std::mutex m_targetLock;
    MessageTarget* m_pTarget = nullptr;
};

}  // namespace kavelin
