// Build step: produces the fresh catalog that ships with the program from the
// SQL files of resources/catalog. A file whose name starts with "q" holds a
// stored query of that name; the others run as they are, in the order given. A
// file of the folder "upgrade" is the step to the version its name starts with
// ("002-what.sql"), and sets the catalog's version when it has run.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "catalog/NameKeys.h"

namespace {

bool Run(sqlite3* db, const std::string& sql, const std::string& what) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::fprintf(stderr, "make_catalog: %s: %s\n", what.c_str(), message ? message : "?");
        sqlite3_free(message);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_catalog OUTPUT.mdb FILE.sql...\n");
        return 2;
    }
    const std::filesystem::path output = argv[1];
    const std::filesystem::path building = output.string() + ".building";
    std::filesystem::remove(building);

    sqlite3* db = nullptr;
    if (sqlite3_open(building.c_str(), &db) != SQLITE_OK) {
        std::fprintf(stderr, "make_catalog: cannot create %s\n", building.c_str());
        return 1;
    }
    // The fresh catalog's names are ordered in the language of its first user, at its first start.
    bool ok = kavelin::RegisterNameFunctions(db, "") && Run(db, "BEGIN", "begin");
    for (int i = 2; ok && i < argc; ++i) {
        const std::filesystem::path file = argv[i];
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) {
            std::fprintf(stderr, "make_catalog: cannot read %s\n", file.c_str());
            ok = false;
            break;
        }
        const std::string name = file.stem().string();
        if (name.starts_with("q")) {
            sqlite3_stmt* insert = nullptr;
            sqlite3_prepare_v2(db, "INSERT INTO tStoredQuery (Name, SQL) VALUES (?, ?)", -1,
                               &insert, nullptr);
            const std::string sql = text.str();
            sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 2, sql.c_str(), -1, SQLITE_TRANSIENT);
            ok = sqlite3_step(insert) == SQLITE_DONE;
            sqlite3_finalize(insert);
            if (!ok) {
                std::fprintf(stderr, "make_catalog: %s: %s\n", file.c_str(), sqlite3_errmsg(db));
            }
        } else {
            ok = Run(db, text.str(), file.string());
            if (ok && file.parent_path().filename() == "upgrade") {
                const int version = std::atoi(name.c_str());
                ok = version > 1 &&
                     Run(db, "PRAGMA user_version = " + std::to_string(version), file.string());
            }
        }
    }
    ok = ok && Run(db, "COMMIT", "commit") && Run(db, "PRAGMA journal_mode=WAL", "wal") &&
         Run(db, "VACUUM", "vacuum");
    sqlite3_close(db);
    if (!ok) {
        std::filesystem::remove(building);
        return 1;
    }
    std::filesystem::rename(building, output);
    return 0;
}
