#pragma once

#include <span>
#include <string>

struct sqlite3;

namespace kavelin {

// One schema change: the SQL that brings a catalog of version `version - 1` to `version`.
struct CatalogUpgradeStep {
    int version;
    const char* name;
    const char* sql;
};

// A stored query as this build ships it.
struct StoredQuerySource {
    const char* name;
    const char* sql;
};

// What this build ships, made from resources/catalog at build time.
std::span<const CatalogUpgradeStep> BuiltInUpgradeSteps();
std::span<const StoredQuerySource> BuiltInStoredQueries();

// The catalog's version that this build reads and writes.
int CurrentCatalogVersion();

struct CatalogUpgradeResult {
    bool ok = true;
    int fromVersion = 0;  // PRAGMA user_version as found
    int toVersion = 0;    // as left
    std::string error;    // why it failed, for the user
};

// Brings the catalog open on `connection` up to the newest of `steps` and then
// replaces the stored queries whose text differs from `queries`, all in one
// transaction: when anything fails, nothing of it is written. A catalog that is
// up to date is only read, so a stored query changed by hand stays as it is
// until the next upgrade. A catalog made by a newer build is refused and left
// alone.
CatalogUpgradeResult UpgradeCatalog(sqlite3* connection, std::span<const CatalogUpgradeStep> steps,
                                    std::span<const StoredQuerySource> queries);
CatalogUpgradeResult UpgradeCatalog(sqlite3* connection);

}  // namespace kavelin
