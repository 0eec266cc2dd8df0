// Downloads a 50 MB file from a loopback test peer with the Gnutella
// component and reports throughput, CPU time and memory; then measures how
// long the calls the user interface makes take while 50 hostile peers flood
// the component; how long a fresh data directory takes to its first
// ultrapeer link through a loopback UDP host cache and web cache; and the
// peak memory while 50 peers answer a search with hits of the largest size.
// The peers live in a child process, so that this process's CPU time and
// memory are the component's own. Nothing leaves loopback.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/gnutella/GnucCom.h"
#include "tests/gnutella/FakeNetwork.h"

namespace {

using namespace kavelin;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileBytes = 50u * 1000u * 1000u;
constexpr int kHostilePeers = 50;
constexpr int kHitPeers = 50;

long StatusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::stol(line.substr(std::string(field).size()));
        }
    }
    return 0;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// An ultrapeer that accepts the leaf and then sends framed garbage without pause.
void Flood(int fd) {
    std::string block, rest;
    if (!test::ReadHeaderBlock(fd, block, rest) ||
        !test::SendAll(fd, "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\n\r\n") ||
        !test::ReadHeaderBlock(fd, block, rest)) {
        return;
    }
    std::mt19937 random(static_cast<unsigned>(fd));
    std::string burst;
    for (int i = 0; i < 200; ++i) {
        std::string payload(random() % 200, '\0');
        for (char& c : payload) {
            c = char(random());
        }
        burst += gnutella::BuildDescriptor(
            gnutella::NewGuid(), i % 2 ? gnutella::kQueryHit : gnutella::kPong, 1, 0, payload);
    }
    const auto end = Clock::now() + 20s;
    while (Clock::now() < end && test::SendAll(fd, burst)) {
    }
}

// An ultrapeer that waits for the leaf's query and answers it without pause
// with hits as large as a message may be: 255 results each, every result a
// new file from a new host.
void FloodWithHits(int fd) {
    std::string block, rest;
    if (!test::ReadHeaderBlock(fd, block, rest) ||
        !test::SendAll(fd, "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\n\r\n") ||
        !test::ReadHeaderBlock(fd, block, rest)) {
        return;
    }
    gnutella::DescriptorHeader header;
    std::string_view payload;
    std::size_t consumed = 0;
    while (true) {
        const auto frame = gnutella::NextDescriptor(rest, header, payload, consumed);
        if (frame == gnutella::Frame::Complete) {
            const bool query = header.type == gnutella::kQuery;
            rest.erase(0, consumed);
            if (query) {
                break;
            }
            continue;
        }
        char chunk[4096];
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return;
        }
        rest.append(chunk, static_cast<std::size_t>(got));
    }
    std::mt19937 random(static_cast<unsigned>(fd) * 7919u);
    const auto end = Clock::now() + 8s;
    std::uint32_t serial = 0;
    while (Clock::now() < end) {
        std::vector<gnutella::HitResult> results;
        for (int i = 0; i < 255; ++i) {
            gnutella::HitResult result;
            result.index = ++serial;
            result.size = 1000000 + random() % 5000000;
            result.name = "Benchmark Artist - " + std::to_string(random()) + " " +
                          std::string(200, char('a' + random() % 26)) + ".mp3";
            results.push_back(std::move(result));
        }
        const gnutella::HostAddress host{
            static_cast<std::uint32_t>(0x7F000000u | (random() & 0xFFFFFFu)), 6346};
        if (!test::SendAll(fd,
                           gnutella::BuildDescriptor(header.guid, gnutella::kQueryHit, 3, 0,
                                                     test::BuildQueryHit(host, results, false)))) {
            return;
        }
    }
}

// The child: serves the file and the hostile peers, tells the parent their
// ports, and ends when the parent closes its pipe.
[[noreturn]] void ServePeers(int toParent, int fromParent) {
    std::string content(kFileBytes, '\0');
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i + 8 <= content.size(); i += 8) {
        const std::uint64_t value = random();
        std::memcpy(content.data() + i, &value, 8);
    }
    test::FakeFileHost host({{"Benchmark Artist - Long Song.mp3", std::move(content)}});
    test::FakeUltrapeer peer({&host});
    std::vector<std::unique_ptr<test::TcpServer>> hostile;
    for (int i = 0; i < kHostilePeers; ++i) {
        hostile.push_back(std::make_unique<test::TcpServer>(Flood));
    }
    std::vector<std::unique_ptr<test::TcpServer>> hitters;
    for (int i = 0; i < kHitPeers; ++i) {
        hitters.push_back(std::make_unique<test::TcpServer>(FloodWithHits));
    }
    test::FakeHostCache hostCache({peer.Address()});
    test::FakeWebCache webCache("H|" + gnutella::FormatHostAddress(peer.Address()) + "|60\n");
    std::string ports = std::to_string(peer.Address().port) + "\n";
    for (auto& server : hostile) {
        ports += std::to_string(server->Port()) + "\n";
    }
    for (auto& server : hitters) {
        ports += std::to_string(server->Port()) + "\n";
    }
    ports += hostCache.Entry().substr(hostCache.Entry().find(':') + 1) + "\n";
    ports += std::to_string(webCache.Port()) + "\n";
    ports += "end\n";
    for (std::size_t written = 0; written < ports.size();) {
        const ssize_t n = write(toParent, ports.data() + written, ports.size() - written);
        if (n <= 0) {
            _exit(1);
        }
        written += static_cast<std::size_t>(n);
    }
    char byte;
    while (read(fromParent, &byte, 1) > 0) {
    }
    _exit(0);
}

