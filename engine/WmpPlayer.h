#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "engine/Player.h"
#include "platform/mediactl/MediaPlayer2.h"

namespace kavelin {

// The "Media Player" backend: the embedded media control, created hidden.
class CWmpPlayer : public CPlayer {
public:
    // `audioOutput` is the control's list of audio outputs to try.
    explicit CWmpPlayer(std::string audioOutput = CMediaPlayer2::kDesktopAudioOutputs);
    ~CWmpPlayer() override;

    int IsActive() override;
    int Init(MessageTarget* owner) override;
    void Stop() override;
    void Play(std::string file) override;
    int GetState() override;
    int GetLength() override;
    int GetPosition() override;
    void SetPosition(int milliseconds) override;
    int GetVolume() override;
    void SetVolume(int volume) override;
    void Pause() override;
    void Resume() override;

private:
    std::atomic<int> m_nActive{0};
    int m_nStartMarker = kStartMarkerStopped;
    int m_nStartState = kPlayStatePlaying;
    std::recursive_mutex m_lock;
    CMediaPlayer2 m_player;
};

}  // namespace kavelin
