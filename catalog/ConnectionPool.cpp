#include "catalog/ConnectionPool.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "catalog/ADOError.h"
#include "catalog/NameKeys.h"
#include "platform/text/NameCollator.h"

namespace kavelin {

struct ConnectionPool::State {
    State(std::string path, std::chrono::milliseconds busyTimeout)
        : path(std::move(path)), waits(busyTimeout) {}
    const std::string path;
    WriteWaits waits;
    std::atomic<bool> closed{false};
};

namespace {

// A writer on another thread holds the catalog for a few milliseconds at a
// time; waiting this long for it means a statement never fails because of it.
constexpr std::chrono::milliseconds kBusyTimeout(10000);

int WaitForWriteLock(void* waits, int attempt) {
    return static_cast<WriteWaits*>(waits)->WaitForRelease(attempt) ? 1 : 0;
}

// The connections the calling thread opened, each with the pool it belongs
// to. Only this thread closes them: when it finds their pool closed, or when
// it ends.
class ThreadConnections {
public:
    ~ThreadConnections() {
        for (const auto& owned : m_owned) {
            sqlite3_close_v2(owned.connection);
        }
    }
    sqlite3* Find(const ConnectionPool::State* pool) const {
        for (const auto& owned : m_owned) {
            if (owned.pool.get() == pool) {
                return owned.connection;
            }
        }
        return nullptr;
    }
    void Add(std::shared_ptr<ConnectionPool::State> pool, sqlite3* connection) {
        m_owned.push_back({std::move(pool), connection});
    }
    // Closes this thread's connections of closed pools.
    void CloseEnded() {
        std::erase_if(m_owned, [](const Owned& owned) {
            if (!owned.pool->closed) {
                return false;
            }
            // A statement still open on it keeps it until that is finalised.
            sqlite3_close_v2(owned.connection);
            return true;
        });
    }

private:
    struct Owned {
        std::shared_ptr<ConnectionPool::State> pool;
        sqlite3* connection;
    };
    std::vector<Owned> m_owned;
};

thread_local ThreadConnections t_connections;

sqlite3* Open(ConnectionPool::State& pool, std::uint32_t& code, std::string& description) {
    sqlite3* connection = nullptr;
    // The catalog is shipped, never created here: a missing file is an error.
    const int rc = sqlite3_open_v2(pool.path.c_str(), &connection,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        code = SqliteResultCode(rc);
        description = connection ? sqlite3_errmsg(connection) : sqlite3_errstr(rc);
        sqlite3_close_v2(connection);
        return nullptr;
    }
    sqlite3_busy_handler(connection, WaitForWriteLock, &pool.waits);
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
    RegisterNameFunctions(connection, UserCollationLocale());
    KeepArtistKeys(connection);
    return connection;
}

}  // namespace

ConnectionPool::ConnectionPool(std::string path)
    : m_pState(std::make_shared<State>(std::move(path), kBusyTimeout)) {}

ConnectionPool::~ConnectionPool() {
    CloseAll();
}

const std::string& ConnectionPool::Path() const {
    return m_pState->path;
}

WriteWaits& ConnectionPool::Waits() {
    return m_pState->waits;
}

sqlite3* ConnectionPool::ForThisThread(std::uint32_t& code, std::string& description) {
    if (m_pState->closed) {
        t_connections.CloseEnded();
        code = kInvalidPointer;
        description = "The catalog is not connected.";
        return nullptr;
    }
    if (sqlite3* connection = t_connections.Find(m_pState.get())) {
        return connection;
    }
    t_connections.CloseEnded();
    sqlite3* connection = Open(*m_pState, code, description);
    if (connection != nullptr) {
        t_connections.Add(m_pState, connection);
    }
    return connection;
}

void ConnectionPool::CloseAll() {
    m_pState->closed = true;
    t_connections.CloseEnded();
}

}  // namespace kavelin
