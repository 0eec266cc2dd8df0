#include "tests/support/TestCatalog.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <random>

#include "catalog/ADORecordset.h"

namespace kavelin::test {

TestCatalog::TestCatalog() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    do {
        m_directory = base / ("kavelin-test-" + std::to_string(random()));
    } while (std::filesystem::exists(m_directory));
    std::filesystem::create_directories(m_directory);
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, CatalogPath());
}

TestCatalog::~TestCatalog() {
    m_pWrites.reset();
    if (m_pDatabase) {
        m_pDatabase->Disconnect();
        m_pDatabase.reset();
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

std::string TestCatalog::ConnectionString() const {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + CatalogPath().string() + ";";
}

PendingWrites& TestCatalog::Writes() {
    if (!m_pWrites) {
        m_pWrites =
            std::make_unique<PendingWrites>(Database(), (m_directory / "Workers.pending").string());
    }
    return *m_pWrites;
}

CADODataBase& TestCatalog::Database() {
    if (!m_pDatabase) {
        m_pDatabase = std::make_unique<CADODataBase>();
        if (!m_pDatabase->Connect(ConnectionString(), "", "")) {
            ADD_FAILURE() << m_pDatabase->GetLastErrorText();
        }
    }
    return *m_pDatabase;
}

std::string TestCatalog::Scalar(const std::string& sql) {
    CADORecordset rs(Database());
    if (!rs.OpenSource(sql, CADORecordset::SourceQuery)) {
        ADD_FAILURE() << rs.GetLastErrorText();
        return {};
    }
    std::string value;
    if (!rs.AtEnd()) {
        rs.ReadField(0, value);
    }
    return value;
}

long TestCatalog::ScalarLong(const std::string& sql) {
    CADORecordset rs(Database());
    if (!rs.OpenSource(sql, CADORecordset::SourceQuery)) {
        ADD_FAILURE() << rs.GetLastErrorText();
        return -1;
    }
    long value = -1;
    if (!rs.AtEnd()) {
        rs.ReadField(0, value);
    }
    return value;
}

CatalogWriteHold::CatalogWriteHold(const std::filesystem::path& catalog) {
    // Waits for the program's own writers, as another program would.
    if (sqlite3_open(catalog.c_str(), &m_pConnection) != SQLITE_OK ||
        sqlite3_busy_timeout(m_pConnection, 5000) != SQLITE_OK ||
        sqlite3_exec(m_pConnection, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot hold the catalog: " << sqlite3_errmsg(m_pConnection);
    }
}

CatalogWriteHold::~CatalogWriteHold() {
    Release();
}

void CatalogWriteHold::Release() {
    if (m_pConnection != nullptr) {
        sqlite3_exec(m_pConnection, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(m_pConnection);
        m_pConnection = nullptr;
    }
}

void RecordingMessageTarget::PostMessage(unsigned message, std::intptr_t wParam,
                                         std::intptr_t lParam) {
    std::lock_guard lock(m_lock);
    m_posts.push_back({message, wParam, lParam});
}

void RecordingMessageTarget::ReportProblem(const std::string& text) {
    std::lock_guard lock(m_lock);
    m_problems.push_back(text);
}

std::vector<std::string> RecordingMessageTarget::Problems() const {
    std::lock_guard lock(m_lock);
    return m_problems;
}

std::vector<RecordingMessageTarget::Post> RecordingMessageTarget::Posts() const {
    std::lock_guard lock(m_lock);
    return m_posts;
}

void RecordingMessageTarget::Clear() {
    std::lock_guard lock(m_lock);
    m_posts.clear();
    m_problems.clear();
}

MessageAnswer RecordingMessageShell::ShowMessage(const std::string& text, const std::string& title,
                                                 MessageIcon icon, MessageButtons buttons) {
    std::lock_guard lock(m_lock);
    m_messages.push_back({text, title, icon});
    return buttons == MessageButtons::YesNo ? answer : MessageAnswer::Ok;
}

bool RecordingMessageShell::OpenAddress(const std::string& address) {
    std::lock_guard lock(m_lock);
    m_opened.push_back(address);
    return true;
}

std::vector<RecordingMessageShell::Shown> RecordingMessageShell::Messages() const {
    std::lock_guard lock(m_lock);
    return m_messages;
}

std::vector<std::string> RecordingMessageShell::Opened() const {
    std::lock_guard lock(m_lock);
    return m_opened;
}

ScopedMessageShell::ScopedMessageShell()
    : m_pShell(std::make_shared<RecordingMessageShell>()),
      m_pPrevious(InstallMessageShell(m_pShell)) {}

ScopedMessageShell::~ScopedMessageShell() {
    InstallMessageShell(m_pPrevious);
}

}  // namespace kavelin::test
