#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "catalog/ADOError.h"

struct sqlite3;

namespace kavelin {

// The one connection to the catalog, shared by every thread of the program.
// Each thread gets its own SQLite connection to the catalog file, opened on the
// thread's first use: SQLite transactions belong to a connection, and threads
// sharing one handle would capture each other's statements in their
// transactions. Statements are written in the catalog's SQL dialect and
// translated before they are prepared.
class CADODataBase {
public:
    CADODataBase();
    ~CADODataBase();
    CADODataBase(const CADODataBase&) = delete;
    CADODataBase& operator=(const CADODataBase&) = delete;

    // "Provider=...;Data Source=Kavelin.mdb;" — the data source names the file.
    // An empty string reuses the last one given. True on plain success.
    bool Connect(const std::string& connectionString, const std::string& user,
                 const std::string& password);
    // Closes every thread's connection. Raises nothing it does not have to.
    void Disconnect();
    bool IsConnected() const;
    // True when the catalog can only be read: SQLite opened the file read-only
    // because the file or the file system holding it refuses writes.
    bool IsReadOnly();

    // Runs a statement that returns no rows. False (with the error stored) on failure.
    bool ExecuteStatement(const std::string& statement);
    // The same, giving the result code of the failure (0 on success): the
    // stored last error may be another thread's by the time it is read.
    std::uint32_t Execute(const std::string& statement);

    std::string GetLastErrorText() const;
    std::uint32_t GetLastError() const;

    // The calling thread's SQLite connection, opened on first use; nullptr when
    // the catalog is not connected or the file cannot be opened (the reason is
    // then in `code` and `description`).
    sqlite3* ThreadConnection(std::uint32_t& code, std::string& description);

    // How many times a thread has begun to wait for the write lock: the
    // scanner ends its transaction early when this changes.
    std::uint64_t WriteWaitsBegun();
    // Wakes the threads waiting for the write lock; called when a transaction ends.
    void WriteLockReleased();

    // Turns a statement of the catalog dialect into SQLite's, cached per text.
    std::string Translate(const std::string& statement);

    // Used by the layer's own classes to record a failure of this object.
    void SetError(std::uint32_t code, const std::string& source, const std::string& description);

private:
    struct Shared;

    std::unique_ptr<Shared> m_pShared;  // the connections, stored queries and translations
    std::string m_strConnection;
    mutable std::mutex m_errorLock;
    std::string m_strLastError;
    std::uint32_t m_nLastError = 0;
};

// Several statements that must go together, as one SQLite transaction on the
// calling thread's connection (BEGIN IMMEDIATE, so a writer on another thread
// makes it wait rather than fail). Rolls back unless committed.
class CADOTransaction {
public:
    explicit CADOTransaction(CADODataBase& database);
    ~CADOTransaction();
    CADOTransaction(const CADOTransaction&) = delete;
    CADOTransaction& operator=(const CADOTransaction&) = delete;

    bool IsActive() const { return m_pConnection != nullptr; }
    bool Commit();
    // The result code of a failed start or commit.
    std::uint32_t LastError() const { return m_nLastError; }

private:
    CADODataBase& m_database;
    sqlite3* m_pConnection = nullptr;
    bool m_bOwner = false;  // false when it joined a transaction already open on this thread
    std::uint32_t m_nLastError = 0;
};

// Reads that go together, as one read transaction on the calling thread's
// connection: one view of the catalog and one shared lock for many small
// queries, where each would otherwise take and release its own. Never makes a
// writer wait. Does nothing inside a transaction that is already open.
class CADOReadTransaction {
public:
    explicit CADOReadTransaction(CADODataBase& database);
    ~CADOReadTransaction();
    CADOReadTransaction(const CADOReadTransaction&) = delete;
    CADOReadTransaction& operator=(const CADOReadTransaction&) = delete;

private:
    sqlite3* m_pConnection = nullptr;  // set when this object began the transaction
};

}  // namespace kavelin
