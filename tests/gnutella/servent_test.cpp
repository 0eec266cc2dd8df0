// The servent against loopback peers: handshakes, queries and hits, downloads
// with resume and verification, and peers that misbehave.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/gnutella/GnucCom.h"
#include "tests/gnutella/FakeNetwork.h"

namespace kavelin::test {
namespace {

namespace fs = std::filesystem;
using namespace gnutella;
using namespace std::chrono_literals;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/kavelin-gnutella-XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Content(std::size_t size, char seed) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        content[i] = char(seed + i * 7 + i / 251);
    }
    return content;
}

ServentLimits FastLimits() {
    ServentLimits limits;
    limits.connectTimeout = 1000ms;
    limits.handshakeTimeout = 700ms;
    limits.hostRetry = 300ms;
    limits.transferIdle = 1000ms;
    limits.webCacheInterval = 200ms;
    return limits;
}

// A core in a temporary working directory that knows the given ultrapeers.
struct Leaf {
    explicit Leaf(const std::vector<HostAddress>& ultrapeers, ServentLimits limits = FastLimits()) {
        std::string cache;
        for (const auto& host : ultrapeers) {
            cache += FormatHostAddress(host) + "\n";
        }
        WriteFile(dir.Path() / "GnuUltraCache.net", cache);
        // The fakes live on loopback, which the leaf takes from peers only when told.
        WriteFile(dir.Path() / "GnuConfig.ini", "LocalNetworks=127.0.0.0/8\n");
        core = CreateObject(kGnutellaProgId, dir.Path(), limits);
        core->Preferences()->LoadConfiguration("GnuConfig.ini");
        network = core->Network();
        cache_ = core->HostCache();
        search = core->Search();
        downloads = core->Downloads();
        cache_->LoadUltrapeers("GnuUltraCache.net");
    }
    void Connect(int expected) {
        core->Connect(1);
        ASSERT_TRUE(WaitFor([&] { return network->ConnectionCount() >= expected; }));
    }
    // Waits until the search has `count` results.
    void AwaitResults(int id, std::size_t count) {
        ASSERT_TRUE(WaitFor([&] { return search->ResultIds(id).size() >= count; }));
    }
    int AwaitEnd(int download, std::chrono::milliseconds limit = 10000ms) {
        WaitFor(
            [&] {
                const int state = downloads->State(download);
                return state == kComplete || state == kFailed ||
                       (state == kWaitingForSource && downloads->SourcesLeft(download) == 0);
            },
            limit);
        return downloads->State(download);
    }

    TempDir dir;
    std::unique_ptr<GnucCore> core;
    std::unique_ptr<GnucNetwork> network;
    std::unique_ptr<GnucHostCache> cache_;
    std::unique_ptr<GnucSearch> search;
    std::unique_ptr<GnucDownloads> downloads;
};

TEST(GnutellaFactory, OnlyTheComponentNameMakesACore) {
    TempDir dir;
    EXPECT_NE(CreateObject("GnucCOM.Core", dir.Path()), nullptr);
    EXPECT_EQ(CreateObject("GnucCOM.Other", dir.Path()), nullptr);
    EXPECT_EQ(CreateObject("", dir.Path()), nullptr);
}

TEST(GnutellaHandshake, LeafIsAcceptedByAnUltrapeerAndSaysWhatItIs) {
    FakeUltrapeer peer({});
    Leaf leaf({peer.Address()});
    leaf.core->SetClientName("Kavelin");
    leaf.core->SetClientVersion("1.00 Beta");
    leaf.Connect(1);
    const std::string hello = peer.LeafHandshake();
    EXPECT_EQ(hello.rfind("GNUTELLA CONNECT/0.6\r\n", 0), 0u);
    EXPECT_NE(hello.find("User-Agent: Kavelin/1.00\r\n"), std::string::npos);
    EXPECT_NE(hello.find("X-Ultrapeer: False\r\n"), std::string::npos);
    EXPECT_NE(hello.find("X-Query-Routing: 0.1\r\n"), std::string::npos);
    ASSERT_TRUE(WaitFor([&] { return !peer.LeafConfirmation().empty(); }));
    EXPECT_EQ(peer.LeafConfirmation().rfind("GNUTELLA/0.6 200 OK\r\n", 0), 0u);
    // X-Try-Ultrapeers joined the cache.
    leaf.cache_->SaveUltrapeers("GnuUltraCache.net");
    const std::string saved = ReadFile(leaf.dir.Path() / "GnuUltraCache.net");
    EXPECT_NE(saved.find("127.1.2.3:6346"), std::string::npos);
    EXPECT_NE(saved.find(FormatHostAddress(peer.Address())), std::string::npos);
}

