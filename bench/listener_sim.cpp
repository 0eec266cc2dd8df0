// A simulated listener who tires of repeats, played against several selection
// policies over one generated catalog with hidden per-mood verdicts.
//
// The pleasure of a play is base(verdict) x freshness, with base Awesome 1.0,
// Good 0.8, Normal 0.4, Bad 0.1, Exclude 0 and freshness
// 1 - 0.7 exp(-gap / 60), where gap counts the plays of any mood since the
// track was last heard (a track never heard is fully fresh). After each
// selection the listener skips with chance 0.7 when the pleasure is below 0.35
// (else 0.05); a skipped play scores 0. A share of plays gets the track's base
// verdict as a rating.
//
// Policies: "kavelin" drives the real TrackPlayer over the shipped qCounter
// (or the query given with --kavelin-query FILE), records each play as the
// main window does when it starts a track and skips through TrackPlayer::Skip,
// the main window's Skip; "previous" does the same with the rule ladder kept
// in bench/policies; "random" draws uniformly;
// "weighted" is a rating-weighted shuffle over the tracks not heard in the last
// 20 plays (Awesome 5, Good 4, Normal or unrated 2, Bad 0.5, Excluded 0);
// "oracle" knows verdicts and fatigue and plays the track of highest expected
// pleasure. "informed" (asked for by name) is the kavelin policy with the
// listener's true taste for each genre in place of what the selection learns
// of it: how much better the selection would do if it knew the genres.
//
//   normalized = (kavelin - random) / (oracle - random)  on mean pleasure
//   vs_weighted = kavelin - weighted, vs_previous = kavelin - previous
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "bench/BenchCatalog.h"
#include "catalog/CatalogOperations.h"
#include "engine/TrackPlayer.h"

namespace kavelin::bench {
namespace {

struct Options {
    std::uint64_t firstSeed = 1;
    std::uint64_t lastSeed = 1;
    int tracks = 5000;
    int artists = 500;
    int genres = 30;
    int moods = 8;
    int plays = 500;  // in each of the two moods listened to
    double verdictRate = 0.3;
    std::string truth = "mixed";   // artist, genre, track or mixed
    int favourites = 0;            // Awesome tracks rated in each mood before listening
    std::string kavelinQueryFile;  // a selection to try in place of the shipped qCounter...
    std::string kavelinQuery;      // ...and its text
    std::string informedQuery;     // the kavelin query reading the listener's genre tastes
    std::vector<std::string> policies{"kavelin", "previous", "random", "weighted", "oracle"};
};

constexpr int kListenedMoods[] = {2, 3};
constexpr int kSessionLength = 50;  // plays in one mood before the listener switches
constexpr int kTrackLengthMs = 240000;
constexpr int kWeightedWindow = 20;

double Base(int verdict) {
    switch (verdict) {
        case kRatingAwesome:
            return 1.0;
        case kRatingGood:
            return 0.8;
        case kRatingNormal:
            return 0.4;
        case kRatingBad:
            return 0.1;
        default:
            return 0.0;
    }
}

// gap 0: never heard.
double Freshness(int gap) {
    return gap <= 0 ? 1.0 : 1.0 - 0.7 * std::exp(-gap / 60.0);
}

double SkipChance(double pleasure) {
    return pleasure < 0.35 ? 0.7 : 0.05;
}

// The listener's hidden verdicts: verdict[mood][track], track IDs from 1.
struct Generated {
    std::vector<GeneratedTrack> tracks;
    std::map<int, std::vector<int>> verdicts;
};

Generated Generate(const Options& options, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
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
    }
    return generated;
}

// What has been heard: the index of each track's last play (0: never).
struct History {
    std::vector<int> lastPlay;
    int plays = 0;
    int GapOf(int track) const { return lastPlay[track] ? plays + 1 - lastPlay[track] : 0; }
};

// Chooses tracks for the listener. Next follows a track that played to its
// end (or starts the listening); Skip follows a press of Skip at a position.
class Policy {
public:
    virtual ~Policy() = default;
    virtual int Next(int mood) = 0;
    virtual int Skip(int mood, int positionMs) = 0;
    virtual void Rate(int mood, int track, int verdict) = 0;
    // What the last choice rested on: 1 to 3 the flags of qCounter, 0 a guess
    // without a flag, 4 the unrated draw; -1 for policies without a catalog.
    virtual int LastBasis() const { return -1; }
};

std::string ReadFile(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
        throw std::runtime_error(std::string("cannot read ") + path);
    }
    return text.str();
}

