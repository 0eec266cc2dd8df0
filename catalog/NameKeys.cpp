#include "catalog/NameKeys.h"

#include <sqlite3.h>

#include <string_view>

#include "platform/text/NameCollator.h"
#include "platform/text/UnicodeText.h"

namespace kavelin {
namespace {

std::string_view TextArgument(sqlite3_value* value) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return {text ? text : "", static_cast<std::size_t>(sqlite3_value_bytes(value))};
}

void FoldCaseFunction(sqlite3_context* context, int, sqlite3_value** values) {
    if (sqlite3_value_type(values[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const std::string folded = FoldCase(TextArgument(values[0]));
    sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

void NameOrderFunction(sqlite3_context* context, int, sqlite3_value** values) {
    const std::string_view name =
        sqlite3_value_type(values[0]) == SQLITE_NULL ? std::string_view() : TextArgument(values[0]);
    if (name.empty()) {
        sqlite3_result_null(context);  // listed with the tracks without an artist
        return;
    }
    const auto* collator = static_cast<const NameCollator*>(sqlite3_user_data(context));
    const std::string key = collator->SortKey(name);
    sqlite3_result_blob(context, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
}

bool HasArtistKeys(sqlite3* connection) {
    sqlite3_stmt* statement = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(connection,
                           "SELECT 1 FROM pragma_table_info('tTrack') WHERE name='ArtistOrder'", -1,
                           &statement, nullptr) == SQLITE_OK) {
        found = sqlite3_step(statement) == SQLITE_ROW;
    }
    sqlite3_finalize(statement);
    return found;
}

// The first column of the first row, or "" when there is none.
std::string ReadText(sqlite3* connection, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    std::string text;
    if (sqlite3_prepare_v2(connection, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        if (const auto* value = sqlite3_column_text(statement, 0)) {
            text = reinterpret_cast<const char*>(value);
        }
    }
    sqlite3_finalize(statement);
    return text;
}

constexpr const char* kSetArtistKeys =
    "UPDATE tTrack SET ArtistKey = FoldCase(NEW.Artist), ArtistOrder = NameOrder(NEW.Artist) "
    "WHERE ID = NEW.ID; END;";
constexpr const char* kKeysDiffer =
    "WHEN NEW.ArtistKey IS NOT FoldCase(NEW.Artist) "
    "OR NEW.ArtistOrder IS NOT NameOrder(NEW.Artist) BEGIN ";

}  // namespace

bool RegisterNameFunctions(sqlite3* connection, const std::string& locale) {
    // The connection owns the collator from here on, even when this fails.
    const bool order =
        sqlite3_create_function_v2(connection, "NameOrder", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                   new NameCollator(locale), NameOrderFunction, nullptr, nullptr,
                                   [](void* owned) { delete static_cast<NameCollator*>(owned); }) ==
        SQLITE_OK;
    const bool fold = sqlite3_create_function_v2(
                          connection, "FoldCase", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                          FoldCaseFunction, nullptr, nullptr, nullptr) == SQLITE_OK;
    return order && fold;
}

void KeepArtistKeys(sqlite3* connection) {
    if (!HasArtistKeys(connection)) {
        return;  // a catalog before its upgrade
    }
    const std::string triggers =
        std::string(
            "CREATE TEMP TRIGGER IF NOT EXISTS trTrackArtistKeysAdded AFTER INSERT ON "
            "main.tTrack ") +
        kKeysDiffer + kSetArtistKeys +
        "CREATE TEMP TRIGGER IF NOT EXISTS trTrackArtistKeysRenamed AFTER UPDATE OF Artist ON "
        "main.tTrack " +
        kKeysDiffer + kSetArtistKeys;
    sqlite3_exec(connection, triggers.c_str(), nullptr, nullptr, nullptr);
}

void RefreshArtistKeys(sqlite3* connection, const std::string& locale) {
    if (!HasArtistKeys(connection)) {
        return;
    }
    const std::string identity = NameCollator(locale).Identity();
    const bool newLanguage = ReadText(connection, "SELECT Collation FROM tNameOrder") != identity;
    // Read first, so that a start with nothing to fill takes no write lock.
    if (!newLanguage &&
        ReadText(connection,
                 "SELECT 1 WHERE EXISTS (SELECT 1 FROM tTrack WHERE ArtistKey IS NULL AND "
                 "Artist IS NOT NULL) OR EXISTS (SELECT 1 FROM tTrack WHERE ArtistOrder IS NULL "
                 "AND Artist <> '')")
            .empty()) {
        return;
    }
    sqlite3_stmt* remember = nullptr;
    bool ok = sqlite3_exec(connection, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok && newLanguage) {
        ok = sqlite3_exec(connection,
                          "UPDATE tTrack SET ArtistOrder = NameOrder(Artist);"
                          "DELETE FROM tNameOrder;",
                          nullptr, nullptr, nullptr) == SQLITE_OK &&
             sqlite3_prepare_v2(connection, "INSERT INTO tNameOrder (Collation) VALUES (?)", -1,
                                &remember, nullptr) == SQLITE_OK &&
             sqlite3_bind_text(remember, 1, identity.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
             sqlite3_step(remember) == SQLITE_DONE;
    }
    sqlite3_finalize(remember);
    ok = ok && sqlite3_exec(connection,
                            "UPDATE tTrack SET ArtistKey = FoldCase(Artist) "
                            "WHERE ArtistKey IS NULL AND Artist IS NOT NULL;"
                            "UPDATE tTrack SET ArtistOrder = NameOrder(Artist) "
                            "WHERE ArtistOrder IS NULL AND Artist <> '';"
                            "COMMIT",
                            nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
        // Held by another program or read-only: the keys are made at a later start.
        sqlite3_exec(connection, "ROLLBACK", nullptr, nullptr, nullptr);
    } else if (!ReadText(connection, "SELECT 1 FROM sqlite_master WHERE name='sqlite_stat1'")
                    .empty()) {
        // Statistics taken while the keys were empty would steer look-ups by
        // key away from their index.
        sqlite3_exec(connection, "ANALYZE tTrack", nullptr, nullptr, nullptr);
    }
}

}  // namespace kavelin