TEST(GnutellaHandshake, RefusalsLeaveTheLeafUnconnected) {
    FakeUltrapeer busy({}, FakeUltrapeer::Mode::Busy503);
    FakeUltrapeer shielded({}, FakeUltrapeer::Mode::ShieldedLeaf204);
    FakeUltrapeer leafOnly({}, FakeUltrapeer::Mode::NotUltrapeer);
    Leaf leaf({busy.Address(), shielded.Address(), leafOnly.Address()});
    leaf.core->Connect(1);
    ASSERT_TRUE(WaitFor([&] {
        return busy.Accepted() >= 1 && shielded.Accepted() >= 1 && leafOnly.Accepted() >= 1;
    }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(leaf.network->ConnectionCount(), 0);
    // The 503 still taught the leaf other ultrapeers.
    leaf.cache_->SaveUltrapeers("GnuUltraCache.net");
    EXPECT_NE(ReadFile(leaf.dir.Path() / "GnuUltraCache.net").find("127.1.2.4:6347"),
              std::string::npos);
}

TEST(GnutellaHandshake, BlockedHostsAreNeverContacted) {
    FakeUltrapeer peer({});
    Leaf leaf({peer.Address()});
    WriteFile(leaf.dir.Path() / "GnuBlocked.net", "# local\n127.0.0.0/8\n");
    leaf.core->Preferences()->LoadBlockedHosts("GnuBlocked.net");
    leaf.core->Connect(1);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(peer.Accepted(), 0);
}

class QueryRoundTrip : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(QueryRoundTrip, HitsFromThreeHostsGroupBySha1AndDownloadVerified) {
    const auto [deflate, ggep] = GetParam();
    const SharedFile song{"Some Artist - Song.mp3", Content(300000, 'a')};
    const SharedFile other{"Some Artist - Other.mp3", Content(1000, 'b')};
    FakeFileHost a({song, other}), b({song}), c({song});
    FakeUltrapeer peer({&a, &b, &c}, FakeUltrapeer::Mode::Accept, deflate, ggep);
    Leaf leaf({peer.Address()});
    leaf.Connect(1);
    const int id = leaf.search->Start("some artist");
    leaf.AwaitResults(id, 2);
    ASSERT_TRUE(WaitFor([&] { return leaf.search->ResultHostCount(id, 1) == 3; }));
    ASSERT_EQ(peer.Queries().size(), 1u);
    EXPECT_EQ(peer.Queries()[0].text, "some artist");
    EXPECT_EQ(peer.Queries()[0].flags & kQueryFlagsInUse, kQueryFlagsInUse);
    EXPECT_EQ(peer.Queries()[0].flags & 0x0400, 0);  // no out-of-band replies without UDP
    EXPECT_GE(peer.Queries()[0].ttl, 3);
    EXPECT_LE(peer.Queries()[0].ttl, 4);
    EXPECT_EQ(leaf.search->ResultName(id, 1), song.name);
    EXPECT_EQ(leaf.search->ResultHostCount(id, 2), 1);

    const int download = leaf.search->Download(id, 1);
    ASSERT_EQ(leaf.AwaitEnd(download), kComplete);
    EXPECT_EQ(leaf.downloads->Name(download), song.name);
    EXPECT_EQ(ReadFile(leaf.dir.Path() / "Downloads" / song.name), song.content);
    EXPECT_EQ(leaf.core->Preferences()->DownloadFolder(), (leaf.dir.Path() / "Downloads").string());
    leaf.downloads->Remove(download);
    EXPECT_TRUE(leaf.downloads->Ids().empty());
    EXPECT_TRUE(
        fs::exists(leaf.dir.Path() / "Downloads" / song.name));  // removal keeps a finished file
}

INSTANTIATE_TEST_SUITE_P(PlainAndDeflated, QueryRoundTrip,
                         ::testing::Values(std::tuple{false, false}, std::tuple{true, true},
                                           std::tuple{true, false}));

TEST(GnutellaSearch, FilesOverTheSizeCapAreNotKept) {
    FakeFileHost host({{"Track Small.mp3", Content(1000, 'x')},
                       {"Track Large.mp3", Content(1024 * 1024 + 1, 'y')}});
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    WriteFile(leaf.dir.Path() / "GnuConfig.ini", "MaxFileMiB=1\nLocalNetworks=127.0.0.0/8\n");
    leaf.core->Preferences()->LoadConfiguration("GnuConfig.ini");
    leaf.Connect(1);
    const int id = leaf.search->Start("track");
    leaf.AwaitResults(id, 1);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(leaf.search->ResultIds(id).size(), 1u);
    EXPECT_EQ(leaf.search->ResultName(id, 1), "Track Small.mp3");
}

TEST(GnutellaSearch, UnknownIdsRaiseAndStoppedSearchesKeepTheirResults) {
    const SharedFile song{"Band - Track.mp3", Content(100, 'x')};
    FakeFileHost host({song});
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    leaf.Connect(1);
    EXPECT_THROW(leaf.search->ResultIds(99), GnutellaError);
    EXPECT_THROW(leaf.downloads->State(99), GnutellaError);
    EXPECT_THROW(leaf.downloads->Remove(99), GnutellaError);
    const int id = leaf.search->Start("band");
    leaf.AwaitResults(id, 1);
    EXPECT_THROW(leaf.search->ResultName(id, 2), GnutellaError);
    leaf.search->Stop(id);
    EXPECT_EQ(leaf.search->ResultIds(id).size(), 1u);
}

struct DownloadCase : ::testing::Test {
    void SetUp() override {}
    // Searches for "track" and starts downloading the first result.
    int Begin(Leaf& leaf) {
        leaf.Connect(1);
        const int id = leaf.search->Start("track");
        leaf.AwaitResults(id, 1);
        WaitFor([&] { return leaf.search->ResultHostCount(id, 1) >= expectedHosts; }, 2000ms);
        return leaf.search->Download(id, 1);
    }
    int expectedHosts = 1;
};

TEST_F(DownloadCase, ResumesFromAnotherSourceWhenAPeerDiesMidTransfer) {
    const SharedFile song{"Track.mp3", Content(200000, 'q')};
    FakeFileHost first({song}), second({song});
    first.dieAfterBytes = 50000;
    second.dieAfterBytes = 70000;
    FakeUltrapeer peer({&first, &second});
    Leaf leaf({peer.Address()});
    expectedHosts = 2;
    const int download = Begin(leaf);
    ASSERT_EQ(leaf.AwaitEnd(download), kComplete);
    EXPECT_EQ(ReadFile(leaf.dir.Path() / "Downloads" / song.name), song.content);
    // Some request after the first asked for the rest only.
    std::vector<std::string> all = first.Requests();
    for (auto& r : second.Requests()) {
        all.push_back(r);
    }
    EXPECT_TRUE(std::any_of(all.begin(), all.end(),
                            [](auto& r) { return r.find("Range: bytes=") != std::string::npos; }));
}

TEST_F(DownloadCase, HostsTakingDirectConnectionsAreAskedFirst) {
    const SharedFile song{"Track.mp3", Content(4000, 'p')};
    FakeFileHost behindFirewall({song}), open({song});
    behindFirewall.firewalled = true;
    FakeUltrapeer peer({&behindFirewall, &open});
    Leaf leaf({peer.Address()});
    expectedHosts = 2;
    const int download = Begin(leaf);
    ASSERT_EQ(leaf.AwaitEnd(download), kComplete);
    EXPECT_EQ(open.Requests().size(), 1u);
    EXPECT_TRUE(behindFirewall.Requests().empty());
}

TEST_F(DownloadCase, DownloadLimitHoldsTheRate) {
    const SharedFile song{"Track.mp3", Content(300 * 1024, 'l')};
    FakeFileHost host({song});
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    leaf.core->Preferences()->SetDownloadLimit(100.0f);  // KiB/s: at most a second's worth at once
    const auto start = std::chrono::steady_clock::now();
    const int download = Begin(leaf);
    ASSERT_EQ(leaf.AwaitEnd(download), kComplete);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1800ms);
    EXPECT_EQ(ReadFile(leaf.dir.Path() / "Downloads" / song.name), song.content);
}

TEST_F(DownloadCase, BusySourceIsQueuedAndAskedAgain) {
    const SharedFile song{"Track.mp3", Content(5000, 'r')};
    FakeFileHost host({song});
    host.busyReplies = 1;
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    const int download = Begin(leaf);
    ASSERT_TRUE(WaitFor([&] { return leaf.downloads->State(download) == kQueued; }, 3000ms));
    EXPECT_GT(leaf.downloads->SourcesLeft(download), 0);
    ASSERT_EQ(leaf.AwaitEnd(download), kComplete);
}

TEST_F(DownloadCase, BusyReplyMovesToAnotherSourceAtOnce) {
    const SharedFile song{"Track.mp3", Content(5000, 'm')};
    FakeFileHost busy({song}), spare({song});
    busy.busyReplies = 1;
    busy.retryAfterSeconds = 3600;
    spare.firewalled = true;  // ranked second, so the busy host is asked first
    FakeUltrapeer peer({&busy, &spare});
    Leaf leaf({peer.Address()});
    expectedHosts = 2;
    const auto start = std::chrono::steady_clock::now();
    const int download = Begin(leaf);
    ASSERT_EQ(leaf.AwaitEnd(download, 3000ms), kComplete);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    EXPECT_EQ(busy.Requests().size(), 1u);
    EXPECT_EQ(spare.Requests().size(), 1u);
}

TEST_F(DownloadCase, WaitsInTheSourcesQueueOnTheSameConnection) {
    const SharedFile song{"Track.mp3", Content(5000, 'w')};
    FakeFileHost host({song});
    host.queuedReplies = 1;
    host.pollMinSeconds = 1;
    host.pollMaxSeconds = 30;
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    const int download = Begin(leaf);
    ASSERT_TRUE(WaitFor([&] { return leaf.downloads->State(download) == kQueued; }, 3000ms));
    ASSERT_EQ(leaf.AwaitEnd(download, 5000ms), kComplete);
    const auto requests = host.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].find("\r\nX-Queue: 0.1\r\n"), std::string::npos) << requests[0];
    const auto times = host.RequestTimes();
    EXPECT_GE(times[1] - times[0], 1000ms);  // not before pollMin
    // The second request came over the connection that was queued.
    EXPECT_EQ(host.Connections(), 1);
}

