#pragma once

// What the servent keeps about its connections, searches and downloads,
// shared by the files that make up the servent and by nothing else.

#include <atomic>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/gnutella/FileNames.h"
#include "platform/gnutella/HeaderBlock.h"
#include "platform/gnutella/Servent.h"
#include "platform/gnutella/WebCacheClient.h"
#include "platform/gnutella/Zlib.h"

namespace kavelin::gnutella {

enum ConnectionKind { kPeerLink = 1, kTransfer = 2 };
enum class Phase { Connecting, Headers, Body };

inline constexpr std::size_t kPeerReadChunk = 16 * 1024;
inline constexpr std::size_t kTransferReadChunk = 256 * 1024;
inline constexpr int kTransferReadsPerTurn = 4;
inline constexpr std::size_t kMaxInflatedPerRead = 1024 * 1024;
inline constexpr std::size_t kMaxQueuedOutput = 512 * 1024;
inline constexpr std::size_t kMaxWebCacheReply = 64 * 1024;
inline constexpr std::size_t kMaxResultName = 1024;
inline constexpr std::size_t kMaxHitsPerMessage = 255;
inline constexpr std::size_t kMaxTryUltrapeers = 20;
inline constexpr std::size_t kMaxWebCaches = 100;
inline constexpr std::size_t kMaxHostCaches = 100;
inline constexpr std::size_t kMaxHostsPerReply = 100;
inline constexpr std::size_t kMaxCacheLineBytes = 300;
inline constexpr std::uint8_t kQueryTtl = 3;

struct Servent::NameLookup {
    std::string name;
    std::uint16_t port = 0;
    std::optional<std::uint32_t> ip;  // written before `done`
    std::atomic<bool> done{false};
};

struct Servent::WebCacheFetch {
    std::string url;
    std::optional<std::string> body;  // written before `done`
    std::atomic<bool> done{false};
};

struct Servent::Source {
    HostAddress host;
    std::uint32_t index = 0;
    std::string name;
    bool firewalled = false;  // the hit asked for a push: a direct connection will likely fail
    bool busy = false;        // the host said all its upload slots were taken
    int attempts = 0;
    bool gone = false;
    Clock::time_point notBefore{};
};

struct Servent::Result {
    std::string name;
    std::uint32_t size = 0;
    std::optional<Sha1Digest> sha1;
    std::vector<Source> sources;
    std::set<HostAddress> hosts;
};

struct Servent::Search {
    int id = 0;
    std::string text;
    Guid guid{};
    bool open = true;
    std::vector<Result> results;
    std::map<std::string, std::size_t> byKey;
    std::size_t bytes = 0;  // counted in the servent's m_resultBytes
};

struct Servent::Download {
    int id = 0;
    std::string name;
    std::uint32_t size = 0;
    std::optional<Sha1Digest> sha1;
    std::vector<Source> sources;
    int state = kWaitingForSource;
    std::filesystem::path partPath;
    int fd = -1;
    std::uint64_t received = 0;
    Sha1 hash;
    int connection = 0;
};

struct Servent::Connection {
    int id = 0;
    int fd = -1;
    int kind = kPeerLink;
    Phase phase = Phase::Connecting;
    HostAddress host;
    Clock::time_point deadline{};
    Clock::time_point lastReceived{};
    Clock::time_point lastPing{};
    Clock::time_point lastPong{};
    std::string in;
    std::string out;
    std::unique_ptr<Inflater> inflater;
    std::unique_ptr<Deflater> deflater;
    Clock::time_point rateSecond{};
    int messagesThisSecond = 0;
    bool broken = false;
    // Links: the address the peer says it listens on, when it says so.
    std::optional<HostAddress> listening;
    // Transfers
    int download = 0;
    std::size_t source = 0;
    std::uint64_t expectedEnd = 0;
    // Held in the source's upload queue: the request is repeated at `pollAt`
    // on the same connection, which must happen before `deadline`.
    bool queued = false;
    Clock::time_point pollAt{};
};

// The object a caller names by its ID; an unknown ID is the caller's error.
template <typename Map>
auto& FindById(Map& items, int id, const char* what) {
    auto found = items.find(id);
    if (found == items.end()) {
        throw GnutellaError(std::string("unknown ") + what + " " + std::to_string(id));
    }
    return *found->second;
}

// Lines of a small text file, each cut off at `maxLine` bytes; at most `maxLines`.
std::vector<std::string> ReadLines(const std::filesystem::path& file, std::size_t maxLines);
std::string ReadSmallFile(const std::filesystem::path& file, std::size_t maxBytes);
std::int64_t SecondsSinceEpoch();

}  // namespace kavelin::gnutella
