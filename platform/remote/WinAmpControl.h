#pragma once

#include <atomic>
#include <string>

namespace kavelin {

// Remote control of the outside playlist player (Audacious) through its own
// D-Bus interface on the session bus. Each operation stands for one message
// of the classic player's window protocol and first makes sure the player is
// there ("ensuring the window"): it finds the player's bus name and otherwise
// starts the player and waits for the name, at most 10 s.
class CWinAmpControl {
public:
    static constexpr int kCommandPlay = 40045;
    static constexpr int kCommandPause = 40046;
    static constexpr int kCommandStop = 40047;

    // Answers of IsPlaying.
    static constexpr int kNotPlaying = 0;
    static constexpr int kPlaying = 1;
    static constexpr int kPaused = 3;

    // kCommandPlay, kCommandPause (toggles, as the classic player did) or kCommandStop.
    void Command(int id);
    // Starts playback at the list position, or resumes a paused one.
    void Start();
    void AddFile(const std::string& path);
    void ClearList();
    int IsPlaying();
    int GetPosition();  // milliseconds
    int GetLength();    // whole seconds of the current entry
    void JumpToTime(int milliseconds);
    // Positions count from 1.
    void SetListPosition(int position);
    void SetVolume(int volume);  // 0 to 255

    // True while the player was found by the last operation (the window handle).
    bool HasWindow() const { return m_bFound; }
    // Closes the player if this control started it; one the user runs is left alone.
    void CloseIfStarted();
    // Shows "WinAmp not found" when an operation since the last call could
    // neither find nor start the player. Separate from the operations, so
    // that a caller can let go of its locks first: the box waits for the
    // window, which may meanwhile need them.
    void ReportIfMissing();

private:
    bool EnsureWindow();

    std::atomic<bool> m_bFound{false};
    std::atomic<bool> m_bStartedIt{false};
    std::atomic<bool> m_bMissingUnreported{false};
};

}  // namespace kavelin