TEST_F(DownloadCase, OneTransferAtATimeFromOneHost) {
    FakeFileHost host({{"Track One.mp3", Content(3000, '1')},
                       {"Track Two.mp3", Content(3000, '2')},
                       {"Track Three.mp3", Content(3000, '3')}});
    host.holdMilliseconds = 150;
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    leaf.Connect(1);
    const int id = leaf.search->Start("track");
    leaf.AwaitResults(id, 3);
    std::vector<int> started;
    for (int result : leaf.search->ResultIds(id)) {
        started.push_back(leaf.search->Download(id, result));
    }
    for (int download : started) {
        ASSERT_EQ(leaf.AwaitEnd(download), kComplete);
    }
    EXPECT_EQ(host.mostAtOnce.load(), 1);
}

TEST_F(DownloadCase, CorruptFileFailsAndLeavesNothingBehind) {
    const SharedFile song{"Track.mp3", Content(5000, 's')};
    FakeFileHost host({song});
    host.corrupt = true;
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    const int download = Begin(leaf);
    ASSERT_EQ(leaf.AwaitEnd(download), kFailed);
    EXPECT_EQ(leaf.downloads->SourcesLeft(download), 0);
    EXPECT_TRUE(fs::is_empty(leaf.dir.Path() / "Downloads"));
}

