#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

#include "catalog/ADORecordset.h"
#include "catalog/ADOStatement.h"
#include "library/InfoReader.h"
#include "library/TrackInfoReader.h"
#include "platform/log/ProgramLog.h"
#include "tests/library/Mp3Fixtures.h"
#include "tests/support/FaultInjectingVfs.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

namespace fs = std::filesystem;
using test::MakeMp3;
using test::MpegFrame;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::TestCatalog;
using Posts = std::vector<test::RecordingMessageTarget::Post>;

constexpr unsigned kBusy = WM_APP + 200;
constexpr unsigned kCount = WM_APP + 201;
constexpr auto kShortSleep = std::chrono::milliseconds(10);

// Records posts and asks the reader to stop at its first progress report
// with m_bBusy at the given value: 0 lets Run drain the queue and return on
// the calling thread, 1 stops it during its first pass. A report that the
// disk is full asks for no stop.
class StopAtReport : public test::RecordingMessageTarget {
public:
    StopAtReport(InfoReader& reader, int busy) : m_reader(reader), m_busy(busy) {}
    void PostMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override {
        RecordingMessageTarget::PostMessage(message, wParam, lParam);
        if (message == kCount && m_reader.m_bBusy == m_busy && !m_reader.m_bCatalogDiskFull) {
            m_reader.m_bStop = true;
        }
    }

private:
    InfoReader& m_reader;
    const int m_busy;
};

int CountOf(const Posts& posts, unsigned message, std::intptr_t wParam) {
    int count = 0;
    for (const auto& post : posts) {
        count += post.message == message && post.wParam == wParam && post.lParam == 0;
    }
    return count;
}

class InfoReaderTest : public ::testing::Test {
protected:
    long Rows(const std::string& table) {
        return catalog.ScalarLong("SELECT COUNT(*) FROM " + table);
    }

    void Drain(InfoReader& reader) {
        StopAtReport target(reader, 0);
        reader.SetMainWindow(&target);
        reader.m_bStop = false;
        reader.Run();
        reader.SetMainWindow(nullptr);
        EXPECT_TRUE(reader.m_bStopped);
        posts = target.Posts();
    }

    TestCatalog catalog;
    TempDir dir;
    Posts posts;
};

TEST_F(InfoReaderTest, QueueOperationsInsertRowsCountAndPost) {
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    test::RecordingMessageTarget target;
    reader.QueueFile("/no/window/yet.mp3");  // no window: counted, not posted
    reader.SetMainWindow(&target);
    reader.QueueFile("/music/it's.mp3");
    reader.QueueDirectory("/music/Now True/");
    EXPECT_EQ(reader.m_nCount, 3);
    EXPECT_EQ(CountOf(target.Posts(), kCount, 1), 2);
    EXPECT_EQ(target.Posts().size(), 2u);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead WHERE Filename='/music/it''s.mp3' "
                                 "AND Dir=0"),
              1);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead WHERE Filename='/music/Now True/' "
                                 "AND Dir=-1"),
              1);
}

