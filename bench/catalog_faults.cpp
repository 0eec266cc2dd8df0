// Drives the catalog's write path and the scanner through faults injected in
// this process, and prints for each fault what the window thread issued
// (verdicts and plays), what was stored, what still waits, what was lost,
// and the longest a window-thread call blocked (the folder it adds included);
// the scanner's files likewise.
//   catalog_faults [--slow-read-ms N] [--hold-s N] [--fail-s N]
// Faults: the scanner's file reads take N ms each (default 5000); another
// connection holds the catalog exclusively for N s (default 30); writes fail
// with SQLITE_FULL, then with SQLITE_IOERR, for N s each (default 5).
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "catalog/ADODataBase.h"
#include "catalog/ADOStatement.h"
#include "catalog/PendingWrites.h"
#include "library/InfoReader.h"
#include "library/TrackInfoReader.h"
#include "tests/support/FaultInjectingVfs.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kTracks = 2000;
constexpr int kFilesPerFault = 12;
// The window thread rates or plays this often while a fault lasts.
constexpr milliseconds kUserPace(50);
// How long the program has, after a fault ends, to store what waits.
constexpr auto kSettleTime = std::chrono::seconds(40);

struct Options {
    int slowReadMs = 5000;
    int holdSeconds = 30;
    int failSeconds = 5;
};

// What the window thread did during one fault, and how long its calls took.
struct UserActivity {
    std::map<std::pair<int, int>, int> verdicts;  // (mood, track) -> rating
    std::map<std::pair<int, int>, int> plays;     // (mood, track) -> plays
    double maxBlockMs = 0;
};

// Rates and plays tracks no earlier fault touched, one call every kUserPace,
// timing each call as the window would feel it.
class User {
public:
    User(kavelin::PendingWrites& writes, std::vector<int> moods)
        : m_writes(writes), m_moods(std::move(moods)) {}

    void ActUntil(const std::function<bool()>& done, UserActivity& activity) {
        while (!done()) {
            const int mood = m_moods[static_cast<std::size_t>(m_nNext) % m_moods.size()];
            const int track = 1 + m_nNext % kTracks;
            ++m_nNext;
            const auto start = Clock::now();
            if (m_nNext % 2 == 0) {
                const int rating = 1 + m_nNext % 4;
                m_writes.StoreRating(mood, track, rating);
                activity.verdicts[{mood, track}] = rating;
            } else {
                m_writes.StorePlay(mood, track);
                ++activity.plays[{mood, track}];
            }
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            activity.maxBlockMs = std::max(activity.maxBlockMs, ms);
            std::this_thread::sleep_until(start + kUserPace);
        }
    }

private:
    kavelin::PendingWrites& m_writes;
    const std::vector<int> m_moods;
    int m_nNext = 0;
};

long Scalar(kavelin::CADODataBase& database, const std::string& sql) {
    kavelin::CADOStatement statement(database, sql);
    const long value = statement.Step() ? static_cast<long>(statement.ColumnInteger(0)) : -1;
    statement.Reset();
    return value;
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c;
        if (c == '\'') {
            quoted += '\'';
        }
    }
    return quoted + "'";
}

// Small files with a frame header and a fingerprint byte of their own.
std::string MakeScanDirectory(const fs::path& root, const std::string& name, int salt) {
    const fs::path directory = root / name;
    fs::create_directories(directory);
    for (int f = 0; f < kFilesPerFault; ++f) {
        std::string frames;
        for (int frame = 0; frame < 3; ++frame) {
            std::string bytes(417, '\0');  // MPEG-1 layer 3, 128 kbit/s, 44.1 kHz
            bytes[0] = '\xFF';
            bytes[1] = '\xFB';
            bytes[2] = '\x90';
            bytes[13] = static_cast<char>(1 + (salt * kFilesPerFault + f + frame * 7) % 250);
            frames += bytes;
        }
        std::ofstream(directory / ("track" + std::to_string(f) + ".mp3"), std::ios::binary)
            << frames;
    }
    return directory.string() + "/";
}

// Each verdict and play found in the catalog; plays are counted on pairs
// that were played only, so that the count is exact.
long StoredOf(kavelin::CADODataBase& database, const UserActivity& activity) {
    long stored = 0;
    for (const auto& [pair, rating] : activity.verdicts) {
        stored += Scalar(database, "SELECT COUNT(*) FROM tTrackMood WHERE MoodID=" +
                                       std::to_string(pair.first) +
                                       " AND TrackID=" + std::to_string(pair.second) +
                                       " AND Rating=" + std::to_string(rating)) > 0;
    }
    for (const auto& [pair, count] : activity.plays) {
        const long played = Scalar(
            database, "SELECT Played FROM tTrackMood WHERE MoodID=" + std::to_string(pair.first) +
                          " AND TrackID=" + std::to_string(pair.second));
        stored += std::min<long>(std::max<long>(played, 0), count);
    }
    return stored;
}

