// Peers that lie, flood, stall or send garbage: each costs the leaf bounded
// memory and time, and never its life.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/gnutella/GnucCom.h"
#include "platform/gnutella/Sha1.h"
#include "tests/gnutella/FakeNetwork.h"

namespace kavelin::test {
namespace {

namespace fs = std::filesystem;
using namespace gnutella;
using namespace std::chrono_literals;

struct HostileTest : ::testing::Test {
    HostileTest() {
        char pattern[] = "/tmp/kavelin-hostile-XXXXXX";
        dir = mkdtemp(pattern);
        limits.handshakeTimeout = 700ms;
        limits.hostRetry = 60000ms;  // one attempt per peer, so each test sees one link
        limits.maxResultsPerSearch = 100;
        limits.messagesPerSecond = 500;
    }
    ~HostileTest() override {
        core.reset();
        fs::remove_all(dir);
    }
    void Join(const HostAddress& peer) {
        std::ofstream(dir / "GnuUltraCache.net") << FormatHostAddress(peer) << "\n";
        std::ofstream(dir / "GnuConfig.ini") << "LocalNetworks=127.0.0.0/8\n";
        core = CreateObject(kGnutellaProgId, dir, limits);
        core->Preferences()->LoadConfiguration("GnuConfig.ini");
        core->HostCache()->LoadUltrapeers("GnuUltraCache.net");
        core->Connect(1);
    }

    fs::path dir;
    ServentLimits limits;
    std::unique_ptr<GnucCore> core;
};

// Plays an accepting ultrapeer up to the leaf's confirmation, then runs `script`.
std::function<void(int)> AfterHandshake(std::function<void(int fd, std::string& rest)> script) {
    return [script](int fd) {
        std::string block, rest;
        if (!ReadHeaderBlock(fd, block, rest) ||
            !SendAll(fd, "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\n\r\n") ||
            !ReadHeaderBlock(fd, block, rest)) {
            return;
        }
        script(fd, rest);
    };
}

// True once the leaf closed the socket (reads give 0) within `limit`.
bool LeafHungUp(int fd, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < end) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return true;
        }
    }
    return false;
}

// Reads the leaf's stream until its first query and returns the query's GUID.
Guid AwaitQuery(int fd, std::string& rest) {
    std::string stream = rest;
    char chunk[4096];
    for (int i = 0; i < 200; ++i) {
        DescriptorHeader header;
        std::string_view payload;
        std::size_t consumed = 0;
        if (NextDescriptor(stream, header, payload, consumed) == Frame::Complete) {
            stream.erase(0, consumed);
            if (header.type == kQuery) {
                return header.guid;
            }
            continue;
        }
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            stream.append(chunk, static_cast<std::size_t>(got));
        }
    }
    return Guid{};
}

TEST_F(HostileTest, OversizedPayloadLengthDropsTheLink) {
    std::atomic<bool> dropped{false};
    TcpServer peer(AfterHandshake([&](int fd, std::string&) {
        std::string header = BuildDescriptor(NewGuid(), kQueryHit, 3, 0, "");
        header[19] = 0x01;  // length 0x00010001: one byte over 64 KiB
        header[21] = 0x01;
        SendAll(fd, header);
        dropped = LeafHungUp(fd, 3000ms);
    }));
    Join(peer.Address());
    ASSERT_TRUE(WaitFor([&] { return dropped.load(); }));
    EXPECT_EQ(core->Network()->ConnectionCount(), 0);
}

TEST_F(HostileTest, GarbageAndTruncatedDescriptorsNeverCrashTheLeaf) {
    std::atomic<bool> done{false};
    TcpServer peer(AfterHandshake([&](int fd, std::string& rest) {
        const Guid query = AwaitQuery(fd, rest);
        std::mt19937 random(7);
        // Well-framed descriptors of every type with random payloads, the
        // hits under the search's own GUID so that they reach the parser.
        const std::uint8_t types[] = {kPing, kPong, kPush, kQuery, kQueryHit, 0x31, 0x77};
        for (int i = 0; i < 3000; ++i) {
            std::string payload(random() % 300, '\0');
            for (char& c : payload) {
                c = char(random());
            }
            const std::uint8_t type = types[i % 7];
            if (!SendAll(fd, BuildDescriptor(type == kQueryHit ? query : NewGuid(), type, 1, 0,
                                             payload))) {
                break;
            }
        }
        // Then a descriptor cut short: the leaf waits for the rest.
        SendAll(fd,
                BuildDescriptor(NewGuid(), kQueryHit, 1, 0, std::string(100, 'x')).substr(0, 60));
        done = true;
        LeafHungUp(fd, 500ms);
    }));
    Join(peer.Address());
    ASSERT_TRUE(WaitFor([&] { return core->Network()->ConnectionCount() == 1; }));
    auto search = core->Search();
    const int id = search->Start("anything");
    ASSERT_TRUE(WaitFor([&] { return done.load(); }));
    std::this_thread::sleep_for(100ms);
    // Still linked and answering; no random hit made a result with an empty name.
    EXPECT_EQ(core->Network()->ConnectionCount(), 1);
    for (int result : search->ResultIds(id)) {
        EXPECT_FALSE(search->ResultName(id, result).empty());
    }
}

