#include "app/WorkerLinks.h"

namespace kavelin {

// Without a backend (no player could be started) these do nothing.

void TrackPlayerLink::Pause() {
    if (m_player.GetPlayer()) {
        m_player.Pause();
    }
}

void TrackPlayerLink::Resume() {
    if (m_player.GetPlayer()) {
        m_player.Resume();
    }
}

// The backend is held for the call: the play loop may let go of it meanwhile.

void TrackPlayerLink::PlayFile(const std::string& filename) {
    if (const auto backend = m_player.GetPlayer()) {
        backend->Play(filename);
    }
}

void TrackPlayerLink::StopPlayer() {
    if (const auto backend = m_player.GetPlayer()) {
        backend->Stop();
    }
}

void TrackPlayerLink::SetPlayerPosition(int milliseconds) {
    if (const auto backend = m_player.GetPlayer()) {
        backend->SetPosition(milliseconds);
    }
}

void TrackPlayerLink::SetPlayerVolume(int volume) {
    if (const auto backend = m_player.GetPlayer()) {
        backend->SetVolume(volume);
    }
}

}  // namespace kavelin
