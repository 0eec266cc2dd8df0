#include "catalog/ConnectionPool.h"

#include <sqlite3.h>

#include <atomic>

#include "catalog/ADOError.h"

namespace kavelin {
namespace {

std::atomic<std::uint64_t> g_nextGeneration{1};

// The calling thread's handle of the pool it used last: spares the map lookup
// on every statement.
struct CachedConnection {
    std::uint64_t generation = 0;
    sqlite3* connection = nullptr;
};
thread_local CachedConnection t_cached;

// A writer on another thread holds the catalog for a few milliseconds at a
// time; waiting this long for it means a statement never fails because of it.
constexpr std::chrono::milliseconds kBusyTimeout(10000);

int WaitForWriteLock(void* waits, int attempt) {
    return static_cast<WriteWaits*>(waits)->WaitForRelease(attempt) ? 1 : 0;
}

}  // namespace

ConnectionPool::ConnectionPool(std::string path)
    : m_strPath(std::move(path)),
      m_nGeneration(g_nextGeneration.fetch_add(1)),
      m_waits(kBusyTimeout) {}

ConnectionPool::~ConnectionPool() {
    CloseAll();
}

sqlite3* ConnectionPool::ForThisThread(std::uint32_t& code, std::string& description) {
    if (t_cached.generation == m_nGeneration) {
        return t_cached.connection;
    }
    std::lock_guard lock(m_lock);
    auto& connection = m_connections[std::this_thread::get_id()];
    if (connection == nullptr) {
        connection = Open(code, description);
        if (connection == nullptr) {
            m_connections.erase(std::this_thread::get_id());
            return nullptr;
        }
    }
    t_cached = {m_nGeneration, connection};
    return connection;
}

void ConnectionPool::CloseAll() {
    std::lock_guard lock(m_lock);
    for (auto& [thread, connection] : m_connections) {
        sqlite3_close_v2(connection);
    }
    m_connections.clear();
    if (t_cached.generation == m_nGeneration) {
        t_cached = {};
    }
}

sqlite3* ConnectionPool::Open(std::uint32_t& code, std::string& description) {
    sqlite3* connection = nullptr;
    // The catalog is shipped, never created here: a missing file is an error.
    const int rc = sqlite3_open_v2(m_strPath.c_str(), &connection,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        code = SqliteResultCode(rc);
        description = connection ? sqlite3_errmsg(connection) : sqlite3_errstr(rc);
        sqlite3_close_v2(connection);
        return nullptr;
    }
    sqlite3_busy_handler(connection, WaitForWriteLock, &m_waits);
    sqlite3_extended_result_codes(connection, 0);
    const char* setup =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY;"
        "PRAGMA cache_size=-16000;";
    char* message = nullptr;
    const int setupRc = sqlite3_exec(connection, setup, nullptr, nullptr, &message);
    if (setupRc != SQLITE_OK) {
        code = SqliteResultCode(setupRc);
        description = message ? message : sqlite3_errstr(setupRc);
        sqlite3_free(message);
        sqlite3_close_v2(connection);
        return nullptr;
    }
    return connection;
}

}  // namespace kavelin
