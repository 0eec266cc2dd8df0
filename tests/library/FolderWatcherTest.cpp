// Folders the user added, watched while the program runs.
#include "library/FolderWatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "catalog/CatalogOperations.h"
#include "library/InfoReader.h"
#include "tests/support/TestCatalog.h"

namespace kavelin::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Tries a condition every 20 ms for at most 10 s.
bool Eventually(const std::function<bool()>& condition) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

void Write(const fs::path& path) {
    std::ofstream(path) << "not really music";
}

class FolderWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = catalog.Directory() / "music";
        fs::create_directories(folder / "old");
        Write(folder / "old" / "kept.mp3");
    }
    void TearDown() override { Stop(); }

    std::string Folder() const { return folder.string() + "/"; }

    void Start(FolderWatcher::Limits limits) {
        watcher =
            std::make_unique<FolderWatcher>(catalog.Database(), catalog.Writes(), scanner, limits);
        thread = std::thread([this] { watcher->Run(); });
    }
    void Stop() {
        if (thread.joinable()) {
            watcher->m_bStop = true;
            thread.join();
        }
    }
    bool IsQueued(const std::string& path) {
        return catalog.ScalarLong("SELECT Count(*) FROM tInfoRead WHERE Filename='" +
                                  QuoteForSql(path) + "'") > 0;
    }
    bool IsDeleted(const std::string& path) {
        return catalog.ScalarLong("SELECT Count(*) FROM tTrack WHERE Deleted<>0 AND Filename='" +
                                  QuoteForSql(path) + "'") > 0;
    }
    void AddTrack(const std::string& path) {
        catalog.Database().ExecuteStatement("INSERT INTO tTrack(Filename) VALUES ('" +
                                            QuoteForSql(path) + "')");
    }

    TestCatalog catalog;
    InfoReader scanner{catalog.Database(), catalog.Writes()};
    fs::path folder;
    std::unique_ptr<FolderWatcher> watcher;
    std::thread thread;
};

TEST_F(FolderWatcherTest, AWatchedFolderPicksUpNewFilesAndFoldersAndIsRemembered) {
    const std::string gone = Folder() + "old/kept.mp3";
    AddTrack(gone);
    Start({64, 1h, 20ms});
    watcher->AddFolder(Folder());
    ASSERT_TRUE(Eventually([&] { return watcher->m_nWatched == 2; }));

    Write(folder / "new.MP3");
    Write(folder / "notes.txt");
    EXPECT_TRUE(Eventually([&] { return IsQueued(Folder() + "new.MP3"); }));
    fs::create_directory(folder / "later");
    EXPECT_TRUE(Eventually([&] { return IsQueued(Folder() + "later/"); }));
    ASSERT_TRUE(Eventually([&] { return watcher->m_nWatched == 3; }));
    Write(folder / "later" / "deep.mp3");
    EXPECT_TRUE(Eventually([&] { return IsQueued(Folder() + "later/deep.mp3"); }));

    fs::remove(folder / "old" / "kept.mp3");
    EXPECT_TRUE(Eventually([&] { return IsDeleted(gone); }));
    Write(folder / "old" / "kept.mp3");
    EXPECT_TRUE(Eventually([&] { return !IsDeleted(gone); })) << "back where it was";
    AddTrack(Folder() + "later/deep.mp3");
    fs::rename(folder / "later", catalog.Directory() / "elsewhere");
    EXPECT_TRUE(Eventually([&] { return IsDeleted(Folder() + "later/deep.mp3"); }));
    EXPECT_FALSE(IsQueued(Folder() + "notes.txt"));
    Stop();

    EXPECT_EQ(catalog.Scalar("SELECT Path FROM tWatchedFolder"), Folder());
    catalog.Database().ExecuteStatement("DELETE FROM tInfoRead");
    Start({64, 1h, 20ms});
    EXPECT_TRUE(Eventually([&] { return watcher->m_nWatched == 2; })) << "remembered";
    EXPECT_TRUE(Eventually([&] { return IsQueued(Folder()); }))
        << "looked at again for files copied meanwhile";
}

// A folder added while another program holds the catalog: the call does not
// wait for it, and the folder is remembered, once, when the catalog is free.
TEST_F(FolderWatcherTest, AFolderAddedWhileTheCatalogIsHeldIsRememberedLater) {
    watcher = std::make_unique<FolderWatcher>(catalog.Database(), catalog.Writes(), scanner,
                                              FolderWatcher::Limits{});
    {
        test::CatalogWriteHold hold(catalog.CatalogPath());
        const auto start = std::chrono::steady_clock::now();
        watcher->AddFolder(Folder());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
        EXPECT_EQ(catalog.Writes().Waiting(), 1u);
    }
    watcher->AddFolder(Folder());
    EXPECT_TRUE(catalog.Writes().RetryNow());
    EXPECT_EQ(catalog.Scalar("SELECT group_concat(Path) FROM tWatchedFolder"), Folder());
}

TEST_F(FolderWatcherTest, BeyondTheBoundOfWatchesASlowRescanFindsTheChanges) {
    const std::string kept = Folder() + "old/kept.mp3";
    AddTrack(kept);
    watcher = std::make_unique<FolderWatcher>(catalog.Database(), catalog.Writes(), scanner,
                                              FolderWatcher::Limits{1, 200ms, 20ms});
    watcher->AddFolder(Folder());
    thread = std::thread([this] { watcher->Run(); });
    ASSERT_TRUE(Eventually([&] { return watcher->m_nRescanned == 1; }));
    EXPECT_EQ(watcher->m_nWatched, 1u);

    Write(folder / "old" / "found.mp3");
    EXPECT_TRUE(Eventually([&] { return IsQueued(Folder() + "old/found.mp3"); }));
    fs::remove(folder / "old" / "kept.mp3");
    EXPECT_TRUE(Eventually([&] { return IsDeleted(kept); }));
    fs::create_directory(folder / "old" / "more");
    EXPECT_TRUE(Eventually([&] { return IsQueued(Folder() + "old/more/"); }));
    EXPECT_FALSE(IsQueued(kept)) << "unchanged files are not queued again";
}

}  // namespace
}  // namespace kavelin::test