TEST_F(DownloadCase, UnreachableSourcesEndWaitingWithNothingLeft) {
    const SharedFile song{"Track.mp3", Content(5000, 't')};
    auto host = std::make_unique<FakeFileHost>(std::vector<SharedFile>{song});
    FakeUltrapeer peer({host.get()});
    Leaf leaf({peer.Address()});
    leaf.core->Preferences()->SetAttemptsPerSource(2);
    leaf.Connect(1);
    const int id = leaf.search->Start("track");
    leaf.AwaitResults(id, 1);
    host.reset();  // the file host is gone before the download starts
    const int download = leaf.search->Download(id, 1);
    EXPECT_EQ(leaf.AwaitEnd(download), kWaitingForSource);
    EXPECT_EQ(leaf.downloads->SourcesLeft(download), 0);
    leaf.downloads->Remove(download);
    EXPECT_TRUE(fs::is_empty(leaf.dir.Path() / "Downloads"));  // the partial file went with it
}

TEST_F(DownloadCase, NetworkNamesNeverChooseThePlaceAndNeverOverwrite) {
    const SharedFile song{"../../evil/Track.mp3", Content(3000, 'u')};
    FakeFileHost host({song});
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    fs::create_directories(leaf.dir.Path() / "Downloads");
    WriteFile(leaf.dir.Path() / "Downloads" / "Track.mp3", "mine");
    const int download = Begin(leaf);
    ASSERT_EQ(leaf.AwaitEnd(download), kComplete);
    EXPECT_EQ(leaf.downloads->Name(download), "Track (1).mp3");
    EXPECT_EQ(ReadFile(leaf.dir.Path() / "Downloads" / "Track.mp3"), "mine");
    EXPECT_EQ(ReadFile(leaf.dir.Path() / "Downloads" / "Track (1).mp3"), song.content);
    EXPECT_FALSE(fs::exists(leaf.dir.Path() / "evil"));
}

