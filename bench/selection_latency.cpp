// Times whole SelectNextTrack calls on a large catalog: 100,000 tracks (or
// --tracks N), 10 moods and two track-mood rows per track, artists of ten
// tracks each. Rows come from plays and ratings, and a
// listener rates about a third of the plays: 30 % of the rows are rated (3 %
// excluded), 80 % were played. Half of the selections run the shipped qCounter, half an empty one,
// so that the unrated fallback chooses. Each chosen track is recorded as
// played, as the main window does, outside the timed call.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench/BenchCatalog.h"
#include "catalog/CatalogOperations.h"
#include "engine/TrackPlayer.h"

namespace kavelin::bench {
namespace {

constexpr int kGenres = 30;
constexpr int kMoods = 10;
constexpr int kSelectionsPerKind = 300;

// The thread's processor time: on a busy machine the wall clock also counts
// the time other programs had the processor.
double ThreadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

std::string TrackMoodRows(std::mt19937_64& rng, int tracks) {
    const int rows = 2 * tracks;
    const int playedBefore = 3 * tracks / 2;  // the play counter at the start
    std::uniform_int_distribution<int> anyTrack(1, tracks);
    std::uniform_int_distribution<int> anyMood(1, kMoods);
    std::uniform_int_distribution<int> anyCounter(1, playedBefore);
    std::uniform_int_distribution<int> percent(0, 99);
    std::set<std::pair<int, int>> pairs;
    std::string sql;
    while (static_cast<int>(pairs.size()) < rows) {
        const int track = anyTrack(rng);
        const int mood = anyMood(rng);
        if (!pairs.insert({mood, track}).second) {
            continue;
        }
        const int kind = percent(rng);
        const std::string rating = kind < 70   ? "NULL"
                                   : kind < 73 ? "-1"
                                               : std::to_string(1 + (kind - 73) % 4);
        const bool played = percent(rng) < 80;
        sql +=
            "INSERT INTO tTrackMood (MoodID, TrackID, Rating, RatingType, Played, LastPlayed, "
            "LastCounter) VALUES (" +
            std::to_string(mood) + "," + std::to_string(track) + "," + rating + "," +
            (rating == "NULL" ? "NULL" : "1") + "," + (played ? "1" : "0") + "," +
            (played ? "'2024-01-01 10:00:00'" : "NULL") + "," +
            (played ? std::to_string(anyCounter(rng)) : "NULL") + ");";
    }
    return sql;
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[index];
}

}  // namespace
}  // namespace kavelin::bench

int main(int argc, char** argv) {
    using namespace kavelin;
    using namespace kavelin::bench;
    int trackCount = 100000;
    if (argc == 3 && std::strcmp(argv[1], "--tracks") == 0) {
        trackCount = std::atoi(argv[2]);
    }
    if (argc != 1 && (argc != 3 || trackCount < 1000)) {
        std::fprintf(stderr, "usage: selection_latency [--tracks N (at least 1000)]\n");
        return 2;
    }
    std::mt19937_64 rng(42);
    std::uniform_int_distribution<int> anyArtist(0, trackCount / 10 - 1);
    std::uniform_int_distribution<int> anyGenre(0, kGenres - 1);
    std::vector<GeneratedTrack> tracks(trackCount);
    for (auto& track : tracks) {
        track.artist = anyArtist(rng);
        track.genre = anyGenre(rng);
    }
    BenchCatalog catalog(tracks);
    catalog.RunDirect("INSERT INTO tMood (Name) VALUES ('Mood 9'), ('Mood 10');" +
                      TrackMoodRows(rng, trackCount) +
                      "UPDATE tCounter SET Counter = " + std::to_string(3 * trackCount / 2));
    CADODataBase& db = catalog.Database();
    SeedSelectionRandom(7);

    std::vector<double> counterChoices;
    std::vector<double> fallbackChoices;
    std::vector<double> processorTimes;
    auto measure = [&](bool forceFallback) {
        CountingWindow window;
        TrackPlayer player(db, catalog.Writes(),
                           [](int) { return std::make_unique<InstantPlayer>(); });
        player.SetMessageTarget(&window);
        player.CreatePlayer();
        for (int i = 0; i < kSelectionsPerKind; ++i) {
            const int mood = 1 + i % kMoods;
            player.m_nMoodID = mood;
            const int before = window.playRequests;
            const auto started = std::chrono::steady_clock::now();
            const double processorStart = ThreadMilliseconds();
            player.SelectNextTrack();
            const double processor = ThreadMilliseconds() - processorStart;
            const double ms = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - started)
                                  .count();
            if (window.playRequests == before) {
                continue;  // nothing chosen: not a selection of either kind
            }
            (player.m_bFromCounter && !forceFallback ? counterChoices : fallbackChoices)
                .push_back(ms);
            processorTimes.push_back(processor);
            RecordPlay(db, mood, player.GetCurrentTrack().ID);
        }
    };
    measure(false);
    catalog.SetCounterQuery(
        "SELECT ID, Filename, 0 AS RatingValue, 0 AS A, 0 AS B, 0 AS C FROM tTrack WHERE "
        ":MoodID < 0");
    measure(true);

    std::vector<double> all = counterChoices;
    all.insert(all.end(), fallbackChoices.begin(), fallbackChoices.end());
    std::printf("tracks=%d moods=%d track_mood_rows=%d\n", trackCount, kMoods, 2 * trackCount);
    std::printf("qcounter_choices=%zu p50_ms=%.2f p95_ms=%.2f\n", counterChoices.size(),
                Percentile(counterChoices, 0.5), Percentile(counterChoices, 0.95));
    std::printf("fallback_choices=%zu p50_ms=%.2f p95_ms=%.2f\n", fallbackChoices.size(),
                Percentile(fallbackChoices, 0.5), Percentile(fallbackChoices, 0.95));
    std::printf("p95_ms=%.2f processor_p95_ms=%.2f\n", Percentile(all, 0.95),
                Percentile(processorTimes, 0.95));
    return 0;
}
