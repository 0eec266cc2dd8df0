#include "engine/WinAmpPlayer.h"

namespace kavelin {
namespace {

// A track that has not begun to play this long after Play never will (the
// player could not open it); without a bound the engine would wait for ever.
constexpr auto kStartTimeout = std::chrono::seconds(5);

}  // namespace

CWinAmpPlayer::~CWinAmpPlayer() {
    Stop();
}

// Runs a call to the player under the backend lock; a missing player is
// reported only once the lock is free, since the box waits for the window
// and the window may meanwhile call this backend.
template <typename Call>
auto CWinAmpPlayer::Locked(Call call) {
    struct ReportAfterUnlock {
        CWinAmpControl& control;
        ~ReportAfterUnlock() { control.ReportIfMissing(); }
    } report{m_control};
    std::lock_guard lock(m_lock);
    return call();
}

int CWinAmpPlayer::IsActive() {
    return m_nActive;
}

int CWinAmpPlayer::Init(MessageTarget* /*owner*/) {
    m_control.Command(CWinAmpControl::kCommandStop);
    m_control.ReportIfMissing();
    if (!m_control.HasWindow()) {
        return 0;
    }
    m_nActive = 1;
    return 1;
}

void CWinAmpPlayer::Stop() {
    Locked([this] {
        if (!m_nActive) {
            return;
        }
        m_control.Command(CWinAmpControl::kCommandStop);
        // The backend is done with the player: one that it started goes too.
        m_control.CloseIfStarted();
        m_nStartMarker = kStartMarkerStopped;
        m_nActive = 0;
    });
}

void CWinAmpPlayer::Play(std::string file) {
    Locked([this, &file] {
        // Tested under the lock: a Stop that got in first must not be
        // followed by a track the player goes on playing after the program
        // has ended.
        if (!m_nActive) {
            return;
        }
        m_control.ClearList();
        m_control.AddFile(file);
        m_control.SetListPosition(1);
        m_control.Start();
        m_control.Command(CWinAmpControl::kCommandPlay);
        m_nStartState = m_control.IsPlaying();
        m_nStartMarker = kStartMarkerPending;
        m_startTime = std::chrono::steady_clock::now();
    });
}

int CWinAmpPlayer::GetState() {
    if (!m_nActive) {
        return kPlayStatePlaying;
    }
    return Locked([this] {
        int answer = m_control.IsPlaying();
        if (m_nStartMarker == kStartMarkerPending) {
            if (answer == m_nStartState) {
                const bool neverStarted =
                    answer == CWinAmpControl::kNotPlaying &&
                    std::chrono::steady_clock::now() - m_startTime > kStartTimeout;
                if (!neverStarted) {
                    return kPlayStateStarting;
                }
            }
            m_nStartMarker = kStartMarkerConfirmed;
            answer = m_control.IsPlaying();
        }
        switch (answer) {
            case CWinAmpControl::kPlaying:
                return CWinAmpControl::kPlaying;
            // A paused player is not at the end of its track.
            case CWinAmpControl::kPaused:
                return kPlayStateWaiting;
            default:
                return kPlayStateStopped;
        }
    });
}

int CWinAmpPlayer::GetLength() {
    if (!m_nActive) {
        return 0;
    }
    return Locked([this] { return m_control.GetLength() * 1000; });
}

int CWinAmpPlayer::GetPosition() {
    if (!m_nActive) {
        return 0;
    }
    return Locked([this] { return m_control.GetPosition(); });
}

void CWinAmpPlayer::SetPosition(int milliseconds) {
    if (!m_nActive) {
        return;
    }
    Locked([this, milliseconds] { m_control.JumpToTime(milliseconds); });
}

// The player is not asked: the volume slider only ever sets the volume.
int CWinAmpPlayer::GetVolume() {
    return 0;
}

void CWinAmpPlayer::SetVolume(int volume) {
    if (!m_nActive) {
        return;
    }
    Locked([this, volume] { m_control.SetVolume(volume); });
}

void CWinAmpPlayer::Pause() {
    if (m_nActive) {
        m_control.Command(CWinAmpControl::kCommandPause);
        m_control.ReportIfMissing();
    }
}

void CWinAmpPlayer::Resume() {
    if (m_nActive) {
        m_control.Start();
        m_control.ReportIfMissing();
    }
}

}  // namespace kavelin
