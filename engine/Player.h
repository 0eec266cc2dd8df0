#pragma once

#include <string>

namespace kavelin {

class MessageTarget;

// Play states that a backend reports. 0 and 6 end a track; -1 means a track has
// just been started and the player has not confirmed it yet.
inline constexpr int kPlayStateStarting = -1;
inline constexpr int kPlayStateStopped = 0;
inline constexpr int kPlayStatePaused = 1;
inline constexpr int kPlayStatePlaying = 2;
inline constexpr int kPlayStateWaiting = 3;
inline constexpr int kPlayStateClosed = 6;

// Marker that a backend keeps between Play and the player's confirmation.
inline constexpr int kStartMarkerStopped = 0;
inline constexpr int kStartMarkerConfirmed = 1;
inline constexpr int kStartMarkerPending = 2;

// A player backend. Positions and lengths are milliseconds, the volume runs
// from 0 to 255. Every operation has a harmless default.
class CPlayer {
public:
    virtual ~CPlayer() = default;
    virtual int IsActive() { return 0; }
    // 1 when the player is ready, 0 when it cannot be used.
    virtual int Init(MessageTarget* /*owner*/) { return 0; }
    virtual void Stop() {}
    virtual void Play(std::string /*file*/) {}
    virtual int GetState() { return kPlayStateStarting; }
    virtual int GetLength() { return 0; }
    virtual int GetPosition() { return 0; }
    virtual void SetPosition(int /*milliseconds*/) {}
    virtual int GetVolume() { return 0; }
    virtual void SetVolume(int /*volume*/) {}
    virtual void Pause() {}
    virtual void Resume() {}
};

}  // namespace kavelin
