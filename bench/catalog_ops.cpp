// Speed of the catalog operations the program runs while it plays, on a
// catalog of 100,000 tracks, 10 moods and 200,000 track-mood rows.
// Prints operations per second and the 95th percentile latency of each, and
// last a line worst_p95_ms=<largest p95>.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"

using namespace kavelin;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTracks = 100000;
constexpr int kMoods = 10;

void Build(CADODataBase& db) {
    CADOTransaction transaction(db);
    for (int mood = 9; mood <= kMoods; ++mood) {
        db.ExecuteStatement("INSERT INTO tMood(Name) VALUES ('Mood " + std::to_string(mood) + "')");
    }
    std::mt19937 random(7);
    char sql[512];
    for (int track = 1; track <= kTracks; ++track) {
        std::snprintf(
            sql, sizeof sql,
            "INSERT INTO tTrack(Filename, Artist, Trackname, Album, Year, GenreID, FingerPrint, "
            "BitRate, SearchString) VALUES ('/music/artist%d/album%d/track%d.mp3', 'Artist %d', "
            "'Track %d', 'Album %d', '19%02d', %d, 'fp%08x', 192, 'TRACK%c')",
            track % 2000, track % 9000, track, track % 2000, track, track % 9000, track % 100,
            track % 148, static_cast<unsigned>(random()), 'A' + track % 26);
        db.ExecuteStatement(sql);
    }
    // Two moods per track: 200,000 rows. Rows come from plays; the listener
    // gives a verdict on 30% of them.
    int counter = 0;
    for (int track = 1; track <= kTracks; ++track) {
        for (int offset : {0, 3}) {
            const int mood = (track + offset) % kMoods + 1;
            ++counter;
            if (random() % 10 < 3) {
                std::snprintf(sql, sizeof sql,
                              "INSERT INTO tTrackMood(MoodID, TrackID, Rating, RatingType, Played, "
                              "LastPlayed, "
                              "LastCounter) VALUES (%d, %d, %d, 1, 1, Now(), %d)",
                              mood, track, 1 + static_cast<int>(random() % 4), counter);
            } else {
                std::snprintf(
                    sql, sizeof sql,
                    "INSERT INTO tTrackMood(MoodID, TrackID, Played, LastPlayed, LastCounter) "
                    "VALUES (%d, %d, 1, Now(), %d)",
                    mood, track, counter);
            }
            db.ExecuteStatement(sql);
        }
    }
    db.ExecuteStatement("UPDATE tCounter SET Counter = " + std::to_string(counter));
    transaction.Commit();
    db.ExecuteStatement("ANALYZE");
}

double Measure(const char* name, int runs, const std::function<void(int)>& operation) {
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(runs));
    const auto start = Clock::now();
    for (int i = 0; i < runs; ++i) {
        const auto before = Clock::now();
        operation(i);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - before).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    const double p95 = latencies[static_cast<std::size_t>(0.95 * (latencies.size() - 1))];
    std::printf("%-22s %9.0f ops/s   p50 %.3f ms   p95 %.3f ms\n", name, runs / seconds,
                latencies[latencies.size() / 2], p95);
    return p95;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path fresh = argc > 1 ? argv[1] : KAVELIN_FRESH_CATALOG;
    const auto directory = std::filesystem::temp_directory_path() / "kavelin-bench-catalog-ops";
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    std::filesystem::copy_file(fresh, directory / "Kavelin.mdb");

    CADODataBase db;
    if (!db.Connect("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" +
                        (directory / "Kavelin.mdb").string() + ";",
                    "", "")) {
        std::fprintf(stderr, "%s\n", db.GetLastErrorText().c_str());
        return 1;
    }
    const auto buildStart = Clock::now();
    Build(db);
    std::printf(
        "catalog: %d tracks, %d moods, %d track-mood rows, 30%% of them rated (built in %.1f s)\n",
        kTracks, kMoods, 2 * kTracks,
        std::chrono::duration<double>(Clock::now() - buildStart).count());

    std::mt19937 random(11);
    auto track = [&] { return 1 + static_cast<int>(random() % kTracks); };
    auto mood = [&] { return 1 + static_cast<int>(random() % kMoods); };
    double worst = 0;
    worst =
        std::max(worst, Measure("RecordPlay", 3000, [&](int) { RecordPlay(db, mood(), track()); }));
    worst = std::max(worst, Measure("SetRating", 3000,
                                    [&](int) { SetRating(db, mood(), track(), 1 + track() % 4); }));
    worst = std::max(worst, Measure("LoadTrack", 3000, [&](int) {
                         if (LoadTrack(db, track()).Filename.empty()) {
                             std::fprintf(stderr, "LoadTrack found nothing\n");
                         }
                     }));
    worst = std::max(worst, Measure("count all tracks", 1000, [&](int) {
                         CADORecordset rs(db);
                         rs.OpenSource("SELECT Count(*) FROM tTrack", CADORecordset::SourceAuto);
                         long n = 0;
                         rs.ReadField(0, n);
                     }));
    worst = std::max(
        worst, Measure("count rated in mood", 1000, [&](int) {
            CADORecordset rs(db);
            char sql[256];
            std::snprintf(
                sql, sizeof sql,
                "SELECT Count(*) FROM tTrack t LEFT JOIN tTrackMood tm ON t.ID = tm.TrackID "
                "WHERE MoodID=%d AND Rating IS NOT NULL",
                mood());
            rs.OpenSource(sql, CADORecordset::SourceAuto);
            long n = 0;
            rs.ReadField(0, n);
        }));
    db.Disconnect();
    std::filesystem::remove_all(directory);
    std::printf("worst_p95_ms=%.3f\n", worst);
    return 0;
}
