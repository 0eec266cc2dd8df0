#include "tests/library/Mp3Fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace kavelin::test {

TempDir::TempDir() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    do {
        m_path = base / ("kavelin-library-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(m_path));
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool RunCommand(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status != 0) {
        ADD_FAILURE() << "command failed (" << status << "): " << command;
        return false;
    }
    return true;
}

std::string MakeMp3(const TempDir& dir, const std::string& name, const std::string& synth, int rate,
                    int channels, const std::string& lameOptions) {
    const std::string wav = dir / (name + ".wav");
    const std::string mp3 = dir / name;
    RunCommand("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " " +
               ShellQuote(wav) + " synth 1 " + synth);
    RunCommand("lame --quiet " + lameOptions + " " + ShellQuote(wav) + " " + ShellQuote(mp3));
    std::filesystem::remove(wav);
    return mp3;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string MpegFrame(std::uint32_t header, std::size_t size, unsigned char byte13) {
    std::string frame(size, '\0');
    for (int i = 0; i < 4; ++i) {
        frame[i] = static_cast<char>((header >> (24 - 8 * i)) & 0xFF);
    }
    frame[13] = static_cast<char>(byte13);
    return frame;
}

std::string Id3v2Header(int major, std::uint32_t size, unsigned char flags) {
    std::string header = "ID3";
    header += static_cast<char>(major);
    header += '\0';
    header += static_cast<char>(flags);
    for (int shift = 21; shift >= 0; shift -= 7) {
        header += static_cast<char>((size >> shift) & 0x7F);
    }
    return header;
}

}  // namespace kavelin::test
