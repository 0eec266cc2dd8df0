// A simulated listener: drives the real TrackPlayer and the real catalog
// operations over a generated catalog, with a backend whose every track ends
// at once. The loop's pass is replaced by direct calls of SelectNextTrack, as
// the loop makes them when the backend reports the end of a track; on each
// "play the current track" post the simulation records the play as the main
// window does, and the listener gives the true verdict on a share of plays.
//
// The same catalog and hidden truth are played by four policies: the shipped
// qCounter, a random shuffle, the unrated fallback alone and an oracle that
// knows the truth. The last line is
//   normalized_score = (liked_kavelin - liked_random) / (liked_oracle - liked_random)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "bench/BenchCatalog.h"
#include "catalog/CatalogOperations.h"
#include "engine/TrackPlayer.h"

namespace kavelin::bench {
namespace {

struct Options {
    std::uint64_t seed = 1;
    int tracks = 5000;
    int artists = 500;
    int genres = 30;
    int moods = 8;
    int plays = 500;  // in each of the two moods listened to
    double verdictRate = 0.3;
    std::string truth = "mixed";  // artist, genre, track or mixed
};

constexpr int kListenedMoods[] = {2, 3};
constexpr int kSessionLength = 50;  // plays in one mood before the listener switches
constexpr int kOracleWindow = 20;

// The listener's hidden verdicts: verdict[mood][track], track IDs from 1.
using Truth = std::map<int, std::vector<int>>;

struct Generated {
    std::vector<GeneratedTrack> tracks;
    Truth verdicts;
    std::map<int, std::vector<double>> scores;
};

Generated Generate(const Options& options) {
    std::mt19937_64 rng(options.seed);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> anyGenre(0, options.genres - 1);
    std::uniform_int_distribution<int> anyArtist(0, options.artists - 1);
    std::uniform_real_distribution<double> unit;

    // Artists mostly keep to one genre.
    std::vector<int> artistGenre(options.artists);
    for (int& genre : artistGenre) {
        genre = anyGenre(rng);
    }
    Generated generated;
    std::vector<double> quality(options.tracks);
    for (int i = 0; i < options.tracks; ++i) {
        GeneratedTrack track;
        track.artist = anyArtist(rng);
        track.genre = unit(rng) < 0.8 ? artistGenre[track.artist] : anyGenre(rng);
        generated.tracks.push_back(track);
        quality[i] = normal(rng);
    }
    for (int mood = 1; mood <= options.moods; ++mood) {
        std::vector<double> artistAffinity(options.artists);
        std::vector<double> genreAffinity(options.genres);
        for (double& a : artistAffinity) {
            a = normal(rng);
        }
        for (double& g : genreAffinity) {
            g = normal(rng);
        }
        std::vector<double> score(options.tracks);
        for (int i = 0; i < options.tracks; ++i) {
            const auto& track = generated.tracks[i];
            const double noise = 0.35 * normal(rng);
            const double artist = artistAffinity[track.artist];
            const double genre = genreAffinity[track.genre];
            if (options.truth == "artist") {
                score[i] = artist + noise;
            } else if (options.truth == "genre") {
                score[i] = genre + noise;
            } else if (options.truth == "track") {
                score[i] = quality[i] + noise;
            } else {
                score[i] = 0.6 * artist + 0.4 * genre + 0.5 * quality[i] + noise;
            }
        }
        // Buckets by rank: 10 % Awesome, 20 % Good, 40 % Normal, 20 % Bad, 10 % Exclude.
        std::vector<int> order(options.tracks);
        for (int i = 0; i < options.tracks; ++i) {
            order[i] = i;
        }
        std::sort(order.begin(), order.end(), [&](int a, int b) { return score[a] > score[b]; });
        std::vector<int> verdict(options.tracks + 1, kRatingNormal);
        for (int rank = 0; rank < options.tracks; ++rank) {
            const double share = static_cast<double>(rank) / options.tracks;
            verdict[order[rank] + 1] = share < 0.1   ? kRatingAwesome
                                       : share < 0.3 ? kRatingGood
                                       : share < 0.7 ? kRatingNormal
                                       : share < 0.9 ? kRatingBad
                                                     : kRatingExcluded;
        }
        generated.verdicts[mood] = std::move(verdict);
        generated.scores[mood] = std::move(score);
    }
    return generated;
}

struct Result {
    double liked = 0;
    double badOrExcluded = 0;
    int minGap = 0;  // 0: no track was played twice
    int medianGap = 0;
    int plays = 0;
};

Result Play(const Options& options, const Generated& generated, const std::string& policy) {
    BenchCatalog catalog(generated.tracks);
    if (options.moods > 8) {
        std::string rows;
        for (int mood = 9; mood <= options.moods; ++mood) {
            rows += "INSERT INTO tMood (Name) VALUES ('Mood " + std::to_string(mood) + "');";
        }
        catalog.RunDirect(rows);
    }
    if (policy == "random") {
        catalog.SetCounterQuery(
            "SELECT t.ID, t.Filename, 0 AS RatingValue, 0 AS A, 0 AS B, 0 AS C FROM tTrack t "
            "WHERE :MoodID > 0 AND NOT EXISTS (SELECT 1 FROM tTrackMood p WHERE p.TrackID = t.ID "
            "AND p.LastCounter IS NOT NULL) ORDER BY random()");
    } else if (policy == "fallback") {
        catalog.SetCounterQuery(
            "SELECT ID, Filename, 0 AS RatingValue, 0 AS A, 0 AS B, 0 AS C FROM tTrack "
            "WHERE :MoodID < 0");
    } else if (policy == "oracle") {
        std::string rows = "CREATE TABLE tTruth (TrackID INTEGER, MoodID INTEGER, Score REAL);";
        for (const int mood : kListenedMoods) {
            const auto& score = generated.scores.at(mood);
            for (int i = 0; i < options.tracks; ++i) {
                rows += "INSERT INTO tTruth VALUES (" + std::to_string(i + 1) + "," +
                        std::to_string(mood) + "," + std::to_string(score[i]) + ");";
            }
        }
        rows += "CREATE INDEX ixTruth ON tTruth (MoodID, Score)";
        catalog.RunDirect(rows);
        catalog.SetCounterQuery(
            "SELECT t.ID, t.Filename, 4 AS RatingValue, -1 AS A, 0 AS B, 0 AS C "
            "FROM tTruth x INNER JOIN tTrack t ON t.ID = x.TrackID WHERE x.MoodID = :MoodID "
            "AND NOT EXISTS (SELECT 1 FROM tTrackMood p WHERE p.TrackID = x.TrackID AND "
            "p.LastCounter > (SELECT Counter FROM tCounter) - " +
            std::to_string(kOracleWindow) + ") ORDER BY x.Score DESC");
    }

    CADODataBase& db = catalog.Database();
    CountingWindow window;
    TrackPlayer player(db, [](int) { return std::make_unique<InstantPlayer>(); });
    player.SetMessageTarget(&window);
    player.CreatePlayer();
    SeedSelectionRandom(options.seed * 7919 + 17);
    // qCounter draws with SQLite's random(); seeded, a run repeats exactly.
    sqlite3_test_control(SQLITE_TESTCTRL_PRNG_SEED, static_cast<int>(options.seed), nullptr);
    std::mt19937_64 listener(options.seed * 104729 + 3);
    std::uniform_real_distribution<double> unit;

    std::map<int, int> lastPlay;  // track -> index of its last play
    std::vector<int> gaps;
    Result result;
    int liked = 0;
    int bad = 0;
    for (int played = 0; played < 2 * options.plays; ++played) {
        const int mood = kListenedMoods[(played / kSessionLength) % 2];
        player.m_nMoodID = mood;
        const int before = window.playRequests;
        player.SelectNextTrack();
        if (window.playRequests == before) {
            continue;  // nothing to play
        }
        const int track = player.GetCurrentTrack().ID;
        RecordPlay(db, mood, track);
        const int verdict = generated.verdicts.at(mood)[track];
        ++result.plays;
        liked += verdict >= kRatingGood ? 1 : 0;
        bad += verdict == kRatingBad || verdict == kRatingExcluded ? 1 : 0;
        if (const auto last = lastPlay.find(track); last != lastPlay.end()) {
            gaps.push_back(result.plays - last->second);
        }
        lastPlay[track] = result.plays;
        if (unit(listener) < options.verdictRate) {
            SetRating(db, mood, track, verdict);
        }
    }
    if (result.plays > 0) {
        result.liked = static_cast<double>(liked) / result.plays;
        result.badOrExcluded = static_cast<double>(bad) / result.plays;
    }
    if (!gaps.empty()) {
        std::sort(gaps.begin(), gaps.end());
        result.minGap = gaps.front();
        result.medianGap = gaps[gaps.size() / 2];
    }
    return result;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seed") {
            options.seed = std::strtoull(value, nullptr, 10);
        } else if (name == "--tracks") {
            options.tracks = std::atoi(value);
        } else if (name == "--artists") {
            options.artists = std::atoi(value);
        } else if (name == "--genres") {
            options.genres = std::atoi(value);
        } else if (name == "--moods") {
            options.moods = std::atoi(value);
        } else if (name == "--plays") {
            options.plays = std::atoi(value);
        } else if (name == "--verdict-rate") {
            options.verdictRate = std::atof(value);
        } else if (name == "--truth") {
            options.truth = value;
        } else {
            return false;
        }
    }
    const bool knownTruth = options.truth == "artist" || options.truth == "genre" ||
                            options.truth == "track" || options.truth == "mixed";
    return argc % 2 == 1 && knownTruth && options.tracks > 0 && options.artists > 0 &&
           options.genres > 0 && options.moods >= 3 && options.plays > 0;
}

}  // namespace
}  // namespace kavelin::bench

