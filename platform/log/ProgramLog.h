#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kavelin {

enum class LogLevel { Error, Warning, Info, Debug };

// The local time now in strftime's format; the log's stamps use
// "%Y-%m-%d %H:%M:%S".
std::string LocalTimeText(const char* format);

// The program's log file: one line per event with the local time, the level
// and the part of the program that reports it. The file is bounded: when a
// line would take it past its size, it becomes "<name>.1" (older ones move
// up, the oldest is dropped) and a fresh file begins. Lines may come from
// any thread.
class ProgramLog {
public:
    // The file is opened (and its folder made) at the first line.
    ProgramLog(std::filesystem::path file, std::uintmax_t maxBytes = 1 << 20, int keptFiles = 3);
    ~ProgramLog();
    ProgramLog(const ProgramLog&) = delete;
    ProgramLog& operator=(const ProgramLog&) = delete;

    // Every line also goes to standard error (the --verbose option).
    void SetEcho(bool echo);
    void Write(LogLevel level, std::string_view source, std::string_view text);

    const std::filesystem::path& File() const { return m_file; }

private:
    bool OpenFile();
    void Rotate();

    std::filesystem::path m_file;
    std::uintmax_t m_nMaxBytes;
    int m_nKeptFiles;
    std::mutex m_lock;
    std::FILE* m_pStream = nullptr;
    std::uintmax_t m_nSize = 0;
    bool m_bEcho = false;
    bool m_bUnwritable = false;  // the file could not be opened: do not try on every line
};

// ${XDG_STATE_HOME:-~/.local/state}/kavelin/kavelin.log
std::filesystem::path DefaultLogFile();

// The log every part of the program writes to; without one, lines are dropped.
// Returns the previous log so that tests can put it back.
std::shared_ptr<ProgramLog> InstallLog(std::shared_ptr<ProgramLog> log);
void Log(LogLevel level, std::string_view source, std::string_view text);

}  // namespace kavelin
