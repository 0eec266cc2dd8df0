#include "catalog/ADORecordset.h"

#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <limits>

#include "platform/log/ProgramLog.h"

namespace kavelin {
namespace {

constexpr const char* kEngineSource = "SQLite";
constexpr const char* kLayerSource = "Kavelin catalog";

// The desktop data objects' codes for the navigation errors the program may meet.
constexpr std::uint32_t kNoCurrentRow = 0x800A0BCDu;   // BOF or EOF is true
constexpr std::uint32_t kObjectClosed = 0x800A0E78u;   // operation on a closed object
constexpr std::uint32_t kNotUpdatable = 0x800A0CB3u;   // rows cannot be added here
constexpr std::uint32_t kFieldNotFound = 0x800A0CC1u;  // no field of that name or position

std::string QuoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

FieldValue ReadCell(sqlite3_stmt* statement, int column, FieldKind declared) {
    FieldValue value;
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_NULL:
            break;
        case SQLITE_INTEGER: {
            value.integer = sqlite3_column_int64(statement, column);
            if (declared == FieldKind::Boolean || declared == FieldKind::Int16 ||
                declared == FieldKind::Int32 || declared == FieldKind::Int64) {
                value.kind = declared;
            } else if (declared == FieldKind::Double) {
                value.kind = FieldKind::Double;
                value.real = static_cast<double>(value.integer);
            } else {
                const bool fits = value.integer >= std::numeric_limits<std::int32_t>::min() &&
                                  value.integer <= std::numeric_limits<std::int32_t>::max();
                value.kind = fits ? FieldKind::Int32 : FieldKind::Int64;
            }
            break;
        }
        case SQLITE_FLOAT:
            value.kind = FieldKind::Double;
            value.real = sqlite3_column_double(statement, column);
            break;
        default: {
            const auto* text = sqlite3_column_text(statement, column);
            value.kind = declared == FieldKind::DateTime ? FieldKind::DateTime : FieldKind::Text;
            value.text.assign(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
            break;
        }
    }
    return value;
}

int BindValue(sqlite3_stmt* statement, int index, const FieldValue& value) {
    switch (value.kind) {
        case FieldKind::Null:
            return sqlite3_bind_null(statement, index);
        case FieldKind::Double:
            return sqlite3_bind_double(statement, index, value.real);
        case FieldKind::Text:
        case FieldKind::DateTime:
            return sqlite3_bind_text(statement, index, value.text.data(),
                                     static_cast<int>(value.text.size()), SQLITE_TRANSIENT);
        default:
            return sqlite3_bind_int64(statement, index, value.integer);
    }
}

std::string TrimLeft(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    return text.substr(i);
}

}  // namespace

CADORecordset::CADORecordset(CADODataBase& database) : m_database(database) {}

CADORecordset::~CADORecordset() {
    CloseSource();
}

bool CADORecordset::Fail(std::uint32_t code, const std::string& source,
                         const std::string& description) {
    m_nLastError = code;
    m_strLastError = "Query = " + m_strSource + "\n" +
                     FormatErrorBlock("CADORecordset", code, source, description);
    Log(LogLevel::Error, "catalog", source + ": " + description + " (" + m_strSource + ")");
    return false;
}

bool CADORecordset::FailFromConnection(sqlite3* connection, int rc) {
    return Fail(SqliteResultCode(rc), kEngineSource, sqlite3_errmsg(connection));
}

void CADORecordset::Raise(std::uint32_t code, const std::string& description) const {
    throw CADOException(code, kLayerSource, description);
}

sqlite3* CADORecordset::Connection(bool raise) {
    std::uint32_t code = 0;
    std::string description;
    sqlite3* connection = m_database.ThreadConnection(code, description);
    if (connection == nullptr) {
        if (raise) {
            throw CADOException(code, kLayerSource, description);
        }
        Fail(code, kLayerSource, description);
    }
    return connection;
}

void CADORecordset::RequireOpen() const {
    if (!m_bOpen) {
        Raise(kObjectClosed, "Operation is not allowed when the object is closed.");
    }
}

bool CADORecordset::OpenSource(const std::string& source, int mode) {
    CloseSource();
    if (!source.empty()) {
        m_strSource = source;
    }
    m_strSource = TrimLeft(m_strSource);
    m_nMode = mode;
    switch (mode) {
        case SourceAuto:
        case SourceQuery:
            return OpenQuery(m_database.Translate(m_strSource), {});
        case SourceTable:
            return OpenTable();
        default:
            return Fail(kInvalidArgument, kLayerSource, "Unknown open mode.");
    }
}

bool CADORecordset::RunCommand(CADOCommand& command) {
    CloseSource();
    m_strSource = command.Statement();
    m_nMode = SourceQuery;
    return OpenQuery(m_database.Translate(m_strSource), command.Parameters());
}

bool CADORecordset::OpenQuery(const std::string& sql,
                              const std::vector<std::pair<std::string, std::int32_t>>& parameters) {
    sqlite3* connection = Connection(false);
    if (connection == nullptr) {
        return false;
    }
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr);
    if (rc != SQLITE_OK || statement == nullptr) {
        sqlite3_finalize(statement);
        return rc != SQLITE_OK ? FailFromConnection(connection, rc)
                               : Fail(kInvalidArgument, kLayerSource, "The statement is empty.");
    }
    for (const auto& [name, value] : parameters) {
        // A stored query that does not use a parameter simply ignores it.
        const int index = sqlite3_bind_parameter_index(statement, (":" + name).c_str());
        if (index > 0) {
            sqlite3_bind_int(statement, index, value);
        }
    }
    ReadColumns(statement, false);
    const int columns = static_cast<int>(m_columns.size());
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        for (int c = 0; c < columns; ++c) {
            m_cells.push_back(ReadCell(statement, c, m_columns[c].declaredKind));
        }
        ++m_nRows;
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE) {
        m_cells.clear();
        m_columns.clear();
        m_nRows = 0;
        return FailFromConnection(connection, rc);
    }
    m_nPosition = 0;
    m_bOpen = true;
    return true;
}

