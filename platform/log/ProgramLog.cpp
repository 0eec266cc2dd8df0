#include "platform/log/ProgramLog.h"

#include <cstdlib>
#include <ctime>

namespace kavelin {
namespace {

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warning:
            return "warning";
        case LogLevel::Info:
            return "info";
        case LogLevel::Debug:
            return "debug";
    }
    return "?";
}

std::filesystem::path Numbered(const std::filesystem::path& file, int number) {
    return file.string() + "." + std::to_string(number);
}

std::mutex g_installLock;
std::shared_ptr<ProgramLog> g_log;

}  // namespace

ProgramLog::ProgramLog(std::filesystem::path file, std::uintmax_t maxBytes, int keptFiles)
    : m_file(std::move(file)), m_nMaxBytes(maxBytes), m_nKeptFiles(keptFiles) {}

ProgramLog::~ProgramLog() {
    if (m_pStream) {
        std::fclose(m_pStream);
    }
}

void ProgramLog::SetEcho(bool echo) {
    std::lock_guard lock(m_lock);
    m_bEcho = echo;
}

bool ProgramLog::OpenFile() {
    if (m_pStream) {
        return true;
    }
    if (m_bUnwritable) {
        return false;
    }
    std::error_code ignored;
    std::filesystem::create_directories(m_file.parent_path(), ignored);
    m_pStream = std::fopen(m_file.c_str(), "a");
    if (!m_pStream) {
        m_bUnwritable = true;
        return false;
    }
    const auto size = std::filesystem::file_size(m_file, ignored);
    m_nSize = ignored ? 0 : size;
    return true;
}

void ProgramLog::Rotate() {
    std::fclose(m_pStream);
    m_pStream = nullptr;
    std::error_code ignored;
    std::filesystem::remove(Numbered(m_file, m_nKeptFiles), ignored);
    for (int number = m_nKeptFiles - 1; number >= 1; --number) {
        std::filesystem::rename(Numbered(m_file, number), Numbered(m_file, number + 1), ignored);
    }
    if (m_nKeptFiles > 0) {
        std::filesystem::rename(m_file, Numbered(m_file, 1), ignored);
    } else {
        std::filesystem::remove(m_file, ignored);
    }
    m_pStream = std::fopen(m_file.c_str(), "w");
    m_nSize = 0;
    m_bUnwritable = m_pStream == nullptr;
}

std::string LocalTimeText(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}

void ProgramLog::Write(LogLevel level, std::string_view source, std::string_view text) {
    const std::string stamp = LocalTimeText("%Y-%m-%d %H:%M:%S");

    std::string line;
    line.reserve(text.size() + source.size() + 40);
    line.append(stamp).append(" ").append(LevelName(level)).append(" ");
    line.append(source).append(": ");
    // One event, one line: a text from outside cannot forge further lines.
    for (const char c : text) {
        line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    line.push_back('\n');

    std::lock_guard lock(m_lock);
    if (m_bEcho) {
        std::fputs(line.c_str(), stderr);
    }
    if (!OpenFile()) {
        return;
    }
    if (m_nSize > 0 && m_nSize + line.size() > m_nMaxBytes) {
        Rotate();
        if (!m_pStream) {
            return;
        }
    }
    std::fputs(line.c_str(), m_pStream);
    std::fflush(m_pStream);
    m_nSize += line.size();
}

std::filesystem::path DefaultLogFile() {
    std::filesystem::path state;
    const char* xdgState = std::getenv("XDG_STATE_HOME");
    if (xdgState && *xdgState == '/') {
        state = xdgState;
    } else {
        const char* home = std::getenv("HOME");
        state = std::filesystem::path(home && *home ? home : "/tmp") / ".local" / "state";
    }
    return state / "kavelin" / "kavelin.log";
}

std::shared_ptr<ProgramLog> InstallLog(std::shared_ptr<ProgramLog> log) {
    std::lock_guard lock(g_installLock);
    std::swap(g_log, log);
    return log;
}

void Log(LogLevel level, std::string_view source, std::string_view text) {
    std::shared_ptr<ProgramLog> log;
    {
        std::lock_guard lock(g_installLock);
        log = g_log;
    }
    if (log) {
        log->Write(level, source, text);
    }
}

}  // namespace kavelin
