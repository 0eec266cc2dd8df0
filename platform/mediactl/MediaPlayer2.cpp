#include "platform/mediactl/MediaPlayer2.h"

#include <mpv/client.h>

#include <cmath>
#include <string>

#include "platform/log/ProgramLog.h"

namespace kavelin {
namespace {

constexpr int kStateStopped = 0;
constexpr int kStatePaused = 1;
constexpr int kStatePlaying = 2;
constexpr int kStateWaiting = 3;

constexpr int kSilent = -10000;  // hundredths of a decibel

// Reply identifiers of the observed properties.
enum ObservedProperty : std::uint64_t { kDuration = 1, kTimePos, kPause, kVolume };

// mpv's volume is a percentage on a cubic curve: the gain is (volume/100)^3,
// so a level of d decibels is 100 * 10^(d/60) percent.
double PercentFromHundredthsOfDecibel(int level) {
    if (level <= kSilent) {
        return 0.0;
    }
    return 100.0 * std::pow(10.0, level / 6000.0);
}

int HundredthsOfDecibelFromPercent(double percent) {
    if (percent <= 0.0) {
        return kSilent;
    }
    const long level = std::lround(6000.0 * std::log10(percent / 100.0));
    return level < kSilent ? kSilent : static_cast<int>(level);
}

}  // namespace

CMediaPlayer2::CMediaPlayer2(std::string audioOutput) : m_strAudioOutput(std::move(audioOutput)) {}

CMediaPlayer2::~CMediaPlayer2() {
    DestroyControl();
}

bool CMediaPlayer2::CreateControl() {
    if (m_pHandle) {
        return true;
    }
    // mpv refuses to start unless numbers are formatted the C way. The
    // program's entry sets that before its threads start; changing the
    // locale here, with other threads running, would be a race.
    mpv_handle* handle = mpv_create();
    if (!handle) {
        return false;
    }
    const std::pair<const char*, const char*> options[] = {
        {"config", "no"}, {"terminal", "no"},        {"video", "no"},
        {"vo", "null"},   {"idle", "yes"},           {"load-scripts", "no"},
        {"ytdl", "no"},   {"resume-playback", "no"}, {"audio-fallback-to-null", "yes"},
    };
    for (const auto& [name, value] : options) {
        mpv_set_option_string(handle, name, value);
    }
    if (!m_strAudioOutput.empty()) {
        mpv_set_option_string(handle, "ao", m_strAudioOutput.c_str());
    }
    // mpv's messages go to the program's log, not the terminal.
    mpv_request_log_messages(handle, "info");
    if (mpv_initialize(handle) < 0) {
        mpv_terminate_destroy(handle);
        return false;
    }
    mpv_observe_property(handle, kDuration, "duration", MPV_FORMAT_DOUBLE);
    mpv_observe_property(handle, kTimePos, "time-pos", MPV_FORMAT_DOUBLE);
    mpv_observe_property(handle, kPause, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(handle, kVolume, "volume", MPV_FORMAT_DOUBLE);
    {
        std::lock_guard lock(m_stateLock);
        m_nPlayState = 6;
        m_nEntry = 0;
        m_bOpenComplete = false;
        m_nErrorCode = 0;
    }
    m_pHandle = handle;
    m_bEventsEnd = false;
    m_eventThread = std::thread([this] { ReadEvents(); });
    return true;
}

void CMediaPlayer2::DestroyControl() {
    if (!m_pHandle) {
        return;
    }
    m_bEventsEnd = true;
    mpv_wakeup(m_pHandle);
    m_eventThread.join();
    mpv_terminate_destroy(m_pHandle);
    m_pHandle = nullptr;
    std::lock_guard lock(m_stateLock);
    m_nPlayState = 6;
    m_bOpenComplete = false;
}

void CMediaPlayer2::SetFlagOption(const char* name, bool value) {
    if (!m_pHandle) {
        return;
    }
    int flag = value ? 1 : 0;
    mpv_set_property(m_pHandle, name, MPV_FORMAT_FLAG, &flag);
}

void CMediaPlayer2::SetStringOption(const char* name, const char* value) {
    if (m_pHandle) {
        mpv_set_property_string(m_pHandle, name, value);
    }
}

void CMediaPlayer2::SetShowControls(bool show) {
    SetStringOption("osc", show ? "yes" : "no");
}
void CMediaPlayer2::SetShowDisplay(bool show) {
    SetStringOption("osd-level", show ? "1" : "0");
}
void CMediaPlayer2::SetShowCaptioning(bool show) {
    SetFlagOption("sub-visibility", show);
}
void CMediaPlayer2::SetEnableContextMenu(bool enable) {
    SetFlagOption("input-default-bindings", enable);
}
void CMediaPlayer2::SetShowAudioControls(bool show) {
    SetFlagOption("input-vo-keyboard", show);
}
void CMediaPlayer2::SetShowStatusBar(bool show) {
    SetFlagOption("osd-bar", show);
}
void CMediaPlayer2::SetShowTracker(bool show) {
    SetStringOption("audio-display", show ? "embedded-first" : "no");
}
void CMediaPlayer2::SetShowVideoWindow(bool show) {
    SetFlagOption("force-window", show);
}

bool CMediaPlayer2::IsReady() {
    if (!m_pHandle) {
        return false;
    }
    int idle = 0;
    return mpv_get_property(m_pHandle, "idle-active", MPV_FORMAT_FLAG, &idle) >= 0;
}

void CMediaPlayer2::Open(const std::string& file) {
    if (!m_pHandle) {
        return;
    }
    int playing = 0;
    mpv_set_property(m_pHandle, "pause", MPV_FORMAT_FLAG, &playing);
    // Held across the open: the event thread tells this file's events from
    // those of the file it replaces by the playlist entry, which must be
    // known before it looks at them.
    std::lock_guard lock(m_stateLock);
    // The error of an earlier file says nothing about this one: left in
    // place, it would report the new track as ended before mpv starts it.
    m_nErrorCode = 0;
    m_bOpenComplete = false;
    const char* command[] = {"loadfile", file.c_str(), "replace", nullptr};
    const int result = mpv_command(m_pHandle, command);
    if (result < 0) {
        m_nEntry = 0;
        m_nErrorCode = -result;
        m_nPlayState = kStateStopped;
        return;
    }
    std::int64_t entry = 0;
    mpv_get_property(m_pHandle, "playlist/0/id", MPV_FORMAT_INT64, &entry);
    m_nEntry = entry;
}

void CMediaPlayer2::Play() {
    SetFlagOption("pause", false);
}

void CMediaPlayer2::Pause() {
    SetFlagOption("pause", true);
}

int CMediaPlayer2::GetPlayState() {
    std::lock_guard lock(m_stateLock);
    return m_nPlayState;
}

double CMediaPlayer2::GetDuration() {
    std::lock_guard lock(m_stateLock);
    return m_dDuration;
}

double CMediaPlayer2::GetCurrentPosition() {
    std::lock_guard lock(m_stateLock);
    return m_dPosition;
}

void CMediaPlayer2::SetCurrentPosition(double seconds) {
    if (m_pHandle) {
        mpv_set_property(m_pHandle, "time-pos", MPV_FORMAT_DOUBLE, &seconds);
    }
}

int CMediaPlayer2::GetVolume() {
    std::lock_guard lock(m_stateLock);
    return HundredthsOfDecibelFromPercent(m_dVolumePercent);
}

void CMediaPlayer2::SetVolume(int hundredthsOfDecibel) {
    if (!m_pHandle) {
        return;
    }
    double percent = PercentFromHundredthsOfDecibel(hundredthsOfDecibel);
    mpv_set_property(m_pHandle, "volume", MPV_FORMAT_DOUBLE, &percent);
}

bool CMediaPlayer2::GetOpenComplete() {
    std::lock_guard lock(m_stateLock);
    return m_bOpenComplete;
}

int CMediaPlayer2::GetErrorCode() {
    std::lock_guard lock(m_stateLock);
    return m_nErrorCode;
}

void CMediaPlayer2::ReadEvents() {
    while (!m_bEventsEnd) {
        const mpv_event* event = mpv_wait_event(m_pHandle, -1);
        if (event->event_id == MPV_EVENT_SHUTDOWN) {
            break;
        }
        if (event->event_id == MPV_EVENT_LOG_MESSAGE) {
            LogMessage(*event);
            continue;
        }
        HandleEvent(*event);
    }
}

void CMediaPlayer2::LogMessage(const mpv_event& event) {
    const auto* message = static_cast<const mpv_event_log_message*>(event.data);
    const std::string text = message->text;
    if (text.find_first_not_of(" \n") == std::string::npos) {
        return;  // mpv's spacing lines
    }
    LogLevel level = LogLevel::Debug;
    switch (message->log_level) {
        case MPV_LOG_LEVEL_FATAL:
        case MPV_LOG_LEVEL_ERROR:
            level = LogLevel::Error;
            break;
        case MPV_LOG_LEVEL_WARN:
            level = LogLevel::Warning;
            break;
        case MPV_LOG_LEVEL_INFO:
            level = LogLevel::Info;
            break;
        default:
            break;
    }
    Log(level, std::string("mpv/") + message->prefix, text);
}

void CMediaPlayer2::HandleEvent(const mpv_event& event) {
    std::lock_guard lock(m_stateLock);
    switch (event.event_id) {
        case MPV_EVENT_START_FILE:
            // A file that a newer Open replaced may still start, or not at all.
            if (static_cast<const mpv_event_start_file*>(event.data)->playlist_entry_id !=
                m_nEntry) {
                break;
            }
            m_nPlayState = kStateWaiting;
            m_bOpenComplete = false;
            m_nErrorCode = 0;
            break;
        case MPV_EVENT_FILE_LOADED:
            m_bOpenComplete = true;
            m_nPlayState = m_bPaused ? kStatePaused : kStatePlaying;
            break;
        case MPV_EVENT_END_FILE: {
            // The end of a file that a newer Open replaced says nothing about
            // the file now being opened.
            const auto* end = static_cast<const mpv_event_end_file*>(event.data);
            if (end->playlist_entry_id != m_nEntry) {
                break;
            }
            if (end->reason == MPV_END_FILE_REASON_ERROR) {
                m_nErrorCode = end->error < 0 ? -end->error : 1;
            }
            m_bOpenComplete = false;
            m_nPlayState = kStateStopped;
            m_dPosition = 0.0;
            break;
        }
        case MPV_EVENT_PROPERTY_CHANGE: {
            const auto* property = static_cast<const mpv_event_property*>(event.data);
            const bool known = property->format != MPV_FORMAT_NONE && property->data;
            switch (event.reply_userdata) {
                case kDuration:
                    m_dDuration = known ? *static_cast<double*>(property->data) : 0.0;
                    break;
                case kTimePos:
                    m_dPosition = known ? *static_cast<double*>(property->data) : 0.0;
                    break;
                case kPause:
                    m_bPaused = known && *static_cast<int*>(property->data) != 0;
                    if (m_bOpenComplete) {
                        m_nPlayState = m_bPaused ? kStatePaused : kStatePlaying;
                    }
                    break;
                case kVolume:
                    if (known) {
                        m_dVolumePercent = *static_cast<double*>(property->data);
                    }
                    break;
                default:
                    break;
            }
            break;
        }
        default:
            break;
    }
}

}  // namespace kavelin