std::vector<std::uint16_t> ReadPorts(int fd) {
    std::string text;
    char chunk[4096];
    while (text.find("end\n") == std::string::npos) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    std::vector<std::uint16_t> ports;
    std::size_t pos = 0;
    while (pos < text.size() && text.compare(pos, 3, "end") != 0) {
        const std::size_t newline = text.find('\n', pos);
        ports.push_back(static_cast<std::uint16_t>(std::stoi(text.substr(pos, newline - pos))));
        pos = newline + 1;
    }
    return ports;
}

}  // namespace

int main() {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) {
        return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(up[0]);
        close(down[1]);
        ServePeers(up[1], down[0]);
    }
    close(up[1]);
    close(down[0]);
    const auto ports = ReadPorts(up[0]);
    if (ports.size() != kHostilePeers + kHitPeers + 3) {
        std::fprintf(stderr, "the peers did not start\n");
        return 1;
    }
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/kavelin-bench-XXXXXX";
    const std::filesystem::path dir = mkdtemp(pattern.data());
    std::ofstream(dir / "GnuUltraCache.net") << "127.0.0.1:" << ports[0] << "\n";
    // The peers live on loopback, which the leaf takes from the network only when told.
    std::ofstream(dir / "GnuConfig.ini") << "LocalNetworks=127.0.0.0/8\n";

    // 1. Throughput.
    auto core = gnutella::CreateObject(gnutella::kGnutellaProgId, dir);
    core->Preferences()->LoadConfiguration("GnuConfig.ini");
    auto cache = core->HostCache();
    cache->LoadUltrapeers("GnuUltraCache.net");
    core->Connect(1);
    auto network = core->Network();
    auto search = core->Search();
    auto downloads = core->Downloads();
    while (network->ConnectionCount() < 1) {
        std::this_thread::sleep_for(5ms);
    }
    const int id = search->Start("long song");
    while (search->ResultIds(id).empty()) {
        std::this_thread::sleep_for(5ms);
    }
    const long rssBefore = StatusKilobytes("VmRSS:");
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    const int download = search->Download(id, 1);
    int state = 0;
    while ((state = downloads->State(download)) != gnutella::kComplete &&
           state != gnutella::kFailed && Clock::now() - start < 120s) {
        std::this_thread::sleep_for(1ms);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    const long rssGrowth = StatusKilobytes("VmHWM:") - rssBefore;
    if (state != gnutella::kComplete) {
        std::fprintf(stderr, "download ended in state %d\n", state);
        return 1;
    }
    core.reset();
    cache.reset();
    network.reset();
    search.reset();
    downloads.reset();

    // 2. The user interface's calls under a flood from 50 hostile peers.
    std::ofstream hosts(dir / "GnuUltraCache.net");
    for (std::size_t i = 1; i <= kHostilePeers; ++i) {
        hosts << "127.0.0.1:" << ports[i] << "\n";
    }
    hosts.close();
    auto timed = [](auto call) {
        const auto begin = Clock::now();
        call();
        return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    };
    std::unique_ptr<gnutella::GnucCore> flooded;
    std::unique_ptr<gnutella::GnucHostCache> floodCache;
    std::unique_ptr<gnutella::GnucNetwork> floodNetwork;
    std::unique_ptr<gnutella::GnucDownloads> floodDownloads;
    const double startMs = timed([&] {  // what turning downloading on does
        flooded = gnutella::CreateObject(gnutella::kGnutellaProgId, dir);
        floodCache = flooded->HostCache();
        floodNetwork = flooded->Network();
        floodDownloads = flooded->Downloads();
        floodCache->LoadHosts("GnuCache.net");
        floodCache->LoadUltrapeers("GnuUltraCache.net");
        flooded->Preferences()->SetUltrapeerConnections(64);
        flooded->Preferences()->SetConnectAttempts(64);
        flooded->Connect(1);
    });
    const auto floodStart = Clock::now();
    int peak = 0;
    double figuresMs = 0;
    double idleMs = 0;  // the same measurement of nothing: how much the machine itself stalls us
    while (Clock::now() - floodStart < 5s) {
        idleMs = std::max(idleMs, timed([] {}));
        figuresMs = std::max(figuresMs, timed([&] {  // the figures of one status line
                                 peak = std::max(peak, floodNetwork->ConnectionCount());
                                 flooded->DownloadRate();
                                 flooded->UploadRate();
                                 floodDownloads->Ids();
                             }));
        std::this_thread::sleep_for(10ms);
    }
    const double stopMs = timed([&] {  // what turning downloading off does
        floodCache->SaveUltrapeers("GnuUltraCache.net");
        floodDownloads.reset();
        floodNetwork.reset();
        floodCache.reset();
        flooded.reset();
    });
    // 3. A fresh data directory to its first ultrapeer link: only the
    // bootstrap list, naming the loopback host cache and web cache.
    const std::uint16_t hostCachePort = ports[1 + kHostilePeers + kHitPeers];
    const std::uint16_t webCachePort = ports[2 + kHostilePeers + kHitPeers];
    const auto coldStart = [&](const std::string& list) {
        const std::filesystem::path fresh = dir / ("fresh" + std::to_string(list.size()));
        std::filesystem::create_directories(fresh);
        std::ofstream(fresh / "GnuBootstrap.net") << list;
        std::ofstream(fresh / "GnuConfig.ini") << "LocalNetworks=127.0.0.0/8\n";
        const auto begin = Clock::now();
        auto coldCore = gnutella::CreateObject(gnutella::kGnutellaProgId, fresh);
        coldCore->Preferences()->LoadConfiguration("GnuConfig.ini");
        auto coldNetwork = coldCore->Network();
        coldCore->Connect(1);
        coldCore->Connect(2);
        while (coldNetwork->ConnectionCount() < 1 && Clock::now() - begin < 30s) {
            std::this_thread::sleep_for(1ms);
        }
        return coldNetwork->ConnectionCount() >= 1
                   ? std::chrono::duration<double, std::milli>(Clock::now() - begin).count()
                   : -1.0;
    };
    const std::string webCacheLine =
        "http://127.0.0.1:" + std::to_string(webCachePort) + "/gwc.php\n";
    const double coldMs =
        coldStart("127.0.0.1:" + std::to_string(hostCachePort) + "\n" + webCacheLine);
    const double webCacheOnlyMs = coldStart(webCacheLine);

    // 4. Peak memory while 50 peers answer one search with the largest hits.
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";  // starts the peak (VmHWM) afresh
    }
    const long rssBeforeHits = StatusKilobytes("VmRSS:");
    std::ofstream hitHosts(dir / "GnuUltraCache.net");
    for (std::size_t i = 1 + kHostilePeers; i <= kHostilePeers + kHitPeers; ++i) {
        hitHosts << "127.0.0.1:" << ports[i] << "\n";
    }
    hitHosts.close();
    long hitsReceived = 0;
    int hitPeersLinked = 0;
    {
        auto hitCore = gnutella::CreateObject(gnutella::kGnutellaProgId, dir);
        hitCore->Preferences()->LoadConfiguration("GnuConfig.ini");
        hitCore->HostCache()->LoadUltrapeers("GnuUltraCache.net");
        hitCore->Preferences()->SetUltrapeerConnections(64);
        hitCore->Preferences()->SetConnectAttempts(64);
        auto hitNetwork = hitCore->Network();
        auto hitSearch = hitCore->Search();
        hitCore->Connect(1);
        const auto begin = Clock::now();
        while (hitNetwork->ConnectionCount() < kHitPeers && Clock::now() - begin < 5s) {
            std::this_thread::sleep_for(5ms);
        }
        hitPeersLinked = hitNetwork->ConnectionCount();
        const int hitSearchId = hitSearch->Start("benchmark artist");
        std::this_thread::sleep_for(8s);
        hitsReceived = static_cast<long>(hitSearch->ResultIds(hitSearchId).size());
    }
    const long peakHitsKb = StatusKilobytes("VmHWM:");

    close(down[1]);
    waitpid(child, nullptr, 0);
    std::filesystem::remove_all(dir);

    std::printf("file_mb=%.1f seconds=%.3f cpu_seconds=%.3f rss_growth_mb=%.1f\n", kFileBytes / 1e6,
                seconds, cpu, rssGrowth / 1024.0);
    std::printf(
        "hostile_peers_linked=%d start_ms=%.1f slowest_figures_ms=%.1f stop_ms=%.1f "
        "slowest_empty_call_ms=%.1f\n",
        peak, startMs, figuresMs, stopMs, idleMs);
    std::printf("mb_per_s=%.1f\n", kFileBytes / 1e6 / seconds);
    std::printf("cold_start_first_link_ms=%.1f web_cache_only_first_link_ms=%.1f (goal <= 2000)\n",
                coldMs, webCacheOnlyMs);
    std::printf(
        "hit_flood_peers_linked=%d results_kept=%ld rss_before_mb=%.1f peak_rss_mb=%.1f "
        "(goal < 64)\n",
        hitPeersLinked, hitsReceived, rssBeforeHits / 1024.0, peakHitsKb / 1024.0);
    return 0;
}
