#include "ui/VoiceFeedback.h"

#include <QString>
#include <QTextToSpeech>
#include <QTimer>
#include <utility>

namespace kavelin {
namespace {

constexpr int kLongestText = 30000;  // milliseconds

}  // namespace

QtSpeechOutput::QtSpeechOutput() : m_pWatchdog(new QTimer(this)) {
    m_pWatchdog->setSingleShot(true);
    connect(m_pWatchdog, &QTimer::timeout, this, [this] { Finish(); });
}

QtSpeechOutput::~QtSpeechOutput() = default;

bool QtSpeechOutput::Open() {
    if (QTextToSpeech::availableEngines().isEmpty()) {
        return false;
    }
    m_pSpeech = std::make_unique<QTextToSpeech>();
    if (m_pSpeech->state() == QTextToSpeech::Error) {
        m_pSpeech.reset();
        return false;
    }
    connect(m_pSpeech.get(), &QTextToSpeech::stateChanged, this,
            [this](QTextToSpeech::State state) {
                if (state == QTextToSpeech::Speaking) {
                    m_bStarted = true;
                } else if (state == QTextToSpeech::Error ||
                           (state == QTextToSpeech::Ready && m_bStarted)) {
                    Finish();
                }
            });
    return true;
}

void QtSpeechOutput::Say(const std::string& text, std::function<void()> done) {
    if (!m_pSpeech) {
        done();
        return;
    }
    m_done = std::move(done);
    m_bStarted = false;
    m_pWatchdog->start(kLongestText);
    m_pSpeech->say(QString::fromStdString(text));
}

void QtSpeechOutput::Finish() {
    m_pWatchdog->stop();
    m_bStarted = false;
    if (auto done = std::exchange(m_done, nullptr)) {
        done();
    }
}

CVoiceFeedback::CVoiceFeedback(std::unique_ptr<SpeechOutput> output)
    : m_pOutput(std::move(output)) {}

void CVoiceFeedback::Create() {
    m_bAvailable = m_pOutput && m_pOutput->Open();
}

void CVoiceFeedback::SetEnabled(bool enabled) {
    m_bEnabled = enabled;
    if (!enabled) {
        m_waiting.clear();
    }
}

void CVoiceFeedback::Speak(const std::string& text) {
    if (!m_bAvailable || !m_bEnabled) {
        return;
    }
    m_waiting.push_back(text);
    if (m_waiting.size() > kMaxWaiting) {
        m_waiting.pop_front();
    }
    SpeakNext();
}

void CVoiceFeedback::SpeakNext() {
    if (m_bSpeaking || m_waiting.empty()) {
        return;
    }
    m_bSpeaking = true;
    const std::string text = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_pOutput->Say(text, [this] {
        m_bSpeaking = false;
        SpeakNext();
    });
}

}  // namespace kavelin
