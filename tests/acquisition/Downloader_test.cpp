// The download worker's cycle against the real component on a loopback network.
#include "acquisition/Downloader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "catalog/ADORecordset.h"
#include "library/InfoReader.h"
#include "library/TrackInfoReader.h"
#include "tests/gnutella/FakeNetwork.h"
#include "tests/support/TestCatalog.h"

namespace kavelin::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// MPEG-1 layer III frames at 128 kbit/s and 44.1 kHz, their bodies varied by `seed`.
std::string Mp3(int frames, char seed) {
    std::string data;
    for (int i = 0; i < frames; ++i) {
        std::string frame(417, '\0');
        frame[0] = char(0xFF);
        frame[1] = char(0xFB);
        frame[2] = char(0x90);
        frame[3] = char(0x64);
        for (std::size_t j = 40; j < frame.size(); j += 7) {
            frame[j] = char(seed + i + j);
        }
        data += frame;
    }
    return data;
}

gnutella::ServentLimits FastLimits() {
    gnutella::ServentLimits limits;
    limits.connectTimeout = 1000ms;
    limits.handshakeTimeout = 700ms;
    limits.hostRetry = 300ms;
    limits.transferIdle = 1000ms;
    return limits;
}

struct DownloaderTest : ::testing::Test {
    DownloaderTest()
        : reader(catalog.Database(), catalog.Writes(), 50ms),
          downloader(
              catalog.Database(), reader,
              [this](const std::string& progId) -> std::unique_ptr<gnutella::GnucCore> {
                  ++factoryCalls;
                  return failFactory
                             ? nullptr
                             : gnutella::CreateObject(progId, catalog.Directory(), FastLimits());
              },
              Downloader::Timing{10ms, 3, 2}) {
        downloader.SetMainWindow(&window);
    }
    ~DownloaderTest() override {
        if (downloader.m_bRunning) {
            downloader.Stop();
        }
    }
    void KnowUltrapeers(const std::vector<const FakeUltrapeer*>& peers) {
        // The fakes live on loopback, which the leaf takes from peers only when told.
        std::ofstream(catalog.Directory() / "GnuConfig.ini") << "LocalNetworks=127.0.0.0/8\n";
        std::ofstream out(catalog.Directory() / "GnuUltraCache.net");
        for (const auto* peer : peers) {
            out << gnutella::FormatHostAddress(peer->Address()) << "\n";
        }
    }
    void Recommend(const std::string& artist) {
        ASSERT_TRUE(catalog.Database().ExecuteStatement(
            "INSERT INTO tRecommender(Name) SELECT TOP 1 '" + artist +
            "' FROM tCounter WHERE NOT EXISTS (SELECT * From tRecommender WHERE Name='" + artist +
            "')"));
    }
    // Runs cycles until `condition` holds, at most `cycles` of them.
    bool CycleUntil(const std::function<bool()>& condition, int cycles = 1500) {
        for (int i = 0; i < cycles; ++i) {
            downloader.RunCycle();
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    std::vector<std::string> Queued() {
        std::vector<std::string> files;
        CADORecordset rows(catalog.Database());
        if (rows.OpenSource("SELECT Filename FROM tInfoRead ORDER BY Filename",
                            CADORecordset::SourceQuery)) {
            while (!rows.AtEnd()) {
                std::string name;
                rows.ReadField(0, name);
                files.push_back(name);
                rows.MoveNext();
            }
        }
        return files;
    }

    TestCatalog catalog;
    InfoReader reader;
    RecordingMessageTarget window;
    ScopedMessageShell shell;
    bool failFactory = false;
    int factoryCalls = 0;
    Downloader downloader;
};

TEST_F(DownloaderTest, StoppedCyclesPostTheStatusWithZeroFigures) {
    EXPECT_FALSE(downloader.m_bRunning);
    for (int i = 0; i < 3; ++i) {
        downloader.RunCycle();
    }
    const auto posts = window.Posts();
    ASSERT_EQ(posts.size(), 3u);
    for (const auto& post : posts) {
        EXPECT_EQ(post.message, 0x812Cu);
        EXPECT_EQ(post.wParam, 1);
        EXPECT_EQ(post.lParam, 0);
    }
    EXPECT_EQ(downloader.m_nConnects + downloader.m_nDownloads + downloader.m_nBytesDown +
                  downloader.m_nBytesUp,
              0);
    EXPECT_EQ(factoryCalls, 0);
}

TEST_F(DownloaderTest, ComponentThatCannotBeMadeLeavesDownloadingOff) {
    failFactory = true;
    downloader.Start();
    EXPECT_FALSE(downloader.m_bRunning);
    ASSERT_EQ(shell.shell().Messages().size(), 1u);
    EXPECT_EQ(shell.shell().Messages()[0].text, "Could not load GnucDNA");
    EXPECT_EQ(shell.shell().Messages()[0].icon, MessageIcon::Warning);
    downloader.RunCycle();  // a stopped cycle touches no component
    EXPECT_EQ(window.Posts().size(), 1u);
}

TEST_F(DownloaderTest, WithoutConnectionsNothingIsSearchedOrChecked) {
    Recommend("Nobody");
    downloader.Start();
    ASSERT_TRUE(downloader.m_bRunning);
    EXPECT_EQ(downloader.m_nCheckCount, 2);
    for (int i = 0; i < 20; ++i) {
        downloader.RunCycle();
    }
    EXPECT_EQ(downloader.m_nConnects, 0);
    EXPECT_EQ(downloader.m_nCheckCount, 2);
    EXPECT_EQ(downloader.m_nSearch, 0);
    EXPECT_EQ(catalog.Scalar("SELECT LastDownloaded FROM tRecommender"), "");
    EXPECT_EQ(window.Posts().size(), 20u);
}

TEST_F(DownloaderTest, ArtistsAreSearchedInTurnOldestFirstAndStopStartBeginsAfresh) {
    FakeUltrapeer peer({});
    KnowUltrapeers({&peer});
    Recommend("Alpha");
    Recommend("Beta");
    Recommend("Gamma");
    // Never searched (null) comes first, then the longest ago.
    ASSERT_TRUE(catalog.Database().ExecuteStatement(
        "UPDATE tRecommender SET LastDownloaded='2001-01-01 00:00:00' WHERE Name='Beta'"));
    ASSERT_TRUE(catalog.Database().ExecuteStatement(
        "UPDATE tRecommender SET LastDownloaded='2000-01-01 00:00:00' WHERE Name='Gamma'"));
    downloader.Start();
    ASSERT_TRUE(CycleUntil([&] { return peer.Queries().size() >= 4; }));
    const auto queries = peer.Queries();
    EXPECT_EQ(queries[0].text, "Alpha");
    EXPECT_EQ(queries[1].text, "Gamma");
    EXPECT_EQ(queries[2].text, "Beta");
    EXPECT_EQ(queries[3].text,
              "Alpha");  // searched first of the three (or, within one second, the lowest ID)
    EXPECT_GT(downloader.m_nConnects, 0);

    fs::remove(catalog.Directory() / "GnuUltraCache.net");
    downloader.Stop();
    EXPECT_FALSE(downloader.m_bRunning);
    EXPECT_EQ(downloader.m_nConnects, 0);
    // Stop wrote the host caches, with the ultrapeer that answered.
    std::ifstream saved(catalog.Directory() / "GnuUltraCache.net");
    std::string text((std::istreambuf_iterator<char>(saved)), {});
    EXPECT_NE(text.find(gnutella::FormatHostAddress(peer.Address())), std::string::npos);

    downloader.Start();
    EXPECT_EQ(downloader.m_nCheckCount, 2);
    EXPECT_EQ(downloader.m_nSearch, 0);
    ASSERT_TRUE(CycleUntil([&] { return peer.Queries().size() >= 5; }));
}

TEST_F(DownloaderTest, TakesWidelyOfferedNewMp3sQueuesThemAndNeverTakesThemTwice) {
    const SharedFile wanted{"Artist - Song.mp3", Mp3(40, 'a')};
    const SharedFile upper{"Artist - Loud.MP3", Mp3(40, 'b')};
    const SharedFile leadingDot{".mp3 Artist", Mp3(40, 'c')};
    const SharedFile rare{"Artist - Rare.mp3", Mp3(40, 'd')};
    const SharedFile known{"Artist - Known.mp3", Mp3(40, 'e')};
    FakeFileHost a({wanted, upper, leadingDot, rare, known});
    FakeFileHost b({wanted, upper, leadingDot, rare, known});
    FakeFileHost c({wanted, upper, leadingDot, known});
    FakeUltrapeer peer({&a, &b, &c});
    KnowUltrapeers({&peer});
    Recommend("Artist");
    // The catalog has "Known" under another spelling of its name.
    ASSERT_TRUE(catalog.Database().ExecuteStatement(
        "INSERT INTO tTrack(Filename, SearchString) VALUES ('/music/artist_known2.mp3', '" +
        MakeSearchString("artist_known.mp3") + "')"));

    downloader.Start();
    const std::string expected = (catalog.Directory() / "Downloads" / wanted.name).string();
    ASSERT_TRUE(CycleUntil([&] { return !Queued().empty() && downloader.m_nSearchAge > 6; }));
    EXPECT_EQ(Queued(), std::vector<std::string>{expected});
    std::ifstream file(expected, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), {}), wanted.content);
    EXPECT_EQ(std::distance(fs::directory_iterator(catalog.Directory() / "Downloads"),
                            fs::directory_iterator()),
              1);

