#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "library/InfoReader.h"
#include "library/StreamInfo.h"
#include "tests/library/Mp3Fixtures.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

constexpr int kDirectories = 40;
constexpr int kFilesPerDirectory = 150;
constexpr int kFiles = kDirectories * kFilesPerDirectory;

// Stops the reader at its first report from an empty queue.
class StopWhenIdle : public MessageTarget {
public:
    explicit StopWhenIdle(InfoReader& reader) : m_reader(reader) {}
    void PostMessage(unsigned message, std::intptr_t, std::intptr_t) override {
        if (message == WM_INFOREADER_COUNT && m_reader.m_bBusy == 0) {
            m_reader.m_bStop = true;
        }
    }

private:
    InfoReader& m_reader;
};

void Drain(CADODataBase& database, PendingWrites& writes) {
    InfoReader reader(database, writes, std::chrono::milliseconds(1));
    StopWhenIdle target(reader);
    reader.SetMainWindow(&target);
    reader.Run();
}

// Small frames whose first fingerprint bytes spell the file's number, then
// enough more for a fingerprint that finds duplicates; every fourth file
// repeats the audio of the one before it.
std::string Audio(int number) {
    std::string audio;
    for (int byte : {1 + number % 250, 251, 1 + number / 250}) {
        audio += test::MpegFrame(0xFFFB1400, 96, static_cast<unsigned char>(byte));
    }
    for (std::size_t i = 0; i < kavelin::kMinDuplicateFingerPrintLength; ++i) {
        audio += test::MpegFrame(0xFFFB1400, 96, static_cast<unsigned char>(0xC0 + i));
    }
    return audio;
}

TEST(CrashSafety, ScanKilledMidwayEndsWithEveryFileRecordedOnce) {
    test::TestCatalog catalog;
    test::TempDir tree;
    for (int d = 0; d < kDirectories; ++d) {
        const std::string directory = tree / ("album" + std::to_string(d));
        std::filesystem::create_directory(directory);
        for (int f = 0; f < kFilesPerDirectory; ++f) {
            const int number = d * kFilesPerDirectory + f;
            test::WriteBytes(directory + "/track" + std::to_string(f) + ".mp3",
                             Audio(number % 4 == 3 ? number - 1 : number));
        }
    }

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        CADODataBase database;
        database.Connect(catalog.ConnectionString(), "", "");
        PendingWrites writes(database, (catalog.Directory() / "Child.pending").string());
        InfoReader reader(database, writes, std::chrono::milliseconds(1));
        reader.QueueDirectory(tree.Path().string() + "/");
        Drain(database, writes);
        _exit(0);
    }

    // Killed as soon as the first rows are committed, well before the end.
    bool recorded = false;
    for (int attempt = 0; attempt < 20000 && !recorded; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        recorded = catalog.ScalarLong("SELECT COUNT(*) FROM tTrack") > 0;
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(recorded);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the scan ended before it could be killed";
    const long before = catalog.ScalarLong(
        "SELECT (SELECT COUNT(*) FROM tTrack) + (SELECT COUNT(*) FROM tDuplicate)");
    EXPECT_LT(before, kFiles);

    Drain(catalog.Database(), catalog.Writes());

    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tInfoRead"), 0);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tTrack"), kFiles - kFiles / 4);
    EXPECT_EQ(catalog.ScalarLong("SELECT COUNT(*) FROM tDuplicate"), kFiles / 4);
    EXPECT_EQ(
        catalog.ScalarLong("SELECT COUNT(DISTINCT Filename) FROM (SELECT Filename FROM tTrack "
                           "UNION ALL SELECT Filename FROM tDuplicate)"),
        kFiles);
    EXPECT_EQ(catalog.Scalar("PRAGMA integrity_check"), "ok");
}

}  // namespace
}  // namespace kavelin
