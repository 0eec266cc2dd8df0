#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "engine/Player.h"
#include "platform/remote/WinAmpControl.h"

namespace kavelin {

// The "WinAmp" backend: the outside playlist player, remote-controlled.
class CWinAmpPlayer : public CPlayer {
public:
    ~CWinAmpPlayer() override;

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
    template <typename Call>
    auto Locked(Call call);

    std::atomic<int> m_nActive{0};
    int m_nStartMarker = kStartMarkerStopped;
    int m_nStartState = kPlayStatePlaying;
    std::chrono::steady_clock::time_point m_startTime;
    std::recursive_mutex m_lock;
    CWinAmpControl m_control;
};

}  // namespace kavelin
