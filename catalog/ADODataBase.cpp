#include "catalog/ADODataBase.h"

#include <sqlite3.h>
#include <strings.h>

#include <filesystem>
#include <optional>
#include <unordered_map>

#include "catalog/CatalogUpgrade.h"
#include "catalog/ConnectionPool.h"
#include "catalog/JetTranslator.h"
#include "catalog/NameKeys.h"
#include "platform/log/ProgramLog.h"
#include "platform/text/NameCollator.h"

namespace kavelin {
namespace {

constexpr const char* kEngineSource = "SQLite";
constexpr const char* kLayerSource = "Kavelin catalog";

// Distinct statement texts are many (IDs are filled in), so the cache is
// bounded: when it is full it starts afresh.
constexpr std::size_t kMaxCachedTranslations = 4096;

// "Provider=...;Data Source=<file>;..." -> "<file>"
std::string DataSourceOf(const std::string& connectionString) {
    std::size_t start = 0;
    while (start < connectionString.size()) {
        std::size_t end = connectionString.find(';', start);
        if (end == std::string::npos) {
            end = connectionString.size();
        }
        const std::string part = connectionString.substr(start, end - start);
        const auto equals = part.find('=');
        if (equals != std::string::npos) {
            std::string key = part.substr(0, equals);
            key.erase(0, key.find_first_not_of(' '));
            key.erase(key.find_last_not_of(' ') + 1);
            if (strcasecmp(key.c_str(), "Data Source") == 0) {
                return part.substr(equals + 1);
            }
        }
        start = end + 1;
    }
    return {};
}

}  // namespace

// What the database shares between its threads besides the connections.
struct CADODataBase::Shared {
    std::mutex lock;
    std::shared_ptr<ConnectionPool> pool;
    std::unordered_map<std::string, std::string> storedQueries;  // lower-case name -> SQL
    std::unordered_map<std::string, std::string> translations;
};

CADODataBase::CADODataBase() : m_pShared(std::make_unique<Shared>()) {}

CADODataBase::~CADODataBase() {
    Disconnect();
}

bool CADODataBase::Connect(const std::string& connectionString, const std::string& /*user*/,
                           const std::string& /*password*/) {
    Disconnect();
    if (!connectionString.empty()) {
        m_strConnection = connectionString;
    }
    const std::string source = DataSourceOf(m_strConnection);
    if (source.empty()) {
        SetError(kInvalidArgument, kLayerSource, "The connection string names no data source.");
        return false;
    }
    std::error_code ignored;
    const std::string path = std::filesystem::absolute(source, ignored).string();
    auto pool = std::make_shared<ConnectionPool>(path);

    std::uint32_t code = 0;
    std::string description;
    sqlite3* connection = pool->ForThisThread(code, description);
    if (connection == nullptr) {
        SetError(code, kEngineSource, description);
        return false;
    }
    // An older catalog is brought up to date before anything reads it.
    if (const CatalogUpgradeResult upgrade = UpgradeCatalog(connection); !upgrade.ok) {
        SetError(kUnspecifiedError, kLayerSource,
                 "The catalog could not be brought up to date. " + upgrade.error);
        pool->CloseAll();
        return false;
    }
    KeepArtistKeys(connection);  // opened before an upgrade may have added the key columns
    RefreshArtistKeys(connection, UserCollationLocale());

    std::unordered_map<std::string, std::string> storedQueries;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, "SELECT Name, SQL FROM tStoredQuery", -1, &statement,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* name = sqlite3_column_text(statement, 0);
            const auto* sql = sqlite3_column_text(statement, 1);
            if (name && sql) {
                std::string key = reinterpret_cast<const char*>(name);
                for (char& c : key) {
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                }
                storedQueries[key] = reinterpret_cast<const char*>(sql);
            }
        }
    }
    sqlite3_finalize(statement);

    std::lock_guard lock(m_pShared->lock);
    m_pShared->pool = std::move(pool);
    m_pShared->storedQueries = std::move(storedQueries);
    m_pShared->translations.clear();
    return true;
}

void CADODataBase::Disconnect() {
    std::shared_ptr<ConnectionPool> pool;
    {
        std::lock_guard lock(m_pShared->lock);
        pool = std::move(m_pShared->pool);
    }
    if (pool) {
        pool->CloseAll();
    }
}

bool CADODataBase::IsConnected() const {
    std::lock_guard lock(m_pShared->lock);
    return m_pShared->pool != nullptr;
}

bool CADODataBase::IsReadOnly() {
    std::uint32_t code = 0;
    std::string description;
    sqlite3* connection = ThreadConnection(code, description);
    return connection != nullptr && sqlite3_db_readonly(connection, "main") == 1;
}

sqlite3* CADODataBase::ThreadConnection(std::uint32_t& code, std::string& description) {
    std::shared_ptr<ConnectionPool> pool;
    {
        std::lock_guard lock(m_pShared->lock);
        pool = m_pShared->pool;
    }
    if (!pool) {
        code = kInvalidPointer;
        description = "The catalog is not connected.";
        return nullptr;
    }
    return pool->ForThisThread(code, description);
}

std::uint64_t CADODataBase::WriteWaitsBegun() {
    std::lock_guard lock(m_pShared->lock);
    return m_pShared->pool ? m_pShared->pool->Waits().WaitsBegun() : 0;
}

