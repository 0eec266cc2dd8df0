#include "catalog/ADOStatement.h"

#include <sqlite3.h>

namespace kavelin {

namespace {
constexpr const char* kEngineSource = "SQLite";
constexpr const char* kLayerSource = "Kavelin catalog";
}  // namespace

CADOStatement::CADOStatement(CADODataBase& database, const std::string& statement)
    : m_database(database) {
    std::uint32_t code = 0;
    std::string description;
    m_pConnection = database.ThreadConnection(code, description);
    if (m_pConnection == nullptr) {
        database.SetError(code, kLayerSource, description);
        return;
    }
    const std::string sql = database.Translate(statement);
    const int rc = sqlite3_prepare_v3(m_pConnection, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                                      &m_pStatement, nullptr);
    if (rc != SQLITE_OK) {
        RecordError(rc);
        sqlite3_finalize(m_pStatement);
        m_pStatement = nullptr;
    }
}

CADOStatement::~CADOStatement() {
    sqlite3_finalize(m_pStatement);
}

void CADOStatement::RecordError(int rc) {
    m_bFailed = true;
    m_nLastError = SqliteResultCode(rc);
    m_database.SetError(m_nLastError, kEngineSource, sqlite3_errmsg(m_pConnection));
}

void CADOStatement::Bind(int position, const std::string& text) {
    if (m_pStatement == nullptr) {
        return;
    }
    if (text.empty()) {
        sqlite3_bind_null(m_pStatement, position);
    } else {
        sqlite3_bind_text(m_pStatement, position, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
}

void CADOStatement::Bind(int position, std::int64_t value) {
    if (m_pStatement != nullptr) {
        sqlite3_bind_int64(m_pStatement, position, value);
    }
}

bool CADOStatement::Execute() {
    if (m_pStatement == nullptr) {
        return false;
    }
    while (Step()) {
    }
    const bool succeeded = !m_bFailed;
    Reset();
    return succeeded;
}

bool CADOStatement::Step() {
    if (m_pStatement == nullptr) {
        m_bFailed = true;
        return false;
    }
    const int rc = sqlite3_step(m_pStatement);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc != SQLITE_DONE) {
        RecordError(rc);
    }
    return false;
}

void CADOStatement::Reset() {
    if (m_pStatement != nullptr) {
        sqlite3_reset(m_pStatement);
        sqlite3_clear_bindings(m_pStatement);
    }
    m_bFailed = false;
}

std::string CADOStatement::ColumnText(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_pStatement, column));
    return text != nullptr
               ? std::string(text,
                             static_cast<std::size_t>(sqlite3_column_bytes(m_pStatement, column)))
               : std::string();
}

std::int64_t CADOStatement::ColumnInteger(int column) const {
    return sqlite3_column_int64(m_pStatement, column);
}

}  // namespace kavelin
