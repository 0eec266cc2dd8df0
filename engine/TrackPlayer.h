#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "catalog/ADODataBase.h"
#include "catalog/ADORecordset.h"
#include "catalog/PendingWrites.h"
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
    // Skips reach the catalog through `writes`, which keeps them while it cannot take them.
    TrackPlayer(CADODataBase& database, PendingWrites& writes,
                PlayerFactory factory = CreateBackend);
    TrackPlayer(const TrackPlayer&) = delete;
    TrackPlayer& operator=(const TrackPlayer&) = delete;

    // The receiver of the posts; nullptr while the main window does not exist.
    void SetMessageTarget(MessageTarget* target);

    void Run();
    void SelectNextTrack();
    // The listener's Skip: records the skip of the current track in the
    // current mood, with how far into the track it came, then chooses the next.
    void Skip();
    // The track that a posted WM_APP+100 asks the window to start, handed out
    // once per announcement: a window that was blocked while several posts
    // queued up starts and records only the track that is current when it
    // gets to them. False when no start is waiting.
    bool TakeTrackToStart(CTrackInfo& track);
    void PlayTrack(std::int32_t trackId);
    void SetMood(const std::string& moodName);
    CTrackInfo GetCurrentTrack();
    int CreatePlayer();
    int SwitchPlayer(int playerType);
    void Pause();
    void Resume();
    // Shared, so that a call the window makes on it cannot outlive the backend
    // when the play loop lets go of it at shutdown or a switch replaces it.
    std::shared_ptr<CPlayer> GetPlayer();

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
    void ReportProblem(const std::string& text);
    // Makes the current track the one to start and posts WM_APP+101 (when
    // `show`) and WM_APP+100.
    void Announce(bool show);
    // True while a posted start has not been taken by the window yet.
    bool AwaitingStart();
    bool SelectionDue();
    // Chooses and announces a track; 0 when the catalog answered (whether or
    // not it held a track to choose), otherwise the code of the catalog error.
    std::uint32_t ChooseNextTrack(bool& chose);
    // Backs the loop's next selection off and tells the user; with `lock`
    // released before anything waits for the window.
    void SelectionFailed(std::uint32_t code, std::unique_lock<CMutex>& lock);
    // Sleeps, waking early when the loop is asked to stop.
    void Rest(std::chrono::milliseconds span);
    long CountOf(const std::string& statement);
    void DrawUnratedTrack(CADORecordset& rs, int moodId);
    // Loads the track, makes it current and tells whether its file exists.
    bool MakeCurrent(std::int32_t trackId, int ratingLevel);
    std::shared_ptr<CPlayer> InitBackend(int playerType);

    CADODataBase& m_database;
    PendingWrites& m_writes;
    PlayerFactory m_factory;

    CMutex m_trackLock;  // guards m_currentTrack and the waiting start
    CTrackInfo m_currentTrack;
    bool m_bStartWaiting = false;
    std::chrono::steady_clock::time_point m_startPostedAt;
    std::chrono::steady_clock::time_point m_startTakenAt;

    // Serialises the selection, direct picks and switches. Never held while a
    // backend is called or the window is waited for: the external player can
    // stall for seconds, and the window must not wait that long.
    CMutex m_playerLock;
    std::mutex m_backendLock;  // guards m_pPlayer, held only to read or replace it
    std::shared_ptr<CPlayer> m_pPlayer;

    // After a selection that failed, the loop waits before it tries again
    // (guarded by m_playerLock).
    std::chrono::milliseconds m_selectionBackOff{0};
    std::chrono::steady_clock::time_point m_nextSelection;

    std::mutex m_targetLock;
    MessageTarget* m_pTarget = nullptr;
};

}  // namespace kavelin
