#pragma once

#include <QApplication>
#include <QPoint>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ui/HelpWindow.h"
#include "ui/VoiceFeedback.h"
#include "ui/WorkerLinks.h"

namespace kavelin::test {

// Says nothing; remembers what it was asked to say. Each text is over at
// once, unless `holds` keeps it going until FinishText.
class RecordingSpeech : public SpeechOutput {
public:
    explicit RecordingSpeech(std::shared_ptr<std::vector<std::string>> said, bool opens = true,
                             bool holds = false)
        : m_said(std::move(said)), m_bOpens(opens), m_bHolds(holds) {}
    bool Open() override { return m_bOpens; }
    void Say(const std::string& text, std::function<void()> done) override {
        m_said->push_back(text);
        if (m_bHolds) {
            m_done = std::move(done);
        } else {
            done();
        }
    }
    void FinishText() { std::exchange(m_done, nullptr)(); }

private:
    std::shared_ptr<std::vector<std::string>> m_said;
    bool m_bOpens;
    bool m_bHolds;
    std::function<void()> m_done;
};

// The track player as a set of values, with every call written down.
class FakePlaybackEngine : public PlaybackEngine {
public:
    CTrackInfo track;
    int basis = 0, total = 0, rated = 0, position = 0, length = 0, moodId = 2, playerType = 1;
    bool paused = false, hasPlayer = true, startWaiting = true;
    std::vector<std::string> calls;

    CTrackInfo GetCurrentTrack() override { return track; }
    int SelectionBasis() const override { return basis; }
    int TotalTracks() const override { return total; }
    int RatedTracks() const override { return rated; }
    int Position() const override { return position; }
    int Length() const override { return length; }
    int MoodID() const override { return moodId; }
    int PlayerType() const override { return playerType; }
    bool IsPaused() const override { return paused; }
    bool TakeTrackToStart(CTrackInfo& started) override {
        started = track;
        return startWaiting;
    }
    void SelectNextTrack() override { calls.push_back("SelectNextTrack"); }
    void Skip() override { calls.push_back("Skip"); }
    void PlayTrack(int id) override { calls.push_back("PlayTrack " + std::to_string(id)); }
    void SetMood(const std::string& name) override { calls.push_back("SetMood " + name); }
    int SwitchPlayer(int type) override {
        calls.push_back("SwitchPlayer " + std::to_string(type));
        return 1;
    }
    int CreatePlayer() override {
        calls.push_back("CreatePlayer");
        return 1;
    }
    void Pause() override {
        calls.push_back("Pause");
        paused = true;
    }
    void Resume() override {
        calls.push_back("Resume");
        paused = false;
    }
    bool HasPlayer() const override { return hasPlayer; }
    void PlayFile(const std::string& file) override { calls.push_back("PlayFile " + file); }
    void StopPlayer() override { calls.push_back("StopPlayer"); }
    void SetPlayerPosition(int ms) override {
        calls.push_back("SetPlayerPosition " + std::to_string(ms));
    }
    void SetPlayerVolume(int volume) override {
        calls.push_back("SetPlayerVolume " + std::to_string(volume));
    }
};

class FakeScanQueue : public ScanQueue {
public:
    std::vector<std::string> queued;
    int count = 0;
    bool diskFull = false;
    void QueueDirectory(const std::string& path) override { queued.push_back(path); }
    int Count() const override { return count; }
    bool IsCatalogDiskFull() const override { return diskFull; }
};

class FakeDownloader : public DownloadControl {
public:
    bool started = false;
    int hosts = 0, downloads = 0, down = 0, up = 0;
    void Start() override { started = true; }
    void Stop() override { started = false; }
    bool IsStarted() const override { return started; }
    int ConnectedHosts() const override { return hosts; }
    int ActiveDownloads() const override { return downloads; }
    int DownloadRate() const override { return down; }
    int UploadRate() const override { return up; }
};

class RecordingRecommender : public SimilarArtistLookup {
public:
    std::vector<std::string> artists;
    void LookUp(const std::string& artist) override { artists.push_back(artist); }
};

class RecordingHelp : public HelpSystem {
public:
    int indexShown = 0;
    std::vector<QString> topics;
    std::vector<int> popups;
    void ShowIndex() override { ++indexShown; }
    void ShowTopic(const QString& topic) override { topics.push_back(topic); }
    void ShowContextPopup(int context, const QPoint&) override { popups.push_back(context); }
};

}  // namespace kavelin::test