void CADORecordset::ReadColumns(sqlite3_stmt* statement, bool forTable) {
    m_columns.clear();
    const int first = forTable ? 1 : 0;  // table cursors read the rowid first
    for (int c = first; c < sqlite3_column_count(statement); ++c) {
        m_columns.push_back({sqlite3_column_name(statement, c),
                             KindFromDeclaredType(sqlite3_column_decltype(statement, c))});
    }
}

bool CADORecordset::OpenTable() {
    sqlite3* connection = Connection(false);
    if (connection == nullptr) {
        return false;
    }
    sqlite3_stmt* probe = nullptr;
    const std::string sql = "SELECT rowid, * FROM " + QuoteIdentifier(m_strSource) + " LIMIT 0";
    const int rc = sqlite3_prepare_v2(connection, sql.c_str(), -1, &probe, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(probe);
        return FailFromConnection(connection, rc);
    }
    ReadColumns(probe, true);
    sqlite3_finalize(probe);
    m_strTable = m_strSource;
    m_bOpen = true;
    m_bTableStarted = false;
    m_nTableStartRowId = std::numeric_limits<std::int64_t>::min();
    return true;
}

void CADORecordset::DropCursor() {
    if (m_pCursor != nullptr) {
        sqlite3_finalize(m_pCursor);
        m_pCursor = nullptr;
    }
}

// Table mode reads lazily: the cursor is started at the first navigation.
void CADORecordset::EnsureTableCursor() {
    if (m_bTableStarted) {
        return;
    }
    sqlite3* connection = Connection(true);
    DropCursor();
    const std::string sql =
        "SELECT rowid, * FROM " + QuoteIdentifier(m_strTable) + " WHERE rowid >= ? ORDER BY rowid";
    const int rc = sqlite3_prepare_v2(connection, sql.c_str(), -1, &m_pCursor, nullptr);
    if (rc != SQLITE_OK) {
        DropCursor();
        throw CADOException(SqliteResultCode(rc), kEngineSource, sqlite3_errmsg(connection));
    }
    sqlite3_bind_int64(m_pCursor, 1, m_nTableStartRowId);
    m_bTableStarted = true;
    StepTableCursor();
}

void CADORecordset::StepTableCursor() {
    const int rc = sqlite3_step(m_pCursor);
    if (rc == SQLITE_ROW) {
        m_currentRow.clear();
        for (std::size_t c = 0; c < m_columns.size(); ++c) {
            m_currentRow.push_back(
                ReadCell(m_pCursor, static_cast<int>(c) + 1, m_columns[c].declaredKind));
        }
        m_bTableAtEnd = false;
        return;
    }
    m_bTableAtEnd = true;
    m_currentRow.clear();
    if (rc != SQLITE_DONE) {
        sqlite3* connection = sqlite3_db_handle(m_pCursor);
        throw CADOException(SqliteResultCode(rc), kEngineSource, sqlite3_errmsg(connection));
    }
}

void CADORecordset::RestartTableAt(std::int64_t rowId) {
    m_nTableStartRowId = rowId;
    m_bTableStarted = false;
}