    // The scanner makes it a catalog track; the next search for the artist takes nothing.
    std::thread scanner([&] { reader.Run(); });
    const bool scanned = WaitFor(
        [&] {
            return catalog.ScalarLong("SELECT COUNT(*) FROM tTrack WHERE SearchString='" +
                                      MakeSearchString(wanted.name) + "'") == 1;
        },
        10000ms);
    reader.m_bStop = true;
    scanner.join();
    ASSERT_TRUE(scanned);
    const int firstSearch = downloader.m_nSearch;
    ASSERT_TRUE(CycleUntil(
        [&] { return downloader.m_nSearch != firstSearch && downloader.m_nSearchAge > 5; }));
    EXPECT_EQ(std::distance(fs::directory_iterator(catalog.Directory() / "Downloads"),
                            fs::directory_iterator()),
              1);
}

TEST_F(DownloaderTest, NamesChangedOnTheWayAreFetchedOnce) {
    // Stored as "Song.mp3" and as a name cut to the length limit; the third
    // cannot be stored at all.
    const SharedFile backslash{"Some Artist\\Song.mp3", Mp3(10, 'k')};
    const SharedFile overlong{"Artist - " + std::string(300, 'x') + ".mp3", Mp3(10, 'l')};
    const SharedFile hidden{"Artist\\.mp3 hidden", Mp3(10, 'm')};
    FakeFileHost a({backslash, overlong, hidden}), b({backslash, overlong, hidden}),
        c({backslash, overlong, hidden});
    FakeUltrapeer peer({&a, &b, &c});
    KnowUltrapeers({&peer});
    Recommend("Artist");
    downloader.Start();
    auto requests = [&] { return a.Requests().size() + b.Requests().size() + c.Requests().size(); };
    ASSERT_TRUE(CycleUntil([&] { return Queued().size() == 2; }));
    // Many more examinations of the same results take nothing again.
    const int search = downloader.m_nSearch;
    CycleUntil([] { return false; }, 60);
    EXPECT_NE(downloader.m_nSearch, search);
    EXPECT_EQ(requests(), 2u);
    EXPECT_EQ(Queued().size(), 2u);
}

