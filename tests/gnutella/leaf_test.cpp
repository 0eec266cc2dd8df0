// What an ultrapeer sees of the leaf over a link, read byte by byte from the
// wire here: the routing table after the handshake, the query flags, the
// answer to a ping, and one link per ultrapeer. And a deflated link whose
// messages must come out whole at once.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "platform/gnutella/GnucCom.h"
#include "platform/gnutella/Zlib.h"
#include "tests/gnutella/FakeNetwork.h"

namespace kavelin::test {
namespace {

namespace fs = std::filesystem;
using namespace gnutella;
using namespace std::chrono_literals;

struct Message {
    std::string guid;
    unsigned type = 0;
    unsigned ttl = 0;
    std::string payload;
};

// One message off the wire: 16 GUID bytes, type, TTL, hops, payload length
// (4 bytes, little-endian), payload.
bool ReadMessage(int fd, std::string& buffer, Message& message) {
    std::string header;
    if (!ReadExact(fd, 23, buffer, header)) {
        return false;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(header[i]); };
    const std::size_t length = byte(19) | (byte(20) << 8) | (byte(21) << 16) | (byte(22) << 24);
    message.guid = header.substr(0, 16);
    message.type = byte(16);
    message.ttl = byte(17);
    return length <= 65536 && ReadExact(fd, length, buffer, message.payload);
}

struct Recorded {
    std::mutex lock;
    std::string handshake;
    std::vector<Message> messages;
    std::string pingGuid;
};

struct TempLeaf {
    explicit TempLeaf(const std::vector<HostAddress>& ultrapeers) {
        char pattern[] = "/tmp/kavelin-leaf-XXXXXX";
        dir = mkdtemp(pattern);
        std::ofstream out(dir / "GnuUltraCache.net");
        for (const auto& host : ultrapeers) {
            out << FormatHostAddress(host) << "\n";
        }
        out.close();
        ServentLimits limits;
        limits.handshakeTimeout = 700ms;
        limits.hostRetry = 60000ms;
        core = CreateObject(kGnutellaProgId, dir, limits);
        core->HostCache()->LoadUltrapeers("GnuUltraCache.net");
        core->Connect(1);
    }
    ~TempLeaf() {
        core.reset();
        fs::remove_all(dir);
    }
    fs::path dir;
    std::unique_ptr<GnucCore> core;
};

TEST(GnutellaLeaf, SendsAnEmptyRoutingTableFirewalledQueriesAndAnAddresslessPong) {
    Recorded seen;
    TcpServer peer([&](int fd) {
        std::string block, rest;
        if (!ReadHeaderBlock(fd, block, rest) ||
            !SendAll(fd, "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\n\r\n") ||
            !ReadHeaderBlock(fd, seen.handshake, rest)) {
            return;
        }
        {
            std::lock_guard lock(seen.lock);
            seen.handshake = block;
        }
        // A ping: GUID 0x11..., type 0, TTL 1, hops 0, no payload.
        const std::string ping =
            std::string(16, '\x11') + std::string("\x00\x01\x00\x00\x00\x00\x00", 7);
        seen.pingGuid = ping.substr(0, 16);
        SendAll(fd, ping);
        Message message;
        while (ReadMessage(fd, rest, message)) {
            std::lock_guard lock(seen.lock);
            seen.messages.push_back(message);
        }
    });
    TempLeaf leaf({peer.Address()});
    auto network = leaf.core->Network();
    ASSERT_TRUE(WaitFor([&] { return network->ConnectionCount() == 1; }));
    leaf.core->Search()->Start("abba");
    const auto has = [&](unsigned type) {
        std::lock_guard lock(seen.lock);
        return std::any_of(seen.messages.begin(), seen.messages.end(),
                           [type](const Message& m) { return m.type == type; });
    };
    ASSERT_TRUE(WaitFor([&] { return has(0x80) && has(0x01); }, 3000ms));

    std::lock_guard lock(seen.lock);
    EXPECT_NE(seen.handshake.find("\r\nX-Query-Routing: 0.1\r\n"), std::string::npos);
    ASSERT_GE(seen.messages.size(), 2u);
    // RESET: variant 0, table length 65536 (little-endian), infinity 7.
    EXPECT_EQ(seen.messages[0].type, 0x30u);
    EXPECT_EQ(seen.messages[0].ttl, 1u);
    EXPECT_EQ(seen.messages[0].payload, std::string("\x00\x00\x00\x01\x00\x07", 6));
    // PATCH: variant 1, part 1 of 1, zlib, 4 bits an entry; the table's
    // 65536 entries unpack to 32768 bytes of zero changes.
    const Message& patch = seen.messages[1];
    EXPECT_EQ(patch.type, 0x30u);
    ASSERT_GT(patch.payload.size(), 5u);
    EXPECT_EQ(patch.payload.substr(0, 5), std::string("\x01\x01\x01\x01\x04", 5));
    std::string table(40000, 'x');
    uLongf length = table.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(table.data()), &length,
                         reinterpret_cast<const Bytef*>(patch.payload.data() + 5),
                         patch.payload.size() - 5),
              Z_OK);
    EXPECT_EQ(table.substr(0, length), std::string(32768, '\0'));
    for (const auto& message : seen.messages) {
        if (message.type == 0x80) {
            // Flags big-endian: in use (bit 15), firewalled (14), GGEP "H" wanted (11).
            EXPECT_EQ(message.payload.substr(0, 2), std::string("\xC8\x00", 2));
            EXPECT_EQ(message.payload.substr(2, 5), std::string("abba\0", 5));
        }
        if (message.type == 0x01) {
            // The pong answers the ping and names no port and no address.
            EXPECT_EQ(message.guid, seen.pingGuid);
            ASSERT_GE(message.payload.size(), 14u);
            EXPECT_EQ(message.payload.substr(0, 6), std::string(6, '\0'));
        }
    }
}

