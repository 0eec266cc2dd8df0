#include "bench/BenchCatalog.h"

#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

#include "engine/TrackPlayer.h"

namespace kavelin::bench {
namespace {

void Check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
    }
}

}  // namespace

BenchCatalog::BenchCatalog(const std::vector<GeneratedTrack>& tracks) {
    std::random_device random;
    std::error_code noShm;
    const auto base = std::filesystem::is_directory("/dev/shm", noShm)
                          ? std::filesystem::path("/dev/shm")
                          : std::filesystem::temp_directory_path();
    do {
        m_directory = base / ("kavelin-bench-" + std::to_string(random()));
    } while (std::filesystem::exists(m_directory));
    std::filesystem::create_directories(m_directory / "music");
    const auto catalog = m_directory / "Kavelin.mdb";
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, catalog);

    sqlite3* db = nullptr;
    Check(sqlite3_open(catalog.c_str(), &db), db, "open");
    Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(db,
                             "INSERT INTO tTrack (ID, Filename, Artist, Trackname, GenreID) "
                             "VALUES (?, ?, ?, ?, ?)",
                             -1, &insert, nullptr),
          db, "prepare");
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const int id = static_cast<int>(i) + 1;
        const auto file = m_directory / "music" / ("track" + std::to_string(id) + ".mp3");
        std::ofstream{file};
        const std::string path = file.string();
        const std::string artist = "Artist " + std::to_string(tracks[i].artist);
        const std::string title = "Track " + std::to_string(id);
        sqlite3_bind_int(insert, 1, id);
        sqlite3_bind_text(insert, 2, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, artist.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 4, title.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 5, tracks[i].genre);
        Check(sqlite3_step(insert), db, "insert");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);

    m_pDatabase = std::make_unique<CADODataBase>();
    if (!m_pDatabase->Connect(
            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + catalog.string() + ";", "", "")) {
        throw std::runtime_error(m_pDatabase->GetLastErrorText());
    }
    m_pWrites =
        std::make_unique<PendingWrites>(*m_pDatabase, (m_directory / "Kavelin.pending").string());
}

BenchCatalog::~BenchCatalog() {
    m_pWrites.reset();
    m_pDatabase->Disconnect();
    m_pDatabase.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

void BenchCatalog::RunDirect(const std::string& sql) {
    m_pDatabase->Disconnect();
    sqlite3* db = nullptr;
    const auto catalog = m_directory / "Kavelin.mdb";
    Check(sqlite3_open(catalog.c_str(), &db), db, "open");
    sqlite3_busy_timeout(db, 5000);
    char* error = nullptr;
    if (sqlite3_exec(db, ("BEGIN;" + sql + ";COMMIT;").c_str(), nullptr, nullptr, &error) !=
        SQLITE_OK) {
        const std::string text = error ? error : "unknown error";
        sqlite3_free(error);
        sqlite3_close(db);
        throw std::runtime_error(text);
    }
    sqlite3_close(db);
    if (!m_pDatabase->Connect("", "", "")) {
        throw std::runtime_error(m_pDatabase->GetLastErrorText());
    }
}

void BenchCatalog::SetCounterQuery(const std::string& sql) {
    std::string quoted;
    for (const char c : sql) {
        quoted += c;
        if (c == '\'') {
            quoted += '\'';
        }
    }
    RunDirect("UPDATE tStoredQuery SET SQL='" + quoted + "' WHERE Name='qCounter'");
}

void CountingWindow::PostMessage(unsigned message, std::intptr_t, std::intptr_t) {
    if (message == kMessagePlayTrack) {
        ++playRequests;
    }
}

}  // namespace kavelin::bench
