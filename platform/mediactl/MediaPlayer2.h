#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

struct mpv_handle;
struct mpv_event;

namespace kavelin {

// The embedded media control: an in-process libmpv player without a window,
// presented with the members, units and play states of the desktop control it
// stands in for. Seconds are doubles; the volume is in hundredths of a
// decibel (0 full, -10000 silent); play states are 0 stopped, 1 paused,
// 2 playing, 3 waiting (a file is being opened) and 6 closed (nothing opened).
//
// mpv's state is observed on one thread that reads its event stream; every
// getter answers from what that thread has seen, so callers on any thread
// never wait for the player.
class CMediaPlayer2 {
public:
    // The desktop's sound server first (PulseAudio, or PipeWire's Pulse
    // server), then ALSA, then silence with real timing. mpv's own first
    // choice talks to PipeWire directly and complains on desktops without
    // its client configuration.
    static constexpr const char* kDesktopAudioOutputs = "pulse,alsa,null";

    // `audioOutput` is mpv's list of audio outputs to try in order.
    explicit CMediaPlayer2(std::string audioOutput = kDesktopAudioOutputs);
    ~CMediaPlayer2();
    CMediaPlayer2(const CMediaPlayer2&) = delete;
    CMediaPlayer2& operator=(const CMediaPlayer2&) = delete;

    // Creates the hidden player; false when libmpv cannot be created.
    bool CreateControl();
    void DestroyControl();

    // The display members of the control. The player has no window, so each
    // turns off the matching mpv feature that could still show or react.
    void SetShowControls(bool show);
    void SetShowDisplay(bool show);
    void SetShowCaptioning(bool show);
    void SetEnableContextMenu(bool enable);
    void SetShowAudioControls(bool show);
    void SetShowStatusBar(bool show);
    void SetShowTracker(bool show);
    void SetShowVideoWindow(bool show);

    // The player answers and is ready to open files.
    bool IsReady();
    // Opens a file and plays it.
    void Open(const std::string& file);
    void Play();
    void Pause();

    int GetPlayState();
    double GetDuration();
    double GetCurrentPosition();
    void SetCurrentPosition(double seconds);
    int GetVolume();
    void SetVolume(int hundredthsOfDecibel);
    // False from the start of an open until the file is playable.
    bool GetOpenComplete();
    // Non-zero after an open that failed (mpv's error code, made positive).
    int GetErrorCode();

private:
    void ReadEvents();
    static void LogMessage(const mpv_event& event);
    void HandleEvent(const mpv_event& event);
    void SetFlagOption(const char* name, bool value);
    void SetStringOption(const char* name, const char* value);

    std::string m_strAudioOutput;
    mpv_handle* m_pHandle = nullptr;
    std::thread m_eventThread;
    std::atomic<bool> m_bEventsEnd{false};

    // What the event thread has seen, guarded by m_stateLock.
    std::mutex m_stateLock;
    int m_nPlayState = 6;
    std::int64_t m_nEntry = 0;  // mpv's playlist entry of the file opened last
    bool m_bOpenComplete = false;
    bool m_bPaused = false;
    int m_nErrorCode = 0;
    double m_dDuration = 0.0;
    double m_dPosition = 0.0;
    double m_dVolumePercent = 100.0;
};

}  // namespace kavelin
