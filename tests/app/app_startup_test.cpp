// Start-up in the working directory, and the workers' stop handshake.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/KavelinApp.h"
#include "app/WorkerThread.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

// Runs the test inside a directory of its own, as the launcher runs the program.
class InDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = std::filesystem::current_path();
        std::filesystem::remove(catalog.CatalogPath());
        std::filesystem::current_path(catalog.Directory());
    }
    void TearDown() override { std::filesystem::current_path(m_previous); }

    static std::string Contents(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    test::TestCatalog catalog;
    test::ScopedMessageShell messages;

private:
    std::filesystem::path m_previous;
};

TEST_F(InDirectory, MissingCatalogShowsTheMessageAndEnds) {
    CKavelinApp app;
    EXPECT_EQ(app.Run(), 1);
    const auto shown = messages.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, kMissingCatalogText);
    EXPECT_EQ(shown[0].title, "Fatal Error...");
    EXPECT_EQ(shown[0].icon, MessageIcon::Error);
    EXPECT_EQ(app.GetDataBase(), nullptr);
    EXPECT_FALSE(std::filesystem::exists("Kavelin.mdb"));  // never created
}

TEST_F(InDirectory, ForeignFileIsLeftUntouched) {
    // The first bytes of a desktop database of another system.
    std::string foreign("\x00\x01\x00\x00Standard Jet DB\x00", 20);
    foreign += std::string(4096, '\x7f');
    std::ofstream("Kavelin.mdb", std::ios::binary) << foreign;
    CKavelinApp app;
    EXPECT_EQ(app.Run(), 1);
    const auto shown = messages.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, ForeignCatalogText());
    EXPECT_EQ(Contents("Kavelin.mdb"), foreign);
    EXPECT_FALSE(std::filesystem::exists("Kavelin.mdb-wal"));

    // An SQLite file that is not a Kavelin catalog is not ours either.
    std::filesystem::remove("Kavelin.mdb");
    std::string otherSqlite("SQLite format 3\0", 16);
    otherSqlite += std::string(84, '\0');
    std::ofstream("Kavelin.mdb", std::ios::binary) << otherSqlite;
    CKavelinApp second;
    EXPECT_EQ(second.Run(), 1);
    EXPECT_EQ(Contents("Kavelin.mdb"), otherSqlite);
}

TEST_F(InDirectory, FreshCatalogStartsAndEndsCleanly) {
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, "Kavelin.mdb");
    CKavelinApp app;
    EXPECT_EQ(app.Run(), 0);
    EXPECT_TRUE(messages.shell().Messages().empty());
    EXPECT_EQ(app.GetDataBase(), nullptr);  // disconnected and destroyed at shutdown
}

TEST_F(InDirectory, UnreadableCatalogIsReportedNotIgnored) {
    // A catalog whose header is intact but whose pages are gone.
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, "Kavelin.mdb");
    std::filesystem::resize_file("Kavelin.mdb", 100);
    CKavelinApp app;
    EXPECT_EQ(app.Run(), 1);
    const auto shown = messages.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.rfind("Cannot open the Kavelin database file 'Kavelin.mdb'.", 0), 0u)
        << shown[0].text;
}

TEST(WorkerThread, AWorkerThatDiedCountsAsStopped) {
    test::ScopedMessageShell messages;
    std::atomic<bool> stop{false};
    std::atomic<bool> stopped{false};
    WorkerThread thread("TrackPlayer", [] { throw std::runtime_error("boom"); });
    thread.Start();
    const auto started = std::chrono::steady_clock::now();
    StopAndWait(stop, stopped, thread, std::chrono::milliseconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(stop);
    EXPECT_FALSE(stopped);
    const auto shown = messages.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Unexpected error in module TrackPlayer.");
    EXPECT_EQ(shown[0].title, "Fatal Error...");
}

TEST(WorkerThread, StopHandshakeWaitsForTheReport) {
    std::atomic<bool> stop{false};
    std::atomic<bool> stopped{false};
    std::atomic<int> passes{0};
    WorkerThread thread("InfoReader", [&] {
        while (!stop) {
            ++passes;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stopped = true;
        // The thread lingers after reporting, as a worker cleaning up would.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    thread.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    StopAndWait(stop, stopped, thread, std::chrono::milliseconds(10));
    EXPECT_TRUE(stopped);
    EXPECT_GT(passes.load(), 0);
}

}  // namespace
}  // namespace kavelin