// The real player over a catalog; on each "play the current track" post the
// play is recorded as the main window records it.
class CatalogPolicy : public Policy {
public:
    CatalogPolicy(const Options& options, const Generated& generated, const std::string& query,
                  std::uint64_t seed, const std::string& extraTables = "")
        : m_nSeed(seed),
          m_catalog(generated.tracks),
          m_player(m_catalog.Database(), m_catalog.Writes(), [this](int) {
              auto backend = std::make_unique<InstantPlayer>();
              m_pBackend = backend.get();
              return backend;
          }) {
        if (options.moods > 8) {
            std::string rows;
            for (int mood = 9; mood <= options.moods; ++mood) {
                rows += "INSERT INTO tMood (Name) VALUES ('Mood " + std::to_string(mood) + "');";
            }
            m_catalog.RunDirect(rows);
        }
        if (!extraTables.empty()) {
            m_catalog.RunDirect(extraTables);
        }
        if (!query.empty()) {
            m_catalog.SetCounterQuery(query);
        }
        m_player.SetMessageTarget(&m_window);
        m_player.CreatePlayer();
        SeedSelectionRandom(seed * 7919 + 17);
    }

    int Next(int mood) override {
        m_player.m_nMoodID = mood;
        SeedSqliteRandom();
        return Chosen([this] { m_player.SelectNextTrack(); });
    }
    int Skip(int mood, int positionMs) override {
        m_player.m_nMoodID = mood;
        m_pBackend->m_nPosition = positionMs;
        m_pBackend->m_nLength = kTrackLengthMs;
        SeedSqliteRandom();
        return Chosen([this] { m_player.Skip(); });
    }
    void Rate(int mood, int track, int verdict) override {
        SetRating(m_catalog.Database(), mood, track, verdict);
    }
    int LastBasis() const override {
        return m_player.m_bFromCounter ? m_player.m_nSelectionBasis.load() : 4;
    }

private:
    // qCounter draws with SQLite's random(). Its generator serves the whole
    // process, and something inside SQLite also draws from it at moments that
    // vary from run to run; seeded afresh for each selection, a run repeats exactly.
    void SeedSqliteRandom() {
        sqlite3_test_control(SQLITE_TESTCTRL_PRNG_SEED,
                             static_cast<int>(m_nSeed * 1000003 + ++m_nSelections), nullptr);
    }

    template <typename Select>
    int Chosen(Select select) {
        const int before = m_window.playRequests;
        select();
        if (m_window.playRequests == before) {
            return 0;
        }
        const CTrackInfo track = m_player.GetCurrentTrack();
        RecordPlay(m_catalog.Database(), m_player.m_nMoodID, track.ID);
        return track.ID;
    }

    std::uint64_t m_nSeed;
    std::uint64_t m_nSelections = 0;
    BenchCatalog m_catalog;
    CountingWindow m_window;
    InstantPlayer* m_pBackend = nullptr;
    TrackPlayer m_player;
};

// The mean pleasure of a fresh track of each genre in each mood: the genre
// tastes the selection tries to learn.
std::string ListenerGenreTable(const Generated& generated) {
    std::string sql =
        "CREATE TABLE tListenerGenre (MoodID INTEGER, GenreID INTEGER, Value REAL, "
        "PRIMARY KEY (MoodID, GenreID));";
    for (const auto& [mood, verdicts] : generated.verdicts) {
        std::map<int, std::pair<double, int>> genres;
        for (std::size_t i = 0; i < generated.tracks.size(); ++i) {
            auto& [sum, count] = genres[generated.tracks[i].genre];
            sum += Base(verdicts[i + 1]);
            ++count;
        }
        for (const auto& [genre, figures] : genres) {
            sql += "INSERT INTO tListenerGenre VALUES (" + std::to_string(mood) + ", " +
                   std::to_string(genre) + ", " + std::to_string(figures.first / figures.second) +
                   ");";
        }
    }
    return sql;
}

