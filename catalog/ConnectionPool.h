#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "catalog/WriteWaits.h"

struct sqlite3;

namespace kavelin {

// One SQLite connection per thread to one catalog file, opened on the thread's
// first use and closed all together.
class ConnectionPool {
public:
    explicit ConnectionPool(std::string path);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // nullptr when the file cannot be opened; `code` and `description` say why.
    sqlite3* ForThisThread(std::uint32_t& code, std::string& description);
    void CloseAll();
    const std::string& Path() const { return m_strPath; }
    WriteWaits& Waits() { return m_waits; }

private:
    sqlite3* Open(std::uint32_t& code, std::string& description);

    const std::string m_strPath;
    const std::uint64_t m_nGeneration;  // never reused, so a thread's cached handle cannot go stale
    WriteWaits m_waits;
    std::mutex m_lock;
    std::unordered_map<std::thread::id, sqlite3*> m_connections;
};

}  // namespace kavelin
