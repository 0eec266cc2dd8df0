// Drives the servent's whole state machine over loopback with hostile bytes
// arriving in pieces: either as an ultrapeer's side of a link from the
// handshake on, or as a source's reply to a download request. The first
// byte picks the path; each piece's length is taken from the bytes
// themselves, and every piece is sent on its own, so that the servent's reads
// split where the input says.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "platform/gnutella/GnucCom.h"
#include "platform/gnutella/Wire.h"
#include "tests/gnutella/FakeNetwork.h"

namespace {

using namespace kavelin::gnutella;
using namespace std::chrono_literals;

constexpr int kMaxPieces = 24;

class Listener {
public:
    Listener() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_fd, 8);
        socklen_t length = sizeof address;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    HostAddress Address() const { return {0x7F000001, m_port}; }
    // The next connection within a second, or -1.
    int Accept() const {
        pollfd entry{m_fd, POLLIN, 0};
        if (poll(&entry, 1, 1000) != 1) {
            return -1;
        }
        const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval timeout{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        return fd;
    }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

bool ReadUntil(int fd, std::string& buffer, std::string_view end) {
    char chunk[4096];
    while (buffer.find(end) == std::string::npos && buffer.size() < 65536) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    return buffer.find(end) != std::string::npos;
}

// Sends the input in pieces whose lengths the input's own bytes give.
void SendInPieces(int fd, std::string_view input) {
    for (int piece = 0; piece < kMaxPieces && !input.empty(); ++piece) {
        const std::size_t length =
            piece + 1 == kMaxPieces
                ? input.size()
                : std::min<std::size_t>(input.size(),
                                        1 + static_cast<unsigned char>(input[0]) % 61);
        if (send(fd, input.data(), length, MSG_NOSIGNAL) < 0) {
            return;
        }
        input.remove_prefix(length);
        std::this_thread::sleep_for(1ms);
    }
}

// Up to the first query the leaf sends on a link, whose GUID a hit must carry.
bool ReadQuery(int fd, std::string& buffer, Guid& guid) {
    while (true) {
        DescriptorHeader header;
        std::string_view payload;
        std::size_t consumed = 0;
        const Frame frame = NextDescriptor(buffer, header, payload, consumed);
        if (frame == Frame::Complete) {
            buffer.erase(0, consumed);
            if (header.type == kQuery) {
                guid = header.guid;
                return true;
            }
            continue;
        }
        char chunk[4096];
        const ssize_t got = frame == Frame::NeedMore ? recv(fd, chunk, sizeof chunk, 0) : -1;
        if (got <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string QueryHit(const Guid& guid, const HostAddress& host) {
    HitResult result;
    result.index = 1;
    result.size = 1000;
    result.name = "song.mp3";
    return BuildDescriptor(guid, kQueryHit, 3, 0,
                           kavelin::test::BuildQueryHit(host, {result}, false));
}

void Run(std::string_view input) {
    static const Listener listener;
    const bool transfer = !input.empty() && (input[0] & 1) != 0;
    if (!input.empty()) {
        input.remove_prefix(1);
    }
    char pattern[] = "/tmp/kavelin-fuzz-XXXXXX";
    const std::filesystem::path dir = mkdtemp(pattern);
    std::ofstream(dir / "GnuUltraCache.net") << FormatHostAddress(listener.Address()) << "\n";
    std::ofstream(dir / "GnuConfig.ini") << "LocalNetworks=127.0.0.0/8\n";
    ServentLimits limits;
    limits.connectTimeout = 500ms;
    limits.handshakeTimeout = 500ms;
    limits.transferIdle = 500ms;
    limits.hostRetry = 60000ms;
    {
        auto core = CreateObject(kGnutellaProgId, dir, limits);
        core->Preferences()->LoadConfiguration("GnuConfig.ini");
        core->HostCache()->LoadUltrapeers("GnuUltraCache.net");
        auto search = core->Search();
        core->Connect(1);
        const int link = listener.Accept();
        std::string buffer;
        if (link >= 0 && ReadUntil(link, buffer, "\r\n\r\n")) {
            buffer.clear();
            if (!transfer) {
                SendInPieces(link, input);
                search->Start("song");
            } else if (send(link, "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\n\r\n", 43,
                            MSG_NOSIGNAL) == 43 &&
                       ReadUntil(link, buffer, "\r\n\r\n")) {
                buffer.erase(0, buffer.find("\r\n\r\n") + 4);
                const int id = search->Start("song");
                Guid guid{};
                const std::string hit =
                    ReadQuery(link, buffer, guid) ? QueryHit(guid, listener.Address()) : "";
                if (!hit.empty() && send(link, hit.data(), hit.size(), MSG_NOSIGNAL) > 0) {
                    for (int i = 0; i < 100 && search->ResultIds(id).empty(); ++i) {
                        std::this_thread::sleep_for(1ms);
                    }
                    if (!search->ResultIds(id).empty()) {
                        search->Download(id, 1);
                        const int source = listener.Accept();
                        std::string request;
                        if (source >= 0 && ReadUntil(source, request, "\r\n\r\n")) {
                            SendInPieces(source, input);
                            std::this_thread::sleep_for(5ms);
                        }
                        if (source >= 0) {
                            close(source);
                        }
                    }
                }
            }
            std::this_thread::sleep_for(5ms);
        }
        if (link >= 0) {
            close(link);
        }
    }
    std::error_code error;
    std::filesystem::remove_all(dir, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Run(std::string_view(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 70000)));
    return 0;
}
