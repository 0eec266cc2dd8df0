#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "catalog/ADODataBase.h"
#include "catalog/PendingWrites.h"
#include "engine/Player.h"
#include "platform/messages/MessageTarget.h"

namespace kavelin::bench {

struct GeneratedTrack {
    int artist = 0;
    int genre = 0;
};

// A copy of the fresh catalog in a temporary directory (in memory under
// /dev/shm where there is one), filled with generated
// tracks whose (empty) files exist; removed with the object.
class BenchCatalog {
public:
    explicit BenchCatalog(const std::vector<GeneratedTrack>& tracks);
    ~BenchCatalog();
    BenchCatalog(const BenchCatalog&) = delete;
    BenchCatalog& operator=(const BenchCatalog&) = delete;

    CADODataBase& Database() { return *m_pDatabase; }
    // Where the workers keep the writes the catalog cannot take at once.
    PendingWrites& Writes() { return *m_pWrites; }
    // Runs statements straight on the file, in one transaction; reconnects the
    // catalog afterwards so that it reads stored queries anew.
    void RunDirect(const std::string& sql);
    // Replaces the text of the stored query qCounter.
    void SetCounterQuery(const std::string& sql);

private:
    std::filesystem::path m_directory;
    std::unique_ptr<CADODataBase> m_pDatabase;
    std::unique_ptr<PendingWrites> m_pWrites;
};

// A backend whose every track is over at once; the position it reports is
// the one the simulation sets (where a listener presses Skip).
class InstantPlayer : public CPlayer {
public:
    int IsActive() override { return m_bActive ? 1 : 0; }
    int Init(MessageTarget*) override {
        m_bActive = true;
        return 1;
    }
    void Stop() override { m_bActive = false; }
    int GetState() override { return kPlayStateStopped; }
    int GetPosition() override { return m_nPosition; }
    int GetLength() override { return m_nLength; }

    int m_nPosition = 0;
    int m_nLength = 0;

private:
    bool m_bActive = false;
};

// Counts the "play the current track" posts.
class CountingWindow : public MessageTarget {
public:
    void PostMessage(unsigned message, std::intptr_t, std::intptr_t) override;
    int playRequests = 0;
};

}  // namespace kavelin::bench