TEST_F(DownloaderTest, OneExaminationStartsAFewDownloadsOnly) {
    std::vector<SharedFile> songs;
    for (int i = 0; i < 12; ++i) {
        songs.push_back(
            {"Artist - Song " + std::string(1, char('A' + i)) + ".mp3", Mp3(2, char(i))});
    }
    FakeFileHost a(songs), b(songs), c(songs);
    for (auto* host : {&a, &b, &c}) {
        host->busyReplies = 1000000;
        host->retryAfterSeconds = 3600;
    }
    FakeUltrapeer peer({&a, &b, &c});
    KnowUltrapeers({&peer});
    Recommend("Artist");
    downloader.Start();
    // Stops right after the first examination of the results.
    ASSERT_TRUE(
        CycleUntil([&] { return downloader.m_nSearchAge == 4 && downloader.m_nSearch != 0; }));
    std::this_thread::sleep_for(1500ms);
    std::set<std::string> asked;
    for (auto* host : {&a, &b, &c}) {
        for (const auto& request : host->Requests()) {
            asked.insert(request.substr(0, request.find(" HTTP/")));
        }
    }
    EXPECT_EQ(asked.size(), 5u);
}

TEST_F(DownloaderTest, ConfigurationFileValuesWinOverTheBuiltInOnes) {
    FakeUltrapeer first({}), second({});
    KnowUltrapeers({&first, &second});
    std::ofstream(catalog.Directory() / "GnuConfig.ini", std::ios::app)
        << "UltrapeerConnections=1\n";
    downloader.Start();
    ASSERT_TRUE(CycleUntil([&] { return downloader.m_nConnects == 1; }));
    CycleUntil([] { return false; }, 40);
    EXPECT_EQ(first.Accepted() + second.Accepted(), 1);
    EXPECT_EQ(downloader.m_nConnects, 1);
}

TEST_F(DownloaderTest, NamesInOtherScriptsAreNotTakenForKnownOnes) {
    // "Кино - Группа крови.mp3" is new although the catalog holds "Кино - Звезда.mp3":
    // with only the letters A to Z both names would have reduced to "MP".
    const std::string band = "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE";
    const SharedFile wanted{band + " - \xD0\x93\xD1\x80\xD1\x83\xD0\xBF\xD0\xBF\xD0\xB0.mp3",
                            Mp3(40, 'f')};
    FakeFileHost a({wanted});
    FakeFileHost b({wanted});
    FakeFileHost c({wanted});
    FakeUltrapeer peer({&a, &b, &c});
    KnowUltrapeers({&peer});
    Recommend(band);
    ASSERT_TRUE(catalog.Database().ExecuteStatement(
        "INSERT INTO tTrack(Filename, SearchString) VALUES ('/music/known.mp3', '" +
        MakeSearchString(band + " - \xD0\x97\xD0\xB2\xD0\xB5\xD0\xB7\xD0\xB4\xD0\xB0.mp3") + "')"));

    downloader.Start();
    ASSERT_TRUE(CycleUntil([&] { return !Queued().empty(); }));
    EXPECT_EQ(Queued(),
              std::vector<std::string>{(catalog.Directory() / "Downloads" / wanted.name).string()});
}

