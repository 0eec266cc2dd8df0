#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A UDP host cache on loopback answering every ping with one pong whose
// GGEP "IPP" packs the given hosts.
class FakeHostCache {
public:
    explicit FakeHostCache(std::vector<HostAddress> hosts, bool answer = true)
        : m_hosts(std::move(hosts)), m_bAnswer(answer) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeHostCache() {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    std::string Entry() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::vector<std::string> Pings() const {
        std::lock_guard lock(m_lock);
        return m_pings;
    }

private:
    void Serve() {
        while (!m_stop) {
            pollfd entry{m_fd, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) {
                continue;
            }
            char buffer[2048];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(m_fd, buffer, sizeof buffer, 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 23) {
                continue;
            }
            const std::string ping(buffer, static_cast<std::size_t>(got));
            {
                std::lock_guard lock(m_lock);
                m_pings.push_back(ping);
            }
            if (!m_bAnswer) {
                continue;
            }
            // Pong: the ping's GUID, type 0x01, TTL 1, hops 0, payload length
            // (little-endian); port 0 and address 0 (this cache is no servent),
            // no files; then GGEP: magic C3, flags 83 (last, ID of 3 bytes),
            // "IPP", one length byte 0x40|n, then address (network order) and
            // port (little-endian) of each host.
            std::string ipp;
            for (const auto& host : m_hosts) {
                ipp += char(host.ip >> 24);
                ipp += char(host.ip >> 16);
                ipp += char(host.ip >> 8);
                ipp += char(host.ip);
                ipp += char(host.port & 0xFF);
                ipp += char(host.port >> 8);
            }
            std::string payload(14, '\0');
            payload += std::string("\xC3\x83IPP", 5) + char(0x40 | ipp.size()) + ipp;
            std::string pong = ping.substr(0, 16);
            pong += std::string("\x01\x01\x00", 3);
            pong += char(payload.size());
            pong += std::string(3, '\0');
            pong += payload;
            sendto(m_fd, pong.data(), pong.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    std::vector<HostAddress> m_hosts;
    bool m_bAnswer;
    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<std::string> m_pings;
    std::thread m_thread;
};

// A web cache answering the current request with the given body.
class FakeWebCache {
public:
    explicit FakeWebCache(std::string body)
        : m_body(std::move(body)), m_server([this](int fd) {
              std::string block, rest;
              if (!ReadHeaderBlock(fd, block, rest)) {
                  return;
              }
              {
                  std::lock_guard lock(m_lock);
                  m_requests.push_back(block);
              }
              SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + m_body);
          }) {}
    std::uint16_t Port() const { return m_server.Port(); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port()) + "/gwc.php"; }
    std::vector<std::string> Requests() const {
        std::lock_guard lock(m_lock);
        return m_requests;
    }

private:
    std::string m_body;
    mutable std::mutex m_lock;
    std::vector<std::string> m_requests;
    TcpServer m_server;
};

std::string BuildQueryHit(const HostAddress& host, const std::vector<gnutella::HitResult>& results,
                          bool sha1AsGgep, std::uint8_t openFlags = 0);

// Polls `condition` every 10 ms until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace kavelin::test