TEST_F(DownloadCase, NameThatCannotBeMadeSafeFailsTheDownloadAtOnce) {
    const SharedFile song{"track/..", Content(3000, 'v')};
    FakeFileHost host({song});
    FakeUltrapeer peer({&host});
    Leaf leaf({peer.Address()});
    const int download = Begin(leaf);
    EXPECT_EQ(leaf.downloads->State(download), kFailed);
    EXPECT_EQ(leaf.downloads->SourcesLeft(download), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(host.Requests().empty());
    EXPECT_FALSE(fs::exists(leaf.dir.Path() / "Downloads") &&
                 !fs::is_empty(leaf.dir.Path() / "Downloads"));
}

TEST(GnutellaHostCache, CachesRoundTripThroughTheirFiles) {
    TempDir dir;
    WriteFile(dir.Path() / "GnuCache.net", "1.2.3.4:6346\nnot a host\n5.6.7.8:0\n9.9.9.9:1\n");
    WriteFile(dir.Path() / "WebCache.net", "http://cache.example/gwc.php\nftp://no\n");
    auto core = CreateObject(kGnutellaProgId, dir.Path());
    auto cache = core->HostCache();
    cache->LoadHosts("GnuCache.net");
    cache->LoadWebCaches("WebCache.net");
    cache->SaveHosts("GnuCache.net");
    cache->SaveWebCaches("WebCache.net");
    // Each host is kept with the time it last answered (here: when it was read).
    const std::string saved = ReadFile(dir.Path() / "GnuCache.net");
    EXPECT_EQ(saved.substr(0, 13), "1.2.3.4:6346 ");
    EXPECT_NE(saved.find("\n9.9.9.9:1 "), std::string::npos);
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 2);
    EXPECT_EQ(ReadFile(dir.Path() / "WebCache.net"), "http://cache.example/gwc.php\n");
}

}  // namespace
}  // namespace kavelin::test
