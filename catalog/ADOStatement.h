#pragma once

#include <cstdint>
#include <string>

#include "catalog/ADODataBase.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kavelin {

// A statement of the catalog dialect prepared once on the calling thread's
// connection and run many times with values bound by position (from 1): for
// the loops of the workers, where preparing every statement anew would cost
// more than running it. Used on the thread that made it; released with the
// object, which must happen before the catalog is disconnected.
class CADOStatement {
public:
    CADOStatement(CADODataBase& database, const std::string& statement);
    ~CADOStatement();
    CADOStatement(const CADOStatement&) = delete;
    CADOStatement& operator=(const CADOStatement&) = delete;

    // False when the statement could not be prepared (the error is stored in the database).
    bool IsValid() const { return m_pStatement != nullptr; }

    // An empty text is bound as null, as rows added through a recordset store it.
    void Bind(int position, const std::string& text);
    void Bind(int position, std::int64_t value);

    // Runs the statement to its end and makes it ready for the next values.
    // False on failure, with the error stored in the database.
    bool Execute();
    // Steps to the next row: true while a row is current; false at the end or
    // on failure (then Failed() is true and the error is stored). Reset() ends
    // the reading, so that no read of the catalog stays open.
    bool Step();
    bool Failed() const { return m_bFailed; }
    // The result code of the last failure of this statement, kept after Reset().
    std::uint32_t LastError() const { return m_nLastError; }
    void Reset();
    std::string ColumnText(int column) const;  // from 0; null gives ""
    std::int64_t ColumnInteger(int column) const;

private:
    void RecordError(int rc);

    CADODataBase& m_database;
    sqlite3* m_pConnection = nullptr;
    sqlite3_stmt* m_pStatement = nullptr;
    bool m_bFailed = false;
    std::uint32_t m_nLastError = 0;
};

}  // namespace kavelin
