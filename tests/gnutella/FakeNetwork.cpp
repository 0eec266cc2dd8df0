#include "tests/gnutella/FakeNetwork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <sstream>

#include "platform/gnutella/HeaderBlock.h"
#include "platform/gnutella/Sha1.h"
#include "platform/gnutella/Zlib.h"

namespace kavelin::test {
namespace {

void AppendLe32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += char((value >> (8 * i)) & 0xFF);
    }
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string UrlDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

TcpServer::TcpServer(std::function<void(int fd)> handler) : m_handler(std::move(handler)) {
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_listenFd, 64);
    socklen_t length = sizeof address;
    getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

TcpServer::~TcpServer() {
    m_stop = true;
    m_acceptThread.join();
    {
        std::lock_guard lock(m_lock);
        for (int fd : m_clients) {
            shutdown(fd, SHUT_RDWR);
        }
    }
    for (auto& thread : m_threads) {
        thread.join();
    }
    for (int fd : m_clients) {
        close(fd);
    }
    close(m_listenFd);
}

void TcpServer::AcceptLoop() {
    while (!m_stop) {
        pollfd entry{m_listenFd, POLLIN, 0};
        if (poll(&entry, 1, 20) <= 0) {
            continue;
        }
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval timeout{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        ++m_accepted;
        std::lock_guard lock(m_lock);
        m_clients.push_back(fd);
        m_threads.emplace_back([this, fd] {
            m_handler(fd);
            shutdown(fd, SHUT_RDWR);
        });
    }
}

bool SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool ReadHeaderBlock(int fd, std::string& block, std::string& rest) {
    std::string buffer = rest;
    char chunk[4096];
    while (buffer.find("\r\n\r\n") == std::string::npos) {
        if (buffer.size() > 65536) {
            return false;
        }
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    const std::size_t end = buffer.find("\r\n\r\n") + 4;
    block = buffer.substr(0, end);
    rest = buffer.substr(end);
    return true;
}

bool ReadExact(int fd, std::size_t length, std::string& buffer, std::string& out) {
    char chunk[65536];
    while (buffer.size() < length) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    out = buffer.substr(0, length);
    buffer.erase(0, length);
    return true;
}

// ---- file host ---------------------------------------------------------------

FakeFileHost::FakeFileHost(std::vector<SharedFile> files)
    : m_files(std::move(files)), m_server([this](int fd) { Serve(fd); }) {}

std::vector<std::string> FakeFileHost::Requests() const {
    std::lock_guard lock(m_lock);
    return m_requests;
}

std::vector<std::chrono::steady_clock::time_point> FakeFileHost::RequestTimes() const {
    std::lock_guard lock(m_lock);
    return m_times;
}

void FakeFileHost::Serve(int fd) {
    std::string block, rest;
    if (!ReadHeaderBlock(fd, block, rest)) {
        return;
    }
    {
        std::lock_guard lock(m_lock);
        m_requests.push_back(block);
        m_times.push_back(std::chrono::steady_clock::now());
    }
    const int answering = ++m_nAnswering;
    int most = mostAtOnce.load();
    while (answering > most && !mostAtOnce.compare_exchange_weak(most, answering)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMilliseconds.load()));
    struct Done {
        std::atomic<int>& count;
        bool counted = true;
        void Now() {
            if (counted) {
                --count;
                counted = false;
            }
        }
        ~Done() { Now(); }
    } done{m_nAnswering};
    if (queuedReplies.load() > 0) {
        --queuedReplies;
        done.Now();
        SendAll(fd,
                "HTTP/1.1 503 Service Unavailable\r\nX-Queued: position=1,length=2,limit=1,"
                "pollMin=" +
                    std::to_string(pollMinSeconds.load()) + ",pollMax=" +
                    std::to_string(pollMaxSeconds.load()) + "\r\nContent-Length: 0\r\n\r\n");
        Serve(fd);
        return;
    }
    std::istringstream lines(block);
    std::string method, path;
    lines >> method >> path;
    const SharedFile* file = nullptr;
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        const auto urn =
            "/uri-res/N2R?urn:sha1:" + gnutella::Base32(gnutella::Sha1Of(m_files[i].content));
        const auto get = "/get/" + std::to_string(i + 1) + "/" + m_files[i].name;
        if (path == urn || UrlDecode(path) == get) {
            file = &m_files[i];
        }
    }
    if (busyReplies.load() > 0) {
        --busyReplies;
        SendAll(fd, "HTTP/1.1 503 Busy\r\nRetry-After: " +
                        std::to_string(retryAfterSeconds.load()) + "\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    if (file == nullptr || withdrawn) {
        SendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    std::string content = file->content;
    if (corrupt) {
        content[content.size() / 2] ^= 0x55;
    }
    std::size_t start = 0;
    const std::size_t range = block.find("Range: bytes=");
    std::string head;
    if (range != std::string::npos) {
        start = std::stoul(block.substr(range + 13));
        head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(start) +
               "-" + std::to_string(content.size() - 1) + "/" + std::to_string(content.size()) +
               "\r\n";
    } else {
        head = "HTTP/1.1 200 OK\r\n";
    }
    head += "Content-Length: " + std::to_string(content.size() - start) + "\r\n\r\n";
    std::string_view body = std::string_view(content).substr(start);
    const long cut = dieAfterBytes.exchange(-1);
    if (cut >= 0) {
        body = body.substr(0, static_cast<std::size_t>(cut));
    }
    SendAll(fd, head);
    // Counted as answered before the last bytes go: the leaf may open its
    // next request the moment it has them.
    done.Now();
    SendAll(fd, body);
}

// ---- ultrapeer ---------------------------------------------------------------

std::string BuildQueryHit(const HostAddress& host, const std::vector<gnutella::HitResult>& results,
                          bool sha1AsGgep, std::uint8_t openFlags) {
    std::string payload;
    payload += char(results.size());
    payload += char(host.port & 0xFF);
    payload += char(host.port >> 8);
    for (int i = 3; i >= 0; --i) {
        payload += char((host.ip >> (8 * i)) & 0xFF);
    }
    AppendLe32(payload, 1000);
    for (const auto& result : results) {
        AppendLe32(payload, result.index);
        AppendLe32(payload, result.size);
        payload += result.name;
        payload += '\0';
        if (result.sha1 && sha1AsGgep) {
            payload += char(0xC3);
            payload += char(0x80 | 1);  // last extension, ID "H"
            payload += 'H';
            payload += char(0x40 | 21);
            payload += char(1);
            payload.append(reinterpret_cast<const char*>(result.sha1->data()), 20);
        } else if (result.sha1) {
            payload += "urn:sha1:" + gnutella::Base32(*result.sha1);
        }
        payload += '\0';
    }
    payload += "KVTS";
    payload += char(2);
    payload += char(openFlags);
    payload += char(openFlags);
    const Guid servent = gnutella::NewGuid();
    payload.append(reinterpret_cast<const char*>(servent.data()), servent.size());
    return payload;
}

FakeUltrapeer::FakeUltrapeer(std::vector<const FakeFileHost*> hosts, Mode mode, bool deflate,
                             bool sha1AsGgep)
    : m_hosts(std::move(hosts)),
      m_mode(mode),
      m_bDeflate(deflate),
      m_bGgep(sha1AsGgep),
      m_server([this](int fd) { Serve(fd); }) {}

std::vector<FakeUltrapeer::SeenQuery> FakeUltrapeer::Queries() const {
    std::lock_guard lock(m_lock);
    return m_queries;
}

std::string FakeUltrapeer::LeafHandshake() const {
    std::lock_guard lock(m_lock);
    return m_handshake;
}

std::string FakeUltrapeer::LeafConfirmation() const {
    std::lock_guard lock(m_lock);
    return m_confirmation;
}

void FakeUltrapeer::Serve(int fd) {
    std::string block, rest;
    if (!ReadHeaderBlock(fd, block, rest)) {
        return;
    }
    {
        std::lock_guard lock(m_lock);
        m_handshake = block;
    }
    const std::string tryHosts = "X-Try-Ultrapeers: 127.1.2.3:6346, 127.1.2.4:6347\r\n";
    switch (m_mode) {
        case Mode::Busy503:
            SendAll(fd, "GNUTELLA/0.6 503 Full\r\n" + tryHosts + "\r\n");
            return;
        case Mode::ShieldedLeaf204:
            SendAll(fd, "GNUTELLA/0.6 204 Shielded leaf node\r\n\r\n");
            return;
        case Mode::NotUltrapeer:
            SendAll(fd, "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: False\r\n\r\n");
            return;
        case Mode::Accept:
            break;
    }
    std::string reply =
        "GNUTELLA/0.6 200 OK\r\nUser-Agent: TestPeer/1\r\nX-Ultrapeer: True\r\n" + tryHosts;
    if (m_bDeflate) {
        reply += "Accept-Encoding: deflate\r\nContent-Encoding: deflate\r\n";
    }
    SendAll(fd, reply + "\r\n");
    if (!ReadHeaderBlock(fd, block, rest)) {
        return;
    }
    {
        std::lock_guard lock(m_lock);
        m_confirmation = block;
    }
    const bool leafDeflates = block.find("Content-Encoding: deflate") != std::string::npos;
    gnutella::Inflater inflater;
    gnutella::Deflater deflater;
    std::string stream;
    auto feed = [&](std::string_view bytes) {
        return leafDeflates ? inflater.Feed(bytes, stream, 1 << 20) : (stream.append(bytes), true);
    };
    auto sendMessage = [&](const std::string& message) {
        if (!m_bDeflate) {
            return SendAll(fd, message);
        }
        std::string packed;
        deflater.Compress(message, packed);
        return SendAll(fd, packed);
    };
    if (!feed(rest)) {
        return;
    }
    char chunk[65536];
    for (int turns = 0; turns < 1000; ++turns) {
        gnutella::DescriptorHeader header;
        std::string_view payload;
        std::size_t consumed = 0;
        while (gnutella::NextDescriptor(stream, header, payload, consumed) ==
               gnutella::Frame::Complete) {
            if (header.type == gnutella::kQuery) {
                auto query = gnutella::ParseQuery(payload);
                if (query) {
                    {
                        std::lock_guard lock(m_lock);
                        m_queries.push_back({query->flags, header.ttl, query->text});
                    }
                    std::istringstream words(Lower(query->text));
                    std::vector<std::string> wanted{std::istream_iterator<std::string>(words),
                                                    std::istream_iterator<std::string>()};
                    for (const FakeFileHost* host : m_hosts) {
                        std::vector<gnutella::HitResult> results;
                        for (std::size_t i = 0; i < host->Files().size(); ++i) {
                            const auto& file = host->Files()[i];
                            const bool match =
                                std::all_of(wanted.begin(), wanted.end(), [&](auto& w) {
                                    return Lower(file.name).find(w) != std::string::npos;
                                });
                            if (match) {
                                results.push_back({static_cast<std::uint32_t>(i + 1),
                                                   static_cast<std::uint32_t>(file.content.size()),
                                                   file.name, gnutella::Sha1Of(file.content)});
                            }
                        }
                        if (!results.empty()) {
                            sendMessage(gnutella::BuildDescriptor(
                                header.guid, gnutella::kQueryHit, 3, 0,
                                BuildQueryHit(host->Address(), results, m_bGgep,
                                              host->firewalled ? gnutella::kHitFlagPush : 0)));
                        }
                    }
                }
            }
            stream.erase(0, consumed);
        }
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return;
        }
        if (got > 0 && !feed(std::string_view(chunk, static_cast<std::size_t>(got)))) {
            return;
        }
    }
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace kavelin::test
