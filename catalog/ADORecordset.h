#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalog/ADODataBase.h"
#include "catalog/FieldValue.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kavelin {

class CADOCommand;

// A short-lived result set on the calling thread's connection: a statement's
// rows read into memory when opened (query modes), or a table opened by name,
// read lazily, to which rows can be added (table mode). Lives on the stack of
// one operation.
class CADORecordset {
public:
    enum OpenMode { SourceAuto = 0, SourceQuery = 1, SourceTable = 2 };
    enum EditState { EditNone = 0, EditAdding = 1 };

    explicit CADORecordset(CADODataBase& database);
    ~CADORecordset();
    CADORecordset(const CADORecordset&) = delete;
    CADORecordset& operator=(const CADORecordset&) = delete;

    // These catch: false plus the stored error text on failure.
    bool OpenSource(const std::string& source, int mode);
    bool RunCommand(CADOCommand& command);
    bool BeginNewRow();
    bool WriteField(const std::string& name, const std::string& value);
    bool WriteField(const std::string& name, std::int32_t value);
    bool WriteField(int position, const std::string& value);
    bool WriteField(int position, std::int16_t value);
    bool SaveRow();
    bool ReadField(const std::string& name, long& value);
    bool ReadField(int position, long& value);
    bool ReadField(const std::string& name, int& value);
    bool ReadField(int position, int& value);
    bool ReadField(int position, double& value);
    bool ReadField(const std::string& name, std::string& value, const char* dateFormat = nullptr);
    bool ReadField(int position, std::string& value, const char* dateFormat = nullptr);

    // These raise CADOException, as navigation on the desktop's data objects did.
    void CloseSource();
    bool IsOpen() const;
    long CountRows();
    bool AtEnd();
    void MoveNext();
    void MoveLast();
    void MoveToPosition(long row);  // 1-based
    // Makes the first row that meets the criterion ("ID=5", "FingerPrint='x'")
    // current. In table mode the criterion runs as a WHERE clause, so an index
    // answers it instead of a walk over the table.
    bool SeekFirstMatch(const std::string& criterion);

    int GetEditState() const { return m_nEditState; }
    const std::string& GetSource() const { return m_strSource; }
    std::string GetLastErrorText() const { return m_strLastError; }
    std::uint32_t GetLastError() const { return m_nLastError; }

private:
    struct Column {
        std::string name;
        FieldKind declaredKind;
    };

    bool Fail(std::uint32_t code, const std::string& source, const std::string& description);
    bool FailFromConnection(sqlite3* connection, int rc);
    [[noreturn]] void Raise(std::uint32_t code, const std::string& description) const;
    sqlite3* Connection(bool raise);
    void RequireOpen() const;
    bool IsTable() const;
    bool OpenQuery(const std::string& sql,
                   const std::vector<std::pair<std::string, std::int32_t>>& parameters);
    bool OpenTable();
    void ReadColumns(sqlite3_stmt* statement, bool forTable);
    void EnsureTableCursor();
    void StepTableCursor();
    void RestartTableAt(std::int64_t rowId);
    std::int64_t TableRowId(const std::string& tail);
    void DropCursor();
    const FieldValue* CurrentField(int position);
    bool ReadAs(int position, const std::function<bool(const FieldValue&)>& convert);
    int ColumnIndex(const std::string& name) const;
    bool WritePending(int position, FieldValue value);

    CADODataBase& m_database;
    std::string m_strSource;
    std::string m_strTable;  // table mode: the table's name
    int m_nMode = SourceAuto;
    bool m_bOpen = false;
    int m_nEditState = EditNone;
    std::vector<Column> m_columns;

    // Query modes: every row, column after column.
    std::vector<FieldValue> m_cells;
    long m_nRows = 0;
    long m_nPosition = 0;  // 0-based index of the current row; m_nRows when past the end

    // Table mode: a cursor over the rows from m_nTableStartRowId on, started lazily.
    sqlite3_stmt* m_pCursor = nullptr;
    bool m_bTableStarted = false;
    bool m_bTableAtEnd = true;
    std::int64_t m_nTableStartRowId = 0;
    std::vector<FieldValue> m_currentRow;

    // The row being added between BeginNewRow and SaveRow.
    std::vector<FieldValue> m_pendingRow;
    std::vector<bool> m_pendingSet;

    std::string m_strLastError;
    std::uint32_t m_nLastError = 0;
};

// A command with named input parameters, used to run stored queries such as
// qCounter. Command type 1 is statement text, 2 a table name, 4 a stored query name.
class CADOCommand {
public:
    CADOCommand(CADODataBase& database, const std::string& commandText, int commandType);

    // Binds `name` (with or without the leading ':') to a 32-bit integer value.
    // Accepts the desktop's data type codes for numbers and text and the input
    // direction (1); other codes make no sense for the catalog and give false.
    bool BindParameter(const std::string& name, int dataType, int direction, long size,
                       std::int32_t value);

    CADODataBase& Database() const { return m_database; }
    // The statement that runs: the text itself, or a SELECT over the named table/query.
    std::string Statement() const;
    int CommandType() const { return m_nCommandType; }
    const std::vector<std::pair<std::string, std::int32_t>>& Parameters() const {
        return m_parameters;
    }
    std::string GetLastErrorText() const { return m_strLastError; }
    std::uint32_t GetLastError() const { return m_nLastError; }

private:
    CADODataBase& m_database;
    std::string m_strCommandText;
    int m_nCommandType;
    std::vector<std::pair<std::string, std::int32_t>> m_parameters;
    std::string m_strLastError;
    std::uint32_t m_nLastError = 0;
};

}  // namespace kavelin