// Another program holds the catalog while a folder is added and a download
// finishes: neither call waits for it, the status line says what waits, and
// both are queued once the catalog is free.
TEST_F(InfoReaderTest, QueueingWhileTheCatalogIsHeldReturnsAtOnceAndQueuesLater) {
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    {
        test::CatalogWriteHold hold(catalog.CatalogPath());
        const auto start = std::chrono::steady_clock::now();
        reader.QueueDirectory("/music/added/");
        reader.QueueFile("/downloads/finished.mp3");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        EXPECT_EQ(catalog.Writes().StatusText(),
                  "2 folders or files to scan are waiting to be saved: the catalog is in use by "
                  "another program. Kavelin keeps trying.");
        catalog.Writes().StartRetrying();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Rows("tInfoRead") < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(catalog.Scalar("SELECT group_concat(Filename || '|' || Dir, ';') FROM (SELECT * "
                             "FROM tInfoRead ORDER BY Filename)"),
              "/downloads/finished.mp3|0;/music/added/|-1");
    EXPECT_EQ(catalog.Writes().StatusText(), "");
}

TEST_F(InfoReaderTest, ScanQueuesFilesAndSubdirectoriesOneLevelDeep) {
    for (int i = 0; i < 24; ++i) {
        test::WriteBytes(dir / ("song" + std::to_string(i) + ".mp3"), "");
    }
    test::WriteBytes(dir / "LOUD.MP3", "");
    test::WriteBytes(dir / "notes.txt", "");
    fs::create_directory(dir.Path() / "sub");
    fs::create_directory(dir.Path() / ".hidden");
    fs::create_directory(dir.Path() / "deeper");
    test::WriteBytes(dir / "deeper/not-now.mp3", "");
    fs::create_directory_symlink("/", dir.Path() / "root-link");  // would never end if followed
    fs::create_directory_symlink(dir.Path(), dir.Path() / "loop");

    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    test::RecordingMessageTarget target;
    reader.SetMainWindow(&target);
    reader.ScanDirectory(dir.Path().string() + "/");
    EXPECT_EQ(Rows("tInfoRead"), 28);
    EXPECT_EQ(reader.m_nCount, 28);
    // At 10 and 20 on the way, and once at the end.
    EXPECT_EQ(CountOf(target.Posts(), kCount, 1), 3);
    EXPECT_EQ(
        catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead WHERE Dir=-1 AND Filename LIKE '%/'"),
        3);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead WHERE Filename LIKE '%LOUD.MP3'"),
              1);

    reader.ScanDirectory(dir / "missing/");
    EXPECT_EQ(Rows("tInfoRead"), 28);
}

TEST_F(InfoReaderTest, EmptyQueueReportsEveryIdleSleepWithoutBusyMessages) {
    constexpr auto kIdleSleep = std::chrono::milliseconds(40);
    InfoReader reader(catalog.Database(), catalog.Writes(), kIdleSleep);
    test::RecordingMessageTarget target;
    reader.SetMainWindow(&target);
    reader.m_nCount = 7;
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] { reader.Run(); });
    // Three reports take at least two sleeps, however slow the machine is.
    for (int wait = 0; wait < 5000 && CountOf(target.Posts(), kCount, 1) < 3; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    reader.m_bStop = true;
    worker.join();
    EXPECT_TRUE(reader.m_bStopped);
    EXPECT_EQ(reader.m_nCount, 0);
    EXPECT_GE(CountOf(target.Posts(), kCount, 1), 3);
    EXPECT_GE(elapsed, 2 * kIdleSleep);
    EXPECT_EQ(CountOf(target.Posts(), kBusy, 1) + CountOf(target.Posts(), kBusy, 0), 0);
}