TEST(GnutellaLeaf, OneLinkPerUltrapeerKnownUnderTwoAddresses) {
    // Two listening sockets of one ultrapeer: both say where it listens.
    std::atomic<std::uint16_t> mainPort{0};
    const auto serve = [&](int fd) {
        std::string block, rest;
        if (ReadHeaderBlock(fd, block, rest) &&
            SendAll(fd, "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\nListen-IP: 127.0.0.1:" +
                            std::to_string(mainPort.load()) + "\r\n\r\n")) {
            // Holds the link until the leaf drops it or the test ends.
            while (ReadHeaderBlock(fd, block, rest)) {
            }
        }
    };
    TcpServer main(serve), alias(serve);
    mainPort = main.Port();
    TempLeaf leaf({main.Address(), alias.Address()});
    auto network = leaf.core->Network();
    ASSERT_TRUE(WaitFor([&] { return main.Accepted() == 1 && alias.Accepted() == 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(network->ConnectionCount(), 1);
}

// What zlib makes of `input` given all the room it wants in one call.
std::size_t InflatableBytes(std::string_view input, std::size_t room) {
    z_stream stream{};
    inflateInit(&stream);
    std::string out(room, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    inflate(&stream, Z_SYNC_FLUSH);
    const std::size_t produced = stream.total_out;
    inflateEnd(&stream);
    return produced;
}

TEST(GnutellaInflater, GivesEveryByteItsInputHolds) {
    // Deflated messages, flushed as a link flushes each one, that arrive cut
    // a few bytes before their end (the rest comes with the next read):
    // everything zlib can make of what arrived is handed on at once, not
    // when the next read comes, whatever the message's length.
    int checked = 0;
    for (std::size_t size = 16384; size < 4 * 16384; size += size % 16384 < 700 ? 3 : 16384 - 700) {
        const std::string message(size, '\0');
        z_stream stream{};
        ASSERT_EQ(deflateInit(&stream, Z_BEST_COMPRESSION), Z_OK);
        std::string packed(size + 1024, '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(message.data()));
        stream.avail_in = static_cast<uInt>(message.size());
        stream.next_out = reinterpret_cast<Bytef*>(packed.data());
        stream.avail_out = static_cast<uInt>(packed.size());
        ASSERT_EQ(deflate(&stream, Z_SYNC_FLUSH), Z_OK);
        packed.resize(packed.size() - stream.avail_out);
        deflateEnd(&stream);
        for (std::size_t cut = 4; cut <= 6; ++cut) {
            const std::string_view arrived =
                std::string_view(packed).substr(0, packed.size() - cut);
            Inflater inflater;
            std::string out;
            ASSERT_TRUE(inflater.Feed(arrived, out, 1024 * 1024));
            EXPECT_EQ(out.size(), InflatableBytes(arrived, size + 1024)) << size << " " << cut;
            ++checked;
        }
    }
    EXPECT_GT(checked, 600);
}

}  // namespace
}  // namespace kavelin::test