void CADODataBase::WriteLockReleased() {
    std::shared_ptr<ConnectionPool> pool;
    {
        std::lock_guard lock(m_pShared->lock);
        pool = m_pShared->pool;
    }
    if (pool) {
        pool->Waits().Released();
    }
}

std::string CADODataBase::Translate(const std::string& statement) {
    std::lock_guard lock(m_pShared->lock);
    if (const auto found = m_pShared->translations.find(statement);
        found != m_pShared->translations.end()) {
        return found->second;
    }
    const auto lookup = [this](const std::string& name) -> std::optional<std::string> {
        std::string key = name;
        for (char& c : key) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const auto found = m_pShared->storedQueries.find(key);
        if (found == m_pShared->storedQueries.end()) {
            return std::nullopt;
        }
        return found->second;
    };
    std::string translated = JetTranslator::Translate(statement, lookup);
    if (m_pShared->translations.size() >= kMaxCachedTranslations) {
        m_pShared->translations.clear();
    }
    m_pShared->translations.emplace(statement, translated);
    return translated;
}

bool CADODataBase::ExecuteStatement(const std::string& statement) {
    return Execute(statement) == 0;
}

std::uint32_t CADODataBase::Execute(const std::string& statement) {
    std::uint32_t code = 0;
    std::string description;
    sqlite3* connection = ThreadConnection(code, description);
    if (connection == nullptr) {
        SetError(code, kLayerSource, description);
        return code;
    }
    const std::string sql = Translate(statement);
    const char* next = sql.c_str();
    while (next != nullptr && *next != '\0') {
        sqlite3_stmt* prepared = nullptr;
        const char* tail = nullptr;
        int rc = sqlite3_prepare_v2(connection, next, -1, &prepared, &tail);
        if (rc == SQLITE_OK && prepared != nullptr) {
            do {
                rc = sqlite3_step(prepared);
            } while (rc == SQLITE_ROW);
            if (rc == SQLITE_DONE) {
                rc = SQLITE_OK;
            }
        }
        if (rc != SQLITE_OK) {
            code = SqliteResultCode(rc);
            SetError(code, kEngineSource, sqlite3_errmsg(connection));
            sqlite3_finalize(prepared);
            return code;
        }
        sqlite3_finalize(prepared);
        next = tail;
    }
    return 0;
}

void CADODataBase::SetError(std::uint32_t code, const std::string& source,
                            const std::string& description) {
    std::lock_guard lock(m_errorLock);
    m_nLastError = code;
    m_strLastError = "Connection String = " + m_strConnection + "\n" +
                     FormatErrorBlock("CADODataBase", code, source, description);
    Log(LogLevel::Error, "catalog", source + ": " + description);
}

std::string CADODataBase::GetLastErrorText() const {
    std::lock_guard lock(m_errorLock);
    return m_strLastError;
}

std::uint32_t CADODataBase::GetLastError() const {
    std::lock_guard lock(m_errorLock);
    return m_nLastError;
}

CADOTransaction::CADOTransaction(CADODataBase& database) : m_database(database) {
    std::uint32_t code = 0;
    std::string description;
    sqlite3* connection = database.ThreadConnection(code, description);
    if (connection == nullptr) {
        m_nLastError = code;
        return;
    }
    if (sqlite3_get_autocommit(connection) == 0) {
        m_pConnection = connection;  // joins the transaction that is already open
        return;
    }
    if (sqlite3_exec(connection, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {
        m_pConnection = connection;
        m_bOwner = true;
    } else {
        m_nLastError = SqliteResultCode(sqlite3_errcode(connection));
        database.SetError(m_nLastError, kEngineSource, sqlite3_errmsg(connection));
    }
}

CADOTransaction::~CADOTransaction() {
    if (m_bOwner && m_pConnection != nullptr) {
        sqlite3_exec(m_pConnection, "ROLLBACK", nullptr, nullptr, nullptr);
        m_database.WriteLockReleased();
    }
}

bool CADOTransaction::Commit() {
    if (m_pConnection == nullptr) {
        return false;
    }
    if (!m_bOwner) {
        return true;
    }
    const int rc = sqlite3_exec(m_pConnection, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        m_nLastError = SqliteResultCode(rc);
        m_database.SetError(m_nLastError, kEngineSource, sqlite3_errmsg(m_pConnection));
        return false;
    }
    m_pConnection = nullptr;
    m_database.WriteLockReleased();
    return true;
}

CADOReadTransaction::CADOReadTransaction(CADODataBase& database) {
    std::uint32_t code = 0;
    std::string description;
    sqlite3* connection = database.ThreadConnection(code, description);
    if (connection != nullptr && sqlite3_get_autocommit(connection) != 0 &&
        sqlite3_exec(connection, "BEGIN DEFERRED", nullptr, nullptr, nullptr) == SQLITE_OK) {
        m_pConnection = connection;
    }
}

CADOReadTransaction::~CADOReadTransaction() {
    if (m_pConnection != nullptr) {
        sqlite3_exec(m_pConnection, "COMMIT", nullptr, nullptr, nullptr);
    }
}

}  // namespace kavelin