void CADORecordset::CloseSource() {
    if (!m_bOpen) {
        return;
    }
    m_nEditState = EditNone;
    m_pendingRow.clear();
    m_pendingSet.clear();
    DropCursor();
    m_bOpen = false;
    m_columns.clear();
    m_cells.clear();
    m_currentRow.clear();
    m_nRows = 0;
    m_nPosition = 0;
    m_bTableStarted = false;
    m_bTableAtEnd = true;
}

bool CADORecordset::IsOpen() const {
    return m_bOpen;
}

bool CADORecordset::IsTable() const {
    return m_nMode == SourceTable;
}

long CADORecordset::CountRows() {
    RequireOpen();
    if (!IsTable()) {
        return m_nRows;
    }
    sqlite3* connection = Connection(true);
    sqlite3_stmt* statement = nullptr;
    const std::string sql = "SELECT COUNT(*) FROM " + QuoteIdentifier(m_strTable);
    int rc = sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr);
    long count = 0;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            count = static_cast<long>(sqlite3_column_int64(statement, 0));
        }
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_ROW) {
        throw CADOException(SqliteResultCode(rc), kEngineSource, sqlite3_errmsg(connection));
    }
    return count;
}

bool CADORecordset::AtEnd() {
    RequireOpen();
    if (!IsTable()) {
        return m_nPosition >= m_nRows;
    }
    EnsureTableCursor();
    return m_bTableAtEnd;
}

void CADORecordset::MoveNext() {
    if (AtEnd()) {
        Raise(kNoCurrentRow, "Either BOF or EOF is True, or the current record has been deleted.");
    }
    if (!IsTable()) {
        ++m_nPosition;
        return;
    }
    StepTableCursor();
}

void CADORecordset::MoveLast() {
    RequireOpen();
    if (!IsTable()) {
        if (m_nRows == 0) {
            Raise(kNoCurrentRow, "The result holds no rows.");
        }
        m_nPosition = m_nRows - 1;
        return;
    }
    const std::int64_t last = TableRowId("ORDER BY rowid DESC LIMIT 1");
    RestartTableAt(last);
    EnsureTableCursor();
}

void CADORecordset::MoveToPosition(long row) {
    RequireOpen();
    if (!IsTable()) {
        if (row < 1 || row > m_nRows) {
            Raise(kNoCurrentRow, "No row at position " + std::to_string(row) + ".");
        }
        m_nPosition = row - 1;
        return;
    }
    if (row < 1) {
        Raise(kNoCurrentRow, "No row at position " + std::to_string(row) + ".");
    }
    RestartTableAt(TableRowId("ORDER BY rowid LIMIT 1 OFFSET " + std::to_string(row - 1)));
    EnsureTableCursor();
}

// The rowid of the row that `tail` ("WHERE ... ORDER BY ... LIMIT 1") picks; raises when none.
std::int64_t CADORecordset::TableRowId(const std::string& tail) {
    sqlite3* connection = Connection(true);
    sqlite3_stmt* statement = nullptr;
    const std::string sql = "SELECT rowid FROM " + QuoteIdentifier(m_strTable) + " " + tail;
    int rc = sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr);
    std::int64_t rowId = 0;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        rowId = rc == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
    }
    sqlite3_finalize(statement);
    if (rc == SQLITE_DONE) {
        Raise(kNoCurrentRow, "Either BOF or EOF is True, or the current record has been deleted.");
    }
    if (rc != SQLITE_ROW) {
        throw CADOException(SqliteResultCode(rc), kEngineSource, sqlite3_errmsg(connection));
    }
    return rowId;
}

