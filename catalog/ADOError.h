#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kavelin {

// 32-bit result codes in the style of the desktop's HRESULTs. SQLite failures
// carry kSqliteCodeBase plus the SQLite primary result code, so that each
// primary code keeps a code of its own and a meaning from sqlite3_errstr.
inline constexpr std::uint32_t kSqliteCodeBase = 0xA0510000u;
inline constexpr std::uint32_t kInvalidPointer = 0x80004003u;  // handle never created
inline constexpr std::uint32_t kUnspecifiedError = 0x80004005u;
inline constexpr std::uint32_t kInvalidArgument = 0x80070057u;

inline constexpr std::uint32_t SqliteResultCode(int sqliteCode) {
    return kSqliteCodeBase | static_cast<std::uint32_t>(sqliteCode & 0xFF);
}

// The text that explains a result code: the SQLite message for SQLite codes,
// the well-known texts for the few generic codes the layer raises itself,
// otherwise "IDispatch error #%d" or "Unknown error 0x%0lX".
std::string CodeMeaning(std::uint32_t code);

// True for the errors after which nothing of the catalog can be used: the
// file cannot be opened, is not a database or is damaged, or the catalog is
// not connected. Any other error concerns one statement and may pass.
bool CatalogUnusable(std::uint32_t code);

// "...Error\n\tCode = %08lx\n\tCode meaning = %s\n\tSource = %s\n\tDescription = %s\n"
// with "(null)" for an empty source or description.
std::string FormatErrorBlock(const char* className, std::uint32_t code, const std::string& source,
                             const std::string& description);

// Raised by the navigation operations, which do not catch.
class CADOException : public std::runtime_error {
public:
    CADOException(std::uint32_t code, std::string source, std::string description);

    std::uint32_t Code() const { return m_nCode; }
    const std::string& Source() const { return m_strSource; }
    const std::string& Description() const { return m_strDescription; }

private:
    std::uint32_t m_nCode;
    std::string m_strSource;
    std::string m_strDescription;
};

}  // namespace kavelin
