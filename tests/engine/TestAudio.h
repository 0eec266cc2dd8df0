#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace kavelin::test {

// A temporary directory of short MP3 files made with sox and lame; removed
// with the object.
class TestAudio {
public:
    TestAudio();
    ~TestAudio();
    TestAudio(const TestAudio&) = delete;
    TestAudio& operator=(const TestAudio&) = delete;

    const std::filesystem::path& Directory() const { return m_directory; }
    // A mono sine tone of the given length; empty path when the tools failed.
    std::filesystem::path MakeMp3(const std::string& name, double seconds);
    // A file with an .mp3 name that holds no audio at all.
    std::filesystem::path MakeNonAudio(const std::string& name);

private:
    std::filesystem::path m_directory;
};

// Polls `condition` every 20 ms until it holds or `timeoutMs` has passed.
template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace kavelin::test