class Bench {
public:
    Bench(const Options& options, const fs::path& work)
        : m_options(options), m_work(work), m_catalogPath(work / "Kavelin.mdb"), m_slowReadMs(0) {}

    int Run();

private:
    // Runs one fault while the user acts, lets the program settle, and
    // prints what became of every write.
    void Measure(const char* name, const std::function<void()>& startFault,
                 const std::function<bool()>& faultOver, const std::function<void()>& endFault);
    bool Settled();

    const Options m_options;
    const fs::path m_work;
    const fs::path m_catalogPath;
    std::atomic<int> m_slowReadMs;
    kavelin::test::FaultInjectingVfs m_disk;  // before any connection to the catalog
    kavelin::CADODataBase m_database;
    std::unique_ptr<kavelin::PendingWrites> m_pWrites;
    std::unique_ptr<kavelin::InfoReader> m_pScanner;
    std::unique_ptr<User> m_pUser;
    int m_nFault = 0;
    long m_nLostWrites = 0;
    double m_dMaxBlockMs = 0;
};

bool Bench::Settled() {
    return m_pWrites->Waiting() == 0 && Scalar(m_database, "SELECT COUNT(*) FROM tInfoRead") == 0;
}

void Bench::Measure(const char* name, const std::function<void()>& startFault,
                    const std::function<bool()>& faultOver, const std::function<void()>& endFault) {
    const std::string directory = MakeScanDirectory(m_work / "music", name, ++m_nFault);
    UserActivity activity;
    const auto start = Clock::now();
    // Added by the user (on the window thread) as the fault begins; the
    // fault then meets the scan of its files.
    startFault();
    const auto queueStart = Clock::now();
    m_pScanner->QueueDirectory(directory);
    activity.maxBlockMs =
        std::chrono::duration<double, std::milli>(Clock::now() - queueStart).count();
    m_pUser->ActUntil(faultOver, activity);
    endFault();
    const double faultSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    const auto settleStart = Clock::now();
    while (!Settled() && Clock::now() - settleStart < kSettleTime) {
        std::this_thread::sleep_for(milliseconds(100));
    }
    const long issued = static_cast<long>(activity.verdicts.size()) + [&] {
        long plays = 0;
        for (const auto& [pair, count] : activity.plays) {
            plays += count;
        }
        return plays;
    }();
    const long stored = StoredOf(m_database, activity);
    const long pending = static_cast<long>(m_pWrites->Waiting());
    const long lost = std::max(0L, issued - stored - pending);

    const std::string like = " WHERE Filename LIKE " + Quoted(directory + "%");
    const long recorded = Scalar(m_database, "SELECT COUNT(*) FROM tTrack" + like) +
                          Scalar(m_database, "SELECT COUNT(*) FROM tDuplicate" + like);
    // While the directory's own row waits, its files are not queued yet.
    const bool directoryQueued =
        Scalar(m_database, "SELECT COUNT(*) FROM tInfoRead WHERE Filename=" + Quoted(directory)) >
        0;
    const long queued = directoryQueued
                            ? kFilesPerFault
                            : Scalar(m_database, "SELECT COUNT(*) FROM tInfoRead" + like);
    const long filesLost = std::max(0L, kFilesPerFault - recorded - queued);

    std::printf(
        "fault=%s seconds=%.1f verdicts=%zu plays=%ld stored=%ld pending=%ld lost=%ld "
        "max_ui_block_ms=%.1f scan_files=%d scan_recorded=%ld scan_queued=%ld scan_lost=%ld\n",
        name, faultSeconds, activity.verdicts.size(),
        issued - static_cast<long>(activity.verdicts.size()), stored, pending, lost,
        activity.maxBlockMs, kFilesPerFault, recorded, queued, filesLost);
    std::fflush(stdout);
    m_nLostWrites += lost + filesLost;
    m_dMaxBlockMs = std::max(m_dMaxBlockMs, activity.maxBlockMs);
}

