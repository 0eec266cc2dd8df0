// Finding the network from nothing: UDP host caches, web caches, the
// bootstrap list, and what the leaf refuses to take from the network. The
// caches' side is written out byte by byte here.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/gnutella/AddressRanges.h"
#include "platform/gnutella/GnucCom.h"
#include "platform/gnutella/HostCache.h"
#include "platform/gnutella/WebCacheClient.h"
#include "tests/gnutella/FakeNetwork.h"

namespace kavelin::test {
namespace {

namespace fs = std::filesystem;
using namespace gnutella;
using namespace std::chrono_literals;

struct Fresh {
    Fresh(const std::string& bootstrap, bool localNetworks = true) {
        char pattern[] = "/tmp/kavelin-bootstrap-XXXXXX";
        dir = mkdtemp(pattern);
        if (!bootstrap.empty()) {
            std::ofstream(dir / "GnuBootstrap.net") << bootstrap;
        }
        if (localNetworks) {
            std::ofstream(dir / "GnuConfig.ini") << "LocalNetworks=127.0.0.0/8\n";
        }
        ServentLimits limits;
        limits.handshakeTimeout = 700ms;
        limits.hostCachePatience = 200ms;
        limits.webCacheInterval = 300ms;
        limits.webCacheTimeout = 2000ms;
        core = CreateObject(kGnutellaProgId, dir, limits);
        core->Preferences()->LoadConfiguration("GnuConfig.ini");
    }
    ~Fresh() {
        core.reset();
        fs::remove_all(dir);
    }
    bool Joins() {
        core->Connect(1);
        core->Connect(2);
        auto network = core->Network();
        return WaitFor([&] { return network->ConnectionCount() == 1; });
    }
    std::string Saved(const char* file) {
        auto cache = core->HostCache();
        if (std::string(file) == "WebCache.net") {
            cache->SaveWebCaches(file);
        } else {
            cache->SaveUltrapeers(file);
        }
        std::ifstream in(dir / file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path dir;
    std::unique_ptr<GnucCore> core;
};

TEST(GnutellaBootstrap, HostCachePongLeadsToAnUltrapeer) {
    FakeUltrapeer peer({});
    FakeHostCache hostCache({{0x0A010203, 6346}, peer.Address()});
    Fresh leaf(hostCache.Entry() + "\n");
    ASSERT_TRUE(leaf.Joins());
    // The ping: 16 GUID bytes, type 0 (ping), TTL 1, hops 0, 7 payload bytes;
    // GGEP with "SCP" holding one byte 0 (a leaf asks).
    const std::string ping = hostCache.Pings().at(0);
    ASSERT_EQ(ping.size(), 30u);
    EXPECT_EQ(ping.substr(16), std::string("\x00\x01\x00\x07\x00\x00\x00\xC3\x83SCP\x41\x00", 14));
    // The private address the cache named is not kept.
    const std::string saved = leaf.Saved("GnuUltraCache.net");
    EXPECT_NE(saved.find(FormatHostAddress(peer.Address())), std::string::npos);
    EXPECT_EQ(saved.find("10.1.2.3"), std::string::npos);
}

TEST(GnutellaBootstrap, WebCacheIsAskedWhenHostCachesStaySilent) {
    FakeUltrapeer peer({});
    FakeHostCache silent({}, false);
    FakeWebCache webCache("I|pong|Cache 1.0\nH|" + FormatHostAddress(peer.Address()) +
                          "|120\nU|http://other.example/cache.php|3600\nH|192.168.0.9:6346|1\n");
    Fresh leaf(silent.Entry() + "\n" + webCache.Url() + "\n");
    ASSERT_TRUE(leaf.Joins());
    EXPECT_FALSE(silent.Pings().empty());
    const std::string request = webCache.Requests().at(0);
    EXPECT_EQ(
        request.rfind("GET /gwc.php?get=1&net=gnutella&client=KVLN&version=1.00 HTTP/1.0\r\n", 0),
        0u)
        << request;
    EXPECT_NE(leaf.Saved("WebCache.net").find("http://other.example/cache.php"), std::string::npos);
}

TEST(GnutellaBootstrap, WithoutAFileTheBuiltInListIsUsed) {
    FakeUltrapeer peer({});
    FakeHostCache hostCache({peer.Address()});
    Fresh leaf("");
    leaf.core->SetBootstrapFallback("# shipped\n" + hostCache.Entry() + "\n");
    ASSERT_TRUE(leaf.Joins());
}

TEST(GnutellaBootstrap, UnroutableAddressesFromPeersAreRefusedUnlessConfigured) {
    // An ultrapeer from the user's own cache file offers hosts on private,
    // loopback and multicast addresses in its handshake.
    TcpServer peer([](int fd) {
        std::string block, rest;
        if (ReadHeaderBlock(fd, block, rest)) {
            SendAll(fd,
                    "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\nX-Try-Ultrapeers: "
                    "192.168.1.5:6346,10.0.0.7:6346,127.0.0.2:6346,224.0.0.1:6346,"
                    "169.254.3.3:6346\r\n\r\n");
            ReadHeaderBlock(fd, block, rest);
            std::this_thread::sleep_for(1500ms);
        }
    });
    Fresh leaf("", false);
    std::ofstream(leaf.dir / "GnuUltraCache.net") << FormatHostAddress(peer.Address()) << "\n";
    leaf.core->HostCache()->LoadUltrapeers("GnuUltraCache.net");
    ASSERT_TRUE(leaf.Joins());
    const std::string saved = leaf.Saved("GnuUltraCache.net");
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 1) << saved;
}

TEST(GnutellaAddresses, OnlyInternetAddressesAreRoutable) {
    for (const char* text : {"10.1.1.1", "127.0.0.1", "192.168.4.4", "172.16.0.1", "172.31.9.9",
                             "169.254.1.1", "100.64.0.1", "224.0.0.251", "239.1.1.1", "0.1.2.3",
                             "255.255.255.255", "198.18.0.1", "192.0.2.7"}) {
        EXPECT_FALSE(IsRoutable(ParseAddressRange(text)->ip)) << text;
    }
    for (const char* text : {"1.2.3.4", "172.32.0.1", "100.128.0.1", "193.0.2.1", "8.8.4.4"}) {
        EXPECT_TRUE(IsRoutable(ParseAddressRange(text)->ip)) << text;
    }
    const auto local = ParseAddressRanges("127.0.0.0/8, 192.168.1.0/24 junk");
    ASSERT_EQ(local.size(), 2u);
    EXPECT_TRUE(InRanges(local, ParseAddressRange("192.168.1.77")->ip));
    EXPECT_FALSE(InRanges(local, ParseAddressRange("192.168.2.1")->ip));
}

TEST(GnutellaWebCache, CurrentAndOlderRepliesAreBothRead) {
    const auto reply = ParseWebCacheReply(
        "i|pong|x\nH|1.2.3.4:6346|100|extra\nh|5.6.7.8:6347\nU|https://a.example/g.php|9\n"
        "9.9.9.9:6348\nhttp://b.example/cache/\nERROR: nothing\nH|not a host\n"
        "U|ftp://c.example/x\n",
        10, 10);
    ASSERT_EQ(reply.hosts.size(), 3u);
    EXPECT_EQ(FormatHostAddress(reply.hosts[2]), "9.9.9.9:6348");
    EXPECT_EQ(reply.caches,
              (std::vector<std::string>{"https://a.example/g.php", "http://b.example/cache/"}));
    EXPECT_EQ(ParseWebCacheReply("1.1.1.1:1\n2.2.2.2:2\n", 1, 1).hosts.size(), 1u);
    EXPECT_FALSE(ParseWebCacheAddress("http://a.example/g.php?x=1"));
    EXPECT_FALSE(ParseWebCacheAddress("http://user@a.example/"));
    EXPECT_TRUE(ParseWebCacheAddress("https://a.example:8443/g.php")->secure);
}

TEST(GnutellaHostCache, HostsThatAnswerComeFirstAndOldOnesAreForgotten) {
    constexpr std::int64_t kNow = 2000000000;
    HostCache cache(3);
    cache.Load("1.1.1.1:1 " + std::to_string(kNow - 15 * 24 * 3600) + "\n2.2.2.2:2 " +
                   std::to_string(kNow - 3600) +
                   "\n3.3.3.3:3\n4.4.4.4:4 junk\n5.5.5.5:5\n6.6.6.6:6\n",
               kNow);
    ASSERT_EQ(cache.Entries().size(), 3u);  // capped; the stale and the unreadable are gone
    EXPECT_EQ(FormatHostAddress(cache.Entries()[0].host), "2.2.2.2:2");
    cache.Answered({0x05050505, 5}, kNow);
    cache.Failed({0x05050505, 5});
    cache.Answered({0x03030303, 3}, kNow + 1);
    EXPECT_EQ(FormatHostAddress(cache.Entries().front().host), "3.3.3.3:3");
    EXPECT_EQ(FormatHostAddress(cache.Entries().back().host), "5.5.5.5:5");
    EXPECT_EQ(cache.Save().substr(0, 20), "3.3.3.3:3 2000000001");
}

}  // namespace
}  // namespace kavelin::test