bool CADORecordset::SeekFirstMatch(const std::string& criterion) {
    RequireOpen();
    if (!IsTable()) {
        // A static result: walk its rows with the criterion "column=value".
        MoveToPosition(1);
        const auto equals = criterion.find('=');
        const std::string column = TrimLeft(criterion.substr(0, equals));
        std::string wanted =
            equals == std::string::npos ? "" : TrimLeft(criterion.substr(equals + 1));
        if (wanted.size() >= 2 && wanted.front() == '\'' && wanted.back() == '\'') {
            wanted = wanted.substr(1, wanted.size() - 2);
            for (std::size_t i = 0; (i = wanted.find("''", i)) != std::string::npos; ++i) {
                wanted.erase(i, 1);
            }
        }
        for (; m_nPosition < m_nRows; ++m_nPosition) {
            std::string value;
            if (ReadField(column, value) && value == wanted) {
                return true;
            }
        }
        return false;
    }
    // Moving to the first row fails on an empty table, as it always has.
    MoveToPosition(1);
    sqlite3* connection = Connection(true);
    sqlite3_stmt* statement = nullptr;
    const std::string sql = "SELECT min(rowid) FROM " + QuoteIdentifier(m_strTable) + " WHERE " +
                            m_database.Translate(criterion);
    int rc = sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr);
    bool found = false;
    std::int64_t rowId = 0;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW && sqlite3_column_type(statement, 0) != SQLITE_NULL) {
            found = true;
            rowId = sqlite3_column_int64(statement, 0);
        }
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_ROW) {
        throw CADOException(SqliteResultCode(rc), kEngineSource, sqlite3_errmsg(connection));
    }
    if (!found) {
        // The search ran past the last row.
        DropCursor();
        m_bTableStarted = true;
        m_bTableAtEnd = true;
        m_currentRow.clear();
        return false;
    }
    RestartTableAt(rowId);
    EnsureTableCursor();
    return true;
}

bool CADORecordset::BeginNewRow() {
    RequireOpen();
    m_nEditState = EditNone;
    if (!IsTable()) {
        Raise(kNotUpdatable, "Rows can only be added to a table opened by name.");
    }
    m_pendingRow.assign(m_columns.size(), FieldValue{});
    m_pendingSet.assign(m_columns.size(), false);
    m_nEditState = EditAdding;
    return true;
}

int CADORecordset::ColumnIndex(const std::string& name) const {
    for (std::size_t c = 0; c < m_columns.size(); ++c) {
        if (strcasecmp(m_columns[c].name.c_str(), name.c_str()) == 0) {
            return static_cast<int>(c);
        }
    }
    return -1;
}

bool CADORecordset::WritePending(int position, FieldValue value) {
    if (m_nEditState != EditAdding) {
        return false;
    }
    if (position < 0 || position >= static_cast<int>(m_columns.size())) {
        return Fail(kFieldNotFound, kLayerSource, "No such field.");
    }
    if (m_columns[static_cast<std::size_t>(position)].declaredKind == FieldKind::Boolean &&
        value.kind != FieldKind::Null && value.kind != FieldKind::Text) {
        value.integer = value.integer != 0 ? -1 : 0;  // a yes/no column holds -1 or 0, nothing else
    }
    m_pendingRow[static_cast<std::size_t>(position)] = std::move(value);
    m_pendingSet[static_cast<std::size_t>(position)] = true;
    return true;
}

namespace {
FieldValue TextValue(const std::string& text) {
    FieldValue value;
    if (!text.empty()) {  // an empty text is stored as null
        value.kind = FieldKind::Text;
        value.text = text;
    }
    return value;
}
FieldValue IntegerValue(FieldKind kind, std::int64_t number) {
    FieldValue value;
    value.kind = kind;
    value.integer = number;
    return value;
}
}  // namespace

bool CADORecordset::WriteField(const std::string& name, const std::string& value) {
    return m_nEditState == EditAdding && WritePending(ColumnIndex(name), TextValue(value));
}

bool CADORecordset::WriteField(const std::string& name, std::int32_t value) {
    return m_nEditState == EditAdding &&
           WritePending(ColumnIndex(name), IntegerValue(FieldKind::Int32, value));
}

bool CADORecordset::WriteField(int position, const std::string& value) {
    return WritePending(position, TextValue(value));
}

bool CADORecordset::WriteField(int position, std::int16_t value) {
    return WritePending(position, IntegerValue(FieldKind::Int16, value));
}

bool CADORecordset::SaveRow() {
    if (m_nEditState == EditNone) {
        return true;
    }
    m_nEditState = EditNone;
    std::string names;
    std::string marks;
    for (std::size_t c = 0; c < m_columns.size(); ++c) {
        if (m_pendingSet[c]) {
            names += (names.empty() ? "" : ", ") + QuoteIdentifier(m_columns[c].name);
            marks += marks.empty() ? "?" : ", ?";
        }
    }
    const std::string sql =
        "INSERT INTO " + QuoteIdentifier(m_strTable) +
        (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")");
    sqlite3* connection = Connection(false);
    if (connection == nullptr) {
        return false;
    }
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr);
    int index = 1;
    for (std::size_t c = 0; rc == SQLITE_OK && c < m_columns.size(); ++c) {
        if (m_pendingSet[c]) {
            rc = BindValue(statement, index++, m_pendingRow[c]);
        }
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
    }
    sqlite3_finalize(statement);
    m_pendingRow.clear();
    m_pendingSet.clear();
    if (rc != SQLITE_DONE) {
        return FailFromConnection(connection, rc);
    }
    // The added row becomes the current one.
    RestartTableAt(sqlite3_last_insert_rowid(connection));
    DropCursor();
    return true;
}

