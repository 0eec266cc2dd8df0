#include "ui/VoiceFeedback.h"

#include <QString>
#include <QTextToSpeech>

namespace kavelin {

QtSpeechOutput::QtSpeechOutput() = default;
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
    return true;
}

void QtSpeechOutput::Say(const std::string& text) {
    if (m_pSpeech) {
        m_pSpeech->say(QString::fromStdString(text));
    }
}

CVoiceFeedback::CVoiceFeedback(std::unique_ptr<SpeechOutput> output)
    : m_pOutput(std::move(output)) {}

void CVoiceFeedback::Create() {
    m_bAvailable = m_pOutput && m_pOutput->Open();
}

void CVoiceFeedback::Speak(const std::string& text) {
    if (m_bAvailable && m_bEnabled) {
        m_pOutput->Say(text);
    }
}

}  // namespace kavelin