int Bench::Run() {
    fs::copy_file(KAVELIN_FRESH_CATALOG, m_catalogPath);
    if (!m_database.Connect(
            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + m_catalogPath.string() + ";", "",
            "")) {
        std::fprintf(stderr, "%s\n", m_database.GetLastErrorText().c_str());
        return 1;
    }
    {
        kavelin::CADOTransaction transaction(m_database);
        kavelin::CADOStatement add(
            m_database, "INSERT INTO tTrack(Filename, Artist, Trackname) VALUES (?, ?, ?)");
        for (int track = 1; track <= kTracks; ++track) {
            add.Bind(1, "/music/track" + std::to_string(track) + ".mp3");
            add.Bind(2, "Artist " + std::to_string(track % 97));
            add.Bind(3, "Title " + std::to_string(track));
            add.Execute();
        }
        transaction.Commit();
    }
    std::vector<int> moods;
    {
        kavelin::CADOStatement select(m_database, "SELECT ID FROM tMood ORDER BY ID");
        while (select.Step()) {
            moods.push_back(static_cast<int>(select.ColumnInteger(0)));
        }
        select.Reset();
    }

    m_pWrites =
        std::make_unique<kavelin::PendingWrites>(m_database, (m_work / "Kavelin.pending").string());
    m_pWrites->StartRetrying();
    m_pUser = std::make_unique<User>(*m_pWrites, moods);
    m_pScanner = std::make_unique<kavelin::InfoReader>(
        m_database, *m_pWrites, milliseconds(1000), [this](const std::string& path) {
            std::this_thread::sleep_for(milliseconds(m_slowReadMs.load()));
            return kavelin::ReadTrackFile(path);
        });
    std::thread scanner([this] { m_pScanner->Run(); });

    std::printf("tracks=%d moods=%zu files_per_fault=%d user_pace_ms=%lld\n", kTracks, moods.size(),
                kFilesPerFault, static_cast<long long>(kUserPace.count()));

    // The scanner reads every file slowly, as from a disk that spins up or a
    // network share; the fault lasts until the phase's files are recorded.
    const std::string slowLike = "%/slow_reads/%";
    Measure(
        "slow_reads", [&] { m_slowReadMs = m_options.slowReadMs; },
        [&] {
            return Scalar(m_database,
                          "SELECT COUNT(*) FROM tTrack WHERE Filename LIKE " + Quoted(slowLike)) +
                       Scalar(m_database, "SELECT COUNT(*) FROM tDuplicate WHERE Filename LIKE " +
                                              Quoted(slowLike)) >=
                   3;
        },
        [&] { m_slowReadMs = 0; });

    // Another connection (another program) takes the catalog's write lock and keeps it.
    sqlite3* holder = nullptr;
    std::chrono::steady_clock::time_point holdEnd;
    Measure(
        "exclusive_hold",
        [&] {
            sqlite3_open_v2(m_catalogPath.c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr);
            sqlite3_exec(holder, "BEGIN EXCLUSIVE; UPDATE tCounter SET Counter=Counter;", nullptr,
                         nullptr, nullptr);
            holdEnd = Clock::now() + std::chrono::seconds(m_options.holdSeconds);
        },
        [&] { return Clock::now() >= holdEnd; },
        [&] {
            sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(holder);
        });

    for (const auto& [name, code] :
         {std::pair{"disk_full", SQLITE_FULL}, std::pair{"io_error", SQLITE_IOERR_WRITE}}) {
        std::chrono::steady_clock::time_point failEnd;
        Measure(
            name,
            [&, code = code] {
                m_disk.FailWrites(code);
                failEnd = Clock::now() + std::chrono::seconds(m_options.failSeconds);
            },
            [&] { return Clock::now() >= failEnd; }, [&] { m_disk.FailWrites(SQLITE_OK); });
    }

    m_pScanner->m_bStop = true;
    scanner.join();
    m_pWrites->StopRetrying();
    m_pWrites.reset();
    m_database.Disconnect();
    std::printf("lost_writes=%ld max_ui_block_ms=%.1f\n", m_nLostWrites, m_dMaxBlockMs);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const int value = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--slow-read-ms") == 0) {
            options.slowReadMs = value;
        } else if (std::strcmp(argv[i], "--hold-s") == 0) {
            options.holdSeconds = value;
        } else if (std::strcmp(argv[i], "--fail-s") == 0) {
            options.failSeconds = value;
        } else {
            std::fprintf(stderr, "usage: %s [--slow-read-ms N] [--hold-s N] [--fail-s N]\n",
                         argv[0]);
            return 2;
        }
    }
    char pattern[] = "/tmp/kavelin-faults-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path work = pattern;
    int result = 0;
    {
        Bench bench(options, work);
        result = bench.Run();
    }
    fs::remove_all(work);
    return result;
}
