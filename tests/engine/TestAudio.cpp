#include "tests/engine/TestAudio.h"

#include <cstdlib>
#include <fstream>
#include <random>

namespace kavelin::test {

TestAudio::TestAudio() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    do {
        m_directory = base / ("kavelin-audio-" + std::to_string(random()));
    } while (std::filesystem::exists(m_directory));
    std::filesystem::create_directories(m_directory);
}

TestAudio::~TestAudio() {
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

std::filesystem::path TestAudio::MakeMp3(const std::string& name, double seconds) {
    const auto path = m_directory / name;
    const std::string command = "sox -V1 -n -r 44100 -c 1 -b 16 -t wav - synth " +
                                std::to_string(seconds) + " sine 440 | lame --quiet -b 64 - '" +
                                path.string() + "'";
    if (std::system(command.c_str()) != 0 || !std::filesystem::exists(path)) {
        return {};
    }
    return path;
}

std::filesystem::path TestAudio::MakeNonAudio(const std::string& name) {
    const auto path = m_directory / name;
    std::ofstream out(path);
    out << "This is a shopping list, not a song.\n";
    return path;
}

}  // namespace kavelin::test