int main(int argc, char** argv) {
    using namespace kavelin::bench;
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: listener_sim [--seed N] [--tracks N] [--artists N] [--genres N] "
                     "[--moods N (at least 3)] [--plays N] [--verdict-rate X] "
                     "[--truth artist|genre|track|mixed]\n");
        return 2;
    }
    const Generated generated = Generate(options);
    std::map<std::string, Result> results;
    std::printf(
        "seed=%llu tracks=%d artists=%d genres=%d moods=%d plays=%dx2 verdict_rate=%.2f "
        "truth=%s\n",
        static_cast<unsigned long long>(options.seed), options.tracks, options.artists,
        options.genres, options.moods, options.plays, options.verdictRate, options.truth.c_str());
    for (const std::string policy : {"kavelin", "random", "fallback", "oracle"}) {
        const auto started = std::chrono::steady_clock::now();
        const Result r = Play(options, generated, policy);
        std::fprintf(
            stderr, "%s took %.1f s\n", policy.c_str(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        results[policy] = r;
        std::printf(
            "policy=%-8s plays=%d liked=%.3f bad_or_excluded=%.3f min_gap=%s median_gap=%s\n",
            policy.c_str(), r.plays, r.liked, r.badOrExcluded,
            r.minGap ? std::to_string(r.minGap).c_str() : "none",
            r.medianGap ? std::to_string(r.medianGap).c_str() : "none");
    }
    const double spread = results["oracle"].liked - results["random"].liked;
    const double normalized =
        spread > 0 ? (results["kavelin"].liked - results["random"].liked) / spread : 0.0;
    std::printf("normalized_score=%.3f\n", normalized);
    return 0;
}