TEST_F(InfoReaderTest, AnIdleScannerStopsAtOnce) {
    InfoReader reader(catalog.Database(), catalog.Writes(), std::chrono::milliseconds(5000));
    std::thread worker([&] { reader.Run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // in its idle pause by now
    const auto asked = std::chrono::steady_clock::now();
    reader.m_bStop = true;
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
    EXPECT_TRUE(reader.m_bStopped);
}

TEST_F(InfoReaderTest, AnErrorLeavingTheLoopIsNotReportedAsAStop) {
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    reader.QueueFile("/music/a.mp3");
    // The queue can be counted but not read.
    ASSERT_TRUE(catalog.Database().ExecuteStatement("ALTER TABLE tDuplicate RENAME TO tGone"));
    bool errorLeft = false;
    bool stoppedAsTheErrorLeft = true;
    std::thread worker([&] {
        try {
            reader.Run();
        } catch (...) {
            errorLeft = true;
            stoppedAsTheErrorLeft = reader.m_bStopped;
        }
    });
    worker.join();
    ASSERT_TRUE(errorLeft);
    // Shutdown takes a stopped report as leave to join the thread, which is
    // still on its way to report the error.
    EXPECT_FALSE(stoppedAsTheErrorLeft);
}

TEST_F(InfoReaderTest, TreeBecomesTracksAndDuplicates) {
    const std::string first = MakeMp3(dir, "First_-_Song.mp3", "whitenoise");
    fs::create_directories(dir.Path() / "Artist's Now True" / "album");
    const std::string nested = dir / "Artist's Now True/album/";
    MakeMp3(dir, "Artist's Now True/album/other.mp3", "pinknoise");
    fs::copy_file(first, nested + "identical copy.mp3");
    fs::copy_file(first, nested + "retagged.mp3");
    RunCommand("id3v2 -2 -t Retagged -a Someone " + ShellQuote(nested + "retagged.mp3"));
    // Every frame's fingerprint byte is an apostrophe or a letter: "a'bcdefghij'k".
    std::string quoteStream;
    for (char byte : std::string("a'bcdefghij'k")) {
        quoteStream += MpegFrame(0xFFFB9000, 417, static_cast<unsigned char>(byte));
    }
    test::WriteBytes(dir / "quote1.mp3", quoteStream);
    test::WriteBytes(nested + "quote2.mp3", quoteStream);

    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    reader.QueueDirectory(dir.Path().string() + "/");
    Drain(reader);

    EXPECT_EQ(Rows("tInfoRead"), 0);
    EXPECT_EQ(Rows("tTrack"), 3);
    EXPECT_EQ(Rows("tDuplicate"), 3);
    EXPECT_EQ(
        catalog.ScalarLong("SELECT COUNT(*) FROM tDuplicate WHERE Filename LIKE '%/quote2.mp3' "
                           "AND FingerPrint='a''bcdefghij''k'"),
        1);
    EXPECT_EQ(catalog.Scalar("SELECT Artist FROM tTrack WHERE Filename='" + first + "'"), "First");
    EXPECT_EQ(catalog.Scalar("SELECT SearchString FROM tTrack WHERE Filename='" + first + "'"),
              "FIRSTSONGMP");
    EXPECT_EQ(
        catalog.Scalar("SELECT Trackname FROM tDuplicate WHERE Filename LIKE '%retagged.mp3'"),
        "Retagged");
    EXPECT_EQ(catalog.ScalarLong("SELECT BitRate FROM tTrack WHERE Filename='" + first + "'"), 128);
    // Three passes with work: the root, its directory, the album directory and its files.
    EXPECT_EQ(CountOf(posts, kBusy, 1), CountOf(posts, kBusy, 0));
    EXPECT_GE(CountOf(posts, kBusy, 1), 3);
}

TEST_F(InfoReaderTest, SameDirectoryTwiceAndKnownPathsRecordEachFileOnce) {
    MakeMp3(dir, "a.mp3", "sine 300");
    MakeMp3(dir, "b.mp3", "sine 600");
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    const std::string root = dir.Path().string() + "/";
    reader.QueueDirectory(root);
    reader.QueueDirectory(root);
    Drain(reader);
    EXPECT_EQ(Rows("tTrack"), 2);

    // Queued again when everything is known: the pass query is empty at once, and the
    // clean-up removes the rows without a pass that starts.
    reader.QueueFile(dir / "a.mp3");
    reader.QueueFile(dir / "a.mp3");
    Drain(reader);
    EXPECT_EQ(Rows("tTrack"), 2);
    EXPECT_EQ(Rows("tDuplicate"), 0);
    EXPECT_EQ(Rows("tInfoRead"), 0);
    EXPECT_EQ(CountOf(posts, kBusy, 1), 0);
    EXPECT_EQ(CountOf(posts, kBusy, 0), 1);

    // A known directory expanded again keeps only its subdirectory queued.
    fs::create_directory(dir.Path() / "sub");
    reader.ScanDirectory(root);
    EXPECT_EQ(catalog.Scalar("SELECT Filename FROM tInfoRead"), root + "sub/");
}

TEST_F(InfoReaderTest, PassQueryReadsTheQueueInIndexOrderWithoutSorting) {
    // A sort would read the whole queue on every pass, one pass per directory.
    CADOStatement explain(catalog.Database(),
                          std::string("EXPLAIN QUERY PLAN ") + kInfoReaderPassQuery);
    std::string plan;
    while (explain.Step()) {
        plan += explain.ColumnText(3) + "; ";
    }
    ASSERT_FALSE(explain.Failed()) << catalog.Database().GetLastErrorText();
    EXPECT_NE(plan.find("ixInfoReadPass"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
}

TEST_F(InfoReaderTest, OnlyRegularFilesBecomeTracksAndLongPathsAreNotTakenUpAgain) {
    fs::create_directory(dir.Path() / "folder.mp3");
    MakeMp3(dir, "folder.mp3/inside.mp3", "whitenoise");
    ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir.Path() / "zero.mp3");
    fs::create_symlink(dir / "gone.mp3", dir.Path() / "dangling.mp3");
    fs::create_directory_symlink(dir / "folder.mp3", dir.Path() / "dir-link.mp3");
    fs::create_symlink(dir / "folder.mp3/inside.mp3", dir.Path() / "file-link.mp3");
    std::string deep = dir.Path().string();
    while (deep.size() < 300) {
        deep += "/a-rather-long-directory-name";
    }
    fs::create_directories(deep);
    const std::string longPath = deep + "/Long_-_Path.mp3";
    test::WriteBytes(longPath, "not an mp3 at all");

    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    reader.QueueDirectory(dir.Path().string() + "/");
    reader.QueueFile(longPath);
    reader.QueueFile(dir / "vanished.mp3");
    Drain(reader);
    EXPECT_EQ(Rows("tInfoRead"), 0);
    // inside.mp3 and its link (one of them the other's duplicate), and the long path.
    EXPECT_EQ(Rows("tTrack"), 2);
    EXPECT_EQ(Rows("tDuplicate"), 1);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tTrack WHERE Filename='" +
                                 (dir / "folder.mp3") + "'"),
              0);
    const std::string longRow = "FROM tTrack WHERE Filename='" + longPath + "'";
    EXPECT_EQ(catalog.Scalar("SELECT Artist " + longRow), "Long");
    EXPECT_EQ(catalog.ScalarLong("SELECT BitRate " + longRow + " AND FingerPrint IS NULL"), 0);

    Drain(reader);  // nothing is taken up again
    EXPECT_EQ(CountOf(posts, kBusy, 1), 0);
    EXPECT_EQ(Rows("tTrack"), 2);
}

TEST_F(InfoReaderTest, APathLongerThanTheSystemAllowsIsSkippedWithALineInTheLog) {
    // Folders inside each other until the path passes PATH_MAX (4096 bytes on
    // Linux), made level by level as only names relative to a folder can be.
    const std::string level(250, 'd');
    int folder = ::open(dir.Path().c_str(), O_DIRECTORY | O_RDONLY);
    for (int depth = 0; depth < 18; ++depth) {
        ASSERT_EQ(::mkdirat(folder, level.c_str(), 0700), 0);
        const int inner = ::openat(folder, level.c_str(), O_DIRECTORY | O_RDONLY);
        ::close(folder);
        folder = inner;
    }
    ::close(::openat(folder, "deep.mp3", O_CREAT | O_WRONLY, 0600));
    ::close(folder);
    const fs::path logFile = dir / "kavelin.log";
    const auto previous = InstallLog(std::make_shared<ProgramLog>(logFile));

    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    reader.QueueDirectory(dir.Path().string() + "/");
    Drain(reader);
    InstallLog(previous);
    EXPECT_EQ(Rows("tInfoRead"), 0);
    EXPECT_EQ(Rows("tTrack"), 0);
    std::ifstream log(logFile);
    const std::string text{std::istreambuf_iterator<char>(log), {}};
    EXPECT_NE(text.find("skipped a path longer than the system allows (4"), std::string::npos)
        << text;
    EXPECT_TRUE(RunCommand("rm -rf " + ShellQuote(dir / level)));
}

TEST_F(InfoReaderTest, UnreadableFilesStayOutAndAreTriedAgainLater) {
    // A file that exists but refuses to be read, even by root: a write-only
    // kernel attribute, or a file without read permission for anyone else.
    const std::string locked = dir / "locked.mp3";
    if (::geteuid() == 0) {
        if (!fs::exists("/sys/bus/cpu/drivers_probe")) {
            GTEST_SKIP() << "no write-only file to stand for an unreadable one";
        }
        fs::create_symlink("/sys/bus/cpu/drivers_probe", locked);
    } else {
        test::WriteBytes(locked, "x");
        fs::permissions(locked, fs::perms::owner_write);
    }
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep, nullptr,
                      std::chrono::milliseconds(0));
    reader.QueueFile(locked);
    reader.QueueFile(dir / "readable.mp3");
    test::WriteBytes(dir / "readable.mp3", "x");
    Drain(reader);
    EXPECT_EQ(Rows("tTrack"), 1);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead WHERE Filename='" + locked + "'"),
              1);

    // Once it can be read, the next scan records it.
    fs::remove(locked);
    test::WriteBytes(locked, "x");
    Drain(reader);
    EXPECT_EQ(Rows("tTrack"), 2);
    EXPECT_EQ(Rows("tInfoRead"), 0);
}

