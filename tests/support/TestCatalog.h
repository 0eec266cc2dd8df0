#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "catalog/ADODataBase.h"
#include "catalog/PendingWrites.h"
#include "platform/messages/MessageBox.h"
#include "platform/messages/MessageTarget.h"

namespace kavelin::test {

// A temporary directory holding a copy of the freshly built catalog; removed
// with the object. Connect() opens it as the program does.
class TestCatalog {
public:
    TestCatalog();
    ~TestCatalog();

    const std::filesystem::path& Directory() const { return m_directory; }
    std::filesystem::path CatalogPath() const { return m_directory / "Kavelin.mdb"; }
    std::string ConnectionString() const;
    // A connected database on the copy.
    CADODataBase& Database();
    // The kept writes of the workers under test, journalled in the directory.
    PendingWrites& Writes();
    // Runs a query and returns its first column of the first row as text ("" when none).
    std::string Scalar(const std::string& sql);
    long ScalarLong(const std::string& sql);

private:
    std::filesystem::path m_directory;
    std::unique_ptr<CADODataBase> m_pDatabase;
    std::unique_ptr<PendingWrites> m_pWrites;
};

// Another connection to a catalog file that holds its write lock from
// construction until Release, as another program holding the catalog would.
class CatalogWriteHold {
public:
    explicit CatalogWriteHold(const std::filesystem::path& catalog);
    ~CatalogWriteHold();
    CatalogWriteHold(const CatalogWriteHold&) = delete;
    CatalogWriteHold& operator=(const CatalogWriteHold&) = delete;
    void Release();

private:
    sqlite3* m_pConnection = nullptr;
};

// Records every post, for the workers' tests.
class RecordingMessageTarget : public MessageTarget {
public:
    struct Post {
        unsigned message;
        std::intptr_t wParam;
        std::intptr_t lParam;
    };
    void PostMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override;
    void ReportProblem(const std::string& text) override;
    std::vector<Post> Posts() const;
    std::vector<std::string> Problems() const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<Post> m_posts;
    std::vector<std::string> m_problems;
};

// Records message boxes and shell opens instead of showing them; installed
// for the object's lifetime.
class RecordingMessageShell : public MessageShell {
public:
    struct Shown {
        std::string text;
        std::string title;
        MessageIcon icon;
    };
    MessageAnswer ShowMessage(const std::string& text, const std::string& title, MessageIcon icon,
                              MessageButtons buttons) override;
    bool OpenAddress(const std::string& address) override;

    std::vector<Shown> Messages() const;
    std::vector<std::string> Opened() const;
    MessageAnswer answer = MessageAnswer::Yes;  // what a Yes/No question gets

private:
    mutable std::mutex m_lock;
    std::vector<Shown> m_messages;
    std::vector<std::string> m_opened;
};

// Installs a RecordingMessageShell for its lifetime.
class ScopedMessageShell {
public:
    ScopedMessageShell();
    ~ScopedMessageShell();
    RecordingMessageShell& shell() { return *m_pShell; }

private:
    std::shared_ptr<RecordingMessageShell> m_pShell;
    std::shared_ptr<MessageShell> m_pPrevious;
};

}  // namespace kavelin::test
