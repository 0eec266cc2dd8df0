#pragma once

#include <memory>
#include <string>

class QTextToSpeech;

namespace kavelin {

// A text-to-speech engine: opened once, then asked to say texts without waiting.
class SpeechOutput {
public:
    virtual ~SpeechOutput() = default;
    // True when the engine is there and usable.
    virtual bool Open() = 0;
    // Starts saying the text and returns at once.
    virtual void Say(const std::string& text) = 0;
};

// Qt TextToSpeech with the desktop's default engine.
class QtSpeechOutput : public SpeechOutput {
public:
    QtSpeechOutput();
    ~QtSpeechOutput() override;
    bool Open() override;
    void Say(const std::string& text) override;

private:
    std::unique_ptr<QTextToSpeech> m_pSpeech;
};

// Spoken feedback: silent until an engine could be opened, and while disabled.
class CVoiceFeedback {
public:
    explicit CVoiceFeedback(std::unique_ptr<SpeechOutput> output);

    // Opens the engine; the voice is available only when that succeeded.
    void Create();
    void Speak(const std::string& text);

    bool IsAvailable() const { return m_bAvailable; }
    bool IsEnabled() const { return m_bEnabled; }
    void SetEnabled(bool enabled) { m_bEnabled = enabled; }

private:
    std::unique_ptr<SpeechOutput> m_pOutput;
    bool m_bAvailable = false;
    bool m_bEnabled = true;
};

}  // namespace kavelin