TEST_F(InfoReaderTest, ShortFingerPrintsNeverMakeDuplicates) {
    // Different audio can share a short fingerprint; a long one is matched.
    const std::string shortPrint =
        MpegFrame(0xFFFB9000, 417, 'a') + MpegFrame(0xFFFB9000, 417, 'b');
    test::WriteBytes(dir / "one.mp3", shortPrint + MpegFrame(0xFFFB9000, 417, 1));
    test::WriteBytes(dir / "two.mp3", shortPrint + MpegFrame(0xFFFB9000, 417, 2));
    std::string longPrint;
    for (char byte : std::string("abcdefghijklmnopqrstuvwxyz")) {
        longPrint += MpegFrame(0xFFFB9000, 417, static_cast<unsigned char>(byte));
    }
    test::WriteBytes(dir / "long1.mp3", longPrint);
    test::WriteBytes(dir / "long2.mp3", longPrint);
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    reader.QueueDirectory(dir.Path().string() + "/");
    Drain(reader);
    EXPECT_EQ(Rows("tTrack"), 3);
    EXPECT_EQ(Rows("tDuplicate"), 1);
}

TEST_F(InfoReaderTest, StopDuringAPassRunsTheCleanUpAndKeepsTheRest) {
    constexpr int kQueued = 300;
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    for (int i = 0; i < kQueued; ++i) {
        const std::string file = dir / ("small" + std::to_string(i) + ".mp3");
        test::WriteBytes(file, "x");
        reader.QueueFile(file);
    }
    // The stop arrives with the first progress report of the pass.
    StopAtReport target(reader, 1);
    reader.SetMainWindow(&target);
    std::thread worker([&] { reader.Run(); });
    worker.join();
    EXPECT_TRUE(reader.m_bStopped);
    EXPECT_EQ(reader.m_bBusy, 0);
    const long tracks = Rows("tTrack");
    EXPECT_GT(tracks, 0);
    EXPECT_LT(tracks, kQueued);
    EXPECT_EQ(Rows("tInfoRead"), kQueued - tracks);  // the clean-up ran, the rest waits
    const Posts posts = target.Posts();
    ASSERT_FALSE(posts.empty());
    EXPECT_EQ(posts.back().message, kBusy);
    EXPECT_EQ(posts.back().wParam, 0);
    EXPECT_EQ(CountOf(posts, kBusy, 1), 1);
    EXPECT_EQ(CountOf(posts, kCount, 1), tracks);  // one report per finished row
}

