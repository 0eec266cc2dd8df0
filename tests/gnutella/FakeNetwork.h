#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/gnutella/Wire.h"

// Loopback stand-ins for the Gnutella network: a scripted TCP server, a test
// ultrapeer answering queries with hits, and an HTTP file host. Blocking
// sockets with receive time-outs keep every loop bounded.
namespace kavelin::test {

using gnutella::Guid;
using gnutella::HostAddress;

// Accepts on 127.0.0.1 and runs `handler` for each connection on a thread of
// its own. The destructor shuts every socket down and joins.
class TcpServer {
public:
    explicit TcpServer(std::function<void(int fd)> handler);
    ~TcpServer();
    std::uint16_t Port() const { return m_port; }
    HostAddress Address() const { return {0x7F000001, m_port}; }
    int Accepted() const { return m_accepted.load(); }

private:
    void AcceptLoop();
    std::function<void(int)> m_handler;
    int m_listenFd = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_lock;
    std::vector<int> m_clients;
    std::vector<std::thread> m_threads;
    std::thread m_acceptThread;
};

// Socket helpers for the handlers (2 s receive time-out).
bool SendAll(int fd, std::string_view data);
// Reads up to and including the empty line; false on time-out or close.
bool ReadHeaderBlock(int fd, std::string& block, std::string& rest);
bool ReadExact(int fd, std::size_t length, std::string& buffer, std::string& out);

struct SharedFile {
    std::string name;
    std::string content;
};

// An HTTP server for a set of files: /uri-res/N2R?urn:sha1:... and /get/<index>/<name>, with Range.
class FakeFileHost {
public:
    explicit FakeFileHost(std::vector<SharedFile> files);
    HostAddress Address() const { return m_server.Address(); }
    int Connections() const { return m_server.Accepted(); }
    const std::vector<SharedFile>& Files() const { return m_files; }

    std::atomic<int> busyReplies{0};        // answer this many requests with 503
    std::atomic<int> retryAfterSeconds{1};  // what those replies ask to wait
    std::atomic<long> dieAfterBytes{-1};    // the next transfer stops after this many body bytes
    std::atomic<bool> corrupt{false};       // serve altered bytes
    std::atomic<bool> firewalled{false};    // hits for its files carry the push flag
    std::atomic<bool> withdrawn{false};     // answer every request with 404
    // Put this many requests in the upload queue ("X-Queued" with these
    // poll times) and read the next request on the same connection.
    std::atomic<int> queuedReplies{0};
    std::atomic<int> pollMinSeconds{1};
    std::atomic<int> pollMaxSeconds{10};
    std::atomic<int> holdMilliseconds{0};  // wait this long before answering
    std::atomic<int> mostAtOnce{0};        // most requests being answered at one time
    std::vector<std::string> Requests() const;
    // When each request arrived, in order.
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;

private:
    void Serve(int fd);
    std::vector<SharedFile> m_files;
    mutable std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::vector<std::chrono::steady_clock::time_point> m_times;
    std::atomic<int> m_nAnswering{0};
    TcpServer m_server;
};

// A test ultrapeer: takes leaf handshakes and answers each query with one hit
// per file host that shares a file whose name holds every word of the query.
class FakeUltrapeer {
public:
    enum class Mode { Accept, Busy503, ShieldedLeaf204, NotUltrapeer };
    FakeUltrapeer(std::vector<const FakeFileHost*> hosts, Mode mode = Mode::Accept,
                  bool deflate = false, bool sha1AsGgep = false);
    HostAddress Address() const { return m_server.Address(); }
    int Accepted() const { return m_server.Accepted(); }

    struct SeenQuery {
        std::uint16_t flags;
        std::uint8_t ttl;
        std::string text;
    };
    std::vector<SeenQuery> Queries() const;
    std::string LeafHandshake() const;
    std::string LeafConfirmation() const;

private:
    void Serve(int fd);
    std::vector<const FakeFileHost*> m_hosts;
    Mode m_mode;
    bool m_bDeflate;
    bool m_bGgep;
    mutable std::mutex m_lock;
    std::vector<SeenQuery> m_queries;
    std::string m_handshake;
    std::string m_confirmation;
    TcpServer m_server;
};

std::string BuildQueryHit(const HostAddress& host, const std::vector<gnutella::HitResult>& results,
                          bool sha1AsGgep, std::uint8_t openFlags = 0);

// Polls `condition` every 10 ms until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace kavelin::test
