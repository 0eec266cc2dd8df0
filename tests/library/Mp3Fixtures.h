#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kavelin::test {

// A temporary directory for made files, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

std::string ShellQuote(const std::string& text);

// Runs a shell command and adds a test failure when it does not succeed.
bool RunCommand(const std::string& command);

// A one-second clip made by sox (`synth` decides the sound, e.g. "sine 440")
// at the given rate and channel count, encoded by lame with `lameOptions`.
std::string MakeMp3(const TempDir& dir, const std::string& name, const std::string& synth,
                    int rate = 44100, int channels = 2, const std::string& lameOptions = "-b 128");

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

// One MPEG audio frame: the 4 header bytes, then `size - 4` bytes of zeros
// except offset 13, which holds `byte13`.
std::string MpegFrame(std::uint32_t header, std::size_t size, unsigned char byte13);

// An ID3v2 tag header of the given version and (syncsafe) size.
std::string Id3v2Header(int major, std::uint32_t size, unsigned char flags = 0);

}  // namespace kavelin::test