TEST_F(InfoReaderTest, OtherThreadsWriteWhileAScanRuns) {
    // Many small files; each scan pass holds the catalog's write lock only briefly.
    for (int d = 0; d < 20; ++d) {
        fs::create_directory(dir.Path() / std::to_string(d));
        for (int f = 0; f < 100; ++f) {
            test::WriteBytes(dir / (std::to_string(d) + "/" + std::to_string(f) + ".mp3"),
                             MpegFrame(0xFFFB1400, 96, static_cast<unsigned char>(1 + f)));
        }
    }
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep);
    reader.QueueDirectory(dir.Path().string() + "/");
    std::atomic<bool> scanning{true};
    std::thread scanner([&] {
        Drain(reader);
        scanning = false;
    });
    // Writes count from the moment the first pass has started.
    for (int wait = 0; wait < 10000 && reader.m_bBusy == 0 && scanning; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int writesDuringScan = 0;
    bool allWritten = true;
    std::chrono::steady_clock::duration longestWrite{};
    while (scanning) {
        const auto start = std::chrono::steady_clock::now();
        allWritten = catalog.Database().ExecuteStatement("UPDATE tCounter SET Counter=Counter+1") &&
                     allWritten;
        longestWrite = std::max(longestWrite, std::chrono::steady_clock::now() - start);
        writesDuringScan += scanning ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    scanner.join();
    EXPECT_TRUE(allWritten) << catalog.Database().GetLastErrorText();
    EXPECT_GE(writesDuringScan, 3);
    // A waiting writer is woken when the scanner commits, and the scanner
    // lets it go first at its next check, every few files.
    EXPECT_LT(longestWrite, std::chrono::milliseconds(500));
    EXPECT_EQ(Rows("tTrack") + Rows("tDuplicate"), 2000);
}

TEST_F(InfoReaderTest, NoWriterWaitsWhileAFileIsRead) {
    // Each file takes as long to read as on a slow or sleeping disk.
    constexpr auto kRead = std::chrono::milliseconds(300);
    for (int f = 0; f < 4; ++f) {
        test::WriteBytes(dir / (std::to_string(f) + ".mp3"),
                         MpegFrame(0xFFFB1400, 96, static_cast<unsigned char>(1 + f)));
    }
    InfoReader reader(catalog.Database(), catalog.Writes(), kShortSleep,
                      [&](const std::string& path) {
                          std::this_thread::sleep_for(kRead);
                          return ReadTrackFile(path);
                      });
    reader.QueueDirectory(dir.Path().string() + "/");
    std::atomic<bool> scanning{true};
    std::thread scanner([&] {
        Drain(reader);
        scanning = false;
    });
    std::chrono::steady_clock::duration longestWrite{};
    bool allWritten = true;
    while (scanning) {
        const auto start = std::chrono::steady_clock::now();
        allWritten = catalog.Database().ExecuteStatement("UPDATE tCounter SET Counter=Counter+1") &&
                     allWritten;
        longestWrite = std::max(longestWrite, std::chrono::steady_clock::now() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    scanner.join();
    EXPECT_TRUE(allWritten);
    EXPECT_LT(longestWrite, kRead / 3);
    EXPECT_EQ(Rows("tTrack"), 4);
}

// The fault-injecting file system must outlive every connection to the catalog.
class ScanOnAFailingDiskTest : public ::testing::Test {
protected:
    test::FaultInjectingVfs disk;
    TestCatalog catalog;
    TempDir dir;
};

TEST_F(ScanOnAFailingDiskTest, AFullDiskIsReportedOnceAndTheScanGoesOnWithoutReadingAgain) {
    constexpr int kFiles = 5;
    for (int f = 0; f < kFiles; ++f) {
        test::WriteBytes(dir / (std::to_string(f) + ".mp3"),
                         MpegFrame(0xFFFB1400, 96, static_cast<unsigned char>(1 + f)));
    }
    std::mutex lock;
    std::map<std::string, int> reads;
    InfoReader reader(catalog.Database(), catalog.Writes(), std::chrono::milliseconds(20),
                      [&](const std::string& path) {
                          std::lock_guard guard(lock);
                          ++reads[path];
                          return ReadTrackFile(path);
                      });
    reader.QueueDirectory(dir.Path().string() + "/");
    disk.FailWrites(SQLITE_FULL);
    StopAtReport target(reader, 0);
    reader.SetMainWindow(&target);
    std::thread scanner([&] { reader.Run(); });

    for (int wait = 0; wait < 5000 && !reader.m_bCatalogDiskFull; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(reader.m_bCatalogDiskFull);
    // Several slow retries, and not one more message while the disk stays full.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::size_t postsWhileFull = target.Posts().size();
    const int failedWrites = disk.FailedWrites();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(target.Posts().size(), postsWhileFull);
    EXPECT_GT(disk.FailedWrites(), failedWrites) << "it tries again";
    EXPECT_LT(disk.FailedWrites() - failedWrites, 200 / 20 * 4) << "slowly";

    disk.FailWrites(SQLITE_OK);  // space returns
    scanner.join();
    EXPECT_FALSE(reader.m_bCatalogDiskFull);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tTrack"), kFiles);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead"), 0);
    ASSERT_EQ(reads.size(), std::size_t{kFiles});
    for (const auto& [path, count] : reads) {
        EXPECT_EQ(count, 1) << path;
    }
}

TEST_F(ScanOnAFailingDiskTest, FailedWritesLoseNothingAndRecordNothingTwice) {
    // Directories and files, with writes failing now and then as on a failing disk.
    for (int d = 0; d < 6; ++d) {
        fs::create_directory(dir.Path() / std::to_string(d));
        for (int f = 0; f < 30; ++f) {
            test::WriteBytes(dir / (std::to_string(d) + "/" + std::to_string(f) + ".mp3"),
                             MpegFrame(0xFFFB1400, 96, static_cast<unsigned char>(1 + f)));
        }
    }
    InfoReader reader(catalog.Database(), catalog.Writes(), std::chrono::milliseconds(2));
    reader.QueueDirectory(dir.Path().string() + "/");
    StopAtReport target(reader, 0);
    reader.SetMainWindow(&target);
    // Failing from the first write on, then now and then.
    disk.FailWrites(SQLITE_IOERR_WRITE);
    std::atomic<bool> scanning{true};
    std::thread scanner([&] {
        reader.Run();
        scanning = false;
    });
    for (int wait = 0; wait < 5000 && disk.FailedWrites() == 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int round = 1; scanning && round < 2000; ++round) {
        disk.FailWrites(round % 2 == 0 ? SQLITE_IOERR_WRITE : SQLITE_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 2 == 0 ? 3 : 5));
    }
    disk.FailWrites(SQLITE_OK);
    scanner.join();
    EXPECT_GT(disk.FailedWrites(), 0);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead"), 0);
    // One-frame files: their fingerprints are too short to make duplicates.
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(DISTINCT Filename) FROM tTrack"), 180);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(DISTINCT Filename) FROM tDuplicate"), 0);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tTrack") +
                  catalog.ScalarLong("SELECT COUNT(*) FROM tDuplicate"),
              180);
    EXPECT_EQ(catalog.Scalar("PRAGMA integrity_check"), "ok");
}

}  // namespace
}  // namespace kavelin