// The kavelin query with the genre values it learned replaced by the listener's.
constexpr const char* kLearnedGenreJoin = "LEFT JOIN genre g ON g.GenreID = t.GenreID";
constexpr const char* kTrueGenreJoin =
    "LEFT JOIN tListenerGenre g ON g.MoodID = :MoodID AND g.GenreID = t.GenreID";

bool MakeInformedQuery(Options& options) {
    options.informedQuery =
        options.kavelinQuery.empty() ? ReadFile(KAVELIN_SHIPPED_QCOUNTER) : options.kavelinQuery;
    const auto join = options.informedQuery.find(kLearnedGenreJoin);
    if (join == std::string::npos) {
        return false;
    }
    options.informedQuery.replace(join, std::string(kLearnedGenreJoin).size(), kTrueGenreJoin);
    return true;
}

class RandomPolicy : public Policy {
public:
    RandomPolicy(int tracks, std::uint64_t seed) : m_draw(1, tracks), m_rng(seed) {}
    int Next(int) override { return m_draw(m_rng); }
    int Skip(int mood, int) override { return Next(mood); }
    void Rate(int, int, int) override {}

private:
    std::uniform_int_distribution<int> m_draw;
    std::mt19937_64 m_rng;
};

class WeightedPolicy : public Policy {
public:
    WeightedPolicy(int tracks, const History& history, std::uint64_t seed)
        : m_nTracks(tracks), m_history(history), m_rng(seed) {}
    int Next(int mood) override {
        auto& ratings = m_ratings[mood];
        ratings.resize(m_nTracks + 1, 0);
        std::vector<double> weights(m_nTracks + 1, 0.0);
        for (int track = 1; track <= m_nTracks; ++track) {
            const int gap = m_history.GapOf(track);
            if (gap > 0 && gap <= kWeightedWindow) {
                continue;
            }
            switch (ratings[track]) {
                case kRatingAwesome:
                    weights[track] = 5;
                    break;
                case kRatingGood:
                    weights[track] = 4;
                    break;
                case kRatingBad:
                    weights[track] = 0.5;
                    break;
                case kRatingExcluded:
                    weights[track] = 0;
                    break;
                default:
                    weights[track] = 2;
            }
        }
        std::discrete_distribution<int> draw(weights.begin(), weights.end());
        return draw(m_rng);
    }
    int Skip(int mood, int) override { return Next(mood); }
    void Rate(int mood, int track, int verdict) override {
        auto& ratings = m_ratings[mood];
        ratings.resize(m_nTracks + 1, 0);
        ratings[track] = verdict;
    }

private:
    int m_nTracks;
    const History& m_history;
    std::mt19937_64 m_rng;
    std::map<int, std::vector<int>> m_ratings;
};

class OraclePolicy : public Policy {
public:
    OraclePolicy(const Generated& generated, const History& history)
        : m_generated(generated), m_history(history) {}
    int Next(int mood) override {
        const auto& verdicts = m_generated.verdicts.at(mood);
        int best = 0;
        double bestValue = -1;
        for (int track = 1; track < static_cast<int>(verdicts.size()); ++track) {
            const double pleasure = Base(verdicts[track]) * Freshness(m_history.GapOf(track));
            const double expected = pleasure * (1 - SkipChance(pleasure));
            if (expected > bestValue) {
                bestValue = expected;
                best = track;
            }
        }
        return best;
    }
    int Skip(int mood, int) override { return Next(mood); }
    void Rate(int, int, int) override {}

private:
    const Generated& m_generated;
    const History& m_history;
};

