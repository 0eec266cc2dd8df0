#include "catalog/CatalogUpgrade.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>

#include "catalog/NameKeys.h"
#include "platform/text/NameCollator.h"

namespace kavelin {
namespace {

constexpr int kFirstCatalogVersion = 1;

int LatestVersion(std::span<const CatalogUpgradeStep> steps) {
    return steps.empty() ? kFirstCatalogVersion : steps.back().version;
}

bool ReadUserVersion(sqlite3* connection, int& version) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, "PRAGMA user_version", -1, &statement, nullptr) !=
        SQLITE_OK) {
        return false;
    }
    const bool ok = sqlite3_step(statement) == SQLITE_ROW;
    if (ok) {
        version = sqlite3_column_int(statement, 0);
    }
    sqlite3_finalize(statement);
    return ok;
}

// The stored queries whose text in the catalog differs from the build's own.
bool OutdatedQueries(sqlite3* connection, std::span<const StoredQuerySource> queries,
                     std::map<std::string, std::string>& outdated) {
    std::map<std::string, std::string> stored;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, "SELECT Name, SQL FROM tStoredQuery", -1, &statement,
                           nullptr) != SQLITE_OK) {
        return false;
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        const auto* name = sqlite3_column_text(statement, 0);
        const auto* sql = sqlite3_column_text(statement, 1);
        if (name != nullptr) {
            stored[reinterpret_cast<const char*>(name)] =
                sql ? reinterpret_cast<const char*>(sql) : "";
        }
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE) {
        return false;
    }
    for (const auto& query : queries) {
        const auto found = stored.find(query.name);
        if (found == stored.end() || found->second != query.sql) {
            outdated[query.name] = query.sql;
        }
    }
    return true;
}

bool Execute(sqlite3* connection, const std::string& sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : sqlite3_errmsg(connection);
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool StoreQueries(sqlite3* connection, const std::map<std::string, std::string>& queries,
                  std::string& error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection,
                           "INSERT OR REPLACE INTO tStoredQuery (Name, SQL) VALUES (?, ?)", -1,
                           &statement, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(connection);
        return false;
    }
    bool ok = true;
    for (const auto& [name, sql] : queries) {
        sqlite3_bind_text(statement, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 2, sql.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(statement) != SQLITE_DONE) {
            error = sqlite3_errmsg(connection);
            ok = false;
            break;
        }
        sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    return ok;
}

}  // namespace

int CurrentCatalogVersion() {
    return LatestVersion(BuiltInUpgradeSteps());
}

CatalogUpgradeResult UpgradeCatalog(sqlite3* connection) {
    return UpgradeCatalog(connection, BuiltInUpgradeSteps(), BuiltInStoredQueries());
}

CatalogUpgradeResult UpgradeCatalog(sqlite3* connection, std::span<const CatalogUpgradeStep> steps,
                                    std::span<const StoredQuerySource> queries) {
    CatalogUpgradeResult result;
    const int latest = LatestVersion(steps);
    if (!ReadUserVersion(connection, result.fromVersion)) {
        result.ok = false;
        result.error = std::string("Its version cannot be read: ") + sqlite3_errmsg(connection);
        return result;
    }
    result.toVersion = result.fromVersion;
    if (result.fromVersion > latest) {
        // Its tables may mean things this build does not know; writing to it
        // could spoil them for the build that made it.
        result.ok = false;
        result.error = "It was made by a newer version of Kavelin (catalog version " +
                       std::to_string(result.fromVersion) + "; this version reads up to " +
                       std::to_string(latest) + "). Please use the newer Kavelin.";
        return result;
    }

    if (result.fromVersion == latest) {
        return result;
    }

    std::string error;
    const auto fail = [&](const std::string& what) {
        sqlite3_exec(connection, "ROLLBACK", nullptr, nullptr, nullptr);
        result.ok = false;
        result.toVersion = result.fromVersion;
        result.error = what + ": " + error + ". The file was left as it was.";
        return result;
    };
    // Steps make the artist keys with the program's name functions.
    RegisterNameFunctions(connection, UserCollationLocale());
    if (!Execute(connection, "BEGIN IMMEDIATE", error)) {
        result.ok = false;
        result.error =
            "It could not be locked for the upgrade: " + error + ". The file was left as it was.";
        return result;
    }
    // Read again under the lock: another process may have upgraded it meanwhile.
    int version = 0;
    if (!ReadUserVersion(connection, version)) {
        error = sqlite3_errmsg(connection);
        return fail("Its version cannot be read");
    }
    if (version > latest) {
        error = "a newer version of Kavelin upgraded it meanwhile";
        return fail("It cannot be used by this version");
    }
    for (const auto& step : steps) {
        if (step.version <= version) {
            continue;
        }
        if (!Execute(connection, step.sql, error) ||
            !Execute(connection, "PRAGMA user_version = " + std::to_string(step.version), error)) {
            return fail(std::string("The upgrade step '") + step.name + "' failed");
        }
    }
    std::map<std::string, std::string> outdated;
    if (!OutdatedQueries(connection, queries, outdated)) {
        error = sqlite3_errmsg(connection);
        return fail("The stored queries cannot be read");
    }
    if (!StoreQueries(connection, outdated, error)) {
        return fail("The stored queries cannot be written");
    }
    if (!Execute(connection, "COMMIT", error)) {
        return fail("The upgrade could not be saved");
    }
    result.toVersion = std::max(version, latest);
    return result;
}

}  // namespace kavelin
