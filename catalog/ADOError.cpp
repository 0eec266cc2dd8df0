#include "catalog/ADOError.h"

#include <sqlite3.h>

#include <cstdio>

namespace kavelin {

std::string CodeMeaning(std::uint32_t code) {
    if ((code & 0xFFFF0000u) == kSqliteCodeBase) {
        return sqlite3_errstr(static_cast<int>(code & 0xFFu));
    }
    switch (code) {
        case kInvalidPointer:
            return "Invalid pointer";
        case kUnspecifiedError:
            return "Unspecified error";
        case kInvalidArgument:
            return "The parameter is incorrect.";
        default:
            break;
    }
    char text[64];
    if (code >= 0x80040201u && code <= 0x8004FFFFu) {
        std::snprintf(text, sizeof text, "IDispatch error #%d",
                      static_cast<int>(code - 0x80040200u));
    } else {
        std::snprintf(text, sizeof text, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
    }
    return text;
}

bool CatalogUnusable(std::uint32_t code) {
    return code == SqliteResultCode(SQLITE_CANTOPEN) || code == SqliteResultCode(SQLITE_NOTADB) ||
           code == SqliteResultCode(SQLITE_CORRUPT) || code == kInvalidPointer;
}

std::string FormatErrorBlock(const char* className, std::uint32_t code, const std::string& source,
                             const std::string& description) {
    const std::string meaning = CodeMeaning(code);
    const char* sourceText = source.empty() ? "(null)" : source.c_str();
    const char* descriptionText = description.empty() ? "(null)" : description.c_str();
    const int length = std::snprintf(
        nullptr, 0,
        "%s Error\n\tCode = %08lx\n\tCode meaning = %s\n\tSource = %s\n\tDescription = %s\n",
        className, static_cast<unsigned long>(code), meaning.c_str(), sourceText, descriptionText);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(
        text.data(), text.size(),
        "%s Error\n\tCode = %08lx\n\tCode meaning = %s\n\tSource = %s\n\tDescription = %s\n",
        className, static_cast<unsigned long>(code), meaning.c_str(), sourceText, descriptionText);
    text.pop_back();
    return text;
}

CADOException::CADOException(std::uint32_t code, std::string source, std::string description)
    : std::runtime_error(description.empty() ? CodeMeaning(code) : description),
      m_nCode(code),
      m_strSource(std::move(source)),
      m_strDescription(std::move(description)) {}

}  // namespace kavelin