struct Result {
    double meanPleasure = 0;
    double skipShare = 0;
    double likedShare = 0;
    int distinctLiked = 0;
    double badShare = 0;
    int minGap = 0;  // 0: no track was played twice
    int medianGap = 0;
    int favouriteMedianGap = 0;  // replays of the favourites rated before listening
    int plays = 0;
    // Plays and pleasure by what the choice rested on (LastBasis).
    std::map<int, std::pair<int, double>> byBasis;
};

int Median(std::vector<int> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Result Listen(const Options& options, const Generated& generated, const std::string& name,
              std::uint64_t seed) {
    History history;
    history.lastPlay.assign(options.tracks + 1, 0);
    std::unique_ptr<Policy> policy;
    if (name == "kavelin") {
        policy = std::make_unique<CatalogPolicy>(options, generated, options.kavelinQuery, seed);
    } else if (name == "informed") {
        policy = std::make_unique<CatalogPolicy>(options, generated, options.informedQuery, seed,
                                                 ListenerGenreTable(generated));
    } else if (name == "previous") {
        policy = std::make_unique<CatalogPolicy>(options, generated,
                                                 ReadFile(KAVELIN_PREVIOUS_QCOUNTER), seed);
    } else if (name == "random") {
        policy = std::make_unique<RandomPolicy>(options.tracks, seed * 31 + 1);
    } else if (name == "weighted") {
        policy = std::make_unique<WeightedPolicy>(options.tracks, history, seed * 37 + 5);
    } else {
        policy = std::make_unique<OraclePolicy>(generated, history);
    }

    // The same listener for every policy: the same draws for the same plays.
    std::mt19937_64 listener(seed * 104729 + 3);
    std::uniform_real_distribution<double> unit;

    std::vector<bool> favourite(options.tracks + 1, false);
    if (options.favourites > 0) {
        for (const int mood : kListenedMoods) {
            const auto& verdicts = generated.verdicts.at(mood);
            int rated = 0;
            for (int track = 1; track <= options.tracks && rated < options.favourites; ++track) {
                if (verdicts[track] == kRatingAwesome) {
                    policy->Rate(mood, track, kRatingAwesome);
                    favourite[track] = true;
                    ++rated;
                }
            }
        }
    }

    Result result;
    std::vector<int> gaps;
    std::vector<int> favouriteGaps;
    std::vector<bool> likedHeard(options.tracks + 1, false);
    double pleasureSum = 0;
    int skips = 0;
    int liked = 0;
    int bad = 0;
    int session = 0;
    int sessionPlays = 0;
    int mood = kListenedMoods[0];
    int track = policy->Next(mood);
    while (track > 0 && history.plays < 2 * options.plays) {
        const int verdict = generated.verdicts.at(mood)[track];
        const int gap = history.GapOf(track);
        const double pleasure = Base(verdict) * Freshness(gap);
        if (gap > 0) {
            gaps.push_back(gap);
            if (favourite[track]) {
                favouriteGaps.push_back(gap);
            }
        }
        history.lastPlay[track] = ++history.plays;
        if (policy->LastBasis() >= 0) {
            ++result.byBasis[policy->LastBasis()].first;
        }
        ++sessionPlays;
        liked += verdict >= kRatingGood ? 1 : 0;
        if (verdict >= kRatingGood) {
            likedHeard[track] = true;
        }
        bad += verdict == kRatingBad || verdict == kRatingExcluded ? 1 : 0;

        // The draws are made whether or not they are used, so that every
        // policy meets the same listener.
        const bool rates = unit(listener) < options.verdictRate;
        const bool skips_ = unit(listener) < SkipChance(pleasure);
        const double skipPoint = unit(listener);
        if (rates) {
            policy->Rate(mood, track, verdict);
        }
        if (skips_) {
            ++skips;
            // Dislike shows within the first 30 % of a track; other skips come anywhere.
            const double share = pleasure < 0.35 ? 0.3 * skipPoint : skipPoint;
            track = policy->Skip(mood, static_cast<int>(share * kTrackLengthMs));
            continue;
        }
        pleasureSum += pleasure;
        if (policy->LastBasis() >= 0) {
            result.byBasis[policy->LastBasis()].second += pleasure;
        }
        if (sessionPlays >= kSessionLength) {
            sessionPlays = 0;
            mood = kListenedMoods[++session % 2];
        }
        track = policy->Next(mood);
    }
    result.plays = history.plays;
    if (result.plays > 0) {
        result.meanPleasure = pleasureSum / result.plays;
        result.skipShare = static_cast<double>(skips) / result.plays;
        result.likedShare = static_cast<double>(liked) / result.plays;
        result.badShare = static_cast<double>(bad) / result.plays;
    }
    result.distinctLiked = static_cast<int>(std::count(likedHeard.begin(), likedHeard.end(), true));
    if (!gaps.empty()) {
        result.minGap = *std::min_element(gaps.begin(), gaps.end());
        result.medianGap = Median(gaps);
    }
    result.favouriteMedianGap = Median(favouriteGaps);
    return result;
}

std::string GapText(int gap) {
    return gap ? std::to_string(gap) : "none";
}

bool ParseSeeds(const std::string& text, Options& options) {
    const auto dash = text.find('-');
    if (dash == std::string::npos) {
        options.firstSeed = options.lastSeed = std::strtoull(text.c_str(), nullptr, 10);
    } else {
        options.firstSeed = std::strtoull(text.substr(0, dash).c_str(), nullptr, 10);
        options.lastSeed = std::strtoull(text.substr(dash + 1).c_str(), nullptr, 10);
    }
    return options.firstSeed <= options.lastSeed;
}

bool ParsePolicies(const std::string& text, Options& options) {
    options.policies.clear();
    std::stringstream list(text);
    std::string name;
    while (std::getline(list, name, ',')) {
        if (name != "kavelin" && name != "previous" && name != "random" && name != "weighted" &&
            name != "oracle" && name != "informed") {
            return false;
        }
        options.policies.push_back(name);
    }
    return !options.policies.empty();
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seed" || name == "--seeds") {
            if (!ParseSeeds(value, options)) {
                return false;
            }
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
        } else if (name == "--favourites") {
            options.favourites = std::atoi(value);
        } else if (name == "--kavelin-query") {
            options.kavelinQueryFile = value;
        } else if (name == "--policies") {
            if (!ParsePolicies(value, options)) {
                return false;
            }
        } else {
            return false;
        }
    }
    const bool knownTruth = options.truth == "artist" || options.truth == "genre" ||
                            options.truth == "track" || options.truth == "mixed";
    return argc % 2 == 1 && knownTruth && options.tracks > 0 && options.artists > 0 &&
           options.genres > 0 && options.moods >= 3 && options.plays > 0 && options.favourites >= 0;
}

double MedianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace
}  // namespace kavelin::bench

int main(int argc, char** argv) {
    using namespace kavelin::bench;
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: listener_sim [--seed N | --seeds A-B] [--tracks N] [--artists N] "
                     "[--genres N] [--moods N (at least 3)] [--plays N] [--verdict-rate X] "
                     "[--truth artist|genre|track|mixed] [--favourites N] "
                     "[--policies kavelin,previous,random,weighted,oracle,informed] "
                     "[--kavelin-query FILE]\n");
        return 2;
    }
    if (!options.kavelinQueryFile.empty()) {
        try {
            options.kavelinQuery = ReadFile(options.kavelinQueryFile.c_str());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "listener_sim: %s\n", error.what());
            return 2;
        }
    }
    if (std::count(options.policies.begin(), options.policies.end(), "informed") &&
        !MakeInformedQuery(options)) {
        std::fprintf(stderr, "listener_sim: the kavelin query has no \"%s\" to replace\n",
                     kLearnedGenreJoin);
        return 2;
    }
    std::printf(
        "seeds=%llu-%llu tracks=%d artists=%d genres=%d moods=%d plays=%dx2 verdict_rate=%.2f "
        "truth=%s favourites=%d%s%s\n",
        static_cast<unsigned long long>(options.firstSeed),
        static_cast<unsigned long long>(options.lastSeed), options.tracks, options.artists,
        options.genres, options.moods, options.plays, options.verdictRate, options.truth.c_str(),
        options.favourites, options.kavelinQueryFile.empty() ? "" : " kavelin_query=",
        options.kavelinQueryFile.c_str());
    const bool single = options.firstSeed == options.lastSeed;
    std::map<std::string, std::vector<double>> pleasures;
    std::map<std::string, std::vector<double>> differences;
    std::vector<int> smallestGaps;
    for (std::uint64_t seed = options.firstSeed; seed <= options.lastSeed; ++seed) {
        const Generated generated = Generate(options, seed);
        std::map<std::string, Result> results;
        for (const std::string& policy : options.policies) {
            const Result r = Listen(options, generated, policy, seed);
            results[policy] = r;
            pleasures[policy].push_back(r.meanPleasure);
            if (single) {
                std::printf(
                    "policy=%-8s plays=%d mean_pleasure=%.3f skip_share=%.3f liked_share=%.3f "
                    "distinct_liked=%d bad_or_excluded=%.3f min_gap=%s median_gap=%s "
                    "favourite_median_gap=%s\n",
                    policy.c_str(), r.plays, r.meanPleasure, r.skipShare, r.likedShare,
                    r.distinctLiked, r.badShare, GapText(r.minGap).c_str(),
                    GapText(r.medianGap).c_str(), GapText(r.favouriteMedianGap).c_str());
                for (const auto& [basis, figures] : r.byBasis) {
                    std::printf("  basis=%d plays=%d mean_pleasure=%.3f\n", basis, figures.first,
                                figures.second / figures.first);
                }
            }
        }
        std::string line = "seed=" + std::to_string(seed);
        char figure[96];
        const auto normalizedOf = [&results](const std::string& policy) {
            const double spread = results["oracle"].meanPleasure - results["random"].meanPleasure;
            return spread > 0
                       ? (results[policy].meanPleasure - results["random"].meanPleasure) / spread
                       : 0.0;
        };
        for (const std::string& policy : options.policies) {
            std::snprintf(figure, sizeof figure, " %s=%.3f", policy.c_str(),
                          results[policy].meanPleasure);
            line += figure;
        }
        if (results.count("kavelin")) {
            const Result& k = results["kavelin"];
            if (k.minGap > 0) {
                smallestGaps.push_back(k.minGap);
            }
            std::snprintf(figure, sizeof figure, " kavelin_min_gap=%s kavelin_fav_gap=%s",
                          GapText(k.minGap).c_str(), GapText(k.favouriteMedianGap).c_str());
            line += figure;
            if (results.count("random") && results.count("oracle")) {
                const double normalized = normalizedOf("kavelin");
                differences["normalized"].push_back(normalized);
                std::snprintf(figure, sizeof figure, " normalized=%.3f", normalized);
                line += figure;
            }
            for (const char* other : {"weighted", "previous"}) {
                if (results.count(other)) {
                    const double difference = k.meanPleasure - results[other].meanPleasure;
                    differences[std::string("vs_") + other].push_back(difference);
                    std::snprintf(figure, sizeof figure, " vs_%s=%.3f", other, difference);
                    line += figure;
                }
            }
        }
        if (results.count("informed") && results.count("random") && results.count("oracle")) {
            const double normalized = normalizedOf("informed");
            differences["informed_normalized"].push_back(normalized);
            std::snprintf(figure, sizeof figure, " informed_normalized=%.3f", normalized);
            line += figure;
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    std::string summary;
    char figure[96];
    for (const auto& [name, values] : differences) {
        std::snprintf(figure, sizeof figure, "%s_min=%.3f %s_median=%.3f ", name.c_str(),
                      *std::min_element(values.begin(), values.end()), name.c_str(),
                      MedianOf(values));
        summary += figure;
    }
    for (const auto& [name, values] : pleasures) {
        std::snprintf(figure, sizeof figure, "%s_median=%.3f ", name.c_str(), MedianOf(values));
        summary += figure;
    }
    if (!smallestGaps.empty()) {
        summary += "kavelin_min_gap=" +
                   GapText(*std::min_element(smallestGaps.begin(), smallestGaps.end()));
    }
    std::printf("%s\n", summary.c_str());
    return 0;
}
