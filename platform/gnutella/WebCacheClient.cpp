#include "platform/gnutella/WebCacheClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "platform/gnutella/HeaderBlock.h"

namespace kavelin::gnutella {
namespace {

using Clock = std::chrono::steady_clock;

bool IsCleanText(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// A connected socket, closed on every way out.
class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

std::optional<std::uint32_t> Resolve(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::optional<std::uint32_t> ip;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
        ip = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    }
    if (found) {
        freeaddrinfo(found);
    }
    return ip;
}

// Waits for the socket within the deadline; false once it has passed.
bool Await(int fd, short events, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return false;
    }
    pollfd entry{fd, events, 0};
    return poll(&entry, 1, static_cast<int>(left)) == 1;
}

int Connect(std::uint32_t ip, std::uint16_t port, Clock::time_point deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ip);
    int error = 0;
    socklen_t length = sizeof error;
    if ((connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 &&
         (errno != EINPROGRESS || !Await(fd, POLLOUT, deadline))) ||
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reading and writing over the plain socket or TLS, each within the deadline.
class Channel {
public:
    Channel(int fd, SSL* tls, Clock::time_point deadline)
        : m_fd(fd), m_tls(tls), m_deadline(deadline) {}

    bool Write(std::string_view data) {
        while (!data.empty()) {
            const int n =
                m_tls ? SSL_write(m_tls, data.data(), static_cast<int>(data.size()))
                      : static_cast<int>(send(m_fd, data.data(), data.size(), MSG_NOSIGNAL));
            if (n > 0) {
                data.remove_prefix(static_cast<std::size_t>(n));
            } else if (!Wait(n, POLLOUT)) {
                return false;
            }
        }
        return true;
    }
    // Bytes read, 0 at the end of the reply, -1 on failure or time-out.
    int Read(char* buffer, int size) {
        while (true) {
            const int n = m_tls ? SSL_read(m_tls, buffer, size)
                                : static_cast<int>(recv(m_fd, buffer, size_t(size), 0));
            if (n > 0) {
                return n;
            }
            if (m_tls ? SSL_get_error(m_tls, n) == SSL_ERROR_ZERO_RETURN : n == 0) {
                return 0;
            }
            if (!Wait(n, POLLIN)) {
                return -1;
            }
        }
    }

private:
    bool Wait(int result, short plainEvents) {
        short events = plainEvents;
        if (m_tls) {
            const int error = SSL_get_error(m_tls, result);
            if (error == SSL_ERROR_WANT_READ) {
                events = POLLIN;
            } else if (error == SSL_ERROR_WANT_WRITE) {
                events = POLLOUT;
            } else {
                return false;
            }
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        return Await(m_fd, events, m_deadline);
    }

    int m_fd;
    SSL* m_tls;
    Clock::time_point m_deadline;
};

struct TlsDeleter {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(SSL* tls) const { SSL_free(tls); }
};

}  // namespace

std::optional<WebCacheAddress> ParseWebCacheAddress(std::string_view url) {
    WebCacheAddress address;
    if (url.size() > kMaxWebCacheUrl || !IsCleanText(url)) {
        return std::nullopt;
    }
    if (url.substr(0, 7) == "http://") {
        url.remove_prefix(7);
    } else if (url.substr(0, 8) == "https://") {
        url.remove_prefix(8);
        address.secure = true;
        address.port = 443;
    } else {
        return std::nullopt;
    }
    const std::size_t slash = url.find('/');
    std::string_view authority = url.substr(0, slash);
    address.path = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
    if (address.path.find_first_of("?#") != std::string::npos) {
        return std::nullopt;
    }
    const std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        auto port = ParseDecimal(authority.substr(colon + 1), 65535);
        if (!port || *port == 0) {
            return std::nullopt;
        }
        address.port = static_cast<std::uint16_t>(*port);
        authority = authority.substr(0, colon);
    }
    if (authority.empty() || authority.find('@') != std::string_view::npos) {
        return std::nullopt;
    }
    address.host = std::string(authority);
    return address;
}

std::string WebCacheRequest(const WebCacheAddress& address, const std::string& userAgent) {
    const bool usualPort = address.port == (address.secure ? 443 : 80);
    return "GET " + address.path +
           "?get=1&net=gnutella&client=KVLN&version=1.00 HTTP/1.0\r\nHost: " + address.host +
           (usualPort ? "" : ":" + std::to_string(address.port)) + "\r\nUser-Agent: " + userAgent +
           "\r\nConnection: close\r\n\r\n";
}

WebCacheReply ParseWebCacheReply(std::string_view body, std::size_t maxHosts,
                                 std::size_t maxCaches) {
    WebCacheReply reply;
    while (!body.empty()) {
        const std::size_t newline = body.find('\n');
        const std::string line = Trim(body.substr(0, newline));
        body = newline == std::string_view::npos ? std::string_view() : body.substr(newline + 1);
        std::string_view item = line;
        char kind = 0;
        if (item.size() >= 2 && item[1] == '|') {
            kind = static_cast<char>(std::toupper(static_cast<unsigned char>(item[0])));
            item.remove_prefix(2);
            item = item.substr(0, item.find('|'));
        }
        if ((kind == 0 || kind == 'H') && reply.hosts.size() < maxHosts) {
            if (auto host = ParseHostAddress(item)) {
                reply.hosts.push_back(*host);
                continue;
            }
        }
        if ((kind == 0 || kind == 'U') && reply.caches.size() < maxCaches &&
            ParseWebCacheAddress(item)) {
            reply.caches.emplace_back(item);
        }
    }
    return reply;
}

std::optional<std::string> FetchWebCache(const WebCacheAddress& address, const std::string& request,
                                         const std::function<bool(std::uint32_t ip)>& allowed,
                                         std::chrono::milliseconds timeout, std::size_t maxBody) {
    const auto deadline = Clock::now() + timeout;
    const auto ip = Resolve(address.host);
    if (!ip || !allowed(*ip)) {
        return std::nullopt;
    }
    const Socket socket(Connect(*ip, address.port, deadline));
    if (socket.Fd() < 0) {
        return std::nullopt;
    }
    std::unique_ptr<SSL_CTX, TlsDeleter> context;
    std::unique_ptr<SSL, TlsDeleter> tls;
    if (address.secure) {
        context.reset(SSL_CTX_new(TLS_client_method()));
        if (!context || SSL_CTX_set_default_verify_paths(context.get()) != 1) {
            return std::nullopt;
        }
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
        tls.reset(SSL_new(context.get()));
        if (!tls || SSL_set_fd(tls.get(), socket.Fd()) != 1 ||
            SSL_set_tlsext_host_name(tls.get(), address.host.c_str()) != 1 ||
            SSL_set1_host(tls.get(), address.host.c_str()) != 1) {
            return std::nullopt;
        }
        while (true) {
            const int result = SSL_connect(tls.get());
            if (result == 1) {
                break;
            }
            const int error = SSL_get_error(tls.get(), result);
            if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
                !Await(socket.Fd(), error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
                return std::nullopt;
            }
        }
    }
    Channel channel(socket.Fd(), tls.get(), deadline);
    if (!channel.Write(request)) {
        return std::nullopt;
    }
    const HeaderLimits limits;
    const std::size_t maxReply = maxBody + limits.maxBlock;
    std::string reply;
    char buffer[8192];
    while (reply.size() < maxReply) {
        const int n = channel.Read(buffer, sizeof buffer);
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    HeaderBlock block;
    std::size_t consumed = 0;
    if (ParseHeaderBlock(reply, block, consumed, limits) != BlockParse::Complete ||
        StatusCode(block.startLine, "HTTP/") != 200) {
        return std::nullopt;
    }
    return reply.substr(consumed, maxBody);
}

}  // namespace kavelin::gnutella