TEST_F(HostileTest, AFloodOfHitsKeepsResultsBounded) {
    std::atomic<int> sent{0};
    TcpServer peer(AfterHandshake([&](int fd, std::string& rest) {
        const Guid query = AwaitQuery(fd, rest);
        for (std::uint32_t i = 0; i < 5000; ++i) {
            std::vector<HitResult> results;
            for (std::uint32_t j = 0; j < 20; ++j) {
                results.push_back(
                    {j, 1000 + i, "song " + std::to_string(i * 20 + j) + ".mp3", std::nullopt});
            }
            if (!SendAll(fd, BuildDescriptor(query, kQueryHit, 1, 0,
                                             BuildQueryHit({0x7F000001, 4000}, results, false)))) {
                break;
            }
            ++sent;
        }
    }));
    Join(peer.Address());
    ASSERT_TRUE(WaitFor([&] { return core->Network()->ConnectionCount() == 1; }));
    auto search = core->Search();
    const int id = search->Start("song");
    ASSERT_TRUE(WaitFor([&] { return sent.load() >= 200; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(search->ResultIds(id).size(), limits.maxResultsPerSearch);
    EXPECT_GT(search->ResultIds(id).size(), 0u);
}

TEST_F(HostileTest, SlowDripHandshakeIsCutOff) {
    std::atomic<bool> dropped{false};
    TcpServer peer([&](int fd) {
        std::string block, rest;
        if (!ReadHeaderBlock(fd, block, rest)) {
            return;
        }
        const std::string reply = "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\nX-Padding: ";
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; std::chrono::steady_clock::now() - start < 3s; ++i) {
            if (!SendAll(fd, std::string(1, i < reply.size() ? reply[i] : 'z'))) {
                dropped = true;
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    Join(peer.Address());
    ASSERT_TRUE(WaitFor([&] { return dropped.load(); }, 4000ms));
    EXPECT_EQ(core->Network()->ConnectionCount(), 0);
}

TEST_F(HostileTest, EndlessHeaderLineIsRefused) {
    std::atomic<bool> dropped{false};
    TcpServer peer([&](int fd) {
        std::string block, rest;
        if (!ReadHeaderBlock(fd, block, rest)) {
            return;
        }
        SendAll(fd, "GNUTELLA/0.6 200 OK\r\nX-Long: ");
        for (int i = 0; i < 100 && !dropped; ++i) {
            if (!SendAll(fd, std::string(16384, 'a'))) {
                dropped = true;
            }
        }
        dropped = dropped || LeafHungUp(fd, 2000ms);
    });
    Join(peer.Address());
    ASSERT_TRUE(WaitFor([&] { return dropped.load(); }));
    EXPECT_EQ(core->Network()->ConnectionCount(), 0);
}

TEST_F(HostileTest, FileHostLyingAboutTheLengthIsNotBelieved) {
    const std::string content(5000, 'k');
    TcpServer files([&](int fd) {
        std::string block, rest;
        if (ReadHeaderBlock(fd, block, rest)) {
            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 999999999\r\n\r\n" + content);
        }
    });
    TcpServer ultrapeer(AfterHandshake([&](int fd, std::string& rest) {
        const Guid query = AwaitQuery(fd, rest);
        const std::vector<HitResult> hit{{1, 5000, "Track.mp3", Sha1Of(content)}};
        SendAll(fd,
                BuildDescriptor(query, kQueryHit, 1, 0, BuildQueryHit(files.Address(), hit, true)));
        LeafHungUp(fd, 5000ms);
    }));
    Join(ultrapeer.Address());
    ASSERT_TRUE(WaitFor([&] { return core->Network()->ConnectionCount() == 1; }));
    auto search = core->Search();
    auto downloads = core->Downloads();
    const int id = search->Start("track");
    ASSERT_TRUE(WaitFor([&] { return !search->ResultIds(id).empty(); }));
    const int download = search->Download(id, 1);
    ASSERT_TRUE(WaitFor([&] {
        return downloads->State(download) == kWaitingForSource &&
               downloads->SourcesLeft(download) == 0;
    }));
    EXPECT_FALSE(fs::exists(dir / "Downloads" / "Track.mp3"));
}

}  // namespace
}  // namespace kavelin::test