TEST_F(DownloaderTest, FailedDownloadsAreClearedWithoutQueueing) {
    const SharedFile song{"Artist - Broken.mp3", Mp3(10, 'f')};
    FakeFileHost a({song}), b({song}), c({song});
    a.corrupt = true;
    b.corrupt = true;
    c.corrupt = true;
    FakeUltrapeer peer({&a, &b, &c});
    KnowUltrapeers({&peer});
    Recommend("Artist");
    downloader.Start();
    // A failed download is removed at the next check, so its result is taken
    // again: a second request shows the first download left the list.
    auto requests = [&] { return a.Requests().size() + b.Requests().size() + c.Requests().size(); };
    ASSERT_TRUE(CycleUntil([&] { return requests() >= 2; }));
    EXPECT_TRUE(Queued().empty());
    // Only the partial file of the next try may be there, never a finished one.
    EXPECT_FALSE(fs::exists(catalog.Directory() / "Downloads" / song.name));
    EXPECT_TRUE(shell.shell().Messages().empty());
}

TEST_F(DownloaderTest, DownloadsWithNoSourceLeftAreClearedAndTakenAgain) {
    const SharedFile song{"Artist - Gone.mp3", Mp3(10, 'g')};
    FakeFileHost a({song}), b({song}), c({song});
    for (auto* host : {&a, &b, &c}) {
        host->withdrawn = true;  // offered in hits, but no longer there
    }
    FakeUltrapeer peer({&a, &b, &c});
    KnowUltrapeers({&peer});
    Recommend("Artist");
    downloader.Start();
    // Waiting with nothing left to try, the download is removed at a check;
    // the file then is no longer listed and is taken again: each take asks
    // all three hosts.
    auto requests = [&] { return a.Requests().size() + b.Requests().size() + c.Requests().size(); };
    ASSERT_TRUE(CycleUntil([&] { return requests() >= 6; }));
    EXPECT_TRUE(Queued().empty());
    EXPECT_TRUE(shell.shell().Messages().empty());
}

TEST_F(DownloaderTest, ThirtyListedDownloadsHoldBackTheNextSearch) {
    std::vector<SharedFile> songs;
    for (int i = 0; i < 35; ++i) {
        songs.push_back({"Artist - Song " + std::string(1, char('A' + i % 26)) +
                             std::string(1, char('a' + i / 26)) + ".mp3",
                         Mp3(2, char(i))});
    }
    FakeFileHost a(songs), b(songs), c(songs);
    for (auto* host : {&a, &b, &c}) {
        host->busyReplies = 1000000;
        host->retryAfterSeconds = 3600;
    }
    FakeUltrapeer peer({&a, &b, &c});
    KnowUltrapeers({&peer});
    Recommend("Artist");
    Recommend("Other");
    downloader.Start();
    // All 35 results are taken and stay listed, queued at their busy hosts.
    ASSERT_TRUE(CycleUntil(
        [&] { return a.Requests().size() + b.Requests().size() + c.Requests().size() >= 35; }));
    const std::size_t searches = peer.Queries().size();
    // Without the bound a search would start at the next check, within 30 cycles.
    CycleUntil([] { return false; }, 80);
    EXPECT_EQ(peer.Queries().size(), searches);
    EXPECT_LE(downloader.m_nCheckCount, 2);
}

TEST_F(DownloaderTest, StopHandsFinishedFilesToTheScannerFirst) {
    const SharedFile song{"Artist - Finished.mp3", Mp3(10, 'h')};
    FakeFileHost a({song}), b({song}), c({song});
    FakeUltrapeer peer({&a, &b, &c});
    KnowUltrapeers({&peer});
    Recommend("Artist");
    downloader.Start();
    // Cycles stop right after the one that took the file, so no check sees it finish.
    ASSERT_TRUE(
        CycleUntil([&] { return downloader.m_nCheckCount == 1 && downloader.m_nSearchAge >= 4; }));
    const fs::path finished = catalog.Directory() / "Downloads" / song.name;
    ASSERT_TRUE(WaitFor([&] { return fs::exists(finished); }));
    EXPECT_TRUE(Queued().empty());
    downloader.Stop();
    EXPECT_EQ(Queued(), std::vector<std::string>{finished.string()});
}

}  // namespace
}  // namespace kavelin::test
