#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class QTextToSpeech;
class QTimer;

namespace kavelin {

// A text-to-speech engine: opened once, then asked to say texts without waiting.
class SpeechOutput {
public:
    virtual ~SpeechOutput() = default;
    // True when the engine is there and usable.
    virtual bool Open() = 0;
    // Starts saying the text and returns at once; `done` runs on the UI
    // thread once the text has been said, or could not be.
    virtual void Say(const std::string& text, std::function<void()> done) = 0;
};

// Qt TextToSpeech with the desktop's default engine.
class QtSpeechOutput : public QObject, public SpeechOutput {
    Q_OBJECT
public:
    QtSpeechOutput();
    ~QtSpeechOutput() override;
    bool Open() override;
    void Say(const std::string& text, std::function<void()> done) override;

private:
    void Finish();

    std::unique_ptr<QTextToSpeech> m_pSpeech;
    std::function<void()> m_done;
    bool m_bStarted = false;  // the engine has begun the current text
    // An engine that never begins or never ends a text must not hold the queue.
    QTimer* m_pWatchdog;
};

// Spoken feedback: silent until an engine could be opened, and while disabled.
// Texts are said one after another, never cutting each other off; when more
// than a few wait, the oldest waiting one is dropped, so that what is said
// stays close to what happens.
class CVoiceFeedback {
public:
    explicit CVoiceFeedback(std::unique_ptr<SpeechOutput> output);

    // Opens the engine; the voice is available only when that succeeded.
    void Create();
    void Speak(const std::string& text);

    bool IsAvailable() const { return m_bAvailable; }
    bool IsEnabled() const { return m_bEnabled; }
    void SetEnabled(bool enabled);

    static constexpr std::size_t kMaxWaiting = 3;

private:
    void SpeakNext();

    std::unique_ptr<SpeechOutput> m_pOutput;
    std::deque<std::string> m_waiting;
    bool m_bSpeaking = false;
    bool m_bAvailable = false;
    bool m_bEnabled = true;
};

}  // namespace kavelin
