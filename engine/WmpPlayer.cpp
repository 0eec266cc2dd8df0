#include "engine/WmpPlayer.h"

namespace kavelin {

CWmpPlayer::CWmpPlayer(std::string audioOutput) : m_player(std::move(audioOutput)) {}

CWmpPlayer::~CWmpPlayer() {
    Stop();
}

int CWmpPlayer::IsActive() {
    return m_nActive;
}

int CWmpPlayer::Init(MessageTarget* /*owner*/) {
    std::lock_guard lock(m_lock);
    if (!m_player.CreateControl()) {
        return 0;
    }
    m_player.SetShowControls(false);
    m_player.SetShowDisplay(false);
    m_player.SetShowCaptioning(false);
    m_player.SetEnableContextMenu(false);
    m_player.SetShowAudioControls(false);
    m_player.SetShowStatusBar(false);
    m_player.SetShowTracker(false);
    m_player.SetShowVideoWindow(false);
    if (!m_player.IsReady()) {
        m_player.DestroyControl();
        return 0;
    }
    m_nActive = 1;
    m_nStartMarker = kStartMarkerConfirmed;
    return 1;
}

void CWmpPlayer::Stop() {
    std::lock_guard lock(m_lock);
    if (!m_nActive) {
        return;
    }
    m_nActive = 0;
    m_nStartMarker = kStartMarkerStopped;
    m_player.DestroyControl();
}

void CWmpPlayer::Play(std::string file) {
    std::lock_guard lock(m_lock);
    if (!m_nActive) {
        return;
    }
    m_player.Open(file);
    m_nStartState = m_player.GetPlayState();
    m_nStartMarker = kStartMarkerPending;
}

int CWmpPlayer::GetState() {
    if (!m_nActive) {
        return kPlayStatePlaying;
    }
    std::lock_guard lock(m_lock);
    if (m_nStartMarker != kStartMarkerPending) {
        return m_player.GetPlayState();
    }
    if (m_player.GetPlayState() != m_nStartState) {
        m_nStartMarker = kStartMarkerConfirmed;
        return m_player.GetPlayState();
    }
    if (!m_player.GetOpenComplete() && m_player.GetErrorCode() != 0) {
        return kPlayStateStopped;  // the file could not be opened
    }
    return kPlayStatePlaying;  // still starting
}

int CWmpPlayer::GetLength() {
    if (!m_nActive) {
        return 0;
    }
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_player.GetDuration()) * 1000;
}

int CWmpPlayer::GetPosition() {
    if (!m_nActive) {
        return 0;
    }
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_player.GetCurrentPosition()) * 1000;
}

void CWmpPlayer::SetPosition(int milliseconds) {
    if (!m_nActive) {
        return;
    }
    std::lock_guard lock(m_lock);
    m_player.SetCurrentPosition(static_cast<double>(milliseconds / 1000));
}

int CWmpPlayer::GetVolume() {
    if (!m_nActive) {
        return 0;
    }
    std::lock_guard lock(m_lock);
    return m_player.GetVolume();
}

void CWmpPlayer::SetVolume(int volume) {
    if (!m_nActive) {
        return;
    }
    std::lock_guard lock(m_lock);
    const int below = volume - 255;
    m_player.SetVolume(below * below * below / 1659);
}

// Pause and Resume take the lock too: without it a Stop on another thread
// could destroy the player in the middle of the call.
void CWmpPlayer::Pause() {
    std::lock_guard lock(m_lock);
    if (m_nActive) {
        m_player.Pause();
    }
}

void CWmpPlayer::Resume() {
    std::lock_guard lock(m_lock);
    if (m_nActive) {
        m_player.Play();
    }
}

}  // namespace kavelin