const FieldValue* CADORecordset::CurrentField(int position) {
    if (!m_bOpen) {
        Fail(kObjectClosed, kLayerSource, "Operation is not allowed when the object is closed.");
        return nullptr;
    }
    if (position < 0 || position >= static_cast<int>(m_columns.size())) {
        Fail(kFieldNotFound, kLayerSource,
             "Item cannot be found in the collection corresponding to the requested name or "
             "ordinal.");
        return nullptr;
    }
    if (IsTable()) {
        try {
            EnsureTableCursor();
        } catch (const CADOException& error) {
            Fail(error.Code(), error.Source(), error.Description());
            return nullptr;
        }
        if (m_bTableAtEnd) {
            Fail(kNoCurrentRow, kLayerSource,
                 "Either BOF or EOF is True, or the current record has been deleted.");
            return nullptr;
        }
        return &m_currentRow[static_cast<std::size_t>(position)];
    }
    if (m_nPosition >= m_nRows) {
        Fail(kNoCurrentRow, kLayerSource,
             "Either BOF or EOF is True, or the current record has been deleted.");
        return nullptr;
    }
    return &m_cells[static_cast<std::size_t>(m_nPosition) * m_columns.size() +
                    static_cast<std::size_t>(position)];
}

bool CADORecordset::ReadAs(int position, const std::function<bool(const FieldValue&)>& convert) {
    const FieldValue* field = CurrentField(position);
    if (field == nullptr) {
        return false;
    }
    if (!convert(*field)) {
        return Fail(kInvalidArgument, kLayerSource, "The field's value has no such reading.");
    }
    return true;
}

bool CADORecordset::ReadField(const std::string& name, long& value) {
    return ReadField(ColumnIndex(name), value);
}
bool CADORecordset::ReadField(int position, long& value) {
    return ReadAs(position, [&](const FieldValue& field) { return FieldToLong(field, value); });
}
bool CADORecordset::ReadField(const std::string& name, int& value) {
    return ReadField(ColumnIndex(name), value);
}
bool CADORecordset::ReadField(int position, int& value) {
    return ReadAs(position, [&](const FieldValue& field) { return FieldToInt(field, value); });
}
bool CADORecordset::ReadField(int position, double& value) {
    return ReadAs(position, [&](const FieldValue& field) { return FieldToDouble(field, value); });
}
bool CADORecordset::ReadField(const std::string& name, std::string& value, const char* dateFormat) {
    return ReadField(ColumnIndex(name), value, dateFormat);
}
bool CADORecordset::ReadField(int position, std::string& value, const char* dateFormat) {
    return ReadAs(position,
                  [&](const FieldValue& field) { return FieldToText(field, value, dateFormat); });
}

CADOCommand::CADOCommand(CADODataBase& database, const std::string& commandText, int commandType)
    : m_database(database), m_strCommandText(commandText), m_nCommandType(commandType) {}

std::string CADOCommand::Statement() const {
    if (m_nCommandType == 2 || m_nCommandType == 4) {
        return "SELECT * FROM " + m_strCommandText;
    }
    return m_strCommandText;
}

bool CADOCommand::BindParameter(const std::string& name, int dataType, int direction, long size,
                                std::int32_t value) {
    // The number and text types of the desktop's data objects; the value is
    // always bound as the 32-bit integer it is.
    static constexpr int kAcceptedTypes[] = {2,  3,  4,   5,   6,   8,   14,  16,  17,  18, 19,
                                             20, 21, 129, 130, 131, 139, 200, 201, 202, 203};
    constexpr int kInput = 1;
    std::string description;
    if (std::find(std::begin(kAcceptedTypes), std::end(kAcceptedTypes), dataType) ==
        std::end(kAcceptedTypes)) {
        description = "Data type " + std::to_string(dataType) + " cannot carry an integer.";
    } else if (direction != kInput) {
        description = "Only input parameters are supported.";
    } else if (size < 0) {
        description = "A parameter size cannot be negative.";
    } else if (name.empty() || name == ":") {
        description = "A parameter needs a name.";
    }
    if (!description.empty()) {
        m_nLastError = kInvalidArgument;
        m_strLastError =
            FormatErrorBlock("CADOCommand", kInvalidArgument, kLayerSource, description);
        return false;
    }
    m_parameters.emplace_back(name.front() == ':' ? name.substr(1) : name, value);
    return true;
}

}  // namespace kavelin
